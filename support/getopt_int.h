/*
 * getopt_int.h -- internals of the option parser (getopt.cpp), declared
 * for the tests only.  Not exported from libbasekit.so.
 */
#ifndef BASEKIT_GETOPT_INT_H
#define BASEKIT_GETOPT_INT_H

#include <stddef.h>

#include "basekit.h"

/* Reads the argument file 'name' into state's file buffer and word vector
 * (the four file fields).  Returns 0, or -1 after reporting (when opterr is
 * set) that the file could not be opened or its memory allocated.  Does not
 * put the state into file mode; getopt1 does that. */
int readcmdlist(GetoptState *state, const char *name);

/* readcmdlist, refusing (as memory it cannot have) a file of more than
 * max_words words; readcmdlist allows as many as an int counts. */
int _readcmdlist_within(GetoptState *state, const char *name, size_t max_words);

#endif
