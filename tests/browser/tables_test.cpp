/*
 * tables_test.cpp -- the browser's tables in-process on real samples bound
 * to their object definitions: the value screen of text, binary, private,
 * pixel data (native and encapsulated) and overlong values against what
 * dcmdump shows of the files, and text values holding control characters;
 * a later item of a long sequence bound while shown; sequences and items
 * kept as stored bytes; a sequence without Item definitions and an
 * overlong sequence name; and every row of every table of every sample
 * opened once.
 */
#include <gtest/gtest.h>

#include <string>

#include "../dicom/file_builder.h"
#include "console_util.h"
#include "tables.h"
#include "testutil.h"

namespace {

using browsertest::ScriptedConsole;

/* One sample (or a file given by its path) read with the bundled
 * definitions and, when it has an object definition, bound to it. */
class LoadedFile {
public:
    explicit LoadedFile(const std::string &name) : env_("QUENOR_DEF_PATH", testutil::DefsDir()) {
        EXPECT_EQ(0, InitTagPrvDef(&app, &defs, 0));
        init_IOObject(&io_);
        const std::string path = name[0] == '/' ? name : testutil::SamplePath(name);
        read = DO_importObjectFromFile(&app, &defs, path.c_str(), &io_) == 0;
        bound = read && InitUABCDef(&app, &defs, io_.object, 0) == 0;
    }
    ~LoadedFile() {
        DoneABCDef(&defs);
        DO_closeObject(&io_);
        DoneTagPrvDef(&app, &defs);
    }
    /* The child of parent (the top level when null) with the tag; items
     * count from 1 among equal tags. */
    DicomElement *find(uint32_t tag, DicomElement *parent = nullptr, int nth = 1) {
        for (DicomElement *e = (parent ? parent : io_.object->root)->first_child; e; e = e->next)
            if (((uint32_t)e->group << 16 | e->element) == tag && --nth == 0)
                return e;
        ADD_FAILURE() << std::hex << tag;
        return nullptr;
    }
    ModuleDef *module(const char *reference) {
        for (ModuleDef *m = defs.abc->first; m; m = m->next)
            if (strcmp(m->reference, reference) == 0)
                return m;
        return nullptr;
    }

    AppData app = {};
    DefHolder defs = {};
    bool read = false;
    bool bound = false;

private:
    testutil::ScopedEnv env_;
    IOObject io_ = {};
};

Browser On(ScriptedConsole &sc, AppData *app, int page_size = 15) {
    Browser b;
    b.con = sc.con;
    b.app = app;
    b.page_size = page_size;
    return b;
}

struct ValueCase {
    const char *file;
    std::vector<uint32_t>
        path; /* tags from the top level; an item tag takes the next number as its position */
    std::string line;
};

const ValueCase kValues[] = {
    {"CT_small.dcm", {0x00100010}, "(0010,0010) PN     22  CompressedSamples^CT1 "},
    {"CT_small.dcm", {0x00080016}, "(0008,0016) UI     26  1.2.840.10008.5.1.4.1.1.2"},
    {"CT_small.dcm", {0x00280010}, "(0028,0010) US      2  128"},
    {"CT_small.dcm", {0x00091027}, "(0009,1027) ??      4  B52C6733H"},
    {"CT_small.dcm", {0x7FE00010}, "(7fe0,0010) OX  32768"},
    {"JPEG2000.dcm", {0x7FE00010}, "(7fe0,0010) OX     -1"},
    {"rtstruct.dcm",
     {0x30060039, 0xFFFEE000, 1, 0x30060040, 0xFFFEE000, 1, 0x30060050},
     "(3006,0050) DS    100  -200.0\\150.0\\-200.0\\-200.0\\-150.0\\-200.0\\200.0\\-150.0\\-2"},
};

TEST(Tables, ValueScreens) {
    for (const ValueCase &c : kValues) {
        LoadedFile f(c.file);
        DicomElement *e = nullptr;
        for (size_t i = 0; i < c.path.size(); ++i) {
            const uint32_t tag = c.path[i];
            const int nth = tag == 0xFFFEE000 ? (int)c.path[++i] : 1;
            e = f.find(tag, e, nth);
        }
        ScriptedConsole sc("\n");
        Browser b = On(sc, &f.app);
        show_value(b, e);
        EXPECT_EQ("\n" + c.line + "\n\nPress <Enter> key to continue\n", sc.screen()) << c.file;
        EXPECT_EQ("", sc.unread());
    }
    ScriptedConsole sc("x\ny\n");
    Browser b = On(sc, nullptr);
    show_value(b, nullptr);
    EXPECT_EQ("\nno value is present\n\nPress <Enter> key to continue\n", sc.screen());
    EXPECT_EQ("y\n", sc.unread());
}

/* Text values holding line ends (those of the Text Value of test-SR.dcm)
 * and other control characters stay on their one screen line. */
TEST(Tables, ValueScreenShowsControlCharactersAsBlanks) {
    testutil::TempDir dir;
    const std::string file = dir.file("texts.dcm");
    testutil::WriteFile(file, dicomtest::FileBuilder(TS_IMPLICIT_LE)
                                  .Text(0x0010, 0x4000, "LT", "Sample Text\rA\nB\r\nC\n\r")
                                  .Text(0x0040, 0xA160, "UT", "\x1b[2Jgone\ttab\x7f\x07 !")
                                  .bytes());
    LoadedFile f(file);
    ASSERT_TRUE(f.read);
    const std::pair<uint32_t, std::string> cases[] = {
        {0x00104000, "(0010,4000) LT     20  Sample Text A B  C  "},
        {0x0040A160, "(0040,a160) UT     16   [2Jgone tab   !"},
    };
    for (const auto &c : cases) {
        ScriptedConsole sc("\n");
        Browser b = On(sc, &f.app);
        show_value(b, f.find(c.first));
        EXPECT_EQ("\n" + c.second + "\n\nPress <Enter> key to continue\n", sc.screen());
    }
}

/* The items of a long sequence after the fourth get their attribute
 * definitions when shown: the sixth item reads as the second, which holds
 * the same elements, one of them known only to the catch-all. */
TEST(Tables, LaterItemOfALongSequenceShowsAsAnEarlyOne) {
    dicomtest::FileBuilder file(TS_IMPLICIT_LE);
    file.Text(0x0008, 0x0016, "UI", std::string("1.2.840.10008.5.1.4.1.1.88.11", 30))
        .Header(0x0040, 0xA730, "SQ", 0xFFFFFFFF);
    for (int i = 0; i < 6; ++i)
        file.Item()
            .Text(0x0008, 0x0060, "CS", "MR")
            .Text(0x0040, 0xA010, "CS", "CONTAINS")
            .ItemEnd();
    testutil::TempDir dir;
    testutil::WriteFile(dir.file("long.dcm"), file.SeqEnd().bytes());
    LoadedFile f(dir.file("long.dcm"));
    ASSERT_TRUE(f.bound);
    auto item_screen = [&](const char *number) {
        ScriptedConsole sc(number + std::string("\nq!\n"));
        Browser b = On(sc, &f.app, 30);
        EXPECT_EQ(NAV_QUIT, open_sequence(b, f.module("C.17.3")->last));
        return sc.screen();
    };
    std::string second = item_screen("2");
    const std::string sixth = item_screen("6");
    EXPECT_NE(std::string::npos, second.find(" 1.  * 0040A010 Relationship Type "));
    EXPECT_NE(std::string::npos, second.find("23.  * 00080060 Modality "));
    second.replace(second.find("/ Item 2"), 8, "/ Item 6");
    EXPECT_EQ(second, sixth);
    /* Left, its definitions go; shown again, they come back alike. */
    EXPECT_NE(0, f.module("C.17.3")->last->last_child->flags & ATTR_FLAG_ITEM_DEFERRED);
    EXPECT_EQ(nullptr, f.module("C.17.3")->last->last_child->first_child);
    EXPECT_EQ(sixth, item_screen("6"));
}

/* Sequences and items of defined length are kept as the bytes read: the
 * walk counts the stored items by their headers, nested content of
 * undefined length and a length past the value included, and opens none. */
TEST(Tables, ItemsKeptAsStoredAreCountedNotOpened) {
    using dicomtest::FileBuilder;
    auto item = [](int ts, const FileBuilder &content) {
        return FileBuilder(ts).Item((uint32_t)content.size()).Raw(content.bytes()).bytes();
    };
    auto code = [](int ts) { return FileBuilder(ts).Text(0x0040, 0xA010, "CS", "CONTAINS"); };
    const int LE = TS_EXPLICIT_LE, BE = TS_EXPLICIT_BE, IM = TS_IMPLICIT_LE;
    FileBuilder nested(IM), un(BE);
    nested.Item().Header(0x0040, 0xA730, "SQ", 0xFFFFFFFF).Item().ItemEnd().SeqEnd().ItemEnd();
    un.Header(0x0009, 0x1010, "UN", 0xFFFFFFFF).Syntax(IM).Item().ItemEnd().SeqEnd();
    const std::string items = " items.\nIts items are kept as stored and cannot be opened.\n";
    const std::string one = "1 item.\nIts item is kept as stored and cannot be opened.\n";
    const struct {
        int ts;
        uint32_t length; /* of the sequence: of the items, or undefined */
        std::string items, answer, screen;
    } cases[] = {
        {LE, 0, item(LE, code(LE)) + item(LE, code(LE)) + item(LE, code(LE)), "", "3" + items},
        {IM, 0, nested.bytes() + item(IM, code(IM)), "", "2" + items},
        {BE, 0, item(BE, un), "", one},
        {LE, 0, item(LE, code(LE)) + FileBuilder(LE).Item(1000).bytes(), "", one},
        {LE, 0xFFFFFFFF, item(LE, code(LE)) + item(LE, code(LE)), "2\n",
         "2 items.\nWhich item to open?\nItem 2 is kept as stored and cannot be opened.\n"},
    };
    for (const auto &c : cases) {
        FileBuilder file(c.ts);
        file.Text(0x0008, 0x0016, "UI", std::string("1.2.840.10008.5.1.4.1.1.88.11", 30))
            .Header(0x0040, 0xA730, "SQ", c.length ? c.length : (uint32_t)c.items.size())
            .Raw(c.items);
        if (c.length)
            file.SeqEnd();
        testutil::TempDir dir;
        testutil::WriteFile(dir.file("stored.dcm"), file.bytes());
        LoadedFile f(dir.file("stored.dcm"));
        ASSERT_TRUE(f.bound);
        ScriptedConsole sc(c.answer);
        Browser b = On(sc, &f.app);
        EXPECT_EQ(NAV_SHOW_AGAIN, open_sequence(b, f.module("C.17.3")->last));
        EXPECT_EQ("This sequence has " + c.screen, sc.screen());
    }
}

/* Commands that open every row of a list of attribute definitions once, in
 * order, and come back to its table after each. */
struct Walker {
    AppData *app;
    int page_size;
    int values = 0; /* value screens opened */
    int absent = 0; /* ... of them without an element */
    int stored = 0; /* sequences holding bytes, not items */

    std::string rows(AttrDef *first) {
        std::string s;
        int i = 0;
        for (AttrDef *a = first; a; a = a->next, ++i) {
            if (i > 0 && i % page_size == 0)
                s += "n\n"; /* the table came back on the page of the row before */
            s += std::to_string(i % page_size + 1) + "\n" + open(a);
        }
        return s;
    }
    std::string open(AttrDef *a) {
        int vr = -1;
        getVR(app, a->tag, &vr);
        if (vr != VR_SQ) {
            ++values;
            absent += a->element == nullptr;
            return "\n";
        }
        if (a->element && a->element->value && !a->element->first_child) {
            ++stored;
            return "";
        }
        std::string s;
        int n = 0;
        for (AttrDef *item = a->first_child; item; item = item->next, ++n)
            s += (n > 0 ? "ni\n" : "") + rows(item->first_child);
        if (n == 0)
            return "";
        return (n > 1 ? "1\n" : "") + s + "b\n";
    }
};

size_t Count(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

/* Every row of every table of every sample that has an object definition,
 * opened once: no command is unknown to the table it reaches, every value
 * screen and every absent value is where the tree says, and the walk ends
 * at the final q!. */
TEST(Tables, EverySampleWalkedRowByRow) {
    int walked = 0;
    for (const std::string &name : testutil::SampleFiles()) {
        LoadedFile f(name);
        if (!f.bound)
            continue;
        Walker w{&f.app, 7};
        std::string script;
        int i = 0;
        for (ModuleDef *m = f.defs.abc->first; m; m = m->next, ++i) {
            if (i > 0 && i % w.page_size == 0)
                script += "n\n";
            script += std::to_string(i % w.page_size + 1) + "\n" + w.rows(m->first) + "b\n";
        }
        ScriptedConsole sc(script + "q!\nleft over\n");
        Browser b = On(sc, &f.app, w.page_size);
        EXPECT_EQ(0, browse(b, f.defs.abc));
        const std::string out = sc.screen();
        EXPECT_EQ(0u, Count(out, "Unknown command")) << name;
        EXPECT_EQ(0u, Count(out, "quit?")) << name;
        EXPECT_EQ((size_t)w.values, Count(out, "Press <Enter> key to continue")) << name;
        EXPECT_EQ((size_t)w.absent, Count(out, "no value is present")) << name;
        EXPECT_EQ((size_t)w.stored, Count(out, "kept as stored and cannot be opened.")) << name;
        EXPECT_EQ("left over\n", sc.unread()) << name;
        EXPECT_GT(w.values, w.absent) << name;
        ++walked;
    }
    EXPECT_GE(walked, 11);
}

/* What the bundled definitions never hold: a sequence attribute without
 * Item definitions, and a sequence name beyond the 40 characters of an
 * item title. */
TEST(Tables, SequenceWithoutItemDefinitionsAndOverlongName) {
    LoadedFile f("rtstruct.dcm");
    ASSERT_TRUE(f.bound);
    AttrDef *contours = f.module("C.8.8.6")->first; /* ROI Contour Sequence */
    AttrDef *rois = f.module("C.8.8.5")->last;      /* Structure Set ROI Sequence */
    ASSERT_EQ(0x30060039u, contours->tag);
    ASSERT_EQ(0x30060020u, rois->tag);
    AttrDef *items = contours->first_child;
    contours->first_child = nullptr;
    char *name = rois->name;
    char long_name[] = "Structure Set ROI Sequence, named beyond forty characters";
    rois->name = long_name;

    /* The sequence, back to its table; "pi" shows the table again; "b".
     * Then the ROI sequence's third item. */
    ScriptedConsole sc("1\npi\nb\n3\nq!\n");
    Browser b = On(sc, &f.app);
    EXPECT_EQ(NAV_SHOW_AGAIN, show_attribute_table(b, f.module("C.8.8.6")));
    EXPECT_EQ(NAV_QUIT, open_sequence(b, rois));
    contours->first_child = items;
    rois->name = name;

    const std::string contour_table =
        "\n\nC.8.8.6          ROI Contour                             \n\n"
        " 1.  * 30060039 ROI Contour Sequence         SQ 1                              \n"
        "\ntagwalk> ";
    const std::string expected =
        contour_table + "This sequence has 0 item.\n" + contour_table + contour_table +
        "This sequence has 3 items.\nWhich item to open?\n"
        "\n\n30060020 Structure Set ROI Sequence, named beyond / Item 3\n\n";
    EXPECT_EQ(expected, sc.screen().substr(0, expected.size()));
    /* Item numbers go up to the item count: 40000 of 40001 items. */
    std::vector<AttrDef> many(40001, *rois->first_child);
    for (size_t i = 1; i < many.size(); ++i)
        many[i - 1].next = &many[i], many[i].prev = &many[i - 1];
    many.back().next = nullptr;
    AttrDef *three = rois->first_child;
    rois->first_child = many.data();
    ScriptedConsole sc2("40000\nq!\n");
    Browser b2 = On(sc2, &f.app);
    EXPECT_EQ(NAV_QUIT, open_sequence(b2, rois));
    rois->first_child = three;
    EXPECT_NE(std::string::npos, sc2.screen().find("Sequence / Item 40000\n")) << sc2.screen();
}

} // namespace
