/*
 * rawcontent.cpp -- re-encodes the raw content of sequences and items of
 * defined length, which the reader keeps as bytes in the syntax they were
 * read in, for a save in another syntax: the content's element headers,
 * the Recoder that parses it as the reader parses content of undefined
 * length and writes it again (values swapped by their VR, group lengths
 * recounted, pixel data in it native by its own item's Bits Allocated),
 * the RecodedContent a save keeps from its count to its write, and the
 * count of the items such bytes hold (DOU_storedItemCount).
 */
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "medcore.h"
#include "object_int.h"
#include "rawcontent_int.h"
#include "reader_int.h"
#include "vr_int.h"
#include "writenode_int.h"
#include "writer_int.h"

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

namespace {

const uint32_t kWaveformBits = 0x54001004u;
const uint32_t kBitsAllocated = 0x00280100u;

/* Parses bytes encoded in one syntax, as the reader parses content of
 * undefined length, and writes them again in another, each value swapped by
 * its VR (value_vr's rules, with the letters of an explicit source standing
 * for the file's).  Content under the VR letters UN is implicit VR little
 * endian, whatever the syntax around it. */
class Recoder {
public:
    Recoder(AppData *app, TransferSyntaxCode to, PixelEncoding enc, bool signed_pixels)
        : app_(app), to_(to), enc_(enc), signed_(signed_pixels) {}

    /* The content of a sequence (items_only) or of an item. */
    bool run(const unsigned char *p, size_t n, TransferSyntaxCode from,
             std::vector<unsigned char> &out, bool items_only) {
        const Level level(depth_);
        if (depth_ > kMaxDepth)
            return fail("nesting too deep", 0);
        const unsigned char *end = p + n;
        GroupLengths groups(out, to_);
        bool ok = true;
        while (ok && p < end) {
            const size_t start = out.size();
            SourceHeader h;
            ok = element(p, end, from, out, &h, items_only);
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
        const int decided = deciding_letters(vr, letters);
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
            if (!element(p, end, from, out, &h, until == TAG_KEY_SEQ_DELIM))
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
            ok = run(p, length, from, out, false);
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

    /* One element; in a sequence (items_only) an item or a delimiter. */
    bool element(const unsigned char *&p, const unsigned char *end, TransferSyntaxCode from,
                 std::vector<unsigned char> &out, SourceHeader *header, bool items_only) {
        SourceHeader &h = *header;
        if (!read_header(p, end, from, &h))
            return false;
        if (items_only && !is_item_or_delimiter_key(h.key))
            return fail("no item where a sequence holds only items", h.key);
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
        int vr = vr_of(h.key, h.letters);
        /* Implicit VR keeps no letters: a value under a tag the dictionary
         * calls SQ is read back as a sequence, so it must be one. */
        const bool made_sequence =
            vr != VR_SQ && !ts_is_explicit(to_) && dictionary_vr(app_, h.key) == VR_SQ;
        if (made_sequence)
            vr = VR_SQ;
        if (h.length == kUndefined) {
            append_header(out, h.key, VR_SQ, kUndefined);
            return until_delimiter(p, end, h.content, out, TAG_KEY_SEQ_DELIM);
        }
        if (vr == VR_SQ) {
            std::vector<unsigned char> inner;
            if (!run(p, h.length, h.content, inner, true)) {
                if (made_sequence)
                    fail("a value that implicit VR makes a sequence but that is not items", h.key);
                return false;
            }
            p += h.length;
            append_container(out, h.key, vr, h.length, inner);
            return true;
        }
        value(p, h, vr, from, out);
        return true;
    }
};

} // namespace

TransferSyntaxCode byte_syntax(TransferSyntaxCode ts) {
    if (ts == TS_PNG)
        return TS_EXPLICIT_LE;
    return ts < TS_IMPLICIT_LE ? TS_IMPLICIT_LE : ts;
}

TransferSyntaxCode raw_syntax(const DicomElement *e, const IOObject *io) {
    return byte_syntax(content_syntax(e, byte_syntax(io->in_ds_ts)));
}

bool needs_recode(AppData *app, const DicomElement *e, const IOObject *io) {
    if (!e->value || e->length == kUndefined || e->first_child)
        return false;
    if (!is_container(app, e))
        return false;
    return raw_syntax(e, io) != byte_syntax(io->ts_in_force);
}

const RecodedContent::Entry &RecodedContent::of(AppData *app, const DicomElement *e,
                                                const IOObject *io) {
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
                     entry.bytes, !is_item(e));
    if (!entry.ok)
        entry.error = r.error();
    return entry;
}

namespace {

/* Whether readers of the output take the value of e, which has no
 * children, for a sequence's content: the writer labels it SQ or, in
 * implicit VR, the dictionary calls its tag SQ (then every reader does,
 * whatever VR letters kept from the file said). */
bool read_back_as_sequence(AppData *app, const DicomElement *e, const IOObject *io) {
    return is_container(app, e) ||
           (!ts_is_explicit(io->out_ds_ts) && dictionary_vr(app, element_key(e)) == VR_SQ);
}

} // namespace

std::string raw_content_fault(AppData *app, const DicomElement *e, const IOObject *io) {
    if (!e->value || !has_value_bytes(e->length) || e->first_child)
        return std::string();
    const bool item = is_item(e);
    if (!item && !read_back_as_sequence(app, e, io))
        return std::string();
    const unsigned char *bytes = static_cast<const unsigned char *>(e->value);
    const TransferSyntaxCode from = raw_syntax(e, io), to = byte_syntax(io->out_ds_ts);
    std::vector<unsigned char> scratch;
    if (!Recoder(app, from, PE_NATIVE, false).run(bytes, e->length, from, scratch, !item))
        return item ? "holds bytes that are not elements"
                    : "is written as a sequence, but its value is not items";
    Recoder out(app, to, PE_NATIVE, signed_pixels_of(e));
    if (to == from || out.run(bytes, e->length, from, scratch, !item))
        return std::string();
    return "holds content that cannot be written in the output syntax: " + out.error();
}

namespace {

/* Moves p past one element of raw content, its value and any nested
 * content of undefined length included, and gives its tag; false where
 * the bytes end first or nest deeper than the reader takes. */
bool skip_content_element(const unsigned char *&p, const unsigned char *end,
                          TransferSyntaxCode from, int depth, uint32_t *key) {
    SourceHeader h;
    if (depth > 2 * READER_MAX_NESTING || read_content_header(p, end, from, &h))
        return false;
    *key = h.key;
    if (h.length != kUndefined) {
        p += h.length;
        return true;
    }
    const uint32_t until = h.key == TAG_KEY_ITEM ? TAG_KEY_ITEM_DELIM : TAG_KEY_SEQ_DELIM;
    for (uint32_t k = 0; k != until;)
        if (!skip_content_element(p, end, h.content, depth + 1, &k))
            return false;
    return true;
}

} // namespace

int32_t DOU_storedItemCount(const DicomElement *sequence) {
    if (!sequence || !sequence->content_ts || !sequence->value || sequence->first_child ||
        !has_value_bytes(sequence->length))
        return 0;
    const unsigned char *p = static_cast<const unsigned char *>(sequence->value);
    const unsigned char *end = p + sequence->length;
    const TransferSyntaxCode from = byte_syntax(content_syntax(sequence, TS_NONE));
    int32_t count = 0;
    for (uint32_t key = 0;
         p < end && skip_content_element(p, end, from, 0, &key) && key == TAG_KEY_ITEM;)
        ++count;
    return count;
}

NativeForNested::NativeForNested(IOObject *io, const DicomElement *e)
    : io_(io), saved_(io->pass_encoding) {
    if (is_nested(e))
        io->pass_encoding = PE_NATIVE;
}

bool recode_raw_content(AppData *app, const void *bytes, uint32_t length, TransferSyntaxCode from,
                        TransferSyntaxCode to, std::vector<unsigned char> &out) {
    Recoder r(app, byte_syntax(to), PE_NATIVE, false);
    return r.run(static_cast<const unsigned char *>(bytes), length, byte_syntax(from), out, false);
}
