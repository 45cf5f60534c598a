/*
 * fuzz_profile.cpp -- libFuzzer target for the editor's profile
 * interpreter: each input is cut at lines "%%" into up to four profiles p0
 * to p3 in a scratch directory (p0 is run; the others can be included by
 * name), which are run over a small object built here with a sequence of
 * two items, as the editor runs them; the result is then saved.
 *
 * Inputs holding '/' are skipped, so that an include can only name the
 * scratch profiles (or files of the working directory), never a device;
 * so are inputs with more than two include lines, since k includes that
 * include themselves run k^10 times at depth 10 (three already take
 * minutes, each run opening and reopening files).
 */
// fuzz-sources: editor/profile.cpp
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "fuzz_setup.h"
#include "medcore.h"
#include "profile.h"

namespace {

AppData app;
std::string scratch;

void set_up() {
    load_definitions(&app, "fuzz_profile");
    /* In memory where possible: every save syncs its file. */
    char shm[] = "/dev/shm/fuzz_profile_XXXXXX", tmp[] = "/tmp/fuzz_profile_XXXXXX";
    const char *dir = mkdtemp(shm);
    if (!dir && !(dir = mkdtemp(tmp)))
        abort();
    scratch = dir;
    setenv(PROFILE_PATH_VAR, scratch.c_str(), 1);
    atexit([] {
        for (const char *f : {"/p0", "/p1", "/p2", "/p3", "/out.dcm"})
            unlink((scratch + f).c_str());
        rmdir(scratch.c_str());
    });
    log_mask(0); /* the interpreter's messages are not what is tested */
}

void put(DicomObject *obj, uint16_t g, uint16_t e, const char *text, uint32_t length = 0) {
    DicomElementHead h = {};
    h.group = g;
    h.element = e;
    int vr = -1;
    DOU_defXVRTypeByTags(&app, g, e, &vr);
    h.vr = vr;
    h.value = const_cast<char *>(text);
    h.length = text ? (uint32_t)strlen(text) : length;
    DO_addElement(&app, obj, &h);
}

/* (0008,0016) (0008,1140){item{1150 1155} item{1150}} (0010,0010) (0010,0020) */
void build(DicomObject *obj) {
    const uint32_t undefined = 0xFFFFFFFFu;
    put(obj, 0x0008, 0x0016, "1.2.840.10008.5.1.4.1.1.7");
    put(obj, 0x0008, 0x1140, nullptr, undefined);
    put(obj, 0xFFFE, 0xE000, nullptr, undefined);
    put(obj, 0x0008, 0x1150, "1.2.3");
    put(obj, 0x0008, 0x1155, "1.2.3.4");
    put(obj, 0xFFFE, 0xE00D, nullptr, 0);
    put(obj, 0xFFFE, 0xE000, nullptr, undefined);
    put(obj, 0x0008, 0x1150, "1.2.5");
    put(obj, 0xFFFE, 0xE00D, nullptr, undefined);
    put(obj, 0xFFFE, 0xE0DD, nullptr, 0);
    put(obj, 0x0010, 0x0010, "Doe^John");
    put(obj, 0x0010, 0x0020, "ID1");
}

void write_profiles(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    for (int i = 0; i < 4; i++) {
        size_t cut = i < 3 ? text.find("\n%%\n") : std::string::npos;
        std::string part = text.substr(0, cut);
        text = cut == std::string::npos ? "" : text.substr(cut + 4);
        FILE *f = fopen((scratch + "/p" + std::to_string(i)).c_str(), "wb");
        if (!f)
            abort();
        fwrite(part.data(), 1, part.size(), f);
        fclose(f);
    }
}

/* Lines that begin with 'f' as the interpreter reads them: after a line
 * end, and every PROFILE_LINE_MAX characters of a longer line. */
int include_lines(const uint8_t *data, size_t size) {
    int n = 0;
    size_t column = 0;
    for (size_t i = 0; i < size; i++, column++) {
        if (column == PROFILE_LINE_MAX)
            column = 0;
        if (column == 0 && data[i] == 'f')
            n++;
        if (data[i] == '\n')
            column = (size_t)-1;
    }
    return n;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (scratch.empty())
        set_up();
    if (memchr(data, '/', size) || include_lines(data, size) > 2)
        return 0;
    write_profiles(data, size);

    IOObject io;
    init_IOObject(&io);
    if (DO_openObject(&io) != 0)
        abort();
    DicomObject *obj = io.object;
    build(obj);
    SortCodes(obj->root);
    DicomElement *top = obj->cursor;
    DE_search(&app, obj, &top, 0xFFFF, 0xFFFF, 0);

    ProfileRun run;
    run.app = &app;
    run.obj = obj;
    if (push_profile(&run, "p0") == 0) {
        process_profile(&run);
        pop_profile(&run);
    }
    if (run.stack.depth != -1)
        abort();
    io.out_meta_ts = TS_EXPLICIT_LE;
    io.out_ds_ts = TS_EXPLICIT_LE;
    DO_copyObjectToFile(&app, &io, (scratch + "/out.dcm").c_str());
    DO_closeObject(&io);
    return 0;
}
