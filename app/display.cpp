/*
 * display.cpp -- syntax names, the VR shown and the value length column
 * shared by the programs (see display.h).
 */
#include "display.h"

#include <stdio.h>

const char *syntax_name(TransferSyntaxCode ts) {
    switch (ts) {
    case TS_IMPLICIT_LE: return "ImplicitVRLittleEndian";
    case TS_EXPLICIT_LE: return "ExplicitVRLittleEndian";
    case TS_EXPLICIT_BE: return "ExplicitVRBigEndian";
    default: return "Unknown/Not present";
    }
}

const PixelDataDesc *pixel_descriptor(const DicomElement *e) {
    if (e->group == 0x7FE0 && e->element == 0x0010 && e->value && (e->flags & DE_FLAG_PIXEL_DESC))
        return static_cast<const PixelDataDesc *>(e->value);
    return nullptr;
}

namespace {

/* A dictionary VR that says what its value is made of: not none, nor one
 * of the VRs that leave it open or say nothing of it. */
bool says_what_value_is(int vr) {
    switch (vr) {
    case -1:
    case VR_RE:
    case VR_OX:
    case VR_XX:
    case VR_NA:
    case VR_QQ:
    case VR_UN: return false;
    default: return true;
    }
}

} // namespace

void shown_vr(const DicomElement *e, int *vr, const char **vrname) {
    const int letters = (int)e->file_vr - 1;
    if (letters >= 0 && letters < VR_COUNT && letters == e->vr && letters != *vr &&
        says_what_value_is(*vr)) {
        *vr = letters;
        *vrname = VRTypes[letters].name;
    }
}

uint32_t shown_length(const DicomElement *e) {
    const PixelDataDesc *pds = pixel_descriptor(e);
    return pds ? pds->length : e->length;
}

std::string length_column(uint32_t length) {
    char text[16];
    if (length <= 99999)
        snprintf(text, sizeof text, "  %5lu", (unsigned long)length);
    else if (length == 0xFFFFFFFFu)
        snprintf(text, sizeof text, "  %5ld", -1L);
    else
        snprintf(text, sizeof text, "  %lu", (unsigned long)length);
    return text;
}
