/*
 * display.h -- what more than one program shows alike: the name of a
 * transfer syntax (the lister's and the verifier's headings), and the VR
 * and the value length column of an element (the lister's lines, the
 * browser's value screen), which for pixel data left in the file is the
 * length there.
 */
#ifndef APP_DISPLAY_H
#define APP_DISPLAY_H

#include <stdint.h>

#include <string>

#include "medcore.h"

/* "ImplicitVRLittleEndian", "ExplicitVRLittleEndian",
 * "ExplicitVRBigEndian", or "Unknown/Not present" for any other code. */
const char *syntax_name(TransferSyntaxCode ts);

/* The VR shown for an element, given the dictionary's for its tag in *vr
 * and *vrname: the VR its file's letters name where the reader kept them
 * (it gives the element their VR code where they say its value is another
 * kind of value than the dictionary's VR, and the value prints by them). */
void shown_vr(const DicomElement *e, int *vr, const char **vrname);

/* The descriptor a pixel data element (7FE0,0010) holds for its value left
 * in the file, else nullptr. */
const PixelDataDesc *pixel_descriptor(const DicomElement *e);

/* The length shown for an element: its descriptor's length for pixel data
 * left in the file, else its value length. */
uint32_t shown_length(const DicomElement *e);

/* A length as its column shows it: two blanks, then the number right
 * aligned in five places, -1 for an undefined length, or wider when it
 * needs more. */
std::string length_column(uint32_t length);

#endif /* APP_DISPLAY_H */
