/*
 * readindex.cpp -- the reader's index of the tags stored at each level of
 * the tree it builds.  A read replaces the earlier occurrence of a tag held
 * twice at one level (items aside); finding it by scanning the siblings
 * made every element that comes out of ascending tag order cost as much as
 * all elements before it.  Here a level costs nothing beyond its highest
 * tag while its tags ascend, and a map by key from the first element on
 * that does not.
 *
 * A level is kept by the address of its parent.  A node the reader stores
 * starts a level of its own (a new node has no children, and one that
 * replaced an earlier occurrence lost them), so the level of a node freed
 * with a replaced subtree never outlives the reuse of its address.
 */
#include "readindex_int.h"

#include "object_int.h"

ReadIndex::Level &ReadIndex::level_of(const DicomElement *parent) {
    if (parent != last_parent_ || !last_level_) {
        last_level_ = &levels_[parent];
        last_parent_ = parent;
    }
    return *last_level_;
}

DicomElement *ReadIndex::find(const DicomElement *parent, uint32_t key) {
    Level &level = level_of(parent);
    if (!level.any || key > level.highest)
        return nullptr;
    if (!level.mapped) {
        /* emplace keeps the first child with a key, as a scan finds it */
        for (DicomElement *c = parent->first_child; c; c = c->next)
            if (!is_item(c))
                level.by_key.emplace(element_key(c), c);
        level.mapped = true;
    }
    auto it = level.by_key.find(key);
    return it == level.by_key.end() ? nullptr : it->second;
}

void ReadIndex::stored(DicomElement *node) {
    if (node == last_parent_)
        last_level_ = nullptr;
    levels_.erase(node);
    const uint32_t key = element_key(node);
    if (key == TAG_KEY_ITEM)
        return;
    Level &level = level_of(node->parent);
    if (!level.any || key > level.highest) {
        level.any = true;
        level.highest = key;
    }
    if (level.mapped)
        level.by_key.emplace(key, node);
}
