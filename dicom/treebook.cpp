/*
 * treebook.cpp -- what the object module knows about element trees beyond
 * the nodes themselves: the object that owns each root (so that code holding
 * only an element can keep that object's cursor and insertion parent off
 * freed nodes), per parent the append hint that makes DO_addElement
 * cheap for elements arriving in tag order, and the pixel data file names
 * that nodes own (so that no two nodes ever free one name).
 *
 * It lives beside the trees because the layout of the records is fixed.
 * Cost: one hash-table entry per open object and one per parent that
 * DO_addElement has appended to (a few dozen bytes each, gone with the
 * parent) and one per pixel data element; one lock of a process-wide mutex per added element, per node
 * freed (a tree of n nodes takes it n times) and per owner lookup.  The
 * mutex keeps objects of different threads apart; it is held only for a
 * table lookup or update, never while a tree is walked, and a tree itself
 * belongs to one thread at a time.  Nothing here throws: a hint that
 * cannot be stored for want of memory is dropped, and the next add scans.
 */
#include "treebook_int.h"

#include <mutex>
#include <new>
#include <unordered_map>
#include <unordered_set>

#include "object_int.h"

namespace {

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
 */
struct AppendHint {
    const DicomElement *last;
    bool has_bound;
    uint32_t bound;

    void raise_to(uint32_t key) {
        if (key != TAG_KEY_ITEM && (!has_bound || key > bound)) {
            has_bound = true;
            bound = key;
        }
    }
};

struct TreeBook {
    std::mutex lock;
    std::unordered_map<const DicomElement *, DicomObject *> owners; /* root -> object */
    std::unordered_map<const DicomElement *, AppendHint> hints;     /* parent -> hint */
    std::unordered_set<const char *> names; /* PixelDataDesc file names owned by nodes */
};

/* Made in static storage on first use and never destroyed, so that it
 * needs no heap and stays usable while the process exits. */
TreeBook &book() {
    alignas(TreeBook) static unsigned char storage[sizeof(TreeBook)];
    static TreeBook *b = new (storage) TreeBook;
    return *b;
}

/* Stores the hint of parent; without memory for it, parent has none. */
void store_hint(TreeBook &b, const DicomElement *parent, const AppendHint &hint) {
    try {
        b.hints[parent] = hint;
    } catch (const std::bad_alloc &) {
        b.hints.erase(parent);
    }
}

} // namespace

bool _book_tree(const DicomElement *root, DicomObject *obj) {
    TreeBook &b = book();
    std::lock_guard<std::mutex> g(b.lock);
    try {
        b.owners[root] = obj;
        return true;
    } catch (const std::bad_alloc &) {
        return false;
    }
}

void _unbook_tree(const DicomElement *root) {
    TreeBook &b = book();
    std::lock_guard<std::mutex> g(b.lock);
    b.owners.erase(root);
    b.hints.erase(root);
}

DicomObject *_tree_owner(const DicomElement *e) {
    if (!e)
        return nullptr;
    while (e->parent)
        e = e->parent;
    TreeBook &b = book();
    std::lock_guard<std::mutex> g(b.lock);
    auto it = b.owners.find(e);
    return it == b.owners.end() ? nullptr : it->second;
}

DicomElement *_find_child_to_replace(DicomElement *parent, uint32_t key) {
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
        fresh.raise_to(k);
    }
    if (fresh.last) {
        std::lock_guard<std::mutex> g(b.lock);
        store_hint(b, parent, fresh);
    }
    return nullptr;
}

void _note_appended(const DicomElement *parent, const DicomElement *previous_last,
                    const DicomElement *node) {
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
    next.raise_to(element_key(node));
    store_hint(b, parent, next);
}

void _forget_node(const DicomElement *node) {
    TreeBook &b = book();
    std::lock_guard<std::mutex> g(b.lock);
    if (b.hints.empty())
        return;
    b.hints.erase(node);
    if (node->parent) {
        auto it = b.hints.find(node->parent);
        if (it != b.hints.end() && it->second.last == node)
            b.hints.erase(it);
    }
}

void _note_children_changed(const DicomElement *parent) {
    TreeBook &b = book();
    std::lock_guard<std::mutex> g(b.lock);
    b.hints.erase(parent);
}

bool _claim_name(const char *name) {
    TreeBook &b = book();
    std::lock_guard<std::mutex> g(b.lock);
    try {
        return b.names.insert(name).second;
    } catch (const std::bad_alloc &) {
        return false;
    }
}

void _release_name(const char *name) {
    TreeBook &b = book();
    std::lock_guard<std::mutex> g(b.lock);
    b.names.erase(name);
}
