/*
 * verify_test.cpp -- the two verification walks and their report: the
 * exact log text and the level of every line (seen through the standard
 * error thresholds), what fails a walk and what only warns, the type rules,
 * module usages, the catch-all module, sequences absent, empty (in every
 * encoding of a file) or kept as raw bytes, and report lines that must be
 * cut to fit.
 */
#include <gtest/gtest.h>

#include <string.h>

#include <deque>
#include <functional>
#include <string>

#include "file_builder.h"
#include "lookups_int.h"
#include "medcore.h"
#include "testutil.h"
#include "tree_test_util.h"

namespace {

using treetest::kUndef;
using treetest::Rec;

struct Row {
    uint32_t tag;
    const char *name;
    int vr;
    int16_t vm;
    const char *permitted;
};

const std::string kLongName(600, 'N');

const Row kRows[] = {
    {0x00080060, "Modality", VR_CS, 1, ""},
    {0x00081115, "Referenced Series Sequence", VR_SQ, 1, ""},
    {0x00081150, "Referenced SOP Class UID", VR_UI, 1, ""},
    {0x00100010, "Patient's Name", VR_PN, 1, ""},
    {0x00100020, "Patient ID", VR_LO, 1, ""},
    {0x00100040, "Patient's Sex", VR_CS, 1, "M, F, O"},
    {0x00101010, "Patient's Age", VR_AS, 1, ""},
    {0x00180010, "Contrast/Bolus Agent", VR_LO, 1, ""},
    {0x0020000E, "Series Instance UID", VR_UI, 1, ""},
    {0x00204000, "Image Comments", VR_LT, 1, ""},
    {0x00700001, kLongName.c_str(), VR_LT, 1, ""},
    {0xFFFEE000, "Item", VR_XX, 1, ""},
    {0xFFFEE00D, "Item Delimitation Item", VR_XX, 1, ""},
    {0xFFFEE0DD, "Sequence Delimitation Item", VR_XX, 1, ""},
};

class Verify : public ::testing::Test {
protected:
    void SetUp() override {
        for (const Row &r : kRows)
            rows_.push_back({r.tag, (char *)r.name, r.vr, r.vm, (char *)r.permitted});
        memset(&app_, 0, sizeof app_);
        app_.primary_tags = rows_.data();
        app_.primary_count = (int16_t)rows_.size();
        init_IOObject(&io_);
        ASSERT_EQ(0, DO_openObject(&io_));
        saved_mask_ = log_mask(0);
    }
    void TearDown() override {
        DO_closeObject(&io_);
        tag_index_free(&app_);
        log_mask(saved_mask_);
    }

    /* What a walk writes to standard error with the given threshold
     * (1: errors and level -1 lines; 2: warnings and -2 too; 3: all). */
    std::string Logged(int threshold, const std::function<void()> &walk) {
        log_mask((int16_t)(threshold << 4));
        testing::internal::CaptureStderr();
        walk();
        std::string text = testing::internal::GetCapturedStderr();
        log_mask(0);
        return text;
    }

    void Add(uint16_t g, uint16_t e, const char *text = nullptr, uint32_t length = 0) {
        DicomElementHead h = Rec(g, e, text, -1, length);
        ASSERT_EQ(0, DO_addElement(&app_, io_.object, &h));
    }
    void Add(uint16_t g, uint16_t e, const std::string &value) {
        DicomElementHead h = Rec(g, e, value.c_str());
        h.length = (uint32_t)value.size();
        ASSERT_EQ(0, DO_addElement(&app_, io_.object, &h));
    }
    int16_t ByTag() { return VerifyObjectByTag(&app_, io_.object); }

    std::vector<TagDefEntry> rows_;
    AppData app_;
    IOObject io_;
    int16_t saved_mask_ = 0;
};

/* ---- the tag walk ---- */

TEST_F(Verify, TagWalkReportsEveryFindingAtItsLevel) {
    Add(0x0008, 0x0060, "ct");
    Add(0x0008, 0x0061, "AB"); /* a tag the table does not hold */
    Add(0x0008, 0x1115, nullptr, kUndef);
    Add(0xFFFE, 0xE000, nullptr, kUndef);
    Add(0x0020, 0x000E, "1.2.03");
    Add(0xFFFE, 0xE00D, nullptr, kUndef);
    Add(0xFFFE, 0xE0DD, nullptr, kUndef);
    Add(0x0009, 0x1010, "ct\\x"); /* private: not checked */
    Add(0x0010, 0x0010, "Doe\\Roe");
    Add(0x0020, 0x4000, std::string(11000, 'x') + "\\");

    const std::string errors =
        "\t(0008, 0060) -- Modality\n\tValue:\t  ct\n"
        "Error: \t\tElement contains extra characters.\n"
        "\t(0020, 000E) -- Series Instance UID\n\tValue:\t  1.2.03\n"
        "Error: \t\tElement contains nonpermitted value.\n"
        "\t(0010, 0010) -- Patient's Name\n\tValue:\t  Doe\\Roe\n"
        "Error: \t\tVM of element is incorrect.\n"
        "\t(0020, 4000) -- Image Comments\n\tValue:\t  " +
        std::string(508, 'x') +
        "\n"
        "Error: \t\tLength of element is less or greater than the permitted minimum/maximum.\n";
    int16_t result = -1;
    EXPECT_EQ(errors, Logged(1, [&] { result = ByTag(); }));
    EXPECT_EQ(1, result);

    const std::string warning = "\t(0008, 0061) -- \n\tValue:\t  4142H\n"
                                "Warning: \t\tVR of element is unknown.\n";
    std::string all = errors;
    all.insert(all.find("\t(0020, 000E)"), warning);
    EXPECT_EQ(all, Logged(2, [&] { ByTag(); }));
}

TEST_F(Verify, UnknownVrAloneOnlyWarns) {
    Add(0x0008, 0x0061, "AB");
    Add(0x0008, 0x0060, "CT");
    int16_t result = -1;
    EXPECT_EQ("", Logged(1, [&] { result = ByTag(); }));
    EXPECT_EQ(0, result);
    EXPECT_NE(std::string::npos, Logged(2, [&] { ByTag(); }).find("VR of element is unknown."));
}

TEST_F(Verify, FailureDeepInsideASequenceFailsTheWalk) {
    Add(0x0008, 0x1115, nullptr, kUndef);
    Add(0xFFFE, 0xE000, nullptr, kUndef);
    Add(0x0008, 0x1115, nullptr, kUndef);
    Add(0xFFFE, 0xE000, nullptr, kUndef);
    Add(0x0008, 0x0060, "mr");
    EXPECT_NE(std::string::npos, Logged(1, [&] { EXPECT_EQ(1, ByTag()); }).find("(0008, 0060)"));
    EXPECT_EQ(0, VerifyObjectByTag(&app_, nullptr));
}

TEST_F(Verify, LongNamesAndValuesAreCutToFitTheLine) {
    Add(0x0070, 0x0001, std::string(11000, 'v'));
    const std::string text = Logged(1, [&] { ByTag(); });
    const std::string header =
        "\t(0070, 0001) -- " + kLongName.substr(0, 255) + "\n\tValue:\t  " + std::string(508, 'v');
    EXPECT_EQ(0u, text.find(header + "\nError: ")) << text.substr(0, 300);
}

/* ---- the module walk, on definition trees built here ---- */

class ModuleWalk : public Verify {
protected:
    ModuleDef *Module(const char *reference, const char *title, char usage) {
        ModuleDef &m = modules_.emplace_back();
        m.reference = (char *)reference;
        m.title = (char *)title;
        m.usage[0] = usage;
        m.owner = &abc_;
        m.prev = abc_.last;
        (abc_.last ? abc_.last->next : abc_.first) = &m;
        abc_.last = &m;
        return &m;
    }
    AttrDef *NewAttr(uint32_t tag, const char *type) {
        AttrDef &a = attrs_.emplace_back();
        a.tag = tag;
        const char *name = nullptr;
        getAttrName(&app_, tag, &name);
        a.name = (char *)name;
        strncpy(a.type, type, 3);
        return &a;
    }
    AttrDef *Attr(ModuleDef *m, uint32_t tag, const char *type) {
        AttrDef *a = NewAttr(tag, type);
        a->owner_kind = ATTR_OWNER_MODULE;
        a->owner = m;
        a->prev = m->last;
        (m->last ? m->last->next : m->first) = a;
        m->last = a;
        return a;
    }
    /* An attribute (or, with tag 0xFFFEE000, an Item definition) under a. */
    AttrDef *Child(AttrDef *parent, uint32_t tag, const char *type = "3") {
        AttrDef *a = NewAttr(tag, type);
        a->owner_kind = ATTR_OWNER_ATTR;
        a->owner = parent;
        a->prev = parent->last_child;
        (parent->last_child ? parent->last_child->next : parent->first_child) = a;
        parent->last_child = a;
        return a;
    }
    /* Binds a to an element of its own with the given value bytes. */
    DicomElement *Bind(AttrDef *a, const std::string &value, uint32_t length = 0) {
        DicomElement &e = elements_.emplace_back();
        std::string &bytes = values_.emplace_back(value);
        e.group = (uint16_t)(a->tag >> 16);
        e.element = (uint16_t)a->tag;
        e.value = bytes.empty() ? nullptr : &bytes[0];
        e.length = length ? length : (uint32_t)bytes.size();
        a->element = &e;
        return &e;
    }
    int16_t ByModule() {
        DefHolder holder{&abc_, nullptr};
        return VerifyObjectByModule(&app_, &holder);
    }

    ABCDef abc_{(char *)"TestObject", (char *)"Test Image", nullptr, nullptr, nullptr};
    std::deque<ModuleDef> modules_;
    std::deque<AttrDef> attrs_;
    std::deque<DicomElement> elements_;
    std::deque<std::string> values_;
};

TEST_F(ModuleWalk, ReportsTypesAndValuesModuleByModule) {
    ModuleDef *patient = Module("C.7.1.1", "Patient", 'M');
    Bind(Attr(patient, 0x00100010, "2"), "Doe^John");
    Attr(patient, 0x00100020, "1");
    Bind(Attr(patient, 0x00100040, "2"), "X ");
    Attr(patient, 0x00101010, "1C"); /* optional types: checked when present */
    Bind(Attr(patient, 0x00101010, "2C"), "12D ");
    AttrDef *seq = Attr(patient, 0x00081115, "3");
    AttrDef *item = Child(seq, 0xFFFEE000);
    Child(item, 0x0020000E, "1");
    Bind(seq, "", kUndef);
    Bind(item, "", kUndef);
    AttrDef *absent = Attr(patient, 0x00081120, "3"); /* nothing inside is missing */
    Child(Child(absent, 0xFFFEE000), 0x00081150, "1");
    Bind(Attr(Module("C.7.3.1", "General Series", 'M'), 0x00080060, "1"), "");
    Attr(Module("C.7.1.3", "Contrast/Bolus", 'C'), 0x00180010, "2");
    Attr(Module("C.7.2.2", "Patient Study", 'U'), 0x00101010, "3");
    Bind(Attr(Module("P.R.I.V.A.T.E", "Private Data", 'U'), 0x0020000E, "3"), "1.2.03");

    int16_t result = -1;
    const std::string all = Logged(3, [&] { result = ByModule(); });
    EXPECT_EQ(
        "Test Image\n"
        "\n"
        "Checking Patient Module\n"
        "\t(0010, 0020) -- Patient ID\n\tValue:\t\n"
        "Error: \t\tType 1 element is missing.\n"
        "\t(0010, 0040) -- Patient's Sex\n\tValue:\t  X \n"
        "Error: \t\tElement contains nonpermitted value.\n"
        "\t(0010, 1010) -- Patient's Age\n\tValue:\t  12D \n"
        "Error: \t\tLength of element is less or greater than the permitted minimum/maximum.\n"
        "\t(0020, 000E) -- Series Instance UID\n\tValue:\t\n"
        "Error: \t\tType 1 element is missing.\n"
        "\n"
        "Checking General Series Module\n"
        "\t(0008, 0060) -- Modality\n\tValue:\t\n"
        "Error: \t\tType 1 element has 0 length.\n"
        "\n"
        "Checking Contrast/Bolus Module -- Type = C\n"
        "\t(0018, 0010) -- Contrast/Bolus Agent\n\tValue:\t\n"
        "Warning: \t\tType 2 element is missing.\n"
        "\n"
        "Checking Patient Study Module\n"
        "\n"
        "Checking Private Data Module\n",
        all);
    EXPECT_EQ(1, result);

    /* The conditional module's lines are warnings, the empty lines info. */
    EXPECT_EQ(
        "Test Image\n"
        "Checking Patient Module\n"
        "\t(0010, 0020) -- Patient ID\n\tValue:\t\n"
        "Error: \t\tType 1 element is missing.\n"
        "\t(0010, 0040) -- Patient's Sex\n\tValue:\t  X \n"
        "Error: \t\tElement contains nonpermitted value.\n"
        "\t(0010, 1010) -- Patient's Age\n\tValue:\t  12D \n"
        "Error: \t\tLength of element is less or greater than the permitted minimum/maximum.\n"
        "\t(0020, 000E) -- Series Instance UID\n\tValue:\t\n"
        "Error: \t\tType 1 element is missing.\n"
        "Checking General Series Module\n"
        "\t(0008, 0060) -- Modality\n\tValue:\t\n"
        "Error: \t\tType 1 element has 0 length.\n"
        "Checking Contrast/Bolus Module -- Type = C\n"
        "Checking Patient Study Module\n"
        "Checking Private Data Module\n",
        Logged(1, [&] { ByModule(); }));
}

TEST_F(ModuleWalk, OnlyTopLevelFindingsOutsideConditionalModulesFail) {
    AttrDef *seq = Attr(Module("C.7.3.1", "General Series", 'M'), 0x00081115, "3");
    AttrDef *item = Child(seq, 0xFFFEE000);
    Child(item, 0x00081150, "1");
    Bind(seq, "", kUndef);
    Bind(item, "", kUndef);
    Bind(Attr(Module("C.7.1.3", "Contrast/Bolus", 'C'), 0x00180010, "1"), "A\\B");
    int16_t result = -1;
    const std::string text = Logged(2, [&] { result = ByModule(); });
    EXPECT_EQ(0, result) << text;
    EXPECT_NE(std::string::npos, text.find("(0008, 1150) -- Referenced SOP Class UID\n\tValue:\t\n"
                                           "Error: \t\tType 1 element is missing.\n"));
    EXPECT_NE(std::string::npos, text.find("Warning: \t\tElement contains extra characters.\n"
                                           "Warning: \t\tVM of element is incorrect.\n"));
}

TEST_F(ModuleWalk, UserOptionModuleIsCheckedWhenSomethingInsideIsBound) {
    ModuleDef *m = Module("C.7.2.2", "Patient Study", 'U');
    AttrDef *seq = Attr(m, 0x00081115, "3");
    AttrDef *item = Child(seq, 0xFFFEE000);
    Child(item, 0x00081150, "1");
    Attr(m, 0x00101010, "1");
    EXPECT_EQ("Test Image\nChecking Patient Study Module\n", Logged(1, [&] { ByModule(); }));
    Bind(seq, "", kUndef);
    Bind(item, "", kUndef);
    Bind(Child(item, 0x0020000E, "1"), "1.2.3");
    const std::string text = Logged(1, [&] { EXPECT_EQ(1, ByModule()); });
    EXPECT_NE(std::string::npos, text.find("(0008, 1150)"));
    EXPECT_NE(std::string::npos, text.find("(0010, 1010)"));
}

TEST_F(ModuleWalk, NothingInsideRawSequencesOrItemsIsMissing) {
    ModuleDef *m = Module("C.7.3.1", "General Series", 'M');
    /* kept as raw bytes: a sequence of defined length */
    AttrDef *raw = Attr(m, 0x00081115, "1");
    Bind(raw, std::string(16, '\x01'));
    Child(Child(raw, 0xFFFEE000), 0x00081150, "1");
    /* parsed sequence: one item raw, the other parsed */
    AttrDef *seq = Attr(m, 0x00081115, "1");
    DicomElement *seq_element = Bind(seq, "", kUndef);
    AttrDef *raw_item = Child(seq, 0xFFFEE000);
    Child(raw_item, 0x00081150, "1");
    DicomElement *item_element = Bind(raw_item, std::string(8, '\x02'));
    AttrDef *parsed_item = Child(seq, 0xFFFEE000);
    Child(parsed_item, 0x0020000E, "1");
    DicomElement *parsed_element = Bind(parsed_item, "", kUndef);
    seq_element->first_child = item_element;
    seq_element->last_child = parsed_element;
    item_element->next = parsed_element;
    parsed_element->prev = item_element;

    EXPECT_EQ("Test Image\nChecking General Series Module\n"
              "\t(0020, 000E) -- Series Instance UID\n\tValue:\t\n"
              "Error: \t\tType 1 element is missing.\n",
              Logged(1, [&] { EXPECT_EQ(0, ByModule()); }));
}

TEST_F(ModuleWalk, NoObjectDefinitionOrNoModules) {
    DefHolder empty{nullptr, nullptr};
    int16_t result = -1;
    EXPECT_EQ("", Logged(3, [&] { result = VerifyObjectByModule(&app_, &empty); }));
    EXPECT_EQ(2, result);
    EXPECT_EQ("Test Image\n", Logged(3, [&] { result = ByModule(); }));
    EXPECT_EQ(0, result);
}

TEST_F(ModuleWalk, SequenceIsEmptyUnlessSomethingInsideItsItemsIsBound) {
    ModuleDef *m = Module("C.7.3.1", "General Series", 'M');
    AttrDef *seq = Attr(m, 0x00081115, "3");
    AttrDef *item = Child(seq, 0xFFFEE000);
    AttrDef *inner = Child(item, 0x00081115, "3");
    AttrDef *inner_item = Child(inner, 0xFFFEE000);
    AttrDef *deep = Child(inner_item, 0x00081150, "1");
    Bind(seq, "", kUndef);
    Bind(item, "", kUndef); /* Item definitions themselves do not count */
    EXPECT_EQ(1, isSQEmpty(seq));
    Bind(deep, "1.2");
    EXPECT_EQ(0, isSQEmpty(seq));
    EXPECT_EQ(0, isSQEmpty(inner));
    EXPECT_EQ(1, isSQEmpty(deep));
    EXPECT_EQ(1, isSQEmpty(nullptr));
}

} // namespace

/* A Type 1 sequence read from a file is empty by what it holds, whatever
 * the encoding: length 0, or undefined length closed at once. */
TEST_F(ModuleWalk, Type1SequenceIsEmptyByContentNotEncoding) {
    using dicomtest::FileBuilder;
    struct Case {
        const char *name;
        FileBuilder file;
        bool empty;
    };
    const std::string kEmptyFinding = "Error: \t\tType 1 element has 0 length.\n";
    const Case cases[] = {
        {"length 0", FileBuilder(TS_EXPLICIT_LE).Header(0x0008, 0x1115, "SQ", 0), true},
        {"undefined, delimiter only",
         FileBuilder(TS_EXPLICIT_LE).Header(0x0008, 0x1115, "SQ", kUndef).SeqEnd(), true},
        {"implicit, undefined, delimiter only",
         FileBuilder(TS_IMPLICIT_LE).Header(0x0008, 0x1115, "", kUndef).SeqEnd(), true},
        {"undefined, one empty item",
         FileBuilder(TS_EXPLICIT_LE).Header(0x0008, 0x1115, "SQ", kUndef).Item().ItemEnd().SeqEnd(),
         false},
        {"defined length, one empty item",
         FileBuilder(TS_EXPLICIT_LE).Header(0x0008, 0x1115, "SQ", 8).Item(0), false},
    };
    testutil::TempDir dir;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        FileBuilder file = c.file;
        file.Text(0x0010, 0x0020, "LO", "ID01"); /* the sequence is not last */
        const std::string path = dir.file("type1.dcm");
        testutil::WriteFile(path, file.bytes());
        DefHolder none{};
        ASSERT_EQ(0, DO_importObjectFromFile(&app_, &none, path.c_str(), &io_));
        DicomElement *seq = nullptr;
        ASSERT_EQ(0, DE_search(&app_, io_.object, &seq, 0x0008, 0x1115, 0));

        abc_.first = abc_.last = nullptr;
        Attr(Module("C.7.3.1", "General Series", 'M'), 0x00081115, "1")->element = seq;
        int16_t result = -1;
        const std::string text = Logged(1, [&] { result = ByModule(); });
        EXPECT_EQ(c.empty, text.find(kEmptyFinding) != std::string::npos) << text;
        EXPECT_EQ(c.empty ? 1 : 0, result) << text;
    }
}
