/*
 * console_util.h -- shared by the browser tests: a Console fed from a
 * scripted input and writing into a string, and the pieces of the screens
 * the pager writes.
 */
#ifndef BROWSER_CONSOLE_UTIL_H
#define BROWSER_CONSOLE_UTIL_H

#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "pager.h"

namespace browsertest {

/* A console reading the given script and capturing what is written. */
class ScriptedConsole {
public:
    explicit ScriptedConsole(const std::string &script) {
        con.in = tmpfile();
        fwrite(script.data(), 1, script.size(), con.in);
        rewind(con.in);
        con.out = open_memstream(&buf_, &len_);
        snprintf(con.program, sizeof con.program, "tagwalk");
    }
    ~ScriptedConsole() {
        fclose(con.in);
        fclose(con.out);
        free(buf_);
    }
    ScriptedConsole(const ScriptedConsole &) = delete;
    ScriptedConsole &operator=(const ScriptedConsole &) = delete;

    std::string screen() {
        fflush(con.out);
        return std::string(buf_, len_);
    }
    /* What of the script is left unread. */
    std::string unread() {
        std::string rest;
        int c;
        while ((c = getc(con.in)) != EOF)
            rest += (char)c;
        return rest;
    }

    Console con;

private:
    char *buf_ = nullptr;
    size_t len_ = 0;
};

const std::string kPrompt = "\ntagwalk> ";

inline std::string Unknown(char c) {
    return std::string("Unknown command: ") + c + "\nType h for help on valid commands.\n";
}

/* The page the pager writes: its title, then rows[first..first+n-1]
 * numbered from 1. */
inline std::string Page(const std::string &title, const std::vector<std::string> &rows, int first,
                        int n) {
    std::string s = "\n" + title + "\n";
    for (int i = 0; i < n; ++i) {
        char num[16];
        snprintf(num, sizeof num, "%2d.  ", i + 1);
        s += num + rows[(size_t)(first + i)] + "\n";
    }
    return s;
}

} // namespace browsertest

#endif
