/*
 * deffile_int.h -- what every definition-file loader of the library does
 * alike: hold the open file and its tokenizer buffer, word the loading line
 * and the syntax error, find a primary and a secondary file along
 * QUENOR_DEF_PATH (a primary file not found, or any file found that cannot
 * be read, is logged with the reason), and append nodes to doubly linked
 * lists.
 */
#ifndef QUENOR_DEFFILE_INT_H
#define QUENOR_DEFFILE_INT_H

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "logf_int.h"
#include "medcore.h"
#include "platform.h"

/* Token limits and the syntax-error texts that every definition file shares. */
const int kTextMax = 2005;         /* longest string token */
const int kTextBuf = kTextMax + 3; /* buffer of a string token */
const int kPoolBlock = 4096;       /* block of the string pool of a definition tree */

const char kErrLeftBrace[] = "'{' (left brace) expected";
const char kErrString[] = "character string between \"s (double quote) expected";
const char kErrComma[] = "',' (comma) expected";
const char kErrRightBrace[] = "'}' (right brace) expected";
const char kErrHex[] = "hexadecimal value with 0x prefix expected";
const char kErrEof[] = "unexpected end of file";

/* The open definition file and its tokenizer buffer, released on every
 * way out of a loader. */
struct DefFile {
    FILE *file = nullptr;
    PDBuffer *buf = nullptr;

    explicit DefFile(FILE *f) : file(f) {}
    ~DefFile() {
        if (file != nullptr)
            fclose(file);
        pd_done_buffer(&buf);
    }
    DefFile(const DefFile &) = delete;
    DefFile &operator=(const DefFile &) = delete;
};

/* "Loading primary DICOM <what> definition file <path>" at level 3. */
inline void log_def_loading(const char *what, int16_t primary, const char *path) {
    log_formatted(3, "Loading %s DICOM %s definition file %s", primary ? "primary" : "secondary",
                  what, path);
}

/* A syntax error: its text and a full stop at level 1. */
inline void log_def_syntax_error(const std::string &text) {
    log_message((text + ".").c_str(), 1);
}

const int kDefPathBuf = 512; /* a path found along QUENOR_DEF_PATH */

/* Finds a definition file along QUENOR_DEF_PATH into path (kDefPathBuf
 * bytes).  A primary file that is not found is an error that names the
 * search path tried; a secondary one is optional. */
inline bool find_def_file(const char *name, int16_t primary, char *path) {
    getfileenv("QUENOR_DEF_PATH", name, path, kDefPathBuf);
    if (path[0] != '\0' || !primary)
        return path[0] != '\0';
    const char *search = getenv("QUENOR_DEF_PATH");
    if (search == nullptr)
        log_formatted(1, "Cannot find DICOM definition file %s: QUENOR_DEF_PATH is not set.", name);
    else
        log_formatted(1,
                      "Cannot find DICOM definition file %s in the working directory or along "
                      "QUENOR_DEF_PATH=%s.",
                      name, search);
    return false;
}

/* Opens a definition file that was found.  One that cannot be read (a
 * folder, no permission) is logged with the reason: an error for a
 * primary file, a warning for a secondary one, which is left out. */
inline FILE *open_def_file(const char *path, int16_t primary) {
    FILE *f = path ? plat_fopen_text(path) : nullptr;
    if (f == nullptr && path != nullptr)
        log_formatted(primary ? 1 : 2, "Cannot read DICOM definition file %s: %s.", path,
                      strerror(errno));
    return f;
}

/* Finds 'primary_name' and then 'secondary_name' along QUENOR_DEF_PATH and
 * loads them with 'load' (path, primary flag): the primary file missing is
 * -1, its failure or only_primary ends there, the secondary file missing is
 * 0.  *secondary_done, when given, tells whether the secondary file was
 * found and loaded without failure. */
template <typename Load>
int16_t load_def_pair(const char *primary_name, const char *secondary_name, int16_t only_primary,
                      Load load, bool *secondary_done = nullptr) {
    if (secondary_done != nullptr)
        *secondary_done = false;
    char path[kDefPathBuf];
    if (!find_def_file(primary_name, 1, path))
        return -1;
    const int16_t r = load(path, 1);
    if (r != 0 || only_primary)
        return r;
    if (!find_def_file(secondary_name, 0, path))
        return 0;
    const int16_t s = load(path, 0);
    if (secondary_done != nullptr)
        *secondary_done = s == 0;
    return s;
}

/* Links a node at the end of a doubly linked list (first, last). */
template <typename Node>
void append_at_tail(Node *&first, Node *&last, Node *node) {
    node->next = nullptr;
    node->prev = last;
    if (last != nullptr)
        last->next = node;
    else
        first = node;
    last = node;
}

/* Frees every node of a list from 'first' on with free_node; each next
 * link is taken before its node goes. */
template <typename Node, typename Free>
void free_def_list(Node *first, Free free_node) {
    while (first != nullptr) {
        Node *next = first->next;
        free_node(first);
        first = next;
    }
}

#endif
