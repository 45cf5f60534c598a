/*
 * profile_test.cpp -- the profile interpreter on objects the tests build:
 * values by VR in the tree and in the saved file (read back by pydicom),
 * refused lines and their messages with line numbers, empty, delete and
 * select (items 0, n also past 16 bits, -1) with the position kept at the
 * level of a deleted element, sequences held as raw bytes, and includes
 * down to depth 10.
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

AppData g_app;
DefHolder g_defs;

class Env : public ::testing::Environment {
public:
    void SetUp() override {
        char banner[64];
        init_AppData(&g_app, "tagpatch", "2.1", banner);
        ASSERT_EQ(0, InitDICOMTagDef(&g_app, (testutil::DefsDir() + "/tag_tab.def").c_str(), 1));
        log_mask(0);
    }
    void TearDown() override { DoneTagPrvDef(&g_app, &g_defs); }
};
const auto *g_env = ::testing::AddGlobalTestEnvironment(new Env);

class Profile : public ::testing::Test {
protected:
    void SetUp() override {
        init_IOObject(&io_);
        ASSERT_EQ(0, DO_openObject(&io_));
    }
    void TearDown() override { DO_closeObject(&io_); }
    DicomObject *obj() { return io_.object; }

    /* Builds the tree as the reader does (dictionary VRs, in file order):
     * "gggg,eeee=text", "gggg,eeee{" opens a sequence, "[" an item, "]"
     * and "}" close them.  A sequence or item of defined length holds its
     * bytes: "gggg,eeee=bytes }", "[=bytes ]".  "gggg,eeee~" is stored
     * with VR UN, whatever the dictionary says. */
    void Build(const std::string &layout) {
        std::istringstream words(layout);
        for (std::string w; words >> w;) {
            DicomElementHead h = {};
            h.length = 0xFFFFFFFFu;
            if (w == "[" || w == "]" || w == "}" || w.compare(0, 2, "[=") == 0) {
                h.group = 0xFFFE;
                h.element = w[0] == '[' ? 0xE000 : w == "]" ? 0xE00D : 0xE0DD;
                if (w.size() > 2) {
                    h.value = &w[2];
                    h.length = (uint32_t)w.size() - 2;
                }
            } else {
                h.group = (uint16_t)strtoul(w.substr(0, 4).c_str(), nullptr, 16);
                h.element = (uint16_t)strtoul(w.substr(5, 4).c_str(), nullptr, 16);
                if (w.size() > 10 && w[9] == '=') {
                    h.value = &w[10];
                    h.length = (uint32_t)w.size() - 10;
                }
            }
            int vr = -1;
            DOU_defXVRTypeByTags(&g_app, h.group, h.element, &vr);
            h.vr = w.back() == '~' ? VR_UN : vr;
            ASSERT_EQ(0, DO_addElement(&g_app, obj(), &h)) << w;
        }
    }

    /* Runs main.prf holding text from the editor's starting position;
     * returns what was logged at levels 1 to 3, the scratch folder as $T. */
    std::string Run(const std::string &text) {
        testutil::WriteFile(tmp_.file("main.prf"), text);
        DicomElement *top = obj()->cursor;
        DE_search(&g_app, obj(), &top, 0xFFFF, 0xFFFF, 0);
        ProfileRun run;
        run.app = &g_app;
        run.obj = obj();
        log_mask(0x30);
        ::testing::internal::CaptureStderr();
        if (push_profile(&run, tmp_.file("main.prf").c_str()) == 0) {
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

    /* The value bytes at a path like 00081140[0].00081150 (items from 0). */
    std::string Bytes(const std::string &path, uint32_t *length = nullptr) {
        DicomElement *e = obj()->root;
        for (size_t at = 0; e && at < path.size();) {
            bool item = path[at] == '[';
            uint32_t want = (uint32_t)strtoul(path.c_str() + at + item, nullptr, item ? 10 : 16);
            DicomElement *c = e->first_child;
            for (uint32_t n = 0; c; c = c->next)
                if (item ? c->group == 0xFFFE && c->element == 0xE000 && n++ == want
                         : ((uint32_t)c->group << 16 | c->element) == want)
                    break;
            e = c;
            at = path.find_first_of("[.", at + 1);
            at = at == std::string::npos ? path.size() : at + (path[at] == '.');
        }
        if (!e)
            return "<absent>";
        if (length)
            *length = e->length;
        return e->value ? std::string(static_cast<char *>(e->value), e->length) : "";
    }
    std::string Tree() { return treetest::Picture(obj()->root); }

    /* Saves the object and returns pydicom's reading: path -> repr. */
    std::map<std::string, std::string> SaveAndRead() {
        const std::string out = tmp_.file("saved.dcm");
        io_.out_meta_ts = io_.out_ds_ts = TS_EXPLICIT_LE;
        EXPECT_EQ(0, DO_copyObjectToFile(&g_app, &io_, out.c_str()));
        auto r = testutil::Run({"/usr/bin/python3", "-W", "ignore",
                                std::string(QUENOR_SOURCE_DIR) + "/tests/editor/edit_oracle.py",
                                "dump", out});
        EXPECT_EQ(0, r.status) << r.err;
        std::map<std::string, std::string> values;
        std::istringstream lines(r.out);
        for (std::string line; std::getline(lines, line);)
            values[line.substr(0, line.find(' '))] = line.substr(line.find(' ') + 1);
        return values;
    }

    TempDir tmp_;
    IOObject io_{};
    int16_t result_ = 0;
    int unopened_ = 0;
};

template <typename T>
std::string Raw(std::initializer_list<T> values) {
    std::string out;
    for (T v : values)
        out.append(reinterpret_cast<const char *>(&v), sizeof v);
    return out;
}

TEST_F(Profile, ValuesAreStoredByTheDictionaryVr) {
    /* Written as Notepad does (a byte-order mark first), with CR LF and CR
     * line ends; a line of 320 characters is read whole. */
    const std::string lt = std::string(250, 'x') + " d 0010 0020; " + std::string(40, 'y');
    struct Case {
        std::string line, path, stored, read; /* stored: host order; read: by pydicom */
    } cases[] = {
        {"a 0028 0010 512", "00280010", Raw<uint16_t>({512}), "512"},
        {"a 0018 1310 0\\256\\256\\0", "00181310", Raw<uint16_t>({0, 256, 256, 0}),
         "[0, 256, 256, 0]"},
        {"a 0028 0011 7\\", "00280011", Raw<uint16_t>({7}), "7"},
        {"a 0018 6020 -70000\\12abc", "00186020", Raw<int32_t>({-70000, 12}), "[-70000, 12]"},
        {"a 0018 9219 -32768", "00189219", Raw<int16_t>({-32768}), "-32768"},
        {"a 0004 1200 4294967295", "00041200", Raw<uint32_t>({0xFFFFFFFFu}), "4294967295"},
        {"a 0028 0106 65531", "00280106", Raw<uint16_t>({65531}), "65531"}, /* XS, as US */
        {"a 0018 9087 1.5\\2.5", "00189087", Raw<double>({1.5, 2.5}), "[1.5, 2.5]"},
        {"a 0018 0013 -2.25", "00180013", Raw<float>({-2.25f}), "-2.25"},
        {"a 0028 0009 00181063\\00181065", "00280009", Raw<uint16_t>({0x18, 0x1063, 0x18, 0x1065}),
         "['00181063', '00181065']"},
        {"a 0028 0030 0.5\\0.5", "00280030", "0.5\\0.5 ", "[0.5, 0.5]"},
        {"a 0010 0010 \"Doe^John;Jr\"", "00100010", "Doe^John;Jr ", "'Doe^John;Jr'"},
        {"a 0008 0090 Doe^John;Jr", "00080090", "Doe^John", "'Doe^John'"},
        {"a 0008 103e tab\t; comment", "0008103E", "tab ", "'tab'"},
        {"a 0008 0018 1.2.3", "00080018", std::string("1.2.3\0", 6), "'1.2.3'"},
        {"a 0020 0010 \"\"", "00200010", "", "''"},
        {"a 0042 0011 text is ignored", "00420011", "", "''"}, /* OB */
        {"a 0008 1140 any text", "00081140", "", "<0 items>"}, /* SQ, undefined length */
        {"a 0020 4000 \"" + lt + "\"", "00204000", lt, "'" + lt + "'"},
        {"a 0020 5000 00100010\\00100020", "00205000", "", "''"}, /* RE */
    };
    std::string profile = "\xEF\xBB\xBF";
    for (const auto &c : cases)
        profile += c.line + (profile.size() % 2 ? "\r" : "\r\n");
    const std::string ignored = " value ignored: a profile sets no value of VR ";
    EXPECT_EQ("Info: Processing profile $T/main.prf\nWarning: In line 17" + ignored +
                  "OB\nWarning: In line 18" + ignored + "SQ\nWarning: In line 20" + ignored +
                  "RE\n",
              Run(profile));
    EXPECT_EQ(0, result_);
    for (const auto &c : cases) {
        uint32_t length = 0;
        EXPECT_EQ(c.stored, Bytes(c.path, &length)) << c.line;
        EXPECT_EQ(c.path == "00081140" ? 0xFFFFFFFFu : c.stored.size(), length) << c.line;
    }
    auto saved = SaveAndRead();
    for (const auto &c : cases)
        EXPECT_EQ(c.read, saved[c.path]) << c.line;
}

TEST_F(Profile, RefusedLinesNameTheirLineAndChangeNothing) {
    Build("0008,0016=1.2");
    /* kind: b bad number and warning, w warning, a absent, u unknown action, - none;
     * why: the warning that follows the line's own */
    const struct {
        std::string line;
        char kind;
        const char *tag;
        const char *why = nullptr;
    } lines[] = {
        {std::string(254, ';') + " a 0010 0010 x", '-', ""},
        {"a 0028 0100", 'b', "0028 element 0100"}, /* US without a value */
        {"a 0028 0100 x", 'b', "0028 element 0100"},
        {"a 0028 0100 \\7", 'b', "0028 element 0100"},
        {"a 0028 0100 7\\\\8", 'b', "0028 element 0100"},
        {"a 0028 0100 70000", 'b', "0028 element 0100"},
        {"a 0028 0100 -1", 'b', "0028 element 0100"},
        {"a 0018 6020 " + std::string(127, '0') + "1", 'b',
         "0018 element 6020"},                                      /* 128 characters */
        {"a 0028 0009 0018106300181065", 'b', "0028 element 0009"}, /* no backslash */
        {"a 0028 0009 00181063\\0018", 'b', "0028 element 0009"},
        {"a 0009 1099 x", 'w', "0009 element 1099"}, /* not in the dictionary */
        {"a 0028", 'w', "0028 element 0000"},
        {"d", 'w', "ffff element ffff"},
        {"d ffff ffff", 'w', "ffff element ffff"},
        {"d 0010 0020", 'a', "0010 element 0020"},
        {"e 0008 1140", 'a', "0008 element 1140"}, /* an absent sequence */
        /* XS by the Pixel Representation: SS, then US when there is none */
        {"a 0028 0103 1", '-', ""},
        {"a 0028 0106 65535", 'b', "0028 element 0106"},
        {"d 0028 0103", '-', ""},
        {"a 0028 0107 -100", 'b', "0028 element 0107"},
        /* items and delimiters are no data */
        {"a fffe e000 hello", 'w', "fffe element e000",
         "refused: (fffe,e000) is an item or delimiter tag, not data"},
        {"e fffe e0dd", 'w', "fffe element e0dd",
         "refused: (fffe,e0dd) is an item or delimiter tag, not data"},
        {"d fffe e000", 'w', "fffe element e000", "refused: no item is selected"},
        {"s 0008 1140 1", 'w', "0008 element 1140",
         "select failed: (0008,1140) is absent at the current position"},
        {"A 0010 0010 x", 'u', ""},
        {" a 0010 0010 x", '-', ""},
        {"\ta 0010 0010 x", '-', ""},
        {"x", 'u', ""},
    };
    /* what the VR of a bad number takes, by tag */
    std::map<std::string, std::string> takes = {
        {"0028 element 0100", "US: numbers from 0 to 65535"},
        {"0018 element 6020", "SL: numbers from -2147483648 to 2147483647"},
        {"0028 element 0009", "AT: tags of 8 hexadecimal digits joined by backslashes"},
        {"0028 element 0106", "XS, written as SS: numbers from -32768 to 32767"},
        {"0028 element 0107", "XS, written as US: numbers from 0 to 65535"}};
    std::string profile, want = "Info: Processing profile $T/main.prf\n";
    int n = 0;
    for (const auto &l : lines) {
        profile += l.line + "\n";
        const std::string at = std::to_string(++n);
        if (l.kind == 'b')
            want += "Error: Bad number format in profile!\nWarning: In line " + at + " group " +
                    l.tag + " is " + takes[l.tag] + "\n";
        if (l.kind == 'w' && !l.why)
            want += "Warning: In line " + at + " group " + l.tag + " is not in dictionary\n";
        if (l.kind == 'a')
            want += "Warning: In line " + at + " group " + l.tag +
                    " is absent at the current position\n";
        if (l.why)
            want += "Warning: In line " + at + " " + l.why + "\n";
        if (l.kind == 'u')
            want += "Warning: Unknown action defined in line " + at + "\n";
    }
    EXPECT_EQ(want, Run(profile));
    EXPECT_EQ("0008,0016", Tree());
}

TEST_F(Profile, EditsWorkAtThePositionAndStayAtTheLevelOfADeletion) {
    /* warned: the line of each warning, with the first word of the text
     * when it is not the per-line one (select failed, skipped, refused) */
    const struct {
        const char *tree, *profile, *warned, *after, *saved;
    } cases[] = {
        {"", "s\n", "1", "", ""},
        {"0008,0016=1.2", "a 0008 0080 General Hospital\nd 0008 0016 0008 0018\n",
         "1:words 2:words", "0008,0080", "00080080='General'"},
        {"0008,0016=1.2 0008,1140{ [ 0008,1150=1.2.3 0008,1155=1.2.3.4 ] } 0010,0010=P "
         "0010,0020=ID",
         "a 0008 1140\n"               /* keeps its item */
         "s 0008 1140 1 0008 1150 0\n" /* into item 1 */
         "a 0008 1150 9.9\n"
         "e 0008 1160\n"
         "s 0008 1140 -1\n" /* 5: (0008,1140) is not in the item */
         "s\n"
         "s 0008 1140 -1\n" /* a new item 2 */
         "a 0008 1155 5.5\n"
         "s\n"
         "s 0008 1140 3\n" /* 10: no item 3; the lines up to the next 's' are skipped */
         "e 0010 0010\n"
         "e 0010 0030\n"
         "d 0010 0020\n"
         "d 0010 0020\n"                      /* 14 */
         "s 0008 1140 00000000000000000001\n" /* 15: a word of 20 characters */
         "s 0008 1140 0000000000000000001 0008 1150\n"
         "a 0008 1155 7.7\n",
         "5:select 10:select 11:skipped 12:skipped 13:skipped 14:skipped 15:select",
         "0008,0016 0008,1140{FFFE,E000{0008,1150 0008,1155 0008,1160} FFFE,E000{0008,1155}} "
         "0010,0010 "
         "0010,0020",
         "00081140=<2 items>;00081140[0].00081150='9.9';00081140[0].00081155='7.7';"
         "00081140[0].00081160='';00081140[1].00081155='5.5';00100010='P';00100020='ID';"
         "00100030="},
        /* 'e' of the last element of an item, 'a' after 'd' of the last
         * element of a level: the element goes where the deleted one was. */
        {"0008,0016=1.2 0008,1140{ [ 0008,1150=1.2.3 0040,a730{ [ 0040,a040=TEXT ] } ] } "
         "0010,0010=P",
         "s 0008 1140 1\n"
         "e 0040 a730\n"
         "a 0008 1155 1.5\n"
         "s\n"
         "d 0010 0010\n"
         "a 0008 0018 2.5\n"
         "e 0008 0020\n",
         "", "0008,0016 0008,0018 0008,0020 0008,1140{FFFE,E000{0008,1150 0008,1155 0040,A730}}",
         "00081140[0].00081155='1.5';00081140[0].0040A730=<0 items>;00080018='2.5'"},
        {"0008,0016=1.2 0008,1140{ [ 0008,1150=1.2.3 0040,a730{ [ 0040,a040=TEXT ] } ] }",
         "s 0008 1140 1 0008 1150 0\n"
         "d 0040 a730\n"
         "a 0040 a040 CODE\n"
         "s\n"
         "s 0008 1140 1\n"
         "d fffe e000\n" /* the only item: no item is current, nothing is added */
         "a 0008 1030 TOP\n"
         "e 0008 0016\n"
         "s\n"
         "e 0008 1140\n",
         "7:refused 8:refused", "0008,0016 0008,1140",
         "00081030=;00080016='1.2';00081140=<0 items>"},
    };
    for (const auto &c : cases) {
        DO_closeObject(&io_);
        ASSERT_EQ(0, DO_openObject(&io_));
        Build(c.tree);
        std::istringstream log(Run(c.profile));
        std::string warned, line;
        EXPECT_TRUE(std::getline(log, line) && line == "Info: Processing profile $T/main.prf");
        while (std::getline(log, line)) {
            std::istringstream words(line.compare(0, 17, "Warning: In line ") ? "?" + line
                                                                                : line.substr(17));
            std::string n, what;
            words >> n >> what;
            if (!what.empty() && what.back() == ':')
                what.pop_back();
            warned += (warned.empty() ? "" : " ") + n + (what == "group" ? "" : ":" + what);
        }
        EXPECT_EQ(c.warned, warned) << c.profile;
        EXPECT_EQ(c.after, Tree()) << c.profile;
        if (!*c.saved)
            continue;
        auto saved = SaveAndRead();
        std::istringstream expected(c.saved);
        for (std::string kv; std::getline(expected, kv, ';');)
            EXPECT_EQ(kv.substr(kv.find('=') + 1), saved[kv.substr(0, kv.find('='))]) << kv;
    }
}

TEST_F(Profile, AFailedSelectSaysWhyAndTheEditsAfterItAreSkipped) {
    /* Each profile starts with a select that fails, then edits meant for
     * the item it names; inc.prf and fail.prf are included by some. */
    const std::string skip = "skipped: the select in line 1 of $T/main.prf failed\n";
    /* 40,000 items, more than 16 bits number; after the profile below
     * the first is gone and the new 32767th and 32768th hold an element */
    std::string many = "0008,1140{ [ 0040,a730{", items = "0008,1140{FFFE,E000{0040,A730{";
    for (int i = 1; i <= 40000; i++) {
        many += " [ ]";
        items += i == 40000 ? "" : i < 32767 || i > 32768 ? "FFFE,E000 " : "FFFE,E000{0040,A040} ";
    }
    many += " } ] }";
    items.back() = '}';
    items += "}}";
    const struct {
        const char *tree;
        std::string profile, include, log, after, values;
    } cases[] = {
        {"0010,0010=P 0010,0020=ID",
         "s 0010 1002 1\na 0010 0020 X\ne 0010 0030\nd 0010 0010\ns\na 0010 0040 F\n", "",
         "1 select failed: (0010,1002) is absent at the current position\n"
         "2 " + skip + "3 " + skip + "4 " + skip,
         "0010,0010 0010,0020 0010,0040", "00100010=P;00100020=ID;00100040=F"},
        {"0008,1140~ } 0010,0020=ID", "s 0008 1140 1\na 0008 1150 1.2\n", "",
         "1 select failed: (0008,1140) is not a sequence\n2 " + skip, "0008,1140 0010,0020",
         "00100020=ID"},
        {"0008,1140{ [ 0008,1150=1.2 ] } 0010,0020=ID", "s 0008 1140 2\nd 0008 1150\n", "",
         "1 select failed: sequence (0008,1140) has items 1 to 1, no item 2\n2 " + skip,
         "0008,1140{FFFE,E000{0008,1150}} 0010,0020", "00081140[0].00081150=1.2"},
        {"0008,1140=RAW } 0010,0020=ID", "s 0008 1140 1\ne 0010 0020\n", "",
         "1 select failed: sequence (0008,1140) has a defined length and is held as raw bytes\n"
         "2 " + skip,
         "0008,1140 0010,0020", "00100020=ID"},
        {"0008,1140{ [=RAW ] } 0010,0020=ID", "s 0008 1140 1 0008 1150 0\na 0010 0020 X\n", "",
         "1 select failed: the item has a defined length and is held as raw bytes\n2 " + skip,
         "0008,1140{FFFE,E000} 0010,0020", "00100020=ID"},
        /* an include goes on in the failed state up to its own select, and
         * the including profile goes on where the include left it */
        {"0010,0010=P", "s 0010 1002 1\nf $T/inc.prf\na 0010 0020 X\n",
         "a 0010 0010 Y\ns\na 0010 0030 Z\n",
         "1 select failed: (0010,1002) is absent at the current position\n"
         "Info: Processing profile $T/inc.prf\n1 " + skip +
             "Info: Processing profile $T/main.prf (cont.)\n",
         "0010,0010 0010,0020 0010,0030", "00100010=P;00100020=X;00100030=Z"},
        {"0010,0010=P", "f $T/inc.prf\na 0010 0020 X\ns\na 0010 0030 Z\n", "s 0010 1002 1\n",
         "Info: Processing profile $T/inc.prf\n"
         "1 select failed: (0010,1002) is absent at the current position\n"
         "Info: Processing profile $T/main.prf (cont.)\n"
         "2 skipped: the select in line 1 of $T/inc.prf failed\n",
         "0010,0010 0010,0030", "00100010=P;00100030=Z"},
        /* item numbers up to the count; the deleted item renumbers the rest */
        {many.c_str(),
         "s 0008 1140 1 0040 a730 40001\na 0040 a040 X\ns 0008 1140 1 0040 a730 32768\n"
         "a 0040 a040 Y\ns\ns 0008 1140 1\ns 0040 a730 1\nd fffe e000\n"
         "s\ns 0008 1140 1 0040 a730 32768\na 0040 a040 Z\n", "",
         "1 select failed: sequence (0040,a730) has items 1 to 40000, no item 40001\n2 " + skip,
         items, "00081140[0].0040A730[32766].0040A040=Y;00081140[0].0040A730[32767].0040A040=Z"},
        /* a bare 's' fails only on an empty object: the top level is right */
        {"", "s\na 0010 0010 NEW\n", "", "", "0010,0010", "00100010=NEW"},
    };
    for (const auto &c : cases) {
        DO_closeObject(&io_);
        ASSERT_EQ(0, DO_openObject(&io_));
        Build(c.tree);
        testutil::WriteFile(tmp_.file("inc.prf"), c.include);
        std::string profile = c.profile; /* $T: the scratch folder, as in the log */
        for (size_t at; (at = profile.find("$T")) != std::string::npos;)
            profile.replace(at, 2, tmp_.path());
        /* The log without the per-line warning of the failed select and
         * with "Warning: In line" shortened to the number. */
        std::istringstream lines(Run(profile));
        std::string log;
        for (std::string line; std::getline(lines, line);) {
            if (line.find(" is not in dictionary") != std::string::npos ||
                line == "Info: Processing profile $T/main.prf")
                continue;
            if (line.compare(0, 17, "Warning: In line ") == 0)
                line.erase(0, 17);
            log += line + "\n";
        }
        EXPECT_EQ(c.log, log) << c.profile;
        EXPECT_EQ(c.after, Tree()) << c.profile;
        std::istringstream values(c.values);
        for (std::string kv; std::getline(values, kv, ';');) {
            std::string value = Bytes(kv.substr(0, kv.find('=')));
            if (!value.empty() && (value.back() == '\0' || value.back() == ' '))
                value.pop_back();
            EXPECT_EQ(kv.substr(kv.find('=') + 1), value) << c.profile;
        }
    }
}

TEST_F(Profile, IncludesOfAProfileAlreadyOpenAreRefused) {
    Build("0008,1140{ }");
    testutil::ScopedEnv path("QUENOR_PREDEF_PATH", tmp_.path());
    /* main includes a, which includes itself (by another name), b and
     * main; b includes a.  Each appends one item and names it. */
    testutil::WriteFile(tmp_.file("a.prf"), "s\ns 0008 1140 -1\na 0008 1150 A\n"
                                            "f ./a.prf\nf b.prf\nf main.prf\na 0008 1155 A\n");
    testutil::WriteFile(tmp_.file("b.prf"), "s\ns 0008 1140 -1\na 0008 1150 B\nf a.prf\n");
    const std::string cont = " (cont.)\n", refused = " refused: that profile is already open\n";
    EXPECT_EQ("Info: Processing profile $T/main.prf\n"
              "Info: Processing profile $T/a.prf\n"
              "Warning: In line 4 include of ./a.prf" + refused +
                  "Info: Processing profile $T/b.prf\n"
                  "Warning: In line 4 include of a.prf" + refused +
                  "Info: Processing profile $T/a.prf" + cont +
                  "Warning: In line 6 include of main.prf" + refused +
                  "Info: Processing profile $T/main.prf" + cont +
                  "Warning: In line 2 include of main.prf" + refused,
              Run("f a.prf\nf main.prf\ns\ns 0008 1140 -1\na 0008 1150 M\n"));
    /* a's last line works where b left the position */
    EXPECT_EQ("0008,1140{FFFE,E000{0008,1150} FFFE,E000{0008,1150 0008,1155} "
              "FFFE,E000{0008,1150}}",
              Tree());
    for (const char *n : {"A0", "B1", "M2"})
        EXPECT_EQ(std::string(n, 1) + '\0',
                  Bytes("00081140[" + std::string(n + 1) + "].00081150"));
    EXPECT_EQ(0, unopened_);
}

TEST_F(Profile, ASequenceHeldAsRawBytesKeepsItsItems) {
    DO_closeObject(&io_);
    io_.out_meta_ts = io_.out_ds_ts = -1;
    ASSERT_EQ(0, DO_importObjectFromFile(&g_app, &g_defs,
                                         testutil::SamplePath("CT_small.dcm").c_str(), &io_));
    const std::string raw = Bytes("00101002");
    if (raw.empty())
        GTEST_SKIP() << "the reader no longer keeps a sequence of defined length as its bytes";
    const std::string raw_bytes = " select failed: sequence (0010,1002) has a defined length "
                                  "and is held as raw bytes\n";
    /* Line 3 follows a failed select; after line 4 it keeps the sequence. */
    EXPECT_EQ("Info: Processing profile $T/main.prf\n"
              "Warning: In line 1" + raw_bytes + "Warning: In line 2" + raw_bytes +
                  "Warning: In line 3 skipped: the select in line 2 of $T/main.prf failed\n",
              Run("s 0010 1002 -1\ns 0010 1002 1\na 0010 1002\ns\na 0010 1002\n"));
    EXPECT_EQ(raw, Bytes("00101002"));
    auto saved = SaveAndRead();
    EXPECT_EQ("<2 items>", saved["00101002"]);
    EXPECT_EQ("'1234ABCD'", saved["00101002[1].00100020"]);
}

TEST_F(Profile, IncludesNestToDepthTenAndGoOnAfterTheirLine) {
    Build("0008,0016=1.2");
    testutil::ScopedEnv path("QUENOR_PREDEF_PATH", "/nonexistent;" + tmp_.path());
    /* Eleven profiles in a chain: each sets one element, includes the next
     * and has an unknown third line, which shows its count going on. */
    const char *tags[] = {"0008 0050", "0008 0070", "0008 0080", "0008 0090",
                          "0008 1010", "0008 1030", "0008 103E", "0008 1040",
                          "0008 1048", "0008 1050", "0008 1060"};
    std::string main_text, want = "Info: Processing profile $T/main.prf\n", back;
    for (int d = 0; d <= 10; d++) {
        const std::string n = std::to_string(d), name = d ? "$T/p" + n + ".prf" : "$T/main.prf";
        std::string text =
            std::string("a ") + tags[d] + " D" + n + "\nf p" + std::to_string(d + 1) + ".prf\nQ\n";
        if (d == 0)
            main_text = text;
        else
            testutil::WriteFile(tmp_.file("p" + n + ".prf"), text);
        if (d)
            want += "Info: Processing profile " + name + "\n";
        if (d < 10)
            back = "Info: Processing profile " + name +
                   " (cont.)\nWarning: Unknown action defined in line 3\n" + back;
    }
    want += "Error: Too deeply nested profile includes. Max depth is 10\n" + back;
    EXPECT_EQ(want, Run(main_text));
    for (int d = 0; d <= 10; d++) {
        std::string text = "D" + std::to_string(d), path = std::string(tags[d]).erase(4, 1);
        EXPECT_EQ(text.size() % 2 ? text + ' ' : text, Bytes(path)) << d;
    }
    EXPECT_EQ(0, unopened_);
}

TEST_F(Profile, IncludeNamesAndFailures) {
    Build("0008,0016=1.2");
    testutil::ScopedEnv path("QUENOR_PREDEF_PATH", tmp_.path());
    ASSERT_EQ(0, system(("mkdir '" + tmp_.file("sub dir") + "'").c_str()));
    testutil::WriteFile(tmp_.file("sub dir/quoted name.prf"), "a 0008 0050 Q1\n");
    testutil::WriteFile(tmp_.file("bracket.prf"), "a 0008 0070 B2\n");
    testutil::WriteFile(tmp_.file("plain.prf"), "a 0008 0080 P3\n");
    testutil::WriteFile(tmp_.file("noname.prf"), "a 0008 0090 N4\nf\na 0008 1010 NOTREACHED\n");
    const std::string cont = "Info: Processing profile $T/main.prf (cont.)\n";
    EXPECT_EQ(
        "Info: Processing profile $T/main.prf\n"
        "Info: Processing profile $T/sub dir/quoted name.prf\n" +
            cont + "Info: Processing profile $T/bracket.prf\n" + cont +
            "Info: Processing profile $T/plain.prf\n" + cont +
            "Error: Cannot open profile: missing.prf\n" + cont +
            "Info: Processing profile $T/noname.prf\nError: In line 2 file name missing\n" +
            cont + "Error: In line 7 file name missing\n",
        Run("f \"sub dir/quoted name.prf\"\nf <bracket.prf> more\nf plain.prf more\nf missing.prf\n"
            "f noname.prf\na 0008 1030 M6\nf   \na 0008 103e NOTREACHED\n"));
    EXPECT_EQ("0008,0016 0008,0050 0008,0070 0008,0080 0008,0090 0008,1030", Tree());
    EXPECT_EQ(1, unopened_);
    EXPECT_EQ(-1, result_);
    char tabbed[] = "f a\tb c", *name = nullptr;
    ASSERT_EQ(0, get_include_name(tabbed, &name));
    EXPECT_STREQ("a", name);
    free(name);
}

} // namespace
