/*
 * uidgen_test.cpp -- the UID generator with a root file in a temporary
 * folder found along QUENOR_DEF_PATH: root cleaning, fixed and given
 * date-time, series and instance components, missing elements, the
 * 64-character limit (refused, never cut) and empty components; blanks
 * around the root, signs and leading zeros cleaned or refused; the
 * bundled root leaves the room the README promises; every UID handed out
 * is valid by pydicom's rules.
 */
#include <gtest/gtest.h>

#include <time.h>

#include <regex>
#include <string>
#include <vector>

#include "testutil.h"
#include "uidgen_int.h"

namespace {

AppData g_app;

class Env : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_TRUE(testutil::LoadTagDefs(&g_app, "uidgen")); }
    void TearDown() override { DoneTagDef(&g_app); }
};
const auto *g_env = ::testing::AddGlobalTestEnvironment(new Env);

const char *const kAbsent = nullptr;

/* An object holding Series and Instance Number as given: nullptr leaves
 * the element out, "" adds it without value. */
struct Object {
    IOObject io{};
    Object(const char *series, const char *instance) {
        init_IOObject(&io);
        DO_openObject(&io);
        Add(0x0011, series);
        Add(0x0013, instance);
    }
    ~Object() { DO_closeObject(&io); }
    void Add(uint16_t element, const char *text) {
        if (!text)
            return;
        DicomElementHead rec{};
        rec.group = 0x0020;
        rec.element = element;
        rec.length = (uint32_t)strlen(text);
        rec.value = rec.length ? const_cast<char *>(text) : nullptr;
        DO_addElement(&g_app, io.object, &rec);
    }
};

/* Every UID a test was handed is valid by pydicom's rules (digits, no
 * leading zeros, no empty component, at most 64 characters). */
void ExpectValidForPydicom(const std::vector<std::string> &uids) {
    ASSERT_FALSE(uids.empty());
    std::vector<std::string> argv = {"/usr/bin/python3", "-c",
                                     "import sys, pydicom.uid\n"
                                     "for u in sys.argv[1:]:\n"
                                     "    if not pydicom.uid.UID(u).is_valid: print(u)\n"};
    argv.insert(argv.end(), uids.begin(), uids.end());
    auto r = testutil::Run(argv);
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("", r.out) << "invalid UIDs";
}

const std::string kNoFile = "(no file)";

struct Row {
    std::string file; /* base.uid contents, or kNoFile */
    int16_t flags;
    const char *series; /* element values, kAbsent: no element */
    const char *instance;
    int16_t want_result;
    std::string want_uid;
};

const std::string k60(60, '1');

TEST(Uidgen, ComposesFromTheRootFileAndTheObject) {
    const Row rows[] = {
        {"1.2.3.\n", 0, kAbsent, kAbsent, 0, "1.2.3"},     /* one dot dropped */
        {"1.2.3\r\n", 0, kAbsent, kAbsent, 0, "1.2.3"},    /* a CR LF file */
        {"1.2.3\n9.9\n", 0, kAbsent, kAbsent, 0, "1.2.3"}, /* first line only */
        {"1.2.3", 6, " 4 ", "12", 0, "1.2.3.4.12"},        /* first words */
        {"1.2.3", 2, "", kAbsent, 0, "1.2.3.1"},           /* no value */
        {"1.2.3", 2, "   ", kAbsent, 0, "1.2.3.1"},        /* blanks only */
        {"1.2.3", 6, "7 8", "9", 0, "1.2.3.7.9"},
        {"1.2.3", 4, "5", kAbsent, -1, "1.2.3"}, /* kept as composed */
        {"1.2.3", 6, kAbsent, "5", -1, "1.2.3"},
        {std::string(64, '2') + "\n", 0, kAbsent, kAbsent, 0, std::string(64, '2')},
        {std::string(65, '2') + "\n", 0, kAbsent, kAbsent, -1, ""},
        {k60, 6, "1", "12", -1, ""}, /* 65: not cut */
        {k60, 6, "1", "1", 0, k60 + ".1.1"},
        {"\n", 0, kAbsent, kAbsent, -1, ""}, /* empty root */
        {"\n", 2, "4", kAbsent, -1, ""},     /* would start with "." */
        {"1.2.3", 2, "4.", kAbsent, -1, ""}, /* would end in "." */
        {"", 0, kAbsent, kAbsent, -1, ""},   /* empty file */
        {kNoFile, 0, kAbsent, kAbsent, -1, ""},
    };
    std::vector<std::string> issued;
    for (const Row &r : rows) {
        testutil::TempDir dir;
        if (r.file != kNoFile)
            testutil::WriteFile(dir.file("base.uid"), r.file);
        testutil::ScopedEnv path("QUENOR_DEF_PATH", "/nonexistent;" + dir.path());
        Object obj(r.series, r.instance);
        char uid[65];
        memset(uid, 'x', sizeof uid);
        SCOPED_TRACE(r.file + " flags " + std::to_string(r.flags));
        EXPECT_EQ(r.want_result, genuid(&g_app, obj.io.object, r.flags, uid));
        EXPECT_EQ(r.want_uid, std::string(uid, strnlen(uid, sizeof uid)));
        if (r.want_result == 0)
            issued.push_back(uid);
    }
    ExpectValidForPydicom(issued);
}

TEST(Uidgen, DateTimeIsTheLocalClock) {
    testutil::TempDir dir;
    testutil::WriteFile(dir.file("base.uid"), "1.2.3\n");
    testutil::ScopedEnv path("QUENOR_DEF_PATH", dir.path());
    auto stamp = [] {
        time_t now = time(nullptr);
        struct tm t;
        localtime_r(&now, &t);
        char text[16];
        strftime(text, sizeof text, "%Y%m%d%H%M%S", &t);
        return std::string(text);
    };
    const std::string before = stamp();
    char uid[65];
    ASSERT_EQ(0, genuid(&g_app, nullptr, UID_DATETIME, uid));
    const std::string after = stamp();
    ASSERT_TRUE(std::regex_match(uid, std::regex(R"(1\.2\.3\.\d{14})"))) << uid;
    EXPECT_LE(before, std::string(uid + 6));
    EXPECT_GE(after, std::string(uid + 6));
    ExpectValidForPydicom({uid});

    /* a 60-character root leaves no room for the date-time: refused, not cut */
    testutil::WriteFile(dir.file("base.uid"), k60 + "\n");
    memset(uid, 'x', sizeof uid);
    EXPECT_EQ(-1, genuid(&g_app, nullptr, UID_DATETIME, uid));
    EXPECT_EQ('\0', uid[0]);
    /* 49 characters and the date-time make exactly 64 */
    testutil::WriteFile(dir.file("base.uid"), std::string(49, '3') + "\n");
    ASSERT_EQ(0, genuid(&g_app, nullptr, UID_DATETIME, uid));
    EXPECT_EQ(64u, strlen(uid));
}

TEST(Uidgen, GivenComponentsAreUsedUnchanged) {
    testutil::TempDir dir;
    testutil::WriteFile(dir.file("base.uid"), "9.9\n");
    testutil::ScopedEnv path("QUENOR_DEF_PATH", dir.path());
    const char *dt = "19970303140509";
    const struct {
        const char *root, *datetime, *series, *instance;
        int16_t flags;
        int16_t want_result;
        const char *want;
    } rows[] = {
        {"1.2.840.99", dt, nullptr, nullptr, UID_DATETIME, 0, "1.2.840.99.19970303140509"},
        {nullptr, dt, "4", "12", 7, 0, "9.9.19970303140509.4.12"},
        /* the object has no Series Number, but a given one needs none */
        {nullptr, nullptr, "4", nullptr, UID_SERIES, 0, "9.9.4"},
        {nullptr, nullptr, nullptr, nullptr, UID_SERIES, -1, "9.9"},
        /* given texts are not cleaned: a trailing dot is refused */
        {"1.2.", nullptr, nullptr, nullptr, 0, -1, ""},
        {"1.2.", dt, nullptr, nullptr, UID_DATETIME, -1, ""},
        {"", nullptr, "4", nullptr, UID_SERIES, -1, ""},
        /* a full 2.25 root (44 characters) leaves 5 after the date-time */
        {"2.25.329800735698586629295641978511506172918", dt, "1", "100", 7, -1, ""},
        {"2.25.329800735698586629295641978511506172918", dt, "1", "10", 7, 0,
         "2.25.329800735698586629295641978511506172918.19970303140509.1.10"},
        /* components not asked for are not used */
        {"1.2", dt, "4", "12", 0, 0, "1.2"},
    };
    Object obj(kAbsent, kAbsent);
    std::vector<std::string> issued;
    for (const auto &r : rows) {
        char uid[65];
        SCOPED_TRACE(r.want);
        EXPECT_EQ(r.want_result, genuid_ex(&g_app, obj.io.object, r.flags, uid, r.root, r.datetime,
                                           r.series, r.instance));
        EXPECT_EQ(std::string(r.want), uid);
        if (r.want_result == 0)
            issued.push_back(uid);
    }
    ExpectValidForPydicom(issued);
}

/* Blanks around the root line, signs and leading zeros in the numbers
 * make no invalid UID: they are cleaned, or the UID is refused when
 * cleaning would change what it names. */
TEST(Uidgen, RootAndNumbersGiveValidUidsOrNone) {
    const std::string k64(64, '2');
    const struct {
        std::string file; /* base.uid */
        int16_t flags;
        const char *series, *instance;             /* element values */
        const char *given_series, *given_instance; /* genuid_ex texts */
        int16_t want_result;
        std::string want_uid;
    } rows[] = {
        {"1.2.3  \n", 0, kAbsent, kAbsent, nullptr, nullptr, 0, "1.2.3"},
        {" \t1.2.3\t \r\n", 0, kAbsent, kAbsent, nullptr, nullptr, 0, "1.2.3"},
        {"1.2.3. \n", 0, kAbsent, kAbsent, nullptr, nullptr, 0, "1.2.3"},
        {k64 + "   \n", 0, kAbsent, kAbsent, nullptr, nullptr, 0, k64},
        {k64 + " 5\n", 0, kAbsent, kAbsent, nullptr, nullptr, -1, ""},
        {"1.2 3\n", 0, kAbsent, kAbsent, nullptr, nullptr, -1, ""},
        {"1.02.3\n", 0, kAbsent, kAbsent, nullptr, nullptr, -1, ""}, /* not ours to renumber */
        {"1.2.3\n", 6, "007", "+5", nullptr, nullptr, 0, "1.2.3.7.5"},
        {"1.2.3\n", 6, " 000 ", "+0012 x", nullptr, nullptr, 0, "1.2.3.0.12"},
        {"1.2.3\n", 6, kAbsent, kAbsent, "+07", "0", 0, "1.2.3.7.0"},
        {"1.2.3\n", 2, "-5", kAbsent, nullptr, nullptr, -1, ""},
        {"1.2.3\n", 2, "+", kAbsent, nullptr, nullptr, -1, ""},
        {"1.2.3\n", 2, "4a", kAbsent, nullptr, nullptr, -1, ""},
        {"1.2.3\n", 4, kAbsent, "4.5", nullptr, nullptr, -1, ""}, /* would shift components */
        {"1.2.3\n", 4, kAbsent, kAbsent, nullptr, "1e3", -1, ""},
        {"1.2.3\n", 2, kAbsent, kAbsent, " 4", nullptr, -1, ""},
    };
    std::vector<std::string> issued;
    for (const auto &r : rows) {
        testutil::TempDir dir;
        testutil::WriteFile(dir.file("base.uid"), r.file);
        testutil::ScopedEnv path("QUENOR_DEF_PATH", dir.path());
        Object obj(r.series, r.instance);
        char uid[65];
        memset(uid, 'x', sizeof uid);
        SCOPED_TRACE("[" + r.file + "] " + (r.series ? r.series : "") + "/" +
                     (r.instance ? r.instance : "") + "/" +
                     (r.given_series ? r.given_series : "") + "/" +
                     (r.given_instance ? r.given_instance : ""));
        EXPECT_EQ(r.want_result, genuid_ex(&g_app, obj.io.object, r.flags, uid, nullptr, nullptr,
                                           r.given_series, r.given_instance));
        EXPECT_EQ(r.want_uid, std::string(uid, strnlen(uid, sizeof uid)));
        if (r.want_result == 0)
            issued.push_back(uid);
    }
    ExpectValidForPydicom(issued);

    /* a given root or date-time is not changed: one that is no valid
     * component is refused */
    char uid[65];
    Object obj(kAbsent, kAbsent);
    EXPECT_EQ(-1, genuid_ex(&g_app, obj.io.object, 0, uid, "1.2.3 ", nullptr, nullptr, nullptr));
    EXPECT_EQ(-1, genuid_ex(&g_app, obj.io.object, UID_DATETIME, uid, "1.2", "0199", nullptr,
                            nullptr));
    EXPECT_EQ('\0', uid[0]);
}

TEST(Uidgen, BundledRootLeavesElevenDigitsForSeriesAndInstance) {
    testutil::ScopedEnv path("QUENOR_DEF_PATH", testutil::DefsDir());
    char uid[65];
    Object fits("9999", "9999999");
    ASSERT_EQ(0, genuid(&g_app, fits.io.object, 7, uid));
    EXPECT_EQ(64u, strlen(uid));
    EXPECT_TRUE(std::regex_match(uid, std::regex(R"(2\.25\.[1-9]\d*\.\d{14}\.9999\.9999999)")))
        << uid;
    ExpectValidForPydicom({uid});
    Object one_more("9999", "10000000");
    EXPECT_EQ(-1, genuid(&g_app, one_more.io.object, 7, uid));
}

} // namespace
