/*
 * pager.h -- the one pager every browser table goes through: one page of a
 * titled table of numbered rows, a command line read from the console,
 * paging, the command help and the quit question.  What the user asked for
 * goes back to the calling table as a NavigationCode.
 */
#ifndef BROWSER_PAGER_H
#define BROWSER_PAGER_H

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

typedef int16_t NavigationCode;

constexpr NavigationCode NAV_UNKNOWN = -1;   /* unknown command (the pager's own) */
constexpr NavigationCode NAV_SHOW_AGAIN = 0; /* show the current table again */
constexpr NavigationCode NAV_ROW = 1;        /* a row was chosen */
constexpr NavigationCode NAV_BACK = 6;       /* leave the current table */
constexpr NavigationCode NAV_NEXT_PAGE = 7;  /* the pager's own */
constexpr NavigationCode NAV_PREV_PAGE = 8;  /* the pager's own */
constexpr NavigationCode NAV_NEXT_ITEM = 9;  /* next item of the current sequence */
constexpr NavigationCode NAV_PREV_ITEM = 10; /* previous item of the current sequence */
constexpr NavigationCode NAV_QUIT = 12;      /* end the browsing */
constexpr NavigationCode NAV_HELP = 13;      /* the pager's own */

/* The console the browser talks to. */
struct Console {
    FILE *in = stdin;
    FILE *out = stdout;
    char program[84] = ""; /* the name in the prompt */
    char line[88] = "";    /* answers to the pauses and questions */
    bool ended = false;    /* the input has ended: every question is answered "quit" */
};

/* Turns every control character of text (line ends, tabs, escapes, DEL)
 * into a blank: rows and values are written as one screen line each, and
 * nothing they hold may move the cursor or drive the terminal. */
void blank_control_characters(char *text);

/* Reads one whole line from the console, without its line end, keeping
 * its first size - 1 characters; the rest of the line is dropped.  At the
 * end of the input: false, an empty buffer, and con.ended set. */
bool read_console_line(Console &con, char *buf, size_t size);

/* A leading decimal number (blanks, a sign, digits); false when the text
 * starts with none.  Values beyond the range of long come back as
 * LONG_MIN or LONG_MAX, so that a number out of any range stays out. */
bool leading_number(const char *text, long *value);

/* Shows the page of the table that starts at page_start (page_size rows)
 * and acts on commands until one is for the caller: NAV_ROW (*chosen is
 * then the row's index in the whole table), NAV_BACK, NAV_NEXT_ITEM,
 * NAV_PREV_ITEM or NAV_QUIT.  A declined quit question shows the same page
 * again.  The end of the input is NAV_QUIT. */
NavigationCode page_table(Console &con, const std::string &title, std::vector<std::string> rows,
                          int page_start, int page_size, int *chosen);

/* The command help, then a pause for one line. */
void show_help(Console &con);

/* "Do you really want to quit? ": NAV_QUIT for an answer beginning with
 * y or Y (or no answer at all: the input ended), else NAV_SHOW_AGAIN. */
NavigationCode confirm_quit(Console &con);

#endif /* BROWSER_PAGER_H */
