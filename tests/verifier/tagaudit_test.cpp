/*
 * tagaudit_test.cpp -- the verifier run as a process on every shared
 * sample: status, the syntax lines against what pydicom finds, the module
 * headings of the file's SOP class as the bundled ab_tab.def lists them,
 * quick verification, the fall-back to tag checking, meta-header findings,
 * silence without -v, and the command line.
 */
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "testutil.h"

namespace {

using testutil::RunResult;

RunResult Audit(std::vector<std::string> args) {
    args.insert(args.begin(), testutil::BinPath("tagauditd"));
    return testutil::Run(args, {{"QUENOR_DEF_PATH", testutil::DefsDir()}});
}

/* The log between the three start lines and the end line. */
std::string Body(const std::string &log) {
    size_t start = 0;
    for (int i = 0; i < 3 && start != std::string::npos; i++)
        start = log.find('\n', start) + 1;
    const size_t end = log.find("*** Log end  : ");
    return log.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

std::string Oracle() {
    return std::string(QUENOR_SOURCE_DIR) + "/tests/verifier/audit_oracle.py";
}

struct Facts {
    bool meta = false;
    std::string syntax;    /* the data set's, as pydicom reads it */
    std::string sop_class; /* "" when the file has none */
};

std::map<std::string, Facts> SampleFacts() {
    std::vector<std::string> args = {"/usr/bin/python3", Oracle(), "facts"};
    for (const std::string &name : testutil::SampleFiles())
        args.push_back(testutil::SamplePath(name));
    RunResult r = testutil::Run(args);
    EXPECT_EQ(0, r.status) << r.err;
    std::map<std::string, Facts> facts;
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string name, meta;
        Facts f;
        std::getline(fields, name, '\t');
        std::getline(fields, meta, '\t');
        std::getline(fields, f.syntax, '\t');
        std::getline(fields, f.sop_class, '\t');
        f.meta = meta == "meta";
        facts[name] = f;
    }
    return facts;
}

/* The module headings that a full verification of an object of this SOP
 * class logs, read from the bundled definition files with patterns of
 * their own: the title line, then one heading per module in file order. */
std::vector<std::string> ExpectedHeadings(const std::string &sop_class) {
    const std::string defs = testutil::DefsDir();
    const std::string uids = testutil::ReadFile(defs + "/uid_tab.def");
    std::smatch m;
    const std::regex uid_row("\\{\"([^\"]*)\", \"" +
                             std::regex_replace(sop_class, std::regex("\\."), "\\.") + "\",");
    if (!std::regex_search(uids, m, uid_row))
        return {};
    const std::string object = m[1];
    const std::string objects = testutil::ReadFile(defs + "/ab_tab.def");
    size_t at = objects.find("\n{\"" + object + "\", \"");
    if (at == std::string::npos)
        return {};
    std::istringstream in(objects.substr(at + 1));
    std::string line;
    std::getline(in, line);
    std::regex_search(line, m, std::regex("^\\{\"[^\"]*\", \"([^\"]*)\""));
    std::vector<std::string> headings = {m[1]};
    const std::regex module_row("^ *\\{\"[^\"]*\", \"([^\"]*)\", '(.)'");
    while (std::getline(in, line) && std::regex_search(line, m, module_row))
        headings.push_back("Checking " + m[1].str() + " Module" +
                           (m[2] == "C" ? " -- Type = C" : ""));
    headings.push_back("Checking Private Data Module"); /* ab2_tab.def is bundled */
    return headings;
}

/* Lines of the log's body that stand at the left margin and are neither
 * findings nor messages. */
std::vector<std::string> Headings(const std::string &log) {
    std::vector<std::string> lines;
    std::istringstream in(Body(log));
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && line[0] != '\t' && line.rfind("Error: ", 0) != 0 &&
            line.rfind("Warning: ", 0) != 0 && line.rfind("Info: ", 0) != 0 &&
            line.rfind("DICOM ", 0) != 0)
            lines.push_back(line);
    return lines;
}

/* Samples our reader refuses (see the lister's sample tests). */
bool Refused(const std::string &name) {
    return name == "nested_priv_SQ.dcm" || name == "no_meta.dcm";
}

class Samples : public ::testing::Test {
protected:
    static void SetUpTestSuite() { facts_ = SampleFacts(); }
    static std::map<std::string, Facts> facts_;
};
std::map<std::string, Facts> Samples::facts_;

TEST_F(Samples, FullVerificationOfEverySample) {
    ASSERT_FALSE(facts_.empty());
    int full = 0;
    for (const auto &[name, f] : facts_) {
        SCOPED_TRACE(name);
        RunResult r = Audit({"-i", testutil::SamplePath(name), "-v2"});
        if (Refused(name)) {
            EXPECT_EQ(1, r.status);
            EXPECT_NE(std::string::npos, r.err.find("Error: Error in opening DICOM object.\n"));
            continue;
        }
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_EQ("", r.out);
        const std::string meta =
            f.meta ? "DICOM File Meta Information Header (ExplicitVRLittleEndian)\n"
                   : "DICOM File Meta Information Header (Unknown/Not present)\n"
                     "Error: File Meta Information Header is not present.\n";
        EXPECT_EQ(0u, Body(r.err).find(meta + "DICOM Data Set (" + f.syntax + ")\n")) << r.err;
        if (f.sop_class.empty()) {
            EXPECT_NE(std::string::npos, r.err.find("Cannot check by modules."));
            continue;
        }
        const std::vector<std::string> want = ExpectedHeadings(f.sop_class);
        ASSERT_GT(want.size(), 3u) << "SOP class " << f.sop_class << " not mapped";
        EXPECT_EQ(want, Headings(r.err));
        EXPECT_EQ(std::string::npos, r.err.find("Cannot check by modules.")) << r.err;
        full++;
    }
    EXPECT_GE(full, 10);
}

TEST_F(Samples, QuickVerificationLoadsNoObjectDefinitions) {
    for (const auto &[name, f] : facts_) {
        if (Refused(name))
            continue;
        SCOPED_TRACE(name);
        RunResult r = Audit({"-q", "-i", testutil::SamplePath(name), "-v3"});
        EXPECT_EQ(0, r.status);
        EXPECT_NE(std::string::npos, r.err.find("DICOM Data Set (" + f.syntax + ")\n"));
        EXPECT_EQ(std::string::npos, r.err.find("Object definition file")) << r.err;
        EXPECT_EQ(std::string::npos, r.err.find("Module definition file"));
        EXPECT_EQ(std::string::npos, r.err.find("Checking "));
        EXPECT_EQ(std::string::npos, r.err.find("Binding DICOM Object to definition table."));
    }
}

TEST(Tagaudit, WithoutSopClassFallsBackToTagChecking) {
    /* priv_SQ.dcm has no (0008,0016); the copy gets a value the checker
     * refuses, to show that the tag walk ran. */
    testutil::TempDir tmp;
    const std::string script =
        "import pydicom,sys\nds=pydicom.dcmread(sys.argv[1])\nds.Modality='ct'\n"
        "ds.save_as(sys.argv[2], write_like_original=True)\n";
    RunResult py = testutil::Run(
        {"/usr/bin/python3", "-c", script, testutil::SamplePath("priv_SQ.dcm"), tmp.file("c.dcm")});
    ASSERT_EQ(0, py.status) << py.err;
    RunResult r = Audit({"-i", tmp.file("c.dcm"), "-v2"});
    EXPECT_EQ(0, r.status);
    const std::string fallback =
        "Error: SOP Class UID (0008,0016) not defined.\n"
        "Warning: Error in parsing DICOM definition files.\n"
        "Warning: Cannot check by modules. Doing quick verify (tag checking only).\n"
        "\t(0008, 0060) -- Modality\n\tValue:\t  ct\n"
        "Error: \t\tElement contains extra characters.\n"
        "Error: Error in checking DICOM object.\n";
    EXPECT_NE(std::string::npos, r.err.find(fallback)) << r.err;
}

TEST(Tagaudit, MetaHeaderNotInExplicitLittleEndian) {
    testutil::TempDir tmp;
    RunResult w =
        testutil::Run({testutil::BinPath("tagrecoded"), "-i", testutil::SamplePath("CT_small.dcm"),
                       "-o", tmp.file("b.dcm"), "-mob", "-doi"},
                      {{"QUENOR_DEF_PATH", testutil::DefsDir()}});
    ASSERT_EQ(0, w.status) << w.err;
    RunResult r = Audit({"-i", tmp.file("b.dcm"), "-v1"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(0u, Body(r.err).find("DICOM File Meta Information Header (ExplicitVRBigEndian)\n"
                                   "Error: File Meta Information Header TransferSyntax is not "
                                   "ExplicitVRLittleEndian.\n"
                                   "DICOM Data Set (ImplicitVRLittleEndian)\n"))
        << r.err;
}

TEST(Tagaudit, SilentWithoutVerbosity) {
    testutil::TempDir tmp;
    RunResult r = Audit({"-i", testutil::SamplePath("rtstruct.dcm"), "-l", tmp.file("log")});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("", r.out);
    EXPECT_EQ("", r.err);
    EXPECT_EQ("", testutil::ReadFile(tmp.file("log")));
}

TEST(Tagaudit, CommandLine) {
    const std::string usage_tail =
        "Usage:\n  " + testutil::BinPath("tagauditd") +
        " [-?|h] [-V] -i<file> [-q] [-v[<E>[<F>]]] [-l<file>] [@<file>]\n";
    RunResult none = Audit({});
    EXPECT_EQ(1, none.status);
    EXPECT_EQ("tagaudit 2.1\n" + usage_tail, none.err);
    RunResult extra = Audit({"-i", testutil::SamplePath("CT_small.dcm"), "more"});
    EXPECT_EQ(1, extra.status);
    EXPECT_EQ("tagaudit 2.1\n" + usage_tail, extra.err);
    RunResult help = Audit({"-h"});
    EXPECT_EQ(1, help.status);
    EXPECT_EQ(0u, help.out.find("tagaudit 2.1\n" + usage_tail + "Switches:\n"));
    EXPECT_NE(std::string::npos, help.out.find("  -q \tquick verify (tag checking only)\n"));
    RunResult version = Audit({"-V"});
    EXPECT_EQ(1, version.status);
    EXPECT_EQ("tagaudit 2.1\n", version.err);
}

} // namespace
