/*
 * paths.cpp -- data-file lookup along a search path held in an environment
 * variable, and the in-place path helpers fixpath, mergepath, _dirname and
 * _basename.
 *
 * The native separator here is '/' (PLAT_PATH_SEP): fixpath turns the
 * foreign '\' into it, mergepath joins with it, and _dirname/_basename
 * split at it alone.  The entries of a search-path variable are separated
 * by ';'.
 */
#include "basekit.h"
#include "platform.h"

#include <stdlib.h>
#include <string.h>

namespace {

const char kListSep = ';';

/* The one shared, library-owned "." that _dirname and _basename may return.
 * Callers must not write into it. */
char g_dot[] = ".";

bool is_space(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

/* Copies path into result when it fits with its NUL into size bytes.
 * A path that does not fit is treated as not found (false): result is
 * never cut and never left without its terminator. */
bool store_found(const char *path, char *result, int size) {
    size_t len = strlen(path);
    if (size <= 0 || len >= (size_t)size)
        return false;
    memcpy(result, path, len + 1);
    return true;
}

/* White space around a path given to _dirname or _basename: trailing
 * white space is removed in place (never the first character), then
 * leading white space is skipped. */
char *trim(char *path) {
    size_t len = strlen(path);
    while (len > 1 && is_space((unsigned char)path[len - 1]))
        path[--len] = '\0';
    while (is_space((unsigned char)*path))
        path++;
    return path;
}

bool is_dot_or_dotdot(const char *p) { return strcmp(p, ".") == 0 || strcmp(p, "..") == 0; }

/* A path longer than one character loses one trailing separator, so that
 * "a/b/" splits like "a/b". */
void drop_trailing_sep(char *p) {
    size_t len = strlen(p);
    if (len > 1 && p[len - 1] == PLAT_PATH_SEP)
        p[len - 1] = '\0';
}

} // namespace

extern "C" {

char *fixpath(char *path) {
    if (!path)
        return path;
    for (char *p = path; *p; p++)
        if (*p == PLAT_FOREIGN_SEP)
            *p = PLAT_PATH_SEP;
    return path;
}

char *mergepath(char *buf, const char *dir, const char *name) {
    /* buf holds strlen(dir) + strlen(name) + 2 bytes (caller's duty). */
    size_t dl = strlen(dir);
    size_t nl = strlen(name);
    memmove(buf, dir, dl);
    buf[dl] = PLAT_PATH_SEP;
    memmove(buf + dl + 1, name, nl);
    buf[dl + 1 + nl] = '\0';
    return buf;
}

char *getfileenv(const char *envvar, const char *name, char *result, int size) {
    if (!result || size <= 0)
        return result;
    result[0] = '\0';
    if (!name)
        return result;

    /* 1. The name exactly as passed. */
    if (plat_exists(name) && store_found(name, result, size))
        return result;

    /* 2. Each entry of the variable, split at ';' (empty entries count). */
    if (!envvar)
        return result;
    const char *value = getenv(envvar);
    if (!value)
        return result;
    char *list = strdup(value);
    if (!list) /* allocation failure: treated as not found */
        return result;
    size_t nl = strlen(name);
    char *entry = list;
    for (;;) {
        char *end = strchr(entry, kListSep);
        if (end)
            *end = '\0';
        char *dir = strdup(entry);
        if (dir) {
            fixpath(dir);
            size_t need = strlen(dir) + nl + 2;
            char *candidate = static_cast<char *>(malloc(need));
            if (candidate) {
                mergepath(candidate, dir, name);
                bool found = plat_exists(candidate) && store_found(candidate, result, size);
                free(candidate);
                if (found) {
                    free(dir);
                    free(list);
                    return result;
                }
            }
            free(dir);
        }
        if (!end)
            break;
        entry = end + 1;
    }
    free(list);
    /* 3. Not found. */
    result[0] = '\0';
    return result;
}

char *_dirname(char *path) {
    if (!path || !*path)
        return g_dot;
    char *p = trim(path);
    if (!*p) /* nothing but white space */
        return g_dot;
    if (is_dot_or_dotdot(p))
        return g_dot;
    drop_trailing_sep(p);
    char *sep = strrchr(p, PLAT_PATH_SEP);
    if (!sep)
        return g_dot;
    if (sep == p)
        p[1] = '\0'; /* the root: a lone separator */
    else
        *sep = '\0';
    return p;
}

char *_basename(char *path) {
    if (!path || !*path)
        return g_dot;
    char *p = trim(path);
    if (!*p) /* nothing but white space */
        return g_dot;
    if (is_dot_or_dotdot(p))
        return p;
    drop_trailing_sep(p);
    char *sep = strrchr(p, PLAT_PATH_SEP);
    if (!sep)
        return p; /* a bare name is its own last component */
    if (sep[1])
        return sep + 1;
    return sep; /* the root gives itself */
}

} // extern "C"
