/*
 * fuzz_setup.h -- the start every fuzz target makes alike: the application
 * record with the bundled definitions loaded, a scratch file, and each
 * input written whole to that file.
 */
#ifndef FUZZ_SETUP_H
#define FUZZ_SETUP_H

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "medcore.h"

#ifndef QUENOR_DEFS_DIR
#define QUENOR_DEFS_DIR "defs"
#endif

/* init_AppData for the target called name, then the tag definitions and,
 * when defs is given, the private ones into it; aborts when they do not
 * load, since every input would then be refused alike. */
static inline void load_definitions(AppData *app, const char *name, DefHolder *defs = nullptr) {
    char banner[64];
    init_AppData(app, name, "1.0", banner);
    const std::string dir = QUENOR_DEFS_DIR;
    if (InitDICOMTagDef(app, (dir + "/tag_tab.def").c_str(), 1) != 0 ||
        (defs && InitDICOMPrvDef(app, defs, (dir + "/prv_tab.def").c_str(), 1) != 0)) {
        fprintf(stderr, "cannot load the definitions from %s\n", dir.c_str());
        abort();
    }
}

/* A new empty file "/tmp/<name>_XXXXXX"; aborts when none can be made. */
static inline std::string make_scratch_file(const char *name) {
    std::string path = std::string("/tmp/") + name + "_XXXXXX";
    int fd = mkstemp(&path[0]);
    if (fd < 0)
        abort();
    close(fd);
    return path;
}

/* The input as the whole content of path. */
static inline void write_input(const std::string &path, const uint8_t *data, size_t size) {
    FILE *f = fopen(path.c_str(), "wb");
    if (!f)
        abort();
    fwrite(data, 1, size, f);
    fclose(f);
}

#endif
