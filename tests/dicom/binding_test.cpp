/*
 * binding_test.cpp -- binding an object definition to objects the tests
 * build, link by link: module attributes, catch-all definitions, overlay
 * and curve groups re-targeted or copied, items paired with cloned Item
 * definitions and freed again on rebinding, the DEF_ edits; and the whole
 * chain of InitUABCDef.
 */
#include <memory>
#include <string>
#include <vector>

#include "abcdefs_test_util.h"

namespace {

using abctest::DefsFixture;
using abctest::Hex;
using abctest::Load;
using abctest::Picture;

const uint32_t kUndef = 0xFFFFFFFFu;

class Binding : public DefsFixture {
protected:
    void SetUp() override {
        DefsFixture::SetUp();
        init_IOObject(&io);
        ASSERT_EQ(0, DO_openObject(&io));
        obj = io.object;
    }
    void TearDown() override {
        DoneABCDef(&defs); // definitions first: they point into the object
        DO_closeObject(&io);
        DefsFixture::TearDown();
    }
    /* The object definition "OB" with these modules (ref, title, usage
     * triples written as object-file entries) and this module file. */
    void Define(const std::string &modules, const std::string &module_file) {
        ASSERT_EQ(0, Objects("{\"OB\", \"Object\", {" + modules + "}}", "OB").result);
        ASSERT_EQ(0, Modules(module_file).result);
    }
    void Add(uint16_t g, uint16_t e, uint32_t length = 0) {
        DicomElementHead h = {};
        h.group = g;
        h.element = e;
        h.length = length;
        DOU_defXVRTypeByTags(&app, g, e, &h.vr);
        ASSERT_EQ(0, DO_addElement(&app, obj, &h));
    }
    void OpenSeq(uint16_t g, uint16_t e) { Add(g, e, kUndef); }
    void OpenItem() { Add(0xFFFE, 0xE000, kUndef); }
    void CloseItem() { Add(0xFFFE, 0xE00D, kUndef); }
    void CloseSeq() { Add(0xFFFE, 0xE0DD, kUndef); }
    int16_t Bind(int16_t rebind) { return BindABCDef(&app, &defs, obj, rebind); }

    /* Tags of the elements without their bound flag, at every depth. */
    static void Unbound(const DicomElement *parent, std::vector<std::string> *out) {
        for (const DicomElement *c = parent->first_child; c; c = c->next) {
            if (!(c->flags & DE_FLAG_BOUND))
                out->push_back(Hex((uint32_t)c->group << 16 | c->element));
            Unbound(c, out);
        }
    }
    std::vector<std::string> Unbound() {
        std::vector<std::string> out;
        Unbound(obj->root, &out);
        return out;
    }
    DicomElement *Top(uint16_t g, uint16_t e) {
        for (DicomElement *c = obj->root->first_child; c; c = c->next)
            if (c->group == g && c->element == e)
                return c;
        return nullptr;
    }
    ModuleDef *Module(int n) {
        ModuleDef *m = defs.abc->first;
        while (m && n--)
            m = m->next;
        return m;
    }
    AttrDef *Attr(ModuleDef *m, uint32_t tag) {
        for (AttrDef *d = m ? m->first : nullptr; d; d = d->next)
            if (d->tag == tag)
                return d;
        return nullptr;
    }

    IOObject io;
    DicomObject *obj = nullptr;
};

const char kPrivateModule[] = "{\"P.R.I.V.A.T.E\", \"Private Data\", 'U', \"\"}";

TEST_F(Binding, ModuleAttributesAndCatchAllDefinitions) {
    Define("{\"A\", \"\", 'M', \"\"}, {\"B\", \"\", 'U', \"\"}, " + std::string(kPrivateModule),
           "{\"A\", \"\", {{0x00080016, \"SOP Class UID\", \"1\", \"\"}, {0x00100010, \"N\", \"2\", \"\"},"
           " {0x00100030, \"Birth Date\", \"2\", \"\"}}}"
           "{\"B\", \"\", {{0x00100010, \"N\", \"3\", \"\"}}}");
    for (uint32_t tag : {0x00020010u, 0x00080000u, 0x00080016u, 0x00080018u, 0x00090000u,
                         0x00090010u, 0x00091001u, 0x00100010u, 0x00100020u})
        Add((uint16_t)(tag >> 16), (uint16_t)tag);

    log_mask(0x0030);
    Load l = Capture([&] { return Bind(0); });
    EXPECT_EQ(0, l.result);
    EXPECT_EQ("Info: Binding DICOM Object to definition table.\n", l.err);
    // Both definitions of (0010,0010) bind to it; the birth date stays unbound.
    EXPECT_EQ("A: 00080016/1= 00100010/2= 00100030/2; B: 00100010/3=; "
              "P.R.I.V.A.T.E: 00080018/3*= 00090010/3*= 00091001/3*= 00100020/3*=",
              Picture(defs.abc));
    EXPECT_EQ(Top(0x0010, 0x0010), Attr(Module(1), 0x00100010)->element);
    EXPECT_EQ((std::vector<std::string>{"00020010", "00080000", "00090000"}), Unbound());
    struct Want {
        uint32_t tag;
        const char *name;
    } want[] = {{0x00080018, "SOP Instance UID"}, {0x00090010, "Private Data Creator"},
                {0x00091001, ""}, {0x00100020, "Patient ID"}};
    for (const Want &w : want) {
        const AttrDef *d = Attr(Module(2), w.tag);
        ASSERT_NE(nullptr, d) << Hex(w.tag);
        EXPECT_STREQ(w.name, d->name);
        EXPECT_STREQ("", d->text);
        EXPECT_EQ(Top((uint16_t)(w.tag >> 16), (uint16_t)w.tag), d->element);
    }

    // A rebinding keeps the definitions made before: they bind again by
    // their tags, now as ordinary definitions.
    EXPECT_EQ(0, Bind(1));
    EXPECT_EQ("A: 00080016/1= 00100010/2= 00100030/2; B: 00100010/3=; "
              "P.R.I.V.A.T.E: 00080018/3= 00090010/3= 00091001/3= 00100020/3=",
              Picture(defs.abc));
    EXPECT_EQ((std::vector<std::string>{"00020010", "00080000", "00090000"}), Unbound());
}

TEST_F(Binding, ObjectWithoutModulesGetsTheCatchAllModule) {
    Define("", "");
    Add(0x0008, 0x0016);
    Add(0x0010, 0x0010);
    EXPECT_EQ(0, Bind(0));
    EXPECT_EQ("P.R.I.V.A.T.E: 00080016/3*= 00100010/3*=", Picture(defs.abc));
    EXPECT_STREQ("Private Data", defs.abc->last->title);
    EXPECT_TRUE(Unbound().empty());
}

TEST_F(Binding, OverlayAndCurveGroups) {
    const std::string overlay = "{\"C.9.2\", \"Overlay Plane\", 'U', \"\"}, "
                                "{\"C.9.3\", \"Multi-frame Overlay\", 'U', \"\"}, ";
    const std::string curve = "{\"C.10.2\", \"Curve\", 'U', \"\"}, ";
    const std::string modules =
        "{\"C.9.2\", \"\", {{0x60000010, \"Rows\", \"1\", \"\"}, {0x60000011, \"Columns\", \"1\", \"\"},"
        " {0x00100010, \"N\", \"3\", \"\"}, {0x60003000, \"Data\", \"1C\", \"\"}}}"
        "{\"C.9.3\", \"\", {{0x60000015, \"Frames\", \"1\", \"\"}}}"
        "{\"C.10.2\", \"\", {{0x50000010, \"Points\", \"1\", \"\"}, {0x50003000, \"Data\", \"1\", \"\"}}}";
    struct Case {
        const char *what;
        std::string modules;
        std::vector<uint32_t> elements;
        std::string picture;
    } cases[] = {
        {"templates for 6000, copies for 6002", overlay + kPrivateModule,
         {0x60000010, 0x60000011, 0x60000015, 0x60020010, 0x60020015, 0x60023000},
         "C.9.2: 60000010/1= 60000011/1= 00100010/3 60003000/1C 60020010/1= 60020011/1 "
         "60023000/1C=; C.9.3: 60000015/1= 60020015/1=; P.R.I.V.A.T.E:"},
        {"overlays only in 6002: templates re-targeted", overlay + kPrivateModule,
         {0x60020010, 0x60023000},
         "C.9.2: 60020010/1= 60020011/1 00100010/3 60023000/1C=; C.9.3: 60000015/1; P.R.I.V.A.T.E:"},
        {"an overlay element neither module holds", overlay + kPrivateModule,
         {0x60000022, 0x60020022},
         "C.9.2: 60000010/1 60000011/1 00100010/3 60003000/1C; C.9.3: 60000015/1; "
         "P.R.I.V.A.T.E: 60000022/3*= 60020022/3*="},
        {"no overlay modules", std::string(kPrivateModule), {0x60000010, 0x60020010},
         "P.R.I.V.A.T.E: 60000010/3*= 60020010/3*="},
        {"odd groups are private, not overlays", overlay + kPrivateModule, {0x60010010},
         "C.9.2: 60000010/1 60000011/1 00100010/3 60003000/1C; C.9.3: 60000015/1; "
         "P.R.I.V.A.T.E: 60010010/3*="},
        {"every curve element in C.10.2", curve + kPrivateModule, {0x50020010, 0x50023000, 0x50040010},
         "C.10.2: 50020010/1= 50023000/1= 50040010/1= 50043000/1; P.R.I.V.A.T.E:"},
        {"no curve module", std::string(kPrivateModule), {0x50000010, 0x50003000},
         "P.R.I.V.A.T.E: 50000010/3*= 50003000/3*="},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        DoneABCDef(&defs);
        DO_openObject(&io);
        obj = io.object;
        Define(c.modules, modules);
        for (uint32_t tag : c.elements)
            Add((uint16_t)(tag >> 16), (uint16_t)tag);
        EXPECT_EQ(0, Bind(0));
        EXPECT_EQ(c.picture, Picture(defs.abc));
        EXPECT_TRUE(Unbound().empty());
        // Copies and re-targeted definitions stay and bind again.
        EXPECT_EQ(0, Bind(1));
        std::string again = c.picture;
        for (size_t at; (at = again.find('*')) != std::string::npos;)
            again.erase(at, 1);
        EXPECT_EQ(again, Picture(defs.abc));
    }
}

// (0008,1115) items hold (0020,000E) and the sequence (0008,1140), whose
// items hold (0008,1150).
const char kSeqModules[] =
    "{\"S\", \"\", {{0x00081115, \"Referenced Series Sequence\", \"1\", \"\"},"
    " {0x00400275, \"Request Attributes Sequence\", \"3\", \"\"}}}"
    "{\"S_1\", \"\", {{0x0020000E, \"Series Instance UID\", \"1\", \"\"},"
    " {0x00081140, \"Referenced Image Sequence\", \"2\", \"\"}}}"
    "{\"S_1_1\", \"\", {{0x00081150, \"Referenced SOP Class UID\", \"1\", \"\"}}}"
    "{\"S_2\", \"\", {{0x00401001, \"Requested Procedure ID\", \"1\", \"\"}}}";

class Items : public Binding {
protected:
    void SetUp() override {
        Binding::SetUp();
        Define("{\"S\", \"\", 'M', \"\"}, " + std::string(kPrivateModule), kSeqModules);
        // Three items: a nested sequence with an undescribed element; an
        // undescribed element before the item delimiter; an empty item.
        OpenSeq(0x0008, 0x1115);
        OpenItem();
        Add(0x0020, 0x000E);
        OpenSeq(0x0008, 0x1140);
        OpenItem();
        Add(0x0008, 0x1150);
        Add(0x0008, 0x1155);
        CloseItem();
        CloseSeq();
        CloseItem();
        OpenItem();
        Add(0x0010, 0x0020);
        Add(0x0020, 0x000E);
        Add(0xFFFE, 0xE00D); // stored (its length is defined), and closes the item
        OpenItem();
        CloseItem();
        CloseSeq();
    }
};

const char kThreeItems[] =
    "S: 00081115/1={FFFEE000/3={0020000E/1= 00081140/2={FFFEE000/3={00081150/1= 00081155/3*=}}} "
    "FFFEE000/3={0020000E/1= 00081140/2{FFFEE000/3{00081150/1}} 00100020/3*=} "
    "FFFEE000/3={0020000E/1 00081140/2{FFFEE000/3{00081150/1}}}} "
    "00400275/3{FFFEE000/3{00401001/1}}; P.R.I.V.A.T.E:";

TEST_F(Items, ItemsPairWithClonedItemDefinitions) {
    EXPECT_EQ(0, Bind(0));
    EXPECT_EQ(kThreeItems, Picture(defs.abc));
    EXPECT_EQ((std::vector<std::string>{"FFFEE00D"}), Unbound());
    // Each Item definition is bound to its own item, in order.
    const AttrDef *sq = defs.abc->first->first;
    const DicomElement *item = Top(0x0008, 0x1115)->first_child;
    for (const AttrDef *d = sq->first_child; d; d = d->next, item = item->next) {
        ASSERT_NE(nullptr, item);
        EXPECT_EQ(item, d->element);
        EXPECT_STREQ("Item", d->name);
    }

    // A rebinding frees the copies and pairs again; the nested definition
    // made before now counts as an ordinary one and is cloned with the rest.
    EXPECT_EQ(0, Bind(1));
    EXPECT_EQ("S: 00081115/1={FFFEE000/3={0020000E/1= 00081140/2={FFFEE000/3={00081150/1= 00081155/3=}}} "
              "FFFEE000/3={0020000E/1= 00081140/2{FFFEE000/3{00081150/1 00081155/3}} 00100020/3*=} "
              "FFFEE000/3={0020000E/1 00081140/2{FFFEE000/3{00081150/1 00081155/3}}}} "
              "00400275/3{FFFEE000/3{00401001/1}}; P.R.I.V.A.T.E:",
              Picture(defs.abc));
    EXPECT_EQ((std::vector<std::string>{"FFFEE00D"}), Unbound());
}

TEST_F(Items, DeletingAnItemFreesItsDefinition) {
    ASSERT_EQ(0, Bind(0));
    AttrDef *sq = defs.abc->first->first;
    AttrDef *last = sq->last_child;
    EXPECT_EQ(0, DEF_delete(&app, &defs, obj, last)); // the empty third item
    EXPECT_EQ("S: 00081115/1={FFFEE000/3={0020000E/1= 00081140/2={FFFEE000/3={00081150/1= 00081155/3=}}} "
              "FFFEE000/3={0020000E/1= 00081140/2{FFFEE000/3{00081150/1 00081155/3}} 00100020/3*=}} "
              "00400275/3{FFFEE000/3{00401001/1}}; P.R.I.V.A.T.E:",
              Picture(defs.abc));
    // Deleting the sequence leaves its first Item definition, unbound.
    EXPECT_EQ(0, DEF_delete(&app, &defs, obj, sq));
    EXPECT_EQ(nullptr, Top(0x0008, 0x1115));
    EXPECT_EQ("S: 00081115/1{FFFEE000/3{0020000E/1 00081140/2{FFFEE000/3{00081150/1 00081155/3}}}} "
              "00400275/3{FFFEE000/3{00401001/1}}; P.R.I.V.A.T.E:",
              Picture(defs.abc));
    // Nothing to delete: no definition, or an unbound one.
    EXPECT_EQ(0, DEF_delete(&app, &defs, obj, nullptr));
    EXPECT_EQ(0, DEF_delete(&app, &defs, obj, sq));
}

TEST_F(Items, NewItemsThroughTheDefinitions) {
    ASSERT_EQ(0, Bind(0));
    AttrDef *sq = defs.abc->first->first;
    // Index -1 appends an item and rebinds: a fourth Item definition.
    EXPECT_EQ(0, DEF_search(&app, &defs, obj, nullptr, 0x0008, 0x1115, -1));
    EXPECT_EQ(Top(0x0008, 0x1115)->last_child, sq->last_child->element);
    EXPECT_EQ(nullptr, sq->last_child->element->first_child);
    int item_defs = 0;
    for (const AttrDef *d = sq->first_child; d; d = d->next, item_defs++)
        EXPECT_NE(nullptr, d->element);
    EXPECT_EQ(4, item_defs);

    // An element added inside the new item binds to its Item definition.
    DicomElementHead rec = {};
    rec.group = 0x0020;
    rec.element = 0x000E;
    rec.vr = VR_UI;
    rec.value = const_cast<char *>("1.2");
    rec.length = 3;
    EXPECT_EQ(0, DEF_add(&app, &defs, obj, sq->last_child, &rec));
    const AttrDef *uid = sq->last_child->first_child;
    ASSERT_NE(nullptr, uid->element);
    EXPECT_EQ(0x000E, uid->element->element);
    EXPECT_EQ(4u, uid->element->length);
    EXPECT_EQ(Top(0x0008, 0x1115)->last_child, uid->element->parent);

    // Other indexes move the cursor and bind nothing anew.
    EXPECT_EQ(0, DEF_search(&app, &defs, obj, nullptr, 0x0008, 0x1115, 2));
    EXPECT_EQ(sq->first_child->next->element, obj->cursor);
    EXPECT_EQ(0, DEF_search(&app, &defs, obj, sq->first_child, 0x0020, 0x000E, 0));
    EXPECT_EQ(sq->first_child->first_child->element, obj->cursor);
}

TEST_F(Binding, SequencesWithoutItemDefinitions) {
    // A sequence that no module lists gets a catch-all definition, an Item
    // definition for its items and catch-alls for their elements; an
    // undefined-length sequence without items binds no Item definition.
    Define("{\"S\", \"\", 'M', \"\"}, " + std::string(kPrivateModule), kSeqModules);
    OpenSeq(0x0040, 0x0275);
    CloseSeq();
    OpenSeq(0x0008, 0x1140);
    OpenItem();
    Add(0x0008, 0x1150);
    CloseItem();
    OpenItem();
    CloseItem();
    CloseSeq();
    EXPECT_EQ(0, Bind(0));
    EXPECT_EQ("S: 00081115/1{FFFEE000/3{0020000E/1 00081140/2{FFFEE000/3{00081150/1}}}} "
              "00400275/3={FFFEE000/3{00401001/1}}; "
              "P.R.I.V.A.T.E: 00081140/3*={FFFEE000/3*={00081150/3*=} FFFEE000/3*=}",
              Picture(defs.abc));
    EXPECT_TRUE(Unbound().empty());
    EXPECT_EQ(0, Bind(1));
    EXPECT_EQ("S: 00081115/1{FFFEE000/3{0020000E/1 00081140/2{FFFEE000/3{00081150/1}}}} "
              "00400275/3={FFFEE000/3{00401001/1}}; "
              "P.R.I.V.A.T.E: 00081140/3={FFFEE000/3={00081150/3=} FFFEE000/3={00081150/3}}",
              Picture(defs.abc));
}

TEST_F(Binding, RebindingAfterDeleteAndAdd) {
    Define("{\"A\", \"\", 'M', \"\"}, " + std::string(kPrivateModule),
           "{\"A\", \"\", {{0x00100010, \"N\", \"2\", \"\"}, {0x00100020, \"ID\", \"2\", \"\"}}}");
    Add(0x0008, 0x0018);
    Add(0x0010, 0x0010);
    Add(0x0010, 0x0020);
    ASSERT_EQ(0, Bind(0));
    EXPECT_EQ("A: 00100010/2= 00100020/2=; P.R.I.V.A.T.E: 00080018/3*=", Picture(defs.abc));
    EXPECT_EQ(0, DEF_delete(&app, &defs, obj, Attr(Module(0), 0x00100010)));
    EXPECT_EQ(nullptr, Top(0x0010, 0x0010));
    EXPECT_EQ("A: 00100010/2 00100020/2=; P.R.I.V.A.T.E: 00080018/3=", Picture(defs.abc));
    EXPECT_EQ(0, DEF_delete(&app, &defs, obj, Attr(Module(1), 0x00080018)));
    EXPECT_EQ("A: 00100010/2 00100020/2=; P.R.I.V.A.T.E: 00080018/3", Picture(defs.abc));

    DicomElementHead rec = {};
    rec.group = 0x0010;
    rec.element = 0x0010;
    EXPECT_EQ(0, DEF_add(&app, &defs, obj, nullptr, &rec));
    EXPECT_EQ("A: 00100010/2= 00100020/2=; P.R.I.V.A.T.E: 00080018/3", Picture(defs.abc));
    rec.element = 0x0040;
    EXPECT_EQ(0, DEF_add(&app, &defs, obj, Attr(Module(0), 0x00100020), &rec));
    EXPECT_EQ("A: 00100010/2= 00100020/2=; P.R.I.V.A.T.E: 00080018/3 00100040/3*=", Picture(defs.abc));
    EXPECT_TRUE(Unbound().empty());
}

/* ---- the whole chain -------------------------------------------------- */

class Chain : public Binding {
protected:
    void SetUp() override {
        Binding::SetUp();
        env = std::make_unique<testutil::ScopedEnv>("QUENOR_DEF_PATH", dir.path());
        Write("uid_tab.def", "{\"OB\", \"1.2.3\", \"Object Storage\"},");
        Write("ab_tab.def", "{\"OB\", \"Object\", {{\"A\", \"\", 'M', \"\"}}}");
        Write("ab2_tab.def", "");
        Write("c_tab.def", "{\"A\", \"\", {{0x00080016, \"SOP Class UID\", \"1\", \"\"}}}");
    }
    void SetUid(const std::string &uid) {
        DicomElementHead h = {};
        h.group = 0x0008;
        h.element = 0x0016;
        h.vr = VR_UI;
        h.value = const_cast<char *>(uid.data());
        h.length = (uint32_t)uid.size();
        ASSERT_EQ(0, DO_addElement(&app, obj, &h));
    }
    std::unique_ptr<testutil::ScopedEnv> env;
};

TEST_F(Chain, LoadsAndBindsTheObjectsDefinition) {
    Add(0x0010, 0x0010);
    Load l = Capture([&] { return InitUABCDef(&app, &defs, obj, 0); });
    EXPECT_EQ(-1, l.result);
    EXPECT_EQ("Error: SOP Class UID (0008,0016) not defined.\n", l.err);
    EXPECT_EQ(nullptr, defs.abc);

    SetUid(std::string("1.2.3") + '\0'); // padded to even length
    EXPECT_EQ(0, InitUABCDef(&app, &defs, obj, 0));
    EXPECT_EQ("A: 00080016/1=; P.R.I.V.A.T.E: 00100010/3*=", Picture(defs.abc));
    EXPECT_STREQ("OB", defs.abc->name);
    DoneABCDef(&defs);
    EXPECT_EQ(0, InitUABCDef(&app, &defs, obj, 1));
    EXPECT_EQ("A: 00080016/1= 00100010/3*=", Picture(defs.abc)); // no catch-all module
    DoneABCDef(&defs);

    // A UID that no record maps, and one longer than any UID field.
    for (const std::string &uid : {std::string("1.2.4"), "1.2.3." + std::string(60, '1')}) {
        SetUid(uid);
        Load miss = Capture([&] { return InitUABCDef(&app, &defs, obj, 0); });
        EXPECT_EQ(-1, miss.result);
        EXPECT_EQ("", miss.err);
        EXPECT_EQ(nullptr, defs.abc);
    }
}

} // namespace
