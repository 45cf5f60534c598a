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

#include <new>
#include <string>
#include <vector>

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

/* What _dirname and _basename split: the path with trailing white space
 * removed in place (never the first character) and leading white space
 * skipped; NULL when the path is NULL, empty or nothing but white space. */
char *trimmed(char *path) {
    if (!path || !*path)
        return nullptr;
    size_t len = strlen(path);
    while (len > 1 && is_space((unsigned char)path[len - 1]))
        path[--len] = '\0';
    while (is_space((unsigned char)*path))
        path++;
    return *path ? path : nullptr;
}

bool is_dot_or_dotdot(const char *p) {
    return strcmp(p, ".") == 0 || strcmp(p, "..") == 0;
}

/* The last separator of p, after a path longer than one character has lost
 * one trailing separator (so that "a/b/" splits like "a/b"); NULL when
 * there is none. */
char *last_sep(char *p) {
    size_t len = strlen(p);
    if (len > 1 && p[len - 1] == PLAT_PATH_SEP)
        p[len - 1] = '\0';
    return strrchr(p, PLAT_PATH_SEP);
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

    /* First the name exactly as passed. */
    if (plat_exists(name) && store_found(name, result, size))
        return result;

    /* Then each entry of the variable, split at ';' (empty entries count). */
    const char *value = envvar ? getenv(envvar) : nullptr;
    if (!value)
        return result;
    try {
        const size_t nl = strlen(name);
        for (const char *entry = value;;) {
            const char *end = strchr(entry, kListSep);
            std::string dir = end ? std::string(entry, end) : std::string(entry);
            fixpath(&dir[0]);
            std::vector<char> candidate(dir.size() + nl + 2);
            mergepath(candidate.data(), dir.c_str(), name);
            if (plat_exists(candidate.data()) && store_found(candidate.data(), result, size))
                return result;
            if (!end)
                break;
            entry = end + 1;
        }
    } catch (const std::bad_alloc &) {
        /* Out of memory: treated as not found. */
    }
    result[0] = '\0';
    return result;
}

char *_dirname(char *path) {
    char *p = trimmed(path);
    if (!p || is_dot_or_dotdot(p))
        return g_dot;
    char *sep = last_sep(p);
    if (!sep)
        return g_dot;
    if (sep == p)
        p[1] = '\0'; /* the root: a lone separator */
    else
        *sep = '\0';
    return p;
}

char *_basename(char *path) {
    char *p = trimmed(path);
    if (!p)
        return g_dot;
    if (is_dot_or_dotdot(p))
        return p;
    char *sep = last_sep(p);
    if (!sep)
        return p; /* a bare name is its own last component */
    if (sep[1])
        return sep + 1;
    return sep; /* the root gives itself */
}

} // extern "C"
