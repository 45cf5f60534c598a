/*
 * tables.h -- the browser's tables over a bound object definition: the
 * modules of the object, the attributes of a module, the attributes of one
 * sequence item, the walk through a sequence's items and the value screen.
 * Every table goes through the pager; the tree and the elements are only
 * read, but that the Item definition of a long sequence's later item holds
 * its attribute definitions while its item is shown.  A sequence or an
 * item kept as stored bytes is not opened: the walk says so (with the
 * count of the stored items) instead of showing an empty item.
 */
#ifndef BROWSER_TABLES_H
#define BROWSER_TABLES_H

#include "medcore.h"
#include "pager.h"

struct Browser {
    Console con;
    AppData *app = nullptr; /* for the tag lookups and the value text */
    int page_size = 15;     /* rows per page */
};

/* The outermost loop: the module table until the user quits.  Returns 0. */
NavigationCode browse(Browser &b, ABCDef *abc);

NavigationCode show_module_table(Browser &b, ABCDef *abc);
NavigationCode show_attribute_table(Browser &b, ModuleDef *module);
/* Asks which item to open (when there are several) and steps through the
 * items on "ni" and "pi". */
NavigationCode open_sequence(Browser &b, AttrDef *sequence);
/* The item's attributes; position is its number among the items. */
NavigationCode show_item_table(Browser &b, AttrDef *item, int position);
/* The element's tag, VR, length and value on one line (control
 * characters as blanks, as in the rows), then a pause. */
void show_value(Browser &b, DicomElement *element);

#endif /* BROWSER_TABLES_H */
