/*
 * storeditems.cpp -- counting the items of a sequence kept as stored bytes
 * (see storeditems.h).  The bytes are walked header by header in the
 * syntax they were read in; an item of undefined length is walked element
 * by element to its delimiter, nested content of undefined length too.
 * A length that runs past the value, or nesting beyond any sensible
 * depth, ends the walk there.
 */
#include "storeditems.h"

#include <string.h>

namespace {

const uint32_t kItem = 0xFFFEE000u;
const uint32_t kItemEnd = 0xFFFEE00Du;
const uint32_t kSequenceEnd = 0xFFFEE0DDu;
const uint32_t kUndefinedLength = 0xFFFFFFFFu;
const int kMaxNesting = 64;

struct StoredBytes {
    const unsigned char *p;
    const unsigned char *end;
    bool big_endian;
    bool explicit_vr;

    size_t left() const { return (size_t)(end - p); }
    uint32_t number(size_t at, int size) const {
        uint32_t v = 0;
        for (int i = 0; i < size; ++i)
            v |= (uint32_t)p[at + (size_t)i] << (8 * (big_endian ? size - 1 - i : i));
        return v;
    }
};

/* Explicit-VR letters whose length takes 32 bits after two reserved bytes. */
bool long_length_form(const unsigned char *letters) {
    static const char *const kLong[] = {"OB", "OD", "OF", "OL", "OV", "OW", "SQ",
                                        "SV", "UC", "UN", "UR", "UT", "UV"};
    for (const char *l : kLong)
        if (memcmp(letters, l, 2) == 0)
            return true;
    return false;
}

bool skip_element(StoredBytes &s, uint32_t *key, int depth);

/* Moves past the elements up to and with the delimiter `until`. */
bool skip_to(StoredBytes &s, uint32_t until, int depth) {
    for (uint32_t key = 0; key != until;)
        if (!skip_element(s, &key, depth))
            return false;
    return true;
}

/* Moves past one element, header and value (nested content of undefined
 * length included), and gives its tag; false where the bytes end first. */
bool skip_element(StoredBytes &s, uint32_t *key, int depth) {
    if (depth > kMaxNesting || s.left() < 8)
        return false;
    *key = s.number(0, 2) << 16 | s.number(2, 2);
    uint32_t length;
    bool implicit_content = false; /* under the letters UN */
    if (!s.explicit_vr || (*key >> 16) == 0xFFFE) {
        length = s.number(4, 4);
        s.p += 8;
    } else if (long_length_form(s.p + 4)) {
        if (s.left() < 12)
            return false;
        implicit_content = memcmp(s.p + 4, "UN", 2) == 0;
        length = s.number(8, 4);
        s.p += 12;
    } else {
        length = s.number(6, 2);
        s.p += 8;
    }
    if (length != kUndefinedLength) {
        if (s.left() < length)
            return false;
        s.p += length;
        return true;
    }
    if (*key == kItem)
        return skip_to(s, kItemEnd, depth + 1);
    StoredBytes inner = s;
    if (implicit_content)
        inner.big_endian = inner.explicit_vr = false;
    if (!skip_to(inner, kSequenceEnd, depth + 1))
        return false;
    s.p = inner.p;
    return true;
}

} // namespace

bool kept_as_stored(const DicomElement *e) {
    return e != nullptr && e->content_ts != 0 && e->value != nullptr && e->first_child == nullptr;
}

long stored_item_count(const DicomElement *sequence) {
    if (!kept_as_stored(sequence))
        return 0;
    const TransferSyntaxCode ts = (TransferSyntaxCode)(sequence->content_ts - 1);
    const unsigned char *bytes = static_cast<const unsigned char *>(sequence->value);
    StoredBytes s{bytes, bytes + sequence->length, ts == TS_EXPLICIT_BE, ts != TS_IMPLICIT_LE};
    long count = 0;
    uint32_t key = 0;
    while (s.left() > 0 && skip_element(s, &key, 0) && key == kItem)
        ++count;
    return count;
}
