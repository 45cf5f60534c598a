/*
 * uidgen.cpp -- new UIDs for an object: a site root from "base.uid" (or
 * given), then optionally the local date and time, the series number and
 * the instance number, joined by ".".
 *
 * Every UID handed out is a valid one: components of digits without a
 * leading zero, at most 64 characters.  The root line is taken without
 * the blanks around it; series and instance numbers are written as plain
 * numbers ("+5" and "007" give 5 and 7).  What cannot be made valid
 * without changing what the UID stands for is refused with -1 and an empty
 * buffer, never cut or mended: a UID longer than 64 characters, an empty
 * component, a root or date-time component with a leading zero or other
 * characters than digits, a negative or non-integer series or instance
 * number (one holding a "." would shift the components after it).
 */
#include "uidgen_int.h"

#include <stdio.h>
#include <string.h>
#include <time.h>

#include <new>
#include <string>

#include "object_int.h"
#include "owners_int.h"
#include "platform.h"

namespace {

const char kRootFile[] = "base.uid";
/* getfileenv's result buffer */
const int kPathBuf = 512;

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

/* The first line of the root file without its newline, the blanks around
 * it and one trailing "."; false when the file is missing, unreadable or
 * empty, or its first line is longer than any UID. */
bool read_root_file(std::string *root) {
    char path[kPathBuf];
    getfileenv("QUENOR_DEF_PATH", kRootFile, path, kPathBuf);
    if (path[0] == '\0')
        return false;
    FileOwner f(plat_fopen_text(path));
    if (!f)
        return false;
    root->clear();
    int c = getc(f.get());
    const bool empty = c == EOF;
    while (c != EOF && c != '\n' && root->size() <= UID_MAX_LENGTH) {
        if (!root->empty() || !is_blank((char)c))
            root->push_back((char)c);
        c = getc(f.get());
    }
    while (c != EOF && c != '\n' && is_blank((char)c))
        c = getc(f.get()); /* blanks after a root of full length */
    while (!root->empty() && is_blank(root->back()))
        root->pop_back();
    if (empty || root->size() > UID_MAX_LENGTH || (c != EOF && c != '\n'))
        return false;
    if (!root->empty() && root->back() == '.')
        root->pop_back();
    return true;
}

std::string local_datetime() {
    time_t now = time(nullptr);
    struct tm t;
    localtime_r(&now, &t);
    char text[32];
    snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d", t.tm_year + 1900, t.tm_mon + 1,
             t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    return text;
}

/* The first blank-separated word of a top-level element's value, "1" when
 * it has none; false when the object lacks the element. */
bool element_word(AppData *app, DicomObject *obj, uint16_t group, uint16_t element,
                  std::string *word) {
    ElementRecord number(app, group, element);
    if (!number.search(obj))
        return false;
    const char *text = static_cast<const char *>(number.rec.value);
    const uint32_t length = number.rec.length;
    uint32_t at = 0;
    while (text && at < length && text[at] == ' ')
        at++;
    uint32_t end = at;
    while (text && end < length && text[end] != ' ' && text[end] != '\0')
        end++;
    *word = end > at ? std::string(text + at, end - at) : "1";
    return true;
}

/* A series or instance number as a UID component: an optional "+", then
 * digits, written without leading zeros; false for anything else. */
bool plain_number(const std::string &text, std::string *number) {
    size_t at = text.size() > 1 && text[0] == '+' ? 1 : 0;
    if (text.find_first_not_of("0123456789", at) != std::string::npos || at == text.size())
        return false;
    const size_t first = text.find_first_not_of('0', at);
    *number = first == std::string::npos ? "0" : text.substr(first);
    return true;
}

/* Components of digits, none empty or with a leading zero, 64 characters
 * at most. */
bool valid_uid(const std::string &uid) {
    if (uid.empty() || uid.size() > UID_MAX_LENGTH)
        return false;
    size_t start = 0;
    for (;;) {
        size_t end = uid.find('.', start);
        if (end == std::string::npos)
            end = uid.size();
        if (end == start || (uid[start] == '0' && end - start > 1))
            return false;
        if (uid.find_first_not_of("0123456789", start) < end)
            return false;
        if (end == uid.size())
            return true;
        start = end + 1;
    }
}

/* Copies text into the caller's 65-byte buffer when it fits. */
void store(const std::string &text, char *uid) {
    if (text.size() <= UID_MAX_LENGTH)
        memcpy(uid, text.c_str(), text.size() + 1);
}

/* genuid_ex after its checks: uid is zeroed already. */
int16_t compose_uid(AppData *app, DicomObject *obj, int16_t flags, char *uid, const char *root,
                    const char *datetime, const char *series, const char *instance) {
    std::string text;
    if (root)
        text = root;
    else if (!read_root_file(&text))
        return -1;

    if (flags & UID_DATETIME)
        text += "." + (datetime ? std::string(datetime) : local_datetime());
    const struct {
        int16_t flag;
        uint16_t element;
        const char *given;
    } numbers[] = {{UID_SERIES, 0x0011, series}, {UID_INSTANCE, 0x0013, instance}};
    for (const auto &n : numbers) {
        if (!(flags & n.flag))
            continue;
        std::string word, number;
        if (n.given) {
            word = n.given;
        } else if (!element_word(app, obj, 0x0020, n.element, &word)) {
            store(text, uid); /* what was composed so far */
            return -1;
        }
        if (!plain_number(word, &number))
            return -1;
        text += "." + number;
    }

    if (!valid_uid(text))
        return -1;
    store(text, uid);
    return 0;
}

} // namespace

extern "C" {

/* The UID is composed in std::string: memory running out fails with -1
 * and an empty uid. */
int16_t genuid_ex(AppData *app, DicomObject *obj, int16_t flags, char *uid, const char *root,
                  const char *datetime, const char *series, const char *instance) {
    if (!uid)
        return -1;
    memset(uid, 0, UID_MAX_LENGTH + 1);
    try {
        return compose_uid(app, obj, flags, uid, root, datetime, series, instance);
    } catch (const std::bad_alloc &) {
        memset(uid, 0, UID_MAX_LENGTH + 1);
        return -1;
    }
}

int16_t genuid(AppData *app, DicomObject *obj, int16_t flags, char *uid) {
    return genuid_ex(app, obj, flags, uid, nullptr, nullptr, nullptr, nullptr);
}

} // extern "C"
