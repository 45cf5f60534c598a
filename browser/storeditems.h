/*
 * storeditems.h -- sequences and items that the library keeps as the bytes
 * read (those of defined length): whether an element is one, and how many
 * items the stored bytes of a sequence hold, counted from their item
 * headers without reading past the value.
 */
#ifndef BROWSER_STOREDITEMS_H
#define BROWSER_STOREDITEMS_H

#include "medcore.h"

/* Whether e (a sequence or an item) holds its content as stored bytes
 * rather than as elements; false for NULL. */
bool kept_as_stored(const DicomElement *e);

/* The items in the stored bytes of a sequence, up to the first header that
 * is no item or does not fit in the value. */
long stored_item_count(const DicomElement *sequence);

#endif /* BROWSER_STOREDITEMS_H */
