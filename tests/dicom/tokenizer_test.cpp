/*
 * tokenizer_test.cpp -- the definition-file token readers on small files:
 * strings, numbers, characters, comments, end of file, and lines longer
 * than one 256-character piece.
 */
#include <gtest/gtest.h>

#include <string>

#include "medcore.h"
#include "platform.h"
#include "testutil.h"

namespace {

// A tokenizer buffer reading the given text from a file in text mode.
class Tok {
public:
    explicit Tok(const std::string &text) {
        testutil::WriteFile(dir_.file("in.def"), text);
        file_ = plat_fopen_text(dir_.file("in.def").c_str());
        buf_ = pd_init_buffer(file_);
    }
    ~Tok() {
        pd_done_buffer(&buf_);
        if (file_)
            fclose(file_);
    }
    PDBuffer *operator->() const { return buf_; }
    operator PDBuffer *() const { return buf_; }

private:
    testutil::TempDir dir_;
    FILE *file_ = nullptr;
    PDBuffer *buf_ = nullptr;
};

const int kMax = 2005;

struct StringRead {
    int result;
    std::string text;
};

StringRead ReadString(PDBuffer *buf, int max = kMax) {
    std::string out(max + 3, 'z');
    const int r = pd_get_string_value_spcs(buf, &out[0], max);
    return {r, out.c_str()};
}

TEST(TokenizerBuffer, StartsEmptyAndDoneClearsThePointer) {
    Tok buf("x");
    EXPECT_EQ(0, buf->pos);
    EXPECT_EQ('\0', buf->line[0]);
    PDBuffer *other = pd_init_buffer(nullptr);
    ASSERT_NE(nullptr, other);
    pd_done_buffer(&other);
    EXPECT_EQ(nullptr, other);
    pd_done_buffer(&other); // NULL again: nothing happens
}

// Without a stream (or without a buffer) there is nothing to read: every
// reader answers end of file, as at the end of an empty file.
TEST(TokenizerBuffer, NoStreamReadsAsTheEndOfTheFile) {
    PDBuffer *no_stream = pd_init_buffer(nullptr);
    ASSERT_NE(nullptr, no_stream);
    for (PDBuffer *buf : {no_stream, static_cast<PDBuffer *>(nullptr)}) {
        SCOPED_TRACE(buf ? "buffer without stream" : "no buffer");
        char text[8] = "x";
        int16_t number = 7;
        uint32_t hex = 7;
        EXPECT_EQ(-1, pd_peek_one_char(buf));
        EXPECT_EQ(-1, pd_match_one_char(buf, '{'));
        EXPECT_EQ(-1, pd_get_char_value(buf));
        EXPECT_EQ(-1, pd_skip_expr(buf, "[ ]"));
        EXPECT_EQ(-1, pd_skip_spaces(buf));
        EXPECT_EQ(-1, pd_skip_comment(buf));
        EXPECT_EQ(-1, pd_skip_char(buf, '{'));
        EXPECT_EQ(-1, pd_skip_char_spcs(buf, '{'));
        EXPECT_EQ(-1, pd_get_string_value(buf, text, 5));
        EXPECT_STREQ("", text);
        EXPECT_EQ(-1, pd_get_string_value_spcs(buf, text, 5));
        EXPECT_EQ(-1, pd_get_short_value_spcs(buf, &number));
        EXPECT_EQ(0, number);
        EXPECT_EQ(-1, pd_get_hex_value_spcs(buf, &hex));
        EXPECT_EQ(0u, hex);
    }
    pd_done_buffer(&no_stream);
}

TEST(TokenizerStrings, EmptyMultiLineAndBoundedStrings) {
    Tok buf("\"\" \"one\ntwo\nthree\" \"abcde\" \"abcdef\"");
    EXPECT_EQ(1, ReadString(buf).result);
    StringRead lines = ReadString(buf);
    EXPECT_EQ(1, lines.result);
    EXPECT_EQ("one\ntwo\nthree", lines.text);
    StringRead exact = ReadString(buf, 5);
    EXPECT_EQ(1, exact.result);
    EXPECT_EQ("abcde", exact.text);
    StringRead over = ReadString(buf, 5);
    EXPECT_EQ(0, over.result);
    EXPECT_EQ("abcde", over.text);
    EXPECT_EQ('f', pd_peek_one_char(buf)); // stands behind the max characters
}

TEST(TokenizerStrings, NoQuoteLeavesTheTokenAndEndOfFileGivesMinusOne) {
    Tok buf("abc \"open");
    EXPECT_EQ(0, ReadString(buf).result);
    EXPECT_EQ('a', pd_get_char_value(buf));
    EXPECT_EQ('b', pd_peek_one_char(buf));
    Tok open(" \"never closed\n");
    EXPECT_EQ(-1, ReadString(open).result);
    Tok blank("   \n\n");
    EXPECT_EQ(-1, ReadString(blank).result);
}

TEST(TokenizerStrings, CommentCharacterInsideAStringIsText) {
    Tok buf("\"a # b\"");
    EXPECT_EQ("a # b", ReadString(buf).text);
}

TEST(TokenizerStrings, CarriageReturnLineFeedBecomesLineFeed) {
    Tok buf("\"one\r\ntwo\"\r\n");
    EXPECT_EQ("one\ntwo", ReadString(buf).text);
}

TEST(TokenizerStrings, LongStringRunsAcrossPieces) {
    const std::string text(700, 'q');
    Tok buf("\"" + text + "\"");
    StringRead r = ReadString(buf);
    EXPECT_EQ(1, r.result);
    EXPECT_EQ(text, r.text);
}

TEST(TokenizerNumbers, HexNeedsLowerCasePrefix) {
    Tok buf("0x0010ABcd 0X00100010\n x00100010\n 00100010\n 0x7fe00010");
    uint32_t v = 1;
    EXPECT_EQ(1, pd_get_hex_value_spcs(buf, &v));
    EXPECT_EQ(0x0010ABCDu, v);
    EXPECT_EQ(0, pd_get_hex_value_spcs(buf, &v));
    EXPECT_EQ(0u, v);
    EXPECT_EQ(0, pd_get_hex_value_spcs(buf, &v));
    EXPECT_EQ(0, pd_get_hex_value_spcs(buf, &v));
    EXPECT_EQ(1, pd_get_hex_value_spcs(buf, &v)); // the failures dropped their lines
    EXPECT_EQ(0x7FE00010u, v);
    EXPECT_EQ(-1, pd_get_hex_value_spcs(buf, &v));
}

TEST(TokenizerNumbers, HexSaturatesAtThirtyTwoBits) {
    Tok buf("0x123456789");
    uint32_t v = 0;
    EXPECT_EQ(1, pd_get_hex_value(buf, &v));
    EXPECT_EQ(0xFFFFFFFFu, v);
}

TEST(TokenizerNumbers, ShortIntegers) {
    Tok buf("-3, 12 +7 32767 a\n5");
    int16_t v = 99;
    EXPECT_EQ(1, pd_get_short_value_spcs(buf, &v));
    EXPECT_EQ(-3, v);
    EXPECT_EQ(1, pd_skip_char_spcs(buf, ','));
    EXPECT_EQ(1, pd_get_short_value(buf, &v)); // "%hd" skips the blank itself
    EXPECT_EQ(12, v);
    EXPECT_EQ(1, pd_get_short_value_spcs(buf, &v));
    EXPECT_EQ(7, v);
    EXPECT_EQ(1, pd_get_short_value_spcs(buf, &v));
    EXPECT_EQ(32767, v);
    EXPECT_EQ(0, pd_get_short_value_spcs(buf, &v));
    EXPECT_EQ(0, v);
    EXPECT_EQ(1, pd_get_short_value_spcs(buf, &v));
    EXPECT_EQ(5, v);
}

TEST(TokenizerNumbers, WhiteSpaceToTheEndOfThePieceIsMinusOne) {
    Tok buf("   \n7");
    int16_t v = 1;
    EXPECT_EQ(-1, pd_get_short_value(buf, &v));
}

TEST(TokenizerNumbers, NumberStraddlingTwoPiecesIsTwoTokens) {
    Tok buf(std::string(254, ' ') + "12345\n");
    int16_t v = 0;
    EXPECT_EQ(1, pd_get_short_value_spcs(buf, &v));
    EXPECT_EQ(12, v);
    EXPECT_EQ(1, pd_get_short_value_spcs(buf, &v));
    EXPECT_EQ(345, v);
}

TEST(TokenizerComments, SkippedUpToTheNextToken) {
    Tok buf("  # one\n\t# two\r\n  x#three\ny");
    EXPECT_EQ(1, pd_skip_comment(buf));
    EXPECT_EQ(1, pd_skip_char(buf, 'x'));
    EXPECT_EQ(1, pd_skip_char_spcs(buf, 'y')); // '#' right after a token
    EXPECT_EQ(-1, pd_skip_comment(buf));
}

TEST(TokenizerComments, EndOfFileInsideACommentOrBlanks) {
    Tok comment("# last line without end");
    EXPECT_EQ(-1, pd_skip_comment(comment));
    Tok blanks(" \n \t\n");
    EXPECT_EQ(-1, pd_skip_comment(blanks));
    Tok empty("");
    EXPECT_EQ(-1, pd_skip_comment(empty));
}

TEST(TokenizerComments, LongCommentRunsAcrossPieces) {
    Tok buf("#" + std::string(600, 'c') + "\n\"s\"");
    EXPECT_EQ("s", ReadString(buf).text);
}

TEST(TokenizerChars, CharacterValueAndMatching) {
    Tok buf(" ' ' '\"' z");
    EXPECT_EQ(1, pd_skip_char_spcs(buf, '\''));
    EXPECT_EQ(' ', pd_get_char_value(buf));
    EXPECT_EQ(1, pd_skip_char(buf, '\''));
    EXPECT_EQ(1, pd_skip_char_spcs(buf, '\''));
    EXPECT_EQ('"', pd_get_char_value(buf));
    EXPECT_EQ(0, pd_skip_char(buf, ','));
    EXPECT_EQ('\'', pd_match_one_char(buf, '\''));
    EXPECT_EQ(0, pd_skip_spaces(buf));
    EXPECT_EQ('z', pd_match_one_char(buf, 'q')); // left unread
    EXPECT_EQ('z', pd_match_one_char(buf, 'z'));
    EXPECT_EQ(-1, pd_match_one_char(buf, 'z'));
    EXPECT_EQ(-1, pd_get_char_value(buf));
    EXPECT_EQ(-1, pd_skip_char(buf, 'z'));
}

TEST(TokenizerSkip, ScanSetsStopOnTheFirstOtherCharacter) {
    Tok buf("abcabcd]");
    EXPECT_EQ(0, pd_skip_expr(buf, "[a-c]"));
    EXPECT_EQ('d', pd_peek_one_char(buf));
    EXPECT_STREQ("abcabc", buf->scan);
    EXPECT_EQ(0, pd_skip_expr(buf, "[^]]"));
    EXPECT_EQ(']', pd_peek_one_char(buf));
    EXPECT_EQ(-1, pd_skip_expr(buf, "[]]"));
}

} // namespace
