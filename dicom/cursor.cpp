/*
 * cursor.cpp -- the element-tree cursor of a DicomObject: find an element
 * among the siblings of a position (or inside an item), select or append an
 * item of a sequence, insert or replace an element in tag order, delete an
 * element with its descendants.
 *
 * The cursor means: empty -- the top level; an item -- inside that item;
 * any other element -- among that element's siblings.
 *
 * A sequence or item of defined length read from a file holds its content
 * as raw bytes in its value; a save writes the children of a node instead
 * of its value, so no item is appended to such a sequence and nothing is
 * added inside such an item: both are refused with a message.  An item is
 * added only among the items of a sequence: at the top level or among the
 * elements of an item it is refused with a message too.
 */
#include "logf_int.h"
#include "object_int.h"

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

/* A new undefined-length item behind the items that open seq's children
 * (so before a sequence delimiter); null when out of memory. */
DicomElement *append_item(AppData *app, DicomElement *seq) {
    DicomElementHead head = {};
    head.group = 0xFFFE;
    head.element = 0xE000;
    head.length = 0xFFFFFFFFu;
    int vr = -1;
    DOU_defXVRTypeByTags(app, head.group, head.element, &vr);
    head.vr = vr;
    DicomElement *item = _make_node(&head);
    if (!item)
        return nullptr;
    DicomElement *last_item = nullptr;
    DicomElement *c = seq->first_child;
    for (; c && is_item(c); c = c->next)
        last_item = c;
    _link_between(seq, item, last_item, c);
    return item;
}

/* A new item asked of a sequence whose items are raw bytes: refused. */
bool refuses_new_item(const DicomElement *seq) {
    if (!seq->value)
        return false;
    log_formatted(1,
                  "Sequence (%04hx,%04hx) has a defined length and holds its items as raw "
                  "bytes: no item can be appended to it.",
                  seq->group, seq->element);
    return true;
}

/* An element to add inside an item whose elements are raw bytes: refused. */
bool refuses_content(const DicomElement *cursor) {
    if (!cursor || !is_item(cursor) || !cursor->value)
        return false;
    const DicomElement *seq = cursor->parent;
    log_formatted(1,
                  "An item of sequence (%04x,%04x) has a defined length and holds its "
                  "elements as raw bytes: no element can be added inside it.",
                  seq ? (unsigned)seq->group : 0u, seq ? (unsigned)seq->element : 0u);
    return true;
}

/* An item to add where the cursor's level is no sequence's: the top level
 * or the elements of an item, where a save could not write it.  Refused. */
bool refuses_item_out_of_place(DicomObject *obj, const DicomElementHead *rec) {
    if (tag_key(rec->group, rec->element) != TAG_KEY_ITEM)
        return false;
    const DicomElement *c = obj->cursor;
    const DicomElement *level = !c || !c->parent ? obj->root : is_item(c) ? c : c->parent;
    if (level != obj->root && !is_item(level))
        return false;
    log_formatted(1, "An item (fffe,e000) is added only among the items of a sequence, not %s.",
                  level == obj->root ? "at the top level" : "among the elements of an item");
    return true;
}

} // namespace

int16_t _search_position(AppData *app, DicomObject *obj, DicomElement **position, uint16_t group,
                         uint16_t element, int16_t index, bool *failed) {
    *failed = false;
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
        else if ((*failed = refuses_new_item(m)) || (*failed = !(pos = append_item(app, m))))
            return -1;
    }
    *position = pos;
    obj->cursor = pos;
    return pos ? 0 : -1;
}

int16_t DE_search(AppData *app, DicomObject *obj, DicomElement **position, uint16_t group,
                  uint16_t element, int16_t index) {
    bool failed;
    return _search_position(app, obj, position, group, element, index, &failed);
}

int16_t DE_add(AppData *app, DicomObject *obj, DicomElementHead *given) {
    if (!obj || !given)
        return 0;
    (void)app;
    if (refuses_content(obj->cursor) || refuses_item_out_of_place(obj, given))
        return -1;
    /* A value of length 0 or undefined has no bytes to copy: on every path
     * the element goes on without value and with that length. */
    DicomElementHead plain = *given;
    if (!has_value_bytes(plain.length))
        plain.value = nullptr;
    DicomElementHead *rec = &plain;
    if (!obj->cursor) {
        /* The top level, as DO_addElement adds there; the insertion
         * parent, which follows a file being built, plays no part, so a
         * sequence added here never takes in the next add.  A failed add
         * is reported (the element is not there). */
        int16_t result = _add_top_level(obj, rec);
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

    DicomElementHead made;
    if (cur && element_key(cur) == key) {
        /* Replaced in place: siblings and parent stay, and the children (a
         * sequence's items) unless the new value holds the whole content;
         * the old value goes once the new one is made. */
        const bool copied = _prepare_head(&made, rec);
        _replace_element(cur, &made);
        return copied ? 0 : -1;
    }

    if (!_prepare_head(&made, rec))
        return -1;
    DicomElement *node = _node_with(&made);
    if (!node)
        return -1;
    if (cur)
        _link_between(cur->parent, node, pred, cur);
    else if (pred)
        _link_between(pred->parent, node, pred, nullptr);
    else
        _link_between(obj->cursor, node, nullptr, nullptr); /* an item without children */
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
    _remove_element(*element);
    *element = nullptr; /* the caller's pointer would name freed memory */
}
