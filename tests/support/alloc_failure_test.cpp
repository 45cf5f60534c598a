/*
 * alloc_failure_test.cpp -- exported functions that allocate through C++
 * must not let std::bad_alloc out through their C interface.  With
 * operator new refusing every request, getfileenv reports "not found" and
 * the definition loaders fail their load, leaving nothing half built.
 */
#include <gtest/gtest.h>

#include <stdlib.h>

#include <atomic>
#include <new>
#include <string>

#include "basekit.h"
#include "medcore.h"
#include "testutil.h"

namespace {

std::atomic<bool> g_refuse_new{false};

/* Refuses operator new from its construction to its end. */
struct RefusedNew {
    RefusedNew() { g_refuse_new = true; }
    ~RefusedNew() { g_refuse_new = false; }
};

const char kVar[] = "QUENOR_TEST_ALLOC_PATH";

TEST(AllocationFailure, SearchPathLookupFindsNothingAndReturns) {
    testutil::TempDir dir;
    const std::string path = dir.file("x.def");
    testutil::WriteFile(path, "");
    testutil::ScopedEnv env(kVar, "/nonexistent;" + dir.path());
    char found[512];

    ASSERT_EQ(path, std::string(getfileenv(kVar, "x.def", found, sizeof found)));
    char *r;
    {
        RefusedNew refused;
        r = getfileenv(kVar, "x.def", found, sizeof found);
    }
    EXPECT_EQ(found, r);
    EXPECT_STREQ("", found);

    /* The name as passed needs no memory and is still found. */
    {
        RefusedNew refused;
        r = getfileenv(kVar, path.c_str(), found, sizeof found);
    }
    EXPECT_EQ(path, std::string(r));
}

TEST(AllocationFailure, DefinitionLoadersFailTheirLoad) {
    testutil::TempDir dir;
    const std::string bad = dir.file("bad.def");
    testutil::WriteFile(bad, "{ x");
    log_mask(0);
    AppData app;
    char banner[64];
    init_AppData(&app, "test", "2.1", banner);
    DefHolder defs = {};
    int16_t tag_result, prv_result;
    {
        RefusedNew refused;
        tag_result = InitDICOMTagDef(&app, bad.c_str(), 1);
        prv_result = InitDICOMPrvDef(&app, &defs, bad.c_str(), 1);
    }
    EXPECT_EQ(-1, tag_result);
    EXPECT_EQ(-1, prv_result);
    EXPECT_EQ(nullptr, defs.prv);
    DoneTagPrvDef(&app, &defs);
}

} // namespace

/* The replacement pair takes its memory from malloc, so delete hands it
 * back with free; the compiler cannot see that the two belong together. */
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void *operator new(size_t size) {
    if (!g_refuse_new)
        if (void *p = malloc(size ? size : 1))
            return p;
    throw std::bad_alloc();
}

void operator delete(void *p) noexcept {
    free(p);
}

void operator delete(void *p, size_t) noexcept {
    free(p);
}
