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
 * its newline and one trailing ".".  An element without value (or with
 * blanks only) gives the component "1".  Result 0, or -1 when the root
 * file is missing, unreadable or empty, when a series or instance number
 * is asked of an object that lacks it (what was composed before stays in
 * uid), and when the UID would be longer than 64 characters or have an
 * empty component (then uid is empty): a cut UID is no longer unique. */
int16_t genuid(AppData *app, DicomObject *obj, int16_t flags, char *uid);

/* As genuid; a non-NULL root, datetime, series or instance text is used
 * unchanged for that component instead of the file, the clock or the
 * element. */
int16_t genuid_ex(AppData *app, DicomObject *obj, int16_t flags, char *uid, const char *root,
                  const char *datetime, const char *series, const char *instance);

#ifdef __cplusplus
}
#endif

#endif
