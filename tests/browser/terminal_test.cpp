/*
 * terminal_test.cpp -- the browser in a real terminal (a tmux pane on a
 * server of its own): prompts that wait without a line end, keys typed and
 * edited the way a person types them, and the whole session on the CT
 * sample as the screen shows it.
 */
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "testutil.h"

namespace {

const char kTmux[] = "/usr/bin/tmux";

class Pane {
public:
    ~Pane() { tmux({"kill-server"}); }

    testutil::RunResult tmux(std::vector<std::string> args) {
        args.insert(args.begin(), {kTmux, "-S", dir_.file("socket")});
        return testutil::Run(args, {{"TMUX", ""}});
    }
    void keys(std::vector<std::string> keys) {
        keys.insert(keys.begin(), {"send-keys", "-t", "walk"});
        tmux(keys);
    }
    /* Everything the pane has shown, its history included. */
    std::string screen() {
        return tmux({"capture-pane", "-p", "-t", "walk", "-S", "-", "-E", "-"}).out;
    }
    /* Waits until the text has been shown `times` times in all. */
    bool wait_for(const std::string &text, size_t times = 1) {
        for (int i = 0; i < 200; ++i) {
            std::string s = screen();
            size_t n = 0;
            for (size_t at = s.find(text); at != std::string::npos; at = s.find(text, at + 1))
                ++n;
            if (n >= times)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

private:
    testutil::TempDir dir_; /* holds the server's socket */
};

TEST(Terminal, CtSessionAsTheScreenShowsIt) {
    if (access(kTmux, X_OK) != 0)
        GTEST_SKIP() << "tmux is not installed";
    Pane pane;
    const std::string command =
        "QUENOR_DEF_PATH=" + testutil::DefsDir() + " " + testutil::BinPath("tagwalkd") + " -i " +
        testutil::SamplePath("CT_small.dcm") + "; echo \"[exit $?]\"; sleep 60";
    ASSERT_EQ(
        0, pane.tmux({"new-session", "-d", "-s", "walk", "-x", "100", "-y", "50", command}).status);
    const std::string prompt = "tagwalk>"; /* capture-pane drops trailing blanks */
    ASSERT_TRUE(pane.wait_for(prompt)) << pane.screen();
    EXPECT_NE(std::string::npos,
              pane.screen().find("CT Image         CT Image IOD\n\n"
                                 " 1.  C.7.1.1          Patient                   M Patient\n"));

    pane.keys({"1", "Enter"});
    ASSERT_TRUE(pane.wait_for(prompt, 2)) << pane.screen();
    EXPECT_NE(std::string::npos,
              pane.screen().find("tagwalk> 1\n\n\nC.7.1.1          Patient\n\n"
                                 " 1.  * 00100010 Patient's Name               PN 2\n"));

    pane.keys({"9", "Enter"}); /* Other Patient IDs Sequence: two items of defined length */
    ASSERT_TRUE(pane.wait_for(prompt, 3)) << pane.screen();
    EXPECT_NE(std::string::npos,
              pane.screen().find("tagwalk> 9\nThis sequence has 2 items.\n"
                                 "Its items are kept as stored and cannot be opened.\n\n\n"
                                 "C.7.1.1          Patient\n"));

    /* Typed, corrected with backspace, then sent: the browser sees "1". */
    pane.keys({"7", "BSpace", "1", "Enter"});
    ASSERT_TRUE(pane.wait_for("Press <Enter> key to continue")) << pane.screen();
    EXPECT_NE(std::string::npos,
              pane.screen().find("tagwalk> 1\n\n(0010,0010) PN     22  CompressedSamples^CT1\n\n"
                                 "Press <Enter> key to continue\n"));

    pane.keys({"Enter"});
    ASSERT_TRUE(pane.wait_for(prompt, 4)) << pane.screen();
    pane.keys({"q", "Enter"});
    ASSERT_TRUE(pane.wait_for("Do you really want to quit?")) << pane.screen();
    pane.keys({"y", "Enter"});
    ASSERT_TRUE(pane.wait_for("[exit 0]")) << pane.screen();
    EXPECT_NE(std::string::npos, pane.screen().find("Do you really want to quit? y\n[exit 0]"));
}

} // namespace
