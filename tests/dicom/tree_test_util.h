/*
 * tree_test_util.h -- shared by the object and cursor tests: a small
 * in-memory tag table, element records, a fresh object per test, and a
 * compact text picture of a tree that also checks every link.
 */
#ifndef QUENOR_TREE_TEST_UTIL_H
#define QUENOR_TREE_TEST_UTIL_H

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "lookups_int.h"
#include "medcore.h"

namespace treetest {

inline std::string Tag(const DicomElement *e) {
    char buf[16];
    snprintf(buf, sizeof buf, "%04X,%04X", e->group, e->element);
    return buf;
}

/* "0008,1115{FFFE,E000{0010,0010} FFFE,E0DD} 0010,0010" -- children in
 * braces.  Every link (prev/next, parent, first/last child) is checked. */
inline std::string Picture(const DicomElement *parent) {
    std::string out;
    const DicomElement *prev = nullptr;
    for (const DicomElement *c = parent->first_child; c; c = c->next) {
        EXPECT_EQ(c->parent, parent) << Tag(c);
        EXPECT_EQ(c->prev, prev) << Tag(c);
        if (!out.empty())
            out += ' ';
        out += Tag(c);
        if (c->first_child)
            out += "{" + Picture(c) + "}";
        prev = c;
    }
    EXPECT_EQ(parent->last_child, prev);
    return out;
}

inline std::string Text(const DicomElement *e) {
    return e && e->value ? std::string(static_cast<const char *>(e->value), e->length) : "";
}

/* A record; text non-null gives it that value (the record's buffer is the
 * string's own: the operations copy it). */
inline DicomElementHead Rec(uint16_t group, uint16_t element, const char *text = nullptr,
                            VRCode vr = -1, uint32_t length = 0) {
    DicomElementHead h = {};
    h.group = group;
    h.element = element;
    h.vr = vr;
    h.value = const_cast<char *>(text);
    h.length = text ? (uint32_t)strlen(text) : length;
    return h;
}

const uint32_t kUndef = 0xFFFFFFFFu;

class TreeTest : public ::testing::Test {
protected:
    void SetUp() override {
        static char seq[] = "A Sequence", pn[] = "Patient's Name", id[] = "Patient ID",
                    uid[] = "SOP Class UID", item[] = "Item", none[] = "";
        rows_[0] = {0x00081115, seq, VR_SQ, 1, none};
        rows_[1] = {0x00400275, seq, VR_SQ, 1, none};
        rows_[2] = {0x00100010, pn, VR_PN, 1, none};
        rows_[3] = {0x00100020, id, VR_LO, 1, none};
        rows_[4] = {0x00080016, uid, VR_UI, 1, none};
        rows_[5] = {0xFFFEE000, item, VR_NA, 1, none};
        memset(&app_, 0, sizeof app_);
        app_.primary_tags = rows_;
        app_.primary_count = 6;
        init_IOObject(&io_);
        ASSERT_EQ(DO_openObject(&io_), 0);
        obj_ = io_.object;
    }
    void TearDown() override {
        DO_closeObject(&io_);
        tag_index_free(&app_);
    }
    int16_t Add(DicomElementHead h) { return DO_addElement(&app_, obj_, &h); }
    int16_t Add(uint16_t g, uint16_t e, const char *text = nullptr, uint32_t length = 0) {
        return Add(Rec(g, e, text, -1, length));
    }
    /* An undefined-length sequence (stored VR SQ, as the reader gives it). */
    void OpenSeq(uint16_t g, uint16_t e) { ASSERT_EQ(Add(Rec(g, e, nullptr, VR_SQ, kUndef)), 0); }
    void OpenItem() { ASSERT_EQ(Add(0xFFFE, 0xE000, nullptr, kUndef), 0); }
    void CloseItem(uint32_t len = 0) { ASSERT_EQ(Add(0xFFFE, 0xE00D, nullptr, len), 0); }
    void CloseSeq(uint32_t len = 0) { ASSERT_EQ(Add(0xFFFE, 0xE0DD, nullptr, len), 0); }
    std::string Tree() { return Picture(obj_->root); }
    DicomElement *Top(int n) {
        DicomElement *e = obj_->root->first_child;
        while (e && n--)
            e = e->next;
        return e;
    }

    TagDefEntry rows_[6];
    AppData app_;
    IOObject io_;
    DicomObject *obj_ = nullptr;
};

} // namespace treetest

#endif
