/*
 * owners_int.h -- scope-bound owners for what the C interfaces hand out:
 * a stdio stream closed with fclose, a block from malloc released with
 * free.  For the code of the libraries and programs; not installed.
 */
#ifndef QUENOR_OWNERS_INT_H
#define QUENOR_OWNERS_INT_H

#include <stdio.h>
#include <stdlib.h>

#include <memory>

struct FileCloser {
    void operator()(FILE *file) const { fclose(file); }
};

/* An open stream, closed when its owner goes. */
using FileOwner = std::unique_ptr<FILE, FileCloser>;

struct FreeDeleter {
    void operator()(void *block) const { free(block); }
};

/* A block from malloc, calloc or strdup, freed when its owner goes;
 * release() hands it to a record that frees it itself. */
template <typename T>
using MallocOwner = std::unique_ptr<T, FreeDeleter>;

#endif
