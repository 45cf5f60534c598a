/*
 * private.cpp -- binds the private block elements of an object to the
 * private definitions (creating definitions for what they do not know) and
 * finds a private element by creator string and tag through those links.
 * A binding is one pass over the top level: each block's creator element,
 * the creator definition it matches and that creator's element definitions
 * by tag are looked up in tables made as the pass goes, so its cost grows
 * with the number of elements, not with their square.
 *
 * A link is a plain pointer into the object's tree, and no link outlives
 * the element it points at: every binding clears the links of an earlier
 * one first, and a table kept here notes which object each definition tree
 * is bound to and which definitions it linked, so that the object module
 * unbinds them when it frees the elements (deleted, replaced, sorted out,
 * or the whole object closed, also by an import that then fails) and the
 * definition loader forgets a tree it frees.
 */
#include <string.h>

#include <array>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

#include "deffile_int.h"
#include "object_int.h"
#include "private_int.h"
#include "tagdefs_int.h"

namespace {

constexpr size_t kCreatorTextMax = 64;

/* The object a definition tree is bound to and the definitions it linked
 * (some may have been unbound since). */
struct Binding {
    const DicomObject *obj = nullptr;
    std::vector<PrvElementDef *> linked;
};

/* Bindings of every live definition tree.  Made in static storage on first
 * use and never destroyed, so that it stays usable while the process
 * exits; the mutex keeps the objects of different threads apart. */
struct BindingTable {
    std::mutex lock;
    std::unordered_map<const PrvDef *, Binding> of;
};

BindingTable &bindings() {
    alignas(BindingTable) static unsigned char storage[sizeof(BindingTable)];
    static BindingTable *t = new (storage) BindingTable;
    return *t;
}

/* prv starts a binding to obj (none when obj is null); false when memory
 * ran out. */
bool start_binding(const PrvDef *prv, const DicomObject *obj) {
    BindingTable &t = bindings();
    std::lock_guard<std::mutex> g(t.lock);
    if (!obj) {
        t.of.erase(prv);
        return true;
    }
    try {
        Binding &b = t.of[prv];
        b.obj = obj;
        b.linked.clear();
        return true;
    } catch (const std::bad_alloc &) {
        t.of.erase(prv);
        return false;
    }
}

/* Links d to e and notes it; false, with d left as it was, when memory ran
 * out for the note. */
bool link(const PrvDef *prv, PrvElementDef *d, DicomElement *e) {
    if (!d->element) {
        BindingTable &t = bindings();
        std::lock_guard<std::mutex> g(t.lock);
        auto it = t.of.find(prv);
        if (it == t.of.end())
            return false;
        try {
            it->second.linked.push_back(d);
        } catch (const std::bad_alloc &) {
            return false;
        }
    }
    d->element = e;
    return true;
}

/* Clears every link; with clear_flags also the created-by-binding bit. */
void clear_links(PrvDef *prv, bool clear_flags) {
    for (PrvCreatorDef *c = prv->first; c; c = c->next)
        for (PrvElementDef *d = c->first; d; d = d->next) {
            d->element = nullptr;
            if (clear_flags)
                d->flags &= (uint16_t)~1u;
        }
}

/* The first creator whose name is a prefix of the creator text. */
PrvCreatorDef *creator_matching(PrvDef *prv, const char *text) {
    for (PrvCreatorDef *c = prv->first; c; c = c->next)
        if (strncmp(c->name, text, strlen(c->name)) == 0)
            return c;
    return nullptr;
}

/* Definition tags keep group << 16 | yy: the block byte is cleared. */
PrvElementDef *element_def_for(PrvCreatorDef *c, uint16_t group, uint16_t element) {
    const uint32_t key = (uint32_t)group << 16 | (element & 0xFFu);
    for (PrvElementDef *d = c->first; d; d = d->next)
        if (d->entry && d->entry->tag == key)
            return d;
    return nullptr;
}

/* A definition made by the binding for an element the files do not know:
 * empty name and permitted values, no VR, VM 0, flagged as created; false
 * when memory ran out. */
bool append_element_def(PrvDef *prv, PrvCreatorDef *c, DicomElement *e) {
    if (!prv->pool)
        prv->pool = InitDStringBuffer(kPoolBlock);
    TagDefEntry row = {};
    row.tag = (uint32_t)e->group << 16 | (e->element & 0xFFu);
    row.name = row.permitted = prv->pool ? AddToDStringBuffer(prv->pool, "") : nullptr;
    row.vr = -1;
    PrvElementDef *d = row.name ? _append_prv_element_def(c, &row) : nullptr;
    if (!d)
        return false;
    d->flags = 1;
    return link(prv, d, e);
}

/* The creator element's value as text: at most 64 bytes, padding included. */
void creator_text_of(const DicomElement *creator, char text[kCreatorTextMax + 1]) {
    memset(text, 0, kCreatorTextMax + 1);
    if (creator->value && creator->length != 0xFFFFFFFFu)
        memcpy(text, creator->value,
               creator->length < kCreatorTextMax ? creator->length : kCreatorTextMax);
}

bool is_block_element(const DicomElement *e) {
    return (e->group & 1) && e->element >= 0x0100;
}

bool may_be_creator(const DicomElement *e) {
    return (e->group & 1) && e->element >= 0x0001 && e->element <= 0x00FF;
}

uint32_t block_key(uint16_t group, uint16_t block) {
    return (uint32_t)group << 16 | block;
}

/* What one binding pass looks up again and again, each found once: the
 * creator element of every block, the creator definition each creator
 * element matched, and the element definitions of each creator by group
 * and low byte.  Definitions are only ever appended, so a first match
 * found stays the first match for the rest of the pass. */
struct BindPass {
    /* A creator's element definitions of one group, by the low byte yy. */
    using GroupDefs = std::array<PrvElementDef *, 256>;
    struct Block {
        DicomElement *creator;
        PrvCreatorDef *def = nullptr; /* both found when first needed */
        GroupDefs *defs = nullptr;
    };

    PrvDef *prv;
    std::unordered_map<uint32_t, Block> blocks; /* group << 16 | xx */
    std::unordered_map<const PrvCreatorDef *, std::unordered_map<uint16_t, GroupDefs>> element_defs;
    uint32_t last_key = 0;       /* the block of the element before, */
    Block *last_block = nullptr; /* as block elements come in runs */

    /* The first top-level element of each (gggg,00xx) tag, as a search
     * from the top would find it. */
    void note_creators(DicomElement *first) {
        for (DicomElement *e = first; e; e = e->next)
            if (may_be_creator(e))
                blocks.emplace(block_key(e->group, e->element), Block{e});
    }

    Block *block_of(const DicomElement *e) {
        const uint32_t key = block_key(e->group, (uint16_t)(e->element >> 8));
        if (!last_block || key != last_key) {
            auto it = blocks.find(key);
            last_key = key;
            last_block = it == blocks.end() ? nullptr : &it->second;
        }
        return last_block;
    }

    /* The creator definition of a block, created when none matches. */
    PrvCreatorDef *creator_def(Block &b) {
        if (!b.def) {
            char text[kCreatorTextMax + 1];
            creator_text_of(b.creator, text);
            b.def = creator_matching(prv, text);
            if (!b.def)
                b.def = _append_creator_def(prv, text);
        }
        return b.def;
    }

    /* The creator's element definitions of a group: the first of each
     * tag (a tag with block bits never matches and is left out). */
    GroupDefs &defs_of(const PrvCreatorDef *c, uint16_t group) {
        auto found = element_defs.find(c);
        if (found == element_defs.end()) {
            found = element_defs.emplace(c, std::unordered_map<uint16_t, GroupDefs>{}).first;
            for (PrvElementDef *d = c->first; d; d = d->next) {
                if (!d->entry || (d->entry->tag & 0xFF00u) != 0)
                    continue;
                PrvElementDef *&slot =
                    found->second[(uint16_t)(d->entry->tag >> 16)][d->entry->tag & 0xFFu];
                if (!slot)
                    slot = d;
            }
        }
        return found->second[group]; /* a new group starts without definitions */
    }

    /* Binds one block element whose creator is there; false when memory
     * ran out. */
    bool bind(Block &b, DicomElement *e) {
        PrvCreatorDef *c = creator_def(b);
        if (!c)
            return false;
        if (!b.defs)
            b.defs = &defs_of(c, e->group);
        PrvElementDef *&slot = (*b.defs)[e->element & 0xFFu];
        if (slot)
            return link(prv, slot, e);
        if (!append_element_def(prv, c, e))
            return false;
        slot = c->last;
        return true;
    }
};

/* Binds every block element of the top level, each to the definition its
 * creator names, in one pass; false when memory ran out.  The cursor ends
 * where a search for each creator from the top would have left it: on the
 * creator of the last block element (null when it has none), or on the
 * first element when there was no block element. */
bool bind_top_level(AppData *app, DicomObject *obj, PrvDef *prv) {
    DicomElement *first = nullptr;
    DE_search(app, obj, &first, 0xFFFF, 0xFFFF, 0);
    BindPass pass{prv, {}, {}, 0, nullptr};
    pass.note_creators(first);
    bool done = true;
    for (DicomElement *e = first; e && done; e = e->next) {
        if (!is_block_element(e))
            continue;
        BindPass::Block *b = pass.block_of(e);
        obj->cursor = b ? b->creator : nullptr;
        done = !b || pass.bind(*b, e);
    }
    return done;
}

} // namespace

void _drop_prv_links(const DicomObject *obj, const DicomElement *subtree) {
    BindingTable &t = bindings();
    std::lock_guard<std::mutex> g(t.lock);
    for (auto it = t.of.begin(); it != t.of.end();) {
        if (it->second.obj != obj) {
            ++it;
            continue;
        }
        for (PrvElementDef *d : it->second.linked)
            if (d->element && (!subtree || lies_within(d->element, subtree)))
                d->element = nullptr;
        it = subtree ? std::next(it) : t.of.erase(it);
    }
}

void _forget_prv_def(const PrvDef *prv) {
    BindingTable &t = bindings();
    std::lock_guard<std::mutex> g(t.lock);
    t.of.erase(prv);
}

void _reset_prv_binding(PrvDef *prv) {
    if (prv)
        clear_links(prv, true);
}

int16_t BindPrvDef(AppData *app, DefHolder *defs, DicomObject *obj, int16_t rebind) {
    PrvDef *prv = defs ? defs->prv : nullptr;
    if (!prv)
        return 0;
    if (rebind != 0) {
        _reset_prv_binding(prv);
    } else {
        clear_links(prv, false); /* links of an earlier object would dangle */
        log_message("Binding DICOM Object to private definition table.", 3);
    }
    if (!start_binding(prv, obj))
        return -1;
    if (!obj)
        return 0;
    try {
        return bind_top_level(app, obj, prv) ? 0 : -1;
    } catch (const std::bad_alloc &) {
        return -1;
    }
}

int16_t DO_searchForPrivateElement(DefHolder *defs, void *unused, const char *creator,
                                   DicomElementHead *rec) {
    (void)unused;
    PrvDef *prv = defs ? defs->prv : nullptr;
    const DicomElement *bound = nullptr;
    if (prv && creator) {
        for (PrvCreatorDef *c = prv->first; c; c = c->next) {
            if (strcmp(c->name, creator) != 0)
                continue;
            /* only the first creator of that name counts */
            const PrvElementDef *d = element_def_for(c, rec->group, rec->element);
            bound = d ? d->element : nullptr;
            break;
        }
    }
    if (!bound) {
        rec->value = nullptr;
        rec->length = 0;
        return -1;
    }
    rec->value = nullptr;
    rec->length = bound->length;
    rec->vr = bound->vr;
    rec->flags = bound->flags & (uint16_t)~DE_FLAG_OWNS_PDS_NAME;
    if (!bound->value)
        return 0;
    return _copy_value(rec, bound->value, bound->length) ? 0 : -1;
}
