/*
 * realfiles_test.cpp -- the structures other toolkits write, built byte by
 * byte: each file is listed, converted into every syntax, and the result
 * read by pydicom (every value in place, the VR letters the file holds)
 * and by dcmdump (no warning).  Then the failures that must not pass as
 * success, as processes: statuses and messages.
 */
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "dicom/file_builder.h"
#include "testutil.h"

namespace {

using dicomtest::FileBuilder;
using testutil::TempDir;

const uint32_t kUndef = 0xFFFFFFFFu;

/* An element that must come through: its path (see values_oracle.py), the
 * text of its value ("*" for any), the VR letters the explicit outputs
 * give it (empty: not checked). */
struct Value {
    std::string path, text, vr;
};

struct Case {
    std::string name;
    std::string bytes;
    std::vector<Value> values;
    /* listing lines (tagdump -f -vl -vf -de, blanks at the end dropped),
     * groups 0002 and the preamble aside; empty: not compared */
    std::vector<std::string> listing;
    bool group_lengths = false; /* compare them with dcmconv's recount */
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

Case Make(std::string name, std::string bytes, std::vector<Value> values,
          std::vector<std::string> listing = {}) {
    Case c;
    c.name = std::move(name);
    c.bytes = std::move(bytes);
    c.values = std::move(values);
    c.listing = std::move(listing);
    return c;
}

/* What a program run with -v1 says beyond its log's start and end lines. */
bool Silent(const std::string &err) {
    return err.find("Error") == std::string::npos && err.find("Warning") == std::string::npos;
}

/* dcmdump's warnings, except its note on a sequence of undefined length
 * that its dictionary does not know in an implicit VR data set: there the
 * file cannot say more. */
std::string Warnings(const std::string &err, bool implicit) {
    std::istringstream in(err);
    std::string kept;
    for (std::string line; std::getline(in, line);)
        if (!(implicit && line.find("reading a sequence with transfer syntax LittleEndianImplicit "
                                    "(CP-246)") != std::string::npos))
            kept += line + "\n";
    return kept;
}

std::string Quoted(const std::string &s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string ExpectedValuesJson(char syntax, const std::vector<Value> &values) {
    std::string json = std::string("{\"syntax\": \"") + syntax + "\", \"values\": [";
    for (size_t i = 0; i < values.size(); i++) {
        const Value &v = values[i];
        json += (i ? ", [" : "[") + Quoted(v.path) + ", " + Quoted(v.text) + ", " +
                (v.vr.empty() ? "null" : Quoted(v.vr)) + "]";
    }
    return json + "]}";
}

testutil::RunResult Program(const std::string &name, std::vector<std::string> args) {
    args.insert(args.begin(), testutil::BinPath(name));
    return testutil::Run(args, {{"QUENOR_DEF_PATH", testutil::DefsDir()}});
}

std::vector<std::string> BodyLines(const std::string &listing) {
    std::vector<std::string> lines;
    std::istringstream in(listing);
    int n = 0;
    for (std::string line; std::getline(in, line); n++) {
        line = line.substr(0, line.find_last_not_of(' ') + 1);
        if (n < 2 || line.rfind("0002", 0) == 0 || line == "DICM" ||
            line.find_first_not_of("0123456789ABCDEF") == std::string::npos)
            continue;
        lines.push_back(line);
    }
    return lines;
}

/* The "(gggg,0000) UL n" lines of dcmdump at every depth, the meta
 * group's aside (dcmconv writes a meta group of its own). */
std::vector<std::string> GroupLengthLines(const std::string &path) {
    std::vector<std::string> lines;
    std::istringstream in(testutil::Run({"/usr/bin/dcmdump", "-q", path}).out);
    for (std::string line; std::getline(in, line);)
        if (line.find(",0000) UL ") != std::string::npos && line.rfind("(0002,", 0) != 0)
            lines.push_back(line.substr(0, line.find('#')));
    return lines;
}

/* ---- the files ---- */

FileBuilder WithMeta(const char *uid, int data_set_ts) {
    FileBuilder f;
    f.Preamble().Meta(uid).Syntax(data_set_ts);
    return f;
}

/* A private element of undefined length that no dictionary knows, in an
 * implicit VR data set: its item must stay inside it. */
Case PrivateSequenceImplicit() {
    FileBuilder f = WithMeta(Implicit_VR_Little_Endian_Transfer_Syntax_UID, TS_IMPLICIT_LE);
    f.Text(0x0009, 0x0010, "LO", "ACME 1.0");
    f.Header(0x0009, 0x1010, "", kUndef).Item().Text(0x0010, 0x0020, "LO", "ID-777").ItemEnd();
    f.SeqEnd().Text(0x0040, 0x0244, "DA", "20240131");
    return Make("private_sequence_implicit", f.bytes(),
            {{"0009,0010", "ACME 1.0", "LO"},
             {"0009,1010", "*", "SQ"},
             {"0009,1010/0/0010,0020", "ID-777", "LO"},
             {"0040,0244", "20240131", "DA"}},
            {"0009  0010  LO", "0009  1010  ??", "FFFE  E000", "  0010  0020  LO",
             "  FFFE  E00D", "FFFE  E0DD", "0040  0244  DA"});
}

/* Sequences passed on as UN of undefined length: their items are implicit
 * VR little endian inside an explicit data set of either byte order. */
Case UnSequences(int ts) {
    FileBuilder f = WithMeta(ts == TS_EXPLICIT_BE ? Explicit_VR_Big_Endian_Transfer_Syntax_UID
                                                  : Explicit_VR_Little_Endian_Transfer_Syntax_UID,
                             ts);
    f.Text(0x0009, 0x0010, "LO", "ACME 1.0");
    f.Header(0x0009, 0x1010, "UN", kUndef).Syntax(TS_IMPLICIT_LE);
    f.Item().Text(0x0008, 0x1150, "UI", "1.2.3.44").US(0x0028, 0x0010, 300).ItemEnd().SeqEnd();
    f.Syntax(ts).Text(0x0040, 0x0244, "DA", "20240131");
    f.Header(0x0040, 0x0260, "UN", kUndef).Syntax(TS_IMPLICIT_LE);
    f.Item().Text(0x0008, 0x0100, "SH", "121322").Text(0x0008, 0x0102, "SH", "DCM ").ItemEnd();
    f.SeqEnd().Syntax(ts).Text(0x0040, 0x0253, "SH", "PS-1");
    return Make(ts == TS_EXPLICIT_BE ? "un_sequences_big_endian" : "un_sequences", f.bytes(),
            {{"0009,1010", "*", "SQ"},
             {"0009,1010/0/0008,1150", "1.2.3.44", "UI"},
             {"0009,1010/0/0028,0010", "300", "US"},
             {"0040,0244", "20240131", "DA"},
             {"0040,0260", "*", "SQ"},
             {"0040,0260/0/0008,0100", "121322", "SH"},
             {"0040,0260/0/0008,0102", "DCM", "SH"},
             {"0040,0253", "PS-1", "SH"}});
}

/* A known sequence carried as UN of defined length: raw implicit items. */
Case UnDefinedLength() {
    FileBuilder item(TS_IMPLICIT_LE);
    item.Text(0x0008, 0x0100, "SH", "121322").Text(0x0008, 0x0102, "SH", "DCM ");
    FileBuilder content(TS_IMPLICIT_LE);
    content.Item((uint32_t)item.size()).Raw(item.bytes());
    FileBuilder f = WithMeta(Explicit_VR_Little_Endian_Transfer_Syntax_UID, TS_EXPLICIT_LE);
    f.Text(0x0040, 0x0244, "DA", "20240131");
    f.Header(0x0040, 0x0260, "UN", (uint32_t)content.size()).Raw(content.bytes());
    f.Text(0x0040, 0x0253, "SH", "PS-1");
    return Make("un_defined_length", f.bytes(),
            {{"0040,0260", "*", "SQ"},
             {"0040,0260/0/0008,0100", "121322", "SH"},
             {"0040,0260/0/0008,0102", "DCM", "SH"},
             {"0040,0253", "PS-1", "SH"}});
}

/* An implicit VR data set behind a meta group whose (0002,0010) says the
 * syntax in a way the reader must see through, or not at all. */
Case NamedSyntax(const std::string &name, const char *uid) {
    FileBuilder f;
    if (uid) {
        f.Preamble().Meta(uid);
    } else {
        f.Preamble().Syntax(TS_EXPLICIT_LE).UL(0x0002, 0x0000, 14);
        f.Header(0x0002, 0x0001, "OB", 2).Raw(std::string("\0\1", 2));
    }
    f.Syntax(TS_IMPLICIT_LE).Text(0x0008, 0x0060, "CS", "CT").Text(0x0010, 0x0010, "PN", "Doe^Jane");
    f.US(0x0028, 0x0010, 512);
    return Make(name, f.bytes(),
                {{"0008,0060", "CT", "CS"}, {"0010,0010", "Doe^Jane", "PN"}, {"0028,0010", "512", "US"}},
                {"0008  0060  CS", "0010  0010  PN", "0028  0010  US"});
}

/* A structured report nested eleven content sequences deep. */
Case DeepReport() {
    FileBuilder f = WithMeta(Explicit_VR_Little_Endian_Transfer_Syntax_UID, TS_EXPLICIT_LE);
    std::string path;
    for (int i = 0; i < 11; i++) {
        f.Header(0x0040, 0xA730, "SQ", kUndef).Item();
        path += "0040,A730/0/";
    }
    f.Text(0x0040, 0xA160, "UT", "deep text!");
    for (int i = 0; i < 11; i++)
        f.ItemEnd().SeqEnd();
    return Make("report_eleven_levels", f.bytes(), {{path + "0040,A160", "deep text!", "UT"}});
}

/* The image attributes of group 0028 and pixel data of bits_allocated bits. */
void Image(FileBuilder &f, uint16_t rows, uint16_t columns, uint16_t bits) {
    f.US(0x0028, 0x0002, 1).Text(0x0028, 0x0004, "CS", "MONOCHROME2 ");
    f.US(0x0028, 0x0010, rows).US(0x0028, 0x0011, columns).US(0x0028, 0x0100, bits);
    f.US(0x0028, 0x0101, bits == 16 ? 12 : 8).US(0x0028, 0x0102, bits == 16 ? 11 : 7);
    f.US(0x0028, 0x0103, 0);
}

/* A 16-bit image with an 8-bit icon of another size in (0088,0200). */
Case IconImage() {
    FileBuilder f = WithMeta(Explicit_VR_Little_Endian_Transfer_Syntax_UID, TS_EXPLICIT_LE);
    Image(f, 2, 2, 16);
    f.Header(0x0088, 0x0200, "SQ", kUndef).Item();
    Image(f, 2, 4, 8);
    f.Header(0x7FE0, 0x0010, "OB", 8).Raw("\x01\x02\x03\x04\x05\x06\x07\x08");
    f.ItemEnd().SeqEnd();
    f.Header(0x7FE0, 0x0010, "OW", 8).U16(100).U16(200).U16(300).U16(4000);
    return Make("icon_image", f.bytes(),
            {{"0088,0200/0/7FE0,0010", "0102030405060708", ""},
             {"0088,0200/0/0028,0011", "4", "US"},
             {"7FE0,0010#array", "100\\200\\300\\4000", ""}});
}

/* A group length inside an item, wrong, next to an empty sequence that
 * the save writes with length 0. */
Case GroupLengthInItem() {
    FileBuilder f = WithMeta(Explicit_VR_Little_Endian_Transfer_Syntax_UID, TS_EXPLICIT_LE);
    f.Header(0x0008, 0x1115, "SQ", kUndef).Item().UL(0x0008, 0x0000, 999);
    f.Header(0x0008, 0x1140, "SQ", kUndef).SeqEnd();
    f.Text(0x0008, 0x1150, "UI", "1.2.3.44").ItemEnd().SeqEnd();
    f.Text(0x0010, 0x0010, "PN", "Doe^Jane");
    Case c = Make("group_length_in_item", f.bytes(),
                  {{"0008,1115/0/0008,1150", "1.2.3.44", "UI"}, {"0010,0010", "Doe^Jane", "PN"}});
    c.group_lengths = true;
    return c;
}

std::vector<Case> Cases() {
    return {PrivateSequenceImplicit(),
            UnSequences(TS_EXPLICIT_LE),
            UnSequences(TS_EXPLICIT_BE),
            UnDefinedLength(),
            NamedSyntax("syntax_uid_padded_with_blank", "1.2.840.10008.1.2 "),
            NamedSyntax("syntax_uid_private", "1.2.840.113619.5.2"),
            NamedSyntax("syntax_uid_missing", nullptr),
            DeepReport(),
            IconImage(),
            GroupLengthInItem()};
}

class RealFiles : public ::testing::TestWithParam<Case> {};

TEST_P(RealFiles, ListedAndConvertedToEverySyntax) {
    const Case &c = GetParam();
    TempDir tmp;
    const std::string in = tmp.file(c.name + ".dcm");
    testutil::WriteFile(in, c.bytes);
    dicomtest::KeepAsSeed(c.name + ".dcm", c.bytes);

    auto list = Program("tagdump", {"-v1", "-i", in, "-f", "-vl", "-vf", "-de"});
    ASSERT_EQ(0, list.status) << list.err;
    EXPECT_TRUE(Silent(list.err)) << list.err;
    if (!c.listing.empty()) {
        EXPECT_EQ(c.listing, BodyLines(list.out));
    }

    for (const char *opt : {"-doi", "-doe", "-dob", "-doc"}) {
        SCOPED_TRACE(opt);
        const std::string out = tmp.file(std::string("out") + opt + ".dcm");
        auto r = Program("tagrecoded", {"-v1", "-i", in, "-o", out, opt});
        ASSERT_EQ(0, r.status) << r.err;
        EXPECT_TRUE(Silent(r.err)) << r.err;
        auto dump = testutil::Run({"/usr/bin/dcmdump", out});
        EXPECT_EQ(0, dump.status);
        EXPECT_EQ("", Warnings(dump.err, opt[3] == 'i')) << dump.out;
        auto oracle = testutil::Run({"/usr/bin/python3",
                                     std::string(QUENOR_SOURCE_DIR) + "/tests/converter/values_oracle.py",
                                     out, ExpectedValuesJson(opt[3], c.values)});
        EXPECT_EQ(0, oracle.status) << oracle.out << oracle.err;
        if (c.group_lengths) {
            const std::string recount = tmp.file("recount.dcm");
            ASSERT_EQ(0, testutil::Run({"/usr/bin/dcmconv", out, recount}).status);
            std::vector<std::string> ours = GroupLengthLines(out);
            EXPECT_EQ(GroupLengthLines(recount), ours);
            EXPECT_FALSE(ours.empty()) << "the one in the item";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Built, RealFiles, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<Case> &info) { return info.param.name; });

/* ---- failures that must not pass as success ---- */

struct Failure {
    std::string name;
    std::string bytes;
    std::string program;
    std::vector<std::string> options;
    std::string message;
};

std::string MetaGroupOnly() {
    FileBuilder f;
    f.Preamble().Meta(Explicit_VR_Little_Endian_Transfer_Syntax_UID);
    return f.bytes();
}

std::string Deflated() {
    FileBuilder f;
    f.Preamble().Meta("1.2.840.10008.1.2.1.99").Raw("\x8d\x92\x4b\x0e\x82\x30\x10\x86");
    return f.bytes();
}

TEST(RealFileFailures, StatusAndMessage) {
    const std::vector<Failure> failures = {
        {"empty", "", "tagdump", {}, "holds no DICOM element."},
        {"empty", "", "tagrecoded", {}, "holds no DICOM element."},
        {"deflated", Deflated(), "tagdump", {}, "is in the deflated transfer syntax"},
        {"deflated", Deflated(), "tagrecoded", {}, "is in the deflated transfer syntax"},
        {"meta_only", MetaGroupOnly(), "tagrecoded", {"-mon"},
         "holds no data-set element: without a meta header the file would be empty."},
    };
    for (const Failure &f : failures) {
        SCOPED_TRACE(f.name + " " + f.program);
        TempDir tmp;
        const std::string in = tmp.file(f.name + ".dcm");
        const std::string out = tmp.file("out.dcm");
        testutil::WriteFile(in, f.bytes);
        if (!f.bytes.empty())
            dicomtest::KeepAsSeed(f.name + ".dcm", f.bytes);
        std::vector<std::string> args = {"-v1", "-i", in};
        if (f.program == "tagrecoded")
            args.insert(args.end(), {"-o", out});
        args.insert(args.end(), f.options.begin(), f.options.end());
        auto r = Program(f.program, args);
        EXPECT_EQ(1, r.status);
        EXPECT_EQ("", r.out);
        EXPECT_NE(std::string::npos, r.err.find(f.message)) << r.err;
        EXPECT_FALSE(testutil::FileExists(out));
    }
    /* the file that holds only a meta group is no error while it keeps it */
    TempDir tmp;
    testutil::WriteFile(tmp.file("m.dcm"), MetaGroupOnly());
    EXPECT_EQ(0, Program("tagrecoded", {"-i", tmp.file("m.dcm"), "-o", tmp.file("o.dcm")}).status);
}

} // namespace
