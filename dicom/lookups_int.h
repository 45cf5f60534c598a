/*
 * lookups_int.h -- what the tag-definition loader needs from the attribute
 * lookups: releasing the lookup index that lives in AppData.
 */
#ifndef QUENOR_LOOKUPS_INT_H
#define QUENOR_LOOKUPS_INT_H

#include "medcore.h"

/* Frees app->index (if any) and sets it to NULL. */
void tag_index_free(AppData *app);

#endif
