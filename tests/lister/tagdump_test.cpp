/*
 * tagdump_test.cpp -- listings of small files written here: the whole text
 * of one listing against listing_expected.txt, then the preamble forms, the
 * column switches, hidden elements, long values, the list file, a listing
 * that cannot be written and the pixel data line of a long path.
 */
#include <gtest/gtest.h>

#include <stdio.h>
#include <sys/stat.h>

#include <sstream>
#include <string>
#include <vector>

#include "testutil.h"

namespace {

/* ---- building little-endian DICOM files ---- */

std::string U16(uint16_t v) {
    return std::string{char(v & 0xFF), char(v >> 8)};
}
std::string U32(uint32_t v) {
    return U16(uint16_t(v & 0xFFFF)) + U16(uint16_t(v >> 16));
}

const uint32_t kUndefined = 0xFFFFFFFFu;

std::string Explicit(uint16_t g, uint16_t e, const std::string &vr, const std::string &value,
                     uint32_t length = 0) {
    bool long_form = vr == "OB" || vr == "OW" || vr == "SQ" || vr == "UN" || vr == "UT";
    uint32_t len = length ? length : (uint32_t)value.size();
    std::string head = U16(g) + U16(e) + vr;
    head += long_form ? U16(0) + U32(len) : U16(uint16_t(len));
    return head + value;
}
std::string Implicit(uint16_t g, uint16_t e, const std::string &value) {
    return U16(g) + U16(e) + U32((uint32_t)value.size()) + value;
}
std::string Marker(uint16_t e, uint32_t length) {
    return U16(0xFFFE) + U16(e) + U32(length);
}
std::string ItemStart() {
    return Marker(0xE000, kUndefined);
}
std::string ItemEnd() {
    return Marker(0xE00D, 0);
}
std::string SequenceEnd() {
    return Marker(0xE0DD, 0);
}

std::string Preamble(const std::string &text) {
    return text + std::string(128 - text.size(), '\0') + "DICM";
}
std::string MetaGroup() {
    std::string ts = Explicit(0x0002, 0x0010, "UI", std::string("1.2.840.10008.1.2.1\0", 20));
    return Explicit(0x0002, 0x0000, "UL", U32((uint32_t)ts.size())) + ts;
}

std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::string Replace(std::string text, const std::string &from, const std::string &to) {
    for (size_t at; (at = text.find(from)) != std::string::npos;)
        text.replace(at, from.size(), to);
    return text;
}

class Listing : public ::testing::Test {
protected:
    std::string Write(const std::string &name, const std::string &bytes) {
        std::string path = dir_.file(name);
        testutil::WriteFile(path, bytes);
        return path;
    }
    testutil::RunResult Tagdump(std::vector<std::string> args) {
        args.insert(args.begin(), testutil::BinPath("tagdump"));
        return testutil::Run(args, {{"QUENOR_DEF_PATH", testutil::DefsDir()}});
    }
    /* The listing lines of a file, after the two header lines. */
    std::vector<std::string> Body(const std::string &file, std::vector<std::string> flags = {}) {
        std::vector<std::string> args{"-i", file};
        if (!flags.empty()) {
            args.push_back("-f");
            args.insert(args.end(), flags.begin(), flags.end());
        }
        testutil::RunResult r = Tagdump(args);
        EXPECT_EQ(0, r.status) << r.err;
        std::vector<std::string> lines = Lines(r.out);
        return lines.size() > 2 ? std::vector<std::string>(lines.begin() + 2, lines.end())
                                : std::vector<std::string>{};
    }
    std::string Simple() {
        return Write("simple.dcm", Preamble("") + MetaGroup() +
                                       Explicit(0x0008, 0x0060, "CS", "OT") +
                                       Explicit(0x0028, 0x0010, "US", U16(512)));
    }

    testutil::TempDir dir_;
};

TEST_F(Listing, WholeListingMatchesTheExpectedText) {
    std::string data =
        Explicit(0x0008, 0x0060, "CS", "OT") + Explicit(0x0008, 0x1140, "SQ", "", kUndefined) +
        ItemStart() + Explicit(0x0020, 0x0013, "IS", "7 ") + ItemEnd() + SequenceEnd() +
        Explicit(0x0009, 0x1001, "LO", "ab") + Explicit(0x0028, 0x0106, "SS", U16(3)) +
        Explicit(0x0028, 0x0010, "US", U16(512)) + /* out of order */
        Explicit(0x5002, 0x3000, "OW", U16(1) + U16(2));
    std::string head = Preamble("QUENOR listing test") + MetaGroup() + data +
                       Explicit(0x7FE0, 0x0010, "OW", "", 8);
    std::string file = Write("whole.dcm", head + std::string(8, '\x11'));

    char offset_hex[16], offset_dec[16];
    snprintf(offset_hex, sizeof offset_hex, "%zX", head.size());
    snprintf(offset_dec, sizeof offset_dec, "%zu", head.size());
    std::string expected =
        testutil::ReadFile(std::string(QUENOR_SOURCE_DIR) + "/tests/lister/listing_expected.txt");
    expected = Replace(Replace(Replace(expected, "@FILE@", file), "@OFFHEX@", offset_hex), "@OFF@",
                       offset_dec);

    testutil::RunResult r = Tagdump({"-i", file});
    ASSERT_EQ(0, r.status) << r.err;
    std::vector<std::string> want = Lines(expected), got = Lines(r.out);
    for (size_t i = 0; i < want.size() && i < got.size(); ++i)
        EXPECT_EQ(want[i], got[i]) << "line " << i + 1;
    EXPECT_EQ(want.size(), got.size());
}

TEST_F(Listing, ZeroPreambleIsWrittenInHex) {
    std::vector<std::string> body = Body(Simple());
    ASSERT_GE(body.size(), 3u);
    EXPECT_EQ(std::string(256, '0'), body[0]);
    EXPECT_EQ("DICM   # MetaHeader Information", body[1]);
    EXPECT_EQ("", body[2]);
}

TEST_F(Listing, BareDataSetHasNoPreambleBlock) {
    std::string file =
        Write("bare.dcm", Implicit(0x0008, 0x0060, "OT") + Implicit(0x0010, 0x0010, "Doe^John"));
    testutil::RunResult r = Tagdump({"-i", file, "-f", "-de"});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ("DICOM File Meta Information Header (Unknown/Not present)\n"
              "DICOM Data Set (ImplicitVRLittleEndian)\n"
              "0008  0060  CS            2  OT  \n"
              "0010  0010  PN            8  Doe^John  \n",
              r.out);
}

TEST_F(Listing, FlagWordsSwitchColumnsOff) {
    std::string file = Simple();
    const std::string rows = "0028  0010  US            2  512";
    std::vector<std::string> all = Body(file);
    ASSERT_EQ(7u, all.size());
    EXPECT_EQ(0u, all[6].find(rows + "  "));

    /* -de: no description, no empty line after DICM */
    std::vector<std::string> no_de = Body(file, {"-de"});
    ASSERT_EQ(6u, no_de.size());
    EXPECT_EQ("DICM", no_de[1]);
    EXPECT_EQ(rows + "  ", no_de[5]);

    /* the same flag text in three spellings, upper case, extra letters */
    const std::string no_gc_vr = "  0010      2  512  ";
    for (auto flags : std::vector<std::vector<std::string>>{
             {"-gc", "-vr", "-de"}, {"-gc-vr-de"}, {"-GC", "-Vrx", "-de"}}) {
        EXPECT_EQ(no_gc_vr, Body(file, flags).back()) << flags[0];
    }
    std::vector<std::string> fused = Lines(Tagdump({"-i", file, "-fgc", "-vr", "-de"}).out);
    EXPECT_EQ(no_gc_vr, fused.back());

    /* names that are not columns switch nothing off */
    EXPECT_EQ(all, Body(file, {"-zz", "-g"}));

    EXPECT_EQ("0028  0010  ", Body(file, {"-vr", "-vl", "-vf", "-de"}).back());
    EXPECT_EQ("      2  512  ", Body(file, {"-gc", "-ec", "-vr", "-de"}).back());
}

TEST_F(Listing, HiddenElementsKeepTheirChildren) {
    /* (0009,1002) is not defined: hidden with -un; its items are not,
     * they stay at its own indentation (the dictionary does not call it a
     * sequence) and their contents 2 blanks further */
    std::string file =
        Write("hidden.dcm", Preamble("") + MetaGroup() + Explicit(0x0009, 0x1001, "LO", "ab") +
                                Explicit(0x0009, 0x1002, "SQ", "", kUndefined) + ItemStart() +
                                Explicit(0x0010, 0x0010, "PN", "Doe ") + ItemEnd() + SequenceEnd() +
                                Explicit(0x0010, 0x0020, "LO", "ID1 "));
    std::vector<std::string> shown = Body(file, {"-de", "-vl", "-vf"});
    std::vector<std::string> hidden = Body(file, {"-de", "-vl", "-vf", "-un"});
    std::vector<std::string> want{"FFFE  E000", "  0010  0010  PN", "  FFFE  E00D", "FFFE  E0DD",
                                  "0010  0020  LO"};
    ASSERT_GE(hidden.size(), want.size());
    std::vector<std::string> tail(hidden.end() - (long)want.size(), hidden.end());
    for (auto &line : tail)
        line = line.substr(0, line.find_last_not_of(' ') + 1);
    EXPECT_EQ(want, tail);
    EXPECT_EQ(hidden.size() + 2, shown.size());
    for (const auto &line : hidden)
        EXPECT_NE(0u, line.find("0009")) << line;
}

std::string F32(float f) {
    uint32_t v;
    memcpy(&v, &f, 4);
    return U32(v);
}
std::string F64(double d) {
    uint64_t v;
    memcpy(&v, &d, 8);
    return U32(uint32_t(v)) + U32(uint32_t(v >> 32));
}

/* Values whose VR the dictionary leaves open print as the writer labels
 * them, and floating-point values never print wrong.  Each line is what
 * dcmdump reads in the same file: FL 1.24999997e-05\0.5 and FD
 * 9.9999999999999982e-13 (its longer texts of the same numbers), 0.125,
 * SS -100 and -2000, US 256\0\16, OW 0000\0349\038d. */
TEST_F(Listing, OpenVRsAndSmallFloatsPrintTheirValues) {
    std::string file = Write(
        "values.dcm",
        Preamble("") + MetaGroup() + Explicit(0x0018, 0x1320, "FL", F32(1.25e-05f) + F32(0.5f)) +
            Explicit(0x0018, 0x602C, "FD", F64(1e-12)) +
            Explicit(0x0018, 0x602E, "FD", F64(0.125)) + Explicit(0x0028, 0x0103, "US", U16(1)) +
            Explicit(0x0028, 0x0106, "SS", U16(0xFF9C)) +
            Explicit(0x0028, 0x0120, "SS", U16(0xF830)) +
            Explicit(0x0028, 0x1101, "US", U16(256) + U16(0) + U16(16)) +
            Explicit(0x5400, 0x0100, "SQ", "", kUndefined) + ItemStart() +
            Explicit(0x5400, 0x1004, "US", U16(16)) +
            Explicit(0x5400, 0x1010, "OW", U16(0) + U16(841) + U16(909)) + ItemEnd() +
            SequenceEnd());
    std::vector<std::string> body = Body(file, {"-de"});
    std::vector<std::string> want{
        "0018  1320  FL            8  1.25e-05\\0.500000  ",
        "0018  602C  FD            8  1e-12  ",
        "0018  602E  FD            8  0.125000  ",
        "0028  0103  US            2  1  ",
        "0028  0106  US or SS      2  -100  ",
        "0028  0120  US or SS      2  -2000  ",
        "0028  1101  US\\US or SS\\US      6  256\\0\\16  ",
        "5400  0100  SQ           -1  ",
        "  FFFE  E000               -1  ",
        "    5400  1004  US            2  16  ",
        "    5400  1010  OW or OB      6  00000349038DH  ",
    };
    ASSERT_GE(body.size(), want.size() + 2);
    std::vector<std::string> got(body.begin() + 4, body.begin() + 4 + (long)want.size());
    EXPECT_EQ(want, got);
}

TEST_F(Listing, LongValuesPushOrDropTheDescription) {
    std::string file =
        Write("long.dcm", Preamble("") + MetaGroup() +
                              Explicit(0x0008, 0x1030, "LO", std::string(26, 'x')) +
                              Explicit(0x0008, 0x103E, "LO", std::string(30, 'x')) +
                              Explicit(0x0010, 0x4000, "LT", std::string(2000, 'y')));
    std::vector<std::string> body = Body(file);
    ASSERT_EQ(8u, body.size());
    /* 27 + 2 + 26 + 2 = 57 characters: description at 60; 4 more: at 65 */
    EXPECT_EQ(60u, body[5].find("# Study Description"));
    EXPECT_EQ(65u, body[6].find("# Series Description"));
    EXPECT_EQ(1279u, body[7].size());
    EXPECT_EQ(std::string::npos, body[7].find('#'));
}

TEST_F(Listing, ListFile) {
    std::string file = Simple();
    std::string list = dir_.file("list.txt");
    testutil::RunResult r = Tagdump({"-i", file, "-o", list});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("", r.out);
    std::string text = testutil::ReadFile(list);
    EXPECT_EQ(0u, text.find("DICOM File Meta Information Header (ExplicitVRLittleEndian)\n"));

    /* a list file that cannot be opened: an error, and nothing listed */
    const std::string bad = dir_.file("no/such/dir/list.txt");
    r = Tagdump({"-i", file, "-o", bad, "-v1"});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("", r.out);
    EXPECT_NE(std::string::npos, r.err.find(bad + ": No such file or directory.\nError: Cannot "
                                                  "open list file " + bad + ".\n"))
        << r.err;
}

/* A listing that does not land fails, whether the list file or standard
 * output sits on a full device, and whether the failure shows at the final
 * flush (a listing smaller than the stream's buffer) or while the lines
 * are written (one of some 400 kB). */
TEST_F(Listing, AListingThatCannotBeWrittenEndsWithStatusOne) {
    if (!testutil::FileExists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    std::string many;
    for (uint16_t e = 0; e < 300; ++e)
        many += Explicit(0x0011, uint16_t(0x1000 + e), "LT", std::string(1200, 'y'));
    const std::string large = Write("large.dcm", Preamble("") + MetaGroup() + many);
    const std::string to_stdout = "stdout", full = ": No space left on device.\nError: Cannot ";
    for (const std::string &file : {Simple(), large}) {
        for (const std::string &target : {std::string("/dev/full"), to_stdout}) {
            testutil::RunResult r;
            std::string message;
            if (target == to_stdout) {
                r = testutil::Run({"/bin/sh", "-c", "exec \"$0\" \"$@\" >/dev/full",
                                   testutil::BinPath("tagdump"), "-v1", "-i", file},
                                  {{"QUENOR_DEF_PATH", testutil::DefsDir()}});
                message = "write standard output" + full + "write list to standard output.\n";
            } else {
                r = Tagdump({"-v1", "-i", file, "-o", target});
                message = "write " + target + full + "write list file " + target + ".\n";
                EXPECT_EQ("", r.out);
            }
            EXPECT_EQ(1, r.status) << file << " " << target;
            EXPECT_NE(std::string::npos, r.err.find(message)) << r.err;
        }
    }
    /* the same large listing where it can be written */
    testutil::RunResult r = Tagdump({"-i", large, "-o", dir_.file("large.txt")});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(300u + 7u, Lines(testutil::ReadFile(dir_.file("large.txt"))).size());
}

/* The pixel data line names where the pixels lie: a long path keeps the
 * offset and length after it, and only the line's own limit of 1279
 * characters cuts it. */
TEST_F(Listing, PixelDataLineIsCutOnlyAtTheLineLimit) {
    for (size_t length : {300u, 480u, 700u, 1400u}) {
        /* a path of exactly that many characters, through nested folders */
        std::string folder = dir_.path() + "/" + std::to_string(length);
        ASSERT_EQ(0, mkdir(folder.c_str(), 0755));
        while (length - folder.size() > 251) { /* a name holds at most 255 */
            folder += "/" + std::string(200, 'd');
            ASSERT_EQ(0, mkdir(folder.c_str(), 0755));
        }
        ASSERT_LT(folder.size() + 10, length);
        std::string path = folder + "/" + std::string(length - folder.size() - 5, 'p') + ".dcm";
        ASSERT_EQ(length, path.size());
        std::string head = Preamble("") + MetaGroup() + Explicit(0x7FE0, 0x0010, "OW", "", 8);
        testutil::WriteFile(path, head + std::string(8, '\x22'));

        char numbers[96];
        snprintf(numbers, sizeof numbers, ", offset=0x%zX(%zu), length=0x8(8)  ", head.size(),
                 head.size());
        std::string want = "7FE0  0010  OW            8  Data in file " + path + numbers;
        std::vector<std::string> body = Body(path, {"-de"});
        ASSERT_FALSE(body.empty());
        EXPECT_EQ(want.substr(0, 1279), body.back()) << length;
    }
}

} // namespace
