/*
 * lookups.cpp -- the attribute lookups: VR, VR name, attribute name, VM and
 * permitted values of a tag, from the primary and secondary tag tables of
 * AppData, with the folding of repeating groups and the fixed answers for
 * group lengths and private creator elements.
 *
 * The answer is that of a first-match scan (primary rows first, the earliest
 * equal row wins), but it comes from a sorted index of the first row for
 * every key.  The index is built on the first lookup after the tables
 * changed and kept in AppData.index.
 */
#include <stdlib.h>

#include <algorithm>
#include <new>
#include <vector>

#include "lookups_int.h"

namespace {

struct IndexSlot {
    uint32_t key;
    const TagDefEntry *row;
};

} // namespace

/* Sorted by key, one slot per key: the row a first-match scan would find.
 * The four "built_" fields say which tables the index was built from; a
 * load that appends rows (and perhaps moves the arrays) makes them differ. */
struct TagIndex {
    const TagDefEntry *built_primary = nullptr;
    const TagDefEntry *built_secondary = nullptr;
    int16_t built_primary_count = 0;
    int16_t built_secondary_count = 0;
    std::vector<IndexSlot> slots;
};

namespace {

const char group_length_name[] = "Group Length";
const char creator_name[] = "Private Data Creator";
const char unknown_vr_name[] = "??";
const char empty_text[] = "";

bool index_is_current(const AppData *app, const TagIndex *ix) {
    return ix->built_primary == app->primary_tags && ix->built_secondary == app->secondary_tags &&
           ix->built_primary_count == app->primary_count &&
           ix->built_secondary_count == app->secondary_count;
}

void append_rows(std::vector<IndexSlot> &slots, const TagDefEntry *rows, int16_t count) {
    for (int16_t i = 0; rows != nullptr && i < count; i++)
        slots.push_back({rows[i].tag, &rows[i]});
}

/* Primary rows go in before secondary ones and the sort is stable, so the
 * first slot of every run of equal keys is the row a scan finds first. */
void build_index(const AppData *app, TagIndex *ix) {
    ix->slots.clear();
    ix->slots.reserve((size_t)std::max<int>(0, app->primary_count) +
                      (size_t)std::max<int>(0, app->secondary_count));
    append_rows(ix->slots, app->primary_tags, app->primary_count);
    append_rows(ix->slots, app->secondary_tags, app->secondary_count);
    std::stable_sort(ix->slots.begin(), ix->slots.end(),
                     [](const IndexSlot &a, const IndexSlot &b) { return a.key < b.key; });
    auto last = std::unique(ix->slots.begin(), ix->slots.end(),
                            [](const IndexSlot &a, const IndexSlot &b) { return a.key == b.key; });
    ix->slots.erase(last, ix->slots.end());
    ix->built_primary = app->primary_tags;
    ix->built_secondary = app->secondary_tags;
    ix->built_primary_count = app->primary_count;
    ix->built_secondary_count = app->secondary_count;
}

/* The plain scan; used only when the index cannot be built (no memory). */
const TagDefEntry *scan_rows(const TagDefEntry *rows, int16_t count, uint32_t key) {
    for (int16_t i = 0; rows != nullptr && i < count; i++)
        if (rows[i].tag == key)
            return &rows[i];
    return nullptr;
}

const TagDefEntry *scan_tables(const AppData *app, uint32_t key) {
    const TagDefEntry *row = scan_rows(app->primary_tags, app->primary_count, key);
    return row ? row : scan_rows(app->secondary_tags, app->secondary_count, key);
}

/* The index of app, built or rebuilt when stale; NULL when out of memory. */
TagIndex *current_index(AppData *app) {
    TagIndex *ix = app->index;
    if (ix != nullptr && index_is_current(app, ix))
        return ix;
    try {
        if (ix == nullptr)
            ix = app->index = new TagIndex;
        build_index(app, ix);
        return ix;
    } catch (const std::bad_alloc &) {
        tag_index_free(app);
        return nullptr;
    }
}

/* Curve groups 5000-501E and overlay groups 6000-601E are defined once, as
 * group 5000 or 6000; every (0020,31xx) is defined as (0020,3100).  Odd
 * groups in those ranges are private and stay as they are. */
uint32_t fold_key(uint32_t key) {
    const uint32_t group = key >> 16;
    const uint32_t element = key & 0xFFFF;
    const bool repeating =
        (group >= 0x5000 && group <= 0x501F) || (group >= 0x6000 && group <= 0x601F);
    if (repeating && (group & 1) == 0)
        return key & 0xFFE0FFFFu;
    if (group == 0x0020 && (element >> 8) == 0x31)
        return key & 0xFFFFFF00u;
    return key;
}

const TagDefEntry *find_row(AppData *app, uint32_t folded) {
    if (app == nullptr)
        return nullptr;
    if (app->primary_count <= 0 && app->secondary_count <= 0)
        return nullptr;
    TagIndex *ix = current_index(app);
    if (ix == nullptr)
        return scan_tables(app, folded);
    auto it = std::lower_bound(ix->slots.begin(), ix->slots.end(), folded,
                               [](const IndexSlot &s, uint32_t k) { return s.key < k; });
    return (it != ix->slots.end() && it->key == folded) ? it->row : nullptr;
}

/* Everything the seven lookups can answer for one tag. */
struct Answer {
    int vr;
    const char *vrname;
    const char *name;
    int16_t vm;
    const char *permitted;
};

const char *vr_name_or_unknown(int vr) {
    const char *name = changeVRToVRname(vr);
    return name ? name : unknown_vr_name;
}

/* The answer for a tag that no table holds, from its folded key. */
Answer fallback_answer(uint32_t folded) {
    const uint32_t group = folded >> 16;
    const uint32_t element = folded & 0xFFFF;
    if (element == 0x0000)
        return {VR_UL, VRTypes[VR_UL].name, group_length_name, 0, empty_text};
    if ((group & 1) != 0 && element >= 0x0010 && element <= 0x00FF)
        return {VR_LO, VRTypes[VR_LO].name, creator_name, 0, empty_text};
    return {-1, unknown_vr_name, empty_text, 0, empty_text};
}

Answer look_up(AppData *app, uint32_t tag) {
    const uint32_t folded = fold_key(tag);
    const TagDefEntry *row = find_row(app, folded);
    if (row == nullptr)
        return fallback_answer(folded);
    return {row->vr, vr_name_or_unknown(row->vr), row->name ? row->name : empty_text, row->vm,
            row->permitted ? row->permitted : empty_text};
}

} // namespace

void tag_index_free(AppData *app) {
    if (app == nullptr)
        return;
    delete app->index;
    app->index = nullptr;
}

extern "C" {

void getVR(AppData *app, uint32_t tag, int *vr) {
    *vr = look_up(app, tag).vr;
}

void getVRtext(AppData *app, uint32_t tag, int *vr, const char **vrname) {
    const Answer a = look_up(app, tag);
    *vr = a.vr;
    *vrname = a.vrname;
}

void getVRandName(AppData *app, uint32_t tag, int *vr, const char **vrname, const char **name) {
    const Answer a = look_up(app, tag);
    *vr = a.vr;
    *vrname = a.vrname;
    *name = a.name;
}

void getAttrName(AppData *app, uint32_t tag, const char **name) {
    *name = look_up(app, tag).name;
}

void getVM(AppData *app, uint32_t tag, int16_t *vm) {
    *vm = look_up(app, tag).vm;
}

void getPermitted(AppData *app, uint32_t tag, const char **permitted) {
    *permitted = look_up(app, tag).permitted;
}

int16_t DOU_defXVRTypeByTags(AppData *app, uint16_t group, uint16_t element, int *vr) {
    getVR(app, ((uint32_t)group << 16) | element, vr);
    return 0;
}

} // extern "C"
