/*
 * tagdefs.cpp -- the attribute tag dictionary and the private data
 * definitions: AppData set-up, the loaders of the tag definition files
 * (primary and secondary table of TagDefEntry rows) and of the private
 * definition files (creator/element tree in DefHolder.prv), the wrappers
 * that find the files along QUENOR_DEF_PATH, and the matching frees.
 */
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <new>
#include <string>

#include "deffile_int.h"
#include "lookups_int.h"
#include "platform.h"
#include "private_int.h"
#include "tagdefs_int.h"

namespace {

const int16_t kMaxRows = 32767; /* the row counts are signed 16-bit */
const int kGrowStep = 20;

const char kErrShort[] = "short integer value expected";
const char kErrListBrace[] = "5 '}' (right brace) expected";
const char kErrRecordBrace[] = "6 '}' (right brace) expected";

/* One definition as written in a file, before its texts are pooled. */
struct RawDef {
    uint32_t tag = 0;
    char name[kTextBuf];
    char vr[kTextBuf];
    int16_t vm = 0;
    char permitted[kTextBuf];
};

enum class ReadResult { Record, End, Incomplete, Syntax, NoMemory };

/* Result of one reader call checked against 1; 'error' gets the text for
 * the token, or eof_text (when given) if the file ended there. */
bool expect(int16_t r, const char *text, const char *eof_text, const char **error) {
    if (r == 1)
        return true;
    *error = (r == -1 && eof_text != nullptr) ? eof_text : text;
    return false;
}

/* tag ',' name ',' VR ',' VM ',' permitted '}' -- the common body of a tag
 * record and of a private element definition, after its '{'. */
bool read_def_body(PDBuffer *buf, RawDef &def, const char *eof_text, const char **error) {
    return expect(pd_get_hex_value_spcs(buf, &def.tag), kErrHex, eof_text, error) &&
           expect(pd_skip_char_spcs(buf, ','), kErrComma, eof_text, error) &&
           expect(pd_get_string_value_spcs(buf, def.name, kTextMax), kErrString, eof_text, error) &&
           expect(pd_skip_char_spcs(buf, ','), kErrComma, eof_text, error) &&
           expect(pd_get_string_value_spcs(buf, def.vr, kTextMax), kErrString, eof_text, error) &&
           expect(pd_skip_char_spcs(buf, ','), kErrComma, eof_text, error) &&
           expect(pd_get_short_value_spcs(buf, &def.vm), kErrShort, eof_text, error) &&
           expect(pd_skip_char_spcs(buf, ','), kErrComma, eof_text, error) &&
           expect(pd_get_string_value_spcs(buf, def.permitted, kTextMax), kErrString, eof_text,
                  error) &&
           expect(pd_skip_char_spcs(buf, '}'), kErrRightBrace, eof_text, error);
}

/* ---- tag definition files ---------------------------------------- */

/* '{' body '}' ',' -- Incomplete when the file ends where the ',' belongs. */
ReadResult read_tag_record(PDBuffer *buf, RawDef &def, const char **error) {
    const int16_t open = pd_skip_char_spcs(buf, '{');
    if (open == -1)
        return ReadResult::End;
    if (open == 0) {
        *error = kErrLeftBrace;
        return ReadResult::Syntax;
    }
    if (!read_def_body(buf, def, nullptr, error))
        return ReadResult::Syntax;
    const int16_t comma = pd_skip_char_spcs(buf, ',');
    if (comma == -1)
        return ReadResult::Incomplete;
    if (comma == 0) {
        *error = kErrComma;
        return ReadResult::Syntax;
    }
    return ReadResult::Record;
}

struct TagTable {
    TagDefEntry **rows;
    int16_t *count;
    int16_t *capacity;
};

TagTable choose_table(AppData *app, int16_t primary) {
    if (primary)
        return {&app->primary_tags, &app->primary_count, &app->primary_capacity};
    return {&app->secondary_tags, &app->secondary_count, &app->secondary_capacity};
}

/* Room for one more row: steps of 20, the last step cut at 32767. */
bool make_room(TagTable t) {
    if (*t.count < *t.capacity)
        return true;
    const int16_t grown = (int16_t)std::min<int>(*t.capacity + kGrowStep, kMaxRows);
    void *rows = realloc(*t.rows, sizeof(TagDefEntry) * (size_t)grown);
    if (rows == nullptr)
        return false;
    *t.rows = static_cast<TagDefEntry *>(rows);
    *t.capacity = grown;
    return true;
}

bool fill_entry(TagDefEntry &entry, const RawDef &def, uint32_t tag, DStringBuffer *pool) {
    entry.tag = tag;
    entry.name = AddToDStringBuffer(pool, def.name);
    entry.vr = changeVRnameToVR(def.vr);
    entry.vm = def.vm;
    entry.permitted = AddToDStringBuffer(pool, def.permitted);
    return entry.name != nullptr && entry.permitted != nullptr;
}

bool append_row(AppData *app, TagTable t, const RawDef &def) {
    TagDefEntry entry;
    if (!fill_entry(entry, def, def.tag, app->pool) || !make_room(t))
        return false;
    (*t.rows)[*t.count] = entry;
    ++*t.count;
    return true;
}

/* ---- private definition files ------------------------------------- */

PrvCreatorDef *find_or_add_creator(PrvDef *tree, const char *name) {
    for (PrvCreatorDef *c = tree->first; c != nullptr; c = c->next)
        if (strcmp(c->name, name) == 0)
            return c;
    return _append_creator_def(tree, name);
}

/* The block byte of the element number (bits 8-15) is not stored: the
 * definition stands for the element in whichever block the creator got. */
bool add_element_def(PrvDef *tree, PrvCreatorDef *creator, const RawDef &def) {
    TagDefEntry entry;
    return fill_entry(entry, def, def.tag & 0xFFFF00FFu, tree->pool) &&
           _append_prv_element_def(creator, &entry) != nullptr;
}

/* The element definitions after the list's '{', up to its '}'. */
ReadResult read_element_list(PDBuffer *buf, PrvDef *tree, PrvCreatorDef *creator,
                             const char **error) {
    RawDef def;
    for (;;) {
        if (pd_skip_comment(buf) == -1) {
            *error = kErrEof;
            return ReadResult::Syntax;
        }
        if (pd_skip_char(buf, '}') == 1)
            return ReadResult::Record;
        if (!expect(pd_skip_char(buf, '{'), kErrLeftBrace, kErrEof, error) ||
            !read_def_body(buf, def, kErrEof, error))
            return ReadResult::Syntax;
        if (!add_element_def(tree, creator, def))
            return ReadResult::NoMemory;
        if (pd_skip_comment(buf) == -1) {
            *error = kErrEof;
            return ReadResult::Syntax;
        }
        if (pd_skip_char(buf, ',') == 1)
            continue;
        if (pd_skip_char(buf, '}') == 1)
            return ReadResult::Record;
        *error = kErrListBrace;
        return ReadResult::Syntax;
    }
}

/* '{' creator ',' '{' element list '}' '}' */
ReadResult read_prv_record(PDBuffer *buf, PrvDef *tree, const char **error) {
    char creator_text[kTextBuf];
    const int16_t open = pd_skip_char_spcs(buf, '{');
    if (open == -1)
        return ReadResult::End;
    if (open == 0) {
        *error = kErrLeftBrace;
        return ReadResult::Syntax;
    }
    if (!expect(pd_get_string_value_spcs(buf, creator_text, kTextMax), kErrString, nullptr,
                error) ||
        !expect(pd_skip_char_spcs(buf, ','), kErrComma, nullptr, error))
        return ReadResult::Syntax;
    PrvCreatorDef *creator = find_or_add_creator(tree, creator_text);
    if (creator == nullptr)
        return ReadResult::NoMemory;
    if (!expect(pd_skip_char_spcs(buf, '{'), kErrLeftBrace, nullptr, error))
        return ReadResult::Syntax;
    const ReadResult list = read_element_list(buf, tree, creator, error);
    if (list != ReadResult::Record)
        return list;
    if (!expect(pd_skip_char_spcs(buf, '}'), kErrRecordBrace, nullptr, error))
        return ReadResult::Syntax;
    return ReadResult::Record;
}

PrvDef *new_prv_tree() {
    PrvDef *tree = static_cast<PrvDef *>(calloc(1, sizeof(PrvDef)));
    if (tree == nullptr)
        return nullptr;
    tree->pool = InitDStringBuffer(kPoolBlock);
    if (tree->pool == nullptr) {
        free(tree);
        return nullptr;
    }
    return tree;
}

/* ---- loading one file ---------------------------------------------- */

int16_t load_tag_file(AppData *app, const char *path, int16_t primary) {
    const TagTable table = choose_table(app, primary);
    FILE *f = open_def_file(path, primary);
    if (f == nullptr)
        return primary ? -1 : 0;
    DefFile file(f);
    if (app->pool == nullptr && (app->pool = InitDStringBuffer(kPoolBlock)) == nullptr)
        return -1;
    log_def_loading("Attribute Tag", primary, path);
    if ((file.buf = pd_init_buffer(f)) == nullptr)
        return -1;

    RawDef def;
    for (;;) {
        const char *error = nullptr;
        const ReadResult r = read_tag_record(file.buf, def, &error);
        if (r == ReadResult::End || r == ReadResult::Incomplete)
            break;
        if (r == ReadResult::Syntax) {
            log_def_syntax_error(error);
            return -1;
        }
        if (*table.count >= kMaxRows) {
            log_message((std::string("Too many attribute definitions in ") + path +
                         ": a table holds at most 32767.")
                            .c_str(),
                        1);
            return -1;
        }
        if (!append_row(app, table, def))
            return -1;
    }
    Setup_CPU_Arch();
    return 0;
}

int16_t load_prv_file(DefHolder *defs, const char *path, int16_t primary) {
    FILE *f = open_def_file(path, primary);
    if (f == nullptr)
        return (!primary && defs->prv != nullptr) ? 0 : -1;
    DefFile file(f);
    PrvDef *tree = primary ? nullptr : defs->prv;
    const bool fresh = tree == nullptr;
    if (fresh && (tree = new_prv_tree()) == nullptr)
        return -1;
    log_def_loading("Private Data", primary, path);
    file.buf = pd_init_buffer(f);

    ReadResult r = file.buf ? ReadResult::Record : ReadResult::NoMemory;
    const char *error = nullptr;
    while (r == ReadResult::Record)
        r = read_prv_record(file.buf, tree, &error);
    if (r == ReadResult::Syntax) {
        if (tree != defs->prv)
            _free_prv_def(&tree);
        _free_prv_def(&defs->prv);
        log_def_syntax_error(error);
        return -1;
    }
    if (r == ReadResult::NoMemory) {
        if (fresh)
            _free_prv_def(&tree);
        return -1;
    }
    if (tree != defs->prv)
        _free_prv_def(&defs->prv);
    defs->prv = tree;
    return 0;
}

} // namespace

/* ---- builders and frees of the private tree ------------------------- */

PrvCreatorDef *_append_creator_def(PrvDef *tree, const char *name) {
    if (tree->pool == nullptr)
        tree->pool = InitDStringBuffer(kPoolBlock);
    char *pooled = tree->pool ? AddToDStringBuffer(tree->pool, name) : nullptr;
    if (pooled == nullptr)
        return nullptr;
    PrvCreatorDef *c = static_cast<PrvCreatorDef *>(calloc(1, sizeof(PrvCreatorDef)));
    if (c == nullptr)
        return nullptr;
    c->name = pooled;
    append_at_tail(tree->first, tree->last, c);
    return c;
}

PrvElementDef *_append_prv_element_def(PrvCreatorDef *creator, const TagDefEntry *row) {
    PrvElementDef *d = static_cast<PrvElementDef *>(calloc(1, sizeof(PrvElementDef)));
    TagDefEntry *entry = static_cast<TagDefEntry *>(calloc(1, sizeof(TagDefEntry)));
    if (d == nullptr || entry == nullptr) {
        free(d);
        free(entry);
        return nullptr;
    }
    *entry = *row;
    d->entry = entry;
    d->creator = creator;
    append_at_tail(creator->first, creator->last, d);
    return d;
}

void _free_prv_element_def(PrvElementDef *def) {
    if (def == nullptr)
        return;
    free(def->entry);
    free(def);
}

void _free_creator_def(PrvCreatorDef *creator) {
    if (creator == nullptr)
        return;
    free_def_list(creator->first, _free_prv_element_def);
    free(creator);
}

void _free_prv_def(PrvDef **tree) {
    if (tree == nullptr || *tree == nullptr)
        return;
    _forget_prv_def(*tree);
    free_def_list((*tree)->first, _free_creator_def);
    DoneDStringBuffer(&(*tree)->pool);
    free(*tree);
    *tree = nullptr;
}

extern "C" {

void init_AppData(AppData *app, const char *name, const char *version, char *banner) {
    app->name = name;
    app->version = version;
    app->pool = nullptr;
    app->primary_tags = nullptr;
    app->secondary_tags = nullptr;
    app->primary_count = app->secondary_count = 0;
    app->primary_capacity = app->secondary_capacity = 0;
    app->index = nullptr;
    if (banner != nullptr)
        sprintf(banner, "%s %s", name ? name : "", version ? version : "");
}

/* The loaders build their messages in std::string: memory running out
 * there fails the load like any other shortage. */
int16_t InitDICOMTagDef(AppData *app, const char *path, int16_t primary) {
    try {
        return load_tag_file(app, path, primary);
    } catch (const std::bad_alloc &) {
        return -1;
    }
}

int16_t InitDICOMPrvDef(AppData *, DefHolder *defs, const char *path, int16_t primary) {
    try {
        return load_prv_file(defs, path, primary);
    } catch (const std::bad_alloc &) {
        return -1;
    }
}

int16_t InitTagDef(AppData *app, int16_t only_primary) {
    return load_def_pair(
        "tag_tab.def", "tag2_tab.def", only_primary,
        [app](const char *path, int16_t primary) { return InitDICOMTagDef(app, path, primary); });
}

int16_t InitPrvDef(AppData *app, DefHolder *defs, int16_t only_primary) {
    return load_def_pair("prv_tab.def", "prv2_tab.def", only_primary,
                         [app, defs](const char *path, int16_t primary) {
                             return InitDICOMPrvDef(app, defs, path, primary);
                         });
}

int16_t InitTagPrvDef(AppData *app, DefHolder *defs, int16_t only_primary) {
    const int16_t r = InitTagDef(app, only_primary);
    if (r != 0)
        return r;
    return InitPrvDef(app, defs, only_primary);
}

void DoneTagDef(AppData *app) {
    tag_index_free(app);
    free(app->primary_tags);
    free(app->secondary_tags);
    app->primary_tags = app->secondary_tags = nullptr;
    DoneDStringBuffer(&app->pool);
    app->primary_count = app->secondary_count = 0;
    app->primary_capacity = app->secondary_capacity = 0;
}

void DonePrvDef(DefHolder *defs) {
    _free_prv_def(&defs->prv);
}

void DoneTagPrvDef(AppData *app, DefHolder *defs) {
    DonePrvDef(defs);
    DoneTagDef(app);
}

} // extern "C"
