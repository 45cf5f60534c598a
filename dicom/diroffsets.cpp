/*
 * diroffsets.cpp -- keeps the record offsets of a directory (DICOMDIR)
 * right across a save.  A directory names its records by their byte
 * position in the file, which every save changes: the write notes where
 * each record read from the input lands, in the tree or in raw content,
 * and makes every record offset name that place once the file is written.
 */
#include <stdio.h>
#include <string.h>

#include <vector>

#include "diroffsets_int.h"
#include "logf_int.h"
#include "object_int.h"
#include "rawcontent_int.h"
#include "reader_int.h"
#include "vr_int.h"
#include "writenode_int.h"
#include "writer_int.h"

namespace {

const uint32_t kFirstRecord = 0x00041200u;
const uint32_t kLastRecord = 0x00041202u;
const uint32_t kRecordSequence = 0x00041220u;
const uint32_t kNextRecord = 0x00041400u;
const uint32_t kLowerRecord = 0x00041420u;

bool is_record_offset_key(uint32_t key) {
    return key == kNextRecord || key == kLowerRecord;
}

/* Walks raw content encoded in ts from at up to end, calling
 * visit(header, header_at, value_at, depth) for each element met: the
 * content of items, and of elements of undefined length, is walked too
 * (depth + 1), other values are stepped over.  With until set the walk
 * ends after that delimiter, as the re-encoder reads content.  False for
 * bytes that are no well-formed content. */
template <class Visit>
bool walk_content(const unsigned char *bytes, size_t end, size_t &at, TransferSyntaxCode ts,
                  uint32_t until, int depth, const Visit &visit) {
    if (depth > 2 * READER_MAX_NESTING)
        return false;
    while (at < end) {
        const unsigned char *p = bytes + at;
        SourceHeader h;
        if (read_content_header(p, bytes + end, ts, &h))
            return false;
        const size_t header_at = at;
        at = (size_t)(p - bytes);
        visit(h, header_at, at, depth);
        if (h.key == TAG_KEY_ITEM_DELIM || h.key == TAG_KEY_SEQ_DELIM) {
            at += h.length == kUndefined ? 0 : h.length;
            if (h.key == until)
                return true;
        } else if (h.length == kUndefined) {
            const uint32_t closing = h.key == TAG_KEY_ITEM ? TAG_KEY_ITEM_DELIM : TAG_KEY_SEQ_DELIM;
            if (!walk_content(bytes, end, at, h.content, closing, depth + 1, visit))
                return false;
        } else if (h.key == TAG_KEY_ITEM) {
            size_t inner = at;
            if (!walk_content(bytes, at + h.length, inner, h.content, 0, depth + 1, visit))
                return false;
            at += h.length;
        } else {
            at += h.length;
        }
    }
    return until == 0;
}

} // namespace

bool is_record_sequence(const DicomElement *e) {
    return element_key(e) == kRecordSequence && is_top_level(e);
}

bool is_record(const DicomElement *e) {
    return is_item(e) && is_record_sequence(e->parent);
}

bool is_directory_offset(const DicomElement *e) {
    const uint32_t key = element_key(e);
    if (key == kFirstRecord || key == kLastRecord)
        return is_top_level(e);
    return is_record_offset_key(key) && is_record(e->parent);
}

void DirectoryOffsets::raw_written(const DicomElement *e, const unsigned char *bytes, size_t n,
                                   off_t at, TransferSyntaxCode ts, TransferSyntaxCode from) {
    const bool sequence = is_record_sequence(e);
    std::vector<size_t> starts;
    std::vector<Slot> offsets;
    /* the offsets stand in the records: one level down in a sequence */
    const int record_depth = sequence ? 1 : 0;
    size_t pos = 0;
    if (!walk_content(bytes, n, pos, ts, 0, 0,
                      [&](const SourceHeader &h, size_t header_at, size_t value_at, int depth) {
                          if (sequence && depth == 0 && h.key == TAG_KEY_ITEM)
                              starts.push_back(header_at);
                          else if (depth == record_depth && is_record_offset_key(h.key) &&
                                   h.length == 4)
                              offsets.push_back({h.key, at + (off_t)value_at,
                                                 load_u32(bytes + value_at, ts), ts});
                      }))
        return;
    slots_.insert(slots_.end(), offsets.begin(), offsets.end());
    if (!sequence || !e->content_ts || !e->value_pos)
        return;
    const unsigned char *read = static_cast<const unsigned char *>(e->value);
    std::vector<size_t> read_starts;
    pos = 0;
    const bool read_ok =
        walk_content(read, e->length, pos, from, 0, 0,
                     [&](const SourceHeader &h, size_t header_at, size_t, int depth) {
                         if (depth == 0 && h.key == TAG_KEY_ITEM)
                             read_starts.push_back(header_at);
                     });
    if (!read_ok || read_starts.size() != starts.size())
        return; /* not the same records: their offsets are told as naming none */
    for (size_t i = 0; i < starts.size(); i++)
        moved(e->value_pos + read_starts[i], at + (off_t)starts[i]);
}

bool DirectoryOffsets::apply(FILE *out) {
    if (slots_.empty())
        return true;
    const off_t end = ftello(out);
    bool ok = end >= 0;
    for (const Slot &s : slots_) {
        if (s.named == 0)
            continue;
        const auto it = moved_.find(s.named);
        if (it == moved_.end()) {
            log_formatted(2,
                          "Directory offset (%04x,%04x) = %lu names no directory record; it "
                          "is kept as it was.",
                          s.key >> 16, s.key & 0xFFFF, (unsigned long)s.named);
            continue;
        }
        if (it->second != s.named)
            ok = ok && fseeko(out, s.at, SEEK_SET) == 0 && wr_u32(out, s.ts, it->second);
    }
    return ok && fseeko(out, end, SEEK_SET) == 0;
}
