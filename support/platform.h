/*
 * platform.h -- the few things the libraries take from the host system.
 *
 * Paths written with '\' and text files with CR LF line ends come from
 * other systems and must work here.  This layer gives the native
 * separator (fixpath turns '\' into it), a file-existence test, the
 * atomic replacement of a file, the local time text, and a text-mode
 * stream that reads CR LF as LF.  It is compiled into each library and
 * exported by neither.
 */
#ifndef QUENOR_PLATFORM_H
#define QUENOR_PLATFORM_H

#include <stdio.h>

/* The native path separator and the foreign one that fixpath converts. */
#define PLAT_PATH_SEP '/'
#define PLAT_FOREIGN_SEP '\\'

#ifdef __cplusplus
extern "C" {
#endif

/* Nonzero when a file or directory of that name exists. */
int plat_exists(const char *path);

/* Moves 'from' over 'to' in one step (rename); 0 on success, -1 on failure. */
int plat_replace_file(const char *from, const char *to);

/* The current local time as asctime() writes it, 24 characters and "\n". */
void plat_localtime_text(char out[26]);

/* Opens a file for reading in text mode: the stream delivers each CR LF
 * pair as a single LF, so that definition and argument files written
 * with CR LF line ends read as those written with LF.  NULL when
 * the file cannot be opened.  Close with fclose(). */
FILE *plat_fopen_text(const char *path);

#ifdef __cplusplus
}
#endif

#endif /* QUENOR_PLATFORM_H */
