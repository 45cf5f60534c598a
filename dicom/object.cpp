/*
 * object.cpp -- one DICOM object in memory: IOObject defaults, value
 * buffers, the node primitives of the element tree and its sorting by tag,
 * and the DO_ operations that open, close, search, add, change and delete
 * top-level elements.  What is known about a tree beyond its nodes (its
 * owner, the append hints, the pixel data file names its nodes own) is kept
 * in treebook.cpp.
 *
 * Every node owns what its value points at: a value passed in is copied,
 * and a PixelDataDesc copied in gets a file name of the node's own, so that
 * an element read, changed and handed back never shares a name with the
 * node it came from.  Whatever frees nodes first moves the object's cursor,
 * insertion parent and private definition links off them, and every node
 * freed unbinds the attribute definitions bound to it.  An element replaced
 * by a record without value keeps what it holds: a sequence its items,
 * whether children or the raw bytes of a defined length.
 */
#include "object_int.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "binding_int.h"
#include "private_int.h"
#include "treebook_int.h"

static_assert(offsetof(DicomElement, value) == offsetof(DicomElementHead, value), "head layout");
static_assert(offsetof(DicomElement, group) == offsetof(DicomElementHead, group), "head layout");
static_assert(offsetof(DicomElement, element) == offsetof(DicomElementHead, element),
              "head layout");
static_assert(offsetof(DicomElement, length) == offsetof(DicomElementHead, length), "head layout");
static_assert(offsetof(DicomElement, vr) == offsetof(DicomElementHead, vr), "head layout");
static_assert(offsetof(DicomElement, flags) == offsetof(DicomElementHead, flags), "head layout");
static_assert(offsetof(DicomElement, next) >= sizeof(DicomElementHead), "head layout");

namespace {

const uint32_t kUndefined = 0xFFFFFFFFu;

void head_to_record(DicomElementHead *rec, const DicomElement *e) {
    memcpy(rec, e, sizeof(DicomElementHead));
}

/* The buffer rules of D_Alloc on any (value, length) pair. */
void *alloc_value(uint32_t *length) {
    if (!has_value_bytes(*length))
        return nullptr;
    if (*length & 1)
        ++*length;
    void *buf = calloc(1, *length);
    if (!buf)
        *length = 0;
    return buf;
}

void forget_refs(DicomObject *obj, const DicomElement *subtree) {
    if (!obj)
        return;
    if (lies_within(obj->cursor, subtree))
        obj->cursor = nullptr;
    if (lies_within(obj->insert_parent, subtree))
        obj->insert_parent = obj->root;
    _drop_prv_links(obj, subtree);
}

const uint16_t kDescriptorFlags = DE_FLAG_PIXEL_DESC | DE_FLAG_OWNS_PDS_NAME;

/* A value marked as the description of pixel data left in a file; its
 * length never decides it (pixels of any length are given as bytes). */
bool holds_pixel_descriptor(const DicomElementHead *h) {
    return h->group == 0x7FE0 && h->element == 0x0010 && h->value && (h->flags & kDescriptorFlags);
}

/* The value just copied into `to` from a record with from_flags is a
 * descriptor when the record marks it so and it is whole; it then gets a
 * file name the node will own: the one it carries when the record hands it
 * over and no node owns it yet, else a copy.  False, with the value freed,
 * when no copy could be made. */
bool own_descriptor_name(DicomElementHead *to, uint16_t from_flags) {
    to->flags &= (uint16_t)~kDescriptorFlags;
    if ((from_flags & kDescriptorFlags) && to->length >= sizeof(PixelDataDesc))
        to->flags |= DE_FLAG_PIXEL_DESC;
    if (!holds_pixel_descriptor(to)) {
        to->flags &= (uint16_t)~DE_FLAG_PIXEL_DESC; /* bytes: another tag, or too short */
        return true;
    }
    PixelDataDesc *pds = static_cast<PixelDataDesc *>(to->value);
    if (!pds->filename)
        return true;
    if (!((from_flags & DE_FLAG_OWNS_PDS_NAME) && _claim_name(pds->filename))) {
        char *copy = strdup(pds->filename);
        if (!copy || !_claim_name(copy)) {
            free(copy);
            free(to->value);
            to->value = nullptr;
            to->length = 0;
            return false;
        }
        pds->filename = copy;
    }
    to->flags |= DE_FLAG_OWNS_PDS_NAME;
    return true;
}

/* The links of _link_between, without the upkeep of the append hints. */
void link_nodes(DicomElement *parent, DicomElement *node, DicomElement *before,
                DicomElement *after) {
    node->parent = parent;
    node->prev = before;
    node->next = after;
    if (before)
        before->next = node;
    else
        parent->first_child = node;
    if (after)
        after->prev = node;
    else
        parent->last_child = node;
}

void free_children(DicomElement *parent) {
    DicomElement *c = parent->first_child;
    while (c) {
        DicomElement *next = c->next;
        _free_element(c);
        c = next;
    }
}

/* Removes every child of the linked element e with its subtree. */
void remove_children(DicomElement *e) {
    while (e->first_child)
        _remove_element(e->first_child);
}

/* Removes all that e holds, its children and a value of raw bytes alike. */
void drop_content(DicomElement *e) {
    remove_children(e);
    _free_value(e);
}

/* A sequence or item of defined length as the reader keeps it: its
 * content as raw bytes in its value, no children. */
bool holds_raw_content(const DicomElement *e) {
    return e->value && !e->first_child &&
           (is_item(e) || e->vr == VR_SQ || e->file_vr == (uint8_t)(VR_SQ + 1));
}

void move_insertion_parent_up(DicomObject *obj) {
    if (obj->insert_parent->parent)
        obj->insert_parent = obj->insert_parent->parent;
}

/* In order already: ascending, equal keys only among items. */
bool children_in_order(const DicomElement *parent) {
    for (const DicomElement *c = parent->first_child; c && c->next; c = c->next) {
        uint32_t a = element_key(c), b = element_key(c->next);
        if (b < a || (b == a && a != TAG_KEY_ITEM))
            return false;
    }
    return true;
}

/*
 * Ascending stable order; of several non-item children with one key the
 * last in list order stays and the others are freed with their subtrees;
 * items all stay in their order.  This is the outcome of a stable insertion
 * sort that lets a later equal key replace the earlier one, reached in
 * O(n log n) (and O(n) for a list already in order).  Throws std::bad_alloc
 * before it changes a list when its scratch arrays cannot be made.
 */
void sort_children(DicomObject *owner, DicomElement *parent) {
    if (!parent->first_child)
        return;
    for (DicomElement *c = parent->first_child; c; c = c->next)
        if (c->first_child)
            sort_children(owner, c);
    if (children_in_order(parent))
        return;

    std::vector<DicomElement *> all;
    for (DicomElement *c = parent->first_child; c; c = c->next)
        all.push_back(c);
    std::stable_sort(all.begin(), all.end(), [](const DicomElement *a, const DicomElement *b) {
        return element_key(a) < element_key(b);
    });

    std::vector<DicomElement *> kept, dropped;
    kept.reserve(all.size());
    for (size_t i = 0; i < all.size(); ++i) {
        uint32_t k = element_key(all[i]);
        bool superseded = k != TAG_KEY_ITEM && i + 1 < all.size() && element_key(all[i + 1]) == k;
        (superseded ? dropped : kept).push_back(all[i]);
    }

    /* Relinked without hint upkeep: the keys under parent only became
     * fewer, so its append hint stays an upper bound. */
    DicomElement *prev = nullptr;
    for (DicomElement *e : kept) {
        link_nodes(parent, e, prev, nullptr);
        prev = e;
    }

    for (DicomElement *d : dropped) {
        forget_refs(owner, d);
        _free_element(d);
    }
}

/* How an add treats an element of the same tag under the insertion parent:
 * DO_addElement's replaces the first one (found here) with a record that
 * has a value; a read's replaces `earlier`, which the reader found, with
 * all it holds, also by a record without value. */
struct Replacing {
    bool whole;
    DicomElement *earlier;
};

/* What DO_addElement stores under parent: a record with a value replaces
 * the first child with its tag (an item never does), any other is
 * appended; a read's add replaces as `replacing` says, children or raw
 * content and all.  -1 when memory ran out or a value pointer comes
 * without bytes to copy. */
int16_t store_under(DicomElement *parent, DicomElementHead *rec, Replacing replacing,
                    DicomElement **stored) {
    uint32_t key = tag_key(rec->group, rec->element);
    if (rec->value && !has_value_bytes(rec->length))
        return -1;
    DicomElementHead made;
    if (!_prepare_head(&made, rec))
        return -1;
    const bool whole = replacing.whole;
    DicomElement *inserted = replacing.earlier;
    if (!whole)
        inserted =
            made.value && key != TAG_KEY_ITEM ? _find_child_to_replace(parent, key) : nullptr;
    if (inserted) {
        if (whole)
            drop_content(inserted);
        _replace_element(inserted, &made); /* the new value's encoding is not known here */
    } else {
        if (!(inserted = _node_with(&made)))
            return -1;
        _append_child(parent, inserted);
    }
    *stored = inserted;
    return 0;
}

} // namespace

/* ------------------------------------------------------------------ */
/* Node primitives                                                     */
/* ------------------------------------------------------------------ */

DicomElement *_make_node(const DicomElementHead *rec) {
    DicomElement *e = static_cast<DicomElement *>(calloc(1, sizeof(DicomElement)));
    if (e)
        _take_head(e, rec);
    return e;
}

void _take_head(DicomElement *e, const DicomElementHead *rec) {
    memcpy(e, rec, sizeof(DicomElementHead));
    e->value = nullptr;
    e->content_ts = 0;
}

bool _copy_value(DicomElementHead *to, const void *src, uint32_t length) {
    to->length = length;
    to->value = alloc_value(&to->length);
    if (!to->value) {
        to->length = 0;
        return false;
    }
    memcpy(to->value, src, length);
    return true;
}

void _link_between(DicomElement *parent, DicomElement *node, DicomElement *before,
                   DicomElement *after) {
    link_nodes(parent, node, before, after);
    _note_children_changed(parent);
}

void _append_child(DicomElement *parent, DicomElement *node) {
    DicomElement *previous_last = parent->last_child;
    link_nodes(parent, node, previous_last, nullptr);
    _note_appended(parent, previous_last, node);
}

void _unlink_element(DicomElement *e) {
    DicomElement *parent = e->parent;
    if (e->prev)
        e->prev->next = e->next;
    else if (parent)
        parent->first_child = e->next;
    if (e->next)
        e->next->prev = e->prev;
    else if (parent)
        parent->last_child = e->prev;
}

bool _prepare_head(DicomElementHead *out, const DicomElementHead *rec) {
    *out = *rec;
    out->value = nullptr;
    out->flags &= (uint16_t)~kDescriptorFlags;
    if (!rec->value || !has_value_bytes(rec->length))
        return true;
    return _copy_value(out, rec->value, rec->length) && own_descriptor_name(out, rec->flags);
}

DicomElement *_node_with(DicomElementHead *made) {
    DicomElement *node = _make_node(made);
    if (!node) {
        _free_head_value(made);
        return nullptr;
    }
    node->value = made->value;
    return node;
}

void _replace_element(DicomElement *e, DicomElementHead *made) {
    if (made->value)
        remove_children(e);
    if (!made->value && holds_raw_content(e)) {
        /* the raw bytes are its items, kept as the children of a sequence
         * of undefined length are: value, length, the syntax they are in
         * and the VR that makes them a sequence's */
        DicomElement kept = *e;
        _take_head(e, made);
        e->value = kept.value;
        e->length = kept.length;
        e->vr = kept.vr;
        e->content_ts = kept.content_ts;
        return;
    }
    _free_value(e);
    _take_head(e, made);
    e->value = made->value;
}

void _free_head_value(DicomElementHead *h) {
    if (!h->value)
        return;
    if ((h->flags & DE_FLAG_OWNS_PDS_NAME) && holds_pixel_descriptor(h)) {
        char *name = static_cast<PixelDataDesc *>(h->value)->filename;
        _release_name(name);
        free(name);
    }
    free(h->value);
    h->value = nullptr;
}

void _free_value(DicomElement *e) {
    _free_head_value(head_of(e));
}

void _free_element(DicomElement *e) {
    if (!e)
        return;
    free_children(e);
    _free_value(e);
    _forget_node(e);
    _drop_abc_links(e);
    free(e);
}

void _remove_element(DicomElement *e) {
    _forget_refs_into(e);
    _unlink_element(e);
    _free_element(e);
}

void _forget_refs_into(DicomElement *subtree) {
    forget_refs(_tree_owner(subtree), subtree);
}

void _sort_tree(DicomElement *parent) {
    if (parent)
        sort_children(_tree_owner(parent), parent);
}

/* ------------------------------------------------------------------ */
/* Exported operations                                                 */
/* ------------------------------------------------------------------ */

void init_IOObject(IOObject *io) {
    if (!io)
        return;
    io->object = nullptr;
    io->in_meta_ts = TS_NONE;
    io->in_ds_ts = TS_NONE;
    io->out_meta_ts = TS_EXPLICIT_LE;
    io->out_ds_ts = TS_IMPLICIT_LE;
    io->pass_ts = TS_IMPLICIT_LE;
    io->pass_encoding = PE_NATIVE;
    io->meta_header = 1;
    io->copy_pixels = 1;
    io->reserved = 1;
    io->png_param1 = 0;
    io->png_filter = 31;
    io->png_param3 = 0;
    io->zlib_level = -1;
}

char *padwithspace(char *text) {
    if (!text)
        return text;
    size_t len = strlen(text);
    if (len & 1) {
        text[len] = ' ';
        text[len + 1] = '\0';
    }
    return text;
}

void D_Alloc(DicomElementHead *elem) {
    if (elem)
        elem->value = alloc_value(&elem->length);
}

void SortCodes(DicomElement *parent) {
    try {
        _sort_tree(parent);
    } catch (const std::bad_alloc &) {
        /* the list that could not be sorted is left as it was */
    }
}

int16_t DO_openObject(IOObject *io) {
    if (!io)
        return 0;
    if (io->object)
        DO_closeObject(io);
    DicomObject *obj = static_cast<DicomObject *>(calloc(1, sizeof(DicomObject)));
    DicomElement *root = static_cast<DicomElement *>(calloc(1, sizeof(DicomElement)));
    if (!obj || !root) {
        free(obj);
        free(root);
        return -1;
    }
    obj->root = root;
    obj->insert_parent = root;
    obj->cursor = nullptr;
    if (!_book_tree(root, obj)) {
        free(obj);
        free(root);
        return -1;
    }
    io->object = obj;
    return 0;
}

int16_t DO_closeObject(IOObject *io) {
    if (!io || !io->object)
        return 0;
    DicomObject *obj = io->object;
    _drop_prv_links(obj, nullptr);
    free_children(obj->root);
    _unbook_tree(obj->root);
    free(obj->root);
    free(obj);
    io->object = nullptr;
    return 0;
}

int16_t DO_searchForElement(DicomObject *obj, DicomElementHead *rec) {
    if (!obj || !rec)
        return -1;
    DicomElement *e = first_child_with(obj->root, tag_key(rec->group, rec->element));
    if (!e) {
        rec->value = nullptr;
        rec->length = 0;
        return -1;
    }
    head_to_record(rec, e);
    /* The caller owns the buffer; a PixelDataDesc in it stays marked as
     * one but lends the node's file name, which a copy handed back in does
     * not take over. */
    rec->flags &= ~DE_FLAG_OWNS_PDS_NAME;
    if (!e->value)
        return 0;
    return _copy_value(rec, e->value, e->length) ? 0 : -1;
}

namespace {

/* DO_addElement; for a read (replacing.whole), the earlier element of the
 * same key that the reader found under the insertion parent becomes the
 * added one with all it holds, also when the added one has no value (its
 * children or raw content go), and the insertion parent moves into what
 * the record's VR code makes a sequence (the reader gives it the VR the
 * element is read by), not what the dictionary calls one. */
int16_t add_element(AppData *app, DicomObject *obj, DicomElementHead *rec, DicomElement **added,
                    Replacing replacing) {
    if (added)
        *added = nullptr;
    if (!obj || !rec)
        return 0;
    uint32_t key = tag_key(rec->group, rec->element);
    bool delimiter = key == TAG_KEY_ITEM_DELIM || key == TAG_KEY_SEQ_DELIM;
    if (delimiter && rec->length == kUndefined) {
        move_insertion_parent_up(obj);
        return 0;
    }
    DicomElement *inserted = nullptr;
    if (store_under(obj->insert_parent, rec, replacing, &inserted) != 0)
        return -1;
    if (added)
        *added = inserted;

    if (key == TAG_KEY_ITEM) {
        obj->insert_parent = inserted;
    } else if (delimiter) {
        move_insertion_parent_up(obj);
    } else {
        int vr = rec->vr;
        if (!replacing.whole)
            getVR(app, key, &vr);
        if (vr == VR_SQ)
            obj->insert_parent = inserted;
    }
    return 0;
}

} // namespace

int16_t DO_addElement(AppData *app, DicomObject *obj, DicomElementHead *rec) {
    return add_element(app, obj, rec, nullptr, Replacing{false, nullptr});
}

int16_t _add_element(AppData *app, DicomObject *obj, DicomElementHead *rec, DicomElement *earlier,
                     DicomElement **added) {
    return add_element(app, obj, rec, added, Replacing{true, earlier});
}

int16_t _add_top_level(DicomObject *obj, DicomElementHead *rec) {
    if (!obj || !rec)
        return 0;
    uint32_t key = tag_key(rec->group, rec->element);
    if ((key == TAG_KEY_ITEM_DELIM || key == TAG_KEY_SEQ_DELIM) && rec->length == kUndefined)
        return 0;
    DicomElement *inserted = nullptr;
    return store_under(obj->root, rec, Replacing{false, nullptr}, &inserted);
}

int16_t DO_changeElement(AppData *app, DicomObject *obj, DicomElementHead *rec) {
    if (!obj || !rec)
        return 0;
    DicomElement *e = first_child_with(obj->root, tag_key(rec->group, rec->element));
    if (!e) {
        int vr = -1;
        DOU_defXVRTypeByTags(app, rec->group, rec->element, &vr);
        rec->vr = vr;
        return DO_addElement(app, obj, rec);
    }
    /* The new value is made before the old one goes, so a record whose
     * value is the element's own buffer is copied safely. */
    DicomElementHead made;
    const bool copied = _prepare_head(&made, rec) && (made.value || !rec->value);
    _replace_element(e, &made);
    return copied ? 0 : -1;
}

int16_t DO_deleteElement(AppData *app, DicomObject *obj, DicomElementHead *rec) {
    (void)app;
    if (!obj || !rec)
        return 0;
    DicomElement *e = first_child_with(obj->root, tag_key(rec->group, rec->element));
    if (!e)
        return 0;
    _remove_element(e);
    return 0;
}
