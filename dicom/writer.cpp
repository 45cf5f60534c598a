/*
 * writer.cpp -- saves the object of an IOObject as a DICOM file.
 *
 * DO_checkObject normalises sequences and items (delimitation items),
 * DO_calcElementsLength resolves the output syntaxes, rebuilds the meta
 * group and counts group lengths and (0008,0001), and DO_copyObjectToFile
 * writes preamble, "DICM", meta group and data set into a private temporary
 * file beside the target, which then replaces the target in one rename.
 *
 * The VR written is the dictionary's (with XS/XU as US, OX as OW or OB,
 * unknown as OB), never the one stored in the element.  Sequences and items
 * of defined length, which the reader keeps as raw bytes, go out unchanged
 * in the syntax they were read in and are re-encoded element by element in
 * any other.  Group lengths and (0008,0001) are measured on the bytes
 * actually written and corrected in the file and the tree when the counted
 * value differs (pixel data re-encoded as PNG, for one).
 */
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "medcore.h"
#include "logf_int.h"
#include "object_int.h"
#include "platform.h"
#include "reader_int.h"
#include "vr_int.h"
#include "writer_int.h"

namespace {

const uint32_t kUndefined = 0xFFFFFFFFu;
const uint32_t kPixelData = 0x7FE00010u;
const uint32_t kCurveData = 0x50003000u;
const uint32_t kMetaSyntax = 0x00020010u;
const uint32_t kLengthToEnd = 0x00080001u;
const size_t kOutputBuffer = 1u << 20;

int dictionary_vr(AppData *app, uint32_t key) {
    int vr = -1;
    getVR(app, key, &vr);
    return vr;
}

/* The VR written for an element, and the one its value is swapped by (see
 * value_vr in vr_int.h); pixel data goes its own way (write_pixel_data). */
int node_vr(AppData *app, const DicomElement *e, PixelEncoding encoding) {
    const uint32_t key = element_key(e);
    if (is_item_or_delimiter_key(key))
        return VR_XX;
    return value_vr(e, dictionary_vr(app, key), encoding);
}

/* An element of undefined length that is no item is written as a sequence:
 * the only VR a reader parses nested content of undefined length by. */
int header_vr(AppData *app, const DicomElement *e, uint32_t length, PixelEncoding encoding) {
    const uint32_t key = element_key(e);
    if (length == kUndefined && key != kPixelData && !is_item_or_delimiter_key(key))
        return VR_SQ;
    return node_vr(app, e, encoding);
}

/* The VR letters written: a value too long for the 16-bit length of its VR
 * goes out as UN, with a 32-bit length and its bytes as they are. */
int label_vr(int vr, uint32_t length) {
    if (vr != VR_XX && !vr_has_long_length(vr) && length > 0xFFFE && length != kUndefined)
        return VR_UN;
    return vr;
}

/* Size of an element header in the syntax ts. */
uint32_t header_size(TransferSyntaxCode ts, uint32_t key, int vr, uint32_t length) {
    if (!ts_is_explicit(ts) || is_item_or_delimiter_key(key))
        return 8;
    if (vr_has_long_length(label_vr(vr, length)))
        return 12;
    return 8; /* XX: 4-byte length without reserved bytes; others a 2-byte length */
}

/* Sequences and items; the content of one of defined length is raw bytes. */
bool is_container(AppData *app, const DicomElement *e) {
    return is_item(e) || node_vr(app, e, PE_NATIVE) == VR_SQ;
}

bool is_pds(const DicomElement *e) {
    return e->value && e->length == sizeof(PixelDataDesc);
}

bool is_top_level(const DicomElement *e) {
    return e->parent && !e->parent->parent;
}

/* Without a meta header the top-level elements of groups 0000-0003 are
 * left out, each with what it holds (inside items they are data). */
bool is_dropped(const DicomElement *e, const IOObject *io) {
    return !io->meta_header && e->group <= 3 && is_top_level(e);
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

/* ---- re-encoding of raw sequence and item content ---- */

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
        if (++depth_ > kMaxDepth) {
            depth_--;
            return fail("nesting too deep", 0);
        }
        const unsigned char *end = p + n;
        bool ok = true;
        while (ok && p < end) {
            uint32_t key;
            ok = element(p, end, from, out, &key);
        }
        depth_--;
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
    /* Waveform Bits Allocated of the open items met so far, innermost last. */
    std::vector<uint16_t> waveform_bits_;

    bool fail(const char *what, uint32_t key) {
        char text[160];
        snprintf(text, sizeof text, "%s at element (%04x,%04x)", what, key >> 16, key & 0xFFFF);
        error_ = text;
        return false;
    }
    void put16(std::vector<unsigned char> &out, uint16_t v) {
        if (ts_needs_swap(to_))
            swapbytes(&v, 2);
        out.insert(out.end(), (unsigned char *)&v, (unsigned char *)&v + 2);
    }
    void put32(std::vector<unsigned char> &out, uint32_t v) {
        if (ts_needs_swap(to_))
            swapbytes(&v, 4);
        out.insert(out.end(), (unsigned char *)&v, (unsigned char *)&v + 4);
    }

    uint16_t waveform_bits() const {
        for (auto it = waveform_bits_.rbegin(); it != waveform_bits_.rend(); ++it)
            if (*it)
                return *it;
        return 0;
    }

    /* The VR of a value in the content; letters -1 for none. */
    int vr_of(uint32_t key, int letters) const {
        if (is_item_or_delimiter_key(key))
            return VR_XX;
        const int vr = dictionary_vr(app_, key);
        switch (vr) {
        case VR_XS:
            return signed_ ? VR_SS : VR_US;
        case VR_XU:
            return VR_US;
        case VR_OX:
            if (key == kPixelData || key == kCurveData)
                return enc_ == PE_NATIVE ? VR_OW : VR_OB;
            if (is_waveform_value(key)) {
                const uint16_t bits = waveform_bits();
                if (bits)
                    return bits == 16 ? VR_OW : VR_OB;
                return letters == VR_OW ? VR_OW : VR_OB;
            }
            return VR_OB;
        default:
            if (!vr_is_unusable(vr))
                return vr;
            return vr_is_unusable(letters) ? VR_UN : letters;
        }
    }

    bool header(std::vector<unsigned char> &out, uint32_t key, int vr, uint32_t length) {
        put16(out, key >> 16);
        put16(out, key & 0xFFFF);
        if (!ts_is_explicit(to_) || is_item_or_delimiter_key(key)) {
            put32(out, length);
            return true;
        }
        vr = label_vr(vr, length);
        out.push_back(VRTypes[vr].name[0]);
        out.push_back(VRTypes[vr].name[1]);
        if (vr_has_long_length(vr)) {
            put16(out, 0);
            put32(out, length);
        } else if (vr == VR_XX) {
            put32(out, length);
        } else {
            put16(out, (uint16_t)length);
        }
        return true;
    }

    /* Nested elements up to and with the delimiter `until` (undefined length). */
    bool until_delimiter(const unsigned char *&p, const unsigned char *end, TransferSyntaxCode from,
                         std::vector<unsigned char> &out, uint32_t until) {
        if (++depth_ > kMaxDepth) {
            depth_--;
            return fail("nesting too deep", until);
        }
        for (;;) {
            if (p >= end) {
                depth_--;
                return fail("missing delimitation item", until);
            }
            uint32_t key;
            if (!element(p, end, from, out, &key)) {
                depth_--;
                return false;
            }
            if (key == until) {
                depth_--;
                return true;
            }
        }
    }

    /* An item's content, with its own Waveform Bits Allocated in scope. */
    bool item(const unsigned char *&p, const unsigned char *end, uint32_t length,
              TransferSyntaxCode from, std::vector<unsigned char> &out) {
        waveform_bits_.push_back(0);
        bool ok;
        if (length == kUndefined) {
            ok = until_delimiter(p, end, from, out, TAG_KEY_ITEM_DELIM);
        } else {
            ok = run(p, length, from, out);
            p += length;
        }
        waveform_bits_.pop_back();
        return ok;
    }

    bool element(const unsigned char *&p, const unsigned char *end, TransferSyntaxCode from,
                 std::vector<unsigned char> &out, uint32_t *key_out) {
        if (end - p < 8)
            return fail("truncated header", 0);
        uint32_t key = ((uint32_t)load_u16(p, from) << 16) | load_u16(p + 2, from);
        *key_out = key;
        uint32_t length;
        int letters = -1;
        TransferSyntaxCode content = from; /* syntax of a sequence's content */
        if (!ts_is_explicit(from) || is_item_or_delimiter_key(key)) {
            length = load_u32(p + 4, from);
            p += 8;
        } else {
            const char name[3] = {(char)p[4], (char)p[5], 0};
            letters = vr_of_letters(name[0], name[1]);
            bool reserved = vr_letters_have_long_length(name);
            bool xx = name[0] == 'X' && name[1] == 'X';
            if (name[0] == 'U' && name[1] == 'N')
                content = TS_IMPLICIT_LE;
            if (reserved || xx) {
                if (end - p < (reserved ? 12 : 10))
                    return fail("truncated header", key);
                length = load_u32(p + (reserved ? 8 : 6), from);
                p += reserved ? 12 : 10;
            } else {
                length = load_u16(p + 6, from);
                p += 8;
            }
        }
        if (length != kUndefined && (size_t)(end - p) < length)
            return fail("length beyond the content", key);
        if (key == TAG_KEY_ITEM_DELIM || key == TAG_KEY_SEQ_DELIM) {
            p += length == kUndefined ? 0 : length;
            return header(out, key, VR_XX, 0);
        }
        if (key == TAG_KEY_ITEM) {
            std::vector<unsigned char> inner;
            if (!item(p, end, length, from, inner))
                return false;
            if (!header(out, key, VR_XX, length == kUndefined ? kUndefined : (uint32_t)inner.size()))
                return false;
            out.insert(out.end(), inner.begin(), inner.end());
            return true;
        }
        const int vr = vr_of(key, letters);
        if (length == kUndefined) {
            if (!header(out, key, VR_SQ, kUndefined))
                return false;
            return until_delimiter(p, end, content, out, TAG_KEY_SEQ_DELIM);
        }
        if (vr == VR_SQ) {
            std::vector<unsigned char> inner;
            if (!run(p, length, content, inner))
                return false;
            p += length;
            return header(out, key, vr, (uint32_t)inner.size()) &&
                   (out.insert(out.end(), inner.begin(), inner.end()), true);
        }
        if (!header(out, key, vr, length))
            return false;
        size_t at = out.size();
        out.insert(out.end(), p, p + length);
        p += length;
        DicomElementHead h;
        memset(&h, 0, sizeof h);
        h.value = out.data() + at;
        h.length = length;
        if (key == 0x54001004u && length >= 2 && !waveform_bits_.empty())
            waveform_bits_.back() = load_u16(out.data() + at, from);
        if (ts_needs_swap(from) != ts_needs_swap(to_) && length > 0)
            change_TransferSyntax(vr, &h);
        return true;
    }
};

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

bool recode_value(AppData *app, const DicomElement *e, const IOObject *io,
                  std::vector<unsigned char> &out, std::string *error) {
    Recoder r(app, byte_syntax(io->ts_in_force), io->pass_encoding, signed_pixels_of(e));
    bool ok = r.run(static_cast<const unsigned char *>(e->value), e->length, raw_syntax(e, io), out);
    if (!ok && error)
        *error = r.error();
    return ok;
}

} // namespace

bool recode_raw_content(AppData *app, const void *bytes, uint32_t length, TransferSyntaxCode from,
                        TransferSyntaxCode to, std::vector<unsigned char> &out) {
    Recoder r(app, byte_syntax(to), 0, false);
    return r.run(static_cast<const unsigned char *>(bytes), length, byte_syntax(from), out);
}

namespace {

/* The meta group's (0002,0010) is written naming the output syntax (an
 * element with that tag inside an item is data like any other). */
bool names_output_syntax(const DicomElement *e, const IOObject *io) {
    return element_key(e) == kMetaSyntax && e->value && is_top_level(e) &&
           transfer_syntax_uid(io->out_ds_ts) != nullptr;
}

/* The value length an ordinary element is written with. */
uint32_t value_length(AppData *app, const DicomElement *e, const IOObject *io) {
    if (names_output_syntax(e, io)) {
        size_t n = strlen(transfer_syntax_uid(io->out_ds_ts));
        return (uint32_t)(n + (n & 1));
    }
    if (!e->value)
        return e->length == kUndefined ? kUndefined : 0;
    if (needs_recode(app, e, io)) {
        std::vector<unsigned char> bytes;
        if (recode_value(app, e, io, bytes, nullptr))
            return (uint32_t)bytes.size();
    }
    return e->length;
}

bool is_delimiter_node(const DicomElement *e) {
    return e->group == 0xFFFE && (e->element == 0xE00D || e->element == 0xE0DD);
}

bool is_pixel_element(const DicomElement *e) {
    return element_key(e) == kPixelData && e->length != 0 && (!e->value || is_pds(e));
}

/* Pixel data inside an item (an icon image) is always copied natively:
 * only the image of the data set itself is PNG-encoded. */
bool is_nested(const DicomElement *e) {
    return e->parent && e->parent->parent;
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

int32_t calc_element_length(AppData *app, DicomElement *e, IOObject *io,
                            const PixelDataDesc *geometry) {
    if (!e)
        return 0;
    if (is_dropped(e, io))
        return 0;
    if (io->in_meta_group && starts_data_set(e, io))
        enter_data_set(io, false);
    uint32_t total = 0;
    for (DicomElement *c = e->first_child; c; c = c->next)
        total += (uint32_t)calc_element_length(app, c, io, geometry);
    uint32_t key = element_key(e);
    if (is_pixel_element(e)) {
        total += (ts_is_explicit(io->ts_in_force) ? 8 : 4) + 4;
        if (is_pds(e)) {
            IOObject probe = *io;
            probe.write_pds = const_cast<PixelDataDesc *>(geometry);
            if (is_nested(e))
                probe.pass_encoding = PE_NATIVE;
            total += pixel_value_size_estimate(&probe, static_cast<PixelDataDesc *>(e->value));
        }
        return (int32_t)total;
    }
    uint32_t length = value_length(app, e, io);
    int vr = header_vr(app, e, length, io->pass_encoding);
    total += header_size(io->ts_in_force, key, vr, length);
    if (e->value)
        total += length;
    return (int32_t)total;
}

/* Measured size of a top-level group or of what follows (0008,0001). */
struct LengthMark {
    DicomElement *element = nullptr;
    off_t value_pos = 0;     /* where its 4-byte value lies in the file */
    off_t content_start = 0; /* first byte it counts */
    TransferSyntaxCode ts = TS_IMPLICIT_LE;
};

class FileWriter {
public:
    FileWriter(AppData *app, IOObject *io) : app_(app), io_(io), out_(io->out) {}

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
            patch(lte_, (uint32_t)(ftello(out_) - lte_.content_start));
        return ok_ ? 0 : -1;
    }

private:
    AppData *app_;
    IOObject *io_;
    FILE *out_;
    bool ok_ = true;
    int group_ = -1;
    LengthMark group_mark_;
    LengthMark lte_;

    void close_group(off_t end) {
        if (group_mark_.element)
            patch(group_mark_, (uint32_t)(end - group_mark_.content_start));
        group_mark_ = LengthMark();
    }

    /* Makes the stored value say `measured`, in the tree and in the file. */
    void patch(const LengthMark &m, uint32_t measured) {
        uint32_t stored;
        memcpy(&stored, m.element->value, 4);
        if (stored == measured)
            return;
        memcpy(m.element->value, &measured, 4);
        uint32_t v = measured;
        if (ts_needs_swap(m.ts))
            swapbytes(&v, 4);
        off_t back = ftello(out_);
        ok_ = ok_ && fseeko(out_, m.value_pos, SEEK_SET) == 0 && wr_bytes(out_, &v, 4) &&
              fseeko(out_, back, SEEK_SET) == 0;
    }

    bool header(uint32_t key, int vr, uint32_t length) {
        TransferSyntaxCode ts = io_->ts_in_force;
        ok_ = ok_ && wr_u16(out_, ts, key >> 16) && wr_u16(out_, ts, key & 0xFFFF);
        vr = label_vr(vr, length);
        if (!ts_is_explicit(ts) || is_item_or_delimiter_key(key)) {
            ok_ = ok_ && wr_u32(out_, ts, length);
        } else if (vr_has_long_length(vr)) {
            ok_ = ok_ && wr_bytes(out_, VRTypes[vr].name, 2) && wr_u16(out_, ts, 0) &&
                  wr_u32(out_, ts, length);
        } else if (vr == VR_XX) {
            ok_ = ok_ && wr_bytes(out_, VRTypes[vr].name, 2) && wr_u32(out_, ts, length);
        } else {
            ok_ = ok_ && wr_bytes(out_, VRTypes[vr].name, 2) &&
                  wr_u16(out_, ts, (uint16_t)length);
        }
        return true;
    }

    /* Native samples of 8 bits or fewer are bytes, more are 16-bit words;
     * PNG streams are bytes. */
    int pixel_vr(const PixelDataDesc *pds) const {
        if (io_->pass_encoding == PE_PNG)
            return VR_OB;
        const PixelDataDesc *geometry = pds ? pds : io_->write_pds;
        return geometry && geometry->bits_allocated <= 8 ? VR_OB : VR_OW;
    }

    int16_t write_pixel_data(DicomElement *e) {
        PixelDataDesc *pds = is_pds(e) ? static_cast<PixelDataDesc *>(e->value) : nullptr;
        int vr = pixel_vr(pds);
        TransferSyntaxCode ts = io_->ts_in_force;
        ok_ = ok_ && wr_u16(out_, ts, e->group) && wr_u16(out_, ts, e->element);
        if (ts_is_explicit(ts))
            ok_ = ok_ && wr_bytes(out_, VRTypes[vr].name, 2) && wr_u16(out_, ts, 0);
        if (!io_->copy_pixels || !pds || pds->length == 0) {
            ok_ = ok_ && wr_u32(out_, ts, 0);
            return 0;
        }
        FILE *src = pds->filename ? fopen(pds->filename, "rb") : nullptr;
        if (!src) {
            log_formatted(1, "Cannot open the pixel data source %s: %s.",
                          pds->filename ? pds->filename : "(none)", strerror(errno));
            return -1;
        }
        setvbuf(src, nullptr, _IOFBF, kOutputBuffer);
        int16_t status = -1;
        if (fseeko(src, pds->offset, SEEK_SET) != 0)
            log_formatted(1, "Cannot find the pixel data in %s.", pds->filename);
        else
            status = _write_pixeldata(src, io_, pds);
        fclose(src);
        return status;
    }

    int16_t write_value(DicomElement *e) {
        uint32_t key = element_key(e);
        if (names_output_syntax(e, io_)) {
            const char *uid = transfer_syntax_uid(io_->out_ds_ts);
            size_t n = strlen(uid);
            uint32_t padded = (uint32_t)(n + (n & 1));
            if (!header(key, VR_UI, padded))
                return -1;
            ok_ = ok_ && wr_bytes(out_, uid, n) && wr_bytes(out_, "", padded - n);
            return 0;
        }
        if (needs_recode(app_, e, io_)) {
            std::vector<unsigned char> bytes;
            std::string why;
            if (!recode_value(app_, e, io_, bytes, &why)) {
                log_formatted(1, "Element (%04x,%04x) cannot be converted to the output syntax: %s.",
                              e->group, e->element, why.c_str());
                return -1;
            }
            if (!header(key, node_vr(app_, e, io_->pass_encoding), (uint32_t)bytes.size()))
                return -1;
            ok_ = ok_ && wr_bytes(out_, bytes.data(), bytes.size());
            return 0;
        }
        uint32_t length = value_length(app_, e, io_);
        int vr = header_vr(app_, e, length, io_->pass_encoding);
        if (!header(key, vr, length))
            return -1;
        if (!e->value)
            return 0;
        if (ts_needs_swap(io_->ts_in_force) && !is_container(app_, e)) {
            std::vector<unsigned char> copy(static_cast<unsigned char *>(e->value),
                                            static_cast<unsigned char *>(e->value) + length);
            DicomElementHead h;
            memset(&h, 0, sizeof h);
            h.value = copy.data();
            h.length = length;
            change_TransferSyntax(vr, &h);
            ok_ = ok_ && wr_bytes(out_, copy.data(), length);
        } else {
            ok_ = ok_ && wr_bytes(out_, e->value, length);
        }
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

    int16_t write_element(DicomElement *e) {
        uint32_t key = element_key(e);
        if (is_dropped(e, io_))
            return 0;
        if (io_->in_meta_group && is_top_level(e)) {
            if (starts_data_set(e, io_)) {
                enter_data_set(io_, true);
            } else if (key == kMetaSyntax && e->value) {
                int code = transfer_syntax_code(static_cast<const char *>(e->value), e->length);
                if (code != TS_NONE)
                    io_->named_ts = code;
            }
        }
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
    /* A reader ends a container at any delimiter, so one of its own kind
     * stays (written after all other children, wherever sorting put it)
     * and any other goes (a damaged file can hold them). */
    bool content = false;
    DicomElement *own = nullptr;
    for (DicomElement *c = e->first_child, *next; c; c = next) {
        next = c->next;
        if (!is_delimiter_node(c)) {
            content = true;
        } else if (c->element == delimiter && !own) {
            own = c;
        } else {
            _remove_element(c);
        }
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

/* Stores sum into a group-length element, giving it a 4-byte value first
 * when it has none. */
void store_u32(DicomElement *e, uint32_t sum) {
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
void store_group_lengths(AppData *app, DicomElement *parent, IOObject *io,
                         const PixelDataDesc *geometry) {
    uint32_t sum = 0;
    int current = -1;
    DicomElement *pending = nullptr;
    for (DicomElement *e = parent->first_child; e; e = e->next) {
        if (e->element == 0x0000 && !e->first_child) { /* one that holds items is none */
            if (pending)
                store_u32(pending, sum);
            sum = 0;
            pending = e;
            current = e->group;
        }
        uint32_t size = (uint32_t)calc_element_length(app, e, io, geometry);
        if (e->group == current) {
            if (e != pending)
                sum += size;
        } else if (pending) {
            store_u32(pending, sum);
            pending = nullptr;
        }
    }
    if (pending)
        store_u32(pending, sum);
}

/* The same inside every item, at every depth below parent. */
void store_nested_group_lengths(AppData *app, DicomElement *parent, IOObject *io,
                                const PixelDataDesc *geometry) {
    for (DicomElement *e = parent->first_child; e; e = e->next) {
        if (!e->first_child)
            continue;
        if (is_item(e))
            store_group_lengths(app, e, io, geometry);
        store_nested_group_lengths(app, e, io, geometry);
    }
}

/* The temporary file beside the target, created exclusively. */
FILE *create_temp(const char *target, std::string *temp_name) {
    std::vector<char> copy(target, target + strlen(target) + 1);
    const char *dir = _dirname(copy.data());
    std::vector<char> buf(strlen(dir) + sizeof "_quenor_.tmpXXXXXX" + 2);
    mergepath(buf.data(), dir, "_quenor_.tmpXXXXXX");
    int fd = mkstemp(buf.data());
    if (fd < 0)
        return nullptr;
    *temp_name = buf.data();
    struct stat st;
    mode_t mode;
    if (stat(target, &st) == 0) {
        mode = st.st_mode & 07777;
    } else {
        mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    fchmod(fd, mode);
    FILE *f = fdopen(fd, "w+b");
    if (!f) {
        close(fd);
        unlink(buf.data());
    }
    return f;
}

/* Whether any top-level element lies above the groups 0000-0003, which a
 * save without meta header leaves out. */
bool holds_data_set_element(const DicomObject *obj) {
    for (const DicomElement *e = obj->root->first_child; e; e = e->next)
        if (e->group > 3)
            return true;
    return false;
}

/* Flushes, syncs and closes the output; false when any of it failed. */
bool finish_output(FILE *out) {
    bool ok = fflush(out) == 0 && !ferror(out);
    ok = ok && fsync(fileno(out)) == 0; /* the rename must never publish unwritten data */
    return (fclose(out) == 0) && ok;
}

} // namespace

extern "C" {

int16_t DO_checkObject(AppData *app, DicomObject *obj) {
    if (!obj)
        return 0;
    SortCodes(obj->root);
    int16_t result = 0;
    for (DicomElement *e = obj->root->first_child; e && result == 0; e = e->next)
        result = check_element(app, e);
    obj->cursor = nullptr;
    return result;
}

int16_t DO_calcElementsLength(AppData *app, IOObject *io) {
    if (!io || !io->object)
        return 0;
    DicomObject *obj = io->object;
    io->in_meta_group = io->meta_header;
    SortCodes(obj->root);
    resolve_output_syntaxes(io);
    io->pass_encoding = PE_NATIVE;
    if (io->meta_header) {
        DO_generateMetaHeader(app, io);
        io->ts_in_force = io->out_meta_ts;
    } else {
        io->ts_in_force = io->out_ds_ts;
    }
    io->named_ts = io->ts_in_force;
    SortCodes(obj->root);

    PixelDataDesc geometry;
    memset(&geometry, 0, sizeof geometry);
    fill_pds(app, obj, &geometry);

    store_group_lengths(app, obj->root, io, &geometry);
    /* The data-set syntax is in force now: inside items the save changes
     * sizes too (empty sequences and items get length 0). */
    store_nested_group_lengths(app, obj->root, io, &geometry);

    DicomElement *pos = nullptr;
    DE_search(app, obj, &pos, 0xFFFF, 0xFFFF, 0);
    if (DE_search(app, obj, &pos, 0x0008, 0x0001, 0) == 0 && pos && !pos->first_child) {
        uint32_t rest = 0;
        for (DicomElement *e = pos->next; e; e = e->next)
            rest += (uint32_t)calc_element_length(app, e, io, &geometry);
        DicomElementHead rec;
        memset(&rec, 0, sizeof rec);
        rec.group = 0x0008;
        rec.element = 0x0001;
        rec.length = 4;
        rec.value = &rest;
        DOU_defXVRTypeByTags(app, rec.group, rec.element, &rec.vr);
        DE_add(app, obj, &rec);
    }
    return 0;
}

int16_t DO_copyObjectToFile(AppData *app, IOObject *io, const char *name) {
    if (!io || !io->object)
        return 0;
    if (!name)
        return -1;
    char text[512];
    snprintf(text, sizeof text, "Saving DICOM object %s", name);
    log_message(text, 3);
    DicomObject *obj = io->object;
    if (!io->meta_header && !holds_data_set_element(obj)) {
        log_formatted(1, "DICOM object %s holds no data-set element: without a meta header "
                      "the file would be empty.", name);
        return -1;
    }
    DO_checkObject(app, obj);
    DO_calcElementsLength(app, io);

    std::string temp;
    FILE *out = create_temp(name, &temp);
    if (!out)
        return -1;
    setvbuf(out, nullptr, _IOFBF, kOutputBuffer);
    io->out = out;
    bool ok = true;
    if (io->meta_header)
        ok = wr_bytes(out, obj->preamble, 128) && wr_bytes(out, "DICM", 4);

    io->ts_in_force = io->meta_header ? io->out_meta_ts : io->out_ds_ts;
    io->named_ts = io->ts_in_force;
    io->pass_ts = io->out_ds_ts;
    io->pass_encoding = PE_NATIVE;
    io->in_meta_group = io->meta_header;
    SortCodes(obj->root);

    PixelDataDesc pds;
    memset(&pds, 0, sizeof pds);
    fill_pds(app, obj, &pds);
    io->write_pds = &pds;
    if (ok) {
        FileWriter writer(app, io);
        ok = writer.write_top_level(obj->root) == 0;
    }
    io->write_pds = nullptr;
    io->out = nullptr;
    ok = finish_output(out) && ok;
    if (ok && plat_replace_file(temp.c_str(), name) != 0) {
        log_formatted(1, "Cannot replace %s: %s.", name, strerror(errno));
        ok = false;
    }
    if (!ok) {
        unlink(temp.c_str());
        return -1;
    }
    snprintf(text, sizeof text, "DICOM object %s successfully saved", name);
    log_message(text, 3);
    return 0;
}

} // extern "C"
