/*
 * appframe.cpp -- start-up, option loop, printers, and the common head and
 * tail of the work, shared by every console program (see appframe.h).
 */
#include "appframe.h"

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <new>
#include <string>

AppData AppFrame::app;
DefHolder AppFrame::defs;
IOObject AppFrame::io;
char AppFrame::banner[256];
char *AppFrame::input;
char *AppFrame::output;
char *AppFrame::profile;
char *AppFrame::logfile;
const ProgramDescription *AppFrame::program;

namespace {

/* The -v argument as every program takes it. */
const char kVerboseLevels[] = "Verbose levels:\n"
                              "  Valid values for both <E> (stderr) and <F> (log file) digits are\n"
                              "    0   do not print any messages\n"
                              "    1   print only errors\n"
                              "    2   print errors and warnings\n"
                              "    3   print errors, warnings and other information\n"
                              "If <F> is omitted <E> is used instead.\n";

/* The fatal message of memory running out, wherever in a run it does. */
const char kNoMemory[] = "Not enough memory to go on.";

/* Set once log_start has written the start lines. */
bool g_log_started = false;

/* Usage errors that the usage line alone does not explain, one "Error: "
 * line each: shown before it whatever -v says. */
std::string g_usage_reasons;

/* Ends a run before log_start: the help, usage and version texts, and
 * memory running out while the options are read.  log_abort would add an
 * empty error line and an end line to a log that never started. */
[[noreturn]] void end_before_log(const char *text) {
    if (text[0] != '\0')
        log_message(text, 1);
    exit(1);
}

bool has_letter(const char *letters, int c) {
    return letters && c != 0 && strchr(letters, c) != nullptr;
}

/* A name that cannot be copied is memory running out, not a name missing. */
void replace_name(char **slot, const char *arg) {
    free(*slot);
    *slot = strdup(arg ? arg : "");
    if (!*slot)
        throw std::bad_alloc();
}

/* Words the option loop never reached.  When the loop stopped inside an
 * argument file, the state's index counts the file's words, so compare it
 * with the file's word count; the command-line words after the "@" word
 * were not reached either. */
bool words_left_over(const GetoptState &st, int argc) {
    if (st.infile)
        return st.optind < st.file_wordc || st.saved_optind < argc;
    return st.optind < argc;
}

/* A write beyond the file-size limit (ulimit -f) raises SIGXFSZ, which
 * would end the process at once, silent, its temporary file left behind.
 * Ignored, the write fails with EFBIG instead, and the save reports it
 * and cleans up like any other failed write. */
void ignore_file_size_signal() {
    signal(SIGXFSZ, SIG_IGN);
}

bool same_inode(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

/* A name's directory ("." for none) and its last component. */
void split_name(const std::string &name, std::string *dir, std::string *leaf) {
    const size_t slash = name.rfind('/');
    *dir = slash == std::string::npos ? "." : name.substr(0, slash + 1);
    *leaf = slash == std::string::npos ? name : name.substr(slash + 1);
}

/* Whether two names stand for one file: the same device and inode where
 * both exist; where neither does, the same last component in the same
 * directory (or, without directories to compare, the same text). */
bool same_file(const char *a, const char *b) {
    struct stat sa, sb;
    const bool a_exists = stat(a, &sa) == 0, b_exists = stat(b, &sb) == 0;
    if (a_exists || b_exists)
        return a_exists && b_exists && same_inode(sa, sb);
    std::string a_dir, a_leaf, b_dir, b_leaf;
    split_name(a, &a_dir, &a_leaf);
    split_name(b, &b_dir, &b_leaf);
    if (a_leaf != b_leaf)
        return false;
    if (stat(a_dir.c_str(), &sa) == 0 && stat(b_dir.c_str(), &sb) == 0)
        return same_inode(sa, sb);
    return strcmp(a, b) == 0;
}

/* log_start empties the log file before the work begins: a log named like
 * the input, the output or the profile would destroy it.  Counts such a
 * name as a usage error and notes which file it would have overwritten. */
int log_name_collisions() {
    int errors = 0;
    for (const char letter : {'i', 'o', 'p'}) {
        const char *other = *AppFrame::name_slot(letter);
        if (AppFrame::logfile && other && same_file(AppFrame::logfile, other)) {
            g_usage_reasons += std::string("Error: Log file ") + AppFrame::logfile +
                               " is the file of -" + letter + " " + other +
                               ": a log would overwrite it.\n";
            errors++;
        }
    }
    return errors;
}

void release_file_words(GetoptState &st) {
    free(st.file_words);
    free(st.file_buffer);
    st.file_words = nullptr;
    st.file_buffer = nullptr;
}

} // namespace

char **AppFrame::name_slot(int letter) {
    switch (letter) {
    case 'i': return &input;
    case 'o': return &output;
    case 'p': return &profile;
    case 'l': return &logfile;
    default: return nullptr;
    }
}

int AppFrame::parse_verbosity(const char *arg, int16_t *mask, int *mask_set) {
    *mask = 0;
    *mask_set = 0;
    if (!arg || arg[0] == '\0')
        return 1;
    *mask_set = 1;
    if (arg[0] < '0' || arg[0] > '9')
        return 1;
    *mask = (int16_t)((arg[0] - '0') << 4);
    if (arg[1] == '\0') {
        *mask = (int16_t)(*mask + (*mask >> 4));
        return 0;
    }
    if (arg[1] < '0' || arg[1] > '9')
        return 1;
    *mask = (int16_t)(*mask + (arg[1] - '0'));
    return 0;
}

void AppFrame::print_version() {
    fprintf(stderr, "%s\n", banner);
    end_before_log("");
}

void AppFrame::print_usage(const char *path) {
    fputs(g_usage_reasons.c_str(), stderr);
    fprintf(stderr, program->usage_format, banner, path);
    end_before_log("");
}

void AppFrame::print_help(const char *path) {
    fprintf(stdout, program->usage_format, banner, path);
    fputs(program->help_text, stdout);
    fputs(kVerboseLevels, stdout);
    end_before_log("");
}

int16_t AppFrame::parse_cmdline(int argc, char **argv) {
    int16_t errors = 0;
    if (program->before_mask)
        program->before_mask();
    log_mask(0);
    if (program->presets)
        program->presets();

    GetoptState st;
    initgetopt1(&st);
    bool flag_words = false; /* past the flag letter: every letter is a flag */
    for (;;) {
        int16_t c = (int16_t)getopt1(&st, argc, argv, flag_words ? "" : program->optstring);
        if (c == -1)
            break;
        if (flag_words) {
            if (program->on_flag_word)
                program->on_flag_word(c, st.optarg);
        } else if (program->flag_letter != 0 && c == program->flag_letter) {
            flag_words = true;
        } else if (c == '?' || c == 'h') {
            print_help(argv[0]);
        } else if (c == 'V') {
            print_version();
        } else if (c == 'v') {
            int16_t mask;
            int mask_set;
            errors += (int16_t)parse_verbosity(st.optarg, &mask, &mask_set);
            if (mask_set)
                log_mask(mask);
        } else if (c == 'l' || has_letter(program->file_options, c)) {
            replace_name(name_slot(c), st.optarg);
        } else if (program->on_option) {
            errors += (int16_t)program->on_option(c, &st, argc, argv);
        }
    }
    if (program->after_loop)
        errors += (int16_t)program->after_loop();
    for (const char *r = program->required; r && *r; ++r) {
        char **slot = name_slot(*r);
        if (slot && *slot == nullptr)
            errors++;
    }
    if (words_left_over(st, argc))
        errors++;
    errors += (int16_t)log_name_collisions();
    if (st.infile)
        release_file_words(st);
    if (errors > 0)
        print_usage(argv[0]);
    return 0;
}

void AppFrame::import_input() {
    if (DO_importObjectFromFile(&app, &defs, input, &io) != 0)
        log_abort("Error in opening DICOM object.");
}

void AppFrame::save_output() {
    if (DO_copyObjectToFile(&app, &io, output) != 0)
        log_abort("Error in storing DICOM object.");
}

int AppFrame::commandline_mode() {
    defs.abc = nullptr;
    defs.prv = nullptr;
    if (InitTagPrvDef(&app, &defs, 0) != 0)
        log_abort("Error in parsing DICOM Tag definition files.");
    init_IOObject(&io);
    /* Every program reads with "as read" output syntaxes and a meta header;
     * a program applies its own output choices after the import. */
    io.out_meta_ts = TS_NONE;
    io.out_ds_ts = TS_NONE;
    io.meta_header = 1;
    if (program->open_input)
        program->open_input();
    else
        import_input();

    if (program->work)
        program->work();

    DoneABCDef(&defs); /* the object definitions a program read, if any */
    DO_closeObject(&io);
    DoneTagPrvDef(&app, &defs);
    return 0;
}

/* std::bad_alloc from anywhere in the run (the frame, a program's hooks,
 * a library call that lets it out) ends it like every other failure:
 * with its message and status 1, never an abort. */
int AppFrame::run(const ProgramDescription &description, int argc, char **argv) {
    program = &description;
    ignore_file_size_signal();
    init_AppData(&app, description.name, "2.1", banner);
    try {
        parse_cmdline(argc, argv);
        log_start(logfile, banner, argc, argv);
        g_log_started = true;
        if (description.after_log_start)
            description.after_log_start();
        commandline_mode();
    } catch (const std::bad_alloc &) {
        if (!g_log_started)
            end_before_log(kNoMemory);
        log_abort(kNoMemory);
    }
    log_end();
    for (const char *f = description.file_options; f && *f; ++f) {
        char **slot = name_slot(*f);
        if (slot && *slot) {
            free(*slot);
            *slot = nullptr;
        }
    }
    return 0;
}
