/*
 * object.cpp -- one DICOM object in memory: IOObject defaults, value
 * buffers, the element tree and its sorting by tag, and the DO_ operations
 * that open, close, search, add, change and delete top-level elements.
 *
 * Besides the tree itself, a small book kept here records which object owns
 * a root (so that code holding only an element can keep the object's cursor
 * and insertion parent off freed nodes) and the append hints that make
 * DO_addElement cheap for elements arriving in tag order.
 */
#include "object_int.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <vector>

static_assert(offsetof(DicomElement, value) == offsetof(DicomElementHead, value), "head layout");
static_assert(offsetof(DicomElement, group) == offsetof(DicomElementHead, group), "head layout");
static_assert(offsetof(DicomElement, element) == offsetof(DicomElementHead, element), "head layout");
static_assert(offsetof(DicomElement, length) == offsetof(DicomElementHead, length), "head layout");
static_assert(offsetof(DicomElement, vr) == offsetof(DicomElementHead, vr), "head layout");
static_assert(offsetof(DicomElement, flags) == offsetof(DicomElementHead, flags), "head layout");
static_assert(offsetof(DicomElement, next) >= sizeof(DicomElementHead), "head layout");

namespace {

const uint32_t kUndefined = 0xFFFFFFFFu;

/*
 * Append hint of one parent.  DO_addElement must replace the FIRST child
 * with the key of an added value, so in general it scans the whole list.
 * The hint holds an upper bound of the non-item keys under the parent,
 * noted together with the parent's last child at that time.  While the last
 * child is still that node, nothing was appended behind our back; removals
 * only lower the real maximum, so the bound stays an upper bound.  A key
 * above it cannot be present: no scan is needed, and reading a list in tag
 * order costs O(1) per element.  Any other key falls back to the exact scan,
 * which also renews the hint.  Freeing the noted last child or the parent
 * drops the hint, so a reused address can never revive it; linking into
 * the middle of a list calls _note_children_changed.
 *
 * This lives here rather than in the nodes because the records' layout is
 * fixed; a global table guarded by a mutex keeps objects of different
 * threads apart.
 */
struct AppendHint {
    const DicomElement *last;
    bool has_bound;
    uint32_t bound;
};

struct TreeBook {
    std::mutex lock;
    std::unordered_map<const DicomElement *, DicomObject *> owners; /* root -> object */
    std::unordered_map<const DicomElement *, AppendHint> hints;     /* parent -> hint */
};

TreeBook &book() {
    static TreeBook *b = new TreeBook; /* never destroyed: usable during exit */
    return *b;
}

void head_from_record(DicomElement *e, const DicomElementHead *rec) {
    memcpy(e, rec, sizeof(DicomElementHead));
}

void head_to_record(DicomElementHead *rec, const DicomElement *e) {
    memcpy(rec, e, sizeof(DicomElementHead));
}

DicomElement *new_node(const DicomElementHead *rec) {
    DicomElement *e = static_cast<DicomElement *>(calloc(1, sizeof(DicomElement)));
    if (e)
        head_from_record(e, rec);
    return e;
}

/* The buffer rules of D_Alloc on any (value, length) pair. */
void *alloc_value(uint32_t *length) {
    if (*length == 0 || *length == kUndefined)
        return nullptr;
    if (*length & 1)
        ++*length;
    void *buf = calloc(1, *length);
    if (!buf)
        *length = 0;
    return buf;
}

/* Gives e a zeroed even-sized buffer holding the first `length` bytes of
 * src; false (e without value, length 0) when no buffer could be made. */
bool set_value_copy(DicomElement *e, const void *src, uint32_t length) {
    e->length = length;
    e->value = alloc_value(&e->length);
    if (!e->value) {
        e->length = 0;
        return false;
    }
    memcpy(e->value, src, length);
    return true;
}

bool is_within(const DicomElement *node, const DicomElement *subtree) {
    for (; node; node = node->parent)
        if (node == subtree)
            return true;
    return false;
}

DicomObject *owner_of(const DicomElement *e) {
    if (!e)
        return nullptr;
    while (e->parent)
        e = e->parent;
    TreeBook &b = book();
    std::lock_guard<std::mutex> g(b.lock);
    auto it = b.owners.find(e);
    return it == b.owners.end() ? nullptr : it->second;
}

void forget_refs(DicomObject *obj, const DicomElement *subtree) {
    if (!obj)
        return;
    if (is_within(obj->cursor, subtree))
        obj->cursor = nullptr;
    if (is_within(obj->insert_parent, subtree))
        obj->insert_parent = obj->root;
}

/* A node is being freed: hints of which it is the parent or the noted last
 * child go with it. */
void drop_hints_of(const DicomElement *e) {
    TreeBook &b = book();
    std::lock_guard<std::mutex> g(b.lock);
    if (b.hints.empty())
        return;
    b.hints.erase(e);
    if (e->parent) {
        auto it = b.hints.find(e->parent);
        if (it != b.hints.end() && it->second.last == e)
            b.hints.erase(it);
    }
}

/* The first child of parent with this key, or null.  See AppendHint. */
DicomElement *find_child_to_replace(DicomElement *parent, uint32_t key) {
    TreeBook &b = book();
    if (parent->last_child) {
        std::lock_guard<std::mutex> g(b.lock);
        auto it = b.hints.find(parent);
        if (it != b.hints.end() && it->second.last == parent->last_child &&
            (!it->second.has_bound || key > it->second.bound))
            return nullptr;
    }
    AppendHint fresh = {parent->last_child, false, 0};
    for (DicomElement *c = parent->first_child; c; c = c->next) {
        uint32_t k = element_key(c);
        if (k == key)
            return c;
        if (k != TAG_KEY_ITEM && (!fresh.has_bound || k > fresh.bound)) {
            fresh.has_bound = true;
            fresh.bound = k;
        }
    }
    if (fresh.last) {
        std::lock_guard<std::mutex> g(b.lock);
        b.hints[parent] = fresh;
    }
    return nullptr;
}

/* node was appended to parent, whose last child was previous_last. */
void note_appended(DicomElement *parent, const DicomElement *previous_last, DicomElement *node) {
    TreeBook &b = book();
    std::lock_guard<std::mutex> g(b.lock);
    AppendHint next = {node, false, 0};
    if (previous_last) {
        auto it = b.hints.find(parent);
        if (it == b.hints.end() || it->second.last != previous_last) {
            if (it != b.hints.end())
                b.hints.erase(it);
            return;
        }
        next.has_bound = it->second.has_bound;
        next.bound = it->second.bound;
    }
    uint32_t k = element_key(node);
    if (k != TAG_KEY_ITEM && (!next.has_bound || k > next.bound)) {
        next.has_bound = true;
        next.bound = k;
    }
    b.hints[parent] = next;
}

void append_child(DicomElement *parent, DicomElement *node) {
    DicomElement *previous_last = parent->last_child;
    node->parent = parent;
    node->next = nullptr;
    node->prev = previous_last;
    if (previous_last)
        previous_last->next = node;
    else
        parent->first_child = node;
    parent->last_child = node;
    note_appended(parent, previous_last, node);
}

DicomElement *find_top_level(DicomObject *obj, uint32_t key) {
    for (DicomElement *c = obj->root->first_child; c; c = c->next)
        if (element_key(c) == key)
            return c;
    return nullptr;
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
 * O(n log n) (and O(n) for a list already in order).
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

    DicomElement *prev = nullptr;
    for (DicomElement *e : kept) {
        e->prev = prev;
        if (prev)
            prev->next = e;
        prev = e;
    }
    prev->next = nullptr;
    parent->first_child = kept.front();
    parent->last_child = kept.back();

    for (DicomElement *d : dropped) {
        forget_refs(owner, d);
        _free_element(d);
    }
}

} // namespace

/* ------------------------------------------------------------------ */
/* Internals shared with the rest of the library                       */
/* ------------------------------------------------------------------ */

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

void _free_value(DicomElement *e) {
    if (!e->value)
        return;
    if (e->group == 0x7FE0 && e->element == 0x0010 && (e->flags & DE_FLAG_OWNS_PDS_NAME) &&
        e->length == sizeof(PixelDataDesc)) {
        free(static_cast<PixelDataDesc *>(e->value)->filename);
    }
    free(e->value);
    e->value = nullptr;
}

void _free_element(DicomElement *e) {
    if (!e)
        return;
    DicomElement *c = e->first_child;
    while (c) {
        DicomElement *next = c->next;
        _free_element(c);
        c = next;
    }
    _free_value(e);
    drop_hints_of(e);
    free(e);
}

void _forget_refs_into(DicomElement *subtree) {
    forget_refs(owner_of(subtree), subtree);
}

void _note_children_changed(const DicomElement *parent) {
    TreeBook &b = book();
    std::lock_guard<std::mutex> g(b.lock);
    b.hints.erase(parent);
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
    if (parent)
        sort_children(owner_of(parent), parent);
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
    {
        TreeBook &b = book();
        std::lock_guard<std::mutex> g(b.lock);
        b.owners[root] = obj;
    }
    io->object = obj;
    return 0;
}

int16_t DO_closeObject(IOObject *io) {
    if (!io || !io->object)
        return 0;
    DicomObject *obj = io->object;
    DicomElement *c = obj->root->first_child;
    while (c) {
        DicomElement *next = c->next;
        _free_element(c);
        c = next;
    }
    {
        TreeBook &b = book();
        std::lock_guard<std::mutex> g(b.lock);
        b.owners.erase(obj->root);
        b.hints.erase(obj->root);
    }
    free(obj->root);
    free(obj);
    io->object = nullptr;
    return 0;
}

int16_t DO_searchForElement(DicomObject *obj, DicomElementHead *rec) {
    if (!obj || !rec)
        return -1;
    DicomElement *e = find_top_level(obj, tag_key(rec->group, rec->element));
    if (!e) {
        rec->value = nullptr;
        rec->length = 0;
        return -1;
    }
    head_to_record(rec, e);
    rec->flags &= ~DE_FLAG_OWNS_PDS_NAME; /* the caller owns the buffer, not the name */
    if (!e->value)
        return 0;
    uint32_t length = e->length;
    rec->value = alloc_value(&rec->length);
    if (!rec->value) {
        rec->length = 0;
        return -1;
    }
    memcpy(rec->value, e->value, length);
    return 0;
}

int16_t DO_addElement(AppData *app, DicomObject *obj, DicomElementHead *rec) {
    return _add_element(app, obj, rec, nullptr);
}

int16_t _add_element(AppData *app, DicomObject *obj, DicomElementHead *rec,
                     DicomElement **added) {
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

    DicomElement *node = new_node(rec);
    if (!node)
        return -1;
    DicomElement *inserted = node;
    if (rec->value) {
        if (!set_value_copy(node, rec->value, rec->length)) {
            free(node);
            return -1;
        }
        DicomElement *same = key == TAG_KEY_ITEM ? nullptr
                                                 : find_child_to_replace(obj->insert_parent, key);
        if (same) {
            _free_value(same);
            head_from_record(same, reinterpret_cast<DicomElementHead *>(node));
            same->content_ts = 0; /* the new value's encoding is not known here */
            free(node);
            inserted = same;
        }
    }
    if (inserted == node)
        append_child(obj->insert_parent, node);
    if (added)
        *added = inserted;

    if (key == TAG_KEY_ITEM) {
        obj->insert_parent = inserted;
    } else if (delimiter) {
        move_insertion_parent_up(obj);
    } else {
        int vr = -1;
        getVR(app, key, &vr);
        if (vr == VR_SQ)
            obj->insert_parent = inserted;
    }
    return 0;
}

int16_t DO_changeElement(AppData *app, DicomObject *obj, DicomElementHead *rec) {
    if (!obj || !rec)
        return 0;
    DicomElement *e = find_top_level(obj, tag_key(rec->group, rec->element));
    if (!e) {
        int vr = -1;
        DOU_defXVRTypeByTags(app, rec->group, rec->element, &vr);
        rec->vr = vr;
        return DO_addElement(app, obj, rec);
    }
    /* The new buffer is made before the old value goes, so a record whose
     * value is the element's own buffer is copied safely. */
    DicomElement old = *e;
    head_from_record(e, rec);
    e->value = nullptr;
    e->content_ts = 0;
    int16_t result = 0;
    if (rec->value && !set_value_copy(e, rec->value, rec->length))
        result = -1;
    _free_value(&old);
    return result;
}

int16_t DO_deleteElement(AppData *app, DicomObject *obj, DicomElementHead *rec) {
    (void)app;
    if (!obj || !rec)
        return 0;
    DicomElement *e = find_top_level(obj, tag_key(rec->group, rec->element));
    if (!e)
        return 0;
    _unlink_element(e);
    forget_refs(obj, e);
    _free_element(e);
    return 0;
}
