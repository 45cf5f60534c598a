/*
 * uidgen_int.h -- the UID generator: library functions of the DICOM
 * library that it does not export.
 */
#ifndef QUENOR_UIDGEN_INT_H
#define QUENOR_UIDGEN_INT_H

#include "medcore.h"

/* Components that follow the root, in this order. */
#define UID_DATETIME 0x0001 /* local time, YYYYMMDDhhmmss */
#define UID_SERIES 0x0002   /* first word of Series Number (0020,0011) */
#define UID_INSTANCE 0x0004 /* first word of Instance Number (0020,0013) */

#define UID_MAX_LENGTH 64

#ifdef __cplusplus
extern "C" {
#endif

/* Composes root[.datetime][.series][.instance] into uid (65 bytes); the
 * root is the first line of "base.uid" found along QUENOR_DEF_PATH, less
 * its newline, the blanks around it and one trailing ".".  Series and
 * instance numbers are the first word of the element's value ("1" when it
 * has none), written as plain numbers: "+5" and "007" give 5 and 7.
 * Result 0, or -1 when the root file is missing, unreadable or empty, when
 * a series or instance number is asked of an object that lacks it (what
 * was composed before stays in uid), and when the result would not be a
 * valid UID (then uid is empty): longer than 64 characters (a cut UID is
 * no longer unique), an empty component, a component with a leading zero
 * or other characters than digits, a negative or non-integer number. */
int16_t genuid(AppData *app, DicomObject *obj, int16_t flags, char *uid);

/* As genuid; a non-NULL root, datetime, series or instance text is used
 * for that component instead of the file, the clock or the element: a
 * root or date-time unchanged, a series or instance text as the number it
 * holds. */
int16_t genuid_ex(AppData *app, DicomObject *obj, int16_t flags, char *uid, const char *root,
                  const char *datetime, const char *series, const char *instance);

#ifdef __cplusplus
}
#endif

#endif
