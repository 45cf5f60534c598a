/*
 * pixels.cpp -- the value of (7FE0,0010) as a save writes it: the native
 * copy with sample byte order converted, PNG encapsulation (one greyscale
 * PNG per frame behind an offset table), PNG decoding back to native rows,
 * and the pass-through of an already PNG-encoded value.  Also the checked
 * output helpers and the item-header writer that the file writer shares.
 *
 * The pixels never sit in memory whole: rows or large chunks stream from
 * the source file to the output.  Every read and write is checked; any
 * shortfall or libpng failure makes the value fail with -1 (and a level-1
 * message), which fails the save.
 */
#include <errno.h>
#include <png.h>
#include <setjmp.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <vector>

#include "logf_int.h"
#include "medcore.h"
#include "vr_int.h"
#include "writer_int.h"

namespace {

const uint16_t kItemGroup = 0xFFFE;
const uint16_t kItem = 0xE000;
const uint16_t kSeqDelim = 0xE0DD;
const uint32_t kUndefined = 0xFFFFFFFFu;
const size_t kChunk = 1u << 20;

/* Image geometry of the value as the object's group 0028 describes it. */
struct Geometry {
    uint32_t frames = 0;
    uint32_t rows = 0;
    uint32_t width = 0;     /* samples in one row: columns x samples per pixel */
    uint32_t bytes = 0;     /* bytes per sample, 1 or 2 */
    uint32_t row_bytes = 0; /* R */
    uint32_t total = 0;     /* frames x rows x R */
    int depth = 0;          /* PNG bit depth */
};

int depth_for(const PixelDataDesc *g) {
    if (g->bits_allocated == 16)
        return 16; /* two bytes per sample are stored, whatever bits stored says */
    uint16_t bs = g->bits_stored;
    if (bs > 8 || bs >= 5)
        return 8;
    if (bs >= 3)
        return 4;
    if (bs == 2)
        return 2;
    return 1;
}

/* Fills g from the writer's descriptor; false (with a message) for an image
 * the PNG coder cannot handle. */
bool png_geometry(const PixelDataDesc *d, Geometry *g) {
    if (!d) {
        log_formatted(1, "Pixel data (7FE0,0010): no image description for PNG coding.");
        return false;
    }
    if (d->bits_allocated != 8 && d->bits_allocated != 16) {
        log_formatted(1, "Pixel data (7FE0,0010) with %u bits allocated cannot be PNG-coded.",
                      (unsigned)d->bits_allocated);
        return false;
    }
    g->frames = d->frames;
    g->rows = d->rows;
    g->bytes = d->bits_allocated / 8u;
    uint64_t width = (uint64_t)d->columns * d->samples;
    uint64_t row_bytes = width * g->bytes;
    uint64_t total = row_bytes * d->rows * d->frames;
    if (total == 0 || total > 0xFFFFFFFEu || width > 0x7FFFFFFFu) {
        log_formatted(1, "Pixel data (7FE0,0010): image size %u x %u x %u x %u frames cannot be PNG-coded.",
                      (unsigned)d->columns, (unsigned)d->rows, (unsigned)d->samples,
                      (unsigned)d->frames);
        return false;
    }
    g->width = (uint32_t)width;
    g->row_bytes = (uint32_t)row_bytes;
    g->total = (uint32_t)total;
    g->depth = depth_for(d);
    return true;
}

bool read_exact(FILE *src, void *buf, size_t n) {
    return n == 0 || fread(buf, 1, n, src) == n;
}

/* Reverses every whole unit-byte sample of a buffer; the common sizes
 * without a call per sample (this is the inner loop of a native copy). */
void swap_samples(unsigned char *p, size_t n, unsigned unit) {
    size_t i = 0;
    if (unit == 2) {
        for (; i + 2 <= n; i += 2) {
            uint16_t v;
            memcpy(&v, p + i, 2);
            v = __builtin_bswap16(v);
            memcpy(p + i, &v, 2);
        }
    } else if (unit == 4) {
        for (; i + 4 <= n; i += 4) {
            uint32_t v;
            memcpy(&v, p + i, 4);
            v = __builtin_bswap32(v);
            memcpy(p + i, &v, 4);
        }
    } else {
        for (; i + unit <= n; i += unit)
            swapbytes(p + i, (int16_t)unit);
    }
}

bool copy_bytes(FILE *from, FILE *to, uint64_t n, std::vector<unsigned char> &buf) {
    while (n > 0) {
        size_t k = n < buf.size() ? (size_t)n : buf.size();
        if (!read_exact(from, buf.data(), k) || !wr_bytes(to, buf.data(), k))
            return false;
        n -= k;
    }
    return true;
}

/* One-byte samples that a big-endian source holds in 16-bit words. */
bool source_in_swapped_words(const PixelDataDesc *pds) {
    return pds->src_word_bytes == 2 && pds->bits_allocated <= 8 && ts_needs_swap(pds->src_ts);
}

/* Reads a value's bytes in order, also when the source holds them in
 * swapped 16-bit words and a read ends in the middle of one. */
class SampleReader {
public:
    SampleReader(FILE *src, bool swapped_words) : src_(src), swapped_(swapped_words) {}

    bool read(unsigned char *dst, size_t n) {
        if (!swapped_)
            return read_exact(src_, dst, n);
        size_t i = 0;
        if (n > 0 && has_carry_) {
            dst[i++] = carry_;
            has_carry_ = false;
        }
        size_t pairs = (n - i) / 2 * 2;
        if (!read_exact(src_, dst + i, pairs))
            return false;
        swap_samples(dst + i, pairs, 2);
        i += pairs;
        if (i < n) {
            unsigned char word[2];
            if (!read_exact(src_, word, 2))
                return false;
            dst[i] = word[1];
            carry_ = word[0];
            has_carry_ = true;
        }
        return true;
    }

private:
    FILE *src_;
    bool swapped_;
    bool has_carry_ = false;
    unsigned char carry_ = 0;
};

/* ---- libpng callbacks ---- */

void png_error_callback(png_structp png, png_const_charp message) {
    char text[512];
    snprintf(text, sizeof text, "%s", message);
    log_message(text, 1);
    png_longjmp(png, 1); /* back to the armed return of the caller */
}

void png_warning_callback(png_structp, png_const_charp message) {
    char text[512];
    snprintf(text, sizeof text, "%s", message);
    log_message(text, 2);
}

/* ---- PNG temporary file ---- */

/* An unlinked scratch file in the current directory, named after
 * "qnrpng.tmp" with a unique suffix so that concurrent saves never meet. */
FILE *open_png_temp() {
    char name[] = "qnrpng.tmpXXXXXX";
    int fd = mkstemp(name);
    if (fd < 0) {
        log_formatted(1, "Cannot create the temporary file %s: %s.", name, strerror(errno));
        return nullptr;
    }
    unlink(name);
    FILE *f = fdopen(fd, "w+b");
    if (!f) {
        close(fd);
        log_formatted(1, "Cannot open the temporary file %s.", name);
        return nullptr;
    }
    return f;
}

/* ---- PNG encoding ---- */

/* False when some sample of a row exceeds the PNG depth below 8 bits. */
bool row_fits_depth(const unsigned char *row, uint32_t n, int depth) {
    if (depth >= 8)
        return true;
    unsigned limit = 1u << depth;
    for (uint32_t i = 0; i < n; i++)
        if (row[i] >= limit)
            return false;
    return true;
}

/* Encodes one frame read from src as one PNG stream into tmp. */
int16_t encode_frame(SampleReader &src, FILE *tmp, const Geometry &g, const IOObject *io,
                     TransferSyntaxCode src_ts, unsigned char *row) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr,
                                              png_error_callback, png_warning_callback);
    if (!png)
        return -1;
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        return -1;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return -1;
    }
    png_init_io(png, tmp);
    int filters = (io->png_filter & 31) * 8; /* the mask's five bits are libpng's five filters */
    png_set_filter(png, 0, filters ? filters : PNG_FILTER_NONE);
    png_set_compression_level(png, io->zlib_level);
    png_set_IHDR(png, info, g.width, g.rows, g.depth, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    if (g.depth == 16 && src_ts != TS_EXPLICIT_BE)
        png_set_swap(png); /* the rows hold little-endian samples */
    if (g.depth < 8)
        png_set_packing(png); /* the rows hold one sample per byte */
    for (uint32_t r = 0; r < g.rows; r++) {
        if (!src.read(row, g.row_bytes)) {
            log_formatted(1, "Pixel data (7FE0,0010) is shorter in the source file than its image size.");
            png_destroy_write_struct(&png, &info);
            return -1;
        }
        if (!row_fits_depth(row, g.row_bytes, g.depth)) {
            log_formatted(1, "Pixel data (7FE0,0010) holds samples above its %d bits stored; "
                          "they cannot be PNG-encoded.", g.depth);
            png_destroy_write_struct(&png, &info);
            return -1;
        }
        png_write_row(png, row);
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return 0;
}

/* Streams the PNG frames held in tmp (frame f spans offsets[f] to
 * offsets[f+1]) into the output as an encapsulated value.  Each item is
 * padded to even length with a zero byte. */
int16_t emit_encapsulated(FILE *tmp, const std::vector<uint64_t> &offsets, IOObject *io) {
    FILE *out = io->out;
    TransferSyntaxCode ts = io->ts_in_force;
    size_t frames = offsets.size() - 1;
    std::vector<uint32_t> table(frames);
    uint64_t pos = 0;
    for (size_t f = 0; f < frames; f++) {
        uint64_t s = offsets[f + 1] - offsets[f];
        table[f] = (uint32_t)pos;
        pos += 8 + s + (s & 1);
        if (pos > 0xFFFFFFF0u || s + 1 > 0xFFFFFFFEu) {
            log_formatted(1, "Pixel data (7FE0,0010): the PNG streams exceed 4 GiB.");
            return -1;
        }
    }
    bool ok = wr_u32(out, ts, kUndefined);
    _write_itemtag(out, ts, kItemGroup, kItem, (uint32_t)(4 * frames));
    for (size_t f = 0; ok && f < frames; f++)
        ok = wr_u32(out, ts, table[f]);
    std::vector<unsigned char> buf(kChunk);
    if (ok && fseeko(tmp, 0, SEEK_SET) != 0)
        ok = false;
    for (size_t f = 0; ok && f < frames; f++) {
        uint64_t s = offsets[f + 1] - offsets[f];
        _write_itemtag(out, ts, kItemGroup, kItem, (uint32_t)(s + (s & 1)));
        ok = copy_bytes(tmp, out, s, buf);
        if (ok && (s & 1))
            ok = wr_bytes(out, "", 1);
    }
    _write_itemtag(out, ts, kItemGroup, kSeqDelim, 0);
    if (!ok || ferror(out)) {
        log_formatted(1, "Pixel data (7FE0,0010): the PNG streams could not be written.");
        return -1;
    }
    return 0;
}

int16_t _write_pixeldata_png(FILE *src, IOObject *io, PixelDataDesc *pds) {
    Geometry g;
    if (!png_geometry(io->write_pds, &g))
        return -1;
    if (pds->length != kUndefined && pds->length < g.total) {
        log_formatted(1, "Pixel data (7FE0,0010) holds %lu bytes, fewer than its image size of %lu.",
                      (unsigned long)pds->length, (unsigned long)g.total);
        return -1;
    }
    FILE *tmp = open_png_temp();
    if (!tmp)
        return -1;
    std::vector<unsigned char> row(g.row_bytes);
    std::vector<uint64_t> offsets(g.frames + 1);
    SampleReader samples(src, source_in_swapped_words(pds));
    int16_t status = 0;
    for (uint32_t f = 0; status == 0 && f < g.frames; f++) {
        offsets[f] = (uint64_t)ftello(tmp);
        status = encode_frame(samples, tmp, g, io, pds->src_ts, row.data());
    }
    if (status == 0) {
        offsets[g.frames] = (uint64_t)ftello(tmp);
        if (fflush(tmp) != 0 || ferror(tmp)) {
            log_formatted(1, "Pixel data (7FE0,0010): the temporary PNG file could not be written.");
            status = -1;
        }
    }
    if (status == 0)
        status = emit_encapsulated(tmp, offsets, io);
    fclose(tmp);
    return status;
}

/* ---- PNG decoding ---- */

/* Decodes the PNG stream at the current position of src (its signature
 * already read) into g.rows native rows written to the output. */
int16_t decode_frame(FILE *src, const Geometry &g, IOObject *io, unsigned char *row) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr,
                                             png_error_callback, png_warning_callback);
    if (!png)
        return -1;
    png_infop info = png_create_info_struct(png);
    png_infop end_info = info ? png_create_info_struct(png) : nullptr;
    if (!info || !end_info) {
        png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
        return -1;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, &end_info);
        return -1;
    }
    png_init_io(png, src);
    png_set_sig_bytes(png, 8);
    png_read_info(png, info);
    int depth = png_get_bit_depth(png, info);
    if (png_get_image_width(png, info) != g.width || png_get_image_height(png, info) != g.rows ||
        png_get_color_type(png, info) != PNG_COLOR_TYPE_GRAY ||
        png_get_interlace_type(png, info) != PNG_INTERLACE_NONE) {
        log_formatted(1, "Pixel data (7FE0,0010): a PNG image does not match the image size of the object.");
        png_destroy_read_struct(&png, &info, &end_info);
        return -1;
    }
    if (depth < 8)
        png_set_packing(png);
    if (depth == 16 && io->ts_in_force != TS_EXPLICIT_BE)
        png_set_swap(png);
    png_read_update_info(png, info);
    if (png_get_rowbytes(png, info) != g.row_bytes) {
        log_formatted(1, "Pixel data (7FE0,0010): a PNG image of depth %d does not match %u bytes per sample.",
                      depth, g.bytes);
        png_destroy_read_struct(&png, &info, &end_info);
        return -1;
    }
    for (uint32_t r = 0; r < g.rows; r++) {
        png_read_row(png, row, nullptr);
        if (!wr_bytes(io->out, row, g.row_bytes)) {
            png_destroy_read_struct(&png, &info, &end_info);
            return -1;
        }
    }
    png_read_end(png, end_info);
    png_destroy_read_struct(&png, &info, &end_info);
    return 0;
}

int16_t _read_pixeldata_png(FILE *src, IOObject *io, PixelDataDesc *pds) {
    Geometry g;
    if (!png_geometry(io->write_pds, &g))
        return -1;
    TransferSyntaxCode in_ts = pds->src_ts;
    uint16_t group = 0, element = 0;
    uint32_t length = 0;
    _read_itemtag(src, in_ts, &group, &element, &length);
    if (feof(src) || group != kItemGroup || element != kItem ||
        (length != kUndefined && fseeko(src, length, SEEK_CUR) != 0)) {
        log_formatted(1, "Pixel data (7FE0,0010): the PNG-encoded value has no offset table.");
        return -1;
    }
    uint32_t padded = g.total + (g.total & 1);
    if (!wr_u32(io->out, io->ts_in_force, padded))
        return -1;
    std::vector<unsigned char> row(g.row_bytes);
    for (uint32_t f = 0; f < g.frames; f++) {
        _read_itemtag(src, in_ts, &group, &element, &length);
        if (feof(src) || group != kItemGroup || element != kItem) {
            log_formatted(1, "Pixel data (7FE0,0010): PNG-encoded value ends before frame %lu.",
                          (unsigned long)f + 1);
            return -1;
        }
        off_t item_start = ftello(src);
        unsigned char sig[8];
        if (!read_exact(src, sig, 8) || png_sig_cmp(sig, 0, 8) != 0) {
            log_formatted(1, "Pixel data (7FE0,0010): frame %lu is no PNG image.", (unsigned long)f + 1);
            return -1;
        }
        if (decode_frame(src, g, io, row.data()) != 0)
            return -1;
        /* The next item starts after this one's length (which may hold a pad byte). */
        if (length != kUndefined && fseeko(src, item_start + (off_t)length, SEEK_SET) != 0)
            return -1;
    }
    if (padded != g.total && !wr_bytes(io->out, "", 1))
        return -1;
    return 0;
}

/* A PNG-encoded source into PNG output: the encapsulated value is copied as
 * it stands (the PNG syntax is little endian on both sides), item headers
 * included, up to and with the sequence delimiter. */
int16_t pass_encapsulated(FILE *src, IOObject *io, PixelDataDesc *pds) {
    FILE *out = io->out;
    if (!wr_u32(out, io->ts_in_force, kUndefined))
        return -1;
    std::vector<unsigned char> buf(kChunk);
    for (;;) {
        uint16_t group = 0, element = 0;
        uint32_t length = 0;
        _read_itemtag(src, pds->src_ts, &group, &element, &length);
        if (feof(src) || group != kItemGroup || (element != kItem && element != kSeqDelim)) {
            log_formatted(1, "Pixel data (7FE0,0010): the encapsulated value is cut short.");
            return -1;
        }
        _write_itemtag(out, io->ts_in_force, group, element, length);
        if (element == kSeqDelim)
            return ferror(out) ? -1 : 0;
        if (length == kUndefined || !copy_bytes(src, out, length, buf)) {
            log_formatted(1, "Pixel data (7FE0,0010): the encapsulated value is cut short.");
            return -1;
        }
    }
}

/* ---- native copy ---- */

/* Copies up to n bytes from the source's current position to the output
 * inside the kernel, without passing them through user space, and adds the
 * count to *copied; the buffered copy does the rest (all of it where the
 * file systems do not support this).  Both streams go on after what was
 * copied; false when they cannot be repositioned. */
bool copy_in_kernel(FILE *src, FILE *out, uint32_t n, uint32_t *copied) {
    *copied = 0;
    if (fflush(out) != 0)
        return false;
    off_t in_pos = ftello(src), out_pos = ftello(out);
    if (in_pos < 0 || out_pos < 0)
        return true;
    while (*copied < n) {
        ssize_t got = copy_file_range(fileno(src), &in_pos, fileno(out), &out_pos, n - *copied, 0);
        if (got <= 0)
            break;
        *copied += (uint32_t)got;
    }
    return *copied == 0 || (fseeko(src, in_pos, SEEK_SET) == 0 && fseeko(out, out_pos, SEEK_SET) == 0);
}

/* Copies exactly the recorded value length, reversing whole samples when
 * the byte order of source and output differ.  One-byte samples in
 * big-endian OW words are put back in order (they go out as OB). */
int16_t _write_pixeldata_native(FILE *src, IOObject *io, PixelDataDesc *pds) {
    uint32_t length = pds->length;
    unsigned unit = pds->bits_allocated / 8u;
    bool swap = unit > 1 && ts_needs_swap(pds->src_ts) != ts_needs_swap(io->ts_in_force);
    if (source_in_swapped_words(pds)) {
        unit = 2;
        swap = true;
    }
    if (!wr_u32(io->out, io->ts_in_force, length))
        return -1;
    if (!swap) {
        uint32_t copied = 0;
        if (!copy_in_kernel(src, io->out, length, &copied))
            return -1;
        length -= copied;
    }
    size_t chunk = kChunk;
    if (unit > 1)
        chunk -= chunk % unit;
    std::vector<unsigned char> buf(length ? chunk : 0);
    while (length > 0) {
        size_t n = length < chunk ? length : chunk;
        if (!read_exact(src, buf.data(), n)) {
            log_formatted(1, "Pixel data (7FE0,0010) is shorter in the source file %s than its length.",
                          pds->filename ? pds->filename : "");
            return -1;
        }
        if (swap)
            swap_samples(buf.data(), n, unit);
        if (!wr_bytes(io->out, buf.data(), n))
            return -1;
        length -= (uint32_t)n;
    }
    return 0;
}

} // namespace

bool wr_bytes(FILE *out, const void *data, size_t n) {
    return n == 0 || fwrite(data, 1, n, out) == n;
}

bool wr_u16(FILE *out, TransferSyntaxCode ts, uint16_t v) {
    if (ts_needs_swap(ts))
        swapbytes(&v, 2);
    return wr_bytes(out, &v, 2);
}

bool wr_u32(FILE *out, TransferSyntaxCode ts, uint32_t v) {
    if (ts_needs_swap(ts))
        swapbytes(&v, 4);
    return wr_bytes(out, &v, 4);
}

bool pixel_is_foreign_encapsulated(const PixelDataDesc *pds) {
    return pds->length == kUndefined && pds->src_encoding != 1;
}

uint32_t pixel_value_size_estimate(const IOObject *io, const PixelDataDesc *pds) {
    if (!io->copy_pixels || !pds || pds->length == 0)
        return 0;
    if (pds->src_encoding == 1 && io->pass_encoding == 0) {
        const PixelDataDesc *d = io->write_pds ? io->write_pds : pds;
        if (d->bits_allocated != 8 && d->bits_allocated != 16)
            return 0;
        uint64_t total = (uint64_t)d->columns * d->samples * (d->bits_allocated / 8u) *
                         d->rows * d->frames;
        return total > 0xFFFFFFFEu ? 0 : (uint32_t)(total + (total & 1));
    }
    return pds->length == kUndefined ? 0 : pds->length;
}

extern "C" {

void _write_itemtag(FILE *out, TransferSyntaxCode ts, uint16_t group, uint16_t element,
                    uint32_t length) {
    wr_u16(out, ts, group);
    wr_u16(out, ts, element);
    wr_u32(out, ts, length);
}

int16_t _write_pixeldata(FILE *src, IOObject *io, PixelDataDesc *pds) {
    if (!src || !io || !pds || !io->out)
        return -1;
    PixelEncoding from = pds->src_encoding;
    PixelEncoding to = io->pass_encoding;
    if (pixel_is_foreign_encapsulated(pds)) {
        log_formatted(1, "Pixel data (7FE0,0010) is encapsulated in a transfer syntax that cannot be "
                      "converted; it can only be left out.");
        return -1;
    }
    if ((from == 0 || from == 2) && to == 0)
        return _write_pixeldata_native(src, io, pds);
    if (from == 0 && to == 1)
        return _write_pixeldata_png(src, io, pds);
    if (from == 1 && to == 0)
        return _read_pixeldata_png(src, io, pds);
    if (from == 1 && to == 1)
        return pass_encapsulated(src, io, pds);
    log_formatted(1, "Pixel data (7FE0,0010): no conversion from encoding %d to encoding %d.", (int)from,
                  (int)to);
    return -1;
}

} // extern "C"
