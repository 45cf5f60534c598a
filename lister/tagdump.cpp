/*
 * tagdump.cpp -- the lister: reads one DICOM file and writes it as text,
 * one line per element (group, element, VR, length, value, description),
 * indented by its depth in sequences and items.  Columns are switched off
 * by flag words after -f.  Start-up, options and the common work live in
 * the program frame (app/appframe.h).
 */
#include <stdio.h>
#include <string.h>
#include <strings.h>

#include "appframe.h"

namespace {

const char kUsage[] =
    "%s\nUsage:\n  %s [-?|h] [-V] -i<file> [-o<file>] [-v[<E>[<F>]]] [-l<file>] [@<file>] "
    "[-f<flags>]\n";

const char kHelp[] =
    "%s\nUsage:\n  %s [-?|h] [-V] -i<file> [-o<file>] [-v[<E>[<F>]]] [-l<file>] [@<file>] "
    "[-f<flags>]\n"
    "Switches:\n"
    "  -V \tprint version information and exit\n"
    "  -i \tname of input file (DICOM format)\n"
    "  -o \tname of output (list) file (ASCII text)\n"
    "  -v \tverbose level\n"
    "  -l \tname of log file\n"
    "  @  \tname of file containing command line arguments\n"
    "  -f \tflags for listing\n"
    "     \tif -f is present, it must be the last option\n"
    "     \tbecause all the rest of the command line is treated as\n"
    "     \tswitches for listing\n";

const char kTerms[] =
    "Terms:\n"
    "<file>\tis a file name (with or without path)\n"
    "<flags>\tare options to switch off fields in listing\n"
    "  -gc\tdo not print Group Code\n"
    "  -ec\tdo not print Element Code\n"
    "  -vr\tdo not print Value Representation\n"
    "  -vl\tdo not print Value Length\n"
    "  -vf\tdo not print Value Field\n"
    "  -de\tdo not print Description\n"
    "  -un\tdo not print attributes of Retired and Unknown types\n"
    "Verbose levels:\n"
    "  Valid values for both <E> (stderr) and <F> (log file) digits are\n"
    "    0   do not print any messages\n"
    "    1   print only errors\n"
    "    2   print errors and warnings\n"
    "    3   print errors, warnings and other information\n"
    "If <F> is omitted <E> is used instead.\n";

/* Column switches, indexed by ListColumn (1..7). */
enum ListColumn { GC = 1, EC, VR, VL, VF, DE, UN };
const char *const kColumnNames[] = {"GC", "EC", "VR", "VL", "VF", "DE", "UN"};
const int kColumns = 7;

const int kLineSize = 1280;
const int kDescColumn = 55;
const char kBlanks[] = "                                                       "; /* 55 */

int16_t column_on[kColumns + 1];
char flag_text[256];
int16_t sequence_depth;
int16_t item_depth;
FILE *list_stream;
char list_buffer[1 << 18];

/* ---- options ---- */

/* Appends "-", the letter and its argument to the flag text; words beyond
 * its 255 characters are cut (seven switches need at most 21). */
void add_flag_word(int letter, const char *rest)
{
    size_t len = strlen(flag_text);
    snprintf(flag_text + len, sizeof flag_text - len, "-%c%s", letter, rest ? rest : "");
}

/* -f: every later word is a flag word, read with the empty option string. */
int lister_option(int letter, GetoptState *st, int argc, char **argv)
{
    if (letter != 'f')
        return 0;
    int c;
    while ((c = getopt1(st, argc, argv, "")) != -1)
        add_flag_word(c, st->optarg);
    return 0;
}

void lister_presets()
{
    flag_text[0] = '\0';
}

/* ---- column switches ---- */

void parse_list_flags(const char *text)
{
    for (int i = 1; i <= kColumns; ++i)
        column_on[i] = 1;
    const char *p = text;
    while ((p = strchr(p, '-')) != nullptr) {
        if (p[1] == '\0' || p[2] == '\0')
            break;
        for (int i = 0; i < kColumns; ++i) {
            if (strncasecmp(p + 1, kColumnNames[i], 2) == 0) {
                column_on[i + 1] = 0;
                break;
            }
        }
        p += 3;
    }
}

int16_t list_flag(const char *name)
{
    for (int i = 0; i < kColumns; ++i)
        if (strcmp(name, kColumnNames[i]) == 0)
            return column_on[i + 1];
    return 0;
}

/* ---- one line ---- */

/* The line being built; every append is cut to the room left. */
struct Line {
    char *buf;
    int size;
    int len;

    void add(const char *text, int n)
    {
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
    template <typename... Args>
    void addf(const char *format, Args... args)
    {
        char piece[512];
        int n = snprintf(piece, sizeof piece, format, args...);
        add(piece, n < (int)sizeof piece ? n : (int)sizeof piece - 1);
    }
};

const char *vr_column_text(int vr, uint16_t group, uint16_t element, const char *vrname)
{
    switch (vr) {
    case VR_XS: return "US or SS";
    case VR_XU: return "US\\US or SS\\US";
    case VR_XX: return "";
    case VR_OX:
        if ((group == 0x7FE0 && element == 0x0010) || (group == 0x5000 && element == 0x3000))
            return AppFrame::io.pass_encoding != 0 ? "OB" : "OW";
        return "OW or OB";
    default: return vrname ? vrname : "";
    }
}

void add_length(Line &line, uint32_t length)
{
    if (length <= 99999)
        line.addf("  %5lu", (unsigned long)length);
    else if (length == 0xFFFFFFFFu)
        line.addf("  %5ld", -1L);
    else
        line.addf("  %lu", (unsigned long)length);
}

bool holds_pixel_descriptor(const DicomElement *e)
{
    return e->group == 0x7FE0 && e->element == 0x0010 && e->length != 0 && e->value;
}

void format_element_line(DicomElement *e, char *buf, int size)
{
    memset(buf, 0, (size_t)size);
    Line line{buf, size, 0};
    const uint32_t tag = ((uint32_t)e->group << 16) | e->element;
    int vr = -1;
    const char *vrname = nullptr;
    const char *name = nullptr;
    getVRandName(&AppFrame::app, tag, &vr, &vrname, &name);

    int indent = 2 * (item_depth + sequence_depth);
    line.add(kBlanks, indent < kDescColumn ? indent : kDescColumn);
    if (column_on[GC])
        line.addf("%04hX", e->group);
    if (column_on[EC])
        line.addf("  %04hX", e->element);
    if (column_on[VR]) {
        const char *text = vr_column_text(vr, e->group, e->element, vrname);
        int n = (int)strlen(text);
        line.add("  ");
        line.add(text, n);
        if (n < 8)
            line.add(kBlanks, 8 - n);
    }
    if (holds_pixel_descriptor(e)) {
        const PixelDataDesc *pds = static_cast<const PixelDataDesc *>(e->value);
        if (column_on[VL])
            add_length(line, pds->length);
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
            add_length(line, e->length);
        if (column_on[VF]) {
            print_element_value(&AppFrame::app, e, buf, size);
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
        line.add(name ? name : "");
    }
}

/* ---- the listing ---- */

bool is_item(const DicomElement *e)
{
    return e->group == 0xFFFE && e->element == 0xE000;
}

void list_element(DicomElement *e)
{
    static char line[kLineSize];
    int vr = -1;
    getVR(&AppFrame::app, ((uint32_t)e->group << 16) | e->element, &vr);
    if (column_on[UN] || (vr != -1 && vr != VR_RE && vr != VR_NA)) {
        format_element_line(e, line, kLineSize);
        size_t n = strlen(line);
        line[n] = '\n';
        fwrite(line, 1, n + 1, list_stream);
    }
    int16_t *depth = vr == VR_SQ ? &sequence_depth : is_item(e) ? &item_depth : nullptr;
    if (depth)
        ++*depth;
    for (DicomElement *child = e->first_child; child; child = child->next)
        list_element(child);
    if (depth)
        --*depth;
}

const char *syntax_name(TransferSyntaxCode ts)
{
    switch (ts) {
    case TS_IMPLICIT_LE: return "ImplicitVRLittleEndian";
    case TS_EXPLICIT_LE: return "ExplicitVRLittleEndian";
    case TS_EXPLICIT_BE: return "ExplicitVRBigEndian";
    default: return "Unknown/Not present";
    }
}

/* The preamble as text when its bytes sum to nonzero, else as hex. */
void list_preamble(const unsigned char *preamble)
{
    int32_t sum = 0;
    for (int i = 0; i < 128; ++i)
        sum += (signed char)preamble[i];
    if (sum != 0) {
        const void *nul = memchr(preamble, 0, 128);
        size_t n = nul ? (size_t)((const unsigned char *)nul - preamble) : 128;
        fwrite(preamble, 1, n, list_stream);
    } else {
        for (int i = 0; i < 128; ++i)
            fprintf(list_stream, "%02X", preamble[i]);
    }
    fputs("\n", list_stream);
}

int16_t list_object(IOObject *io, const char *flags)
{
    parse_list_flags(flags);
    sequence_depth = 0;
    item_depth = 0;
    fprintf(list_stream, "DICOM File Meta Information Header (%s)\n",
            syntax_name(io->in_meta_ts));
    fprintf(list_stream, "DICOM Data Set (%s)\n", syntax_name(io->in_ds_ts));
    DicomObject *obj = io->object;
    if (io->meta_header != 0 && obj) {
        list_preamble(obj->preamble);
        fputs("DICM", list_stream);
        if (list_flag("DE"))
            fputs("   # MetaHeader Information\n", list_stream);
        fputs("\n", list_stream);
    }
    if (obj && obj->root) {
        SortCodes(obj->root);
        for (DicomElement *e = obj->root->first_child; e; e = e->next)
            list_element(e);
    }
    log_message("DICOM object elements listed.", 3);
    return 0;
}

void lister_work()
{
    list_stream = stdout;
    if (AppFrame::output) {
        list_stream = fopen(AppFrame::output, "w");
        if (!list_stream) {
            char text[1024];
            snprintf(text, sizeof text, "Cannot open list file %s.", AppFrame::output);
            log_abort(text);
        }
    }
    setvbuf(list_stream, list_buffer, _IOFBF, sizeof list_buffer);
    list_object(&AppFrame::io, flag_text);
    fflush(list_stream);
    if (AppFrame::output && list_stream != stdout)
        fclose(list_stream);
}

} // namespace

int main(int argc, char **argv)
{
    ProgramDescription program;
    program.name = "tagdump";
    program.optstring = "?hVi:o:v:l:f";
    program.file_options = "iol";
    program.required = "i";
    program.usage_format = kUsage;
    program.help_format = kHelp;
    program.terms_text = kTerms;
    program.presets = lister_presets;
    program.on_option = lister_option;
    program.work = lister_work;
    return AppFrame::run(program, argc, argv);
}
