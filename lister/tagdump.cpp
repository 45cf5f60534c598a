/*
 * tagdump.cpp -- the lister: reads one DICOM file and writes it as text,
 * one line per element (group, element, VR, length, value, description),
 * indented by its depth in sequences and items, in tag order but for
 * command-group elements found inside the data set, which are listed
 * where they stood in the file.  The VR is the dictionary's, or the one
 * the file's letters name where they say the value is another kind of
 * value (display.h).  Columns are switched off by flag words after -f.  A
 * list file that cannot be opened, or a listing that cannot be written to
 * it or to standard output, ends the program with status 1, after an
 * error line with the system's reason.  Start-up, options and the common
 * work live in the program frame (app/appframe.h).
 */
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>

#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "appframe.h"
#include "display.h"
#include "owners_int.h"

namespace {

const char kUsage[] =
    "%s\nUsage:\n  %s [-?|h] [-V] -i<file> [-o<file>] [-v[<E>[<F>]]] [-l<file>] [@<file>] "
    "[-f<flags>]\n";

/* After the usage line; the frame adds the verbose levels. */
const char kHelp[] = "Switches:\n"
                     "  -V \tprint version information and exit\n"
                     "  -i \tname of input file (DICOM format)\n"
                     "  -o \tname of output (list) file (ASCII text)\n"
                     "  -v \tverbose level\n"
                     "  -l \tname of log file\n"
                     "  @  \tname of file containing command line arguments\n"
                     "  -f \tflags for listing\n"
                     "     \tif -f is present, it must be the last option\n"
                     "     \tbecause all the rest of the command line is treated as\n"
                     "     \tswitches for listing\n"
                     "Terms:\n"
                     "<file>\tis a file name (with or without path)\n"
                     "<flags>\tare options to switch off fields in listing\n"
                     "  -gc\tdo not print Group Code\n"
                     "  -ec\tdo not print Element Code\n"
                     "  -vr\tdo not print Value Representation\n"
                     "  -vl\tdo not print Value Length\n"
                     "  -vf\tdo not print Value Field\n"
                     "  -de\tdo not print Description\n"
                     "  -un\tdo not print attributes of Retired and Unknown types\n";

/* Column switches, indexed by ListColumn (1..7). */
enum ListColumn { GC = 1, EC, VR, VL, VF, DE, UN };
const char *const kColumnNames[] = {"GC", "EC", "VR", "VL", "VF", "DE", "UN"};
const int kColumns = 7;

const int kLineSize = 1280;
const int kDescColumn = 55;
const char kBlanks[] = "                                                       "; /* 55 */

/* The -f flag words, gathered while the options are read. */
char flag_text[256];

/* The buffer of the list stream.  stdout keeps the buffer it was given
 * until the process ends, so the buffer lives as long. */
char list_buffer[1 << 18];

/* One listing: the columns switched on, the depth in sequences and items
 * of the element being listed, where the lines go, and the line being
 * built (one buffer for every depth). */
struct Listing {
    AppData *app = nullptr;
    int16_t pass_encoding = 0; /* the object's: 0 shows OX pixel data as OW, else OB */
    int16_t column_on[kColumns + 1] = {};
    int16_t sequence_depth = 0;
    int16_t item_depth = 0;
    FILE *stream = nullptr;
    const char *stream_name = nullptr; /* the list file's, NULL for stdout */
    char line[kLineSize];
};

/* ---- the list stream ---- */

/* Ends with status 1: first an error line with the system's reason (the
 * errno of the failed call) for the file, then the fatal message. */
[[noreturn]] void fail_list_stream(const char *action, const char *name, int reason,
                                   const std::string &fatal) {
    const std::string why =
        std::string("Cannot ") + action + " " + name + ": " + strerror(reason) + ".";
    log_message(why.c_str(), 1);
    log_abort(fatal.c_str());
}

/* A listing that cannot be written is no listing. */
[[noreturn]] void fail_listing(const Listing &listing, int reason) {
    if (!listing.stream_name)
        fail_list_stream("write", "standard output", reason,
                         "Cannot write list to standard output.");
    fail_list_stream("write", listing.stream_name, reason,
                     std::string("Cannot write list file ") + listing.stream_name + ".");
}

/* Every write goes through here; the stream's buffer hides most failures
 * until it is flushed, so the flush is checked too (flush_listing). */
void put(const Listing &listing, const char *text, size_t n) {
    if (fwrite(text, 1, n, listing.stream) != n || ferror(listing.stream))
        fail_listing(listing, errno);
}

void put(const Listing &listing, const char *text) {
    put(listing, text, strlen(text));
}

void flush_listing(const Listing &listing) {
    if (fflush(listing.stream) != 0 || ferror(listing.stream))
        fail_listing(listing, errno);
}

/* ---- options ---- */

/* Every letter after -f: appends "-", the letter and the rest of its word
 * to the flag text; words beyond its 255 characters are cut (seven
 * switches need at most 21). */
void add_flag_word(int letter, const char *rest) {
    size_t len = strlen(flag_text);
    snprintf(flag_text + len, sizeof flag_text - len, "-%c%s", letter, rest ? rest : "");
}

void lister_presets() {
    flag_text[0] = '\0';
}

/* ---- column switches ---- */

void parse_list_flags(Listing &listing, const char *text) {
    for (int i = 1; i <= kColumns; ++i)
        listing.column_on[i] = 1;
    const char *p = text;
    while ((p = strchr(p, '-')) != nullptr) {
        if (p[1] == '\0' || p[2] == '\0')
            break;
        for (int i = 0; i < kColumns; ++i) {
            if (strncasecmp(p + 1, kColumnNames[i], 2) == 0) {
                listing.column_on[i + 1] = 0;
                break;
            }
        }
        p += 3;
    }
}

/* ---- one line ---- */

/* The line being built; every append is cut to the room left. */
struct Line {
    char *buf;
    int size;
    int len;

    void add(const char *text, int n) {
        int room = size - 1 - len;
        if (n > room)
            n = room;
        if (n <= 0)
            return;
        memcpy(buf + len, text, (size_t)n);
        len += n;
        buf[len] = '\0';
    }
    void add(const char *text) { add(text, (int)strlen(text)); }
    void add(const std::string &text) { add(text.c_str(), (int)text.size()); }
    /* Formats straight into the room left, so only the line's own limit
     * cuts a piece (a long file name keeps the offset after it). */
    template <typename... Args>
    void addf(const char *format, Args... args) {
        int room = size - len;
        if (room <= 1)
            return;
        int n = snprintf(buf + len, (size_t)room, format, args...);
        if (n > 0)
            len += n < room ? n : room - 1;
    }
};

const char *vr_column_text(const Listing &listing, int vr, uint16_t group, uint16_t element,
                           const char *vrname) {
    switch (vr) {
    case VR_XS: return "US or SS";
    case VR_XU: return "US\\US or SS\\US";
    case VR_XX: return "";
    case VR_OX:
        if ((group == 0x7FE0 && element == 0x0010) || (group == 0x5000 && element == 0x3000))
            return listing.pass_encoding != 0 ? "OB" : "OW";
        return "OW or OB";
    default: return vrname ? vrname : "";
    }
}

/* What the dictionary says of an element's tag: looked up once for the
 * filter and the line. */
struct TagEntry {
    int vr = -1;
    const char *vrname = nullptr;
    const char *name = nullptr;
};

void format_element_line(const Listing &listing, DicomElement *e, const TagEntry &entry, char *buf,
                         int size) {
    memset(buf, 0, (size_t)size);
    Line line{buf, size, 0};
    const int16_t *column_on = listing.column_on;

    int indent = 2 * (listing.item_depth + listing.sequence_depth);
    line.add(kBlanks, indent < kDescColumn ? indent : kDescColumn);
    if (column_on[GC])
        line.addf("%04hX", e->group);
    if (column_on[EC])
        line.addf("  %04hX", e->element);
    if (column_on[VR]) {
        const char *text = vr_column_text(listing, entry.vr, e->group, e->element, entry.vrname);
        int n = (int)strlen(text);
        line.add("  ");
        line.add(text, n);
        if (n < 8)
            line.add(kBlanks, 8 - n);
    }
    if (const PixelDataDesc *pds = pixel_descriptor(e)) {
        if (column_on[VL])
            line.add(length_column(pds->length));
        if (column_on[VF]) {
            line.addf("  Data in file %s, offset=0x%lX(%lu)", pds->filename ? pds->filename : "",
                      (unsigned long)pds->offset, (unsigned long)pds->offset);
            if (pds->length == 0xFFFFFFFFu)
                line.add(", length=(\?\?\?\?\?)");
            else
                line.addf(", length=0x%lX(%lu)", (unsigned long)pds->length,
                          (unsigned long)pds->length);
        }
    } else {
        if (column_on[VL])
            line.add(length_column(e->length));
        if (column_on[VF]) {
            print_element_value(listing.app, e, buf, size);
            line.len = (int)strlen(buf);
        }
    }
    line.add("  ");
    if (column_on[DE]) {
        int column = kDescColumn;
        while (line.len >= column)
            column += 5;
        while (line.len < column && line.len < size - 1)
            line.add(kBlanks, column - line.len < kDescColumn ? column - line.len : kDescColumn);
        line.add("# ");
        line.add(entry.name ? entry.name : "");
    }
}

/* ---- the listing ---- */

bool is_item(const DicomElement *e) {
    return e->group == 0xFFFE && e->element == 0xE000;
}

void list_element(Listing &listing, DicomElement *e) {
    TagEntry entry;
    getVRandName(listing.app, ((uint32_t)e->group << 16) | e->element, &entry.vr, &entry.vrname,
                 &entry.name);
    const int dict_vr = entry.vr;
    shown_vr(e, &entry.vr, &entry.vrname);
    const int vr = entry.vr;
    if (listing.column_on[UN] || (dict_vr != -1 && dict_vr != VR_RE && dict_vr != VR_NA)) {
        format_element_line(listing, e, entry, listing.line, kLineSize);
        size_t n = strlen(listing.line);
        listing.line[n] = '\n';
        put(listing, listing.line, n + 1);
    }
    int16_t *depth = vr == VR_SQ  ? &listing.sequence_depth
                     : is_item(e) ? &listing.item_depth
                                  : nullptr;
    if (depth)
        ++*depth;
    for (DicomElement *child = e->first_child; child; child = child->next)
        list_element(listing, child);
    if (depth)
        --*depth;
}

/* Top-level elements of the command group 0000 read behind an element of
 * another group (zero bytes taken for a header, say): sorted, they would
 * stand ahead of the meta group as if they belonged to it.  Each is listed
 * where it stood instead, behind the last element of another group read
 * before it; those are the keys, their runs kept in file order. */
using StrayRuns = std::unordered_map<const DicomElement *, std::vector<DicomElement *>>;

StrayRuns command_group_strays(DicomElement *root, std::unordered_set<const DicomElement *> *all) {
    StrayRuns runs;
    const DicomElement *anchor = nullptr;
    for (DicomElement *e = root->first_child; e; e = e->next) {
        if (e->group != 0) {
            anchor = e;
        } else if (anchor) {
            runs[anchor].push_back(e);
            all->insert(e);
        }
    }
    return runs;
}

/* The root's children in tag order, the strays where they stood.  A tree as
 * read holds no tag twice at one level, so the sort frees none of them. */
void list_top_level(Listing &listing, DicomElement *root) {
    std::unordered_set<const DicomElement *> strays;
    const StrayRuns runs = command_group_strays(root, &strays);
    SortCodes(root);
    for (DicomElement *e = root->first_child; e; e = e->next) {
        if (strays.count(e))
            continue;
        list_element(listing, e);
        const auto run = runs.find(e);
        if (run != runs.end())
            for (DicomElement *stray : run->second)
                list_element(listing, stray);
    }
}

/* The preamble as text when its bytes sum to nonzero, else as hex. */
void list_preamble(const Listing &listing, const unsigned char *preamble) {
    int32_t sum = 0;
    for (int i = 0; i < 128; ++i)
        sum += (signed char)preamble[i];
    if (sum != 0) {
        const void *nul = memchr(preamble, 0, 128);
        size_t n = nul ? (size_t)((const unsigned char *)nul - preamble) : 128;
        put(listing, (const char *)preamble, n);
    } else {
        char hex[2 * 128 + 1];
        for (int i = 0; i < 128; ++i)
            snprintf(hex + 2 * i, 3, "%02X", preamble[i]);
        put(listing, hex, 2 * 128);
    }
    put(listing, "\n");
}

void list_object(Listing &listing, IOObject *io) {
    char heading[128];
    snprintf(heading, sizeof heading, "DICOM File Meta Information Header (%s)\n",
             syntax_name(io->in_meta_ts));
    put(listing, heading);
    snprintf(heading, sizeof heading, "DICOM Data Set (%s)\n", syntax_name(io->in_ds_ts));
    put(listing, heading);
    DicomObject *obj = io->object;
    if (io->meta_header != 0 && obj) {
        list_preamble(listing, obj->preamble);
        put(listing, "DICM");
        if (listing.column_on[DE])
            put(listing, "   # MetaHeader Information\n");
        put(listing, "\n");
    }
    if (obj && obj->root)
        list_top_level(listing, obj->root);
    flush_listing(listing);
    log_message("DICOM object elements listed.", 3);
}

void lister_work() {
    FileOwner list_file;
    if (AppFrame::output) {
        list_file.reset(fopen(AppFrame::output, "w"));
        if (!list_file) {
            const int reason = errno;
            fail_list_stream("open", AppFrame::output, reason,
                             std::string("Cannot open list file ") + AppFrame::output + ".");
        }
    }
    Listing listing;
    listing.app = &AppFrame::app;
    listing.pass_encoding = AppFrame::io.pass_encoding;
    listing.stream = list_file ? list_file.get() : stdout;
    listing.stream_name = list_file ? AppFrame::output : nullptr;
    parse_list_flags(listing, flag_text);
    setvbuf(listing.stream, list_buffer, _IOFBF, sizeof list_buffer);
    list_object(listing, &AppFrame::io);
    /* The close may still find the listing did not land (a full disk
     * reported late, a network file system). */
    if (list_file && fclose(list_file.release()) != 0)
        fail_listing(listing, errno);
}

} // namespace

int main(int argc, char **argv) {
    ProgramDescription program("tagdump", "?hVi:o:v:l:f", kUsage, kHelp);
    program.file_options = "iol";
    program.presets = lister_presets;
    program.flag_letter = 'f';
    program.on_flag_word = add_flag_word;
    program.work = lister_work;
    return AppFrame::run(program, argc, argv);
}
