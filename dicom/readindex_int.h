/*
 * readindex_int.h -- the reader's index of the tags it has stored at each
 * level of the tree it builds (readindex.cpp), so that the earlier
 * occurrence of a tag held twice is found in constant time and a read
 * costs the same in any element order.  Used by reader.cpp only; not
 * exported.
 */
#ifndef QUENOR_READINDEX_INT_H
#define QUENOR_READINDEX_INT_H

#include <stdint.h>

#include <unordered_map>

#include "medcore.h"

/* Valid for one read, during which only the reader changes the tree: every
 * node it stores goes through stored().  Running out of memory throws
 * std::bad_alloc, which fails the read. */
class ReadIndex {
public:
    /* The child of parent with this key (an item is never looked up);
     * NULL when parent holds none. */
    DicomElement *find(const DicomElement *parent, uint32_t key);

    /* node was just stored under its parent: appended, or in place of the
     * one find gave, whose children then went. */
    void stored(DicomElement *node);

private:
    /* The children of one parent.  While tags arrive in ascending order
     * the highest says enough; the first that does not makes the level
     * build its map by key from the children it has. */
    struct Level {
        bool any = false; /* a child other than an item */
        uint32_t highest = 0;
        bool mapped = false;
        std::unordered_map<uint32_t, DicomElement *> by_key;
    };

    Level &level_of(const DicomElement *parent);

    std::unordered_map<const DicomElement *, Level> levels_;
    /* The level asked for last: consecutive elements mostly share one. */
    const DicomElement *last_parent_ = nullptr;
    Level *last_level_ = nullptr;
};

#endif
