/*
 * checks_test.cpp -- the value checker, VR by VR, on a tag table of its own
 * (VR, VM and permitted values chosen per row): lengths, repertoires, the
 * UID component rule, the VM rule, permitted values, pad bytes, and the
 * VRs with no checks.  Then the rules that depend on the dictionary, over
 * every row of the bundled tag_tab.def.
 */
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "checks_int.h"
#include "lookups_int.h"
#include "medcore.h"
#include "testutil.h"

namespace {

const uint16_t kLen = VERIFY_BAD_LENGTH, kChars = VERIFY_EXTRA_CHARS, kVM = VERIFY_BAD_VM,
               kNotPermitted = VERIFY_NOT_PERMITTED, kUnknownVR = VERIFY_UNKNOWN_VR;

struct Row {
    uint32_t tag;
    int vr;
    int16_t vm;
    const char *permitted;
};

/* The tags of the table; most carry their usual dictionary VR and VM. */
const Row kRows[] = {
    {0x00020016, VR_AE, 1, ""},
    {0x00080054, VR_AE, -1, ""},
    {0x00101010, VR_AS, 1, ""},
    {0x00080060, VR_CS, 1, ""},
    {0x00080008, VR_CS, -1, "ORIGINAL, DERIVED, PRIMARY, SECONDARY"},
    {0x00100040, VR_CS, 1, "M, F, O"},
    {0x00181700, VR_CS, -3, "RECTANGULAR, CIRCULAR, POLYGONAL"},
    {0x00700001, VR_CS, 1, "NONE, nnn"},
    {0x00700002, VR_CS, 1, "FOR\nPROCESSING,\nOTHER"},
    {0x00080020, VR_DA, 1, ""},
    {0x00180050, VR_DS, 1, ""},
    {0x00280030, VR_DS, 2, ""},
    {0x0008002A, VR_DT, 1, ""},
    {0x00700003, VR_DT, -1, ""},
    {0x00200013, VR_IS, 1, ""},
    {0x00080030, VR_TM, 1, ""},
    {0x00080016, VR_UI, 1, ""},
    {0x00100020, VR_LO, 1, ""},
    {0x00102000, VR_LO, -1, ""},
    {0x00700004, VR_LO, -1, "ALPHA, BETA"},
    {0x00080050, VR_SH, 1, ""},
    {0x00080094, VR_SH, -1, ""},
    {0x00700005, VR_SH, 1, "YES, NO"},
    {0x00080081, VR_ST, 1, ""},
    {0x00204000, VR_LT, 1, ""},
    {0x00100010, VR_PN, 1, ""},
    {0x00080119, VR_UC, 1, ""},
    {0x00700006, VR_UC, -1, ""},
    {0x0008030E, VR_UT, 1, ""},
    {0x00080120, VR_UR, 1, ""},
    {0x00209165, VR_AT, 1, ""},
    {0x00180013, VR_FL, 1, ""},
    {0x00081163, VR_FD, 2, ""},
    {0x00186020, VR_SL, 1, ""},
    {0x00189219, VR_SS, 1, ""},
    {0x00081161, VR_UL, -1, ""},
    {0x00280010, VR_US, 1, ""},
    {0x001021C0, VR_US, 1, "0001, 0002, 0003, 0004"},
    {0x00700007, VR_US, 1, "1, 2"},
    {0x00700008, VR_US, 1, "2345"},
    {0x00280106, VR_XS, 1, "0001"},
    {0x00281101, VR_XU, 3, ""},
    {0x00720082, VR_SV, 1, ""},
    {0x00720083, VR_UV, -1, ""},
    {0x00020001, VR_OB, 1, ""},
    {0x00281201, VR_OW, 1, ""},
    {0x0072006D, VR_UN, 1, ""},
    {0x00640009, VR_OF, 1, ""},
    {0x00660022, VR_OD, 1, ""},
    {0x00660040, VR_OL, 1, ""},
    {0x00720081, VR_OV, 1, ""},
    {0x00080040, VR_RE, 1, ""},
    {0x7FE00010, VR_OX, 1, ""},
    {0xFFFEE000, VR_XX, 1, ""},
    {0x00081115, VR_SQ, 1, ""},
};

std::string Repeat(char c, size_t n) {
    return std::string(n, c);
}

template <typename T>
std::string Bin(std::initializer_list<T> values) {
    std::string s;
    for (T v : values)
        s.append(reinterpret_cast<const char *>(&v), sizeof v);
    return s;
}

struct Case {
    uint32_t tag;
    std::string value;
    uint16_t want;
    const char *what;
    int letters = -1; /* VR letters its file gave it and the reader kept */
};

const Case kCases[] = {
    // AE: length per value, line-end characters anywhere, VM rule
    {0x00020016, "STORESCU", 0, "plain AE"},
    {0x00020016, "AE\\TITLE", kVM, "two AE values under VM 1"},
    {0x00020016, Repeat('A', 17) + " ", kLen, "17 characters and the pad"},
    {0x00020016, "ST\nRE", kChars, "line feed"},
    {0x00080054, "A\\B\r ", kChars, "carriage return in a later value"},
    // AS
    {0x00101010, "012D", 0, "age in days"},
    {0x00101010, "12D ", kLen, "three characters"},
    {0x00101010, "01D2", kChars, "unit in the middle"},
    {0x00101010, "012X", kChars, "unknown unit"},
    {0x00101010, "123456", kLen, "six characters of the repertoire"},
    {0x00101010, "012Y\\034W", kVM, "two ages"},
    // CS: repertoire, length, permitted values per value, (0008,0008) rule
    {0x00080060, "CT ", 0, "with the pad blank"},
    {0x00080060, "ct", kChars, "lower case"},
    {0x00080060, "CT\\MR", kVM, "two values under VM 1"},
    {0x00080060, Repeat('A', 17) + " ", kLen, "17 characters"},
    {0x00100040, "M ", 0, "permitted, padded"},
    {0x00100040, "X ", kNotPermitted, "not permitted"},
    {0x00080008, "DERIVED\\SECONDARY\\AXIAL", 0, "third Image Type value not compared"},
    {0x00080008, "ORIGINAL\\AXIAL", kNotPermitted, "second Image Type value compared"},
    {0x00181700, "RECTANGULAR\\CIRCULAR", 0, "two of at most three"},
    {0x00181700, "CIRCULAR\\POLYGON", kNotPermitted, "each value compared"},
    {0x00181700, "RECTANGULAR\\CIRCULAR\\POLYGONAL\\CIRCULAR", kVM, "four of at most three"},
    {0x00700001, "123 ", 0, "digits under nnn"},
    {0x00700001, "12A ", kNotPermitted, "not only digits"},
    {0x00700002, "FOR  PROCESSING", 0, "line end of an item reads as a blank, blank runs as one"},
    {0x00700002, "OTHER ", 0, "item after a comma and a line end"},
    // DA
    {0x00080020, "20240131", 0, "date"},
    {0x00080020, "1997.01.31", 0, "old dotted form"},
    {0x00080020, "2024013 ", kLen, "seven digits"},
    {0x00080020, "2024-01-31", kChars, "dashes"},
    // DS
    {0x00180050, "-1.5E+3 ", 0, "exponent and sign"},
    {0x00180050, "1,5 ", kChars, "decimal comma"},
    {0x00180050, Repeat('1', 17) + " ", kLen, "17 characters"},
    {0x00280030, "0.5\\0.5", 0, "pair"},
    {0x00280030, "0.5 ", kVM, "one of a pair"},
    // DT: the pad blank of an odd-length value is no character of it
    {0x0008002A, "200102131847+0100 ", 0, "odd length with offset"},
    {0x0008002A, "2001 0213", kChars, "inner blank"},
    {0x00700003, "2001\\2002+0100 ", 0, "list with offset"},
    {0x0008002A, "2001\\2002", kVM, "list under VM 1"},
    // IS, TM
    {0x00200013, "1.5 ", kChars, "fraction"},
    {0x00200013, "1234567890123 ", kLen, "13 characters"},
    {0x00080030, "101530.123 ", 0, "time with fraction"},
    {0x00080030, "1015a ", kChars, "letter"},
    // UI: NUL pad, component rule, length
    {0x00080016, std::string("1.2.840.10008.1.2\0", 18), 0, "padded UID"},
    {0x00080016, std::string("1.2.3.4.5.0\0", 12), 0, "last component 0, padded"},
    {0x00080016, "1.2.0.3", 0, "component 0 alone"},
    {0x00080016, "1.2.03", kNotPermitted, "leading zero"},
    {0x00080016, std::string("01.2\0", 5), kNotPermitted, "leading zero first"},
    {0x00080016, "1.2.a.", kChars, "letter"},
    {0x00080016, "1.2\\1.3", kVM, "two UIDs"},
    {0x00080016, Repeat('1', 65) + std::string(1, '\0'), kLen, "65 characters and the pad"},
    // LO and SH of one value: the backslash rule; LT and ST: a backslash is text
    {0x00100020, "A\\B", kChars | kVM, "backslash in LO"},
    {0x00100020, Repeat('x', 65) + " ", kLen, "65 characters"},
    {0x00080050, "A\\B", kChars | kVM, "backslash in SH"},
    {0x00700005, "YES ", 0, "SH permitted"},
    {0x00700005, "MAYBE ", kNotPermitted, "SH not permitted"},
    {0x00080081, "Main St\\1", 0, "backslash in ST"},
    {0x00080081, Repeat('x', 1025) + " ", kLen, "1025 characters in ST"},
    {0x00204000, "line\r\nline", 0, "LT with line ends"},
    {0x00204000, Repeat('x', 10241) + " ", kLen, "10241 characters in LT"},
    // LO and SH of several values: per value like CS
    {0x00102000, "ALERT 1\\ALERT 2", 0, "two LO values"},
    {0x00102000, "A\\" + Repeat('x', 65) + " ", kLen, "second LO value too long"},
    {0x00700004, "ALPHA\\BETA", 0, "permitted LO values"},
    {0x00700004, "ALPHA\\GAMMA", kNotPermitted, "second LO value not permitted"},
    {0x00080094, "555\\666 ", 0, "two SH values"},
    // PN
    {0x00100010, "Doe\\Roe ", kVM, "two names"},
    {0x00100010, "Doe\r\nJohn", kChars, "line end"},
    {0x00100010, Repeat('x', 65) + " ", kLen, "65 characters"},
    // UC per value, UT and UR without limits or backslash rule
    {0x00080119, Repeat('c', 300), 0, "long UC"},
    {0x00080119, "A\\B", kVM, "two UC values under VM 1"},
    {0x00700006, "A\\B", 0, "two UC values under VM 1-n"},
    {0x0008030E, "A\\B" + Repeat('t', 70000), 0, "UT"},
    {0x00080120, "http://host/a\\b ", 0, "UR"},
    // fixed-size VRs: whole values, counted by size
    {0x00209165, Bin<uint16_t>({0x0028, 0x0010}), 0, "AT"},
    {0x00209165, Bin<uint16_t>({0x0028, 0x0010, 0x0028}), kLen, "AT and a half"},
    {0x00209165, Bin<uint16_t>({0x0028, 0x0010, 0x0028, 0x0011}), kVM, "two AT"},
    {0x00180013, Bin<float>({1.5f, 2.5f}), kVM, "two FL"},
    {0x00081163, Bin<double>({1, 2}), 0, "FD pair"},
    {0x00081163, Bin<double>({1}), kVM, "one FD of a pair"},
    {0x00081163, Bin<double>({1}) + "abcd", kLen | kVM, "FD and a half"},
    {0x00186020, Bin<int32_t>({-5, 5}), kVM, "two SL"},
    {0x00189219, Bin<int16_t>({-5}) + "x", kLen, "SS and a byte"},
    {0x00081161, Bin<uint32_t>({1, 2}) + "ab", kLen, "UL and a half"},
    {0x00280010, Bin<uint16_t>({512}) + "x", kLen, "US of length 3"},
    {0x00280010, Bin<uint16_t>({1, 2}), kVM, "two US"},
    {0x001021C0, Bin<uint16_t>({1}), 0, "US 1 against 0001"},
    {0x001021C0, Bin<uint16_t>({5}), kNotPermitted, "US 5 against 0001-0004"},
    {0x00700007, Bin<uint16_t>({1}), kNotPermitted, "US 1 compared as 0001 against 1"},
    {0x00700008, Bin<uint16_t>({12345}), 0, "US 12345 compared as 2345"},
    {0x00280106, Bin<uint16_t>({5}), 0, "XS: the SS reading passes"},
    {0x00280106, Bin<uint16_t>({1}) + "x", kLen, "XS of length 3"},
    {0x00280106, Bin<uint16_t>({5}) + "x", kLen | kNotPermitted, "XS: both readings fail"},
    {0x00281101, Bin<uint16_t>({256, 0, 16}), 0, "XU descriptor"},
    {0x00281101, Bin<uint16_t>({256, 0}), kLen | kVM, "XU of length 4"},
    {0x00720082, Bin<int64_t>({-7}), 0, "SV"},
    {0x00720082, Bin<int64_t>({-7}) + "abcd", kLen, "SV and a half"},
    {0x00720083, Bin<uint64_t>({7, 8, 9}), 0, "three UV"},
    {0x00720083, "abcd", kLen, "half a UV"},
    // VRs without checks
    {0x00020001, std::string("\x00\x01\x02", 3), 0, "OB"},
    {0x00281201, "abc", 0, "OW of odd length"},
    {0x0072006D, "A\\B\\C", 0, "UN"},
    {0x00640009, "abc", 0, "OF"},
    {0x00660022, "abc", 0, "OD"},
    {0x00660040, "abc", 0, "OL"},
    {0x00720081, "abc", 0, "OV"},
    {0x00080040, "\\\\", 0, "retired"},
    {0x7FE00010, "abc", 0, "OX"},
    {0xFFFEE000, "abc", 0, "item with raw content"},
    {0x00081115, "abcdefgh", 0, "sequence with raw content"},
    // VR letters of another kind than the dictionary's decide
    {0x00189219, "12.5", 0, "DS text under an SS tag", VR_DS},
    {0x00280010, Bin<uint32_t>({70000}), 0, "UL under a US tag", VR_UL},
    // no checks at all, or only the unknown VR
    {0x00091010, "A\\B\\C", 0, "private element"},
    {0x00080061, "A\\" + Repeat('x', 100), kUnknownVR, "tag the table does not hold"},
    {0x00100020, "", 0, "length 0"},
};

class ValueChecks : public ::testing::Test {
protected:
    void SetUp() override {
        for (const Row &r : kRows)
            rows_.push_back(TagDefEntry{r.tag, (char *)"", r.vr, r.vm, (char *)r.permitted});
        memset(&app_, 0, sizeof app_);
        app_.primary_tags = rows_.data();
        app_.primary_count = (int16_t)rows_.size();
    }
    void TearDown() override { tag_index_free(&app_); }

    uint16_t Check(uint32_t tag, const std::string &value, int letters = -1) {
        std::string copy = value; /* the checker must change nothing */
        DicomElement e{};
        e.vr = letters;
        e.file_vr = (uint8_t)(letters + 1);
        e.group = (uint16_t)(tag >> 16);
        e.element = (uint16_t)tag;
        e.length = (uint32_t)copy.size();
        e.value = copy.empty() ? nullptr : &copy[0];
        const uint16_t bits = _check_value(&app_, &e);
        EXPECT_EQ(value, copy) << "value changed";
        return bits;
    }

    std::vector<TagDefEntry> rows_;
    AppData app_;
};

std::string Hex(uint16_t bits) {
    char text[8];
    snprintf(text, sizeof text, "0x%04X", bits);
    return text;
}

TEST_F(ValueChecks, EachVrByItsRules) {
    for (const Case &c : kCases)
        EXPECT_EQ(Hex(c.want), Hex(Check(c.tag, c.value, c.letters)))
            << c.what << " (tag " << std::hex << c.tag << ")";
}

TEST_F(ValueChecks, UndefinedLengthAndMissingValueGiveNothing) {
    DicomElement e{};
    e.group = 0x0010;
    e.element = 0x0020;
    e.length = 0xFFFFFFFFu;
    EXPECT_EQ(0, _check_value(&app_, &e));
    e.length = 4;
    e.value = nullptr;
    EXPECT_EQ(0, _check_value(&app_, &e));
    EXPECT_EQ(0, _check_value(&app_, nullptr));
}

TEST_F(ValueChecks, PermittedValuesDirectly) {
    const struct {
        uint32_t tag;
        const char *value;
        uint16_t want;
    } cases[] = {
        {0x00100040, "  F  ", 0},        /* blanks around do not count */
        {0x00100040, "", kNotPermitted}, /* no item is empty */
        {0x00700001, "", 0},             /* "nnn" takes the empty digit run */
        {0x00700001, "NONE NONE", kNotPermitted},
        {0x00700002, "FOR PROCESSING", 0},
        {0x00700002, "FOR\nPROCESSING", kNotPermitted}, /* a line end in the value stays */
        {0x00080060, "ANYTHING", 0},                    /* no permitted values: no restriction */
    };
    for (const auto &c : cases)
        EXPECT_EQ(Hex(c.want), Hex(_check_permitted(&app_, c.tag, c.value, strlen(c.value))))
            << c.value;
}

/* Rules that depend on the dictionary's own VR and VM, over every row of
 * the bundled tag_tab.def. */
class DictionaryChecks : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        memset(&app_, 0, sizeof app_);
        ASSERT_EQ(0, InitDICOMTagDef(&app_, (testutil::DefsDir() + "/tag_tab.def").c_str(), 1));
    }
    static void TearDownTestSuite() { DoneTagDef(&app_); }

    static uint16_t Check(uint32_t tag, std::string value) {
        DicomElement e{};
        e.group = (uint16_t)(tag >> 16);
        e.element = (uint16_t)tag;
        e.length = (uint32_t)value.size();
        e.value = &value[0];
        return _check_value(&app_, &e);
    }
    static AppData app_;
};
AppData DictionaryChecks::app_;

TEST_F(DictionaryChecks, LoAndShOfSeveralValuesAreCheckedPerValue) {
    int multi = 0, single = 0;
    for (int16_t i = 0; i < app_.primary_count; i++) {
        const TagDefEntry &r = app_.primary_tags[i];
        if (r.vr != VR_LO && r.vr != VR_SH && r.vr != VR_LT && r.vr != VR_ST)
            continue;
        const bool several = (r.vr == VR_LO || r.vr == VR_SH) && r.vm != 1;
        const uint16_t two_values = r.vm > 2 ? kVM : 0; /* an exact VM of 3 or more */
        const uint16_t one_value = r.vr == VR_LT || r.vr == VR_ST ? 0 : kChars | kVM;
        EXPECT_EQ(Hex(several ? two_values : one_value), Hex(Check(r.tag, "ONE\\TWO ")))
            << r.name << " VM " << r.vm;
        if (several) {
            multi++;
            EXPECT_EQ(Hex(kLen), Hex(Check(r.tag, "ONE\\" + Repeat('x', 65) + " "))) << r.name;
        } else
            single++;
    }
    EXPECT_GE(multi, 30); /* Medical Alerts, Allergies, Software Versions, ... */
    EXPECT_GT(single, 300);
}

TEST_F(DictionaryChecks, NewerVrsFollowTheirRules) {
    int seen[VR_COUNT] = {};
    const std::string long_text = "A\\B" + Repeat('t', 20000);
    for (int16_t i = 0; i < app_.primary_count; i++) {
        const TagDefEntry &r = app_.primary_tags[i];
        if ((r.tag >> 16) & 1)
            continue;
        seen[r.vr >= 0 ? r.vr : VR_QQ]++;
        switch (r.vr) {
        case VR_UT:
        case VR_UR: /* no length limit, no backslash rule */
            EXPECT_EQ(0, Check(r.tag, long_text)) << r.name;
            break;
        case VR_UC: /* no length limit, the VM rule per value */
            EXPECT_EQ(Hex(r.vm == 1 ? kVM : 0), Hex(Check(r.tag, long_text))) << r.name;
            break;
        case VR_SV:
        case VR_UV:
            EXPECT_EQ(0, Check(r.tag, Bin<uint64_t>({1}))) << r.name;
            EXPECT_EQ(Hex(kLen), Hex(Check(r.tag, Bin<uint64_t>({1}) + "abcd"))) << r.name;
            break;
        case VR_UN:
        case VR_OF:
        case VR_OD:
        case VR_OL:
        case VR_OV:
        case VR_OB:
        case VR_OW: EXPECT_EQ(0, Check(r.tag, "odd")) << r.name; break;
        default: break;
        }
    }
    for (int vr : {VR_UT, VR_UR, VR_UC, VR_SV, VR_UV, VR_UN, VR_OF, VR_OD, VR_OL, VR_OV})
        EXPECT_GT(seen[vr], 0) << VRTypes[vr].name << " has no row in the dictionary";
}

} // namespace
