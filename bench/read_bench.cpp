/*
 * read_bench.cpp -- times DO_importObjectFromFile on one file: loads the
 * bundled definitions, imports the file the given number of times and
 * prints the best and the median time and the number of elements read.
 *
 * Usage: read_bench DEFS_DIR FILE [REPEATS]
 */
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "medcore.h"

namespace {

long count_elements(const DicomElement *parent) {
    long n = 0;
    for (const DicomElement *c = parent->first_child; c; c = c->next)
        n += 1 + count_elements(c);
    return n;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s DEFS_DIR FILE [REPEATS]\n", argv[0]);
        return 2;
    }
    const std::string defs_dir = argv[1];
    const int repeats = argc > 3 ? std::max(1, atoi(argv[3])) : 5;
    AppData app;
    DefHolder defs = {};
    char banner[64];
    init_AppData(&app, "read_bench", "1.0", banner);
    log_mask(0x0010);
    if (InitDICOMTagDef(&app, (defs_dir + "/tag_tab.def").c_str(), 1) != 0 ||
        InitDICOMPrvDef(&app, &defs, (defs_dir + "/prv_tab.def").c_str(), 1) != 0) {
        fprintf(stderr, "cannot load the definitions from %s\n", defs_dir.c_str());
        return 1;
    }
    std::vector<double> seconds;
    long elements = 0;
    for (int i = 0; i < repeats; i++) {
        IOObject io;
        init_IOObject(&io);
        const auto start = std::chrono::steady_clock::now();
        const int result = DO_importObjectFromFile(&app, &defs, argv[2], &io);
        const auto end = std::chrono::steady_clock::now();
        if (result != 0) {
            fprintf(stderr, "reading %s failed\n", argv[2]);
            return 1;
        }
        elements = count_elements(io.object->root);
        DO_closeObject(&io);
        seconds.push_back(std::chrono::duration<double>(end - start).count());
    }
    std::sort(seconds.begin(), seconds.end());
    printf("%s: %ld elements, best %.4f s, median %.4f s over %d reads\n", argv[2], elements,
           seconds.front(), seconds[seconds.size() / 2], repeats);
    DoneTagPrvDef(&app, &defs);
    return 0;
}
