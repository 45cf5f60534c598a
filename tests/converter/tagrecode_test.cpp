/*
 * tagrecode_test.cpp -- the converter run as a process: its syntax options
 * and how -doc overrides the others, the -E encoder settings, usage errors,
 * and the failed save.
 */
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testutil.h"

namespace {

using testutil::ReadFile;
using testutil::TempDir;

testutil::RunResult Recode(std::vector<std::string> args) {
    args.insert(args.begin(), testutil::BinPath("tagrecoded"));
    return testutil::Run(args, {{"QUENOR_DEF_PATH", testutil::DefsDir()}});
}

/* What dcmdump says of a file: the syntax of its data set, and whether a
 * meta header stands in front of it. */
std::string DataSetSyntax(const std::string &path) {
    std::string out = testutil::Run({"/usr/bin/dcmdump", path}).out;
    size_t at = out.rfind("# Used TransferSyntax: ");
    return at == std::string::npos ? "" : out.substr(at + 23, out.find('\n', at) - at - 23);
}

bool HasMeta(const std::string &path) {
    return ReadFile(path).substr(128, 4) == "DICM";
}

std::string MetaSyntaxUid(const std::string &path) {
    std::string bytes = ReadFile(path);
    size_t at = bytes.find(std::string("\x02\x00\x10\x00UI", 6));
    if (at == std::string::npos)
        at = bytes.find(std::string("\x00\x02\x00\x10UI", 6)); /* a big-endian meta group */
    if (at == std::string::npos)
        return "";
    size_t len = (unsigned char)bytes[at + 6] | (unsigned char)bytes[at + 7] << 8;
    if (bytes[at] == 0)
        len = (unsigned char)bytes[at + 6] << 8 | (unsigned char)bytes[at + 7];
    std::string uid = bytes.substr(at + 8, len);
    return uid.substr(0, uid.find('\0'));
}

TEST(Tagrecode, WithoutChoicesTheInputSyntaxesAreKept) {
    TempDir tmp;
    auto r =
        Recode({"-i", testutil::SamplePath("MR_small_bigendian.dcm"), "-o", tmp.file("o.dcm")});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ("", r.out);
    EXPECT_EQ("Big Endian Explicit", DataSetSyntax(tmp.file("o.dcm")));
    EXPECT_EQ("1.2.840.10008.1.2.2", MetaSyntaxUid(tmp.file("o.dcm")));
}

TEST(Tagrecode, BareInputGetsAMetaHeaderUnlessMon) {
    TempDir tmp;
    const std::string in = testutil::SamplePath("rtstruct.dcm");
    ASSERT_EQ(0, Recode({"-i", in, "-o", tmp.file("m.dcm")}).status);
    EXPECT_TRUE(HasMeta(tmp.file("m.dcm")));
    EXPECT_EQ("Little Endian Implicit", DataSetSyntax(tmp.file("m.dcm")));
    ASSERT_EQ(0, Recode({"-i", in, "-o", tmp.file("n.dcm"), "-mon", "-dob"}).status);
    EXPECT_FALSE(HasMeta(tmp.file("n.dcm")));
    EXPECT_EQ(std::string::npos, ReadFile(tmp.file("n.dcm")).find("1.2.840.10008.1.2"));
}

TEST(Tagrecode, SyntaxLettersAndArgumentForms) {
    TempDir tmp;
    const std::string in = testutil::SamplePath("CT_small.dcm");
    ASSERT_EQ(0, Recode({"-i", in, "-o", tmp.file("a.dcm"), "-doi", "-mob"}).status);
    EXPECT_EQ("Little Endian Implicit", DataSetSyntax(tmp.file("a.dcm")));
    EXPECT_EQ("1.2.840.10008.1.2", MetaSyntaxUid(tmp.file("a.dcm")));
    EXPECT_EQ(std::string("\x00\x02\x00\x00UL", 6), ReadFile(tmp.file("a.dcm")).substr(132, 6))
        << "meta group big endian";
    ASSERT_EQ(0, Recode({"-i", in, "-o", tmp.file("b.dcm"), "-m", "oex", "-d", "oe"}).status);
    EXPECT_EQ("Little Endian Explicit", DataSetSyntax(tmp.file("b.dcm")));
    EXPECT_EQ(std::string("\x02\x00\x00\x00UL", 6), ReadFile(tmp.file("b.dcm")).substr(132, 6));
}

TEST(Tagrecode, DocOverridesMonPAndOtherDo) {
    TempDir tmp;
    const std::string in = testutil::SamplePath("MR_small.dcm");
    for (auto order : std::vector<std::vector<std::string>>{{"-doc", "-doi"}, {"-doi", "-doc"}}) {
        auto r = Recode({"-i", in, "-o", tmp.file("c.dcm"), "-mon", "-p", order[0], order[1]});
        ASSERT_EQ(0, r.status) << r.err;
        EXPECT_TRUE(HasMeta(tmp.file("c.dcm")));
        EXPECT_EQ("3.0.0.4.5", MetaSyntaxUid(tmp.file("c.dcm")));
        EXPECT_NE(std::string::npos, ReadFile(tmp.file("c.dcm")).find("\x89PNG")) << "pixels kept";
    }
}

TEST(Tagrecode, EncapsulationParametersReachTheEncoder) {
    TempDir tmp;
    const std::string in = testutil::SamplePath("CT_small.dcm");
    ASSERT_EQ(0, Recode({"-i", in, "-o", tmp.file("0.dcm"), "-doc", "-Epng::::0"}).status);
    ASSERT_EQ(0, Recode({"-i", in, "-o", tmp.file("9.dcm"), "-doc", "-Epng:5:8:0:9"}).status);
    ASSERT_EQ(0, Recode({"-i", in, "-o", tmp.file("j.dcm"), "-doc", "-Ejpeg::::0"}).status);
    ASSERT_EQ(0, Recode({"-i", in, "-o", tmp.file("d.dcm"), "-doc"}).status);
    size_t stored = ReadFile(tmp.file("0.dcm")).size();
    size_t best = ReadFile(tmp.file("9.dcm")).size();
    EXPECT_GT(stored, 32768u) << "level 0 stores the 32 KiB of samples uncompressed";
    EXPECT_LT(best, stored);
    EXPECT_EQ(ReadFile(tmp.file("d.dcm")).size(), ReadFile(tmp.file("j.dcm")).size())
        << "another method sets nothing";
}

TEST(Tagrecode, UsageErrors) {
    TempDir tmp;
    const std::string in = testutil::SamplePath("MR_small.dcm");
    const std::string out = tmp.file("u.dcm");
    for (auto args : std::vector<std::vector<std::string>>{{"-i", in, "-o", out, "-moc"},
                                                           {"-i", in, "-o", out, "-mo"},
                                                           {"-i", in, "-o", out, "-mx"},
                                                           {"-i", in, "-o", out, "-dox"},
                                                           {"-i", in, "-o", out, "-d", "e"},
                                                           {"-i", in},
                                                           {"-o", out},
                                                           {"-i", in, "-o", out, "extra"},
                                                           {"-i", in, "-o", out, "-l", out}}) {
        auto r = Recode(args);
        EXPECT_EQ(1, r.status) << args.back();
        EXPECT_NE(std::string::npos, r.err.find("Usage:\n  ")) << args.back();
        EXPECT_EQ("", r.out);
    }
    EXPECT_FALSE(testutil::FileExists(out));
    auto help = Recode({"-h"});
    EXPECT_EQ(1, help.status);
    EXPECT_NE(std::string::npos, help.out.find("  c \tEncapsulated Pixel Data\n"));
}

TEST(Tagrecode, FailedSaveStopsWithTheStoringMessage) {
    TempDir tmp;
    testutil::WriteFile(tmp.file("t.dcm"), "old");
    auto r = Recode({"-i", testutil::SamplePath("JPEG2000.dcm"), "-o", tmp.file("t.dcm"), "-v1"});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("Error: Error in storing DICOM object."));
    EXPECT_NE(std::string::npos, r.err.find("encapsulated"));
    EXPECT_EQ("old", ReadFile(tmp.file("t.dcm")));
    auto p = Recode({"-i", testutil::SamplePath("JPEG2000.dcm"), "-o", tmp.file("t.dcm"), "-p"});
    EXPECT_EQ(0, p.status) << "without pixel data the object can be stored";
    auto dir = Recode({"-i", testutil::SamplePath("MR_small.dcm"), "-o", "/nonexistent/x.dcm"});
    EXPECT_EQ(1, dir.status);
}

} // namespace
