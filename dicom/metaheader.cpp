/*
 * metaheader.cpp -- (re)builds the File Meta Information group 0002 in the
 * object before a save with a meta header: group length placeholder,
 * version, SOP class and instance UIDs taken from (0008,0016)/(0008,0018),
 * transfer syntax placeholder (the writer puts the real UID), an empty
 * implementation class UID, and the version and source application names
 * made from the application name and version in AppData.
 */
#include <ctype.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "medcore.h"

namespace {

/* A (0002,element) that holds items (a damaged file read it as a
 * sequence) goes before its replacement, which would keep them. */
void drop_if_container(AppData *app, DicomObject *obj, uint16_t element) {
    for (DicomElement *e = obj->root->first_child; e; e = e->next) {
        if (e->group == 0x0002 && e->element == element && e->first_child) {
            DicomElementHead rec;
            memset(&rec, 0, sizeof rec);
            rec.group = 0x0002;
            rec.element = element;
            DO_deleteElement(app, obj, &rec);
            return;
        }
    }
}

/* Adds (0002,element) with a copy of the given bytes (none for length 0). */
void add_meta(AppData *app, DicomObject *obj, uint16_t element, const void *bytes,
              uint32_t length) {
    drop_if_container(app, obj, element);
    DicomElementHead rec;
    memset(&rec, 0, sizeof rec);
    rec.group = 0x0002;
    rec.element = element;
    rec.length = length;
    DOU_defXVRTypeByTags(app, rec.group, rec.element, &rec.vr);
    if (length > 0) {
        D_Alloc(&rec);
        if (rec.value)
            memcpy(rec.value, bytes, length);
        else
            rec.length = 0; /* no memory: the element goes in empty */
    }
    DO_addElement(app, obj, &rec);
    free(rec.value);
}

/* (0002,element) from the value of the top-level (0008,source). */
void add_copied_uid(AppData *app, DicomObject *obj, uint16_t source, uint16_t element) {
    DicomElementHead rec;
    memset(&rec, 0, sizeof rec);
    rec.group = 0x0008;
    rec.element = source;
    DOU_defXVRTypeByTags(app, rec.group, rec.element, &rec.vr);
    DO_searchForElement(obj, &rec);
    if (!rec.value)
        return;
    drop_if_container(app, obj, element);
    rec.group = 0x0002;
    rec.element = element;
    rec.flags = 0;
    DOU_defXVRTypeByTags(app, rec.group, rec.element, &rec.vr);
    DO_addElement(app, obj, &rec);
    free(rec.value);
}

/* The first word of text (leading white space skipped), at most max chars. */
std::string first_word(const char *text, size_t max) {
    std::string word;
    if (!text)
        return word;
    while (*text && isspace((unsigned char)*text))
        text++;
    while (*text && !isspace((unsigned char)*text) && word.size() < max)
        word += *text++;
    return word;
}

void add_text(AppData *app, DicomObject *obj, uint16_t element, std::string text) {
    if (text.empty())
        return;
    if (text.size() % 2)
        text += ' ';
    add_meta(app, obj, element, text.data(), (uint32_t)text.size());
}

} // namespace

extern "C" {

int16_t DO_generateMetaHeader(AppData *app, IOObject *io) {
    if (!io || !io->object)
        return 0;
    DicomObject *obj = io->object;
    const uint32_t zero = 0;
    const unsigned char version[2] = {0x00, 0x01};
    const char uid[18] = "1.2.840.10008.1.2";
    /* Group 0002 belongs at the top level, also when a read left a
     * sequence or item open (its content ending at the end of the file). */
    DicomElement *open_parent = obj->insert_parent;
    obj->insert_parent = obj->root;

    add_meta(app, obj, 0x0000, &zero, 4);
    add_meta(app, obj, 0x0001, version, 2);
    add_copied_uid(app, obj, 0x0016, 0x0002);
    add_copied_uid(app, obj, 0x0018, 0x0003);
    add_meta(app, obj, 0x0010, uid, 18);
    add_meta(app, obj, 0x0012, nullptr, 0);
    std::string name = first_word(app ? app->name : nullptr, 64);
    add_text(app, obj, 0x0013, name + first_word(app ? app->version : nullptr, 16));
    add_text(app, obj, 0x0016, name);
    obj->insert_parent = open_parent;
    return 0;
}

} // extern "C"
