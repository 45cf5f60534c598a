/*
 * basekit.h -- public interface of the support library.
 *
 * Levelled two-channel logging with a fatal exit, the re-entrant option
 * parser with "@" argument files, data-file lookup along a search path,
 * path helpers, the pooled string store, byte swapping and case conversion.
 * Everything here has C linkage and is exported from libbasekit.so.
 */
#ifndef BASEKIT_H
#define BASEKIT_H

#include <stdint.h>

#if defined(__GNUC__)
#define BK_API __attribute__((visibility("default")))
#define BK_NORETURN __attribute__((noreturn))
#else
#define BK_API
#define BK_NORETURN
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- logging (log.cpp) ---- */

typedef int16_t LogLevel;

/* Opens the log file logname (NULL: none) for writing, closing one opened
 * before, and logs the start time, title and command line; the strings
 * are only read. */
BK_API void log_start(const char *logname, const char *title, int argc, char **argv);
BK_API void log_end(void);
BK_API int16_t log_mask(int16_t mask);
BK_API void log_message(const char *text, int level);
BK_API BK_NORETURN void log_abort(const char *text);

/* ---- option parser (getopt.cpp) ---- */

typedef struct GetoptState {
    int opterr;        /* nonzero: report errors through log_message */
    int optind;        /* current word, in argv or in the file's words */
    int optopt;        /* letter found by the last call */
    char *optarg;      /* argument of the last letter, or NULL */
    int sp;            /* position of the next letter in the word */
    int infile;        /* 1 while words come from an argument file */
    int saved_optind;  /* command-line index to resume at */
    int file_wordc;    /* number of words of the argument file */
    char *file_buffer; /* text of the argument file, cut in place */
    char **file_words; /* file_wordc pointers into file_buffer, then NULL */
} GetoptState;

/* The state owns file_buffer and file_words (both from malloc): getopt1
 * frees them when the file's words are used up; a caller that stops while
 * infile is set frees both with free().  optarg points into argv or into
 * file_buffer, never at a copy. */
BK_API GetoptState *initgetopt1(GetoptState *state);
BK_API int getopt1(GetoptState *state, int argc, char *const *argv, const char *optstring);

/* ---- file lookup and paths (paths.cpp) ---- */

/* Each returns its first argument, changed in place or filled; nothing is
 * allocated for the caller.  mergepath's buf holds strlen(dir) +
 * strlen(name) + 2 bytes; getfileenv's result holds size bytes and is
 * empty when the name is not found. */
BK_API char *fixpath(char *path);
BK_API char *mergepath(char *buf, const char *dir, const char *name);
BK_API char *getfileenv(const char *envvar, const char *name, char *result, int size);
/* Both cut path in place and return a pointer into it, or a library-owned
 * "." that the caller must neither write nor free. */
BK_API char *_dirname(char *path);
BK_API char *_basename(char *path);

/* ---- string pool, byte swap, case (strpool.cpp) ---- */

typedef struct DStringBuffer {
    int32_t block_size;  /* size of every block in bytes */
    int16_t block_count; /* number of blocks, at least 1 */
    int32_t *used;       /* bytes taken in each block */
    char **blocks;       /* the blocks */
} DStringBuffer;

/* The caller owns the new pool (NULL when out of memory) and releases it
 * with DoneDStringBuffer, which frees every string in it and sets *pool to
 * NULL. */
BK_API DStringBuffer *InitDStringBuffer(int block_size);
/* A copy of text that the pool owns: never freed on its own, valid until
 * DoneDStringBuffer.  NULL when it cannot be stored. */
BK_API char *AddToDStringBuffer(DStringBuffer *pool, const char *text);
BK_API void DoneDStringBuffer(DStringBuffer **pool);

/* In place: the n bytes reversed; the first n characters of text changed,
 * text returned. */
BK_API void swapbytes(void *bytes, int16_t n);
BK_API char *strtoupper(char *text, int n);
BK_API char *strtolower(char *text, int n);

#ifdef __cplusplus
}
#endif

#endif /* BASEKIT_H */
