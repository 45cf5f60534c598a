/*
 * metaheader_test.cpp -- generation of group 0002: the UIDs copied from the
 * object, the names made from the application name and version, elements
 * kept and replaced, and the group landing at the top level even when a
 * read left a sequence open.
 */
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "medcore.h"
#include "testutil.h"

namespace {

class MetaHeader : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char banner[64];
        init_AppData(&app_, "metatest", "1.0", banner);
        ASSERT_EQ(0, InitDICOMTagDef(&app_, (testutil::DefsDir() + "/tag_tab.def").c_str(), 1));
    }
    static void TearDownTestSuite() { DoneTagDef(&app_); }
    void SetUp() override {
        init_IOObject(&io_);
        ASSERT_EQ(0, DO_openObject(&io_));
    }
    void TearDown() override { DO_closeObject(&io_); }

    void Add(uint16_t group, uint16_t element, const std::string &value, uint32_t length = 0) {
        DicomElementHead rec = {};
        rec.group = group;
        rec.element = element;
        rec.length = value.empty() ? length : (uint32_t)value.size();
        rec.value = value.empty() ? nullptr : const_cast<char *>(value.data());
        DOU_defXVRTypeByTags(&app_, group, element, &rec.vr);
        ASSERT_EQ(0, DO_addElement(&app_, io_.object, &rec));
    }
    /* Generates with the given name and version, sorts, and returns the value
     * of (0002,element) as text ("<none>" when absent). */
    std::string Generate(const char *name, const char *version, uint16_t element) {
        app_.name = name;
        app_.version = version;
        DO_generateMetaHeader(&app_, &io_);
        SortCodes(io_.object->root);
        return Value(0x0002, element);
    }
    std::string Value(uint16_t group, uint16_t element) {
        for (DicomElement *e = io_.object->root->first_child; e; e = e->next)
            if (e->group == group && e->element == element)
                return e->value ? std::string(static_cast<char *>(e->value), e->length) : "";
        return "<none>";
    }

    static AppData app_;
    IOObject io_{};
};
AppData MetaHeader::app_;

TEST_F(MetaHeader, NamesAreMadeOfFirstWordsPaddedToEvenLength) {
    EXPECT_EQ("a2.1", Generate("a b", "2.1", 0x0013));
    EXPECT_EQ("a ", Value(0x0002, 0x0016));
    EXPECT_EQ("image1.0b ", Generate("  image viewer", "1.0b", 0x0013));
    std::string longname(70, 'n');
    EXPECT_EQ(longname.substr(0, 64), Generate(longname.c_str(), "", 0x0013));
    EXPECT_EQ(longname.substr(0, 64), Value(0x0002, 0x0016));
}

TEST_F(MetaHeader, EmptyNamesGiveNoNameElements) {
    EXPECT_EQ("<none>", Generate("", "  ", 0x0013));
    EXPECT_EQ("<none>", Value(0x0002, 0x0016));
}

TEST_F(MetaHeader, FixedElementsAndCopiedUids) {
    Add(0x0008, 0x0016, "1.2.3.45");
    Add(0x0008, 0x0018, "", 0);
    Add(0x0002, 0x0012, "9.9.9.9");
    Add(0x0002, 0x0100, "1.52");
    Generate("x", "1", 0x0000);
    EXPECT_EQ(std::string(4, '\0'), Value(0x0002, 0x0000));
    EXPECT_EQ(std::string("\x00\x01", 2), Value(0x0002, 0x0001));
    EXPECT_EQ("1.2.3.45", Value(0x0002, 0x0002));
    EXPECT_EQ("<none>", Value(0x0002, 0x0003)) << "(0008,0018) without value";
    EXPECT_EQ(std::string("1.2.840.10008.1.2\0", 18), Value(0x0002, 0x0010));
    EXPECT_EQ("2.25.219040117695661194751458317359022032002", Value(0x0002, 0x0012))
        << "the old UID gives way to the toolkit's own";
    EXPECT_EQ("1.52", Value(0x0002, 0x0100)) << "elements not generated stay";
}

TEST_F(MetaHeader, GroupGoesToTheTopLevelWhenASequenceIsOpen) {
    DicomElementHead rec = {};
    rec.group = 0x0040;
    rec.element = 0xA730; /* SQ, left open as a read ending inside it leaves it */
    rec.length = 0xFFFFFFFF;
    DOU_defXVRTypeByTags(&app_, rec.group, rec.element, &rec.vr);
    ASSERT_EQ(0, DO_addElement(&app_, io_.object, &rec));
    DicomElement *seq = io_.object->root->first_child;
    ASSERT_EQ(seq, io_.object->insert_parent);
    Generate("x", "1", 0x0000);
    EXPECT_EQ(nullptr, seq->first_child);
    EXPECT_EQ(std::string(4, '\0'), Value(0x0002, 0x0000));
    EXPECT_EQ(seq, io_.object->insert_parent) << "the open sequence stays open";
}

} // namespace
