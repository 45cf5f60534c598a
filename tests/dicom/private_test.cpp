/*
 * private_test.cpp -- binding of private block elements to the private
 * definitions and the search by creator string: prefix matching of
 * creators, blocks that move, creators and elements the binding creates,
 * missing creators, and links that never outlive their object.
 */
#include <gtest/gtest.h>

#include <string>

#include "medcore.h"
#include "testutil.h"

void _reset_prv_binding(PrvDef *prv);

namespace {

using testutil::TempDir;
using testutil::WriteFile;

const char *kPrivateDefs = R"(
{"ACME", {
  {0x00290010, "Acme Width", "US", 1, ""},
  {0x00290020, "Acme Name", "LO", 1, ""},
}}
{"OTHER", {
  {0x00290010, "Other Thing", "LO", 1, ""},
}}
)";

class PrivateTest : public ::testing::Test {
protected:
    void SetUp() override {
        char banner[64];
        init_AppData(&app_, "privtest", "1.0", banner);
        WriteFile(dir_.file("prv.def"), kPrivateDefs);
        ASSERT_EQ(0, InitDICOMPrvDef(&app_, &defs_, dir_.file("prv.def").c_str(), 1));
        init_IOObject(&io_);
        ASSERT_EQ(0, DO_openObject(&io_));
        log_mask(0x0030);
    }
    void TearDown() override {
        DO_closeObject(&io_);
        DoneTagPrvDef(&app_, &defs_);
        log_mask(0x002C);
    }
    void Add(uint16_t g, uint16_t e, const std::string &value) {
        DicomElementHead rec{};
        rec.group = g;
        rec.element = e;
        rec.length = (uint32_t)value.size();
        rec.value = value.empty() ? nullptr : const_cast<char *>(value.data());
        DOU_defXVRTypeByTags(&app_, g, e, &rec.vr);
        ASSERT_EQ(0, DO_addElement(&app_, io_.object, &rec));
    }
    DicomElement *Find(uint16_t g, uint16_t e) {
        for (DicomElement *c = io_.object->root->first_child; c; c = c->next)
            if (c->group == g && c->element == e)
                return c;
        return nullptr;
    }
    PrvCreatorDef *Creator(const std::string &name) {
        for (PrvCreatorDef *c = defs_.prv->first; c; c = c->next)
            if (name == c->name)
                return c;
        return nullptr;
    }
    PrvElementDef *Def(const std::string &creator, uint32_t tag) {
        PrvCreatorDef *c = Creator(creator);
        for (PrvElementDef *d = c ? c->first : nullptr; d; d = d->next)
            if (d->entry->tag == tag)
                return d;
        return nullptr;
    }
    int CreatorCount() {
        int n = 0;
        for (PrvCreatorDef *c = defs_.prv->first; c; c = c->next)
            n++;
        return n;
    }
    int Bind(int16_t rebind) {
        ::testing::internal::CaptureStderr();
        int r = BindPrvDef(&app_, &defs_, io_.object, rebind);
        log_ = ::testing::internal::GetCapturedStderr();
        return r;
    }

    TempDir dir_;
    AppData app_{};
    DefHolder defs_{};
    IOObject io_{};
    std::string log_;
};

TEST_F(PrivateTest, CreatorsMatchByPrefixAndElementsByLowByte) {
    Add(0x0029, 0x0010, "ACME 1");
    Add(0x0029, 0x0011, "ACME 2");
    Add(0x0029, 0x1010, "ab");
    Add(0x0029, 0x1120, "cd");
    ASSERT_EQ(0, Bind(0));
    EXPECT_EQ("Info: Binding DICOM Object to private definition table.\n", log_);
    EXPECT_EQ(Find(0x0029, 0x1010), Def("ACME", 0x00290010)->element);
    EXPECT_EQ(Find(0x0029, 0x1120), Def("ACME", 0x00290020)->element);
    EXPECT_EQ(0, Def("ACME", 0x00290010)->flags);
    EXPECT_EQ(2, CreatorCount());
    /* The cursor rests on the creator found for the last block element. */
    EXPECT_EQ(Find(0x0029, 0x0011), io_.object->cursor);
}

TEST_F(PrivateTest, LinkMovesToTheLaterBlockOfTheSameCreator) {
    Add(0x0029, 0x0010, "ACME 1");
    Add(0x0029, 0x0011, "ACME 1");
    Add(0x0029, 0x1010, "ab");
    Add(0x0029, 0x1110, "cd");
    ASSERT_EQ(0, Bind(0));
    EXPECT_EQ(Find(0x0029, 0x1110), Def("ACME", 0x00290010)->element);
}

TEST_F(PrivateTest, UnknownCreatorIsCreatedWithItsPadding) {
    Add(0x0031, 0x0010, "XYZ "); /* padded to even length, as in a file */
    Add(0x0031, 0x1001, "ab");
    Add(0x0031, 0x1002, "cd");
    ASSERT_EQ(0, Bind(0));
    ASSERT_NE(nullptr, Creator("XYZ "));
    const PrvElementDef *first = Def("XYZ ", 0x00310001);
    const PrvElementDef *second = Def("XYZ ", 0x00310002);
    ASSERT_NE(nullptr, first);
    ASSERT_NE(nullptr, second);
    EXPECT_EQ(second, first->next);
    EXPECT_EQ(1, first->flags & 1);
    EXPECT_EQ(-1, first->entry->vr);
    EXPECT_STREQ("", first->entry->name);
    EXPECT_EQ(Find(0x0031, 0x1002), second->element);

    DicomElementHead rec{};
    rec.group = 0x0031;
    rec.element = 0x1001;
    EXPECT_EQ(-1, DO_searchForPrivateElement(&defs_, nullptr, "XYZ", &rec));
    EXPECT_EQ(0, DO_searchForPrivateElement(&defs_, nullptr, "XYZ ", &rec));
    EXPECT_EQ("ab", std::string(static_cast<char *>(rec.value), rec.length));
    free(rec.value);

    /* Binding again finds the created definitions instead of adding more. */
    const int creators = CreatorCount();
    ASSERT_EQ(0, Bind(1));
    EXPECT_EQ("", log_);
    EXPECT_EQ(creators, CreatorCount());
    EXPECT_EQ(Find(0x0031, 0x1001), Def("XYZ ", 0x00310001)->element);
}

TEST_F(PrivateTest, ElementWithoutCreatorStaysUnboundAndCreatesNothing) {
    Add(0x0033, 0x1001, "ab");
    Add(0x0029, 0x0100, "cd"); /* block 01: creator (0029,0001) is never there */
    const int creators = CreatorCount();
    ASSERT_EQ(0, Bind(0));
    EXPECT_EQ(creators, CreatorCount());
    EXPECT_EQ(nullptr, io_.object->cursor);
}

TEST_F(PrivateTest, EmptyCreatorMatchesEveryLaterUnknownCreator) {
    Add(0x0029, 0x0010, "");
    Add(0x0029, 0x0011, "NEW1");
    Add(0x0029, 0x1001, "ab");
    Add(0x0029, 0x1102, "cd");
    ASSERT_EQ(0, Bind(0));
    ASSERT_NE(nullptr, Creator(""));
    EXPECT_EQ(nullptr, Creator("NEW1"));
    EXPECT_EQ(Find(0x0029, 0x1102), Def("", 0x00290002)->element);
}

TEST_F(PrivateTest, LongCreatorIsComparedByItsFirst64Bytes) {
    const std::string name(64, 'L');
    Add(0x0029, 0x0010, name + "TAIL");
    Add(0x0029, 0x1001, "ab");
    ASSERT_EQ(0, Bind(0));
    EXPECT_NE(nullptr, Def(name, 0x00290001));
}

TEST_F(PrivateTest, SearchIgnoresTheBlockByteAndKeepsTheCallersTag) {
    Add(0x0029, 0x0012, "ACME");
    Add(0x0029, 0x1210, std::string("\x05\x00", 2));
    ASSERT_EQ(0, Bind(0));
    for (uint16_t element : {0x1010, 0x2210}) {
        DicomElementHead rec{};
        rec.group = 0x0029;
        rec.element = element;
        ASSERT_EQ(0, DO_searchForPrivateElement(&defs_, nullptr, "ACME", &rec));
        EXPECT_EQ(element, rec.element);
        EXPECT_EQ(2u, rec.length);
        static_cast<char *>(rec.value)[0] = 9; /* a copy: the tree keeps its value */
        free(rec.value);
    }
    EXPECT_EQ(5, static_cast<char *>(Find(0x0029, 0x1210)->value)[0]);

    DicomElementHead rec{};
    rec.group = 0x0029;
    rec.element = 0x1020;
    rec.value = &rec;
    EXPECT_EQ(-1, DO_searchForPrivateElement(&defs_, nullptr, "ACME", &rec)); /* unbound */
    EXPECT_EQ(nullptr, rec.value);
    EXPECT_EQ(-1, DO_searchForPrivateElement(&defs_, nullptr, "ACM", &rec));
}

TEST_F(PrivateTest, NoPrivateDefinitions) {
    DefHolder empty{};
    Add(0x0029, 0x0010, "ACME");
    Add(0x0029, 0x1010, "ab");
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(0, BindPrvDef(&app_, &empty, io_.object, 0));
    EXPECT_EQ("", ::testing::internal::GetCapturedStderr());
    DicomElementHead rec{};
    rec.group = 0x0029;
    rec.element = 0x1010;
    rec.length = 7;
    EXPECT_EQ(-1, DO_searchForPrivateElement(&empty, nullptr, "ACME", &rec));
    EXPECT_EQ(0u, rec.length);
}

TEST_F(PrivateTest, ANewObjectLeavesNoLinkIntoTheOldOne) {
    Add(0x0029, 0x0010, "ACME");
    Add(0x0029, 0x1010, "ab");
    ASSERT_EQ(0, Bind(0));
    ASSERT_NE(nullptr, Def("ACME", 0x00290010)->element);
    ASSERT_EQ(0, DO_openObject(&io_)); /* frees the first tree */
    Add(0x0029, 0x0010, "OTHER");
    Add(0x0029, 0x1010, "cd");
    ASSERT_EQ(0, Bind(0));
    EXPECT_EQ(nullptr, Def("ACME", 0x00290010)->element);
    EXPECT_EQ(Find(0x0029, 0x1010), Def("OTHER", 0x00290010)->element);
}

TEST_F(PrivateTest, ResetClearsLinksAndCreatedMarks) {
    Add(0x0031, 0x0010, "NEW ");
    Add(0x0031, 0x1001, "ab");
    ASSERT_EQ(0, Bind(0));
    _reset_prv_binding(defs_.prv);
    const PrvElementDef *d = Def("NEW ", 0x00310001);
    ASSERT_NE(nullptr, d);
    EXPECT_EQ(nullptr, d->element);
    EXPECT_EQ(0, d->flags & 1);
}

} // namespace
