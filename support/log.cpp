/*
 * log.cpp -- levelled two-channel logging and the fatal exit.
 *
 * One process-wide verbosity mask holds two thresholds: bits 0-3 for the
 * log file, bits 4-7 for standard error.  A message of level L reaches a
 * channel whose threshold is >= |L|; levels 1-3 get a prefix, all others
 * (0, >= 4, negative) are written bare.
 */
#include "basekit.h"
#include "platform.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

int16_t g_mask = 0x002C; /* file threshold 12, stderr threshold 2 */
FILE *g_logfile = nullptr;

/* Line buffer of log_start/log_end: 511 characters and the terminator. */
const size_t kLineSize = 512;

const char *prefix_for(int16_t level) {
    switch (level) {
    case 1:
        return "Error: ";
    case 2:
        return "Warning: ";
    case 3:
        return "Info: ";
    default:
        return "";
    }
}

/* Appends text to line (holding len characters) without passing 511
 * characters; whatever does not fit is cut off. */
void append_cut(char *line, size_t *len, const char *text) {
    while (*text && *len < kLineSize - 1)
        line[(*len)++] = *text++;
    line[*len] = '\0';
}

} // namespace

extern "C" {

int16_t log_mask(int16_t mask) {
    g_mask = mask;
    return g_mask;
}

void log_message(const char *text, int level) {
    int16_t lv = (int16_t)level; /* only the low 16 bits count */
    int weight = lv < 0 ? -(int)lv : (int)lv;
    const char *prefix = prefix_for(lv);
    if (!text)
        text = "";
    int file_threshold = g_mask & 0x0F;
    int err_threshold = (g_mask >> 4) & 0x0F;
    /* The log file first, then standard error; write errors are ignored. */
    if (g_logfile && file_threshold >= weight)
        fprintf(g_logfile, "%s%s\n", prefix, text);
    if (err_threshold >= weight)
        fprintf(stderr, "%s%s\n", prefix, text);
}

void log_start(const char *logname, const char *title, int argc, char **argv) {
    if (g_logfile) { /* a second log_start does not leak the earlier stream */
        fclose(g_logfile);
        g_logfile = nullptr;
    }
    if (logname)
        g_logfile = fopen(logname, "w"); /* failure: stays closed, silently */

    char timetext[26];
    plat_localtime_text(timetext);
    size_t tl = strlen(timetext);
    if (tl > 0 && timetext[tl - 1] == '\n')
        timetext[tl - 1] = '\0';

    /* Each of the three lines is cut at 511 characters. */
    char line[kLineSize];
    size_t len = 0;
    line[0] = '\0';
    append_cut(line, &len, "*** Log start: ");
    append_cut(line, &len, timetext);
    log_message(line, -1);

    len = 0;
    line[0] = '\0';
    append_cut(line, &len, title ? title : "");
    log_message(line, -1);

    len = 0;
    line[0] = '\0';
    if (argv && argc > 0) {
        append_cut(line, &len, argv[0] ? argv[0] : "");
        for (int i = 1; i < argc; i++) {
            append_cut(line, &len, " ");
            append_cut(line, &len, argv[i] ? argv[i] : "");
        }
    }
    log_message(line, -1);
}

void log_end(void) {
    char timetext[26];
    plat_localtime_text(timetext);
    /* The time text keeps its newline, so an empty line follows. */
    char line[kLineSize];
    size_t len = 0;
    line[0] = '\0';
    append_cut(line, &len, "*** Log end  : ");
    append_cut(line, &len, timetext);
    log_message(line, -1);
}

void log_abort(const char *text) {
    log_message(text, 1);
    log_end();
    if (g_logfile) {
        fclose(g_logfile);
        g_logfile = nullptr;
    }
    exit(1);
}

} // extern "C"
