/*
 * tagwalk_test.cpp -- the browser run as a process on the samples, driven
 * by scripted standard input: a whole session on the RT structure set
 * (modules, attributes, the item question, "ni"/"pi" wrapping, values,
 * paging back to the opened row) against a transcript checked by hand with
 * dcmdump; the item question's answers; nested sequences; a module
 * without attributes; the page size option; the end of the input; failures.
 */
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testutil.h"

namespace {

using testutil::RunResult;

RunResult Walk(const std::string &program, const std::string &sample,
               std::vector<std::string> options, const std::string &script) {
    std::vector<std::string> argv = {testutil::BinPath(program), "-i",
                                     testutil::SamplePath(sample)};
    argv.insert(argv.end(), options.begin(), options.end());
    return testutil::Run(argv, {{"QUENOR_DEF_PATH", testutil::DefsDir()}}, "", script);
}

RunResult Walk(const std::string &sample, const std::string &script,
               std::vector<std::string> options = {}) {
    return Walk("tagwalkd", sample, options, script);
}

std::vector<std::string> Lines(const std::string &screen) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = screen.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(screen.substr(start, end - start));
    lines.push_back(screen.substr(start));
    return lines;
}

bool IsRow(const std::string &line) {
    return line.size() > 5 && line.compare(2, 3, ".  ") == 0 && isdigit((unsigned char)line[1]);
}

/* The titles of the tables written, in order: a line between two empty
 * lines, followed by the first row or the prompt. */
std::vector<std::string> Titles(const std::string &screen) {
    std::vector<std::string> lines = Lines(screen), titles;
    for (size_t i = 1; i + 2 < lines.size(); ++i)
        if (!lines[i].empty() && lines[i - 1].empty() && lines[i + 1].empty() &&
            (IsRow(lines[i + 2]) || lines[i + 2].rfind("tagwalk> ", 0) == 0))
            titles.push_back(lines[i]);
    return titles;
}

/* The number of rows of the first page written. */
int FirstPageRows(const std::string &screen) {
    int rows = 0;
    for (const std::string &line : Lines(screen)) {
        if (line.rfind("tagwalk> ", 0) == 0)
            break;
        rows += IsRow(line);
    }
    return rows;
}

class Session : public ::testing::TestWithParam<const char *> {};

TEST_P(Session, RtStructureSetWalk) {
    const std::string script = "n\n4\n"       /* module page 2, C.8.8.5 */
                               "n\n3\n2\n"    /* its second page, the ROI sequence, item 2 */
                               "3\n\n"        /* ROI Name */
                               "ni\nni\npi\n" /* items 3, 1, 3 */
                               "n\n2\n\n"     /* page 2 of item 3: an absent attribute */
                               "b\n"          /* the attribute table, on the sequence's page */
                               "p\n1\n\n"     /* back by three rows; an absent attribute */
                               "ni\n"         /* no item shown: the table again */
                               "b\nb\nn\n"    /* module table, the quit question declined */
                               "q\ny\n";
    RunResult r = Walk(GetParam(), "rtstruct.dcm", {"-n5"}, script);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("", r.err);
    EXPECT_EQ(
        testutil::ReadFile(std::string(QUENOR_SOURCE_DIR) + "/tests/browser/rtstruct_session.txt"),
        r.out);
}

INSTANTIATE_TEST_SUITE_P(Programs, Session, ::testing::Values("tagwalkd", "tagwalk"));

TEST(Tagwalk, ItemQuestionAnswers) {
    const std::string seq = "30060020 Structure Set ROI Sequence / Item ";
    const struct {
        const char *answer;
        const char *item;
    } cases[] = {{"2", "2"},  {"3rd", "3"}, {" 1", "1"}, {"", "1"},     {"0", "1"},
                 {"-2", "1"}, {"4", "1"},   {"x", "1"},  {"99999", "1"}};
    for (const auto &c : cases) {
        RunResult r = Walk("rtstruct.dcm", std::string("9\n8\n") + c.answer + "\nq!\n");
        EXPECT_EQ(0, r.status);
        std::vector<std::string> titles = Titles(r.out);
        ASSERT_EQ(3u, titles.size()) << c.answer;
        EXPECT_EQ(seq + c.item, titles[2]) << c.answer;
        EXPECT_NE(std::string::npos,
                  r.out.find("This sequence has 3 items.\nWhich item to open?\n"));
    }
}

TEST(Tagwalk, NestedSequencesOpenTheirOnlyItemAndQuitFromTheDepth) {
    RunResult r = Walk("rtstruct.dcm", "9\n7\n3\n3\nb\nb\nq!\n");
    EXPECT_EQ(0, r.status);
    const std::vector<std::string> expected = {
        "RT Structure Set RT Structure Set IOD                    ",
        "C.8.8.5          Structure Set                           ",
        "30060010 Referenced Frame of Reference Sequence / Item 1",
        "30060012 RT Referenced Study Sequence / Item 1",
        "30060014 RT Referenced Series Sequence / Item 1",
        "30060012 RT Referenced Study Sequence / Item 1",
        "30060010 Referenced Frame of Reference Sequence / Item 1"};
    EXPECT_EQ(expected, Titles(r.out));
    EXPECT_EQ(std::string::npos, r.out.find("Which item"));
    EXPECT_EQ(std::string::npos, r.out.find("quit?"));
}

TEST(Tagwalk, ModuleWithoutAttributesShowsItselfAgain) {
    /* The RT plan binds nothing to the catch-all module, its last. */
    RunResult r = Walk("rtplan.dcm", "n\n4\n\n\r\n1\nb\nq!\n");
    EXPECT_EQ(0, r.status);
    const std::string empty =
        "\n\nP.R.I.V.A.T.E    Private Data                            \n\n\ntagwalk> ";
    const size_t at = r.out.find(empty);
    ASSERT_NE(std::string::npos, at) << r.out;
    const std::string expected = empty + empty + empty +
                                 "Unknown command: 1\nType h for help on valid commands.\n" +
                                 "\ntagwalk> \n\nRT Plan          RT Plan IOD";
    EXPECT_EQ(expected, r.out.substr(at, expected.size()));
}

TEST(Tagwalk, PageSizeOption) {
    const struct {
        std::vector<std::string> options;
        int rows;
    } cases[] = {{{}, 15},         {{"-n0"}, 15},   {{"-n", "00"}, 15}, {{"-n7"}, 7},
                 {{"-n", "1"}, 1}, {{"-n123"}, 12}, {{"-n99"}, 19},     {{"-n3", "-n4"}, 4}};
    for (const auto &c : cases) {
        RunResult r = Walk("CT_small.dcm", "q!\n", c.options);
        EXPECT_EQ(0, r.status);
        EXPECT_EQ(c.rows, FirstPageRows(r.out)) << (c.options.empty() ? "" : c.options[0]);
    }
    const std::string usage =
        "tagwalk 2.1\nUsage:\n  " + testutil::BinPath("tagwalkd") +
        " [-?|h] [-V] -i<file> [-v[<E>[<F>]]] [-l<file>] [-n<num>] [@<file>]\n";
    for (const char *bad : {"-nx", "-n7x", "-n-1", "-n "}) {
        RunResult r = Walk("CT_small.dcm", "q!\n", {bad});
        EXPECT_EQ(1, r.status) << bad;
        EXPECT_EQ(usage, r.err) << bad;
        EXPECT_EQ("", r.out) << bad;
    }
    RunResult help = Walk("CT_small.dcm", "", {"-n"});
    EXPECT_EQ(1, help.status);
    EXPECT_EQ(usage + "Switches:\n"
                      "  -V \tprint version information and exit\n"
                      "  -i \tname of input file (DICOM format)\n"
                      "  -v \tverbose level\n"
                      "  -l \tname of log file\n"
                      "  -n \tmaximum number of table rows to display on one page\n"
                      "  @  \tname of file containing command line arguments\n"
                      "Terms:\n"
                      "<file>\tis a file name (with or without path)\n"
                      "<num>\tis an integer between 1 and 99 (default is 15)\n"
                      "Verbose levels:\n"
                      "  Valid values for both <E> (stderr) and <F> (log file) digits are\n"
                      "    0   do not print any messages\n"
                      "    1   print only errors\n"
                      "    2   print errors and warnings\n"
                      "    3   print errors, warnings and other information\n"
                      "If <F> is omitted <E> is used instead.\n",
              help.out);
}

TEST(Tagwalk, EndOfInputEndsTheBrowsingWherever) {
    /* Wherever the input ends, the line waiting for an answer is closed
     * and the program ends with status 0, writing nothing more. */
    const struct {
        const char *script;
        const char *ending;
    } cases[] = {
        {"9\n7\n3\n", "\ntagwalk> \n"},                    /* a prompt two items down */
        {"9\n8\n", "Which item to open?\n\n"},             /* the item question */
        {"1\n1\n", "\nPress <Enter> key to continue\n\n"}, /* a value pause */
        {"h\n", "displays this help page\n\nPress <Enter> key to continue\n\n"},
        {"b\n", "\ntagwalk> Do you really want to quit? \n"},
        {"", "\ntagwalk> \n"},
    };
    for (const auto &c : cases) {
        RunResult r = Walk("rtstruct.dcm", c.script);
        EXPECT_EQ(0, r.status) << c.script;
        EXPECT_EQ("", r.err) << c.script;
        const std::string ending = c.ending;
        ASSERT_GE(r.out.size(), ending.size()) << c.script;
        EXPECT_EQ(ending, r.out.substr(r.out.size() - ending.size())) << c.script;
    }
}

TEST(Tagwalk, DefinitionsThatCannotBeFoundEndTheProgram) {
    RunResult r = Walk("priv_SQ.dcm", "q!\n", {"-v1"});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("", r.out);
    EXPECT_NE(std::string::npos, r.err.find("Error: SOP Class UID (0008,0016) not defined.\n"
                                            "Error: Error in parsing DICOM definition files.\n"));
}

} // namespace
