/*
 * reader.cpp -- reads one DICOM file into a new element tree: probing for
 * the preamble and "DICM", guessing the transfer syntax, the element loop
 * with its sequence and item stacks, the meta-group checks, pixel data left
 * in the file behind a PixelDataDesc (fill_pds), the item-header reader and
 * the value skipper.  The input must be a regular file: a directory, a
 * pipe or a device is refused with a message that says so.  Zero bytes
 * from where an element header would start to the end of the file are
 * padding: the read ends before them.  A value or node that memory cannot
 * hold ends the read with an error: nothing is left out in silence.
 *
 * An element is read by the VR the dictionary gives its tag, or by its VR
 * letters where they say its value is another kind of value (vr_int.h).
 * Of a tag held twice at one level the later occurrence replaces the
 * earlier whole, found through an index of the tags of each level
 * (readindex.cpp), so that reading is linear in any element order.
 *
 * The file is read through one stdio stream with a large buffer; the reader
 * keeps the position itself (the end is reached exactly when it equals the
 * file size), so no byte is read ahead and no position is asked of the
 * system per element.
 */
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <new>
#include <vector>

#include "logf_int.h"
#include "object_int.h"
#include "owners_int.h"
#include "readindex_int.h"
#include "reader_int.h"
#include "vr_int.h"

namespace {

constexpr uint32_t kUndefinedLength = 0xFFFFFFFFu;
constexpr uint32_t kPixelDataKey = 0x7FE00010u;
constexpr uint64_t kNoEnd = UINT64_MAX;          /* end of an undefined-length entry */
constexpr uint64_t kLargestFile = 0xFFFFFFFFull; /* offsets are 32-bit in PixelDataDesc */
constexpr size_t kStreamBufferSize = 1u << 20;
constexpr size_t kPreambleSize = 128;

/* An item of an undefined-length value that runs past the end of the
 * file: its header cut short, or its length beyond the bytes left. */
struct ItemFault {
    bool found = false;
    bool header_cut = false;
    uint64_t header_at = 0;
    uint16_t group = 0, element = 0;
    uint32_t length = 0;
    uint64_t left = 0; /* bytes after the header */
};

/* Skips an undefined-length value from pos, item header by item header,
 * never beyond size; returns the position reached.  The item that runs
 * past the end, if any, goes to *fault; running out of items exactly at
 * the end is no fault. */
uint64_t skip_items(FILE *file, TransferSyntaxCode ts, uint64_t pos, uint64_t size,
                    ItemFault *fault = nullptr) {
    ItemFault found;
    while (size - pos >= 8) {
        uint16_t group, element;
        uint32_t length;
        _read_itemtag(file, ts, &group, &element, &length);
        pos += 8;
        if (tag_key(group, element) == TAG_KEY_SEQ_DELIM)
            return pos;
        if (length == kUndefinedLength)
            continue;
        if (length > size - pos) {
            found = {true, false, pos - 8, group, element, length, size - pos};
            break;
        }
        pos += length;
        fseeko(file, (off_t)length, SEEK_CUR);
    }
    if (!found.found && pos < size)
        found = {true, true, pos, 0, 0, 0, 0};
    if (fault)
        *fault = found;
    fseeko(file, (off_t)size, SEEK_SET);
    return size;
}

const char *stream_kind(mode_t mode) {
    if (S_ISFIFO(mode))
        return "a pipe";
    if (S_ISCHR(mode))
        return "a character device";
    if (S_ISBLK(mode))
        return "a block device";
    return "a socket";
}

/* The input stream with the position kept by hand. */
class InputFile {
public:
    bool open(const char *name) {
        file_.reset(fopen(name, "rb"));
        if (!file_) {
            log_formatted(1, "Cannot open %s: %s.", name, strerror(errno));
            return false;
        }
        struct stat st;
        const bool known = fstat(fileno(file_.get()), &st) == 0;
        if (known && S_ISDIR(st.st_mode)) {
            /* A directory opens for reading here, but every read fails:
             * say what it is rather than that its "file" is cut short. */
            log_formatted(1, "Input %s is a directory, not a DICOM file.", name);
            file_.reset();
            return false;
        }
        if (known && !S_ISREG(st.st_mode)) {
            /* The reader measures the file and leaves the pixel data in it
             * for a later save: a pipe or a device has no size and cannot
             * be read twice. */
            log_formatted(1, "Input %s is %s, not a regular file: save it to a file and name that.",
                          name, stream_kind(st.st_mode));
            file_.reset();
            return false;
        }
        buffer_.reset(new (std::nothrow) char[kStreamBufferSize]);
        if (buffer_)
            setvbuf(file_.get(), buffer_.get(), _IOFBF, kStreamBufferSize);
        size_ = known ? (uint64_t)st.st_size : 0;
        return true;
    }
    void close() { file_.reset(); }
    FILE *stream() const { return file_.get(); }
    uint64_t size() const { return size_; }
    uint64_t pos() const { return pos_; }
    uint64_t left() const { return size_ > pos_ ? size_ - pos_ : 0; }
    bool at_end() const { return pos_ >= size_; }

    bool read(void *dst, size_t n) {
        size_t got = fread(dst, 1, n, file_.get());
        pos_ += got;
        return got == n;
    }
    void seek(uint64_t to) {
        fseeko(file_.get(), (off_t)to, SEEK_SET);
        pos_ = to;
    }
    /* Callers never skip past the end: lengths are checked first. */
    void skip(uint64_t n) {
        fseeko(file_.get(), (off_t)n, SEEK_CUR);
        pos_ += n;
    }
    /* Whether every byte from `from` to the end is zero; the position is
     * kept.  Reads no further than the first byte that is not. */
    bool zeros_from(uint64_t from) {
        const uint64_t back = pos_;
        seek(from);
        unsigned char chunk[512];
        bool zeros = true;
        while (zeros && !at_end()) {
            const size_t n = left() < sizeof chunk ? (size_t)left() : sizeof chunk;
            zeros = read(chunk, n) &&
                    std::all_of(chunk, chunk + n, [](unsigned char b) { return b == 0; });
        }
        seek(back);
        return zeros;
    }
    void skip_value(TransferSyntaxCode ts, uint32_t length, ItemFault *fault) {
        if (length == kUndefinedLength)
            pos_ = skip_items(file_.get(), ts, pos_, size_, fault);
        else if (length != 0)
            skip(length);
    }

private:
    std::unique_ptr<char[]> buffer_; /* outlives the stream: freed after fclose */
    FileOwner file_;
    uint64_t size_ = 0;
    uint64_t pos_ = 0;
};

/* A sequence or item open in the file.  Content of an element of VR UN
 * and undefined length is implicit VR little endian whatever the data
 * set's syntax; its entry remembers the syntax to go on in after it. */
constexpr TransferSyntaxCode kNoResume = -100;

struct OpenEntry {
    uint32_t length;
    uint64_t end;
    TransferSyntaxCode resume_ts;
};

/* Open sequences or items, innermost last.  The depth grows with the file
 * up to a bound that only hostile input reaches. */
class NestingStack {
public:
    bool push(uint32_t length, uint64_t pos, TransferSyntaxCode resume_ts = kNoResume) {
        if (entries_.size() >= READER_MAX_NESTING)
            return false;
        entries_.push_back({length, length == kUndefinedLength ? kNoEnd : pos + length, resume_ts});
        return true;
    }
    bool ends_at(uint64_t pos) const { return !entries_.empty() && entries_.back().end == pos; }
    bool top_is_undefined() const {
        return !entries_.empty() && entries_.back().length == kUndefinedLength;
    }
    /* Removes the innermost entry; returns the syntax to resume (kNoResume
     * when the entry changed none). */
    TransferSyntaxCode pop() {
        if (entries_.empty())
            return kNoResume;
        TransferSyntaxCode resume = entries_.back().resume_ts;
        entries_.pop_back();
        return resume;
    }

private:
    std::vector<OpenEntry> entries_;
};

struct ReadState {
    ReadState(AppData *a, IOObject *i, const char *n) : app(a), io(i), name(n) {}
    AppData *app;
    IOObject *io;
    const char *name;
    InputFile in;
    NestingStack sequences;
    NestingStack items;
    int64_t group_length = -1; /* value of (0002,0000) once kept */
    bool missing_group_length_told = false;
    uint16_t last_meta_group = 0;
    bool syntax_named = false;        /* (0002,0010) named a syntax the data set is read in */
    bool deflated = false;            /* (0002,0010) named the deflated syntax */
    bool pixels_big_endian = false;   /* (0002,0010) named big-endian pixel data */
    int un_content_depth = 0;         /* open UN sequences read as implicit VR LE */
    int vr = -1;                      /* VR the element being read is read by */
    uint64_t meta_end = 0;            /* where (0002,0000) says the meta group ends; 0 unknown */
    bool waveforms_unswapped = false; /* see swap_waveform_values */
    bool out_of_memory = false;       /* an element could not be held (told) */
    ReadIndex index;                  /* the tags stored at each level */
};

int vr_of(AppData *app, uint32_t key) {
    int vr = -1;
    getVR(app, key, &vr);
    return vr;
}

constexpr int kSwapLater = -2; /* waveform values: by their item's bits allocated */

/* The VR that two VR letters name; -1 for none (also for no letters). */
int letters_vr(const char letters[2]) {
    return vr_of_letters(letters[0], letters[1]);
}

/* The VR an element is read by: the dictionary's, or the file's letters
 * where they say the value is another kind of value (vr_int.h).  Pixel
 * data goes by its image description. */
int read_vr(AppData *app, uint32_t key, const char letters[2]) {
    const int dict_vr = vr_of(app, key);
    const int decided =
        key == kPixelDataKey ? -1 : other_kind_letters(dict_vr, letters_vr(letters));
    return decided >= 0 ? decided : dict_vr;
}

/* The VR by which the value bytes are swapped: the one it is read by, the
 * file's letters where that has no usable VR or leaves bytes or words
 * open. */
int effective_vr(const ReadState &st, uint32_t key, const char letters[2]) {
    int vr = st.vr;
    const int decided = byte_or_word_letters(vr, letters_vr(letters));
    if (decided >= 0)
        return decided;
    if (vr == VR_XS || vr == VR_XU)
        return VR_US;
    if (vr == VR_OX) {
        if (is_waveform_value(key))
            return kSwapLater; /* its Waveform Bits Allocated may follow it */
        return is_curve_data(key) && st.io->pass_encoding == PE_NATIVE ? VR_OW : VR_OB;
    }
    if (vr_is_unusable(vr)) {
        vr = letters_vr(letters);
        return vr_is_unusable(vr) ? -1 : vr;
    }
    return vr;
}

/* Waveform values read in a syntax that swaps are kept in file order
 * (marked by content_ts) until the whole tree is there: then the Waveform
 * Bits Allocated of their item tells whether they are 16-bit words. */
void swap_waveform_values(DicomElement *parent) {
    for (DicomElement *e = parent->first_child; e; e = e->next) {
        if (e->content_ts && e->value && is_waveform_value(element_key(e))) {
            if (waveform_bits_of(e) == 16)
                change_TransferSyntax(VR_OW, reinterpret_cast<DicomElementHead *>(e));
            e->content_ts = 0;
        }
        swap_waveform_values(e);
    }
}

/* Stores the element read under the insertion parent: in place of an
 * earlier occurrence of its tag there (items aside), else appended.
 * *added as _add_element gives it. */
int16_t add_read_element(ReadState &st, DicomElementHead &rec, DicomElement **added = nullptr) {
    DicomObject *obj = st.io->object;
    const uint32_t key = tag_key(rec.group, rec.element);
    DicomElement *earlier = key == TAG_KEY_ITEM ? nullptr : st.index.find(obj->insert_parent, key);
    DicomElement *node = nullptr;
    const int16_t status = _add_element(st.app, obj, &rec, earlier, &node);
    if (node)
        st.index.stored(node);
    if (added)
        *added = node;
    return status;
}

/* Hands a delimiter without value to DO_addElement: it stores nothing (so
 * no VR is looked up) and moves the insertion parent one level up. */
void add_closing_delimiter(ReadState &st, uint16_t element) {
    DicomElementHead rec{};
    rec.group = 0xFFFE;
    rec.element = element;
    rec.length = kUndefinedLength;
    DO_addElement(st.app, st.io->object, &rec);
}

void close_what_ends_here(ReadState &st) {
    if (st.items.ends_at(st.in.pos())) {
        add_closing_delimiter(st, 0xE00D);
        st.items.pop();
    }
    if (st.sequences.ends_at(st.in.pos())) {
        add_closing_delimiter(st, 0xE0DD);
        st.sequences.pop();
    }
}

int16_t fail(ReadState &st) {
    st.in.close();
    return -1;
}

void log_header_cut(uint64_t header_start) {
    log_formatted(1, "Element header at offset 0x%lx is cut short by the end of the file.",
                  (unsigned long)header_start);
}

int16_t fail_truncated(ReadState &st, uint64_t header_start) {
    log_header_cut(header_start);
    return fail(st);
}

void log_length_beyond_end(uint16_t group, uint16_t element, uint32_t length, uint64_t left) {
    log_formatted(1,
                  "Length of element (%04hx,%04hx) is greater than the rest of the "
                  "file: 0x%lx > 0x%lx (%lu > %lu).",
                  group, element, (unsigned long)length, (unsigned long)left, (unsigned long)length,
                  (unsigned long)left);
}

/* Reads the length field of an element whose tag has been read, and the
 * VR letters before it in an explicit syntax (two NULs where there are
 * none). */
bool read_length(ReadState &st, uint32_t key, uint32_t *length, char letters[2]) {
    const TransferSyntaxCode ts = st.io->ts_in_force;
    unsigned char bytes[6];
    letters[0] = letters[1] = '\0';
    if (!ts_is_explicit(ts) || is_item_or_delimiter_key(key)) {
        if (!st.in.read(bytes, 4))
            return false;
        *length = load_u32(bytes, ts);
        return true;
    }
    if (!st.in.read(letters, 2))
        return false;
    const LengthForm form = explicit_length_form(letters);
    if (!st.in.read(bytes, form.reserved + form.size))
        return false;
    *length =
        form.size == 4 ? load_u32(bytes + form.reserved, ts) : load_u16(bytes + form.reserved, ts);
    return true;
}

bool letters_are(const char letters[2], const char *vr) {
    return letters[0] == vr[0] && letters[1] == vr[1];
}

/* Whether an element opens a sequence: one the dictionary calls SQ, and
 * any element of undefined length other than an item, a delimiter or pixel
 * data (its items follow, whatever the dictionary knows of the tag). */
bool opens_sequence(const ReadState &st, uint32_t key, uint32_t length) {
    if (is_item_or_delimiter_key(key))
        return false;
    if (length == kUndefinedLength && key != kPixelDataKey)
        return true;
    return st.vr == VR_SQ;
}

/* Opens sequences and items on the stacks, closes undefined-length ones at
 * their delimiters.  An element of VR UN and undefined length switches the
 * syntax in force to implicit VR little endian up to its delimiter.  False
 * when a stack is full. */
bool track_nesting(ReadState &st, uint32_t key, uint32_t length, const char letters[2]) {
    IOObject *io = st.io;
    if (key == TAG_KEY_ITEM)
        return st.items.push(length, st.in.pos());
    if (key == TAG_KEY_ITEM_DELIM) {
        if (st.items.top_is_undefined())
            st.items.pop();
        return true;
    }
    if (key == TAG_KEY_SEQ_DELIM) {
        if (st.sequences.top_is_undefined()) {
            const TransferSyntaxCode resume = st.sequences.pop();
            if (resume != kNoResume) {
                io->ts_in_force = resume;
                st.un_content_depth--;
            }
        }
        return true;
    }
    if (!opens_sequence(st, key, length))
        return true;
    if (length == kUndefinedLength && ts_is_explicit(io->ts_in_force) &&
        letters_are(letters, "UN")) {
        if (!st.sequences.push(length, st.in.pos(), io->ts_in_force))
            return false;
        io->ts_in_force = TS_IMPLICIT_LE;
        st.un_content_depth++;
        return true;
    }
    return st.sequences.push(length, st.in.pos());
}

/* The syntaxes of the standard other than the three native ones hold an
 * explicit VR little endian data set (with encapsulated pixel data); a UID
 * that says nothing leaves the data set's syntax to be guessed from its
 * first element, as in a file without meta header.  So does the private
 * syntax of big-endian pixel data (its data set is implicit VR little
 * endian, which the guess finds): it marks the pixel data alone. */
void check_transfer_syntax_uid(ReadState &st, const DicomElementHead &rec) {
    IOObject *io = st.io;
    io->pass_encoding = PE_NATIVE;
    if (!rec.value)
        return;
    const int kind = transfer_syntax_kind(static_cast<const char *>(rec.value), rec.length);
    if (kind == TS_PNG) {
        io->named_ts = TS_EXPLICIT_LE;
        io->pass_ts = TS_PNG;
        io->pass_encoding = PE_PNG;
    } else if (kind == TS_KIND_ENCAPSULATED) {
        io->named_ts = TS_EXPLICIT_LE;
        io->pass_ts = TS_EXPLICIT_LE;
    } else if (kind >= TS_IMPLICIT_LE) {
        io->named_ts = kind;
        io->pass_ts = kind;
    } else {
        st.deflated = kind == TS_KIND_DEFLATED;
        st.pixels_big_endian = kind == TS_KIND_BIG_ENDIAN_PIXELS;
        return;
    }
    st.syntax_named = true;
}

void check_meta_element(ReadState &st, const DicomElementHead &rec) {
    const uint32_t key = tag_key(rec.group, rec.element);
    if (key == 0x00020000u) {
        if (vr_of(st.app, key) != VR_UL) {
            log_message("File Meta Element (0002,0000) Value Representation is not UL. "
                        "Interpretation may not be correct.",
                        2);
        } else if (rec.length != 4) {
            log_message("File Meta Element (0002,0000) Value Length is not 4. "
                        "Interpretation may not be correct.",
                        2);
        } else if (rec.value) {
            uint32_t v;
            memcpy(&v, rec.value, 4);
            st.group_length = v;
            st.meta_end = st.in.pos() + v;
        }
        return;
    }
    if (st.group_length < 0 && !st.missing_group_length_told) {
        log_message("File Meta Element (0002,0000) is not present. (This is a mandatory "
                    "element.) Interpretation may not be correct.",
                    2);
        st.missing_group_length_told = true;
    }
    if (key == 0x00020001u) {
        if (rec.length != 2)
            log_message("File Meta Information Header Version is not correct. "
                        "Interpretation may not be correct.",
                        2);
        else if (rec.value && !(static_cast<const unsigned char *>(rec.value)[1] & 1))
            log_message("This File Meta Information Header Version is not supported. "
                        "Interpretation may not be correct.",
                        2);
    } else if (key == 0x00020010u) {
        check_transfer_syntax_uid(st, rec);
    }
}

/* A value or node that memory cannot hold ends the read: an object with
 * an element or value left out would be listed, checked and saved as if
 * it were whole.  Always false, for the caller to return. */
bool log_no_memory(ReadState &st, uint16_t group, uint16_t element, uint32_t length) {
    log_formatted(1, "Not enough memory to hold element (%04hx,%04hx) of %lu bytes.", group,
                  element, (unsigned long)(length == kUndefinedLength ? 0 : length));
    st.out_of_memory = true;
    return false;
}

/* Pixel data stays in the file: the element holds a PixelDataDesc.  Pixel
 * data inside an item (an icon image) is described by the group 0028
 * values of that item and is native whatever the syntax (big endian, like
 * the image's, where the syntax says so of all pixel data).  The value is
 * skipped first: an encapsulated one whose item runs past the end of the
 * file is refused, as any element whose length does, and false returned. */
bool add_pixel_data(ReadState &st, DicomElementHead &rec, const char letters[2]) {
    DicomObject *obj = st.io->object;
    DOU_defXVRTypeByTags(st.app, rec.group, rec.element, &rec.vr);
    if (rec.length == 0)
        return add_read_element(st, rec) == 0 || log_no_memory(st, rec.group, rec.element, 0);
    const uint32_t length = rec.length;
    const uint64_t offset = st.in.pos();
    ItemFault fault;
    st.in.skip_value(st.io->ts_in_force, length, &fault);
    if (fault.header_cut) {
        log_header_cut(fault.header_at);
        return false;
    }
    if (fault.found) {
        log_length_beyond_end(fault.group, fault.element, fault.length, fault.left);
        return false;
    }
    const bool nested = obj->insert_parent != obj->root;
    MallocOwner<PixelDataDesc> pds(static_cast<PixelDataDesc *>(calloc(1, sizeof(PixelDataDesc))));
    MallocOwner<char> filename(pds ? strdup(st.name) : nullptr);
    if (!filename)
        return log_no_memory(st, rec.group, rec.element, length);
    pds->filename = filename.get();
    pds->offset = (uint32_t)offset;
    pds->length = length;
    fill_pds_from(st.app, obj->insert_parent, pds.get());
    pds->bytes_per_sample = (int16_t)(pds->bits_allocated / 8);
    pds->src_ts = st.pixels_big_endian ? TS_EXPLICIT_BE
                  : nested             ? st.io->ts_in_force
                                       : st.io->pass_ts;
    pds->src_encoding = nested ? PE_NATIVE : st.io->pass_encoding;
    /* Samples of one byte in big-endian OW words: each pair reversed.
     * Without VR letters pixel data is taken as OW.  Larger samples
     * that the letters call OB are bytes as they lie. */
    const bool words = !ts_is_explicit(st.io->ts_in_force) || letters_are(letters, "OW");
    if (pds->src_ts == TS_EXPLICIT_BE && words && pds->bits_allocated <= 8)
        pds->src_word_bytes = 2;
    else if (letters_are(letters, "OB") && pds->bits_allocated > 8 && length != kUndefinedLength)
        pds->src_word_bytes = 1;
    rec.value = pds.get(); /* copied by DO_addElement */
    rec.length = sizeof(PixelDataDesc);
    rec.flags = DE_FLAG_PIXEL_DESC | DE_FLAG_OWNS_PDS_NAME;
    if (add_read_element(st, rec) != 0)
        return log_no_memory(st, rec.group, rec.element, length);
    filename.release(); /* the element's copy of the descriptor owns it */
    return true;
}

/* Raw content of a sequence or item of defined length: the syntax its
 * bytes are in goes with it (implicit VR LE under the letters UN). */
bool holds_raw_content(const ReadState &st, uint32_t key, const char letters[2]) {
    return key == TAG_KEY_ITEM || letters_are(letters, "SQ") || letters_are(letters, "UN") ||
           st.vr == VR_SQ;
}

/* Any other element: its value in host byte order. */
bool add_plain_element(ReadState &st, DicomElementHead &rec, const char letters[2]) {
    const uint32_t key = tag_key(rec.group, rec.element);
    const uint64_t value_start = st.in.pos();
    bool swap_later = false;
    MallocOwner<void> value; /* the record's buffer, copied by DO_addElement */
    if (has_value_bytes(rec.length)) {
        const uint32_t length = rec.length;
        D_Alloc(&rec);
        value.reset(rec.value);
        if (!rec.value)
            return log_no_memory(st, rec.group, rec.element, length);
        if (!st.in.read(rec.value, length)) {
            return false;
        } else if (ts_needs_swap(st.io->ts_in_force)) {
            const int swap_vr = effective_vr(st, key, letters);
            swap_later = swap_vr == kSwapLater;
            if (!swap_later)
                change_TransferSyntax(swap_vr, &rec);
        }
    }
    /* the VR DOU_defXVRTypeByTags gives, or the letters read_vr keeps; the
     * insertion parent moves into a sequence by it */
    rec.vr = st.vr;
    if (rec.length == kUndefinedLength && opens_sequence(st, key, rec.length))
        rec.vr = VR_SQ; /* its items go inside, as in a sequence */
    DicomElement *added = nullptr;
    if (add_read_element(st, rec, &added) != 0)
        return log_no_memory(st, rec.group, rec.element, rec.length);
    if (added && added->value && holds_raw_content(st, key, letters))
        added->content_ts =
            (uint8_t)(1 + (letters_are(letters, "UN") ? TS_IMPLICIT_LE : st.io->ts_in_force));
    /* Directory records are named by where they stand in the file. */
    if (added && (key == TAG_KEY_ITEM || added->content_ts))
        added->value_pos = (uint32_t)value_start;
    if (added) {
        added->file_vr = (uint8_t)(letters_vr(letters) + 1);
        if (swap_later) {
            added->content_ts = (uint8_t)(1 + st.io->ts_in_force);
            st.waveforms_unswapped = true;
        }
    }
    if (st.io->in_meta_group)
        check_meta_element(st, rec);
    return true;
}

/* The meta group holds groups 0000 to 0003 in ascending order: a group of
 * 0004 or above, or one lower than the group before it, starts the data
 * set (a data set may begin with an illegal group such as 0001). */
bool ends_meta_group(ReadState &st, uint16_t group, uint64_t header_start) {
    if (group >= 0x0004 || group < st.last_meta_group)
        return true;
    /* A big-endian data set whose first group is 0200 or 0300 looks like
     * group 0002 or 0003 read little endian: behind the end that
     * (0002,0000) gives, it is the data set (where group 0003 goes too). */
    if ((group == 0x0002 || group == 0x0003) && st.meta_end == header_start && st.syntax_named &&
        st.io->named_ts == TS_EXPLICIT_BE)
        return true;
    st.last_meta_group = group;
    return false;
}

/* Reads preamble and magic; leaves the file at 132 with the magic, else at 0. */
bool probe_magic(InputFile &in, unsigned char preamble[kPreambleSize]) {
    unsigned char head[kPreambleSize + 4];
    if (in.read(head, sizeof head) && memcmp(head + kPreambleSize, "DICM", 4) == 0) {
        memcpy(preamble, head, kPreambleSize);
        return true;
    }
    memset(preamble, 0, kPreambleSize);
    in.seek(0);
    return false;
}

/* ---- guessing the syntax from the first elements ---- */

/* Elements a reading of the start of a data set is tried on. */
constexpr int kProbeElements = 8;

/* How much sense one reading of the elements from a position makes: how
 * many headers in a row have real VR letters (in the explicit syntaxes)
 * and an even length that fits the file; whether they then end where they
 * may (at the end of the file or of a meta group, or after kProbeElements)
 * rather than at bytes that are no header; and how many of their tags the
 * dictionary knows. */
struct Reading {
    int sound = 0;
    bool ends_well = false;
    int known = 0;
    int score() const { return 2 * sound + (ends_well ? 1 : 0); }
    bool better_than(const Reading &r) const {
        return score() != r.score() ? score() > r.score() : known > r.known;
    }
};

/* Reads the header at pos as ts has it: tag, length and header size; false
 * when it cannot be one (letters that are no VR, bytes missing). */
bool probe_header(InputFile &in, TransferSyntaxCode ts, uint64_t pos, uint32_t *key,
                  uint32_t *length, uint64_t *size) {
    unsigned char h[12];
    const uint64_t left = in.size() - pos;
    in.seek(pos);
    if (left < 8 || !in.read(h, 8))
        return false;
    *key = tag_key(load_u16(h, ts), load_u16(h + 2, ts));
    *size = 8;
    if (!ts_is_explicit(ts) || is_item_or_delimiter_key(*key)) {
        *length = load_u32(h + 4, ts);
        return true;
    }
    const char letters[2] = {(char)h[4], (char)h[5]};
    if (vr_of_letters(letters[0], letters[1]) < 0)
        return false;
    const LengthForm form = explicit_length_form(letters);
    *size = 6 + form.reserved + form.size;
    if (left < *size || !in.read(h + 8, *size - 8))
        return false;
    const unsigned char *field = h + 6 + form.reserved;
    *length = form.size == 4 ? load_u32(field, ts) : load_u16(field, ts);
    return true;
}

/* Walks the elements from start as ts encodes them: values of defined
 * length are stepped over, sequences and items of undefined length into.
 * A meta group holds groups 0000-0003 only: there the first group above
 * them ends the walk as the end of the file does, unless it comes first
 * (then the reading has no meta group at all). */
Reading try_reading(InputFile &in, AppData *app, TransferSyntaxCode ts, uint64_t start, bool meta) {
    Reading r;
    uint64_t pos = start;
    r.ends_well = true; /* after kProbeElements */
    for (int n = 0; n < kProbeElements; n++) {
        if (pos == in.size() || (n > 0 && in.zeros_from(pos)))
            break; /* the end, or zero padding up to it */
        uint32_t key, length;
        uint64_t header;
        if (!probe_header(in, ts, pos, &key, &length, &header)) {
            r.ends_well = false;
            break;
        }
        if (meta && (key >> 16) > 0x0003) {
            r.ends_well = n > 0;
            break;
        }
        pos += header;
        if (length != kUndefinedLength) {
            if ((length & 1) || length > in.size() - pos) {
                r.ends_well = false;
                break;
            }
            pos += length;
        }
        r.sound++;
        if (vr_of(app, key) != -1)
            r.known++;
    }
    return r;
}

/* Guesses from the first elements (of the meta group, with meta); the file
 * is put back.  Explicit VR little and big endian and implicit VR little
 * endian are each tried on them, and the reading that makes the most sense
 * wins; between readings that make equal sense the first header decides,
 * by its letters (a VR name: explicit) and its group as read (0100 or
 * above on a little-endian host: big endian). */
TransferSyntaxCode guess_transfer_syntax(InputFile &in, AppData *app, TransferSyntaxCode in_force,
                                         bool meta) {
    const uint64_t start = in.pos();
    unsigned char bytes[6];
    const bool complete = in.read(bytes, sizeof bytes);
    in.seek(start);
    if (!complete)
        return in_force;
    TransferSyntaxCode guess = TS_IMPLICIT_LE;
    if (vr_of_letters((char)bytes[4], (char)bytes[5]) >= 0) {
        uint16_t group_as_read;
        memcpy(&group_as_read, bytes, sizeof group_as_read);
        const bool big_endian = CPU_ARCH == 0 ? group_as_read >= 0x0100 : group_as_read < 0x0100;
        guess = big_endian ? TS_EXPLICIT_BE : TS_EXPLICIT_LE;
    }
    Reading best = try_reading(in, app, guess, start, meta);
    for (TransferSyntaxCode ts : {TS_EXPLICIT_LE, TS_EXPLICIT_BE, TS_IMPLICIT_LE}) {
        if (ts == guess)
            continue;
        const Reading r = try_reading(in, app, ts, start, meta);
        if (r.better_than(best)) {
            best = r;
            guess = ts;
        }
    }
    in.seek(start);
    return guess;
}

void start_state(IOObject *io, bool magic) {
    io->meta_header = magic ? 1 : 0;
    if (magic) {
        if (io->out_meta_ts == TS_NONE)
            io->out_meta_ts = TS_EXPLICIT_LE;
        io->ts_in_force = io->out_meta_ts;
        if (io->out_ds_ts == TS_NONE)
            io->out_ds_ts = io->ts_in_force;
        io->in_meta_group = 1;
    } else {
        if (io->out_ds_ts == TS_NONE)
            io->out_ds_ts = TS_IMPLICIT_LE;
        io->ts_in_force = io->out_ds_ts;
        io->in_meta_group = 0;
    }
}

/* The guess is the syntax of the read only: the output meta group stays as
 * start_state left it (a meta group written goes out in explicit VR little
 * endian unless the caller chooses otherwise). */
void apply_guess(IOObject *io, TransferSyntaxCode guess, bool magic) {
    io->ts_in_force = guess;
    io->in_meta_ts = magic ? guess : TS_NONE;
    io->named_ts = io->ts_in_force;
    io->pass_ts = io->ts_in_force;
    io->pass_encoding = PE_NATIVE;
}

/* The first element of the data set: its syntax is the one (0002,0010)
 * named or, when that named none, the one its header shows. */
void enter_data_set(ReadState &st, uint64_t header_start) {
    IOObject *io = st.io;
    io->in_meta_group = 0;
    if (!st.syntax_named) {
        st.in.seek(header_start);
        io->named_ts = guess_transfer_syntax(st.in, st.app, io->ts_in_force, false);
        io->pass_ts = io->named_ts;
        st.in.seek(header_start + 4);
    }
    io->ts_in_force = io->named_ts;
}

bool is_zero_tag(const unsigned char tag[4]) {
    return (tag[0] | tag[1] | tag[2] | tag[3]) == 0;
}

/* Zero bytes from header_start to the end of the file, where an element
 * header would be, are padding that some writers leave after the data set
 * (a header cut short among them): the read ends before them.  A file of
 * nothing else holds no element. */
int16_t end_at_padding(ReadState &st, uint64_t header_start) {
    if (!st.io->object->root->first_child) {
        log_formatted(1, "File %s holds no DICOM element.", st.name);
        return fail(st);
    }
    log_formatted(2,
                  "The %llu bytes from offset 0x%llx to the end of the file are all zero: they "
                  "are taken as padding after the last element.",
                  (unsigned long long)(st.in.size() - header_start),
                  (unsigned long long)header_start);
    st.in.seek(st.in.size());
    return 0;
}

int16_t read_elements(ReadState &st) {
    IOObject *io = st.io;
    while (!st.in.at_end()) {
        close_what_ends_here(st);
        const uint64_t header_start = st.in.pos();
        unsigned char tag[4] = {0};
        const bool whole_tag = st.in.read(tag, 4);
        if (is_zero_tag(tag) && st.in.zeros_from(header_start))
            return end_at_padding(st, header_start);
        if (!whole_tag)
            return fail_truncated(st, header_start);
        DicomElementHead rec{};
        rec.group = load_u16(tag, io->ts_in_force);
        rec.element = load_u16(tag + 2, io->ts_in_force);
        /* The meta group ends at a top-level element: what items hold is
         * in the syntax around them. */
        if (io->in_meta_group && io->object->insert_parent == io->object->root &&
            ends_meta_group(st, rec.group, header_start)) {
            enter_data_set(st, header_start);
            rec.group = load_u16(tag, io->ts_in_force);
            rec.element = load_u16(tag + 2, io->ts_in_force);
        }
        if (st.un_content_depth == 0)
            io->in_ds_ts = io->ts_in_force;
        const uint32_t key = tag_key(rec.group, rec.element);

        char letters[2];
        if (!read_length(st, key, &rec.length, letters))
            return fail_truncated(st, header_start);
        st.vr = read_vr(st.app, key, letters);
        if (rec.length != kUndefinedLength && (rec.length & 1)) {
            log_formatted(1, "Length of element (%04hx,%04hx) is not an even number.", rec.group,
                          rec.element);
            return fail(st);
        }
        if (rec.length != kUndefinedLength && rec.length > st.in.left()) {
            log_length_beyond_end(rec.group, rec.element, rec.length, st.in.left());
            return fail(st);
        }
        /* The syntax the element itself is in: its content may switch it. */
        const TransferSyntaxCode element_ts = io->ts_in_force;
        if (!track_nesting(st, key, rec.length, letters)) {
            log_formatted(1, "Element (%04hx,%04hx) is nested deeper than %d sequences or items.",
                          rec.group, rec.element, READER_MAX_NESTING);
            return fail(st);
        }
        const TransferSyntaxCode content_ts = io->ts_in_force;
        io->ts_in_force = element_ts;
        bool ok = true;
        if (key == kPixelDataKey) {
            if (!add_pixel_data(st, rec, letters))
                return fail(st);
        } else {
            ok = add_plain_element(st, rec, letters);
        }
        io->ts_in_force = content_ts;
        if (!ok)
            return st.out_of_memory ? fail(st) : fail_truncated(st, header_start);
        if (st.deflated) {
            log_formatted(1,
                          "File %s is in the deflated transfer syntax "
                          "1.2.840.10008.1.2.1.99, which this toolkit does not read.",
                          st.name);
            return fail(st);
        }
    }
    return 0;
}

} // namespace

void _read_itemtag(FILE *file, TransferSyntaxCode ts, uint16_t *group, uint16_t *element,
                   uint32_t *length) {
    unsigned char bytes[8] = {0};
    if (fread(bytes, 1, sizeof bytes, file) != sizeof bytes)
        memset(bytes, 0, sizeof bytes); /* nothing made up from a partial header */
    *group = load_u16(bytes, ts);
    *element = load_u16(bytes + 2, ts);
    *length = load_u32(bytes + 4, ts);
}

void _skip_value(FILE *file, TransferSyntaxCode ts, uint32_t length) {
    if (!file || length == 0)
        return;
    struct stat st;
    const off_t pos = ftello(file);
    if (pos < 0 || fstat(fileno(file), &st) != 0)
        return;
    const uint64_t size = (uint64_t)st.st_size;
    if ((uint64_t)pos >= size)
        return;
    if (length == kUndefinedLength)
        skip_items(file, ts, (uint64_t)pos, size);
    else
        fseeko(file, (uint64_t)length <= size - (uint64_t)pos ? pos + (off_t)length : (off_t)size,
               SEEK_SET);
}

/* Number of Frames, an IS of up to 12 characters: blanks around an
 * unsigned decimal number; 1 where it holds none (a sign is none either). */
static uint64_t frame_count_of(const char *text, uint32_t length) {
    const char *end = text + (length < 12 ? length : 12);
    while (text < end && *text == ' ')
        text++;
    if (text < end && *text == '+')
        text++;
    uint64_t count = 0;
    const char *digits = text;
    for (; text < end && *text >= '0' && *text <= '9'; text++)
        count = count * 10 + (uint64_t)(*text - '0');
    return text == digits ? 1 : count;
}

void fill_pds_from(AppData *app, const DicomElement *parent, PixelDataDesc *pds) {
    static const uint16_t elements[] = {0x0002, 0x0004, 0x0006, 0x0008, 0x0010,
                                        0x0011, 0x0100, 0x0101, 0x0102, 0x0103};
    uint16_t *numbers[] = {&pds->samples,  nullptr,        &pds->planar,         &pds->frames,
                           &pds->rows,     &pds->columns,  &pds->bits_allocated, &pds->bits_stored,
                           &pds->high_bit, &pds->pixel_rep};
    (void)app;
    memset(pds->photometric, 0, sizeof pds->photometric);
    for (size_t i = 0; i < sizeof elements / sizeof elements[0]; i++) {
        const DicomElement *e =
            parent ? first_child_with(parent, tag_key(0x0028, elements[i])) : nullptr;
        const bool found = e && e->value;
        const uint32_t length = found ? e->length : 0;
        if (elements[i] == 0x0004) {
            if (found)
                memcpy(pds->photometric, e->value, length < 16 ? length : 16);
        } else if (elements[i] == 0x0008) {
            pds->frame_count =
                found ? frame_count_of(static_cast<const char *>(e->value), length) : 1;
            pds->frames = (uint16_t)(pds->frame_count < 0xFFFF ? pds->frame_count : 0xFFFF);
        } else {
            uint16_t v = 1;
            if (found && length >= sizeof v)
                memcpy(&v, e->value, sizeof v);
            *numbers[i] = v;
        }
    }
}

int16_t fill_pds(AppData *app, DicomObject *obj, PixelDataDesc *pds) {
    fill_pds_from(app, obj ? obj->root : nullptr, pds);
    return 0;
}

int16_t DO_importObjectFromFile(AppData *app, DefHolder *defs, const char *name, IOObject *io) {
    if (!name || !io)
        return -1;
    ReadState st(app, io, name);
    if (!st.in.open(name))
        return -1;
    if (st.in.size() > kLargestFile) {
        log_formatted(1, "File %s is too large to be read: 4 GiB or more.", name);
        return -1;
    }
    log_formatted(3, "Loading DICOM object %s", name);

    unsigned char preamble[kPreambleSize];
    const bool magic = probe_magic(st.in, preamble);
    if (st.in.at_end()) {
        log_formatted(1, "File %s holds no DICOM element.", name);
        return -1;
    }
    start_state(io, magic);
    apply_guess(io, guess_transfer_syntax(st.in, app, io->ts_in_force, magic), magic);
    if (DO_openObject(io) != 0 || !io->object)
        return -1;
    memcpy(io->object->preamble, preamble, kPreambleSize);

    int16_t status;
    try {
        status = read_elements(st);
    } catch (const std::bad_alloc &) { /* the stacks of open sequences and items, the index */
        log_formatted(1, "Not enough memory to read DICOM object %s.", name);
        status = -1;
    }
    if (st.waveforms_unswapped)
        swap_waveform_values(io->object->root);
    /* The file is over, and with it every sequence and item it opened: one
     * that ends with the last byte (a defined-length sequence last in the
     * file) as well as one a cut-short file leaves open.  An element the
     * caller adds next goes to the top level. */
    io->object->insert_parent = io->object->root;
    if (status != 0)
        return -1;
    st.in.close();
    log_formatted(3, "DICOM object %s succesfully loaded", name);
    BindPrvDef(app, defs, io->object, 0);
    return 0;
}
