/*
 * writenode_int.h -- what the writer's files share about the elements a
 * save writes (not exported): the tags they look for, the VR an element
 * goes out with and its header bytes (both made in writer.cpp), and where
 * a node stands in the tree.
 */
#ifndef QUENOR_WRITENODE_INT_H
#define QUENOR_WRITENODE_INT_H

#include <stddef.h>
#include <string.h>

#include "medcore.h"
#include "object_int.h"
#include "vr_int.h"

const uint32_t kUndefined = 0xFFFFFFFFu;
const uint32_t kPixelData = 0x7FE00010u;

/* The VR the dictionary gives the tag key; -1 for none. */
int dictionary_vr(AppData *app, uint32_t key);

/* The VR written for an element, and the one its value is swapped by (see
 * value_vr in vr_int.h); pixel data goes its own way. */
int node_vr(AppData *app, const DicomElement *e, PixelEncoding encoding);

/* Sequences and items; the content of one of defined length is raw bytes. */
bool is_container(AppData *app, const DicomElement *e);

/* An element header as it stands in a file: the tag; in an explicit-VR
 * syntax the VR letters (none for items and delimiters) and the length in
 * the form of the VR, else a 32-bit length.  The same bytes go to memory,
 * to the file and into the count. */
struct ElementHeader {
    unsigned char bytes[12];
    size_t size = 0;

    void put(TransferSyntaxCode ts, const void *number, size_t n) {
        memcpy(bytes + size, number, n);
        if (ts_needs_swap(ts))
            swapbytes(bytes + size, (int16_t)n);
        size += n;
    }
    void put16(TransferSyntaxCode ts, uint16_t v) { put(ts, &v, 2); }
    void put32(TransferSyntaxCode ts, uint32_t v) { put(ts, &v, 4); }
};

ElementHeader encode_header(TransferSyntaxCode ts, uint32_t key, int vr, uint32_t length);

static inline bool is_top_level(const DicomElement *e) {
    return e->parent && !e->parent->parent;
}

/* Pixel data inside an item (an icon image) is always copied natively:
 * only the image of the data set itself is PNG-encoded. */
static inline bool is_nested(const DicomElement *e) {
    return e->parent && e->parent->parent;
}

static inline bool is_delimiter_node(const DicomElement *e) {
    return e->group == 0xFFFE && (e->element == 0xE00D || e->element == 0xE0DD);
}

#endif
