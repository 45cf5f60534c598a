/*
 * writer_test.cpp -- saving objects: every readable sample converted into
 * each transfer syntax with and without meta header and back (values and
 * pixel bytes compared after reading both, and the written file checked by
 * pydicom and dcmdump), the writer's own choices (VRs, lengths, group
 * lengths, (0002,0010), raw sequences), and the failure paths: unwritable
 * target, missing pixel source, full disk, values too long for their
 * length field, and two saves running at once in one directory.
 */
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "dicom/file_builder.h"
#include "medcore.h"
#include "object_int.h"
#include "testutil.h"

namespace {

using testutil::ReadFile;
using testutil::TempDir;

AppData g_app;
DefHolder g_defs;

class Env : public ::testing::Environment {
public:
    void SetUp() override {
        char banner[64];
        init_AppData(&g_app, "tagrecode", "2.1", banner);
        const std::string dir = testutil::DefsDir();
        ASSERT_EQ(0, InitDICOMTagDef(&g_app, (dir + "/tag_tab.def").c_str(), 1));
        ASSERT_EQ(0, InitDICOMTagDef(&g_app, (dir + "/tag2_tab.def").c_str(), 0));
        log_mask(getenv("WT_LOG") ? 0x30 : 0);
    }
    void TearDown() override { DoneTagPrvDef(&g_app, &g_defs); }
};
const auto *g_env = ::testing::AddGlobalTestEnvironment(new Env);

/* An IOObject holding one read object, closed with the holder. */
struct Loaded {
    IOObject io{};
    Loaded() { init_IOObject(&io); }
    ~Loaded() { DO_closeObject(&io); }
    bool Read(const std::string &path) {
        io.out_meta_ts = -1;
        io.out_ds_ts = -1;
        io.meta_header = 1;
        return DO_importObjectFromFile(&g_app, &g_defs, path.c_str(), &io) == 0;
    }
    int16_t Save(const std::string &path, int ds_ts, int meta = 1, int meta_ts = -1) {
        io.out_meta_ts = meta_ts != -1 ? meta_ts : io.in_meta_ts;
        io.out_ds_ts = ds_ts;
        io.meta_header = (int16_t)meta;
        return DO_copyObjectToFile(&g_app, &io, path.c_str());
    }
    DicomElement *Top(uint32_t key) const {
        for (DicomElement *e = io.object->root->first_child; e; e = e->next)
            if (((uint32_t)e->group << 16 | e->element) == key)
                return e;
        return nullptr;
    }
};

uint32_t KeyOf(const DicomElement *e) {
    return (uint32_t)e->group << 16 | e->element;
}

/* Native pixel bytes of a file with little-endian samples; PNG-encoded
 * pixel data is decoded by saving a native copy first. */
std::string PixelBytes(const std::string &path, const TempDir &tmp) {
    Loaded f;
    if (!f.Read(path))
        return "unreadable";
    DicomElement *px = f.Top(0x7FE00010);
    if (!px || !px->value)
        return "";
    PixelDataDesc pds = *static_cast<PixelDataDesc *>(px->value);
    if (pds.src_encoding == 1) {
        std::string native = tmp.file("native.dcm");
        if (f.Save(native, TS_EXPLICIT_LE) != 0)
            return "undecodable";
        return PixelBytes(native, tmp);
    }
    std::string bytes = ReadFile(pds.filename).substr(pds.offset, pds.length);
    const unsigned unit = pds.bits_allocated > 8 ? 2 : 1; /* OW: 16-bit words */
    if (pds.src_ts == TS_EXPLICIT_BE && unit > 1)
        for (size_t i = 0; i + unit <= bytes.size(); i += unit)
            std::reverse(bytes.begin() + i, bytes.begin() + i + unit);
    return bytes;
}

bool Skipped(const DicomElement *e, bool top) {
    return e->element == 0x0000 || KeyOf(e) == 0x7FE00010 ||
           (top && (e->group == 0x0002 || KeyOf(e) == 0x00080001));
}

/* Compares two element trees: tags, lengths and values (host order).  Raw
 * content of defined-length sequences is compared only when both files
 * keep it in the same byte syntax. */
void CompareTrees(const DicomElement *a, const DicomElement *b, bool same_bytes, bool top,
                  const std::string &where) {
    const DicomElement *x = a->first_child, *y = b->first_child;
    for (;;) {
        while (x && Skipped(x, top))
            x = x->next;
        while (y && Skipped(y, top))
            y = y->next;
        if (!x || !y)
            break;
        char tag[16];
        snprintf(tag, sizeof tag, "(%04X,%04X)", x->group, x->element);
        ASSERT_EQ(KeyOf(x), KeyOf(y)) << where << tag;
        bool raw = x->value && !x->first_child &&
                   (x->group == 0xFFFE || (x->vr == VR_SQ && x->length != 0xFFFFFFFFu));
        if (!raw || same_bytes) {
            ASSERT_EQ(x->length, y->length) << where << tag;
            if (x->value && x->length) {
                ASSERT_EQ(0, memcmp(x->value, y->value, x->length)) << where << tag;
            }
        }
        CompareTrees(x, y, same_bytes, false, where + tag);
        x = x->next;
        y = y->next;
    }
    ASSERT_EQ(x == nullptr, y == nullptr) << where << " differ in element count";
}

const char *UidOf(int ts) {
    static const char *uids[] = {"1.2.840.10008.1.2", "1.2.840.10008.1.2.1", "1.2.840.10008.1.2.2",
                                 "3.0.0.4.5"};
    return uids[ts];
}

std::string OracleSyntax(int ts, int meta) {
    if (meta)
        return UidOf(ts);
    return ts == 0 ? "bare-implicit" : ts == 2 ? "bare-explicit-be" : "bare-explicit-le";
}

/* dcmdump's name of the syntax it read the data set in (as the last line of
 * that kind: the meta group has its own). */
std::string DcmtkSyntaxName(int ts) {
    const char *names[] = {"Little Endian Implicit", "Little Endian Explicit",
                           "Big Endian Explicit", "Little Endian Explicit"};
    return std::string("# Dicom-Data-Set\n# Used TransferSyntax: ") + names[ts] + "\n";
}

int ByteSyntax(int ts) {
    return ts == 3 ? 1 : ts;
}

/* ---- every sample, every syntax, with and without meta header ---- */

class SampleRoundTrip : public ::testing::TestWithParam<std::string> {};

TEST_P(SampleRoundTrip, ValuesAndPixelsSurviveEverySyntax) {
    const std::string src = testutil::SamplePath(GetParam());
    Loaded orig;
    if (!orig.Read(src))
        GTEST_SKIP() << "the reader does not accept " << src;
    DicomElement *px = orig.Top(0x7FE00010);
    const PixelDataDesc *pds = px && px->value ? static_cast<PixelDataDesc *>(px->value) : nullptr;
    const bool foreign = pds && pds->length == 0xFFFFFFFFu && pds->src_encoding != 1;
    const bool png_ok = pds && !foreign && (pds->bits_allocated == 8 || pds->bits_allocated == 16);
    const int in_ts = orig.io.in_ds_ts;
    TempDir tmp;
    const std::string original_pixels = foreign ? "" : PixelBytes(src, tmp);

    for (int ts = 0; ts <= 3; ts++) {
        for (int meta = 0; meta <= 1; meta++) {
            SCOPED_TRACE("syntax " + std::to_string(ts) + " meta " + std::to_string(meta));
            const std::string out = tmp.file("out.dcm");
            Loaded work;
            ASSERT_TRUE(work.Read(src));
            unlink(out.c_str());
            int16_t status = work.Save(out, ts, meta);
            if (foreign || (ts == 3 && meta && pds && !png_ok)) {
                EXPECT_EQ(-1, status) << "data that cannot be written must fail the save";
                EXPECT_FALSE(testutil::FileExists(out));
                continue;
            }
            ASSERT_EQ(0, status);
            const int written_ts = (ts == 3 && !meta) ? 1 : ts;

            auto oracle =
                testutil::Run({"/usr/bin/python3",
                               std::string(QUENOR_SOURCE_DIR) + "/tests/dicom/writer_oracle.py",
                               src, out, OracleSyntax(written_ts, meta)});
            EXPECT_EQ(0, oracle.status) << oracle.out << oracle.err;
            auto dump = testutil::Run({"/usr/bin/dcmdump", out});
            EXPECT_EQ(0, dump.status) << dump.err;
            EXPECT_EQ("", dump.err);
            EXPECT_NE(std::string::npos, dump.out.find(DcmtkSyntaxName(written_ts)));

            /* A bare explicit LE data set whose first group is 0100 or above
             * is taken for big endian by our reader's syntax guess. */
            DicomElement *first = orig.io.object->root->first_child;
            while (first && first->group <= 3)
                first = first->next;
            if (!meta && written_ts == 1 && first && first->group >= 0x0100)
                continue;
            Loaded copy;
            ASSERT_TRUE(copy.Read(out));
            CompareTrees(orig.io.object->root, copy.io.object->root,
                         ByteSyntax(in_ts) == ByteSyntax(written_ts), true, "");
            if (pds) {
                EXPECT_EQ(original_pixels, PixelBytes(out, tmp));
            }

            /* and back into the syntax of the original */
            const std::string back = tmp.file("back.dcm");
            ASSERT_EQ(0, copy.Save(back, in_ts, 1));
            Loaded again;
            ASSERT_TRUE(again.Read(back));
            CompareTrees(orig.io.object->root, again.io.object->root, true, true, "back ");
            if (pds) {
                EXPECT_EQ(original_pixels, PixelBytes(back, tmp));
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Samples, SampleRoundTrip, ::testing::ValuesIn(testutil::SampleFiles()),
                         [](const ::testing::TestParamInfo<std::string> &info) {
                             std::string n = info.param.substr(info.param.rfind('/') + 1);
                             for (char &c : n)
                                 if (!isalnum((unsigned char)c))
                                     c = '_';
                             return n;
                         });

/* ---- the writer's own choices ---- */

TEST(Writer, EncapsulatedForeignSyntaxSavesOnlyWithoutPixels) {
    Loaded f;
    ASSERT_TRUE(f.Read(testutil::SamplePath("JPEG2000.dcm")));
    TempDir tmp;
    f.io.copy_pixels = 0;
    ASSERT_EQ(0, f.Save(tmp.file("nopx.dcm"), TS_EXPLICIT_LE));
    Loaded g;
    ASSERT_TRUE(g.Read(tmp.file("nopx.dcm")));
    DicomElement *px = g.Top(0x7FE00010);
    ASSERT_NE(nullptr, px);
    EXPECT_EQ(0u, px->length);
}

TEST(Writer, GroupLengthsCountTheBytesWritten) {
    TempDir tmp;
    for (int ts : {0, 1, 2, 3}) {
        Loaded f;
        ASSERT_TRUE(f.Read(testutil::SamplePath("CT_small.dcm")));
        ASSERT_EQ(0, f.Save(tmp.file("gl.dcm"), ts));
        std::string bytes = ReadFile(tmp.file("gl.dcm"));
        /* (0002,0000) sits at 132 in explicit LE: its value counts up to the data set */
        uint32_t meta_len;
        memcpy(&meta_len, bytes.data() + 140, 4);
        size_t ds = 144 + meta_len;
        ASSERT_LT(ds + 2, bytes.size());
        uint16_t group = (uint8_t)bytes[ds] | (uint8_t)bytes[ds + 1] << 8;
        if (ts == 2)
            group = (uint8_t)bytes[ds] << 8 | (uint8_t)bytes[ds + 1];
        EXPECT_EQ(0x0008, group) << "syntax " << ts;
        /* and pydicom agrees that the file is whole */
        auto r = testutil::Run({"/usr/bin/python3", "-c",
                                "import pydicom,sys; d=pydicom.dcmread(sys.argv[1]); "
                                "print(d.file_meta.FileMetaInformationGroupLength)",
                                tmp.file("gl.dcm")});
        EXPECT_EQ(std::to_string(meta_len) + "\n", r.out);
    }
}

TEST(Writer, LengthToEndIsMeasuredAfterPngEncoding) {
    TempDir tmp;
    Loaded f;
    ASSERT_TRUE(f.Read(testutil::SamplePath("MR_small.dcm")));
    DicomElementHead lte = {};
    uint32_t zero = 0;
    lte.group = 0x0008;
    lte.element = 0x0001;
    lte.length = 4;
    lte.value = &zero;
    ASSERT_EQ(0, DO_addElement(&g_app, f.io.object, &lte));
    ASSERT_EQ(0, f.Save(tmp.file("lte.dcm"), TS_PNG));
    std::string bytes = ReadFile(tmp.file("lte.dcm"));
    DicomElement *e = f.Top(0x00080001);
    ASSERT_NE(nullptr, e);
    uint32_t stored;
    memcpy(&stored, e->value, 4);
    /* explicit LE: tag, "UL", 16-bit length, then the value */
    size_t at = bytes.find(std::string("\x08\x00\x01\x00", 4));
    ASSERT_NE(std::string::npos, at);
    uint32_t in_file;
    memcpy(&in_file, bytes.data() + at + 8, 4);
    EXPECT_EQ(stored, in_file);
    EXPECT_EQ(bytes.size() - (at + 12), in_file);
}

TEST(Writer, PreambleIsPassedThroughAndBareFilesStartWithTheDataSet) {
    TempDir tmp;
    Loaded f;
    ASSERT_TRUE(f.Read(testutil::SamplePath("MR_small.dcm")));
    memset(f.io.object->preamble, 'Q', 128);
    ASSERT_EQ(0, f.Save(tmp.file("p.dcm"), TS_EXPLICIT_LE));
    EXPECT_EQ(std::string(128, 'Q') + "DICM", ReadFile(tmp.file("p.dcm")).substr(0, 132));
    ASSERT_EQ(0, f.Save(tmp.file("bare.dcm"), TS_IMPLICIT_LE, 0));
    std::string bare = ReadFile(tmp.file("bare.dcm"));
    EXPECT_EQ(std::string("\x08\x00", 2), bare.substr(0, 2));
    EXPECT_EQ(std::string::npos, bare.find("1.2.840.10008.1.2\0", 0)) << "no group 0002";
}

TEST(Writer, ValueTooLongForA16BitLengthGoesOutAsUN) {
    TempDir tmp;
    Loaded f;
    ASSERT_TRUE(f.Read(testutil::SamplePath("MR_small.dcm")));
    std::string text(70000, 'x');
    DicomElementHead rec = {};
    rec.group = 0x0008;
    rec.element = 0x1030; /* LO */
    rec.length = (uint32_t)text.size();
    rec.value = &text[0];
    ASSERT_EQ(0, DO_changeElement(&g_app, f.io.object, &rec));
    for (int ts : {TS_IMPLICIT_LE, TS_EXPLICIT_LE, TS_EXPLICIT_BE}) {
        SCOPED_TRACE(ts);
        ASSERT_EQ(0, f.Save(tmp.file("t.dcm"), ts));
        const std::string bytes = ReadFile(tmp.file("t.dcm"));
        if (ts != TS_IMPLICIT_LE) {
            const std::string tag = ts == TS_EXPLICIT_BE ? std::string("\x00\x08\x10\x30", 4)
                                                         : std::string("\x08\x00\x30\x10", 4);
            size_t at = bytes.find(tag + "UN");
            ASSERT_NE(std::string::npos, at) << "labelled UN";
            EXPECT_EQ(text, bytes.substr(at + 12, text.size())) << "with a 32-bit length";
        }
        Loaded g;
        ASSERT_TRUE(g.Read(tmp.file("t.dcm")));
        ASSERT_NE(nullptr, g.Top(0x00081030));
        EXPECT_EQ(70000u, g.Top(0x00081030)->length);
    }
}

TEST(Writer, DelimitersAreAddedAndEmptyContainersGetLengthZero) {
    IOObject io;
    init_IOObject(&io);
    ASSERT_EQ(0, DO_openObject(&io));
    DicomElementHead rec = {};
    rec.group = 0x0008;
    rec.element = 0x1115; /* SQ */
    rec.length = 0xFFFFFFFF;
    ASSERT_EQ(0, DO_addElement(&g_app, io.object, &rec));
    rec.group = 0xFFFE;
    rec.element = 0xE000;
    ASSERT_EQ(0, DO_addElement(&g_app, io.object, &rec));
    char uid[] = "1.2";
    rec = {};
    rec.group = 0x0008;
    rec.element = 0x1150;
    rec.length = 4;
    rec.value = uid;
    ASSERT_EQ(0, DO_addElement(&g_app, io.object, &rec));
    io.object->insert_parent = io.object->root;
    rec = {};
    rec.group = 0x0008;
    rec.element = 0x1140; /* an empty SQ */
    rec.length = 0xFFFFFFFF;
    ASSERT_EQ(0, DO_addElement(&g_app, io.object, &rec));
    io.object->insert_parent = io.object->root;
    ASSERT_EQ(0, DO_checkObject(&g_app, io.object));
    DicomElement *seq = io.object->root->first_child;
    ASSERT_EQ(0x1115, seq->element);
    EXPECT_EQ(0xE0DD, seq->last_child->element);
    EXPECT_EQ(0xE00D, seq->first_child->last_child->element);
    EXPECT_EQ(0u, seq->next->length);
    DO_closeObject(&io);
}

/* The tree as a save keeps it, in one line: tags with their values,
 * children in braces; group lengths, delimiters, the meta group and
 * (0008,0001) left out (the save makes them anew). */
std::string Shape(const DicomElement *parent, bool top = true) {
    std::string out;
    for (const DicomElement *c = parent->first_child; c; c = c->next) {
        const uint32_t key = KeyOf(c);
        if (c->element == 0x0000 || key == 0xFFFEE00D || key == 0xFFFEE0DD ||
            (top && (c->group <= 3 || key == 0x00080001)))
            continue;
        char tag[16];
        snprintf(tag, sizeof tag, "%08X", key);
        out += tag;
        if (c->value && key != 0x7FE00010)
            out += "=" + std::string(static_cast<const char *>(c->value), c->length);
        if (c->first_child)
            out += "{" + Shape(c, false) + "}";
        out += " ";
    }
    return out;
}

/* Damaged structures (each once found by the round-trip fuzz target):
 * saved in every native syntax, each reads back as the tree it was saved
 * from. */
TEST(Writer, DamagedStructuresReadBackAsSaved) {
    using dicomtest::FileBuilder;
    struct Row {
        const char *name;
        FileBuilder file;
        std::string shape;
    };
    std::vector<Row> rows;
    { /* an element tagged above the delimitation items, which sorting puts
         * behind them, and a sequence delimiter closing an item */
        FileBuilder f;
        f.Header(0x3006, 0x0080, "", 0xFFFFFFFF).Item().Text(0x3006, 0x0082, "IS", "1 ");
        f.Header(0xFFFF, 0xF00D, "", 0).SeqEnd();
        f.Item().Text(0x3006, 0x0082, "IS", "2 ").ItemEnd().SeqEnd();
        rows.push_back({"stray_delimiters", f,
                        "30060080{FFFEE000{30060082=1  FFFFF00D } FFFEE000{30060082=2  } } "});
    }
    { /* a sequence in the meta group holding data-set groups */
        FileBuilder f;
        f.Preamble().Syntax(TS_EXPLICIT_LE);
        f.Text(0x0002, 0x0010, "UI", std::string("1.2.840.10008.1.2\0", 18));
        f.Header(0x0003, 0x1010, "UN", 0xFFFFFFFF).Syntax(TS_IMPLICIT_LE);
        f.Item().Text(0x0008, 0x0060, "CS", "CT").ItemEnd().SeqEnd();
        f.Text(0x0010, 0x0010, "PN", "Doe^Jane");
        rows.push_back({"sequence_in_meta_group", f, "00100010=Doe^Jane "});
    }
    { /* a group length and (0008,0001) of undefined length holding items */
        FileBuilder f;
        f.Header(0x0008, 0x0000, "", 0xFFFFFFFF).Item().Text(0x0010, 0x0020, "LO", "ID").ItemEnd();
        f.SeqEnd().Header(0x0008, 0x0001, "", 0xFFFFFFFF).Item().ItemEnd().SeqEnd();
        f.Text(0x0008, 0x0060, "CS", "CT");
        rows.push_back({"group_length_holding_items", f, "00080060=CT "});
    }
    { /* (0002,0010) inside an item is data */
        FileBuilder f;
        f.Header(0x0040, 0xA730, "", 0xFFFFFFFF).Item();
        f.Text(0x0002, 0x0010, "UI", "1.2.3.4.").ItemEnd().SeqEnd();
        rows.push_back({"syntax_uid_in_item", f, "0040A730{FFFEE000{00020010=1.2.3.4. } } "});
    }
    for (uint16_t group : {0x0200, 0x0300}) {
        /* a big-endian data set whose first group, 0200 or 0300, reads as
         * 0002 or 0003 little endian */
        FileBuilder f;
        f.Preamble().Meta(Explicit_VR_Big_Endian_Transfer_Syntax_UID).Syntax(TS_EXPLICIT_BE);
        if (group == 0x0300)
            f.Text(0x0003, 0x0010, "LO", "CD"); /* group 0003 goes with the data set */
        f.Text(group, 0x0010, "LO", "AB").Text(0x0010, 0x0010, "PN", "Doe^Jane");
        rows.push_back(
            {group == 0x0200 ? "big_endian_group_0200" : "big_endian_group_0300", f,
             "00100010=Doe^Jane " + std::string(group == 0x0200 ? "0200" : "0300") + "0010=AB "});
    }
    { /* a meta element holding items, replaced on saving */
        FileBuilder f;
        f.Preamble().Syntax(TS_IMPLICIT_LE).Header(0x0002, 0x0000, "", 0xFFFFFFFF).Item();
        f.Text(0x0008, 0x1150, "UI", "1.2.3.44").ItemEnd().SeqEnd();
        f.Text(0x0008, 0x0060, "CS", "CT");
        rows.push_back({"meta_element_holding_items", f, "00080060=CT "});
    }
    TempDir tmp;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        testutil::WriteFile(tmp.file("in.dcm"), row.file.bytes());
        dicomtest::KeepAsSeed(std::string(row.name) + ".dcm", row.file.bytes());
        for (int ts : {TS_IMPLICIT_LE, TS_EXPLICIT_LE, TS_EXPLICIT_BE}) {
            SCOPED_TRACE(ts);
            [&] { /* a failed ASSERT ends this syntax only */
                  Loaded in;
                  ASSERT_TRUE(in.Read(tmp.file("in.dcm")));
                  SortCodes(in.io.object->root);
                  EXPECT_EQ(row.shape, Shape(in.io.object->root));
                  ASSERT_EQ(0, in.Save(tmp.file("out.dcm"), ts, 1, TS_EXPLICIT_LE));
                  Loaded back;
                  ASSERT_TRUE(back.Read(tmp.file("out.dcm")));
                  EXPECT_EQ(row.shape, Shape(back.io.object->root));
            }();
        }
    }
}

/* ---- failure paths ---- */

int CountEntries(const std::string &dir) {
    int n = 0;
    DIR *d = opendir(dir.c_str());
    while (dirent *e = readdir(d))
        n += e->d_name[0] != '.';
    closedir(d);
    return n;
}

TEST(WriterFailure, UnwritableTargetDirectory) {
    Loaded f;
    ASSERT_TRUE(f.Read(testutil::SamplePath("MR_small.dcm")));
    EXPECT_EQ(-1, f.Save("/nonexistent-dir/x/out.dcm", TS_EXPLICIT_LE));
    TempDir tmp;
    testutil::WriteFile(tmp.file("file"), "");
    EXPECT_EQ(-1, f.Save(tmp.file("file") + "/out.dcm", TS_EXPLICIT_LE));
}

TEST(WriterFailure, MissingPixelSourceLeavesTargetAndNoTemporary) {
    TempDir tmp;
    testutil::WriteFile(tmp.file("src.dcm"), ReadFile(testutil::SamplePath("MR_small.dcm")));
    testutil::WriteFile(tmp.file("target.dcm"), "previous");
    for (int ts : {TS_EXPLICIT_LE, TS_PNG}) {
        Loaded f;
        ASSERT_TRUE(f.Read(tmp.file("src.dcm")));
        std::string keep = ReadFile(tmp.file("src.dcm"));
        unlink(tmp.file("src.dcm").c_str());
        EXPECT_EQ(-1, f.Save(tmp.file("target.dcm"), ts));
        EXPECT_EQ("previous", ReadFile(tmp.file("target.dcm")));
        EXPECT_EQ(1, CountEntries(tmp.path()));
        testutil::WriteFile(tmp.file("src.dcm"), keep);
    }
}

TEST(WriterFailure, ShortPixelSourceFailsTheSave) {
    TempDir tmp;
    std::string bytes = ReadFile(testutil::SamplePath("MR_small.dcm"));
    testutil::WriteFile(tmp.file("src.dcm"), bytes);
    Loaded f;
    ASSERT_TRUE(f.Read(tmp.file("src.dcm")));
    ASSERT_NE(nullptr, f.Top(0x7FE00010)) << "no pixel data in the source";
    const PixelDataDesc *pds = static_cast<PixelDataDesc *>(f.Top(0x7FE00010)->value);
    testutil::WriteFile(tmp.file("src.dcm"), bytes.substr(0, pds->offset + pds->length - 2));
    EXPECT_EQ(-1, f.Save(tmp.file("out.dcm"), TS_EXPLICIT_BE));
    EXPECT_EQ(-1, f.Save(tmp.file("out.dcm"), TS_PNG));
    EXPECT_FALSE(testutil::FileExists(tmp.file("out.dcm")));
    EXPECT_EQ(1, CountEntries(tmp.path()));
}

TEST(WriterFailure, FullDiskFailsAndKeepsTheTarget) {
    TempDir tmp;
    testutil::WriteFile(tmp.file("target.dcm"), "previous");
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit lim = {4000, 4000};
        setrlimit(RLIMIT_FSIZE, &lim);
        Loaded f;
        if (!f.Read(testutil::SamplePath("MR_small.dcm")))
            _exit(2);
        _exit(f.Save(tmp.file("target.dcm"), TS_EXPLICIT_LE) == -1 ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status)) << "the save must report the short write";
    EXPECT_EQ("previous", ReadFile(tmp.file("target.dcm")));
    EXPECT_EQ(1, CountEntries(tmp.path()));
}

TEST(WriterFailure, TwoSavesAtOnceInOneDirectory) {
    TempDir tmp;
    const std::string a = tmp.file("a.dcm"), b = tmp.file("b.dcm");
    auto saver = [&](const std::string &target, int ts) {
        Loaded f;
        if (!f.Read(testutil::SamplePath("CT_small.dcm")))
            _exit(2);
        for (int i = 0; i < 20; i++)
            if (f.Save(target, ts) != 0)
                _exit(1);
        _exit(0);
    };
    pid_t p1 = fork();
    if (p1 == 0)
        saver(a, TS_EXPLICIT_BE);
    pid_t p2 = fork();
    if (p2 == 0)
        saver(b, TS_IMPLICIT_LE);
    int s1 = 0, s2 = 0;
    waitpid(p1, &s1, 0);
    waitpid(p2, &s2, 0);
    ASSERT_TRUE(WIFEXITED(s1) && WIFEXITED(s2));
    EXPECT_EQ(0, WEXITSTATUS(s1));
    EXPECT_EQ(0, WEXITSTATUS(s2));
    EXPECT_EQ(2, CountEntries(tmp.path()));
    Loaded fa, fb, orig;
    ASSERT_TRUE(orig.Read(testutil::SamplePath("CT_small.dcm")));
    ASSERT_TRUE(fa.Read(a));
    ASSERT_TRUE(fb.Read(b));
    EXPECT_EQ(TS_EXPLICIT_BE, fa.io.in_ds_ts);
    EXPECT_EQ(TS_IMPLICIT_LE, fb.io.in_ds_ts);
    CompareTrees(orig.io.object->root, fa.io.object->root, false, true, "a ");
    CompareTrees(orig.io.object->root, fb.io.object->root, false, true, "b ");
}

/* A node with tag and text value, linked as the last child of parent. */
DicomElement *Append(DicomElement *parent, uint16_t group, uint16_t element,
                     const char *text = nullptr) {
    DicomElementHead rec = {};
    rec.group = group;
    rec.element = element;
    DOU_defXVRTypeByTags(&g_app, group, element, &rec.vr);
    DicomElement *e = _make_node(&rec);
    if (text)
        _copy_value(head_of(e), text, (uint32_t)strlen(text));
    else if (group == 0xFFFE || e->vr == VR_SQ)
        e->length = 0xFFFFFFFF;
    _append_child(parent, e);
    return e;
}

/* Trees that no reader could parse back, whatever built them: the save
 * fails naming the element, the target stays and no temporary is left. */
TEST(WriterFailure, UnparsableTreesAreNotWritten) {
    struct Row {
        const char *name;
        void (*spoil)(DicomElement *root, DicomElement *item);
        const char *message;
    };
    const Row rows[] = {
        {"element directly in a sequence",
         [](DicomElement *, DicomElement *item) { Append(item->parent, 0x0010, 0x0010, "Doe"); },
         "Element (0010,0010) in (0008,1115) stands directly in a sequence, where only items "
         "belong."},
        {"item at the top level",
         [](DicomElement *root, DicomElement *) { Append(root, 0xFFFE, 0xE000); },
         "Item (fffe,e000) at the top level does not stand in a sequence."},
        {"item in an item",
         [](DicomElement *, DicomElement *item) {
             Append(Append(item, 0xFFFE, 0xE000), 0x0010, 0x0020, "ID");
         },
         "Item (fffe,e000) in (0008,1115)/item 2 does not stand in a sequence."},
        {"group FFFE element",
         [](DicomElement *, DicomElement *item) { Append(item, 0xFFFE, 0xF00D, "AB"); },
         "Element (fffe,f00d) in (0008,1115)/item 2 has the group of items and delimiters but "
         "is neither."},
        {"delimiter holding elements",
         [](DicomElement *, DicomElement *item) {
             Append(Append(item, 0xFFFE, 0xE00D), 0x0010, 0x0020, "ID");
         },
         "Element (fffe,e00d) in (0008,1115)/item 2 holds elements, but is neither a sequence "
         "nor an item."},
        {"value under a sequence's tag",
         [](DicomElement *root, DicomElement *) { Append(root, 0x0008, 0x1140, "9.9.9"); },
         "Element (0008,1140) at the top level is written as a sequence, but its value is not "
         "items."},
    };
    TempDir tmp;
    const std::string target = tmp.file("target.dcm");
    testutil::WriteFile(target, "previous");
    log_mask(0x10);
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        IOObject io;
        init_IOObject(&io);
        ASSERT_EQ(0, DO_openObject(&io));
        DicomElement *root = io.object->root;
        Append(root, 0x0008, 0x0060, "CT");
        DicomElement *seq = Append(root, 0x0008, 0x1115);
        Append(Append(seq, 0xFFFE, 0xE000), 0x0008, 0x1150, "1.2.3");
        DicomElement *item = Append(seq, 0xFFFE, 0xE000);
        Append(item, 0x0008, 0x1150, "1.2.4");
        ASSERT_EQ(0, DO_copyObjectToFile(&g_app, &io, tmp.file("sound.dcm").c_str()));
        unlink(tmp.file("sound.dcm").c_str());
        row.spoil(root, item);
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(-1, DO_copyObjectToFile(&g_app, &io, target.c_str()));
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(std::string::npos, err.find(row.message)) << err;
        EXPECT_EQ("previous", ReadFile(target));
        EXPECT_EQ(1, CountEntries(tmp.path()));
        DO_closeObject(&io);
    }
    log_mask(getenv("WT_LOG") ? 0x30 : 0);
}

/* A delimiter at the top level (a damaged file holds one) closes nothing:
 * the save leaves it out, so that other readers parse the file. */
TEST(Writer, TopLevelDelimitersAreLeftOut) {
    using dicomtest::FileBuilder;
    TempDir tmp;
    for (uint16_t delimiter : {0xE00D, 0xE0DD}) {
        FileBuilder f;
        f.Preamble().Meta(Implicit_VR_Little_Endian_Transfer_Syntax_UID);
        f.Text(0x0008, 0x0060, "CS", "CT").Header(0xFFFE, delimiter, "", 0);
        f.Text(0x0010, 0x0010, "PN", "Doe^Jane");
        testutil::WriteFile(tmp.file("in.dcm"), f.bytes());
        Loaded in;
        ASSERT_TRUE(in.Read(tmp.file("in.dcm")));
        ASSERT_EQ(0, in.Save(tmp.file("out.dcm"), TS_EXPLICIT_LE));
        auto dump = testutil::Run({"/usr/bin/dcmdump", "-q", tmp.file("out.dcm")});
        EXPECT_EQ(0, dump.status) << dump.err;
        EXPECT_EQ("", dump.err);
        EXPECT_NE(std::string::npos, dump.out.find("[Doe^Jane]")) << dump.out;
    }
}

} // namespace
