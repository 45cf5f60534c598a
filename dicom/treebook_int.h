/*
 * treebook_int.h -- the side table that the object module keeps about the
 * element trees (treebook.cpp): which object owns a root, and the append
 * hints of DO_addElement, and the pixel data file names that nodes own.
 * Used by object.cpp only; not exported.
 */
#ifndef QUENOR_TREEBOOK_INT_H
#define QUENOR_TREEBOOK_INT_H

#include "medcore.h"

/* Notes that obj owns the tree of root; false when memory ran out (then
 * nothing is noted). */
bool _book_tree(const DicomElement *root, DicomObject *obj);

/* Forgets the owner of root and the hint of root as a parent. */
void _unbook_tree(const DicomElement *root);

/* The object that owns the tree e belongs to; NULL for a tree of none. */
DicomObject *_tree_owner(const DicomElement *e);

/* The first child of parent with this key, or NULL; the hint of parent
 * spares the scan of its children for a key above all of theirs. */
DicomElement *_find_child_to_replace(DicomElement *parent, uint32_t key);

/* node was linked as the last child of parent, whose last child had been
 * previous_last: the hint of parent follows. */
void _note_appended(const DicomElement *parent, const DicomElement *previous_last,
                    const DicomElement *node);

/* parent's children changed otherwise than by appending at the end (a
 * node linked in the middle, a tag changed): its hint goes. */
void _note_children_changed(const DicomElement *parent);

/* node is being freed: the hints of which it is the parent or the noted
 * last child go with it, so that a reused address revives none. */
void _forget_node(const DicomElement *node);

/* Notes that a node owns the file name of its PixelDataDesc; false when a
 * node owns it already (or memory ran out), so it must not be taken. */
bool _claim_name(const char *name);

/* The node that owned name frees it. */
void _release_name(const char *name);

#endif
