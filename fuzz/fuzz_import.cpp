/*
 * fuzz_import.cpp -- libFuzzer target for the DICOM file reader: each input
 * is written to a scratch file and imported with the bundled definitions
 * (loaded once), then the object is closed.
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "medcore.h"

#ifndef QUENOR_DEFS_DIR
#define QUENOR_DEFS_DIR "defs"
#endif

namespace {

AppData app;
DefHolder defs;
std::string scratch;

void load_definitions() {
    char banner[64];
    init_AppData(&app, "fuzz_import", "1.0", banner);
    const std::string dir = QUENOR_DEFS_DIR;
    if (InitDICOMTagDef(&app, (dir + "/tag_tab.def").c_str(), 1) != 0 ||
        InitDICOMPrvDef(&app, &defs, (dir + "/prv_tab.def").c_str(), 1) != 0) {
        fprintf(stderr, "cannot load the definitions from %s\n", dir.c_str());
        abort();
    }
    char name[] = "/tmp/fuzz_import_XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0)
        abort();
    close(fd);
    scratch = name;
    atexit([] { unlink(scratch.c_str()); });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (scratch.empty()) {
        load_definitions();
        log_mask(0); /* the reader's messages are not what is tested */
    }
    FILE *f = fopen(scratch.c_str(), "wb");
    if (!f)
        abort();
    fwrite(data, 1, size, f);
    fclose(f);
    IOObject io;
    init_IOObject(&io);
    DO_importObjectFromFile(&app, &defs, scratch.c_str(), &io);
    DO_closeObject(&io);
    return 0;
}
