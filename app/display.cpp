/*
 * display.cpp -- syntax names and the value length column shared by the
 * programs (see display.h).
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
