/*
 * vr_int.h -- small VR and byte-order helpers shared inside the DICOM
 * library (not exported): the swap rule, numbers in file byte order, the
 * explicit-VR length form and the transfer-syntax UIDs by code.
 */
#ifndef QUENOR_VR_INT_H
#define QUENOR_VR_INT_H

#include <stddef.h>
#include <string.h>

#include "medcore.h"

/* A number is byte-reversed between file and memory exactly when the syntax
 * is big endian on a little-endian host, or any other on a big-endian host. */
static inline bool ts_needs_swap(TransferSyntaxCode ts) {
    return (ts == TS_EXPLICIT_BE && CPU_ARCH == 0) || (ts != TS_EXPLICIT_BE && CPU_ARCH == 1);
}

/* Whether element headers carry VR letters in the syntax ts: the explicit
 * syntaxes and PNG's (code 1 and above), not implicit VR LE or "none". */
static inline bool ts_is_explicit(TransferSyntaxCode ts) {
    return ts > TS_IMPLICIT_LE;
}

/* A 16- or 32-bit number stored at p in the byte order of ts. */
static inline uint16_t load_u16(const unsigned char *p, TransferSyntaxCode ts) {
    uint16_t v;
    memcpy(&v, p, sizeof v);
    return ts_needs_swap(ts) ? __builtin_bswap16(v) : v;
}

static inline uint32_t load_u32(const unsigned char *p, TransferSyntaxCode ts) {
    uint32_t v;
    memcpy(&v, p, sizeof v);
    return ts_needs_swap(ts) ? __builtin_bswap32(v) : v;
}

/* In an explicit-VR syntax these VRs carry two reserved bytes and a 32-bit
 * length; every other VR a 16-bit length (the item tags have no VR at all). */
static inline bool vr_has_long_length(int vr) {
    switch (vr) {
    case VR_OB:
    case VR_OW:
    case VR_SQ:
    case VR_UN:
    case VR_UT:
    case VR_UC:
    case VR_UR:
    case VR_OF:
    case VR_OD:
    case VR_OL:
    case VR_OV:
    case VR_SV:
    case VR_UV: return true;
    default: return false;
    }
}

/* ---- the VR a value is read, swapped, printed, checked and written as ----
 *
 * The dictionary's VR decides, with these resolutions of what it leaves
 * open: XS is SS when the data set's top-level Pixel Representation
 * (0028,0103) is 1, else US; XU is US; OX is OW for curve data (50xx,3000)
 * with native pixel data, OW for the waveform values that a Waveform Bits
 * Allocated (5400,1004) of 16 governs, OB for the rest; a tag without a
 * usable VR (none, RE, "na", "??") keeps the VR letters an explicit-VR
 * file gave it, else UN.  The letters of an explicit-VR file win where
 * they say what the value is made of otherwise than the dictionary's VR
 * (pixel data aside, which goes by its image description): OB or OW
 * where the dictionary says OB, OW or OX, and any letters but UN that
 * name a VR of another kind (text, bytes, binary numbers of another size,
 * items; see value_kind in vr.cpp): a Decimal String stored as DS under a
 * tag the dictionary calls SS is text.  Letters of the same kind (LO for
 * SH, US for SS) leave the dictionary's VR.  The reader gives such an
 * element the letters' VR code; a value handed in anew with another code
 * (the dictionary's, say) goes by the dictionary again. */

/* The VRCode that two VR letters as they stand in a file name, as
 * changeVRnameToVR gives it for upper-case names; -1 for none. */
int vr_of_letters(char a, char b);

/* vr_has_long_length on the two VR letters as they stand in a file. */
static inline bool vr_letters_have_long_length(const char letters[2]) {
    return vr_has_long_length(vr_of_letters(letters[0], letters[1]));
}

/* The length field behind two VR letters in an explicit-VR header: the
 * long VRs have two reserved bytes and 32 bits; the letters XX (the VR of
 * the item tags, which some writers put on elements) 32 bits with nothing
 * reserved; every other pair 16 bits.  The header is 6 + reserved + size
 * bytes long. */
struct LengthForm {
    unsigned reserved;
    unsigned size;
};

static inline LengthForm explicit_length_form(const char letters[2]) {
    if (vr_letters_have_long_length(letters))
        return {2, 4};
    if (letters[0] == 'X' && letters[1] == 'X')
        return {0, 4};
    return {0, 2};
}

/* No VR a value can be handled by: none, RE, "na", "??" and the pseudo
 * VRs XS, XU, OX, XX that need resolving first. */
bool vr_is_unusable(int vr);

/* The VR that the file's letters gave e, when usable; else -1. */
int file_vr_of(const DicomElement *e);

/* Waveform Data and the channel minimum, maximum and padding values. */
bool is_waveform_value(uint32_t key);

/* Waveform Bits Allocated (5400,1004) of the nearest item around e that
 * holds one (the top level last); 0 when none does. */
uint16_t waveform_bits_of(const DicomElement *e);

/* Whether the top-level Pixel Representation (0028,0103) of the data set
 * that holds e is 1 (signed). */
bool signed_pixels_of(const DicomElement *e);

/* Curve Data (50xx,3000) of any curve group 5000-501E (even groups). */
bool is_curve_data(uint32_t key);

/* letters (a VRCode, -1 for none) where they decide between bytes and
 * words for a tag whose dictionary VR is dict_vr (see above); else -1. */
int byte_or_word_letters(int dict_vr, int letters);

/* letters where they name a VR of another kind than dict_vr (see above);
 * else -1.  The reader gives an element read with them their VR code. */
int other_kind_letters(int dict_vr, int letters);

/* letters where they decide how a value read with them is handled under a
 * tag whose dictionary VR is dict_vr: bytes or words, or a VR of another
 * kind (see above); else -1. */
int deciding_letters(int dict_vr, int letters);

/* deciding_letters for the letters the file gave e, where e still holds
 * the value read with them (its VR code is theirs; bytes or words
 * whatever the code); else -1. */
int element_letters(const DicomElement *e, int dict_vr);

/* The text VRs, UI and the long ones among them. */
bool vr_is_text(int vr);

/* The VR the value of e is handled as (see above); dict_vr is the
 * dictionary's VR of its tag, encoding the pixel encoding of the pass. */
int value_vr(const DicomElement *e, int dict_vr, PixelEncoding encoding);

/* The UID of a transfer-syntax code TS_IMPLICIT_LE to TS_PNG; NULL for any
 * other code. */
const char *transfer_syntax_uid(int code);

/* The code (TS_IMPLICIT_LE to TS_PNG) of the UID held in a value, compared
 * up to its first NUL byte or its end, trailing blanks ignored; TS_NONE for
 * any other text. */
/* The length of a UID value without what pads it: everything from the
 * first NUL on, and trailing blanks (some files pad UIDs with a blank). */
size_t uid_length(const char *value, size_t length);

int transfer_syntax_code(const char *value, size_t length);

/* What a transfer-syntax UID says about the data set that follows: a code
 * TS_IMPLICIT_LE to TS_PNG; TS_KIND_ENCAPSULATED for the other syntaxes of
 * the standard (compressed or encapsulated pixel data in an explicit VR
 * little endian data set); TS_KIND_DEFLATED for the deflated syntax, which
 * is not read; TS_KIND_BIG_ENDIAN_PIXELS for the private syntax
 * 1.2.840.113619.5.2 of older scanners: an implicit VR little endian data
 * set whose pixel data is big endian; TS_NONE for a UID that says nothing
 * (other private ones, unknown, empty). */
#define TS_KIND_ENCAPSULATED (-2)
#define TS_KIND_DEFLATED (-3)
#define TS_KIND_BIG_ENDIAN_PIXELS (-4)
int transfer_syntax_kind(const char *value, size_t length);

#endif
