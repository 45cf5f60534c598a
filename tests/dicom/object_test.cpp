/*
 * object_test.cpp -- the object model: value buffers, IOObject defaults,
 * building trees with DO_addElement, search/change/delete at the top level,
 * SortCodes, replacements that take the whole element, pixel data file
 * names that each node owns, and the guarantee that cursor and insertion
 * parent never point into freed elements.
 */
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

#include "object_int.h"
#include "tree_test_util.h"

using namespace treetest;

namespace {

TEST(ObjectBuffers, DAllocRoundsUpAndZeroes) {
    DicomElementHead h = {};
    h.length = 7;
    D_Alloc(&h);
    ASSERT_NE(h.value, nullptr);
    EXPECT_EQ(h.length, 8u);
    EXPECT_EQ(std::string(static_cast<char *>(h.value), 8), std::string(8, '\0'));
    free(h.value);

    for (uint32_t len : {0u, kUndef}) {
        DicomElementHead z = {};
        z.value = &z; /* overwritten: no buffer */
        z.length = len;
        D_Alloc(&z);
        EXPECT_EQ(z.value, nullptr);
        EXPECT_EQ(z.length, len);
    }
}

TEST(ObjectBuffers, PadWithSpace) {
    char odd[8] = "ABCDE", even[8] = "ABCD";
    EXPECT_STREQ(padwithspace(odd), "ABCDE ");
    EXPECT_STREQ(padwithspace(even), "ABCD");
    EXPECT_EQ(padwithspace(nullptr), nullptr);
}

TEST(ObjectIO, InitDefaultsAndOpenClose) {
    IOObject io;
    memset(&io, 0x5A, sizeof io);
    init_IOObject(&io);
    EXPECT_EQ(io.object, nullptr);
    EXPECT_EQ(io.in_meta_ts, -1);
    EXPECT_EQ(io.in_ds_ts, -1);
    EXPECT_EQ(io.out_meta_ts, 1);
    EXPECT_EQ(io.out_ds_ts, 0);
    EXPECT_EQ(io.pass_ts, 0);
    EXPECT_EQ(io.pass_encoding, 0);
    EXPECT_EQ(io.meta_header, 1);
    EXPECT_EQ(io.copy_pixels, 1);
    EXPECT_EQ(io.png_filter, 31);
    EXPECT_EQ(io.zlib_level, -1);

    ASSERT_EQ(DO_openObject(&io), 0);
    DicomObject *obj = io.object;
    ASSERT_NE(obj, nullptr);
    EXPECT_EQ(obj->insert_parent, obj->root);
    EXPECT_EQ(obj->cursor, nullptr);
    EXPECT_EQ(obj->root->first_child, nullptr);
    EXPECT_EQ(obj->root->parent, nullptr);
    for (unsigned char c : obj->preamble)
        ASSERT_EQ(c, 0);
    ASSERT_EQ(DO_openObject(&io), 0); /* closes the first object */
    EXPECT_EQ(DO_closeObject(&io), 0);
    EXPECT_EQ(io.object, nullptr);
    EXPECT_EQ(DO_closeObject(&io), 0);
    EXPECT_EQ(DO_openObject(nullptr), 0);
}

using AddElement = TreeTest;

TEST_F(AddElement, NestsSequencesAndStoresDefinedLengthDelimiters) {
    OpenSeq(0x0008, 0x1115);
    OpenItem();
    ASSERT_EQ(Add(0x0010, 0x0020, "ID"), 0);
    ASSERT_EQ(Add(0x0010, 0x0010, "NAME"), 0);
    EXPECT_EQ(obj_->insert_parent->group, 0xFFFE);
    CloseItem(0);
    EXPECT_EQ(obj_->insert_parent, Top(0));
    CloseSeq(0);
    EXPECT_EQ(obj_->insert_parent, obj_->root);
    EXPECT_EQ(Tree(), "0008,1115{FFFE,E000{0010,0020 0010,0010 FFFE,E00D} FFFE,E0DD}");
    CloseSeq(0); /* never above the root */
    EXPECT_EQ(obj_->insert_parent, obj_->root);
}

TEST_F(AddElement, UndefinedLengthDelimitersOnlyMoveUp) {
    OpenSeq(0x0008, 0x1115);
    OpenItem();
    ASSERT_EQ(Add(0x0010, 0x0010, "NAME"), 0);
    CloseItem(kUndef);
    CloseSeq(kUndef);
    CloseSeq(kUndef);
    EXPECT_EQ(obj_->insert_parent, obj_->root);
    ASSERT_EQ(Add(0x0010, 0x0020, "ID"), 0);
    EXPECT_EQ(Tree(), "0008,1115{FFFE,E000{0010,0010}} 0010,0020");
}

TEST_F(AddElement, SequenceDecidedByDictionaryNotRecordVR) {
    ASSERT_EQ(Add(Rec(0x0040, 0x0275, nullptr, VR_LO, kUndef)), 0); /* SQ by the table */
    EXPECT_EQ(obj_->insert_parent, Top(0));
    CloseSeq(kUndef);
    ASSERT_EQ(Add(Rec(0x0010, 0x0020, nullptr, VR_SQ, kUndef)), 0); /* LO by the table */
    EXPECT_EQ(obj_->insert_parent, obj_->root);
}

TEST_F(AddElement, ValueReplacesFirstEqualKeyInPlace) {
    OpenSeq(0x0008, 0x1115);
    OpenItem();
    CloseItem(kUndef);
    CloseSeq(kUndef);
    ASSERT_EQ(Add(0x0010, 0x0010, "OLD1"), 0);
    ASSERT_EQ(Add(0x0010, 0x0020, "ID"), 0);
    DicomElement *seq = Top(0), *name = Top(1);
    ASSERT_EQ(Add(Rec(0x0010, 0x0010, "NEW", VR_PN)), 0);
    EXPECT_EQ(Tree(), "0008,1115{FFFE,E000} 0010,0010 0010,0020");
    EXPECT_EQ(Top(1), name);
    EXPECT_EQ(Text(name), std::string("NEW\0", 4));
    EXPECT_EQ(name->length, 4u);
    EXPECT_EQ(name->vr, VR_PN);

    /* A sequence with the same tag as a value keeps its place; the value
     * is its whole content now, so its items go. */
    ASSERT_EQ(Add(Rec(0x0008, 0x1115, "RAW!", VR_SQ)), 0);
    EXPECT_EQ(Top(0), seq);
    EXPECT_EQ(Text(seq), "RAW!");
    EXPECT_EQ(seq->first_child, nullptr);
    EXPECT_EQ(obj_->insert_parent, seq); /* the replaced element counts as inserted */
    CloseSeq(kUndef);

    /* Without a value the same tag is appended again. */
    ASSERT_EQ(Add(0x0010, 0x0020, nullptr, 0), 0);
    EXPECT_EQ(Tree(), "0008,1115 0010,0010 0010,0020 0010,0020");
    /* With two of a tag, the first in list order is replaced. */
    ASSERT_EQ(Add(0x0010, 0x0020, "ID2"), 0);
    EXPECT_EQ(Text(Top(2)), std::string("ID2\0", 4));
    EXPECT_EQ(Top(3)->value, nullptr);
}

TEST_F(AddElement, ReplacementFoundOutOfOrderAndAfterMiddleInsert) {
    ASSERT_EQ(Add(0x0010, 0x0020, "B1"), 0);
    ASSERT_EQ(Add(0x0008, 0x0016, "A1"), 0);
    ASSERT_EQ(Add(0x0010, 0x0020, "B2"), 0); /* key below the largest: found by scan */
    EXPECT_EQ(Tree(), "0010,0020 0008,0016");
    EXPECT_EQ(Text(Top(0)), "B2");

    /* An element linked into the middle by the cursor is found as well. */
    ASSERT_EQ(Add(0x0010, 0x0030, "C1"), 0);
    DicomElementHead mid = Rec(0x0010, 0x0028, "M1");
    obj_->cursor = Top(0);
    ASSERT_EQ(DE_add(&app_, obj_, &mid), 0);
    EXPECT_EQ(Tree(), "0010,0020 0008,0016 0010,0028 0010,0030");
    ASSERT_EQ(Add(0x0010, 0x0028, "M2"), 0);
    EXPECT_EQ(Tree(), "0010,0020 0008,0016 0010,0028 0010,0030");
    EXPECT_EQ(Text(Top(2)), "M2");

    /* A node appended by hand (as the writer may link a delimiter) too,
     * also right after in-order adds. */
    ASSERT_EQ(Add(0x0010, 0x0040, "C2"), 0);
    DicomElement *tail = static_cast<DicomElement *>(calloc(1, sizeof(DicomElement)));
    tail->group = 0x0020;
    tail->element = 0x000D;
    tail->parent = obj_->root;
    tail->prev = obj_->root->last_child;
    obj_->root->last_child->next = tail;
    obj_->root->last_child = tail;
    ASSERT_EQ(Add(0x0020, 0x000D, "T2"), 0);
    EXPECT_EQ(Tree(), "0010,0020 0008,0016 0010,0028 0010,0030 0010,0040 0020,000D");
    EXPECT_EQ(Text(tail), "T2");
}

TEST_F(AddElement, ItemsAlwaysAppendedAndBadValuesRefused) {
    OpenSeq(0x0008, 0x1115);
    ASSERT_EQ(Add(0xFFFE, 0xE000, "I1"), 0);
    CloseItem(kUndef);
    ASSERT_EQ(Add(0xFFFE, 0xE000, "I2"), 0);
    CloseItem(kUndef);
    CloseSeq(kUndef);
    DicomElement *seq = Top(0);
    ASSERT_EQ(Picture(seq), "FFFE,E000 FFFE,E000");
    EXPECT_EQ(Text(seq->first_child), "I1");
    EXPECT_EQ(Text(seq->last_child), "I2");

    char empty[] = "";
    EXPECT_EQ(Add(Rec(0x0010, 0x0010, empty)), -1); /* value with length 0 */
    DicomElementHead undef = Rec(0x0010, 0x0010, "XX");
    undef.length = kUndef;
    EXPECT_EQ(Add(undef), -1);
    EXPECT_EQ(Tree(), "0008,1115{FFFE,E000 FFFE,E000}");

    ASSERT_EQ(Add(0x0010, 0x0020, "ABC"), 0);
    EXPECT_EQ(Top(1)->length, 4u);
    EXPECT_EQ(static_cast<char *>(Top(1)->value)[3], '\0');
}

TEST_F(AddElement, InOrderAddsOfManyElementsStayFast) {
    const uint32_t n = 100000, base = 0x00110000u;
    char value[] = "VV";
    auto start = std::chrono::steady_clock::now();
    for (uint32_t key = base; key < base + n; ++key)
        ASSERT_EQ(Add(Rec(key >> 16, key & 0xFFFF, value)), 0);
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(secs, 2.0);
    /* an early key still replaces in place */
    ASSERT_EQ(Add(Rec(base >> 16, 5, "NEW!")), 0);
    uint32_t count = 0;
    for (DicomElement *e = obj_->root->first_child; e; e = e->next)
        ++count;
    EXPECT_EQ(count, n);
    EXPECT_EQ(Text(Top(5)), "NEW!");
}

using TopLevel = TreeTest;

TEST_F(TopLevel, SearchReturnsIndependentCopy) {
    OpenSeq(0x0008, 0x1115);
    OpenItem();
    ASSERT_EQ(Add(0x0010, 0x0020, "INNER"), 0);
    CloseItem(kUndef);
    CloseSeq(kUndef);
    ASSERT_EQ(Add(Rec(0x0010, 0x0010, "DOE^JOHN", VR_PN)), 0);

    DicomElementHead h = Rec(0x0010, 0x0010);
    ASSERT_EQ(DO_searchForElement(obj_, &h), 0);
    ASSERT_NE(h.value, Top(1)->value);
    EXPECT_EQ(h.length, 8u);
    EXPECT_EQ(h.vr, VR_PN);
    memset(h.value, 'X', h.length);
    free(h.value);
    EXPECT_EQ(Text(Top(1)), "DOE^JOHN");

    DicomElementHead inner = Rec(0x0010, 0x0020);
    inner.value = &inner;
    inner.length = 9;
    EXPECT_EQ(DO_searchForElement(obj_, &inner), -1); /* top level only */
    EXPECT_EQ(inner.value, nullptr);
    EXPECT_EQ(inner.length, 0u);

    DicomElementHead seq = Rec(0x0008, 0x1115);
    ASSERT_EQ(DO_searchForElement(obj_, &seq), 0);
    EXPECT_EQ(seq.value, nullptr);
    EXPECT_EQ(seq.length, kUndef);
}

TEST_F(TopLevel, PixelDataCopyDoesNotOwnTheFileName) {
    PixelDataDesc pds = {};
    pds.filename = strdup("source.dcm");
    DicomElementHead h = Rec(0x7FE0, 0x0010);
    h.value = &pds;
    h.length = sizeof pds;
    h.flags = DE_FLAG_OWNS_PDS_NAME;
    ASSERT_EQ(Add(h), 0); /* the tree owns pds.filename now; freed on close */
    DicomElementHead copy = Rec(0x7FE0, 0x0010);
    ASSERT_EQ(DO_searchForElement(obj_, &copy), 0);
    EXPECT_EQ(copy.flags & DE_FLAG_OWNS_PDS_NAME, 0);
    EXPECT_EQ(Top(0)->flags & DE_FLAG_OWNS_PDS_NAME, DE_FLAG_OWNS_PDS_NAME);
    EXPECT_STREQ(static_cast<PixelDataDesc *>(copy.value)->filename, "source.dcm");
    free(copy.value);

    /* A record that claims the name (the flag) while a node owns it
     * already -- the node's own head handed back, here or to another
     * object -- makes the new node take a copy: no name is ever freed
     * twice or used after it went (the sanitizer build sees both). */
    auto name_in = [](const DicomObject *o) {
        return static_cast<const PixelDataDesc *>(o->root->first_child->value)->filename;
    };

    IOObject other;
    init_IOObject(&other);
    ASSERT_EQ(DO_openObject(&other), 0);
    struct Way {
        const char *name;
        std::function<int16_t(DicomElementHead *)> hand_back;
        DicomObject *target;
    };
    const Way ways[] = {
        {"DO_changeElement", [&](DicomElementHead *r) { return DO_changeElement(&app_, obj_, r); },
         obj_},
        {"DE_add",
         [&](DicomElementHead *r) {
             obj_->cursor = Top(0);
             return DE_add(&app_, obj_, r);
         },
         obj_},
        {"DO_addElement", [&](DicomElementHead *r) { return DO_addElement(&app_, obj_, r); }, obj_},
        {"DO_addElement to another object",
         [&](DicomElementHead *r) { return DO_addElement(&app_, other.object, r); }, other.object},
    };
    for (const Way &way : ways) {
        SCOPED_TRACE(way.name);
        DicomElementHead own = *head_of(Top(0));
        ASSERT_EQ(way.hand_back(&own), 0);
        EXPECT_EQ(Tree(), "7FE0,0010");
        EXPECT_EQ(Picture(way.target->root), "7FE0,0010");
        EXPECT_STREQ(name_in(way.target), "source.dcm");
        EXPECT_EQ(way.target->root->first_child->flags & DE_FLAG_OWNS_PDS_NAME,
                  DE_FLAG_OWNS_PDS_NAME);
    }
    EXPECT_NE(name_in(obj_), name_in(other.object));
    EXPECT_EQ(DO_closeObject(&other), 0);
    EXPECT_STREQ(name_in(obj_), "source.dcm");
}

/* A replacement that brings a value takes the whole element: the
 * replaced one's children go, and a cursor or insertion parent that stood
 * in them returns to the top level.  One without value (a sequence head)
 * keeps the items and leaves both where they were. */
TEST_F(TopLevel, ValueReplacingASequenceTakesTheWholeElement) {
    enum Place { kTopLevel, kFirstTop, kSequence, kInItem };
    struct Way {
        const char *name;
        const char *value;
        std::function<int16_t(DicomElementHead *)> replace;
        Place cursor, insert_parent;
    };
    const Way ways[] = {
        {"DO_changeElement", "RAW!",
         [&](DicomElementHead *r) { return DO_changeElement(&app_, obj_, r); }, kTopLevel,
         kTopLevel},
        {"DE_add", "RAW!",
         [&](DicomElementHead *r) {
             obj_->cursor = Top(0);
             return DE_add(&app_, obj_, r);
         },
         kFirstTop, kTopLevel},
        {"DO_addElement", "RAW!",
         [&](DicomElementHead *r) {
             obj_->insert_parent = obj_->root;
             return DO_addElement(&app_, obj_, r); /* counts as the inserted sequence */
         },
         kTopLevel, kSequence},
        {"DO_changeElement without value", nullptr,
         [&](DicomElementHead *r) { return DO_changeElement(&app_, obj_, r); }, kInItem, kInItem},
    };
    for (const Way &way : ways) {
        SCOPED_TRACE(way.name);
        DO_closeObject(&io_);
        ASSERT_EQ(DO_openObject(&io_), 0);
        obj_ = io_.object;
        ASSERT_EQ(Add(0x0008, 0x0016, "1.2"), 0);
        OpenSeq(0x0008, 0x1115);
        OpenItem();
        ASSERT_EQ(Add(0x0010, 0x0020, "IN"), 0);
        CloseItem(kUndef);
        CloseSeq(kUndef);
        ASSERT_EQ(Add(0x0010, 0x0010, "OUT"), 0);
        DicomElement *seq = Top(1), *item = seq->first_child;
        DicomElement *pos = nullptr;
        ASSERT_EQ(DE_search(&app_, obj_, &pos, 0x0008, 0x1115, 1), 0); /* the cursor on it */
        obj_->insert_parent = item;
        const DicomElement *places[] = {nullptr, Top(0), seq, item};

        DicomElementHead rec = Rec(0x0008, 0x1115, way.value, VR_SQ, way.value ? 0 : kUndef);
        ASSERT_EQ(way.replace(&rec), 0);
        EXPECT_EQ(Tree(), way.value ? "0008,0016 0008,1115 0010,0010"
                                    : "0008,0016 0008,1115{FFFE,E000{0010,0020}} 0010,0010");
        EXPECT_EQ(Top(1), seq); /* in place */
        EXPECT_EQ(Text(seq), way.value ? way.value : "");
        EXPECT_EQ(obj_->cursor, places[way.cursor]);
        EXPECT_EQ(obj_->insert_parent,
                  way.insert_parent == kTopLevel ? obj_->root : places[way.insert_parent]);
    }
}

TEST_F(TopLevel, ChangeReplacesOrAddsWithDictionaryVR) {
    ASSERT_EQ(Add(0x0010, 0x0010, "OLD"), 0);
    DicomElementHead h = Rec(0x0010, 0x0010, "NEWER");
    ASSERT_EQ(DO_changeElement(&app_, obj_, &h), 0);
    EXPECT_EQ(Text(Top(0)), std::string("NEWER\0", 6));
    DicomElement *self = Top(0);
    DicomElementHead own = Rec(0x0010, 0x0010); /* the element's own buffer as source */
    own.value = self->value;
    own.length = self->length;
    ASSERT_EQ(DO_changeElement(&app_, obj_, &own), 0);
    EXPECT_EQ(Text(Top(0)), std::string("NEWER\0", 6));

    DicomElementHead novalue = Rec(0x0010, 0x0010, nullptr, -1, 12);
    ASSERT_EQ(DO_changeElement(&app_, obj_, &novalue), 0);
    EXPECT_EQ(Top(0)->value, nullptr);
    EXPECT_EQ(Top(0)->length, 12u);

    DicomElementHead absent = Rec(0x0008, 0x0016, "1.2");
    ASSERT_EQ(DO_changeElement(&app_, obj_, &absent), 0);
    EXPECT_EQ(absent.vr, VR_UI);
    EXPECT_EQ(Tree(), "0010,0010 0008,0016");
}

TEST_F(TopLevel, DeleteSequenceFreesItsSubtreeOnly) {
    ASSERT_EQ(Add(0x0010, 0x0010, "OUTER"), 0);
    OpenSeq(0x0008, 0x1115);
    OpenItem();
    ASSERT_EQ(Add(0x0010, 0x0010, "INNER"), 0);
    CloseItem(0);
    CloseSeq(0);
    DicomElementHead h = Rec(0x0008, 0x1115);
    EXPECT_EQ(DO_deleteElement(&app_, obj_, &h), 0);
    EXPECT_EQ(Tree(), "0010,0010");
    EXPECT_EQ(Text(Top(0)), std::string("OUTER\0", 6));
    EXPECT_EQ(DO_deleteElement(&app_, obj_, &h), 0); /* absent: nothing */
    DicomElementHead last = Rec(0x0010, 0x0010);
    EXPECT_EQ(DO_deleteElement(&app_, obj_, &last), 0);
    EXPECT_EQ(Tree(), "");
    EXPECT_EQ(obj_->root->first_child, nullptr);
}

TEST_F(TopLevel, DeleteResetsCursorAndInsertionParentInside) {
    OpenSeq(0x0008, 0x1115);
    OpenItem();
    ASSERT_EQ(Add(0x0010, 0x0010, "INNER"), 0);
    DicomElement *pos = nullptr;
    ASSERT_EQ(DE_search(&app_, obj_, &pos, 0x0008, 0x1115, 1), 0);
    ASSERT_EQ(obj_->insert_parent, pos); /* both inside the item */
    DicomElementHead h = Rec(0x0008, 0x1115);
    ASSERT_EQ(DO_deleteElement(&app_, obj_, &h), 0);
    EXPECT_EQ(obj_->cursor, nullptr);
    EXPECT_EQ(obj_->insert_parent, obj_->root);
    ASSERT_EQ(Add(0x0010, 0x0020, "AFTER"), 0);
    EXPECT_EQ(Tree(), "0010,0020");
}

using Sort = TreeTest;

TEST_F(Sort, LaterEqualTagWinsItemsKeepOrderNestedSorted) {
    ASSERT_EQ(Add(0x0010, 0x0020, "ID"), 0);
    ASSERT_EQ(Add(0x0008, 0x0016, nullptr, 2), 0);
    ASSERT_EQ(Add(0xFFFE, 0xE0DD, nullptr, 0), 0); /* group FFFE sorts last */
    ASSERT_EQ(Add(0x0010, 0x0010, "NM"), 0);
    ASSERT_EQ(Add(0x0008, 0x0016, nullptr, 4), 0);
    OpenSeq(0x0008, 0x1115);
    for (const char *v : {"I1", "I2", "I3"}) {
        ASSERT_EQ(Add(0xFFFE, 0xE000, v, kUndef), 0);
        ASSERT_EQ(Add(0x0010, 0x0020, "b"), 0);
        ASSERT_EQ(Add(0x0010, 0x0010, "a"), 0);
        CloseItem(kUndef);
    }
    CloseSeq(kUndef);
    SortCodes(obj_->root);
    EXPECT_EQ(Tree(), "0008,0016 0008,1115{FFFE,E000{0010,0010 0010,0020} "
                      "FFFE,E000{0010,0010 0010,0020} FFFE,E000{0010,0010 0010,0020}} "
                      "0010,0010 0010,0020 FFFE,E0DD");
    EXPECT_EQ(Top(0)->length, 4u); /* the second (0008,0016) */
    const DicomElement *seq = Top(1);
    EXPECT_EQ(Text(seq->first_child), "I1");
    EXPECT_EQ(Text(seq->first_child->next), "I2");
    EXPECT_EQ(Text(seq->last_child), "I3");
    SortCodes(obj_->root); /* sorted input is left as it is */
    EXPECT_EQ(Top(1), seq);
}

TEST_F(Sort, DuplicateRemovalResetsCursorAndInsertionParent) {
    OpenSeq(0x0008, 0x1115);
    OpenItem();
    ASSERT_EQ(Add(0x0010, 0x0010, "X"), 0);
    CloseItem(kUndef);
    CloseSeq(kUndef);
    OpenSeq(0x0008, 0x1115); /* same tag, no value: appended; this one stays */
    CloseSeq(kUndef);
    DicomElement *pos = nullptr;
    ASSERT_EQ(DE_search(&app_, obj_, &pos, 0x0008, 0x1115, 1), 0);
    ASSERT_EQ(pos, Top(0)->first_child);
    obj_->insert_parent = pos; /* as if the first item were still open */
    SortCodes(obj_->root);
    EXPECT_EQ(obj_->cursor, nullptr);
    EXPECT_EQ(obj_->insert_parent, obj_->root);
    EXPECT_EQ(Tree(), "0008,1115");
}

TEST_F(Sort, LargeReversedListWithDuplicates) {
    /* 100,000 children, keys descending, every key twice in a row; the
     * length marks the order of addition (records without value). */
    const uint32_t n = 100000;
    for (uint32_t i = 0; i < n; ++i) {
        uint32_t key = 0x00200000u + (n - i) / 2;
        ASSERT_EQ(Add(Rec(key >> 16, key & 0xFFFF, nullptr, -1, i)), 0);
    }
    auto start = std::chrono::steady_clock::now();
    SortCodes(obj_->root);
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(secs, 1.0);

    uint32_t count = 0, prev_key = 0;
    const DicomElement *prev = nullptr;
    for (const DicomElement *e = obj_->root->first_child; e; prev = e, e = e->next, ++count) {
        ASSERT_EQ(e->prev, prev);
        uint32_t key = element_key(e);
        ASSERT_TRUE(count == 0 || key > prev_key);
        /* of each pair the later (i = n - 2 * half) stays; half 0 is i = n - 1 alone */
        uint32_t half = key - 0x00200000u;
        uint32_t expected = half == 0 ? n - 1 : n - 2 * half;
        ASSERT_EQ(e->length, expected) << std::hex << key;
        prev_key = key;
    }
    EXPECT_EQ(obj_->root->last_child, prev);
    EXPECT_EQ(count, n / 2 + 1);
}

} // namespace
