/*
 * getopt.cpp -- the re-entrant single-letter option parser with "@"
 * argument files.  All state lives in the caller's
 * GetoptState; errors go through log_message at level 1.
 */
#include "basekit.h"
#include "getopt_int.h"
#include "owners_int.h"
#include "platform.h"

#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

namespace {

/* Messages are formatted into this many bytes; snprintf cuts a longer
 * message (for instance one with a very long file name) at 511 characters. */
const size_t kMsgSize = 512;

void report(const GetoptState *st, const char *fmt, const char *s, int c) {
    if (!st->opterr)
        return;
    char msg[kMsgSize];
    if (s)
        snprintf(msg, sizeof msg, fmt, s);
    else
        snprintf(msg, sizeof msg, fmt, c);
    log_message(msg, 1);
}

bool is_space(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

/* Splits the n bytes of text (text[n] is NUL) into words.  With cut set,
 * white space and the quotes around quoted words are replaced by NUL; with
 * out set, the start of each word is stored there.  Returns the number of
 * words.  The same scan serves both passes, so the count of pass 1 and the
 * vector of pass 2 always agree:
 *   pass 1 (cut = false, out = NULL) counts,
 *   pass 2 (cut = true, out = vector) cuts the words apart and records them.
 * A quoted text whose first character is white space is a word like any
 * other quoted text; only a quoted text with nothing between its quotes
 * yields no word.  A NUL byte inside the file is a word character, so such
 * a word simply reads shorter to the caller; count and vector still agree.
 * The count is a size_t, which holds that of any text in memory. */
size_t scan_words(char *text, size_t n, bool cut, char **out) {
    size_t i = 0;
    size_t count = 0;
    while (i < n) {
        unsigned char ch = (unsigned char)text[i];
        if (is_space(ch)) {
            if (cut)
                text[i] = '\0';
            i++;
            continue;
        }
        if (ch == '\'' || ch == '"') {
            /* Quoted word: up to the same quote or the end of the text. */
            if (cut)
                text[i] = '\0';
            i++;
            size_t start = i;
            while (i < n && (unsigned char)text[i] != ch)
                i++;
            size_t end = i;
            if (i < n) { /* the closing quote */
                if (cut)
                    text[i] = '\0';
                i++;
            }
            if (end > start) {
                if (out)
                    out[count] = text + start;
                count++;
            }
            continue;
        }
        /* Plain word: up to the next white space or the end of the text
         * (text[n] is the NUL that ends it there). */
        size_t start = i;
        while (i < n && !is_space((unsigned char)text[i]))
            i++;
        if (out)
            out[count] = text + start;
        count++;
    }
    return count;
}

void release_file(GetoptState *st) {
    free(st->file_words);
    free(st->file_buffer);
    st->file_words = nullptr;
    st->file_buffer = nullptr;
    st->file_wordc = 0;
}

} // namespace

int readcmdlist(GetoptState *state, const char *name) {
    return _readcmdlist_within(state, name, INT_MAX);
}

int _readcmdlist_within(GetoptState *state, const char *name, size_t max_words) {
    static const char kOpenMsg[] = ": could not open command list file -- %s";
    static const char kAllocMsg[] = ": could not alloc memory for command list file -- %s";
    if (!name)
        name = "";
    FileOwner f(name[0] ? plat_fopen_text(name) : nullptr);
    if (!f) {
        report(state, kOpenMsg, name, 0);
        return -1;
    }
    struct stat sb;
    if (stat(name, &sb) != 0 || sb.st_size < 0) {
        /* Opened but its size cannot be had: reported as not openable. */
        report(state, kOpenMsg, name, 0);
        return -1;
    }
    size_t size = (size_t)sb.st_size;
    MallocOwner<char> buffer(size + 1 > size ? static_cast<char *>(malloc(size + 1)) : nullptr);
    if (!buffer) {
        report(state, kAllocMsg, name, 0);
        return -1;
    }
    /* Text-mode reading may deliver fewer bytes than the size (CR LF -> LF);
     * the text ends after the bytes actually read. */
    size_t got = 0;
    while (got < size) {
        size_t r = fread(buffer.get() + got, 1, size - got, f.get());
        if (r == 0)
            break;
        got += r;
    }
    buffer.get()[got] = '\0';
    f.reset();

    /* The word count and the index into the words are ints: a file of
     * more words than max_words (at most INT_MAX) cannot be held, and is
     * refused like a vector that memory does not allow. */
    const size_t count = scan_words(buffer.get(), got, false, nullptr);
    const bool holdable =
        count <= max_words && count <= (size_t)INT_MAX && count < SIZE_MAX / sizeof(char *);
    MallocOwner<char *> words(holdable ? static_cast<char **>(malloc((count + 1) * sizeof(char *)))
                                       : nullptr);
    if (!words) {
        /* Treated like the failure to allocate the buffer. */
        report(state, kAllocMsg, name, 0);
        return -1;
    }
    size_t stored = scan_words(buffer.get(), got, true, words.get());
    (void)stored; /* == count: the same scan over the same text */
    words.get()[count] = nullptr;

    release_file(state);
    state->file_buffer = buffer.release();
    state->file_words = words.release();
    state->file_wordc = (int)count;
    return 0;
}

extern "C" {

GetoptState *initgetopt1(GetoptState *state) {
    if (!state)
        return state;
    state->opterr = 1;
    state->optind = 1;
    state->sp = 1;
    state->infile = 0;
    state->saved_optind = 0;
    state->file_wordc = 0;
    state->file_buffer = nullptr;
    state->file_words = nullptr;
    return state;
}

int getopt1(GetoptState *st, int argc, char *const *argv, const char *optstring) {
    if (!optstring)
        optstring = "";
        /* The words and their count: the file's while in file mode. */
#define WORDC (st->infile ? st->file_wordc : argc)
#define WORDS (st->infile ? st->file_words : argv)

    if (st->sp == 1) {
        if (st->infile && st->optind >= st->file_wordc) {
            /* The file is used up: back to the command line.  The word
             * resumed at is not tested for an at-sign: an "@" word right
             * after an argument file ends the options like any other word
             * that is no option. */
            st->infile = 0;
            st->optind = st->saved_optind;
            release_file(st);
        } else {
            if (st->optind >= WORDC)
                return -1;
            const char *w = WORDS[st->optind];
            if (w[0] == '@' && !st->infile) {
                if (readcmdlist(st, w + 1) != 0)
                    return -1;
                st->infile = 1;
                st->saved_optind = st->optind + 1;
                st->optind = 0;
            }
        }
        if (st->optind >= WORDC)
            return -1;
        const char *w = WORDS[st->optind];
        if (w[0] != '-' || w[1] == '\0')
            return -1;
        if (strcmp(w, "--") == 0) {
            st->optind++;
            return -1;
        }
    }

    char *word = WORDS[st->optind];
    int c = (unsigned char)word[st->sp];
    st->optopt = c;

    if (optstring[0] == '\0') {
        /* Every letter is valid; the rest of the word is its argument. */
        st->optarg = word[st->sp + 1] ? word + st->sp + 1 : nullptr;
        st->optind++;
        st->sp = 1;
        return c;
    }

    const char *cp = c ? strchr(optstring, c) : nullptr;
    if (c == ':' || !cp) {
        report(st, ": illegal option -- %c", nullptr, c);
        if (c == '\0' || word[++st->sp] == '\0') {
            st->sp = 1;
            st->optind++;
        }
        return '?';
    }

    if (cp[1] == ':') {
        if (word[st->sp + 1] != '\0') {
            st->optarg = word + st->sp + 1;
            st->optind++;
        } else if (++st->optind >= WORDC) {
            report(st, ": option requires an argument -- %c", nullptr, c);
            st->sp = 1;
            return '?';
        } else {
            st->optarg = WORDS[st->optind];
            st->optind++;
        }
        st->sp = 1;
        return c;
    }

    if (word[++st->sp] == '\0') {
        st->sp = 1;
        st->optind++;
    }
    st->optarg = nullptr;
    return c;
#undef WORDC
#undef WORDS
}

} // extern "C"
