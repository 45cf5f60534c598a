/*
 * binding_int.h -- what the binding (binding.cpp) keeps about the links it
 * makes from attribute definitions into element trees, for the code that
 * frees the elements (object.cpp) or the definitions (objdefs.cpp).  Not
 * exported.
 */
#ifndef QUENOR_BINDING_INT_H
#define QUENOR_BINDING_INT_H

#include "medcore.h"

/* The element is being freed: every attribute definition bound to it
 * becomes unbound. */
void _drop_abc_links(DicomElement *e);

/* The definition is being freed: its link is no longer looked after. */
void _forget_attr_def(AttrDef *def);

/* The tree is being freed: the catch-all definitions that the binding put
 * aside for it go too. */
void _free_retired_defs(const ABCDef *tree);

#endif
