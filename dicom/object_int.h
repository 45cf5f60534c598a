/*
 * object_int.h -- element-tree internals shared inside the DICOM library
 * (not exported): tag keys, freeing of nodes and values, and the upkeep that
 * keeps an object's cursor and insertion parent off freed nodes.
 */
#ifndef QUENOR_OBJECT_INT_H
#define QUENOR_OBJECT_INT_H

#include "medcore.h"

#define TAG_KEY_ITEM 0xFFFEE000u
#define TAG_KEY_ITEM_DELIM 0xFFFEE00Du
#define TAG_KEY_SEQ_DELIM 0xFFFEE0DDu

static inline uint32_t tag_key(uint16_t group, uint16_t element) {
    return ((uint32_t)group << 16) | element;
}

static inline uint32_t element_key(const DicomElement *e) {
    return tag_key(e->group, e->element);
}

/* The item and delimitation tags: no VR in any syntax, 32-bit length. */
static inline bool is_item_or_delimiter_key(uint32_t key) {
    return key == TAG_KEY_ITEM || key == TAG_KEY_ITEM_DELIM || key == TAG_KEY_SEQ_DELIM;
}

static inline bool is_item(const DicomElement *e) {
    return element_key(e) == TAG_KEY_ITEM;
}

#ifdef __cplusplus
extern "C" {
#endif

/* Frees the node, its value and all its descendants (each child's subtree
 * in list order, then the value, then the node).  Does not unlink it. */
void _free_element(DicomElement *e);

/* Takes e out of its parent's child list (the parent's ends follow); e
 * keeps its own links until it is freed. */
void _unlink_element(DicomElement *e);

/* Frees the value of e (and, for pixel data that owns it, the file name of
 * its PixelDataDesc) and leaves e without value; the length is kept. */
void _free_value(DicomElement *e);

/* Call before freeing a subtree that is (or was) linked into an object:
 * when the object's cursor lies in it, the cursor becomes empty (the top
 * level); when its insertion parent does, it becomes the root.  Subtrees of
 * no object are ignored. */
void _forget_refs_into(DicomElement *subtree);

/* DO_addElement, also handing back the node that holds the added element
 * (the new one, or the one whose value it replaced); *added is null when
 * nothing was stored (a delimiter without length, or a failure). */
int16_t _add_element(AppData *app, DicomObject *obj, DicomElementHead *rec,
                     DicomElement **added);

/* The transfer syntax the raw value of e (a sequence or item of defined
 * length) is encoded in: the one the reader recorded, else fallback. */
static inline TransferSyntaxCode content_syntax(const DicomElement *e,
                                                TransferSyntaxCode fallback) {
    return e->content_ts ? (TransferSyntaxCode)e->content_ts - 1 : fallback;
}

/* DO_addElement remembers, per parent, a bound on the tags under it (valid
 * while the parent's last child stays the same) so that appending in tag
 * order needs no scan.  Code that links a node anywhere but at the end of a
 * child list, or changes the tag of a linked node, calls this for the
 * parent.  Appending at the end, unlinking and freeing need no call. */
void _note_children_changed(const DicomElement *parent);

#ifdef __cplusplus
}
#endif

#endif
