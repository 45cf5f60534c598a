/*
 * checks.cpp -- the value checker: the findings (VerifyErrorBits) that the
 * value of one element earns under the tag dictionaries.  The VR and VM
 * come from the dictionaries for the element's tag, except that a value
 * whose file's VR letters name another kind of value than the dictionary's
 * VR (text where it says binary numbers, say) is checked by those letters
 * (vr_int.h); each VR has its length rule, its repertoire (written like a scanf scan
 * set), the UID component rule, the value multiplicity and the permitted
 * values of the tag.
 *
 * A text value is split at backslashes into its values, empty ones
 * included, except LT, ST, UT and UR, which hold one value that may
 * contain backslashes.  The byte that pads a value to even length (the
 * NUL after a UID, one blank after other text) is not part of it, and a
 * text of padding alone holds nothing.  Everything is examined in place
 * in the element's own bytes.
 */
#include <stdio.h>
#include <string.h>

#include <string_view>

#include "checks_int.h"
#include "object_int.h"
#include "vr_int.h"

namespace {

using std::string_view;

/* The repertoire of a scan set such as "%[-0-9+Ee. ]": the listed
 * characters, optionally with the digits and the upper-case letters. */
class CharSet {
public:
    constexpr CharSet(const char *chars, bool digits, bool upper = false) : in_{} {
        for (const char *c = chars; *c; ++c)
            in_[(unsigned char)*c] = true;
        for (int c = '0'; digits && c <= '9'; ++c)
            in_[c] = true;
        for (int c = 'A'; upper && c <= 'Z'; ++c)
            in_[c] = true;
    }
    /* Length of the longest leading run of characters from the set. */
    size_t run(string_view s) const {
        size_t n = 0;
        while (n < s.size() && in_[(unsigned char)s[n]])
            ++n;
        return n;
    }
    bool covers(string_view s) const { return run(s) == s.size(); }

private:
    bool in_[256];
};

constexpr CharSet kAgeChars("DWMY", true);
constexpr CharSet kCodeChars(" _", true, true);
constexpr CharSet kDateChars(".", true);
constexpr CharSet kDecimalChars("-+Ee. ", true);
constexpr CharSet kDateTimeChars("-+.", true);
constexpr CharSet kIntegerChars("-+ ", true);
constexpr CharSet kTimeChars(".: ", true);
constexpr CharSet kUidChars(".", true);
constexpr CharSet kDigits("", true);
constexpr CharSet kAgeUnits("DWMY", false);

const uint32_t kImageType = 0x00080008u;
/* A scan looks at no more than this many characters of a value; a value
 * that long already breaks its length rule. */
const size_t kScanLimit = 127;

/* A value up to its first NUL byte. */
string_view up_to_nul(string_view v) {
    size_t nul = v.find('\0');
    return nul == string_view::npos ? v : v.substr(0, nul);
}

/* The part of a value that a scan set judges. */
string_view scan_part(string_view v) {
    return up_to_nul(v).substr(0, kScanLimit);
}

bool vm_allows(size_t count, int16_t vm) {
    if (vm > 0)
        return count == (size_t)vm;
    if (vm < -1)
        return count <= (size_t)-vm;
    return true; /* 0 and -1: any number */
}

/* The VR a value is checked by: the dictionary's, or the letters its file
 * gave it where they say it is another kind of value (vr_int.h). */
int checked_vr(AppData *app, const DicomElement *e) {
    int vr = -1;
    getVR(app, element_key(e), &vr);
    const int letters = element_letters(e, vr);
    return letters >= 0 ? letters : vr;
}

/* The byte that pads a text value of the VR. */
char pad_of(int vr) {
    return vr == VR_UI ? '\0' : ' ';
}

/* The value text without the byte that pads it to even length. */
string_view without_pad(int vr, string_view text) {
    const char pad = pad_of(vr);
    if (!text.empty() && text.back() == pad)
        text.remove_suffix(1);
    return text;
}

/* A permitted item against a value: the value's blanks at either end do
 * not count and every run of blanks inside stands for one blank; a line
 * end in the item reads as a blank. */
bool item_matches(string_view item, string_view value) {
    size_t first = 0;
    while (first < value.size() && value[first] == ' ')
        ++first;
    size_t end = value.size();
    while (end > first && value[end - 1] == ' ')
        --end;
    value = value.substr(first, end - first);
    if (item == "nnn" && kDigits.covers(value))
        return true;
    size_t i = 0;
    for (size_t j = 0; j < value.size(); ++j) {
        if (j > 0 && value[j] == ' ' && value[j - 1] == ' ')
            continue;
        if (i >= item.size() || (item[i] == '\n' ? ' ' : item[i]) != value[j])
            return false;
        ++i;
    }
    return i == item.size();
}

/* Permitted items are separated by a comma and a blank; a line end after
 * the comma counts as the blank. */
size_t find_item_separator(string_view all, size_t from) {
    for (size_t i = from; i + 1 < all.size(); ++i)
        if (all[i] == ',' && (all[i + 1] == ' ' || all[i + 1] == '\n'))
            return i;
    return string_view::npos;
}

/* VERIFY_NOT_PERMITTED unless the permitted text is empty or one of its
 * items matches the value. */
VerifyErrorBits check_items(string_view all, string_view value) {
    if (all.empty())
        return 0;
    for (size_t start = 0;;) {
        const size_t sep = find_item_separator(all, start);
        const size_t end = sep == string_view::npos ? all.size() : sep;
        if (item_matches(all.substr(start, end - start), value))
            return 0;
        if (sep == string_view::npos)
            return VERIFY_NOT_PERMITTED;
        start = sep + 2;
    }
}

/* Everything one check needs about the element. */
struct Check {
    uint32_t tag;
    int vr;
    int16_t vm;
    int16_t maxlen;        /* 0 or below: no limit */
    string_view permitted; /* the tag's permitted values, "" for any */

    bool too_long(size_t n) const { return maxlen > 0 && n > (size_t)maxlen; }
    VerifyErrorBits check_permitted(string_view v) const { return check_items(permitted, v); }
};

VerifyErrorBits check_age(string_view v) {
    const string_view s = scan_part(v);
    if (!kAgeChars.covers(s))
        return VERIFY_EXTRA_CHARS;
    if (v.size() != 4)
        return VERIFY_BAD_LENGTH;
    VerifyErrorBits bits = 0;
    if (kDigits.run(s) != 3)
        bits |= VERIFY_EXTRA_CHARS;
    if (s.size() < 4 || kAgeUnits.run(s.substr(3)) != 1)
        bits |= VERIFY_EXTRA_CHARS;
    return bits;
}

/* No leading zeros in a component; the component "0" alone is allowed.
 * "Inside the value" includes bytes after a NUL. */
VerifyErrorBits check_uid_components(string_view v) {
    for (size_t i = 0; i + 1 < v.size(); ++i)
        if (v[i] == '0' && (i == 0 || v[i - 1] == '.') && v[i + 1] != '.')
            return VERIFY_NOT_PERMITTED;
    return 0;
}

VerifyErrorBits scan(const CharSet &set, string_view v) {
    return set.covers(scan_part(v)) ? 0 : VERIFY_EXTRA_CHARS;
}

/* The checks of one value of a multi-valued text VR; index counts from 0. */
VerifyErrorBits check_one_value(const Check &c, string_view v, size_t index) {
    VerifyErrorBits bits = 0;
    if (c.vr == VR_AS)
        return check_age(v);
    if (c.vr == VR_DA) {
        if (v.size() != 8 && v.size() != 10)
            bits |= VERIFY_BAD_LENGTH;
    } else if (c.too_long(v.size())) {
        bits |= VERIFY_BAD_LENGTH;
    }
    switch (c.vr) {
    case VR_CS:
        bits |= scan(kCodeChars, v);
        if (c.tag != kImageType || index < 2)
            bits |= c.check_permitted(scan_part(v));
        break;
    case VR_DA: bits |= scan(kDateChars, v); break;
    case VR_DS: bits |= scan(kDecimalChars, v); break;
    case VR_DT: bits |= scan(kDateTimeChars, v); break;
    case VR_IS: bits |= scan(kIntegerChars, v); break;
    case VR_TM: bits |= scan(kTimeChars, v); break;
    case VR_UI:
        bits |= scan(kUidChars, v);
        bits |= check_uid_components(v);
        break;
    case VR_LO:
    case VR_SH: bits |= c.check_permitted(up_to_nul(v)); break;
    default: /* AE, PN, UC: the length alone */ break;
    }
    return bits;
}

/* Text VRs whose values are checked one by one, then counted. */
VerifyErrorBits check_values(const Check &c, string_view text) {
    VerifyErrorBits bits = 0;
    size_t count = 0;
    for (size_t start = 0;;) {
        const size_t bs = text.find('\\', start);
        const size_t end = bs == string_view::npos ? text.size() : bs;
        bits |= check_one_value(c, text.substr(start, end - start), count++);
        if (bs == string_view::npos)
            break;
        start = bs + 1;
    }
    if (!vm_allows(count, c.vm))
        bits |= VERIFY_BAD_VM;
    if ((c.vr == VR_AE || c.vr == VR_PN) && text.find_first_of("\n\f\r") != string_view::npos)
        bits |= VERIFY_EXTRA_CHARS;
    return bits;
}

/* LO, SH, LT and ST of one value.  LO and SH of VM 1 cannot hold a
 * backslash, which would part two values; LT and ST are never split, so
 * a backslash there is text. */
VerifyErrorBits check_single_text(const Check &c, string_view text) {
    VerifyErrorBits bits = 0;
    if (c.too_long(text.size()))
        bits |= VERIFY_BAD_LENGTH;
    if ((c.vr == VR_LO || c.vr == VR_SH) && text.find('\\') != string_view::npos)
        bits |= VERIFY_EXTRA_CHARS | VERIFY_BAD_VM;
    if (c.vr == VR_SH || c.vr == VR_ST)
        bits |= c.check_permitted(up_to_nul(text));
    return bits;
}

/* US values are compared as the last four digits of "%05hu". */
VerifyErrorBits check_us_permitted(const Check &c, const unsigned char *v, size_t length) {
    VerifyErrorBits bits = 0;
    if (c.permitted.empty())
        return 0;
    for (size_t off = 0; off + 2 <= length; off += 2) {
        uint16_t n;
        memcpy(&n, v + off, sizeof n);
        char digits[8];
        snprintf(digits, sizeof digits, "%05hu", n);
        bits |= c.check_permitted(string_view(digits + 1, 4));
    }
    return bits;
}

/* Fixed-size VRs: whole values only, counted by size. */
VerifyErrorBits check_fixed(const Check &c, size_t length, int16_t size) {
    if (size <= 0)
        return 0;
    VerifyErrorBits bits = 0;
    if (length % (size_t)size != 0)
        bits |= VERIFY_BAD_LENGTH;
    if (!vm_allows(length / (size_t)size, c.vm))
        bits |= VERIFY_BAD_VM;
    return bits;
}

int16_t size_of(int vr) {
    return (int16_t)VRTypes[vr].maxlen;
}

VerifyErrorBits check_binary(const Check &c, const unsigned char *v, size_t length) {
    switch (c.vr) {
    case VR_US: return check_fixed(c, length, size_of(VR_US)) | check_us_permitted(c, v, length);
    case VR_XS: {
        /* Either reading of a 16-bit value that passes passes the element. */
        const VerifyErrorBits as_us =
            check_fixed(c, length, size_of(VR_US)) | check_us_permitted(c, v, length);
        const VerifyErrorBits as_ss = check_fixed(c, length, size_of(VR_SS));
        return as_us == 0 || as_ss == 0 ? 0 : (VerifyErrorBits)(as_us | as_ss);
    }
    case VR_XU: {
        /* Three 16-bit values: as US three times its size, as SS its size
         * and two US values. */
        const size_t need = 3 * (size_t)size_of(VR_US);
        return length == need ? 0 : (VerifyErrorBits)(VERIFY_BAD_LENGTH | VERIFY_BAD_VM);
    }
    default: return check_fixed(c, length, size_of(c.vr));
    }
}

} // namespace

VerifyErrorBits _check_permitted(AppData *app, uint32_t tag, const char *text, size_t length) {
    const char *permitted = nullptr;
    getPermitted(app, tag, &permitted);
    return check_items(permitted ? permitted : "", string_view(text, length));
}

bool _holds_padding_only(AppData *app, const DicomElement *e) {
    if (!e || !e->value || e->length == 0 || e->length == 0xFFFFFFFFu)
        return false;
    const int vr = checked_vr(app, e);
    if (!vr_is_text(vr))
        return false;
    const string_view text(static_cast<const char *>(e->value), e->length);
    return text.find_first_not_of(pad_of(vr)) == string_view::npos;
}

VerifyErrorBits _check_value(AppData *app, const DicomElement *e) {
    if (!e || (e->group & 1) != 0 || e->length == 0 || e->length == 0xFFFFFFFFu || !e->value)
        return 0;
    Check c{element_key(e), checked_vr(app, e), 0, 0, string_view()};
    if (c.vr == -1)
        return VERIFY_UNKNOWN_VR;
    if (c.vr < 0 || c.vr >= VR_COUNT || c.vr == VR_SQ)
        return 0;
    getVM(app, c.tag, &c.vm);
    const char *permitted = nullptr;
    getPermitted(app, c.tag, &permitted);
    c.permitted = permitted ? permitted : "";
    c.maxlen = (int16_t)VRTypes[c.vr].maxlen;
    const unsigned char *bytes = static_cast<const unsigned char *>(e->value);

    if (vr_is_text(c.vr)) {
        const string_view text =
            without_pad(c.vr, string_view(reinterpret_cast<const char *>(bytes), e->length));
        switch (c.vr) {
        case VR_LO:
        case VR_SH: return c.vm == 1 ? check_single_text(c, text) : check_values(c, text);
        case VR_LT:
        case VR_ST: return check_single_text(c, text);
        case VR_UT:
        case VR_UR: return c.too_long(text.size()) ? VERIFY_BAD_LENGTH : 0;
        default: return check_values(c, text);
        }
    }
    switch (c.vr) {
    case VR_AT:
    case VR_FL:
    case VR_FD:
    case VR_SL:
    case VR_SS:
    case VR_UL:
    case VR_US:
    case VR_SV:
    case VR_UV:
    case VR_XS:
    case VR_XU: return check_binary(c, bytes, e->length);
    default: /* OB, OW, OX, RE, XX, "na", "??", UN, OF, OD, OL, OV */ return 0;
    }
}
