/*
 * nmvectors.cpp -- the per-frame index vectors of multi-frame
 * nuclear-medicine images: whether a tag is among the Frame Increment
 * Pointer (0028,0009) values, and the nine vectors of group 0054 read into
 * arrays indexed by frame number (slot 0 unused) and stored back.
 *
 * Values are taken from the top level of the object through the element
 * API, so they are 16-bit numbers in host order as the reader left them.
 * Nothing is logged: absent attributes simply give 0, null arrays or no
 * change.
 */
#include <stdlib.h>
#include <string.h>

#include <new>
#include <string>

#include "object_int.h"

namespace {

const uint16_t kVectorGroup = 0x0054;
/* Energy window, detector, phase, rotation, R-R interval, time slot,
 * slice, angular view, time slice: the order of the arguments. */
const uint16_t kVectorElements[9] = {0x0010, 0x0020, 0x0030, 0x0050, 0x0060,
                                     0x0070, 0x0080, 0x0090, 0x0100};

/* Number of Frames as "%hd" reads it; a count that is negative, absent
 * from the text or beyond 16 bits means no frames. */
int16_t parse_frame_count(const DicomElementHead &rec) {
    if (!rec.value)
        return 0;
    std::string text(static_cast<const char *>(rec.value), rec.length);
    char *end = nullptr;
    long n = strtol(text.c_str(), &end, 10);
    if (end == text.c_str() || n < 0 || n > INT16_MAX)
        return 0;
    return (int16_t)n;
}

/* parse_frame_count; no frames when memory for its text ran out. */
int16_t frame_count(const DicomElementHead &rec) {
    try {
        return parse_frame_count(rec);
    } catch (const std::bad_alloc &) {
        return 0;
    }
}

/* Slot 0 and the slots past a short value (or a vector present without
 * value, which has nothing to copy from) stay zero. */
int16_t *vector_from(const DicomElementHead &rec, int16_t frames) {
    int16_t *v = static_cast<int16_t *>(calloc((size_t)frames + 1, sizeof(int16_t)));
    if (!v)
        return nullptr;
    size_t count = rec.value ? rec.length / sizeof(int16_t) : 0;
    if (count > (size_t)frames)
        count = (size_t)frames;
    if (count)
        memcpy(v + 1, rec.value, count * sizeof(int16_t));
    return v;
}

} // namespace

extern "C" {

int16_t is_in_0028_0009(AppData *app, DicomObject *obj, uint16_t group, uint16_t element) {
    ElementRecord fip(app, 0x0028, 0x0009);
    if (!fip.search(obj) || !fip.rec.value)
        return 0;
    const unsigned char *bytes = static_cast<const unsigned char *>(fip.rec.value);
    /* a trailing part of a tag is no tag */
    for (uint32_t at = 0; at + 4 <= fip.rec.length; at += 4) {
        uint16_t g, e;
        memcpy(&g, bytes + at, 2);
        memcpy(&e, bytes + at + 2, 2);
        if (g == group && e == element)
            return 1;
    }
    return 0;
}

void get_Vectors(AppData *app, DicomObject *obj, int16_t **energy_window, int16_t **detector,
                 int16_t **phase, int16_t **rotation, int16_t **rr_interval, int16_t **time_slot,
                 int16_t **slice, int16_t **angular_view, int16_t **time_slice, int16_t *frames) {
    int16_t **out[9] = {energy_window, detector, phase,        rotation,  rr_interval,
                        time_slot,     slice,    angular_view, time_slice};
    for (int16_t **p : out)
        if (p)
            *p = nullptr;
    int16_t count = 0;
    {
        ElementRecord number(app, 0x0028, 0x0008);
        if (!number.search(obj)) {
            if (frames)
                *frames = 0;
            return;
        }
        count = frame_count(number.rec);
    }
    if (frames)
        *frames = count;
    for (int i = 0; i < 9; i++) {
        if (!out[i])
            continue;
        ElementRecord vec(app, kVectorGroup, kVectorElements[i]);
        if (vec.search(obj))
            *out[i] = vector_from(vec.rec, count);
    }
}

void put_Vectors(AppData *app, DicomObject *obj, int16_t *energy_window, int16_t *detector,
                 int16_t *phase, int16_t *rotation, int16_t *rr_interval, int16_t *time_slot,
                 int16_t *slice, int16_t *angular_view, int16_t *time_slice, int16_t *frames) {
    if (!obj || !frames || *frames <= 0)
        return;
    int16_t *in[9] = {energy_window, detector, phase,        rotation,  rr_interval,
                      time_slot,     slice,    angular_view, time_slice};
    for (int i = 0; i < 9; i++) {
        if (!in[i])
            continue;
        DicomElementHead rec{};
        rec.group = kVectorGroup;
        rec.element = kVectorElements[i];
        rec.value = in[i] + 1;
        rec.length = (uint32_t)*frames * sizeof(int16_t);
        int vr = -1;
        DOU_defXVRTypeByTags(app, rec.group, rec.element, &vr);
        rec.vr = vr;
        DO_changeElement(app, obj, &rec);
    }
}

} // extern "C"
