/*
 * verify.cpp -- verification of an object, reported in the log: element by
 * element against the tag dictionaries (VerifyObjectByTag), or module by
 * module along the object definition bound to it (VerifyObjectByModule),
 * adding the type rules of the attribute definitions (Type 1 present and
 * not empty, by content rather than encoding: a text of padding alone is
 * empty; Type 2 present) to the value checks of checks.cpp.  A module of
 * usage U is checked only when the object holds an attribute of its own,
 * one that no mandatory module holds as well.
 *
 * Findings are log lines only; neither the object nor the definitions
 * change (a deferred Item definition is checked through a copy of its own,
 * bound and let go; only bound flags inside its item are set anew).
 */
#include <stdio.h>
#include <string.h>

#include <set>

#include "checks_int.h"
#include "logf_int.h"
#include "objdefs_int.h"
#include "object_int.h"

namespace {

const char *const kBitLines[16] = {
    "\t\tLength of element is less or greater than the permitted minimum/maximum.",
    "\t\tElement contains extra characters.",
    "\t\tElement does not satisfy the standard VR format.",
    "\t\tElement contains impossible value.",
    "\t\tVR of element is unknown.",
    "\t\tVM of element is incorrect.",
    "\t\tElement contains nonpermitted value.",
    "\t\tType 1 element is missing.",
    "\t\tType 1 element has 0 length.",
    "\t\tType 2 element is missing.",
    "\t\tUnhandled error code.",
    "\t\tUnhandled error code.",
    "\t\tUnhandled error code.",
    "\t\tUnhandled error code.",
    "\t\tUnhandled error code.",
    "\t\tUnhandled error code.",
};

/* The header names the tag, its name and the value text; the name is cut
 * so that a value text of the full 511 characters always fits. */
const int kNameLimit = 255;
const int kValueSize = 512;

void _report_element_errors(uint32_t tag, const char *name, const char *value, VerifyErrorBits bits,
                            bool conditional) {
    char header[64 + kNameLimit + kValueSize];
    snprintf(header, sizeof header, "\t(%04hX, %04hX) -- %.*s\n\tValue:\t%.*s",
             (unsigned short)(tag >> 16), (unsigned short)(tag & 0xFFFF), kNameLimit,
             name ? name : "", kValueSize - 1, value ? value : "");
    const bool warning = conditional || (bits & VERIFY_UNKNOWN_VR) != 0;
    log_message(header, warning ? -2 : -1);
    for (int i = 0; i < 16; i++) {
        const unsigned bit = 1u << i;
        if (bits & bit)
            log_message(kBitLines[i], conditional || bit == VERIFY_UNKNOWN_VR ? 2 : 1);
    }
}

/* The value text of an element as every report shows it ("" for none). */
struct ValueText {
    char text[kValueSize];
    ValueText(AppData *app, DicomElement *e) {
        text[0] = '\0';
        if (e)
            print_element_value(app, e, text, sizeof text);
    }
};

void report_element(AppData *app, DicomElement *e, VerifyErrorBits bits) {
    const char *name = nullptr;
    getAttrName(app, element_key(e), &name);
    _report_element_errors(element_key(e), name, ValueText(app, e).text, bits, false);
}

/* True when the subtree of e holds an element that fails.  A finding of
 * unknown VR alone is a warning and does not fail. */
bool _verify_element(AppData *app, DicomElement *e) {
    bool failed = false;
    const VerifyErrorBits bits = _check_value(app, e);
    if (bits != 0) {
        report_element(app, e, bits);
        failed = (bits & VERIFY_UNKNOWN_VR) == 0;
    }
    for (DicomElement *c = e->first_child; c; c = c->next)
        failed = _verify_element(app, c) || failed;
    return failed;
}

/* A sequence or item of defined length is kept as its raw bytes, without
 * children: what lies inside it was never parsed, so nothing inside can be
 * found missing. */
bool holds_raw_content(const DicomElement *e) {
    return e && !e->first_child && e->value && e->length != 0 && e->length != 0xFFFFFFFFu;
}

/* Empty by content, whatever the encoding: length 0, or an undefined
 * length that closes on nothing but its delimiter (a sequence without
 * items). */
bool holds_nothing(const DicomElement *e) {
    if (e->length == 0)
        return true;
    if (e->length != 0xFFFFFFFFu)
        return false;
    for (const DicomElement *c = e->first_child; c; c = c->next) {
        const uint32_t key = element_key(c);
        if (key != TAG_KEY_ITEM_DELIM && key != TAG_KEY_SEQ_DELIM)
            return false;
    }
    return true;
}

VerifyErrorBits _check_attr_type(AppData *app, const AttrDef *a) {
    const DicomElement *e = a->element;
    if (strcmp(a->type, "1") == 0) {
        if (!e)
            return VERIFY_TYPE1_MISSING;
        if (holds_nothing(e) || _holds_padding_only(app, e))
            return VERIFY_TYPE1_EMPTY;
    } else if (strcmp(a->type, "2") == 0) {
        if (!e)
            return VERIFY_TYPE2_MISSING;
    }
    return e ? _check_value(app, e) : 0;
}

/* Checks one attribute definition; true when it has findings. */
bool check_and_report(AppData *app, const AttrDef *a, bool conditional) {
    const VerifyErrorBits bits = _check_attr_type(app, a);
    if (bits == 0)
        return false;
    _report_element_errors(a->tag, a->name, ValueText(app, a->element).text, bits, conditional);
    return true;
}

void _verify_sq_attrs(AppData *app, const AttrDef *a, bool conditional);

/* Lets a bound copy of an Item definition go when it goes out of scope. */
struct ItemCopy {
    AttrDef *def;
    ~ItemCopy() { _let_go_item_copy(def); }
};

void verify_item_attrs(AppData *app, const AttrDef *item, bool conditional) {
    for (const AttrDef *x = item->first_child; x; x = x->next) {
        check_and_report(app, x, conditional);
        _verify_sq_attrs(app, x, conditional);
    }
}

/* The attribute definitions inside the Item definitions of a, at every
 * depth.  Their findings do not change a module's result.  Only Item
 * definitions paired with an item of the file are looked into: the types
 * inside an item bind only where the item exists, so an absent or empty
 * sequence has nothing missing inside it.  A deferred Item definition is
 * checked through a bound copy of its own, let go at once, so that the
 * items of a long sequence are checked one at a time. */
void _verify_sq_attrs(AppData *app, const AttrDef *a, bool conditional) {
    if (holds_raw_content(a->element))
        return;
    for (const AttrDef *item = a->first_child; item; item = item->next) {
        if (!item->element || holds_raw_content(item->element))
            continue;
        if (!(item->flags & ATTR_FLAG_ITEM_DEFERRED)) {
            verify_item_attrs(app, item, conditional);
        } else {
            const ItemCopy copy{_bind_item_copy(app, item)};
            if (copy.def)
                verify_item_attrs(app, copy.def, conditional);
        }
    }
}

/* True when a finding outside a conditional module makes the module fail. */
bool _verify_module_attrs(AppData *app, const ModuleDef *m, bool conditional) {
    bool failed = false;
    for (const AttrDef *a = m->first; a; a = a->next) {
        if (check_and_report(app, a, conditional) && !conditional)
            failed = true;
        _verify_sq_attrs(app, a, conditional);
    }
    return failed;
}

/* A deferred Item definition would bind an element of its item exactly
 * where the binding left that element's bound flag. */
bool deferred_item_has_binding(const AttrDef *item) {
    for (const DicomElement *c = item->element ? item->element->first_child : nullptr; c;
         c = c->next)
        if (c->flags & DE_FLAG_BOUND)
            return true;
    return false;
}

/* True when some attribute definition inside the Item definitions of a,
 * at any depth, is bound. */
bool sq_has_binding(const AttrDef *a) {
    for (const AttrDef *item = a->first_child; item; item = item->next) {
        if (item->flags & ATTR_FLAG_ITEM_DEFERRED) {
            if (deferred_item_has_binding(item))
                return true;
            continue;
        }
        for (const AttrDef *x = item->first_child; x; x = x->next)
            if (x->element || sq_has_binding(x))
                return true;
    }
    return false;
}

/* Modules of usage neither C nor U are checked whatever the object holds.
 * A conditional module does not count: its condition is not known here,
 * so an attribute it shares tells nothing for sure. */
bool is_mandatory(const ModuleDef *m) {
    return m->usage[0] != 'C' && m->usage[0] != 'U';
}

/* The tags of the top-level attribute definitions of the mandatory modules. */
std::set<uint32_t> mandatory_tags(const ABCDef *abc) {
    std::set<uint32_t> tags;
    for (const ModuleDef *m = abc->first; m; m = m->next)
        if (is_mandatory(m))
            for (const AttrDef *a = m->first; a; a = a->next)
                tags.insert(a->tag);
    return tags;
}

/* A module is empty unless an attribute of its own is bound: one that no
 * mandatory module holds as well.  Number of Frames or Instance Number,
 * say, stand in optional modules too, and the object holds them for the
 * mandatory ones.  Tags compare at the top level: what lies inside a
 * sequence is bound only through the sequence, and the items of a sequence
 * that a mandatory module holds are that module's. */
bool _is_module_empty(const ModuleDef *m, const std::set<uint32_t> &mandatory) {
    for (const AttrDef *a = m->first; a; a = a->next)
        if ((a->element || sq_has_binding(a)) && !mandatory.count(a->tag))
            return false;
    return true;
}

bool is_catch_all(const ModuleDef *m) {
    return m->reference && strcmp(m->reference, CATCH_ALL_MODULE_REF) == 0;
}

} // namespace

int16_t VerifyObjectByTag(AppData *app, DicomObject *obj) {
    if (!obj || !obj->root)
        return 0;
    bool failed = false;
    for (DicomElement *e = obj->root->first_child; e; e = e->next)
        failed = _verify_element(app, e) || failed;
    return failed ? 1 : 0;
}

int16_t VerifyObjectByModule(AppData *app, DefHolder *defs) {
    if (!defs || !defs->abc)
        return 2;
    const ABCDef *abc = defs->abc;
    log_formatted(-1, "%s", abc->title ? abc->title : "");
    const std::set<uint32_t> mandatory = mandatory_tags(abc);
    bool failed = false;
    for (const ModuleDef *m = abc->first; m; m = m->next) {
        const char *title = m->title ? m->title : "";
        const bool conditional = m->usage[0] == 'C';
        log_message("", -3);
        if (conditional)
            log_formatted(-1, "Checking %s Module -- Type = C", title);
        else
            log_formatted(-1, "Checking %s Module", title);
        if (is_catch_all(m))
            continue;
        if (m->usage[0] == 'U' && _is_module_empty(m, mandatory))
            continue;
        if (_verify_module_attrs(app, m, conditional))
            failed = true;
    }
    return failed ? 1 : 0;
}

int16_t isSQEmpty(AttrDef *sq) {
    return sq && sq_has_binding(sq) ? 0 : 1;
}
