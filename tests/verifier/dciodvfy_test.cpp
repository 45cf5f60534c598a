/*
 * dciodvfy_test.cpp -- the verifier's Type 1 and Type 2 findings against
 * an independent verifier, dicom3tools' dciodvfy.  For every sample that
 * has a SOP class, the Type 1 and Type 2 attributes of its mandatory
 * modules that the file holds are removed from a copy (pydicom); tagaudit
 * must report each of them missing with its type, and none of them in the
 * original; dciodvfy must agree on each, except where its current module
 * tables differ from the 2008 tables that the bundled files come from.
 */
#include <gtest/gtest.h>

#include <set>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "medcore.h"
#include "testutil.h"

namespace {

using testutil::RunResult;

std::string Oracle() {
    return std::string(QUENOR_SOURCE_DIR) + "/tests/verifier/audit_oracle.py";
}

std::string Hex8(uint32_t tag) {
    char text[12];
    snprintf(text, sizeof text, "%08X", tag);
    return text;
}

/* Tags of the attribute definitions inside Item definitions, at any depth. */
void CollectNested(const AttrDef *a, std::set<uint32_t> &tags) {
    for (const AttrDef *item = a->first_child; item; item = item->next)
        for (const AttrDef *x = item->first_child; x; x = x->next) {
            tags.insert(x->tag);
            CollectNested(x, tags);
        }
}

/* tag -> type, for the Type 1 and 2 attributes of the mandatory modules
 * that the object holds, as the library binds them.  Tags that also stand
 * inside some sequence item of the object definition are left out: the
 * report does not show at which depth a finding was made. */
std::map<std::string, std::string> PresentMandatory(const std::string &path) {
    std::map<std::string, std::string> found;
    testutil::ScopedEnv env("QUENOR_DEF_PATH", testutil::DefsDir());
    AppData app;
    char banner[64];
    DefHolder defs{nullptr, nullptr};
    IOObject io;
    init_AppData(&app, "test", "1", banner);
    const int16_t mask = log_mask(0);
    init_IOObject(&io);
    if (InitTagPrvDef(&app, &defs, 0) == 0 &&
        DO_importObjectFromFile(&app, &defs, path.c_str(), &io) == 0 &&
        InitUABCDef(&app, &defs, io.object, 0) == 0) {
        std::set<uint32_t> nested;
        for (const ModuleDef *m = defs.abc->first; m; m = m->next)
            for (const AttrDef *a = m->first; a; a = a->next)
                CollectNested(a, nested);
        for (const ModuleDef *m = defs.abc->first; m; m = m->next) {
            if (m->usage[0] != 'M')
                continue;
            for (const AttrDef *a = m->first; a; a = a->next)
                if (a->element && (a->flags & ATTR_FLAG_MADE_BY_BINDING) == 0 &&
                    a->tag != 0x00080016u && !nested.count(a->tag) &&
                    (std::string(a->type) == "1" || std::string(a->type) == "2"))
                    found[Hex8(a->tag)] = a->type;
        }
    }
    DoneABCDef(&defs);
    DO_closeObject(&io);
    DoneTagPrvDef(&app, &defs);
    log_mask(mask);
    return found;
}

/* tag -> type of each "Type N element is missing." finding of tagaudit. */
std::map<std::string, std::string> TagauditMissing(const std::string &path) {
    RunResult r = testutil::Run({testutil::BinPath("tagauditd"), "-i", path, "-v1"},
                                {{"QUENOR_DEF_PATH", testutil::DefsDir()}});
    EXPECT_EQ(0, r.status) << r.err;
    std::map<std::string, std::string> missing;
    static const std::regex finding("\t\\(([0-9A-F]{4}), ([0-9A-F]{4})\\) -- [^\n]*\n\tValue:\t\n"
                                    "Error: \t\tType ([12]) element is missing\\.\n");
    for (auto it = std::sregex_iterator(r.err.begin(), r.err.end(), finding);
         it != std::sregex_iterator(); ++it)
        missing[(*it)[1].str() + (*it)[2].str()] = (*it)[3];
    return missing;
}

/* The same of dciodvfy; false when it could not judge the file. */
bool DciodvfyMissing(const std::string &path, std::map<std::string, std::string> &missing) {
    RunResult r = testutil::Run({"/usr/bin/python3", Oracle(), "missing", path});
    if (r.status == 3)
        return false;
    EXPECT_EQ(0, r.status) << r.err;
    std::istringstream in(r.out);
    for (std::string tag, type; in >> tag >> type;)
        missing[tag] = type;
    return true;
}

/* Where dciodvfy's current tables disagree with the 2008 tables:
 * "sample tag" -> what dciodvfy says ("" for no missing finding). */
const std::map<std::string, std::string> kTableDifferences = {
    /* Modality: Type 1 in the General Series module of 2008; dciodvfy has
     * it Type 1C there. */
    {"CT_small.dcm 00080060", "1C"},
    {"MR_small.dcm 00080060", "1C"},
    {"MR_small_bigendian.dcm 00080060", "1C"},
    {"MR_small_implicit.dcm 00080060", "1C"},
};

TEST(AgainstDciodvfy, RemovedType1And2AttributesAreReportedMissing) {
    testutil::TempDir tmp;
    int compared = 0;
    std::map<std::string, std::string> differences;
    std::vector<std::string> unjudged; /* dciodvfy gave up on the original */
    for (const std::string &name : testutil::SampleFiles()) {
        SCOPED_TRACE(name);
        const std::string original = testutil::SamplePath(name);
        const std::map<std::string, std::string> present = PresentMandatory(original);
        if (present.empty())
            continue; /* refused by the reader, or without SOP class */
        std::vector<std::string> args = {"/usr/bin/python3", Oracle(), "remove", original,
                                         tmp.file(name)};
        for (const auto &p : present)
            args.push_back(p.first);
        RunResult removed = testutil::Run(args);
        ASSERT_EQ(0, removed.status) << removed.err;

        const std::map<std::string, std::string> ours = TagauditMissing(tmp.file(name));
        const std::map<std::string, std::string> ours_before = TagauditMissing(original);
        for (const auto &[tag, type] : present) {
            EXPECT_EQ(type, ours.count(tag) ? ours.at(tag) : "not reported") << tag;
            EXPECT_EQ(0u, ours_before.count(tag)) << tag << " reported missing while present";
        }
        std::map<std::string, std::string> theirs, theirs_before;
        if (!DciodvfyMissing(original, theirs_before)) {
            unjudged.push_back(name);
            continue;
        }
        ASSERT_TRUE(DciodvfyMissing(tmp.file(name), theirs));
        for (const auto &[tag, type] : present) {
            EXPECT_EQ(0u, theirs_before.count(tag)) << tag << " dciodvfy: missing while present";
            const std::string said = theirs.count(tag) ? theirs.at(tag) : "";
            if (said != type)
                differences[name + " " + tag] = said;
            compared++;
        }
    }
    EXPECT_GT(compared, 100);
    RecordProperty("compared", compared);
    EXPECT_EQ(kTableDifferences, differences);
    EXPECT_EQ(std::vector<std::string>{"rtdose.dcm"}, unjudged); /* 32-bit pixels */
}

/* Files made from an img2dcm image: one attribute of each (0: any) is an
 * error for both verifiers, or for neither. */
TEST(AgainstDciodvfy, MadeFilesAreJudgedAlike) {
    const struct {
        const char *code;
        uint32_t tag;
        bool flagged;
    } rows[] = {
        {"", 0x00080060, false}, /* SC: Modality is Type 3 */
        {"ds.PatientComments = 'a\\\\b'", 0x00104000, false},
        {"ds.InstitutionAddress = 'Main\\\\1'", 0x00080081, false},
        {"ds.SOPClassUID = '1.2.840.10008.5.1.4.1.1.2'\nds.add_new(0x00080060, 'CS', b'  ')",
         0x00080060, true},
        {"ds[0x0020000D].value = b'\\0\\0'", 0x0020000D, true},
        {"directory()", 0, false},
        {"d = directory()\ndel d.FileSetConsistencyFlag\nd.save_as(out)", 0x00041212, true},
        {"multiframe(8)", 0, false}, /* optional modules share attributes with mandatory ones */
        {"multiframe(16)", 0, false},
        {"multiframe(24)", 0, false},
        {"ds.SOPClassUID = '1.2.840.10008.5.1.4.1.1.66.4'", 0x52009230, true}, /* mandatory */
    };
    testutil::TempDir tmp;
    for (const auto &row : rows) {
        SCOPED_TRACE(row.code);
        const std::string path = tmp.file(std::to_string(&row - rows));
        ASSERT_EQ(0, testutil::Run({"/usr/bin/python3", Oracle(), "made", path, row.code}).status);
        const std::string ours = testutil::Run({testutil::BinPath("tagauditd"), "-i", path, "-v1"},
                                               {{"QUENOR_DEF_PATH", testutil::DefsDir()}})
                                     .err;
        const std::string header = "\t(" + Hex8(row.tag).insert(4, ", ") + ") -- ";
        EXPECT_EQ(row.flagged, ours.find(row.tag ? header : "Error: ") != std::string::npos)
            << ours;
        RunResult theirs = testutil::Run({"/usr/bin/python3", Oracle(), "errors", path});
        ASSERT_EQ(0, theirs.status);
        EXPECT_EQ(row.flagged,
                  !theirs.out.empty() &&
                      theirs.out.find(row.tag ? Hex8(row.tag) : "") != std::string::npos)
            << theirs.out;
    }
}

} // namespace
