/*
 * objdefs_test.cpp -- the UID, object and module definition loaders on
 * files the tests write: what each record becomes in the tree, item paths
 * (with their five error texts and the indexes that name no sequence),
 * every syntax error message and what a failed load leaves in the slot,
 * the secondary-file rules, and the wrappers along QUENOR_DEF_PATH with
 * the site's UID file and the catch-all module.
 */
#include <memory>
#include <string>
#include <vector>

#include "abcdefs_test_util.h"

namespace {

using abctest::DefsFixture;
using abctest::Load;
using abctest::Picture;

/* ---- UID files ------------------------------------------------------ */

class UidFile : public DefsFixture {
protected:
    Load Search(const std::string &text, const std::string &key, int16_t primary, char *out) {
        const std::string path = Write("uid_tab.def", text);
        return Capture([&] { return InitDICOMUIDDef(path.c_str(), key.c_str(), primary, out); });
    }
};

TEST_F(UidFile, SearchResultsAndMessages) {
    const std::string uid64 = "1." + std::string(62, '2');
    const std::string uid65 = uid64 + "3";
    const std::string name19(19, 'N'), name20(20, 'N');
    const std::string good = "# classes\n{\"CT\", \"1.2.840.10008.5.1.4.1.1.2\", \"CT Image Storage\"},\n"
                             "{ \"MR\" ,\"1.2.840.10008.5.1.4.1.1.4\",\"MR\"#c\n} ,\n";
    struct Case {
        std::string text, key;
        int result;
        std::string out, message;
    } cases[] = {
        {good, "1.2.840.10008.5.1.4.1.1.4", 0, "MR", ""},
        {good, "1.2.840.10008.5.1.4.1.1.2", 0, "CT", ""},
        {good, "1.2.840.10008.5.1.4.1.1.", -1, "", ""}, // exact match only
        {good, "", -1, "", ""},
        {"", "1.2", -1, "", ""},
        // The last record lacks its ',': not compared, no message.
        {"{\"A\", \"1.2\", \"x\"},{\"B\", \"1.3\", \"y\"}", "1.3", -1, "", ""},
        // Fields that cannot hold a text are never matched, never overrun.
        {"{\"" + name20 + "\", \"1.2\", \"\"},{\"" + name19 + "\", \"1.2\", \"\"},", "1.2", 0, name19, ""},
        {"{\"X\", \"" + uid65 + "\", \"\"},", uid65, -1, "", ""},
        {"{\"X\", \"" + uid64 + "\", \"\"},", uid64, 0, "X", ""},
        // Syntax errors stop the search, also before a record that matches.
        {"{\"A\", \"1.2\", \"x\"}{\"B\", \"1.3\", \"y\"},", "1.3", -1, "", "',' (comma) expected"},
        {"{\"A\" \"1.2\", \"x\"},", "1.2", -1, "", "',' (comma) expected"},
        {"{\"A\", 1.2, \"x\"},", "1.2", -1, "", "character string between \"s (double quote) expected"},
        {"{\"A\", \"1.2\", \"x\",},", "1.2", -1, "", "'}' (right brace) expected"},
        {"[\"A\", \"1.2\", \"x\"},", "1.2", -1, "", "'{' (left brace) expected"},
        {"{\"A\", \"1.2\"", "1.2", -1, "", "',' (comma) expected"},
        {"{\"A\", \"1.2\", \"x", "1.2", -1, "", "character string between \"s (double quote) expected"},
    };
    log_mask(0x0030); // no loading line either
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text.substr(0, 70) + " / " + c.key);
        char out[20] = "stale";
        Load l = Search(c.text, c.key, 1, out);
        EXPECT_EQ(c.result, l.result);
        EXPECT_EQ(c.out, out);
        EXPECT_EQ(c.message.empty() ? "" : "Error: " + c.message + ".\n", l.err);
    }
}

TEST_F(UidFile, SecondarySearchOnlyWithoutAName) {
    char out[20] = "CT";
    EXPECT_EQ(0, InitDICOMUIDDef(dir.file("none.def").c_str(), "1.2", 0, out));
    EXPECT_STREQ("CT", out);
    out[0] = '\0';
    EXPECT_EQ(-1, InitDICOMUIDDef(dir.file("none.def").c_str(), "1.2", 0, out));
    EXPECT_EQ(0, Search("{\"S\", \"1.2\", \"\"},", "1.2", 0, out).result);
    EXPECT_STREQ("S", out);
}

/* ---- object files ----------------------------------------------------- */

using ObjectFile = DefsFixture;

const char kObjects[] = R"(# objects
{"CT", "CT Image", {
  {"C.7.1.1", "Patient", 'M', "Patient"},
  {"C.7.2.1", "General Study", 'M', "Study"},
}}
{"MR", "MR Image", {{"C.8.3.1", "MR Image", 'M', "Image"}}}
{"CT", "second title", {
  {"C.12.1", "SOP Common", 'C', ""},
  {"C.7.1.1", "Patient", 'U', "again"}
}}
{"EMPTY", "no modules", {}}
)";

TEST_F(ObjectFile, MatchingRecordsGiveTheModulesInFileOrder) {
    log_mask(0x0030);
    Load l = Objects(kObjects, "CT");
    EXPECT_EQ(0, l.result);
    EXPECT_EQ("Info: Loading primary DICOM Object definition file " + dir.file("ab_tab.def") + "\n",
              l.err);
    ASSERT_NE(nullptr, defs.abc);
    EXPECT_STREQ("CT", defs.abc->name);
    EXPECT_STREQ("CT Image", defs.abc->title);
    EXPECT_EQ("C.7.1.1:; C.7.2.1:; C.12.1:; C.7.1.1:", Picture(defs.abc));
    struct Want {
        const char *title, *usage, *text;
    } want[] = {{"Patient", "M", "Patient"}, {"General Study", "M", "Study"},
                {"SOP Common", "C", ""}, {"Patient", "U", "again"}};
    const ModuleDef *m = defs.abc->first;
    for (const Want &w : want) {
        ASSERT_NE(nullptr, m);
        EXPECT_STREQ(w.title, m->title);
        EXPECT_EQ(std::string(w.usage) + std::string(3, '\0'), std::string(m->usage, 4)); // letter, zeros
        EXPECT_STREQ(w.text, m->text);
        m = m->next;
    }

    // An object with an empty module list is found; one without a record is not.
    EXPECT_EQ(0, Objects(kObjects, "EMPTY").result);
    EXPECT_EQ("", Picture(defs.abc));
    EXPECT_STREQ("no modules", defs.abc->title);
    log_mask(0x0010);
    Load none = Objects(kObjects, "XA");
    EXPECT_EQ(-1, none.result);
    EXPECT_EQ("", none.err);
    EXPECT_EQ(nullptr, defs.abc);
}

TEST_F(ObjectFile, SecondaryFileRules) {
    EXPECT_EQ(-1, InitDICOMABDef(&app, &defs.abc, dir.file("none.def").c_str(), 0, "CT"));
    // A secondary file that opens makes a tree, also without a record.
    EXPECT_EQ(0, Objects("", "CT", 0).result);
    ASSERT_NE(nullptr, defs.abc);
    EXPECT_EQ(nullptr, defs.abc->name);

    ASSERT_EQ(0, Objects(kObjects, "MR").result); // a primary load replaces it
    EXPECT_EQ(0, InitDICOMABDef(&app, &defs.abc, dir.file("none.def").c_str(), 0, "MR"));
    ASSERT_EQ(0, Objects("{\"MR\", \"site\", {{\"S.1\", \"Site\", 'U', \"\"},}}", "MR", 0).result);
    EXPECT_EQ("C.8.3.1:; S.1:", Picture(defs.abc));
    EXPECT_STREQ("MR Image", defs.abc->title);
    EXPECT_EQ(-1, InitDICOMABDef(&app, &defs.abc, dir.file("none.def").c_str(), 1, "MR"));
    EXPECT_NE(nullptr, defs.abc); // a primary file that does not open changes nothing
}

TEST_F(ObjectFile, SyntaxErrorsEmptyTheSlot) {
    const std::string rec = "{\"CT\", \"T\", {{\"C.1\", \"M\", 'M', \"\"}}}";
    struct Case {
        std::string text, message;
    } cases[] = {
        {rec + "," + rec, "'{' (left brace) expected"},
        {"{CT, \"T\", {}}", "character string between \"s (double quote) expected"},
        {"{\"CT\" \"T\", {}}", "',' (comma) expected"},
        {"{\"CT\", \"T\" {}}", "',' (comma) expected"},
        {"{\"CT\", \"T\", }}", "'{' (left brace) expected"},
        {"{\"CT\", \"T\", {x}}", "'{' (left brace) expected"},
        {"{\"CT\", \"T\", {{\"C.1\", \"M\", M, \"\"}}}", "''' (apostrophe) expected"},
        {"{\"CT\", \"T\", {{\"C.1\", \"M\", 'M , \"\"}}}", "''' (apostrophe) expected"},
        {"{\"CT\", \"T\", {{\"C.1\", \"M\", 'M', \"\",}}}", "'}' (right brace) expected"},
        {"{\"CT\", \"T\", {{\"C.1\", \"M\", 'M', \"\"} {\"C.2\", \"M\", 'M', \"\"}}}",
         "'}' (right brace) expected"},
        {"{\"CT\", \"T\", {{\"C.1\", \"M\", 'M', \"\"}} x", "'}' (right brace) expected"},
        {"{\"CT\", \"T\", {{\"C.1\", \"M\", 'M', \"\"}}", "'}' (right brace) expected"},
        {"{\"CT\", \"T\", {{\"C.1\", \"M\", '", "character value expected"},
        {"{\"CT\", \"T\", {{\"C.1\", \"M\"", "unexpected end of file"},
        {"{\"CT\", \"T\", {{\"C.1\", \"M\", 'M', \"\"},", "unexpected end of file"},
        {"{\"CT\", \"T\", {", "unexpected end of file"},
        {"{\"CT\", \"T\"", "',' (comma) expected"},
    };
    for (const Case &c : cases) {
        for (int16_t primary : {1, 0}) {
            SCOPED_TRACE(c.text + (primary ? " (primary)" : " (secondary)"));
            ASSERT_EQ(0, Objects(kObjects, "CT").result);
            Load l = Objects(c.text, "CT", primary);
            EXPECT_EQ(-1, l.result);
            EXPECT_EQ("Error: " + c.message + ".\n", l.err);
            EXPECT_EQ(nullptr, defs.abc);
        }
    }
    // A blank and a quote between apostrophes are usage characters too.
    ASSERT_EQ(0, Objects("{\"CT\", \"T\", {{\"A\", \"\", ' ', \"\"}, {\"B\", \"\", '\"', \"\"}}}", "CT")
                     .result);
    EXPECT_STREQ(" ", defs.abc->first->usage);
    EXPECT_STREQ("\"", defs.abc->last->usage);
}

/* ---- module files ----------------------------------------------------- */

class ModuleFile : public DefsFixture {
protected:
    void SetUp() override {
        DefsFixture::SetUp();
        LoadObject();
    }
    void LoadObject() {
        ASSERT_EQ(0, Objects("{\"OB\", \"Object\", {{\"C.1\", \"One\", 'M', \"\"},"
                             "{\"C.2\", \"Two\", 'U', \"\"},{\"C.1\", \"One again\", 'M', \"\"}}}",
                             "OB")
                         .result);
    }
};

// C.1 holds two sequences (0008,1115) and (0040,0275), with the retired
// (0008,1198) between them that does not count; the items of the first
// hold (0008,1140), a sequence of their own.
const char kModules[] = R"(
{"C.1", "title not used", {
  {0x00100010, "Patient's Name", "2", "the name"},
  {0x00081115, "Referenced Series Sequence", "1C", ""},
  {0x00081198, "Failed SOP Sequence", "3", ""},
  {0x00400275, "Request Attributes Sequence", "3", ""},
}}
{"C.1_1", "", {{0x0020000E, "Series Instance UID", "1", ""}, {0x00081140, "Ref Image", "3", ""}}}
{"C.1_2", "", {{0x00401001, "Requested Procedure ID", "1C", ""}}}
{"C.1_1_1", "", {{0x00081150, "Referenced SOP Class UID", "1", ""}}}
{"C.1_1", "", {{0x00081155, "Referenced SOP Instance UID", "2", ""}}}
{"C.9", "a module the object does not use", {{0x00100020, "Patient ID", "1", ""}}}
{"C.2", "", {{0x00100020, "Patient ID", "3", ""}, {0x00080018, "typed", "1C2x", ""}}}
)";

TEST_F(ModuleFile, RecordsFillModulesAndItems) {
    log_mask(0x0030);
    Load l = Modules(kModules);
    EXPECT_EQ(0, l.result);
    EXPECT_EQ("Info: Loading primary DICOM Module definition file " + dir.file("c_tab.def") + "\n",
              l.err);
    EXPECT_EQ("C.1: 00100010/2 00081115/1C{FFFEE000/3{0020000E/1 00081140/3{FFFEE000/3{00081150/1}} "
              "00081155/2}} 00081198/3 00400275/3{FFFEE000/3{00401001/1C}}; "
              "C.2: 00100020/3 00080018/1C2; C.1:",
              Picture(defs.abc));
    const AttrDef *name = defs.abc->first->first;
    EXPECT_STREQ("Patient's Name", name->name);
    EXPECT_STREQ("the name", name->text);
    EXPECT_EQ(0, name->flags);
    EXPECT_EQ(nullptr, name->element);
    const AttrDef *item = name->next->first_child;
    EXPECT_STREQ("Item", item->name); // from the tag dictionary
    EXPECT_STREQ("", item->text);
    EXPECT_STREQ("One", defs.abc->first->title); // from the object file, not the module file
}

TEST_F(ModuleFile, ItemPathErrorsAndSyntaxErrorsEmptyTheSlot) {
    const std::string module = "{\"C.1\", \"\", {{0x00081115, \"S\", \"1\", \"\"}, {0x00100010, \"N\", "
                               "\"1\", \"\"}, {0x00400275, \"R\", \"1\", \"\"}}}";
    const std::string attr = "{0x00100020, \"Patient ID\", \"3\", \"\"}";
    auto rec = [&](const std::string &ref) { return "{\"" + ref + "\", \"\", {" + attr + "}}"; };
    struct Case {
        std::string text, message;
        int16_t primary;
    } cases[] = {
        {rec("C.1_1") + module, "empty SQ Element", 1},
        {module + rec("C.1_1_1"), "empty SQ Element", 1},
        {module + rec("C.1_3"), "less SQ Attribute than referenced in C.1_3", 1},
        {module + rec("C.1_1") + rec("C.1_1_1"), "less SQ Attribute than referenced in C.1_1_1", 1},
        {module + rec("C.1_1") + rec("C.1_1x"), "'_' (underscore) expected (SQ Attribute index separator)", 1},
        {module + rec("C.1__1"), "short integer value expected (SQ Attribute index)", 1},
        {module + rec("C.1_"), "short integer value expected (SQ Attribute index)", 1},
        {module + rec("C.1_0"), "short integer value expected (SQ Attribute index)", 1},
        {module + rec("C.1_32768"), "short integer value expected (SQ Attribute index)", 1},
        {module + rec("C.1_65537"), "short integer value expected (SQ Attribute index)", 1},
        {module + rec("C.1_99999999999999999999"), "short integer value expected (SQ Attribute index)", 1},
        {module + "," + module, "'{' (left brace) expected", 1},
        {"{\"C.1\", \"\", {{00081115, \"S\", \"1\", \"\"}}}", "hexadecimal value with 0x prefix expected", 1},
        {"{\"C.1\", \"\", {{0x00081115 \"S\", \"1\", \"\"}}}", "',' (comma) expected", 1},
        {"{\"C.1\", \"\", {{0x00081115, \"S\", 1, \"\"}}}", "character string between \"s (double quote) expected", 1},
        {"{\"C.1\", \"\", {{0x00081115, \"S\", \"1\", \"\"}} x", "'}' (right brace) expected", 1},
        {"{\"C.1\", \"\", {{0x00081115, \"S\", \"1\"", "unexpected end of file", 1},
        {"{\"C.1\", \"\", {", "unexpected end of file", 1},
        {"{\"C.1\", \"\"", "',' (comma) expected", 1},
        {"{\"C.1\", \"\", {{0x00081115, \"S\", \"3\", \"\"}, {0x00100010, \"N\", \"1\", \"\"}}}",
         "only Type 3 attributes are allowed in secondary definition file", 0},
        {"{\"C.1\", \"\", {{0x00100010, \"N\", \"3 \", \"\"}}}",
         "only Type 3 attributes are allowed in secondary definition file", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        if (!defs.abc)
            LoadObject();
        ASSERT_NE(nullptr, defs.abc);
        Load l = Modules(c.text, c.primary);
        EXPECT_EQ(-1, l.result);
        EXPECT_EQ("Error: " + c.message + ".\n", l.err);
        EXPECT_EQ(nullptr, defs.abc);
    }
}

TEST_F(ModuleFile, UnusedModulesAreReadButNotExamined) {
    // A wrong item path and type 1 in a secondary file pass in a module the
    // object does not use; its syntax is still checked.
    const std::string unused = "{\"C.7_9_x\", \"\", {{0x00100010, \"N\", \"1\", \"\"},}}";
    EXPECT_EQ(0, Modules(unused + "{\"C.2\", \"\", {{0x00100020, \"ID\", \"3\", \"\"}}}", 0).result);
    EXPECT_EQ("C.1:; C.2: 00100020/3; C.1:", Picture(defs.abc));
    Load l = Modules(unused + "{\"C.7\", \"\", {{0x0010, \"N\", \"1\", \"\"}", 0);
    EXPECT_EQ(-1, l.result);
    EXPECT_EQ("Error: unexpected end of file.\n", l.err);

    EXPECT_EQ(-1, InitDICOMCDef(&app, &defs.abc, dir.file("c_tab.def").c_str(), 1)); // no tree
    LoadObject();
    EXPECT_EQ(-1, InitDICOMCDef(&app, &defs.abc, dir.file("none.def").c_str(), 1));
    EXPECT_EQ(0, InitDICOMCDef(&app, &defs.abc, dir.file("none.def").c_str(), 0));
    EXPECT_NE(nullptr, defs.abc);
}

/* ---- wrappers along QUENOR_DEF_PATH ------------------------------------ */

class Wrappers : public DefsFixture {
protected:
    void SetUp() override {
        DefsFixture::SetUp();
        env = std::make_unique<testutil::ScopedEnv>("QUENOR_DEF_PATH", "/nonexistent;" + dir.path());
    }
    std::unique_ptr<testutil::ScopedEnv> env;
};

TEST_F(Wrappers, SiteUidFileMapsWhatThePrimaryDoesNot) {
    char out[20] = "stale";
    EXPECT_EQ(-1, InitUIDDef("1.2", 0, out));
    EXPECT_STREQ("", out);
    Write("uid_tab.def", "{\"CT\", \"1.2\", \"\"},{\"MR\", \"1.4\", \"\"},");
    Write("uid2_tab.def", "{\"SITE\", \"1.2\", \"\"},{\"SITE\", \"1.3\", \"\"},");
    struct Case {
        const char *key;
        int16_t only_primary;
        int result;
        const char *out;
    } cases[] = {
        {"1.2", 0, 0, "CT"},  // a primary hit stands
        {"1.3", 0, 0, "SITE"}, // the site's file maps what the primary does not
        {"1.3", 1, -1, ""},
        {"1.5", 0, -1, ""},    // a miss in both
        {"1.4", 0, 0, "MR"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.key);
        strcpy(out, "stale");
        EXPECT_EQ(c.result, InitUIDDef(c.key, c.only_primary, out));
        EXPECT_STREQ(c.out, out);
    }
    // A primary file that cannot be read ends the search with its message.
    Write("uid_tab.def", "{\"CT\" \"1.2\", \"\"},");
    Load l = Capture([&] { return InitUIDDef("1.3", 0, out); });
    EXPECT_EQ(-1, l.result);
    EXPECT_EQ("Error: ',' (comma) expected.\n", l.err);
    EXPECT_STREQ("", out);
}

TEST_F(Wrappers, CatchAllModuleFollowsTheSiteObjectFile) {
    EXPECT_EQ(-1, InitABDef(&app, &defs, 0, "CT"));
    EXPECT_EQ(-1, InitCDef(&app, &defs, 0));
    Write("ab_tab.def", kObjects);
    Write("c_tab.def", "{\"C.12.1\", \"\", {{0x00080016, \"SOP Class UID\", \"1\", \"\"}}}");
    ASSERT_EQ(0, InitABDef(&app, &defs, 0, "MR"));
    EXPECT_EQ("C.8.3.1:", Picture(defs.abc)); // no site file: no catch-all module

    Write("ab2_tab.def", "# the site's objects\n");
    Write("c2_tab.def", "{\"C.12.1\", \"\", {{0x00080018, \"SOP Instance UID\", \"3\", \"\"}}}");
    ASSERT_EQ(0, InitABDef(&app, &defs, 1, "CT"));
    EXPECT_EQ("C.7.1.1:; C.7.2.1:; C.12.1:; C.7.1.1:", Picture(defs.abc));
    ASSERT_EQ(0, InitCDef(&app, &defs, 1));
    EXPECT_EQ("C.7.1.1:; C.7.2.1:; C.12.1: 00080016/1; C.7.1.1:", Picture(defs.abc));

    ASSERT_EQ(0, InitABDef(&app, &defs, 0, "CT"));
    ASSERT_EQ(0, InitCDef(&app, &defs, 0));
    EXPECT_EQ("C.7.1.1:; C.7.2.1:; C.12.1: 00080016/1 00080018/3; C.7.1.1:; P.R.I.V.A.T.E:",
              Picture(defs.abc));
    const ModuleDef *m = defs.abc->last;
    EXPECT_STREQ("Private Data", m->title);
    EXPECT_STREQ("U", m->usage);
    EXPECT_STREQ("", m->text);

    // An object the primary file lacks fails however the site's file reads.
    Write("ab2_tab.def", "{\"XA\", \"site\", {}}");
    EXPECT_EQ(-1, InitABDef(&app, &defs, 0, "XA"));
    EXPECT_EQ(nullptr, defs.abc);
    // A broken site file: its message, no tree.
    Write("ab2_tab.def", "{\"XA\"}");
    Load l = Capture([&] { return InitABDef(&app, &defs, 0, "CT"); });
    EXPECT_EQ(-1, l.result);
    EXPECT_EQ("Error: ',' (comma) expected.\n", l.err);
    EXPECT_EQ(nullptr, defs.abc);
    DoneABCDef(&defs); // harmless on an empty slot
}

} // namespace
