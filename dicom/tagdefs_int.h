/*
 * tagdefs_int.h -- the builders and frees of the private definition tree,
 * for code of the library that grows or drops parts of it.  Every node and
 * row of the tree is allocated with calloc and released with free.
 */
#ifndef QUENOR_TAGDEFS_INT_H
#define QUENOR_TAGDEFS_INT_H

#include "medcore.h"

/* Appends a creator named `name` (copied into the tree's pool, which is
 * made when missing) at the tail of the tree; NULL when memory ran out,
 * with nothing linked. */
PrvCreatorDef *_append_creator_def(PrvDef *tree, const char *name);
/* Appends an element definition with its own copy of `row` (whose texts
 * already live in the tree's pool) at the tail of the creator's list;
 * flags 0, no element.  NULL when memory ran out, with nothing linked. */
PrvElementDef *_append_prv_element_def(PrvCreatorDef *creator, const TagDefEntry *row);

/* Frees one element definition and its row (not unlinked from its list). */
void _free_prv_element_def(PrvElementDef *def);
/* Frees a creator's element definitions in list order, then the creator. */
void _free_creator_def(PrvCreatorDef *creator);
/* Frees all creators, the pool and the root; sets *tree to NULL. */
void _free_prv_def(PrvDef **tree);

#endif
