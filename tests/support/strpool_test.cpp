/*
 * strpool_test.cpp -- the string pool DStringBuffer (block size
 * 16 cases, first fit, stable addresses, the 16-bit block limit), swapbytes
 * and the in-place case conversions.
 */
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "basekit.h"

namespace {

/* The block that holds p, or -1. */
int BlockOf(const DStringBuffer *pool, const char *p) {
    for (int i = 0; i < pool->block_count; i++)
        if (p >= pool->blocks[i] && p < pool->blocks[i] + pool->block_size)
            return i;
    return -1;
}

} // namespace

TEST(StrPoolTest, InitHoldsSharedEmptyString) {
    DStringBuffer *pool = InitDStringBuffer(16);
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ(pool->block_size, 16);
    EXPECT_EQ(pool->block_count, 1);
    EXPECT_EQ(pool->used[0], 1);
    EXPECT_EQ(pool->blocks[0][0], '\0');
    DoneDStringBuffer(&pool);
    EXPECT_EQ(pool, nullptr);
}

TEST(StrPoolTest, BlockSizeBelowOneRefused) {
    EXPECT_EQ(InitDStringBuffer(0), nullptr);
    EXPECT_EQ(InitDStringBuffer(-5), nullptr);
}

TEST(StrPoolTest, FifteenCharsGoToNewBlockSixteenRefused) {
    DStringBuffer *pool = InitDStringBuffer(16);
    ASSERT_NE(pool, nullptr);
    const char *s15 = "fifteen-chars.."; /* 15 characters, need 16 */
    ASSERT_EQ(strlen(s15), 15u);
    char *p = AddToDStringBuffer(pool, s15);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(pool->block_count, 2);
    EXPECT_EQ(p, pool->blocks[1]);
    EXPECT_STREQ(p, s15);
    EXPECT_EQ(pool->used[0], 1);
    EXPECT_EQ(pool->used[1], 16);
    EXPECT_EQ(AddToDStringBuffer(pool, "sixteen-chars..."), nullptr);
    EXPECT_EQ(pool->block_count, 2); /* refused without growing */
    DoneDStringBuffer(&pool);
}

TEST(StrPoolTest, FirstFitReturnsToEarlierBlock) {
    DStringBuffer *pool = InitDStringBuffer(16);
    ASSERT_NE(pool, nullptr);
    char *big = AddToDStringBuffer(pool, "0123456789abcd"); /* need 15: fits block 0 (1 + 15) */
    ASSERT_NE(big, nullptr);
    EXPECT_EQ(big, pool->blocks[0] + 1);
    EXPECT_EQ(pool->used[0], 16);
    char *b1 = AddToDStringBuffer(pool, "0123456789"); /* need 11: new block 1 */
    EXPECT_EQ(BlockOf(pool, b1), 1);
    char *b2 = AddToDStringBuffer(pool, "01234567"); /* need 9: 11 + 9 > 16, new block 2 */
    EXPECT_EQ(BlockOf(pool, b2), 2);
    char *s = AddToDStringBuffer(pool, "abcd"); /* need 5: block 1 has room (11 + 5) */
    EXPECT_EQ(BlockOf(pool, s), 1);
    EXPECT_EQ(s, pool->blocks[1] + 11);
    char *t = AddToDStringBuffer(pool, "xyz"); /* need 4: block 1 full, block 2 has 9 */
    EXPECT_EQ(BlockOf(pool, t), 2);
    EXPECT_EQ(pool->block_count, 3);
    EXPECT_STREQ(big, "0123456789abcd");
    EXPECT_STREQ(b1, "0123456789");
    EXPECT_STREQ(b2, "01234567");
    EXPECT_STREQ(s, "abcd");
    EXPECT_STREQ(t, "xyz");
    DoneDStringBuffer(&pool);
}

TEST(StrPoolTest, ShortStringAfterNewBlockGoesToBlockZero) {
    DStringBuffer *pool = InitDStringBuffer(16);
    ASSERT_NE(pool, nullptr);
    ASSERT_NE(AddToDStringBuffer(pool, "fifteen-chars.."), nullptr);
    ASSERT_EQ(pool->block_count, 2);
    char *p = AddToDStringBuffer(pool, "ab");
    EXPECT_EQ(p, pool->blocks[0] + 1);
    EXPECT_EQ(pool->used[0], 4);
    DoneDStringBuffer(&pool);
}

TEST(StrPoolTest, EmptyStringIsSharedAndNotStored) {
    DStringBuffer *pool = InitDStringBuffer(16);
    ASSERT_NE(pool, nullptr);
    char *e1 = AddToDStringBuffer(pool, "");
    char *e2 = AddToDStringBuffer(pool, "");
    EXPECT_EQ(e1, e2);
    EXPECT_EQ(e1, pool->blocks[0]);
    EXPECT_STREQ(e1, "");
    EXPECT_EQ(pool->used[0], 1);
    DoneDStringBuffer(&pool);
}

TEST(StrPoolTest, NullStringAndNullPool) {
    DStringBuffer *pool = InitDStringBuffer(16);
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ(AddToDStringBuffer(pool, nullptr), nullptr);
    EXPECT_EQ(AddToDStringBuffer(nullptr, "x"), nullptr);
    EXPECT_EQ(pool->used[0], 1);
    DoneDStringBuffer(&pool);
}

TEST(StrPoolTest, EqualStringsStoredTwice) {
    DStringBuffer *pool = InitDStringBuffer(4096);
    ASSERT_NE(pool, nullptr);
    char *a = AddToDStringBuffer(pool, "Patient Name");
    char *b = AddToDStringBuffer(pool, "Patient Name");
    EXPECT_NE(a, b);
    EXPECT_STREQ(a, b);
    EXPECT_EQ(b, a + 13);
    DoneDStringBuffer(&pool);
}

TEST(StrPoolTest, AddressesAndTextsStayStable) {
    DStringBuffer *pool = InitDStringBuffer(64);
    ASSERT_NE(pool, nullptr);
    std::vector<std::pair<char *, std::string>> kept;
    for (int i = 0; i < 3000; i++) {
        std::string s = "s" + std::to_string(i) + std::string(i % 40, 'x');
        char *p = AddToDStringBuffer(pool, s.c_str());
        ASSERT_NE(p, nullptr);
        kept.emplace_back(p, s);
    }
    for (auto &k : kept)
        EXPECT_EQ(std::string(k.first), k.second);
    for (int i = 0; i < pool->block_count; i++) {
        EXPECT_LE(pool->used[i], pool->block_size);
        EXPECT_GE(pool->used[i], i == 0 ? 1 : 0);
    }
    DoneDStringBuffer(&pool);
}

TEST(StrPoolTest, BlockSizeOne) {
    DStringBuffer *pool = InitDStringBuffer(1);
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ(AddToDStringBuffer(pool, "a"), nullptr);
    EXPECT_EQ(AddToDStringBuffer(pool, ""), pool->blocks[0]);
    EXPECT_EQ(pool->block_count, 1);
    DoneDStringBuffer(&pool);
}

namespace {

/* A pool of 2-byte blocks brought to 'count' full blocks by hand (the
 * record is public), as if count - 1 strings "a" had been added; filling
 * one through AddToDStringBuffer would cost a first-fit scan per block. */
DStringBuffer *FullPool(int count) {
    DStringBuffer *pool = InitDStringBuffer(2);
    if (!pool)
        return nullptr;
    pool->used = static_cast<int32_t *>(realloc(pool->used, sizeof(int32_t) * count));
    pool->blocks = static_cast<char **>(realloc(pool->blocks, sizeof(char *) * count));
    pool->used[0] = 2;
    pool->blocks[0][1] = 'z';
    for (int i = 1; i < count; i++) {
        pool->blocks[i] = static_cast<char *>(malloc(2));
        memcpy(pool->blocks[i], "a", 2);
        pool->used[i] = 2;
    }
    pool->block_count = (int16_t)count;
    return pool;
}

} // namespace

TEST(StrPoolTest, BlockCountStopsAt32767) {
    DStringBuffer *pool = FullPool(32767);
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ(AddToDStringBuffer(pool, "a"), nullptr);
    EXPECT_EQ(pool->block_count, 32767);
    /* The pool stays usable for what needs no new block. */
    EXPECT_EQ(AddToDStringBuffer(pool, ""), pool->blocks[0]);
    EXPECT_STREQ(pool->blocks[32766], "a");
    DoneDStringBuffer(&pool);
    EXPECT_EQ(pool, nullptr);
}

TEST(StrPoolTest, LastBlockBelowTheLimitIsAdded) {
    DStringBuffer *pool = FullPool(32766);
    ASSERT_NE(pool, nullptr);
    char *p = AddToDStringBuffer(pool, "b");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(pool->block_count, 32767);
    EXPECT_EQ(p, pool->blocks[32766]);
    EXPECT_STREQ(p, "b");
    EXPECT_EQ(AddToDStringBuffer(pool, "c"), nullptr);
    DoneDStringBuffer(&pool);
}

TEST(StrPoolTest, GrowingThroughManyBlocks) {
    /* Blocks of 2 bytes: every "a" (need 2) takes a block of its own. */
    DStringBuffer *pool = InitDStringBuffer(2);
    ASSERT_NE(pool, nullptr);
    for (int i = 0; i < 2000; i++)
        ASSERT_NE(AddToDStringBuffer(pool, "a"), nullptr);
    EXPECT_EQ(pool->block_count, 2001);
    EXPECT_EQ(pool->used[0], 1);
    for (int i = 1; i < pool->block_count; i++)
        EXPECT_EQ(pool->used[i], 2);
    DoneDStringBuffer(&pool);
}

TEST(StrPoolTest, DoneOnNullIsHarmless) {
    DStringBuffer *pool = nullptr;
    DoneDStringBuffer(&pool);
    EXPECT_EQ(pool, nullptr);
    DoneDStringBuffer(nullptr);
}

/* ---- swapbytes ---- */

TEST(SwapbytesTest, ReversesInPlace) {
    unsigned char four[] = {1, 2, 3, 4};
    swapbytes(four, 4);
    EXPECT_EQ(four[0], 4);
    EXPECT_EQ(four[1], 3);
    EXPECT_EQ(four[2], 2);
    EXPECT_EQ(four[3], 1);
    char three[] = "abc";
    swapbytes(three, 3);
    EXPECT_STREQ(three, "cba");
    unsigned char eight[] = {1, 2, 3, 4, 5, 6, 7, 8};
    swapbytes(eight, 8);
    unsigned char want8[] = {8, 7, 6, 5, 4, 3, 2, 1};
    EXPECT_EQ(memcmp(eight, want8, 8), 0);
    uint16_t v = 0x1234;
    swapbytes(&v, 2);
    EXPECT_EQ(v, 0x3412);
}

TEST(SwapbytesTest, ZeroOneAndNegativeChangeNothing) {
    char s[] = "xy";
    swapbytes(s, 0);
    EXPECT_STREQ(s, "xy");
    swapbytes(s, 1);
    EXPECT_STREQ(s, "xy");
    swapbytes(s, -4);
    EXPECT_STREQ(s, "xy");
}

/* ---- strtoupper, strtolower ---- */

TEST(CaseTest, UpperAndLower) {
    char s[] = "Hello, World 42!";
    EXPECT_EQ(strtoupper(s, (int)strlen(s)), s);
    EXPECT_STREQ(s, "HELLO, WORLD 42!");
    EXPECT_EQ(strtolower(s, (int)strlen(s)), s);
    EXPECT_STREQ(s, "hello, world 42!");
}

TEST(CaseTest, ExactlyNCharacters) {
    char s[] = "abcdef";
    strtoupper(s, 3);
    EXPECT_STREQ(s, "ABCdef");
    strtolower(s, 1);
    EXPECT_STREQ(s, "aBCdef");
}

TEST(CaseTest, BeyondTheNul) {
    char s[] = {'a', 'b', '\0', 'c', 'd', '\0'};
    strtoupper(s, 5);
    EXPECT_EQ(memcmp(s, "AB\0CD\0", 6), 0);
    strtolower(s, 5);
    EXPECT_EQ(memcmp(s, "ab\0cd\0", 6), 0);
}

TEST(CaseTest, ZeroOrNegativeCountChangesNothing) {
    char s[] = "abc";
    strtoupper(s, 0);
    EXPECT_STREQ(s, "abc");
    strtoupper(s, -1);
    EXPECT_STREQ(s, "abc");
    char t[] = "ABC";
    strtolower(t, -10);
    EXPECT_STREQ(t, "ABC");
}

TEST(CaseTest, HighBytesUnchangedInCLocale) {
    char s[] = "\xe9\xff";
    strtoupper(s, 2);
    EXPECT_STREQ(s, "\xe9\xff");
}
