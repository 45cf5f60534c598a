/*
 * getopt_test.cpp -- the re-entrant option parser and its "@"
 * argument files, over the awkward cases: quotes, grouped letters inside a
 * file, missing arguments, the empty option string, "--", a lone "-", an
 * at-sign with nothing, files of only white space, and CR LF files.
 */
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string>
#include <vector>

#include "basekit.h"
#include "getopt_int.h"
#include "testutil.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

/* A command line and the parser state over it. */
class Parser {
public:
    explicit Parser(std::vector<std::string> words) : store_(std::move(words)) {
        for (auto &w : store_)
            argv_.push_back(&w[0]);
        argv_.push_back(nullptr);
        initgetopt1(&st);
    }
    ~Parser() {
        /* A parse that ended inside a file leaves the file's memory with
         * the record. */
        free(st.file_words);
        free(st.file_buffer);
    }
    int argc() const { return (int)store_.size(); }
    int Next(const char *opts) { return getopt1(&st, argc(), argv_.data(), opts); }
    std::string Arg() const { return st.optarg ? st.optarg : "<null>"; }

    GetoptState st;

private:
    std::vector<std::string> store_;
    std::vector<char *> argv_;
};

/* Drives a parse to its end; each result is the letter, then "=" and the
 * argument for letters that have one, or "?" for an error. */
std::vector<std::string> ParseAll(Parser &p, const char *opts) {
    std::vector<std::string> out;
    for (int i = 0; i < 100; i++) {
        int c = p.Next(opts);
        if (c == -1)
            break;
        std::string item(1, (char)c);
        if (c != '?' && p.st.optarg)
            item += "=" + std::string(p.st.optarg); /* copied at once, as callers must */
        out.push_back(item);
    }
    return out;
}

std::vector<std::string> FileWords(const GetoptState &st) {
    std::vector<std::string> v;
    for (int i = 0; i < st.file_wordc; i++)
        v.push_back(st.file_words[i]);
    return v;
}

/* readcmdlist over a file holding text; the words it found. */
std::vector<std::string> ReadWords(const std::string &text) {
    testutil::TempDir tmp;
    std::string path = tmp.file("args.txt");
    testutil::WriteFile(path, text);
    GetoptState st;
    initgetopt1(&st);
    EXPECT_EQ(readcmdlist(&st, path.c_str()), 0);
    std::vector<std::string> v = FileWords(st);
    EXPECT_NE(st.file_words, nullptr);
    if (st.file_words) {
        EXPECT_EQ(st.file_words[st.file_wordc], nullptr);
    }
    EXPECT_EQ(st.infile, 0); /* file mode is getopt1's business */
    free(st.file_words);
    free(st.file_buffer);
    return v;
}

using V = std::vector<std::string>;

class GetoptTest : public testing::Test {
protected:
    void SetUp() override { log_mask(0x0010); /* errors on stderr, no file */ }
    void TearDown() override { log_mask(0x002C); }
};

} // namespace

TEST_F(GetoptTest, InitSetsFields) {
    GetoptState st;
    memset(&st, 0x5A, sizeof st);
    EXPECT_EQ(initgetopt1(&st), &st);
    EXPECT_EQ(st.opterr, 1);
    EXPECT_EQ(st.optind, 1);
    EXPECT_EQ(st.sp, 1);
    EXPECT_EQ(st.infile, 0);
    EXPECT_EQ(st.saved_optind, 0);
    EXPECT_EQ(st.file_wordc, 0);
    EXPECT_EQ(st.file_buffer, nullptr);
    EXPECT_EQ(st.file_words, nullptr);
}

TEST_F(GetoptTest, PlainOptionsAndArguments) {
    Parser p({"prog", "-a", "-b", "val", "-cfile", "rest", "-a"});
    EXPECT_EQ(ParseAll(p, "ab:c:"), (V{"a", "b=val", "c=file"}));
    EXPECT_EQ(p.st.optind, 5);
}

TEST_F(GetoptTest, GroupedLetters) {
    Parser p({"prog", "-pq", "-rbval", "-pb", "x"});
    EXPECT_EQ(ParseAll(p, "pqrb:"), (V{"p", "q", "r", "b=val", "p", "b=x"}));
    EXPECT_EQ(p.st.optind, 5);
    EXPECT_EQ(p.st.sp, 1);
}

TEST_F(GetoptTest, LetterWithoutArgumentClearsOptarg) {
    Parser p({"prog", "-bX", "-a"});
    EXPECT_EQ(p.Next("ab:"), 'b');
    EXPECT_EQ(p.Arg(), "X");
    EXPECT_EQ(p.Next("ab:"), 'a');
    EXPECT_EQ(p.st.optarg, nullptr);
}

TEST_F(GetoptTest, NoWordsAtAll) {
    Parser p({"prog"});
    EXPECT_EQ(p.Next("a"), -1);
    EXPECT_EQ(p.st.optind, 1);
}

TEST_F(GetoptTest, LoneDashEndsParsing) {
    Parser p({"prog", "-a", "-", "-a"});
    EXPECT_EQ(ParseAll(p, "a"), (V{"a"}));
    EXPECT_EQ(p.st.optind, 2);
    EXPECT_EQ(p.Next("a"), -1); /* it stays there */
    EXPECT_EQ(p.st.optind, 2);
}

TEST_F(GetoptTest, NonDashWordEndsParsing) {
    Parser p({"prog", "file.dcm", "-a"});
    EXPECT_EQ(p.Next("a"), -1);
    EXPECT_EQ(p.st.optind, 1);
}

TEST_F(GetoptTest, DoubleDashEndsParsingAfterIt) {
    Parser p({"prog", "-a", "--", "-a"});
    EXPECT_EQ(ParseAll(p, "a"), (V{"a"}));
    EXPECT_EQ(p.st.optind, 3);
}

TEST_F(GetoptTest, ArgumentFormsAreEquivalent) {
    Parser p1({"prog", "-ifile"});
    Parser p2({"prog", "-i", "file"});
    EXPECT_EQ(ParseAll(p1, "i:"), (V{"i=file"}));
    EXPECT_EQ(ParseAll(p2, "i:"), (V{"i=file"}));
    EXPECT_EQ(p1.st.optind, 2);
    EXPECT_EQ(p2.st.optind, 3);
}

TEST_F(GetoptTest, ArgumentMayBeginWithDash) {
    Parser p({"prog", "-i", "-x", "-x"});
    EXPECT_EQ(ParseAll(p, "i:x"), (V{"i=-x", "x"}));
}

TEST_F(GetoptTest, MissingArgument) {
    Parser p({"prog", "-a", "-i"});
    CaptureStderr();
    EXPECT_EQ(p.Next("ai:"), 'a');
    EXPECT_EQ(p.Next("ai:"), '?');
    EXPECT_EQ(GetCapturedStderr(), "Error: : option requires an argument -- i\n");
    EXPECT_EQ(p.st.optopt, 'i');
    EXPECT_EQ(p.st.optind, 3); /* past the end */
    EXPECT_EQ(p.st.sp, 1);
    EXPECT_EQ(p.Next("ai:"), -1);
}

TEST_F(GetoptTest, MissingArgumentAfterGroupedLetter) {
    Parser p({"prog", "-ai"});
    CaptureStderr();
    EXPECT_EQ(ParseAll(p, "ai:"), (V{"a", "?"}));
    EXPECT_EQ(GetCapturedStderr(), "Error: : option requires an argument -- i\n");
}

TEST_F(GetoptTest, IllegalOption) {
    Parser p({"prog", "-z", "-xa", "-:"});
    CaptureStderr();
    EXPECT_EQ(p.Next("a"), '?');
    EXPECT_EQ(p.st.optopt, 'z');
    EXPECT_EQ(p.st.optind, 2);
    EXPECT_EQ(p.Next("a"), '?');
    EXPECT_EQ(p.st.optopt, 'x');
    EXPECT_EQ(p.st.optind, 2); /* still inside -xa */
    EXPECT_EQ(p.st.sp, 2);
    EXPECT_EQ(p.Next("a"), 'a');
    EXPECT_EQ(p.Next("a:"), '?'); /* ':' is never a letter */
    EXPECT_EQ(p.st.optopt, ':');
    EXPECT_EQ(p.Next("a"), -1);
    EXPECT_EQ(GetCapturedStderr(), "Error: : illegal option -- z\n"
                                   "Error: : illegal option -- x\n"
                                   "Error: : illegal option -- :\n");
}

TEST_F(GetoptTest, IllegalOptionLeavesOptargAlone) {
    Parser p({"prog", "-bX", "-z"});
    CaptureStderr();
    EXPECT_EQ(p.Next("b:"), 'b');
    EXPECT_EQ(p.Next("b:"), '?');
    GetCapturedStderr();
    EXPECT_EQ(p.Arg(), "X");
}

TEST_F(GetoptTest, QuestionMarkOptionIsJustALetter) {
    Parser p({"prog", "-?"});
    CaptureStderr();
    EXPECT_EQ(p.Next("a?"), '?');
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(p.st.optopt, '?');
}

TEST_F(GetoptTest, OpterrZeroIsSilent) {
    Parser p({"prog", "-z", "-i", "@"});
    p.st.opterr = 0;
    CaptureStderr();
    EXPECT_EQ(p.Next("i:"), '?');
    EXPECT_EQ(p.Next("i:"), 'i');
    EXPECT_EQ(p.Arg(), "@");
    Parser q({"prog", "@"});
    q.st.opterr = 0;
    EXPECT_EQ(q.Next("i:"), -1);
    Parser r({"prog", "-i"});
    r.st.opterr = 0;
    EXPECT_EQ(r.Next("i:"), '?');
    EXPECT_EQ(GetCapturedStderr(), "");
}

TEST_F(GetoptTest, EmptyOptionStringOneLetterPerWord) {
    Parser p({"prog", "-gc", "-g", "-abc", "-?", "x"});
    CaptureStderr();
    EXPECT_EQ(p.Next(""), 'g');
    EXPECT_EQ(p.Arg(), "c");
    EXPECT_EQ(p.st.optind, 2);
    EXPECT_EQ(p.Next(""), 'g');
    EXPECT_EQ(p.st.optarg, nullptr);
    EXPECT_EQ(p.st.optind, 3);
    EXPECT_EQ(p.Next(""), 'a');
    EXPECT_EQ(p.Arg(), "bc");
    EXPECT_EQ(p.Next(""), '?');
    EXPECT_EQ(p.st.optarg, nullptr);
    EXPECT_EQ(p.Next(""), -1);
    EXPECT_EQ(p.st.optind, 5);
    EXPECT_EQ(GetCapturedStderr(), "");
}

TEST_F(GetoptTest, NullOptionStringIsEmpty) {
    Parser p({"prog", "-gc"});
    EXPECT_EQ(p.Next(nullptr), 'g');
    EXPECT_EQ(p.Arg(), "c");
}

/* ---- argument files ---- */

TEST_F(GetoptTest, ArgumentFileWithQuotes) {
    testutil::TempDir tmp;
    std::string f = tmp.file("args");
    testutil::WriteFile(f, "-i 'my file.dcm' -o out.dcm\n");
    Parser p({"prog", "@" + f, "-v", "rest"});
    EXPECT_EQ(p.Next("i:o:v"), 'i');
    EXPECT_EQ(p.st.infile, 1);
    EXPECT_EQ(p.st.saved_optind, 2);
    EXPECT_EQ(p.st.file_wordc, 4);
    EXPECT_EQ(FileWords(p.st), (V{"-i", "my file.dcm", "-o", "out.dcm"}));
    EXPECT_EQ(p.Arg(), "my file.dcm");
    EXPECT_EQ(ParseAll(p, "i:o:v"), (V{"o=out.dcm", "v"}));
    EXPECT_EQ(p.st.infile, 0);
    EXPECT_EQ(p.st.optind, 3);
    EXPECT_EQ(p.st.file_buffer, nullptr); /* released on return to argv */
    EXPECT_EQ(p.st.file_words, nullptr);
}

TEST_F(GetoptTest, GroupedLettersInsideFile) {
    testutil::TempDir tmp;
    std::string f = tmp.file("args");
    testutil::WriteFile(f, "-pq");
    /* The command line's word after the at-sign word would give other
     * letters if the parser read the wrong vector. */
    Parser p({"prog", "@" + f, "-rs"});
    EXPECT_EQ(ParseAll(p, "pqrs"), (V{"p", "q", "r", "s"}));
    EXPECT_EQ(p.st.optind, 3);
}

TEST_F(GetoptTest, FileWordsEndTheFileAtTheLastWord) {
    testutil::TempDir tmp;
    std::string f = tmp.file("args");
    testutil::WriteFile(f, "-a\n");
    Parser p({"prog", "@" + f});
    EXPECT_EQ(ParseAll(p, "a"), (V{"a"}));
    EXPECT_EQ(p.st.infile, 0);
    EXPECT_EQ(p.st.optind, 2);
}

TEST_F(GetoptTest, ArgumentNeverTakenAcrossEndOfFile) {
    testutil::TempDir tmp;
    std::string f = tmp.file("args");
    testutil::WriteFile(f, "-a -i");
    Parser p({"prog", "@" + f, "value"});
    CaptureStderr();
    EXPECT_EQ(p.Next("ai:"), 'a');
    EXPECT_EQ(p.Next("ai:"), '?');
    EXPECT_EQ(GetCapturedStderr(), "Error: : option requires an argument -- i\n");
    EXPECT_EQ(p.st.infile, 1);
    /* The next call leaves the file and stops at the command-line word. */
    EXPECT_EQ(p.Next("ai:"), -1);
    EXPECT_EQ(p.st.infile, 0);
    EXPECT_EQ(p.st.optind, 2);
}

TEST_F(GetoptTest, LeadingBlankLinesChangeNothing) {
    EXPECT_EQ(ReadWords("\n\n   \t -a b\n"), (V{"-a", "b"}));
    EXPECT_EQ(ReadWords("-a b"), (V{"-a", "b"}));
    EXPECT_EQ(ReadWords("\r\n\f\v-a\tb \n\n"), (V{"-a", "b"}));
}

TEST_F(GetoptTest, AtSignAloneReportsEmptyName) {
    Parser p({"prog", "@", "-a"});
    CaptureStderr();
    EXPECT_EQ(p.Next("a"), -1);
    EXPECT_EQ(GetCapturedStderr(), "Error: : could not open command list file -- \n");
    EXPECT_EQ(p.st.optind, 1); /* the caller finds words left over */
    EXPECT_EQ(p.st.infile, 0);
}

TEST_F(GetoptTest, MissingFileReported) {
    testutil::TempDir tmp;
    std::string f = tmp.file("nope");
    Parser p({"prog", "-a", "@" + f});
    CaptureStderr();
    EXPECT_EQ(ParseAll(p, "a"), (V{"a"}));
    EXPECT_EQ(GetCapturedStderr(), "Error: : could not open command list file -- " + f + "\n");
    EXPECT_EQ(p.st.optind, 2);
}

TEST_F(GetoptTest, DirectoryIsNotAnArgumentFile) {
    testutil::TempDir tmp;
    Parser p({"prog", "@" + tmp.path()});
    CaptureStderr();
    EXPECT_EQ(p.Next("a"), -1);
    EXPECT_EQ(GetCapturedStderr(),
              "Error: : could not open command list file -- " + tmp.path() + "\n");
    EXPECT_EQ(p.st.optind, 1);
}

TEST_F(GetoptTest, LongFileNameMessageIsCut) {
    std::string name = "/nonexistent/" + std::string(1500, 'n');
    Parser p({"prog", "@" + name});
    CaptureStderr();
    EXPECT_EQ(p.Next("a"), -1);
    std::string err = GetCapturedStderr();
    std::string msg = (": could not open command list file -- " + name).substr(0, 511);
    EXPECT_EQ(err, "Error: " + msg + "\n");
}

TEST_F(GetoptTest, WhiteSpaceOnlyFileEndsParsingInFileMode) {
    testutil::TempDir tmp;
    std::string f = tmp.file("blank");
    testutil::WriteFile(f, "  \n\t\r\n  \n");
    Parser p({"prog", "@" + f, "-a"});
    EXPECT_EQ(p.Next("a"), -1);
    EXPECT_EQ(p.st.infile, 1);
    EXPECT_EQ(p.st.optind, 0);
    EXPECT_EQ(p.st.file_wordc, 0);
    ASSERT_NE(p.st.file_words, nullptr);
    EXPECT_EQ(p.st.file_words[0], nullptr);
}

TEST_F(GetoptTest, EmptyFileEndsParsingInFileMode) {
    testutil::TempDir tmp;
    std::string f = tmp.file("empty");
    testutil::WriteFile(f, "");
    Parser p({"prog", "@" + f, "-a"});
    EXPECT_EQ(p.Next("a"), -1);
    EXPECT_EQ(p.st.infile, 1);
    EXPECT_EQ(p.st.optind, 0);
}

TEST_F(GetoptTest, CrLfArgumentFile) {
    testutil::TempDir tmp;
    std::string f = tmp.file("dos");
    testutil::WriteFile(f, "-i\r\n\"my file.dcm\"\r\n-o\r\nout.dcm\r\n");
    Parser p({"prog", "@" + f});
    EXPECT_EQ(ParseAll(p, "i:o:"), (V{"i=my file.dcm", "o=out.dcm"}));
    EXPECT_EQ(ReadWords("-a\r\n-b\r\nval\r\n"), (V{"-a", "-b", "val"}));
    /* A CR inside a quoted word before LF is dropped by the text stream. */
    EXPECT_EQ(ReadWords("'two\r\nlines'"), (V{"two\nlines"}));
}

TEST_F(GetoptTest, NonDashWordInsideFileStaysInFileMode) {
    testutil::TempDir tmp;
    std::string f = tmp.file("args");
    testutil::WriteFile(f, "-a name -a");
    Parser p({"prog", "@" + f, "-a"});
    EXPECT_EQ(ParseAll(p, "a"), (V{"a"}));
    EXPECT_EQ(p.st.infile, 1);
    EXPECT_EQ(p.st.optind, 1);
    EXPECT_NE(p.st.file_buffer, nullptr);
    EXPECT_EQ(std::string(p.st.file_words[p.st.optind]), "name");
}

TEST_F(GetoptTest, DoubleDashAndLoneDashInsideFile) {
    testutil::TempDir tmp;
    std::string f1 = tmp.file("a1"), f2 = tmp.file("a2");
    testutil::WriteFile(f1, "-a -- -a");
    testutil::WriteFile(f2, "-a - -a");
    Parser p({"prog", "@" + f1});
    EXPECT_EQ(ParseAll(p, "a"), (V{"a"}));
    EXPECT_EQ(p.st.infile, 1);
    EXPECT_EQ(p.st.optind, 2);
    Parser q({"prog", "@" + f2});
    EXPECT_EQ(ParseAll(q, "a"), (V{"a"}));
    EXPECT_EQ(q.st.optind, 1);
}

TEST_F(GetoptTest, AtSignInsideFileEndsParsing) {
    testutil::TempDir tmp;
    std::string f = tmp.file("args");
    testutil::WriteFile(f, "-a @other -b");
    Parser p({"prog", "@" + f});
    EXPECT_EQ(ParseAll(p, "ab"), (V{"a"}));
    EXPECT_EQ(p.st.infile, 1);
    EXPECT_EQ(p.st.optind, 1);
}

TEST_F(GetoptTest, AtSignRightAfterFileEndsParsing) {
    testutil::TempDir tmp;
    std::string f1 = tmp.file("f1"), f2 = tmp.file("f2");
    testutil::WriteFile(f1, "-a");
    testutil::WriteFile(f2, "-b");
    Parser p({"prog", "@" + f1, "@" + f2});
    EXPECT_EQ(ParseAll(p, "ab"), (V{"a"}));
    EXPECT_EQ(p.st.infile, 0);
    EXPECT_EQ(p.st.optind, 2);
}

TEST_F(GetoptTest, TwoFilesWithAnOptionBetween) {
    testutil::TempDir tmp;
    std::string f1 = tmp.file("f1"), f2 = tmp.file("f2");
    testutil::WriteFile(f1, "-a -i one");
    testutil::WriteFile(f2, "-b -i 'two words'");
    Parser p({"prog", "@" + f1, "-c", "@" + f2, "-c", "left"});
    EXPECT_EQ(ParseAll(p, "abci:"), (V{"a", "i=one", "c", "b", "i=two words", "c"}));
    EXPECT_EQ(p.st.optind, 5);
    EXPECT_EQ(p.st.infile, 0);
}

TEST_F(GetoptTest, EmptyOptionStringInsideFile) {
    testutil::TempDir tmp;
    std::string f = tmp.file("cols");
    testutil::WriteFile(f, "-gc -x");
    Parser p({"prog", "@" + f, "-y7"});
    EXPECT_EQ(ParseAll(p, ""), (V{"g=c", "x", "y=7"}));
}

TEST_F(GetoptTest, AtSignAsOptionArgumentIsNotAFile) {
    Parser p({"prog", "-i", "@nofile", "-a"});
    CaptureStderr();
    EXPECT_EQ(ParseAll(p, "i:a"), (V{"i=@nofile", "a"}));
    EXPECT_EQ(GetCapturedStderr(), "");
}

/* ---- readcmdlist: the word rules ---- */

TEST_F(GetoptTest, QuoteRules) {
    EXPECT_EQ(ReadWords("'a b'c"), (V{"a b", "c"}));
    EXPECT_EQ(ReadWords("a'b"), (V{"a'b"}));
    EXPECT_EQ(ReadWords("a'b c'"), (V{"a'b", "c'"}));
    EXPECT_EQ(ReadWords("x '' y \"\""), (V{"x", "y"}));
    EXPECT_EQ(ReadWords("\"it's\" 'say \"hi\"'"), (V{"it's", "say \"hi\""}));
    EXPECT_EQ(ReadWords("'unclosed text"), (V{"unclosed text"}));
    EXPECT_EQ(ReadWords("'a''b'"), (V{"a", "b"}));
    EXPECT_EQ(ReadWords("'multi\nline'"), (V{"multi\nline"}));
    EXPECT_EQ(ReadWords("'"), (V{}));
}

TEST_F(GetoptTest, QuotedTextStartingWithWhiteSpaceIsAWord) {
    /* The implementer's choice: such a text is a word like any other
     * quoted text, in the count and in the vector alike. */
    EXPECT_EQ(ReadWords("-i ' lead' -o"), (V{"-i", " lead", "-o"}));
    EXPECT_EQ(ReadWords("' '"), (V{" "}));
    EXPECT_EQ(ReadWords("\"\tx y\"z"), (V{"\tx y", "z"}));
}

TEST_F(GetoptTest, HighBytesAreWordCharacters) {
    EXPECT_EQ(ReadWords("caf\xc3\xa9 \xff"), (V{"caf\xc3\xa9", "\xff"}));
}

TEST_F(GetoptTest, NulByteInFileKeepsCountAndVectorInStep) {
    std::string text("-a b\0c -d", 9);
    std::vector<std::string> w = ReadWords(text);
    EXPECT_EQ(w, (V{"-a", "b", "-d"})); /* the word b\0c reads as b */
}

TEST_F(GetoptTest, ReadcmdlistReplacesNothingOnFailure) {
    GetoptState st;
    initgetopt1(&st);
    st.opterr = 0;
    EXPECT_EQ(readcmdlist(&st, ""), -1);
    EXPECT_EQ(readcmdlist(&st, "/nonexistent/file"), -1);
    EXPECT_EQ(st.file_buffer, nullptr);
    EXPECT_EQ(st.file_words, nullptr);
    EXPECT_EQ(st.file_wordc, 0);
}

TEST_F(GetoptTest, MoreWordsThanCanBeCountedAreRefused) {
    testutil::TempDir tmp;
    testutil::WriteFile(tmp.file("args"), "-a -b 'c d'");
    Parser p({"prog"});
    EXPECT_EQ(_readcmdlist_within(&p.st, tmp.file("args").c_str(), 2), -1);
    EXPECT_EQ(_readcmdlist_within(&p.st, tmp.file("args").c_str(), 3), 0);
    EXPECT_EQ(FileWords(p.st), (V{"-a", "-b", "c d"}));
}

TEST_F(GetoptTest, ManyWords) {
    std::string text;
    V expect;
    for (int i = 0; i < 5000; i++) {
        std::string w = "w" + std::to_string(i);
        text += (i % 3 == 0 ? "'" + w + "'" : w) + (i % 7 == 0 ? "\r\n" : " ");
        expect.push_back(w);
    }
    EXPECT_EQ(ReadWords(text), expect);
}
