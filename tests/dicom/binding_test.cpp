/*
 * binding_test.cpp -- binding an object definition to objects the tests
 * build, link by link: module attributes, catch-all definitions, overlay
 * and curve groups re-targeted or copied, items paired with cloned Item
 * definitions and freed on rebinding, the DEF_ edits, InitUABCDef; and the
 * samples with the bundled definitions against what pydicom reads.
 */
#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "abcdefs_test_util.h"

namespace {

using abctest::Hex;
using abctest::Load;
using abctest::Picture;

const uint32_t kUndef = 0xFFFFFFFFu;
const char kPrivate[] = "{\"P.R.I.V.A.T.E\", \"Private Data\", 'U', \"\"}";

class Binding : public abctest::DefsFixture {
protected:
    void SetUp() override {
        DefsFixture::SetUp();
        init_IOObject(&io);
        ASSERT_EQ(0, DO_openObject(&io));
    }
    void TearDown() override {
        DoneABCDef(&defs);
        DO_closeObject(&io);
        DefsFixture::TearDown();
    }
    /* The object "OB" with these module entries and this module file. */
    void Define(const std::string &modules, const std::string &module_file) {
        DoneABCDef(&defs);
        ASSERT_EQ(0, Objects("{\"OB\", \"Object\", {" + modules + "}}", "OB").result);
        ASSERT_EQ(0, Modules(module_file).result);
    }
    void Add(uint32_t tag, uint32_t length = 0) {
        DicomElementHead h = {};
        h.group = (uint16_t)(tag >> 16);
        h.element = (uint16_t)tag;
        h.length = length;
        DOU_defXVRTypeByTags(&app, h.group, h.element, &h.vr);
        ASSERT_EQ(0, DO_addElement(&app, io.object, &h));
    }
    /* A new object from "tag tag{[tag ...] [...]} ...": braces hold the
     * items of an undefined-length sequence, brackets an item's elements;
     * FFFEE00D inside an item is stored and closes it. */
    void Build(const std::string &text) {
        ASSERT_EQ(0, DO_openObject(&io));
        bool closed = false;
        for (size_t i = 0; i < text.size();) {
            const char c = text[i];
            if (c == ' ') {
                i++;
            } else if (c == '[' || c == ']' || c == '}') {
                if (c == '[')
                    Add(0xFFFEE000, kUndef);
                else if (c == '}' || !closed)
                    Add(c == '}' ? 0xFFFEE0DD : 0xFFFEE00D, kUndef);
                closed = false;
                i++;
            } else {
                const uint32_t tag = (uint32_t)std::stoul(text.substr(i, 8), nullptr, 16);
                i += 8;
                const bool seq = i < text.size() && text[i] == '{';
                closed = tag == 0xFFFEE00D;
                Add(tag, seq ? kUndef : 0);
                i += seq;
            }
        }
    }
    int16_t Bind(int16_t rebind) { return BindABCDef(&app, &defs, io.object, rebind); }

    /* Tags of the elements without their bound flag, at every depth. */
    static void Unbound(const DicomElement *parent, std::string *out) {
        for (const DicomElement *c = parent->first_child; c; c = c->next) {
            if (!(c->flags & DE_FLAG_BOUND))
                *out += (out->empty() ? "" : " ") + Hex((uint32_t)c->group << 16 | c->element);
            Unbound(c, out);
        }
    }
    std::string Unbound() {
        std::string out;
        Unbound(io.object->root, &out);
        return out;
    }
    DicomElement *Top(uint32_t tag) {
        DicomElement *c = io.object->root->first_child;
        while (c && ((uint32_t)c->group << 16 | c->element) != tag)
            c = c->next;
        return c;
    }
    /* The definitions from d on, at any depth; made_only: those the
     * binding made, but copies of Item definitions, which go. */
    static void Defs(const AttrDef *d, std::set<const AttrDef *> *out, bool made_only) {
        for (; d; d = d->next) {
            if (!made_only || ((d->flags & ATTR_FLAG_MADE_BY_BINDING) && d->tag != 0xFFFEE000))
                out->insert(d);
            Defs(d->first_child, out, made_only);
        }
    }
    AttrDef *Attr(int module, uint32_t tag) {
        ModuleDef *m = defs.abc->first;
        while (m && module--)
            m = m->next;
        AttrDef *d = m ? m->first : nullptr;
        while (d && d->tag != tag)
            d = d->next;
        return d;
    }

    IOObject io;
};

const char kOverlays[] =
    "{\"C.9.2\", \"Overlay Plane\", 'U', \"\"}, {\"C.9.3\", \"Multi-frame\", 'U', \"\"}, ";
const char kOverlayModules[] =
    "{\"C.9.2\", \"\", {{0x60000010, \"Rows\", \"1\", \"\"}, {0x60000011, \"Columns\", \"1\", "
    "\"\"},"
    " {0x00100010, \"N\", \"3\", \"\"}, {0x60003000, \"Data\", \"1C\", \"\"}}}"
    "{\"C.9.3\", \"\", {{0x60000015, \"Frames\", \"1\", \"\"}}}"
    "{\"C.10.2\", \"\", {{0x50000010, \"Points\", \"1\", \"\"}, {0x50003000, \"Data\", \"1\", "
    "\"\"}}}";
// (0008,1115) items hold (0020,000E) and the sequence (0008,1140), whose
// items hold (0008,1150); the items of (0040,0275) hold (0040,1001).
const char kSeqModules[] =
    "{\"S\", \"\", {{0x00081115, \"Series\", \"1\", \"\"}, {0x00400275, \"Request\", \"3\", \"\"}}}"
    "{\"S_1\", \"\", {{0x0020000E, \"Series UID\", \"1\", \"\"}, {0x00081140, \"Images\", \"2\", "
    "\"\"}}}"
    "{\"S_1_1\", \"\", {{0x00081150, \"Class\", \"1\", \"\"}}}"
    "{\"S_2\", \"\", {{0x00401001, \"Procedure\", \"1\", \"\"}}}";
const std::string kSeqObject = std::string("{\"S\", \"\", 'M', \"\"}, ") + kPrivate;

TEST_F(Binding, WhatEachElementIsBoundTo) {
    const std::string two_modules =
        "{\"A\", \"\", 'M', \"\"}, {\"B\", \"\", 'U', \"\"}, " + std::string(kPrivate);
    const std::string ab_modules =
        "{\"A\", \"\", {{0x00080016, \"SOP Class\", \"1\", \"\"}, {0x00100010, \"N\", \"2\", \"\"},"
        " {0x00100030, \"Birth Date\", \"2\", \"\"}}}{\"B\", \"\", {{0x00100010, \"N\", \"3\", "
        "\"\"}}}";
    const std::string overlays = kOverlays + std::string(kPrivate);
    const std::string curves = "{\"C.10.2\", \"Curve\", 'U', \"\"}, " + std::string(kPrivate);
    struct Case {
        const char *what;
        std::string modules, module_file, object, bound, rebound, unbound;
    } cases[] = {
        {"a tag in two modules binds both; group lengths and the meta group get nothing",
         two_modules, ab_modules,
         "00020010 00080000 00080016 00080018 00090000 00090010 00091001 00100010 00100020",
         "A: 00080016/1= 00100010/2= 00100030/2; B: 00100010/3=; "
         "P.R.I.V.A.T.E: 00080018/3*= 00090010/3*= 00091001/3*= 00100020/3*=",
         "", "00020010 00080000 00090000"},
        {"a definition of (FFFF,FFFF) is no search for the first element",
         "{\"A\", \"\", 'M', \"\"}, " + std::string(kPrivate),
         "{\"A\", \"\", {{0xFFFFFFFF, \"X\", \"1\", \"\"}}}", "00100010",
         "A: FFFFFFFF/1; P.R.I.V.A.T.E: 00100010/3*=", "", ""},
        {"an object without modules gets the catch-all module", "", "", "00080016 00100010",
         "P.R.I.V.A.T.E: 00080016/3*= 00100010/3*=", "", ""},
        {"templates for 6000, copies for 6002", overlays, kOverlayModules,
         "60000010 60000011 60000015 60020010 60020015 60023000",
         "C.9.2: 60000010/1= 60000011/1= 00100010/3 60003000/1C 60020010/1= 60020011/1 "
         "60023000/1C=; "
         "C.9.3: 60000015/1= 60020015/1=; P.R.I.V.A.T.E:",
         "", ""},
        {"overlays only in 6002: templates re-targeted", overlays, kOverlayModules,
         "60020010 60023000",
         "C.9.2: 60020010/1= 60020011/1 00100010/3 60023000/1C=; C.9.3: 60000015/1; P.R.I.V.A.T.E:",
         "", ""},
        {"overlay elements no module holds; odd groups are private", overlays, kOverlayModules,
         "60000022 60010010 60020022",
         "C.9.2: 60000010/1 60000011/1 00100010/3 60003000/1C; C.9.3: 60000015/1; "
         "P.R.I.V.A.T.E: 60000022/3*= 60010010/3*= 60020022/3*=",
         "", ""},
        {"a group that has its definitions is not copied onto itself", overlays,
         "{\"C.9.2\", \"\", {{0x60000010, \"Rows\", \"1\", \"\"}, {0x60020022, \"Odd\", \"3\", "
         "\"\"}}}",
         "60000010 60000022",
         "C.9.2: 60000010/1= 60020022/3; C.9.3:; P.R.I.V.A.T.E: 60000022/3*=", "", ""},
        {"no overlay modules", kPrivate, kOverlayModules, "60000010 60020010",
         "P.R.I.V.A.T.E: 60000010/3*= 60020010/3*=", "", ""},
        {"every curve element looks in C.10.2", curves, kOverlayModules,
         "50020010 50023000 50040010",
         "C.10.2: 50020010/1= 50023000/1= 50040010/1= 50043000/1; P.R.I.V.A.T.E:", "", ""},
        {"no curve module", kPrivate, kOverlayModules, "50000010 50003000",
         "P.R.I.V.A.T.E: 50000010/3*= 50003000/3*=", "", ""},
        {"three items, one Item definition: two clones", kSeqObject, kSeqModules,
         "00081115{[0020000E 00081140{[00081150 00081155]}] [00100020 0020000E FFFEE00D] []}",
         "S: 00081115/1={FFFEE000/3={0020000E/1= 00081140/2={FFFEE000/3={00081150/1= "
         "00081155/3*=}}} "
         "FFFEE000/3={0020000E/1= 00081140/2{FFFEE000/3{00081150/1}} 00100020/3*=} "
         "FFFEE000/3={0020000E/1 00081140/2{FFFEE000/3{00081150/1}}}} "
         "00400275/3{FFFEE000/3{00401001/1}}; "
         "P.R.I.V.A.T.E:",
         // The rebinding frees the clones and pairs again; what binding made
         // in the first Item definition is now cloned with the rest.
         "S: 00081115/1={FFFEE000/3={0020000E/1= 00081140/2={FFFEE000/3={00081150/1= "
         "00081155/3=}}} "
         "FFFEE000/3={0020000E/1= 00081140/2{FFFEE000/3{00081150/1 00081155/3}} 00100020/3*=} "
         "FFFEE000/3={0020000E/1 00081140/2{FFFEE000/3{00081150/1 00081155/3}}}} "
         "00400275/3{FFFEE000/3{00401001/1}}; P.R.I.V.A.T.E:",
         "FFFEE00D"},
        {"a sequence without an Item definition gets one; one without items keeps its own",
         kSeqObject, kSeqModules, "00400275{} 00081140{[00081150] []}",
         "S: 00081115/1{FFFEE000/3{0020000E/1 00081140/2{FFFEE000/3{00081150/1}}}} "
         "00400275/3={FFFEE000/3{00401001/1}}; "
         "P.R.I.V.A.T.E: 00081140/3*={FFFEE000/3*={00081150/3*=} FFFEE000/3*=}",
         "S: 00081115/1{FFFEE000/3{0020000E/1 00081140/2{FFFEE000/3{00081150/1}}}} "
         "00400275/3={FFFEE000/3{00401001/1}}; "
         "P.R.I.V.A.T.E: 00081140/3={FFFEE000/3={00081150/3=} FFFEE000/3={00081150/3}}",
         ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Define(c.modules, c.module_file);
        Build(c.object);
        log_mask(0x0030);
        Load l = Capture([&] { return Bind(0); });
        log_mask(0x0010);
        EXPECT_EQ(0, l.result);
        EXPECT_EQ("Info: Binding DICOM Object to definition table.\n", l.err);
        EXPECT_EQ(c.bound, Picture(defs.abc));
        EXPECT_EQ(c.unbound, Unbound());
        std::set<const AttrDef *> made, kept;
        for (const ModuleDef *m = defs.abc->first; m; m = m->next)
            Defs(m->first, &made, true);
        // Made, copied and re-targeted definitions stay and bind again, as
        // ordinary ones; the copies of Item definitions are made anew.
        std::string rebound = c.rebound.empty() ? c.bound : c.rebound;
        if (c.rebound.empty())
            rebound.erase(std::remove(rebound.begin(), rebound.end(), '*'), rebound.end());
        EXPECT_EQ(0, Bind(1));
        EXPECT_EQ(rebound, Picture(defs.abc));
        EXPECT_EQ(c.unbound, Unbound());
        for (const ModuleDef *m = defs.abc->first; m; m = m->next)
            Defs(m->first, &kept, false);
        EXPECT_TRUE(std::includes(kept.begin(), kept.end(), made.begin(), made.end()))
            << "made definitions freed by the rebinding";
    }
    // Catch-all definitions: the dictionary's name, type 3, the pool's empty text.
    Define("{\"A\", \"\", 'M', \"\"}", "");
    Build("00080018 00090010 00091001");
    ASSERT_EQ(0, Bind(0));
    std::string made;
    for (const AttrDef *d = defs.abc->first->first; d; d = d->next)
        made += std::string(d->name) + "|" + d->text + "|" +
                (d->element == Top(d->tag) ? "=" : "?") + " ";
    EXPECT_EQ("SOP Instance UID||= Private Data Creator||= ||= ", made);
    // A first binding to another object keeps no link into the one before.
    Build("00100010");
    ASSERT_EQ(0, Bind(0));
    EXPECT_EQ("A: 00080018/3* 00090010/3* 00091001/3* 00100010/3*=", Picture(defs.abc));
}

TEST_F(Binding, EditsAtDefinitionsRebind) {
    Define(kSeqObject,
           kSeqModules + std::string("{\"S\", \"\", {{0x00100010, \"N\", \"2\", \"\"}}}"));
    Build("00080018 00081115{[0020000E 00100020] [] []} 00100010");
    ASSERT_EQ(0, Bind(0));
    AttrDef *sq = Attr(0, 0x00081115), *name = Attr(0, 0x00100010);
    auto items = [&] {
        std::string out;
        for (const AttrDef *d = sq->first_child; d; d = d->next)
            out += abctest::AttrPicture(d->first_child, d->last_child, d, ATTR_OWNER_ATTR) +
                   (d->element ? "=" : "-") + " ";
        return out;
    };
    auto paired = [&] {
        std::string out;
        for (const AttrDef *d = sq->first_child; d; d = d->next)
            out += d->element ? "=" : "-";
        return out;
    };
    const std::string first = "0020000E/1= 00081140/2{FFFEE000/3{00081150/1}} 00100020/3*==";
    const std::string copy = "0020000E/1 00081140/2{FFFEE000/3{00081150/1}}=";
    EXPECT_EQ(first + " " + copy + " " + copy + " ", items());

    // Items changed behind the definitions' back and a first binding again:
    // surplus Item definitions go, new copies leave out what binding made.
    DicomElement *pos = Top(0x00081115)->last_child;
    DE_deleteSubTree(&app, &pos);
    ASSERT_EQ(0, Bind(0));
    EXPECT_EQ(first + " " + copy + " ", items());
    for (int n = 0; n < 2; n++) {
        pos = nullptr;
        ASSERT_EQ(0, DE_search(&app, io.object, &pos, 0x0008, 0x1115, -1));
    }
    ASSERT_EQ(0, Bind(0));
    EXPECT_EQ(first + " " + copy + " " + copy + " " + copy + " ", items());

    // Deleting an item frees its Item definition; deleting the sequence
    // leaves the first one, unbound.  Nothing happens without a bound definition.
    EXPECT_EQ(0, DEF_delete(&app, &defs, io.object, sq->last_child));
    EXPECT_EQ("===", paired());
    EXPECT_EQ(0, DEF_delete(&app, &defs, io.object, nullptr));
    EXPECT_EQ(0, DEF_delete(&app, &defs, io.object, name));
    EXPECT_EQ(nullptr, Top(0x00100010));
    EXPECT_EQ(nullptr, name->element);
    EXPECT_EQ(0, DEF_delete(&app, &defs, io.object, name));
    // The catch-all definition made before stays, and binds while its element is there.
    AttrDef *uid = Attr(1, 0x00080018);
    ASSERT_NE(nullptr, uid);
    EXPECT_EQ(Top(0x00080018), uid->element);
    EXPECT_EQ(0, DEF_delete(&app, &defs, io.object, uid));
    EXPECT_EQ("P.R.I.V.A.T.E: 00080018/3",
              Picture(defs.abc).substr(Picture(defs.abc).find("P.R.I")));

    // Index -1 appends an item and rebinds; an element added in the new
    // item binds to its Item definition.  Other indexes only move the cursor.
    EXPECT_EQ(0, DEF_search(&app, &defs, io.object, nullptr, 0x0008, 0x1115, -1));
    EXPECT_EQ("====", paired());
    EXPECT_EQ(Top(0x00081115)->last_child, sq->last_child->element);
    DicomElementHead rec = {};
    rec.group = 0x0020;
    rec.element = 0x000E;
    rec.vr = VR_UI;
    rec.value = const_cast<char *>("1.2");
    rec.length = 3;
    EXPECT_EQ(0, DEF_add(&app, &defs, io.object, sq->last_child, &rec));
    const DicomElement *added = sq->last_child->first_child->element;
    ASSERT_NE(nullptr, added);
    EXPECT_EQ(4u, added->length);
    EXPECT_EQ(Top(0x00081115)->last_child, added->parent);
    EXPECT_EQ(0, DEF_search(&app, &defs, io.object, nullptr, 0x0008, 0x1115, 2));
    EXPECT_EQ(sq->first_child->next->element, io.object->cursor);
    EXPECT_EQ(0, DEF_search(&app, &defs, io.object, sq->first_child, 0x0020, 0x000E, 0));
    EXPECT_EQ(sq->first_child->first_child->element, io.object->cursor);
    // An attribute of an item that is not there goes nowhere, not to the top level.
    AttrDef *in_no_item = sq->first_child->first_child->next->first_child->first_child;
    ASSERT_EQ(0x00081150u, in_no_item->tag);
    EXPECT_EQ(-1, DEF_add(&app, &defs, io.object, in_no_item, &rec));
    EXPECT_EQ(nullptr, Top(0x0020000E));
    rec.group = 0x0010;
    rec.element = 0x0010;
    EXPECT_EQ(0, DEF_add(&app, &defs, io.object, nullptr, &rec)); // at the top level
    EXPECT_EQ(Top(0x00100010), name->element);
    EXPECT_EQ("", Unbound());
}

/* Items after the fourth get a bare Item definition: the bound flags, the
 * verifier's findings and the emptiness of a sequence are those of whole
 * copies, which BindItemDef makes when the items are walked. */
TEST_F(Binding, LaterItemsOfASequenceBindWhenWalked) {
    Define(kSeqObject, kSeqModules);
    Build("00081115{[0020000E] [] [] [] [00081140{[00081150] [] [] [] [00081155]} 00100020] "
          "[0020000E]} 00400275{[] [] [] [] [00401001]}");
    ASSERT_EQ(0, Bind(0));
    const std::string early = "FFFEE000/3={0020000E/1 00081140/2{FFFEE000/3{00081150/1}}} ";
    const std::string series =
        "S: 00081115/1={FFFEE000/3={0020000E/1= 00081140/2{FFFEE000/3{00081150/1}}} " + early +
        early + early;
    const std::string request = "00400275/3={FFFEE000/3={00401001/1} FFFEE000/3={00401001/1} "
                                "FFFEE000/3={00401001/1} FFFEE000/3={00401001/1} FFFEE000/3=";
    const std::string left = Picture(defs.abc);
    EXPECT_EQ(series + "FFFEE000/3= FFFEE000/3=} " + request + "}; P.R.I.V.A.T.E:", left);
    const std::string unbound = Unbound();
    EXPECT_EQ(0, isSQEmpty(Attr(0, 0x00400275)));
    auto findings = [&] {
        log_mask(0x0011);
        const std::string log = Capture([&] { return VerifyObjectByModule(&app, &defs); }).err;
        log_mask(0x0010);
        return log;
    };
    const std::string deferred = findings();
    size_t missing = 0; /* in items 2 to 5, in the fifth's items 2 to 5, in requests 1 to 4 */
    for (size_t at = 0; (at = deferred.find("Type 1 element is missing", at)) != std::string::npos;
         ++at)
        ++missing;
    EXPECT_EQ(12u, missing) << deferred;

    auto walk = [&](bool bind) {
        for (AttrDef *sq : {Attr(0, 0x00081115), Attr(0, 0x00400275)})
            for (AttrDef *d = sq->first_child; d; d = d->next)
                EXPECT_EQ(0, bind ? BindItemDef(&app, d) : (ReleaseItemDef(d), 0));
    };
    walk(true);
    const std::string walked = Picture(defs.abc);
    const std::string nested = "00081140/2={FFFEE000/3={00081150/1=} FFFEE000/3={00081150/1} "
                               "FFFEE000/3={00081150/1} FFFEE000/3={00081150/1} FFFEE000/3=}";
    const std::string sixth = "FFFEE000/3={0020000E/1= 00081140/2{FFFEE000/3{00081150/1}}}} ";
    EXPECT_EQ(series + "FFFEE000/3={0020000E/1 " + nested + " 00100020/3*=} " + sixth + request +
                  "{00401001/1=}}; P.R.I.V.A.T.E:",
              walked);
    EXPECT_EQ(unbound, Unbound());
    EXPECT_EQ(deferred, findings());
    // Let go, the items after the fourth are as the binding left them, and bind again alike.
    walk(false);
    EXPECT_EQ(left, Picture(defs.abc));
    EXPECT_EQ(unbound, Unbound());
    EXPECT_EQ(deferred, findings());
    walk(true);
    EXPECT_EQ(walked, Picture(defs.abc));
}

TEST_F(Binding, InitUABCDefRunsTheWholeChain) {
    testutil::ScopedEnv env("QUENOR_DEF_PATH", dir.path());
    Write("uid_tab.def", "{\"OB\", \"1.2.3\", \"Object Storage\"},");
    Write("ab_tab.def", "{\"OB\", \"Object\", {{\"A\", \"\", 'M', \"\"}}}");
    Write("ab2_tab.def", "");
    Write("c_tab.def", "{\"A\", \"\", {{0x00080016, \"SOP Class UID\", \"1\", \"\"}}}");
    Build("00100010");
    Load l = Capture([&] { return InitUABCDef(&app, &defs, io.object, 0); });
    EXPECT_EQ(-1, l.result);
    EXPECT_EQ("Error: SOP Class UID (0008,0016) not defined.\n", l.err);
    EXPECT_EQ(nullptr, defs.abc);

    auto set_uid = [&](const std::string &uid) {
        DicomElementHead h = {};
        h.group = 0x0008;
        h.element = 0x0016;
        h.value = const_cast<char *>(uid.data());
        h.length = (uint32_t)uid.size();
        ASSERT_EQ(0, DO_changeElement(&app, io.object, &h));
    };
    set_uid(std::string(2, '\0')); // a value that holds no text
    EXPECT_EQ("Error: SOP Class UID (0008,0016) not defined.\n",
              Capture([&] { return InitUABCDef(&app, &defs, io.object, 0); }).err);
    set_uid("1.2.3 "); // padded with a blank instead of a NUL
    EXPECT_EQ(0, InitUABCDef(&app, &defs, io.object, 0));
    DoneABCDef(&defs);
    set_uid(std::string("1.2.3") + '\0');
    EXPECT_EQ(0, InitUABCDef(&app, &defs, io.object, 0));
    EXPECT_EQ("A: 00080016/1=; P.R.I.V.A.T.E: 00100010/3*=", Picture(defs.abc));
    DoneABCDef(&defs);
    // A second first binding of the object: its flags from before do not count.
    EXPECT_EQ(0, InitUABCDef(&app, &defs, io.object, 1));
    EXPECT_EQ("A: 00080016/1= 00100010/3*=", Picture(defs.abc));
    DoneABCDef(&defs);
    for (const std::string &uid : {std::string("1.2.4"), "1.2.3." + std::string(60, '1')}) {
        set_uid(uid); // unmapped, and longer than a UID field
        Load miss = Capture([&] { return InitUABCDef(&app, &defs, io.object, 0); });
        EXPECT_EQ(-1, miss.result);
        EXPECT_EQ("", miss.err);
        EXPECT_EQ(nullptr, defs.abc);
    }
}

/* ---- the samples with the bundled definitions ----------------------------- */

/* Per top-level data-set element as pydicom reads it: the tag, and for a
 * sequence of undefined length its item count. */
const char kOracle[] = R"(
import sys
from pydicom import dcmread
for elem in dcmread(sys.argv[1], force=True):
    count = " %d" % len(elem.value) if elem.VR == "SQ" and elem.is_undefined_length else ""
    print("%08X%s" % (int(elem.tag), count))
)";

template <typename F>
void Walk(const DicomElement *parent, F visit) {
    for (const DicomElement *c = parent->first_child; c; c = c->next) {
        visit(c);
        Walk(c, visit);
    }
}

class Samples : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        char banner[64];
        init_AppData(&app, "bindtest", "1.0", banner);
        env = std::make_unique<testutil::ScopedEnv>("QUENOR_DEF_PATH", testutil::DefsDir());
        log_mask(0x0010);
        ASSERT_EQ(0, InitTagPrvDef(&app, &defs, 0));
        init_IOObject(&io);
    }
    void TearDown() override {
        DoneABCDef(&defs);
        DO_closeObject(&io);
        DoneTagPrvDef(&app, &defs);
        log_mask(0x002C);
    }
    AppData app{};
    DefHolder defs{};
    IOObject io;
    std::unique_ptr<testutil::ScopedEnv> env;
};

TEST_P(Samples, EveryElementBoundEveryPresentAttributeFound) {
    const std::string path = testutil::SamplePath(GetParam());
    testutil::RunResult oracle = testutil::Run({"/usr/bin/python3", "-c", kOracle, path});
    ASSERT_EQ(0, oracle.status) << oracle.err;
    std::map<uint32_t, int> present; // tag -> items of an undefined-length sequence, else -1
    std::istringstream lines(oracle.out);
    for (std::string tag; lines >> tag;) {
        int items = -1;
        if (lines.peek() == ' ')
            lines >> items;
        present[(uint32_t)std::stoul(tag, nullptr, 16)] = items;
    }

    testing::internal::CaptureStderr();
    const int16_t read = DO_importObjectFromFile(&app, &defs, path.c_str(), &io);
    testing::internal::GetCapturedStderr(); // the reader's verdicts are tested elsewhere
    testing::internal::CaptureStderr();
    const int16_t r = InitUABCDef(&app, &defs, io.object, 0);
    const std::string err = testing::internal::GetCapturedStderr();
    if (!present.count(0x00080016)) { // no SOP class: the verifier falls back on tags
        EXPECT_EQ(-1, r);
        EXPECT_EQ("Error: SOP Class UID (0008,0016) not defined.\n", err);
        EXPECT_EQ(nullptr, defs.abc);
        return;
    }
    ASSERT_EQ(0, read);
    ASSERT_EQ("", err);
    ASSERT_EQ(0, r) << "SOP class of " << GetParam() << " not mapped";
    ASSERT_STREQ("P.R.I.V.A.T.E", defs.abc->last->reference);

    // Every element from group 0008 on, at every depth, but group lengths and delimiters.
    int elements = 0;
    Walk(io.object->root, [&](const DicomElement *e) {
        const uint32_t key = (uint32_t)e->group << 16 | e->element;
        if (e->group >= 0x0008 && e->element != 0 && key != 0xFFFEE00D && key != 0xFFFEE0DD) {
            EXPECT_TRUE(e->flags & DE_FLAG_BOUND) << Hex(key) << " under " << Hex(e->parent->group);
            elements++;
        }
    });
    EXPECT_GT(elements, 10);

    // A module's definition is bound exactly when the file has its tag; a
    // sequence the reader opened has one bound Item definition per item.
    std::map<uint32_t, int> described;
    for (const ModuleDef *m = defs.abc->first; m; m = m->next) {
        for (const AttrDef *d = m->first; d; d = d->next) {
            EXPECT_EQ(present.count(d->tag) != 0, d->element != nullptr)
                << m->reference << " " << Hex(d->tag);
            if (!d->element)
                continue;
            EXPECT_EQ(d->tag, (uint32_t)d->element->group << 16 | d->element->element);
            described[d->tag]++;
            int item_defs = 0;
            for (const AttrDef *i = d->first_child; i; i = i->next)
                item_defs += i->element != nullptr;
            if (present[d->tag] >= 0) {
                EXPECT_EQ(present[d->tag], item_defs) << Hex(d->tag);
            }
        }
    }
    for (const auto &p : present) {
        if ((p.first & 0xFFFF) != 0) {
            EXPECT_TRUE(described.count(p.first)) << "no definition for " << Hex(p.first);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Shared, Samples, ::testing::ValuesIn(testutil::SampleFiles()),
                         testutil::SampleParamName());

} // namespace
