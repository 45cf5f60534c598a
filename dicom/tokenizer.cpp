/*
 * tokenizer.cpp -- the token readers shared by every definition-file loader.
 *
 * A PDBuffer holds one piece of the input (at most 256 characters, read
 * with fgets, line end included) and the position in it.  Each reader looks
 * at one kind of token and answers 1 (read), 0 (not there) or -1 (end of
 * file); the loaders decide what that means.  Scanning is done by hand in
 * the fixed arrays of the buffer with the results that the scanf
 * conversions "%[set]", "%N[^\"]", "%hd" and "0x%lx" would give: nothing is
 * allocated per token and nothing is written past an array.
 */
#include <ctype.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "medcore.h"

namespace {

/* One piece is read with a count of 257: at most 256 characters. */
const int kPieceRead = 257;

/* Characters one "%[...]" scan may store: the scratch less its NUL. */
const int kScanMax = (int)sizeof(((PDBuffer *)nullptr)->scan) - 1;

/* Membership of the 256 byte values in a scanf scan set such as
 * "[ \t\n\r]" or "[^\n\r]": optional '^', a ']' right after '[' or '^'
 * is a member, "a-z" is a range. */
struct ScanSet {
    bool member[256] = {};

    explicit ScanSet(const char *text) {
        const unsigned char *p = reinterpret_cast<const unsigned char *>(text ? text : "");
        if (*p == '[')
            p++;
        bool negate = false;
        if (*p == '^') {
            negate = true;
            p++;
        }
        const unsigned char *first = p;
        for (; *p && (*p != ']' || p == first); p++) {
            if (p[1] == '-' && p[2] && p[2] != ']' && p[2] >= p[0]) {
                for (int c = p[0]; c <= p[2]; c++)
                    member[c] = true;
                p += 2;
            } else {
                member[*p] = true;
            }
        }
        if (negate)
            for (bool &m : member)
                m = !m;
        member[0] = false; /* the end of the piece is never part of a token */
    }

    bool has(char c) const { return member[(unsigned char)c]; }
};

/* A NUL at pos means the piece is used up: read the next one.  false at
 * the end of the file, and for no buffer or a buffer without a stream
 * (there is nothing to read).  Bytes after a NUL byte inside a line are
 * lost with the piece, as fgets gives no length. */
bool refill(PDBuffer *buf) {
    if (!buf)
        return false;
    if (buf->line[buf->pos] != '\0')
        return true;
    if (!buf->file || fgets(buf->line, kPieceRead, buf->file) == nullptr) {
        buf->line[0] = '\0';
        buf->pos = 0;
        return false;
    }
    buf->pos = 0;
    return true;
}

char *rest(PDBuffer *buf) {
    return buf->line + buf->pos;
}

void discard_piece(PDBuffer *buf) {
    buf->line[0] = '\0';
    buf->pos = 0;
}

/* White space as the scanf conversions skip it. */
bool is_scan_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

/* Outcome of scanning one number at the start of a text. */
struct NumberScan {
    int result; /* 1 read, 0 no number there, -1 text ended before any digit */
    int used;   /* characters consumed, leading white space included */
    bool negative;
    uint64_t magnitude; /* saturated at kOverLimit */
};

/* One past the largest 32-bit magnitude: marks a number that overflowed. */
const uint64_t kOverLimit = 0x100000000ull;

/* The common part of "%hd" and "%lx": white space, optional sign, for base
 * 16 an optional "0x"/"0X" when a hex digit follows, then digits. */
NumberScan scan_number(const char *s, int base) {
    NumberScan n{0, 0, false, 0};
    int i = 0;
    while (is_scan_space(s[i]))
        i++;
    if (s[i] == '\0') {
        n.result = -1;
        return n;
    }
    if (s[i] == '+' || s[i] == '-')
        n.negative = s[i++] == '-';
    if (base == 16 && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X') &&
        hex_digit(s[i + 2]) >= 0)
        i += 2;
    int digits = 0;
    for (int d; (d = hex_digit(s[i])) >= 0 && d < base; i++, digits++)
        n.magnitude = std::min(kOverLimit, n.magnitude * (uint64_t)base + (uint64_t)d);
    if (digits == 0)
        return n;
    n.result = 1;
    n.used = i;
    return n;
}

/* Stores up to 'room' characters of the rest of the piece that are not a
 * double quote at out; returns how many. */
int copy_string_run(PDBuffer *buf, char *out, int room) {
    const char *s = rest(buf);
    int n = 0;
    while (n < room && s[n] != '\0' && s[n] != '"')
        n++;
    memcpy(out, s, (size_t)n);
    out[n] = '\0';
    buf->pos += n;
    return n;
}

/* Skips the characters of the set across pieces: 0 on another character,
 * -1 at the end of the file. */
int16_t skip_members(PDBuffer *buf, const ScanSet &members) {
    for (;;) {
        if (!refill(buf))
            return -1;
        const char *s = rest(buf);
        int n = 0;
        while (members.has(s[n]))
            n++;
        if (n == 0)
            return 0;
        /* A piece holds at most 256 characters, so the scratch always fits. */
        const int kept = n < kScanMax ? n : kScanMax;
        memcpy(buf->scan, s, (size_t)kept);
        buf->scan[kept] = '\0';
        buf->pos += n;
    }
}

/* The sets the comment skipper uses on every token, built once. */
const ScanSet kBlanks("[ \t\n\r]");
const ScanSet kNotLineEnd("[^\n\r]");
const ScanSet kLineEnd("[\n\r]");

} // namespace

extern "C" {

PDBuffer *pd_init_buffer(FILE *file) {
    PDBuffer *buf = static_cast<PDBuffer *>(calloc(1, sizeof(PDBuffer)));
    if (buf != nullptr)
        buf->file = file;
    return buf;
}

void pd_done_buffer(PDBuffer **buf) {
    if (buf == nullptr || *buf == nullptr)
        return;
    free(*buf);
    *buf = nullptr;
}

int16_t pd_skip_expr(PDBuffer *buf, const char *set) {
    return skip_members(buf, ScanSet(set));
}

int16_t pd_peek_one_char(PDBuffer *buf) {
    if (!refill(buf))
        return -1;
    return (unsigned char)buf->line[buf->pos];
}

int16_t pd_match_one_char(PDBuffer *buf, int16_t c) {
    if (!refill(buf))
        return -1;
    const unsigned char next = (unsigned char)buf->line[buf->pos];
    if (next != (unsigned char)c)
        return next;
    buf->pos++;
    return c;
}

int16_t pd_skip_comment(PDBuffer *buf) {
    for (;;) {
        if (skip_members(buf, kBlanks) == -1)
            return -1;
        const int16_t c = pd_match_one_char(buf, '#');
        if (c == -1)
            return -1;
        if (c != '#')
            return 1;
        if (skip_members(buf, kNotLineEnd) == -1 || skip_members(buf, kLineEnd) == -1)
            return -1;
    }
}

int16_t pd_skip_spaces(PDBuffer *buf) {
    return skip_members(buf, kBlanks) == -1 ? -1 : 0;
}

int16_t pd_get_char_value(PDBuffer *buf) {
    if (!refill(buf))
        return -1;
    return (unsigned char)buf->line[buf->pos++];
}

/* The text between two double quotes, over as many pieces and lines as it
 * takes.  out must hold max + 1 characters; a longer text gives 0 with its
 * first max characters in out and the position right behind them. */
int16_t pd_get_string_value(PDBuffer *buf, char *out, int max) {
    out[0] = '\0';
    if (max > 32767)
        max = 32767;
    if (max < 0)
        max = 0;
    if (!refill(buf))
        return -1;
    const int16_t open = pd_match_one_char(buf, '"');
    if (open != '"')
        return open == -1 ? -1 : 0;
    int stored = 0;
    for (;;) {
        if (!refill(buf))
            return -1;
        if (buf->line[buf->pos] == '"') {
            buf->pos++;
            return 1;
        }
        const int n = copy_string_run(buf, out + stored, max - stored);
        if (n == 0)
            return 0; /* max characters stored and the text goes on */
        stored += n;
    }
}

int16_t pd_get_string_value_spcs(PDBuffer *buf, char *out, int max) {
    if (pd_skip_comment(buf) == -1) {
        out[0] = '\0';
        return -1;
    }
    return pd_get_string_value(buf, out, max);
}

/* A decimal number of the current piece, as "%hd" reads it: the value is
 * taken as a 32-bit long (saturated) and then cut to 16 bits. */
int16_t pd_get_short_value(PDBuffer *buf, int16_t *out) {
    *out = 0;
    if (!refill(buf))
        return -1;
    const NumberScan n = scan_number(rest(buf), 10);
    if (n.result == -1)
        return -1;
    if (n.result == 0) {
        discard_piece(buf);
        return 0;
    }
    int64_t value = n.negative ? -(int64_t)n.magnitude : (int64_t)n.magnitude;
    value = std::min<int64_t>(INT32_MAX, std::max<int64_t>(INT32_MIN, value));
    *out = (int16_t)(uint16_t)(uint32_t)value;
    buf->pos += n.used;
    return 1;
}

int16_t pd_get_short_value_spcs(PDBuffer *buf, int16_t *out) {
    *out = 0;
    if (pd_skip_comment(buf) == -1)
        return -1;
    return pd_get_short_value(buf, out);
}

/* "0x" exactly at the position (lower-case x), then a hexadecimal number
 * as "%lx" reads it with a 32-bit unsigned long: saturated at 0xFFFFFFFF,
 * a minus sign negating modulo 2^32. */
int16_t pd_get_hex_value(PDBuffer *buf, uint32_t *out) {
    *out = 0;
    if (!refill(buf))
        return -1;
    const char *s = rest(buf);
    for (int i = 0; i < 2; i++) {
        if (s[i] == '\0')
            return -1; /* the piece ended inside the prefix */
        if (s[i] != "0x"[i]) {
            discard_piece(buf);
            return 0;
        }
    }
    const NumberScan n = scan_number(s + 2, 16);
    if (n.result == -1)
        return -1;
    if (n.result == 0) {
        discard_piece(buf);
        return 0;
    }
    if (n.magnitude >= kOverLimit)
        *out = 0xFFFFFFFFu;
    else
        *out = n.negative ? (uint32_t)(0u - (uint32_t)n.magnitude) : (uint32_t)n.magnitude;
    buf->pos += 2 + n.used;
    return 1;
}

int16_t pd_get_hex_value_spcs(PDBuffer *buf, uint32_t *out) {
    *out = 0;
    if (pd_skip_comment(buf) == -1)
        return -1;
    return pd_get_hex_value(buf, out);
}

int16_t pd_skip_char(PDBuffer *buf, char c) {
    if (!refill(buf))
        return -1;
    if (buf->line[buf->pos] != c)
        return 0;
    buf->pos++;
    return 1;
}

int16_t pd_skip_char_spcs(PDBuffer *buf, char c) {
    if (pd_skip_comment(buf) == -1)
        return -1;
    return pd_skip_char(buf, c);
}

} // extern "C"
