/*
 * pngcodec.cpp -- PNG encapsulation of (7FE0,0010): native frames into one
 * greyscale PNG stream per frame behind an offset table, and such a value
 * back to native rows.  The frames are as many as Number of Frames says,
 * whole (an IS of up to 12 digits); a native value that holds fewer bytes
 * than they take is not encoded, so that no frame is dropped, nor one that
 * holds more unless they are zero padding (left out with a warning).
 *
 * Frames are independent, so both directions spread them over a pool of
 * worker threads, one per core and at most one per frame (frames under 16
 * KiB stay in the calling thread; see pngcodec_int.h for the override).  A
 * worker has its own libpng context and reads its frame's source bytes by
 * position, so no stream is shared.
 * The saving thread alone writes the output stream and the log: encoder
 * workers hand it each finished PNG stream in memory, and it writes them in
 * frame order into items behind an offset table that it reserves first and
 * fills in by seeking back once every size is known.  Decoder workers write
 * their native rows straight to the frame's fixed place in the output file.
 * Messages (libpng's and the coder's own) stay with their frame until the
 * saving thread logs them in frame order.  A failed frame stops further
 * frames from starting; the value fails with -1 once every worker is
 * joined, so no thread outlives the call.
 *
 * Memory stays bounded: the encoder keeps at most two frames in flight per
 * worker (fewer when frames are large), the decoder a few buffers per
 * worker.  With one thread the encoder streams each PNG straight into the
 * output and patches its item length afterwards: nothing is held whole.
 */
#include <errno.h>
#include <limits.h>
#include <png.h>
#include <sched.h>
#include <setjmp.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
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
const size_t kIoBuffer = 64 * 1024;        /* a worker's read or write buffer */
const uint64_t kInFlightBytes = 32u << 20; /* frame bytes the encoder holds at once */
const off_t kNoEnd = (off_t)LLONG_MAX;
const int kNotStarted = 1;                       /* no worker thread could be started */
const uint64_t kSmallestSharedFrame = 16 * 1024; /* frame bytes worth a worker */
/* An encapsulated value's offsets are 32-bit, and a frame's item takes at
 * least its header and the signature, IHDR, IDAT and IEND of a PNG. */
const uint64_t kLargestValue = 0xFFFFFFF0u;
const uint64_t kSmallestItem = 8 + 8 + 25 + 12 + 12;

/* ---- geometry ---- */

/* Image geometry of the value as the object's group 0028 describes it. */
struct Geometry {
    uint32_t frames = 0;
    uint32_t rows = 0;
    uint32_t width = 0;     /* samples in one row: columns x samples per pixel */
    uint32_t bytes = 0;     /* bytes per sample, 1 or 2 */
    uint32_t row_bytes = 0; /* R */
    uint32_t total = 0;     /* frames x rows x R */
    int depth = 0;          /* PNG bit depth */
    uint64_t frame_bytes() const { return (uint64_t)rows * row_bytes; }
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
    const uint64_t frames = frames_of(d);
    g->frames = (uint32_t)frames;
    g->rows = d->rows;
    g->bytes = d->bits_allocated / 8u;
    uint64_t width = (uint64_t)d->columns * d->samples;
    uint64_t row_bytes = width * g->bytes;
    uint64_t total = native_image_bytes(d);
    if (total == 0 || total > 0xFFFFFFFEu || width > 0x7FFFFFFFu) {
        log_formatted(1,
                      "Pixel data (7FE0,0010): image size %u x %u x %u x %llu frames cannot be "
                      "PNG-coded.",
                      (unsigned)d->columns, (unsigned)d->rows, (unsigned)d->samples,
                      (unsigned long long)frames);
        return false;
    }
    g->width = (uint32_t)width;
    g->row_bytes = (uint32_t)row_bytes;
    g->total = (uint32_t)total;
    g->depth = depth_for(d);
    return true;
}

/* ---- threads ---- */

unsigned usable_cores() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0)
        return (unsigned)CPU_COUNT(&set);
    unsigned n = std::thread::hardware_concurrency();
    return n ? n : 1;
}

/* Threads for coding the frames of g: never more than there are frames,
 * and, unless the environment says how many, one for frames so small that
 * handing each to a worker costs more than coding it. */
unsigned coding_threads(const Geometry &g) {
    unsigned n = g.frame_bytes() < kSmallestSharedFrame ? 1 : usable_cores();
    if (const char *v = getenv(QUENOR_PNG_THREADS_ENV)) {
        char *end = nullptr;
        unsigned long want = strtoul(v, &end, 10);
        if (end != v && *end == '\0' && want > 0 && want <= 1024)
            n = (unsigned)want;
    }
    return g.frames < n ? (g.frames ? g.frames : 1) : n;
}

/* ---- messages ---- */

/* What the coding of one frame has to say, kept until the saving thread
 * logs it: the log is process-wide state that workers leave alone. */
struct FrameLog {
    std::vector<std::pair<int, std::string>> lines;

    __attribute__((format(printf, 3, 4))) void add(int level, const char *format, ...) noexcept {
        char text[512];
        va_list args;
        va_start(args, format);
        vsnprintf(text, sizeof text, format, args);
        va_end(args);
        try {
            lines.emplace_back(level, text);
        } catch (...) { /* out of memory: the message is lost, the status is not */
        }
    }
    void flush() {
        for (const auto &line : lines)
            log_message(line.second.c_str(), line.first);
        lines.clear();
    }
};

/* libpng's callbacks: the context's error pointer is the frame's log.  An
 * error returns to the point armed by the caller. */
void png_error_callback(png_structp png, png_const_charp message) {
    static_cast<FrameLog *>(png_get_error_ptr(png))->add(1, "%s", message);
    png_longjmp(png, 1);
}

void png_warning_callback(png_structp png, png_const_charp message) {
    static_cast<FrameLog *>(png_get_error_ptr(png))->add(2, "%s", message);
}

/* ---- libpng contexts ---- */

/* A libpng context and its info structures, destroyed together by the
 * deleter (libpng takes info pointers that are NULL).  A coder makes its
 * owner before it arms the error jump, so that the owner lives in the
 * frame the jump returns to and destroys the context on every way out. */
struct PngWriteDestroyer {
    png_infop info = nullptr;
    void operator()(png_structp png) { png_destroy_write_struct(&png, &info); }
};
using PngWriteOwner = std::unique_ptr<png_struct, PngWriteDestroyer>;

struct PngReadDestroyer {
    png_infop info = nullptr;
    png_infop end_info = nullptr;
    void operator()(png_structp png) { png_destroy_read_struct(&png, &info, &end_info); }
};
using PngReadOwner = std::unique_ptr<png_struct, PngReadDestroyer>;

/* A write context whose messages go to log; empty when libpng had no
 * memory for it or its info. */
PngWriteOwner new_write_context(FrameLog &log) {
    PngWriteOwner png(png_create_write_struct(PNG_LIBPNG_VER_STRING, &log, png_error_callback,
                                              png_warning_callback));
    if (png && !(png.get_deleter().info = png_create_info_struct(png.get())))
        png.reset();
    return png;
}

/* A read context with its info and end info, as new_write_context. */
PngReadOwner new_read_context(FrameLog &log) {
    PngReadOwner png(png_create_read_struct(PNG_LIBPNG_VER_STRING, &log, png_error_callback,
                                            png_warning_callback));
    if (!png)
        return png;
    PngReadDestroyer &d = png.get_deleter();
    d.info = png_create_info_struct(png.get());
    d.end_info = d.info ? png_create_info_struct(png.get()) : nullptr;
    if (!d.end_info)
        png.reset();
    return png;
}

/* ---- positioned file access ---- */

/* Reads a file by position (pread) through a buffer of its own, between
 * the given position and end: threads share the descriptor, never a stream
 * position. */
class PositionedReader {
public:
    PositionedReader(int fd, off_t pos, off_t end)
        : fd_(fd), pos_(pos), end_(end), buf_(kIoBuffer) {}

    /* From here on the bytes lie in 16-bit words with each pair reversed,
     * counted from origin (the first byte of the value): they are read back
     * in order.  The end may then lie one byte further, in the pad byte. */
    void words_from(off_t origin) {
        word_origin_ = origin;
        end_ += 1;
    }

    /* False when the file or the end comes first. */
    bool read(void *to, size_t n) {
        if (word_origin_ >= 0)
            return read_from_words(static_cast<unsigned char *>(to), n);
        return read_bytes(to, n);
    }
    void seek(off_t pos) {
        pos_ = pos;
        at_ = have_ = 0;
    }
    off_t pos() const { return pos_; }

private:
    bool read_bytes(void *to, size_t n) {
        unsigned char *p = static_cast<unsigned char *>(to);
        while (n > 0) {
            if (at_ == have_ && !fill())
                return false;
            size_t k = std::min(n, have_ - at_);
            memcpy(p, buf_.data() + at_, k);
            at_ += k, pos_ += (off_t)k, p += k, n -= k;
        }
        return true;
    }

    /* The whole words around the n bytes, each pair reversed. */
    bool read_from_words(unsigned char *to, size_t n) {
        const off_t want = pos_;
        const off_t first = want - ((want - word_origin_) & 1);
        const size_t lead = (size_t)(want - first);
        words_.resize((lead + n + 1) & ~(size_t)1);
        seek(first);
        if (!read_bytes(words_.data(), words_.size()))
            return false;
        for (size_t i = 0; i + 1 < words_.size(); i += 2)
            std::swap(words_[i], words_[i + 1]);
        memcpy(to, words_.data() + lead, n);
        seek(want + (off_t)n);
        return true;
    }

    bool fill() {
        if (pos_ >= end_)
            return false;
        size_t want = (size_t)std::min<off_t>((off_t)buf_.size(), end_ - pos_);
        ssize_t got;
        do
            got = pread(fd_, buf_.data(), want, pos_);
        while (got < 0 && errno == EINTR);
        if (got <= 0)
            return false;
        at_ = 0, have_ = (size_t)got;
        return true;
    }

    int fd_;
    off_t pos_, end_;
    std::vector<unsigned char> buf_;
    size_t at_ = 0, have_ = 0;
    off_t word_origin_ = -1;
    std::vector<unsigned char> words_;
};

/* Where a decoder puts native rows: the output stream in order, or (for a
 * worker) the output file from a fixed position on, through a buffer. */
class RowWriter {
public:
    explicit RowWriter(FILE *out) : out_(out) {}
    RowWriter(int fd, off_t pos) : fd_(fd), pos_(pos) { buf_.reserve(kIoBuffer); }

    bool write(const unsigned char *row, size_t n) {
        if (out_)
            return wr_bytes(out_, row, n);
        if (buf_.size() + n > kIoBuffer && !flush())
            return false;
        if (n >= kIoBuffer)
            return put(row, n);
        buf_.insert(buf_.end(), row, row + n);
        return true;
    }
    bool flush() {
        bool ok = put(buf_.data(), buf_.size());
        buf_.clear();
        return ok;
    }

private:
    bool put(const unsigned char *p, size_t n) {
        while (n > 0 && !save_interrupted()) {
            ssize_t done = pwrite(fd_, p, n, pos_);
            if (done < 0 && errno == EINTR)
                continue;
            if (done <= 0)
                return false;
            p += done, n -= (size_t)done, pos_ += done;
        }
        return n == 0;
    }

    FILE *out_ = nullptr;
    int fd_ = -1;
    off_t pos_ = 0;
    std::vector<unsigned char> buf_;
};

/* Reads the header of an item (FFFE,E000) and its length; false when the
 * bytes run out or another element stands there. */
bool read_item_header(PositionedReader &in, TransferSyntaxCode ts, uint32_t *length) {
    unsigned char b[8];
    if (!in.read(b, 8) || load_u16(b, ts) != kItemGroup || load_u16(b + 2, ts) != kItem)
        return false;
    *length = load_u32(b + 4, ts);
    return true;
}

/* ---- the frame pool ---- */

/* One frame on its way from a worker to the saving thread. */
struct FrameSlot {
    bool done = false; /* guarded by the pool's lock */
    int16_t status = 0;
    FrameLog log;
    std::vector<unsigned char> png; /* the encoder's stream of the frame */
};

/* Runs work(f, slot) for frames 0 to frames-1 on `workers` threads, never
 * more than `window` frames ahead of the frame that the calling thread
 * hands to consume(f, slot), in frame order, after logging the frame's
 * messages.  The first failed frame (work or consume) ends the run with -1;
 * frames after it are not started.  kNotStarted when no thread could be
 * started (nothing was run).  Every thread is joined before the return. */
template <class Work, class Consume>
int run_frames(uint32_t frames, unsigned workers, unsigned window, const Work &work,
               const Consume &consume) {
    std::vector<FrameSlot> slots(window);
    std::mutex mutex;
    std::condition_variable to_workers, to_writer;
    uint32_t next = 0, written = 0;
    bool stop = false;

    auto worker = [&]() {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            to_workers.wait(lock,
                            [&] { return stop || next >= frames || next < written + window; });
            if (stop || next >= frames)
                return;
            uint32_t f = next++;
            FrameSlot &slot = slots[f % window];
            lock.unlock();
            int16_t status;
            try {
                status = work(f, slot);
            } catch (...) {
                slot.log.add(1, "Pixel data (7FE0,0010): out of memory while PNG-coding frame %lu.",
                             (unsigned long)f + 1);
                status = -1;
            }
            lock.lock();
            slot.status = status;
            slot.done = true;
            if (status != 0)
                stop = true; /* the frames before this one are all under way */
            to_writer.notify_one();
        }
    };

    /* Stops and joins the workers on every way out. */
    struct Crew {
        std::vector<std::thread> threads;
        std::mutex &lock;
        std::condition_variable &wake;
        bool &stop;
        ~Crew() {
            {
                std::lock_guard<std::mutex> hold(lock);
                stop = true;
            }
            wake.notify_all();
            for (auto &t : threads)
                t.join();
        }
    } crew{{}, mutex, to_workers, stop};
    try {
        crew.threads.reserve(workers);
        while (crew.threads.size() < workers)
            crew.threads.emplace_back(worker);
    } catch (const std::exception &) { /* go on with the threads there are */
    }
    if (crew.threads.empty())
        return kNotStarted;

    for (uint32_t f = 0; f < frames; f++) {
        FrameSlot &slot = slots[f % window];
        {
            std::unique_lock<std::mutex> lock(mutex);
            to_writer.wait(lock, [&] { return slot.done; });
        }
        slot.log.flush();
        if (slot.status != 0 || consume(f, slot) != 0)
            return -1;
        {
            std::lock_guard<std::mutex> hold(mutex);
            slot.done = false;
            written++;
        }
        to_workers.notify_one(); /* one more frame may start */
    }
    return 0;
}

/* ---- encoding ---- */

/* Everything the encoding of any frame needs, shared read-only. */
struct Encoding {
    Geometry g;
    int bits_stored; /* named when a sample exceeds the depth */
    int filters;     /* libpng filter flags */
    int level;       /* zlib level, -1 its default */
    bool swap16;     /* the rows hold 16-bit samples little endian */
    bool words;      /* one-byte samples in big-endian OW words */
    int src_fd;      /* the source file */
    off_t src_start; /* its first byte of frame 0 */
};

/* Where libpng's output goes: the output stream itself, or memory. */
struct PngSink {
    FILE *file = nullptr;
    std::vector<unsigned char> *memory = nullptr;
    uint64_t size = 0;
};

void sink_write(png_structp png, png_bytep data, size_t n) {
    PngSink *sink = static_cast<PngSink *>(png_get_io_ptr(png));
    bool ok = true;
    if (sink->file) {
        ok = wr_bytes(sink->file, data, n);
    } else {
        try {
            sink->memory->insert(sink->memory->end(), data, data + n);
        } catch (...) {
            ok = false;
        }
    }
    if (!ok)
        png_error(png, "Pixel data (7FE0,0010): the PNG stream could not be written.");
    sink->size += n;
}

void sink_flush(png_structp) {}

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

/* Encodes one frame, its rows read from in, as one PNG stream into sink.
 * Every failure inside, libpng's or a bad row, goes through png_error: its
 * message lands in log and the jump returns here, where the context's
 * owner destroys it. */
int16_t encode_frame(const Encoding &e, PositionedReader &in, PngSink &sink, unsigned char *row,
                     FrameLog &log) {
    const Geometry &g = e.g;
    const PngWriteOwner context = new_write_context(log);
    if (!context)
        return -1;
    png_structp png = context.get();
    png_infop info = context.get_deleter().info;
    if (setjmp(png_jmpbuf(png)))
        return -1;
    png_set_write_fn(png, &sink, sink_write, sink_flush);
    png_set_filter(png, 0, e.filters);
    png_set_compression_level(png, e.level);
    png_set_IHDR(png, info, g.width, g.rows, g.depth, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    if (e.swap16)
        png_set_swap(png);
    if (g.depth < 8)
        png_set_packing(png); /* the rows hold one sample per byte */
    for (uint32_t r = 0; r < g.rows; r++) {
        if (!in.read(row, g.row_bytes))
            png_error(png,
                      "Pixel data (7FE0,0010) is shorter in the source file than its image size.");
        if (!row_fits_depth(row, g.row_bytes, g.depth)) {
            char text[160];
            snprintf(text, sizeof text,
                     "Pixel data (7FE0,0010) holds samples above its %d bits stored; "
                     "they cannot be PNG-encoded.",
                     e.bits_stored);
            png_error(png, text);
        }
        png_write_row(png, row);
    }
    png_write_end(png, info);
    return 0;
}

/* The encapsulated value as the saving thread writes it: the value length,
 * the offset-table item (reserved before the frames, filled in at the end),
 * one item per frame padded to even length, the sequence delimiter.  The
 * output must be a file that can be positioned. */
class ItemWriter {
public:
    ItemWriter(FILE *out, TransferSyntaxCode ts, uint32_t frames)
        : out_(out), ts_(ts), frames_(frames) {
        table_.reserve(frames);
    }

    bool begin() {
        std::vector<unsigned char> zeros(4 * (size_t)frames_);
        bool ok = wr_u32(out_, ts_, kUndefined);
        _write_itemtag(out_, ts_, kItemGroup, kItem, 4 * frames_);
        table_at_ = ftello(out_);
        if (table_at_ < 0) {
            log_formatted(1,
                          "Pixel data (7FE0,0010): PNG encapsulation needs an output file that can "
                          "be positioned.");
            return false;
        }
        return check(ok && wr_bytes(out_, zeros.data(), zeros.size()));
    }

    /* A frame's stream held in memory. */
    bool add(const unsigned char *png, uint64_t n) {
        if (!count(n))
            return false;
        _write_itemtag(out_, ts_, kItemGroup, kItem, (uint32_t)(n + (n & 1)));
        return check(wr_bytes(out_, png, n) && ((n & 1) == 0 || wr_bytes(out_, "", 1)));
    }

    /* A frame's stream written straight into the output between open_item
     * and close_item, which patches the item length. */
    bool open_item() {
        item_at_ = ftello(out_);
        _write_itemtag(out_, ts_, kItemGroup, kItem, 0);
        return check(item_at_ >= 0);
    }
    bool close_item(uint64_t n) {
        if (!count(n))
            return false;
        bool ok = (n & 1) == 0 || wr_bytes(out_, "", 1);
        off_t end = ftello(out_);
        ok = ok && end >= 0 && fseeko(out_, item_at_, SEEK_SET) == 0;
        _write_itemtag(out_, ts_, kItemGroup, kItem, (uint32_t)(n + (n & 1)));
        return check(ok && fseeko(out_, end, SEEK_SET) == 0);
    }

    /* The delimiter, then the offset table in its place. */
    bool finish() {
        _write_itemtag(out_, ts_, kItemGroup, kSeqDelim, 0);
        off_t end = ftello(out_);
        bool ok = end >= 0 && fseeko(out_, table_at_, SEEK_SET) == 0;
        for (size_t f = 0; ok && f < table_.size(); f++)
            ok = wr_u32(out_, ts_, table_[f]);
        return check(ok && fseeko(out_, end, SEEK_SET) == 0);
    }

private:
    /* Enters the next item's offset; false past what 32-bit offsets reach. */
    bool count(uint64_t n) {
        table_.push_back((uint32_t)next_);
        next_ += 8 + n + (n & 1);
        if (next_ > kLargestValue || n + 1 > 0xFFFFFFFEu) {
            log_formatted(1, "Pixel data (7FE0,0010): the PNG streams exceed 4 GiB.");
            return false;
        }
        return true;
    }
    bool check(bool ok) {
        if (ok && !ferror(out_))
            return true;
        log_formatted(1, "Pixel data (7FE0,0010): the PNG streams could not be written.");
        return false;
    }

    FILE *out_;
    TransferSyntaxCode ts_;
    uint32_t frames_;
    std::vector<uint32_t> table_;
    uint64_t next_ = 0;
    off_t table_at_ = -1, item_at_ = -1;
};

/* One frame after the other in the calling thread, each PNG stream written
 * straight into its item. */
int16_t encode_in_order(const Encoding &e, ItemWriter &items, FILE *out) {
    std::vector<unsigned char> row(e.g.row_bytes);
    PositionedReader in(e.src_fd, e.src_start, e.src_start + (off_t)e.g.total);
    if (e.words)
        in.words_from(e.src_start);
    for (uint32_t f = 0; f < e.g.frames; f++) {
        FrameLog log;
        PngSink sink;
        sink.file = out;
        if (!items.open_item())
            return -1;
        int16_t status = encode_frame(e, in, sink, row.data(), log);
        log.flush();
        if (status != 0 || !items.close_item(sink.size))
            return -1;
    }
    return 0;
}

/* Frames on worker threads into memory, written in order by this thread. */
int encode_on_workers(const Encoding &e, ItemWriter &items, unsigned workers, unsigned window) {
    auto work = [&e](uint32_t f, FrameSlot &slot) -> int16_t {
        std::vector<unsigned char> row(e.g.row_bytes);
        off_t at = e.src_start + (off_t)(f * e.g.frame_bytes());
        PositionedReader in(e.src_fd, at, at + (off_t)e.g.frame_bytes());
        if (e.words)
            in.words_from(e.src_start);
        PngSink sink;
        slot.png.clear();
        sink.memory = &slot.png;
        return encode_frame(e, in, sink, row.data(), slot.log);
    };
    auto consume = [&items](uint32_t, FrameSlot &slot) -> int16_t {
        return items.add(slot.png.data(), slot.png.size()) ? 0 : -1;
    };
    return run_frames(e.g.frames, workers, window, work, consume);
}

/* ---- decoding ---- */

/* Where frame f's PNG stream lies in the source. */
struct FrameItem {
    off_t start;
    uint32_t length;
};

void source_read(png_structp png, png_bytep to, size_t n) {
    if (!static_cast<PositionedReader *>(png_get_io_ptr(png))->read(to, n))
        png_error(png, "Pixel data (7FE0,0010): a PNG stream is cut short.");
}

/* Decodes the PNG stream at in's position (signature included) into
 * g.rows native rows for out. */
int16_t decode_frame(const Geometry &g, TransferSyntaxCode out_ts, uint32_t f, PositionedReader &in,
                     RowWriter &out, unsigned char *row, FrameLog &log) {
    unsigned char sig[8];
    if (!in.read(sig, 8) || png_sig_cmp(sig, 0, 8) != 0) {
        log.add(1, "Pixel data (7FE0,0010): frame %lu is no PNG image.", (unsigned long)f + 1);
        return -1;
    }
    const PngReadOwner context = new_read_context(log);
    if (!context)
        return -1;
    png_structp png = context.get();
    png_infop info = context.get_deleter().info;
    if (setjmp(png_jmpbuf(png)))
        return -1;
    png_set_read_fn(png, &in, source_read);
    png_set_sig_bytes(png, 8);
    png_read_info(png, info);
    int depth = png_get_bit_depth(png, info);
    if (png_get_image_width(png, info) != g.width || png_get_image_height(png, info) != g.rows ||
        png_get_color_type(png, info) != PNG_COLOR_TYPE_GRAY ||
        png_get_interlace_type(png, info) != PNG_INTERLACE_NONE)
        png_error(
            png,
            "Pixel data (7FE0,0010): a PNG image does not match the image size of the object.");
    if (depth < 8)
        png_set_packing(png);
    if (depth == 16 && out_ts != TS_EXPLICIT_BE)
        png_set_swap(png);
    png_read_update_info(png, info);
    if (png_get_rowbytes(png, info) != g.row_bytes) {
        char text[160];
        snprintf(text, sizeof text,
                 "Pixel data (7FE0,0010): a PNG image of depth %d does not match "
                 "%u bytes per sample.",
                 depth, g.bytes);
        png_error(png, text);
    }
    for (uint32_t r = 0; r < g.rows; r++) {
        png_read_row(png, row, nullptr);
        if (!out.write(row, g.row_bytes))
            png_error(png, "Pixel data (7FE0,0010): the native rows could not be written.");
    }
    png_read_end(png, context.get_deleter().end_info);
    return 0;
}

/* Finds every frame's item from in's position on, leaving in after the
 * last; false (nothing logged) when an item is missing or of undefined
 * length, which only decoding in order can follow. */
bool locate_items(PositionedReader &in, TransferSyntaxCode ts, uint32_t frames,
                  std::vector<FrameItem> *items) {
    for (uint32_t f = 0; f < frames; f++) {
        uint32_t length;
        if (!read_item_header(in, ts, &length) || length == kUndefined)
            return false;
        items->push_back({in.pos(), length});
        in.seek(in.pos() + (off_t)length);
    }
    return true;
}

/* One frame after the other in the calling thread, each item found after
 * the one before (after its length, or where its PNG stream ended). */
int16_t decode_in_order(const Geometry &g, PositionedReader &in, TransferSyntaxCode in_ts,
                        IOObject *io) {
    std::vector<unsigned char> row(g.row_bytes);
    RowWriter out(io->out);
    for (uint32_t f = 0; f < g.frames; f++) {
        uint32_t length = 0;
        if (!read_item_header(in, in_ts, &length)) {
            log_formatted(1, "Pixel data (7FE0,0010): PNG-encoded value ends before frame %lu.",
                          (unsigned long)f + 1);
            return -1;
        }
        off_t item_start = in.pos();
        FrameLog log;
        int16_t status = decode_frame(g, io->ts_in_force, f, in, out, row.data(), log);
        log.flush();
        if (status != 0)
            return -1;
        if (length != kUndefined)
            in.seek(item_start + (off_t)length);
    }
    return 0;
}

/* Frames on worker threads, each written by its worker at its place in the
 * output file, which goes on after the last frame afterwards. */
int decode_on_workers(const Geometry &g, int src_fd, const std::vector<FrameItem> &items,
                      IOObject *io, unsigned workers) {
    FILE *out = io->out;
    off_t base = fflush(out) == 0 ? ftello(out) : -1;
    if (base < 0)
        return kNotStarted;
    TransferSyntaxCode out_ts = io->ts_in_force;
    int out_fd = fileno(out);
    auto work = [&](uint32_t f, FrameSlot &slot) -> int16_t {
        std::vector<unsigned char> row(g.row_bytes);
        PositionedReader in(src_fd, items[f].start, items[f].start + (off_t)items[f].length);
        RowWriter rows(out_fd, base + (off_t)(f * g.frame_bytes()));
        int16_t status = decode_frame(g, out_ts, f, in, rows, row.data(), slot.log);
        if (status == 0 && !rows.flush()) {
            slot.log.add(1, "Pixel data (7FE0,0010): the native rows could not be written.");
            status = -1;
        }
        return status;
    };
    auto consume = [](uint32_t, FrameSlot &) -> int16_t { return 0; };
    int status = run_frames(g.frames, workers, std::min(2 * workers, g.frames), work, consume);
    if (status == 0 && fseeko(out, base + (off_t)g.total, SEEK_SET) != 0)
        status = -1;
    return status;
}

/* Whether the bytes of a native value from `from` to its end, in the
 * order of its samples, are all zero; start is where the value lies in the
 * source file. */
bool zeros_past(const PixelDataDesc *pds, int fd, off_t start, uint32_t from) {
    PositionedReader in(fd, start + (off_t)from, start + (off_t)pds->length);
    if (source_in_swapped_words(pds))
        in.words_from(start);
    unsigned char buf[4096];
    for (uint32_t left = pds->length - from; left > 0;) {
        const size_t n = std::min<size_t>(left, sizeof buf);
        if (!in.read(buf, n) || std::any_of(buf, buf + n, [](unsigned char b) { return b != 0; }))
            return false;
        left -= (uint32_t)n;
    }
    return true;
}

/* Bytes past the frames (and past the pad byte of an odd image), which the
 * PNG streams leave out: zero padding goes with a warning; anything else
 * would be lost, and refuses the encoding (false). */
bool frames_hold_all(const PixelDataDesc *pds, const Geometry &g, FILE *src) {
    if (pds->length == kUndefined || pds->length <= g.total + 1)
        return true;
    const unsigned long past = (unsigned long)(pds->length - g.total);
    const off_t start = ftello(src);
    if (fileno(src) >= 0 && start >= 0 && zeros_past(pds, fileno(src), start, g.total)) {
        log_formatted(2,
                      "Pixel data (7FE0,0010) holds %lu zero bytes past its image size of %lu "
                      "(%lu frames): PNG encoding leaves them out.",
                      past, (unsigned long)g.total, (unsigned long)g.frames);
        return true;
    }
    log_formatted(1,
                  "Pixel data (7FE0,0010) holds %lu bytes, more than its image size of %lu "
                  "(%lu frames): PNG encoding would lose the rest.",
                  (unsigned long)pds->length, (unsigned long)g.total, (unsigned long)g.frames);
    return false;
}

} // namespace

int16_t _write_pixeldata_png(FILE *src, IOObject *io, PixelDataDesc *pds) {
    Encoding e;
    if (!png_geometry(io->write_pds, &e.g))
        return -1;
    const Geometry &g = e.g;
    if (pds->length != kUndefined && pds->length < g.total) {
        log_formatted(1,
                      "Pixel data (7FE0,0010) holds %lu bytes, fewer than its image size of %lu.",
                      (unsigned long)pds->length, (unsigned long)g.total);
        return -1;
    }
    if (!frames_hold_all(pds, g, src))
        return -1;
    if ((uint64_t)g.frames * kSmallestItem > kLargestValue) {
        log_formatted(1,
                      "Pixel data (7FE0,0010): %lu frames cannot be PNG-encoded: their items "
                      "would pass 4 GiB.",
                      (unsigned long)g.frames);
        return -1;
    }
    int filters = (io->png_filter & 31) * 8; /* the mask's five bits are libpng's five filters */
    e.filters = filters ? filters : PNG_FILTER_NONE;
    e.level = io->zlib_level;
    e.bits_stored = io->write_pds->bits_stored;
    e.swap16 = g.depth == 16 && (pds->src_ts != TS_EXPLICIT_BE || source_in_bytes(pds));
    e.words = source_in_swapped_words(pds);
    e.src_fd = fileno(src);
    e.src_start = ftello(src);
    if (e.src_fd < 0 || e.src_start < 0) {
        log_formatted(1, "Pixel data (7FE0,0010): the source file cannot be positioned.");
        return -1;
    }
    ItemWriter items(io->out, io->ts_in_force, g.frames);
    if (!items.begin())
        return -1;
    unsigned threads = coding_threads(g);
    uint64_t fit = std::max<uint64_t>(1, kInFlightBytes / g.frame_bytes());
    unsigned window = (unsigned)std::min<uint64_t>({2ull * threads, g.frames, fit});
    unsigned workers = std::min(threads, window);
    int status = workers > 1 ? encode_on_workers(e, items, workers, window) : kNotStarted;
    if (status == kNotStarted)
        status = encode_in_order(e, items, io->out);
    if (status == 0 && !items.finish())
        status = -1;
    fseeko(src, e.src_start + (off_t)g.total, SEEK_SET);
    return status == 0 ? 0 : -1;
}

int16_t _read_pixeldata_png(FILE *src, IOObject *io, PixelDataDesc *pds) {
    Geometry g;
    if (!png_geometry(io->write_pds, &g))
        return -1;
    TransferSyntaxCode in_ts = pds->src_ts;
    off_t start = ftello(src);
    if (fileno(src) < 0 || start < 0) {
        log_formatted(1, "Pixel data (7FE0,0010): the source file cannot be positioned.");
        return -1;
    }
    PositionedReader in(fileno(src), start, kNoEnd);
    uint32_t length = 0;
    if (!read_item_header(in, in_ts, &length)) {
        log_formatted(1, "Pixel data (7FE0,0010): the PNG-encoded value has no offset table.");
        return -1;
    }
    if (length != kUndefined)
        in.seek(in.pos() + (off_t)length);
    uint32_t padded = g.total + (g.total & 1);
    if (!wr_u32(io->out, io->ts_in_force, padded))
        return -1;
    off_t first_item = in.pos();
    unsigned workers = coding_threads(g);
    std::vector<FrameItem> items;
    int status = kNotStarted;
    if (workers > 1 && locate_items(in, in_ts, g.frames, &items))
        status = decode_on_workers(g, fileno(src), items, io, workers);
    if (status == kNotStarted) {
        in.seek(first_item);
        status = decode_in_order(g, in, in_ts, io);
    }
    if (status == 0 && padded != g.total && !wr_bytes(io->out, "", 1))
        status = -1;
    fseeko(src, in.pos(), SEEK_SET);
    return status == 0 ? 0 : -1;
}
