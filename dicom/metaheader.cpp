/*
 * metaheader.cpp -- (re)builds the File Meta Information group 0002 in the
 * object before a save with a meta header: group length placeholder,
 * version, SOP class and instance UIDs taken from (0008,0016)/(0008,0018),
 * transfer syntax placeholder (the writer puts the real UID), the
 * toolkit's implementation class UID, and the version and source
 * application names made from the application name and version in AppData.
 */
#include <ctype.h>

#include <new>
#include <string>

#include "object_int.h"

namespace {

/* This toolkit's Implementation Class UID: made once under the "2.25" arc
 * from a UUID, and never changed. */
const char kImplementationClassUid[] = "2.25.219040117695661194751458317359022032002";

/* Adds (0002,element) with a copy of the given bytes (none for length 0). */
void add_meta(AppData *app, DicomObject *obj, uint16_t element, const void *bytes,
              uint32_t length) {
    ElementRecord meta(app, 0x0002, element);
    if (length > 0 && !_copy_value(&meta.rec, bytes, length))
        meta.rec.length = 0; /* no memory: the element goes in empty */
    DO_addElement(app, obj, &meta.rec);
}

/* (0002,element) from the value of the top-level (0008,source). */
void add_copied_uid(AppData *app, DicomObject *obj, uint16_t source, uint16_t element) {
    ElementRecord uid(app, 0x0008, source);
    uid.search(obj);
    if (!uid.rec.value)
        return;
    uid.set_tag(app, 0x0002, element);
    uid.rec.flags = 0;
    DO_addElement(app, obj, &uid.rec);
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

/* Adds the elements of group 0002, each replacing one with its tag. */
void add_meta_group(AppData *app, DicomObject *obj) {
    const uint32_t zero = 0;
    const unsigned char version[2] = {0x00, 0x01};
    const char uid[18] = "1.2.840.10008.1.2";
    add_meta(app, obj, 0x0000, &zero, 4);
    add_meta(app, obj, 0x0001, version, 2);
    add_copied_uid(app, obj, 0x0016, 0x0002);
    add_copied_uid(app, obj, 0x0018, 0x0003);
    add_meta(app, obj, 0x0010, uid, 18);
    add_meta(app, obj, 0x0012, kImplementationClassUid, sizeof kImplementationClassUid - 1);
    std::string name = first_word(app ? app->name : nullptr, 64);
    add_text(app, obj, 0x0013, name + first_word(app ? app->version : nullptr, 16));
    add_text(app, obj, 0x0016, name);
}

} // namespace

extern "C" {

/* The version names are built in std::string: memory running out there
 * ends the rebuild with -1, the elements added so far staying. */
int16_t DO_generateMetaHeader(AppData *app, IOObject *io) {
    if (!io || !io->object)
        return 0;
    DicomObject *obj = io->object;
    /* Group 0002 belongs at the top level, also when a read left a
     * sequence or item open (its content ending at the end of the file). */
    DicomElement *open_parent = obj->insert_parent;
    obj->insert_parent = obj->root;
    int16_t result = 0;
    try {
        add_meta_group(app, obj);
    } catch (const std::bad_alloc &) {
        result = -1;
    }
    obj->insert_parent = open_parent;
    return result;
}

} // extern "C"
