/*
 * exports_test.cpp -- the shared support library exports exactly the
 * functions of the support library and nothing else (checked with nm -D on
 * the built lib/libbasekit.so; skipped when that library was not built).
 */
#include <gtest/gtest.h>

#include <stdio.h>

#include <set>
#include <sstream>
#include <string>

#include "testutil.h"

TEST(ExportsTest, BasekitExportsExactlyItsInterface) {
    std::string lib = std::string(QUENOR_BIN_DIR) + "/../lib/libbasekit.so";
    if (!testutil::FileExists(lib))
        GTEST_SKIP() << lib << " not built";
    if (system("command -v nm >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "nm not available";
    std::string cmd = "nm -D --defined-only '" + lib + "' 2>/dev/null";
    FILE *p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    ASSERT_EQ(pclose(p), 0) << out;

    std::set<std::string> found;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream f(line);
        std::string addr, type, name;
        if (!(f >> addr >> type >> name))
            continue;
        if (type == "T" || type == "D" || type == "B" || type == "R")
            found.insert(name);
    }
    const std::set<std::string> want = {
        "log_start",   "log_end",    "log_mask",          "log_message",        "log_abort",
        "initgetopt1", "getopt1",    "fixpath",           "mergepath",          "getfileenv",
        "_dirname",    "_basename",  "InitDStringBuffer", "AddToDStringBuffer", "DoneDStringBuffer",
        "swapbytes",   "strtoupper", "strtolower"};
    EXPECT_EQ(found, want);
}
