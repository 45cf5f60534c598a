/*
 * normalise_int.h -- the writer's normalising of an element tree and its
 * structural check (not exported).
 */
#ifndef QUENOR_NORMALISE_INT_H
#define QUENOR_NORMALISE_INT_H

#include <string>

#include "medcore.h"

/* DO_checkObject: settles the delimitation items of every sequence and
 * item.  A delimiter at the top level closes nothing: it goes, as those of
 * the wrong kind inside containers do.  -1 when a delimiter cannot be
 * made; the object's cursor is emptied. */
int16_t check_object(AppData *app, DicomObject *obj);

/* The first fault of the tree below parent, depth first, that no reader
 * could parse back when io's object is saved in its output data-set
 * syntax (resolved), as a message naming the element and where it stands;
 * empty for none. */
std::string first_structural_fault(AppData *app, const IOObject *io, const DicomElement *parent);

#endif
