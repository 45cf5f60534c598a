/*
 * pager_test.cpp -- the pager driven by scripted console input and checked
 * screen by screen: paging arithmetic on a 40-row table, row choice by
 * number and Enter, every command letter and its message, the help and
 * quit question, the end of the input, and overlong lines.
 */
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console_util.h"
#include "pager.h"

namespace {

using browsertest::kPrompt;
using browsertest::Page;
using browsertest::ScriptedConsole;
using browsertest::Unknown;

const std::string kTitle = "Forty rows";

std::vector<std::string> Rows(int n) {
    std::vector<std::string> rows;
    for (int i = 1; i <= n; ++i)
        rows.push_back("row " + std::to_string(i));
    return rows;
}

const std::vector<std::string> kForty = Rows(40);

/* Pages of the 40-row table at page size 15, by their first row. */
std::string P(int first) {
    return Page(kTitle, kForty, first, first + 15 <= 40 ? 15 : 40 - first) + kPrompt;
}

const std::string kHelp =
    "<num>\tselects the row prefixed with <num> (displays the connected table)\n"
    "<enter>\tselects the first row (displays the connected table)\n"
    "n, np\tdisplays next page of the current table\n"
    "<space>\tdisplays next page of the current table\n"
    "p, pp\tdisplays previous page of current table\n"
    "ni\tdisplays the contents of the next item of the current sequence\n"
    "pi\tdisplays the contents of the previous item of the current sequence\n"
    "b, u\tdisplays previous table (back/up from the current sequence)\n"
    "q\tquits the browser (asks for confirmation)\n"
    "q!\tquits the browser without asking\n"
    "h, ?\tdisplays this help page\n"
    "\nPress <Enter> key to continue\n";

const std::string kQuit = "Do you really want to quit? ";

struct PagerCase {
    const char *what;
    int start;
    std::string script;
    std::string screen;
    NavigationCode result;
    int chosen; /* -1: not set */
};

const PagerCase kCases[] = {
    {"forward wraps after the last page", 0, "n\nn\nn\n1\n", P(0) + P(15) + P(30) + P(0), NAV_ROW,
     0},
    {"space pages forward like n", 0, " \n  x\n", P(0) + P(15) + P(30) + "\n", NAV_QUIT, -1},
    {"back from the partly filled last page", 30, "p\n2\n", P(30) + P(20), NAV_ROW, 21},
    {"back from the first page stays", 0, "p\nP\n\n", P(0) + P(0) + P(0), NAV_ROW, 0},
    {"np and pp page like n and p", 0, "np\nNP\npp\n4\n", P(0) + P(15) + P(30) + P(20), NAV_ROW,
     23},
    {"a start beyond the rows is the first page", 55, "15\n", P(0), NAV_ROW, 14},
    {"Enter on a later page chooses its first row", 15, "\n", P(15), NAV_ROW, 15},
    {"carriage return chooses the first row", 30, "\r\n", P(30), NAV_ROW, 30},
    {"trailing text after a number", 15, "3x\n", P(15), NAV_ROW, 17},
    {"blanks before a number", 0, "  7\n", P(0), NAV_ROW, 6},
    {"numbers naming no row on the page", 30, "0\n-2\n11\n99999999999\n10\n",
     P(30) + Unknown('0') + kPrompt + Unknown('-') + kPrompt + Unknown('1') + kPrompt +
         Unknown('9') + kPrompt,
     NAV_ROW, 39},
    {"unknown letter, then back", 0, "x\nb\n", P(0) + Unknown('x') + kPrompt, NAV_BACK, -1},
    {"B goes back", 0, "B\n", P(0), NAV_BACK, -1},
    {"u goes back", 0, "u\n", P(0), NAV_BACK, -1},
    {"U goes back", 0, "Under\n", P(0), NAV_BACK, -1},
    {"ESC goes back", 0, "\x1b\n", P(0), NAV_BACK, -1},
    {"backquote goes back", 0, "`\n", P(0), NAV_BACK, -1},
    {"ni", 0, "ni\n", P(0), NAV_NEXT_ITEM, -1},
    {"NI", 0, "NI\n", P(0), NAV_NEXT_ITEM, -1},
    {"nI", 0, "nI\n", P(0), NAV_NEXT_ITEM, -1},
    {"pi", 0, "pi\n", P(0), NAV_PREV_ITEM, -1},
    {"Pi", 15, "Pi\n", P(15), NAV_PREV_ITEM, -1},
    {"q! quits without asking", 0, "q!\n", P(0), NAV_QUIT, -1},
    {"Q! quits without asking", 0, "Q!\n", P(0), NAV_QUIT, -1},
    {"q answered yes", 0, "q\nyes\n", P(0) + kQuit, NAV_QUIT, -1},
    {"Q answered Y", 0, "Q\nY\n", P(0) + kQuit, NAV_QUIT, -1},
    {"q declined by an empty answer", 15, "q\n\n3\n", P(15) + kQuit + P(15), NAV_ROW, 17},
    {"q declined by no after paging", 0, "n\nquit\nno, yes\n2\n", P(0) + P(15) + kQuit + P(15),
     NAV_ROW, 16},
    {"help, then the page again", 15, "h\n\n?\nanything\nH\n\n5\n",
     P(15) + kHelp + P(15) + kHelp + P(15) + kHelp + P(15), NAV_ROW, 19},
    {"end of input at the prompt", 0, "n\n", P(0) + P(15) + "\n", NAV_QUIT, -1},
    {"end of input after the last line without its line end", 0, "n", P(0) + P(15) + "\n", NAV_QUIT,
     -1},
    {"end of input at the quit question", 0, "q\n", P(0) + kQuit + "\n", NAV_QUIT, -1},
    {"end of input at the help pause", 0, "h\n", P(0) + kHelp + "\n", NAV_QUIT, -1},
    {"an overlong line is one command", 0, std::string(300, 'x') + "\n" + "2\n",
     P(0) + Unknown('x') + kPrompt, NAV_ROW, 1},
    {"an overlong item command", 0, "ni" + std::string(200, '!') + "\n", P(0), NAV_NEXT_ITEM, -1},
};

class Pager : public ::testing::TestWithParam<PagerCase> {};

TEST_P(Pager, Screens) {
    const PagerCase &c = GetParam();
    ScriptedConsole sc(c.script);
    int chosen = -1;
    NavigationCode r = page_table(sc.con, kTitle, kForty, c.start, 15, &chosen);
    EXPECT_EQ(c.result, r);
    EXPECT_EQ(c.chosen, chosen);
    EXPECT_EQ(c.screen, sc.screen());
}

INSTANTIATE_TEST_SUITE_P(Commands, Pager, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<PagerCase> &info) {
                             std::string name;
                             for (const char *p = info.param.what; *p; ++p)
                                 name += isalnum((unsigned char)*p) ? *p : '_';
                             return name;
                         });

TEST(PagerPage, OddPageSizesRowTextsAndTheEmptyTable) {
    /* Page size 7 on 10 rows: pages 1-7 and 8-10; back from 8-10 moves by 3. */
    {
        ScriptedConsole sc("n\np\np\n");
        std::vector<std::string> rows = Rows(10);
        int chosen = -1;
        EXPECT_EQ(NAV_QUIT, page_table(sc.con, "T", rows, 0, 7, &chosen));
        EXPECT_EQ(Page("T", rows, 0, 7) + kPrompt + Page("T", rows, 7, 3) + kPrompt +
                      Page("T", rows, 4, 6) + kPrompt + Page("T", rows, 0, 7) + kPrompt + "\n",
                  sc.screen());
    }
    /* Line ends and other control characters inside a row show as blanks. */
    {
        ScriptedConsole sc("2\n");
        int chosen = -1;
        EXPECT_EQ(NAV_ROW, page_table(sc.con, "T", {"one\ntwo", "three\r\nfour", "\x1b[2J\tfive\x7f"},
                                      0, 15, &chosen));
        EXPECT_EQ(1, chosen);
        EXPECT_EQ("\nT\n 1.  one two\n 2.  three  four\n 3.   [2J five \n" + kPrompt, sc.screen());
    }
    /* A table without rows shows its title only; no number names a row,
     * and Enter answers the page start, which the table must check. */
    {
        ScriptedConsole sc("1\n\n");
        int chosen = -1;
        EXPECT_EQ(NAV_ROW, page_table(sc.con, "Empty", {}, 0, 15, &chosen));
        EXPECT_EQ(0, chosen);
        EXPECT_EQ("\nEmpty\n" + kPrompt + Unknown('1') + kPrompt, sc.screen());
    }
    /* Once the input has ended nothing is written and nothing read. */
    {
        ScriptedConsole sc("");
        int chosen = -1;
        EXPECT_EQ(NAV_QUIT, page_table(sc.con, "T", Rows(3), 0, 15, &chosen));
        EXPECT_TRUE(sc.con.ended);
        std::string first = sc.screen();
        EXPECT_EQ(NAV_QUIT, page_table(sc.con, "T", Rows(3), 0, 15, &chosen));
        EXPECT_EQ(NAV_QUIT, confirm_quit(sc.con));
        EXPECT_EQ(first, sc.screen());
    }
}

TEST(PagerPage, ReadsExactlyOneLinePerCommand) {
    ScriptedConsole sc("q\n" + std::string(500, 'n') + "\n1\nrest\n");
    int chosen = -1;
    EXPECT_EQ(NAV_ROW, page_table(sc.con, "T", Rows(3), 0, 15, &chosen));
    EXPECT_EQ("rest\n", sc.unread());
    EXPECT_EQ(std::string(87, 'n'), sc.con.line) << "the answer keeps its first 87 characters";
}

} // namespace
