/*
 * pixels_test.cpp -- the value of (7FE0,0010) as a save writes it, on small
 * images built here: the byte layout of the PNG encapsulation, PNG streams
 * that an independent libpng decode gives back as the native samples, the
 * decoder back to native bytes in either byte order, the native copy's
 * sample swapping, pass-through of PNG data, and the images the coder
 * refuses; PNG coding on worker threads against the same work in order,
 * and a frame that fails on a worker.
 */
#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "dicom/file_builder.h"
#include "medcore.h"
#include "testutil.h"

namespace {

using testutil::ReadFile;
using testutil::TempDir;

AppData g_app;

class Env : public ::testing::Environment {
public:
    void SetUp() override {
        char banner[64];
        init_AppData(&g_app, "pixelstest", "1.0", banner);
        ASSERT_EQ(0, InitDICOMTagDef(&g_app, (testutil::DefsDir() + "/tag_tab.def").c_str(), 1));
        log_mask(0);
    }
    void TearDown() override { DoneTagDef(&g_app); }
};
const auto *g_env = ::testing::AddGlobalTestEnvironment(new Env);

struct Image {
    uint16_t rows, columns, samples;
    uint32_t frames;
    uint16_t bits_allocated, bits_stored;
    std::string pixels;      /* little-endian samples */
    std::string frames_text; /* Number of Frames; empty: the number of frames */
};

Image MakeImage(uint16_t rows, uint16_t columns, uint16_t samples, uint32_t frames,
                uint16_t allocated, uint16_t stored) {
    Image im{rows, columns, samples, frames, allocated, stored, "", ""};
    size_t n = (size_t)rows * columns * samples * frames;
    unsigned mask = (1u << stored) - 1;
    for (size_t i = 0; i < n; i++) {
        unsigned v = (unsigned)(i * 2654435761u >> 7) & mask;
        im.pixels += (char)(v & 0xFF);
        if (allocated == 16)
            im.pixels += (char)(v >> 8);
    }
    return im;
}

void Put16(std::string &s, uint16_t v) {
    s += (char)(v & 0xFF), s += (char)(v >> 8);
}
void Put32(std::string &s, uint32_t v) {
    Put16(s, v & 0xFFFF), Put16(s, v >> 16);
}

void AddUS(std::string &s, uint16_t element, uint16_t v) {
    Put16(s, 0x0028), Put16(s, element), Put32(s, 2), Put16(s, v);
}

/* A bare implicit VR little endian data set holding the image. */
std::string ImageFile(const Image &im) {
    std::string s;
    AddUS(s, 0x0002, im.samples);
    std::string frames = im.frames_text.empty() ? std::to_string(im.frames) : im.frames_text;
    if (frames.size() % 2)
        frames += ' ';
    Put16(s, 0x0028), Put16(s, 0x0008), Put32(s, (uint32_t)frames.size());
    s += frames;
    AddUS(s, 0x0010, im.rows);
    AddUS(s, 0x0011, im.columns);
    AddUS(s, 0x0100, im.bits_allocated);
    AddUS(s, 0x0101, im.bits_stored);
    AddUS(s, 0x0102, im.bits_stored - 1);
    std::string px = im.pixels;
    if (px.size() % 2)
        px += '\0';
    Put16(s, 0x7FE0), Put16(s, 0x0010), Put32(s, (uint32_t)px.size());
    return s + px;
}

struct Saved {
    IOObject io{};
    Saved() { init_IOObject(&io); }
    ~Saved() { DO_closeObject(&io); }
    bool Read(const std::string &path) {
        io.out_meta_ts = -1;
        io.out_ds_ts = -1;
        return DO_importObjectFromFile(&g_app, nullptr, path.c_str(), &io) == 0;
    }
    int16_t Save(const std::string &path, int ds_ts, int meta = 1) {
        io.out_meta_ts = 1;
        io.out_ds_ts = ds_ts;
        io.meta_header = (int16_t)meta;
        return DO_copyObjectToFile(&g_app, &io, path.c_str());
    }
};

/* Converts src into dst; the status of the save. */
int16_t Convert(const std::string &src, const std::string &dst, int ds_ts) {
    Saved s;
    if (!s.Read(src))
        return -2;
    return s.Save(dst, ds_ts);
}

/* The bytes after the pixel-data tag and VR of an explicit LE file. */
std::string PixelValue(const std::string &file, bool big_endian = false) {
    std::string tag =
        big_endian ? std::string("\x7F\xE0\x00\x10", 4) : std::string("\xE0\x7F\x10\x00", 4);
    size_t at = file.rfind(tag);
    return at == std::string::npos ? "" : file.substr(at + 8);
}

uint32_t U32(const std::string &s, size_t at) {
    uint32_t v;
    memcpy(&v, s.data() + at, 4);
    return v;
}

struct Encapsulated {
    std::vector<uint32_t> offsets;
    std::vector<std::string> items;
    bool delimited = false;
};

Encapsulated Parse(const std::string &value) {
    Encapsulated e;
    EXPECT_EQ(0xFFFFFFFFu, U32(value, 0));
    EXPECT_EQ(0xE000FFFEu, U32(value, 4));
    uint32_t table = U32(value, 8);
    for (uint32_t i = 0; i < table / 4; i++)
        e.offsets.push_back(U32(value, 12 + 4 * i));
    size_t pos = 12 + table;
    while (pos + 8 <= value.size()) {
        uint32_t tag = U32(value, pos), len = U32(value, pos + 4);
        if (tag == 0xE0DDFFFEu) {
            e.delimited = len == 0 && pos + 8 == value.size();
            break;
        }
        EXPECT_EQ(0xE000FFFEu, tag);
        e.items.push_back(value.substr(pos + 8, len));
        pos += 8 + len;
    }
    return e;
}

/* An independent libpng decode of one PNG stream: samples little endian,
 * one per byte below 8 bits. */
std::string DecodePng(const std::string &png, int *depth, uint32_t *width, uint32_t *height) {
    struct Source {
        const std::string *data;
        size_t pos;
    } src{&png, 0};
    png_structp p = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(p);
    std::string out;
    if (setjmp(png_jmpbuf(p))) {
        png_destroy_read_struct(&p, &info, nullptr);
        return "decode error";
    }
    png_set_read_fn(p, &src, [](png_structp pp, png_bytep to, png_size_t n) {
        Source *s = static_cast<Source *>(png_get_io_ptr(pp));
        if (s->pos + n > s->data->size())
            png_error(pp, "short");
        memcpy(to, s->data->data() + s->pos, n);
        s->pos += n;
    });
    png_read_info(p, info);
    *depth = png_get_bit_depth(p, info);
    *width = png_get_image_width(p, info);
    *height = png_get_image_height(p, info);
    if (*depth < 8)
        png_set_packing(p);
    if (*depth == 16)
        png_set_swap(p);
    png_read_update_info(p, info);
    std::vector<unsigned char> row(png_get_rowbytes(p, info));
    for (uint32_t r = 0; r < *height; r++) {
        png_read_row(p, row.data(), nullptr);
        out.append(reinterpret_cast<char *>(row.data()), row.size());
    }
    png_destroy_read_struct(&p, &info, nullptr);
    return out;
}

void CheckPngRoundTrip(const Image &im, int want_depth) {
    TempDir tmp;
    testutil::WriteFile(tmp.file("src.dcm"), ImageFile(im));
    ASSERT_EQ(0, Convert(tmp.file("src.dcm"), tmp.file("png.dcm"), TS_PNG));
    std::string file = ReadFile(tmp.file("png.dcm"));
    ASSERT_NE(std::string::npos, file.find(std::string("3.0.0.4.5\0", 10)));
    ASSERT_NE(std::string::npos, file.find(std::string("\xE0\x7F\x10\x00OB\0\0", 8)));
    Encapsulated e = Parse(PixelValue(file));
    EXPECT_TRUE(e.delimited);
    ASSERT_EQ(im.frames, e.items.size());
    ASSERT_EQ(im.frames, e.offsets.size());
    size_t frame_bytes = im.pixels.size() / im.frames;
    uint32_t expected_offset = 0;
    for (size_t f = 0; f < e.items.size(); f++) {
        EXPECT_EQ(expected_offset, e.offsets[f]);
        expected_offset += 8 + (uint32_t)e.items[f].size();
        EXPECT_EQ(0u, e.items[f].size() % 2) << "items have even length";
        EXPECT_EQ(0, png_sig_cmp(reinterpret_cast<png_const_bytep>(e.items[f].data()), 0, 8));
        int depth;
        uint32_t w, h;
        std::string decoded = DecodePng(e.items[f], &depth, &w, &h);
        EXPECT_EQ(want_depth, depth);
        EXPECT_EQ((uint32_t)im.columns * im.samples, w);
        EXPECT_EQ(im.rows, h);
        EXPECT_EQ(im.pixels.substr(f * frame_bytes, frame_bytes), decoded) << "frame " << f;
    }
    /* and our decoder gives the native bytes back, in either byte order */
    ASSERT_EQ(0, Convert(tmp.file("png.dcm"), tmp.file("le.dcm"), TS_EXPLICIT_LE));
    std::string padded = im.pixels + (im.pixels.size() % 2 ? std::string(1, '\0') : "");
    EXPECT_EQ(padded, PixelValue(ReadFile(tmp.file("le.dcm"))).substr(4));
    ASSERT_EQ(0, Convert(tmp.file("png.dcm"), tmp.file("be.dcm"), TS_EXPLICIT_BE));
    std::string be = PixelValue(ReadFile(tmp.file("be.dcm")), true).substr(4);
    if (im.bits_allocated == 16)
        for (size_t i = 0; i + 1 < be.size(); i += 2)
            std::swap(be[i], be[i + 1]);
    EXPECT_EQ(padded, be);
    /* PNG into PNG passes the encapsulated value through */
    ASSERT_EQ(0, Convert(tmp.file("png.dcm"), tmp.file("png2.dcm"), TS_PNG));
    EXPECT_EQ(PixelValue(file), PixelValue(ReadFile(tmp.file("png2.dcm"))));
    /* and from a big-endian source the PNG streams are the same */
    ASSERT_EQ(0, Convert(tmp.file("be.dcm"), tmp.file("png3.dcm"), TS_PNG));
    EXPECT_EQ(PixelValue(file), PixelValue(ReadFile(tmp.file("png3.dcm"))));
}

TEST(PngEncapsulation, EightBitSingleFrame) {
    CheckPngRoundTrip(MakeImage(3, 4, 1, 1, 8, 8), 8);
}
TEST(PngEncapsulation, EightBitTwoFrames) {
    CheckPngRoundTrip(MakeImage(3, 4, 1, 2, 8, 8), 8);
}
TEST(PngEncapsulation, SixteenBitsWithTwelveStoredMultiFrame) {
    CheckPngRoundTrip(MakeImage(4, 5, 1, 3, 16, 12), 16);
}
TEST(PngEncapsulation, SixteenBitsAllocatedKeepDepthSixteenWhateverBitsStored) {
    CheckPngRoundTrip(MakeImage(4, 5, 1, 1, 16, 8), 16);
}
TEST(PngEncapsulation, RgbIsAGreyImageThreeTimesAsWide) {
    CheckPngRoundTrip(MakeImage(2, 3, 3, 2, 8, 8), 8);
}
TEST(PngEncapsulation, OneBitStoredPacksOneSamplePerByte) {
    CheckPngRoundTrip(MakeImage(5, 7, 1, 1, 8, 1), 1);
}
/* Number of Frames is an IS of up to 12 digits: no count wraps at 16 bits. */
TEST(PngEncapsulation, FrameCountsBeyondSixteenBitsKeepEveryFrame) {
    CheckPngRoundTrip(MakeImage(1, 1, 1, 70000, 8, 8), 8);
}

TEST(PngEncapsulation, RefusesWhatItCannotEncodeAndKeepsTheTarget) {
    TempDir tmp;
    testutil::WriteFile(tmp.file("out.dcm"), "old");
    Image over = MakeImage(3, 4, 1, 1, 8, 8);
    over.bits_stored = 4; /* samples above 15 do not fit a 4-bit PNG */
    testutil::WriteFile(tmp.file("a.dcm"), ImageFile(over));
    EXPECT_EQ(-1, Convert(tmp.file("a.dcm"), tmp.file("out.dcm"), TS_PNG));
    Image wide = MakeImage(2, 2, 1, 1, 16, 16);
    wide.bits_allocated = 32;
    wide.pixels += wide.pixels;
    testutil::WriteFile(tmp.file("b.dcm"), ImageFile(wide));
    EXPECT_EQ(-1, Convert(tmp.file("b.dcm"), tmp.file("out.dcm"), TS_PNG));
    Image shorter = MakeImage(4, 4, 1, 2, 8, 8);
    shorter.pixels.resize(20); /* the value is shorter than two 4x4 frames */
    testutil::WriteFile(tmp.file("c.dcm"), ImageFile(shorter));
    EXPECT_EQ(-1, Convert(tmp.file("c.dcm"), tmp.file("out.dcm"), TS_PNG));
    /* frames that Number of Frames does not count would be lost, and a
     * count beyond what a value can hold is named as the file gives it */
    struct Row {
        const char *frames_text;
        uint32_t frames_held;
        const char *message;
    };
    const Row rows[] = {
        {"-3", 3, "holds 6 bytes, more than its image size of 2 (1 frames)"},
        {"two", 2, "holds 4 bytes, more than its image size of 2 (1 frames)"},
        {"1", 4, "holds 8 bytes, more than its image size of 2 (1 frames)"},
        {"5000000000", 1, "image size 2 x 1 x 1 x 5000000000 frames cannot be PNG-coded"},
    };
    log_mask(0x10);
    for (const Row &r : rows) {
        SCOPED_TRACE(r.frames_text);
        Image counted = MakeImage(1, 2, 1, r.frames_held, 8, 8);
        counted.frames_text = r.frames_text;
        testutil::WriteFile(tmp.file("d.dcm"), ImageFile(counted));
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(-1, Convert(tmp.file("d.dcm"), tmp.file("out.dcm"), TS_PNG));
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(std::string::npos, err.find(r.message)) << err;
    }
    log_mask(0);
    EXPECT_EQ("old", ReadFile(tmp.file("out.dcm")));
}

/* The message names the image's bits stored, also where the PNG depth is
 * another (bits stored 3 is coded with depth 4). */
TEST(PngEncapsulation, SampleTooLargeForTheDepthNamesTheBitsStored) {
    TempDir tmp;
    for (uint16_t stored : {1, 2, 3, 4}) {
        Image im = MakeImage(2, 3, 1, 1, 8, stored);
        im.pixels[4] = 0x1F; /* above every depth below 8 */
        testutil::WriteFile(tmp.file("in.dcm"), ImageFile(im));
        auto r = testutil::Run({testutil::BinPath("tagrecoded"), "-i", tmp.file("in.dcm"), "-o",
                                tmp.file("out.dcm"), "-doc", "-v1"},
                               {{"QUENOR_DEF_PATH", testutil::DefsDir()}});
        EXPECT_EQ(1, r.status);
        EXPECT_NE(std::string::npos,
                  r.err.find("Error: Pixel data (7FE0,0010) holds samples above its " +
                             std::to_string(stored) + " bits stored;"))
            << r.err;
    }
}

TEST(PngDecoding, ImageOfAnotherSizeThanTheObjectFails) {
    TempDir tmp;
    testutil::WriteFile(tmp.file("src.dcm"), ImageFile(MakeImage(3, 4, 1, 1, 8, 8)));
    ASSERT_EQ(0, Convert(tmp.file("src.dcm"), tmp.file("png.dcm"), TS_PNG));
    Saved s;
    ASSERT_TRUE(s.Read(tmp.file("png.dcm")));
    uint16_t rows = 5;
    DicomElementHead rec = {};
    rec.group = 0x0028;
    rec.element = 0x0010;
    rec.length = 2;
    rec.value = &rows;
    ASSERT_EQ(0, DO_changeElement(&g_app, s.io.object, &rec));
    EXPECT_EQ(-1, s.Save(tmp.file("native.dcm"), TS_EXPLICIT_LE));
    EXPECT_FALSE(testutil::FileExists(tmp.file("native.dcm")));
}

/* ---- PNG coding on worker threads ---- */

/* Converts src into dst with the PNG coder on `threads` threads (the
 * environment setting the library reads at each save) and the given filter
 * mask and zlib level. */
int16_t ConvertOn(const char *threads, const std::string &src, const std::string &dst, int ds_ts,
                  int16_t filter = 31, int16_t level = -1) {
    testutil::ScopedEnv env("QUENOR_PNG_THREADS", threads);
    Saved s;
    if (!s.Read(src))
        return -2;
    s.io.png_filter = filter;
    s.io.zlib_level = level;
    return s.Save(dst, ds_ts);
}

/* `frames` frames of the real CT slice of a sample, each rolled by a few
 * rows more than the one before. */
Image CtFrames(uint16_t frames) {
    std::string value = PixelValue(ReadFile(testutil::SamplePath("CT_small.dcm")));
    EXPECT_EQ(128u * 128 * 2, U32(value, 0));
    std::string slice = value.substr(4, 128 * 128 * 2);
    Image im{128, 128, 1, frames, 16, 16, "", ""};
    for (uint16_t f = 0; f < frames; f++) {
        size_t cut = (size_t)(f * 5 % 128) * 256;
        im.pixels += slice.substr(cut) + slice.substr(0, cut);
    }
    return im;
}

/* Threads of this process now, as the kernel counts them. */
int ThreadCount() {
    std::string status = ReadFile("/proc/self/status");
    size_t at = status.find("\nThreads:");
    return at == std::string::npos ? -1 : atoi(status.c_str() + at + 9);
}

std::vector<std::string> DirectoryEntries(const std::string &dir) {
    std::vector<std::string> names;
    for (const auto &e : std::filesystem::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(PngThreads, ParallelAndSequentialCodingWriteIdenticalFiles) {
    struct Case {
        const char *what;
        Image im;
        int16_t filter, level;
    } cases[] = {
        {"CT frames, default settings", CtFrames(24), 31, -1},
        {"12 bits stored, filter None, level 0", MakeImage(20, 30, 1, 17, 16, 12), 1, 0},
        {"RGB, Paeth only, level 9", MakeImage(7, 9, 3, 40, 8, 8), 16, 9},
        {"1 bit packed, odd-sized streams", MakeImage(5, 7, 1, 33, 8, 1), 31, -1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        TempDir tmp;
        testutil::WriteFile(tmp.file("src.dcm"), ImageFile(c.im));
        ASSERT_EQ(
            0, ConvertOn("1", tmp.file("src.dcm"), tmp.file("seq.dcm"), TS_PNG, c.filter, c.level));
        std::string seq = ReadFile(tmp.file("seq.dcm"));
        for (const char *threads : {"3", "8"}) {
            ASSERT_EQ(0, ConvertOn(threads, tmp.file("src.dcm"), tmp.file("par.dcm"), TS_PNG,
                                   c.filter, c.level));
            EXPECT_TRUE(seq == ReadFile(tmp.file("par.dcm"))) << threads << " threads";
        }
        /* the streams are the frames, in order, behind a true offset table */
        Encapsulated e = Parse(PixelValue(seq));
        ASSERT_EQ(c.im.frames, e.items.size());
        size_t frame_bytes = c.im.pixels.size() / c.im.frames;
        uint32_t offset = 0;
        for (size_t f = 0; f < e.items.size(); f++) {
            EXPECT_EQ(offset, e.offsets[f]);
            offset += 8 + (uint32_t)e.items[f].size();
            int depth;
            uint32_t w, h;
            EXPECT_TRUE(c.im.pixels.substr(f * frame_bytes, frame_bytes) ==
                        DecodePng(e.items[f], &depth, &w, &h))
                << "frame " << f;
        }
        /* and decoding on threads gives the same files as in order */
        std::string padded = c.im.pixels + (c.im.pixels.size() % 2 ? std::string(1, '\0') : "");
        for (int ts : {TS_EXPLICIT_LE, TS_EXPLICIT_BE}) {
            ASSERT_EQ(0, ConvertOn("1", tmp.file("seq.dcm"), tmp.file("n1.dcm"), ts));
            ASSERT_EQ(0, ConvertOn("8", tmp.file("seq.dcm"), tmp.file("n8.dcm"), ts));
            std::string native = ReadFile(tmp.file("n8.dcm"));
            EXPECT_TRUE(ReadFile(tmp.file("n1.dcm")) == native) << "syntax " << ts;
            if (ts == TS_EXPLICIT_LE) {
                EXPECT_TRUE(padded == PixelValue(native).substr(4));
            }
        }
    }
}

TEST(PngThreads, AFailedFrameOnAWorkerFailsTheSaveCleanly) {
    TempDir tmp;
    Image im = MakeImage(16, 16, 1, 24, 8, 4);
    im.pixels[13 * 256 + 100] = 0x1F; /* frame 14 holds a sample above 4 bits */
    testutil::WriteFile(tmp.file("bad.dcm"), ImageFile(im));
    testutil::WriteFile(tmp.file("out.dcm"), "old");
    /* a save on threads first: a sanitizer may keep a thread of its own */
    testutil::WriteFile(tmp.file("small.dcm"), ImageFile(MakeImage(4, 4, 1, 3, 8, 8)));
    ASSERT_EQ(0, ConvertOn("8", tmp.file("small.dcm"), tmp.file("small_png.dcm"), TS_PNG));
    std::filesystem::remove(tmp.file("small_png.dcm"));
    int threads_before = ThreadCount();
    ASSERT_GT(threads_before, 0);
    for (const char *threads : {"1", "8"}) {
        EXPECT_EQ(-1, ConvertOn(threads, tmp.file("bad.dcm"), tmp.file("out.dcm"), TS_PNG))
            << threads;
        EXPECT_EQ(threads_before, ThreadCount()) << "no worker outlives the save";
        EXPECT_EQ("old", ReadFile(tmp.file("out.dcm")));
        EXPECT_EQ((std::vector<std::string>{"bad.dcm", "out.dcm", "small.dcm"}),
                  DirectoryEntries(tmp.path()));
    }

    /* the message of the worker reaches the log once, through the program */
    std::map<std::string, std::string> env = {{"QUENOR_DEF_PATH", testutil::DefsDir()},
                                              {"QUENOR_PNG_THREADS", "8"}};
    auto r = testutil::Run({testutil::BinPath("tagrecoded"), "-i", tmp.file("bad.dcm"), "-o",
                            tmp.file("out.dcm"), "-doc", "-v1"},
                           env);
    EXPECT_EQ(1, r.status);
    const std::string why = "Error: Pixel data (7FE0,0010) holds samples above its 4 bits stored";
    size_t at = r.err.find(why);
    EXPECT_NE(std::string::npos, at) << r.err;
    EXPECT_EQ(std::string::npos, r.err.find(why, at + 1)) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("Error: Error in storing DICOM object.")) << r.err;
    EXPECT_EQ("old", ReadFile(tmp.file("out.dcm")));

    /* a broken stream in one frame fails the decoding on workers: libpng's
     * own message comes through */
    im.pixels[13 * 256 + 100] = 0x0F;
    testutil::WriteFile(tmp.file("good.dcm"), ImageFile(im));
    ASSERT_EQ(0, ConvertOn("1", tmp.file("good.dcm"), tmp.file("png.dcm"), TS_PNG));
    std::string file = ReadFile(tmp.file("png.dcm"));
    size_t value = file.rfind(std::string("\xE0\x7F\x10\x00", 4)) + 8;
    Encapsulated e = Parse(file.substr(value));
    size_t frame7 = value + 12 + 4 * e.offsets.size() + e.offsets[6] + 8;
    file[frame7 + 45] ^= 0x55; /* inside the compressed data of the first IDAT chunk */
    testutil::WriteFile(tmp.file("png.dcm"), file);
    EXPECT_EQ(-1, ConvertOn("8", tmp.file("png.dcm"), tmp.file("out.dcm"), TS_EXPLICIT_LE));
    EXPECT_EQ(threads_before, ThreadCount());
    EXPECT_EQ("old", ReadFile(tmp.file("out.dcm")));
    r = testutil::Run({testutil::BinPath("tagrecoded"), "-i", tmp.file("png.dcm"), "-o",
                       tmp.file("out.dcm"), "-doe", "-v1"},
                      env);
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("Error: IDAT: ")) << r.err; /* libpng names the chunk */
    EXPECT_EQ("old", ReadFile(tmp.file("out.dcm")));
}

TEST(NativeCopy, SixteenBitSamplesAreSwappedOnlyBetweenByteOrders) {
    TempDir tmp;
    Image im = MakeImage(2, 3, 1, 1, 16, 16);
    testutil::WriteFile(tmp.file("src.dcm"), ImageFile(im));
    ASSERT_EQ(0, Convert(tmp.file("src.dcm"), tmp.file("le.dcm"), TS_EXPLICIT_LE));
    EXPECT_EQ(im.pixels, PixelValue(ReadFile(tmp.file("le.dcm"))).substr(4));
    ASSERT_EQ(0, Convert(tmp.file("src.dcm"), tmp.file("be.dcm"), TS_EXPLICIT_BE));
    std::string be = PixelValue(ReadFile(tmp.file("be.dcm")), true);
    EXPECT_EQ(std::string("\x00\x00\x00\x0C", 4), be.substr(0, 4)) << "big-endian length";
    for (size_t i = 0; i < im.pixels.size(); i += 2) {
        EXPECT_EQ(im.pixels[i], be[4 + i + 1]);
        EXPECT_EQ(im.pixels[i + 1], be[4 + i]);
    }
    Image bytes = MakeImage(2, 3, 1, 1, 8, 8);
    testutil::WriteFile(tmp.file("src8.dcm"), ImageFile(bytes));
    ASSERT_EQ(0, Convert(tmp.file("src8.dcm"), tmp.file("be8.dcm"), TS_EXPLICIT_BE));
    EXPECT_EQ(bytes.pixels, PixelValue(ReadFile(tmp.file("be8.dcm")), true).substr(4, 6));
    Image packed = MakeImage(2, 3, 1, 1, 12, 12); /* OW too: its words are swapped */
    std::string words = packed.pixels;
    for (size_t i = 0; i + 1 < words.size(); i += 2)
        std::swap(words[i], words[i + 1]);
    testutil::WriteFile(tmp.file("src12.dcm"), ImageFile(packed));
    ASSERT_EQ(0, Convert(tmp.file("src12.dcm"), tmp.file("be12.dcm"), TS_EXPLICIT_BE));
    EXPECT_EQ(words, PixelValue(ReadFile(tmp.file("be12.dcm")), true).substr(4));
    ASSERT_EQ(0, Convert(tmp.file("be12.dcm"), tmp.file("le12.dcm"), TS_EXPLICIT_LE));
    EXPECT_EQ(packed.pixels, PixelValue(ReadFile(tmp.file("le12.dcm"))).substr(4));
}

/* One-byte samples that a big-endian file holds as OW words (each pair
 * reversed, as dcmtk writes them) come out in order in every syntax, as OB,
 * also into PNG rows and frames of odd size, which split the words (frames
 * coded in order and on worker threads). */
TEST(NativeCopy, EightBitSamplesInBigEndianWordsComeOutInOrder) {
    std::string samples;
    for (int i = 1; i <= 27; i++)
        samples += (char)i; /* three frames of 3 x 3 */
    const std::string in_order = samples + std::string(1, '\0');
    std::string words;
    for (size_t i = 0; i < in_order.size(); i += 2)
        words += std::string(1, in_order[i + 1]) + in_order[i];
    dicomtest::FileBuilder f(TS_EXPLICIT_BE);
    f.Preamble().Meta(Explicit_VR_Big_Endian_Transfer_Syntax_UID).Syntax(TS_EXPLICIT_BE);
    f.US(0x0028, 0x0002, 1).Text(0x0028, 0x0008, "IS", "3 ").US(0x0028, 0x0010, 3);
    f.US(0x0028, 0x0011, 3).US(0x0028, 0x0100, 8).US(0x0028, 0x0101, 8).US(0x0028, 0x0102, 7);
    f.Header(0x7FE0, 0x0010, "OW", (uint32_t)words.size()).Raw(words);
    TempDir tmp;
    testutil::WriteFile(tmp.file("src.dcm"), f.bytes());
    dicomtest::KeepAsSeed("pixels_8_bits_in_words.dcm", f.bytes());
    ASSERT_EQ(0, Convert(tmp.file("src.dcm"), tmp.file("le.dcm"), TS_EXPLICIT_LE));
    std::string le = ReadFile(tmp.file("le.dcm"));
    EXPECT_NE(std::string::npos, le.find(std::string("\xE0\x7F\x10\x00OB", 6)));
    EXPECT_EQ(in_order, PixelValue(le).substr(4));
    ASSERT_EQ(0, Convert(tmp.file("src.dcm"), tmp.file("be.dcm"), TS_EXPLICIT_BE));
    std::string be = ReadFile(tmp.file("be.dcm"));
    EXPECT_NE(std::string::npos, be.find(std::string("\x7F\xE0\x00\x10OB", 6)));
    EXPECT_EQ(in_order, PixelValue(be, true).substr(4));
    for (const char *threads : {"1", "3"}) {
        SCOPED_TRACE(threads);
        testutil::ScopedEnv env("QUENOR_PNG_THREADS", threads);
        ASSERT_EQ(0, Convert(tmp.file("src.dcm"), tmp.file("png.dcm"), TS_PNG));
        Encapsulated e = Parse(PixelValue(ReadFile(tmp.file("png.dcm"))));
        ASSERT_EQ(3u, e.items.size());
        for (size_t frame = 0; frame < 3; frame++) {
            int depth;
            uint32_t w, h;
            EXPECT_EQ(samples.substr(9 * frame, 9), DecodePng(e.items[frame], &depth, &w, &h));
        }
    }
}

TEST(NativeCopy, WritesTheRecordedLengthWhateverTheGeometrySays) {
    TempDir tmp;
    Image im = MakeImage(2, 2, 1, 1, 8, 8);
    im.pixels += std::string(10, 'x'); /* more bytes than 2 x 2 samples */
    testutil::WriteFile(tmp.file("src.dcm"), ImageFile(im));
    ASSERT_EQ(0, Convert(tmp.file("src.dcm"), tmp.file("out.dcm"), TS_EXPLICIT_LE));
    std::string value = PixelValue(ReadFile(tmp.file("out.dcm")));
    EXPECT_EQ(14u, U32(value, 0));
    EXPECT_EQ(im.pixels, value.substr(4));
}

TEST(ItemTag, ByteOrderFollowsTheSyntax) {
    TempDir tmp;
    FILE *f = fopen(tmp.file("t").c_str(), "wb");
    _write_itemtag(f, TS_EXPLICIT_LE, 0xFFFE, 0xE000, 0x10);
    _write_itemtag(f, TS_EXPLICIT_BE, 0xFFFE, 0xE0DD, 0);
    fclose(f);
    EXPECT_EQ(std::string("\xFE\xFF\x00\xE0\x10\x00\x00\x00\xFF\xFE\xE0\xDD\x00\x00\x00\x00", 16),
              ReadFile(tmp.file("t")));
}

} // namespace
