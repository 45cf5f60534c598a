/*
 * profile.cpp -- the profile interpreter of the editor: reads profile lines
 * whole up to 16 MiB (ended by LF, CR LF or CR; a leading UTF-8 byte-order
 * mark skipped), front to back only, so that a profile may come from a
 * pipe; cuts comments, dispatches the actions a, e, d, s and f, turns the
 * words of a line (separated by blanks: spaces and TABs) into an element
 * record with the dictionary's VR, and edits the object through its cursor
 * (DE_search, DE_add, DE_delete).  An including profile is closed while
 * its include runs when it is a regular file, which can be reopened at the
 * line after the include; any other stays open.  A longer line, or memory
 * running out, ends the profile as one cut short.
 *
 * The current position is the object's cursor.  What is settled here so
 * that an edit lands where the profile stands, or nowhere:
 *  - after a delete that leaves no current element (the deleted element was
 *    the last of its list), the position returns to the deleted element's
 *    level: inside its item, or the top level;
 *  - 'd fffe e000' deletes the current item; the next item becomes current,
 *    and after the last one no item is: the cursor stands on the sequence
 *    (a select goes on from its level) and a, e and d are refused;
 *  - an add at the top level with no current element starts from the first
 *    top-level element, so that it is inserted in tag order among the
 *    top-level elements rather than appended wherever the reader's
 *    insertion point was left;
 *  - a sequence or item that the reader kept as raw bytes (defined length)
 *    has no elements in the tree: 'a' leaves its bytes as they are (as
 *    DE_add does for any such sequence it replaces), 's' refuses to select
 *    or append an item in it or to enter such an item, and a, e and d are
 *    refused inside one, since the edit would drop those bytes on saving;
 *  - 's' takes item numbers up to the item count and walks on from the item
 *    the same step of the last select reached, so that selecting every
 *    item in turn costs the same per item (marks of items that an edit
 *    frees or renumbers are dropped first);
 *  - a failed select (other than a bare 's' on an empty object) says why,
 *    and the a, e and d lines after it are skipped, each with a warning,
 *    up to the next 's' line, across includes as any position is;
 *  - a and e of a group FFFE tag (items, delimiters) are refused;
 *  - an include of a profile already open in the chain is refused;
 *  - words after a value (or after the tag of 'e' and 'd') that no ';'
 *    made a comment, and a value given for a VR whose value a profile
 *    cannot write (OB, OW, RE and the other binary VRs, SQ), are ignored
 *    with a warning;
 *  - text values of odd length are padded by their VR (a blank, NUL after
 *    a UID) before the library sees them, and XS numbers must fit the VR
 *    the image's Pixel Representation gives them.
 *
 * Numbers are refused (the number-format message) when they do not fit the
 * VR, when a token is longer than a number scratch holds, and, for AT, when
 * the text has more 9-character tags than its backslashes separate.
 *
 * A failed line gets one warning: its cause where the action knows it
 * (what the VR takes after a bad number, why a select failed or an edit
 * was refused), else that its element is absent, else that its tag is not
 * in the dictionary.
 */
#include "profile.h"

#include <errno.h>
#include <float.h>
#include <math.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <new>

#include "owners_int.h"

namespace {

const char kBadNumber[] = "Bad number format in profile!";
const uint32_t kUndefined = 0xFFFFFFFFu;
const uint32_t kItemKey = 0xFFFEE000u;
/* Scratch bounds: a number token, an item-number word, a message. */
const size_t kNumberMax = 127;
const size_t kItemWordMax = 19;
const size_t kMessageSize = 256;
const int kLookupSize = 512;

void say(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));

/* Messages are formatted into a scratch of kMessageSize bytes. */
std::string format_message(const char *format, va_list args) {
    char text[kMessageSize];
    vsnprintf(text, sizeof text, format, args);
    return text;
}

/* Allocates nothing: it also reports memory running out. */
void say(int level, const char *format, ...) {
    char text[kMessageSize];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    log_message(text, level);
}

void cannot_open(ProfileRun *run, const char *name) {
    say(1, "Cannot open profile: %s", name ? name : "");
    run->unopened++;
}

/* Why the line failed, for the warning that names its line. */
void explain(ProfileRun *run, const char *format, ...) __attribute__((format(printf, 2, 3)));

void explain(ProfileRun *run, const char *format, ...) {
    va_list args;
    va_start(args, format);
    run->why = format_message(format, args);
    va_end(args);
}

/* ---- reading profile lines ---------------------------------------- */

/* The longest line a profile may hold, line end not counted: room for any
 * value a profile sets (the longest text values, a 65536-entry table of
 * numbers), and a bound on what a file without line ends can make a line
 * grow to. */
const size_t kLineMax = 16u << 20;

enum LineRead { kLineRead, kFileEnded, kLineTooLong };

/* A profile file read line by line, front to back, never seeking back: a
 * profile may come from a pipe.  The byte offset in the file after the
 * last line read is where a regular file that an include closed is
 * reopened; a pipe, a FIFO or a device cannot be reopened there and stays
 * open while its include runs. */
class ProfileFile {
public:
    /* A directory opens for reading here but is no profile. */
    bool open(const char *name, int64_t offset) {
        file_.reset(name ? fopen(name, "rb") : nullptr);
        if (!file_)
            return false;
        struct stat st;
        if (fstat(fileno(file_.get()), &st) != 0 || S_ISDIR(st.st_mode) ||
            (offset > 0 && fseeko(file_.get(), (off_t)offset, SEEK_SET) != 0)) {
            close();
            return false;
        }
        reopenable_ = S_ISREG(st.st_mode);
        offset_ = offset;
        return true;
    }
    void close() { file_.reset(); }
    bool is_open() const { return file_ != nullptr; }
    bool reopenable() const { return reopenable_; }
    int64_t offset() const { return offset_; }
    /* A read failed before the end of the file. */
    bool failed() const { return file_ && ferror(file_.get()); }

    /* Reads one line whole, up to kLineMax characters, without its line
     * end: LF, CR LF or CR (as editors save text).  A UTF-8 byte-order mark
     * at the start of the file is no part of its first line. */
    LineRead read_line(std::string &line) {
        line.clear();
        FILE *f = file_.get();
        if (!f)
            return kFileEnded;
        const bool first = offset_ == 0;
        bool any = false;
        for (int c; (c = getc(f)) != EOF;) {
            offset_++;
            any = true;
            if (c == '\n')
                break;
            if (c == '\r') {
                int d = getc(f);
                if (d == '\n')
                    offset_++;
                else if (d != EOF)
                    ungetc(d, f);
                break;
            }
            if (line.size() == kLineMax)
                return kLineTooLong;
            line += (char)c;
        }
        if (first && line.compare(0, 3, "\xEF\xBB\xBF") == 0)
            line.erase(0, 3);
        return any ? kLineRead : kFileEnded;
    }

private:
    FileOwner file_;
    int64_t offset_ = 0;
    bool reopenable_ = false;
};

/* ---- words of a line ---------------------------------------------- */

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

const char *skip_blanks(const char *p) {
    while (is_blank(*p))
        p++;
    return p;
}

/* p moved n characters on, never beyond the end of the line. */
const char *advance(const char *p, int n) {
    while (n-- > 0 && *p)
        p++;
    return p;
}

/* "%hx" of the (at most) 4 characters at p; out is left as it was when
 * they hold no number. */
bool read_hex4(const char *p, uint16_t *out) {
    char word[5] = {0, 0, 0, 0, 0};
    for (int i = 0; i < 4 && p[i]; i++)
        word[i] = p[i];
    unsigned short v;
    if (sscanf(word, "%hx", &v) != 1)
        return false;
    *out = v;
    return true;
}

/* The two tag words at *p into head; *p ends at the word that follows.
 * false when the line ends before the group or before the element. */
bool read_tag(const char **p, DicomElementHead *head) {
    const char *q = skip_blanks(*p);
    if (!*q)
        return false;
    read_hex4(q, &head->group);
    q = skip_blanks(advance(q, 4));
    if (!*q)
        return false;
    read_hex4(q, &head->element);
    *p = skip_blanks(advance(q, 4));
    return true;
}

int lookup_vr(ProfileRun *run, DicomElementHead *head) {
    int vr = -1;
    DOU_defXVRTypeByTags(run->app, head->group, head->element, &vr);
    head->vr = vr;
    return vr;
}

/* ---- values by VR ------------------------------------------------- */

enum NumberKind { kSigned, kUnsigned, kFloat, kDouble };

struct NumberFormat {
    NumberKind kind;
    int width;
    long long min; /* integers: the range a value must lie in */
    unsigned long long max;
};

/* The binary layout of the numeric VRs; false for every other VR.  XS and
 * XU are stored as 16-bit numbers too: XU is written as US, XS as US or SS
 * by the image (fit_to_pixels narrows its range to the one it gets). */
bool number_format(int vr, NumberFormat *f) {
    switch (vr) {
    case VR_FL: *f = {kFloat, 4, 0, 0}; return true;
    case VR_FD: *f = {kDouble, 8, 0, 0}; return true;
    case VR_SL: *f = {kSigned, 4, INT32_MIN, INT32_MAX}; return true;
    case VR_SS: *f = {kSigned, 2, INT16_MIN, INT16_MAX}; return true;
    case VR_UL: *f = {kUnsigned, 4, 0, UINT32_MAX}; return true;
    case VR_US:
    case VR_XU: *f = {kUnsigned, 2, 0, UINT16_MAX}; return true;
    case VR_XS: *f = {kSigned, 2, INT16_MIN, UINT16_MAX}; return true;
    case VR_SV: *f = {kSigned, 8, INT64_MIN, INT64_MAX}; return true;
    case VR_UV: *f = {kUnsigned, 8, 0, UINT64_MAX}; return true;
    default: return false;
    }
}

/* VRs whose value the profile cannot write as text: stored empty. */
bool is_binary_vr(int vr) {
    switch (vr) {
    case VR_OB:
    case VR_OW:
    case VR_RE:
    case VR_OX:
    case VR_UN:
    case VR_OF:
    case VR_OD:
    case VR_OL:
    case VR_OV: return true;
    default: return false;
    }
}

/* The leading number of token (white space skipped, reading stops at the
 * first character that cannot continue it) in host order into out.  false
 * when there is none or it does not fit the VR. */
bool convert_number(const char *token, const NumberFormat &f, unsigned char *out) {
    char *end = nullptr;
    errno = 0;
    if (f.kind == kFloat || f.kind == kDouble) {
        double d = f.kind == kFloat ? (double)strtof(token, &end) : strtod(token, &end);
        if (end == token || (errno == ERANGE && isinf(d)))
            return false;
        if (f.kind == kFloat) {
            float v = (float)d;
            memcpy(out, &v, 4);
        } else {
            memcpy(out, &d, 8);
        }
        return true;
    }
    const char *p = token;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        p++;
    long long sv = 0;
    unsigned long long uv = 0;
    if (*p == '-') {
        sv = strtoll(p, &end, 10);
        if (end == p || errno == ERANGE || sv < f.min)
            return false;
        uv = (unsigned long long)sv;
    } else {
        uv = strtoull(p, &end, 10);
        if (end == p || errno == ERANGE || uv > f.max)
            return false;
    }
    switch (f.width) {
    case 2: {
        uint16_t v = (uint16_t)uv;
        memcpy(out, &v, 2);
        break;
    }
    case 4: {
        uint32_t v = (uint32_t)uv;
        memcpy(out, &v, 4);
        break;
    }
    default: memcpy(out, &uv, 8); break;
    }
    return true;
}

/* What building a binary value came to. */
enum Built { kBuilt, kBadFormat, kNoRoom };

/* Backslash-separated numbers into a new array; a backslash at the very
 * end adds no value.  kBadFormat on a token without a number, one too long
 * to be a number, or a number out of range. */
Built build_numbers(const char *text, const NumberFormat &f, MallocOwner<void> *value,
                    uint32_t *length) {
    size_t len = strlen(text);
    size_t tokens = 1;
    for (size_t i = 0; i < len; i++)
        if (text[i] == '\\' && i + 1 < len)
            tokens++;
    MallocOwner<unsigned char> array(static_cast<unsigned char *>(malloc(tokens * f.width)));
    if (!array)
        return kNoRoom;
    const char *p = text;
    for (size_t t = 0; t < tokens; t++) {
        const char *end = strchr(p, '\\');
        size_t n = end ? (size_t)(end - p) : strlen(p);
        char token[kNumberMax + 1];
        bool ok = n > 0 && n <= kNumberMax;
        if (ok) {
            memcpy(token, p, n);
            token[n] = '\0';
            ok = convert_number(token, f, array.get() + t * f.width);
        }
        if (!ok)
            return kBadFormat;
        p = end ? end + 1 : p + n;
    }
    value->reset(array.release());
    *length = (uint32_t)(tokens * f.width);
    return kBuilt;
}

/* AT values: pieces of 9 characters, each an 8-digit tag (group, element)
 * and a separator, written gggg eeee backslash gggg eeee.  A text with
 * more pieces than its backslashes separate is refused. */
Built build_tags(const char *text, MallocOwner<void> *value, uint32_t *length) {
    size_t len = strlen(text);
    size_t pieces = (len + 8) / 9;
    size_t room = 1;
    for (size_t i = 0; i < len; i++)
        if (text[i] == '\\')
            room++;
    if (pieces == 0 || pieces > room)
        return kBadFormat;
    MallocOwner<uint16_t> array(static_cast<uint16_t *>(malloc(pieces * 4)));
    if (!array)
        return kNoRoom;
    for (size_t i = 0; i < pieces; i++) {
        /* The element word of the last piece may lie past the end. */
        if (9 * i + 4 >= len || !read_hex4(text + 9 * i, &array.get()[2 * i]) ||
            !read_hex4(text + 9 * i + 4, &array.get()[2 * i + 1]))
            return kBadFormat;
    }
    value->reset(array.release());
    *length = (uint32_t)(pieces * 4);
    return kBuilt;
}

/* The value text of an 'a' line at p, as a new heap string with room for
 * one pad byte: between double quotes (blanks and ';' allowed), or up to
 * the first blank.  *rest is where the line goes on after the value. */
char *value_text(const char *p, const char **rest) {
    const char *end;
    if (*p == '"') {
        p++;
        end = p + strcspn(p, "\"");
        *rest = *end ? end + 1 : end;
    } else {
        end = p + strcspn(p, " \t");
        *rest = end;
    }
    size_t n = (size_t)(end - p);
    char *text = static_cast<char *>(malloc(n + 2));
    if (text) {
        memcpy(text, p, n);
        text[n] = '\0';
    }
    return text;
}

/* The byte a text value is padded with to an even length: NUL after a
 * UID and after a value whose VR the dictionary leaves open (XX, na, ??),
 * a blank after every other text (AE to UT: the VRs that reach here). */
char text_pad(int vr) {
    return vr == VR_UI || vr == VR_XX || vr == VR_NA || vr == VR_QQ ? '\0' : ' ';
}

/* Pads text (which has room for one more byte) to an even length as the
 * file holds it, so that the library's NUL padding never ends a text
 * value; returns the length. */
uint32_t pad_text(char *text, int vr) {
    size_t n = strlen(text);
    if (n % 2) {
        text[n++] = text_pad(vr);
        text[n] = '\0';
    }
    return (uint32_t)n;
}

/* XS is written as SS on an image whose Pixel Representation (at the top
 * level, as the writer reads it) is 1, else as US: a value must fit the
 * VR it is written as. */
void fit_to_pixels(DicomObject *obj, NumberFormat *f) {
    const DicomElement *rep = obj->root->first_child;
    while (rep && !(rep->group == 0x0028 && rep->element == 0x0103))
        rep = rep->next;
    uint16_t v = 0;
    if (rep && rep->value && rep->length >= 2)
        memcpy(&v, rep->value, 2);
    f->min = v == 1 ? INT16_MIN : 0;
    f->max = v == 1 ? (unsigned long long)INT16_MAX : UINT16_MAX;
}

/* Words after what an action reads that no ';' made a comment: the action
 * ignores them and says so, since the profile meant something by them. */
void note_words_after(ProfileRun *run, const char *what, const char *rest) {
    rest = skip_blanks(rest);
    if (*rest)
        run->note = std::string("words after the ") + what + " ignored: " + rest;
}

/* A value text given for a VR whose value a profile cannot write (binary
 * VRs, and a sequence, which keeps its items): ignored, and said so. */
void note_value_ignored(ProfileRun *run, int vr, const char *text) {
    if (*text)
        run->note =
            std::string("value ignored: a profile sets no value of VR ") + changeVRToVRname(vr);
}

/* Why a number or tag value was not built: what the element's VR takes. */
void explain_not_built(ProfileRun *run, const DicomElementHead *head, const NumberFormat &f,
                       Built built) {
    const unsigned short g = head->group, e = head->element;
    if (built == kNoRoom) {
        explain(run, "group %04hx element %04hx: not enough memory for its value", g, e);
        return;
    }
    log_message(kBadNumber, 1);
    const char *vr = changeVRToVRname(head->vr);
    const char *as = head->vr != VR_XS ? "" : f.min < 0 ? ", written as SS" : ", written as US";
    if (head->vr == VR_AT)
        explain(run, "group %04hx element %04hx is AT: tags of 8 hexadecimal digits joined by "
                     "backslashes", g, e);
    else if (f.kind == kFloat || f.kind == kDouble)
        explain(run, "group %04hx element %04hx is %s: numbers from %g to %g", g, e, vr,
                f.kind == kFloat ? -FLT_MAX : -DBL_MAX, f.kind == kFloat ? FLT_MAX : DBL_MAX);
    else
        explain(run, "group %04hx element %04hx is %s%s: numbers from %lld to %llu", g, e, vr, as,
                f.min, f.max);
}

/* ---- the current position ----------------------------------------- */

bool is_item(const DicomElement *e) {
    return e->group == 0xFFFE && e->element == 0xE000;
}

/* First element of the list that the cursor operations scan from pos. */
DicomElement *level_first(DicomObject *obj, DicomElement *pos) {
    if (!pos)
        return obj->root->first_child;
    if (is_item(pos))
        return pos->first_child;
    return pos->parent ? pos->parent->first_child : pos;
}

DicomElement *find_at_level(DicomObject *obj, DicomElement *pos, uint16_t group,
                            uint16_t element) {
    for (DicomElement *e = level_first(obj, pos); e; e = e->next)
        if (e->group == group && e->element == element)
            return e;
    return nullptr;
}

/* The item the position works in: the cursor item, or the item whose
 * elements the cursor stands among; null at the top level and on a
 * sequence. */
DicomElement *current_item(DicomObject *obj) {
    DicomElement *c = obj->cursor;
    if (c && is_item(c))
        return c;
    return c && c->parent && is_item(c->parent) ? c->parent : nullptr;
}

/* An a, e or d line that would land where no edit belongs: where no item
 * is current after a deletion, or inside an item whose elements are raw
 * bytes (a defined length), which an edit would replace on saving. */
bool refused_here(ProfileRun *run) {
    DicomElement *c = run->obj->cursor;
    if (run->no_item) {
        explain(run, "refused: no item is selected, the last item of sequence (%04hx,%04hx) "
                     "was deleted", (unsigned short)c->group, (unsigned short)c->element);
        return true;
    }
    if (c && is_item(c) && c->value) {
        explain(run, "refused: the current item has a defined length and is held as raw bytes");
        return true;
    }
    return false;
}

/* Items and delimiters are the file's structure; written as data they
 * would make it unreadable. */
bool refused_as_data(ProfileRun *run, const DicomElementHead *head) {
    if (head->group != 0xFFFE)
        return false;
    explain(run, "refused: (%04hx,%04hx) is an item or delimiter tag, not data",
            (unsigned short)head->group, (unsigned short)head->element);
    return true;
}

/* An add with no current element but elements at the top level starts at
 * the first of them (still the top level), so DE_add inserts in order. */
void settle_for_add(DicomObject *obj) {
    DicomElement *first = obj->root->first_child;
    if (!obj->cursor && first && !is_item(first))
        obj->cursor = first;
}

/* ---- item marks ---------------------------------------------------- */

bool is_within(const DicomElement *e, const DicomElement *ancestor) {
    for (; e; e = e->parent)
        if (e == ancestor)
            return true;
    return false;
}

/* Drops the marks that gone makes wrong: their item is gone or inside it,
 * or gone is an item of their sequence (the items after it move up one
 * number).  Called before gone, or what it holds, is freed. */
void forget_marks(ProfileRun *run, const DicomElement *gone) {
    for (ItemMark &m : run->marks)
        if (m.item && (is_within(m.item, gone) || (is_item(gone) && gone->parent == m.sequence)))
            m = ItemMark();
}

/* Item number n (from 1) of seq, walking on from the mark of this step of
 * the select when it lies on the way; null, with the item count in
 * *count, when seq has fewer items. */
DicomElement *nth_item(ProfileRun *run, size_t step, DicomElement *seq, long n, long *count) {
    if (run->marks.size() <= step)
        run->marks.resize(step + 1);
    ItemMark &mark = run->marks[step];
    DicomElement *c = seq->first_child;
    long k = 1;
    if (mark.sequence == seq && mark.number <= n) {
        c = mark.item;
        k = mark.number;
    }
    for (; c && is_item(c) && k < n; c = c->next)
        k++;
    if (c && is_item(c)) {
        mark = {seq, c, n};
        return c;
    }
    *count = k - 1;
    return nullptr;
}

/* ---- edits at the position ---------------------------------------- */

/* DE_delete, keeping the position at the deleted element's level when it
 * was the last of its list: inside its item, or at the top level. */
int16_t delete_at_level(ProfileRun *run, DicomElementHead *head) {
    DicomObject *obj = run->obj;
    DicomElement *c = obj->cursor;
    DicomElement *level = !c ? obj->root : is_item(c) ? c : c->parent;
    /* The element DE_delete deletes, when it deletes one: the first of
     * its tag at the level. */
    if (DicomElement *target = find_at_level(obj, c, head->group, head->element))
        forget_marks(run, target);
    int16_t result = DE_delete(run->app, obj, head);
    if (result == 0 && !obj->cursor && level != obj->root)
        obj->cursor = level;
    run->absent = result != 0; /* DE_delete fails only on that */
    return result;
}

/* 'd fffe e000': deletes the current item.  The next item becomes the
 * current one; after the last item no item is current, and the cursor
 * stands on the sequence, so that a select goes on from its level. */
int16_t delete_current_item(ProfileRun *run) {
    DicomObject *obj = run->obj;
    if (run->no_item) {
        refused_here(run);
        return -1;
    }
    DicomElement *item = current_item(obj);
    if (!item) {
        explain(run, "refused: no item is selected");
        return -1;
    }
    DicomElement *seq = item->parent;
    DicomElementHead under_cursor = {};
    under_cursor.group = 0xFFFF;
    under_cursor.element = 0xFFFF;
    forget_marks(run, item);
    obj->cursor = item;
    int16_t result = DE_delete(run->app, obj, &under_cursor);
    if (result == 0 && !(obj->cursor && is_item(obj->cursor))) {
        obj->cursor = seq;
        run->no_item = true;
    }
    return result;
}

int16_t add_record(ProfileRun *run, DicomElementHead *head) {
    DicomObject *obj = run->obj;
    settle_for_add(obj);
    /* A replaced element given a value loses its children. */
    DicomElement *replaced = find_at_level(obj, obj->cursor, head->group, head->element);
    if (replaced && replaced->first_child && head->value)
        forget_marks(run, replaced);
    if (DE_add(run->app, obj, head) == 0)
        return 0;
    explain(run, "group %04hx element %04hx was not added", (unsigned short)head->group,
            (unsigned short)head->element);
    return -1;
}

/* ---- selects ------------------------------------------------------ */

/* The item number of an 's' step, read from the word alone. */
bool read_item_number(const char *word, size_t n, long *out) {
    if (n == 0 || n > kItemWordMax)
        return false;
    char text[kItemWordMax + 1];
    memcpy(text, word, n);
    text[n] = '\0';
    char *end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (end == text || errno == ERANGE)
        return false;
    *out = v;
    return true;
}

/* A bare 's': no number after the letter; it returns to the top level. */
bool is_bare_select(const char *line) {
    unsigned short probe;
    return sscanf(line + 1, "%hx", &probe) != 1;
}

/* The element one step of a select from pos lands on or in, or null (and
 * why) when it cannot land: pos is an item held as raw bytes, or the
 * element is absent, or, for an item, is no sequence or holds its items
 * as raw bytes.  An item held as raw bytes can be selected (to be
 * deleted); the edits inside it are refused. */
DicomElement *step_target(ProfileRun *run, DicomElement *pos, const DicomElementHead *head,
                          long item) {
    const unsigned short g = head->group, e = head->element;
    if (pos && is_item(pos) && pos->value) {
        explain(run, "select failed: the item has a defined length and is held as raw bytes");
        return nullptr;
    }
    DicomElement *m = find_at_level(run->obj, pos, head->group, head->element);
    if (!m) {
        explain(run, "select failed: (%04hx,%04hx) is absent at the current position", g, e);
        return nullptr;
    }
    if (item == 0)
        return m;
    if (m->vr != VR_SQ) {
        explain(run, "select failed: (%04hx,%04hx) is not a sequence", g, e);
        return nullptr;
    }
    if (m->value) {
        explain(run, "select failed: sequence (%04hx,%04hx) has a defined length and is held "
                     "as raw bytes", g, e);
        return nullptr;
    }
    return m;
}

/* Item n (> 0) of seq for this step of the select; null, and why, when
 * the sequence has no such item. */
DicomElement *select_item(ProfileRun *run, size_t step, DicomElement *seq, long n) {
    long count = 0;
    if (DicomElement *item = nth_item(run, step, seq, n, &count))
        return item;
    if (count == 0)
        explain(run, "select failed: sequence (%04hx,%04hx) has no items, no item %ld", seq->group,
                seq->element, n);
    else
        explain(run, "select failed: sequence (%04hx,%04hx) has items 1 to %ld, no item %ld",
                seq->group, seq->element, count, n);
    return nullptr;
}

/* ---- includes ----------------------------------------------------- */

/* The path a profile called name is opened by: the one found along
 * QUENOR_PREDEF_PATH, or name as written. */
std::string profile_path(const char *name) {
    char found[kLookupSize];
    getfileenv(PROFILE_PATH_VAR, name, found, sizeof found);
    return found[0] ? found : name;
}

bool same_file(const char *a, const char *b) {
    struct stat sa, sb;
    if (stat(a, &sa) == 0 && stat(b, &sb) == 0)
        return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    return strcmp(a, b) == 0;
}

/* A profile already open in the chain (itself, or one that includes it):
 * run again it would include itself once more, down to the depth limit. */
bool already_open(const ProfileStack &st, const std::string &path) {
    for (int d = 0; d <= st.depth; d++)
        if (st.names[d] && same_file(st.names[d], path.c_str()))
            return true;
    return false;
}

/* 'f': runs the named profile one level deeper, then goes on with this one
 * (reopened after its include line when it was closed).  false when this
 * profile ends here (its file is closed then). */
bool run_include(ProfileRun *run, ProfileFile &file, char *line, long line_no) {
    ProfileStack &st = run->stack;
    char *include = nullptr;
    if (get_include_name(line, &include) != 0) {
        say(1, "In line %ld file name missing", line_no);
        run->cut_short++;
        file.close();
        return false;
    }
    MallocOwner<char> name(include);
    if (already_open(st, profile_path(name.get()))) {
        say(2, "In line %ld include of %s refused: that profile is already open", line_no,
            name.get());
        return true;
    }
    if (st.depth >= PROFILE_MAX_DEPTH) {
        say(1, "Too deeply nested profile includes. Max depth is %hd", (short)PROFILE_MAX_DEPTH);
        run->cut_short++;
        file.close();
        return false;
    }
    st.positions[st.depth] = file.offset();
    if (file.reopenable())
        file.close();
    if (push_profile(run, name.get()) == 0) {
        process_profile(run); /* an include that fails costs only its own lines */
        pop_profile(run);
    }
    if (!file.is_open() && !file.open(st.names[st.depth], st.positions[st.depth])) {
        cannot_open(run, st.names[st.depth]);
        return false;
    }
    say(3, "Processing profile %s (cont.)", st.names[st.depth]);
    return true;
}

/* ---- dispatch ----------------------------------------------------- */

/* The warning of a failed action line: its cause when the action left
 * one, else that its element is absent at the current position, else
 * that its tag is not in the dictionary (the one failure left without a
 * word of its own); then the words the action ignored. */
int16_t checked(ProfileRun *run, int16_t result, long line_no, const DicomElementHead &head) {
    if (result != 0 && !run->why.empty())
        say(2, "In line %ld %s", line_no, run->why.c_str());
    else if (result != 0)
        say(2, "In line %ld group %04hx element %04hx %s", line_no, (unsigned short)head.group,
            (unsigned short)head.element,
            run->absent ? "is absent at the current position" : "is not in dictionary");
    if (!run->note.empty())
        say(2, "In line %ld %s", line_no, run->note.c_str());
    run->why.clear();
    run->note.clear();
    run->absent = false;
    return result;
}

/* An a, e or d line after a failed select: its edit was meant for the
 * position the select did not reach. */
bool skipped(ProfileRun *run, long line_no) {
    if (!run->failed_select)
        return false;
    say(2, "In line %ld skipped: the select in line %ld of %s failed", line_no,
        run->failed_select, run->failed_in.c_str());
    return true;
}

/* An 's' line: it ends the state an earlier line left, and a failure
 * other than that of a bare 's' (which only finds an empty object) holds
 * for the lines after it. */
int16_t select_line(ProfileRun *run, const char *line, long line_no, const char *profile) {
    run->failed_select = 0;
    run->no_item = false;
    DicomElementHead head = {};
    int16_t result = checked(run, edit_select(run, line, &head), line_no, head);
    if (result != 0 && !is_bare_select(line)) {
        run->failed_select = line_no;
        run->failed_in = profile;
    }
    return result;
}

/* The lines of the profile called name, includes included (see
 * process_profile). */
int16_t process_lines(ProfileRun *run, const char *name) {
    ProfileFile file;
    if (!file.open(name, 0)) {
        cannot_open(run, name);
        return -1;
    }
    say(3, "Processing profile %s", name);
    long line_no = 1;
    int16_t result = 0;
    std::string text;
    for (LineRead got; (got = file.read_line(text)) != kFileEnded; line_no++) {
        if (got == kLineTooLong) {
            say(1, "In line %ld of profile %s the line is longer than %zu characters", line_no,
                name, kLineMax);
            run->cut_short++;
            return -1;
        }
        char *line = &text[0];
        cut_comment(line);
        DicomElementHead head = {};
        switch (line[0]) {
        case '\0':
        case '\t':
        case '\n':
        case ' ':
        case ';': break;
        case 'a':
        case 'e':
        case 'd':
            if (skipped(run, line_no)) {
                result = -1;
                break;
            }
            result = checked(run,
                             line[0] == 'a'   ? edit_add(run, line, &head)
                             : line[0] == 'e' ? edit_empty(run, line, &head)
                                              : edit_delete(run, line, &head),
                             line_no, head);
            break;
        case 's': result = select_line(run, line, line_no, name); break;
        case 'f':
            if (!run_include(run, file, line, line_no))
                return -1;
            break;
        default: say(2, "Unknown action defined in line %ld", line_no); break;
        }
    }
    if (file.failed()) { /* the rest of the profile could not be read */
        cannot_open(run, name);
        return -1;
    }
    return result;
}

} // namespace

int16_t push_profile(ProfileRun *run, const char *name) {
    ProfileStack &st = run->stack;
    if (st.depth >= PROFILE_MAX_DEPTH || !name) {
        cannot_open(run, name);
        return -1;
    }
    char *path = nullptr;
    try {
        path = strdup(profile_path(name).c_str());
    } catch (const std::bad_alloc &) {
    }
    if (!path) {
        cannot_open(run, name);
        return -1;
    }
    st.depth++;
    st.names[st.depth] = path;
    st.positions[st.depth] = 0;
    return 0;
}

void pop_profile(ProfileRun *run) {
    ProfileStack &st = run->stack;
    if (st.depth < 0)
        return;
    free(st.names[st.depth]);
    st.names[st.depth] = nullptr;
    st.depth--;
}

int16_t process_profile(ProfileRun *run) {
    ProfileStack &st = run->stack;
    if (st.depth < 0)
        return -1;
    const char *name = st.names[st.depth];
    try {
        return process_lines(run, name);
    } catch (const std::bad_alloc &) {
        /* The profile ends here, as for a line too long: the edits it
         * would have made are missing, so nothing is written. */
        log_message("Not enough memory to process the profile.", 1);
        run->cut_short++;
        return -1;
    }
}

void cut_comment(char *line) {
    if (!line)
        return;
    size_t len = strlen(line);
    if (len > 0 && line[len - 1] == '\n')
        line[len - 1] = '\0';
    bool quoted = false;
    for (char *p = line; *p; p++) {
        if (*p == '"') {
            quoted = !quoted;
        } else if (*p == ';' && !quoted) {
            *p = '\0';
            break;
        }
    }
}

int16_t get_include_name(char *line, char **name) {
    *name = nullptr;
    char *p = const_cast<char *>(skip_blanks(line + 1));
    char *end;
    if (*p == '"' || *p == '<') {
        const char closer = *p == '"' ? '"' : '>';
        end = strchr(++p, closer);
    } else {
        end = p + strcspn(p, " \t");
    }
    if (end)
        *end = '\0';
    if (!*p)
        return -1;
    *name = strdup(p);
    return *name ? 0 : -1;
}

int16_t edit_add(ProfileRun *run, const char *line, DicomElementHead *head) {
    const char *p = line + 1;
    if (!read_tag(&p, head))
        return -1;
    int vr = lookup_vr(run, head);
    if (refused_as_data(run, head) || refused_here(run))
        return -1;
    const char *rest = p;
    MallocOwner<char> text(value_text(p, &rest));
    if (!text) {
        log_message("Not enough space to allocate memory to add a new element.", 1);
        explain_not_built(run, head, NumberFormat{}, kNoRoom);
        return -1;
    }
    if (vr == -1)
        return -1;
    const bool takes_value = vr != VR_SQ && !is_binary_vr(vr);
    if (!takes_value)
        note_value_ignored(run, vr, p);
    MallocOwner<void> value;
    uint32_t length = 0;
    NumberFormat f = {};
    Built built = kBuilt;
    if (vr == VR_SQ) {
        /* the sequence replaced keeps its items, also raw bytes (DE_add) */
        length = kUndefined;
    } else if (number_format(vr, &f)) {
        if (vr == VR_XS)
            fit_to_pixels(run->obj, &f);
        built = build_numbers(text.get(), f, &value, &length);
    } else if (vr == VR_AT) {
        built = build_tags(text.get(), &value, &length);
    } else if (!is_binary_vr(vr)) {
        length = pad_text(text.get(), vr);
        if (length > 0)
            value.reset(text.release());
    }
    if (built != kBuilt) {
        explain_not_built(run, head, f, built);
        return -1;
    }
    if (takes_value)
        note_words_after(run, "value", rest);
    head->value = value.get();
    head->length = length;
    int16_t result = add_record(run, head);
    head->value = nullptr;
    return result;
}

int16_t edit_empty(ProfileRun *run, const char *line, DicomElementHead *head) {
    const char *p = line + 1;
    if (!read_tag(&p, head))
        return -1;
    note_words_after(run, "tag", p);
    int vr = lookup_vr(run, head);
    if (vr == -1 || refused_as_data(run, head) || refused_here(run))
        return -1;
    head->length = 0;
    if (vr == VR_SQ) {
        if (delete_at_level(run, head) != 0)
            return -1;
        head->length = kUndefined;
    }
    head->value = nullptr;
    return add_record(run, head);
}

int16_t edit_delete(ProfileRun *run, const char *line, DicomElementHead *head) {
    const char *p = line + 1;
    if (!*skip_blanks(p)) {
        head->group = 0xFFFF;
        head->element = 0xFFFF;
        return -1;
    }
    if (!read_tag(&p, head))
        return -1;
    note_words_after(run, "tag", p);
    if (head->group == 0xFFFF && head->element == 0xFFFF)
        return -1;
    if (((uint32_t)head->group << 16 | head->element) == kItemKey)
        return delete_current_item(run);
    if (refused_here(run))
        return -1;
    return delete_at_level(run, head);
}

int16_t edit_select(ProfileRun *run, const char *line, DicomElementHead *head) {
    DicomObject *obj = run->obj;
    if (is_bare_select(line)) {
        DicomElement *top = obj->cursor;
        return DE_search(run->app, obj, &top, 0xFFFF, 0xFFFF, 0);
    }
    DicomElement *pos = obj->cursor;
    const char *p = line + 1;
    for (size_t step = 0; *skip_blanks(p); step++) {
        if (!read_tag(&p, head))
            return -1;
        const char *word = p;
        while (*p && !is_blank(*p))
            p++;
        size_t word_len = (size_t)(p - word);
        p = skip_blanks(p);
        int vr = lookup_vr(run, head);
        if (vr == -1)
            return -1;
        long item = 0;
        if (vr == VR_SQ && !read_item_number(word, word_len, &item)) {
            explain(run, "select failed: no item number for sequence (%04hx,%04hx)",
                    (unsigned short)head->group, (unsigned short)head->element);
            return -1;
        }
        /* A failing step leaves no position, as a search that finds
         * nothing does. */
        DicomElement *target = step_target(run, pos, head, item);
        if (target && item > 0)
            target = select_item(run, step, target, item);
        if (!target) {
            obj->cursor = nullptr;
            return -1;
        }
        if (item > 0) {
            pos = obj->cursor = target; /* past the item numbers DE_search takes */
        } else if (DE_search(run->app, obj, &pos, head->group, head->element, item < 0 ? -1 : 0)) {
            explain(run, "select failed: no item could be appended to sequence (%04hx,%04hx)",
                    (unsigned short)head->group, (unsigned short)head->element);
            return -1;
        }
    }
    return 0;
}
