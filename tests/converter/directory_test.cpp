/*
 * directory_test.cpp -- DICOMDIRs as pydicom's FileSet writes them, in the
 * three native syntaxes and with sequences and records of undefined
 * length, converted into every syntax with and without a
 * meta header and edited by a profile: the record offsets of every output
 * chain the same records as the input's (an independent walk with pydicom,
 * and pydicom's FileSet finding every instance), dcmdump reads it without
 * a warning, and an offset that named no record is kept with a warning.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "testutil.h"

namespace {

using testutil::TempDir;

testutil::RunResult Program(const std::string &name, std::vector<std::string> args) {
    args.insert(args.begin(), testutil::BinPath(name));
    return testutil::Run(args, {{"QUENOR_DEF_PATH", testutil::DefsDir()}});
}

testutil::RunResult Python(const std::string &script, std::vector<std::string> args) {
    args.insert(args.begin(), std::string(QUENOR_SOURCE_DIR) + "/tests/converter/" + script);
    args.insert(args.begin(), {"/usr/bin/python3", "-W", "ignore"});
    return testutil::Run(args);
}

/* The records as their offsets chain them (see directory_oracle.py). */
testutil::RunResult Walk(const std::string &path) {
    return Python("directory_oracle.py", {path});
}

/* A File-set of the given shape in folder; the path of its DICOMDIR. */
std::string MakeFileSet(const std::string &folder, const std::string &shape) {
    auto r = Python("make_inputs.py", {"fileset", folder, shape});
    EXPECT_EQ(0, r.status) << r.out << r.err;
    return folder + "/DICOMDIR";
}

/* What a program or dcmdump said beyond the log's start and end lines. */
bool Complains(const std::string &err) {
    return err.find("Error") != std::string::npos || err.find("Warning") != std::string::npos ||
           err.find("W: ") != std::string::npos || err.find("E: ") != std::string::npos;
}

class Directory : public ::testing::TestWithParam<std::string> {};

TEST_P(Directory, OffsetsFollowTheRecordsThroughEverySave) {
    TempDir tmp;
    const std::string dicomdir = MakeFileSet(tmp.file("fs"), GetParam());
    auto walked = Walk(dicomdir);
    ASSERT_EQ(0, walked.status) << walked.out << walked.err;
    const std::string with_meta = walked.out;
    ASSERT_NE(std::string::npos, with_meta.find("\nfileset 8 instances\n")) << with_meta;
    const std::string bare = with_meta.substr(0, with_meta.find("fileset "));

    /* the outputs stand beside the DICOMDIR, where its files are found */
    const std::string out = tmp.file("fs/OUT");
    struct Save {
        std::string program;
        std::vector<std::string> options;
        bool meta; /* whether a meta header is written (-doc writes one whatever -mon says) */
    };
    const std::string profile = tmp.file("edit.prf");
    testutil::WriteFile(profile, "a 0004 1130 \"A LONGER FILE-SET ID\"\nd 0004 1212\n");
    std::vector<Save> saves = {{"tagpatchd", {"-p", profile}, true}};
    for (const std::string syntax : {"-doi", "-doe", "-dob", "-doc"}) {
        saves.push_back({"tagrecoded", {syntax}, true});
        saves.push_back({"tagrecoded", {syntax, "-mon"}, syntax == "-doc"});
    }
    for (const Save &s : saves) {
        std::string name = s.program;
        for (const std::string &o : s.options)
            name += " " + o;
        SCOPED_TRACE(name);
        std::vector<std::string> args = {"-v2", "-i", dicomdir, "-o", out};
        args.insert(args.end(), s.options.begin(), s.options.end());
        auto r = Program(s.program, args);
        ASSERT_EQ(0, r.status) << r.err;
        EXPECT_FALSE(Complains(r.err)) << r.err;
        auto dump = testutil::Run({"/usr/bin/dcmdump", out});
        EXPECT_EQ(0, dump.status);
        EXPECT_FALSE(Complains(dump.err)) << dump.err;
        auto back = Walk(out);
        EXPECT_EQ(0, back.status) << back.out << back.err;
        EXPECT_EQ(s.meta ? with_meta : bare, back.out);
    }
}

/* The three syntaxes as FileSet writes them (a sequence and records of
 * defined length), a sequence and records of undefined length, and a
 * sequence of undefined length holding records of defined length. */
INSTANTIATE_TEST_SUITE_P(Shapes, Directory,
                         ::testing::Values("explicit", "implicit", "big", "explicit+undefined",
                                           "big+items"),
                         [](const ::testing::TestParamInfo<std::string> &info) {
                             std::string name = info.param;
                             std::replace(name.begin(), name.end(), '+', '_');
                             return name;
                         });

/* The first (0004,1420) of an explicit VR little endian DICOMDIR made to
 * name no record: the save keeps it as it was and says so. */
TEST(DirectoryOffsets, OneNamingNoRecordIsKeptWithAWarning) {
    TempDir tmp;
    const std::string dicomdir = MakeFileSet(tmp.file("fs"), "explicit");
    std::string bytes = testutil::ReadFile(dicomdir);
    const std::string lower("\x04\x00\x20\x14UL\x04\x00", 8);
    const size_t at = bytes.find(lower);
    ASSERT_NE(std::string::npos, at);
    bytes.replace(at + 8, 4, std::string("\x39\x30\x00\x00", 4)); /* 12345 */
    testutil::WriteFile(dicomdir, bytes);
    for (const char *syntax : {"-doi", "-dob"}) {
        SCOPED_TRACE(syntax);
        const std::string out = tmp.file("out.dcm");
        auto r = Program("tagrecoded", {"-v2", "-i", dicomdir, "-o", out, syntax});
        ASSERT_EQ(0, r.status) << r.err;
        EXPECT_NE(std::string::npos,
                  r.err.find("Warning: Directory offset (0004,1420) = 12345 names no directory "
                             "record; it is kept as it was.\n"))
            << r.err;
        auto dump = testutil::Run({"/usr/bin/dcmdump", "-q", out});
        EXPECT_NE(std::string::npos, dump.out.find("(0004,1420) up 12345")) << dump.out;
        EXPECT_EQ(std::string::npos, r.err.find("(0004,1400)")) << "the others all name a record";
    }
}

} // namespace
