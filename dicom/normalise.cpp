/*
 * normalise.cpp -- readies an element tree for a save and checks it.
 * Normalising settles the delimitation items: a sequence or item with
 * content ends in one delimiter of its own kind (children under a defined
 * length are written delimited instead), stray delimiters go, and an empty
 * one gets length 0.  The structural check then finds what no reader could
 * parse back (an item outside a sequence, anything else directly in one, a
 * group FFFE tag that is no item or delimiter, a value written as a
 * sequence that is not items, rawcontent.cpp), so that the save fails
 * before any byte is written.
 */
#include <stdio.h>

#include <string>

#include "normalise_int.h"
#include "object_int.h"
#include "rawcontent_int.h"
#include "writenode_int.h"

namespace {

/* Appends a delimitation item (length 0) to parent's children. */
DicomElement *new_delimiter(AppData *app, DicomElement *parent, uint16_t element) {
    DicomElementHead head = {};
    head.group = 0xFFFE;
    head.element = element;
    DOU_defXVRTypeByTags(app, head.group, head.element, &head.vr);
    DicomElement *d = _make_node(&head);
    if (d)
        _append_child(parent, d);
    return d;
}

/* A reader ends a container at any delimiter, so one of its own kind stays
 * (written after all other children, wherever sorting put it) and any
 * other goes (a damaged file can hold them).  A container left without
 * content gets length 0; one with content gets its delimiter. */
int16_t settle_delimiters(AppData *app, DicomElement *e, uint16_t delimiter) {
    bool content = false;
    DicomElement *own = nullptr;
    for (DicomElement *c = e->first_child, *next; c; c = next) {
        next = c->next;
        if (!is_delimiter_node(c))
            content = true;
        else if (c->element == delimiter && !own)
            own = c;
        else
            _remove_element(c);
    }
    if (!content) {
        if (own)
            _remove_element(own);
        e->length = 0;
        return 0;
    }
    if (own)
        return 0;
    return new_delimiter(app, e, delimiter) ? 0 : -1;
}

int16_t check_element(AppData *app, DicomElement *e) {
    for (DicomElement *c = e->first_child; c; c = c->next)
        if (check_element(app, c) != 0)
            return -1;
    uint32_t key = element_key(e);
    if (key == kPixelData || key == TAG_KEY_ITEM_DELIM || key == TAG_KEY_SEQ_DELIM)
        return 0;
    /* Beside the dictionary's sequences, any element that holds items or
     * has undefined length is a sequence (the reader opens it as one). */
    uint16_t delimiter;
    if (key == TAG_KEY_ITEM)
        delimiter = 0xE00D;
    else if (is_container(app, e) || e->first_child || e->length == kUndefined)
        delimiter = 0xE0DD;
    else
        return 0;
    if (!e->first_child) {
        if (!e->value)
            e->length = 0; /* raw content of a defined-length container is kept */
        return 0;
    }
    if (e->length != kUndefined) {
        /* Children under a defined length: write them delimited instead. */
        _free_value(e);
        e->length = kUndefined;
    }
    return settle_delimiters(app, e, delimiter);
}

/* Where e stands, for a message: "(0008,1115)/item 2/(0008,1150)". */
std::string path_of(const DicomElement *e) {
    std::string path;
    for (; e && e->parent; e = e->parent) {
        char step[24];
        if (is_item(e)) {
            int n = 1;
            for (const DicomElement *s = e->prev; s; s = s->prev)
                n += is_item(s);
            snprintf(step, sizeof step, "item %d", n);
        } else {
            snprintf(step, sizeof step, "(%04x,%04x)", e->group, e->element);
        }
        path = path.empty() ? step : std::string(step) + "/" + path;
    }
    return path;
}

/* A node that holds children and is written as a sequence. */
bool is_sequence_node(const DicomElement *e) {
    return e->parent && e->first_child && e->group != 0xFFFE && element_key(e) != kPixelData;
}

/* Why e, as the normalised tree holds it, cannot be written so that other
 * readers parse it back; empty when it can. */
std::string structural_fault(AppData *app, const IOObject *io, const DicomElement *e) {
    const uint32_t key = element_key(e);
    if (e->group == 0xFFFE && !is_item_or_delimiter_key(key))
        return "has the group of items and delimiters but is neither";
    if (key == TAG_KEY_ITEM && !is_sequence_node(e->parent))
        return "does not stand in a sequence";
    if (is_sequence_node(e->parent) && key != TAG_KEY_ITEM && key != TAG_KEY_SEQ_DELIM)
        return "stands directly in a sequence, where only items belong";
    if (e->first_child && key != TAG_KEY_ITEM && !is_sequence_node(e))
        return "holds elements, but is neither a sequence nor an item";
    return raw_content_fault(app, e, io);
}

} // namespace

int16_t check_object(AppData *app, DicomObject *obj) {
    _sort_tree(obj->root);
    int16_t result = 0;
    for (DicomElement *e = obj->root->first_child, *next; e && result == 0; e = next) {
        next = e->next;
        if (is_delimiter_node(e))
            _remove_element(e);
        else
            result = check_element(app, e);
    }
    obj->cursor = nullptr;
    return result;
}

std::string first_structural_fault(AppData *app, const IOObject *io, const DicomElement *parent) {
    for (const DicomElement *e = parent->first_child; e; e = e->next) {
        const std::string fault = structural_fault(app, io, e);
        if (!fault.empty()) {
            char text[64];
            snprintf(text, sizeof text, "%s (%04x,%04x) ", is_item(e) ? "Item" : "Element",
                     e->group, e->element);
            return text + (is_top_level(e) ? "at the top level" : "in " + path_of(e->parent)) +
                   " " + fault + ".";
        }
        std::string below = first_structural_fault(app, io, e);
        if (!below.empty())
            return below;
    }
    return std::string();
}
