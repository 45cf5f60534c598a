/*
 * tagaudit.cpp -- the verifier: reads one DICOM file, reports the transfer
 * syntaxes of its meta header and data set, and checks the object against
 * the module definitions of its SOP class, or element by element against
 * the tag dictionary alone ("-q", or when the object's definitions cannot
 * be loaded).  Findings go to the log; the exit status does not reflect
 * them.  Start-up, shared options, printers and the common head and tail
 * come from the program frame.
 */
#include <stdio.h>

#include "appframe.h"
#include "display.h"

namespace {

const char kUsage[] =
    "%s\nUsage:\n  %s [-?|h] [-V] -i<file> [-q] [-v[<E>[<F>]]] [-l<file>] [@<file>]\n";

/* After the usage line; the frame adds the verbose levels. */
const char kHelp[] = "Switches:\n"
                     "  -V \tprint version information and exit\n"
                     "  -i \tname of input file (DICOM format)\n"
                     "  -q \tquick verify (tag checking only)\n"
                     "  -v \tverbose level\n"
                     "  -l \tname of log file\n"
                     "  @  \tname of file containing command line arguments\n"
                     "Terms:\n"
                     "<file>\tis a file name (with or without path)\n";

/* -q; also set by the work when the object definitions cannot be loaded. */
int16_t quick = 0;

void verifier_presets() {
    quick = 0;
}

int verifier_option(int letter, GetoptState *, int, char **) {
    if (letter != 'q')
        return 1;
    quick = 1;
    return 0;
}

void log_syntax(const char *format, TransferSyntaxCode ts) {
    char line[512];
    snprintf(line, sizeof line, format, syntax_name(ts));
    log_message(line, -1);
}

void verifier_work() {
    IOObject &io = AppFrame::io;
    log_syntax("DICOM File Meta Information Header (%s)", io.in_meta_ts);
    if (io.in_meta_ts < TS_IMPLICIT_LE || io.in_meta_ts > TS_EXPLICIT_BE)
        log_message("File Meta Information Header is not present.", 1);
    else if (io.in_meta_ts != TS_EXPLICIT_LE)
        log_message("File Meta Information Header TransferSyntax is not ExplicitVRLittleEndian.",
                    1);
    log_syntax("DICOM Data Set (%s)", io.in_ds_ts);

    if (quick == 0 && InitUABCDef(&AppFrame::app, &AppFrame::defs, io.object, 0) != 0) {
        log_message("Error in parsing DICOM definition files.", 2);
        log_message("Cannot check by modules. Doing quick verify (tag checking only).", 2);
        quick = 1;
    }
    const int16_t result = quick == 1 ? VerifyObjectByTag(&AppFrame::app, io.object)
                                      : VerifyObjectByModule(&AppFrame::app, &AppFrame::defs);
    if (result != 0)
        log_message("Error in checking DICOM object.", 1);
}

} // namespace

int main(int argc, char **argv) {
    ProgramDescription program("tagaudit", "?hVi:qv:l:", kUsage, kHelp);
    program.presets = verifier_presets;
    program.on_option = verifier_option;
    program.work = verifier_work;
    return AppFrame::run(program, argc, argv);
}
