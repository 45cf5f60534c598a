/*
 * checks_int.h -- the value checker, shared by the two verification walks
 * inside the DICOM library (not exported).
 */
#ifndef QUENOR_CHECKS_INT_H
#define QUENOR_CHECKS_INT_H

#include <stddef.h>

#include "medcore.h"

/* The findings (VerifyErrorBits) that the value of elem earns under the
 * tag dictionaries of app: its dictionary VR and VM, the VR's length limit
 * and repertoire, the UID rules and the tag's permitted values.  The value
 * is examined in place; nothing is changed, logged or allocated. */
VerifyErrorBits _check_value(AppData *app, const DicomElement *elem);

/* Whether elem is a text VR (by the dictionaries) whose bytes are all its
 * pad byte: blanks, or NULs for a UID.  Such a value is empty. */
bool _holds_padding_only(AppData *app, const DicomElement *elem);

/* VERIFY_NOT_PERMITTED when the tag has permitted values and the value
 * text (length bytes, blanks around and inside it not counting) is none
 * of them; else 0. */
VerifyErrorBits _check_permitted(AppData *app, uint32_t tag, const char *text, size_t length);

#endif
