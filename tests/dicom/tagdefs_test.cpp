/*
 * tagdefs_test.cpp -- the tag and private definition loaders on files the
 * tests write: records, growth, the 32767-row limit, every syntax error
 * message, the secondary-file rules, the wrappers along QUENOR_DEF_PATH,
 * and the bundled dictionaries loading without a message.
 */
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "medcore.h"
#include "testutil.h"

namespace {

using testutil::WriteFile;

struct Load {
    int result;
    std::string err; // standard error during the load
};

class Defs : public ::testing::Test {
protected:
    void SetUp() override {
        char banner[64];
        init_AppData(&app, "prog", "2.0", banner);
        EXPECT_STREQ("prog 2.0", banner);
        saved_mask = log_mask(0x0010); // errors on standard error only
    }
    void TearDown() override {
        DoneTagPrvDef(&app, &defs);
        log_mask(saved_mask);
    }

    std::string Write(const std::string &name, const std::string &text) {
        WriteFile(dir.file(name), text);
        return dir.file(name);
    }
    Load Tags(const std::string &text, int16_t primary = 1) {
        const std::string path = Write(primary ? "tag_tab.def" : "tag2_tab.def", text);
        testing::internal::CaptureStderr();
        const int r = InitDICOMTagDef(&app, path.c_str(), primary);
        return {r, testing::internal::GetCapturedStderr()};
    }
    Load Private(const std::string &text, int16_t primary = 1) {
        const std::string path = Write(primary ? "prv_tab.def" : "prv2_tab.def", text);
        testing::internal::CaptureStderr();
        const int r = InitDICOMPrvDef(&app, &defs, path.c_str(), primary);
        return {r, testing::internal::GetCapturedStderr()};
    }
    std::vector<std::string> CreatorNames() const {
        std::vector<std::string> names;
        for (PrvCreatorDef *c = defs.prv ? defs.prv->first : nullptr; c; c = c->next)
            names.push_back(c->name);
        return names;
    }

    testutil::TempDir dir;
    AppData app{};
    DefHolder defs{};
    int16_t saved_mask = 0;
};

const char kTwoRecords[] = "# dictionary\n"
                           "{0x00100010, \"Patient's Name\", \"PN\", 1, \"\"},\n"
                           "{ 0x00280004 ,\"Photometric\"#c\n,\"ZZ\",-3,\"MONOCHROME2, RGB\" } ,\n";

TEST_F(Defs, TagRecordsAreStoredInFileOrder) {
    Load l = Tags(kTwoRecords);
    EXPECT_EQ(0, l.result);
    EXPECT_EQ("", l.err);
    ASSERT_EQ(2, app.primary_count);
    EXPECT_EQ(20, app.primary_capacity);
    const TagDefEntry &a = app.primary_tags[0], &b = app.primary_tags[1];
    EXPECT_EQ(0x00100010u, a.tag);
    EXPECT_STREQ("Patient's Name", a.name);
    EXPECT_EQ(VR_PN, a.vr);
    EXPECT_EQ(1, a.vm);
    EXPECT_STREQ("", a.permitted);
    EXPECT_EQ(0x00280004u, b.tag);
    EXPECT_EQ(-1, b.vr); // no VR of that name: stored, no message
    EXPECT_EQ(-3, b.vm);
    EXPECT_STREQ("MONOCHROME2, RGB", b.permitted);
    EXPECT_EQ(0, app.secondary_count);
}

TEST_F(Defs, TagLoadingLineAtLevelThree) {
    log_mask(0x0030);
    Load l = Tags(kTwoRecords);
    EXPECT_EQ("Info: Loading primary DICOM Attribute Tag definition file " +
                  dir.file("tag_tab.def") + "\n",
              l.err);
    l = Tags(kTwoRecords, 0);
    EXPECT_EQ("Info: Loading secondary DICOM Attribute Tag definition file " +
                  dir.file("tag2_tab.def") + "\n",
              l.err);
    EXPECT_EQ(2, app.secondary_count);
}

TEST_F(Defs, LastRecordWithoutCommaIsDroppedSilently) {
    Load l = Tags("{0x00100010, \"A\", \"PN\", 1, \"\"},\n{0x00100020, \"B\", \"LO\", 1, \"\"}\n");
    EXPECT_EQ(0, l.result);
    EXPECT_EQ("", l.err);
    EXPECT_EQ(1, app.primary_count);
}

TEST_F(Defs, EmptyOrCommentOnlyFileLoadsNoRows) {
    EXPECT_EQ(0, Tags("").result);
    EXPECT_NE(nullptr, app.pool);
    EXPECT_EQ(0, Tags("# nothing\n   # here").result);
    EXPECT_EQ(0, app.primary_count);
}

TEST_F(Defs, TagSyntaxErrors) {
    const std::string rec = "{0x00100010, \"A\", \"PN\", 1, \"\"},\n";
    struct Case {
        std::string text, message;
    } cases[] = {
        {"x", "'{' (left brace) expected"},
        {"{0X00100010, \"A\", \"PN\", 1, \"\"},", "hexadecimal value with 0x prefix expected"},
        {"{00100010, \"A\", \"PN\", 1, \"\"},", "hexadecimal value with 0x prefix expected"},
        {"{0x00100010 \"A\", \"PN\", 1, \"\"},", "',' (comma) expected"},
        {"{0x00100010, A, \"PN\", 1, \"\"},",
         "character string between \"s (double quote) expected"},
        {"{0x00100010, \"A\", PN, 1, \"\"},",
         "character string between \"s (double quote) expected"},
        {"{0x00100010, \"A\", \"PN\", one, \"\"},", "short integer value expected"},
        {"{0x00100010, \"A\", \"PN\", 1, },",
         "character string between \"s (double quote) expected"},
        {"{0x00100010, \"A\", \"PN\", 1, \"\",},", "'}' (right brace) expected"},
        {"{0x00100010, \"A\", \"PN\", 1, \"\"}{0x00100020, \"B\", \"PN\", 1, \"\"},",
         "',' (comma) expected"},
        {"{0x00100010", "',' (comma) expected"},
        {"{0x00100010, \"A\", \"PN\", 1", "',' (comma) expected"},
        {"{0x00100010, \"" + std::string(2006, 'n') + "\", \"PN\", 1, \"\"},",
         "character string between \"s (double quote) expected"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text.substr(0, 60));
        DoneTagDef(&app);
        Load l = Tags(rec + c.text);
        EXPECT_EQ(-1, l.result);
        EXPECT_EQ("Error: " + c.message + ".\n", l.err);
        EXPECT_EQ(1, app.primary_count); // rows before the error stay
    }
}

TEST_F(Defs, LongestNameIsAccepted) {
    const std::string name(2005, 'n');
    ASSERT_EQ(0, Tags("{0x00100010, \"" + name + "\", \"PN\", 1, \"\"},").result);
    EXPECT_EQ(name, app.primary_tags[0].name);
}

std::string Records(int n) {
    std::string text;
    char line[80];
    for (int i = 0; i < n; i++) {
        snprintf(line, sizeof line, "{0x%08x,\"N\",\"US\",1,\"\"},\n", 0x00100000u + (unsigned)i);
        text += line;
    }
    return text;
}

TEST_F(Defs, TableGrowsInStepsOfTwenty) {
    ASSERT_EQ(0, Tags(Records(21)).result);
    EXPECT_EQ(21, app.primary_count);
    EXPECT_EQ(40, app.primary_capacity);
    EXPECT_EQ(0x00100014u, app.primary_tags[20].tag);
}

TEST_F(Defs, TableStopsAtThe16BitLimit) {
    Load l = Tags(Records(32768));
    EXPECT_EQ(-1, l.result);
    EXPECT_EQ("Error: Too many attribute definitions in " + dir.file("tag_tab.def") +
                  ": a table holds at most 32767.\n",
              l.err);
    EXPECT_EQ(32767, app.primary_count);
    EXPECT_EQ(32767, app.primary_capacity);
    EXPECT_EQ(0x00100000u + 32766u, app.primary_tags[32766].tag);
}

TEST_F(Defs, MissingTagFiles) {
    EXPECT_EQ(-1, InitDICOMTagDef(&app, dir.file("none.def").c_str(), 1));
    EXPECT_EQ(0, InitDICOMTagDef(&app, dir.file("none.def").c_str(), 0));
    EXPECT_EQ(nullptr, app.pool);
}

const char kPrivate[] = "# private\n"
                        "{\"ACME 1\", {\n"
                        "  {0x00291010, \"First\", \"US\", 1, \"\"},\n"
                        "  {0x00292011, \"Second\", \"XX?\", -2, \"A, B\"},\n"
                        "}}\n"
                        "{\"acme 1\",{}}"
                        "{\"ACME 1\", { {0x00293012, \"Third\", \"LO\", 1, \"\"} }}\n";

TEST_F(Defs, PrivateCreatorsGatherTheirElements) {
    Load l = Private(kPrivate);
    EXPECT_EQ(0, l.result);
    EXPECT_EQ("", l.err);
    EXPECT_EQ((std::vector<std::string>{"ACME 1", "acme 1"}), CreatorNames());
    PrvCreatorDef *acme = defs.prv->first;
    std::vector<uint32_t> tags;
    std::vector<std::string> names;
    for (PrvElementDef *d = acme->first; d; d = d->next) {
        tags.push_back(d->entry->tag);
        names.push_back(d->entry->name);
        EXPECT_EQ(acme, d->creator);
        EXPECT_EQ(0, d->flags);
        EXPECT_EQ(nullptr, d->element);
    }
    EXPECT_EQ((std::vector<uint32_t>{0x00290010, 0x00290011, 0x00290012}), tags);
    EXPECT_EQ((std::vector<std::string>{"First", "Second", "Third"}), names);
    EXPECT_EQ(-1, acme->first->next->entry->vr);
    EXPECT_STREQ("A, B", acme->first->next->entry->permitted);
    EXPECT_EQ(acme->first, acme->last->prev->prev);
    EXPECT_EQ(nullptr, defs.prv->last->first); // empty element list
    EXPECT_EQ(nullptr, acme->reserved);
}

TEST_F(Defs, PrivateLoadingLineAtLevelThree) {
    log_mask(0x0030);
    Load l = Private("");
    EXPECT_EQ(0, l.result);
    EXPECT_EQ("Info: Loading primary DICOM Private Data definition file " +
                  dir.file("prv_tab.def") + "\n",
              l.err);
    EXPECT_NE(nullptr, defs.prv);
}

TEST_F(Defs, PrivateSyntaxErrors) {
    const std::string el = "{0x00290010, \"E\", \"US\", 1, \"\"}";
    struct Case {
        std::string text, message;
    } cases[] = {
        {"{\"A\",{}},{\"B\",{}}", "'{' (left brace) expected"},
        {"{A,{}}", "character string between \"s (double quote) expected"},
        {"{\"A\" {}}", "',' (comma) expected"},
        {"{\"A\", }}", "'{' (left brace) expected"},
        {"{\"A\",{ x }}", "'{' (left brace) expected"},
        {"{\"A\",{" + el + " " + el + "}}", "5 '}' (right brace) expected"},
        {"{\"A\",{" + el + "} x", "6 '}' (right brace) expected"},
        {"{\"A\",{" + el + "}", "6 '}' (right brace) expected"},
        {"{\"A\",{" + el + ",", "unexpected end of file"},
        {"{\"A\",{{0x00290010, \"E\"", "unexpected end of file"},
        {"{\"A\",{{0x00290010, \"E\", \"US\", x, \"\"}}}", "short integer value expected"},
        {"{\"A\",{{0x00290010, \"E\", \"US\", 1, \"\",}}}", "'}' (right brace) expected"},
        {"{\"A\"", "',' (comma) expected"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        ASSERT_EQ(0, Private(kPrivate).result);
        Load l = Private(c.text);
        EXPECT_EQ(-1, l.result);
        EXPECT_EQ("Error: " + c.message + ".\n", l.err);
        EXPECT_EQ(nullptr, defs.prv);
    }
}

TEST_F(Defs, PrivateSecondaryFileRules) {
    // A secondary file with nothing loaded before: missing is a failure.
    EXPECT_EQ(-1, InitDICOMPrvDef(&app, &defs, dir.file("none.def").c_str(), 0));
    ASSERT_EQ(0, Private(kPrivate).result);
    EXPECT_EQ(0, InitDICOMPrvDef(&app, &defs, dir.file("none.def").c_str(), 0));
    EXPECT_EQ(-1, InitDICOMPrvDef(&app, &defs, dir.file("none.def").c_str(), 1));
    ASSERT_NE(nullptr, defs.prv); // a failed open keeps the tree

    // The secondary file adds to the tree, also to an existing creator.
    ASSERT_EQ(0, Private("{\"ACME 1\",{{0x00290020,\"Site\",\"SH\",1,\"\"}}}{\"X\",{}}", 0).result);
    EXPECT_EQ((std::vector<std::string>{"ACME 1", "acme 1", "X"}), CreatorNames());
    EXPECT_STREQ("Site", defs.prv->first->last->entry->name);

    // A primary load replaces the tree.
    ASSERT_EQ(0, Private("{\"Y\",{}}").result);
    EXPECT_EQ((std::vector<std::string>{"Y"}), CreatorNames());

    // A secondary into an empty slot that does open makes a tree.
    DonePrvDef(&defs);
    ASSERT_EQ(0, Private("{\"Z\",{}}", 0).result);
    EXPECT_EQ((std::vector<std::string>{"Z"}), CreatorNames());
}

class Wrappers : public Defs {
protected:
    void SetUp() override {
        Defs::SetUp();
        env =
            std::make_unique<testutil::ScopedEnv>("QUENOR_DEF_PATH", "/nonexistent;" + dir.path());
    }
    std::unique_ptr<testutil::ScopedEnv> env;
};

TEST_F(Wrappers, PrimaryMissingFailsSecondaryMissingIsFine) {
    EXPECT_EQ(-1, InitTagDef(&app, 0));
    EXPECT_EQ(-1, InitPrvDef(&app, &defs, 0));
    EXPECT_EQ(-1, InitTagPrvDef(&app, &defs, 0));
    Write("tag_tab.def", kTwoRecords);
    Write("prv_tab.def", kPrivate);
    EXPECT_EQ(0, InitTagPrvDef(&app, &defs, 0));
    EXPECT_EQ(2, app.primary_count);
    EXPECT_EQ(0, app.secondary_count);
    EXPECT_EQ(2u, CreatorNames().size());
}

TEST_F(Wrappers, SecondaryFilesAndOnlyPrimary) {
    Write("tag_tab.def", kTwoRecords);
    Write("tag2_tab.def", "{0x00091001, \"Site\", \"LO\", 1, \"\"},");
    Write("prv_tab.def", kPrivate);
    Write("prv2_tab.def", "{\"SITE\",{}}");
    EXPECT_EQ(0, InitTagPrvDef(&app, &defs, 1));
    EXPECT_EQ(0, app.secondary_count);
    EXPECT_EQ(2u, CreatorNames().size());
    DoneTagPrvDef(&app, &defs);
    EXPECT_EQ(nullptr, app.pool);
    EXPECT_EQ(0, app.primary_capacity);
    EXPECT_EQ(0, InitTagPrvDef(&app, &defs, 0));
    EXPECT_EQ(1, app.secondary_count);
    EXPECT_EQ(3u, CreatorNames().size());
}

TEST_F(Wrappers, BrokenSecondaryPrivateFileEmptiesTheSlot) {
    Write("prv_tab.def", kPrivate);
    Write("prv2_tab.def", "{\"SITE\",{} ");
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, InitPrvDef(&app, &defs, 0));
    EXPECT_EQ("Error: 6 '}' (right brace) expected.\n", testing::internal::GetCapturedStderr());
    EXPECT_EQ(nullptr, defs.prv);
}

TEST(BundledDefs, LoadWithoutAnyMessage) {
    const int16_t saved = log_mask(0x0020); // errors and warnings on standard error
    AppData app{};
    DefHolder defs{};
    char banner[64];
    init_AppData(&app, "t", "1", banner);
    const std::string d = testutil::DefsDir();
    testing::internal::CaptureStderr();
    EXPECT_EQ(0, InitDICOMTagDef(&app, (d + "/tag_tab.def").c_str(), 1));
    EXPECT_EQ(0, InitDICOMTagDef(&app, (d + "/tag2_tab.def").c_str(), 0));
    EXPECT_EQ(0, InitDICOMPrvDef(&app, &defs, (d + "/prv_tab.def").c_str(), 1));
    EXPECT_EQ(0, InitDICOMPrvDef(&app, &defs, (d + "/prv2_tab.def").c_str(), 0));
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
    EXPECT_GT(app.primary_count, 1000);
    ASSERT_NE(nullptr, defs.prv);
    EXPECT_NE(nullptr, defs.prv->first);
    int rows_without_vr = 0;
    for (int i = 0; i < app.primary_count; i++)
        rows_without_vr += app.primary_tags[i].vr == -1;
    EXPECT_EQ(0, rows_without_vr);
    DoneTagPrvDef(&app, &defs);
    log_mask(saved);
}

} // namespace
