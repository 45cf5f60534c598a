/*
 * cursor_test.cpp -- the element-tree cursor: DE_search (tag, item index,
 * new item), DE_add (ordered insert or replace at the cursor's level) and
 * DE_delete / DE_deleteSubTree, with the cursor checked after each step.
 */
#include <gtest/gtest.h>

#include "tree_test_util.h"

using namespace treetest;

namespace {

/* Top level: (0008,0016) (0008,1115 SQ: item{0010,0010 0010,0020 E00D}
 * item{0010,0020} E0DD) (0010,0010) -- in tag order, as after a sort. */
class Cursor : public TreeTest {
protected:
    void SetUp() override {
        TreeTest::SetUp();
        ASSERT_EQ(Add(0x0008, 0x0016, "1.2"), 0);
        OpenSeq(0x0008, 0x1115);
        OpenItem();
        ASSERT_EQ(Add(0x0010, 0x0010, "IN1"), 0);
        ASSERT_EQ(Add(0x0010, 0x0020, "IN2"), 0);
        CloseItem(0);
        OpenItem();
        ASSERT_EQ(Add(0x0010, 0x0020, "IN3"), 0);
        CloseItem(kUndef);
        CloseSeq(0);
        ASSERT_EQ(Add(0x0010, 0x0010, "OUT"), 0);
        seq_ = Top(1);
        item1_ = seq_->first_child;
        item2_ = item1_->next;
    }
    int16_t Search(DicomElement **pos, uint16_t g, uint16_t e, int16_t index = 0) {
        return DE_search(&app_, obj_, pos, g, e, index);
    }
    int16_t Insert(DicomElementHead h) { return DE_add(&app_, obj_, &h); }
    int16_t Delete(uint16_t g, uint16_t e) {
        DicomElementHead h = Rec(g, e);
        return DE_delete(&app_, obj_, &h);
    }
    DicomElement *seq_ = nullptr, *item1_ = nullptr, *item2_ = nullptr;
};

TEST_F(Cursor, SearchFirstTopLevelWithFFFF) {
    DicomElement *pos = item1_->first_child;
    EXPECT_EQ(Search(&pos, 0xFFFF, 0xFFFF, 5), 0);
    EXPECT_EQ(pos, Top(0));
    EXPECT_EQ(obj_->cursor, Top(0));

    DO_closeObject(&io_);
    ASSERT_EQ(DO_openObject(&io_), 0);
    obj_ = io_.object;
    pos = nullptr;
    EXPECT_EQ(Search(&pos, 0xFFFF, 0xFFFF), -1);
    EXPECT_EQ(pos, nullptr);
    EXPECT_EQ(obj_->cursor, nullptr);
}

TEST_F(Cursor, SearchScansTheLevelOfThePosition) {
    DicomElement *pos = nullptr;
    ASSERT_EQ(Search(&pos, 0x0010, 0x0010), 0); /* top level */
    EXPECT_EQ(Text(pos), std::string("OUT\0", 4));

    pos = item1_; /* inside the item */
    ASSERT_EQ(Search(&pos, 0x0010, 0x0010), 0);
    EXPECT_EQ(pos, item1_->first_child);
    EXPECT_EQ(obj_->cursor, pos);

    pos = item1_->first_child->next; /* the whole sibling list, also before */
    ASSERT_EQ(Search(&pos, 0x0010, 0x0010), 0);
    EXPECT_EQ(pos, item1_->first_child);

    pos = item2_;
    EXPECT_EQ(Search(&pos, 0x0010, 0x0010), -1); /* not in this item */
    EXPECT_EQ(pos, nullptr);
    EXPECT_EQ(obj_->cursor, nullptr);
}

TEST_F(Cursor, SearchSelectsItemsByIndex) {
    DicomElement *pos = nullptr;
    ASSERT_EQ(Search(&pos, 0x0008, 0x1115, 2), 0);
    EXPECT_EQ(pos, item2_);
    EXPECT_EQ(obj_->cursor, item2_);
    pos = nullptr;
    EXPECT_EQ(Search(&pos, 0x0008, 0x1115, 3), -1); /* the delimiter is no item */
    EXPECT_EQ(pos, nullptr);
    EXPECT_EQ(obj_->cursor, nullptr);

    pos = Top(2); /* no sequence: the position stays */
    EXPECT_EQ(Search(&pos, 0x0008, 0x0016, 3), 0);
    EXPECT_EQ(pos, Top(2));
    EXPECT_EQ(obj_->cursor, Top(2));
}

TEST_F(Cursor, SearchNegativeIndexAppendsItemBeforeDelimiter) {
    DicomElement *pos = nullptr;
    ASSERT_EQ(Search(&pos, 0x0008, 0x1115, -1), 0);
    EXPECT_EQ(Picture(seq_), "FFFE,E000{0010,0010 0010,0020 FFFE,E00D} "
                             "FFFE,E000{0010,0020} FFFE,E000 FFFE,E0DD");
    EXPECT_EQ(pos, item2_->next);
    EXPECT_EQ(obj_->cursor, pos);
    EXPECT_EQ(pos->length, kUndef);
    EXPECT_EQ(pos->value, nullptr);
    EXPECT_EQ(pos->vr, VR_NA); /* from the tag table */

    /* an empty sequence gets it as its only child */
    DicomElementHead seq = Rec(0x0040, 0x0275, nullptr, VR_SQ, kUndef);
    obj_->cursor = Top(0);
    ASSERT_EQ(DE_add(&app_, obj_, &seq), 0);
    pos = nullptr;
    ASSERT_EQ(Search(&pos, 0x0040, 0x0275, -1), 0);
    EXPECT_EQ(Picture(pos->parent), "FFFE,E000");
}

TEST_F(Cursor, AddWithEmptyCursorGoesThroughAddElement) {
    ASSERT_EQ(Insert(Rec(0x0008, 0x0005, "ISO_IR 100")), 0);
    EXPECT_EQ(Tree(), "0008,0016 0008,1115{FFFE,E000{0010,0010 0010,0020 FFFE,E00D} "
                      "FFFE,E000{0010,0020} FFFE,E0DD} 0010,0010 0008,0005");
    EXPECT_EQ(obj_->cursor, Top(0));
}

TEST_F(Cursor, AddInsertsInOrderOrReplaces) {
    obj_->cursor = Top(2); /* among the top-level elements */
    ASSERT_EQ(Insert(Rec(0x0010, 0x0000, "GL")), 0);
    ASSERT_EQ(Insert(Rec(0x0002, 0x0010, "T")), 0);
    ASSERT_EQ(Insert(Rec(0x0020, 0x000D, "UID")), 0);
    EXPECT_EQ(Tree(), "0002,0010 0008,0016 0008,1115{FFFE,E000{0010,0010 0010,0020 FFFE,E00D} "
                      "FFFE,E000{0010,0020} FFFE,E0DD} 0010,0000 0010,0010 0020,000D");
    EXPECT_EQ(obj_->cursor, Top(4)); /* unchanged */
    EXPECT_EQ(Text(Top(0)), std::string("T\0", 2));

    /* replacing the sequence keeps its items */
    DicomElement *seq = seq_;
    ASSERT_EQ(Insert(Rec(0x0008, 0x1115, nullptr, VR_SQ, 0)), 0);
    EXPECT_EQ(Top(2), seq);
    EXPECT_EQ(seq->length, 0u);
    EXPECT_EQ(seq->first_child, item1_);

    /* inside an item: among its children */
    obj_->cursor = item1_;
    char text[] = "MID";
    DicomElementHead mid = Rec(0x0010, 0x0015, text);
    ASSERT_EQ(Insert(mid), 0);
    text[0] = 'X'; /* the tree holds its own copy */
    EXPECT_EQ(Picture(item1_), "0010,0010 0010,0015 0010,0020 FFFE,E00D");
    EXPECT_EQ(Text(item1_->first_child->next), std::string("MID\0", 4));
}

TEST_F(Cursor, AddToItemWithoutChildren) {
    DicomElement *pos = nullptr;
    ASSERT_EQ(Search(&pos, 0x0008, 0x1115, -1), 0);
    ASSERT_EQ(Insert(Rec(0x0010, 0x0020, "ONLY")), 0);
    EXPECT_EQ(Picture(pos), "0010,0020");
    EXPECT_EQ(obj_->cursor, pos);
    obj_->cursor = seq_->last_child; /* item 1 becomes raw bytes, as read of a defined length */
    ASSERT_EQ(Insert(Rec(0xFFFE, 0xE000, "RAW.")), 0);
    obj_->cursor = item1_;
    EXPECT_EQ(Insert(Rec(0x0010, 0x0010, "LOST")), -1);
}

TEST_F(Cursor, DeleteMovesCursorToNextSibling) {
    obj_->cursor = Top(0);
    ASSERT_EQ(Delete(0x0008, 0x1115), 0);
    EXPECT_EQ(obj_->cursor, Top(1));
    EXPECT_EQ(Tree(), "0008,0016 0010,0010");
    ASSERT_EQ(Delete(0x0010, 0x0010), 0); /* the last: cursor empty */
    EXPECT_EQ(obj_->cursor, nullptr);
    DicomElement *pos = nullptr; /* and a search scans the top level */
    EXPECT_EQ(Search(&pos, 0x0008, 0x0016), 0);

    obj_->cursor = nullptr;
    EXPECT_EQ(Delete(0x0010, 0x0099), -1);
    EXPECT_EQ(Delete(0xFFFF, 0xFFFF), -1); /* nothing under an empty cursor */
    EXPECT_EQ(Tree(), "0008,0016");
}

TEST_F(Cursor, DeleteItemTagsFromAnItem) {
    obj_->cursor = item2_;
    ASSERT_EQ(Delete(0xFFFE, 0xE000), 0); /* the sequence's first item */
    EXPECT_EQ(Picture(seq_), "FFFE,E000{0010,0020} FFFE,E0DD");
    EXPECT_EQ(obj_->cursor, item2_);
    ASSERT_EQ(Delete(0x0010, 0x0020), 0); /* inside the cursor item */
    EXPECT_EQ(obj_->cursor, nullptr);
    obj_->cursor = item2_;
    ASSERT_EQ(Delete(0xFFFF, 0xFFFF), 0); /* the cursor item itself */
    EXPECT_EQ(Picture(seq_), "FFFE,E0DD");
    EXPECT_EQ(obj_->cursor, seq_->first_child);
}

TEST_F(Cursor, DeleteSubTreeKeepsInsertionParentValid) {
    /* reopen the sequence as a read in progress would leave it */
    obj_->insert_parent = item2_;
    obj_->cursor = item2_->first_child;
    DicomElement *victim = seq_;
    DE_deleteSubTree(&app_, &victim);
    EXPECT_EQ(victim, nullptr);
    EXPECT_EQ(obj_->insert_parent, obj_->root);
    EXPECT_EQ(obj_->cursor, nullptr);
    EXPECT_EQ(Tree(), "0008,0016 0010,0010");
    ASSERT_EQ(Add(0x0010, 0x0020, "NEXT"), 0);
    EXPECT_EQ(Tree(), "0008,0016 0010,0010 0010,0020");
}

} // namespace
