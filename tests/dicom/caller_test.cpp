/*
 * caller_test.cpp -- the exported element API used as a caller uses it, on
 * real and built files, with nothing but medcore.h: an element read,
 * changed and handed back (pixel data included, also given as bytes), elements
 * added, or refused where items are raw bytes, after a
 * file whose last element is a sequence of defined length, a tag a file
 * holds twice, top-level adds by cursor and definition, and private links
 * and definition links after whatever frees the element they name.  Every
 * saved file must be read by dcmdump without a warning and by pydicom.
 */
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "file_builder.h"
#include "medcore.h"
#include "testutil.h"

namespace {

using dicomtest::FileBuilder;
using testutil::TempDir;

const uint32_t kUndefined = 0xFFFFFFFFu;
const std::string kSecondaryCapture = std::string("1.2.840.10008.5.1.4.1.1.7") + '\0';

DicomElementHead Record(uint16_t group, uint16_t element, const std::string *text = nullptr) {
    DicomElementHead rec{};
    rec.group = group;
    rec.element = element;
    if (text) {
        rec.value = const_cast<char *>(text->data());
        rec.length = (uint32_t)text->size();
    }
    return rec;
}

std::string Text(const DicomElementHead &rec) {
    return rec.value ? std::string(static_cast<const char *>(rec.value), rec.length) : "";
}

std::string Quoted(const std::string &s) {
    return "\"" + s + "\"";
}

/* The bundled definitions and an IOObject, as a program sets them up. */
class Caller : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(testutil::LoadTagDefs(&app_, "callertest"));
        LoadPrivateDefs();
        init_IOObject(&io_);
        saved_mask_ = log_mask(0);
    }
    void TearDown() override {
        DoneABCDef(&defs_);
        DO_closeObject(&io_);
        DoneTagPrvDef(&app_, &defs_);
        log_mask(saved_mask_);
    }
    void LoadPrivateDefs() {
        const std::string prv = testutil::DefsDir() + "/prv_tab.def";
        ASSERT_EQ(0, InitDICOMPrvDef(&app_, &defs_, prv.c_str(), 1));
    }
    int16_t Import(const std::string &path) {
        return DO_importObjectFromFile(&app_, &defs_, path.c_str(), &io_);
    }
    std::string Built(const std::string &name, const FileBuilder &file) {
        dicomtest::KeepAsSeed(name + ".dcm", file.bytes());
        const std::string path = dir_.file(name + ".dcm");
        testutil::WriteFile(path, file.bytes());
        return path;
    }
    /* The top-level element's value as DO_searchForElement copies it out;
     * "(absent)" when there is none. */
    std::string Search(uint16_t group, uint16_t element) {
        DicomElementHead rec = Record(group, element);
        if (DO_searchForElement(io_.object, &rec) != 0)
            return "(absent)";
        std::string text = Text(rec);
        free(rec.value);
        return text;
    }
    /* The value of the private element, by creator, as the search gives it;
     * "(not found)" on -1, which must leave the record without value. */
    std::string SearchPrivate(const char *creator, uint16_t group, uint16_t element) {
        DicomElementHead rec = Record(group, element);
        if (DO_searchForPrivateElement(&defs_, nullptr, creator, &rec) != 0) {
            EXPECT_EQ(nullptr, rec.value);
            EXPECT_EQ(0u, rec.length);
            return "(not found)";
        }
        std::string text = Text(rec);
        free(rec.value);
        return text;
    }

    /* The top-level definition of the tag in the first module holding one. */
    AttrDef *TopDefinition(uint16_t group, uint16_t element) {
        for (ModuleDef *m = defs_.abc ? defs_.abc->first : nullptr; m; m = m->next)
            for (AttrDef *d = m->first; d; d = d->next)
                if (d->tag == ((uint32_t)group << 16 | element))
                    return d;
        return nullptr;
    }
    /* Tags of the definitions, at any depth, linked outside the tree. */
    std::string LinksOutsideTree() {
        std::set<const DicomElement *> tree;
        std::function<void(const DicomElement *)> take = [&](const DicomElement *e) {
            for (e = e ? e->first_child : nullptr; e; e = e->next)
                take(*tree.insert(e).first);
        };
        take(io_.object ? io_.object->root : nullptr);
        std::string out;
        std::function<void(const AttrDef *)> check = [&](const AttrDef *d) {
            for (; d; check(d->first_child), d = d->next)
                out += d->element && !tree.count(d->element) ? " " + std::to_string(d->tag) : "";
        };
        for (const ModuleDef *m = defs_.abc ? defs_.abc->first : nullptr; m; m = m->next)
            check(m->first);
        return out;
    }

    testutil::ScopedEnv def_path_{"QUENOR_DEF_PATH", testutil::DefsDir()};
    TempDir dir_;
    AppData app_{};
    DefHolder defs_{};
    IOObject io_{};
    int16_t saved_mask_ = 0;
};

/* ---- read, change, hand back, add; then save ---- */

struct Use {
    std::string name;
    std::string input;                                   /* file to import */
    std::function<void(AppData *, DicomObject *)> calls; /* the caller's work */
    std::map<std::string, std::string> values;           /* saved top-level values */
    std::vector<std::string> same;                       /* saved as in the input */
    std::vector<std::string> gone = {};                  /* not saved */
};

/* CT_small's pixel data element copied out and handed back in by `give`,
 * twice; the pixels saved are the file's. */
Use PixelsHandedBack(
    const char *way,
    const std::function<int16_t(AppData *, DicomObject *, DicomElementHead *)> &give) {
    auto calls = [give](AppData *app, DicomObject *obj) {
        for (int round = 0; round < 2; round++) {
            DicomElementHead pixels = Record(0x7FE0, 0x0010);
            ASSERT_EQ(0, DO_searchForElement(obj, &pixels));
            ASSERT_EQ(sizeof(PixelDataDesc), pixels.length);
            EXPECT_EQ(0, give(app, obj, &pixels));
            free(pixels.value);
        }
    };
    return {std::string("pixel data through ") + way,
            testutil::SamplePath("CT_small.dcm"),
            calls,
            {},
            {"7FE0,0010"}};
}

int16_t ThroughCursor(AppData *app, DicomObject *obj, DicomElementHead *rec) {
    DicomElement *pos = nullptr; /* the cursor on the element: DE_add replaces it */
    EXPECT_EQ(0, DE_search(app, obj, &pos, rec->group, rec->element, 0));
    return DE_add(app, obj, rec);
}

/* Three absent top-level tags, each added another way. */
void AddThreeWays(AppData *app, DicomObject *obj) {
    static const std::string kChanged = "BY CHANGE ", kAdded = "BY ADD", kCursor = "BY CURSOR ";
    DicomElementHead changed = Record(0x0008, 0x0080, &kChanged);
    EXPECT_EQ(0, DO_changeElement(app, obj, &changed));
    DicomElementHead added = Record(0x0010, 0x1000, &kAdded);
    DOU_defXVRTypeByTags(app, added.group, added.element, &added.vr);
    EXPECT_EQ(0, DO_addElement(app, obj, &added));
    DicomElement *pos = nullptr; /* an absent tag empties the cursor */
    EXPECT_EQ(-1, DE_search(app, obj, &pos, 0x0032, 0x4000, 0));
    DicomElementHead cursor = Record(0x0032, 0x4000, &kCursor);
    DOU_defXVRTypeByTags(app, cursor.group, cursor.element, &cursor.vr);
    EXPECT_EQ(0, DE_add(app, obj, &cursor));
    for (const DicomElementHead *rec : {&changed, &added, &cursor}) {
        DicomElementHead copy = Record(rec->group, rec->element);
        EXPECT_EQ(0, DO_searchForElement(obj, &copy)) << std::hex << rec->element;
        free(copy.value);
    }
}

/* A sequence, then an element, added at the top level: not inside it. */
Use SequenceThenElement(
    const char *way,
    const std::function<int16_t(AppData *, DicomObject *, DicomElementHead *)> &add) {
    auto calls = [add](AppData *app, DicomObject *obj) {
        static const std::string kIssuer = "ISSUER";
        DicomElementHead seq{nullptr, 0x0008, 0x1140, kUndefined, VR_SQ, 0};
        DicomElementHead issuer{(void *)kIssuer.data(), 0x0010, 0x0021, 6, VR_LO, 0};
        EXPECT_EQ(0, add(app, obj, &seq));
        EXPECT_EQ(0, add(app, obj, &issuer));
    };
    return {std::string("a sequence, then an element, ") + way,
            testutil::SamplePath("MR_small.dcm"),
            calls,
            {{"0010,0021", "ISSUER"}},
            {}};
}

FileBuilder EndingInDefinedLengthSequence() {
    FileBuilder f;
    f.Preamble().Meta(Explicit_VR_Little_Endian_Transfer_Syntax_UID).Syntax(TS_EXPLICIT_LE);
    f.Text(0x0008, 0x0016, "UI", kSecondaryCapture);
    f.Text(0x0010, 0x0010, "PN", "DOE^JANE");
    /* (0008,1115) holding one item of (0008,1150), all of defined length */
    f.Header(0x0008, 0x1115, "SQ", 8 + 8 + 6).Item(8 + 6).Text(0x0008, 0x1150, "UI", "1.2.34");
    return f;
}

/* (0008,0060) first as an undefined-length element holding an empty item,
 * then again with the value "CT": the later one wins, all of it. */
FileBuilder ModalityTwice() {
    FileBuilder f;
    f.Preamble().Meta(Implicit_VR_Little_Endian_Transfer_Syntax_UID).Syntax(TS_IMPLICIT_LE);
    f.Text(0x0008, 0x0016, "UI", kSecondaryCapture);
    f.Header(0x0008, 0x0060, "", kUndefined).Item().ItemEnd().SeqEnd();
    f.Text(0x0008, 0x0060, "", "CT");
    f.Text(0x0010, 0x0010, "", "DOE^JANE");
    return f;
}

/* (0008,1140) as a sequence holding an empty item, then with the letters
 * UI and a value: the later wins, a value as its letters say. */
FileBuilder SequenceThenValue() {
    FileBuilder f(TS_EXPLICIT_LE);
    f.Header(0x0008, 0x1140, "SQ", kUndefined).Item().ItemEnd().SeqEnd();
    return f.Text(0x0008, 0x1140, "UI", std::string("9.9.9", 6));
}

TEST_F(Caller, ReadChangeHandBackAndSave) {
    auto at_unbound_definition = [this](AppData *app, DicomObject *obj, DicomElementHead *rec) {
        DoneABCDef(&defs_);
        EXPECT_EQ(0, InitUABCDef(app, &defs_, obj, 0));
        AttrDef *def = TopDefinition(rec->group, rec->element);
        EXPECT_TRUE(def && !def->element);
        return DEF_add(app, &defs_, obj, def, rec);
    };
    /* An 8 x 10 image of 8 bits: as many bytes as a PixelDataDesc has. */
    static const std::string kPixels = std::string(10, '\0') + std::string(70, '\x7F'), kEmpty;
    FileBuilder image8x10;
    image8x10.US(0x0028, 0x0010, 8).US(0x0028, 0x0011, 10).US(0x0028, 0x0100, 8);
    const std::string image = Built("image", image8x10.Header(0x7FE0, 0x0010, "", 80).Raw(kPixels));
    FileBuilder offsets(TS_EXPLICIT_LE); /* encapsulated pixels, an Extended Offset Table */
    offsets.Numbers(0x7FE0, 0x0001, "OV", 8, {0}).Numbers(0x7FE0, 0x0002, "OV", 8, {0});
    offsets.Header(0x7FE0, 0x0010, "OB", kUndefined).Item(0).SeqEnd();
    const std::vector<Use> uses = {
        {"pixel data left out with its extended offset table",
         Built("extended_offsets", offsets),
         [this](AppData *, DicomObject *) { io_.copy_pixels = 0; },
         {},
         {},
         {"7FE0,0001", "7FE0,0002"}},
        SequenceThenElement("each by DE_add on an empty cursor",
                            [](AppData *app, DicomObject *obj, DicomElementHead *rec) {
                                obj->cursor = nullptr;
                                return DE_add(app, obj, rec);
                            }),
        SequenceThenElement("each by DEF_add at its unbound definition", at_unbound_definition),
        {"80 bytes of pixels through DO_addElement and DE_add",
         image,
         [](AppData *app, DicomObject *obj) {
             DicomElementHead pixels = Record(0x7FE0, 0x0010, &kPixels);
             EXPECT_EQ(0, DO_addElement(app, obj, &pixels));
             EXPECT_EQ(0, ThroughCursor(app, obj, &pixels));
         },
         {},
         {"7FE0,0010"}},
        PixelsHandedBack("DO_changeElement", DO_changeElement),
        PixelsHandedBack("DE_add", ThroughCursor),
        PixelsHandedBack("DO_addElement", DO_addElement),
        {"adds after a real file ending in a defined-length sequence",
         testutil::SamplePath("test-SR.dcm"),
         AddThreeWays,
         {{"0008,0080", "BY CHANGE"}, {"0010,1000", "BY ADD"}, {"0032,4000", "BY CURSOR"}},
         {"0040,A730"}},
        {"adds after a built file ending in a defined-length sequence",
         Built("ends_in_defined_length_sequence", EndingInDefinedLengthSequence()),
         AddThreeWays,
         {{"0008,0080", "BY CHANGE"}, {"0010,1000", "BY ADD"}, {"0032,4000", "BY CURSOR"}},
         {"0008,1115"}},
        {"a tag the file holds twice",
         Built("duplicate_tag_holding_items", ModalityTwice()),
         [](AppData *app, DicomObject *obj) {
             DicomElement *pos = nullptr;
             ASSERT_EQ(0, DE_search(app, obj, &pos, 0x0008, 0x0060, 0));
             EXPECT_EQ(nullptr, pos->first_child) << "the earlier one's items stayed";
             EXPECT_EQ(2u, pos->length);
         },
         {{"0008,0060", "CT"}, {"0010,0010", "DOE^JANE"}},
         {}},
        {"a sequence, then a value of its tag: the later, as its letters say",
         Built("sequence_then_value", SequenceThenValue()),
         [](AppData *, DicomObject *) {},
         {{"0008,1140", "9.9.9"}},
         {}},
        {"a tag the file holds twice, the later empty",
         Built("later_empty",
               FileBuilder().Text(0x0008, 0x0060, "", "MR").Text(0x0008, 0x0060, "", "")),
         [](AppData *, DicomObject *) {},
         {{"0008,0060", ""}},
         {}},
        {"a sequence kept as raw bytes: no item appended, its items kept when replaced by its "
         "tag three ways; no item added at the top level",
         testutil::SamplePath("CT_small.dcm"),
         [this](AppData *app, DicomObject *obj) {
             DicomElement *pos = nullptr;
             EXPECT_EQ(-1, DE_search(app, obj, &pos, 0x0010, 0x1002, -1));
             EXPECT_EQ(-1, DEF_search(app, &defs_, obj, nullptr, 0x0010, 0x1002, -1));
             DicomElementHead seq{nullptr, 0x0010, 0x1002, 0, VR_SQ, 0};
             EXPECT_EQ(0, DO_changeElement(app, obj, &seq));
             EXPECT_EQ(0, ThroughCursor(app, obj, &seq));
             DoneABCDef(&defs_);
             EXPECT_EQ(0, InitUABCDef(app, &defs_, obj, 0));
             EXPECT_EQ(0, DEF_add(app, &defs_, obj, TopDefinition(0x0010, 0x1002), &seq));
             DicomElementHead item{nullptr, 0xFFFE, 0xE000, kUndefined, VR_XX, 0};
             obj->cursor = obj->root->first_child;
             EXPECT_EQ(-1, DE_add(app, obj, &item));
         },
         {},
         {"0010,1002"}},
        {"an empty value added at an unbound definition and without one",
         image,
         [this](AppData *app, DicomObject *obj) {
             AttrDef unbound{};
             DicomElementHead at_def = Record(0x0010, 0x1000, &kEmpty);
             DicomElementHead no_def = Record(0x0032, 0x4000, &kEmpty);
             EXPECT_EQ(0, DEF_add(app, &defs_, obj, &unbound, &at_def));
             EXPECT_EQ(0, DEF_add(app, &defs_, obj, nullptr, &no_def));
         },
         {{"0010,1000", ""}, {"0032,4000", ""}},
         {}},
    };
    for (const Use &use : uses) {
        SCOPED_TRACE(use.name);
        ASSERT_EQ(0, Import(use.input));
        io_.copy_pixels = 1;
        use.calls(&app_, io_.object);
        for (const auto &v : use.values) {
            std::string found = Search((uint16_t)std::stoul(v.first.substr(0, 4), nullptr, 16),
                                       (uint16_t)std::stoul(v.first.substr(5), nullptr, 16));
            found.erase(found.find_last_not_of(std::string(" \0", 2)) + 1); /* the padding */
            EXPECT_EQ(v.second, found) << v.first;
        }

        io_.out_meta_ts = TS_EXPLICIT_LE;
        io_.out_ds_ts = TS_EXPLICIT_LE;
        io_.meta_header = 1;
        const std::string out = dir_.file("saved.dcm");
        ASSERT_EQ(0, DO_copyObjectToFile(&app_, &io_, out.c_str()));

        auto dump = testutil::Run({"/usr/bin/dcmdump", out});
        EXPECT_EQ(0, dump.status);
        EXPECT_EQ("", dump.err);
        std::string json = "{\"values\": {";
        for (const auto &v : use.values)
            json += (json.back() == '{' ? "" : ", ") + Quoted(v.first) + ": " + Quoted(v.second);
        json += "}, \"same\": [";
        for (const std::string &tag : use.same)
            json += (json.back() == '[' ? "" : ", ") + Quoted(tag);
        json += "], \"gone\": [";
        for (const std::string &tag : use.gone)
            json += (json.back() == '[' ? "" : ", ") + Quoted(tag);
        json += "]}";
        auto oracle = testutil::Run(
            {"/usr/bin/python3", std::string(QUENOR_SOURCE_DIR) + "/tests/dicom/caller_oracle.py",
             use.input, out, json});
        EXPECT_EQ(0, oracle.status) << oracle.out << oracle.err;
    }
}

/* ---- private searches after the element found goes ---- */

TEST_F(Caller, PrivateSearchNeverReachesAnElementThatWent) {
    const std::string sample = testutil::SamplePath("CT_small.dcm");
    const std::string refused =
        Built("odd_length", FileBuilder().Text(0x0008, 0x0016, "", "1.2.3"));
    const std::string other =
        Built("no_private", FileBuilder().Text(0x0008, 0x0016, "", kSecondaryCapture));
    DicomElementHead suite = Record(0x0009, 0x1002);
    auto add_later = [&] {
        DicomElementHead later = Record(0x0009, 0x1002);
        ASSERT_EQ(0, DO_addElement(&app_, io_.object, &later));
    };
    struct Loss {
        const char *name;
        std::function<void()> act;
        const char *private_after = "(not found)";
    };
    const std::vector<Loss> losses = {
        {"a second import that the reader refuses", [&] { EXPECT_EQ(-1, Import(refused)); }},
        {"a second import without it", [&] { EXPECT_EQ(0, Import(other)); }},
        {"DO_closeObject", [&] { EXPECT_EQ(0, DO_closeObject(&io_)); }},
        {"DO_openObject on the IOObject", [&] { EXPECT_EQ(0, DO_openObject(&io_)); }},
        {"DO_deleteElement", [&] { DO_deleteElement(&app_, io_.object, &suite); }},
        {"DE_delete",
         [&] {
             DicomElement *pos = nullptr;
             ASSERT_EQ(0, DE_search(&app_, io_.object, &pos, 0xFFFF, 0xFFFF, 0));
             EXPECT_EQ(0, DE_delete(&app_, io_.object, &suite));
         }},
        {"its block given another creator, then bound again",
         [&] {
             const std::string text = "OTHER ";
             DicomElementHead creator = Record(0x0009, 0x0010, &text);
             DicomElement *pos = nullptr;
             ASSERT_EQ(0, DE_search(&app_, io_.object, &pos, 0x0009, 0x0010, 0));
             EXPECT_EQ(0, DE_add(&app_, io_.object, &creator));
             EXPECT_EQ(0, BindPrvDef(&app_, &defs_, io_.object, 1));
             EXPECT_EQ("CT01", SearchPrivate("OTHER ", 0x0009, 0x1002));
         }},
        {"SortCodes keeping a later one of its tag",
         [&] {
             add_later();
             SortCodes(io_.object->root);
         }},
        {"DO_checkObject keeping a later one of its tag",
         [&] {
             add_later();
             EXPECT_EQ(0, DO_checkObject(&app_, io_.object));
         }},
        {"DO_copyObjectToFile keeping a later one of its tag",
         [&] {
             add_later();
             EXPECT_EQ(0, DO_copyObjectToFile(&app_, &io_, dir_.file("later.dcm").c_str()));
         }},
        {"a stray item delimiter, bound, that the save's check drops",
         [&] {
             DicomElementHead stray = Record(0xFFFE, 0xE00D);
             ASSERT_EQ(0, DO_addElement(&app_, io_.object, &stray));
             ASSERT_EQ(0, BindABCDef(&app_, &defs_, io_.object, 1));
             EXPECT_EQ(0, DO_checkObject(&app_, io_.object));
         },
         "CT01"},
    };
    for (const Loss &loss : losses) {
        SCOPED_TRACE(loss.name);
        ASSERT_EQ(0, Import(sample));
        ASSERT_EQ(0, InitUABCDef(&app_, &defs_, io_.object, 0));
        ASSERT_EQ("CT01", SearchPrivate("GEMS_IDEN_01", 0x0009, 0x1002));
        loss.act();
        EXPECT_EQ(loss.private_after, SearchPrivate("GEMS_IDEN_01", 0x0009, 0x1002));
        EXPECT_EQ("", LinksOutsideTree()); /* and the verifier reads them all */
        VerifyObjectByModule(&app_, &defs_);
        DoneABCDef(&defs_);
    }

    /* Definitions freed before the object they are bound to, then loaded
     * again: closing that object leaves the new ones alone. */
    ASSERT_EQ(0, Import(sample));
    DonePrvDef(&defs_);
    LoadPrivateDefs();
    ASSERT_EQ(0, BindPrvDef(&app_, &defs_, io_.object, 0));
    ASSERT_EQ("CT01", SearchPrivate("GEMS_IDEN_01", 0x0009, 0x1002));
    EXPECT_EQ(0, DO_closeObject(&io_));
    EXPECT_EQ("(not found)", SearchPrivate("GEMS_IDEN_01", 0x0009, 0x1002));
}

} // namespace
