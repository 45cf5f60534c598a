/*
 * paths_test.cpp -- getfileenv over real temporary directories
 * and search-path variables, and the in-place path helpers fixpath,
 * mergepath, _dirname and _basename.  The native separator here is '/'.
 */
#include <gtest/gtest.h>

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "basekit.h"
#include "testutil.h"

namespace {

const char *kVar = "QUENOR_TEST_DEF_PATH";

/* Calls f on a writable copy of s; returns the result as a string. */
template <typename F>
std::string OnCopy(F f, const std::string &s) {
    std::vector<char> buf(s.begin(), s.end());
    buf.push_back('\0');
    char *r = f(buf.data());
    return r ? std::string(r) : std::string("<null>");
}

std::string Dir(const std::string &s) {
    return OnCopy(_dirname, s);
}
std::string Base(const std::string &s) {
    return OnCopy(_basename, s);
}

std::string Lookup(const char *var, const std::string &name, int size = 512) {
    std::vector<char> result(size > 0 ? size : 1, 'X');
    char *r = getfileenv(var, name.c_str(), result.data(), size);
    EXPECT_EQ(r, result.data());
    return std::string(result.data());
}

/* Works inside a scratch directory and comes back afterwards. */
class InDir {
public:
    explicit InDir(const std::string &dir) {
        char buf[PATH_MAX];
        old_ = getcwd(buf, sizeof buf) ? buf : "/";
        EXPECT_EQ(chdir(dir.c_str()), 0);
    }
    ~InDir() { (void)!chdir(old_.c_str()); }

private:
    std::string old_;
};

void MkDir(const std::string &p) {
    ASSERT_EQ(mkdir(p.c_str(), 0755), 0) << p;
}

} // namespace

/* ---- fixpath, mergepath ---- */

TEST(FixpathTest, ForeignSeparatorsBecomeNative) {
    char buf[] = "a\\b\\c";
    EXPECT_EQ(fixpath(buf), buf);
    EXPECT_STREQ(buf, "a/b/c");
    char mixed[] = "\\x/y\\\\z";
    fixpath(mixed);
    EXPECT_STREQ(mixed, "/x/y//z");
    char plain[] = "a/b";
    fixpath(plain);
    EXPECT_STREQ(plain, "a/b");
    char empty[] = "";
    EXPECT_STREQ(fixpath(empty), "");
    EXPECT_EQ(fixpath(nullptr), nullptr);
}

TEST(MergepathTest, AlwaysOneSeparator) {
    char buf[64];
    memset(buf, 'X', sizeof buf);
    EXPECT_EQ(mergepath(buf, "dir", "name"), buf);
    EXPECT_STREQ(buf, "dir/name");
    EXPECT_STREQ(mergepath(buf, "a/", "f"), "a//f");
    EXPECT_STREQ(mergepath(buf, "", "f"), "/f");
    EXPECT_STREQ(mergepath(buf, "d", ""), "d/");
    EXPECT_STREQ(mergepath(buf, "", ""), "/");
}

TEST(MergepathTest, ExactBufferSize) {
    /* strlen(dir) + strlen(name) + 2 bytes suffice. */
    std::vector<char> buf(3 + 4 + 2, 'X');
    mergepath(buf.data(), "abc", "defg");
    EXPECT_EQ(std::string(buf.data()), "abc/defg");
    EXPECT_EQ(buf.back(), '\0');
}

/* ---- _dirname ---- */

TEST(DirnameTest, ParentOfPathsRootDotsAndEmpty) {
    EXPECT_EQ(Dir("a/b/c"), "a/b");
    EXPECT_EQ(Dir("a/b/"), "a");
    EXPECT_EQ(Dir("/x"), "/");
    EXPECT_EQ(Dir("/"), "/");
    EXPECT_EQ(Dir("file"), ".");
    EXPECT_EQ(Dir(".."), ".");
    EXPECT_EQ(Dir("."), ".");
    EXPECT_EQ(Dir(""), ".");
    EXPECT_EQ(_dirname(nullptr), std::string("."));
}

TEST(DirnameTest, MoreCases) {
    EXPECT_EQ(Dir("//"), "/");
    EXPECT_EQ(Dir("/a/b"), "/a");
    EXPECT_EQ(Dir("a//b"), "a/");
    EXPECT_EQ(Dir("file/"), ".");
    EXPECT_EQ(Dir("../x"), "..");
    EXPECT_EQ(Dir("a\\b"), "."); /* a backslash is not a separator here */
}

TEST(DirnameTest, WhiteSpaceTrimming) {
    char buf[] = " \t a/b/c \n\r";
    char *r = _dirname(buf);
    EXPECT_STREQ(r, "a/b");
    EXPECT_EQ(r, buf + 3); /* advanced, not shifted */
    EXPECT_EQ(Dir("  ..  "), ".");
    EXPECT_EQ(Dir("   "), ".");
    EXPECT_EQ(Dir(" /"), "/");
}

TEST(DirnameTest, CutsInPlace) {
    char buf[] = "x/y/z";
    char *r = _dirname(buf);
    EXPECT_EQ(r, buf);
    EXPECT_STREQ(buf, "x/y");
}

TEST(DirnameTest, SharedDotForNonPaths) {
    char a[] = "file", b[] = "..";
    EXPECT_EQ(_dirname(a), _dirname(b)); /* one library-owned "." */
    EXPECT_EQ(_dirname(a), _dirname(nullptr));
}

/* ---- _basename ---- */

TEST(BasenameTest, LastComponentOfPathsRootDotsAndEmpty) {
    EXPECT_EQ(Base("a/b/c"), "c");
    EXPECT_EQ(Base("a/b/"), "b");
    EXPECT_EQ(Base("/"), "/");
    EXPECT_EQ(Base(".."), "..");
    EXPECT_EQ(Base("."), ".");
    EXPECT_EQ(Base(""), ".");
    EXPECT_EQ(_basename(nullptr), std::string("."));
}

TEST(BasenameTest, BareNameIsItself) {
    EXPECT_EQ(Base("file"), "file");
    EXPECT_EQ(Base("file/"), "file");
    char buf[] = "  name  ";
    char *r = _basename(buf);
    EXPECT_EQ(r, buf + 2);
    EXPECT_STREQ(r, "name");
}

TEST(BasenameTest, MoreCases) {
    EXPECT_EQ(Base("/x"), "x");
    EXPECT_EQ(Base("//"), "/");
    EXPECT_EQ(Base("a\\b"), "a\\b");
    EXPECT_EQ(Base("   "), ".");
    char buf[] = "dir/..";
    char *r = _basename(buf);
    EXPECT_EQ(r, buf + 4);
    EXPECT_STREQ(r, "..");
    char dots[] = " .. ";
    EXPECT_EQ(_basename(dots), dots + 1); /* ".." itself, unchanged */
}

/* ---- getfileenv ---- */

class GetfileenvTest : public testing::Test {
protected:
    void SetUp() override {
        root = tmp.path();
        MkDir(root + "/d1");
        MkDir(root + "/d2");
        MkDir(root + "/d2/sub");
        MkDir(root + "/work");
    }
    testutil::TempDir tmp;
    std::string root;
};

TEST_F(GetfileenvTest, NameAsPassedWinsWithoutVariable) {
    testutil::WriteFile(root + "/work/tag_tab.def", "x");
    testutil::WriteFile(root + "/d1/tag_tab.def", "y");
    InDir in(root + "/work");
    testutil::ScopedEnv env(kVar, root + "/d1");
    EXPECT_EQ(Lookup(kVar, "tag_tab.def"), "tag_tab.def");
    EXPECT_EQ(Lookup(nullptr, "tag_tab.def"), "tag_tab.def");
}

TEST_F(GetfileenvTest, DirectoryCountsAsExisting) {
    InDir in(root);
    EXPECT_EQ(Lookup(nullptr, "d2"), "d2");
    testutil::ScopedEnv env(kVar, root);
    EXPECT_EQ(Lookup(kVar, "sub"), "");
}

TEST_F(GetfileenvTest, SecondEntryWithForeignSeparatorNormalised) {
    testutil::WriteFile(root + "/d2/sub/prv_tab.def", "x");
    InDir in(root + "/work");
    testutil::ScopedEnv env(kVar, root + "/d1;" + root + "/d2\\sub");
    EXPECT_EQ(Lookup(kVar, "prv_tab.def"), root + "/d2/sub/prv_tab.def");
}

TEST_F(GetfileenvTest, RelativeEntries) {
    testutil::WriteFile(root + "/d2/sub/f.def", "x");
    InDir in(root);
    testutil::ScopedEnv env(kVar, "d1;d2\\sub");
    EXPECT_EQ(Lookup(kVar, "f.def"), "d2/sub/f.def");
}

TEST_F(GetfileenvTest, FirstExistingCandidateWins) {
    testutil::WriteFile(root + "/d1/f.def", "1");
    testutil::WriteFile(root + "/d2/f.def", "2");
    InDir in(root + "/work");
    testutil::ScopedEnv env(kVar, root + "/d2;" + root + "/d1");
    EXPECT_EQ(Lookup(kVar, "f.def"), root + "/d2/f.def");
}

TEST_F(GetfileenvTest, NameIsNotNormalised) {
    testutil::WriteFile(root + "/d2/sub/g.def", "x");
    InDir in(root + "/work");
    testutil::ScopedEnv env(kVar, root + "/d2");
    EXPECT_EQ(Lookup(kVar, "sub/g.def"), root + "/d2/sub/g.def");
    EXPECT_EQ(Lookup(kVar, "sub\\g.def"), "");
}

TEST_F(GetfileenvTest, EmptyEntryMeansRootDirectory) {
    /* "tmp" is not in the working directory, but /tmp exists. */
    ASSERT_TRUE(testutil::FileExists("/tmp"));
    InDir in(root + "/work");
    {
        testutil::ScopedEnv env(kVar, root + "/d1;");
        EXPECT_EQ(Lookup(kVar, "tmp"), "/tmp");
    }
    {
        testutil::ScopedEnv env(kVar, ";" + root + "/d1");
        EXPECT_EQ(Lookup(kVar, "tmp"), "/tmp");
    }
    {
        testutil::ScopedEnv env(kVar, root + "/d1;;" + root + "/d2");
        EXPECT_EQ(Lookup(kVar, "tmp"), "/tmp");
    }
    {
        testutil::ScopedEnv env(kVar, root + "/d1");
        EXPECT_EQ(Lookup(kVar, "tmp"), "");
    }
}

TEST_F(GetfileenvTest, EmptyValueIsOneEmptyEntry) {
    InDir in(root + "/work");
    /* ScopedEnv with an empty value may unset the variable; set it here. */
    const char *old = getenv(kVar);
    std::string saved = old ? old : "";
    setenv(kVar, "", 1);
    EXPECT_EQ(Lookup(kVar, "tmp"), "/tmp");
    if (old)
        setenv(kVar, saved.c_str(), 1);
    else
        unsetenv(kVar);
}

TEST_F(GetfileenvTest, NotFound) {
    InDir in(root + "/work");
    testutil::ScopedEnv env(kVar, root + "/d1;" + root + "/d2");
    EXPECT_EQ(Lookup(kVar, "missing.def"), "");
    EXPECT_EQ(Lookup(nullptr, "missing.def"), "");
    unsetenv("QUENOR_SURELY_UNSET_VAR");
    EXPECT_EQ(Lookup("QUENOR_SURELY_UNSET_VAR", "missing.def"), "");
}

TEST_F(GetfileenvTest, TooLongForResultIsNotFound) {
    std::string longdir = root + "/d1/" + std::string(200, 'L');
    MkDir(longdir);
    testutil::WriteFile(longdir + "/h.def", "x");
    testutil::WriteFile(root + "/d2/h.def", "x");
    InDir in(root + "/work");
    std::string want_long = longdir + "/h.def";
    std::string want_short = root + "/d2/h.def";
    {
        testutil::ScopedEnv env(kVar, longdir);
        EXPECT_EQ(Lookup(kVar, "h.def"), want_long);
        /* A buffer of exactly the path's length has no room for the NUL. */
        EXPECT_EQ(Lookup(kVar, "h.def", (int)want_long.size()), "");
        EXPECT_EQ(Lookup(kVar, "h.def", (int)want_long.size() + 1), want_long);
    }
    {
        /* The long candidate does not fit, so the search goes on. */
        testutil::ScopedEnv env(kVar, longdir + ";" + root + "/d2");
        EXPECT_EQ(Lookup(kVar, "h.def", (int)want_short.size() + 1), want_short);
    }
}

TEST_F(GetfileenvTest, TooLongNameAsPassedIsNotFound) {
    /* Every candidate from the variable is longer than the name itself,
     * so a name that does not fit leaves the result empty. */
    testutil::WriteFile(root + "/work/abcdefghij.def", "x");
    testutil::WriteFile(root + "/abcdefghij.def", "x");
    InDir in(root + "/work");
    testutil::ScopedEnv env(kVar, "..");
    EXPECT_EQ(Lookup(kVar, "abcdefghij.def", 15), "abcdefghij.def");
    EXPECT_EQ(Lookup(kVar, "abcdefghij.def", 14), "");
    EXPECT_EQ(Lookup(kVar, "abcdefghij.def", 1), "");
}

TEST_F(GetfileenvTest, ZeroSizeTouchesNothing) {
    char result[4] = "abc";
    EXPECT_EQ(getfileenv(nullptr, "/tmp", result, 0), result);
    EXPECT_STREQ(result, "abc");
}

TEST_F(GetfileenvTest, VariableLeftUnchanged) {
    InDir in(root + "/work");
    std::string value = root + "\\d1;" + root + "\\d2";
    testutil::ScopedEnv env(kVar, value);
    Lookup(kVar, "nothing");
    EXPECT_EQ(std::string(getenv(kVar)), value);
}

TEST_F(GetfileenvTest, NullNameGivesEmptyResult) {
    char result[8] = "junk";
    EXPECT_EQ(getfileenv(kVar, nullptr, result, sizeof result), result);
    EXPECT_STREQ(result, "");
}
