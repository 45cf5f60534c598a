/*
 * tagrecode.cpp -- the converter: reads one DICOM file and writes it again,
 * choosing the transfer syntax of the meta group and of the data set,
 * whether a meta header is written, whether the pixel data is copied, and
 * whether it is encapsulated as PNG (with the encoder settings of -E).
 * Start-up, shared options, printers and the common head and tail come
 * from the program frame.
 */
#include <stdio.h>
#include <string.h>

#include <string>

#include "appframe.h"

namespace {

const char kUsage[] =
    "%s\nUsage:\n  %s [-?|h] [-V] [-p] [-mo[n|<TS>]] [-do<TS>] [-E<enc>] -i<file> -o<file> "
    "[-v[<E>[<F>]]] [-l<file>] [@<file>]\n";

/* After the usage line; the frame adds the verbose levels. */
const char kHelp[] = "Switches:\n"
                     "  -V \tprint version information and exit\n"
                     "  -p \tforces not to copy the pixel data (default is copy)\n"
                     "  -mo\ttransfer syntax for metaheader on output\n"
                     "     \t-mon means no metaheader on output\n"
                     "  -do\ttransfer syntax for DICOM object on output\n"
                     "  -E \targuments for encapsulation of pixel data\n"
                     "  -i \tname of input file (DICOM format)\n"
                     "  -o \tname of output file (DICOM format)\n"
                     "  -v \tverbose level\n"
                     "  -l \tname of log file\n"
                     "  @  \tname of file containing command line arguments\n"
                     "Terms:\n"
                     "<file>\tis a file name (with or without path)\n"
                     "<TS>\tis one of the characters below to specify transfer syntax to use\n"
                     "  i \tImplicit VR Little Endian\n"
                     "  e \tExplicit VR Little Endian\n"
                     "  b \tExplicit VR Big Endian\n"
                     "  c \tEncapsulated Pixel Data\n"
                     "<enc>\tspecifies the type and parameters of encapsulation\n"
                     "This argument is used only when -doc is specified.\n"
                     "Default values are -moe -doi (implicit little endian object with\n"
                     "explicit little endian metaheader)\n";

/* The converter's own option values. */
struct Options {
    TransferSyntaxCode meta_ts = TS_NONE; /* -mo, TS_NONE = as the input */
    TransferSyntaxCode ds_ts = TS_NONE;   /* -do, TS_PNG after -doc */
    int encapsulate = 0;                  /* -doc */
    int16_t meta_header = 1;              /* -mon sets 0 */
    int16_t copy_pixels = 1;              /* -p sets 0 */
    int16_t enc_param[4] = {0, 0, 0, 0};
    bool enc_set[4] = {false, false, false, false};
    std::string enc_text; /* the last -E argument */
};

Options opts;

void converter_presets() {
    opts = Options();
}

/* The syntax code of an 'i', 'e' or 'b' character; TS_NONE for any other. */
TransferSyntaxCode syntax_letter(char c) {
    switch (c) {
    case 'i': return TS_IMPLICIT_LE;
    case 'e': return TS_EXPLICIT_LE;
    case 'b': return TS_EXPLICIT_BE;
    default: return TS_NONE;
    }
}

/* -m and -d: "o" followed by i, e or b, stored in *ts, or by the option's
 * own letter ('n' for -m, 'c' for -d), which calls on_own.  Returns 1 for
 * a usage error, else 0. */
template <typename OnOwn>
int output_syntax_option(const char *arg, char own, TransferSyntaxCode *ts, OnOwn on_own) {
    if (!arg || arg[0] != 'o')
        return 1;
    if (arg[1] == own) {
        on_own();
        return 0;
    }
    const TransferSyntaxCode code = syntax_letter(arg[1]);
    if (code == TS_NONE)
        return 1;
    *ts = code;
    return 0;
}

int converter_option(int letter, GetoptState *state, int, char **) {
    const char *arg = state->optarg;
    switch (letter) {
    case 'p': opts.copy_pixels = 0; return 0;
    case 'm': return output_syntax_option(arg, 'n', &opts.meta_ts, [] { opts.meta_header = 0; });
    case 'd': return output_syntax_option(arg, 'c', &opts.ds_ts, [] { opts.encapsulate = 1; });
    case 'E': opts.enc_text = arg ? arg : ""; return 0;
    default: return 1;
    }
}

/* "png:p1:p2:p3:p4": each non-empty parameter that begins with a number
 * sets that encapsulation parameter; another method sets nothing. */
void parse_encapsulation(const char *text) {
    const char *colon = strchr(text, ':');
    if (!colon || std::string(text, colon) != "png")
        return;
    const char *p = colon + 1;
    for (int i = 0; i < 4; i++) {
        const char *end = strchr(p, ':');
        std::string param = end ? std::string(p, end) : std::string(p);
        short value;
        if (!param.empty() && sscanf(param.c_str(), "%hd", &value) == 1) {
            opts.enc_param[i] = value;
            opts.enc_set[i] = true;
        }
        if (!end)
            break;
        p = end + 1;
    }
}

int converter_after_loop() {
    if (opts.encapsulate) {
        opts.meta_header = 1;
        opts.copy_pixels = 1;
        opts.meta_ts = TS_NONE;
        opts.ds_ts = TS_PNG;
        parse_encapsulation(opts.enc_text.c_str());
    }
    return 0;
}

void converter_work() {
    IOObject &io = AppFrame::io;
    io.out_meta_ts = opts.meta_ts; /* without -mo the writer's explicit VR little endian */
    io.out_ds_ts = opts.ds_ts != TS_NONE ? opts.ds_ts : io.in_ds_ts;
    io.meta_header = opts.meta_header;
    io.copy_pixels = opts.copy_pixels;
    int16_t *targets[4] = {&io.png_param1, &io.png_filter, &io.png_param3, &io.zlib_level};
    for (int i = 0; i < 4; i++)
        if (opts.enc_set[i])
            *targets[i] = opts.enc_param[i];
    AppFrame::save_output();
}

} // namespace

int main(int argc, char **argv) {
    ProgramDescription program("tagrecode", "?hVpm:d:E:i:o:v:l:", kUsage, kHelp);
    program.file_options = "iol";
    program.required = "io";
    program.presets = converter_presets;
    program.on_option = converter_option;
    program.after_loop = converter_after_loop;
    program.work = converter_work;
    return AppFrame::run(program, argc, argv);
}
