/*
 * tables.cpp -- the browser's tables: what each shows, what choosing a row
 * opens, the walk through the items of a sequence and the value screen
 * (see tables.h).
 *
 * The tables nest on the call stack: the module table, one attribute
 * table, then item tables and sequence walks as deep as the sequences
 * nest.  Each keeps its page start while it is entered, so it comes back
 * on the page of the row that was opened.
 */
#include "tables.h"

#include <stdarg.h>
#include <string.h>

#include <utility>

#include "display.h"

namespace {

const int kLineSize = 88;  /* a title, a row */
const int kValueLine = 81; /* the value line, terminating zero included */

/* A sequence or item that the library keeps as the bytes read (one of
 * defined length) rather than as elements: none of its items can be shown. */
bool kept_as_stored(const DicomElement *e) {
    return e != nullptr && e->content_ts != 0 && e->value != nullptr && e->first_child == nullptr;
}

const char *text_of(const char *text) {
    return text ? text : "";
}

std::string format_line(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string format_line(const char *format, ...) {
    char line[kLineSize];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    return line;
}

struct TableText {
    std::string title;
    std::vector<std::string> rows;
};

/* The loop every table runs: compose, page, open the chosen entry.  A table
 * that does not show a sequence item (steps_items false) takes "ni" and
 * "pi" as a wish to see itself again. */
template <typename Compose, typename Open>
NavigationCode run_table(Browser &b, bool steps_items, Compose compose, Open open) {
    int page_start = 0;
    NavigationCode r;
    do {
        TableText t = compose();
        const int count = (int)t.rows.size();
        int chosen = 0;
        r = page_table(b.con, t.title, std::move(t.rows), page_start, b.page_size, &chosen);
        if (r == NAV_ROW) {
            if (chosen < 0 || chosen >= count) {
                r = NAV_SHOW_AGAIN; /* a table without rows: nothing to open */
                continue;
            }
            page_start = chosen / b.page_size * b.page_size;
            r = open(chosen);
        } else if (!steps_items && (r == NAV_NEXT_ITEM || r == NAV_PREV_ITEM)) {
            r = NAV_SHOW_AGAIN;
        }
    } while (r == NAV_SHOW_AGAIN || r == NAV_ROW);
    return r == NAV_BACK ? NAV_SHOW_AGAIN : r;
}

std::vector<AttrDef *> children(AttrDef *first) {
    std::vector<AttrDef *> list;
    for (AttrDef *a = first; a; a = a->next)
        list.push_back(a);
    return list;
}

std::string attribute_row(Browser &b, const AttrDef *a) {
    int vr = -1;
    const char *vrname = nullptr;
    getVRtext(b.app, a->tag, &vr, &vrname);
    return format_line("%c %08lX %-28.28s %-2.2s %-2.2s %-28.28s", a->element ? '*' : ' ',
                       (unsigned long)a->tag, text_of(a->name), text_of(vrname), a->type,
                       text_of(a->text));
}

/* The table of a list of attribute definitions under the given title. */
NavigationCode attribute_list_table(Browser &b, const std::string &title, AttrDef *first,
                                    bool steps_items) {
    auto compose = [&]() {
        TableText t{title, {}};
        for (AttrDef *a : children(first))
            t.rows.push_back(attribute_row(b, a));
        return t;
    };
    auto open = [&](int index) -> NavigationCode {
        AttrDef *a = children(first)[(size_t)index];
        int vr = -1;
        getVR(b.app, a->tag, &vr);
        if (vr == VR_SQ)
            return open_sequence(b, a);
        show_value(b, a->element);
        return NAV_SHOW_AGAIN;
    };
    return run_table(b, steps_items, compose, open);
}

void append_piece(char *line, const char *format, ...) __attribute__((format(printf, 2, 3)));
void append_piece(char *line, const char *format, ...) {
    size_t len = strlen(line);
    if (len + 1 >= (size_t)kValueLine)
        return;
    va_list args;
    va_start(args, format);
    vsnprintf(line + len, (size_t)kValueLine - len, format, args);
    va_end(args);
}

} // namespace

NavigationCode browse(Browser &b, ABCDef *abc) {
    for (;;) {
        if (show_module_table(b, abc) == NAV_QUIT)
            break;
        if (confirm_quit(b.con) == NAV_QUIT)
            break;
    }
    return NAV_SHOW_AGAIN;
}

NavigationCode show_module_table(Browser &b, ABCDef *abc) {
    auto modules = [abc]() {
        std::vector<ModuleDef *> list;
        for (ModuleDef *m = abc ? abc->first : nullptr; m; m = m->next)
            list.push_back(m);
        return list;
    };
    auto compose = [&]() {
        TableText t;
        t.title = format_line("\n%-16.16s %-40.40s\n", text_of(abc ? abc->name : nullptr),
                              text_of(abc ? abc->title : nullptr));
        for (ModuleDef *m : modules())
            t.rows.push_back(format_line("%-16.16s %-25.25s %-1.1s %-25.25s", text_of(m->reference),
                                         text_of(m->title), m->usage, text_of(m->text)));
        return t;
    };
    auto open = [&](int index) { return show_attribute_table(b, modules()[(size_t)index]); };
    return run_table(b, false, compose, open);
}

NavigationCode show_attribute_table(Browser &b, ModuleDef *module) {
    std::string title =
        format_line("\n%-16.16s %-40.40s\n", text_of(module->reference), text_of(module->title));
    return attribute_list_table(b, title, module->first, false);
}

NavigationCode show_item_table(Browser &b, AttrDef *item, int position) {
    /* The item of a long sequence gets its attributes while it is shown
     * (short of memory it shows none), so that stepping through all its
     * items holds those of one at a time. */
    const bool deferred = (item->flags & ATTR_FLAG_ITEM_DEFERRED) != 0;
    BindItemDef(b.app, item);
    const AttrDef *sequence =
        item->owner_kind == ATTR_OWNER_ATTR ? static_cast<const AttrDef *>(item->owner) : nullptr;
    std::string title =
        format_line("\n%08lX %.40s / Item %d\n", (unsigned long)(sequence ? sequence->tag : 0),
                    text_of(sequence ? sequence->name : nullptr), position);
    const NavigationCode r = attribute_list_table(b, title, item->first_child, true);
    if (deferred)
        ReleaseItemDef(item);
    return r;
}

NavigationCode open_sequence(Browser &b, AttrDef *sequence) {
    if (kept_as_stored(sequence->element)) {
        /* no element of its items is known, so there is no item to show */
        const int32_t n = DOU_storedItemCount(sequence->element);
        fprintf(b.con.out, "This sequence has %d item%s.\n", (int)n, n > 1 ? "s" : "");
        fputs(n != 1 ? "Its items are kept as stored and cannot be opened.\n"
                     : "Its item is kept as stored and cannot be opened.\n",
              b.con.out);
        return NAV_SHOW_AGAIN;
    }
    std::vector<AttrDef *> items = children(sequence->first_child);
    const int n = (int)items.size();
    fprintf(b.con.out, "This sequence has %d item%s.\n", n, n > 1 ? "s" : "");
    if (n == 0)
        return NAV_SHOW_AGAIN;

    int k = 0;
    if (n > 1) {
        fputs("Which item to open?\n", b.con.out);
        long number = 0;
        if (read_console_line(b.con, b.con.line, sizeof b.con.line) &&
            leading_number(b.con.line, &number) && number >= 1 && number <= n)
            k = (int)number - 1;
    }
    NavigationCode r;
    do {
        if (kept_as_stored(items[(size_t)k]->element)) {
            fprintf(b.con.out, "Item %d is kept as stored and cannot be opened.\n", k + 1);
            return NAV_SHOW_AGAIN;
        }
        r = show_item_table(b, items[(size_t)k], k + 1);
        if (r == NAV_NEXT_ITEM)
            k = k + 1 == n ? 0 : k + 1;
        else if (r == NAV_PREV_ITEM)
            k = k == 0 ? n - 1 : k - 1;
    } while (r == NAV_NEXT_ITEM || r == NAV_PREV_ITEM);
    return r;
}

void show_value(Browser &b, DicomElement *e) {
    if (!e) {
        fputs("\nno value is present\n", b.con.out);
    } else {
        char line[kLineSize] = "";
        int vr = -1;
        const char *vrname = nullptr;
        getVRtext(b.app, ((uint32_t)e->group << 16) | e->element, &vr, &vrname);
        shown_vr(e, &vr, &vrname);
        append_piece(line, "(%04hx,%04hx) %-2.2s", e->group, e->element, text_of(vrname));
        append_piece(line, "%s", length_column(shown_length(e)).c_str());
        print_element_value(b.app, e, line, kValueLine);
        blank_control_characters(line); /* a text's line ends, as in the rows */
        fprintf(b.con.out, "\n%s\n", line);
    }
    fputs("\nPress <Enter> key to continue\n", b.con.out);
    read_console_line(b.con, b.con.line, sizeof b.con.line);
}
