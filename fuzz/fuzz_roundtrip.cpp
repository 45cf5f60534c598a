/*
 * fuzz_roundtrip.cpp -- libFuzzer target for reading and writing together:
 * every input the reader accepts is saved with a meta header in each of the
 * three native syntaxes, and every save that succeeds must read back with
 * the same elements at every depth holding the same values as the tree
 * read from the input.  Group lengths, (0008,0001) and the meta group are
 * left aside (the save recomputes them), the command group 0000 at every
 * depth (the save leaves it out), delimiters too (the save writes
 * them for every container of undefined length), and so are the values of
 * directory record offsets (the save makes them name where the records
 * now stand); sequences and items of
 * defined length are compared by their parsed content, not their raw
 * bytes.  A difference aborts with the path of the element.
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fuzz_setup.h"
#include "medcore.h"
#include "object_int.h"
#include "vr_int.h"
#include "writer_int.h"

namespace {

AppData app;
DefHolder defs;
std::string scratch_dir;

void remove_scratch() {
    for (const char *f : {"/in.dcm", "/out0.dcm", "/out1.dcm", "/out2.dcm"})
        unlink((scratch_dir + f).c_str());
    rmdir(scratch_dir.c_str());
}

void set_up() {
    load_definitions(&app, "fuzz_roundtrip", &defs);
    char name[] = "/tmp/fuzz_roundtrip_XXXXXX";
    if (!mkdtemp(name))
        abort();
    scratch_dir = name;
    atexit(remove_scratch);
    log_mask(0);
}

/* One object read as the programs read it. */
struct Read {
    IOObject io;
    int16_t status;
    explicit Read(const std::string &path) {
        init_IOObject(&io);
        io.out_meta_ts = -1;
        io.out_ds_ts = -1;
        io.meta_header = 1;
        status = DO_importObjectFromFile(&app, &defs, path.c_str(), &io);
    }
    ~Read() { DO_closeObject(&io); }
};

[[noreturn]] void differ(const std::string &where, const char *what, int ts) {
    fprintf(stderr, "saved in syntax %d and read back: %s %s\n", ts, where.c_str(), what);
    abort();
}

std::string tag_text(const DicomElement *e) {
    char tag[24];
    snprintf(tag, sizeof tag, "(%04X,%04X)", e->group, e->element);
    return tag;
}

bool is_delimiter(const DicomElement *e) {
    uint32_t k = element_key(e);
    return k == TAG_KEY_ITEM_DELIM || k == TAG_KEY_SEQ_DELIM;
}

bool skipped(const DicomElement *e, bool top) {
    if (is_delimiter(e) || e->element == 0x0000 || e->group == 0x0000)
        return true;
    return top && (e->group <= 3 || element_key(e) == 0x00080001u);
}

/* (0004,1200), (0004,1202), (0004,1400), (0004,1420): byte positions of
 * directory records, which every save moves. */
bool is_record_offset_key(uint32_t k) {
    return k == 0x00041200u || k == 0x00041202u || k == 0x00041400u || k == 0x00041420u;
}

bool is_record_offset(const DicomElement *e) {
    return is_record_offset_key(element_key(e));
}

/* Implicit VR little endian content with the values of record offsets
 * zeroed, at every depth: items, sequences and content of undefined length
 * are stepped into, other values over. */
void blank_record_offsets(std::vector<unsigned char> &bytes) {
    for (size_t at = 0; at + 8 <= bytes.size();) {
        uint32_t key, length;
        key =
            (uint32_t)(bytes[at] | bytes[at + 1] << 8) << 16 | (bytes[at + 2] | bytes[at + 3] << 8);
        memcpy(&length, &bytes[at + 4], 4);
        at += 8;
        int vr = -1;
        getVR(&app, key, &vr);
        if (length == 0xFFFFFFFFu || key == TAG_KEY_ITEM || vr == VR_SQ)
            continue;
        if (is_record_offset_key(key) && length == 4 && at + 4 <= bytes.size())
            memset(&bytes[at], 0, 4);
        at += std::min<size_t>(length, bytes.size() - at);
    }
}

bool is_pixel_descriptor(const DicomElement *e) {
    return element_key(e) == 0x7FE00010u && e->value && (e->flags & DE_FLAG_PIXEL_DESC);
}

/* Native pixel bytes of a descriptor, samples little endian. */
std::string pixel_bytes(const PixelDataDesc *d) {
    std::string bytes(d->length, '\0');
    FILE *f = fopen(d->filename, "rb");
    if (!f || fseeko(f, d->offset, SEEK_SET) != 0 || fread(&bytes[0], 1, d->length, f) != d->length)
        bytes = "unreadable";
    if (f)
        fclose(f);
    /* OW words: samples of more than 8 bits whatever their size (unless
     * the source labelled them OB), and one-byte samples that a big-endian
     * source holds in OW words */
    const unsigned unit =
        d->src_word_bytes != 1 && (d->bits_allocated > 8 || d->src_word_bytes == 2) ? 2 : 1;
    if (d->src_ts == TS_EXPLICIT_BE && unit > 1)
        for (size_t i = 0; i + unit <= bytes.size(); i += unit)
            std::reverse(bytes.begin() + i, bytes.begin() + i + unit);
    return bytes;
}

/* Raw content in one canonical form: implicit VR little endian; explicit
 * VR little endian where it holds a value that implicit VR would make a
 * sequence (a save in implicit VR refuses it); or the bytes themselves
 * when they are no well-formed content. */
std::string canonical(const DicomElement *e, TransferSyntaxCode data_set_ts) {
    std::vector<unsigned char> out;
    const TransferSyntaxCode from = content_syntax(e, data_set_ts);
    if (recode_raw_content(&app, e->value, e->length, from, TS_IMPLICIT_LE, out)) {
        blank_record_offsets(out);
        return "parsed:" + std::string(out.begin(), out.end());
    }
    out.clear();
    if (recode_raw_content(&app, e->value, e->length, from, TS_EXPLICIT_LE, out))
        return "explicit:" + std::string(out.begin(), out.end());
    return "raw:" + std::string(static_cast<const char *>(e->value), e->length);
}

/* A sequence or item of defined length, as the writer takes it: by the
 * dictionary, or by the VR letters SQ of a tag it gives no VR (in an
 * implicit VR read-back nothing tells, and the other side decides). */
bool holds_raw_content(const DicomElement *e) {
    if (!e->value || e->first_child || e->length == 0xFFFFFFFFu)
        return false;
    int vr = -1;
    getVR(&app, element_key(e), &vr);
    return element_key(e) == TAG_KEY_ITEM || value_vr(e, vr, 0) == VR_SQ;
}

/* An element without value and without children other than delimiters:
 * an empty sequence or item, whatever its length says. */
bool is_empty(const DicomElement *e) {
    if (e->value)
        return false;
    for (const DicomElement *c = e->first_child; c; c = c->next)
        if (!is_delimiter(c))
            return false;
    return true;
}

struct Sides {
    TransferSyntaxCode a_ts, b_ts;
    int out_ts;
};

void compare(const DicomElement *a, const DicomElement *b, bool top, const std::string &where,
             const Sides &s) {
    const DicomElement *x = a->first_child, *y = b->first_child;
    for (;;) {
        while (x && skipped(x, top))
            x = x->next;
        while (y && skipped(y, top))
            y = y->next;
        if (!x || !y)
            break;
        const std::string here = where + tag_text(x);
        if (element_key(x) != element_key(y))
            differ(here, "has another tag beside it", s.out_ts);
        if (is_pixel_descriptor(x) || is_pixel_descriptor(y)) {
            if (!is_pixel_descriptor(x) || !is_pixel_descriptor(y))
                differ(here, "pixel data lost its description", s.out_ts);
            const PixelDataDesc *p = static_cast<const PixelDataDesc *>(x->value);
            const PixelDataDesc *q = static_cast<const PixelDataDesc *>(y->value);
            if (p->src_encoding == 0 && q->src_encoding == 0 && pixel_bytes(p) != pixel_bytes(q))
                differ(here, "pixel bytes differ", s.out_ts);
        } else if (holds_raw_content(x) || holds_raw_content(y)) {
            if (canonical(x, s.a_ts) != canonical(y, s.b_ts))
                differ(here, "raw content differs", s.out_ts);
        } else if (!(is_empty(x) && is_empty(y))) {
            if (x->length != y->length && x->value)
                differ(here, "length differs", s.out_ts);
            if ((x->value == nullptr) != (y->value == nullptr))
                differ(here, "value lost or gained", s.out_ts);
            if (x->value && !is_record_offset(x) && memcmp(x->value, y->value, x->length) != 0)
                differ(here, "value differs", s.out_ts);
        }
        compare(x, y, false, here, s);
        x = x->next;
        y = y->next;
    }
    if (x || y)
        differ(where + (x ? tag_text(x) : tag_text(y)), "is on one side only", s.out_ts);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (scratch_dir.empty())
        set_up();
    const std::string in = scratch_dir + "/in.dcm";
    write_input(in, data, size);

    Read ref(in);
    if (ref.status != 0)
        return 0;
    SortCodes(ref.io.object->root); /* the order, and the one of equal tags, a save keeps */
    for (int ts = 0; ts <= 2; ts++) {
        const std::string out = scratch_dir + "/out" + std::to_string(ts) + ".dcm";
        Read work(in);
        work.io.out_meta_ts = TS_EXPLICIT_LE;
        work.io.out_ds_ts = ts;
        work.io.meta_header = 1;
        if (work.status != 0 || DO_copyObjectToFile(&app, &work.io, out.c_str()) != 0)
            continue;
        Read back(out);
        if (back.status != 0)
            differ("the whole file", "cannot be read", ts);
        compare(ref.io.object->root, back.io.object->root, true, "",
                {ref.io.in_ds_ts, back.io.in_ds_ts, ts});
    }
    return 0;
}
