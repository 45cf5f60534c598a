/*
 * platform.cpp -- host services behind platform.h: existence test, atomic
 * file replacement, local time text, and text-mode reading that turns
 * CR LF into LF (through a cookie stream over the real file).
 */
#include "platform.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

int plat_exists(const char *path) {
    struct stat st;
    return path && stat(path, &st) == 0;
}

int plat_replace_file(const char *from, const char *to) {
    return rename(from, to) == 0 ? 0 : -1;
}

void plat_localtime_text(char out[26]) {
    time_t now = time(nullptr);
    struct tm tmv;
    localtime_r(&now, &tmv);
    if (!asctime_r(&tmv, out))
        strcpy(out, "Thu Jan  1 00:00:00 1970\n");
}

namespace {

/* Reads the underlying file in bulk and drops every CR that stands right
 * before an LF.  A CR that ends a chunk is decided by peeking at the next
 * byte of the file. */
struct TextCookie {
    FILE *file;
};

ssize_t text_read(void *cookie, char *buf, size_t size) {
    TextCookie *tc = static_cast<TextCookie *>(cookie);
    size_t got = fread(buf, 1, size, tc->file);
    size_t out = 0;
    for (size_t i = 0; i < got; i++) {
        if (buf[i] == '\r') {
            if (i + 1 < got) {
                if (buf[i + 1] == '\n')
                    continue;
            } else {
                int next = fgetc(tc->file);
                if (next != EOF)
                    ungetc(next, tc->file);
                if (next == '\n')
                    continue;
            }
        }
        buf[out++] = buf[i];
    }
    return (ssize_t)out;
}

int text_close(void *cookie) {
    TextCookie *tc = static_cast<TextCookie *>(cookie);
    int r = fclose(tc->file);
    free(tc);
    return r;
}

} // namespace

FILE *plat_fopen_text(const char *path) {
    if (!path)
        return nullptr;
    FILE *f = fopen(path, "rb");
    if (!f)
        return nullptr;
    struct stat st;
    if (fstat(fileno(f), &st) != 0 || S_ISDIR(st.st_mode)) {
        fclose(f);
        errno = EISDIR;
        return nullptr;
    }
    TextCookie *tc = static_cast<TextCookie *>(calloc(1, sizeof(TextCookie)));
    if (!tc) {
        fclose(f);
        return nullptr;
    }
    tc->file = f;
    cookie_io_functions_t fns = {text_read, nullptr, nullptr, text_close};
    FILE *s = fopencookie(tc, "r", fns);
    if (!s) {
        fclose(f);
        free(tc);
    }
    return s;
}
