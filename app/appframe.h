/*
 * appframe.h -- the skeleton shared by every console program.
 *
 * A program describes itself to the frame in a ProgramDescription (name,
 * option string, texts, file-name options, hooks) and hands it to
 * AppFrame::run from main().  The frame does the rest in a fixed order:
 *
 *   SIGXFSZ ignored (a write beyond ulimit -f fails, and the save says so)
 *   init_AppData(name, "2.1")
 *   parse_cmdline:  before_mask hook, log_mask(0), the presets hook,
 *                   initgetopt1, the option loop,
 *                   after_loop hook, required names, words left over,
 *                   a -l name that is the file of -i, -o or -p,
 *                   print_usage when anything was wrong (the -l clash
 *                   said before the usage line, whatever -v says)
 *   log_start(-l name, banner, argc, argv)
 *   after_log_start hook
 *   commandline_mode:
 *       head:  DefHolder slots NULL, InitTagPrvDef
 *              ("Error in parsing DICOM Tag definition files."),
 *              init_IOObject, both output syntaxes TS_NONE, meta-header
 *              switch 1, open_input hook or the default
 *              import ("Error in opening DICOM object.")
 *       work hook
 *       tail:  DoneABCDef, DO_closeObject, DoneTagPrvDef
 *   log_end, free the file names in the order of
 *   ProgramDescription::file_options, return 0.
 *
 * Options handled by the frame itself: '?' and 'h' (help), 'V' (version),
 * 'v' (verbosity), and every letter of ProgramDescription::file_options (a
 * heap copy of the argument into that letter's name slot; a repeated
 * option replaces the copy).  Any other letter goes to the on_option hook,
 * and every letter after the flag letter to the on_flag_word hook.  There
 * is one option loop: the first -1 of getopt1 ends it.
 * The help is the usage line, the program's help text and the verbose
 * levels, which every program shares.
 *
 * Every failure ends the process through log_abort (status 1).  The help,
 * usage and version texts end it with status 1 before the log starts, so
 * with no empty error line and no end line.  Memory running out anywhere
 * in the run (std::bad_alloc) ends it with "Not enough memory to go on."
 * and status 1, never an abort.
 */
#ifndef APPFRAME_H
#define APPFRAME_H

#include <stdint.h>

#include "basekit.h"
#include "medcore.h"

/* What a program plugs into the frame.  Unused hooks stay nullptr. */
struct ProgramDescription {
    ProgramDescription(const char *name, const char *optstring, const char *usage_format,
                       const char *help_text)
        : name(name), optstring(optstring), usage_format(usage_format), help_text(help_text) {}

    const char *name;      /* given to init_AppData, e.g. "tagdump" */
    const char *optstring; /* getopt1 option string, e.g. "?hVi:o:v:l:f" */

    /* Letters of the file-name options ('i', 'o', 'p', 'l'), in the order
     * main() frees them, e.g. "iol".  The frame stores their arguments.
     * 'l' (the log file) is always taken as a file name; list it here too
     * so that it is freed in its place. */
    const char *file_options = "il";
    /* File-name letters that must be given, e.g. "i" or "io". */
    const char *required = "i";

    /* The usage line: a printf format with two %s, the banner and the
     * program path.  It goes to stderr on a usage error and opens the
     * help on stdout. */
    const char *usage_format;
    /* The rest of the help, unformatted: the program's switches and terms.
     * The frame ends every help with the verbose levels of -v. */
    const char *help_text;

    /* parse_cmdline, before log_mask(0) (the browser's page size). */
    void (*before_mask)() = nullptr;
    /* parse_cmdline, after the frame's presets, before the loop. */
    void (*presets)() = nullptr;
    /* A letter of the option string that the frame does not handle.
     * optarg is state->optarg.  The hook never calls getopt1 itself: the
     * frame's loop is the only one, so the words end where the parser ends
     * them ("--", a word that is no option).  Returns the number of usage
     * errors it found. */
    int (*on_option)(int letter, GetoptState *state, int argc, char **argv) = nullptr;
    /* A letter after which every later word is a flag word (the lister's
     * -f): the loop goes on with the empty option string, under which each
     * letter takes the rest of its word (rest is NULL when there is none),
     * and hands every letter to on_flag_word. */
    int flag_letter = 0;
    void (*on_flag_word)(int letter, const char *rest) = nullptr;
    /* After the loop, before the required names are checked (the
     * converter's own option values).  Returns usage errors found. */
    int (*after_loop)() = nullptr;
    /* After log_start, before commandline_mode (the browser's prompt). */
    void (*after_log_start)() = nullptr;
    /* Opens the object in place of the head's import of the -i file.  Must
     * end the process through log_abort on failure.  AppFrame::import_input()
     * is the default and may be called from here (the editor). */
    void (*open_input)() = nullptr;
    /* The program's own work, between head and tail. */
    void (*work)() = nullptr;
};

/* The state of the one program of the process.  All static, zero at start. */
struct AppFrame {
    static AppData app;
    static DefHolder defs;
    static IOObject io;
    static char banner[256];

    /* File-name option values, NULL until the option is seen. */
    static char *input;   /* -i */
    static char *output;  /* -o */
    static char *profile; /* -p */
    static char *logfile; /* -l */

    static const ProgramDescription *program;

    /* main() of a program: returns 0 or ends the process with status 1. */
    static int run(const ProgramDescription &description, int argc, char **argv);

    /* The slot of a file-name option letter ('i', 'o', 'p', 'l'), else
     * nullptr. */
    static char **name_slot(int letter);

    /* The steps of run(), callable one by one (tests, special programs). */
    static int16_t parse_cmdline(int argc, char **argv);
    static int commandline_mode();
    static void import_input(); /* DO_importObjectFromFile of -i, or abort */
    static void save_output();  /* DO_copyObjectToFile to -o, or abort */

    /* Parses a -v argument into *mask.  Returns 1 for a usage error, else
     * 0.  *mask_set tells whether the mask is to be handed to log_mask
     * (every non-empty argument, also a bad one). */
    static int parse_verbosity(const char *arg, int16_t *mask, int *mask_set);

    [[noreturn]] static void print_version();
    [[noreturn]] static void print_usage(const char *path);
    [[noreturn]] static void print_help(const char *path);
};

#endif /* APPFRAME_H */
