/*
 * profile_test.cpp -- the profile interpreter on objects the tests build:
 * values by VR in the tree and in the saved file (read back by pydicom),
 * refused values and their messages with line numbers, empty, delete and
 * select (items 0, n, -1), the position kept at the level of a deleted
 * element, sequences held as raw bytes, line reading (CR LF, comments,
 * lines longer than one read), and includes down to depth 10.
 */
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "dicom/tree_test_util.h"
#include "medcore.h"
#include "profile.h"
#include "testutil.h"

namespace {

using testutil::TempDir;
using treetest::Picture;

AppData g_app;
DefHolder g_defs;

class Env : public ::testing::Environment {
public:
    void SetUp() override {
        char banner[64];
        init_AppData(&g_app, "tagpatch", "2.1", banner);
        const std::string dir = testutil::DefsDir();
        ASSERT_EQ(0, InitDICOMTagDef(&g_app, (dir + "/tag_tab.def").c_str(), 1));
        ASSERT_EQ(0, InitDICOMTagDef(&g_app, (dir + "/tag2_tab.def").c_str(), 0));
        log_mask(0);
    }
    void TearDown() override { DoneTagPrvDef(&g_app, &g_defs); }
};
const auto *g_env = ::testing::AddGlobalTestEnvironment(new Env);

const uint32_t kUndef = 0xFFFFFFFFu;

std::string Oracle() { return std::string(QUENOR_SOURCE_DIR) + "/tests/editor/edit_oracle.py"; }

class Profile : public ::testing::Test {
protected:
    void SetUp() override {
        init_IOObject(&io_);
        ASSERT_EQ(0, DO_openObject(&io_));
        obj_ = io_.object;
    }
    void TearDown() override { DO_closeObject(&io_); }

    /* Appends an element as the reader does: at the insertion parent, with
     * the dictionary's VR; a sequence or item opens, a null close shuts it. */
    void Put(uint16_t g, uint16_t e, const char *text = nullptr, uint32_t length = 0) {
        DicomElementHead h = {};
        h.group = g;
        h.element = e;
        int vr = -1;
        DOU_defXVRTypeByTags(&g_app, g, e, &vr);
        h.vr = vr;
        h.value = const_cast<char *>(text);
        h.length = text ? (uint32_t)strlen(text) : length;
        ASSERT_EQ(0, DO_addElement(&g_app, obj_, &h));
    }
    void OpenSeq(uint16_t g, uint16_t e) { Put(g, e, nullptr, kUndef); }
    void OpenItem() { Put(0xFFFE, 0xE000, nullptr, kUndef); }
    void Close(uint16_t e) { Put(0xFFFE, e, nullptr, kUndef); } /* E00D or E0DD */

    std::string Write(const std::string &name, const std::string &text) {
        testutil::WriteFile(tmp_.file(name), text);
        return tmp_.file(name);
    }

    /* Runs main.prf holding text from the editor's starting position (the
     * first top-level element); returns what was logged at levels 1 to 3,
     * with the scratch directory written as $T. */
    std::string Run(const std::string &text) {
        const std::string path = Write("main.prf", text);
        DicomElement *top = obj_->cursor;
        DE_search(&g_app, obj_, &top, 0xFFFF, 0xFFFF, 0);
        ProfileRun run;
        run.app = &g_app;
        run.obj = obj_;
        log_mask(0x30);
        ::testing::internal::CaptureStderr();
        if (push_profile(&run, path.c_str()) == 0) {
            result_ = process_profile(&run);
            pop_profile(&run);
        }
        std::string err = ::testing::internal::GetCapturedStderr();
        log_mask(0);
        unopened_ = run.unopened;
        EXPECT_EQ(-1, run.stack.depth);
        for (size_t at; (at = err.find(tmp_.path())) != std::string::npos;)
            err.replace(at, tmp_.path().size(), "$T");
        return err;
    }

    /* The element at a path of tags and item numbers from the top level,
     * e.g. {0x00081140, 1, 0x00081150}; null when absent. */
    DicomElement *At(std::vector<uint32_t> path) {
        DicomElement *parent = obj_->root, *found = nullptr;
        for (size_t i = 0; i < path.size(); i++) {
            found = nullptr;
            if (i % 2 == 1) { /* item number */
                uint32_t n = 0;
                for (DicomElement *c = parent->first_child; c; c = c->next)
                    if (c->group == 0xFFFE && c->element == 0xE000 && ++n == path[i])
                        found = c;
            } else {
                for (DicomElement *c = parent->first_child; c; c = c->next)
                    if (((uint32_t)c->group << 16 | c->element) == path[i])
                        found = c;
            }
            if (!found)
                return nullptr;
            parent = found;
        }
        return found;
    }
    std::string Bytes(std::vector<uint32_t> path) {
        DicomElement *e = At(path);
        if (!e)
            return "<absent>";
        return e->value ? std::string(static_cast<char *>(e->value), e->length) : "";
    }
    std::string Tree() { return Picture(obj_->root); }
    /* The tree without the group 0002 that a save generates. */
    std::string TreeOutsideMeta() {
        std::string tree = Tree();
        while (tree.compare(0, 5, "0002,") == 0)
            tree.erase(0, tree.find(' ') + 1);
        return tree;
    }

    /* Saves the object (meta header, explicit VR little endian) and returns
     * pydicom's reading of every element, path -> repr. */
    std::map<std::string, std::string> SaveAndRead() {
        const std::string out = tmp_.file("saved.dcm");
        io_.out_meta_ts = TS_EXPLICIT_LE;
        io_.out_ds_ts = TS_EXPLICIT_LE;
        io_.meta_header = 1;
        EXPECT_EQ(0, DO_copyObjectToFile(&g_app, &io_, out.c_str()));
        auto r = testutil::Run({"/usr/bin/python3", Oracle(), "dump", out});
        EXPECT_EQ(0, r.status) << r.err;
        std::map<std::string, std::string> values;
        std::istringstream lines(r.out);
        std::string line;
        while (std::getline(lines, line)) {
            size_t sp = line.find(' ');
            values[line.substr(0, sp)] = line.substr(sp + 1);
        }
        return values;
    }

    TempDir tmp_;
    IOObject io_{};
    DicomObject *obj_ = nullptr;
    int16_t result_ = 0;
    int unopened_ = 0;
};

std::string Le16(uint16_t v) { return std::string(reinterpret_cast<char *>(&v), 2); }
std::string Le32(uint32_t v) { return std::string(reinterpret_cast<char *>(&v), 4); }
std::string F32(float v) { return std::string(reinterpret_cast<char *>(&v), 4); }
std::string F64(double v) { return std::string(reinterpret_cast<char *>(&v), 8); }

struct ValueCase {
    const char *line;
    uint32_t tag;
    std::string stored; /* value bytes in the tree (host order) */
    const char *read;   /* pydicom's value in the saved file */
};

TEST_F(Profile, ValuesAreStoredByTheDictionaryVr) {
    const std::vector<ValueCase> cases = {
        {"a 0028 0010 512", 0x00280010, Le16(512), "512"},
        {"a 0018 1310 0\\256\\256\\0", 0x00181310, Le16(0) + Le16(256) + Le16(256) + Le16(0),
         "[0, 256, 256, 0]"},
        {"a 0028 0011 7\\", 0x00280011, Le16(7), "7"},
        {"a 0018 6020 -70000\\12abc", 0x00186020, Le32((uint32_t)-70000) + Le32(12),
         "[-70000, 12]"},
        {"a 0018 9219 -32768", 0x00189219, Le16(0x8000), "-32768"},
        {"a 0004 1200 4294967295", 0x00041200, Le32(0xFFFFFFFFu), "4294967295"},
        {"a 0028 0106 -5", 0x00280106, Le16(0xFFFB), "65531"}, /* XS: written as US */
        {"a 0018 9087 1.5\\2.5", 0x00189087, F64(1.5) + F64(2.5), "[1.5, 2.5]"},
        {"a 0018 0013 -2.25", 0x00180013, F32(-2.25f), "-2.25"},
        {"a 0028 0009 00181063\\00181065", 0x00280009,
         Le16(0x0018) + Le16(0x1063) + Le16(0x0018) + Le16(0x1065), "['00181063', '00181065']"},
        {"a 0028 0030 0.5\\0.5", 0x00280030, std::string("0.5\\0.5\0", 8), "[0.5, 0.5]"},
        {"a 0010 0010 \"Doe^John;Jr\"", 0x00100010, std::string("Doe^John;Jr\0", 12),
         "'Doe^John;Jr'"},
        {"a 0008 0090 Doe^John;Jr", 0x00080090, "Doe^John", "'Doe^John'"},
        {"a 0008 1030 Two words", 0x00081030, std::string("Two\0", 4), "'Two'"},
        {"a 0008 103e tab\tkept", 0x0008103E, "tab\tkept", "'tab\\tkept'"},
        {"a 0020 0010 \"\"", 0x00200010, "", "''"},
        {"a 0042 0011 text is ignored", 0x00420011, "", "''"}, /* OB */
        {"a 0008 1140 any text", 0x00081140, "", "<0 items>"},  /* SQ */
    };
    std::string profile;
    for (const auto &c : cases)
        profile += std::string(c.line) + "\n";
    EXPECT_EQ("Info: Processing profile $T/main.prf\n", Run(profile));
    EXPECT_EQ(0, result_);
    for (const auto &c : cases) {
        DicomElement *e = At({c.tag});
        ASSERT_NE(nullptr, e) << c.line;
        EXPECT_EQ(c.stored, Bytes({c.tag})) << c.line;
        EXPECT_EQ(c.tag == 0x00081140 ? kUndef : (uint32_t)c.stored.size(), e->length) << c.line;
    }
    auto saved = SaveAndRead();
    for (const auto &c : cases) {
        char key[9];
        snprintf(key, sizeof key, "%08X", c.tag);
        EXPECT_EQ(c.read, saved[key]) << c.line;
    }
}

TEST_F(Profile, RefusedLinesNameTheirLineAndChangeNothing) {
    Put(0x0008, 0x0016, "1.2");
    const std::string digits(128, '1');
    const std::string profile =
        "a 0028 0100\n"                       /* 1: no value for a number */
        "a 0028 0100 x\n"                     /* 2 */
        "a 0028 0100 \\7\n"                   /* 3: empty first token */
        "a 0028 0100 7\\\\8\n"                /* 4: two backslashes */
        "a 0028 0100 70000\n"                 /* 5: beyond 16 bits */
        "a 0028 0100 -1\n"                    /* 6: US is unsigned */
        "a 0018 6020 " + digits + "\n"        /* 7: longer than a number token */
        "a 0028 0009 0018106300181065\n"      /* 8: two tags, no backslash */
        "a 0028 0009 00181063\\0018\n"        /* 9: element missing */
        "a 0009 1099 x\n"                     /* 10: not in the dictionary */
        "a 0028\n"                            /* 11: no element word */
        "d\n"                                 /* 12 */
        "d ffff ffff\n"                       /* 13 */
        "d 0010 0020\n"                       /* 14: not there */
        "e 0008 1140\n"                       /* 15: absent sequence */
        "s 0008 1140 1\n"                     /* 16 */
        "A 0010 0010 x\n"                     /* 17 */
        " a 0010 0010 x\n"                    /* 18: ignored */
        "\ta 0010 0010 x\n"                   /* 19: ignored */
        "x\n";                                /* 20 */
    const std::string bad = "Error: Bad number format in profile!\n";
    auto warn = [](int line, const char *tag) {
        return "Warning: In line " + std::to_string(line) + " " + tag + " is not in dictionary\n";
    };
    const std::string g0028 = "group 0028 element 0100";
    std::string want = "Info: Processing profile $T/main.prf\n";
    for (int line = 1; line <= 6; line++)
        want += bad + warn(line, g0028.c_str());
    want += bad + warn(7, "group 0018 element 6020");
    want += bad + warn(8, "group 0028 element 0009") + bad + warn(9, "group 0028 element 0009");
    want += warn(10, "group 0009 element 1099") + warn(11, "group 0028 element 0000");
    want += warn(12, "group ffff element ffff") + warn(13, "group ffff element ffff");
    want += warn(14, "group 0010 element 0020") + warn(15, "group 0008 element 1140");
    want += warn(16, "group 0008 element 1140");
    want += "Warning: Unknown action defined in line 17\nWarning: Unknown action defined in line 20\n";
    EXPECT_EQ(want, Run(profile));
    EXPECT_EQ("0008,0016", Tree());
}

TEST_F(Profile, EmptyDeleteAndSelectWorkAtThePosition) {
    Put(0x0008, 0x0016, "1.2");
    OpenSeq(0x0008, 0x1140);
    OpenItem();
    Put(0x0008, 0x1150, "1.2.3");
    Put(0x0008, 0x1155, "1.2.3.4");
    Close(0xE00D);
    Close(0xE0DD);
    Put(0x0010, 0x0010, "Patient");
    Put(0x0010, 0x0020, "ID");
    const std::string item_word_20 = "00000000000000000001", item_word_19 = "0000000000000000001";
    std::string log = Run("a 0008 1140\n"                          /* keeps its item */
                          "s 0008 1140 1 0008 1150 0\n"            /* into item 1 */
                          "a 0008 1150 9.9\n"                      /* replaced there */
                          "e 0008 1160\n"                          /* created empty there */
                          "s 0008 1140 -1\n"                       /* 5: not in the item */
                          "s\n"                                    /* the top level */
                          "s 0008 1140 -1\n"                       /* a new item 2 */
                          "a 0008 1155 5.5\n"
                          "s\n"
                          "s 0008 1140 3\n"                        /* 10: no item 3 */
                          "e 0010 0010\n"                          /* top level again */
                          "e 0010 0030\n"
                          "d 0010 0020\n"
                          "d 0010 0020\n"                          /* 14: gone already */
                          "s 0008 1140 " + item_word_20 + "\n"     /* 15: word too long */
                          "s 0008 1140 " + item_word_19 + " 0008 1150\n"
                          "a 0008 1155 7.7\n");
    EXPECT_EQ("Info: Processing profile $T/main.prf\n"
              "Warning: In line 5 group 0008 element 1140 is not in dictionary\n"
              "Warning: In line 10 group 0008 element 1140 is not in dictionary\n"
              "Warning: In line 14 group 0010 element 0020 is not in dictionary\n"
              "Warning: In line 15 group 0008 element 1140 is not in dictionary\n",
              log);
    EXPECT_EQ("0008,0016 0008,1140{FFFE,E000{0008,1150 0008,1155 0008,1160} "
              "FFFE,E000{0008,1155}} 0010,0010 0010,0030",
              Tree());
    EXPECT_EQ(kUndef, At({0x00081140})->length);
    EXPECT_EQ(std::string("9.9\0", 4), Bytes({0x00081140, 1, 0x00081150}));
    EXPECT_EQ(std::string("7.7\0", 4), Bytes({0x00081140, 1, 0x00081155}));
    EXPECT_EQ(std::string("5.5\0", 4), Bytes({0x00081140, 2, 0x00081155}));
    EXPECT_EQ(0u, At({0x00100010})->length);
    EXPECT_EQ(nullptr, At({0x00100010})->value);
    auto saved = SaveAndRead();
    EXPECT_EQ("<2 items>", saved["00081140"]);
    EXPECT_EQ("'9.9'", saved["00081140[0].00081150"]);
    EXPECT_EQ("''", saved["00081140[0].00081160"]);
    EXPECT_EQ("'5.5'", saved["00081140[1].00081155"]);
    EXPECT_EQ("''", saved["00100010"]);
    EXPECT_EQ("''", saved["00100030"]);
    EXPECT_EQ(0u, saved.count("00100020"));

    /* Emptying a sequence takes its items; selecting from nothing fails. */
    EXPECT_EQ("Info: Processing profile $T/main.prf\n", Run("e 0008 1140\n"));
    EXPECT_EQ("0008,0016 0008,1140 0010,0010 0010,0030", TreeOutsideMeta());
    EXPECT_EQ(kUndef, At({0x00081140})->length);
    DO_closeObject(&io_);
    ASSERT_EQ(0, DO_openObject(&io_));
    obj_ = io_.object;
    EXPECT_EQ("Info: Processing profile $T/main.prf\n"
              "Warning: In line 1 group 0000 element 0000 is not in dictionary\n",
              Run("s\n"));
}

TEST_F(Profile, AfterDeletingTheLastElementOfALevelEditsStayAtThatLevel) {
    Put(0x0008, 0x0016, "1.2");
    OpenSeq(0x0008, 0x1140);
    OpenItem();
    Put(0x0008, 0x1150, "1.2.3");
    OpenSeq(0x0040, 0xA730); /* the last element of the item */
    OpenItem();
    Put(0x0040, 0xA040, "TEXT");
    Close(0xE00D);
    Close(0xE0DD);
    Close(0xE00D);
    Close(0xE0DD);
    Put(0x0010, 0x0010, "Patient"); /* the last top-level element */

    EXPECT_EQ("Info: Processing profile $T/main.prf\n", Run("s 0008 1140 1\n"
                                                            "e 0040 a730\n"
                                                            "a 0008 1155 1.5\n"
                                                            "s\n"
                                                            "d 0010 0010\n"
                                                            "a 0008 0018 2.5\n"
                                                            "e 0008 0020\n"));
    EXPECT_EQ("0008,0016 0008,0018 0008,0020 0008,1140{FFFE,E000{0008,1150 0008,1155 0040,A730}}",
              Tree());
    EXPECT_EQ(nullptr, At({0x00081140, 1, 0x0040A730})->first_child);

    EXPECT_EQ("Info: Processing profile $T/main.prf\n", Run("s 0008 1140 1 0008 1150 0\n"
                                                            "d 0040 a730\n"
                                                            "a 0040 a040 CODE\n"
                                                            "s\n"
                                                            "s 0008 1140 1\n"
                                                            "d fffe e000\n" /* its only item */
                                                            "a 0008 1030 TOP\n"));
    EXPECT_EQ("0008,0016 0008,0018 0008,0020 0008,1030 0008,1140", Tree());
    auto saved = SaveAndRead();
    EXPECT_EQ("'TOP'", saved["00081030"]);
    EXPECT_EQ("<0 items>", saved["00081140"]);
    EXPECT_EQ("'2.5'", saved["00080018"]);
}

TEST_F(Profile, ASequenceHeldAsRawBytesKeepsItsItems) {
    IOObject io;
    init_IOObject(&io);
    io.out_meta_ts = io.out_ds_ts = -1;
    ASSERT_EQ(0, DO_importObjectFromFile(&g_app, &g_defs,
                                         testutil::SamplePath("CT_small.dcm").c_str(), &io));
    std::swap(io, io_);
    obj_ = io_.object;
    DicomElement *seq = At({0x00101002});
    ASSERT_NE(nullptr, seq);
    ASSERT_NE(nullptr, seq->value) << "the reader keeps defined-length sequences as bytes";
    const std::string raw = Bytes({0x00101002});
    EXPECT_EQ("Info: Processing profile $T/main.prf\n"
              "Warning: In line 1 group 0010 element 1002 is not in dictionary\n"
              "Warning: In line 2 group 0010 element 1002 is not in dictionary\n",
              Run("s 0010 1002 -1\n"
                  "s 0010 1002 1\n"
                  "a 0010 1002\n"));
    EXPECT_EQ(raw, Bytes({0x00101002}));
    EXPECT_EQ(nullptr, At({0x00101002})->first_child);
    auto saved = SaveAndRead();
    EXPECT_EQ("<2 items>", saved["00101002"]);
    EXPECT_EQ("'ABCD1234'", saved["00101002[0].00100020"]);
    DO_closeObject(&io);
}

TEST_F(Profile, LinesAreReadAsText) {
    Put(0x0008, 0x0016, "1.2");
    const std::string first = "a 0008 0080 " + std::string(242, 'x'); /* one read: 254 characters */
    const std::string rest = "a 0008 1030 REST" + std::string(30, ' ');
    ASSERT_EQ(300u, (first + rest).size());
    std::string log = Run("a 0010 0010 \"Doe;\"\r\n"
                          "a 0010 0020 ID7 ; comment\r\n"
                          "; a whole comment\r\n"
                          "\r\n"
                          " a 0008 0070 ignored\r\n" +
                          first + rest + "\r\n" +
                          "a 0010 0030 19700101\r" /* a lone CR is no line end */
                          "\n"
                          "Z\r\n"
                          "a 0010 0040 F");   /* last line without a line end */
    EXPECT_EQ("Info: Processing profile $T/main.prf\n"
              "Warning: Unknown action defined in line 9\n",
              log);
    EXPECT_EQ("Doe;", Bytes({0x00100010}));
    EXPECT_EQ(std::string("ID7\0", 4), Bytes({0x00100020}));
    EXPECT_EQ(std::string(242, 'x'), Bytes({0x00080080}));
    EXPECT_EQ("REST", Bytes({0x00081030}));
    EXPECT_EQ("19700101", Bytes({0x00100030}));
    EXPECT_EQ(std::string("F\0", 2), Bytes({0x00100040}));
    EXPECT_EQ("<absent>", Bytes({0x00080070}));
}

/* A text value as the tree holds it: padded to even length by a zero. */
std::string Padded(const std::string &text) { return text.size() % 2 ? text + '\0' : text; }

TEST_F(Profile, IncludesNestToDepthTenAndGoOnAfterTheirLine) {
    Put(0x0008, 0x0016, "1.2");
    testutil::ScopedEnv path("QUENOR_PREDEF_PATH", "/nonexistent;" + tmp_.path());
    /* Eleven profiles in a chain: each sets one element, includes the next
     * and then has an unknown third line, which shows its count going on. */
    const uint32_t tags[] = {0x00080050, 0x00080070, 0x00080080, 0x00080090, 0x00081010,
                             0x00081030, 0x0008103E, 0x00081040, 0x00081048, 0x00081050,
                             0x00081060};
    std::string main_text;
    for (int d = 0; d <= 10; d++) {
        char line[64];
        snprintf(line, sizeof line, "a %04x %04x D%d\n", tags[d] >> 16, tags[d] & 0xFFFF, d);
        std::string text = std::string(line) + "f p" + std::to_string(d + 1) + ".prf\nQ\n";
        if (d == 0)
            main_text = text;
        else
            Write("p" + std::to_string(d) + ".prf", text);
    }
    std::string want = "Info: Processing profile $T/main.prf\n";
    for (int d = 1; d <= 10; d++)
        want += "Info: Processing profile $T/p" + std::to_string(d) + ".prf\n";
    want += "Warning: Too deeply nested profile includes. Max depth is 10\n";
    for (int d = 9; d >= 0; d--)
        want += "Info: Processing profile $T/" + (d ? "p" + std::to_string(d) : std::string("main")) +
                ".prf (cont.)\nWarning: Unknown action defined in line 3\n";
    EXPECT_EQ(want, Run(main_text));
    for (int d = 0; d <= 10; d++)
        EXPECT_EQ(Padded("D" + std::to_string(d)), Bytes({tags[d]})) << d;
    EXPECT_EQ(0, unopened_);
    EXPECT_EQ(0, result_);
}

TEST_F(Profile, IncludeNamesAndFailures) {
    Put(0x0008, 0x0016, "1.2");
    testutil::ScopedEnv path("QUENOR_PREDEF_PATH", tmp_.path());
    ASSERT_EQ(0, system(("mkdir '" + tmp_.file("sub dir") + "'").c_str()));
    Write("sub dir/quoted name.prf", "a 0008 0050 Q1\n");
    Write("bracket.prf", "a 0008 0070 B2\n");
    Write("plain.prf", "a 0008 0080 P3\n");
    Write("noname.prf", "a 0008 0090 N4\nf\na 0008 1010 NOTREACHED\n");
    std::string log = Run("f \"sub dir/quoted name.prf\"\n"
                          "f <bracket.prf> more words\n"
                          "f plain.prf more words\n"
                          "f missing.prf\n"
                          "f noname.prf\n"
                          "a 0008 1030 M6\n"
                          "f   \n"
                          "a 0008 103e NOTREACHED\n");
    const std::string cont = "Info: Processing profile $T/main.prf (cont.)\n";
    EXPECT_EQ("Info: Processing profile $T/main.prf\n"
              "Info: Processing profile $T/sub dir/quoted name.prf\n" + cont +
              "Info: Processing profile $T/bracket.prf\n" + cont +
              "Info: Processing profile $T/plain.prf\n" + cont +
              "Error: Cannot open profile: missing.prf\n" + cont +
              "Info: Processing profile $T/noname.prf\n"
              "Warning: In line 2 file name missing\n" + cont +
              "Warning: In line 7 file name missing\n",
              log);
    EXPECT_EQ("Q1", Bytes({0x00080050}));
    EXPECT_EQ("B2", Bytes({0x00080070}));
    EXPECT_EQ("P3", Bytes({0x00080080}));
    EXPECT_EQ("N4", Bytes({0x00080090}));
    EXPECT_EQ("M6", Bytes({0x00081030}));
    EXPECT_EQ("<absent>", Bytes({0x00081010}));
    EXPECT_EQ("<absent>", Bytes({0x0008103E}));
    EXPECT_EQ(1, unopened_);
    EXPECT_EQ(-1, result_);

    char line[] = "f \"unclosed name";
    char *name = nullptr;
    ASSERT_EQ(0, get_include_name(line, &name));
    EXPECT_STREQ("unclosed name", name);
    free(name);
    char tabbed[] = "f a\tb c";
    ASSERT_EQ(0, get_include_name(tabbed, &name));
    EXPECT_STREQ("a\tb", name);
    free(name);
    char empty[] = "f \"\"";
    EXPECT_EQ(-1, get_include_name(empty, &name));
}

} // namespace
