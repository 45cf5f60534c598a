/*
 * writer.cpp -- saves the object of an IOObject as a DICOM file: the
 * exported calls DO_checkObject, DO_calcElementsLength and
 * DO_copyObjectToFile, the VR and header each element is written with, and
 * the two passes over the tree, the count and the write, which share the
 * pass state (begin_pass) and the element headers (encode_header).
 *
 * A save normalises the tree, resolves the output syntaxes and checks the
 * structure for them (normalise.cpp: nothing other readers cannot parse
 * back, such as a value written as a sequence that is not items), then
 * counts: it rebuilds the meta group
 * and stores group lengths and (0008,0001); a group length or (0008,0001)
 * that 32 bits cannot hold fails the save before any byte is written.  The
 * write puts preamble, "DICM", meta group and data set into the save
 * target (savetarget.cpp); SIGINT, SIGTERM or SIGHUP meanwhile fail the
 * save as a failed write does (savesignals.cpp).  Elements of the command
 * group 0000 are never written, at any depth.  Unless the caller chose
 * another syntax for it, the meta group goes out in explicit VR little
 * endian, whatever syntax it was read in.  Pixel data that is not copied
 * leaves out the Extended Offset Table and its lengths with it.
 *
 * The VR written is the dictionary's, never the one stored in the element,
 * with what the dictionary leaves open resolved as value_vr (vr_int.h)
 * does: XS as SS or US by the Pixel Representation, XU as US, OX as OW or
 * OB; where the dictionary says OB, OW or OX, the letters OB or OW an
 * explicit-VR file gave the value are kept, with its bytes as they lie, and
 * so are letters that say the value is another kind of value than the
 * dictionary's VR does (DS text under an SS tag), the value swapped by
 * them; a tag without a usable dictionary VR keeps the VR letters its file
 * gave it, or goes out as UN.  Pixel data goes out as OB or OW by its Bits
 * Allocated (OB when PNG-encoded or labelled OB by its source), any other
 * element of undefined length as SQ, and a value too long for the 16-bit
 * length of its VR as UN.
 *
 * Sequences and items of defined length, which the reader keeps as raw
 * bytes, go out unchanged in the syntax they were read in and are
 * re-encoded in any other (rawcontent.cpp); a save encodes each once, in
 * its count, and writes what the count measured.  Group lengths and
 * (0008,0001) are measured on the bytes actually written and corrected in
 * the file and the tree when the counted value differs (pixel data
 * re-encoded as PNG, for one), and so are the record offsets of a
 * directory (diroffsets.cpp).
 */
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <new>
#include <string>

#include "diroffsets_int.h"
#include "logf_int.h"
#include "medcore.h"
#include "normalise_int.h"
#include "object_int.h"
#include "owners_int.h"
#include "rawcontent_int.h"
#include "savetarget_int.h"
#include "vr_int.h"
#include "writenode_int.h"
#include "writer_int.h"

namespace {

const uint32_t kMetaSyntax = 0x00020010u;
const uint32_t kLengthToEnd = 0x00080001u;
const uint32_t kExtendedOffsets = 0x7FE00001u;
const uint32_t kExtendedLengths = 0x7FE00002u;

/* The VR letters written: a value too long for the 16-bit length of its VR
 * goes out as UN, with a 32-bit length and its bytes as they are. */
int label_vr(int vr, uint32_t length) {
    if (!vr_has_long_length(vr) && length > 0xFFFE && length != kUndefined)
        return VR_UN;
    return vr;
}

} // namespace

/* ---- the VR and header of an element ---- */

int dictionary_vr(AppData *app, uint32_t key) {
    int vr = -1;
    getVR(app, key, &vr);
    return vr;
}

/* An element the reader opened as a sequence, which no dictionary knows,
 * stays one also when it turns out empty (it has length 0 then). */
int node_vr(AppData *app, const DicomElement *e, PixelEncoding encoding) {
    const uint32_t key = element_key(e);
    if (is_item_or_delimiter_key(key))
        return VR_XX;
    const int dict_vr = dictionary_vr(app, key);
    if (e->vr == VR_SQ && vr_is_unusable(dict_vr))
        return VR_SQ;
    return value_vr(e, dict_vr, encoding);
}

ElementHeader encode_header(TransferSyntaxCode ts, uint32_t key, int vr, uint32_t length) {
    ElementHeader h;
    h.put16(ts, (uint16_t)(key >> 16));
    h.put16(ts, (uint16_t)(key & 0xFFFF));
    if (!ts_is_explicit(ts) || is_item_or_delimiter_key(key)) {
        h.put32(ts, length);
        return h;
    }
    vr = label_vr(vr, length);
    h.bytes[h.size++] = (unsigned char)VRTypes[vr].name[0];
    h.bytes[h.size++] = (unsigned char)VRTypes[vr].name[1];
    if (vr_has_long_length(vr)) {
        h.put16(ts, 0);
        h.put32(ts, length);
    } else {
        h.put16(ts, (uint16_t)length);
    }
    return h;
}

bool is_container(AppData *app, const DicomElement *e) {
    return is_item(e) || node_vr(app, e, PE_NATIVE) == VR_SQ;
}

namespace {

/* An element of undefined length that is no item is written as a sequence:
 * the only VR a reader parses nested content of undefined length by. */
int header_vr(AppData *app, const DicomElement *e, uint32_t length, PixelEncoding encoding) {
    const uint32_t key = element_key(e);
    if (length == kUndefined && key != kPixelData && !is_item_or_delimiter_key(key))
        return VR_SQ;
    return node_vr(app, e, encoding);
}

/* Native samples of 8 bits or fewer are bytes, more are 16-bit words
 * unless the source labelled them OB; PNG streams are bytes.  Without a
 * descriptor of its own, pixel data goes by the data set's image
 * description. */
int pixel_vr(const IOObject *io, const PixelDataDesc *pds) {
    if (io->pass_encoding == PE_PNG || (pds && source_in_bytes(pds)))
        return VR_OB;
    const PixelDataDesc *geometry = pds ? pds : io->write_pds;
    return geometry && geometry->bits_allocated <= 8 ? VR_OB : VR_OW;
}

bool is_pds(const DicomElement *e) {
    return e->value && (e->flags & DE_FLAG_PIXEL_DESC);
}

bool is_pixel_element(const DicomElement *e) {
    return element_key(e) == kPixelData && e->length != 0 && (!e->value || is_pds(e));
}

/* The Extended Offset Table and its lengths beside pixel data that is not
 * copied: they would name where frames begin in a value written empty. */
bool indexes_pixels_left_out(const DicomElement *e, const IOObject *io) {
    const uint32_t key = element_key(e);
    if (io->copy_pixels || (key != kExtendedOffsets && key != kExtendedLengths) || !is_top_level(e))
        return false;
    const DicomElement *p = e->next; /* the list is sorted */
    while (p && element_key(p) < kPixelData)
        p = p->next;
    return p && element_key(p) == kPixelData && is_pixel_element(p);
}

/* Group 0000, the command group of network messages, is left out at every
 * depth, each element with what it holds: no file holds it, and sorted
 * ahead of the meta group it would stand between "DICM" and it, where no
 * reader looks for it.  Without a meta header so are the top-level
 * elements of groups 0001-0003 (inside items they are data).  And the
 * offsets of pixel data left out go with it. */
bool is_dropped(const DicomElement *e, const IOObject *io) {
    return e->group == 0 || (!io->meta_header && e->group <= 3 && is_top_level(e)) ||
           indexes_pixels_left_out(e, io);
}

/* The first top-level element of a group above 0003 starts the data set;
 * before a big-endian data set so does group 0003: read little endian, a
 * big-endian group 0300 would look like it, so behind group 0002 (as far
 * as (0002,0000) counts) a reader takes either for the data set. */
bool starts_data_set(const DicomElement *e, const IOObject *io) {
    if (!is_top_level(e))
        return false;
    return e->group > 3 || (e->group == 3 && io->out_ds_ts == TS_EXPLICIT_BE);
}

/* ---- the pass ---- */

/* The switch from the meta group to the data set at the first element of a
 * group above 0003.  TS_PNG (or any code above it) becomes explicit LE with
 * PNG pixel data when a meta header is written (for counting, the code
 * stays: its sizes equal explicit LE's). */
void enter_data_set(IOObject *io, bool writing) {
    io->in_meta_group = 0;
    TransferSyntaxCode ts = io->out_ds_ts;
    if (ts == TS_NONE)
        ts = io->meta_header ? io->named_ts : TS_IMPLICIT_LE;
    io->ts_in_force = ts;
    io->pass_ts = ts;
    io->pass_encoding = PE_NATIVE;
    if (ts > TS_EXPLICIT_BE) {
        if (writing)
            io->ts_in_force = TS_EXPLICIT_LE;
        io->pass_encoding = PE_PNG;
    }
}

/* "As read" is the input's syntax for the data set; a meta group goes out
 * in explicit VR little endian, the one syntax every reader looks for it
 * in, whatever syntax it was read in, unless the caller chose one. */
void resolve_output_syntaxes(IOObject *io) {
    if (io->out_meta_ts == TS_NONE)
        io->out_meta_ts = TS_EXPLICIT_LE;
    if (io->out_ds_ts == TS_NONE)
        io->out_ds_ts = io->in_ds_ts != TS_NONE ? io->in_ds_ts : TS_IMPLICIT_LE;
}

/* What the count and the write of one save share. */
struct SaveState {
    PixelDataDesc geometry{}; /* the image description of the data set */
    RecodedContent recoded;
    std::string too_long; /* the first length element whose count passes 32 bits */
};

/* One pass over the tree, the count or the write, with its state. */
struct Pass {
    AppData *app;
    IOObject *io;
    SaveState &state;
};

/* Prepares io and the tree for a pass: the syntax in force and the named
 * one as at the start of the file, native pixel data, the meta group open
 * when a meta header is written; the tree sorted and the image description
 * read from it. */
void begin_pass(AppData *app, IOObject *io, SaveState &state) {
    io->ts_in_force = io->meta_header ? io->out_meta_ts : io->out_ds_ts;
    io->named_ts = io->ts_in_force;
    io->pass_ts = io->out_ds_ts;
    io->pass_encoding = PE_NATIVE;
    io->in_meta_group = io->meta_header;
    _sort_tree(io->object->root);
    memset(&state.geometry, 0, sizeof state.geometry);
    fill_pds(app, io->object, &state.geometry);
}

/* The meta group's (0002,0010) is written naming the output syntax (an
 * element with that tag inside an item is data like any other). */
bool names_output_syntax(const DicomElement *e, const IOObject *io) {
    return element_key(e) == kMetaSyntax && e->value && is_top_level(e) &&
           transfer_syntax_uid(io->out_ds_ts) != nullptr;
}

uint32_t output_syntax_length(const IOObject *io) {
    const size_t n = strlen(transfer_syntax_uid(io->out_ds_ts));
    return (uint32_t)(n + (n & 1));
}

/* The length of an element whose value goes out as it is stored. */
uint32_t stored_length(const DicomElement *e) {
    if (!e->value)
        return e->length == kUndefined ? kUndefined : 0;
    return e->length;
}

/* The value length an ordinary element is written with; raw content that
 * cannot be re-encoded counts as stored (its write then fails). */
uint32_t value_length(const Pass &pass, const DicomElement *e) {
    if (names_output_syntax(e, pass.io))
        return output_syntax_length(pass.io);
    if (needs_recode(pass.app, e, pass.io)) {
        const RecodedContent::Entry &r = pass.state.recoded.of(pass.app, e, pass.io);
        if (r.ok)
            return (uint32_t)r.bytes.size();
    }
    return stored_length(e);
}

/* ---- the count ---- */

/* Size of a pixel data element: its header and the value a save is
 * expected to write (pixel_value_size_estimate). */
uint64_t count_pixel_element(const Pass &pass, const DicomElement *e) {
    IOObject probe = *pass.io;
    probe.write_pds = &pass.state.geometry;
    if (is_nested(e))
        probe.pass_encoding = PE_NATIVE;
    const PixelDataDesc *pds = is_pds(e) ? static_cast<const PixelDataDesc *>(e->value) : nullptr;
    uint64_t size = encode_header(probe.ts_in_force, kPixelData, pixel_vr(&probe, pds), 0).size;
    if (pds)
        size += pixel_value_size_estimate(&probe, pds);
    return size;
}

/* Encoded size of e with all it holds; crossing into the data set moves
 * the pass on as the write will.  Counted in 64 bits: a length element
 * that cannot hold the sum must be told, not wrapped. */
uint64_t count_element(const Pass &pass, DicomElement *e) {
    IOObject *io = pass.io;
    if (is_dropped(e, io))
        return 0;
    if (io->in_meta_group && starts_data_set(e, io))
        enter_data_set(io, false);
    uint64_t total = 0;
    for (DicomElement *c = e->first_child; c; c = c->next)
        total += count_element(pass, c);
    if (is_pixel_element(e))
        return total + count_pixel_element(pass, e);
    const uint32_t length = value_length(pass, e);
    const int vr = header_vr(pass.app, e, length, io->pass_encoding);
    total += encode_header(io->ts_in_force, element_key(e), vr, length).size;
    if (e->value)
        total += length;
    return total;
}

/* Whether n fits the 32-bit value of the length element e; the first
 * element it does not fit is noted in the state, with the length. */
bool fits_u32(SaveState &state, const DicomElement *e, uint64_t n) {
    if (n <= UINT32_MAX)
        return true;
    if (state.too_long.empty()) {
        char text[160];
        snprintf(text, sizeof text,
                 "Element (%04x,%04x) would have to hold the length %llu, which 32 bits cannot "
                 "hold.",
                 e->group, e->element, (unsigned long long)n);
        state.too_long = text;
    }
    return false;
}

/* Stores sum into a group-length element, giving it a 4-byte value first
 * when it has none; a sum past 32 bits is only noted.  The value is the
 * writer's own, a UL whatever VR letters its file gave the element. */
void store_u32(SaveState &state, DicomElement *e, uint64_t sum) {
    if (!fits_u32(state, e, sum))
        return;
    e->vr = VR_UL;
    if (!e->value || e->length != 4) {
        void *buf = calloc(1, 4);
        if (!buf)
            return;
        _free_value(e);
        e->value = buf;
        e->length = 4;
    }
    memcpy(e->value, &sum, 4);
}

/* Stores into every (gggg,0000) among the children of parent the encoded
 * size of the other elements of its group. */
void store_group_lengths(const Pass &pass, DicomElement *parent) {
    uint64_t sum = 0;
    int current = -1;
    DicomElement *pending = nullptr;
    for (DicomElement *e = parent->first_child; e; e = e->next) {
        if (e->element == 0x0000 && !e->first_child) { /* one that holds items is none */
            if (pending)
                store_u32(pass.state, pending, sum);
            sum = 0;
            pending = e;
            current = e->group;
        }
        const uint64_t size = count_element(pass, e);
        if (e->group == current) {
            if (e != pending)
                sum += size;
        } else if (pending) {
            store_u32(pass.state, pending, sum);
            pending = nullptr;
        }
    }
    if (pending)
        store_u32(pass.state, pending, sum);
}

/* The same inside every item, at every depth below parent. */
void store_nested_group_lengths(const Pass &pass, DicomElement *parent) {
    for (DicomElement *e = parent->first_child; e; e = e->next) {
        if (!e->first_child)
            continue;
        if (is_item(e))
            store_group_lengths(pass, e);
        store_nested_group_lengths(pass, e);
    }
}

/* Stores into a top-level (0008,0001) the encoded size of what follows it;
 * the object's cursor is left on it. */
void store_length_to_end(const Pass &pass) {
    AppData *app = pass.app;
    DicomObject *obj = pass.io->object;
    DicomElement *pos = nullptr;
    DE_search(app, obj, &pos, 0xFFFF, 0xFFFF, 0);
    if (DE_search(app, obj, &pos, 0x0008, 0x0001, 0) != 0 || !pos || pos->first_child)
        return;
    uint64_t counted = 0;
    for (DicomElement *e = pos->next; e; e = e->next)
        counted += count_element(pass, e);
    if (!fits_u32(pass.state, pos, counted))
        return;
    uint32_t rest = (uint32_t)counted;
    DicomElementHead rec = {};
    rec.group = 0x0008;
    rec.element = 0x0001;
    rec.length = 4;
    rec.value = &rest;
    DOU_defXVRTypeByTags(app, rec.group, rec.element, &rec.vr);
    DE_add(app, obj, &rec);
}

/* DO_calcElementsLength; the state is kept for a write that follows. */
void count_lengths(AppData *app, IOObject *io, SaveState &state) {
    _sort_tree(io->object->root);
    resolve_output_syntaxes(io);
    /* the one failure of the rebuild is memory running out */
    if (io->meta_header && DO_generateMetaHeader(app, io) != 0)
        throw std::bad_alloc();
    begin_pass(app, io, state);
    const Pass pass{app, io, state};
    store_group_lengths(pass, io->object->root);
    /* The data-set syntax is in force now: inside items the save changes
     * sizes too (empty sequences and items get length 0). */
    store_nested_group_lengths(pass, io->object->root);
    store_length_to_end(pass);
}

/* ---- the write ---- */

/* Measured size of a top-level group or of what follows (0008,0001). */
struct LengthMark {
    DicomElement *element = nullptr;
    off_t value_pos = 0;     /* where its 4-byte value lies in the file */
    off_t content_start = 0; /* first byte it counts */
    TransferSyntaxCode ts = TS_IMPLICIT_LE;
};

class FileWriter {
public:
    explicit FileWriter(const Pass &pass)
        : app_(pass.app), io_(pass.io), out_(pass.io->out), state_(pass.state) {}

    int16_t write_top_level(DicomElement *root) {
        for (DicomElement *e = root->first_child; e; e = e->next) {
            off_t start = ftello(out_);
            if (e->group != group_)
                close_group(start);
            group_ = e->group;
            if (write_element(e) != 0)
                return -1;
        }
        close_group(ftello(out_));
        if (lte_.element)
            patch(lte_, (uint64_t)(ftello(out_) - lte_.content_start));
        ok_ = ok_ && directory_.apply(out_);
        return ok_ ? 0 : -1;
    }

private:
    AppData *app_;
    IOObject *io_;
    FILE *out_;
    SaveState &state_;
    bool ok_ = true;
    int group_ = -1;
    LengthMark group_mark_;
    LengthMark lte_;
    DirectoryOffsets directory_;

    void close_group(off_t end) {
        if (group_mark_.element)
            patch(group_mark_, (uint64_t)(end - group_mark_.content_start));
        group_mark_ = LengthMark();
    }

    /* Makes the stored value say `measured`, in the tree and in the file;
     * a measure past 32 bits (PNG streams larger than the count) fails. */
    void patch(const LengthMark &m, uint64_t bytes) {
        if (!fits_u32(state_, m.element, bytes)) {
            log_formatted(1, "%s", state_.too_long.c_str());
            ok_ = false;
            return;
        }
        const uint32_t measured = (uint32_t)bytes;
        uint32_t stored;
        memcpy(&stored, m.element->value, 4);
        if (stored == measured)
            return;
        memcpy(m.element->value, &measured, 4);
        off_t back = ftello(out_);
        ok_ = ok_ && fseeko(out_, m.value_pos, SEEK_SET) == 0 && wr_u32(out_, m.ts, measured) &&
              fseeko(out_, back, SEEK_SET) == 0;
    }

    void write_bytes(const void *bytes, size_t n) { ok_ = ok_ && wr_bytes(out_, bytes, n); }

    void write_header(uint32_t key, int vr, uint32_t length) {
        const ElementHeader h = encode_header(io_->ts_in_force, key, vr, length);
        write_bytes(h.bytes, h.size);
    }

    /* The header, its length field from the pixel coder, which then writes
     * the value from the source file; length 0 when pixels are not copied. */
    int16_t write_pixel_data(DicomElement *e) {
        PixelDataDesc *pds = is_pds(e) ? static_cast<PixelDataDesc *>(e->value) : nullptr;
        const ElementHeader h =
            encode_header(io_->ts_in_force, element_key(e), pixel_vr(io_, pds), 0);
        if (!io_->copy_pixels || !pds || pds->length == 0) {
            write_bytes(h.bytes, h.size);
            return 0;
        }
        write_bytes(h.bytes, h.size - 4);
        FileOwner src(pds->filename ? fopen(pds->filename, "rb") : nullptr);
        if (!src) {
            log_formatted(1, "Cannot open the pixel data source %s: %s.",
                          pds->filename ? pds->filename : "(none)", strerror(errno));
            return -1;
        }
        setvbuf(src.get(), nullptr, _IOFBF, kOutputBuffer);
        if (fseeko(src.get(), pds->offset, SEEK_SET) != 0) {
            log_formatted(1, "Cannot find the pixel data in %s.", pds->filename);
            return -1;
        }
        return _write_pixeldata(src.get(), io_, pds);
    }

    /* (0002,0010) naming the output syntax, padded with a NUL. */
    void write_output_syntax(const DicomElement *e) {
        const char *uid = transfer_syntax_uid(io_->out_ds_ts);
        const size_t n = strlen(uid);
        const uint32_t padded = output_syntax_length(io_);
        write_header(element_key(e), VR_UI, padded);
        write_bytes(uid, n);
        write_bytes("", padded - n);
    }

    /* Raw content in the output syntax, as the count encoded it. */
    int16_t write_recoded(const DicomElement *e) {
        const RecodedContent::Entry &r = state_.recoded.of(app_, e, io_);
        if (!r.ok) {
            log_formatted(1, "Element (%04x,%04x) cannot be converted to the output syntax: %s.",
                          e->group, e->element, r.error.c_str());
            return -1;
        }
        write_header(element_key(e), node_vr(app_, e, io_->pass_encoding),
                     (uint32_t)r.bytes.size());
        note_raw_records(e, r.bytes.data(), r.bytes.size());
        write_bytes(r.bytes.data(), r.bytes.size());
        state_.recoded.forget(e);
        return 0;
    }

    /* Raw content about to be written at the output's position: the
     * records and offsets of a directory it holds. */
    void note_raw_records(const DicomElement *e, const unsigned char *bytes, size_t n) {
        if (is_record_sequence(e) || is_record(e))
            directory_.raw_written(e, bytes, n, ftello(out_), byte_syntax(io_->ts_in_force),
                                   raw_syntax(e, io_));
    }

    /* A directory offset just written: where its value lies. */
    void note_directory_offset(const DicomElement *e) {
        if (!e->value || e->length != 4 || !is_directory_offset(e))
            return;
        uint32_t named;
        memcpy(&named, e->value, 4);
        directory_.offset(element_key(e), ftello(out_) - 4, named, io_->ts_in_force);
    }

    /* A value as stored, its numbers swapped by its VR when the syntax
     * in force calls for it (the stored value is not touched). */
    void write_stored(const DicomElement *e) {
        const uint32_t length = stored_length(e);
        const int vr = header_vr(app_, e, length, io_->pass_encoding);
        write_header(element_key(e), vr, length);
        if (!e->value)
            return;
        if (!ts_needs_swap(io_->ts_in_force) || is_container(app_, e)) {
            note_raw_records(e, static_cast<const unsigned char *>(e->value), length);
            write_bytes(e->value, length);
            return;
        }
        std::vector<unsigned char> copy(static_cast<unsigned char *>(e->value),
                                        static_cast<unsigned char *>(e->value) + length);
        DicomElementHead swapped = {};
        swapped.value = copy.data();
        swapped.length = length;
        change_TransferSyntax(vr, &swapped);
        write_bytes(copy.data(), length);
    }

    int16_t write_value(const DicomElement *e) {
        if (names_output_syntax(e, io_)) {
            write_output_syntax(e);
            return 0;
        }
        if (needs_recode(app_, e, io_))
            return write_recoded(e);
        write_stored(e);
        note_directory_offset(e);
        return 0;
    }

    /* Top-level group lengths and (0008,0001): where their values lie. */
    void note_marks(DicomElement *e) {
        if (!e->value || e->length != 4)
            return;
        LengthMark m;
        m.element = e;
        m.ts = io_->ts_in_force;
        m.value_pos = ftello(out_) - 4;
        m.content_start = ftello(out_);
        if (e->element == 0x0000)
            group_mark_ = m;
        else if (element_key(e) == kLengthToEnd)
            lte_ = m;
    }

    /* Follows the meta group at a top-level element: the data set starts,
     * or (0002,0010) names the syntax it will be in. */
    void track_meta_group(const DicomElement *e) {
        if (!io_->in_meta_group || !is_top_level(e))
            return;
        if (starts_data_set(e, io_)) {
            enter_data_set(io_, true);
        } else if (element_key(e) == kMetaSyntax && e->value) {
            int code = transfer_syntax_code(static_cast<const char *>(e->value), e->length);
            if (code != TS_NONE)
                io_->named_ts = code;
        }
    }

    int16_t write_element(DicomElement *e) {
        if (is_dropped(e, io_)) {
            if (e->group == 0 && (io_->meta_header || !is_top_level(e)))
                log_formatted(2,
                              "Element (0000,%04x) belongs to the command group, which a file "
                              "does not hold: it is left out.",
                              e->element);
            return 0;
        }
        track_meta_group(e);
        if (is_record(e) && e->value_pos >= 8) /* the item header before its value */
            directory_.moved(e->value_pos - 8, ftello(out_));
        int16_t status = 0;
        if (is_pixel_element(e)) {
            NativeForNested native(io_, e);
            status = write_pixel_data(e);
        } else {
            status = write_value(e);
            if (status == 0 && is_top_level(e))
                note_marks(e);
        }
        if (status != 0)
            return -1;
        /* The delimitation item closes the container: it goes last, also
         * when elements with higher tags, (FFFF,xxxx) say, sort behind it. */
        for (int delimiters = 0; delimiters < 2; delimiters++)
            for (DicomElement *c = e->first_child; c; c = c->next)
                if (is_delimiter_node(c) == (delimiters == 1) && write_element(c) != 0)
                    return -1;
        return ok_ ? 0 : -1;
    }
};

/* ---- the save ---- */

/* Whether any top-level element lies above the groups 0000-0003, which a
 * save without meta header leaves out. */
bool holds_data_set_element(const DicomObject *obj) {
    for (const DicomElement *e = obj->root->first_child; e; e = e->next)
        if (e->group > 3)
            return true;
    return false;
}

/* io->out and io->write_pds for the time of the write. */
class WriteTarget {
public:
    WriteTarget(IOObject *io, FILE *out, PixelDataDesc *geometry) : io_(io) {
        io->out = out;
        io->write_pds = geometry;
    }
    ~WriteTarget() {
        io_->write_pds = nullptr;
        io_->out = nullptr;
    }

private:
    IOObject *io_;
};

/* The file: preamble and "DICM" with a meta header, then the tree. */
bool write_file(AppData *app, IOObject *io, SaveState &state, FILE *out) {
    setvbuf(out, nullptr, _IOFBF, kOutputBuffer);
    DicomObject *obj = io->object;
    bool ok = true;
    if (io->meta_header)
        ok = wr_bytes(out, obj->preamble, 128) && wr_bytes(out, "DICM", 4);
    begin_pass(app, io, state);
    const WriteTarget target(io, out, &state.geometry);
    if (!ok)
        return false;
    FileWriter writer(Pass{app, io, state});
    return writer.write_top_level(obj->root) == 0;
}

/* DO_copyObjectToFile after its checks. */
bool save(AppData *app, IOObject *io, const char *name) {
    const TargetKind kind = target_kind(name);
    if (kind == TargetKind::Refused) {
        log_refused_target(name);
        return false;
    }
    StreamTarget stream;
    std::string path;
    if (kind == TargetKind::WrittenInto ? !stream.open(name) : !replaced_path(name, &path))
        return false;
    check_object(app, io->object);
    resolve_output_syntaxes(io);
    const std::string fault = first_structural_fault(app, io, io->object->root);
    if (!fault.empty()) {
        log_formatted(1, "%s DICOM object %s is not saved.", fault.c_str(), name);
        return false;
    }
    SaveState state;
    count_lengths(app, io, state);
    if (!state.too_long.empty()) {
        log_formatted(1, "%s DICOM object %s is not saved.", state.too_long.c_str(), name);
        return false;
    }
    SaveSignals signals; /* outlives the temporary file */
    TempFile temp;
    if (kind == TargetKind::WrittenInto)
        return signals.passed(name, temp.create_spool() &&
                                        write_file(app, io, state, temp.stream()) &&
                                        stream.copy_from(temp.stream(), name));
    if (!temp.create(path.c_str()))
        return false;
    bool ok = write_file(app, io, state, temp.stream());
    ok = temp.finish(path.c_str()) && ok;
    return signals.passed(name, ok && !save_interrupted() && temp.replace(path.c_str()));
}

} // namespace

extern "C" {

/* The writer's scratch (sorting, re-encoded content, names) is C++:
 * memory running out for it fails these with -1. */

int16_t DO_checkObject(AppData *app, DicomObject *obj) {
    if (!obj)
        return 0;
    try {
        return check_object(app, obj);
    } catch (const std::bad_alloc &) {
        return -1;
    }
}

int16_t DO_calcElementsLength(AppData *app, IOObject *io) {
    if (!io || !io->object)
        return 0;
    try {
        SaveState state;
        count_lengths(app, io, state);
        if (!state.too_long.empty()) {
            log_formatted(1, "%s", state.too_long.c_str());
            return -1;
        }
        return 0;
    } catch (const std::bad_alloc &) {
        return -1;
    }
}

int16_t DO_copyObjectToFile(AppData *app, IOObject *io, const char *name) {
    if (!io || !io->object)
        return 0;
    if (!name)
        return -1;
    log_formatted(3, "Saving DICOM object %s", name);
    if (!io->meta_header && !holds_data_set_element(io->object)) {
        log_formatted(1,
                      "DICOM object %s holds no data-set element: without a meta header "
                      "the file would be empty.",
                      name);
        return -1;
    }
    try {
        if (!save(app, io, name))
            return -1;
    } catch (const std::bad_alloc &) {
        log_formatted(1, "Not enough memory to save DICOM object %s.", name);
        return -1;
    }
    log_formatted(3, "DICOM object %s successfully saved", name);
    return 0;
}

} // extern "C"
