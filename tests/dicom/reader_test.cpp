/*
 * reader_test.cpp -- the DICOM file reader on byte-exact files built here:
 * transfer-syntax detection, the meta group and its warnings, lengths that
 * are odd, too long or cut short, sequences and items of both kinds, nesting
 * limits, pixel data left in the file, and the value skipper.
 */
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "medcore.h"
#include "dicom/file_builder.h"
#include "reader_int.h"
#include "testutil.h"

namespace {

using testutil::TempDir;
using testutil::WriteFile;

using dicomtest::FileBuilder;

const char *kDictionary = R"(
{0x00020000, "File Meta Information Group Length", "UL", 1, ""},
{0x00020001, "File Meta Information Version", "OB", 1, ""},
{0x00020010, "Transfer Syntax UID", "UI", 1, ""},
{0x00080016, "SOP Class UID", "UI", 1, ""},
{0x00080060, "Modality", "CS", 1, ""},
{0x00081115, "Referenced Series Sequence", "SQ", 1, ""},
{0x00081140, "Referenced Image Sequence", "SQ", 1, ""},
{0x00100010, "Patient's Name", "PN", 1, ""},
{0x00180050, "Slice Thickness", "DS", 1, ""},
{0x0018602C, "Physical Delta X", "FD", 1, ""},
{0x00200013, "Instance Number", "IS", 1, ""},
{0x00280002, "Samples per Pixel", "US", 1, ""},
{0x00280004, "Photometric Interpretation", "CS", 1, ""},
{0x00280008, "Number of Frames", "IS", 1, ""},
{0x00280010, "Rows", "US", 1, ""},
{0x00280011, "Columns", "US", 1, ""},
{0x00280100, "Bits Allocated", "US", 1, ""},
{0x00280101, "Bits Stored", "US", 1, ""},
{0x00280102, "High Bit", "US", 1, ""},
{0x00280103, "Pixel Representation", "US", 1, ""},
{0x00280106, "Smallest Image Pixel Value", "XS", 1, ""},
{0x00400275, "Request Attributes Sequence", "SQ", 1, ""},
{0x0040A160, "Text Value", "UT", 1, ""},
{0x7FE00010, "Pixel Data", "OX", 1, ""},
{0xFFFCFFFC, "Data Set Trailing Padding", "OB", 1, ""},
{0xFFFEE000, "Item", "XX", 1, ""},
{0xFFFEE00D, "Item Delimitation Item", "XX", 1, ""},
{0xFFFEE0DD, "Sequence Delimitation Item", "XX", 1, ""},
)";

class ReaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        char banner[64];
        init_AppData(&app_, "readertest", "1.0", banner);
        WriteFile(dir_.file("tags.def"), kDictionary);
        ASSERT_EQ(0, InitDICOMTagDef(&app_, dir_.file("tags.def").c_str(), 1));
        init_IOObject(&io_);
        io_.out_meta_ts = -1;
        io_.out_ds_ts = -1;
        log_mask(0x0030); /* errors, warnings and info lines on stderr only */
    }
    void TearDown() override {
        DO_closeObject(&io_);
        DoneTagDef(&app_);
        log_mask(0x002C);
    }

    /* Writes the bytes, imports them and keeps what was logged. */
    int Import(const std::string &bytes, const std::string &name = "in.dcm") {
        path_ = dir_.file(name);
        WriteFile(path_, bytes);
        ::testing::internal::CaptureStderr();
        int r = DO_importObjectFromFile(&app_, &defs_, path_.c_str(), &io_);
        log_ = ::testing::internal::GetCapturedStderr();
        return r;
    }
    DicomElement *Top(size_t i) {
        DicomElement *e = io_.object->root->first_child;
        while (e && i--)
            e = e->next;
        return e;
    }
    static std::vector<uint32_t> Keys(const DicomElement *parent) {
        std::vector<uint32_t> keys;
        for (const DicomElement *c = parent->first_child; c; c = c->next)
            keys.push_back((uint32_t)c->group << 16 | c->element);
        return keys;
    }
    static std::string Value(const DicomElement *e) {
        return e->value ? std::string(static_cast<const char *>(e->value), e->length) : "";
    }
    static uint16_t Us(const DicomElement *e) {
        uint16_t v;
        memcpy(&v, e->value, 2);
        return v;
    }
    static bool HoldsPixelData(const DicomElement *parent) {
        for (const DicomElement *c = parent->first_child; c; c = c->next)
            if ((c->group == 0x7FE0 && c->element == 0x0010) || HoldsPixelData(c))
                return true;
        return false;
    }
    size_t Count(const std::string &text) const {
        size_t n = 0;
        for (size_t at = log_.find(text); at != std::string::npos; at = log_.find(text, at + 1))
            n++;
        return n;
    }

    TempDir dir_;
    AppData app_{};
    DefHolder defs_{};
    IOObject io_{};
    std::string path_;
    std::string log_;
};

/* ---- transfer syntax detection ---------------------------------------- */

TEST_F(ReaderTest, ConformingFileReadsItsDataSetInTheNamedSyntax) {
    FileBuilder f;
    f.Preamble('P').Meta(Implicit_VR_Little_Endian_Transfer_Syntax_UID).Syntax(TS_IMPLICIT_LE);
    f.Text(0x0008, 0x0060, "CS", "CT").US(0x0028, 0x0010, 512).Text(0x0010, 0x0010, "PN", "Doe^J ");
    ASSERT_EQ(0, Import(f.bytes()));
    EXPECT_EQ(1, io_.meta_header);
    EXPECT_EQ(1, io_.in_meta_ts);
    EXPECT_EQ(0, io_.in_ds_ts);
    EXPECT_EQ(0, io_.pass_ts);
    EXPECT_EQ(1, io_.out_meta_ts);
    EXPECT_EQ(1, io_.out_ds_ts);
    EXPECT_EQ(0, io_.in_meta_group);
    EXPECT_EQ('P', io_.object->preamble[0]);
    EXPECT_EQ('P', io_.object->preamble[127]);
    EXPECT_EQ((std::vector<uint32_t>{0x00020000, 0x00020001, 0x00020010, 0x00080060, 0x00280010,
                                     0x00100010}),
              Keys(io_.object->root));
    EXPECT_EQ("CT", Value(Top(3)));
    EXPECT_EQ(512, Us(Top(4)));
    EXPECT_EQ(VR_US, Top(4)->vr);
    EXPECT_NE(std::string::npos, log_.find("Info: Loading DICOM object " + path_ + "\n"));
    EXPECT_NE(std::string::npos,
              log_.find("Info: DICOM object " + path_ + " succesfully loaded\n"));
    EXPECT_EQ(std::string::npos, log_.find("Warning"));
}

TEST_F(ReaderTest, BareImplicitDataSetHasZeroPreambleAndNoMetaSyntax) {
    FileBuilder f;
    f.Text(0x0008, 0x0016, "UI", "1.2.3.4 ").US(0x0028, 0x0010, 7).Text(0x0010, 0x0010, "PN", "AB");
    ASSERT_LT(f.size(), 132u);
    ASSERT_EQ(0, Import(f.bytes()));
    EXPECT_EQ(0, io_.meta_header);
    EXPECT_EQ(-1, io_.in_meta_ts);
    EXPECT_EQ(0, io_.in_ds_ts);
    EXPECT_EQ(0, io_.out_ds_ts);
    EXPECT_EQ(std::string(128, '\0'), std::string((char *)io_.object->preamble, 128));
    EXPECT_EQ(3u, Keys(io_.object->root).size());
    EXPECT_EQ(7, Us(Top(1)));
}

TEST_F(ReaderTest, BareBigEndianDataSetIsGuessedAndSwappedByDictionaryVR) {
    init_IOObject(&io_); /* the defaults: output meta 1, data set 0 */
    FileBuilder f(TS_EXPLICIT_BE);
    f.Text(0x0008, 0x0060, "CS", "MR").US(0x0028, 0x0010, 0x1234);
    f.Header(0x0018, 0x602C, "FD", 8).Raw(std::string("\x3F\xF8\0\0\0\0\0\0", 8)); /* 1.5 */
    f.Header(0x0028, 0x0011, "UN", 2).U16(0x0102); /* letters say UN, dictionary US */
    ASSERT_EQ(0, Import(f.bytes()));
    EXPECT_EQ(2, io_.ts_in_force);
    EXPECT_EQ(1, io_.out_meta_ts) << "the guess is the read's, not the meta group's to write";
    EXPECT_EQ(0, io_.out_ds_ts);
    EXPECT_EQ(2, io_.in_ds_ts);
    EXPECT_EQ(-1, io_.in_meta_ts);
    EXPECT_EQ(0x1234, Us(Top(1)));
    double d;
    memcpy(&d, Top(2)->value, 8);
    EXPECT_EQ(1.5, d);
    EXPECT_EQ(0x0102, Us(Top(3)));
}

TEST_F(ReaderTest, ExplicitLongLengthVRsSkipReservedBytes) {
    std::string text(70000, 'x');
    FileBuilder f(TS_EXPLICIT_LE);
    f.Text(0x0008, 0x0060, "CS", "OT").Text(0x0040, 0xA160, "UT", text);
    f.Header(0x0009, 0x1001, "UN", 4).Raw("abcd").Text(0x0010, 0x0010, "PN", "Z ");
    ASSERT_EQ(0, Import(f.bytes()));
    ASSERT_EQ(4u, Keys(io_.object->root).size());
    EXPECT_EQ(70000u, Top(1)->length);
    EXPECT_EQ("abcd", Value(Top(2)));
    EXPECT_EQ("Z ", Value(Top(3)));
}

TEST_F(ReaderTest, PngSyntaxReadsExplicitLittleEndianAndMarksPixelData) {
    FileBuilder f;
    f.Preamble().Meta(PNG_Transfer_Syntax_UID).Syntax(TS_EXPLICIT_LE);
    f.US(0x0028, 0x0100, 16).Header(0x7FE0, 0x0010, "OB", 4).Raw("PNG!");
    ASSERT_EQ(0, Import(f.bytes()));
    EXPECT_EQ(3, io_.pass_ts);
    EXPECT_EQ(1, io_.pass_encoding);
    EXPECT_EQ(1, io_.in_ds_ts);
    const PixelDataDesc *pds = static_cast<const PixelDataDesc *>(Top(4)->value);
    ASSERT_NE(nullptr, pds);
    EXPECT_EQ(3, pds->src_ts);
    EXPECT_EQ(1, pds->src_encoding);
    EXPECT_EQ(f.size() - 4, pds->offset);
}

TEST_F(ReaderTest, BigEndianPixelDataStaysInTheFileBehindADescription) {
    FileBuilder f;
    f.Preamble().Meta(Explicit_VR_Big_Endian_Transfer_Syntax_UID).Syntax(TS_EXPLICIT_BE);
    f.US(0x0028, 0x0002, 1)
        .Text(0x0028, 0x0004, "CS", "MONOCHROME2 ")
        .Text(0x0028, 0x0008, "IS", "3 ");
    f.US(0x0028, 0x0010, 2).US(0x0028, 0x0011, 2).US(0x0028, 0x0100, 16).US(0x0028, 0x0101, 12);
    f.US(0x0028, 0x0102, 11);
    const size_t offset = f.size() + 12;
    f.Header(0x7FE0, 0x0010, "OW", 24).Raw(std::string(24, '\x7F'));
    f.Text(0xFFFC, 0xFFFC, "OB", "tail");
    ASSERT_EQ(0, Import(f.bytes()));
    EXPECT_EQ(1, io_.in_meta_ts);
    EXPECT_EQ(2, io_.pass_ts);
    DicomElementHead rec{};
    rec.group = 0x7FE0;
    rec.element = 0x0010;
    ASSERT_EQ(0, DO_searchForElement(io_.object, &rec));
    PixelDataDesc pds;
    memcpy(&pds, rec.value, sizeof pds);
    free(rec.value);
    EXPECT_EQ(path_, pds.filename);
    EXPECT_EQ(offset, pds.offset);
    EXPECT_EQ(24u, pds.length);
    EXPECT_EQ(2, pds.src_ts);
    EXPECT_EQ(0, pds.src_encoding);
    EXPECT_EQ(1, pds.samples);
    EXPECT_STREQ("MONOCHROME2 ", pds.photometric);
    EXPECT_EQ(1, pds.planar); /* absent */
    EXPECT_EQ(3, pds.frames);
    EXPECT_EQ(16, pds.bits_allocated);
    EXPECT_EQ(2, pds.bytes_per_sample);
    EXPECT_EQ(11, pds.high_bit);
    /* The element itself owns the name; the copy handed out does not. */
    EXPECT_EQ(0, rec.flags & DE_FLAG_OWNS_PDS_NAME);
    const DicomElement *pixel = io_.object->root->last_child->prev;
    ASSERT_EQ(0x7FE0, pixel->group);
    EXPECT_NE(0, pixel->flags & DE_FLAG_OWNS_PDS_NAME);
    EXPECT_EQ(sizeof(PixelDataDesc) + sizeof(PixelDataDesc) % 2, pixel->length);
    EXPECT_EQ("tail", Value(io_.object->root->last_child));
}

TEST_F(ReaderTest, FillPdsTakesFallbacksForOddValues) {
    FileBuilder f;
    f.Text(0x0028, 0x0004, "CS", "ABCDEFGHIJKLMNOPQRSTUV").Text(0x0028, 0x0008, "IS", "x1");
    f.Header(0x7FE0, 0x0010, "OW", 0);
    ASSERT_EQ(0, Import(f.bytes()));
    EXPECT_EQ(0u, Top(2)->length); /* pixel data of length 0 has no description */
    EXPECT_EQ(nullptr, Top(2)->value);
    PixelDataDesc pds{};
    EXPECT_EQ(0, fill_pds(&app_, io_.object, &pds));
    EXPECT_STREQ("ABCDEFGHIJKLMNOP", pds.photometric);
    EXPECT_EQ(1, pds.frames);
    EXPECT_EQ(1, pds.rows);
}

TEST_F(ReaderTest, ShortFilesKeepTheSyntaxInForce) {
    /* no element at all: refused, naming the file */
    EXPECT_EQ(-1, Import(""));
    EXPECT_NE(std::string::npos, log_.find("Error: File " + path_ + " holds no DICOM element.\n"));
    EXPECT_EQ(nullptr, io_.object);
    EXPECT_EQ(-1, Import(std::string(128, '\0') + "DICM"));
    EXPECT_NE(std::string::npos, log_.find("holds no DICOM element."));

    init_IOObject(&io_);
    io_.out_ds_ts = 2;
    EXPECT_EQ(-1, Import(std::string("\x08\0\x16\0", 4)));
    EXPECT_EQ(2, io_.ts_in_force);
    EXPECT_EQ(1, io_.out_meta_ts);
    EXPECT_EQ(nullptr, io_.object->root->first_child);
    EXPECT_NE(std::string::npos, log_.find("Error: Element header at offset 0x0 is cut short"));
}

TEST_F(ReaderTest, MissingOrHugeFilesFailWithoutTouchingTheIOObject) {
    EXPECT_EQ(-1, DO_importObjectFromFile(&app_, &defs_, dir_.file("absent").c_str(), &io_));
    EXPECT_EQ(nullptr, io_.object);
    EXPECT_EQ(-1, io_.in_ds_ts);

    const std::string big = dir_.file("big.dcm");
    WriteFile(big, "");
    ASSERT_EQ(0, truncate(big.c_str(), 0x100000000LL)); /* sparse: costs no disk */
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(-1, DO_importObjectFromFile(&app_, &defs_, big.c_str(), &io_));
    EXPECT_NE(std::string::npos, ::testing::internal::GetCapturedStderr().find("Error: File "));
    EXPECT_EQ(nullptr, io_.object);
}

/* ---- meta group checks -------------------------------------------------- */

TEST_F(ReaderTest, MetaGroupWithoutGroupLengthWarnsOnce) {
    FileBuilder f(TS_EXPLICIT_LE);
    f.Preamble().Header(0x0002, 0x0001, "OB", 2).Raw(std::string("\0\1", 2));
    f.Text(0x0002, 0x0010, "UI", std::string(Explicit_VR_Little_Endian_Transfer_Syntax_UID) + '\0');
    f.Text(0x0008, 0x0060, "CS", "CT");
    ASSERT_EQ(0, Import(f.bytes()));
    EXPECT_EQ(1u,
              Count("Warning: File Meta Element (0002,0000) is not present. (This is a mandatory "
                    "element.) Interpretation may not be correct.\n"));
    EXPECT_EQ(1, io_.in_ds_ts);
}

TEST_F(ReaderTest, MetaGroupVersionAndLengthWarnings) {
    FileBuilder f(TS_EXPLICIT_LE);
    f.Preamble().Header(0x0002, 0x0000, "UL", 2).U16(10);
    f.Header(0x0002, 0x0001, "OB", 4).Raw(std::string("\0\1\0\0", 4));
    f.Text(0x0008, 0x0060, "CS", "CT");
    ASSERT_EQ(0, Import(f.bytes()));
    EXPECT_EQ(1u, Count("Warning: File Meta Element (0002,0000) Value Length is not 4."));
    EXPECT_EQ(1u, Count("Warning: File Meta Information Header Version is not correct."));
    EXPECT_EQ(1u, Count("(0002,0000) is not present"));

    FileBuilder g(TS_EXPLICIT_LE);
    g.Preamble().UL(0x0002, 0x0000, 10).Header(0x0002, 0x0001, "OB", 2).Raw(std::string("\1\0", 2));
    ASSERT_EQ(0, Import(g.bytes()));
    EXPECT_EQ(1u, Count("Warning: This File Meta Information Header Version is not supported."));
    EXPECT_EQ(0u, Count("not present"));
}

TEST_F(ReaderTest, UnknownTransferSyntaxKeepsTheGuess) {
    FileBuilder f;
    f.Preamble()
        .Meta("1.2.840.10008.1.2.4.50")
        .Syntax(TS_EXPLICIT_LE)
        .Text(0x0008, 0x0060, "CS", "XC");
    ASSERT_EQ(0, Import(f.bytes()));
    EXPECT_EQ(1, io_.pass_ts);
    EXPECT_EQ("XC", Value(Top(3)));
}

TEST_F(ReaderTest, LowerGroupAfterTheMetaGroupStartsTheDataSet) {
    FileBuilder f;
    f.Preamble().Meta(Implicit_VR_Little_Endian_Transfer_Syntax_UID).Syntax(TS_IMPLICIT_LE);
    f.Header(0x0001, 0x0001, "", 4).Raw("abcd").Text(0x0008, 0x0060, "CS", "CT");
    ASSERT_EQ(0, Import(f.bytes()));
    EXPECT_EQ(4u, Top(3)->length);
    EXPECT_EQ("CT", Value(Top(4)));
    EXPECT_EQ(0, io_.in_ds_ts);
}

/* A meta group that starts with an element of group 0000: read big endian,
 * its next element would be of group 0200 and end the group at once; the
 * little-endian reading goes on through the meta group and wins. */
TEST_F(ReaderTest, MetaGroupOpeningWithGroup0000IsReadLittleEndian) {
    FileBuilder f(TS_EXPLICIT_LE);
    f.Preamble().Text(0x0000, 0x0050, "SH", "");
    f.Meta(Implicit_VR_Little_Endian_Transfer_Syntax_UID).Syntax(TS_IMPLICIT_LE);
    f.Text(0x0008, 0x0060, "CS", "CT").Text(0x0010, 0x0010, "PN", "Doe^Jane");
    ASSERT_EQ(0, Import(f.bytes())) << log_;
    EXPECT_EQ(TS_EXPLICIT_LE, io_.in_meta_ts);
    EXPECT_EQ(TS_IMPLICIT_LE, io_.in_ds_ts);
    EXPECT_EQ("Doe^Jane", Value(io_.object->root->last_child));
}

/* ---- faulty lengths ------------------------------------------------------ */

TEST_F(ReaderTest, OddLengthStopsTheReadKeepingEarlierElements) {
    FileBuilder f;
    f.Text(0x0008, 0x0060, "CS", "CT").Text(0x0010, 0x0010, "PN", "Odd").Raw("padding");
    EXPECT_EQ(-1, Import(f.bytes()));
    EXPECT_NE(std::string::npos,
              log_.find("Error: Length of element (0010,0010) is not an even number.\n"));
    EXPECT_EQ(std::vector<uint32_t>{0x00080060}, Keys(io_.object->root));
}

TEST_F(ReaderTest, LengthBeyondTheFileIsRefusedBeforeAllocating) {
    FileBuilder f;
    f.Text(0x0008, 0x0060, "CS", "CT").Header(0x0010, 0x0010, "PN", 0xFFFFFFF0).Raw("ab");
    EXPECT_EQ(-1, Import(f.bytes()));
    EXPECT_NE(
        std::string::npos,
        log_.find("Error: Length of element (0010,0010) is greater than the rest of the file: "
                  "0xfffffff0 > 0x2 (4294967280 > 2).\n"));
    EXPECT_EQ(1u, Keys(io_.object->root).size());
}

TEST_F(ReaderTest, HeaderCutShortAddsNoElement) {
    FileBuilder f(TS_EXPLICIT_LE);
    f.Text(0x0008, 0x0060, "CS", "CT").U16(0x0010).U16(0x0010).Raw("P");
    EXPECT_EQ(-1, Import(f.bytes()));
    EXPECT_NE(
        std::string::npos,
        log_.find("Error: Element header at offset 0xa is cut short by the end of the file.\n"));
    EXPECT_EQ(std::vector<uint32_t>{0x00080060}, Keys(io_.object->root));
}

/* ---- sequences and items ----------------------------------------------- */

TEST_F(ReaderTest, UndefinedLengthSequenceKeepsItemsAndDelimiters) {
    FileBuilder f(TS_EXPLICIT_LE);
    f.Header(0x0008, 0x1115, "SQ", 0xFFFFFFFF);
    f.Item().Text(0x0008, 0x0060, "CS", "CT").ItemEnd();
    f.Item().Text(0x0008, 0x0060, "CS", "MR").ItemEnd();
    f.SeqEnd().Text(0x0010, 0x0010, "PN", "After ");
    ASSERT_EQ(0, Import(f.bytes()));
    const DicomElement *seq = Top(0);
    EXPECT_EQ((std::vector<uint32_t>{0x00081115, 0x00100010}), Keys(io_.object->root));
    EXPECT_EQ(0xFFFFFFFFu, seq->length);
    EXPECT_EQ((std::vector<uint32_t>{0xFFFEE000, 0xFFFEE000, 0xFFFEE0DD}), Keys(seq));
    EXPECT_EQ((std::vector<uint32_t>{0x00080060, 0xFFFEE00D}), Keys(seq->first_child));
    EXPECT_EQ("MR", Value(seq->first_child->next->first_child));
    EXPECT_EQ(0u, seq->last_child->length);
}

TEST_F(ReaderTest, DefinedLengthSequenceStaysRawBytes) {
    FileBuilder content(TS_EXPLICIT_LE);
    content.Item(10).Text(0x0008, 0x0060, "CS", "CT");
    FileBuilder f(TS_EXPLICIT_LE);
    f.Header(0x0008, 0x1115, "SQ", (uint32_t)content.size()).Raw(content.bytes());
    f.Text(0x0010, 0x0010, "PN", "Next");
    ASSERT_EQ(0, Import(f.bytes()));
    EXPECT_EQ((std::vector<uint32_t>{0x00081115, 0x00100010}), Keys(io_.object->root));
    EXPECT_EQ(nullptr, Top(0)->first_child);
    EXPECT_EQ(content.bytes(), Value(Top(0)));
    EXPECT_EQ(io_.object->root, io_.object->insert_parent);
}

TEST_F(ReaderTest, UndefinedItemOutlivesADefinedSequenceEndingInIt) {
    FileBuilder inner(TS_EXPLICIT_LE);
    inner.Item(10).Text(0x0008, 0x0060, "CS", "CT");
    FileBuilder f(TS_EXPLICIT_LE);
    f.Header(0x0040, 0x0275, "SQ", 0xFFFFFFFF).Item();
    f.Header(0x0008, 0x1140, "SQ", (uint32_t)inner.size()).Raw(inner.bytes());
    f.Text(0x0010, 0x0010, "PN", "In").ItemEnd().SeqEnd().Text(0x0020, 0x0013, "IS", "1 ");
    ASSERT_EQ(0, Import(f.bytes()));
    const DicomElement *item = Top(0)->first_child;
    EXPECT_EQ((std::vector<uint32_t>{0x00081140, 0x00100010, 0xFFFEE00D}), Keys(item));
    EXPECT_EQ((std::vector<uint32_t>{0x00400275, 0x00200013}), Keys(io_.object->root));
}

TEST_F(ReaderTest, UndefinedLengthElementOpensASequence) {
    FileBuilder f;
    f.Header(0x0009, 0x1010, "", 0xFFFFFFFF).Item().Text(0x0008, 0x0060, "CS", "CT").ItemEnd();
    f.SeqEnd().Text(0x0010, 0x0010, "PN", "AB");
    ASSERT_EQ(0, Import(f.bytes()));
    EXPECT_EQ((std::vector<uint32_t>{0x00091010, 0x00100010}), Keys(io_.object->root));
    EXPECT_EQ((std::vector<uint32_t>{0xFFFEE000, 0xFFFEE0DD}), Keys(Top(0)));
    EXPECT_EQ((std::vector<uint32_t>{0x00080060, 0xFFFEE00D}), Keys(Top(0)->first_child));
    EXPECT_EQ(VR_SQ, Top(0)->vr) << "held as the sequence it is";
    EXPECT_EQ(io_.object->root, io_.object->insert_parent);
}

/* nested sequence-and-item levels around one element */
std::string Nested(int depth) {
    FileBuilder f(TS_EXPLICIT_LE);
    for (int i = 0; i < depth; i++)
        f.Header(0x0040, 0x0275, "SQ", 0xFFFFFFFF).Item();
    f.Text(0x0008, 0x0060, "CS", "CT");
    for (int i = 0; i < depth; i++)
        f.ItemEnd().SeqEnd();
    return f.bytes();
}

TEST_F(ReaderTest, DeepNestingIsReadUpToTheBound) {
    for (int depth : {11, READER_MAX_NESTING}) {
        ASSERT_EQ(0, Import(Nested(depth))) << depth;
        const DicomElement *e = Top(0);
        for (int i = 0; i < depth; i++)
            e = e->first_child->first_child;
        EXPECT_EQ(0x0060, e->element);
        EXPECT_EQ(io_.object->root, io_.object->insert_parent);
    }
    EXPECT_EQ(-1, Import(Nested(READER_MAX_NESTING + 1)));
    EXPECT_NE(
        std::string::npos,
        log_.find("Error: Element (0040,0275) is nested deeper than 256 sequences or items.\n"));
}

TEST_F(ReaderTest, ItemsBeyondTheBoundAreRefused) {
    FileBuilder f(TS_EXPLICIT_LE);
    f.Header(0x0040, 0x0275, "SQ", 0xFFFFFFFF);
    for (int i = 0; i <= READER_MAX_NESTING; i++)
        f.Item();
    EXPECT_EQ(-1, Import(f.bytes()));
    EXPECT_NE(std::string::npos, log_.find("Error: Element (fffe,e000) is nested deeper"));
}

/* ---- pixel data ------------------------------------------------------- */

/* Content under the letters UN is implicit VR LE in a big-endian data
 * set; neither it nor an icon inside an item changes what the data set and
 * its pixel data are recorded in. */
TEST_F(ReaderTest, UnContentAndIconsKeepTheDataSetSyntax) {
    FileBuilder f;
    f.Preamble().Meta(Explicit_VR_Big_Endian_Transfer_Syntax_UID).Syntax(TS_EXPLICIT_BE);
    f.US(0x0028, 0x0100, 16).US(0x0028, 0x0010, 2);
    f.Header(0x0040, 0x0275, "UN", 0xFFFFFFFF).Syntax(TS_IMPLICIT_LE).Item();
    f.US(0x0028, 0x0010, 300).US(0x0028, 0x0100, 8);
    const size_t icon_offset = f.size() + 8;
    f.Header(0x7FE0, 0x0010, "", 4).Raw("abcd").ItemEnd().SeqEnd().Syntax(TS_EXPLICIT_BE);
    f.Header(0x7FE0, 0x0010, "OW", 4).U16(0x0102).U16(0x0304);
    ASSERT_EQ(0, Import(f.bytes()));
    EXPECT_EQ(2, io_.in_ds_ts);
    EXPECT_EQ(2, io_.ts_in_force);
    const DicomElement *item = Top(5)->first_child;
    ASSERT_NE(nullptr, item);
    EXPECT_EQ((std::vector<uint32_t>{0x00280010, 0x00280100, 0x7FE00010, 0xFFFEE00D}), Keys(item));
    EXPECT_EQ(300, Us(item->first_child));
    const PixelDataDesc *icon =
        static_cast<const PixelDataDesc *>(item->first_child->next->next->value);
    EXPECT_EQ(icon_offset, icon->offset);
    EXPECT_EQ(8, icon->bits_allocated);
    EXPECT_EQ(300, icon->rows);
    EXPECT_EQ(0, icon->src_ts);
    const PixelDataDesc *image = static_cast<const PixelDataDesc *>(Top(6)->value);
    EXPECT_EQ(16, image->bits_allocated);
    EXPECT_EQ(2, image->rows);
    EXPECT_EQ(2, image->src_ts);
}

/* (0002,0010): blanks after the UID, a UID that says nothing (the data
 * set's syntax is then guessed), the standard's compressed syntaxes, and
 * the deflated one, which is refused. */
TEST_F(ReaderTest, TransferSyntaxNamedOrGuessed) {
    struct Row {
        std::string uid;
        int data_set_ts;
        int want;
    };
    for (const Row &row : std::vector<Row>{{"1.2.840.10008.1.2 ", TS_IMPLICIT_LE, 0},
                                           {"1.2.840.10008.1.2.2", TS_EXPLICIT_BE, 2},
                                           {"1.2.840.113619.5.2", TS_IMPLICIT_LE, 0},
                                           {"1.2.840.113619.5.2", TS_EXPLICIT_BE, 2},
                                           {"", TS_IMPLICIT_LE, 0},
                                           {"1.2.840.10008.1.2.4.50", TS_EXPLICIT_LE, 1},
                                           {"1.2.840.10008.1.2.1.99", TS_EXPLICIT_LE, -1}}) {
        SCOPED_TRACE(row.uid + " " + std::to_string(row.data_set_ts));
        FileBuilder f;
        f.Preamble().Meta(row.uid).Syntax(row.data_set_ts).Text(0x0008, 0x0060, "CS", "OT");
        if (row.want < 0) {
            EXPECT_EQ(-1, Import(f.bytes()));
            EXPECT_NE(std::string::npos,
                      log_.find("Error: File " + path_ + " is in the deflated transfer syntax"));
            continue;
        }
        ASSERT_EQ(0, Import(f.bytes()));
        EXPECT_EQ(row.want, io_.in_ds_ts);
        EXPECT_EQ(row.want, io_.pass_ts);
        EXPECT_EQ("OT", Value(Top(3)));
    }
}

/* Bare data sets whose first group alone misleads about the byte order,
 * and an implicit VR one whose first length spells the lower-case "na":
 * each is read in the syntax it was written in, all the way through. */
TEST_F(ReaderTest, BareDataSetsAreReadInTheSyntaxThatMakesSense) {
    const uint32_t undefined = 0xFFFFFFFF;
    struct Row {
        int ts;
        uint16_t group;
        bool sequence;
    };
    for (const Row &row : std::vector<Row>{{TS_EXPLICIT_LE, 0x4453, false},
                                           {TS_EXPLICIT_LE, 0x6000, false},
                                           {TS_EXPLICIT_LE, 0x2000, false},
                                           {TS_EXPLICIT_LE, 0x1001, false},
                                           {TS_EXPLICIT_LE, 0x2001, true},
                                           {TS_EXPLICIT_BE, 0x6000, false},
                                           {TS_EXPLICIT_BE, 0x2000, false},
                                           {TS_EXPLICIT_BE, 0x0100, false},
                                           {TS_EXPLICIT_BE, 0x2001, true},
                                           {TS_EXPLICIT_LE, 0x0008, false},
                                           {TS_EXPLICIT_BE, 0x0008, false},
                                           {TS_IMPLICIT_LE, 0x0040, false}}) {
        SCOPED_TRACE(std::to_string(row.ts) + " " + std::to_string(row.group));
        io_.out_meta_ts = io_.out_ds_ts = -1;
        FileBuilder f(row.ts);
        if (row.ts == TS_IMPLICIT_LE) /* length 0x616E: the bytes "na" */
            f.Text(row.group, 0xA160, "", std::string(0x616E, 'x'));
        else if (row.sequence) /* a private sequence without creator */
            f.Header(row.group, 0x1010, "SQ", undefined).Item().Text(0x0008, 0x0060, "CS", "OT");
        else
            f.Text(row.group, 0x0010, "LO", "ACME 1.0").US(row.group, 0x0011, 512);
        if (row.sequence)
            f.ItemEnd().SeqEnd();
        f.Text(0xFFFC, 0xFFFC, "OB", "pad!");
        ASSERT_EQ(0, Import(f.bytes())) << log_;
        EXPECT_EQ(row.ts, io_.in_ds_ts);
        EXPECT_EQ(row.group, Top(0)->group);
        EXPECT_EQ("pad!", Value(io_.object->root->last_child));
        if (row.sequence) {
            EXPECT_EQ("OT", Value(Top(0)->first_child->first_child));
        } else if (row.ts != TS_IMPLICIT_LE) {
            EXPECT_EQ(512, Us(Top(1)));
        }
    }
}

/* The letters XX stand for a 32-bit length with nothing reserved before it. */
TEST_F(ReaderTest, XxLettersHaveA32BitLength) {
    for (int ts : {TS_EXPLICIT_LE, TS_EXPLICIT_BE}) {
        SCOPED_TRACE(ts);
        io_.out_meta_ts = io_.out_ds_ts = -1;
        FileBuilder f(ts);
        f.Text(0x0008, 0x0060, "CS", "OT").U16(0x0009).U16(0x1001).Raw("XX").U32(6).Raw("abcdef");
        f.Text(0x0010, 0x0010, "PN", "Doe^Jane");
        ASSERT_EQ(0, Import(f.bytes())) << log_;
        EXPECT_EQ(ts, io_.in_ds_ts);
        EXPECT_EQ("abcdef", Value(Top(1)));
        EXPECT_EQ("Doe^Jane", Value(Top(2)));
    }
}

/* The private syntax 1.2.840.113619.5.2: the data set implicit VR little
 * endian, every pixel data element big endian, an icon's too; one-byte
 * samples lie in big-endian words like those of an explicit big-endian OW. */
TEST_F(ReaderTest, BigEndianPixelSyntaxMarksEveryPixelDataElement) {
    for (uint16_t bits : {16, 8}) {
        SCOPED_TRACE(bits);
        FileBuilder f;
        f.Preamble().Meta("1.2.840.113619.5.2").Syntax(TS_IMPLICIT_LE);
        f.US(0x0028, 0x0100, bits).Header(0x0088, 0x0200, "", 0xFFFFFFFF).Item();
        f.US(0x0028, 0x0100, 16).Header(0x7FE0, 0x0010, "", 4).U32(0x01020304);
        f.ItemEnd().SeqEnd().Header(0x7FE0, 0x0010, "", 4).U32(0x01020304);
        ASSERT_EQ(0, Import(f.bytes())) << log_;
        EXPECT_EQ(TS_IMPLICIT_LE, io_.in_ds_ts);
        EXPECT_EQ(TS_IMPLICIT_LE, io_.pass_ts);
        const DicomElement *pixel = io_.object->root->last_child;
        const DicomElement *icon = Top(4)->first_child->first_child->next;
        ASSERT_EQ(0x7FE0, pixel->group);
        ASSERT_EQ(0x7FE0, icon->group);
        const PixelDataDesc *pds = static_cast<const PixelDataDesc *>(pixel->value);
        EXPECT_EQ(TS_EXPLICIT_BE, pds->src_ts);
        EXPECT_EQ(bits == 8 ? 2 : 0, pds->src_word_bytes);
        EXPECT_EQ(TS_EXPLICIT_BE, static_cast<const PixelDataDesc *>(icon->value)->src_ts);
    }
}

TEST_F(ReaderTest, EncapsulatedPixelDataIsSkippedToItsDelimiter) {
    FileBuilder f(TS_EXPLICIT_LE);
    f.Preamble().Meta("1.2.840.10008.1.2.4.90").Syntax(TS_EXPLICIT_LE);
    const size_t offset = f.size() + 12;
    f.Header(0x7FE0, 0x0010, "OB", 0xFFFFFFFF);
    f.Item(0).Item(4).Raw("abcd").Item(6).Raw("efghij").SeqEnd();
    f.Text(0xFFFC, 0xFFFC, "OB", "pad!");
    ASSERT_EQ(0, Import(f.bytes()));
    const DicomElement *pixel = Top(3);
    ASSERT_EQ(0x7FE0, pixel->group);
    EXPECT_EQ(nullptr, pixel->first_child);
    const PixelDataDesc *pds = static_cast<const PixelDataDesc *>(pixel->value);
    EXPECT_EQ(0xFFFFFFFFu, pds->length);
    EXPECT_EQ(offset, pds->offset);
    EXPECT_EQ("pad!", Value(Top(4)));
}

TEST_F(ReaderTest, SkipValueNeverPassesTheEnd) {
    FileBuilder f(TS_EXPLICIT_BE);
    f.Item(4).Raw("abcd").Item(0x100).Raw("xy");
    const std::string path = dir_.file("skip.bin");
    WriteFile(path, f.bytes());
    FILE *file = fopen(path.c_str(), "rb");
    ASSERT_NE(nullptr, file);
    _skip_value(file, TS_EXPLICIT_BE, 0xFFFFFFFF);
    EXPECT_EQ((long)f.size(), ftell(file));
    rewind(file);
    _skip_value(file, TS_EXPLICIT_BE, 6);
    EXPECT_EQ(6, ftell(file));
    _skip_value(file, TS_EXPLICIT_BE, 1000);
    EXPECT_EQ((long)f.size(), ftell(file));
    rewind(file);
    uint16_t g, e;
    uint32_t len;
    _read_itemtag(file, TS_EXPLICIT_BE, &g, &e, &len);
    EXPECT_EQ(0xFFFE, g);
    EXPECT_EQ(0xE000, e);
    EXPECT_EQ(4u, len);
    fclose(file);
}

/* An item of encapsulated pixel data (of the image or of an icon) or of a
 * sequence of undefined length that runs past the end of the file refuses
 * the file as any such element does, named, and adds no pixel data; items
 * that end where the file does are no fault. */
TEST_F(ReaderTest, ItemsRunningPastTheEndAreRefused) {
    const std::string too_long =
        "Length of element (fffe,e000) is greater than the rest of the file: 0x64 > 0x4 (100 > 4).";
    struct Row {
        std::string name;
        int ts;
        std::string content; /* after the meta group */
        std::string message; /* empty: read without fault */
    };
    auto encapsulated = [](int ts, bool icon, const std::string &tail) {
        FileBuilder f(ts);
        if (icon)
            f.Header(0x0088, 0x0200, "SQ", 0xFFFFFFFF).Item();
        f.Header(0x7FE0, 0x0010, "OB", 0xFFFFFFFF).Item(0).Item(4).Raw("abcd").Raw(tail);
        return f.bytes();
    };
    FileBuilder cut_item(TS_EXPLICIT_LE);
    cut_item.Item(100).Raw("abcd");
    const std::string cut = "\xFE\xFF\x00\xE0";
    const std::vector<Row> rows = {
        {"fragment", TS_EXPLICIT_LE, encapsulated(TS_EXPLICIT_LE, false, cut_item.bytes()),
         too_long},
        {"big-endian fragment", TS_EXPLICIT_BE,
         encapsulated(TS_EXPLICIT_BE, false,
                      FileBuilder(TS_EXPLICIT_BE).Item(100).Raw("abcd").bytes()),
         too_long},
        {"icon fragment", TS_EXPLICIT_LE, encapsulated(TS_EXPLICIT_LE, true, cut_item.bytes()),
         too_long},
        {"fragment header cut short", TS_EXPLICIT_LE, encapsulated(TS_EXPLICIT_LE, false, cut),
         "is cut short by the end of the file."},
        {"sequence item", TS_EXPLICIT_LE,
         FileBuilder(TS_EXPLICIT_LE).Header(0x0008, 0x1115, "SQ", 0xFFFFFFFF).bytes() +
             cut_item.bytes(),
         too_long},
        {"fragments up to the end", TS_EXPLICIT_LE, encapsulated(TS_EXPLICIT_LE, false, ""), ""},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        FileBuilder f;
        f.Preamble().Meta(row.ts == TS_EXPLICIT_BE ? "1.2.840.10008.1.2.2"
                                                   : "1.2.840.10008.1.2.4.90");
        f.Syntax(row.ts).Text(0x0008, 0x0060, "CS", "OT").Raw(row.content);
        const int status = Import(f.bytes());
        if (row.message.empty()) {
            EXPECT_EQ(0, status) << log_;
            continue;
        }
        EXPECT_EQ(-1, status);
        EXPECT_NE(std::string::npos, log_.find(row.message)) << log_;
        EXPECT_FALSE(HoldsPixelData(io_.object->root));
    }
}

} // namespace
