/*
 * objdefs.cpp -- the definition of one information object: the UID files
 * (SOP Class UID -> object name), the object files (the object's modules)
 * and the module files (each module's attributes, items of sequences
 * addressed by item paths such as "C.8.8.1_2_1"), loaded into the tree in
 * DefHolder.abc; the wrappers that find the files along QUENOR_DEF_PATH,
 * InitUABCDef that runs the whole chain for an object (a directory by the
 * SOP class its meta header names) and binds it, and the builders and
 * frees of the tree.
 */
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <new>
#include <string>

#include "binding_int.h"
#include "objdefs_int.h"
#include "object_int.h"
#include "platform.h"
#include "vr_int.h"

namespace {

const size_t kUidMax = 64;        /* a SOP Class UID field holds 64 characters */
const size_t kObjectNameMax = 19; /* an object-name field holds 19 characters */
const int kIndexMax = 32767;      /* an item-path index is a positive 16-bit number */

const char kErrApostrophe[] = "''' (apostrophe) expected";
const char kErrCharValue[] = "character value expected";
const char kErrSecondaryType[] = "only Type 3 attributes are allowed in secondary definition file";
const char kErrEmptySq[] = "empty SQ Element";
const char kErrUnderscore[] = "'_' (underscore) expected (SQ Attribute index separator)";
const char kErrIndex[] = "short integer value expected (SQ Attribute index)";
const char kErrNoMemory[] = "cannot allocate memory block";

enum class Step { Ok, End, Syntax, NoMemory };

/* Token reading with the error text of the first token that is missing.
 * Inside a module or attribute list the end of the file has its own text;
 * elsewhere it reports the token that was expected. */
struct Reader {
    PDBuffer *buf;
    std::string error;
    bool in_list = false;

    bool fail(int16_t r, const char *text) {
        error = (r == -1 && in_list) ? kErrEof : text;
        return false;
    }
    bool punct(char c, const char *text) {
        const int16_t r = pd_skip_char_spcs(buf, c);
        return r == 1 || fail(r, text);
    }
    bool string(char *out) {
        const int16_t r = pd_get_string_value_spcs(buf, out, kTextMax);
        return r == 1 || fail(r, kErrString);
    }
    bool hex(uint32_t *out) {
        const int16_t r = pd_get_hex_value_spcs(buf, out);
        return r == 1 || fail(r, kErrHex);
    }
    /* ''' c ''' -- one character between apostrophes, nothing around it. */
    bool usage(char *out) {
        if (!punct('\'', kErrApostrophe))
            return false;
        const int16_t c = pd_get_char_value(buf);
        if (c == -1) {
            error = kErrCharValue;
            return false;
        }
        *out = (char)c;
        const int16_t r = pd_skip_char(buf, '\'');
        return r == 1 || fail(r, kErrApostrophe);
    }
    /* '{' opening a record: End when the file ends where it would stand. */
    Step record_open() {
        const int16_t r = pd_skip_char_spcs(buf, '{');
        if (r == 1)
            return Step::Ok;
        if (r == -1)
            return Step::End;
        error = kErrLeftBrace;
        return Step::Syntax;
    }

    /* The entries of a list after its '{', up to its '}': entries separated
     * by ',', a ',' after the last one allowed.  entry() reads one entry
     * after its '{' up to its '}'. */
    template <typename Entry>
    Step list(Entry entry) {
        in_list = true;
        const Step s = list_body(entry);
        in_list = false;
        return s;
    }

private:
    Step end_of_file() {
        error = kErrEof;
        return Step::Syntax;
    }
    template <typename Entry>
    Step list_body(Entry entry) {
        for (;;) {
            if (pd_skip_comment(buf) == -1)
                return end_of_file();
            if (pd_skip_char(buf, '}') == 1)
                return Step::Ok;
            if (!punct('{', kErrLeftBrace))
                return Step::Syntax;
            const Step s = entry();
            if (s != Step::Ok)
                return s;
            if (pd_skip_comment(buf) == -1)
                return end_of_file();
            if (pd_skip_char(buf, '}') == 1)
                return Step::Ok;
            if (!punct(',', kErrRightBrace))
                return Step::Syntax;
        }
    }
};

/* ---- UID files ---------------------------------------------------- */

enum class UidSearch { Found, NotFound, Failed };

/* '{' name ',' key ',' text '}' ',' for every record until the key is
 * found.  A record whose key is longer than a UID field, or whose name is
 * longer than an object-name field, never matches. */
UidSearch search_uid_file(const char *path, int16_t primary, const char *key, char *out) {
    FILE *f = open_def_file(path, primary);
    if (f == nullptr)
        return UidSearch::Failed;
    DefFile file(f);
    if ((file.buf = pd_init_buffer(f)) == nullptr)
        return UidSearch::Failed;
    Reader rd{file.buf, {}};
    char name[kTextBuf], uid[kTextBuf], text[kTextBuf];
    for (;;) {
        const Step open = rd.record_open();
        if (open == Step::End)
            return UidSearch::NotFound;
        if (open == Step::Syntax || !rd.string(name) || !rd.punct(',', kErrComma) ||
            !rd.string(uid) || !rd.punct(',', kErrComma) || !rd.string(text) ||
            !rd.punct('}', kErrRightBrace)) {
            log_def_syntax_error(rd.error);
            return UidSearch::Failed;
        }
        const int16_t comma = pd_skip_char_spcs(file.buf, ',');
        if (comma == -1)
            return UidSearch::NotFound; /* the last record lacks its ',' */
        if (comma == 0) {
            log_def_syntax_error(kErrComma);
            return UidSearch::Failed;
        }
        if (strlen(uid) <= kUidMax && strlen(name) <= kObjectNameMax && strcmp(uid, key) == 0) {
            strcpy(out, name);
            return UidSearch::Found;
        }
    }
}

/* ---- object files ------------------------------------------------- */

ABCDef *new_abc_tree() {
    ABCDef *tree = static_cast<ABCDef *>(calloc(1, sizeof(ABCDef)));
    if (tree == nullptr)
        return nullptr;
    if ((tree->pool = InitDStringBuffer(kPoolBlock)) == nullptr) {
        free(tree);
        return nullptr;
    }
    return tree;
}

/* One object record after its '{'; the modules of a matching record are
 * appended to the tree. */
Step read_object_record(Reader &rd, ABCDef *tree, const char *object_name, bool *matched) {
    char name[kTextBuf], title[kTextBuf];
    if (!rd.string(name) || !rd.punct(',', kErrComma) || !rd.string(title) ||
        !rd.punct(',', kErrComma) || !rd.punct('{', kErrLeftBrace))
        return Step::Syntax;
    const bool match = object_name != nullptr && strcmp(name, object_name) == 0;
    if (match) {
        *matched = true;
        if (tree->name == nullptr && (tree->name = AddToDStringBuffer(tree->pool, name)) == nullptr)
            return Step::NoMemory;
        if (tree->title == nullptr &&
            (tree->title = AddToDStringBuffer(tree->pool, title)) == nullptr)
            return Step::NoMemory;
    }
    char ref[kTextBuf], mtitle[kTextBuf], text[kTextBuf];
    const Step s = rd.list([&]() {
        char usage = 0;
        if (!rd.string(ref) || !rd.punct(',', kErrComma) || !rd.string(mtitle) ||
            !rd.punct(',', kErrComma) || !rd.usage(&usage) || !rd.punct(',', kErrComma) ||
            !rd.string(text) || !rd.punct('}', kErrRightBrace))
            return Step::Syntax;
        if (match && _append_module_def(tree, ref, mtitle, usage, text) == nullptr)
            return Step::NoMemory;
        return Step::Ok;
    });
    if (s != Step::Ok)
        return s;
    return rd.punct('}', kErrRightBrace) ? Step::Ok : Step::Syntax;
}

/* ---- module files ------------------------------------------------- */

/* The Item definition of a sequence attribute: its first child, made when
 * it has none. */
AttrDef *item_def_of(AppData *app, ABCDef *tree, AttrDef *sq) {
    return sq->first_child ? sq->first_child : _append_item_def(app, tree, sq);
}

/* Follows the item path of 'ref' from position 'at' (a '_') through the
 * sequence attributes of the list that begins at 'current', counting those
 * whose dictionary VR is SQ.  Returns the Item definition reached, or NULL
 * with the error text. */
AttrDef *resolve_sq_path(AppData *app, ABCDef *tree, const char *ref, size_t at, AttrDef *current,
                         std::string *error) {
    for (;;) {
        if (current == nullptr) {
            *error = kErrEmptySq;
            return nullptr;
        }
        if (ref[at] != '_') {
            *error = kErrUnderscore;
            return nullptr;
        }
        size_t end = at + 1;
        long index = 0;
        for (; ref[end] >= '0' && ref[end] <= '9'; end++)
            if (index <= kIndexMax)
                index = index * 10 + (ref[end] - '0');
        /* No digit, index 0 or one beyond 16 bits: no sequence is named. */
        if (end == at + 1 || index == 0 || index > kIndexMax) {
            *error = kErrIndex;
            return nullptr;
        }
        AttrDef *sq = current;
        for (long n = 0; sq != nullptr; sq = sq->next)
            if (_is_sq_tag(app, sq->tag) && ++n == index)
                break;
        if (sq == nullptr) {
            char text[kTextBuf + 64];
            snprintf(text, sizeof text, "less SQ Attribute than referenced in %*s", (int)at, ref);
            *error = text;
            return nullptr;
        }
        AttrDef *item = item_def_of(app, tree, sq);
        if (item == nullptr) {
            *error = kErrNoMemory;
            return nullptr;
        }
        if (ref[end] == '\0')
            return item;
        at = end;
        current = item->first_child;
    }
}

/* Where the attributes of one module record go. */
struct Target {
    ModuleDef *module = nullptr; /* top level of this module ... */
    AttrDef *item = nullptr;     /* ... or under this Item definition */
    bool found() const { return module != nullptr || item != nullptr; }
};

/* The module reference up to the first '_' picks the module; an item path
 * behind it is resolved from the module's first attribute. */
bool find_target(AppData *app, ABCDef *tree, const char *ref, Target *t, std::string *error) {
    const size_t split = strcspn(ref, "_");
    const std::string module_name(ref, split);
    ModuleDef *m = _find_module_def(tree, module_name.c_str());
    if (m == nullptr)
        return true; /* a module this object does not use: dropped */
    if (ref[split] == '\0') {
        t->module = m;
        return true;
    }
    t->item = resolve_sq_path(app, tree, ref, split, m->first, error);
    return t->item != nullptr;
}

bool add_attr(ABCDef *tree, const Target &t, uint32_t tag, const char *name, const char *type,
              const char *text) {
    char *pname = AddToDStringBuffer(tree->pool, name);
    char *ptext = AddToDStringBuffer(tree->pool, text);
    if (pname == nullptr || ptext == nullptr)
        return false;
    AttrDef *d = t.module ? _new_attr_def(tag, pname, type, ptext, ATTR_OWNER_MODULE, t.module)
                          : _new_attr_def(tag, pname, type, ptext, ATTR_OWNER_ATTR, t.item);
    if (d == nullptr)
        return false;
    _link_attr_def(d);
    return true;
}

/* One module record after its '{'. */
Step read_module_record(AppData *app, Reader &rd, ABCDef *tree, int16_t primary) {
    char ref[kTextBuf], title[kTextBuf];
    if (!rd.string(ref))
        return Step::Syntax;
    Target target;
    if (!find_target(app, tree, ref, &target, &rd.error))
        return Step::Syntax;
    if (!rd.punct(',', kErrComma) || !rd.string(title) || !rd.punct(',', kErrComma) ||
        !rd.punct('{', kErrLeftBrace))
        return Step::Syntax;
    char name[kTextBuf], type[kTextBuf], text[kTextBuf];
    const Step s = rd.list([&]() {
        uint32_t tag = 0;
        if (!rd.hex(&tag) || !rd.punct(',', kErrComma) || !rd.string(name) ||
            !rd.punct(',', kErrComma) || !rd.string(type) || !rd.punct(',', kErrComma) ||
            !rd.string(text) || !rd.punct('}', kErrRightBrace))
            return Step::Syntax;
        if (!target.found())
            return Step::Ok;
        if (!primary && strcmp(type, "3") != 0) {
            rd.error = kErrSecondaryType;
            return Step::Syntax;
        }
        return add_attr(tree, target, tag, name, type, text) ? Step::Ok : Step::NoMemory;
    });
    if (s != Step::Ok)
        return s;
    return rd.punct('}', kErrRightBrace) ? Step::Ok : Step::Syntax;
}

/* A tree that a loader made, freed unless it is handed over. */
struct AbcTreeFree {
    void operator()(ABCDef *tree) const { _free_abc_def(&tree); }
};
using AbcTreeOwner = std::unique_ptr<ABCDef, AbcTreeFree>;

/* InitDICOMABDef.  A syntax error, or a primary file without the object,
 * frees the tree in *slot before its message is built. */
int16_t load_object_file(ABCDef **slot, const char *path, int16_t primary,
                         const char *object_name) {
    FILE *f = open_def_file(path, primary);
    if (f == nullptr)
        return (!primary && *slot != nullptr) ? 0 : -1;
    DefFile file(f);
    AbcTreeOwner made; /* a new tree, until it takes the place of *slot */
    ABCDef *tree = primary ? nullptr : *slot;
    if (tree == nullptr) {
        made.reset(new_abc_tree());
        if (!made)
            return -1;
        tree = made.get();
    }
    log_def_loading("Object", primary, path);
    file.buf = pd_init_buffer(f);

    Reader rd{file.buf, {}};
    bool matched = false;
    Step s = file.buf ? Step::Ok : Step::NoMemory;
    while (s == Step::Ok) {
        s = rd.record_open();
        if (s == Step::Ok)
            s = read_object_record(rd, tree, object_name, &matched);
    }
    if (s == Step::NoMemory)
        return -1;
    if (s == Step::Syntax || (primary && !matched)) {
        _free_abc_def(slot);
        made.reset();
        if (s == Step::Syntax)
            log_def_syntax_error(rd.error);
        return -1;
    }
    if (made) {
        _free_abc_def(slot);
        *slot = made.release();
    }
    return 0;
}

/* InitDICOMCDef.  A syntax error frees the tree before its message is
 * built. */
int16_t load_module_file(AppData *app, ABCDef **slot, const char *path, int16_t primary) {
    if (*slot == nullptr)
        return -1;
    FILE *f = open_def_file(path, primary);
    if (f == nullptr)
        return primary ? -1 : 0;
    DefFile file(f);
    log_def_loading("Module", primary, path);
    if ((file.buf = pd_init_buffer(f)) == nullptr)
        return -1;

    Reader rd{file.buf, {}};
    Step s = Step::Ok;
    while (s == Step::Ok) {
        s = rd.record_open();
        if (s == Step::Ok)
            s = read_module_record(app, rd, *slot, primary);
    }
    if (s == Step::NoMemory)
        return -1;
    if (s == Step::Syntax) {
        _free_abc_def(slot);
        log_def_syntax_error(rd.error);
        return -1;
    }
    return 0;
}

/* InitUIDDef. */
int16_t find_object_name(const char *key, int16_t only_primary, char *out) {
    char path[kDefPathBuf];
    out[0] = '\0';
    if (!find_def_file("uid_tab.def", 1, path))
        return -1;
    const UidSearch r = search_uid_file(path, 1, key ? key : "", out);
    if (r == UidSearch::Found)
        return 0;
    out[0] = '\0';
    /* Only a key that the primary file does not map is looked up in the
     * site's file; a primary file that cannot be read ends the search. */
    if (r == UidSearch::Failed || only_primary)
        return -1;
    if (!find_def_file("uid2_tab.def", 0, path))
        return -1;
    return InitDICOMUIDDef(path, key, 0, out);
}

/* The UID value of a top-level element as text; false when it has none. */
bool uid_value(AppData *app, DicomObject *obj, uint16_t group, uint16_t element, std::string *uid) {
    ElementRecord found(app, group, element);
    if (!found.search(obj) || found.rec.value == nullptr)
        return false;
    const char *bytes = static_cast<const char *>(found.rec.value);
    uid->assign(bytes, uid_length(bytes, found.rec.length));
    return !uid->empty();
}

/* A directory (DICOMDIR) has no SOP Class UID in its data set: its meta
 * header's Media Storage SOP Class UID names what it is. */
const char kDirectoryStorage[] = "1.2.840.10008.1.3.10";

/* The SOP Class UID of the object as text; false when it has none. */
bool sop_class_uid(AppData *app, DicomObject *obj, std::string *uid) {
    if (uid_value(app, obj, 0x0008, 0x0016, uid))
        return true;
    if (!uid_value(app, obj, 0x0002, 0x0002, uid) || *uid != kDirectoryStorage)
        return false;
    log_message("No SOP Class UID (0008,0016): a directory, checked by its Media Storage SOP "
                "Class UID (0002,0002).",
                3);
    return true;
}

} // namespace

/* ---- builders and frees of the tree ---------------------------------- */

AttrDef *_new_attr_def(uint32_t tag, const char *name, const char *type, char *text,
                       uint16_t owner_kind, void *owner) {
    AttrDef *d = static_cast<AttrDef *>(calloc(1, sizeof(AttrDef)));
    if (d == nullptr)
        return nullptr;
    d->tag = tag;
    d->name = const_cast<char *>(name);
    if (type != nullptr)
        memcpy(d->type, type, strnlen(type, sizeof d->type - 1)); /* the rest stays zero */
    d->text = text;
    d->owner_kind = owner_kind;
    d->owner = owner;
    return d;
}

void _link_attr_def(AttrDef *def) {
    if (def->owner_kind == ATTR_OWNER_MODULE) {
        ModuleDef *m = static_cast<ModuleDef *>(def->owner);
        append_at_tail(m->first, m->last, def);
    } else {
        AttrDef *parent = static_cast<AttrDef *>(def->owner);
        append_at_tail(parent->first_child, parent->last_child, def);
    }
}

ModuleDef *_append_module_def(ABCDef *tree, const char *reference, const char *title, char usage,
                              const char *text) {
    char *pref = AddToDStringBuffer(tree->pool, reference);
    char *ptitle = AddToDStringBuffer(tree->pool, title);
    char *ptext = AddToDStringBuffer(tree->pool, text);
    if (pref == nullptr || ptitle == nullptr || ptext == nullptr)
        return nullptr;
    ModuleDef *m = static_cast<ModuleDef *>(calloc(1, sizeof(ModuleDef)));
    if (m == nullptr)
        return nullptr;
    m->reference = pref;
    m->title = ptitle;
    m->usage[0] = usage;
    m->text = ptext;
    m->owner = tree;
    append_at_tail(tree->first, tree->last, m);
    return m;
}

ModuleDef *_find_module_def(ABCDef *tree, const char *reference) {
    for (ModuleDef *m = tree->first; m != nullptr; m = m->next)
        if (strcmp(m->reference, reference) == 0)
            return m;
    return nullptr;
}

ModuleDef *_append_catch_all_module(ABCDef *tree) {
    return _append_module_def(tree, CATCH_ALL_MODULE_REF, "Private Data", 'U', "");
}

AttrDef *_append_item_def(AppData *app, ABCDef *tree, AttrDef *sq) {
    const char *name = nullptr;
    getAttrName(app, TAG_KEY_ITEM_DEF, &name);
    char *empty = AddToDStringBuffer(tree->pool, "");
    AttrDef *item =
        empty ? _new_attr_def(TAG_KEY_ITEM_DEF, name, "3", empty, ATTR_OWNER_ATTR, sq) : nullptr;
    if (item != nullptr)
        _link_attr_def(item);
    return item;
}

bool _is_sq_tag(AppData *app, uint32_t tag) {
    int vr = -1;
    getVR(app, tag, &vr);
    return vr == VR_SQ;
}

void _free_attr_def(AttrDef *def) {
    if (def == nullptr)
        return;
    free_def_list(def->first_child, _free_attr_def);
    _forget_attr_def(def);
    free(def);
}

void _drop_attr_def(AttrDef *def) {
    _unlink_attr_def(def);
    _free_attr_def(def);
}

void _unlink_attr_def(AttrDef *def) {
    AttrDef **first, **last;
    if (def->owner_kind == ATTR_OWNER_MODULE) {
        ModuleDef *m = static_cast<ModuleDef *>(def->owner);
        first = &m->first;
        last = &m->last;
    } else {
        AttrDef *parent = static_cast<AttrDef *>(def->owner);
        first = &parent->first_child;
        last = &parent->last_child;
    }
    (def->prev ? def->prev->next : *first) = def->next;
    (def->next ? def->next->prev : *last) = def->prev;
    def->prev = def->next = nullptr;
}

void _free_module_def(ModuleDef *module) {
    if (module == nullptr)
        return;
    free_def_list(module->first, _free_attr_def);
    free(module);
}

void _free_abc_def(ABCDef **tree) {
    if (tree == nullptr || *tree == nullptr)
        return;
    _free_retired_defs(*tree);
    free_def_list((*tree)->first, _free_module_def);
    DoneDStringBuffer(&(*tree)->pool);
    free(*tree);
    *tree = nullptr;
}

extern "C" {

/* The loaders keep their error texts and names in std::string: memory
 * running out there fails the load like any other shortage. */

int16_t InitDICOMUIDDef(const char *path, const char *key, int16_t primary, char *out) {
    if (!primary && out[0] != '\0')
        return 0;
    try {
        if (search_uid_file(path, primary, key ? key : "", out) == UidSearch::Found)
            return 0;
    } catch (const std::bad_alloc &) {
    }
    out[0] = '\0';
    return -1;
}

int16_t InitDICOMABDef(AppData *, ABCDef **slot, const char *path, int16_t primary,
                       const char *object_name) {
    try {
        return load_object_file(slot, path, primary, object_name);
    } catch (const std::bad_alloc &) {
        return -1;
    }
}

int16_t InitDICOMCDef(AppData *app, ABCDef **slot, const char *path, int16_t primary) {
    try {
        return load_module_file(app, slot, path, primary);
    } catch (const std::bad_alloc &) {
        return -1;
    }
}

int16_t InitUIDDef(const char *key, int16_t only_primary, char *out) {
    try {
        return find_object_name(key, only_primary, out);
    } catch (const std::bad_alloc &) {
        out[0] = '\0';
        return -1;
    }
}

int16_t InitABDef(AppData *app, DefHolder *defs, int16_t only_primary, const char *object_name) {
    bool secondary_done = false;
    const int16_t r = load_def_pair(
        "ab_tab.def", "ab2_tab.def", only_primary,
        [&](const char *path, int16_t primary) {
            return InitDICOMABDef(app, &defs->abc, path, primary, object_name);
        },
        &secondary_done);
    if (r != 0 || !secondary_done)
        return r;
    if (_append_catch_all_module(defs->abc) == nullptr)
        return -1;
    return 0;
}

int16_t InitCDef(AppData *app, DefHolder *defs, int16_t only_primary) {
    return load_def_pair("c_tab.def", "c2_tab.def", only_primary,
                         [&](const char *path, int16_t primary) {
                             return InitDICOMCDef(app, &defs->abc, path, primary);
                         });
}

int16_t InitUABCDef(AppData *app, DefHolder *defs, DicomObject *obj, int16_t only_primary) {
    std::string uid;
    try {
        if (!sop_class_uid(app, obj, &uid)) {
            log_message("SOP Class UID (0008,0016) not defined.", 1);
            return -1;
        }
    } catch (const std::bad_alloc &) {
        log_message("Not enough memory to find the definitions of the DICOM object.", 1);
        return -1;
    }
    char object_name[kObjectNameMax + 1] = {};
    int16_t r = InitUIDDef(uid.c_str(), only_primary, object_name);
    if (r == 0)
        r = InitABDef(app, defs, only_primary, object_name);
    if (r == 0)
        r = InitCDef(app, defs, only_primary);
    if (r == 0)
        r = BindABCDef(app, defs, obj, 0);
    return r;
}

void DoneABCDef(DefHolder *defs) {
    if (defs != nullptr)
        _free_abc_def(&defs->abc);
}

} // extern "C"
