/*
 * samples_test.cpp -- reads every shared sample file with the bundled
 * definitions and compares the tree with what an independent reader said
 * about the same file (tests/dicom/samples_expected/<name>.txt, written by
 * make_samples_expected.py from dcmdump): tags in file order with their
 * nesting depth, lengths, text values and pixel data descriptions.
 */
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "medcore.h"
#include "testutil.h"

namespace {

constexpr uint32_t kUndefined = 0xFFFFFFFFu;

struct Fact {
    int depth;
    uint32_t tag;
    uint32_t length;
    std::string vr;
    std::string value; /* empty: not compared */
};

struct Node {
    int depth;
    const DicomElement *e;
};

/* Returns false for a file the oracle could not read.  odd_tag receives
 * the tag of an element of odd length (0 when none). */
bool LoadFacts(const std::string &sample, std::vector<Fact> *facts, uint32_t *odd_tag = nullptr) {
    std::ifstream in(std::string(QUENOR_SOURCE_DIR) + "/tests/dicom/samples_expected/" +
                     sample.substr(0, sample.size() - 4) + ".txt");
    EXPECT_TRUE(in.good()) << "no expected facts for " << sample;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        if (line == "unreadable")
            return false;
        std::vector<std::string> f;
        std::stringstream ss(line);
        for (std::string field; std::getline(ss, field, '\t');)
            f.push_back(field);
        if (f.at(0) == "odd") {
            if (odd_tag)
                *odd_tag = (uint32_t)std::stoul(f.at(1), nullptr, 16);
            continue;
        }
        Fact fact{std::stoi(f.at(0)), (uint32_t)std::stoul(f.at(1), nullptr, 16),
                  f.at(2) == "u" ? kUndefined : (uint32_t)std::stoul(f.at(2)), f.at(3),
                  f.size() > 4 ? f[4] : ""};
        facts->push_back(fact);
    }
    return true;
}

void Flatten(const DicomElement *parent, int depth, std::vector<Node> *out) {
    for (const DicomElement *c = parent->first_child; c; c = c->next) {
        out->push_back({depth, c});
        Flatten(c, depth + 1, out);
    }
}

uint32_t KeyOf(const DicomElement *e) {
    return (uint32_t)e->group << 16 | e->element;
}

/* The length the file gave: pixel data keeps it in its description. */
uint32_t FileLength(const DicomElement *e) {
    if (KeyOf(e) == 0x7FE00010u && e->value)
        return static_cast<const PixelDataDesc *>(e->value)->length;
    return e->length;
}

std::string TrimmedText(const DicomElement *e) {
    std::string v = e->value ? std::string(static_cast<const char *>(e->value), e->length) : "";
    while (!v.empty() && (v.back() == ' ' || v.back() == '\0'))
        v.pop_back();
    return v;
}

/* Our tree in the oracle's line format, for failure messages. */
std::string Listing(const std::vector<Node> &nodes) {
    std::string text;
    char line[64];
    for (const Node &n : nodes) {
        snprintf(line, sizeof line, "%d\t%08x\t%u\n", n.depth, KeyOf(n.e), FileLength(n.e));
        text += line;
    }
    return text;
}

class SamplesTest : public ::testing::TestWithParam<std::string> {
protected:
    static void SetUpTestSuite() {
        char banner[64];
        init_AppData(&app_, "samplestest", "1.0", banner);
        const std::string dir = testutil::DefsDir();
        ASSERT_EQ(0, InitDICOMTagDef(&app_, (dir + "/tag_tab.def").c_str(), 1));
        ASSERT_EQ(0, InitDICOMTagDef(&app_, (dir + "/tag2_tab.def").c_str(), 0));
        ASSERT_EQ(0, InitDICOMPrvDef(&app_, &defs_, (dir + "/prv_tab.def").c_str(), 1));
        ASSERT_EQ(0, InitDICOMPrvDef(&app_, &defs_, (dir + "/prv2_tab.def").c_str(), 0));
    }
    static void TearDownTestSuite() { DoneTagPrvDef(&app_, &defs_); }
    void SetUp() override {
        init_IOObject(&io_);
        log_mask(0x0010); /* errors on stderr */
    }
    void TearDown() override {
        DO_closeObject(&io_);
        log_mask(0x002C);
    }
    int VrOf(uint32_t tag) {
        int vr = -1;
        getVR(&app_, tag, &vr);
        return vr;
    }

    static AppData app_;
    static DefHolder defs_;
    IOObject io_{};
};

AppData SamplesTest::app_{};
DefHolder SamplesTest::defs_{};

TEST_P(SamplesTest, TreeAgreesWithAnIndependentReader) {
    const std::string sample = GetParam();
    std::vector<Fact> facts;
    uint32_t odd_tag = 0;
    const bool readable = LoadFacts(sample, &facts, &odd_tag);
    const std::string path = testutil::SamplePath(sample);
    ::testing::internal::CaptureStderr();
    const int result = DO_importObjectFromFile(&app_, &defs_, path.c_str(), &io_);
    const std::string log = ::testing::internal::GetCapturedStderr();
    if (!readable) { /* damaged: refused with a message, not misread */
        EXPECT_EQ(-1, result);
        EXPECT_NE(std::string::npos, log.find("Error: ")) << log;
        return;
    }
    ASSERT_NE(nullptr, io_.object) << "nothing read from " << path << "\n" << log;
    std::vector<Node> nodes;
    Flatten(io_.object->root, 0, &nodes);
    if (odd_tag) { /* refused at that element; what came before is kept */
        char message[80];
        snprintf(message, sizeof message,
                 "Error: Length of element (%04x,%04x) is not an even number.", odd_tag >> 16,
                 odd_tag & 0xFFFF);
        EXPECT_EQ(-1, result);
        EXPECT_NE(std::string::npos, log.find(message)) << log;
        size_t before = 0;
        while (before < facts.size() && facts[before].tag != odd_tag)
            before++;
        facts.resize(before);
    } else {
        ASSERT_EQ(0, result) << log;
        EXPECT_EQ(std::string::npos, log.find("Error")) << log;
    }
    ASSERT_EQ(facts.size(), nodes.size()) << Listing(nodes);
    /* An undefined-length element that the dictionary does not call a
     * sequence opens nothing in our tree; depths differ from there on. */
    bool depths_comparable = true;
    for (size_t i = 0; i < facts.size(); i++) {
        const Fact &f = facts[i];
        const DicomElement *e = nodes[i].e;
        SCOPED_TRACE(sample + " element " + std::to_string(i));
        ASSERT_EQ(f.tag, KeyOf(e));
        const bool delimiter = f.tag >> 16 == 0xFFFE;
        if (f.length == kUndefined && !delimiter && f.tag != 0x7FE00010u && VrOf(f.tag) != VR_SQ)
            depths_comparable = false;
        if (depths_comparable) {
            EXPECT_EQ(f.depth, nodes[i].depth);
        }
        EXPECT_EQ(f.length, FileLength(e));
        if (!f.value.empty()) {
            EXPECT_EQ(f.value, TrimmedText(e));
        }
        if (KeyOf(e) == 0x7FE00010u && f.length != 0) {
            EXPECT_NE(0, e->flags & DE_FLAG_OWNS_PDS_NAME);
        }
    }
}

/* The description of the pixel data agrees with the image attributes. */
TEST_P(SamplesTest, PixelDataDescriptionMatchesTheImage) {
    const std::string sample = GetParam();
    std::vector<Fact> facts;
    uint32_t odd_tag = 0;
    if (!LoadFacts(sample, &facts, &odd_tag) || odd_tag)
        GTEST_SKIP() << "sample not readable to its end";
    ASSERT_EQ(0,
              DO_importObjectFromFile(&app_, &defs_, testutil::SamplePath(sample).c_str(), &io_));
    const DicomElement *pixel = nullptr;
    for (const DicomElement *c = io_.object->root->first_child; c; c = c->next)
        if (KeyOf(c) == 0x7FE00010u)
            pixel = c;
    if (!pixel || !pixel->value)
        GTEST_SKIP() << "no pixel data";
    const PixelDataDesc *pds = static_cast<const PixelDataDesc *>(pixel->value);
    EXPECT_EQ(testutil::SamplePath(sample), pds->filename);
    EXPECT_EQ(io_.pass_ts, pds->src_ts);
    std::string frames = "1", photometric;
    for (const Fact &f : facts) {
        if (f.depth == 0 && f.tag == 0x00280008u)
            frames = f.value;
        if (f.depth == 0 && f.tag == 0x00280004u)
            photometric = f.value;
    }
    EXPECT_EQ(std::stoi(frames), pds->frames);
    std::string ours = pds->photometric;
    EXPECT_EQ(photometric, ours.substr(0, ours.find_last_not_of(' ') + 1));
    if (pds->length != kUndefined) { /* native: the value is the whole image */
        const uint64_t image = (uint64_t)pds->rows * pds->columns * pds->samples * pds->frames *
                               (pds->bits_allocated / 8);
        EXPECT_EQ((image + 1) & ~1ull, pds->length);
        std::ifstream in(pds->filename, std::ios::binary | std::ios::ate);
        EXPECT_LE((uint64_t)pds->offset + pds->length, (uint64_t)in.tellg());
    }
}

INSTANTIATE_TEST_SUITE_P(Shared, SamplesTest, ::testing::ValuesIn(testutil::SampleFiles()),
                         testutil::SampleParamName());

} // namespace
