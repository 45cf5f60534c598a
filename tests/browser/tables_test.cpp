/*
 * tables_test.cpp -- the browser's tables over an object definition built
 * here by hand on the elements of real sample files: a whole scripted
 * session through modules, attributes, the item question, "ni"/"pi"
 * wrapping, values, empty tables and a sequence without Item definitions;
 * and the value screen of text, pixel data (native and encapsulated) and an
 * overlong value, checked against what dcmdump shows of the files.
 */
#include <gtest/gtest.h>

#include <deque>
#include <string>

#include "console_util.h"
#include "tables.h"
#include "testutil.h"

namespace {

using browsertest::ScriptedConsole;

/* One sample read with the bundled tag definitions. */
class LoadedFile {
public:
    explicit LoadedFile(const std::string &name) : env_("QUENOR_DEF_PATH", testutil::DefsDir())
    {
        EXPECT_EQ(0, InitTagPrvDef(&app, &defs_, 0));
        init_IOObject(&io_);
        EXPECT_EQ(0, DO_importObjectFromFile(&app, &defs_, testutil::SamplePath(name).c_str(), &io_));
    }
    ~LoadedFile()
    {
        DO_closeObject(&io_);
        DoneTagPrvDef(&app, &defs_);
    }
    /* The child of parent (the top level when null) with the tag; items
     * count from 1 among equal tags. */
    DicomElement *find(uint32_t tag, DicomElement *parent = nullptr, int nth = 1)
    {
        for (DicomElement *e = (parent ? parent : io_.object->root)->first_child; e; e = e->next)
            if (((uint32_t)e->group << 16 | e->element) == tag && --nth == 0)
                return e;
        ADD_FAILURE() << std::hex << tag;
        return nullptr;
    }

    AppData app = {};

private:
    testutil::ScopedEnv env_;
    DefHolder defs_ = {};
    IOObject io_ = {};
};

/* An object definition tree made by hand; the nodes live in deques. */
class Tree {
public:
    Tree(const char *name, const char *title) { abc.name = (char *)name, abc.title = (char *)title; }
    ModuleDef *module(const char *ref, const char *title, char usage)
    {
        ModuleDef &m = modules_.emplace_back();
        m.reference = (char *)ref, m.title = (char *)title, m.usage[0] = usage, m.text = (char *)"";
        m.owner = &abc;
        m.prev = abc.last;
        (abc.last ? abc.last->next : abc.first) = &m;
        abc.last = &m;
        return &m;
    }
    AttrDef *attr(ModuleDef *m, uint32_t tag, const char *name, const char *type,
                  DicomElement *e = nullptr, const char *text = "")
    {
        AttrDef *a = node(tag, name, type, e, text, ATTR_OWNER_MODULE, m);
        link(a, m->first, m->last);
        return a;
    }
    AttrDef *child(AttrDef *parent, uint32_t tag, const char *name, const char *type,
                   DicomElement *e = nullptr)
    {
        AttrDef *a = node(tag, name, type, e, "", ATTR_OWNER_ATTR, parent);
        link(a, parent->first_child, parent->last_child);
        return a;
    }
    ABCDef abc = {};

private:
    AttrDef *node(uint32_t tag, const char *name, const char *type, DicomElement *e,
                  const char *text, uint16_t kind, void *owner)
    {
        AttrDef &a = attrs_.emplace_back();
        a.tag = tag, a.name = (char *)name, a.text = (char *)text, a.element = e;
        snprintf(a.type, sizeof a.type, "%s", type);
        a.owner_kind = kind, a.owner = owner;
        return &a;
    }
    static void link(AttrDef *a, AttrDef *&first, AttrDef *&last)
    {
        a->prev = last;
        (last ? last->next : first) = a;
        last = a;
    }
    std::deque<ModuleDef> modules_;
    std::deque<AttrDef> attrs_;
};

const char kLongName[] = "Structure Set ROI Sequence, named beyond forty characters";

TEST(Tables, SessionThroughModulesSequencesAndValues)
{
    LoadedFile f("rtstruct.dcm");
    Tree t("RTStructureSet", "RT Structure Set IOD");
    ModuleDef *ss = t.module("C.8.8.5", "Structure Set", 'M');
    t.module("P.R.I.V.A.T.E", "Private Data", 'U');
    t.attr(ss, 0x30060002, "Structure Set Label", "1", f.find(0x30060002), "label");
    t.attr(ss, 0x30060006, "Structure Set Description", "3");
    DicomElement *roi_seq = f.find(0x30060020);
    AttrDef *seq = t.attr(ss, 0x30060020, kLongName, "3", roi_seq);
    for (int k = 1; k <= 3; ++k) {
        DicomElement *item = f.find(0xFFFEE000, roi_seq, k);
        AttrDef *def = t.child(seq, 0xFFFEE000, "Item", "3", item);
        t.child(def, 0x30060022, "ROI Number", "1", f.find(0x30060022, item));
        t.child(def, 0x30060026, "ROI Name", "2", f.find(0x30060026, item));
    }
    t.attr(ss, 0x30060039, "ROI Contour Sequence", "3", f.find(0x30060039));

    /* Page size 2: the sequence is row 1 of the attribute table's second
     * page, and "b" from its items comes back to that page. */
    const std::string script =
        "1\n"        /* module C.8.8.5 */
        "n\n1\n"     /* second page, the sequence */
        "2\n"        /* which item: the second */
        "2\n\n"      /* its ROI Name, then Enter */
        "ni\nni\n"   /* item 3, item 1 */
        "pi\n"       /* back to item 3 */
        "b\n"        /* the attribute table, second page */
        "2\n"        /* ROI Contour Sequence: no Item definitions */
        "pi\n"       /* no item shown here: the table again */
        "p\n2\n\n"   /* Structure Set Description: unbound */
        "b\n"        /* module table */
        "2\n\n1\n"   /* the empty module: Enter and a number */
        "b\nb\nn\n"  /* back, back: the quit question, declined */
        "1\nq!\n";
    ScriptedConsole sc(script);
    Browser b;
    b.app = &f.app;
    b.page_size = 2;
    snprintf(b.con.program, sizeof b.con.program, "tagwalk");
    b.con.in = sc.con.in;
    b.con.out = sc.con.out;
    EXPECT_EQ(0, browse(b, &t.abc));

    const std::string P = "\ntagwalk> ";
    const std::string modules =
        "\n\nRTStructureSet   RT Structure Set IOD                    \n\n"
        " 1.  C.8.8.5          Structure Set             M                          \n"
        " 2.  P.R.I.V.A.T.E    Private Data              U                          \n" + P;
    const std::string attrs_title = "\n\nC.8.8.5          Structure Set                           \n\n";
    const std::string attrs1 = attrs_title +
        " 1.  * 30060002 Structure Set Label          SH 1  label                       \n"
        " 2.    30060006 Structure Set Description    ST 3                              \n" + P;
    const std::string attrs2 = attrs_title +
        " 1.  * 30060020 Structure Set ROI Sequence,  SQ 3                              \n"
        " 2.  * 30060039 ROI Contour Sequence         SQ 3                              \n" + P;
    auto item = [&](int k) {
        return "\n\n30060020 Structure Set ROI Sequence, named beyond / Item " +
               std::to_string(k) + "\n\n" +
               " 1.  * 30060022 ROI Number                   IS 1                              \n"
               " 2.  * 30060026 ROI Name                     LO 2                              \n" +
               P;
    };
    const std::string pause = "\nPress <Enter> key to continue\n";
    const std::string expected =
        modules + attrs1 + attrs2 +
        "This sequence has 3 items.\nWhich item to open?\n" +
        item(2) + "\n(3006,0026) LO     12  Isocenter 1 \n" + pause +
        item(2) + item(3) + item(1) + item(3) + attrs2 +
        "This sequence has 0 item.\n" + attrs2 + attrs2 + attrs1 +
        "\nno value is present\n" + pause + attrs1 + modules +
        "\n\nP.R.I.V.A.T.E    Private Data                            \n\n" + P +
        "\n\nP.R.I.V.A.T.E    Private Data                            \n\n" + P +
        "Unknown command: 1\nType h for help on valid commands.\n" + P + modules +
        "Do you really want to quit? " + modules + attrs1;
    EXPECT_EQ(expected, sc.screen());
}


struct ValueCase {
    const char *file;
    std::vector<uint32_t> path; /* tags from the top level; an item tag takes the next number as its position */
    std::string line;
};

const ValueCase kValues[] = {
    {"CT_small.dcm", {0x00100010}, "(0010,0010) PN     22  CompressedSamples^CT1 "},
    {"CT_small.dcm", {0x00080016}, "(0008,0016) UI     26  1.2.840.10008.5.1.4.1.1.2"},
    {"CT_small.dcm", {0x00280010}, "(0028,0010) US      2  128"},
    {"CT_small.dcm", {0x00091027}, "(0009,1027) ??      4  B52C6733H"},
    {"CT_small.dcm", {0x7FE00010}, "(7fe0,0010) OX  32768"},
    {"JPEG2000.dcm", {0x7FE00010}, "(7fe0,0010) OX     -1"},
    {"rtstruct.dcm", {0x30060039, 0xFFFEE000, 1, 0x30060040, 0xFFFEE000, 1, 0x30060050},
     "(3006,0050) DS    100  -200.0\\150.0\\-200.0\\-200.0\\-150.0\\-200.0\\200.0\\-150.0\\-2"},
};

TEST(Tables, ValueScreens)
{
    for (const ValueCase &c : kValues) {
        LoadedFile f(c.file);
        DicomElement *e = nullptr;
        for (size_t i = 0; i < c.path.size(); ++i) {
            const uint32_t tag = c.path[i];
            const int nth = tag == 0xFFFEE000 ? (int)c.path[++i] : 1;
            e = f.find(tag, e, nth);
        }
        ScriptedConsole sc("\n");
        Browser b;
        b.app = &f.app;
        b.con.in = sc.con.in;
        b.con.out = sc.con.out;
        show_value(b, e);
        EXPECT_EQ("\n" + c.line + "\n\nPress <Enter> key to continue\n", sc.screen()) << c.file;
        EXPECT_EQ("", sc.unread());
    }
    ScriptedConsole sc("x\ny\n");
    Browser b;
    b.con.in = sc.con.in;
    b.con.out = sc.con.out;
    show_value(b, nullptr);
    EXPECT_EQ("\nno value is present\n\nPress <Enter> key to continue\n", sc.screen());
    EXPECT_EQ("y\n", sc.unread());
}


/* Commands that open every row of a list of attribute definitions once, in
 * order, and come back to its table after each. */
struct Walker {
    AppData *app;
    int page_size;
    int values = 0; /* value screens opened */
    int absent = 0; /* ... of them without an element */

    std::string rows(AttrDef *first)
    {
        std::string s;
        int i = 0;
        for (AttrDef *a = first; a; a = a->next, ++i) {
            if (i > 0 && i % page_size == 0)
                s += "n\n"; /* the table came back on the page of the row before */
            s += std::to_string(i % page_size + 1) + "\n" + open(a);
        }
        return s;
    }
    std::string open(AttrDef *a)
    {
        int vr = -1;
        getVR(app, a->tag, &vr);
        if (vr != VR_SQ) {
            ++values;
            absent += a->element == nullptr;
            return "\n";
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

size_t Count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

/* Every row of every table of every sample that has an object definition,
 * opened once: no command is unknown to the table it reaches, every value
 * screen and every absent value is where the tree says, and the walk ends
 * at the final q!. */
TEST(Tables, EverySampleWalkedRowByRow)
{
    int walked = 0;
    for (const std::string &name : testutil::SampleFiles()) {
        testutil::ScopedEnv env("QUENOR_DEF_PATH", testutil::DefsDir());
        AppData app = {};
        DefHolder defs = {};
        IOObject io;
        ASSERT_EQ(0, InitTagPrvDef(&app, &defs, 0));
        init_IOObject(&io);
        if (DO_importObjectFromFile(&app, &defs, testutil::SamplePath(name).c_str(), &io) == 0 &&
            InitUABCDef(&app, &defs, io.object, 0) == 0) {
            Walker w{&app, 7};
            std::string script;
            int i = 0;
            for (ModuleDef *m = defs.abc->first; m; m = m->next, ++i) {
                if (i > 0 && i % w.page_size == 0)
                    script += "n\n";
                script += std::to_string(i % w.page_size + 1) + "\n" + w.rows(m->first) + "b\n";
            }
            ScriptedConsole sc(script + "q!\nleft over\n");
            Browser b;
            b.app = &app;
            b.page_size = w.page_size;
            b.con.in = sc.con.in;
            b.con.out = sc.con.out;
            EXPECT_EQ(0, browse(b, defs.abc));
            const std::string out = sc.screen();
            EXPECT_EQ(0u, Count(out, "Unknown command")) << name;
            EXPECT_EQ(0u, Count(out, "quit?")) << name;
            EXPECT_EQ((size_t)w.values, Count(out, "Press <Enter> key to continue")) << name;
            EXPECT_EQ((size_t)w.absent, Count(out, "no value is present")) << name;
            EXPECT_EQ("left over\n", sc.unread()) << name;
            EXPECT_GT(w.values, w.absent) << name;
            ++walked;
            DoneABCDef(&defs);
        }
        DO_closeObject(&io);
        DoneTagPrvDef(&app, &defs);
    }
    EXPECT_GE(walked, 11);
}

} // namespace
