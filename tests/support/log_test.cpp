/*
 * log_test.cpp -- levelled logging on two channels (a real log
 * file and captured standard error), the start and end lines, and the
 * fatal exit.
 */
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "basekit.h"
#include "testutil.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

/* Closes any log file (fclose flushes it) without showing anything. */
void CloseLog() {
    log_mask(0);
    log_start(nullptr, "", 0, nullptr);
}

class LogTest : public testing::Test {
protected:
    void SetUp() override { CloseLog(); }
    void TearDown() override {
        CloseLog();
        log_mask(0x002C);
    }
};

const char *kTimeRe =
    "(Mon|Tue|Wed|Thu|Fri|Sat|Sun) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
    "[ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}";

} // namespace

TEST(LogInitialDeathTest, InitialMaskIsFile12Stderr2) {
    /* A freshly started process (threadsafe style re-executes the test
     * binary, and this plain test has no set-up) sees the load-time mask:
     * warnings but not info on standard error. */
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            log_message("w", 2);
            log_message("i", 3);
            exit(0);
        },
        testing::ExitedWithCode(0), "^Warning: w\n$");
}

TEST_F(LogTest, MaskReplacesAndReturns) {
    EXPECT_EQ(log_mask(0x0031), 0x0031);
    EXPECT_EQ(log_mask(0), 0);
    EXPECT_EQ(log_mask((int16_t)0x7F45), 0x7F45);
}

TEST_F(LogTest, MaskZeroShowsOnlyLevelZero) {
    log_mask(0);
    CaptureStderr();
    log_message("err", 1);
    log_message("warn", 2);
    log_message("info", 3);
    log_message("bare", -1);
    log_message("always", 0);
    EXPECT_EQ(GetCapturedStderr(), "always\n");
}

TEST_F(LogTest, PrefixesAndThresholds) {
    log_mask(0x0030); /* stderr threshold 3, no file */
    CaptureStderr();
    log_message("e", 1);
    log_message("w", 2);
    log_message("i", 3);
    log_message("four", 4);
    log_message("neg3", -3);
    log_message("neg4", -4);
    log_message("zero", 0);
    EXPECT_EQ(GetCapturedStderr(), "Error: e\nWarning: w\nInfo: i\nneg3\nzero\n");
}

TEST_F(LogTest, HighLevelsAndLow16Bits) {
    log_mask(0x00F0); /* stderr threshold 15 */
    CaptureStderr();
    log_message("fifteen", 15);
    log_message("sixteen", 16);
    log_message("neg16", -16);
    log_message("wrapped", 0x10001); /* low 16 bits: 1 */
    EXPECT_EQ(GetCapturedStderr(), "fifteen\nError: wrapped\n");
}

TEST_F(LogTest, NegativeTwoIsBareWarning) {
    log_mask(0x0020);
    CaptureStderr();
    log_message("bare", -2);
    log_message("hidden", -3);
    EXPECT_EQ(GetCapturedStderr(), "bare\n");
}

TEST_F(LogTest, FileAndStderrThresholdsAreIndependent) {
    testutil::TempDir tmp;
    std::string path = tmp.file("run.log");
    log_mask(0);
    log_start(path.c_str(), "prog 1.0", 0, nullptr);
    log_mask(0x0031); /* stderr 3, file 1 */
    CaptureStderr();
    log_message("e", 1);
    log_message("w", 2);
    log_message("i", 3);
    log_message("z", 0);
    EXPECT_EQ(GetCapturedStderr(), "Error: e\nWarning: w\nInfo: i\nz\n");
    CloseLog();
    EXPECT_EQ(testutil::ReadFile(path), "Error: e\nz\n");
}

TEST_F(LogTest, FileOnlyWhenStderrThresholdZero) {
    testutil::TempDir tmp;
    std::string path = tmp.file("run.log");
    log_mask(0x000F);
    CaptureStderr();
    log_start(path.c_str(), "title", 0, nullptr);
    log_message("info line", 3);
    log_message("neg", -2);
    EXPECT_EQ(GetCapturedStderr(), "");
    CloseLog();
    std::string text = testutil::ReadFile(path);
    std::regex re(std::string("^\\*\\*\\* Log start: ") + kTimeRe +
                  "\ntitle\n\nInfo: info line\nneg\n$");
    EXPECT_TRUE(std::regex_match(text, re)) << text;
}

TEST_F(LogTest, StartLinesOnBothChannels) {
    testutil::TempDir tmp;
    std::string path = tmp.file("start.log");
    char a0[] = "/bin/prog", a1[] = "-v", a2[] = "3", a3[] = "my file";
    char *argv[] = {a0, a1, a2, a3, nullptr};
    log_mask(0x001C);
    CaptureStderr();
    log_start(path.c_str(), "tagdump 1.2", 4, argv);
    std::string err = GetCapturedStderr();
    CloseLog();
    std::string file = testutil::ReadFile(path);
    std::regex re(std::string("^\\*\\*\\* Log start: ") + kTimeRe +
                  "\ntagdump 1\\.2\n/bin/prog -v 3 my file\n$");
    EXPECT_TRUE(std::regex_match(err, re)) << err;
    EXPECT_TRUE(std::regex_match(file, re)) << file;
}

TEST_F(LogTest, StartReplacesExistingFile) {
    testutil::TempDir tmp;
    std::string path = tmp.file("old.log");
    testutil::WriteFile(path, "old content that must vanish\n");
    log_mask(0x0001);
    log_start(path.c_str(), "T", 0, nullptr);
    CloseLog();
    std::string text = testutil::ReadFile(path);
    EXPECT_EQ(text.find("old content"), std::string::npos);
    EXPECT_EQ(text.rfind("*** Log start: ", 0), 0u);
}

TEST_F(LogTest, EndLineIsFollowedByEmptyLine) {
    testutil::TempDir tmp;
    std::string path = tmp.file("end.log");
    log_mask(0);
    log_start(path.c_str(), "T", 0, nullptr);
    log_mask(0x0011);
    CaptureStderr();
    log_end();
    log_message("after", 1); /* the file stays open after log_end */
    std::string err = GetCapturedStderr();
    CloseLog();
    std::regex re(std::string("^\\*\\*\\* Log end  : ") + kTimeRe + "\n\nError: after\n$");
    EXPECT_TRUE(std::regex_match(err, re)) << err;
    std::string file = testutil::ReadFile(path);
    EXPECT_TRUE(std::regex_match(file, re)) << file;
}

TEST_F(LogTest, StartLinesHaveNoEmptyLine) {
    char a0[] = "prog";
    char *argv[] = {a0, nullptr};
    log_mask(0x0010);
    CaptureStderr();
    log_start(nullptr, "T", 1, argv);
    std::string err = GetCapturedStderr();
    EXPECT_EQ(err.find("\n\n"), std::string::npos) << err;
    EXPECT_EQ(err.substr(err.size() - 8), "\nT\nprog\n");
}

TEST_F(LogTest, NoArgumentsGiveEmptyCommandLine) {
    log_mask(0x0010);
    CaptureStderr();
    log_start(nullptr, "T", 0, nullptr);
    std::string err = GetCapturedStderr();
    EXPECT_EQ(err.substr(err.size() - 4), "\nT\n\n");
}

TEST_F(LogTest, UnopenableLogFileIsSilent) {
    testutil::TempDir tmp;
    std::string path = tmp.file("no/such/dir/x.log");
    char a0[] = "prog";
    char *argv[] = {a0, nullptr};
    log_mask(0x001F);
    CaptureStderr();
    log_start(path.c_str(), "T", 1, argv);
    log_message("still works", 1);
    std::string err = GetCapturedStderr();
    EXPECT_FALSE(testutil::FileExists(path));
    std::regex re(std::string("^\\*\\*\\* Log start: ") + kTimeRe +
                  "\nT\nprog\nError: still works\n$");
    EXPECT_TRUE(std::regex_match(err, re)) << err;

    /* With the stderr threshold at 0 nothing at all is shown. */
    log_mask(0x000F);
    CaptureStderr();
    log_start(path.c_str(), "T", 1, argv);
    EXPECT_EQ(GetCapturedStderr(), "");
}

TEST_F(LogTest, LongTitleAndCommandLineAreCutAt511) {
    std::string title(2000, 't');
    std::string arg(300, 'a');
    std::vector<char *> argv;
    std::vector<std::string> store = {"prog", arg, arg, arg};
    for (auto &s : store)
        argv.push_back(&s[0]);
    argv.push_back(nullptr);
    log_mask(0x0010);
    CaptureStderr();
    log_start(nullptr, title.c_str(), 4, argv.data());
    std::string err = GetCapturedStderr();
    size_t l1 = err.find('\n');
    size_t l2 = err.find('\n', l1 + 1);
    size_t l3 = err.find('\n', l2 + 1);
    ASSERT_NE(l3, std::string::npos);
    EXPECT_EQ(err.substr(l1 + 1, l2 - l1 - 1), std::string(511, 't'));
    std::string cmd = err.substr(l2 + 1, l3 - l2 - 1);
    EXPECT_EQ(cmd.size(), 511u);
    EXPECT_EQ(cmd, ("prog " + arg + " " + arg).substr(0, 511));
    EXPECT_EQ(l3 + 1, err.size());
}

TEST_F(LogTest, NullTextIsEmptyLine) {
    log_mask(0x0010);
    CaptureStderr();
    log_message(nullptr, 1);
    EXPECT_EQ(GetCapturedStderr(), "Error: \n");
}

using LogDeathTest = LogTest;

TEST_F(LogDeathTest, AbortShowsErrorAndEndLine) {
    std::string re = std::string("^Error: boom\n\\*\\*\\* Log end  : ") + kTimeRe + "\n\n$";
    EXPECT_EXIT(
        {
            log_mask(0x0010);
            log_abort("boom");
        },
        testing::ExitedWithCode(1), re);
}

TEST_F(LogDeathTest, AbortWithEmptyTextWritesBareError) {
    EXPECT_EXIT(
        {
            log_mask(0x0010);
            log_abort("");
        },
        testing::ExitedWithCode(1), "^Error: \n");
}

TEST_F(LogDeathTest, AbortExitsOneEvenWhenNothingIsShown) {
    EXPECT_EXIT(
        {
            log_mask(0);
            log_abort("unseen");
        },
        testing::ExitedWithCode(1), "^$");
}

TEST_F(LogDeathTest, AbortClosesAndFlushesLogFile) {
    testutil::TempDir tmp;
    std::string path = tmp.file("abort.log");
    EXPECT_EXIT(
        {
            log_mask(0x0001);
            log_start(path.c_str(), "T", 0, nullptr);
            log_abort("fatal thing");
        },
        testing::ExitedWithCode(1), "^$");
    std::string file = testutil::ReadFile(path);
    std::regex re(std::string("^\\*\\*\\* Log start: ") + kTimeRe + "\nT\n\nError: fatal thing\n" +
                  "\\*\\*\\* Log end  : " + kTimeRe + "\n\n$");
    EXPECT_TRUE(std::regex_match(file, re)) << file;
}
