/*
 * pixels.cpp -- the value of (7FE0,0010) as a save writes it: the native
 * copy with sample byte order converted, PNG encapsulation (one greyscale
 * PNG per frame behind an offset table), PNG decoding back to native rows,
 * and the pass-through of an already PNG-encoded value.  Also the checked
 * output helpers and the item-header writer that the file writer shares.
 *
 * The PNG coding itself is pngcodec.cpp's.  The pixels never sit in
 * memory whole: large chunks stream from the source file to the output.
 * Every read and write is checked; any shortfall or libpng failure makes
 * the value fail with -1 (and a level-1 message), which fails the save.
 */
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <new>
#include <vector>

#include "logf_int.h"
#include "medcore.h"
#include "pngcodec_int.h"
#include "vr_int.h"
#include "writer_int.h"

namespace {

const uint16_t kItemGroup = 0xFFFE;
const uint16_t kItem = 0xE000;
const uint16_t kSeqDelim = 0xE0DD;
const uint32_t kUndefined = 0xFFFFFFFFu;
const size_t kChunk = 1u << 20;
const size_t kKernelStep = 64u << 20; /* a signal is looked for between steps */

bool read_exact(FILE *src, void *buf, size_t n) {
    return n == 0 || fread(buf, 1, n, src) == n;
}

/* Reverses every whole 16-bit word of a buffer (the inner loop of a
 * native copy). */
void swap_words(unsigned char *p, size_t n) {
    for (size_t i = 0; i + 2 <= n; i += 2) {
        uint16_t v;
        memcpy(&v, p + i, 2);
        v = __builtin_bswap16(v);
        memcpy(p + i, &v, 2);
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
    while (*copied < n && !save_interrupted()) {
        const size_t step = n - *copied < kKernelStep ? n - *copied : kKernelStep;
        ssize_t got = copy_file_range(fileno(src), &in_pos, fileno(out), &out_pos, step, 0);
        if (got <= 0)
            break;
        *copied += (uint32_t)got;
    }
    return *copied == 0 ||
           (fseeko(src, in_pos, SEEK_SET) == 0 && fseeko(out, out_pos, SEEK_SET) == 0);
}

/* Copies exactly the recorded value length, reversing 16-bit words when
 * the byte order of source and output differ: samples of more than 8 bits
 * are OW, which is swapped by words whatever their size (packed 12-bit
 * samples, 32-bit ones).  One-byte samples in big-endian OW words are put
 * back in order (they go out as OB). */
int16_t _write_pixeldata_native(FILE *src, IOObject *io, PixelDataDesc *pds) {
    uint32_t length = pds->length;
    const bool swap = source_in_swapped_words(pds) ||
                      (pds->bits_allocated > 8 && !source_in_bytes(pds) &&
                       ts_needs_swap(pds->src_ts) != ts_needs_swap(io->ts_in_force));
    if (!wr_u32(io->out, io->ts_in_force, length))
        return -1;
    if (!swap) {
        uint32_t copied = 0;
        if (!copy_in_kernel(src, io->out, length, &copied))
            return -1;
        length -= copied;
    }
    const size_t chunk = kChunk; /* even: words stay whole */
    std::vector<unsigned char> buf(length ? chunk : 0);
    while (length > 0) {
        size_t n = length < chunk ? length : chunk;
        if (!read_exact(src, buf.data(), n)) {
            log_formatted(
                1, "Pixel data (7FE0,0010) is shorter in the source file %s than its length.",
                pds->filename ? pds->filename : "");
            return -1;
        }
        if (swap)
            swap_words(buf.data(), n);
        if (!wr_bytes(io->out, buf.data(), n))
            return -1;
        length -= (uint32_t)n;
    }
    return 0;
}

/* _write_pixeldata after its checks: the coder for the two encodings. */
int16_t write_encoded(FILE *src, IOObject *io, PixelDataDesc *pds) {
    PixelEncoding from = pds->src_encoding;
    PixelEncoding to = io->pass_encoding;
    if (pixel_is_foreign_encapsulated(pds)) {
        log_formatted(1,
                      "Pixel data (7FE0,0010) is encapsulated in a transfer syntax that cannot be "
                      "converted; it can only be left out.");
        return -1;
    }
    if ((from == PE_NATIVE || from == PE_UNUSED) && to == PE_NATIVE)
        return _write_pixeldata_native(src, io, pds);
    if (from == PE_NATIVE && to == PE_PNG)
        return _write_pixeldata_png(src, io, pds);
    if (from == PE_PNG && to == PE_NATIVE)
        return _read_pixeldata_png(src, io, pds);
    if (from == PE_PNG && to == PE_PNG)
        return pass_encapsulated(src, io, pds);
    log_formatted(1, "Pixel data (7FE0,0010): no conversion from encoding %d to encoding %d.",
                  (int)from, (int)to);
    return -1;
}

} // namespace

bool wr_bytes(FILE *out, const void *data, size_t n) {
    return !save_interrupted() && (n == 0 || fwrite(data, 1, n, out) == n);
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

bool source_in_bytes(const PixelDataDesc *pds) {
    return pds->src_word_bytes == 1 && pds->src_encoding != PE_PNG;
}

bool source_in_swapped_words(const PixelDataDesc *pds) {
    return pds->src_word_bytes == 2 && pds->bits_allocated <= 8 && ts_needs_swap(pds->src_ts);
}

bool pixel_is_foreign_encapsulated(const PixelDataDesc *pds) {
    return pds->length == kUndefined && pds->src_encoding != PE_PNG;
}

uint64_t native_image_bytes(const PixelDataDesc *d) {
    const uint64_t frame = (uint64_t)d->columns * d->samples * (d->bits_allocated / 8u) * d->rows;
    const uint64_t frames = frames_of(d);
    if (frame && frames > UINT64_MAX / frame)
        return UINT64_MAX;
    return frame * frames;
}

uint32_t pixel_value_size_estimate(const IOObject *io, const PixelDataDesc *pds) {
    if (!io->copy_pixels || !pds || pds->length == 0)
        return 0;
    if (pds->src_encoding == PE_PNG && io->pass_encoding == PE_NATIVE) {
        const PixelDataDesc *d = io->write_pds ? io->write_pds : pds;
        if (d->bits_allocated != 8 && d->bits_allocated != 16)
            return 0;
        const uint64_t total = native_image_bytes(d);
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

/* The buffers, offset tables and worker threads are C++: memory running
 * out for them fails the value with -1. */
int16_t _write_pixeldata(FILE *src, IOObject *io, PixelDataDesc *pds) {
    if (!src || !io || !pds || !io->out)
        return -1;
    try {
        return write_encoded(src, io, pds);
    } catch (const std::bad_alloc &) {
        log_formatted(1, "Pixel data (7FE0,0010): not enough memory to write the value.");
        return -1;
    }
}

} // extern "C"
