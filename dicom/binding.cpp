/*
 * binding.cpp -- links the object definition in DefHolder.abc to the
 * elements of one DicomObject: every attribute definition learns the
 * element it describes and every element that found one gets its bound
 * flag.  What the definition files do not describe is filled in: overlay
 * and curve groups take the definitions of their module's template group,
 * the items of a sequence are paired with Item definitions (the first one
 * cloned for extra items), and every element left over gets a type "3"
 * definition made here -- at the top level in the last module, inside an
 * item under its Item definition.  The DEF_ edits change the object at a
 * definition and bind again.
 *
 * Only the first few items of a sequence get whole copies; a later item
 * gets a bare Item definition, deferred, whose attribute definitions are
 * made and bound when it is walked (BindItemDef, or a copy of its own that
 * the verifier lets go) and let go when the walk leaves it (ReleaseItemDef),
 * so that binding a long sequence takes one node an item and walking it
 * no more.  The binding itself binds a copy of it and lets it go, so that
 * the bound flags of the elements are those of a whole binding.
 *
 * Links are plain pointers into the object's tree, and no link outlives
 * its element: a rebinding clears them all before it binds, and every
 * element knows the definitions bound to it (the first one itself, others
 * through a table kept here), so that whatever frees an element (a delete,
 * a replacement, a sort, the save's checks, closing the object, an import
 * that fails) unbinds them.  The definitions the binding made under a copy
 * of an Item definition (whole, or one a deferred Item definition was
 * bound through) are put aside when the copy goes and taken up again for
 * the next element of their tag: like every catch-all definition they live
 * until DoneABCDef.  Memory running out while binding is logged as such.
 */
#include <atomic>
#include <mutex>
#include <new>
#include <unordered_map>
#include <utility>

#include "binding_int.h"
#include "object_int.h"
#include "objdefs_int.h"

namespace {

const uint32_t kRepeatingGroupMask = 0xFFE0FFFFu; /* 5000-501F, 6000-601F fold */
const uint32_t kFirstElementKey = 0xFFFFFFFFu;    /* DE_search: the first element */
const int kWholeItemDefs = 4; /* items of a sequence whose Item definitions are whole copies */

struct Binder {
    AppData *app;
    DicomObject *obj;
    ABCDef *tree;
    char *empty; /* the pool's empty text, fourth text of what binding makes */
};

uint16_t group_of(uint32_t tag) {
    return (uint16_t)(tag >> 16);
}

bool made_by_binding(const AttrDef *d) {
    return (d->flags & ATTR_FLAG_MADE_BY_BINDING) != 0;
}

/* ---- links and what the binding puts aside ---------------------------- */

/* An element names the first definition bound to it (def_link); the
 * others bound to it as well (a tag in two modules, or a second definition
 * tree) are noted here by element, and per definition tree, by tag, the
 * made definitions whose Item definition copy went.  Made in static
 * storage on first use and never destroyed, so that it stays usable while
 * the process exits; the mutex keeps the objects of different threads
 * apart, and `extra` spares the lock while no element has a second link. */
struct LinkBook {
    std::mutex lock;
    std::atomic<size_t> extra{0};
    std::unordered_multimap<const DicomElement *, AttrDef *> more_links;
    std::unordered_map<const ABCDef *, std::unordered_multimap<uint32_t, AttrDef *>> retired;
};

LinkBook &link_book() {
    alignas(LinkBook) static unsigned char storage[sizeof(LinkBook)];
    static LinkBook *b = new (storage) LinkBook;
    return *b;
}

void unbind(AttrDef *def) {
    DicomElement *e = def->element;
    if (e == nullptr)
        return;
    def->element = nullptr;
    if (e->def_link == def) {
        e->def_link = nullptr;
        return;
    }
    LinkBook &book = link_book();
    if (book.extra == 0)
        return; /* no element has a second link */
    std::lock_guard<std::mutex> g(book.lock);
    auto range = book.more_links.equal_range(e);
    for (auto it = range.first; it != range.second; ++it)
        if (it->second == def) {
            book.more_links.erase(it);
            book.extra = book.more_links.size();
            return;
        }
}

/* Links def to e; false, with def unbound, when memory ran out for
 * noting a second link of e. */
bool bind(AttrDef *def, DicomElement *e) {
    if (def->element != e) {
        unbind(def);
        if (e->def_link == nullptr) {
            e->def_link = def;
        } else {
            LinkBook &book = link_book();
            std::lock_guard<std::mutex> g(book.lock);
            try {
                book.more_links.emplace(e, def);
            } catch (const std::bad_alloc &) {
                return false;
            }
            book.extra = book.more_links.size();
        }
        def->element = e;
    }
    e->flags |= DE_FLAG_BOUND;
    return true;
}

/* A made definition of the tag put aside for tree, now owned by owner
 * (not linked yet); NULL when there is none. */
AttrDef *take_retired(const ABCDef *tree, uint32_t tag, uint16_t owner_kind, void *owner) {
    LinkBook &book = link_book();
    std::lock_guard<std::mutex> g(book.lock);
    auto of_tree = book.retired.find(tree);
    if (of_tree == book.retired.end())
        return nullptr;
    auto it = of_tree->second.find(tag);
    if (it == of_tree->second.end())
        return nullptr;
    AttrDef *d = it->second;
    of_tree->second.erase(it);
    d->owner_kind = owner_kind;
    d->owner = owner;
    return d;
}

/* Puts d aside for tree; false when memory ran out for that. */
bool put_aside(const ABCDef *tree, AttrDef *d) {
    LinkBook &book = link_book();
    std::lock_guard<std::mutex> g(book.lock);
    try {
        book.retired[tree].emplace(d->tag, d);
        return true;
    } catch (const std::bad_alloc &) {
        return false;
    }
}

/* The element with the tag among the children of an item, or among the
 * top-level elements when item is NULL; the cursor is left where the
 * search ended.  A binder without object (an Item definition bound on its
 * own, always with its item) only looks and leaves every cursor alone. */
DicomElement *find_element(const Binder &b, DicomElement *item, uint32_t tag) {
    if (tag == kFirstElementKey || b.obj == nullptr) {
        /* DE_search reads (FFFF,FFFF) as "the first top-level element" */
        DicomElement *e = item ? item->first_child : b.obj->root->first_child;
        while (e != nullptr && element_key(e) != tag)
            e = e->next;
        if (b.obj != nullptr)
            b.obj->cursor = e;
        return e;
    }
    DicomElement *pos = item;
    DE_search(b.app, b.obj, &pos, group_of(tag), (uint16_t)tag, 0);
    return pos;
}

/* Group lengths and the meta group never get a definition of their own. */
bool wants_catch_all(const DicomElement *e) {
    return (e->flags & DE_FLAG_BOUND) == 0 && e->element != 0x0000 && e->group >= 0x0008;
}

/* A type "3" definition for an element that nothing describes (one put
 * aside before, or a new one), linked under its owner and bound to the
 * element; false when memory ran out. */
bool add_catch_all(const Binder &b, DicomElement *e, uint16_t owner_kind, void *owner) {
    AttrDef *d = take_retired(b.tree, element_key(e), owner_kind, owner);
    if (d == nullptr) {
        const char *name = nullptr;
        getAttrName(b.app, element_key(e), &name);
        d = _new_attr_def(element_key(e), name, "3", b.empty, owner_kind, owner);
        if (d == nullptr)
            return false;
        d->flags |= ATTR_FLAG_MADE_BY_BINDING;
    }
    _link_attr_def(d);
    return bind(d, e);
}

/* ---- reset ------------------------------------------------------------ */

void clear_element_flags(DicomElement *parent) {
    for (DicomElement *c = parent->first_child; c != nullptr; c = c->next) {
        c->flags &= (uint16_t)~DE_FLAG_BOUND;
        clear_element_flags(c);
    }
}

void clear_def(AttrDef *d) {
    unbind(d);
    d->flags &= (uint16_t)~ATTR_FLAG_MADE_BY_BINDING;
}

/* Drops every link, at every depth, and nothing else. */
void forget_links(AttrDef *first) {
    for (AttrDef *d = first; d != nullptr; d = d->next) {
        unbind(d);
        forget_links(d->first_child);
    }
}

/* What the binding made anywhere under parent (a copy of an Item
 * definition that is going) is taken out, unbound and put aside with its
 * subtree, without owner until it is taken up again; what cannot be put
 * aside for want of memory goes with parent. */
void put_aside_made_defs(const ABCDef *tree, AttrDef *parent) {
    for (AttrDef *d = parent->first_child, *next; d != nullptr; d = next) {
        next = d->next;
        if (!made_by_binding(d)) {
            put_aside_made_defs(tree, d);
        } else if (put_aside(tree, d)) {
            _unlink_attr_def(d);
            d->owner = nullptr;
            unbind(d);
            forget_links(d->first_child);
        }
    }
}

/* A copy of an Item definition goes; what the binding made in it stays. */
void drop_item_copy(const ABCDef *tree, AttrDef *item_def) {
    put_aside_made_defs(tree, item_def);
    _drop_attr_def(item_def);
}

/* Unbinds a list of definitions.  Under each sequence among them the
 * first Item definition becomes the only one, and its list is unbound the
 * same way. */
void reset_defs(AppData *app, const ABCDef *tree, AttrDef *first) {
    for (AttrDef *d = first; d != nullptr; d = d->next) {
        clear_def(d);
        AttrDef *item = d->first_child;
        if (item == nullptr || !_is_sq_tag(app, d->tag))
            continue;
        while (item->next != nullptr)
            drop_item_copy(tree, item->next);
        clear_def(item);
        reset_defs(app, tree, item->first_child);
    }
}

void reset_abc_binding(AppData *app, ABCDef *tree, DicomObject *obj) {
    if (obj != nullptr)
        clear_element_flags(obj->root);
    for (ModuleDef *m = tree->first; m != nullptr; m = m->next)
        reset_defs(app, tree, m->first);
}

/* ---- repeating groups ------------------------------------------------- */

AttrDef *top_def_with_tag(ModuleDef *m, uint32_t tag) {
    for (AttrDef *d = m->first; d != nullptr; d = d->next)
        if (d->tag == tag)
            return d;
    return nullptr;
}

bool has_repeating_match(const ModuleDef *m, uint32_t tag) {
    for (const AttrDef *d = m->first; d != nullptr; d = d->next)
        if ((d->tag & kRepeatingGroupMask) == (tag & kRepeatingGroupMask))
            return true;
    return false;
}

/* The module's template group (the group of its first definition in the
 * 50xx or 60xx range given by high) is taken over by `group`: re-targeted
 * when no element holds it yet, else copied.  false when memory ran out. */
bool bind_repeating_group(ModuleDef *m, uint16_t high, uint16_t group) {
    const AttrDef *first = m->first;
    while (first != nullptr && (group_of(first->tag) & 0xFF00) != high)
        first = first->next;
    if (first == nullptr)
        return true;
    const uint16_t tmpl = group_of(first->tag);
    if (tmpl == group)
        return true; /* the group has its definitions; the element is not among them */
    bool in_use = false;
    for (const AttrDef *d = m->first; d != nullptr && !in_use; d = d->next)
        in_use = group_of(d->tag) == tmpl && d->element != nullptr;
    const uint32_t retarget = (uint32_t)group << 16;
    if (!in_use) {
        for (AttrDef *d = m->first; d != nullptr; d = d->next)
            if (group_of(d->tag) == tmpl && !made_by_binding(d))
                d->tag = retarget | (d->tag & 0xFFFFu);
        return true;
    }
    const AttrDef *end = m->last; /* copies go behind it */
    for (const AttrDef *d = m->first;; d = d->next) {
        if (group_of(d->tag) == tmpl && !made_by_binding(d)) {
            AttrDef *copy = _new_attr_def(retarget | (d->tag & 0xFFFFu), d->name, d->type, d->text,
                                          ATTR_OWNER_MODULE, m);
            if (copy == nullptr)
                return false;
            copy->flags = d->flags;
            _link_attr_def(copy);
        }
        if (d == end)
            return true;
    }
}

/* Overlay elements look in "C.9.2" (their number of frames in "C.9.3"),
 * curve elements in "C.10.2"; other groups have no module here. */
ModuleDef *repeating_group_module(ABCDef *tree, const DicomElement *e) {
    const bool even = (e->group & 1) == 0;
    const char *reference = nullptr;
    if (even && e->group >= 0x5000 && e->group <= 0x501E)
        reference = "C.10.2";
    else if (even && e->group >= 0x6000 && e->group <= 0x601E)
        reference = e->element == 0x0015 ? "C.9.3" : "C.9.2";
    return reference ? _find_module_def(tree, reference) : nullptr;
}

enum class Found { Bound, NotBound, NoMemory };

Found bind_in_repeating_group(ModuleDef *m, DicomElement *e) {
    const uint32_t key = element_key(e);
    AttrDef *d = top_def_with_tag(m, key);
    if (d == nullptr && has_repeating_match(m, key)) {
        if (!bind_repeating_group(m, e->group & 0xFF00, e->group))
            return Found::NoMemory;
        d = top_def_with_tag(m, key);
    }
    if (d == nullptr)
        return Found::NotBound;
    return bind(d, e) ? Found::Bound : Found::NoMemory;
}

/* ---- sequences and items ---------------------------------------------- */

bool is_deferred(const AttrDef *d) {
    return (d->flags & ATTR_FLAG_ITEM_DEFERRED) != 0;
}

AttrDef *clone_tree(const AttrDef *def, uint16_t owner_kind, void *owner);

/* Appends to `to` copies of the children of `from` and of their subtrees,
 * without what binding made.  Under a sequence only the first Item
 * definition is copied: binding pairs further items anew.  false when
 * memory ran out (the copies made stay under `to`). */
bool clone_children(const AttrDef *from, AttrDef *to) {
    for (const AttrDef *d = from->first_child; d != nullptr; d = d->next) {
        if (made_by_binding(d) || (d->tag == TAG_KEY_ITEM_DEF && d != from->first_child))
            continue;
        AttrDef *child = clone_tree(d, ATTR_OWNER_ATTR, to);
        if (child == nullptr)
            return false;
        _link_attr_def(child);
    }
    return true;
}

/* A detached copy of def and of its subtree without what binding made. */
AttrDef *clone_tree(const AttrDef *def, uint16_t owner_kind, void *owner) {
    AttrDef *c = _new_attr_def(def->tag, def->name, def->type, def->text, owner_kind, owner);
    if (c == nullptr)
        return nullptr;
    c->flags = def->flags;
    if (!clone_children(def, c)) {
        _free_attr_def(c);
        return nullptr;
    }
    return c;
}

/* A copy of the Item definition appended under the sequence attribute. */
AttrDef *clone_item_def(const AttrDef *item_def, AttrDef *sq) {
    AttrDef *c = clone_tree(item_def, ATTR_OWNER_ATTR, sq);
    if (c != nullptr)
        _link_attr_def(c);
    return c;
}

/* The Item definition of a sequence's item number `index` (from 0) when
 * the definitions run out: a whole copy of the first for the first few
 * items, which is what a caller walking the tree of an ordinary file
 * meets; for any later item only the node, deferred, so that a sequence
 * of many items costs one definition per item.  Its attribute definitions
 * are made when it is walked (BindItemDef, the verifier). */
AttrDef *new_item_def(AttrDef *sq, int index) {
    const AttrDef *first = sq->first_child;
    if (index < kWholeItemDefs)
        return clone_item_def(first, sq);
    AttrDef *d =
        _new_attr_def(first->tag, first->name, first->type, first->text, ATTR_OWNER_ATTR, sq);
    if (d != nullptr) {
        d->flags = first->flags | ATTR_FLAG_ITEM_DEFERRED;
        _link_attr_def(d);
    }
    return d;
}

/* Whether item_def stands after the items whose Item definitions are
 * whole copies (and so is none of them, nor the first). */
bool after_whole_item_defs(const AttrDef *item_def) {
    int before = 0;
    for (const AttrDef *d = item_def->prev; d != nullptr && before < kWholeItemDefs; d = d->prev)
        ++before;
    return before == kWholeItemDefs;
}

bool bind_sq_items(const Binder &b, AttrDef *sq);
bool bind_nested_sequences(const Binder &b, AttrDef *item_def);
AttrDef *bound_item_copy(const Binder &b, const AttrDef *item_def);

/* The attributes of one paired item: those its Item definition lists, then
 * a definition of its own for every other element before the item's
 * delimiter. */
bool bind_item_elements(const Binder &b, AttrDef *item_def) {
    DicomElement *item = item_def->element;
    for (AttrDef *d = item_def->first_child; d != nullptr; d = d->next) {
        DicomElement *e = find_element(b, item, d->tag);
        if (e != nullptr && !bind(d, e))
            return false;
    }
    for (DicomElement *c = item->first_child; c != nullptr; c = c->next) {
        if (element_key(c) == TAG_KEY_ITEM_DELIM)
            break;
        if (wants_catch_all(c) && !add_catch_all(b, c, ATTR_OWNER_ATTR, item_def))
            return false;
    }
    return true;
}

/* Pairs the items of the sequence bound to sq with its Item definitions
 * and binds inside them, nested sequences included.  A sequence
 * attribute without an Item definition whose element has items gets one
 * made here, so that their elements are described all the same. */
bool bind_sq_items(const Binder &b, AttrDef *sq) {
    DicomElement *seq = sq->element;
    DicomElement *first_item = seq ? seq->first_child : nullptr;
    if (first_item != nullptr && !is_item(first_item))
        first_item = nullptr;
    if (first_item != nullptr && sq->first_child == nullptr) {
        if (AttrDef *again = take_retired(b.tree, TAG_KEY_ITEM_DEF, ATTR_OWNER_ATTR, sq)) {
            /* one put aside deferred has no attributes, as a first one made here */
            again->flags &= (uint16_t)~ATTR_FLAG_ITEM_DEFERRED;
            _link_attr_def(again);
        } else {
            AttrDef *made = _append_item_def(b.app, b.tree, sq);
            if (made == nullptr)
                return false;
            made->flags |= ATTR_FLAG_MADE_BY_BINDING;
        }
    }

    AttrDef *last_paired = nullptr;
    int index = 0;
    for (DicomElement *item = first_item; item != nullptr && is_item(item); item = item->next) {
        AttrDef *d = last_paired ? last_paired->next : sq->first_child;
        if (d == nullptr && (d = new_item_def(sq, index)) == nullptr)
            return false;
        if (!bind(d, item))
            return false;
        last_paired = d;
        index++;
    }

    AttrDef *keep = last_paired ? last_paired : sq->first_child;
    while (keep != nullptr && keep->next != nullptr)
        drop_item_copy(b.tree, keep->next);
    if (last_paired == nullptr) {
        if (sq->first_child != nullptr)
            unbind(sq->first_child);
        return true;
    }

    /* Only the paired Item definitions are left.  A deferred one binds
     * where the nested sequences of the others would: its copy is bound
     * (every element it describes gets its bound flag) and let go. */
    for (AttrDef *d = sq->first_child; d != nullptr; d = d->next)
        if (!is_deferred(d) && !bind_item_elements(b, d))
            return false;
    for (AttrDef *d = sq->first_child; d != nullptr; d = d->next) {
        if (!is_deferred(d)) {
            if (!bind_nested_sequences(b, d))
                return false;
        } else if (AttrDef *copy = bound_item_copy(b, d)) {
            _let_go_item_copy(copy);
        } else {
            return false;
        }
    }
    return true;
}

bool bind_nested_sequences(const Binder &b, AttrDef *item_def) {
    for (AttrDef *a = item_def->first_child; a != nullptr; a = a->next)
        if (_is_sq_tag(b.app, a->tag) && !bind_sq_items(b, a))
            return false;
    return true;
}

/* A detached whole copy of a deferred Item definition, bound to its item
 * as the whole binding binds a paired Item definition (catch-all
 * definitions and nested sequences included); the elements inside the
 * item lose the bound flags of an earlier binding first.  NULL when
 * memory ran out. */
AttrDef *bound_item_copy(const Binder &b, const AttrDef *item_def) {
    const AttrDef *sq = static_cast<const AttrDef *>(item_def->owner);
    AttrDef *copy = _new_attr_def(item_def->tag, item_def->name, item_def->type, item_def->text,
                                  ATTR_OWNER_ATTR, item_def->owner);
    if (copy == nullptr)
        return nullptr;
    copy->flags = item_def->flags & (uint16_t)~ATTR_FLAG_ITEM_DEFERRED;
    copy->element = item_def->element;
    clear_element_flags(copy->element);
    if (!clone_children(sq->first_child, copy) || !bind_item_elements(b, copy) ||
        !bind_nested_sequences(b, copy)) {
        _let_go_item_copy(copy);
        return nullptr;
    }
    return copy;
}

/* The tree that holds a definition. */
ABCDef *tree_of(const AttrDef *d) {
    while (d->owner_kind == ATTR_OWNER_ATTR)
        d = static_cast<const AttrDef *>(d->owner);
    return static_cast<const ModuleDef *>(d->owner)->owner;
}

/* The subtree under an Item definition goes: what the binding made in it
 * is put aside for the next element of its tag, the rest freed unbound. */
void let_go_children(AttrDef *item_def) {
    put_aside_made_defs(tree_of(item_def), item_def);
    for (AttrDef *a = item_def->first_child, *next; a != nullptr; a = next) {
        next = a->next;
        _free_attr_def(a);
    }
    item_def->first_child = item_def->last_child = nullptr;
}

/* ---- the three passes ------------------------------------------------- */

bool bind_module_attributes(const Binder &b) {
    for (ModuleDef *m = b.tree->first; m != nullptr; m = m->next)
        for (AttrDef *d = m->first; d != nullptr; d = d->next) {
            DicomElement *e = find_element(b, nullptr, d->tag);
            if (e != nullptr && !bind(d, e))
                return false;
        }
    return true;
}

/* Every top-level element without a definition: a repeating-group
 * definition of its module, else one made in the last module.  An object
 * definition without modules gets the catch-all module for them. */
bool bind_remaining_elements(const Binder &b) {
    DicomElement *first = nullptr;
    DE_search(b.app, b.obj, &first, 0xFFFF, 0xFFFF, 0);
    for (DicomElement *e = first; e != nullptr; e = e->next) {
        if (!wants_catch_all(e))
            continue;
        if (ModuleDef *m = repeating_group_module(b.tree, e)) {
            const Found f = bind_in_repeating_group(m, e);
            if (f == Found::NoMemory)
                return false;
            if (f == Found::Bound)
                continue;
        }
        if (b.tree->last == nullptr && _append_catch_all_module(b.tree) == nullptr)
            return false;
        if (!add_catch_all(b, e, ATTR_OWNER_MODULE, b.tree->last))
            return false;
    }
    return true;
}

bool bind_sequences(const Binder &b) {
    for (ModuleDef *m = b.tree->first; m != nullptr; m = m->next)
        for (AttrDef *d = m->first; d != nullptr; d = d->next)
            if (_is_sq_tag(b.app, d->tag) && !bind_sq_items(b, d))
                return false;
    return true;
}

/* Puts the cursor where an add at def goes: at its bound element (inside
 * it for an item), or without a definition at the first top-level element.
 * An unbound definition adds at the top level when a module holds it, and
 * inside the item its Item definition is bound to; false, the cursor
 * untouched, when that Item definition has no item (or def is one). */
bool cursor_for_add(DicomObject *obj, const AttrDef *def) {
    DicomElement *at = def ? def->element : obj->root->first_child;
    if (def != nullptr && at == nullptr && def->owner_kind == ATTR_OWNER_ATTR) {
        const AttrDef *item_def = static_cast<const AttrDef *>(def->owner);
        if (def->tag == TAG_KEY_ITEM_DEF || item_def == nullptr || item_def->element == nullptr)
            return false;
        at = item_def->element;
    }
    obj->cursor = at;
    return true;
}

} // namespace

void _drop_abc_links(DicomElement *e) {
    if (e->def_link != nullptr) {
        e->def_link->element = nullptr;
        e->def_link = nullptr;
    }
    LinkBook &book = link_book();
    if (book.extra == 0)
        return;
    std::lock_guard<std::mutex> g(book.lock);
    auto range = book.more_links.equal_range(e);
    for (auto it = range.first; it != range.second; ++it)
        it->second->element = nullptr;
    book.more_links.erase(range.first, range.second);
    book.extra = book.more_links.size();
}

void _forget_attr_def(AttrDef *def) {
    unbind(def);
}

void _free_retired_defs(const ABCDef *tree) {
    std::unordered_multimap<uint32_t, AttrDef *> aside;
    {
        LinkBook &book = link_book();
        std::lock_guard<std::mutex> g(book.lock);
        auto it = book.retired.find(tree);
        if (it == book.retired.end())
            return;
        aside = std::move(it->second);
        book.retired.erase(it);
    }
    for (auto &entry : aside)
        _free_attr_def(entry.second);
}

void _let_go_item_copy(AttrDef *copy) {
    if (copy == nullptr)
        return;
    let_go_children(copy);
    _free_attr_def(copy);
}

AttrDef *_bind_item_copy(AppData *app, const AttrDef *item_def) {
    ABCDef *tree = tree_of(item_def);
    const Binder b{app, nullptr, tree, AddToDStringBuffer(tree->pool, "")};
    return b.empty != nullptr ? bound_item_copy(b, item_def) : nullptr;
}

extern "C" {

int16_t BindItemDef(AppData *app, AttrDef *item_def) {
    if (item_def == nullptr || !is_deferred(item_def) || item_def->element == nullptr)
        return 0;
    AttrDef *copy = _bind_item_copy(app, item_def);
    if (copy == nullptr)
        return -1;
    /* The copy's attributes move under the Item definition in the tree. */
    for (AttrDef *a = copy->first_child; a != nullptr; a = a->next)
        a->owner = item_def;
    item_def->first_child = copy->first_child;
    item_def->last_child = copy->last_child;
    item_def->flags &= (uint16_t)~ATTR_FLAG_ITEM_DEFERRED;
    copy->first_child = copy->last_child = nullptr;
    _free_attr_def(copy);
    return 0;
}

void ReleaseItemDef(AttrDef *item_def) {
    if (item_def == nullptr || item_def->tag != TAG_KEY_ITEM_DEF || is_deferred(item_def) ||
        item_def->element == nullptr || item_def->owner_kind != ATTR_OWNER_ATTR ||
        !after_whole_item_defs(item_def))
        return;
    let_go_children(item_def);
    item_def->flags |= ATTR_FLAG_ITEM_DEFERRED;
}

int16_t BindABCDef(AppData *app, DefHolder *defs, DicomObject *obj, int16_t rebind) {
    ABCDef *tree = defs ? defs->abc : nullptr;
    if (tree == nullptr)
        return 0;
    if (rebind != 0) {
        reset_abc_binding(app, tree, obj);
    } else {
        /* A first binding of definitions or of an object bound before:
         * links into an earlier object would dangle, and flags left from
         * an earlier binding would keep elements from their definitions. */
        for (ModuleDef *m = tree->first; m != nullptr; m = m->next)
            forget_links(m->first);
        if (obj != nullptr)
            clear_element_flags(obj->root);
        log_message("Binding DICOM Object to definition table.", 3);
    }
    if (obj == nullptr)
        return 0;
    /* Binding fails only where what it makes cannot be allocated. */
    const Binder b{app, obj, tree, AddToDStringBuffer(tree->pool, "")};
    if (b.empty == nullptr || !bind_module_attributes(b) || !bind_remaining_elements(b) ||
        !bind_sequences(b)) {
        log_message("Not enough memory to bind the DICOM object to its definitions.", 1);
        return -1;
    }
    return 0;
}

int16_t DEF_search(AppData *app, DefHolder *defs, DicomObject *obj, AttrDef *def, uint16_t group,
                   uint16_t element, int16_t index) {
    if (obj == nullptr)
        return 0;
    DicomElement *pos = def ? def->element : obj->root->first_child;
    bool failed;
    _search_position(app, obj, &pos, group, element, index, &failed);
    if (failed)
        return -1;
    if (index == -1)
        return BindABCDef(app, defs, obj, 1);
    return 0;
}

int16_t DEF_add(AppData *app, DefHolder *defs, DicomObject *obj, AttrDef *def,
                DicomElementHead *rec) {
    if (obj == nullptr || rec == nullptr)
        return 0;
    if (!cursor_for_add(obj, def))
        return -1;
    const int16_t added = DE_add(app, obj, rec);
    const int16_t bound = BindABCDef(app, defs, obj, 1);
    return (added != 0 || bound != 0) ? -1 : 0;
}

int16_t DEF_delete(AppData *app, DefHolder *defs, DicomObject *obj, AttrDef *def) {
    if (obj == nullptr || def == nullptr || def->element == nullptr)
        return 0;
    obj->cursor = def->element;
    DicomElementHead rec = {};
    rec.group = 0xFFFF;
    rec.element = 0xFFFF;
    DE_delete(app, obj, &rec);
    return BindABCDef(app, defs, obj, 1);
}

} // extern "C"
