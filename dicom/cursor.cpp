/*
 * cursor.cpp -- the element-tree cursor of a DicomObject: find an element
 * among the siblings of a position (or inside an item), select or append an
 * item of a sequence, insert or replace an element in tag order, delete an
 * element with its descendants.
 *
 * The cursor means: empty -- the top level; an item -- inside that item;
 * any other element -- among that element's siblings.
 */
#include "object_int.h"

#include <cstdlib>
#include <cstring>

namespace {

bool is_sequence(const DicomElement *e) {
    return e->vr == VR_SQ;
}

/* Where a sibling scan relative to the reference element begins. */
DicomElement *scan_start(DicomObject *obj, DicomElement *ref) {
    if (!ref)
        return obj->root->first_child;
    if (is_item(ref))
        return ref->first_child;
    return ref->parent ? ref->parent->first_child : ref;
}

DicomElement *find_sibling(DicomElement *from, uint16_t group, uint16_t element) {
    for (DicomElement *e = from; e; e = e->next)
        if (e->group == group && e->element == element)
            return e;
    return nullptr;
}

/* The index-th item (from 1) of the run of items that opens the sequence. */
DicomElement *nth_item(DicomElement *seq, int index) {
    int n = 0;
    for (DicomElement *c = seq->first_child; c && is_item(c); c = c->next)
        if (++n == index)
            return c;
    return nullptr;
}

void link_between(DicomElement *parent, DicomElement *node, DicomElement *before,
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
    _note_children_changed(parent);
}

/* A new undefined-length item behind the items that open seq's children
 * (so before a sequence delimiter); null when out of memory. */
DicomElement *append_item(AppData *app, DicomElement *seq) {
    DicomElement *item = static_cast<DicomElement *>(calloc(1, sizeof(DicomElement)));
    if (!item)
        return nullptr;
    item->group = 0xFFFE;
    item->element = 0xE000;
    item->length = 0xFFFFFFFFu;
    int vr = -1;
    DOU_defXVRTypeByTags(app, item->group, item->element, &vr);
    item->vr = vr;
    DicomElement *last_item = nullptr;
    DicomElement *c = seq->first_child;
    for (; c && is_item(c); c = c->next)
        last_item = c;
    link_between(seq, item, last_item, c);
    return item;
}

/* Gives e the head and a private copy of the value of rec.  A value that
 * cannot be allocated leaves e without value and with length 0: false. */
bool take_record(DicomElement *e, const DicomElementHead *rec) {
    e->group = rec->group;
    e->element = rec->element;
    e->length = rec->length;
    e->vr = rec->vr;
    e->flags = rec->flags;
    e->value = nullptr;
    e->content_ts = 0;
    if (!rec->value)
        return true;
    DicomElementHead buf = {};
    buf.length = rec->length;
    D_Alloc(&buf);
    bool needed = rec->length != 0 && rec->length != 0xFFFFFFFFu;
    if (buf.value)
        memcpy(buf.value, rec->value, rec->length);
    e->value = buf.value;
    e->length = buf.length;
    return buf.value || !needed;
}

} // namespace

int16_t DE_search(AppData *app, DicomObject *obj, DicomElement **position, uint16_t group,
                  uint16_t element, int16_t index) {
    if (!obj || !position)
        return -1;
    DicomElement *pos;
    if (group == 0xFFFF && element == 0xFFFF) {
        pos = obj->root->first_child;
    } else {
        DicomElement *m = find_sibling(scan_start(obj, *position), group, element);
        if (!m || index == 0)
            pos = m;
        else if (!is_sequence(m))
            pos = *position;
        else if (index > 0)
            pos = nth_item(m, index);
        else if (!(pos = append_item(app, m)))
            return -1;
    }
    *position = pos;
    obj->cursor = pos;
    return pos ? 0 : -1;
}

int16_t DE_add(AppData *app, DicomObject *obj, DicomElementHead *rec) {
    if (!obj || !rec)
        return 0;
    if (!obj->cursor) {
        /* A failed add is reported (the element is not there). */
        int16_t result = DO_addElement(app, obj, rec);
        obj->cursor = obj->root->first_child;
        return result;
    }
    uint32_t key = tag_key(rec->group, rec->element);
    DicomElement *cur = scan_start(obj, obj->cursor);
    DicomElement *pred = cur ? cur->prev : nullptr;
    while (cur && element_key(cur) < key) {
        pred = cur;
        cur = cur->next;
    }

    if (cur && element_key(cur) == key) {
        /* Replaced in place: siblings, children (a sequence's items) and
         * parent stay; the old value goes once the new one is made. */
        DicomElement old = *cur;
        bool ok = take_record(cur, rec);
        _free_value(&old);
        return ok ? 0 : -1;
    }

    DicomElement *node = static_cast<DicomElement *>(calloc(1, sizeof(DicomElement)));
    if (!node)
        return -1;
    if (!take_record(node, rec)) {
        free(node);
        return -1;
    }
    if (cur)
        link_between(cur->parent, node, pred, cur);
    else if (pred)
        link_between(pred->parent, node, pred, nullptr);
    else
        link_between(obj->cursor, node, nullptr, nullptr); /* an item without children */
    return 0;
}

int16_t DE_delete(AppData *app, DicomObject *obj, DicomElementHead *rec) {
    if (!obj || !rec)
        return -1;
    uint32_t key = tag_key(rec->group, rec->element);
    DicomElement *target;
    if (key == 0xFFFFFFFFu) {
        target = obj->cursor;
    } else {
        DicomElement *cur;
        if (!obj->cursor)
            cur = obj->root->first_child;
        else if (is_item(obj->cursor) && key != TAG_KEY_ITEM)
            cur = obj->cursor->first_child;
        else
            cur = obj->cursor->parent ? obj->cursor->parent->first_child : obj->cursor;
        /* Relies on ascending order, as the lists are after a sort. */
        while (cur && element_key(cur) < key)
            cur = cur->next;
        target = cur && element_key(cur) == key ? cur : nullptr;
    }
    if (!target)
        return -1;
    obj->cursor = target->next;
    DE_deleteSubTree(app, &target);
    return 0;
}

void DE_deleteSubTree(AppData *app, DicomElement **element) {
    (void)app;
    if (!element || !*element)
        return;
    DicomElement *e = *element;
    _forget_refs_into(e);
    _unlink_element(e);
    _free_element(e);
}
