/*
 * objdefs_int.h -- the builders and frees of the object definition tree
 * (ABCDef, ModuleDef, AttrDef), shared by the definition-file loaders
 * (objdefs.cpp) and the binding (binding.cpp).  Every node is allocated
 * with calloc and released with free; every text lives in the tree's pool
 * except the names that the attribute lookups hand out.
 */
#ifndef QUENOR_OBJDEFS_INT_H
#define QUENOR_OBJDEFS_INT_H

#include "deffile_int.h"
#include "medcore.h"

#define TAG_KEY_ITEM_DEF 0xFFFEE000u
/* The reference of the catch-all module, which collects the elements no
 * other module describes. */
#define CATCH_ALL_MODULE_REF "P.R.I.V.A.T.E"

/* A zeroed attribute definition with tag, name (not copied), type (cut to
 * three characters), fourth text and owner filled; not linked.  NULL when
 * memory ran out. */
AttrDef *_new_attr_def(uint32_t tag, const char *name, const char *type, char *text,
                       uint16_t owner_kind, void *owner);

/* Links a complete definition at the tail of its owner's list: the
 * module's top level (owner_kind 0) or the children of an AttrDef. */
void _link_attr_def(AttrDef *def);

/* Appends a module with the given texts (copied into the tree's pool) and
 * usage letter; NULL when memory ran out, with nothing linked. */
ModuleDef *_append_module_def(ABCDef *tree, const char *reference, const char *title, char usage,
                              const char *text);

/* The first module whose reference is exactly `reference`; NULL when none. */
ModuleDef *_find_module_def(ABCDef *tree, const char *reference);

/* Appends the catch-all module "P.R.I.V.A.T.E" ("Private Data", usage
 * 'U', no attributes); NULL when memory ran out. */
ModuleDef *_append_catch_all_module(ABCDef *tree);

/* Appends the Item definition (FFFE,E000) under a sequence attribute:
 * the dictionary name of the item tag, type "3", an empty fourth text.
 * NULL when memory ran out. */
AttrDef *_append_item_def(AppData *app, ABCDef *tree, AttrDef *sq);

/* Whether the tag dictionary gives the tag the VR SQ. */
bool _is_sq_tag(AppData *app, uint32_t tag);

/* A detached whole copy of a deferred Item definition (binding.cpp),
 * bound to its item as a whole binding would bind it; nested deferred
 * Item definitions stay deferred.  No cursor moves.  The caller lets it go
 * with _let_go_item_copy; NULL when memory ran out. */
AttrDef *_bind_item_copy(AppData *app, const AttrDef *item_def);
/* Lets a copy made by _bind_item_copy go (NULL: nothing): what the binding
 * made in it is put aside for later bindings, the rest freed unbound. */
void _let_go_item_copy(AttrDef *copy);

/* Frees a definition's children recursively, then the node (not unlinked
 * from its list); the links of the nodes freed are forgotten. */
void _free_attr_def(AttrDef *def);
/* Takes def out of its owner's list and frees it with its subtree. */
void _drop_attr_def(AttrDef *def);
/* Takes def out of its owner's list; it keeps its subtree and owner. */
void _unlink_attr_def(AttrDef *def);
/* Frees a module's attribute definitions, then the module (not unlinked). */
void _free_module_def(ModuleDef *module);
/* Frees all modules, the pool and the root; sets *tree to NULL. */
void _free_abc_def(ABCDef **tree);

#endif
