/*
 * fuzz_profile.cpp -- libFuzzer target for the editor's profile
 * interpreter: each input is cut at lines "%%" into up to four profiles p0
 * to p3 in a scratch directory (p0 is run; the others can be included by
 * name), which are run over a small object built here with a sequence of
 * two items, as the editor runs them.  The edited tree must still hold
 * items in sequences only and nothing but items in a sequence; it is then
 * saved, and the saved file must read back (by the library's reader) with
 * the elements the edited tree holds, at the same places and with the
 * same values.
 * Group lengths, (0008,0001), the meta group and delimiters are left aside
 * (the save makes them), so is the command group 0000 (the save leaves it
 * out at every depth); an empty sequence or item matches an empty one
 * whatever its length.  A difference aborts with the path of the element.
 *
 * Inputs holding '/' are skipped, so that an include can only name the
 * scratch profiles (or files of the working directory), never a device;
 * so are inputs with more than eight include lines: a profile already open
 * is not included again, but k includes of a profile that itself includes
 * another k times still run it k*k times.
 */
// fuzz-sources: editor/profile.cpp
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "fuzz_setup.h"
#include "medcore.h"
#include "profile.h"

namespace {

AppData app;
DefHolder defs;
std::string scratch;

void set_up() {
    load_definitions(&app, "fuzz_profile", &defs);
    /* In memory where possible: every save syncs its file. */
    char shm[] = "/dev/shm/fuzz_profile_XXXXXX", tmp[] = "/tmp/fuzz_profile_XXXXXX";
    const char *dir = mkdtemp(shm);
    if (!dir && !(dir = mkdtemp(tmp)))
        abort();
    scratch = dir;
    setenv(PROFILE_PATH_VAR, scratch.c_str(), 1);
    atexit([] {
        for (const char *f : {"/p0", "/p1", "/p2", "/p3", "/out.dcm"})
            unlink((scratch + f).c_str());
        rmdir(scratch.c_str());
    });
    log_mask(0); /* the interpreter's messages are not what is tested */
}

void put(DicomObject *obj, uint16_t g, uint16_t e, const char *text, uint32_t length = 0) {
    DicomElementHead h = {};
    h.group = g;
    h.element = e;
    int vr = -1;
    DOU_defXVRTypeByTags(&app, g, e, &vr);
    h.vr = vr;
    h.value = const_cast<char *>(text);
    h.length = text ? (uint32_t)strlen(text) : length;
    DO_addElement(&app, obj, &h);
}

/* (0008,0016) (0008,1140){item{1150 1155} item{1150}} (0010,0010) (0010,0020) */
void build(DicomObject *obj) {
    const uint32_t undefined = 0xFFFFFFFFu;
    put(obj, 0x0008, 0x0016, "1.2.840.10008.5.1.4.1.1.7");
    put(obj, 0x0008, 0x1140, nullptr, undefined);
    put(obj, 0xFFFE, 0xE000, nullptr, undefined);
    put(obj, 0x0008, 0x1150, "1.2.3");
    put(obj, 0x0008, 0x1155, "1.2.3.4");
    put(obj, 0xFFFE, 0xE00D, nullptr, 0);
    put(obj, 0xFFFE, 0xE000, nullptr, undefined);
    put(obj, 0x0008, 0x1150, "1.2.5");
    put(obj, 0xFFFE, 0xE00D, nullptr, undefined);
    put(obj, 0xFFFE, 0xE0DD, nullptr, 0);
    put(obj, 0x0010, 0x0010, "Doe^John");
    put(obj, 0x0010, 0x0020, "ID1");
}

void write_profiles(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    for (int i = 0; i < 4; i++) {
        size_t cut = i < 3 ? text.find("\n%%\n") : std::string::npos;
        std::string part = text.substr(0, cut);
        text = cut == std::string::npos ? "" : text.substr(cut + 4);
        FILE *f = fopen((scratch + "/p" + std::to_string(i)).c_str(), "wb");
        if (!f)
            abort();
        fwrite(part.data(), 1, part.size(), f);
        fclose(f);
    }
}

/* Lines that may begin with 'f' as the interpreter reads them: at the
 * start, after a line end (LF or CR) and after a byte-order mark (counted
 * wherever its last byte stands, which only counts more). */
int include_lines(const uint8_t *data, size_t size) {
    int n = 0;
    for (size_t i = 0; i < size; i++) {
        const uint8_t before = i ? data[i - 1] : '\n';
        if (data[i] == 'f' && (before == '\n' || before == '\r' || before == 0xBF))
            n++;
    }
    return n;
}

/* ---- the saved file against the edited tree ---------------------- */

std::string tag_of(const DicomElement *e) {
    char tag[16];
    snprintf(tag, sizeof tag, "(%04X,%04X)", e->group, e->element);
    return tag;
}

/* What the save makes of its own: group lengths, delimiters, and at the
 * top level the meta group and (0008,0001); and the command group, which
 * it leaves out. */
bool made_by_save(const DicomElement *e, bool top) {
    if (e->element == 0x0000 || e->group == 0x0000 || (e->group == 0xFFFE && e->element != 0xE000))
        return true;
    return top && (e->group <= 0x0003 || (e->group == 0x0008 && e->element == 0x0001));
}

const DicomElement *next_compared(const DicomElement *e, bool top) {
    while (e && made_by_save(e, top))
        e = e->next;
    return e;
}

bool holds_nothing(const DicomElement *e) {
    return !e->value && !next_compared(e->first_child, false);
}

[[noreturn]] void saved_differs(const std::string &where, const char *what) {
    fprintf(stderr, "the saved file read back: %s %s\n", where.c_str(), what);
    abort();
}

bool is_item(const DicomElement *e) {
    return e->group == 0xFFFE && e->element == 0xE000;
}

/* Items stand in sequences, and a sequence holds items (and its
 * delimiter) only: anything else the writer would put out as a file that
 * other readers cannot read, even if this library's reader takes it. */
void check_nesting(const DicomElement *parent, bool sequence, const std::string &where) {
    for (const DicomElement *c = parent->first_child; c; c = c->next) {
        const std::string here = where + tag_of(c);
        if (is_item(c) != sequence && !(sequence && c->group == 0xFFFE && c->element == 0xE0DD)) {
            fprintf(stderr, "the edited tree: %s %s\n", here.c_str(),
                    sequence ? "stands among items" : "is an item outside a sequence");
            abort();
        }
        check_nesting(c, !is_item(c) && c->vr == VR_SQ, here);
    }
}

void compare_saved(const DicomElement *edited, const DicomElement *read, bool top,
                   const std::string &where) {
    const DicomElement *x = next_compared(edited->first_child, top);
    const DicomElement *y = next_compared(read->first_child, top);
    for (; x && y; x = next_compared(x->next, top), y = next_compared(y->next, top)) {
        const std::string here = where + tag_of(x);
        if (x->group != y->group || x->element != y->element)
            saved_differs(here, ("stands where the file has " + tag_of(y)).c_str());
        if (holds_nothing(x) && holds_nothing(y))
            continue;
        if ((x->value == nullptr) != (y->value == nullptr))
            saved_differs(here, "lost or gained its value");
        if (x->value && (x->length != y->length || memcmp(x->value, y->value, x->length) != 0))
            saved_differs(here, "has another value");
        compare_saved(x, y, false, here);
    }
    if (x || y)
        saved_differs(where + tag_of(x ? x : y), x ? "is not in the file" : "is only in the file");
}

void check_saved(IOObject &edited, const std::string &path) {
    IOObject back;
    init_IOObject(&back);
    if (DO_importObjectFromFile(&app, &defs, path.c_str(), &back) != 0)
        saved_differs(path, "cannot be read");
    compare_saved(edited.object->root, back.object->root, true, "");
    DO_closeObject(&back);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (scratch.empty())
        set_up();
    if (memchr(data, '/', size) || include_lines(data, size) > 8)
        return 0;
    write_profiles(data, size);

    IOObject io;
    init_IOObject(&io);
    if (DO_openObject(&io) != 0)
        abort();
    DicomObject *obj = io.object;
    build(obj);
    SortCodes(obj->root);
    DicomElement *top = obj->cursor;
    DE_search(&app, obj, &top, 0xFFFF, 0xFFFF, 0);

    ProfileRun run;
    run.app = &app;
    run.obj = obj;
    if (push_profile(&run, "p0") == 0) {
        process_profile(&run);
        pop_profile(&run);
    }
    if (run.stack.depth != -1)
        abort();
    io.out_meta_ts = TS_EXPLICIT_LE;
    io.out_ds_ts = TS_EXPLICIT_LE;
    check_nesting(obj->root, false, "");
    const std::string out = scratch + "/out.dcm";
    if (DO_copyObjectToFile(&app, &io, out.c_str()) == 0)
        check_saved(io, out);
    DO_closeObject(&io);
    return 0;
}
