/*
 * objdefs_test.cpp -- the UID, object and module definition loaders on
 * files the tests write: what the records become, item paths with their
 * error texts and the indexes that name no sequence, every syntax error
 * and what a failed load leaves in the slot, the secondary-file rules, the
 * wrappers along QUENOR_DEF_PATH; and every object of the bundled files.
 */
#include <memory>
#include <set>
#include <string>

#include "abcdefs_test_util.h"

namespace {

using abctest::DefsFixture;
using Loaders = DefsFixture;
using abctest::Load;
using abctest::Picture;

TEST_F(Loaders, UidFileSearch) {
    const std::string uid64 = "1." + std::string(62, '2'), uid65 = uid64 + "3";
    const std::string name19(19, 'N'), name20(20, 'N');
    const std::string good =
        "# classes\n{\"CT\", \"1.2.840.10008.5.1.4.1.1.2\", \"CT Image Storage\"},\n"
        "{ \"MR\" ,\"1.2.840.10008.5.1.4.1.1.4\",\"MR\"#c\n} ,\n";
    const std::string e_comma = "',' (comma) expected",
                      e_string = "character string between \"s (double quote) expected";
    struct Case {
        std::string text, key;
        int16_t primary;
        const char *before;
        int result;
        std::string out, message;
    } cases[] = {
        {good, "1.2.840.10008.5.1.4.1.1.4", 1, "", 0, "MR", ""},
        {good, "1.2.840.10008.5.1.4.1.1.", 1, "", -1, "", ""}, // exact match only
        {"", "1.2", 1, "", -1, "", ""},
        // The last record lacks its ',': not compared, no message.
        {"{\"A\", \"1.2\", \"x\"},{\"B\", \"1.3\", \"y\"}", "1.3", 1, "", -1, "", ""},
        // Texts longer than their fields never match, never overrun.
        {"{\"" + name20 + "\", \"1.2\", \"\"},{\"" + name19 + "\", \"1.2\", \"\"},", "1.2", 1, "",
         0, name19, ""},
        {"{\"X\", \"" + uid65 + "\", \"\"},", uid65, 1, "", -1, "", ""},
        {"{\"X\", \"" + uid64 + "\", \"\"},", uid64, 1, "", 0, "X", ""},
        // A secondary search runs only while no name was found.
        {good, "1.2.840.10008.5.1.4.1.1.2", 0, "", 0, "CT", ""},
        {"broken", "1.2.840.10008.5.1.4.1.1.2", 0, "XA", 0, "XA", ""},
        // Syntax errors stop the search, also before a record that matches.
        {"{\"A\", \"1.2\", \"x\"}{\"B\", \"1.3\", \"y\"},", "1.3", 1, "", -1, "", e_comma},
        {"{\"A\" \"1.2\", \"x\"},", "1.2", 1, "", -1, "", e_comma},
        {"{\"A\", 1.2, \"x\"},", "1.2", 1, "", -1, "", e_string},
        {"{\"A\", \"1.2\", \"x\",},", "1.2", 1, "", -1, "", "'}' (right brace) expected"},
        {"[\"A\", \"1.2\", \"x\"},", "1.2", 1, "", -1, "", "'{' (left brace) expected"},
        {"{\"A\", \"1.2\"", "1.2", 1, "", -1, "", e_comma},
        {"{\"A\", \"1.2\", \"x", "1.2", 0, "", -1, "", e_string},
    };
    log_mask(0x0030); // the UID loader logs no loading line
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text.substr(0, 70) + " / " + c.key);
        char out[20];
        strcpy(out, c.before);
        const std::string path = Write("uid_tab.def", c.text);
        Load l =
            Capture([&] { return InitDICOMUIDDef(path.c_str(), c.key.c_str(), c.primary, out); });
        EXPECT_EQ(c.result, l.result);
        EXPECT_EQ(c.out, out);
        EXPECT_EQ(c.message.empty() ? "" : "Error: " + c.message + ".\n", l.err);
    }
    char out[20] = "";
    EXPECT_EQ(-1, InitDICOMUIDDef(dir.file("none.def").c_str(), "1.2", 1, out));
}

const char kObjects[] = R"(# objects
{"CT", "CT Image", {
  {"C.7.1.1", "Patient", 'M', "Patient"},
  {"C.7.2.1", "General Study", ' ', "Study"},
}}
{"MR", "MR Image", {{"C.8.3.1", "MR Image", 'M', "Image"}}}
{"CT", "second title", {{"C.12.1", "SOP Common", '"', ""}, {"C.7.1.1", "Patient", 'U', "again"}}}
{"EMPTY", "no modules", {}}
)";

TEST_F(Loaders, ObjectFileRecordsAndSecondaryRules) {
    log_mask(0x0030);
    Load l = Objects(kObjects, "CT");
    EXPECT_EQ(0, l.result);
    EXPECT_EQ("Info: Loading primary DICOM Object definition file " + dir.file("ab_tab.def") + "\n",
              l.err);
    EXPECT_STREQ("CT", defs.abc->name);
    EXPECT_STREQ("CT Image", defs.abc->title); // of the first matching record
    EXPECT_EQ("C.7.1.1:; C.7.2.1:; C.12.1:; C.7.1.1:", Picture(defs.abc));
    std::string fields; // the usage letter, then zero bytes ('!' if not)
    for (const ModuleDef *m = defs.abc->first; m; m = m->next)
        fields += std::string(m->title) + "|" + m->usage[0] +
                  (m->usage[1] || m->usage[2] || m->usage[3] ? "!" : "") + "|" + m->text + "\n";
    EXPECT_EQ("Patient|M|Patient\nGeneral Study| |Study\nSOP Common|\"|\nPatient|U|again\n",
              fields);
    log_mask(0x0010);

    EXPECT_EQ(0, Objects(kObjects, "EMPTY").result);
    EXPECT_EQ("", Picture(defs.abc));
    l = Objects(kObjects, "XA"); // no record of the object: no message, no tree
    EXPECT_EQ(-1, l.result);
    EXPECT_EQ("", l.err);
    EXPECT_EQ(nullptr, defs.abc);

    const std::string none = dir.file("none.def");
    EXPECT_EQ(-1, InitDICOMABDef(&app, &defs.abc, none.c_str(), 0, "MR")); // nothing loaded before
    EXPECT_EQ(0, Objects("", "MR", 0).result); // a secondary file that opens makes a tree
    EXPECT_EQ(nullptr, defs.abc->name);
    ASSERT_EQ(0, Objects(kObjects, "MR").result); // a primary load replaces it
    EXPECT_EQ(0, InitDICOMABDef(&app, &defs.abc, none.c_str(), 0, "MR"));
    ASSERT_EQ(0, Objects("{\"MR\", \"site\", {{\"S.1\", \"Site\", 'U', \"\"},}}", "MR", 0).result);
    EXPECT_EQ("C.8.3.1:; S.1:", Picture(defs.abc));
    EXPECT_EQ(-1, InitDICOMABDef(&app, &defs.abc, none.c_str(), 1, "MR"));
    EXPECT_NE(nullptr, defs.abc); // a primary file that does not open changes nothing
}

TEST_F(Loaders, ObjectFileSyntaxErrorsEmptyTheSlot) {
    const std::string head = "{\"CT\", \"T\", {", entry = "{\"C.1\", \"M\", 'M', \"\"}";
    struct Case {
        std::string text, message;
    } cases[] = {
        {head + "}}," + head + "}}", "'{' (left brace) expected"},
        {"{CT, \"T\", {}}", "character string between \"s (double quote) expected"},
        {"{\"CT\" \"T\", {}}", "',' (comma) expected"},
        {"{\"CT\", \"T\", }}", "'{' (left brace) expected"},
        {head + "x}}", "'{' (left brace) expected"},
        {head + "{\"C.1\", \"M\", M, \"\"}}}", "''' (apostrophe) expected"},
        {head + "{\"C.1\", \"M\", 'M , \"\"}}}", "''' (apostrophe) expected"},
        {head + "{\"C.1\", \"M\", 'M', \"\",}}}", "'}' (right brace) expected"},
        {head + entry + " " + entry + "}}", "'}' (right brace) expected"},
        {head + entry + "} x", "'}' (right brace) expected"},
        {head + entry + "}", "'}' (right brace) expected"},
        {head + "{\"C.1\", \"M\", '", "character value expected"},
        {head + "{\"C.1\", \"M\"", "unexpected end of file"},
        {head + entry + ",", "unexpected end of file"},
        {head, "unexpected end of file"},
        {"{\"CT\", \"T\"", "',' (comma) expected"},
    };
    for (const Case &c : cases)
        for (int16_t primary : {1, 0}) {
            SCOPED_TRACE(c.text + (primary ? " (primary)" : " (secondary)"));
            ASSERT_EQ(0, Objects(kObjects, "CT").result);
            Load l = Objects(c.text, "CT", primary);
            EXPECT_EQ(-1, l.result);
            EXPECT_EQ("Error: " + c.message + ".\n", l.err);
            EXPECT_EQ(nullptr, defs.abc);
        }
}

class ModuleFile : public DefsFixture {
protected:
    void SetUp() override {
        DefsFixture::SetUp();
        LoadObject();
    }
    void LoadObject() {
        ASSERT_EQ(0, Objects("{\"OB\", \"Object\", {{\"C.1\", \"One\", 'M', \"\"}, {\"C.2\", "
                             "\"Two\", 'U', \"\"},"
                             "{\"C.1\", \"One again\", 'M', \"\"}}}",
                             "OB")
                         .result);
    }
};

// C.1 holds the sequences (0008,1115) and (0040,0275), with the retired
// (0008,1198) between them that does not count; the items of the first
// hold the sequence (0008,1140).
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
{"C.7_9_x", "a module the object does not use", {{0x00100020, "Patient ID", "1", ""}}}
{"C.2", "", {{0x00100020, "Patient ID", "3", ""}, {0x00080018, "typed", "1C2x", ""}}}
)";

TEST_F(ModuleFile, RecordsFillModulesAndItems) {
    log_mask(0x0030);
    Load l = Modules(kModules);
    EXPECT_EQ(0, l.result);
    EXPECT_EQ("Info: Loading primary DICOM Module definition file " + dir.file("c_tab.def") + "\n",
              l.err);
    // Records of one item path join; only the first C.1 is filled.
    EXPECT_EQ(
        "C.1: 00100010/2 00081115/1C{FFFEE000/3{0020000E/1 00081140/3{FFFEE000/3{00081150/1}} "
        "00081155/2}} 00081198/3 00400275/3{FFFEE000/3{00401001/1C}}; "
        "C.2: 00100020/3 00080018/1C2; C.1:",
        Picture(defs.abc));
    const AttrDef *name = defs.abc->first->first;
    EXPECT_EQ("Patient's Name|the name|0",
              std::string(name->name) + "|" + name->text + "|" +
                  std::to_string(name->flags + (name->element != nullptr)));
    const AttrDef *item = name->next->first_child;
    EXPECT_EQ("Item|", std::string(item->name) + "|" + item->text); // the dictionary's name
    EXPECT_STREQ("One", defs.abc->first->title);                    // the object file's title stays

    // A secondary file adds type 3 attributes; a module the object does not
    // use passes with any item path and type, its syntax checked all the same.
    EXPECT_EQ(0, Modules("{\"C.9_0\", \"\", {{0x00100010, \"N\", \"1\", \"\"}}}"
                         "{\"C.1_2\", \"\", {{0x00100020, \"ID\", \"3\", \"\"}}}",
                         0)
                     .result);
    EXPECT_NE(std::string::npos,
              Picture(defs.abc).find("00400275/3{FFFEE000/3{00401001/1C 00100020/3}}"));
    EXPECT_EQ(0, InitDICOMCDef(&app, &defs.abc, dir.file("none.def").c_str(), 0));
    EXPECT_EQ(-1, InitDICOMCDef(&app, &defs.abc, dir.file("none.def").c_str(), 1));
    EXPECT_NE(nullptr, defs.abc);
    DoneABCDef(&defs);
    EXPECT_EQ(-1, InitDICOMCDef(&app, &defs.abc, dir.file("c_tab.def").c_str(), 1)); // no tree
}

TEST_F(ModuleFile, ItemPathAndSyntaxErrorsEmptyTheSlot) {
    const std::string module =
        "{\"C.1\", \"\", {{0x00081115, \"S\", \"1\", \"\"}, {0x00100010, \"N\", "
        "\"1\", \"\"}, {0x00400275, \"R\", \"1\", \"\"}}}";
    auto rec = [](const std::string &ref) {
        return "{\"" + ref + "\", \"\", {{0x00100020, \"Patient ID\", \"3\", \"\"}}}";
    };
    const std::string e_index = "short integer value expected (SQ Attribute index)";
    const std::string e_type = "only Type 3 attributes are allowed in secondary definition file";
    const std::string attr = "{\"C.1\", \"\", {{0x00081115, \"S\", \"1\"";
    struct Case {
        std::string text, message;
        int16_t primary;
    } cases[] = {
        {rec("C.1_1") + module, "empty SQ Element", 1},
        {module + rec("C.1_1_1"), "empty SQ Element", 1},
        {module + rec("C.1_3"), "less SQ Attribute than referenced in C.1_3", 1},
        {module + rec("C.1_1") + rec("C.1_1_1"), "less SQ Attribute than referenced in C.1_1_1", 1},
        {module + rec("C.1_1") + rec("C.1_1x"),
         "'_' (underscore) expected (SQ Attribute index separator)", 1},
        {module + rec("C.1__1"), e_index, 1},
        {module + rec("C.1_"), e_index, 1},
        // Indexes that name no sequence: 0, and any beyond 16 bits.
        {module + rec("C.1_0"), e_index, 1},
        {module + rec("C.1_32768"), e_index, 1},
        {module + rec("C.1_65537"), e_index, 1},
        {module + rec("C.1_99999999999999999999"), e_index, 1},
        {module + "," + module, "'{' (left brace) expected", 1},
        {"{\"C.1\", \"\", {{00081115, \"S\", \"1\", \"\"}}}",
         "hexadecimal value with 0x prefix expected", 1},
        {"{\"C.1\", \"\", {{0x00081115 \"S\", \"1\", \"\"}}}", "',' (comma) expected", 1},
        {"{\"C.1\", \"\", {{0x00081115, \"S\", 1, \"\"}}}",
         "character string between \"s (double quote) expected", 1},
        {attr + ", \"\"}} x", "'}' (right brace) expected", 1},
        {attr, "unexpected end of file", 1},
        {"{\"C.1\", \"\", {", "unexpected end of file", 1},
        {"{\"C.1\", \"\"", "',' (comma) expected", 1},
        {"{\"C.9\", \"\", {{0x0010, \"N\", \"1\", \"\"}", "unexpected end of file", 0},
        {"{\"C.1\", \"\", {{0x00081115, \"S\", \"3\", \"\"}, {0x00100010, \"N\", \"1\", \"\"}}}",
         e_type, 0},
        {"{\"C.1\", \"\", {{0x00100010, \"N\", \"3 \", \"\"}}}", e_type, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        if (!defs.abc)
            LoadObject();
        Load l = Modules(c.text, c.primary);
        EXPECT_EQ(-1, l.result);
        EXPECT_EQ("Error: " + c.message + ".\n", l.err);
        EXPECT_EQ(nullptr, defs.abc);
    }
}

class Wrappers : public DefsFixture {
protected:
    void SetUp() override {
        DefsFixture::SetUp();
        env =
            std::make_unique<testutil::ScopedEnv>("QUENOR_DEF_PATH", "/nonexistent;" + dir.path());
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
        {"1.2", 0, 0, "CT"},   // a primary hit stands
        {"1.3", 0, 0, "SITE"}, // the site's file maps what the primary does not
        {"1.3", 1, -1, ""},
        {"1.5", 0, -1, ""}, // a miss in both
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.key);
        strcpy(out, "stale");
        EXPECT_EQ(c.result, InitUIDDef(c.key, c.only_primary, out));
        EXPECT_STREQ(c.out, out);
    }
    Write("uid_tab.def", "{\"CT\" \"1.2\", \"\"},"); // a broken primary file ends the search
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
    ASSERT_EQ(0, InitCDef(&app, &defs, 1));
    EXPECT_EQ("C.7.1.1:; C.7.2.1:; C.12.1: 00080016/1; C.7.1.1:", Picture(defs.abc));
    ASSERT_EQ(0, InitABDef(&app, &defs, 0, "CT"));
    ASSERT_EQ(0, InitCDef(&app, &defs, 0));
    EXPECT_EQ("C.7.1.1:; C.7.2.1:; C.12.1: 00080016/1 00080018/3; C.7.1.1:; P.R.I.V.A.T.E:",
              Picture(defs.abc));
    const ModuleDef *m = defs.abc->last;
    EXPECT_EQ("Private Data|U|", std::string(m->title) + "|" + m->usage + "|" + m->text);

    Write("ab2_tab.def", "{\"XA\", \"site\", {}}"); // the primary file decides
    EXPECT_EQ(-1, InitABDef(&app, &defs, 0, "XA"));
    EXPECT_EQ(nullptr, defs.abc);
    Write("ab2_tab.def", "{\"XA\"}");
    Load l = Capture([&] { return InitABDef(&app, &defs, 0, "CT"); });
    EXPECT_EQ(-1, l.result);
    EXPECT_EQ("Error: ',' (comma) expected.\n", l.err);
    EXPECT_EQ(nullptr, defs.abc);
    DoneABCDef(&defs); // harmless on an empty slot
}

TEST(BundledObjectDefs, EveryMappedObjectLoadsWithoutAMessage) {
    AppData app{};
    DefHolder defs{};
    char banner[64];
    init_AppData(&app, "t", "1", banner);
    testutil::ScopedEnv env("QUENOR_DEF_PATH", testutil::DefsDir());
    log_mask(0x0020); // errors and warnings on standard error
    ASSERT_EQ(0, InitTagDef(&app, 0));
    const std::string uids = testutil::ReadFile(testutil::DefsDir() + "/uid_tab.def");
    int objects = 0;
    std::set<std::string> empty_modules;
    for (size_t at = 0; (at = uids.find("\n{\"", at)) != std::string::npos; at++, objects++) {
        const size_t name_end = uids.find('"', at + 3), uid_at = uids.find('"', name_end + 1) + 1;
        const std::string name = uids.substr(at + 3, name_end - at - 3);
        const std::string uid = uids.substr(uid_at, uids.find('"', uid_at) - uid_at);
        SCOPED_TRACE(name + " " + uid);
        char out[20] = "";
        testing::internal::CaptureStderr();
        EXPECT_EQ(0, InitUIDDef(uid.c_str(), 0, out));
        EXPECT_EQ(0, InitABDef(&app, &defs, 0, out));
        EXPECT_EQ(0, InitCDef(&app, &defs, 0));
        EXPECT_EQ("", testing::internal::GetCapturedStderr());
        ASSERT_NE(nullptr, defs.abc);
        EXPECT_EQ(name, defs.abc->name);
        ASSERT_NE(defs.abc->first, defs.abc->last);
        EXPECT_STREQ("P.R.I.V.A.T.E", defs.abc->last->reference);
        for (const ModuleDef *m = defs.abc->first; m != defs.abc->last; m = m->next)
            if (!m->first)
                empty_modules.insert(m->reference);
        DoneABCDef(&defs);
    }
    EXPECT_EQ(75, objects);
    // This module's table is empty in the standard's source tables.
    EXPECT_EQ((std::set<std::string>{"C.8.17.3"}), empty_modules);
    DoneTagDef(&app);
    log_mask(0x002C);
}

} // namespace
