/*
 * fuzz_defs.cpp -- libFuzzer target for the UID, object and module
 * definition loaders: each input is written to a scratch file and read as
 * a UID file, as an object file (primary and secondary) and as a module
 * file (primary and secondary) onto a fixed object definition and onto the
 * one the input itself defined; every tree that loads is bound to a small
 * object with sequences, items and overlay groups, bound again, and freed.
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
IOObject io;
std::string scratch, fixed_objects;

/* The object definition "OB" onto which the input is loaded as a module file. */
const char kObjects[] =
    "{\"OB\", \"Object\", {{\"C.7.1.1\", \"Patient\", 'M', \"\"},"
    "{\"C.8.8.1\", \"x\", 'U', \"\"}, {\"C.9.2\", \"Overlay\", 'U', \"\"},"
    "{\"C.10.2\", \"Curve\", 'U', \"\"}, {\"P.R.I.V.A.T.E\", \"\", 'U', \"\"}}}";

void add(uint16_t group, uint16_t element, uint32_t length = 0) {
    DicomElementHead h = {};
    h.group = group;
    h.element = element;
    h.length = length;
    DOU_defXVRTypeByTags(&app, group, element, &h.vr);
    DO_addElement(&app, io.object, &h);
}

/* (0008,1115) with two items, one holding a nested sequence; overlays in
 * two groups, a curve, a private element, a group length. */
void build_object() {
    init_IOObject(&io);
    if (DO_openObject(&io) != 0)
        abort();
    const uint32_t undef = 0xFFFFFFFFu;
    add(0x0008, 0x0000);
    add(0x0008, 0x0016);
    add(0x0008, 0x1115, undef);
    add(0xFFFE, 0xE000, undef);
    add(0x0020, 0x000E);
    add(0x0008, 0x1140, undef);
    add(0xFFFE, 0xE000, undef);
    add(0x0008, 0x1150);
    add(0xFFFE, 0xE00D, undef);
    add(0xFFFE, 0xE0DD, undef);
    add(0xFFFE, 0xE00D, undef);
    add(0xFFFE, 0xE000, undef);
    add(0x0010, 0x0020);
    add(0xFFFE, 0xE00D, undef);
    add(0xFFFE, 0xE0DD, undef);
    add(0x0009, 0x0010);
    add(0x0010, 0x0010);
    add(0x5000, 0x0010);
    add(0x6000, 0x0010);
    add(0x6000, 0x0015);
    add(0x6002, 0x3000);
}

void set_up() {
    load_definitions(&app, "fuzz_defs");
    scratch = make_scratch_file("fuzz_defs");
    fixed_objects = scratch + ".ab";
    FILE *f = fopen(fixed_objects.c_str(), "w");
    if (!f)
        abort();
    fputs(kObjects, f);
    fclose(f);
    atexit([] {
        unlink(scratch.c_str());
        unlink(fixed_objects.c_str());
    });
    build_object();
    log_mask(0); /* the loaders' messages are not what is tested */
}

void bind_and_free(DefHolder *defs) {
    if (defs->abc) {
        BindABCDef(&app, defs, io.object, 0);
        BindABCDef(&app, defs, io.object, 1);
    }
    DoneABCDef(defs);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (scratch.empty())
        set_up();
    write_input(scratch, data, size);
    const char *path = scratch.c_str();

    char out[20] = "";
    InitDICOMUIDDef(path, "1.2.840.10008.5.1.4.1.1.2", 1, out);
    if (strlen(out) > 19)
        abort();

    DefHolder defs = {};
    InitDICOMABDef(&app, &defs.abc, path, 1, "OB");
    InitDICOMABDef(&app, &defs.abc, path, 0, "OB");
    InitDICOMCDef(&app, &defs.abc, path, 1);
    bind_and_free(&defs);

    for (int16_t primary : {1, 0}) {
        if (InitDICOMABDef(&app, &defs.abc, fixed_objects.c_str(), 1, "OB") != 0)
            abort();
        InitDICOMCDef(&app, &defs.abc, path, primary);
        bind_and_free(&defs);
    }
    return 0;
}
