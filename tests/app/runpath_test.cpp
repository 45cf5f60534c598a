/*
 * runpath_test.cpp -- where the built programs and libmedcore look for
 * shared libraries: every entry of their run path, as readelf reports it,
 * names the build tree's library folder; none is empty (an empty entry
 * means the current folder, where any file named like a library the
 * program needs would be loaded).
 */
#include <gtest/gtest.h>

#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "testutil.h"

namespace {

std::string RealPath(const std::string &path) {
    char buf[PATH_MAX];
    return realpath(path.c_str(), buf) ? std::string(buf) : "(missing) " + path;
}

/* The entries of the RUNPATH or RPATH of an ELF file, $ORIGIN resolved to
 * the file's folder; empty entries are kept as "". */
std::vector<std::string> RunPathEntries(const std::string &file, std::string *raw) {
    auto r = testutil::Run({"/usr/bin/readelf", "-d", file});
    EXPECT_EQ(0, r.status) << r.err;
    std::vector<std::string> entries;
    for (const char *kind : {"(RUNPATH)", "(RPATH)"}) {
        size_t at = r.out.find(kind);
        if (at == std::string::npos)
            continue;
        size_t open = r.out.find('[', at), close = r.out.find(']', open);
        *raw = r.out.substr(open + 1, close - open - 1);
        const std::string origin = file.substr(0, file.rfind('/'));
        std::string rest = *raw;
        for (;;) {
            size_t colon = rest.find(':');
            std::string entry = rest.substr(0, colon);
            for (const char *o : {"$ORIGIN", "${ORIGIN}"})
                if (entry.compare(0, strlen(o), o) == 0)
                    entry = origin + entry.substr(strlen(o));
            entries.push_back(entry);
            if (colon == std::string::npos)
                break;
            rest = rest.substr(colon + 1);
        }
    }
    return entries;
}

TEST(RunPath, BuiltProgramsSearchOnlyTheBuildLibraryFolder) {
    const std::string bin = QUENOR_BIN_DIR;
    const std::string lib = RealPath(bin + "/../lib");
    const std::vector<std::string> files = {
        testutil::BinPath("tagdumpd"), testutil::BinPath("tagrecoded"),
        testutil::BinPath("tagauditd"), testutil::BinPath("tagpatchd"),
        testutil::BinPath("tagwalkd"), bin + "/../lib/libmedcore.so"};
    for (const std::string &file : files) {
        std::string raw;
        const std::vector<std::string> entries = RunPathEntries(file, &raw);
        SCOPED_TRACE(file + " run path [" + raw + "]");
        ASSERT_FALSE(entries.empty()) << "it needs the build tree's shared libraries";
        for (const std::string &entry : entries) {
            EXPECT_FALSE(entry.empty()) << "an empty entry searches the current folder";
            if (!entry.empty()) {
                EXPECT_EQ(lib, RealPath(entry));
            }
        }
    }
}

} // namespace
