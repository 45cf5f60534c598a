/*
 * object_int.h -- element-tree internals shared inside the DICOM library
 * (not exported): tag keys, the node primitives (make, copy a value, link,
 * append, unlink, replace, free, remove), and the upkeep that keeps an
 * object's cursor, insertion parent and private links off freed nodes.
 */
#ifndef QUENOR_OBJECT_INT_H
#define QUENOR_OBJECT_INT_H

#include <stdlib.h>

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

/* The first child of parent with this key; NULL when none has it. */
static inline DicomElement *first_child_with(const DicomElement *parent, uint32_t key) {
    for (DicomElement *c = parent->first_child; c; c = c->next)
        if (element_key(c) == key)
            return c;
    return nullptr;
}

/* node is subtree or lies below it. */
static inline bool lies_within(const DicomElement *node, const DicomElement *subtree) {
    for (; node; node = node->parent)
        if (node == subtree)
            return true;
    return false;
}

/* The DicomElementHead at the front of a node (the layouts agree). */
static inline DicomElementHead *head_of(DicomElement *e) {
    return reinterpret_cast<DicomElementHead *>(e);
}

/* A value of this length has bytes: neither empty nor undefined. */
static inline bool has_value_bytes(uint32_t length) {
    return length != 0 && length != 0xFFFFFFFFu;
}

#ifdef __cplusplus
extern "C" {
#endif

/* ---- node primitives: every node of a tree is made, linked and removed
 * through these ---- */

/* A new node with the head of rec (tag, length, VR, flags) but no value,
 * linked nowhere; NULL when memory ran out.  An unlinked node that never
 * got a value goes with free(). */
DicomElement *_make_node(const DicomElementHead *rec);

/* Gives the linked or unlinked node e the head of rec without its value,
 * as _make_node does, and forgets how a former value was encoded
 * (content_ts); the VR letters the file gave e stay.  The former value is
 * the caller's to free. */
void _take_head(DicomElement *e, const DicomElementHead *rec);

/* Gives `to` a private copy of the first `length` bytes at src, in a zeroed
 * buffer of the size D_Alloc makes (odd lengths gain a pad byte); its
 * length becomes that size.  False, with no value and length 0, when no
 * buffer results: length 0 or undefined, or no memory.  A copy of bytes
 * only: what is handed out of a tree. */
bool _copy_value(DicomElementHead *to, const void *src, uint32_t length);

/* The head of a tree node made from the caller's record rec: rec's head
 * with a private copy of its value when rec carries value bytes (else no
 * value and rec's length).  A value that rec marks as a PixelDataDesc
 * (DE_FLAG_PIXEL_DESC or DE_FLAG_OWNS_PDS_NAME) and that is whole keeps
 * DE_FLAG_PIXEL_DESC and gets a file name the node will own
 * (DE_FLAG_OWNS_PDS_NAME): the record's own name when the record hands it
 * over with that flag and no node owns it yet, else a copy.  Any other
 * value is bytes, both flags cleared.
 * False, with no value and length 0, when the copy could not be made.
 * The value goes to a node (_node_with, _replace_element) or with
 * _free_head_value. */
bool _prepare_head(DicomElementHead *out, const DicomElementHead *rec);

/* A new unlinked node holding made's head and value (made by
 * _prepare_head); NULL when memory ran out, the value then freed. */
DicomElement *_node_with(DicomElementHead *made);

/* The linked element e becomes the one made describes (from _prepare_head;
 * its value passes to e) and keeps its place.  When the new element has
 * value bytes they are its whole content, so e's children go, with the
 * cursor, insertion parent and private links that pointed into them;
 * without a value e keeps its content: its children (a sequence keeps its
 * items), or, for a sequence or item of defined length held as raw bytes,
 * those bytes with their length, syntax and e's VR. */
void _replace_element(DicomElement *e, DicomElementHead *made);

/* Links node under parent between two adjacent children, before and after
 * (NULL at that end of the list). */
void _link_between(DicomElement *parent, DicomElement *node, DicomElement *before,
                   DicomElement *after);

/* Links node as the last child of parent. */
void _append_child(DicomElement *parent, DicomElement *node);

/* Takes e out of its parent's child list (the parent's ends follow); e
 * keeps its own links until it is freed. */
void _unlink_element(DicomElement *e);

/* Frees the node, its value and all its descendants (each child's subtree
 * in list order, then the value, then the node); the attribute definitions
 * bound to a node freed become unbound.  Does not unlink it. */
void _free_element(DicomElement *e);

/* Removes a linked subtree from its tree and frees it; its object's cursor
 * and insertion parent are moved off it first (see _forget_refs_into). */
void _remove_element(DicomElement *e);

/* Frees the value of e (and, for pixel data that owns it, the file name of
 * its PixelDataDesc) and leaves e without value; the length is kept. */
void _free_value(DicomElement *e);
/* The same for a head that no node holds (from _prepare_head). */
void _free_head_value(DicomElementHead *h);

/* Call before freeing a subtree that is (or was) linked into an object:
 * when the object's cursor lies in it, the cursor becomes empty (the top
 * level); when its insertion parent does, it becomes the root; private
 * definitions bound to elements in it are unbound.  Subtrees of no object
 * are ignored. */
void _forget_refs_into(DicomElement *subtree);

/* DO_addElement as a read of a file adds: earlier, the element of the same
 * key already under the insertion parent (NULL for none; never an item),
 * which the reader keeps track of, becomes the added one whole, in its
 * place, also when the added one has no value (its children or raw content
 * go), so that of a tag held twice the later occurrence is the only one
 * from the read on.  The insertion parent moves into the element when rec's
 * VR code is SQ.  Hands back the node that holds the added element (the new
 * one, or the one it replaced); *added is null when nothing was stored (a
 * delimiter without length, or a failure). */
int16_t _add_element(AppData *app, DicomObject *obj, DicomElementHead *rec, DicomElement *earlier,
                     DicomElement **added);

/* DO_addElement at the top level whatever the insertion parent, which
 * stays where it is: the add of a cursor at the top level. */
int16_t _add_top_level(DicomObject *obj, DicomElementHead *rec);

/* DE_search; *failed is set when the search could not be made (and
 * nothing changed): a new item that memory did not allow, or one asked of
 * a sequence whose items are raw bytes (refused with a message).  Finding
 * nothing is no failure. */
int16_t _search_position(AppData *app, DicomObject *obj, DicomElement **position, uint16_t group,
                         uint16_t element, int16_t index, bool *failed);

/* SortCodes, but memory running out for its scratch arrays throws
 * std::bad_alloc (before the list it was sorting changed). */
void _sort_tree(DicomElement *parent);

/* The transfer syntax the raw value of e (a sequence or item of defined
 * length) is encoded in: the one the reader recorded, else fallback. */
static inline TransferSyntaxCode content_syntax(const DicomElement *e,
                                                TransferSyntaxCode fallback) {
    return e->content_ts ? (TransferSyntaxCode)e->content_ts - 1 : fallback;
}

#ifdef __cplusplus
}
#endif

/* An element record that library code builds for the element API and
 * owns: its value buffer, from D_Alloc or from a search, goes with it. */
struct ElementRecord {
    DicomElementHead rec{};

    /* The tag, with the VR the dictionaries give it. */
    ElementRecord(AppData *app, uint16_t group, uint16_t element) { set_tag(app, group, element); }
    ~ElementRecord() { free(rec.value); }
    ElementRecord(const ElementRecord &) = delete;
    ElementRecord &operator=(const ElementRecord &) = delete;

    void set_tag(AppData *app, uint16_t group, uint16_t element) {
        rec.group = group;
        rec.element = element;
        int vr = -1;
        DOU_defXVRTypeByTags(app, group, element, &vr);
        rec.vr = vr;
    }
    /* A copy of the top-level element with the record's tag in place of
     * what the record held; false when obj has none (or it could not be
     * copied). */
    bool search(DicomObject *obj) {
        free(rec.value);
        rec.value = nullptr;
        return DO_searchForElement(obj, &rec) == 0;
    }
};

#endif
