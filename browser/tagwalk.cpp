/*
 * tagwalk.cpp -- the browser: reads one DICOM file, loads and binds the
 * object definition of its SOP class, and lets the user walk it on the
 * console by modules, attributes, sequence items and values (tables.h,
 * pager.h).  Start-up, options and the common work live in the program
 * frame (app/appframe.h).
 */
#include <string.h>

#include "appframe.h"
#include "tables.h"

namespace {

const char kUsage[] =
    "%s\nUsage:\n  %s [-?|h] [-V] -i<file> [-v[<E>[<F>]]] [-l<file>] [-n<num>] [@<file>]\n";

/* After the usage line; the frame adds the verbose levels. */
const char kHelp[] = "Switches:\n"
                     "  -V \tprint version information and exit\n"
                     "  -i \tname of input file (DICOM format)\n"
                     "  -v \tverbose level\n"
                     "  -l \tname of log file\n"
                     "  -n \tmaximum number of table rows to display on one page\n"
                     "  @  \tname of file containing command line arguments\n"
                     "Terms:\n"
                     "<file>\tis a file name (with or without path)\n"
                     "<num>\tis an integer between 1 and 99 (default is 15)\n";

const int kDefaultPageSize = 15;

Browser browser;

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

void preset_page_size() {
    browser.page_size = kDefaultPageSize;
}

/* -n: one or two digits (further characters are ignored); 0 and 00 give
 * the default. */
int page_size_option(int letter, GetoptState *st, int, char **) {
    if (letter != 'n')
        return 0;
    const char *arg = st->optarg;
    browser.page_size = -1;
    if (!arg || !is_digit(arg[0]))
        return 1;
    int value = arg[0] - '0';
    if (arg[1] != '\0') {
        if (!is_digit(arg[1]))
            return 1;
        value = 10 * value + (arg[1] - '0');
    }
    browser.page_size = value < 1 ? kDefaultPageSize : value;
    return 0;
}

void name_the_prompt() {
    strcpy(browser.con.program, "tagwalk");
}

void browser_work() {
    browser.app = &AppFrame::app;
    if (InitUABCDef(&AppFrame::app, &AppFrame::defs, AppFrame::io.object, 0) != 0)
        log_abort("Error in parsing DICOM definition files.");
    browse(browser, AppFrame::defs.abc);
}

} // namespace

int main(int argc, char **argv) {
    ProgramDescription program("tagwalk", "?hVi:v:l:n:", kUsage, kHelp);
    program.before_mask = preset_page_size;
    program.on_option = page_size_option;
    program.after_log_start = name_the_prompt;
    program.work = browser_work;
    return AppFrame::run(program, argc, argv);
}
