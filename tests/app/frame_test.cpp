/*
 * frame_test.cpp -- the program frame seen from outside, through the
 * lister (static and shared builds): help, usage and version texts, exit
 * statuses, the verbosity forms, argument files and words left over, the
 * one option loop (also through the verifier), and the fatal messages of
 * the common head, a directory as input for every program, memory running out.
 */
#include <gtest/gtest.h>

#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "appframe.h"
#include "testutil.h"

namespace {

using testutil::RunResult;

const std::string kUsageTail =
    " [-?|h] [-V] -i<file> [-o<file>] [-v[<E>[<F>]]] [-l<file>] [@<file>] [-f<flags>]\n";

const std::string kSwitchesAndTerms =
    "Switches:\n"
    "  -V \tprint version information and exit\n"
    "  -i \tname of input file (DICOM format)\n"
    "  -o \tname of output (list) file (ASCII text)\n"
    "  -v \tverbose level\n"
    "  -l \tname of log file\n"
    "  @  \tname of file containing command line arguments\n"
    "  -f \tflags for listing\n"
    "     \tif -f is present, it must be the last option\n"
    "     \tbecause all the rest of the command line is treated as\n"
    "     \tswitches for listing\n"
    "Terms:\n"
    "<file>\tis a file name (with or without path)\n"
    "<flags>\tare options to switch off fields in listing\n"
    "  -gc\tdo not print Group Code\n"
    "  -ec\tdo not print Element Code\n"
    "  -vr\tdo not print Value Representation\n"
    "  -vl\tdo not print Value Length\n"
    "  -vf\tdo not print Value Field\n"
    "  -de\tdo not print Description\n"
    "  -un\tdo not print attributes of Retired and Unknown types\n"
    "Verbose levels:\n"
    "  Valid values for both <E> (stderr) and <F> (log file) digits are\n"
    "    0   do not print any messages\n"
    "    1   print only errors\n"
    "    2   print errors and warnings\n"
    "    3   print errors, warnings and other information\n"
    "If <F> is omitted <E> is used instead.\n";

const std::string kListed = "Info: DICOM object elements listed.";

class Frame : public ::testing::TestWithParam<const char *> {
protected:
    std::string Program() const { return testutil::BinPath(GetParam()); }
    std::string Usage() const { return "tagdump 2.1\nUsage:\n  " + Program() + kUsageTail; }
    std::string Help() const { return Usage() + kSwitchesAndTerms; }
    std::string Sample() const { return std::string(QUENOR_SOURCE_DIR) + "/examples/sample.dcm"; }

    RunResult Tagdump(std::vector<std::string> args, const std::string &cwd = "") {
        args.insert(args.begin(), Program());
        return testutil::Run(args, {{"QUENOR_DEF_PATH", testutil::DefsDir()}}, cwd);
    }
    void ExpectUsage(const RunResult &r) {
        EXPECT_EQ(1, r.status);
        EXPECT_EQ(Usage(), r.err);
        EXPECT_EQ("", r.out);
    }
    void ExpectListed(const RunResult &r) {
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_EQ(0u, r.out.find("DICOM File Meta Information Header (ExplicitVRLittleEndian)\n"));
    }

    testutil::TempDir dir_;
};

TEST_P(Frame, HelpOnAskingOnUnknownLettersAndMissingArguments) {
    for (auto args : std::vector<std::vector<std::string>>{
             {"-h"}, {"-?"}, {"-x"}, {"-i", Sample(), "-v"}, {"-i"}, {"-v22", "-h", "-V"}}) {
        RunResult r = Tagdump(args);
        EXPECT_EQ(1, r.status) << args[0];
        EXPECT_EQ(Help(), r.out) << args[0];
        EXPECT_EQ("", r.err) << args[0];
    }
}

TEST_P(Frame, VersionEndsAtItsLetter) {
    RunResult r = Tagdump({"-V", "-x"});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("tagdump 2.1\n", r.err);
    EXPECT_EQ("", r.out);
}

TEST_P(Frame, UsageErrorsAreCountedOverTheWholeLine) {
    ExpectUsage(Tagdump({}));
    ExpectUsage(Tagdump({"-o", dir_.file("out.txt")}));
    ExpectUsage(Tagdump({"-i", Sample(), "extra"}));
    ExpectUsage(Tagdump({"-v", "-i", Sample()})); /* "-i" is the verbosity */
    ExpectUsage(Tagdump({"-i", Sample(), "-f", "gc"}));
}

TEST_P(Frame, VerbosityForms) {
    /* one digit: both levels */
    RunResult r = Tagdump({"-v5", "-i", Sample()});
    ExpectListed(r);
    EXPECT_NE(std::string::npos, r.err.find(kListed));
    EXPECT_EQ(0u, r.err.find("*** Log start: "));

    /* bad second character: a usage error, the usage line alone */
    r = Tagdump({"-v", "3x", "-i", Sample()});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(Usage(), r.err);

    /* 123 acts as 12: errors on stderr, warnings in the log, no info */
    std::string log = dir_.file("v123.log");
    r = Tagdump({"-v123", "-l", log, "-i", Sample()});
    ExpectListed(r);
    EXPECT_EQ(std::string::npos, r.err.find("Info:"));
    std::string text = testutil::ReadFile(log);
    EXPECT_EQ(0u, text.find("*** Log start: "));
    EXPECT_EQ(std::string::npos, text.find("Info:"));

    /* 03: nothing on stderr, everything in the log */
    log = dir_.file("v03.log");
    r = Tagdump({"-v03", "-l", log, "-i", Sample()});
    ExpectListed(r);
    EXPECT_EQ("", r.err);
    EXPECT_NE(std::string::npos, testutil::ReadFile(log).find(kListed));
}

TEST_P(Frame, RepeatedInputUsesTheLastName) {
    ExpectListed(Tagdump({"-i", dir_.file("missing.dcm"), "-i", Sample()}));
}

TEST_P(Frame, ArgumentFiles) {
    std::string args = dir_.file("args");
    testutil::WriteFile(args, "\n  -i '" + Sample() + "'\n");
    ExpectListed(Tagdump({"@" + args}));

    /* options go on on the command line after the file */
    RunResult r = Tagdump({"@" + args, "-f", "-de"});
    ExpectListed(r);
    EXPECT_EQ(std::string::npos, r.out.find('#'));

    /* a word left over inside the file */
    testutil::WriteFile(args, "-i " + Sample() + " extra\n");
    ExpectUsage(Tagdump({"@" + args}));

    /* a file that is not there */
    ExpectUsage(Tagdump({"-i", Sample(), "@" + dir_.file("none")}));

    /* an empty file stops the loop before the command-line words after it */
    testutil::WriteFile(args, "   \n");
    ExpectUsage(Tagdump({"@" + args, "-i", Sample()}));
}

TEST_P(Frame, FatalMessagesOfTheHead) {
    RunResult r = Tagdump({"-v1", "-i", dir_.file("missing.dcm")});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("Error: Error in opening DICOM object.\n"));
    EXPECT_EQ("", r.out);

    r = testutil::Run({Program(), "-v1", "-i", Sample()},
                      {{"QUENOR_DEF_PATH", dir_.file("nodefs")}}, dir_.path());
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos,
              r.err.find("Error: Error in parsing DICOM Tag definition files.\n"));

    /* each says why first: definitions not found or unreadable, a pipe as input */
    ASSERT_EQ(0, system(("mkdir -p " + dir_.file("d/tag_tab.def")).c_str()));
    const std::string defs = testutil::DefsDir(), tags = ".\nError: Error in parsing DICOM Tag";
    for (const auto &row : std::vector<std::vector<std::string>>{
             {"", Sample(), "find DICOM definition file tag_tab.def: QUENOR_DEF_PATH is not set" + tags},
             {"d;" + defs, Sample(), "read DICOM definition file d/tag_tab.def: Is a directory" + tags},
             {defs, "/dev/stdin", "Input /dev/stdin is a pipe, not a regular file: save it to a file"}}) {
        r = testutil::Run({"/bin/sh", "-c", "cat \"$1\" | exec \"$0\" -v1 -i \"$2\"", Program(),
                           Sample(), row[1]},
                          {{"QUENOR_DEF_PATH", row[0]}}, dir_.path());
        EXPECT_EQ(1, r.status) << row[2];
        EXPECT_NE(std::string::npos, r.err.find(row[2])) << r.err;
    }
}

/* One option loop, also past -f: "--", a word that is no option and an
 * "@" word right after an argument file end it, and whatever follows is
 * left over.  Listed cases name the first element line they show. */
TEST_P(Frame, TheOptionLoopEndsWhereTheParserEndsIt) {
    const std::string gc = dir_.file("gc"), input = dir_.file("input"), quiet = dir_.file("quiet");
    testutil::WriteFile(gc, "-gc\n");
    testutil::WriteFile(quiet, "-v0\n");
    testutil::WriteFile(input, "-i " + Sample() + "\n");
    const std::string all = "0002  0000  UL            4  168  ", no_gc_vr = "  0000      4  168  ";
    const std::string copy = dir_.file("in.dcm"), list = dir_.file("list.txt");
    testutil::WriteFile(copy, testutil::ReadFile(Sample()));
    const std::string clash = "Error: Log file " + dir_.path() + "/./",
                      will = ": a log would overwrite it.\n";
    struct Case {
        std::vector<std::string> args;
        std::string line; /* "" for the usage line */
        std::string error = ""; /* said before the usage line */
    };
    const Case cases[] = {
        {{"-f", "-gc", "--", "-i", Sample()}, ""},
        {{"-i", Sample(), "-f", "-gc", "--", "-vr"}, ""},
        {{"-f", "@" + gc, "@" + input}, ""},
        {{"-i", Sample(), "-f", "@" + gc, "@" + input}, ""},
        {{"@" + quiet, "@" + input}, ""},
        {{"-i", Sample(), "-f", "@" + gc, "--", "-vr"}, ""},
        {{"-i", Sample(), "-fgc", "vr"}, ""},
        {{"-i", Sample(), "-f", "--"}, all},
        {{"-i", Sample(), "-f", "@" + gc, "-vr"}, no_gc_vr},
        {{"@" + input, "-f", "-gc", "@" + gc, "-vr"}, no_gc_vr},
        {{"@" + input, "-f", "-gc", "-vr", "@" + gc}, no_gc_vr},
        {{"-i", copy, "-l", dir_.path() + "/./in.dcm"}, "",
         clash + "in.dcm is the file of -i " + copy + will},
        {{"-v22", "-i", Sample(), "-o", list, "-l", dir_.path() + "/./list.txt"}, "",
         clash + "list.txt is the file of -o " + list + will},
    };
    for (const Case &c : cases) {
        RunResult r = Tagdump(c.args);
        std::string words;
        for (const auto &w : c.args)
            words += " " + w;
        if (c.line.empty()) {
            EXPECT_EQ(1, r.status) << words;
            EXPECT_EQ(c.error + Usage(), r.err) << words;
            EXPECT_EQ("", r.out) << words;
        } else {
            ExpectListed(r);
            std::istringstream out(r.out);
            std::string line;
            for (int i = 0; i < 6; ++i) /* headings, preamble, DICM, empty line */
                std::getline(out, line);
            EXPECT_EQ(0u, line.find(c.line)) << words << "\n" << line;
        }
    }
    EXPECT_EQ(testutil::ReadFile(Sample()), testutil::ReadFile(copy));
    EXPECT_FALSE(testutil::FileExists(list));
}

INSTANTIATE_TEST_SUITE_P(Builds, Frame, ::testing::Values("tagdump", "tagdumpd"));

/* The same option loop in a program without flag words. */
TEST(FrameOptionLoop, VerifierEndsWhereTheParserEndsIt) {
    testutil::TempDir dir;
    const std::string sample = std::string(QUENOR_SOURCE_DIR) + "/examples/sample.dcm";
    const std::string quick = dir.file("quick"), input = dir.file("input");
    testutil::WriteFile(quick, "-q\n");
    testutil::WriteFile(input, "-i " + sample + "\n");
    const std::string usage = "tagaudit 2.1\nUsage:\n  " + testutil::BinPath("tagauditd") +
                              " [-?|h] [-V] -i<file> [-q] [-v[<E>[<F>]]] [-l<file>] [@<file>]\n";
    struct Case {
        std::vector<std::string> args;
        int status;
    };
    const Case cases[] = {
        {{"-q", "--", "-i", sample}, 1},
        {{"@" + quick, "@" + input}, 1},
        {{"@" + quick, "--", "-i", sample}, 1},
        {{"-i", sample, "--"}, 0},
        {{"@" + input, "-q", "@" + quick}, 0},
        {{"@" + input, "@" + quick}, 1},
        {{"@" + input, "-v0", "@" + quick}, 0},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), testutil::BinPath("tagauditd"));
        RunResult r = testutil::Run(args, {{"QUENOR_DEF_PATH", testutil::DefsDir()}});
        EXPECT_EQ(c.status, r.status) << args[1] << " " << args[2];
        EXPECT_EQ(c.status == 1 ? usage : "", r.err) << args[1] << " " << args[2];
    }
}

/* A directory named as the input is said to be one, by every program. */
TEST(FrameInput, ADirectoryIsNamedSo) {
    testutil::TempDir dir;
    const std::string out = dir.file("out.dcm"), profile = dir.file("empty.prf");
    testutil::WriteFile(profile, "");
    const std::vector<std::vector<std::string>> runs = {
        {"tagdump"}, {"tagdumpd", "-o", dir.file("list.txt")}, {"tagrecoded", "-o", out},
        {"tagauditd"}, {"tagpatchd", "-p", profile, "-o", out}, {"tagwalkd"}, {"tagwalk"}};
    for (std::vector<std::string> args : runs) {
        const std::string program = args[0];
        args[0] = testutil::BinPath(program);
        args.insert(args.end(), {"-v1", "-i", dir.path()});
        RunResult r = testutil::Run(args, {{"QUENOR_DEF_PATH", testutil::DefsDir()}}, "", "q!\n");
        EXPECT_EQ(1, r.status) << program;
        EXPECT_NE(std::string::npos,
                  r.err.find("Error: Input " + dir.path() +
                             " is a directory, not a DICOM file.\n"
                             "Error: Error in opening DICOM object.\n"))
            << program << ": " << r.err;
        EXPECT_EQ("", r.out) << program;
        EXPECT_FALSE(testutil::FileExists(out)) << program;
    }
}

/* Memory running out ends a run with its message and status 1, never an abort. */
TEST(FrameDeathTest, RunningOutOfMemoryIsSaid) {
    testutil::ScopedEnv defs("QUENOR_DEF_PATH", testutil::DefsDir());
    ProgramDescription program("frame", "?hVi:l:v:", "%s %s\n", "");
    program.work = [] { throw std::bad_alloc(); };
    std::string words[] = {"frame", "-v1", "-i", QUENOR_SOURCE_DIR "/examples/sample.dcm"};
    char *argv[] = {&words[0][0], &words[1][0], &words[2][0], &words[3][0]};
    EXPECT_EXIT(AppFrame::run(program, 4, argv), ::testing::ExitedWithCode(1),
                "Error: Not enough memory to go on\\.\n\\*\\*\\* Log end");
}

} // namespace
