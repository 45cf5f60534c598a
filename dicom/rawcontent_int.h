/*
 * rawcontent_int.h -- the raw content of sequences and items of defined
 * length, which the reader keeps as bytes in the syntax they were read in,
 * as the writer's files share it (not exported): its element headers, the
 * syntax it is in, and the same content re-encoded for another syntax.
 */
#ifndef QUENOR_RAWCONTENT_INT_H
#define QUENOR_RAWCONTENT_INT_H

#include <string>
#include <unordered_map>
#include <vector>

#include "medcore.h"

/* An element header of raw content as it stands there. */
struct SourceHeader {
    uint32_t key = 0;
    uint32_t length = 0;
    int letters = -1;                     /* VR of the letters; -1 none */
    TransferSyntaxCode content = TS_NONE; /* syntax of a sequence's content */
};

/* Reads the header at p, encoded in `from`, and moves p past it; an error
 * text for a header cut short or a length beyond the content (key then
 * holds what could be read of the tag), else nullptr. */
const char *read_content_header(const unsigned char *&p, const unsigned char *end,
                                TransferSyntaxCode from, SourceHeader *h);

/* The syntax raw bytes are encoded in: PNG data sets are explicit LE. */
TransferSyntaxCode byte_syntax(TransferSyntaxCode ts);

/* The syntax the raw content of a sequence or item is encoded in. */
TransferSyntaxCode raw_syntax(const DicomElement *e, const IOObject *io);

/* Raw content of a defined-length sequence or item that must be re-encoded
 * because it goes out in another syntax than it is encoded in. */
bool needs_recode(AppData *app, const DicomElement *e, const IOObject *io);

/* Why the value of e cannot be written where it stands, or empty: the
 * value of an item, or one that readers of the output take for a
 * sequence's content (labelled SQ, or in implicit VR under a tag the
 * dictionary calls SQ), must parse, in the syntax it is in, as elements or
 * as items, and be written in the output data-set syntax: in implicit VR,
 * a value it holds under a tag the dictionary calls SQ must be items too.
 * Elements with children have no value of their own. */
std::string raw_content_fault(AppData *app, const DicomElement *e, const IOObject *io);

/* Raw content re-encoded for the syntax in force, kept from the count of a
 * save to its write so that each is encoded once.  An entry serves the
 * value bytes and the pass state it was made for; asked for any other, it
 * is made again.  The syntax the bytes are in is the element's own and
 * the read's (raw_syntax), the same for the whole save. */
class RecodedContent {
public:
    struct Entry {
        const void *value = nullptr;
        uint32_t length = 0;
        TransferSyntaxCode to = TS_NONE;
        PixelEncoding encoding = PE_NATIVE;
        bool ok = false; /* else error says why the bytes are no content */
        std::vector<unsigned char> bytes;
        std::string error;
    };

    const Entry &of(AppData *app, const DicomElement *e, const IOObject *io);
    /* Once written, an element's bytes are needed no more. */
    void forget(const DicomElement *e) { entries_.erase(e); }

private:
    std::unordered_map<const DicomElement *, Entry> entries_;
};

/* Sets the pass to native pixel data for nested pixel data, and back. */
class NativeForNested {
public:
    NativeForNested(IOObject *io, const DicomElement *e);
    ~NativeForNested() { io_->pass_encoding = saved_; }

private:
    IOObject *io_;
    PixelEncoding saved_;
};

#endif
