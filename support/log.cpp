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
    case 1: return "Error: ";
    case 2: return "Warning: ";
    case 3: return "Info: ";
    default: return "";
    }
}

/* A log line of at most 511 characters; whatever does not fit is cut off. */
struct CutLine {
    char text[kLineSize] = "";
    size_t len = 0;

    CutLine &add(const char *piece) {
        while (*piece && len < kLineSize - 1)
            text[len++] = *piece++;
        text[len] = '\0';
        return *this;
    }
};

void close_log_file() {
    if (g_logfile) {
        fclose(g_logfile);
        g_logfile = nullptr;
    }
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
    close_log_file(); /* a second log_start does not leak the earlier stream */
    if (logname)
        g_logfile = fopen(logname, "w"); /* failure: stays closed, silently */

    char timetext[26];
    plat_localtime_text(timetext);
    size_t tl = strlen(timetext);
    if (tl > 0 && timetext[tl - 1] == '\n')
        timetext[tl - 1] = '\0';

    /* Each of the three lines is cut at 511 characters. */
    log_message(CutLine().add("*** Log start: ").add(timetext).text, -1);
    log_message(CutLine().add(title ? title : "").text, -1);
    CutLine command;
    if (argv && argc > 0) {
        command.add(argv[0] ? argv[0] : "");
        for (int i = 1; i < argc; i++)
            command.add(" ").add(argv[i] ? argv[i] : "");
    }
    log_message(command.text, -1);
}

void log_end(void) {
    char timetext[26];
    plat_localtime_text(timetext);
    /* The time text keeps its newline, so an empty line follows. */
    log_message(CutLine().add("*** Log end  : ").add(timetext).text, -1);
}

void log_abort(const char *text) {
    log_message(text, 1);
    log_end();
    close_log_file();
    exit(1);
}

} // extern "C"
