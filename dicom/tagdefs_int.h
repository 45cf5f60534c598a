/*
 * tagdefs_int.h -- the frees of the private definition tree, for code of the
 * library that builds or drops parts of it.  Every node and row of the tree
 * is allocated with calloc and released with free.
 */
#ifndef QUENOR_TAGDEFS_INT_H
#define QUENOR_TAGDEFS_INT_H

#include "medcore.h"

/* Frees one element definition and its row (not unlinked from its list). */
void _free_prv_element_def(PrvElementDef *def);
/* Frees a creator's element definitions in list order, then the creator. */
void _free_creator_def(PrvCreatorDef *creator);
/* Frees all creators, the pool and the root; sets *tree to NULL. */
void _free_prv_def(PrvDef **tree);

#endif
