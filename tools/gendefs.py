#!/usr/bin/env python3
"""Generator of the bundled definition files in defs/.

Owns defs/tag_tab.def (the data dictionary), defs/prv_tab.def (the private
dictionary) and the two secondary files defs/tag2_tab.def and
defs/prv2_tab.def, which ship with a comment only; gendefs_objects.py,
called from here, makes the UID, object and module files. The sources are
the copies of the standard's tables in ../shared/standard:
dicom_dictionary.py, private_dictionary.py, uid_dictionary.py (dict
literals, executed here) and modules_part3.xml (enumerated values, IOD,
module and macro tables). The output carries no timestamp, so a rerun
reproduces it byte for byte.

    python3 tools/gendefs.py --standard ../shared/standard --out defs
    python3 tools/gendefs.py --check defs/tag_tab.def defs/c_tab.def
"""

import argparse
import re
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

import gendefs_objects

PROJECT_ROOT = Path(__file__).resolve().parent.parent
DEFAULT_STANDARD = PROJECT_ROOT / ".." / "shared" / "standard"
DEFAULT_OUT = PROJECT_ROOT / "defs"

# The VR names the library's VR table knows.
VR_NAMES = frozenset(
    "AE AS AT CS DA DS DT FL FD IS LO LT OB OW PN SH SL SQ SS ST TM UI UL US "
    "RE XS XU OX XX na ?? UN UT UC UR OF OD OL OV SV UV".split())

MAX_TEXT = 2005       # longest string the loaders read
PIECE = 256           # the loaders read a line in pieces of 256 characters
MAX_ROWS = 32767      # the tag tables count rows in 16 bits
MAX_ENUM_ITEMS = 16   # longer lists are too likely to be split or partial

ITEM_TAGS = (0xFFFEE000, 0xFFFEE00D, 0xFFFEE0DD)
# The writer computes (0008,0001) itself, so it keeps its real VR.
KEEP_VR_WHEN_RETIRED = (0x00080001,)
# OX resolves to OW only for pixel and curve data and to OB elsewhere;
# overlay data is 16-bit words, so it is named OW outright.
OVERLAY_DATA = 0x60003000

# ---------------------------------------------------------------------------
# Mapping of the dictionary's texts onto the definition-file vocabulary


def map_vr(vr_text, vm_text):
    """The VR name for a dictionary VR text (retirement handled elsewhere)."""
    if vr_text == "US or SS":
        # The LUT descriptors (3 values) hold 16-bit values of either sign.
        return "XU" if vm_text == "3" else "XS"
    if vr_text in ("OB or OW", "OB_OW"):
        return "OX"
    if vr_text in ("US or OW", "US or SS or OW"):
        return "OW"
    if vr_text == "NONE":
        return "XX"
    if vr_text in VR_NAMES:
        return vr_text
    raise ValueError("no mapping for VR text %r" % vr_text)


def vm_code(vm_text):
    """The short VM code: n exact; -n at most n; -1 any number."""
    if re.fullmatch(r"[1-9][0-9]*", vm_text):
        return int(vm_text)
    m = re.fullmatch(r"1-([1-9][0-9]*)", vm_text)
    if m:
        return -int(m.group(1)) if m.group(1) != "1" else 1
    m = re.fullmatch(r"([1-9][0-9]*)-([1-9][0-9]*)", vm_text)
    if m:
        # A lower bound other than 1 cannot be written; keep the upper one.
        return -int(m.group(2))
    if re.fullmatch(r"([1-9][0-9]*)-([1-9][0-9]*)?n", vm_text):
        return -1
    raise ValueError("no VM code for %r" % vm_text)


def clean_text(text):
    """A string the loaders can read back: no double quote, not too long."""
    return text.replace('"', "'")[:MAX_TEXT]


def fold_public_mask(mask):
    """The tag a masked dictionary key is looked up as, or None when the
    lookups cannot fold it (those masks are left out)."""
    mask = mask.upper()
    if re.fullmatch(r"(50|60)XX[0-9A-F]{4}", mask):
        return int(mask[:2] + "00" + mask[4:], 16)
    if mask == "002031XX":
        return 0x00203100
    return None


# ---------------------------------------------------------------------------
# Sources


def load_dict_literals(path):
    """Executes one of the dictionary files and returns its namespace."""
    namespace = {}
    exec(compile(Path(path).read_text(encoding="utf-8"), str(path), "exec"), namespace)
    return namespace


ENUM_HEADER = re.compile(r"Enumerated Values?( are)?:", re.I)
ENUM_ITEM = re.compile(r"\s*([A-Z0-9_]+(?: [A-Z0-9_]+)*)\s*(?:=.*)?")


def enumerated_list(description):
    """The codes of the one clean 'Enumerated Values:' list of a module
    description, or None when there is none or it cannot be trusted."""
    if not description:
        return None
    headers = list(ENUM_HEADER.finditer(description))
    if len(headers) != 1 or re.search(r"\bValue [1-9]\b", description):
        return None                       # per-value lists, or several lists
    lines = description[headers[0].end():].split("\n")
    if lines[0].strip():
        return None                       # inline lists are not split reliably
    items, rest = [], lines[1:]
    while rest and rest[0].strip():
        m = ENUM_ITEM.fullmatch(rest[0])
        if not m:
            break
        items.append(m.group(1))
        rest = rest[1:]
    following = next((ln for ln in rest if ln.strip()), "")
    if following and not re.search(r"[a-z]", following.split()[0]):
        return None                       # list goes on in a form not parsed
    if not items or len(items) > MAX_ENUM_ITEMS or any(len(i) > 16 for i in items):
        return None
    return items


def module_tag(group, element):
    """The tag of a module entry, folded like the lookups fold it."""
    if group is None or element is None:
        return None
    if not re.fullmatch(r"[0-9A-Fa-f]{4}", element):
        return None
    if re.fullmatch(r"(50|60)xx", group):
        return int(group[:2] + "00" + element, 16)
    if re.fullmatch(r"[0-9A-Fa-f]{4}", group):
        return int(group + element, 16)
    return None


def enumerated_values(xml_path):
    """tag -> codes, for the tags whose every module entry gives the same
    clean list of enumerated values."""
    lists = {}
    for entry in ET.parse(xml_path).getroot().iter("entry"):
        tag = module_tag(entry.get("group"), entry.get("element"))
        if tag is None:
            continue
        desc = entry.find("description")
        lists.setdefault(tag, []).append(
            enumerated_list(desc.text if desc is not None else None))
    return {tag: found[0] for tag, found in lists.items()
            if found[0] is not None and all(f == found[0] for f in found)}


def permitted_text(vr, codes):
    """The permitted-values text for a row, empty when the value checks
    would misread the codes for this VR."""
    if not codes:
        return ""
    if vr == "CS":
        return ", ".join(codes)
    if vr == "US" and all(re.fullmatch(r"[0-9]{4}", c) for c in codes):
        return ", ".join(codes)           # US values are compared as 4 digits
    return ""


# ---------------------------------------------------------------------------
# Rows


def public_vr(tag, vr_text, vm_text, retired):
    if tag in ITEM_TAGS:
        return "XX"
    if tag == OVERLAY_DATA:
        return "OW"
    group = tag >> 16
    keeps_real_vr = group in (0x5000, 0x6000) or tag in KEEP_VR_WHEN_RETIRED
    if retired and not keeps_real_vr:
        return "RE"
    return map_vr(vr_text, vm_text)


def tag_rows(dictionary, repeaters, enums):
    """Rows (tag, name, vr, vm, permitted) of tag_tab.def, sorted by tag."""
    entries = {tag: fields for tag, fields in dictionary.items()}
    for mask, fields in repeaters.items():
        tag = fold_public_mask(mask)
        if tag is None:
            continue
        if tag in entries:
            raise ValueError("mask %s collides with a listed tag" % mask)
        entries[tag] = fields
    rows = []
    for tag in sorted(entries):
        vr_text, vm_text, name, retired = entries[tag][:4]
        vr = public_vr(tag, vr_text, vm_text, bool(retired))
        rows.append((tag, clean_text(name), vr, vm_code(vm_text),
                     permitted_text(vr, enums.get(tag))))
    return rows


def private_tag(key):
    """The stored tag of a private dictionary key (block byte cleared), or
    None for keys that do not name one element of a private block."""
    key = key.upper()
    m = re.fullmatch(r"([0-9A-F]{4})(XX|[0-9A-F]{2})([0-9A-F]{2})", key)
    if not m:
        return None                       # group or element masks
    group = int(m.group(1), 16)
    if group % 2 == 0:
        return None                       # private groups are odd
    if m.group(2) != "XX" and int(m.group(2), 16) < 0x10:
        return None                       # not inside a private block
    return (group << 16) | int(m.group(3), 16)


def private_records(private_dicts):
    """[(creator, [(tag, name, vr, vm), ...])] sorted; creators left with
    no element are dropped, and of two keys giving one tag the first (in
    key order) is kept."""
    records = []
    for creator in sorted(private_dicts):
        elements = {}
        for key in sorted(private_dicts[creator]):
            tag = private_tag(key)
            if tag is None or tag in elements:
                continue
            vr_text, vm_text, name = private_dicts[creator][key][:3]
            elements[tag] = (clean_text(name), map_vr(vr_text, vm_text), vm_code(vm_text))
        if elements:
            records.append((clean_text(creator),
                            [(t,) + elements[t] for t in sorted(elements)]))
    return records


# ---------------------------------------------------------------------------
# Output

TAG_HEADER = """\
# tag_tab.def -- attribute tag definitions (the DICOM data dictionary).
# Generated by tools/gendefs.py from the standard's tables; do not edit by
# hand: rerun the generator. Site additions belong in tag2_tab.def.
#
# {tag, "name", "VR", value multiplicity, "permitted values"},
# value multiplicity: n exactly n values, -n at most n, -1 any number.
# The repeating groups 50xx and 60xx stand as 5000 and 6000, (0020,31xx)
# as (0020,3100).
"""

PRV_HEADER = """\
# prv_tab.def -- private data definitions, one record per private creator.
# Generated by tools/gendefs.py from the standard's tables; do not edit by
# hand: rerun the generator. Site additions belong in prv2_tab.def.
#
# {"creator", { {tag, "name", "VR", value multiplicity, "permitted"}, ... }}
# The block byte of each element number (bits 8-15 of the tag) is 0.
"""

TAG2_TEXT = """\
# tag2_tab.def -- site-specific attribute tag definitions.
# Loaded after tag_tab.def; a tag defined in both files keeps the row of
# tag_tab.def. Records have the form of tag_tab.def, each followed by ',':
# {0x00090010, "Name", "LO", 1, ""},
"""

PRV2_TEXT = """\
# prv2_tab.def -- site-specific private data definitions.
# Loaded after prv_tab.def; the elements of a creator named in both files
# are gathered under one creator, those of prv_tab.def first. Records have
# the form of prv_tab.def:
# {"CREATOR", {
#   {0x00091010, "Name", "LO", 1, ""},
# }}
"""


def format_row(tag, name, vr, vm, permitted):
    return '{0x%08X, "%s", "%s", %d, "%s"},' % (tag, name, vr, vm, permitted)


def render_tag_file(rows):
    return TAG_HEADER + "".join(format_row(*row) + "\n" for row in rows)


def render_prv_file(records):
    out = [PRV_HEADER]
    for creator, elements in records:
        out.append('{"%s", {\n' % creator)
        out.extend("  " + format_row(t, n, vr, vm, "") + "\n" for t, n, vr, vm in elements)
        out.append("}}\n")
    return "".join(out)


def write_text(path, text):
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        f.write(text)


def generate(standard, out):
    std = Path(standard)
    public = load_dict_literals(std / "dicom_dictionary.py")
    private = load_dict_literals(std / "private_dictionary.py")["private_dictionaries"]
    enums = enumerated_values(std / "modules_part3.xml")
    rows = tag_rows(public["DicomDictionary"], public["RepeatersDictionary"], enums)
    records = private_records(private)
    out = Path(out)
    out.mkdir(parents=True, exist_ok=True)
    write_text(out / "tag_tab.def", render_tag_file(rows))
    write_text(out / "prv_tab.def", render_prv_file(records))
    write_text(out / "tag2_tab.def", TAG2_TEXT)
    write_text(out / "prv2_tab.def", PRV2_TEXT)
    objects = gendefs_objects.generate(std, out, rows)
    return rows, records, objects


# ---------------------------------------------------------------------------
# Syntax check: reads a file token by token as the loaders do


class DefSyntaxError(Exception):
    pass


class Tokens:
    """Tokens of a definition file: white space and '#' comments may stand
    before any token; strings have no escapes."""

    def __init__(self, text):
        self.text, self.pos = text, 0

    def line(self):
        return self.text.count("\n", 0, self.pos) + 1

    def fail(self, what):
        raise DefSyntaxError("line %d: %s expected" % (self.line(), what))

    def at_end(self):
        while self.pos < len(self.text):
            ch = self.text[self.pos]
            if ch in " \t\r\n":
                self.pos += 1
            elif ch == "#":               # to the next line end, \n or \r
                end = re.compile(r"[\r\n]").search(self.text, self.pos)
                self.pos = end.start() if end else len(self.text)
            else:
                return False
        return True

    def peek(self):
        return None if self.at_end() else self.text[self.pos]

    def char(self, ch):
        if self.peek() != ch:
            self.fail("'%s'" % ch)
        self.pos += 1

    def string(self):
        if self.peek() != '"':
            self.fail("string")
        end = self.text.find('"', self.pos + 1)
        if end < 0:
            self.fail("closing '\"'")
        value = self.text[self.pos + 1:end]
        if len(value) > MAX_TEXT:
            self.fail("string of at most %d characters" % MAX_TEXT)
        self.pos = end + 1
        return value

    def hex(self):
        self.at_end()
        m = re.compile(r"0x([0-9A-Fa-f]+)").match(self.text, self.pos)
        if not m or int(m.group(1), 16) > 0xFFFFFFFF:
            self.fail("32-bit hexadecimal value with 0x prefix")
        self.within_piece(m.start(), m.end())
        self.pos = m.end()
        return int(m.group(1), 16)

    def within_piece(self, start, end):
        """A number is scanned inside one piece of its line; one that
        runs over a piece boundary would be read as two tokens."""
        line_start = self.text.rfind("\n", 0, start) + 1
        if (start - line_start) // PIECE != (end - 1 - line_start) // PIECE:
            raise DefSyntaxError("line %d: number across the %d-character piece boundary"
                                 % (self.line(), PIECE))

    def field(self, kind):
        """One field: h hexadecimal, s string, n short integer, c character."""
        return {"h": self.hex, "s": self.string, "n": self.short, "c": self.char_value}[kind]()

    def fields(self, kinds):
        """Fields, each followed by ','."""
        values = []
        for kind in kinds:
            values.append(self.field(kind))
            self.char(",")
        return values

    def record(self, kinds):
        """'{', the fields separated by ',', '}': their values."""
        self.char("{")
        values = self.fields(kinds[:-1]) + [self.field(kinds[-1])]
        self.char("}")
        return values

    def entries(self, read_entry):
        """A list: '{', entries separated by ',' (one after the last
        allowed), '}'."""
        self.char("{")
        values = []
        while self.peek() == "{":
            values.append(read_entry(self))
            if self.peek() != ",":
                break
            self.char(",")
        self.char("}")
        return values

    def char_value(self):
        """A character value: an apostrophe, any one character, an
        apostrophe, with nothing between them."""
        self.char("'")
        if self.pos + 1 >= len(self.text) or self.text[self.pos + 1] != "'":
            self.fail("character value between apostrophes")
        value = self.text[self.pos]
        self.pos += 2
        return value

    def short(self):
        self.at_end()
        m = re.compile(r"[-+]?[0-9]+").match(self.text, self.pos)
        if not m or not -32768 <= int(m.group(0)) <= 32767:
            self.fail("short integer")
        self.pos = m.end()
        return int(m.group(0))


def read_definition(tok):
    """One {tag, "name", "VR", vm, "permitted"} definition: (tag, name, VR)."""
    tag, name, vr, _, _ = tok.record("hssns")
    if vr not in VR_NAMES:
        raise DefSyntaxError("line %d: unknown VR \"%s\"" % (tok.line(), vr))
    return tag, name, vr


def read_tag_file(tok):
    """tag -> (name, VR) of a tag definition file."""
    rows = {}
    while not tok.at_end():
        tag, name, vr = read_definition(tok)
        tok.char(",")                     # a record without it is dropped
        if tag in rows:
            raise DefSyntaxError("line %d: tag 0x%08X defined twice" % (tok.line(), tag))
        rows[tag] = (name, vr)
    return rows


def check_tag_file(tok):
    return len(read_tag_file(tok))


def check_prv_file(tok):
    count = 0
    while not tok.at_end():
        tok.char("{")
        tok.fields("s")
        count += len(tok.entries(read_definition))
        tok.char("}")
    return count


def check_file(path):
    """Row count of a definition file; DefSyntaxError on any fault. The
    kind of file follows from its name."""
    name = Path(path).name
    if not name.startswith(("tag", "prv")):
        return gendefs_objects.check_object_file(path)
    tok = Tokens(Path(path).read_text(encoding="utf-8"))
    count = check_prv_file(tok) if name.startswith("prv") else check_tag_file(tok)
    if count > MAX_ROWS:
        raise DefSyntaxError("%d rows, more than %d" % (count, MAX_ROWS))
    return count


# ---------------------------------------------------------------------------


def main(argv=None):
    parser = argparse.ArgumentParser(description="Generates or checks the definition files.")
    parser.add_argument("--standard", default=str(DEFAULT_STANDARD),
                        help="folder holding the standard's tables")
    parser.add_argument("--out", default=str(DEFAULT_OUT), help="output folder")
    parser.add_argument("--check", metavar="FILE", nargs="+",
                        help="check the syntax of definition files instead")
    args = parser.parse_args(argv)
    if args.check:
        failed = False
        for path in args.check:
            try:
                print("%s: %d rows" % (path, check_file(path)))
            except (DefSyntaxError, OSError, UnicodeDecodeError) as err:
                print("%s: %s" % (path, err), file=sys.stderr)
                failed = True
        return 1 if failed else 0
    rows, records, (objects, modules, notes) = generate(args.standard, args.out)
    print("tag_tab.def: %d rows; prv_tab.def: %d creators, %d elements"
          % (len(rows), len(records), sum(len(e) for _, e in records)))
    print("uid_tab.def: %d SOP classes; ab_tab.def: %d objects, %d module entries; "
          "c_tab.def: %d records, %d attribute rows"
          % (sum(len(o.uids) for o in objects), len(objects),
             sum(len(o.modules) for o in objects), len(modules),
             sum(len(m.attrs) for m in modules)))
    for kind in sorted(notes.counts):
        print("  %5d %s" % (notes.counts[kind], kind))
    return 0


if __name__ == "__main__":
    # Run as the module "gendefs", the one that gendefs_objects imports,
    # so that both share one DefSyntaxError.
    import gendefs
    sys.exit(gendefs.main())
