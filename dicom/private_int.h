/*
 * private_int.h -- what the private binding (private.cpp) keeps about the
 * links it makes from private element definitions into an object's tree,
 * for the code that frees what the links point at (object.cpp) or the
 * definitions that hold them (tagdefs.cpp).  Not exported.
 */
#ifndef QUENOR_PRIVATE_INT_H
#define QUENOR_PRIVATE_INT_H

#include "medcore.h"

/* Unbinds every private element definition bound to an element of obj
 * that lies in subtree; a null subtree means the whole object, which is
 * then forgotten (it is being closed). */
void _drop_prv_links(const DicomObject *obj, const DicomElement *subtree);

/* prv is being freed: its links are no longer looked after. */
void _forget_prv_def(const PrvDef *prv);

#endif
