/*
 * profile.h -- the editor's profile language: a text file of edit actions,
 * one per line, run over one DicomObject at the object's cursor, with
 * nested includes of further profiles.
 *
 *   a gggg eeee value    add or replace an element (value by dictionary VR)
 *   e gggg eeee          set an element to an empty value
 *   d gggg eeee          delete an element
 *   s [gggg eeee n]...   select the current position (n: item of a sequence)
 *   f name               include another profile
 *
 * A line ends at LF, CR LF or CR and may be up to 16 MiB long (a longer
 * one ends the profile).  A ';' outside double quotes starts a comment.
 * Profiles are read front to back only, so they may come from pipes.
 * Every function returns 0 for success and -1 for failure.
 *
 * Where an edit would land at the wrong level, the line is refused rather
 * than applied elsewhere: after a failed select the a, e and d lines are
 * skipped up to the next select (includes run on in that state); after
 * the last item of a sequence is deleted no item is current, and a, e and
 * d are refused up to the next select; items and delimiters (group FFFE)
 * are no data for a or e; items held as raw bytes are not entered.
 */
#ifndef EDITOR_PROFILE_H
#define EDITOR_PROFILE_H

#include <stdint.h>

#include <string>
#include <vector>

#include "medcore.h"

/* Depth of the -p profile is 0; includes go down to depth 10. */
#define PROFILE_MAX_DEPTH 10
/* Search path for profiles named without a usable path. */
#define PROFILE_PATH_VAR "QUENOR_PREDEF_PATH"

/* The chain of profiles in progress.  An including profile read from a
 * regular file is closed while its include runs, and reopened at the
 * position saved after its include line; one read from a pipe, a FIFO or a
 * device cannot be reopened there and stays open. */
struct ProfileStack {
    int16_t depth = -1; /* -1: none */
    char *names[PROFILE_MAX_DEPTH + 1] = {};
    int64_t positions[PROFILE_MAX_DEPTH + 1] = {};
};

/* Where a select step landed in a sequence: item number (from 1) of item
 * in sequence.  A later select of that step walks on from it, so that
 * selecting the next item costs the same whatever its number. */
struct ItemMark {
    DicomElement *sequence = nullptr;
    DicomElement *item = nullptr;
    long number = 0;
};

/* One profile run over one object. */
struct ProfileRun {
    AppData *app = nullptr;
    DicomObject *obj = nullptr;
    ProfileStack stack;
    /* Profiles that could not be opened (the first one, an included one, or
     * an including one on its reopening).  The editor writes nothing then. */
    int unopened = 0;
    /* Profiles ended early by an include line without a file name or one
     * nested deeper than PROFILE_MAX_DEPTH, by a line too long or by
     * memory running out: their later lines never ran, so the editor
     * writes nothing then either. */
    int cut_short = 0;
    /* The select that failed, while its failure holds: its line number (0:
     * none) and profile.  a, e and d lines are skipped until an 's' line. */
    long failed_select = 0;
    std::string failed_in;
    /* The last item of the sequence under the cursor was deleted: no item
     * is current, and a, e and d are refused until an 's' line. */
    bool no_item = false;
    /* Why the last action failed, when the per-line warning cannot say it;
     * the interpreter logs it after that warning. */
    std::string why;
    /* The last action failed because its element is absent at the current
     * position: the per-line warning says so. */
    bool absent = false;
    /* Words the last action ignored (a value its VR takes none of, or
     * words after its value or tag); the interpreter warns of them,
     * whether the action failed or not. */
    std::string note;
    /* The item each step of an 's' line last selected (indexed by the
     * step's place in the line); a mark is dropped before an edit frees
     * its item or changes the numbers of its sequence's items. */
    std::vector<ItemMark> marks;
};

/* Pushes the profile called name one level deeper: the path found along
 * QUENOR_PREDEF_PATH, or name as written when the lookup finds nothing.
 * -1 (and counted as unopened) when the stack is full or out of memory. */
int16_t push_profile(ProfileRun *run, const char *name);
/* Frees the name at the top of the stack and goes one level up. */
void pop_profile(ProfileRun *run);

/* Processes the profile at the top of the stack to its end, includes
 * included.  -1 when it cannot be opened, when an include line names no
 * file, when includes go deeper than PROFILE_MAX_DEPTH, when it cannot be
 * reopened after an include, when a line is longer than 16 MiB or when
 * memory runs out (these last two counted as cut_short); else the result
 * of its last action line.  Throws nothing. */
int16_t process_profile(ProfileRun *run);

/* Removes a trailing newline and ends the line at the first ';' that is not
 * between double quotes.  A null line is left alone. */
void cut_comment(char *line);

/* The file name of an 'f' line ("quoted", <bracketed> or up to the first
 * blank) as a new heap string; -1 when the name is empty.  The closing
 * character of the name in line is overwritten by a NUL. */
int16_t get_include_name(char *line, char **name);

/* The actions.  line is the whole cut line, action letter first; head is a
 * zeroed record that the action fills (its tag is what a warning names).
 * A failure may leave its cause in run->why. */
int16_t edit_add(ProfileRun *run, const char *line, DicomElementHead *head);
int16_t edit_empty(ProfileRun *run, const char *line, DicomElementHead *head);
int16_t edit_delete(ProfileRun *run, const char *line, DicomElementHead *head);
int16_t edit_select(ProfileRun *run, const char *line, DicomElementHead *head);

#endif
