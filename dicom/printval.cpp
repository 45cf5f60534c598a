/*
 * printval.cpp -- print_element_value: the one formatter of element values.
 *
 * The text follows the VR that the tag definitions give for the element's
 * tag, with XS, XU and OX taken as the writer takes them (SS or US by the
 * pixel representation, US, OW words or OB bytes), or the VR letters of
 * the element's file where the writer keeps them (vr_int.h).  It is appended to the
 * caller's buffer, always starting with two blanks, and never passes the
 * buffer: text and hex stop at size - 2 characters, numbers and tags at
 * size - 1.  Values are read only within the element's length; a trailing
 * fragment shorter than one value prints nothing.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <charconv>

#include "object_int.h"
#include "vr_int.h"

namespace {

const size_t kScratch = 256;
const size_t kChunk = 255;

/* The caller's buffer with its current text length. */
struct TextOut {
    char *buf;
    size_t len;

    /* Appends n bytes of text so that the buffer text stays within limit
     * characters. */
    void append_bytes(const char *text, size_t n, size_t limit) {
        if (len >= limit)
            return;
        if (n > limit - len)
            n = limit - len;
        memcpy(buf + len, text, n);
        len += n;
        buf[len] = '\0';
    }
    /* The same for a NUL-terminated text. */
    void append(const char *text, size_t limit) {
        append_bytes(text, len < limit ? strnlen(text, limit - len) : 0, limit);
    }
};

/* Text VRs: the value in chunks, each ending at its first zero byte. */
void print_text(TextOut &out, const unsigned char *v, size_t length, size_t limit) {
    out.append("  ", limit);
    size_t pos = out.len;
    size_t offset = 0;
    char scratch[kScratch];
    while (offset < length && pos < limit) {
        size_t n = length - offset < kChunk ? length - offset : kChunk;
        memcpy(scratch, v + offset, n);
        scratch[n] = '\0';
        out.append(scratch, limit);
        offset += n;
        pos += n;
    }
}

/* Dates and times: the value up to its first zero byte, cut at the limit. */
void print_whole_text(TextOut &out, const unsigned char *v, size_t length, size_t limit) {
    out.append("  ", limit);
    const void *nul = memchr(v, 0, length);
    size_t n = nul ? (size_t)((const unsigned char *)nul - v) : length;
    out.append_bytes(reinterpret_cast<const char *>(v), n, limit);
}

/* Hex: every unit written at the running position, its "H" overwritten by
 * the next unit, so only the last "H" stays (unless the text is cut). */
template <typename Unit>
void print_hex(TextOut &out, const unsigned char *v, size_t length, size_t limit) {
    out.append("  ", limit);
    const size_t digits = 2 * sizeof(Unit);
    size_t pos = out.len;
    for (size_t offset = 0; offset + sizeof(Unit) <= length && pos < limit;
         offset += sizeof(Unit), pos += digits) {
        Unit u;
        memcpy(&u, v + offset, sizeof u);
        snprintf(out.buf + pos, limit - pos + 1, "%0*llXH", (int)digits, (unsigned long long)u);
    }
    out.len = strlen(out.buf);
}

/* Numbers joined by the multi-value delimiter; the formatter turns one unit
 * into text within the scratch. */
template <typename Unit, typename Format>
void print_numbers(TextOut &out, const unsigned char *v, size_t length, size_t limit,
                   Format format) {
    char scratch[kScratch];
    for (size_t offset = 0; offset + sizeof(Unit) <= length; offset += sizeof(Unit)) {
        Unit u;
        memcpy(&u, v + offset, sizeof u);
        format(scratch, u);
        out.append(offset == 0 ? "  " : multi_value_delimiter, limit);
        out.append(scratch, limit);
    }
}

/* "%f" where its text reads back as the same number; otherwise the
 * shortest text that does (1.25e-05, not 0.000013), so that no value is
 * shown wrong.  Texts too long for the scratch also take the short form. */
template <typename Real, typename Parse>
void format_real(char *s, Real value, Parse parse) {
    int n = snprintf(s, kScratch, "%f", (double)value);
    if (n > 0 && (size_t)n < kScratch && (parse(s) == value || value != value))
        return;
    std::to_chars_result r = std::to_chars(s, s + kScratch - 1, value);
    *r.ptr = '\0';
}

struct TagPair {
    uint16_t group;
    uint16_t element;
};

void print_value(TextOut &out, int vr, const unsigned char *v, size_t length, size_t size) {
    const size_t text_limit = size - 2;
    const size_t number_limit = size - 1;
    switch (vr) {
    case VR_AE:
    case VR_AS:
    case VR_CS:
    case VR_DS:
    case VR_IS:
    case VR_LO:
    case VR_LT:
    case VR_PN:
    case VR_SH:
    case VR_ST:
    case VR_UI:
    case VR_UT:
    case VR_UC:
    case VR_UR: print_text(out, v, length, text_limit); break;
    case VR_DA:
    case VR_DT:
    case VR_TM: print_whole_text(out, v, length, text_limit); break;
    case VR_AT:
        print_numbers<TagPair>(out, v, length, number_limit, [](char *s, TagPair t) {
            snprintf(s, kScratch, "%04hX%04hX", t.group, t.element);
        });
        break;
    case VR_FL:
        print_numbers<float>(out, v, length, number_limit, [](char *s, float f) {
            format_real(s, f, [](const char *t) { return strtof(t, nullptr); });
        });
        break;
    case VR_FD:
        print_numbers<double>(out, v, length, number_limit, [](char *s, double d) {
            format_real(s, d, [](const char *t) { return strtod(t, nullptr); });
        });
        break;
    case VR_SL:
        print_numbers<int32_t>(out, v, length, number_limit,
                               [](char *s, int32_t n) { snprintf(s, kScratch, "%ld", (long)n); });
        break;
    case VR_SS:
        print_numbers<int16_t>(out, v, length, number_limit,
                               [](char *s, int16_t n) { snprintf(s, kScratch, "%hd", n); });
        break;
    case VR_UL:
        print_numbers<uint32_t>(out, v, length, number_limit, [](char *s, uint32_t n) {
            snprintf(s, kScratch, "%lu", (unsigned long)n);
        });
        break;
    case VR_US:
        print_numbers<uint16_t>(out, v, length, number_limit,
                                [](char *s, uint16_t n) { snprintf(s, kScratch, "%hu", n); });
        break;
    case VR_SV:
        print_numbers<int64_t>(out, v, length, number_limit, [](char *s, int64_t n) {
            snprintf(s, kScratch, "%lld", (long long)n);
        });
        break;
    case VR_UV:
        print_numbers<uint64_t>(out, v, length, number_limit, [](char *s, uint64_t n) {
            snprintf(s, kScratch, "%llu", (unsigned long long)n);
        });
        break;
    case -1:
    case VR_OB:
    case VR_RE:
    case VR_UN: print_hex<uint8_t>(out, v, length, text_limit); break;
    case VR_OW: print_hex<uint16_t>(out, v, length, text_limit); break;
    case VR_OF:
    case VR_OL: print_hex<uint32_t>(out, v, length, text_limit); break;
    case VR_OD:
    case VR_OV: print_hex<uint64_t>(out, v, length, text_limit); break;
    default: /* SQ, XX, "na", "??": no value text */ break;
    }
}

} // namespace

void print_element_value(AppData *app, DicomElement *elem, char *buf, int size) {
    if (!elem || !buf || size < 2 || is_item_or_delimiter_key(element_key(elem)))
        return;
    if (!has_value_bytes(elem->length) || !elem->value)
        return;
    int vr = -1;
    getVR(app, element_key(elem), &vr);
    /* A value prints by the file's VR letters where they say it is another
     * kind of value than the dictionary's VR; XS, XU and OX print as the
     * writer labels them; the value of pixel data read from a file
     * describes where it lies, and prints nothing. */
    const bool pixels = element_key(elem) == 0x7FE00010u;
    const int letters = pixels ? -1 : element_letters(elem, vr);
    if (letters >= 0)
        vr = letters;
    else if (vr == VR_XS || vr == VR_XU || (vr == VR_OX && !pixels))
        vr = value_vr(elem, vr, PE_NATIVE);
    TextOut out{buf, strnlen(buf, (size_t)size - 1)};
    buf[out.len] = '\0';
    print_value(out, vr, static_cast<const unsigned char *>(elem->value), elem->length,
                (size_t)size);
}
