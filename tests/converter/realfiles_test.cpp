/*
 * realfiles_test.cpp -- the structures other toolkits write, built byte by
 * byte: each file is listed, converted into every syntax, and the result
 * read by pydicom (every value in place, the VR letters the file holds)
 * and by dcmdump (no warning).  Then the failures that must not pass as
 * success, as processes: statuses and messages; big-endian inputs against
 * dcmtk's own conversion of them; and dciodvfy on converted samples.
 */
#include <gtest/gtest.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "dicom/file_builder.h"
#include "testutil.h"

namespace {

using dicomtest::FileBuilder;
using testutil::TempDir;

const uint32_t kUndef = 0xFFFFFFFFu;
/* What every file written names as its implementation. */
const char kImplementationClassUid[] = "2.25.219040117695661194751458317359022032002";

/* An element that must come through: its path (see values_oracle.py), the
 * text of its value ("*" for any), the VR letters the explicit outputs
 * give it (empty: not checked), and the VR to decode its bytes by where
 * no reader can know it (empty: the VR letters, unless they are UN). */
struct Value {
    std::string path, text, vr, as = "";
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

void PrintTo(const Case &c, std::ostream *os) {
    *os << c.name;
}

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
        std::string as = !v.as.empty() ? v.as : v.vr == "UN" ? "" : v.vr;
        json += (i ? ", [" : "[") + Quoted(v.path) + ", " + Quoted(v.text) + ", " +
                (v.vr.empty() ? "null" : Quoted(v.vr)) + ", " + (as.empty() ? "null" : Quoted(as)) +
                "]";
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
    f.SeqEnd().Header(0x0009, 0x1011, "", kUndef).SeqEnd(); /* empty, still a sequence */
    f.Text(0x0040, 0x0244, "DA", "20240131");
    return Make("private_sequence_implicit", f.bytes(),
                {{"0009,0010", "ACME 1.0", "LO"},
                 {"0009,1010", "*", "SQ"},
                 {"0009,1011", "*", "SQ"},
                 {"0009,1010/0/0010,0020", "ID-777", "LO"},
                 {"0040,0244", "20240131", "DA"}},
                {"0009  0010  LO", "0009  1010  ??", "FFFE  E000", "  0010  0020  LO",
                 "  FFFE  E00D", "FFFE  E0DD", "0009  1011  ??", "FFFE  E0DD", "0040  0244  DA"});
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
    f.Syntax(TS_IMPLICIT_LE)
        .Text(0x0008, 0x0060, "CS", "CT")
        .Text(0x0010, 0x0010, "PN", "Doe^Jane");
    f.US(0x0028, 0x0010, 512);
    return Make(
        name, f.bytes(),
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

const char *SyntaxUid(int ts) {
    return ts == TS_EXPLICIT_BE   ? Explicit_VR_Big_Endian_Transfer_Syntax_UID
           : ts == TS_IMPLICIT_LE ? Implicit_VR_Little_Endian_Transfer_Syntax_UID
                                  : Explicit_VR_Little_Endian_Transfer_Syntax_UID;
}

uint64_t U16Bits(int v) {
    return (uint16_t)v;
}
uint64_t U32Bits(int v) {
    return (uint32_t)v;
}

/* Private numbers and text whose VR only the file's letters give, a
 * retired attribute, and a signed pixel padding value, big endian. */
Case PrivateValuesBigEndian() {
    FileBuilder f = WithMeta(SyntaxUid(TS_EXPLICIT_BE), TS_EXPLICIT_BE);
    f.Text(0x0008, 0x0010, "SH", "ACR-NEMA 2.0"); /* retired */
    f.Text(0x0009, 0x0010, "LO", "ACME 1.0").Text(0x0009, 0x1001, "LO", "Full Fidelity ");
    f.Numbers(0x0009, 0x1002, "SL", 4, {U32Bits(-5)})
        .Numbers(0x0009, 0x1003, "SS", 2, {U16Bits(-300)});
    f.Numbers(0x0009, 0x1004, "UL", 4, {70000}).Numbers(0x0009, 0x1005, "US", 2, {513, 2});
    f.Numbers(0x0009, 0x1006, "FL", 4, {FileBuilder::Bits(0.15625f)});
    f.Numbers(0x0009, 0x1007, "FD", 8, {FileBuilder::Bits(1e-12)});
    f.US(0x0028, 0x0103, 1).Numbers(0x0028, 0x0120, "SS", 2, {U16Bits(-2000)});
    return Make("private_values_big_endian", f.bytes(),
                {{"0008,0010", "ACR-NEMA 2.0", "SH"},
                 {"0009,1001", "Full Fidelity", "LO"},
                 {"0009,1002", "-5", "SL"},
                 {"0009,1003", "-300", "SS"},
                 {"0009,1004", "70000", "UL"},
                 {"0009,1005", "513\\2", "US"},
                 {"0009,1006", "0.15625", "FL"},
                 {"0009,1007", "1e-12", "FD"},
                 {"0028,0120", "-2000", "SS"}});
}

/* The same kinds of values in an implicit VR file: XS by the pixel
 * representation, a private text as UN. */
Case SignedValuesImplicit() {
    FileBuilder f = WithMeta(SyntaxUid(TS_IMPLICIT_LE), TS_IMPLICIT_LE);
    f.Text(0x0009, 0x0010, "LO", "ACME 1.0").Text(0x0009, 0x1001, "LO", "Full Fidelity ");
    f.US(0x0028, 0x0103, 1).Numbers(0x0028, 0x0106, "", 2, {U16Bits(-100)});
    f.Numbers(0x0028, 0x0120, "", 2, {U16Bits(-2000)});
    f.Numbers(0x0028, 0x1101, "", 2, {256, 0, 16}); /* reads alike as US or SS */
    return Make("signed_values_implicit", f.bytes(),
                {{"0009,1001", "Full Fidelity", "UN", "LO"},
                 {"0028,0106", "-100", "SS"},
                 {"0028,0120", "-2000", "SS"},
                 {"0028,1101", "256\\0\\16", "US"}});
}

/* Contour data of more than 65534 bytes, deep in an RT structure set. */
Case LongContourData() {
    std::string numbers = "-12.75";
    while (numbers.size() < 68620)
        numbers += "\\-12.75";
    FileBuilder f = WithMeta(SyntaxUid(TS_IMPLICIT_LE), TS_IMPLICIT_LE);
    f.Header(0x3006, 0x0039, "", kUndef).Item().Header(0x3006, 0x0040, "", kUndef).Item();
    f.Text(0x3006, 0x0050, "", numbers).ItemEnd().SeqEnd().ItemEnd().SeqEnd();
    return Make("long_contour_data", f.bytes(),
                {{"3006,0039/0/3006,0040/0/3006,0050", numbers, "UN", "DS"}});
}

/* A waveform of 16-bit samples (OW, words) or of 8-bit ones (OB). */
Case Waveform(int bits, int ts) {
    FileBuilder f = WithMeta(SyntaxUid(ts), ts);
    f.Header(0x5400, 0x0100, "SQ", kUndef).Item().US(0x003A, 0x0005, 1);
    f.Header(0x003A, 0x0200, "SQ", kUndef).Item();
    if (bits == 16)
        f.Numbers(0x5400, 0x0110, "OW", 2, {U16Bits(-100)}).Numbers(0x5400, 0x0112, "OW", 2, {909});
    f.ItemEnd().SeqEnd().US(0x5400, 0x1004, (uint16_t)bits).Text(0x5400, 0x1006, "CS", "SS");
    if (bits == 16)
        f.Numbers(0x5400, 0x1010, "OW", 2, {0, 841, 909, U16Bits(-1)});
    else
        f.Header(0x5400, 0x1010, "OB", 4).Raw("\x01\x02\x03\x04");
    f.ItemEnd().SeqEnd();
    if (bits != 16)
        return Make("waveform_8_bits", f.bytes(), {{"5400,0100/0/5400,1010", "01020304", "OB"}});
    return Make(ts == TS_EXPLICIT_BE ? "waveform_16_bits_big_endian" : "waveform_16_bits",
                f.bytes(),
                {{"5400,0100/0/003A,0200/0/5400,0110", "9cff", "OW"},
                 {"5400,0100/0/003A,0200/0/5400,0112", "8d03", "OW"},
                 {"5400,0100/0/5400,1010", "000049038d03ffff", "OW"}});
}

/* A private sequence of defined length that only the VR letters SQ make
 * one: its raw content is re-encoded with the data set. */
Case PrivateSequenceDefinedLength(int ts) {
    FileBuilder item(ts);
    item.Text(0x0010, 0x0020, "LO", "ID-777").US(0x0028, 0x0010, 300);
    FileBuilder content(ts);
    content.Item((uint32_t)item.size()).Raw(item.bytes());
    FileBuilder f = WithMeta(SyntaxUid(ts), ts);
    f.Text(0x0009, 0x0010, "LO", "ACME 1.0");
    f.Header(0x0009, 0x1010, "SQ", (uint32_t)content.size()).Raw(content.bytes());
    f.Text(0x0040, 0x0244, "DA", "20240131");
    return Make(ts == TS_EXPLICIT_BE ? "private_sequence_defined_length_big_endian"
                                     : "private_sequence_defined_length",
                f.bytes(), {{"0009,1010", "*", "SQ"}, {"0040,0244", "20240131", "DA"}});
}

/* Pixel data of 8 bits: as OB, or as big-endian OW words, each pair of
 * samples reversed (as dcmtk writes it). */
Case EightBitPixels(int ts, const char *letters) {
    FileBuilder f = WithMeta(SyntaxUid(ts), ts);
    Image(f, 2, 3, 8);
    const bool words = ts == TS_EXPLICIT_BE && std::string(letters) == "OW";
    f.Header(0x7FE0, 0x0010, letters, 6)
        .Raw(words ? "\x02\x01\x04\x03\x06\x05" : "\x01\x02\x03\x04\x05\x06");
    return Make(words ? "pixels_8_bits_big_endian_words" : "pixels_8_bits", f.bytes(),
                {{"7FE0,0010", "*", "OB"}, {"7FE0,0010#array", "1\\2\\3\\4\\5\\6", ""}});
}

/* Curve data OW and overlay data OB in two groups each: every curve
 * group's words swapped, the bytes of no overlay. */
Case CurvesAndOverlaysBigEndian() {
    FileBuilder f = WithMeta(SyntaxUid(TS_EXPLICIT_BE), TS_EXPLICIT_BE);
    for (uint16_t g : {0x5000, 0x5002})
        f.Numbers(g, 0x3000, "OW", 2, {1, 258});
    for (uint16_t g : {0x6000, 0x6002})
        f.Header(g, 0x3000, "OB", 4).Raw("\x01\x02\x03\x04");
    return Make("curves_and_overlays_big_endian", f.bytes(),
                {{"5000,3000", "01000201", "OW"},
                 {"5002,3000", "01000201", "OW"},
                 {"6000,3000", "01020304", "OB"},
                 {"6002,3000", "01020304", "OB"}});
}

/* Pixel data of 16 bits that the file labels OB: bytes, never swapped. */
Case SixteenBitPixelsAsBytes() {
    FileBuilder f = WithMeta(SyntaxUid(TS_EXPLICIT_BE), TS_EXPLICIT_BE);
    Image(f, 1, 2, 16);
    f.Header(0x7FE0, 0x0010, "OB", 4).Raw("\x01\x02\x03\x04");
    return Make("pixels_16_bits_ob_big_endian", f.bytes(), {{"7FE0,0010", "*", "OB"}});
}

/* Zero bytes after the data set (a whole header of them and more, or one
 * cut short), and a command group element ahead of the meta group. */
Case ZeroPadding(size_t zeros) {
    FileBuilder f(TS_EXPLICIT_LE);
    f.Preamble().Text(0x0000, 0x0050, "SH", "");
    f.Meta(SyntaxUid(TS_IMPLICIT_LE)).Syntax(TS_IMPLICIT_LE).Text(0x0010, 0x0010, "PN", "Doe^Jane");
    return Make("zero_padding_" + std::to_string(zeros), f.Raw(std::string(zeros, '\0')).bytes(),
                {{"0010,0010", "Doe^Jane", "PN"}}, {"0000  0050  ??", "0010  0010  PN"});
}

/* Pixel data with zero padding past its one frame, as pydicom's
 * MR_small_padded.dcm holds. */
Case ZeroPaddedPixels() {
    FileBuilder f = WithMeta(SyntaxUid(TS_EXPLICIT_LE), TS_EXPLICIT_LE);
    Image(f, 2, 3, 8);
    f.Header(0x7FE0, 0x0010, "OB", 10).Raw(std::string("\x01\x02\x03\x04\x05\x06\0\0\0\0", 10));
    return Make("pixels_zero_padded", f.bytes(), {{"7FE0,0010", "*", "OB"}});
}

/* VR letters of another kind than the dictionary's: a Decimal String under
 * an SS tag, a UL under a US tag, an item under an LO tag; read, listed,
 * swapped and written by them. */
Case OtherKindLetters() {
    FileBuilder item(TS_EXPLICIT_BE);
    item.Text(0x0010, 0x0010, "PN", "Doe^Jane");
    FileBuilder f = WithMeta(SyntaxUid(TS_EXPLICIT_BE), TS_EXPLICIT_BE);
    f.Header(0x0010, 0x0020, "SQ", (uint32_t)item.size() + 8).Item((uint32_t)item.size());
    f.Raw(item.bytes()).Text(0x0018, 0x9219, "DS", "12.5\\-30");
    f.Numbers(0x0028, 0x0010, "UL", 4, {70000});
    return Make("other_kind_letters_big_endian", f.bytes(),
                {{"0010,0020", "*", "SQ"},
                 {"0018,9219", "12.5\\-30", "DS", "DS"},
                 {"0028,0010", "70000", "UL", "UL"}},
                {"0010  0020  SQ", "0018  9219  DS", "0028  0010  UL"});
}

/* A big-endian meta group, as pydicom writes when asked: no output has one. */
Case BigEndianMetaGroup() {
    FileBuilder f(TS_EXPLICIT_BE); /* (0002,0000) counts 14 + 28 bytes */
    f.Preamble().UL(0x0002, 0x0000, 42).Header(0x0002, 0x0001, "OB", 2).Raw(std::string("\0\1", 2));
    f.Text(0x0002, 0x0010, "UI", std::string(SyntaxUid(TS_EXPLICIT_BE)) + '\0');
    return Make("meta_group_big_endian", f.Text(0x0010, 0x0010, "PN", "Doe^Jane").bytes(),
                {{"0010,0010", "Doe^Jane", "PN"}});
}

/* Zero bytes for a header in an item and amid the data set: (0000,0000),
 * listed where it stands and never written. */
Case CommandGroupInDataSet() {
    FileBuilder f = WithMeta(SyntaxUid(TS_IMPLICIT_LE), TS_IMPLICIT_LE);
    const std::string zeros(8, '\0');
    f.Header(0x0008, 0x1115, "", kUndef).Item().Raw(zeros).ItemEnd().SeqEnd();
    f.Text(0x0010, 0x0010, "", "Doe^Jane").Raw(zeros).Text(0x0010, 0x0020, "", "ID");
    return Make("command_group_in_data_set", f.bytes(), {{"0008,1115/0/0000,0000", "(absent)", ""}},
                {"0008  1115  SQ", "  FFFE  E000", "    0000  0000  UL", "    FFFE  E00D",
                 "  FFFE  E0DD", "0010  0010  PN", "0000  0000  UL", "0010  0020  LO"});
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
            GroupLengthInItem(),
            PrivateValuesBigEndian(),
            SignedValuesImplicit(),
            LongContourData(),
            Waveform(16, TS_EXPLICIT_BE),
            Waveform(16, TS_IMPLICIT_LE),
            Waveform(8, TS_EXPLICIT_BE),
            EightBitPixels(TS_EXPLICIT_BE, "OW"),
            EightBitPixels(TS_EXPLICIT_LE, "OB"),
            CurvesAndOverlaysBigEndian(),
            SixteenBitPixelsAsBytes(),
            PrivateSequenceDefinedLength(TS_EXPLICIT_LE),
            PrivateSequenceDefinedLength(TS_EXPLICIT_BE),
            ZeroPadding(8),
            ZeroPadding(1020),
            ZeroPaddedPixels(),
            BigEndianMetaGroup(),
            CommandGroupInDataSet(),
            OtherKindLetters()};
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
        std::vector<Value> values = c.values;
        values.push_back({"0002,0012", kImplementationClassUid, "UI"});
        auto oracle =
            testutil::Run({"/usr/bin/python3",
                           std::string(QUENOR_SOURCE_DIR) + "/tests/converter/values_oracle.py",
                           out, ExpectedValuesJson(opt[3], values)});
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
                         [](const ::testing::TestParamInfo<Case> &info) {
                             return info.param.name;
                         });

/* ---- failures that must not pass as success ---- */

#if defined(__SANITIZE_ADDRESS__)
const bool kSanitized = true;
#else
const bool kSanitized = false;
#endif

struct Failure {
    std::string name;
    std::string bytes;
    std::string program;
    std::vector<std::string> options;
    std::string message;
    uint64_t size = 0;           /* the file goes on to this size in a hole of zeros */
    bool memory_limited = false; /* run with 256 MiB of address space */
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

/* Lengths past 32 bits: a bare implicit file of 4 GiB - 2 (pixel data in a
 * hole) whose length to end grows past them in explicit VR, and PNG frames
 * that decode to 0xFFFFFFF8 bytes under a group length. */
std::string LongLengthToEnd() {
    FileBuilder f;
    f.UL(0x0008, 0x0001, 0).Header(0x0008, 0x1110, "", 0).Header(0x0008, 0x1115, "", 0);
    f.Header(0x0008, 0x1140, "", 0);
    return f.Header(0x7FE0, 0x0010, "", (uint32_t)(0xFFFFFFFEu - f.size() - 8)).bytes();
}
std::string LongPixelGroup() {
    FileBuilder f = WithMeta(PNG_Transfer_Syntax_UID, TS_EXPLICIT_LE);
    f.Text(0x0028, 0x0008, "IS", "2089");
    Image(f, 1103, 932, 16);
    f.UL(0x7FE0, 0x0000, 0).Header(0x7FE0, 0x0010, "OB", kUndef).Item(0).Item(0).SeqEnd();
    return f.bytes();
}

/* A value under a sequence's tag: kept by its letters UI in an explicit
 * file, or the later occurrence of the tag in an implicit one. */
std::string ValueOnSequenceTag(int ts) {
    FileBuilder f = WithMeta(SyntaxUid(ts), ts);
    if (ts == TS_IMPLICIT_LE)
        f.Header(0x0008, 0x1140, "", kUndef).Item().ItemEnd().SeqEnd();
    return f.Text(0x0008, 0x1140, "UI", std::string("9.9.9", 6)).bytes();
}

/* The same kept inside the raw item of a private sequence. */
std::string NestedValueOnSequenceTag() {
    FileBuilder item(TS_EXPLICIT_LE);
    item.Text(0x0010, 0x0024, "LO", "ID-777");
    FileBuilder f = WithMeta(SyntaxUid(TS_EXPLICIT_LE), TS_EXPLICIT_LE);
    f.Text(0x0009, 0x0010, "LO", "ACME 1.0")
        .Header(0x0009, 0x1010, "SQ", (uint32_t)item.size() + 8);
    return f.Item((uint32_t)item.size()).Raw(item.bytes()).bytes();
}

/* A value of 512 MiB (a hole) that a read under 256 MiB cannot hold. */
std::string ValueBeyondMemory() {
    FileBuilder f;
    f.Text(0x0008, 0x0060, "CS", "OT");
    return f.Header(0x0042, 0x0011, "OB", 512u << 20).bytes();
}

/* Sparse where the disk has room for a file of that size written out. */
bool Extend(const std::string &path, uint64_t size) {
    struct statvfs fs;
    return statvfs(path.c_str(), &fs) == 0 && (uint64_t)fs.f_bavail * fs.f_frsize > 2 * size &&
           truncate(path.c_str(), (off_t)size) == 0;
}

TEST(RealFileFailures, StatusAndMessage) {
    const std::vector<Failure> failures = {
        {"empty", "", "tagdump", {}, "holds no DICOM element."},
        {"empty", "", "tagrecoded", {}, "holds no DICOM element."},
        {"deflated", Deflated(), "tagdump", {}, "is in the deflated transfer syntax"},
        {"deflated", Deflated(), "tagrecoded", {}, "is in the deflated transfer syntax"},
        {"meta_only",
         MetaGroupOnly(),
         "tagrecoded",
         {"-mon"},
         "holds no data-set element: without a meta header the file would be empty."},
        {"long_length_to_end",
         LongLengthToEnd(),
         "tagrecoded",
         {"-doe"},
         "Element (0008,0001) would have to hold the length 4294967298, which 32 bits",
         0xFFFFFFFE},
        {"long_pixel_group",
         LongPixelGroup(),
         "tagrecoded",
         {"-doe"},
         "Element (7fe0,0000) would have to hold the length 4294967300, which 32 bits"},
        {"value_on_sequence_tag",
         ValueOnSequenceTag(TS_EXPLICIT_LE),
         "tagrecoded",
         {"-doi"},
         "Element (0008,1140) at the top level is written as a sequence, but its value is not "
         "items."},
        {"value_after_sequence",
         ValueOnSequenceTag(TS_IMPLICIT_LE),
         "tagrecoded",
         {"-doi"},
         "Element (0008,1140) at the top level is written as a sequence, but its value is not "
         "items."},
        {"nested_value_on_sequence_tag",
         NestedValueOnSequenceTag(),
         "tagrecoded",
         {"-doi"},
         "(0009,1010) at the top level holds content that cannot be written in the output syntax: "
         "a value that implicit VR makes a sequence but that is not items at element (0010,0024)"},
        {"value_beyond_memory",
         ValueBeyondMemory(),
         "tagdump",
         {},
         "Not enough memory to hold element (0042,0011) of 536870912 bytes.",
         ValueBeyondMemory().size() + (512u << 20),
         true},
    };
    for (const Failure &f : failures) {
        SCOPED_TRACE(f.name + " " + f.program);
        TempDir tmp;
        const std::string in = tmp.file(f.name + ".dcm");
        const std::string out = tmp.file("out.dcm");
        testutil::WriteFile(in, f.bytes);
        if (f.memory_limited && kSanitized) {
            std::cout << "[ SKIPPED  ] " << f.name << ": a sanitizer reserves more address space\n";
            continue;
        }
        if (f.size && !Extend(in, f.size)) {
            std::cout << "[ SKIPPED  ] " << f.name << ": no sparse file or no room\n";
            continue;
        }
        if (!f.bytes.empty())
            dicomtest::KeepAsSeed(f.name + ".dcm", f.bytes);
        std::vector<std::string> args = {"-v1", "-i", in};
        if (f.program == "tagrecoded")
            args.insert(args.end(), {"-o", out});
        args.insert(args.end(), f.options.begin(), f.options.end());
        if (f.memory_limited)
            args.insert(args.begin(), {"/bin/sh", "-c", "ulimit -v 262144 && exec \"$0\" \"$@\"",
                                       testutil::BinPath(f.program)});
        auto r = f.memory_limited ? testutil::Run(args, {{"QUENOR_DEF_PATH", testutil::DefsDir()}})
                                  : Program(f.program, args);
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

/* ---- big-endian inputs against dcmtk's own conversion ---- */

/* dcmdump's reading of a data set, as far as two correct conversions must
 * agree: group lengths, delimiters, pixel data (compared decoded, its PNG
 * items too) and whether a sequence or item has a defined length are left
 * out. */
std::vector<std::string> DataSetLines(const std::string &path) {
    static const std::regex left_out(
        R"(^ *\(([0-9a-f]{4},0000|fffe,e00d|fffe,e0dd|7fe0,0010)\)|^ *\(fffe,e000\) pi )");
    static const std::regex container(R"( (SQ|na) \((Sequence|Item) with .*)");
    std::vector<std::string> lines;
    std::istringstream in(testutil::Run({"/usr/bin/dcmdump", path}).out);
    bool data_set = false;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("# Dicom-Data-Set", 0) == 0)
            data_set = true;
        if (!data_set || line.empty() || line[0] == '#' || std::regex_search(line, left_out))
            continue;
        lines.push_back(std::regex_replace(line, container, " $1"));
    }
    return lines;
}

/* "built:<case>.dcm" for a big-endian file built here, "sample:<name>" for a
 * shared sample that dcmconv turns big endian, "native:<name>" for a
 * sample that is big endian already. */
std::vector<std::string> BigEndianInputs() {
    std::vector<std::string> inputs;
    for (const Case &c : Cases())
        if (c.name.find("big_endian") != std::string::npos || c.name == "waveform_8_bits")
            inputs.push_back("built:" + c.name + ".dcm");
    for (const std::string &s : testutil::SampleFiles())
        inputs.push_back(
            (s.find("BigEnd") != std::string::npos || s.find("bigendian") != std::string::npos
                 ? "native:"
                 : "sample:") +
            s);
    return inputs;
}

class BigEndian : public ::testing::TestWithParam<std::string> {};

TEST_P(BigEndian, ConvertsAsDcmtkDoes) {
    const std::string param = GetParam();
    const std::string kind = param.substr(0, param.find(':')), name = param.substr(kind.size() + 1);
    TempDir tmp;
    std::string in = tmp.file("in.dcm");
    if (kind == "built") {
        for (const Case &c : Cases())
            if (c.name + ".dcm" == name)
                testutil::WriteFile(in, c.bytes);
    } else if (kind == "native") {
        in = testutil::SamplePath(name);
    } else {
        if (Program("tagdump", {"-i", testutil::SamplePath(name)}).status != 0)
            GTEST_SKIP() << "our reader refuses " << name;
        if (testutil::Run({"/usr/bin/dcmconv", "+tb", testutil::SamplePath(name), in}).status != 0)
            GTEST_SKIP() << "dcmconv cannot make " << name << " big endian";
    }
    const std::string ours = tmp.file("ours.dcm"), ref = tmp.file("dcmconv.dcm");
    auto r = Program("tagrecoded", {"-v1", "-i", in, "-o", ours, "-doe"});
    if (r.status != 0 && r.err.find("encapsulated") != std::string::npos)
        GTEST_SKIP() << "compressed pixel data";
    ASSERT_EQ(0, r.status) << r.err;
    ASSERT_EQ(0, testutil::Run({"/usr/bin/dcmconv", "+te", in, ref}).status);
    EXPECT_EQ(DataSetLines(ref), DataSetLines(ours));
    auto pixels = testutil::Run(
        {"/usr/bin/python3", std::string(QUENOR_SOURCE_DIR) + "/tests/converter/pixels_oracle.py",
         ours, ref});
    EXPECT_EQ(0, pixels.status) << pixels.out << pixels.err;
}

INSTANTIATE_TEST_SUITE_P(Inputs, BigEndian, ::testing::ValuesIn(BigEndianInputs()),
                         [](const ::testing::TestParamInfo<std::string> &info) {
                             return testutil::SampleTestName(info.param);
                         });

/* ---- files dcmtk writes, converted into every syntax as dcmconv does ---- */

/* An input made by dcmconv (its sequences of defined length): from a file
 * pydicom writes (make_inputs.py icon <bits>), or from a sample. */
struct DcmtkInput {
    std::string name;
    std::string made_from; /* "icon8", "icon16" or a sample name */
    std::vector<std::string> dcmconv_options;
    /* false where the input is implicit VR and holds elements that our
     * dictionary lacks and dcmtk's has: they go out as UN */
    bool same_data_set = true;
};

void PrintTo(const DcmtkInput &c, std::ostream *os) {
    *os << c.name;
}

class AsDcmtk : public ::testing::TestWithParam<DcmtkInput> {};

/* Every output against dcmconv's own conversion of the same input into the
 * same syntax (explicit VR little endian for -doc): the same data set, the
 * same pixel samples at every depth (icons by their own Bits Allocated),
 * group lengths at every depth as dcmconv recounts them on our file, and
 * nothing that dcmdump warns about. */
TEST_P(AsDcmtk, EverySyntax) {
    const DcmtkInput &c = GetParam();
    TempDir tmp;
    std::string source = tmp.file("source.dcm");
    if (c.made_from.rfind("icon", 0) == 0) {
        auto made = testutil::Run(
            {"/usr/bin/python3", std::string(QUENOR_SOURCE_DIR) + "/tests/converter/make_inputs.py",
             "icon", source, c.made_from.substr(4)});
        ASSERT_EQ(0, made.status) << made.err;
    } else {
        source = testutil::SamplePath(c.made_from);
    }
    const std::string in = tmp.file("in.dcm");
    std::vector<std::string> make = {"/usr/bin/dcmconv"};
    make.insert(make.end(), c.dcmconv_options.begin(), c.dcmconv_options.end());
    make.insert(make.end(), {source, in});
    ASSERT_EQ(0, testutil::Run(make).status);
    const bool group_lengths = !GroupLengthLines(in).empty();
    for (const std::string opt : {"-doi", "-doe", "-dob", "-doc"}) {
        SCOPED_TRACE(opt);
        const std::string ours = tmp.file("ours" + opt + ".dcm"), ref = tmp.file("ref.dcm");
        auto r = Program("tagrecoded", {"-v1", "-i", in, "-o", ours, opt});
        ASSERT_EQ(0, r.status) << r.err;
        EXPECT_TRUE(Silent(r.err)) << r.err;
        const std::string syntax = opt == "-doc" ? "+te" : "+t" + opt.substr(3);
        std::vector<std::string> convert = {"/usr/bin/dcmconv", syntax};
        if (group_lengths)
            convert.push_back("+g");
        convert.insert(convert.end(), {in, ref});
        ASSERT_EQ(0, testutil::Run(convert).status);
        auto dump = testutil::Run({"/usr/bin/dcmdump", ours});
        EXPECT_EQ(0, dump.status);
        EXPECT_EQ("", Warnings(dump.err, opt == "-doi")) << dump.out;
        if (c.same_data_set) {
            EXPECT_EQ(DataSetLines(ref), DataSetLines(ours));
        }
        auto pixels = testutil::Run(
            {"/usr/bin/python3",
             std::string(QUENOR_SOURCE_DIR) + "/tests/converter/pixels_oracle.py", ours, ref});
        EXPECT_EQ(0, pixels.status) << pixels.out << pixels.err;
        if (group_lengths) {
            const std::string recount = tmp.file("recount.dcm");
            ASSERT_EQ(0, testutil::Run({"/usr/bin/dcmconv", "+g=", ours, recount}).status);
            const std::vector<std::string> lines = GroupLengthLines(ours);
            EXPECT_EQ(GroupLengthLines(recount), lines);
            EXPECT_NE(lines.end(), std::find_if(lines.begin(), lines.end(),
                                                [](const std::string &l) {
                                                    return l.rfind("        (", 0) == 0;
                                                }))
                << "group lengths two sequences deep";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, AsDcmtk,
    ::testing::Values(DcmtkInput{"icon_8_bits_big_endian", "icon8", {"+tb"}},
                      DcmtkInput{"icon_16_bits_big_endian", "icon16", {"+tb"}},
                      DcmtkInput{
                          "rtplan_group_lengths_implicit", "rtplan.dcm", {"+g", "+ti"}, false},
                      DcmtkInput{"rtplan_group_lengths_big_endian", "rtplan.dcm", {"+g", "+tb"}}),
    [](const ::testing::TestParamInfo<DcmtkInput> &info) { return info.param.name; });

/* ---- dciodvfy on converted samples ---- */

/* dciodvfy's findings on a file, the lines naming the file left out. */
std::set<std::string> Findings(const std::string &path) {
    auto r = testutil::Run({"/usr/bin/dciodvfy", path});
    std::set<std::string> found;
    std::istringstream in(r.out + r.err);
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && line[0] != '/')
            found.insert(line);
    return found;
}

class Dciodvfy : public ::testing::TestWithParam<std::string> {};

/* A conversion adds no finding to those of the input, beyond what dcmtk's
 * own conversion to the same syntax adds (a private element read from an
 * implicit VR file has no VR but UN in an explicit one, which dciodvfy
 * notes).  The PNG syntax is the toolkit's own: dciodvfy cannot read it. */
TEST_P(Dciodvfy, ConversionAddsNoFinding) {
    const std::string in = testutil::SamplePath(GetParam());
    if (Program("tagdump", {"-i", in}).status != 0)
        GTEST_SKIP() << "our reader refuses " << GetParam();
    const std::set<std::string> before = Findings(in);
    TempDir tmp;
    for (const char *opt : {"-doi", "-doe", "-dob"}) {
        SCOPED_TRACE(opt);
        const std::string ours = tmp.file("ours.dcm"), ref = tmp.file("dcmconv.dcm");
        if (Program("tagrecoded", {"-i", in, "-o", ours, opt}).status != 0)
            continue; /* compressed pixel data: no conversion */
        testutil::Run({"/usr/bin/dcmconv", std::string("+t") + opt[3], in, ref});
        const std::set<std::string> theirs = Findings(ref);
        std::vector<std::string> added;
        for (const std::string &f : Findings(ours))
            if (!before.count(f) && !theirs.count(f))
                added.push_back(f);
        EXPECT_EQ(std::vector<std::string>{}, added);
    }
}

INSTANTIATE_TEST_SUITE_P(Samples, Dciodvfy, ::testing::ValuesIn(testutil::SampleFiles()),
                         testutil::SampleParamName());

} // namespace
