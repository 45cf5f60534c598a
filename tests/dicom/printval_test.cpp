/*
 * printval_test.cpp -- print_element_value: the text of each VR family, the
 * two limits of the buffer, fragments, and the tag-definition VR deciding.
 */
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "lookups_int.h"
#include "medcore.h"

namespace {

/* A tiny tag table: the VR of each test tag is set by its row. */
class PrintValue : public ::testing::Test {
protected:
    void SetUp() override {
        const std::pair<uint32_t, int> rows[] = {
            {0x00100010, VR_PN}, {0x00080020, VR_DA},          {0x00080030, VR_TM},
            {0x00020010, VR_UI}, {0x00204000, VR_LT},          {0x00281010, VR_AT},
            {0x00180050, VR_FL}, {0x00181000, VR_FD},          {0x00186020, VR_SL},
            {0x00280106, VR_SS}, {0x00081160, VR_UL},          {0x00280010, VR_US},
            {0x00020001, VR_OB}, {0x00281201, VR_OW},          {0x00081140, VR_SQ},
            {0x00280104, VR_XS}, {0x00400A30, VR_UT},          {0x00080119, VR_UC},
            {0x00080120, VR_UR}, {0x00720000 | 0x0010, VR_UN}, {0x00640009, VR_OF},
            {0x00660023, VR_OD}, {0x00660040, VR_OL},          {0x00720082, VR_OV},
            {0x00720083, VR_SV}, {0x00720084, VR_UV},          {0x00080040, VR_RE},
        };
        for (const auto &r : rows)
            table_.push_back(TagDefEntry{r.first, (char *)"", r.second, 1, (char *)""});
        memset(&app_, 0, sizeof app_);
        app_.primary_tags = table_.data();
        app_.primary_count = (int16_t)table_.size();
    }
    void TearDown() override { tag_index_free(&app_); }

    /* The text appended to prefix for a value of the given tag. */
    std::string Print(uint32_t tag, const std::string &bytes, int size = 512,
                      const std::string &prefix = "", uint32_t length = 0) {
        DicomElement e{};
        std::string value = bytes;
        e.value = bytes.empty() ? nullptr : &value[0];
        e.group = (uint16_t)(tag >> 16);
        e.element = (uint16_t)tag;
        e.length = length ? length : (uint32_t)bytes.size();
        std::vector<char> buf((size_t)size + 8, 'Z');
        buf[(size_t)size] = '!'; /* guard past the buffer */
        strcpy(buf.data(), prefix.c_str());
        print_element_value(&app_, &e, buf.data(), size);
        EXPECT_EQ('!', buf[(size_t)size]) << "wrote past the buffer";
        EXPECT_NE(nullptr, memchr(buf.data(), 0, (size_t)size)) << "unterminated";
        return std::string(buf.data()).substr(prefix.size());
    }

    template <typename T>
    static std::string Bytes(std::initializer_list<T> values) {
        std::string s;
        for (T v : values)
            s.append(reinterpret_cast<const char *>(&v), sizeof v);
        return s;
    }

    AppData app_;
    std::vector<TagDefEntry> table_;
};

TEST_F(PrintValue, TextValuesStopAtTheirFirstZeroByte) {
    EXPECT_EQ("  Doe^John", Print(0x00100010, "Doe^John"));
    EXPECT_EQ("  1.2.840.10008.1.2", Print(0x00020010, std::string("1.2.840.10008.1.2\0", 18)));
    EXPECT_EQ("  20240131", Print(0x00080020, "20240131"));
    EXPECT_EQ("  101530", Print(0x00080030, std::string("101530\0\0", 8)));
}

TEST_F(PrintValue, AddedTextVrsPrintAsText) {
    EXPECT_EQ("  long text", Print(0x00400A30, "long text"));
    EXPECT_EQ("  chars", Print(0x00080119, "chars"));
    EXPECT_EQ("  http://x/y", Print(0x00080120, "http://x/y"));
}

TEST_F(PrintValue, LongTextIsCutAtTheTextLimit) {
    std::string text = Print(0x00204000, std::string(600, 'a'), 512, "x");
    EXPECT_EQ("  " + std::string(507, 'a'), text); /* 1 + 2 + 507 = 510 = size - 2 */
}

TEST_F(PrintValue, LongDateAndTimeStayWithinTheBuffer) {
    EXPECT_EQ("  " + std::string(28, '1'), Print(0x00080020, std::string(400, '1'), 32, ""));
    EXPECT_EQ("  " + std::string(18, '2'),
              Print(0x00080030, std::string(80, '2'), 32, "abcdefghij"));
}

TEST_F(PrintValue, NumbersAreJoinedByTheDelimiter) {
    EXPECT_EQ("  1\\2\\512", Print(0x00280010, Bytes<uint16_t>({1, 2, 512})));
    EXPECT_EQ("  -3\\32767", Print(0x00280106, Bytes<int16_t>({-3, 32767})));
    EXPECT_EQ("  -70000", Print(0x00186020, Bytes<int32_t>({-70000})));
    EXPECT_EQ("  4294967295\\0", Print(0x00081160, Bytes<uint32_t>({0xFFFFFFFFu, 0})));
    EXPECT_EQ("  1.500000\\-2.250000", Print(0x00180050, Bytes<float>({1.5f, -2.25f})));
    EXPECT_EQ("  0.125000", Print(0x00181000, Bytes<double>({0.125})));
    EXPECT_EQ("  -9000000000", Print(0x00720083, Bytes<int64_t>({-9000000000LL})));
    EXPECT_EQ("  18446744073709551615", Print(0x00720084, Bytes<uint64_t>({~0ULL})));
}

TEST_F(PrintValue, TagsPrintAsGroupAndElement) {
    EXPECT_EQ("  00280010\\00280011", Print(0x00281010, Bytes<uint16_t>({0x28, 0x10, 0x28, 0x11})));
}

TEST_F(PrintValue, NumbersAreCutAtTheNumberLimit) {
    /* "  1\2\3..." in a 10-byte buffer: at most 9 characters */
    EXPECT_EQ("  1\\2\\3\\4", Print(0x00280010, Bytes<uint16_t>({1, 2, 3, 4, 5, 6}), 10));
    /* a double whose "%f" text passes the scratch takes its shortest form */
    std::string big =
        Print(0x00181000, Bytes<double>({1e300, 1e300, 1e300, 1e300, 1e300, 1e300}), 1280);
    EXPECT_EQ("  1e+300\\1e+300\\1e+300\\1e+300\\1e+300\\1e+300", big);
    EXPECT_EQ("  1e+300\\1e+30", Print(0x00181000, Bytes<double>({1e300, 1e300}), 15));
}

TEST_F(PrintValue, TrailingFragmentsPrintNothing) {
    EXPECT_EQ("  1\\2", Print(0x00280010, Bytes<uint16_t>({1, 2}) + "\x07"));
    EXPECT_EQ("", Print(0x00186020, "abc"));
    EXPECT_EQ("  0001H", Print(0x00281201, Bytes<uint16_t>({1}) + "\xFF"));
    EXPECT_EQ("  2.000000", Print(0x00181000, Bytes<double>({2.0}) + "1234567"));
}

TEST_F(PrintValue, BinaryValuesPrintAsHex) {
    EXPECT_EQ("  01A0FFH", Print(0x00020001, "\x01\xA0\xFF"));
    EXPECT_EQ("  0001FFFEH", Print(0x00281201, Bytes<uint16_t>({0x0001, 0xFFFE})));
    EXPECT_EQ("  ABH", Print(0x00080040, "\xAB"));                       /* RE */
    EXPECT_EQ("  4142H", Print(0x00091234, "AB"));                       /* not defined */
    EXPECT_EQ("  00FFH", Print(0x00720010, std::string("\x00\xFF", 2))); /* UN */
    EXPECT_EQ("  3F800000H", Print(0x00640009, Bytes<float>({1.0f})));   /* OF */
    EXPECT_EQ("  00000001DEADBEEFH", Print(0x00660040, Bytes<uint32_t>({1, 0xDEADBEEF})));
    EXPECT_EQ("  3FF0000000000000H", Print(0x00660023, Bytes<double>({1.0})));
    EXPECT_EQ("  0000000000000010H", Print(0x00720082, Bytes<uint64_t>({16})));
}

TEST_F(PrintValue, HexCutAtTheTextLimitLosesItsFinalH) {
    /* size 12: text limit 10 = two blanks + 8 digits */
    EXPECT_EQ("  01020304", Print(0x00020001, "\x01\x02\x03\x04\x05\x06", 12));
    EXPECT_EQ("  0102030", Print(0x00020001, "\x01\x02\x03\x04\x05\x06", 12, "x"));
}

TEST_F(PrintValue, NothingForStructureOrEmptyValues) {
    EXPECT_EQ("", Print(0x00081140, "raw item bytes")); /* SQ */
    EXPECT_EQ("", Print(0xFFFEE000, "abcd"));           /* item */
    EXPECT_EQ("", Print(0xFFFEE0DD, "abcd"));           /* delimiter */
    EXPECT_EQ("", Print(0x00100010, "x", 512, "", 0xFFFFFFFFu));
    EXPECT_EQ("", Print(0x00100010, ""));
}

TEST_F(PrintValue, TheSeparatorIsBoundedToo) {
    EXPECT_EQ("", Print(0x00280010, Bytes<uint16_t>({1}), 4, "abc"));
    EXPECT_EQ(" ", Print(0x00100010, "Doe", 5, "ab"));
}

} // namespace
