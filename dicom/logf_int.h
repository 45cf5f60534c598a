/*
 * logf_int.h -- formatted messages for the log, shared inside the DICOM
 * library (not exported).  A message is cut at 511 characters.
 */
#ifndef QUENOR_LOGF_INT_H
#define QUENOR_LOGF_INT_H

#include <stdarg.h>
#include <stdio.h>

#include "basekit.h"

static inline void log_formatted(int level, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

static inline void log_formatted(int level, const char *format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    log_message(text, level);
}

#endif
