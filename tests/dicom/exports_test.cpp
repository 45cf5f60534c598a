/*
 * exports_test.cpp -- libmedcore.so exports exactly what medcore.h marks
 * with MC_API: every declared function and datum is there (nothing left
 * unimplemented), and no internal helper leaks out of the library.
 */
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <set>
#include <string>

#include "testutil.h"

namespace {

std::set<std::string> declared_exports(const std::string &header) {
    std::string text = testutil::ReadFile(header);
    std::set<std::string> names;
    // Functions: "MC_API <type> name(" ; data: "extern MC_API <type> name[" or "name;"
    std::regex fn(R"(MC_API[^;(\n]*?\b([A-Za-z_][A-Za-z0-9_]*)\s*[\(\[;])");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), fn); it != std::sregex_iterator();
         ++it)
        names.insert((*it)[1]);
    names.erase("MC_API");
    names.erase("__attribute__");
    return names;
}

std::set<std::string> dynamic_symbols(const std::string &lib) {
    std::set<std::string> names;
    std::string cmd = "nm -D --defined-only " + lib + " 2>/dev/null";
    FILE *p = popen(cmd.c_str(), "r");
    if (!p)
        return names;
    char line[1024];
    while (fgets(line, sizeof line, p)) {
        char addr[64], type[8], name[512];
        if (sscanf(line, "%63s %7s %511s", addr, type, name) != 3)
            continue;
        std::string t = type;
        if (t == "T" || t == "D" || t == "B" || t == "R")
            names.insert(name);
    }
    pclose(p);
    return names;
}

} // namespace

TEST(MedcoreExports, ExactlyTheDeclaredInterface) {
    std::string lib = std::string(QUENOR_BIN_DIR) + "/../lib/libmedcore.so";
    if (!testutil::FileExists(lib))
        GTEST_SKIP() << "shared library not built: " << lib;
    std::set<std::string> want =
        declared_exports(std::string(QUENOR_SOURCE_DIR) + "/dicom/medcore.h");
    std::set<std::string> have = dynamic_symbols(lib);
    ASSERT_GT(want.size(), 50u);
    for (const auto &n : want)
        EXPECT_TRUE(have.count(n)) << "declared but not exported: " << n;
    for (const auto &n : have) {
        if (n.rfind("_", 0) == 0 && !want.count(n) &&
            (n == "_init" || n == "_fini" || n.rfind("__", 0) == 0))
            continue; // linker-provided
        EXPECT_TRUE(want.count(n)) << "exported but not declared: " << n;
    }
}
