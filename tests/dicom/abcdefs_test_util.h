/*
 * abcdefs_test_util.h -- shared by the object-definition loader and
 * binding tests: a small tag dictionary, definition files written into a
 * scratch folder, loads with their messages captured, and a text picture
 * of an object definition tree that also checks every link.
 */
#ifndef QUENOR_ABCDEFS_TEST_UTIL_H
#define QUENOR_ABCDEFS_TEST_UTIL_H

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "medcore.h"
#include "testutil.h"

namespace abctest {

/* (0008,1198) is written as RE: no sequence in an item path. */
const char kTags[] = R"(
{0x00080016, "SOP Class UID", "UI", 1, ""}, {0x00080018, "SOP Instance UID", "UI", 1, ""},
{0x00081115, "Referenced Series Sequence", "SQ", 1, ""}, {0x00081140, "Referenced Image Sequence", "SQ", 1, ""},
{0x00081150, "Referenced SOP Class UID", "UI", 1, ""}, {0x00081155, "Referenced SOP Instance UID", "UI", 1, ""},
{0x00081198, "Failed SOP Sequence", "RE", 1, ""}, {0x00100010, "Patient's Name", "PN", 1, ""},
{0x00100020, "Patient ID", "LO", 1, ""}, {0x0020000E, "Series Instance UID", "UI", 1, ""},
{0x00400275, "Request Attributes Sequence", "SQ", 1, ""}, {0x00401001, "Requested Procedure ID", "SH", 1, ""},
{0x50000010, "Number of Points", "US", 1, ""}, {0x60000010, "Overlay Rows", "US", 1, ""},
{0xFFFEE000, "Item", "NA", 1, ""},
)";

inline std::string Hex(uint32_t tag) {
    char buf[12];
    snprintf(buf, sizeof buf, "%08X", tag);
    return buf;
}

/* "tag/type" of each definition, children in braces; '*' marks one made
 * by the binding, '=' one bound to an element. */
inline std::string AttrPicture(const AttrDef *first, const AttrDef *last, const void *owner,
                               uint16_t kind) {
    std::string out;
    const AttrDef *prev = nullptr;
    for (const AttrDef *d = first; d; prev = d, d = d->next) {
        EXPECT_TRUE(d->prev == prev && d->owner == owner && d->owner_kind == kind) << Hex(d->tag);
        out += (out.empty() ? "" : " ") + Hex(d->tag) + "/" + d->type;
        out +=
            std::string(d->flags & ATTR_FLAG_MADE_BY_BINDING ? "*" : "") + (d->element ? "=" : "");
        if (d->first_child)
            out += "{" + AttrPicture(d->first_child, d->last_child, d, ATTR_OWNER_ATTR) + "}";
    }
    EXPECT_EQ(prev, last);
    return out;
}

/* "ref: attributes; ref: ..." for every module of the tree. */
inline std::string Picture(const ABCDef *tree) {
    std::string out;
    const ModuleDef *prev = nullptr;
    for (const ModuleDef *m = tree ? tree->first : nullptr; m; prev = m, m = m->next) {
        EXPECT_TRUE(m->prev == prev && m->owner == tree) << m->reference;
        const std::string attrs = AttrPicture(m->first, m->last, m, ATTR_OWNER_MODULE);
        out += (out.empty() ? "" : "; ") + std::string(m->reference) + ":" +
               (attrs.empty() ? "" : " ") + attrs;
    }
    EXPECT_EQ(prev, tree ? tree->last : nullptr);
    return tree ? out : "(none)";
}

struct Load {
    int result;
    std::string err; /* standard error during the call */
};

class DefsFixture : public ::testing::Test {
protected:
    void SetUp() override {
        char banner[64];
        init_AppData(&app, "abctest", "1.0", banner);
        log_mask(0x0010); /* errors on standard error only */
        ASSERT_EQ(0, InitDICOMTagDef(&app, Write("tag_tab.def", kTags).c_str(), 1));
    }
    void TearDown() override {
        DoneABCDef(&defs);
        DoneTagPrvDef(&app, &defs);
        log_mask(0x002C);
    }
    std::string Write(const std::string &name, const std::string &text) {
        testutil::WriteFile(dir.file(name), text);
        return dir.file(name);
    }
    template <typename F>
    Load Capture(F call) {
        testing::internal::CaptureStderr();
        const int r = call();
        return {r, testing::internal::GetCapturedStderr()};
    }
    Load Objects(const std::string &text, const char *object, int16_t primary = 1) {
        const std::string path = Write(primary ? "ab_tab.def" : "ab2_tab.def", text);
        return Capture(
            [&] { return InitDICOMABDef(&app, &defs.abc, path.c_str(), primary, object); });
    }
    Load Modules(const std::string &text, int16_t primary = 1) {
        const std::string path = Write(primary ? "c_tab.def" : "c2_tab.def", text);
        return Capture([&] { return InitDICOMCDef(&app, &defs.abc, path.c_str(), primary); });
    }

    testutil::TempDir dir;
    AppData app{};
    DefHolder defs{};
};

} // namespace abctest

#endif
