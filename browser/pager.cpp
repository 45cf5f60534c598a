/*
 * pager.cpp -- shows one page of a browser table, reads the command line
 * and pages, helps and asks before quitting itself; everything else goes
 * back to the table as a NavigationCode (see pager.h).
 *
 * Paging moves by the number of rows the current page shows, so forward
 * from the last page wraps to the first and backward from a partly filled
 * last page lands where that page's rows begin minus their count.  A
 * declined quit question writes the page again, as the help does, so that
 * the table stays on the page it was on.
 */
#include "pager.h"

#include <stdlib.h>
#include <string.h>

namespace {

const char kHelpText[] =
    "<num>\tselects the row prefixed with <num> (displays the connected table)\n"
    "<enter>\tselects the first row (displays the connected table)\n"
    "n, np\tdisplays next page of the current table\n"
    "<space>\tdisplays next page of the current table\n"
    "p, pp\tdisplays previous page of current table\n"
    "ni\tdisplays the contents of the next item of the current sequence\n"
    "pi\tdisplays the contents of the previous item of the current sequence\n"
    "b, u\tdisplays previous table (back/up from the current sequence)\n"
    "q\tquits the browser (asks for confirmation)\n"
    "q!\tquits the browser without asking\n"
    "h, ?\tdisplays this help page\n"
    "\nPress <Enter> key to continue\n";

const size_t kCommandSize = 84;

/* Writes the page and returns the number of rows it shows. */
int write_page(Console &con, const std::string &title, std::vector<std::string> &rows,
               int page_start, int page_size) {
    fprintf(con.out, "\n%s\n", title.c_str());
    const int count = (int)rows.size();
    int shown = 0;
    for (; shown < page_size && page_start + shown < count; ++shown) {
        std::string &row = rows[(size_t)(page_start + shown)];
        blank_control_characters(&row[0]);
        fprintf(con.out, "%2d.  %s\n", shown + 1, row.c_str());
    }
    return shown;
}

/* The state a command line (neither a row number nor empty) leads to. */
NavigationCode command_state(Console &con, char first, char second) {
    const bool item = second == 'i' || second == 'I';
    switch (first) {
    case '\r':
    case '\n': return NAV_ROW;
    case 27: /* ESC */
    case 'b':
    case 'B':
    case 'u':
    case 'U':
    case '`': return NAV_BACK;
    case ' ': return NAV_NEXT_PAGE;
    case 'n':
    case 'N': return item ? NAV_NEXT_ITEM : NAV_NEXT_PAGE;
    case 'p':
    case 'P': return item ? NAV_PREV_ITEM : NAV_PREV_PAGE;
    case 'q':
    case 'Q': return second == '!' ? NAV_QUIT : confirm_quit(con);
    case 'h':
    case 'H':
    case '?': return NAV_HELP;
    default: return NAV_UNKNOWN;
    }
}

} // namespace

void blank_control_characters(char *text) {
    for (unsigned char *p = (unsigned char *)text; *p; ++p)
        if (*p < 0x20 || *p == 0x7F)
            *p = ' ';
}

bool leading_number(const char *text, long *value) {
    char *end = nullptr;
    long v = strtol(text, &end, 10);
    if (end == text)
        return false;
    *value = v;
    return true;
}

bool read_console_line(Console &con, char *buf, size_t size) {
    fflush(con.out);
    size_t n = 0;
    int c;
    bool any = false;
    while ((c = getc(con.in)) != EOF) {
        any = true;
        if (c == '\n')
            break;
        if (n + 1 < size)
            buf[n++] = (char)c;
    }
    if (size > 0)
        buf[n] = '\0';
    if (!any) {
        /* Close the line the prompt stands on, as the echo of a typed
         * line would. */
        con.ended = true;
        fputs("\n", con.out);
        fflush(con.out);
        return false;
    }
    return true;
}

void show_help(Console &con) {
    fputs(kHelpText, con.out);
    read_console_line(con, con.line, sizeof con.line);
}

NavigationCode confirm_quit(Console &con) {
    if (con.ended)
        return NAV_QUIT;
    fputs("Do you really want to quit? ", con.out);
    if (!read_console_line(con, con.line, sizeof con.line))
        return NAV_QUIT;
    return con.line[0] == 'y' || con.line[0] == 'Y' ? NAV_QUIT : NAV_SHOW_AGAIN;
}

NavigationCode page_table(Console &con, const std::string &title, std::vector<std::string> rows,
                          int page_start, int page_size, int *chosen) {
    const int count = (int)rows.size();
    NavigationCode state = NAV_SHOW_AGAIN;
    int shown = 0;
    char command[kCommandSize];
    if (con.ended)
        return NAV_QUIT;
    do {
        if (state != NAV_UNKNOWN) {
            if (page_start >= count || page_start < 0)
                page_start = 0;
            shown = write_page(con, title, rows, page_start, page_size);
        }
        fprintf(con.out, "\n%s> ", con.program);
        if (!read_console_line(con, command, sizeof command))
            return NAV_QUIT;

        long number = 0;
        if (leading_number(command, &number) && number > 0 && number <= shown) {
            *chosen = page_start + (int)number - 1;
            return NAV_ROW;
        }
        if (command[0] == '\0') {
            *chosen = page_start;
            return NAV_ROW;
        }
        state = command_state(con, command[0], command[1]);
        switch (state) {
        case NAV_ROW: *chosen = page_start; break;
        case NAV_NEXT_PAGE: page_start += shown; break;
        case NAV_PREV_PAGE: page_start -= shown; break;
        case NAV_HELP:
            show_help(con);
            if (con.ended)
                return NAV_QUIT;
            break;
        case NAV_UNKNOWN:
            fprintf(con.out, "Unknown command: %c\n", command[0]);
            fputs("Type h for help on valid commands.\n", con.out);
            break;
        default: break;
        }
        /* NAV_SHOW_AGAIN: the quit question declined; the page again */
    } while (state == NAV_SHOW_AGAIN || state == NAV_NEXT_PAGE || state == NAV_PREV_PAGE ||
             state == NAV_HELP || state == NAV_UNKNOWN);
    return state;
}
