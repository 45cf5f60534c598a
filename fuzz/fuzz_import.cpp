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

#include "fuzz_setup.h"
#include "medcore.h"

namespace {

AppData app;
DefHolder defs;
std::string scratch;

void set_up() {
    load_definitions(&app, "fuzz_import", &defs);
    scratch = make_scratch_file("fuzz_import");
    atexit([] { unlink(scratch.c_str()); });
    log_mask(0); /* the reader's messages are not what is tested */
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (scratch.empty())
        set_up();
    write_input(scratch, data, size);
    IOObject io;
    init_IOObject(&io);
    DO_importObjectFromFile(&app, &defs, scratch.c_str(), &io);
    DO_closeObject(&io);
    return 0;
}
