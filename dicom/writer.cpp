/*
 * writer.cpp -- saves the object of an IOObject as a DICOM file.
 *
 * DO_checkObject normalises sequences and items (delimitation items),
 * DO_calcElementsLength resolves the output syntaxes, rebuilds the meta
 * group and counts group lengths and (0008,0001), and DO_copyObjectToFile
 * writes preamble, "DICM", meta group and data set into a private temporary
 * file beside the target, which then replaces the target in one rename.
 * A target that exists and is no regular file is never replaced: the
 * finished file is copied into a character device or FIFO from a spool
 * file, replaces the file a symbolic link leads to (the link stays), and
 * any other kind of target is refused.
 * The count and the write are two passes over the tree with the same pass
 * state (begin_pass) and the same element headers (encode_header).  A tree
 * that no reader could parse back (an item outside a sequence, anything
 * else directly in one, a group FFFE tag that is no item or delimiter)
 * fails the save before any byte is written, and so does a group length
 * or (0008,0001) that 32 bits cannot hold.  Top-level elements of the
 * command group 0000 are never written.
 *
 * The VR written is the dictionary's (with XS/XU as US, OX as OW or OB,
 * unknown as OB), never the one stored in the element, except that the
 * letters OB or OW an explicit-VR file gave a value whose dictionary VR is
 * OB, OW or OX are kept, with its bytes as they lie.  Sequences and items
 * of defined length, which the reader keeps as raw bytes, go out unchanged
 * in the syntax they were read in and are re-encoded element by element in
 * any other (their group lengths recounted, pixel data in them native by
 * its own item's Bits Allocated); a save encodes each once, in its count,
 * and writes what the count measured.  Group lengths and (0008,0001) are
 * measured on the bytes actually written and corrected in the file and the
 * tree when the counted value differs (pixel data re-encoded as PNG, for
 * one).
 *
 * A directory (DICOMDIR) names its records by their byte position in the
 * file, which every save changes: the write notes where each record read
 * from the input lands, in the tree or in raw content, and makes every
 * record offset name that place once the file is written.
 */
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "medcore.h"
#include "logf_int.h"
#include "object_int.h"
#include "owners_int.h"
#include "platform.h"
#include "reader_int.h"
#include "vr_int.h"
#include "writer_int.h"

namespace {

const uint32_t kUndefined = 0xFFFFFFFFu;
const uint32_t kPixelData = 0x7FE00010u;
const uint32_t kMetaSyntax = 0x00020010u;
const uint32_t kLengthToEnd = 0x00080001u;
const uint32_t kWaveformBits = 0x54001004u;
const uint32_t kBitsAllocated = 0x00280100u;
const size_t kOutputBuffer = 1u << 20;

int dictionary_vr(AppData *app, uint32_t key) {
    int vr = -1;
    getVR(app, key, &vr);
    return vr;
}

/* The VR written for an element, and the one its value is swapped by (see
 * value_vr in vr_int.h); pixel data goes its own way (pixel_vr).  An
 * element the reader opened as a sequence, which no dictionary knows, stays
 * one also when it turns out empty (it has length 0 then). */
int node_vr(AppData *app, const DicomElement *e, PixelEncoding encoding) {
    const uint32_t key = element_key(e);
    if (is_item_or_delimiter_key(key))
        return VR_XX;
    const int dict_vr = dictionary_vr(app, key);
    if (e->vr == VR_SQ && vr_is_unusable(dict_vr))
        return VR_SQ;
    return value_vr(e, dict_vr, encoding);
}

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

/* The VR letters written: a value too long for the 16-bit length of its VR
 * goes out as UN, with a 32-bit length and its bytes as they are. */
int label_vr(int vr, uint32_t length) {
    if (!vr_has_long_length(vr) && length > 0xFFFE && length != kUndefined)
        return VR_UN;
    return vr;
}

/* ---- element headers ---- */

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

/* Sequences and items; the content of one of defined length is raw bytes. */
bool is_container(AppData *app, const DicomElement *e) {
    return is_item(e) || node_vr(app, e, PE_NATIVE) == VR_SQ;
}

bool is_pds(const DicomElement *e) {
    return e->value && (e->flags & DE_FLAG_PIXEL_DESC);
}

bool is_top_level(const DicomElement *e) {
    return e->parent && !e->parent->parent;
}

/* Pixel data inside an item (an icon image) is always copied natively:
 * only the image of the data set itself is PNG-encoded. */
bool is_nested(const DicomElement *e) {
    return e->parent && e->parent->parent;
}

bool is_delimiter_node(const DicomElement *e) {
    return e->group == 0xFFFE && (e->element == 0xE00D || e->element == 0xE0DD);
}

bool is_pixel_element(const DicomElement *e) {
    return element_key(e) == kPixelData && e->length != 0 && (!e->value || is_pds(e));
}

/* Without a meta header the top-level elements of groups 0000-0003 are
 * left out, each with what it holds (inside items they are data).  With
 * one, so are those of group 0000, the command group of network messages:
 * sorted ahead of the meta group they would stand between "DICM" and it,
 * where no reader looks for them. */
bool is_dropped(const DicomElement *e, const IOObject *io) {
    return (e->group == 0 || (!io->meta_header && e->group <= 3)) && is_top_level(e);
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

/* The syntax raw bytes are encoded in: PNG data sets are explicit LE. */
TransferSyntaxCode byte_syntax(TransferSyntaxCode ts) {
    if (ts == TS_PNG)
        return TS_EXPLICIT_LE;
    return ts < TS_IMPLICIT_LE ? TS_IMPLICIT_LE : ts;
}

/* ---- raw sequence and item content ---- */

/* An element header of raw content as it stands there. */
struct SourceHeader {
    uint32_t key = 0;
    uint32_t length = 0;
    int letters = -1;                     /* VR of the letters; -1 none */
    TransferSyntaxCode content = TS_NONE; /* syntax of a sequence's content */
};

/* Reads the header at p, encoded in `from`, and moves p past it; an error
 * text for a header cut short or a length beyond the content (key then
 * holds what could be read of the tag), else nullptr. */
const char *read_content_header(const unsigned char *&p, const unsigned char *end,
                                TransferSyntaxCode from, SourceHeader *h) {
    *h = SourceHeader();
    if (end - p < 8)
        return "truncated header";
    h->key = ((uint32_t)load_u16(p, from) << 16) | load_u16(p + 2, from);
    h->content = from;
    if (!ts_is_explicit(from) || is_item_or_delimiter_key(h->key)) {
        h->length = load_u32(p + 4, from);
        p += 8;
    } else {
        const char name[3] = {(char)p[4], (char)p[5], 0};
        h->letters = vr_of_letters(name[0], name[1]);
        /* the reader's length forms, XX's 32 bits among them */
        const LengthForm form = explicit_length_form(name);
        const size_t header = 6 + form.reserved + form.size;
        if (name[0] == 'U' && name[1] == 'N')
            h->content = TS_IMPLICIT_LE;
        if ((size_t)(end - p) < header)
            return "truncated header";
        const unsigned char *field = p + 6 + form.reserved;
        h->length = form.size == 4 ? load_u32(field, from) : load_u16(field, from);
        p += header;
    }
    if (h->length != kUndefined && (size_t)(end - p) < h->length)
        return "length beyond the content";
    return nullptr;
}

/* Parses bytes encoded in one syntax, as the reader parses content of
 * undefined length, and writes them again in another, each value swapped by
 * its VR (value_vr's rules, with the letters of an explicit source standing
 * for the file's).  Content under the VR letters UN is implicit VR little
 * endian, whatever the syntax around it. */
class Recoder {
public:
    Recoder(AppData *app, TransferSyntaxCode to, PixelEncoding enc, bool signed_pixels)
        : app_(app), to_(to), enc_(enc), signed_(signed_pixels) {}

    bool run(const unsigned char *p, size_t n, TransferSyntaxCode from,
             std::vector<unsigned char> &out) {
        const Level level(depth_);
        if (depth_ > kMaxDepth)
            return fail("nesting too deep", 0);
        const unsigned char *end = p + n;
        GroupLengths groups(out, to_);
        bool ok = true;
        while (ok && p < end) {
            const size_t start = out.size();
            SourceHeader h;
            ok = element(p, end, from, out, &h);
            groups.add(h, start);
        }
        groups.end_group();
        return ok;
    }
    const std::string &error() const { return error_; }

private:
    /* Sequences and items inside one another, as deep as the reader takes. */
    static const int kMaxDepth = 2 * READER_MAX_NESTING;
    AppData *app_;
    TransferSyntaxCode to_;
    PixelEncoding enc_;
    bool signed_;
    std::string error_;
    int depth_ = 0;
    /* What the open items have said so far about their values, innermost
     * last: Waveform Bits Allocated, and Bits Allocated of an image (an
     * icon) whose pixel data they hold. */
    struct ItemBits {
        uint16_t waveform = 0;
        uint16_t pixels = 0;
    };
    std::vector<ItemBits> items_;

    /* One more level of nesting for as long as it lives, on every way out. */
    struct Level {
        int &depth;
        explicit Level(int &d) : depth(++d) {}
        ~Level() { depth--; }
    };

    /* The group lengths among the elements of one level of content, as
     * the tree's are stored: each (gggg,0000) of a 4-byte value says how
     * many bytes the elements of its group that follow it take, as encoded
     * here. */
    class GroupLengths {
    public:
        GroupLengths(std::vector<unsigned char> &out, TransferSyntaxCode ts) : out_(out), ts_(ts) {}
        /* Notes the element h, encoded into out from start on. */
        void add(const SourceHeader &h, size_t start) {
            const uint32_t group = h.key >> 16;
            if ((h.key & 0xFFFF) == 0 && h.length == 4 && out_.size() - start >= 4) {
                end_group();
                pending_ = true;
                group_ = group;
                value_at_ = out_.size() - 4;
                sum_ = 0;
            } else if (pending_ && group == group_) {
                sum_ += (uint32_t)(out_.size() - start);
            } else {
                end_group();
            }
        }
        /* Stores the sum of the group open, if any. */
        void end_group() {
            if (!pending_)
                return;
            uint32_t v = sum_;
            if (ts_needs_swap(ts_))
                swapbytes(&v, 4);
            memcpy(out_.data() + value_at_, &v, 4);
            pending_ = false;
        }

    private:
        std::vector<unsigned char> &out_;
        TransferSyntaxCode ts_;
        bool pending_ = false;
        uint32_t group_ = 0, sum_ = 0;
        size_t value_at_ = 0;
    };

    bool fail(const char *what, uint32_t key) {
        char text[160];
        snprintf(text, sizeof text, "%s at element (%04x,%04x)", what, key >> 16, key & 0xFFFF);
        error_ = text;
        return false;
    }

    void append_header(std::vector<unsigned char> &out, uint32_t key, int vr, uint32_t length) {
        const ElementHeader h = encode_header(to_, key, vr, length);
        out.insert(out.end(), h.bytes, h.bytes + h.size);
    }

    uint16_t waveform_bits() const {
        for (auto it = items_.rbegin(); it != items_.rend(); ++it)
            if (it->waveform)
                return it->waveform;
        return 0;
    }

    /* Pixel data in an item is native, whatever the pass does with the
     * data set's own: bytes where the letters say OB or up to 8 bits
     * allocated, else 16-bit words, by the item's own Bits Allocated. */
    int nested_pixel_vr(int letters) const {
        const uint16_t bits = items_.empty() ? 0 : items_.back().pixels;
        return letters == VR_OB || (bits && bits <= 8) ? VR_OB : VR_OW;
    }

    /* The VR of a value in the content; letters -1 for none. */
    int vr_of(uint32_t key, int letters) const {
        if (is_item_or_delimiter_key(key))
            return VR_XX;
        const int vr = dictionary_vr(app_, key);
        const int decided = byte_or_word_letters(vr, letters);
        if (decided >= 0 && key != kPixelData)
            return decided;
        switch (vr) {
        case VR_XS: return signed_ ? VR_SS : VR_US;
        case VR_XU: return VR_US;
        case VR_OX:
            if (key == kPixelData)
                return nested_pixel_vr(letters);
            if (is_curve_data(key))
                return enc_ == PE_NATIVE ? VR_OW : VR_OB;
            if (is_waveform_value(key))
                return waveform_bits() == 16 ? VR_OW : VR_OB;
            return VR_OB;
        default:
            if (!vr_is_unusable(vr))
                return vr;
            return vr_is_unusable(letters) ? VR_UN : letters;
        }
    }

    /* Reads the header at p and moves p past it; false for a header cut
     * short or a length beyond the content. */
    bool read_header(const unsigned char *&p, const unsigned char *end, TransferSyntaxCode from,
                     SourceHeader *h) {
        const char *error = read_content_header(p, end, from, h);
        return !error || fail(error, h->key);
    }

    /* Nested elements up to and with the delimiter `until` (undefined length). */
    bool until_delimiter(const unsigned char *&p, const unsigned char *end, TransferSyntaxCode from,
                         std::vector<unsigned char> &out, uint32_t until) {
        const Level level(depth_);
        if (depth_ > kMaxDepth)
            return fail("nesting too deep", until);
        GroupLengths groups(out, to_);
        SourceHeader h;
        while (h.key != until) {
            if (p >= end)
                return fail("missing delimitation item", until);
            const size_t start = out.size();
            if (!element(p, end, from, out, &h))
                return false;
            groups.add(h, start);
        }
        groups.end_group();
        return true;
    }

    /* An item's content, with its own Waveform Bits Allocated in scope. */
    bool item(const unsigned char *&p, const unsigned char *end, uint32_t length,
              TransferSyntaxCode from, std::vector<unsigned char> &out) {
        items_.push_back(ItemBits());
        bool ok;
        if (length == kUndefined) {
            ok = until_delimiter(p, end, from, out, TAG_KEY_ITEM_DELIM);
        } else {
            ok = run(p, length, from, out);
            p += length;
        }
        items_.pop_back();
        return ok;
    }

    /* A header with the length of what was encoded of its content, then
     * that content. */
    void append_container(std::vector<unsigned char> &out, uint32_t key, int vr, uint32_t length,
                          const std::vector<unsigned char> &inner) {
        append_header(out, key, vr, length == kUndefined ? kUndefined : (uint32_t)inner.size());
        out.insert(out.end(), inner.begin(), inner.end());
    }

    /* An ordinary value: its bytes swapped by its VR when the byte order
     * changes. */
    void value(const unsigned char *&p, const SourceHeader &h, int vr, TransferSyntaxCode from,
               std::vector<unsigned char> &out) {
        append_header(out, h.key, vr, h.length);
        const size_t at = out.size();
        out.insert(out.end(), p, p + h.length);
        p += h.length;
        if (h.length >= 2 && !items_.empty()) {
            if (h.key == kWaveformBits)
                items_.back().waveform = load_u16(out.data() + at, from);
            else if (h.key == kBitsAllocated)
                items_.back().pixels = load_u16(out.data() + at, from);
        }
        if (ts_needs_swap(from) != ts_needs_swap(to_) && h.length > 0) {
            /* one-byte samples that a big-endian source holds in OW words
             * are put back in order */
            const bool words =
                h.key == kPixelData && vr == VR_OB && h.letters == VR_OW && from == TS_EXPLICIT_BE;
            DicomElementHead swapped = {};
            swapped.value = out.data() + at;
            swapped.length = h.length;
            change_TransferSyntax(words ? VR_OW : vr, &swapped);
        }
    }

    bool element(const unsigned char *&p, const unsigned char *end, TransferSyntaxCode from,
                 std::vector<unsigned char> &out, SourceHeader *header) {
        SourceHeader &h = *header;
        if (!read_header(p, end, from, &h))
            return false;
        if (h.key == TAG_KEY_ITEM_DELIM || h.key == TAG_KEY_SEQ_DELIM) {
            p += h.length == kUndefined ? 0 : h.length;
            append_header(out, h.key, VR_XX, 0);
            return true;
        }
        if (h.key == TAG_KEY_ITEM) {
            std::vector<unsigned char> inner;
            if (!item(p, end, h.length, from, inner))
                return false;
            append_container(out, h.key, VR_XX, h.length, inner);
            return true;
        }
        const int vr = vr_of(h.key, h.letters);
        if (h.length == kUndefined) {
            append_header(out, h.key, VR_SQ, kUndefined);
            return until_delimiter(p, end, h.content, out, TAG_KEY_SEQ_DELIM);
        }
        if (vr == VR_SQ) {
            std::vector<unsigned char> inner;
            if (!run(p, h.length, h.content, inner))
                return false;
            p += h.length;
            append_container(out, h.key, vr, h.length, inner);
            return true;
        }
        value(p, h, vr, from, out);
        return true;
    }
};

/* Walks raw content encoded in ts from at up to end, calling
 * visit(header, header_at, value_at, depth) for each element met: the
 * content of items, and of elements of undefined length, is walked too
 * (depth + 1), other values are stepped over.  With until set the walk
 * ends after that delimiter, as the re-encoder reads content.  False for
 * bytes that are no well-formed content. */
template <class Visit>
bool walk_content(const unsigned char *bytes, size_t end, size_t &at, TransferSyntaxCode ts,
                  uint32_t until, int depth, const Visit &visit) {
    if (depth > 2 * READER_MAX_NESTING)
        return false;
    while (at < end) {
        const unsigned char *p = bytes + at;
        SourceHeader h;
        if (read_content_header(p, bytes + end, ts, &h))
            return false;
        const size_t header_at = at;
        at = (size_t)(p - bytes);
        visit(h, header_at, at, depth);
        if (h.key == TAG_KEY_ITEM_DELIM || h.key == TAG_KEY_SEQ_DELIM) {
            at += h.length == kUndefined ? 0 : h.length;
            if (h.key == until)
                return true;
        } else if (h.length == kUndefined) {
            const uint32_t closing = h.key == TAG_KEY_ITEM ? TAG_KEY_ITEM_DELIM : TAG_KEY_SEQ_DELIM;
            if (!walk_content(bytes, end, at, h.content, closing, depth + 1, visit))
                return false;
        } else if (h.key == TAG_KEY_ITEM) {
            size_t inner = at;
            if (!walk_content(bytes, at + h.length, inner, h.content, 0, depth + 1, visit))
                return false;
            at += h.length;
        } else {
            at += h.length;
        }
    }
    return until == 0;
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

void resolve_output_syntaxes(IOObject *io) {
    if (io->out_meta_ts == TS_NONE)
        io->out_meta_ts = io->in_meta_ts != TS_NONE ? io->in_meta_ts : TS_EXPLICIT_LE;
    if (io->out_ds_ts == TS_NONE)
        io->out_ds_ts = io->in_ds_ts != TS_NONE ? io->in_ds_ts : TS_IMPLICIT_LE;
}

/* The syntax the raw content of a sequence or item is encoded in. */
TransferSyntaxCode raw_syntax(const DicomElement *e, const IOObject *io) {
    return byte_syntax(content_syntax(e, byte_syntax(io->in_ds_ts)));
}

/* Raw content of a defined-length sequence or item that must be re-encoded
 * because it goes out in another syntax than it is encoded in. */
bool needs_recode(AppData *app, const DicomElement *e, const IOObject *io) {
    if (!e->value || e->length == kUndefined || e->first_child)
        return false;
    if (!is_container(app, e))
        return false;
    return raw_syntax(e, io) != byte_syntax(io->ts_in_force);
}

/* Raw content re-encoded for the syntax in force, kept from the count of a
 * save to its write so that each is encoded once.  An entry serves the
 * value bytes and the pass state it was made for; asked for any other, it
 * is made again.  The syntax the bytes are in is the element's own and
 * the read's (raw_syntax), the same for the whole save. */
class RecodedContent {
public:
    struct Entry {
        const void *value = nullptr;
        uint32_t length = 0;
        TransferSyntaxCode to = TS_NONE;
        PixelEncoding encoding = PE_NATIVE;
        bool ok = false; /* else error says why the bytes are no content */
        std::vector<unsigned char> bytes;
        std::string error;
    };

    const Entry &of(AppData *app, const DicomElement *e, const IOObject *io) {
        const TransferSyntaxCode to = byte_syntax(io->ts_in_force);
        Entry &entry = entries_[e];
        if (entry.value && entry.value == e->value && entry.length == e->length && entry.to == to &&
            entry.encoding == io->pass_encoding)
            return entry;
        entry = Entry();
        entry.value = e->value;
        entry.length = e->length;
        entry.to = to;
        entry.encoding = io->pass_encoding;
        Recoder r(app, to, io->pass_encoding, signed_pixels_of(e));
        entry.ok = r.run(static_cast<const unsigned char *>(e->value), e->length, raw_syntax(e, io),
                         entry.bytes);
        if (!entry.ok)
            entry.error = r.error();
        return entry;
    }
    /* Once written, an element's bytes are needed no more. */
    void forget(const DicomElement *e) { entries_.erase(e); }

private:
    std::unordered_map<const DicomElement *, Entry> entries_;
};

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

/* Sets the pass to native pixel data for nested pixel data, and back. */
class NativeForNested {
public:
    NativeForNested(IOObject *io, const DicomElement *e) : io_(io), saved_(io->pass_encoding) {
        if (is_nested(e))
            io->pass_encoding = PE_NATIVE;
    }
    ~NativeForNested() { io_->pass_encoding = saved_; }

private:
    IOObject *io_;
    PixelEncoding saved_;
};

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
 * when it has none; a sum past 32 bits is only noted. */
void store_u32(SaveState &state, DicomElement *e, uint64_t sum) {
    if (!fits_u32(state, e, sum))
        return;
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

/* ---- directory offsets ---- */

const uint32_t kFirstRecord = 0x00041200u;
const uint32_t kLastRecord = 0x00041202u;
const uint32_t kRecordSequence = 0x00041220u;
const uint32_t kNextRecord = 0x00041400u;
const uint32_t kLowerRecord = 0x00041420u;

bool is_record_sequence(const DicomElement *e) {
    return element_key(e) == kRecordSequence && is_top_level(e);
}

/* A directory record: an item of the Directory Record Sequence. */
bool is_record(const DicomElement *e) {
    return is_item(e) && is_record_sequence(e->parent);
}

bool is_record_offset_key(uint32_t key) {
    return key == kNextRecord || key == kLowerRecord;
}

/* An offset that names a record: (0004,1200) and (0004,1202) at the top
 * level, (0004,1400) and (0004,1420) in a record. */
bool is_directory_offset(const DicomElement *e) {
    const uint32_t key = element_key(e);
    if (key == kFirstRecord || key == kLastRecord)
        return is_top_level(e);
    return is_record_offset_key(key) && is_record(e->parent);
}

/* The offsets of a directory (a DICOMDIR) name its records by the position
 * of their first byte in the file, and any save moves the records.  While
 * the file is written this notes where each record read from the input
 * lands and where the value of each offset goes; at the end each offset is
 * made to name its record's new place.  Records and offsets kept as the
 * raw content of a sequence or item are found in the bytes written. */
class DirectoryOffsets {
public:
    /* The record that started at `from` in the input starts at `to`. */
    void moved(uint64_t from, off_t to) { moved_[(uint32_t)from] = (uint32_t)to; }

    /* An offset naming `named` (as read) whose value is written at `at`. */
    void offset(uint32_t key, off_t at, uint32_t named, TransferSyntaxCode ts) {
        slots_.push_back({key, at, named, ts});
    }

    /* The raw content of the Directory Record Sequence, or of one record:
     * `bytes` as written at `at` in the syntax ts, from the raw value of e,
     * which the input holds in the syntax `from`.  Bytes that are no
     * well-formed content are left as they are. */
    void raw_written(const DicomElement *e, const unsigned char *bytes, size_t n, off_t at,
                     TransferSyntaxCode ts, TransferSyntaxCode from) {
        const bool sequence = is_record_sequence(e);
        std::vector<size_t> starts;
        std::vector<Slot> offsets;
        /* the offsets stand in the records: one level down in a sequence */
        const int record_depth = sequence ? 1 : 0;
        size_t pos = 0;
        if (!walk_content(bytes, n, pos, ts, 0, 0,
                          [&](const SourceHeader &h, size_t header_at, size_t value_at, int depth) {
                              if (sequence && depth == 0 && h.key == TAG_KEY_ITEM)
                                  starts.push_back(header_at);
                              else if (depth == record_depth && is_record_offset_key(h.key) &&
                                       h.length == 4)
                                  offsets.push_back({h.key, at + (off_t)value_at,
                                                     load_u32(bytes + value_at, ts), ts});
                          }))
            return;
        slots_.insert(slots_.end(), offsets.begin(), offsets.end());
        if (!sequence || !e->content_ts || !e->value_pos)
            return;
        const unsigned char *read = static_cast<const unsigned char *>(e->value);
        std::vector<size_t> read_starts;
        pos = 0;
        const bool read_ok =
            walk_content(read, e->length, pos, from, 0, 0,
                         [&](const SourceHeader &h, size_t header_at, size_t, int depth) {
                             if (depth == 0 && h.key == TAG_KEY_ITEM)
                                 read_starts.push_back(header_at);
                         });
        if (!read_ok || read_starts.size() != starts.size())
            return; /* not the same records: their offsets are told as naming none */
        for (size_t i = 0; i < starts.size(); i++)
            moved(e->value_pos + read_starts[i], at + (off_t)starts[i]);
    }

    /* Makes every offset name its record's place in out; an offset other
     * than 0 that named no record stays as it was, with a warning. */
    bool apply(FILE *out) {
        if (slots_.empty())
            return true;
        const off_t end = ftello(out);
        bool ok = end >= 0;
        for (const Slot &s : slots_) {
            if (s.named == 0)
                continue;
            const auto it = moved_.find(s.named);
            if (it == moved_.end()) {
                log_formatted(2,
                              "Directory offset (%04x,%04x) = %lu names no directory record; it "
                              "is kept as it was.",
                              s.key >> 16, s.key & 0xFFFF, (unsigned long)s.named);
                continue;
            }
            if (it->second != s.named)
                ok = ok && fseeko(out, s.at, SEEK_SET) == 0 && wr_u32(out, s.ts, it->second);
        }
        return ok && fseeko(out, end, SEEK_SET) == 0;
    }

private:
    struct Slot {
        uint32_t key;
        off_t at;
        uint32_t named;
        TransferSyntaxCode ts;
    };
    std::unordered_map<uint32_t, uint32_t> moved_;
    std::vector<Slot> slots_;
};

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
            if (io_->meta_header && e->group == 0)
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

/* ---- normalising ---- */

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

/* DO_checkObject.  A delimiter at the top level closes nothing: it goes, as
 * those of the wrong kind inside containers do. */
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

/* ---- the structural check ---- */

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
 * readers parse it back; nullptr when it can. */
const char *structural_fault(const DicomElement *e) {
    const uint32_t key = element_key(e);
    if (e->group == 0xFFFE && !is_item_or_delimiter_key(key))
        return "has the group of items and delimiters but is neither";
    if (key == TAG_KEY_ITEM && !is_sequence_node(e->parent))
        return "does not stand in a sequence";
    if (is_sequence_node(e->parent) && key != TAG_KEY_ITEM && key != TAG_KEY_SEQ_DELIM)
        return "stands directly in a sequence, where only items belong";
    if (e->first_child && key != TAG_KEY_ITEM && !is_sequence_node(e))
        return "holds elements, but is neither a sequence nor an item";
    return nullptr;
}

/* The first fault of the tree below parent, depth first, as a message
 * naming the element and where it stands; empty for none. */
std::string first_structural_fault(const DicomElement *parent) {
    for (const DicomElement *e = parent->first_child; e; e = e->next) {
        if (const char *fault = structural_fault(e)) {
            char text[64];
            snprintf(text, sizeof text, "%s (%04x,%04x) ", is_item(e) ? "Item" : "Element",
                     e->group, e->element);
            return text + (is_top_level(e) ? "at the top level" : "in " + path_of(e->parent)) +
                   " " + fault + ".";
        }
        std::string below = first_structural_fault(e);
        if (!below.empty())
            return below;
    }
    return std::string();
}

/* ---- the output file ---- */

/* The process's file mode creation mask as the kernel reports it, read
 * without setting it: umask() would change it for every thread of the
 * process meanwhile.  False where the kernel does not report it. */
bool process_umask(mode_t *mask) {
    FileOwner status(fopen("/proc/self/status", "r"));
    if (!status)
        return false;
    char line[256];
    bool line_start = true;
    while (fgets(line, sizeof line, status.get())) {
        const bool starts = line_start;
        line_start = strchr(line, '\n') != nullptr;
        if (!starts || strncmp(line, "Umask:", 6) != 0)
            continue;
        char *end = nullptr;
        const unsigned long value = strtoul(line + 6, &end, 8);
        if (end == line + 6 || value > 0777)
            return false;
        *mask = (mode_t)value;
        return true;
    }
    return false;
}

/* The mode the saved file gets: the target's when it exists, else that of
 * a new file under the process's umask; where the umask cannot be read,
 * the temporary file's own 0600, which shows the data to nobody else. */
mode_t saved_file_mode(const char *target) {
    struct stat st;
    if (stat(target, &st) == 0)
        return st.st_mode & 07777;
    mode_t mask;
    return process_umask(&mask) ? 0666 & ~mask : 0600;
}

/* The private temporary file of a save, created exclusively: beside a
 * target that it will replace, removed on every way out unless it did;
 * or, for a target that is written into, a spool file in $TMPDIR (or
 * /tmp) whose name is removed at once. */
class TempFile {
public:
    ~TempFile() {
        file_.reset();
        if (!name_.empty())
            unlink(name_.c_str());
    }

    bool create(const char *target) {
        std::vector<char> copy(target, target + strlen(target) + 1);
        if (!open_in(_dirname(copy.data())))
            return false;
        fchmod(fileno(file_.get()), saved_file_mode(target));
        return true;
    }

    bool create_spool() {
        const char *dir = getenv("TMPDIR");
        if (!open_in(dir && *dir ? dir : "/tmp"))
            return false;
        unlink(name_.c_str());
        name_.clear();
        return true;
    }
    FILE *stream() const { return file_.get(); }

    /* Flushes, syncs and closes the file; false when any of it failed, or
     * an earlier write did, which is logged with the system's reason (a
     * full disk, a file-size limit) under the target's name. */
    bool finish(const char *target) {
        FILE *out = file_.release();
        int reason = 0;
        /* the rename must never publish unwritten data */
        if (fflush(out) != 0 || ferror(out) || fsync(fileno(out)) != 0)
            reason = errno ? errno : EIO;
        if (fclose(out) != 0 && reason == 0)
            reason = errno ? errno : EIO;
        if (reason != 0)
            log_formatted(1, "Cannot write %s: %s.", target, strerror(reason));
        return reason == 0;
    }

    /* Puts the finished file in the target's place. */
    bool replace(const char *target) {
        if (plat_replace_file(name_.c_str(), target) != 0) {
            log_formatted(1, "Cannot replace %s: %s.", target, strerror(errno));
            return false;
        }
        name_.clear();
        return true;
    }

private:
    std::string name_;
    FileOwner file_;

    bool open_in(const char *dir) {
        std::vector<char> buf(strlen(dir) + sizeof "_quenor_.tmpXXXXXX" + 2);
        mergepath(buf.data(), dir, "_quenor_.tmpXXXXXX");
        name_.reserve(buf.size()); /* so that taking the name cannot fail */
        int fd = mkstemp(buf.data());
        if (fd >= 0) {
            name_ = buf.data();
            file_.reset(fdopen(fd, "w+b"));
            if (file_)
                return true;
            close(fd);
        }
        /* A folder that does not exist, is read-only or not writable. */
        log_formatted(1, "Cannot create a temporary file in %s: %s.", dir, strerror(errno));
        return false;
    }
};

/* A target that exists and is no regular file is never replaced: a
 * character device or a FIFO is written into, a symbolic link leads to the
 * file that is replaced, anything else (a directory, a socket, a block
 * device) is refused. */
enum class TargetKind { Replaced, WrittenInto, Refused };

bool is_stream(mode_t mode) {
    return S_ISCHR(mode) || S_ISFIFO(mode);
}

TargetKind target_kind(const char *target) {
    struct stat st;
    if (stat(target, &st) != 0 || S_ISREG(st.st_mode))
        return TargetKind::Replaced;
    return is_stream(st.st_mode) ? TargetKind::WrittenInto : TargetKind::Refused;
}

void log_refused_target(const char *target) {
    log_formatted(1,
                  "Cannot save to %s: it is not a regular file, a character device or a FIFO; it "
                  "is left as it is.",
                  target);
}

/* The file that the finished one replaces: the target, or the file that a
 * symbolic link leads to, so that the link stays (/dev/stdout, for one, is
 * a link); false for a link that leads to no file. */
bool replaced_path(const char *target, std::string *path) {
    struct stat st;
    if (lstat(target, &st) != 0 || !S_ISLNK(st.st_mode)) {
        *path = target;
        return true;
    }
    char *real = realpath(target, nullptr);
    if (!real) {
        log_formatted(1, "Cannot save to %s: it is a link that leads to no file; it is left as it is.",
                      target);
        return false;
    }
    *path = real;
    free(real);
    return true;
}

/* A character device or FIFO that a save writes into.  It is opened before
 * the object is written, so that a FIFO's reader, for whom the open waits,
 * sees the end of the data when the save fails. */
class StreamTarget {
public:
    ~StreamTarget() {
        if (fd_ >= 0)
            close(fd_);
    }

    bool open(const char *target) {
        fd_ = ::open(target, O_WRONLY | O_NOCTTY | O_CLOEXEC);
        if (fd_ < 0) {
            log_formatted(1, "Cannot open %s: %s.", target, strerror(errno));
            return false;
        }
        struct stat st;
        if (fstat(fd_, &st) != 0 || !is_stream(st.st_mode)) {
            log_refused_target(target); /* it changed since it was looked at */
            return false;
        }
        return true;
    }

    /* Copies the finished file from the start of spool, then closes. */
    bool copy_from(FILE *spool, const char *target) {
        std::vector<char> buf(kOutputBuffer);
        bool ok = fflush(spool) == 0 && fseeko(spool, 0, SEEK_SET) == 0;
        size_t n;
        while (ok && (n = fread(buf.data(), 1, buf.size(), spool)) > 0)
            ok = write_all(buf.data(), n);
        ok = ok && !ferror(spool);
        const int fd = fd_;
        fd_ = -1;
        ok = close(fd) == 0 && ok;
        if (!ok && !save_interrupted()) /* else the save says why */
            log_formatted(1, "Cannot write %s: %s.", target, strerror(errno));
        return ok;
    }

private:
    int fd_ = -1;

    bool write_all(const char *p, size_t n) {
        while (n > 0 && !save_interrupted()) {
            ssize_t k = write(fd_, p, n);
            if (k < 0 && errno == EINTR)
                continue;
            if (k <= 0)
                return false;
            p += k;
            n -= (size_t)k;
        }
        return n == 0;
    }
};

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
    const std::string fault = first_structural_fault(io->object->root);
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

bool recode_raw_content(AppData *app, const void *bytes, uint32_t length, TransferSyntaxCode from,
                        TransferSyntaxCode to, std::vector<unsigned char> &out) {
    Recoder r(app, byte_syntax(to), PE_NATIVE, false);
    return r.run(static_cast<const unsigned char *>(bytes), length, byte_syntax(from), out);
}

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
