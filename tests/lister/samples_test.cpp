/*
 * samples_test.cpp -- every shared sample file is listed, and the group and
 * element columns, in order, are the tags that an independent reader found
 * in it (expected_tags.txt, written by make_expected_tags.py).
 */
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "testutil.h"

namespace {

struct Expected {
    std::vector<std::string> tags;
    bool partial = false; /* the other reader stopped early */
};

std::map<std::string, Expected> LoadExpected() {
    std::map<std::string, Expected> all;
    std::istringstream in(
        testutil::ReadFile(std::string(QUENOR_SOURCE_DIR) + "/tests/lister/expected_tags.txt"));
    Expected *current = nullptr;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("== ", 0) == 0) {
            std::istringstream head(line.substr(3));
            std::string name, mark;
            head >> name >> mark;
            current = &all[name];
            current->partial = mark == "partial";
        } else if (current && !line.empty()) {
            current->tags.push_back(line);
        }
    }
    return all;
}

/* Samples our reader refuses by its rules, with the message it logs. */
const std::map<std::string, std::string> kRefused = {
    /* (0001,0002) has the odd length 9 */
    {"nested_priv_SQ.dcm", "is not an even number."},
    /* damaged from its first byte: the other reader gives up too */
    {"no_meta.dcm", "is greater than the rest of the file"},
};

/* "GGGG EEEE" of every listing line, indentation dropped. */
std::vector<std::string> ListedTags(const std::string &listing) {
    static const std::regex row("^ *([0-9A-F]{4})  ([0-9A-F]{4}) *$");
    std::vector<std::string> tags;
    std::istringstream in(listing);
    std::smatch m;
    for (std::string line; std::getline(in, line);)
        if (std::regex_match(line, m, row))
            tags.push_back(m[1].str() + " " + m[2].str());
    return tags;
}

TEST(Samples, TagsMatchAnIndependentReader) {
    std::map<std::string, Expected> expected = LoadExpected();
    std::vector<std::string> files = testutil::SampleFiles();
    ASSERT_FALSE(files.empty());
    for (const std::string &name : files) {
        SCOPED_TRACE(name);
        ASSERT_EQ(1u, expected.count(name)) << "rerun make_expected_tags.py";
        const Expected &want = expected[name];
        testutil::RunResult r =
            testutil::Run({testutil::BinPath("tagdump"), "-v1", "-i", testutil::SamplePath(name),
                           "-f", "-vr", "-vl", "-vf", "-de"},
                          {{"QUENOR_DEF_PATH", testutil::DefsDir()}});
        auto refused = kRefused.find(name);
        if (refused != kRefused.end()) {
            EXPECT_EQ(1, r.status);
            EXPECT_NE(std::string::npos, r.err.find(refused->second)) << r.err;
            EXPECT_NE(std::string::npos, r.err.find("Error in opening DICOM object."));
            continue;
        }
        EXPECT_FALSE(want.partial) << "the other reader could not read it to the end";
        EXPECT_EQ(0, r.status) << r.err;
        if (r.status == 0) {
            EXPECT_EQ(want.tags, ListedTags(r.out));
        }
    }
}

} // namespace
