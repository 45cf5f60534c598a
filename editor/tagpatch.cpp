/*
 * tagpatch.cpp -- the editor: reads one DICOM file (or starts an empty
 * object when no input is named), runs a profile of edit actions over it
 * (profile.cpp) and stores the result as a new DICOM file.  Start-up, the
 * shared options, the printers and the common head and tail come from the
 * program frame.
 *
 * A profile that cannot be opened (the -p one or any it includes), or that
 * ends early (an include line without file name or nested too deep, a
 * line too long, memory running out), ends the run before the save: an anonymisation with a misspelt profile name must not
 * write the patient's data out under the new name.  Failed action lines
 * are warnings; what the profile managed to change is saved.
 */
#include <stdio.h>
#include <stdlib.h>

#include "appframe.h"
#include "profile.h"

namespace {

const char kUsage[] =
    "%s\nUsage:\n  %s [-?|h] [-V] -p<file> [-i<file>] -o<file> [-v[<E>[<F>]]] [-l<file>] "
    "[@<file>]\n";

/* After the usage line; the frame adds the verbose levels. */
const char kHelp[] = "Switches:\n"
                     "  -V \tprint version information and exit\n"
                     "  -p \tname of profile (ASCII text)\n"
                     "  -i \tname of input file (DICOM format)\n"
                     "  -o \tname of output file (DICOM format)\n"
                     "  -v \tverbose level\n"
                     "  -l \tname of log file\n"
                     "  @  \tname of file containing command line arguments\n"
                     "Terms:\n"
                     "<file>\tis a file name (with or without path)\n";

/* With -i the file is read as by every program; without it the profile
 * starts from an empty object, which the save gives a meta group. */
void open_input() {
    if (AppFrame::input) {
        AppFrame::import_input();
        return;
    }
    if (DO_openObject(&AppFrame::io) != 0)
        log_abort("Error in creating DICOM object.");
}

void edit_and_save() {
    AppData *app = &AppFrame::app;
    DicomObject *obj = AppFrame::io.object;
    /* The cursor operations find and insert by ascending tag order; a file
     * whose elements stand out of order would otherwise get an edited
     * element twice, and the save's sort would keep the unedited one. */
    SortCodes(obj->root);
    DicomElement *top = obj->cursor;
    DE_search(app, obj, &top, 0xFFFF, 0xFFFF, 0);

    ProfileRun run;
    run.app = app;
    run.obj = obj;
    if (push_profile(&run, AppFrame::profile) == 0) {
        process_profile(&run);
        pop_profile(&run);
    }
    if (run.unopened > 0 || run.cut_short > 0)
        log_abort("Profile not processed; output not written.");

    AppFrame::save_output();
}

} // namespace

int main(int argc, char **argv) {
    ProgramDescription program("tagpatch", "?hVp:i:o:v:l:", kUsage, kHelp);
    program.file_options = "iopl";
    program.required = "po";
    program.open_input = open_input;
    program.work = edit_and_save;
    return AppFrame::run(program, argc, argv);
}
