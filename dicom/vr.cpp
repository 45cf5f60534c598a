/*
 * vr.cpp -- the fixed vocabulary of the DICOM library: the VR table and its
 * name/code conversions, the transfer-syntax UIDs and other exported
 * strings, the host byte order and the in-place byte swap of a value by VR.
 */
#include <string.h>

#include "medcore.h"
#include "object_int.h"
#include "vr_int.h"

extern "C" {

/* Row index = VRCode.  Codes 0-30 never change meaning (definition files,
 * stored elements and the programs use them); the rows after them carry
 * the VRs that newer files use.  maxlen 0 means unlimited. */
/* clang-format off */
VRType VRTypes[VR_COUNT] = {
    {"AE", 16, 2},    {"AS", 4, 1},    {"AT", 4, 1},     {"CS", 16, 2},  {"DA", 8, 1},
    {"DS", 16, 2},    {"DT", 26, 2},   {"FL", 4, 1},     {"FD", 8, 1},   {"IS", 12, 2},
    {"LO", 64, 2},    {"LT", 10240, 2}, {"OB", 0, 0},    {"OW", 0, 5},   {"PN", 64, 2},
    {"SH", 16, 2},    {"SL", 4, 1},    {"SQ", 0, 3},     {"SS", 2, 1},   {"ST", 1024, 2},
    {"TM", 16, 2},    {"UI", 64, 2},   {"UL", 4, 1},     {"US", 2, 1},   {"RE", 0, 0},
    {"XS", 2, 1},     {"XU", 4, 1},    {"OX", 0, 0},     {"XX", 65535, 1}, {"na", 0, 3},
    {"??", 0, 3},
    {"UN", 0, 0},     {"UT", 0, 2},    {"UC", 0, 2},     {"UR", 0, 2},   {"OF", 0, 5},
    {"OD", 0, 5},     {"OL", 0, 5},    {"OV", 0, 5},     {"SV", 8, 1},   {"UV", 8, 1},
};
/* clang-format on */

int32_t CPU_ARCH = 0;

const char Implicit_VR_Little_Endian_Transfer_Syntax_UID[] = "1.2.840.10008.1.2";
const char Explicit_VR_Little_Endian_Transfer_Syntax_UID[] = "1.2.840.10008.1.2.1";
const char Explicit_VR_Big_Endian_Transfer_Syntax_UID[] = "1.2.840.10008.1.2.2";
const char PNG_Transfer_Syntax_UID[] = "3.0.0.4.5";
const char multi_value_delimiter[] = "\\";
const char datedelimiter[] = ".";
const char timedelimiter[] = ":";
const char Nuclear_Medicine_Image_Storage_SOP_Class_UID[] = "1.2.840.10008.5.1.4.1.1.20";
const char Secondary_Capture_Image_Storage_SOP_Class_UID[] = "1.2.840.10008.5.1.4.1.1.7";

} // extern "C"

namespace {

/* The name lookup runs up to this count. */
const int16_t vr_row_count = VR_COUNT;

/* Size of the numbers a value of this VR is made of; 0 for values that are
 * bytes or text and never swapped. */
int swap_unit(int vr) {
    switch (vr) {
    case VR_AT:
    case VR_OW:
    case VR_SS:
    case VR_US: return 2;
    case VR_FL:
    case VR_SL:
    case VR_UL:
    case VR_OF:
    case VR_OL: return 4;
    case VR_FD:
    case VR_OD:
    case VR_OV:
    case VR_SV:
    case VR_UV: return 8;
    default: return 0;
    }
}

} // namespace

size_t uid_length(const char *value, size_t length) {
    size_t n = strnlen(value, length);
    while (n > 0 && value[n - 1] == ' ')
        n--;
    return n;
}

void Setup_CPU_Arch(void) {
    const unsigned char probe[4] = {1, 0, 0, 0};
    uint32_t value;
    memcpy(&value, probe, sizeof value);
    if (value == 1 || value == 0x10000)
        CPU_ARCH = 0;
    else if (value == 0x100 || value == 0x1000000)
        CPU_ARCH = 1;
}

int changeVRnameToVR(const char *name) {
    if (name == NULL)
        return -1;
    for (int i = 0; i < vr_row_count; i++)
        if (strcmp(VRTypes[i].name, name) == 0)
            return i;
    return -1;
}

/* Codes outside the table give NULL, like -1, instead of a pointer past it. */
char *changeVRToVRname(int vr) {
    if (vr < 0 || vr >= vr_row_count)
        return NULL;
    return VRTypes[vr].name;
}

void change_TransferSyntax(int vr, DicomElementHead *elem) {
    /* An undefined length (0xFFFFFFFF) describes no value bytes at all. */
    if (elem == NULL || elem->value == NULL || elem->length == 0 || elem->length == 0xFFFFFFFFu)
        return;
    const uint32_t unit = (uint32_t)swap_unit(vr);
    if (unit == 0)
        return;
    unsigned char *bytes = static_cast<unsigned char *>(elem->value);
    /* Only whole units: a short remainder at the end stays as it is. */
    for (uint32_t off = 0; elem->length - off >= unit && off < elem->length; off += unit)
        swapbytes(bytes + off, (int16_t)unit);
}

const char *transfer_syntax_uid(int code) {
    static const char *const uids[] = {Implicit_VR_Little_Endian_Transfer_Syntax_UID,
                                       Explicit_VR_Little_Endian_Transfer_Syntax_UID,
                                       Explicit_VR_Big_Endian_Transfer_Syntax_UID,
                                       PNG_Transfer_Syntax_UID};
    return code >= TS_IMPLICIT_LE && code <= TS_PNG ? uids[code] : NULL;
}

int transfer_syntax_code(const char *value, size_t length) {
    if (value == NULL)
        return TS_NONE;
    const size_t n = uid_length(value, length);
    for (int code = TS_IMPLICIT_LE; code <= TS_PNG; code++) {
        const char *uid = transfer_syntax_uid(code);
        if (strlen(uid) == n && memcmp(uid, value, n) == 0)
            return code;
    }
    return TS_NONE;
}

int transfer_syntax_kind(const char *value, size_t length) {
    const int code = transfer_syntax_code(value, length);
    if (code != TS_NONE || value == NULL)
        return code;
    static const char deflated[] = "1.2.840.10008.1.2.1.99";
    static const char big_endian_pixels[] = "1.2.840.113619.5.2";
    static const char standard[] = "1.2.840.10008.1.2.";
    const size_t n = uid_length(value, length);
    if (n == sizeof deflated - 1 && memcmp(value, deflated, n) == 0)
        return TS_KIND_DEFLATED;
    if (n == sizeof big_endian_pixels - 1 && memcmp(value, big_endian_pixels, n) == 0)
        return TS_KIND_BIG_ENDIAN_PIXELS;
    if (n > sizeof standard - 1 && memcmp(value, standard, sizeof standard - 1) == 0)
        return TS_KIND_ENCAPSULATED;
    return TS_NONE;
}

int vr_of_letters(char a, char b) {
    /* Two upper-case letters (the "na" and "??" rows are no file letters):
     * one table of 26 x 26 codes, made once. */
    struct Table {
        int8_t code[26][26];
        Table() {
            memset(code, -1, sizeof code);
            for (int i = vr_row_count - 1; i >= 0; i--) {
                const char *n = VRTypes[i].name;
                if (n[0] >= 'A' && n[0] <= 'Z' && n[1] >= 'A' && n[1] <= 'Z' && n[2] == '\0')
                    code[n[0] - 'A'][n[1] - 'A'] = (int8_t)i;
            }
        }
    };
    static const Table table;
    if (a < 'A' || a > 'Z' || b < 'A' || b > 'Z')
        return -1;
    return table.code[a - 'A'][b - 'A'];
}

/* ---- the VR a value is handled as ---- */

bool vr_is_unusable(int vr) {
    switch (vr) {
    case VR_RE:
    case VR_NA:
    case VR_QQ:
    case VR_XS:
    case VR_XU:
    case VR_OX:
    case VR_XX: return true;
    default: return vr < 0 || vr >= VR_COUNT;
    }
}

int file_vr_of(const DicomElement *e) {
    const int vr = (int)e->file_vr - 1;
    return vr_is_unusable(vr) ? -1 : vr;
}

bool is_waveform_value(uint32_t key) {
    return key == 0x54000110u || key == 0x54000112u || key == 0x5400100Au || key == 0x54001010u;
}

namespace {

uint16_t first_u16(const DicomElement *e) {
    uint16_t v = 0;
    if (e && e->value && e->length >= 2)
        memcpy(&v, e->value, 2);
    return v;
}

} // namespace

uint16_t waveform_bits_of(const DicomElement *e) {
    for (const DicomElement *p = e->parent; p; p = p->parent) {
        const DicomElement *bits = first_child_with(p, 0x54001004u);
        if (bits)
            return first_u16(bits);
    }
    return 0;
}

bool signed_pixels_of(const DicomElement *e) {
    const DicomElement *root = e;
    while (root->parent)
        root = root->parent;
    return root != e && first_u16(first_child_with(root, 0x00280103u)) == 1;
}

bool is_curve_data(uint32_t key) {
    return (key & 0xFFE0FFFFu) == 0x50003000u && ((key >> 16) & 1) == 0;
}

int byte_or_word_letters(int dict_vr, int letters) {
    const bool either = dict_vr == VR_OB || dict_vr == VR_OW || dict_vr == VR_OX;
    return either && (letters == VR_OB || letters == VR_OW) ? letters : -1;
}

bool vr_is_text(int vr) {
    switch (vr) {
    case VR_AE:
    case VR_AS:
    case VR_CS:
    case VR_DA:
    case VR_DS:
    case VR_DT:
    case VR_IS:
    case VR_LO:
    case VR_LT:
    case VR_PN:
    case VR_SH:
    case VR_ST:
    case VR_TM:
    case VR_UI:
    case VR_UC:
    case VR_UT:
    case VR_UR: return true;
    default: return false;
    }
}

namespace {

/* What the value of a VR is made of, as far as that decides how it is
 * read, swapped, printed, checked and written: binary numbers (words among
 * them) of 2, 4 or 8 bytes, the size being the kind; bytes; text; items.
 * The VRs that leave it open (XS and XU aside, 16-bit numbers either way)
 * or say nothing of it have no kind: OX, UN, RE, XX, "na", "??". */
enum ValueKind { kNoKind, kBytes, kNumbers2 = 2, kNumbers4 = 4, kNumbers8 = 8, kText, kItems };

int value_kind(int vr) {
    if (vr == VR_XS || vr == VR_XU)
        return kNumbers2;
    if (const int unit = swap_unit(vr))
        return unit;
    if (vr_is_text(vr))
        return kText;
    return vr == VR_OB ? kBytes : vr == VR_SQ ? kItems : kNoKind;
}

} // namespace

int other_kind_letters(int dict_vr, int letters) {
    const int kind = value_kind(letters), dict_kind = value_kind(dict_vr);
    return kind != kNoKind && dict_kind != kNoKind && kind != dict_kind ? letters : -1;
}

int deciding_letters(int dict_vr, int letters) {
    const int words = byte_or_word_letters(dict_vr, letters);
    return words >= 0 ? words : other_kind_letters(dict_vr, letters);
}

int element_letters(const DicomElement *e, int dict_vr) {
    const int letters = file_vr_of(e);
    const int words = byte_or_word_letters(dict_vr, letters);
    if (words >= 0)
        return words;
    return letters >= 0 && e->vr == letters ? other_kind_letters(dict_vr, letters) : -1;
}

int value_vr(const DicomElement *e, int dict_vr, PixelEncoding encoding) {
    const uint32_t key = element_key(e);
    const int decided = element_letters(e, dict_vr);
    if (decided >= 0 && key != 0x7FE00010u)
        return decided;
    switch (dict_vr) {
    case VR_XS: return signed_pixels_of(e) ? VR_SS : VR_US;
    case VR_XU: return VR_US;
    case VR_OX:
        if (key == 0x7FE00010u || is_curve_data(key))
            return encoding == PE_NATIVE ? VR_OW : VR_OB;
        if (is_waveform_value(key))
            return waveform_bits_of(e) == 16 ? VR_OW : VR_OB;
        return VR_OB;
    default: break;
    }
    if (!vr_is_unusable(dict_vr))
        return dict_vr;
    const int letters = file_vr_of(e);
    return letters >= 0 ? letters : VR_UN;
}
