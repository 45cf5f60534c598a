/*
 * oddsyntax_test.cpp -- files whose syntax the programs must work out, or
 * read apart from their data set: bare data sets of either byte order
 * whose first group says nothing of the order (private, overlay and other
 * groups of 0100 and above), listed, converted and read back after a
 * conversion without meta header, each against dcmdump told the syntax;
 * the VR letters XX, whose length has 32 bits, read at the top level and
 * re-encoded inside a sequence; and the private syntax of big-endian pixel
 * data in an implicit VR little endian data set, converted to every
 * syntax against dcmtk's own conversion of it.
 */
#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "dicom/file_builder.h"
#include "testutil.h"

namespace {

using dicomtest::FileBuilder;
using testutil::TempDir;

const uint32_t kUndef = 0xFFFFFFFFu;

testutil::RunResult Program(const std::string &name, std::vector<std::string> args) {
    args.insert(args.begin(), testutil::BinPath(name));
    return testutil::Run(args, {{"QUENOR_DEF_PATH", testutil::DefsDir()}});
}

/* dcmdump's lines for the data set of a file (its meta group aside). */
std::vector<std::string> DcmdumpLines(std::vector<std::string> args) {
    args.insert(args.begin(), "/usr/bin/dcmdump");
    auto r = testutil::Run(args);
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("", r.err);
    std::vector<std::string> lines;
    std::istringstream in(r.out);
    bool data_set = false;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("# Dicom-Data-Set", 0) == 0)
            data_set = true;
        if (data_set && !line.empty() && line[0] != '#')
            lines.push_back(line);
    }
    return lines;
}

/* "gggg,eeee length" for each element, items and delimiters included, in
 * the order of the file: from dcmdump's lines, and from a listing of
 * tagdump -f -vr -vf -de (undefined length as -1).  The two indent the
 * items of a sequence differently; the order says as much. */
std::vector<std::string> TagsAndLengths(const std::vector<std::string> &dcmdump) {
    static const std::regex line(R"(^ *\(([0-9a-f]{4}),([0-9a-f]{4})\).*# *(u/l|\d+),)");
    std::vector<std::string> out;
    for (const std::string &l : dcmdump) {
        std::smatch m;
        if (!std::regex_search(l, m, line))
            continue;
        std::string tag = m[1].str() + "," + m[2].str();
        for (char &c : tag)
            c = (char)toupper((unsigned char)c);
        out.push_back(tag + " " + (m[3] == "u/l" ? "-1" : m[3].str()));
    }
    return out;
}

std::vector<std::string> ListedTagsAndLengths(const std::string &listing) {
    static const std::regex line(R"(^ *([0-9A-F]{4})  ([0-9A-F]{4}) +(-?\d+))");
    std::vector<std::string> out;
    std::istringstream in(listing);
    for (std::string l; std::getline(in, l);) {
        std::smatch m;
        if (std::regex_search(l, m, line))
            out.push_back(m[1].str() + "," + m[2].str() + " " + m[3].str());
    }
    return out;
}

/* ---- bare data sets ---- */

struct BareSet {
    std::string name;
    int ts; /* TS_EXPLICIT_LE or TS_EXPLICIT_BE */
    std::string bytes;
};

void PrintTo(const BareSet &c, std::ostream *os) {
    *os << c.name;
}

/* A data set without meta header whose first element is of group first. */
std::string BareBytes(uint16_t first, int ts) {
    FileBuilder f(ts);
    switch (first) {
    case 0x4453: /* a private block */
        f.Text(0x4453, 0x0010, "LO", "ACME 1.0").US(0x4453, 0x1001, 7);
        f.Text(0x4453, 0x1002, "LO", "Full Fidelity ");
        break;
    case 0x6000: /* an overlay, its data in 16-bit words */
        f.US(0x6000, 0x0010, 2).US(0x6000, 0x0011, 16).Text(0x6000, 0x0040, "CS", "G ");
        f.Numbers(0x6000, 0x0050, "SS", 2, {1, 1}).US(0x6000, 0x0100, 1);
        f.Numbers(0x6000, 0x3000, "OW", 2, {0x0102, 0x0304});
        break;
    case 0x2000: /* a film session */
        f.Text(0x2000, 0x0010, "IS", "1 ").Text(0x2000, 0x0030, "CS", "MEDIUM");
        f.Text(0x2000, 0x0040, "CS", "PAPER ");
        break;
    case 0x1001: /* a private block with a signed value */
        f.Text(0x1001, 0x0010, "LO", "ACME 1.0").Numbers(0x1001, 0x1001, "SS", 2, {0xFFFB});
        break;
    case 0x0100: /* the authorization attributes */
        f.Text(0x0100, 0x0410, "CS", "YES ").Text(0x0100, 0x0420, "DT", "20240131120000");
        break;
    default: /* a private sequence of undefined length, without creator */
        f.Header(first, 0x1010, "SQ", kUndef).Item().Text(0x0008, 0x0100, "SH", "121322");
        f.ItemEnd().SeqEnd().Text(first, 0x1020, "LO", "after ");
    }
    return f.bytes();
}

std::vector<BareSet> BareSets() {
    const std::vector<std::pair<std::string, uint16_t>> firsts = {
        {"private_4453", 0x4453}, {"overlay_6000", 0x6000}, {"group_2000", 0x2000},
        {"private_1001", 0x1001}, {"group_0100", 0x0100},   {"private_sequence_2001", 0x2001}};
    std::vector<BareSet> sets;
    for (int ts : {TS_EXPLICIT_LE, TS_EXPLICIT_BE})
        for (const auto &first : firsts)
            sets.push_back({"bare_" + first.first + (ts == TS_EXPLICIT_BE ? "_big_endian" : ""), ts,
                            BareBytes(first.second, ts)});
    return sets;
}

class BareDataSet : public ::testing::TestWithParam<BareSet> {};

/* The listing shows what dcmdump reads when told the syntax; so does
 * every explicit conversion with meta header; a conversion without meta
 * header in the same syntax is read back alike. */
TEST_P(BareDataSet, ReadInItsSyntaxAsDcmdumpReadsIt) {
    const BareSet &c = GetParam();
    const bool big = c.ts == TS_EXPLICIT_BE;
    TempDir tmp;
    const std::string in = tmp.file(c.name + ".dcm");
    testutil::WriteFile(in, c.bytes);
    dicomtest::KeepAsSeed(c.name + ".dcm", c.bytes);
    const std::vector<std::string> theirs = DcmdumpLines({"-f", big ? "-tb" : "-te", in});
    ASSERT_FALSE(theirs.empty());

    auto list = Program("tagdump", {"-v1", "-i", in, "-f", "-vr", "-vf", "-de"});
    ASSERT_EQ(0, list.status) << list.err;
    const std::string syntax = big ? "ExplicitVRBigEndian" : "ExplicitVRLittleEndian";
    EXPECT_NE(std::string::npos, list.out.find("DICOM Data Set (" + syntax + ")")) << list.out;
    EXPECT_EQ(TagsAndLengths(theirs), ListedTagsAndLengths(list.out));

    for (const char *opt : {"-doe", "-dob"}) {
        SCOPED_TRACE(opt);
        const std::string out = tmp.file(std::string("out") + opt + ".dcm");
        auto r = Program("tagrecoded", {"-v1", "-i", in, "-o", out, opt});
        ASSERT_EQ(0, r.status) << r.err;
        EXPECT_EQ(theirs, DcmdumpLines({out}));
    }

    const std::string bare = tmp.file("bare.dcm");
    auto r = Program("tagrecoded", {"-v1", "-i", in, "-o", bare, "-mon", big ? "-dob" : "-doe"});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ(theirs, DcmdumpLines({"-f", big ? "-tb" : "-te", bare}));
    auto back = Program("tagdump", {"-v1", "-i", bare, "-f", "-vr", "-vf", "-de"});
    ASSERT_EQ(0, back.status) << back.err;
    EXPECT_EQ(list.out, back.out);
}

INSTANTIATE_TEST_SUITE_P(Built, BareDataSet, ::testing::ValuesIn(BareSets()),
                         [](const ::testing::TestParamInfo<BareSet> &info) {
                             return info.param.name;
                         });

/* ---- the letters XX ---- */

/* (0009,1001) with the letters XX and the value "abcdef", at the top level
 * and in the item of a private sequence of defined length.  Converted to
 * the other byte order, the sequence's raw content is re-encoded: both
 * come out alike, as UN. */
TEST(XxLetters, ReadAndReEncodedWithA32BitLength) {
    for (int ts : {TS_EXPLICIT_LE, TS_EXPLICIT_BE}) {
        const bool big = ts == TS_EXPLICIT_BE;
        SCOPED_TRACE(big ? "big endian" : "little endian");
        FileBuilder xx(ts);
        xx.U16(0x0009).U16(0x1001).Raw("XX").U32(6).Raw("abcdef");
        FileBuilder item(ts);
        item.Text(0x0009, 0x0010, "LO", "ACME 1.0").Raw(xx.bytes());
        FileBuilder f;
        f.Preamble().Meta(big ? Explicit_VR_Big_Endian_Transfer_Syntax_UID
                              : Explicit_VR_Little_Endian_Transfer_Syntax_UID);
        f.Syntax(ts).Text(0x0008, 0x0060, "CS", "OT").Text(0x0009, 0x0010, "LO", "ACME 1.0");
        f.Raw(xx.bytes());
        f.Header(0x0009, 0x1002, "SQ", (uint32_t)item.size() + 8).Item((uint32_t)item.size());
        f.Raw(item.bytes()).Text(0x0010, 0x0010, "PN", "Doe^Jane");

        TempDir tmp;
        const std::string in = tmp.file("xx.dcm"), out = tmp.file("out.dcm");
        testutil::WriteFile(in, f.bytes());
        dicomtest::KeepAsSeed(big ? "xx_letters_big_endian.dcm" : "xx_letters.dcm", f.bytes());
        auto r = Program("tagrecoded", {"-v1", "-i", in, "-o", out, big ? "-doe" : "-dob"});
        ASSERT_EQ(0, r.status) << r.err;
        std::vector<std::string> values;
        for (const std::string &line : DcmdumpLines({out}))
            if (line.find("(0009,1001)") != std::string::npos ||
                line.find("(0010,0010)") != std::string::npos)
                values.push_back(line.substr(line.find('(')));
        const std::string abcdef = "(0009,1001) UN 61\\62\\63\\64\\65\\66";
        ASSERT_EQ(3u, values.size());
        EXPECT_EQ(0u, values[0].find(abcdef)) << values[0];
        EXPECT_EQ(0u, values[1].find(abcdef)) << values[1];
        EXPECT_EQ(0u, values[2].find("(0010,0010) PN [Doe^Jane]")) << values[2];
    }
}

/* ---- big-endian pixel data in an implicit VR little endian data set ---- */

struct PixelCase {
    std::string name;
    std::string bits;
    bool icon;
};

std::string Oracle() {
    return std::string(QUENOR_SOURCE_DIR) + "/tests/converter/bigendian_pixels.py";
}

/* Every conversion keeps the sample values of dcmtk's conversion to
 * explicit VR little endian (the PNG one once decoded again), image and
 * icon alike, and names the syntax it was written in; the listing calls
 * the data set implicit VR little endian. */
TEST(BigEndianPixelSyntax, ConvertsToTheSampleValuesDcmtkGives) {
    for (const PixelCase &c : std::vector<PixelCase>{{"pixels_16_bits", "16", false},
                                                     {"pixels_8_bits", "8", false},
                                                     {"pixels_16_bits_icon", "16", true}}) {
        SCOPED_TRACE(c.name);
        TempDir tmp;
        const std::string in = tmp.file("in.dcm"), ref = tmp.file("ref.dcm");
        std::vector<std::string> make = {"/usr/bin/python3", Oracle(), "make", in, c.bits};
        if (c.icon)
            make.push_back("icon");
        auto made = testutil::Run(make);
        ASSERT_EQ(0, made.status) << made.err;
        dicomtest::KeepAsSeed("big_endian_pixel_syntax_" + c.name + ".dcm", testutil::ReadFile(in));
        ASSERT_EQ(0, testutil::Run({"/usr/bin/dcmconv", "+te", in, ref}).status);

        auto list = Program("tagdump", {"-v1", "-i", in});
        ASSERT_EQ(0, list.status) << list.err;
        EXPECT_NE(std::string::npos, list.out.find("DICOM Data Set (ImplicitVRLittleEndian)"));

        for (const char *opt : {"-doi", "-doe", "-dob", "-doc"}) {
            SCOPED_TRACE(opt);
            std::string out = tmp.file(std::string("out") + opt + ".dcm");
            auto r = Program("tagrecoded", {"-v1", "-i", in, "-o", out, opt});
            ASSERT_EQ(0, r.status) << r.err;
            const char *uid = opt[3] == 'i'   ? Implicit_VR_Little_Endian_Transfer_Syntax_UID
                              : opt[3] == 'b' ? Explicit_VR_Big_Endian_Transfer_Syntax_UID
                                              : Explicit_VR_Little_Endian_Transfer_Syntax_UID;
            if (opt[3] == 'c') {
                auto png = Program("tagdump", {"-i", out});
                EXPECT_NE(std::string::npos, png.out.find(PNG_Transfer_Syntax_UID));
                const std::string back = tmp.file("back.dcm");
                r = Program("tagrecoded", {"-v1", "-i", out, "-o", back, "-doe"});
                ASSERT_EQ(0, r.status) << r.err;
                out = back;
            }
            auto cmp = testutil::Run({"/usr/bin/python3", Oracle(), "compare", out, ref, uid});
            EXPECT_EQ(0, cmp.status) << cmp.out << cmp.err;
        }
    }
}

} // namespace
