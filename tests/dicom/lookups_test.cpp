/*
 * lookups_test.cpp -- the attribute lookups: folding of repeating groups,
 * primary before secondary, the fixed answers, agreement of the index with
 * a first-match scan, rebuilding after the tables change, and answers from
 * the bundled tag dictionary.
 */
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lookups_int.h"
#include "medcore.h"
#include "testutil.h"

namespace {

TagDefEntry Row(uint32_t tag, const char *name, int vr, int16_t vm = 1,
                const char *permitted = "") {
    return TagDefEntry{tag, const_cast<char *>(name), vr, vm, const_cast<char *>(permitted)};
}

// An AppData over tables that the test owns.
class Tables : public ::testing::Test {
protected:
    void SetUp() override {
        char banner[64];
        init_AppData(&app, "t", "1", banner);
    }
    void TearDown() override { tag_index_free(&app); }
    void Use() {
        app.primary_tags = primary.empty() ? nullptr : primary.data();
        app.primary_count = (int16_t)primary.size();
        app.secondary_tags = secondary.empty() ? nullptr : secondary.data();
        app.secondary_count = (int16_t)secondary.size();
    }
    std::string Name(uint32_t tag) {
        const char *name = nullptr;
        getAttrName(&app, tag, &name);
        return name;
    }
    int Vr(uint32_t tag) {
        int vr = -2;
        getVR(&app, tag, &vr);
        return vr;
    }

    AppData app{};
    std::vector<TagDefEntry> primary, secondary;
};

TEST_F(Tables, RepeatingGroupsFold) {
    primary = {Row(0x50003000, "Curve Data", VR_OX), Row(0x60000010, "Overlay Rows", VR_US),
               Row(0x50023000, "never found", VR_OB), Row(0x00203100, "Source Image IDs", VR_CS)};
    Use();
    EXPECT_EQ("Curve Data", Name(0x50103000));
    EXPECT_EQ("Curve Data", Name(0x50023000)); // the row for 5002 is shadowed
    EXPECT_EQ("Overlay Rows", Name(0x601E0010));
    EXPECT_EQ("Source Image IDs", Name(0x00203105));
    EXPECT_EQ("", Name(0x00203205));
    EXPECT_EQ("", Name(0x50203000)); // 5020 lies outside the folded range
    // Odd groups in the ranges are private: no folding, private creator answer.
    EXPECT_EQ("Private Data Creator", Name(0x50110010));
    EXPECT_EQ(VR_LO, Vr(0x50110010));
}

TEST_F(Tables, FixedAnswersWithoutRows) {
    Use();
    struct Case {
        uint32_t tag;
        int vr;
        const char *vrname, *name;
    } cases[] = {
        {0x00090000, VR_UL, "UL", "Group Length"},
        {0x00080000, VR_UL, "UL", "Group Length"},
        {0x00090010, VR_LO, "LO", "Private Data Creator"},
        {0x000900FF, VR_LO, "LO", "Private Data Creator"},
        {0x0009000F, -1, "??", ""},
        {0x00090100, -1, "??", ""},
        {0x00100010, -1, "??", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.tag);
        int vr = -2;
        const char *vrname = nullptr, *name = nullptr, *permitted = nullptr;
        int16_t vm = 7;
        getVRandName(&app, c.tag, &vr, &vrname, &name);
        getVM(&app, c.tag, &vm);
        getPermitted(&app, c.tag, &permitted);
        EXPECT_EQ(c.vr, vr);
        EXPECT_STREQ(c.vrname, vrname);
        EXPECT_STREQ(c.name, name);
        EXPECT_EQ(0, vm);
        EXPECT_STREQ("", permitted);
    }
    int vr = 5;
    EXPECT_EQ(0, DOU_defXVRTypeByTags(&app, 0x0011, 0x1234, &vr));
    EXPECT_EQ(-1, vr);
}

TEST_F(Tables, PrimaryBeforeSecondaryAndFirstRowWins) {
    primary = {Row(0x00100010, "first", VR_PN, 1, "A, B"), Row(0x00100010, "second", VR_LO)};
    secondary = {Row(0x00100010, "site", VR_SH), Row(0x00111001, "site only", VR_DS, -3),
                 Row(0x00111001, "site later", VR_IS)};
    Use();
    const char *vrname = nullptr, *permitted = nullptr;
    int vr = -2;
    getVRtext(&app, 0x00100010, &vr, &vrname);
    getPermitted(&app, 0x00100010, &permitted);
    EXPECT_EQ(VR_PN, vr);
    EXPECT_STREQ("PN", vrname);
    EXPECT_STREQ("A, B", permitted);
    EXPECT_EQ("first", Name(0x00100010));
    EXPECT_EQ("site only", Name(0x00111001));
    int16_t vm = 0;
    getVM(&app, 0x00111001, &vm);
    EXPECT_EQ(-3, vm);
}

TEST_F(Tables, RowWithoutVRAnswersQuestionMarks) {
    primary = {Row(0x00091001, "odd", -1)};
    Use();
    int vr = 0;
    const char *vrname = nullptr;
    getVRtext(&app, 0x00091001, &vr, &vrname);
    EXPECT_EQ(-1, vr);
    EXPECT_STREQ("??", vrname);
}

TEST_F(Tables, IndexFollowsChangedTables) {
    primary = {Row(0x00100010, "a", VR_PN)};
    Use();
    EXPECT_EQ("", Name(0x00100020));
    primary.push_back(Row(0x00100020, "b", VR_LO)); // may move the array
    Use();
    EXPECT_EQ("b", Name(0x00100020));
    secondary = {Row(0x00100030, "c", VR_DA)};
    Use();
    EXPECT_EQ("c", Name(0x00100030));
    app.primary_count = 0;
    app.secondary_count = 0;
    EXPECT_EQ("", Name(0x00100010));
}

// The answer of the plain first-match scan over both tables.
const TagDefEntry *ScanFirst(const std::vector<TagDefEntry> &a, const std::vector<TagDefEntry> &b,
                             uint32_t key) {
    for (const auto *t : {&a, &b})
        for (const TagDefEntry &row : *t)
            if (row.tag == key)
                return &row;
    return nullptr;
}

TEST_F(Tables, IndexAgreesWithFirstMatchScan) {
    static const char *names[] = {"n0", "n1", "n2", "n3", "n4", "n5", "n6", "n7"};
    uint32_t seed = 12345;
    auto next = [&seed] { return seed = seed * 1103515245u + 12345u, (seed >> 16) & 0x7FFF; };
    for (int i = 0; i < 300; i++)
        primary.push_back(Row(0x00100000u | (next() % 64), names[i % 8], (int)(next() % VR_COUNT)));
    for (int i = 0; i < 300; i++)
        secondary.push_back(
            Row(0x00100000u | (next() % 128), names[(i + 3) % 8], (int)(next() % VR_COUNT)));
    Use();
    for (uint32_t key = 0x00100000; key < 0x00100000 + 160; key++) {
        const TagDefEntry *row = ScanFirst(primary, secondary, key);
        const char *name = nullptr;
        int vr = -2;
        const char *vrname = nullptr;
        getVRandName(&app, key, &vr, &vrname, &name);
        if (row == nullptr) {
            EXPECT_EQ(-1, vr) << key;
            continue;
        }
        EXPECT_EQ(row->name, name) << std::hex << key; // the very row, not a copy
        EXPECT_EQ(row->vr, vr) << std::hex << key;
    }
}

// The bundled dictionary, loaded once for the tests below.
class Bundled : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char banner[64];
        init_AppData(&app, "t", "1", banner);
        loaded = InitDICOMTagDef(&app, (testutil::DefsDir() + "/tag_tab.def").c_str(), 1);
    }
    static void TearDownTestSuite() { DoneTagDef(&app); }
    void SetUp() override { ASSERT_EQ(0, loaded); }

    static AppData app;
    static int loaded;
};
AppData Bundled::app;
int Bundled::loaded = -1;

TEST_F(Bundled, KnownAttributes) {
    int vr = -2;
    const char *vrname = nullptr, *name = nullptr;
    getVRandName(&app, 0x00100010, &vr, &vrname, &name);
    EXPECT_EQ(VR_PN, vr);
    EXPECT_STREQ("PN", vrname);
    EXPECT_STREQ("Patient's Name", name);

    const char *overlay = nullptr, *overlay2 = nullptr;
    getAttrName(&app, 0x60003000, &overlay);
    getAttrName(&app, 0x60023000, &overlay2);
    EXPECT_EQ(overlay, overlay2);
    EXPECT_STRNE("", overlay2);

    const char *ids = nullptr;
    getAttrName(&app, 0x00203100, &ids);
    getAttrName(&app, 0x00203105, &name);
    EXPECT_EQ(ids, name);

    getVRandName(&app, 0x00090010, &vr, &vrname, &name);
    EXPECT_EQ(VR_LO, vr);
    EXPECT_STREQ("Private Data Creator", name);
    getVRandName(&app, 0x00090000, &vr, &vrname, &name);
    EXPECT_EQ(VR_UL, vr);
    EXPECT_STREQ("Group Length", name);
}

TEST_F(Bundled, DoneTagDefDropsTheIndex) {
    AppData local{};
    char banner[64];
    init_AppData(&local, "t", "1", banner);
    ASSERT_EQ(0, InitDICOMTagDef(&local, (testutil::DefsDir() + "/tag_tab.def").c_str(), 1));
    int vr = -2;
    getVR(&local, 0x00100010, &vr);
    EXPECT_NE(nullptr, local.index);
    DoneTagDef(&local);
    EXPECT_EQ(nullptr, local.index);
    getVR(&local, 0x00100010, &vr);
    EXPECT_EQ(-1, vr);
    tag_index_free(&local);
}

} // namespace
