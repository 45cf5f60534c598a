"""Object, module and UID definition files of defs/, made by gendefs.py.

Owns defs/uid_tab.def (SOP Class UID -> object name), defs/ab_tab.def (the
modules of each object), defs/c_tab.def (the attributes of each module, the
attributes inside sequence items as records with item paths) and the three
secondary files uid2_tab.def, ab2_tab.def and c2_tab.def, which ship with a
comment only. The source is modules_part3.xml: the IOD tables of Annex A
(composite objects) and the Basic Directory's, the module tables they name
and the macro tables those include. Where a module's entry says that its
type overrides another module's definition of the attribute, each object
holding both modules gets a variant of the other one with that type.
Sequences are told by the VR SQ of the tag dictionary rows that gendefs.py
makes for tag_tab.def, exactly as the module loader counts them for an
item path.

The XML was extracted from a PDF: macro references carry wrong table
numbers or names, a tag is misprinted, some nesting does not fit the
dictionary. A fault is mended only where the table itself says how (the
macro's name where its number is wrong, the dictionary's tag for the
attribute's name); whatever cannot be placed for sure is dropped. Both
are counted in Notes, which the generator prints.
"""

import collections
import re
import xml.etree.ElementTree as ET
from pathlib import Path

import gendefs

MAX_OBJECT_NAME = 19      # the object-name field holds 19 characters
MAX_UID = 64              # and the SOP Class UID field 64
MAX_TYPE = 3              # the loader keeps three characters of a type
MAX_PATH_INDEX = 32767    # an item-path index is a signed 16-bit number
IOD_SUFFIX = " IOD Modules"

TYPES = ("1", "1C", "2", "2C", "3")
USAGES = ("M", "C", "U")

# SOP classes whose names are not "<IOD name> Storage". The names are those
# of uid_dictionary.py; each must name exactly one current SOP class.
SOP_CLASS_ALIASES = {
    "CR Image": ("Computed Radiography Image Storage",),
    "NM Image": ("Nuclear Medicine Image Storage",),
    "US Image": ("Ultrasound Image Storage",),
    "US Multi Frame Image": ("Ultrasound Multi-frame Image Storage",),
    "SC Image": ("Secondary Capture Image Storage",),
    "Multi Frame Single Bit SC Image":
        ("Multi-frame Single Bit Secondary Capture Image Storage",),
    "Multi Frame Grayscale Byte SC Image":
        ("Multi-frame Grayscale Byte Secondary Capture Image Storage",),
    "Multi Frame Grayscale Word SC Image":
        ("Multi-frame Grayscale Word Secondary Capture Image Storage",),
    "Multi Frame True Color SC Image":
        ("Multi-frame True Color Secondary Capture Image Storage",),
    "X Ray Angiographic Image": ("X-Ray Angiographic Image Storage",),
    "XRF Image": ("X-Ray Radiofluoroscopic Image Storage",),
    "PET Image": ("Positron Emission Tomography Image Storage",),
    "Digital X Ray Image": ("Digital X-Ray Image Storage - For Presentation",
                            "Digital X-Ray Image Storage - For Processing"),
    "Digital Mammography X Ray Image":
        ("Digital Mammography X-Ray Image Storage - For Presentation",
         "Digital Mammography X-Ray Image Storage - For Processing"),
    "Digital Intra Oral X Ray Image":
        ("Digital Intra-Oral X-Ray Image Storage - For Presentation",
         "Digital Intra-Oral X-Ray Image Storage - For Processing"),
    "VL Slide Coordinates Microscopic Image":
        ("VL Slide-Coordinates Microscopic Image Storage",),
    "Pseudo Color Softcopy Presentation State":
        ("Pseudo-Color Softcopy Presentation State Storage",),
    "Basic Voice Audio": ("Basic Voice Audio Waveform Storage",),
    "12 Lead ECG": ("12-lead ECG Waveform Storage",),
    "General ECG": ("General ECG Waveform Storage",),
    "Ambulatory ECG": ("Ambulatory ECG Waveform Storage",),
    "Hemodynamic": ("Hemodynamic Waveform Storage",),
    "Basic Cardiac EP": ("Cardiac Electrophysiology Waveform Storage",),
    "X Ray Radiation Dose SR": ("X-Ray Radiation Dose SR Storage",),
    "Enhanced X Ray Angiographic Image": ("Enhanced XA Image Storage",),
    "Enhanced X Ray RF Image": ("Enhanced XRF Image Storage",),
    "X Ray 3D Angiographic Image": ("X-Ray 3D Angiographic Image Storage",),
    "X Ray 3D Craniofacial Image": ("X-Ray 3D Craniofacial Image Storage",),
    "Basic Directory": ("Media Storage Directory Storage",),
}

# Object names for IOD names longer than the object-name field. Chosen by
# hand so that no two objects share a name; plain cutting would merge, for
# example, the Grayscale Byte and Grayscale Word SC objects.
SHORT_OBJECT_NAMES = {
    "US Multi Frame Image": "US MF Image",
    "Multi Frame Single Bit SC Image": "MF Single Bit SC",
    "Multi Frame Grayscale Byte SC Image": "MF Gray Byte SC",
    "Multi Frame Grayscale Word SC Image": "MF Gray Word SC",
    "Multi Frame True Color SC Image": "MF True Color SC",
    "X Ray Angiographic Image": "XA Image",
    "Digital Mammography X Ray Image": "DX Mammo Image",
    "Digital Intra Oral X Ray Image": "DX Intra Oral Image",
    "RT Beams Treatment Record": "RT Beams Record",
    "RT Brachy Treatment Record": "RT Brachy Record",
    "RT Treatment Summary Record": "RT Summary Record",
    "VL Microscopic Image": "VL Micro Image",
    "VL Slide Coordinates Microscopic Image": "VL Slide Micro",
    "VL Photographic Image": "VL Photo Image",
    "Video Endoscopic Image": "Video Endo Image",
    "Video Microscopic Image": "Video Micro Image",
    "Video Photographic Image": "Video Photo Image",
    "Grayscale Softcopy Presentation State": "Grayscale PS",
    "Color Softcopy Presentation State": "Color PS",
    "Pseudo Color Softcopy Presentation State": "Pseudo Color PS",
    "Blending Softcopy Presentation State": "Blending PS",
    "Key Object Selection Document": "Key Object Doc",
    "X Ray Radiation Dose SR": "XRay Dose SR",
    "Spatial Registration": "Spatial Reg",
    "Deformable Spatial Registration": "Deformable Reg",
    "Ophthalmic Photography 8 Bit Image": "Ophth Photo 8 Bit",
    "Ophthalmic Photography 16 Bit Image": "Ophth Photo 16 Bit",
    "Stereometric Relationship": "Stereometric Rel",
    "Real World Value Mapping": "RWV Mapping",
    "Enhanced X Ray Angiographic Image": "Enhanced XA Image",
    "Enhanced X Ray RF Image": "Enhanced XRF Image",
    "RT Ion Beams Treatment Record": "RT Ion Beams Record",
    "Ophthalmic Tomography Image": "Ophth Tomo Image",
    "X Ray 3D Angiographic Image": "XRay 3D Angio Image",
    "X Ray 3D Craniofacial Image": "XRay 3D Cranio",
}

# The directory's IOD table, the one outside Annex A with a SOP class.
DIRECTORY_IOD = "F.3-1"

# Module titles for IOD entries whose name is a sentence, not a title.
MODULE_TITLES = {"F.3.2.1": "File-set Identification", "F.3.2.2": "Directory Information"}

# Macro names that the include texts use but no macro table carries.
MACRO_NAME_ALIASES = {
    "code sequence macro": "8.8-1",
    "x ray 3d general acquisition per projection macro": "C.8.21.3.1.2-1",
}

# Text of the XML that the definition files spell in ASCII.
ASCII_SPELLING = {"\u2013": "-", "\u2014": "-", "\u00b5": "u",
                  "\u201c": "'", "\u201d": "'", "\u2018": "'", "\u2019": "'"}


def ascii_text(text):
    """The text in ASCII, cleaned for a definition-file string; a
    character without a spelling is refused, so a new one is noticed."""
    out = "".join(ASCII_SPELLING.get(ch, ch) for ch in text)
    if any(ord(ch) > 126 for ch in out):
        raise ValueError("no ASCII spelling in %r" % text)
    return gendefs.clean_text(re.sub(r"\s+", " ", out).strip())


class Notes:
    """Counts of what the generator dropped or repaired, each with its
    examples, for the summary and for the tests."""

    def __init__(self):
        self.counts = collections.Counter()
        self.examples = collections.defaultdict(list)

    def add(self, kind, example):
        self.counts[kind] += 1
        if example not in self.examples[kind]:
            self.examples[kind].append(example)


# ---------------------------------------------------------------------------
# Tables of the XML


# overrides: the modules whose definition of the attribute the entry's own
# text says its type overrides, as macro_key gives their names.
Entry = collections.namedtuple("Entry", "depth tag name type overrides", defaults=((),))
Include = collections.namedtuple("Include", "depth ref description")
Table = collections.namedtuple("Table", "kind table ref name rows")
ModuleUse = collections.namedtuple("ModuleUse", "ref name usage ie")
Iod = collections.namedtuple("Iod", "table name modules")


def split_depth(text):
    """(nesting depth, rest): the depth is the count of leading '>'; blanks
    between them and before the rest are dropped."""
    m = re.match(r"\s*((?:>\s*)*)", text)
    return m.group(1).count(">"), text[m.end():]


OVERRIDE = re.compile(r"overrid\w*\b[^.]*?\b(?:in|of) the ((?:[\w-]+ )+?)Modules?\b", re.I)


def overridden_modules(description):
    """The modules named by a text such as "This type definition shall
    override the definition in the General Series Module" or "overrides
    the type 3 in the Display Shutter and Bitmap Display Shutter
    Modules", each as macro_key gives it; () for any other text."""
    m = OVERRIDE.search(description or "")
    if not m:
        return ()
    return tuple(macro_key(n) for n in re.split(r"\s+and\s+", m.group(1).strip()))


def read_tables(xml_path):
    """(iods, tables): the IOD tables of Annex A and the Basic Directory's
    in file order, and every module and macro table by table number (the
    first of a number wins)."""
    root = ET.parse(xml_path).getroot()
    iods, tables = [], {}
    for node in root:
        if node.tag == "iod":
            if not node.get("table").startswith("A.") and node.get("table") != DIRECTORY_IOD:
                continue                  # normalized and private objects
            modules = [ModuleUse(e.get("ref"), e.get("name"), e.get("usage"), e.get("ie"))
                       for e in node if e.tag == "entry"]
            iods.append(Iod(node.get("table"), node.get("name"), modules))
        elif node.tag in ("module", "macro"):
            rows = []
            for child in node:
                if child.tag == "entry":
                    depth, name = split_depth(child.get("name"))
                    tag = gendefs.module_tag(child.get("group"), child.get("element"))
                    rows.append(Entry(depth, tag, name, child.get("type"),
                                      overridden_modules(child.findtext("description"))))
                elif child.tag == "include":
                    depth, ref = split_depth(child.get("ref"))
                    rows.append(Include(depth, ref, child.get("description") or ""))
            tables.setdefault(node.get("table"), Table(
                node.tag, node.get("table"), node.get("ref"), node.get("name"), rows))
    return iods, tables


def macro_key(name):
    """A macro name reduced to what include texts and table names share:
    lower-case words without punctuation, plural s, or the words that
    only some table titles carry."""
    name = re.sub(r"\(invoked as .*\)", "", name.lower())
    words = re.sub(r"[^a-z0-9/]+", " ", name.replace("-", " ")).split()
    words = [w[:-1] if w.endswith("s") and len(w) > 3 else w for w in words]
    while words and words[-1] in ("attribute", "description"):
        words.pop()
    return " ".join(words)


INCLUDE_TEXT = re.compile(r"Include\s+(.*?)\s*\(?\s*Table\s+([A-Za-z0-9.\-]+)", re.S)


class MacroIndex:
    """Finds the macro table an include text names."""

    def __init__(self, tables):
        self.tables = tables
        self.by_lower_number = {}
        self.by_name = collections.defaultdict(list)
        for number, table in tables.items():
            if table.kind == "macro":
                self.by_lower_number.setdefault(number.lower(), number)
                self.by_name[macro_key(table.name)].append(number)

    def resolve(self, ref):
        """(table number or None, how). The number of the text wins when
        the name agrees with its table, or is part of that table's name;
        a name alone serves when the number names no macro."""
        m = INCLUDE_TEXT.match(ref)
        if not m:
            return None, "no macro named"
        name = macro_key(m.group(1))
        by_number = self.by_lower_number.get(m.group(2).rstrip(".").lower())
        named = self.by_name.get(name, [])
        by_name = named[0] if len(named) == 1 else MACRO_NAME_ALIASES.get(name)
        if by_number:
            title = " %s " % macro_key(self.tables[by_number].name)
            if by_name == by_number or (" %s " % name) in title:
                return by_number, "number"
            return None, "number and name disagree"
        if by_name:
            return by_name, "name"
        return None, "macro missing"


# ---------------------------------------------------------------------------
# Attributes of a module: macros expanded, rows nested by the dictionary


Attr = collections.namedtuple("Attr", "tag name type children")


CONDITION = re.compile(r"\bif\b", re.I)
TYPE_OVERRIDE = re.compile(r"\(([0-9A-F]{4}),([0-9A-F]{4})\) shall be Type ([123]C?)\b", re.I)
CONDITIONAL_TYPE = {"1": "1C", "2": "2C"}


def expand(table, macros, notes, depth=0, callers=(), conditional=False, overrides=None):
    """The entries of a module or macro with its includes replaced by the
    macro's entries, each include's depth added to the macro rows' own.
    A macro included only under a condition ("... if ...") cannot make
    its attributes Type 1 or 2 unconditionally: they become 1C and 2C. An
    include that says an attribute "shall be Type n" sets that type on the
    macro's own rows."""
    chain = callers + (table.table,)
    for row in table.rows:
        if isinstance(row, Entry):
            row = row._replace(depth=depth + row.depth)
            if overrides and row.depth == depth and row.tag in overrides:
                notes.add("type set by the include", "%s: %s %s -> %s" % (
                    table.table, row.name, row.type, overrides[row.tag]))
                row = row._replace(type=overrides[row.tag])
            if conditional and row.type in CONDITIONAL_TYPE:
                row = row._replace(type=CONDITIONAL_TYPE[row.type])
            yield row
            continue
        number, how = macros.resolve(row.ref)
        if number is None:
            notes.add("include not expanded (%s)" % how, "%s: %s" % (table.table, row.ref))
            continue
        if how == "name":
            notes.add("include found by name", "%s: %s" % (table.table, row.ref))
        if number in chain:
            # The SR content tree includes itself without end: its items
            # at the first level are defined, the deeper ones are not.
            notes.add("include not expanded (recursive)", "%s: %s" % (table.table, row.ref))
            continue
        if CONDITION.search(row.ref):
            notes.add("conditional include", "%s: %s" % (table.table, row.ref))
        types = {int(g + e, 16): t.upper()
                 for g, e, t in TYPE_OVERRIDE.findall(row.description)}
        yield from expand(macros.tables[number], macros, notes, depth + row.depth,
                          chain, conditional or bool(CONDITION.search(row.ref)), types)


def nest_rows(rows, dictionary, notes, where):
    """The top-level Attr list of a module from its expanded rows. A row
    goes into the items of the sequence above it only when the dictionary
    gives that sequence the VR SQ; rows that have no such sequence above
    them (under a retired sequence, under an attribute that is no
    sequence, or with a gap in the nesting) are dropped and counted."""
    top = []
    open_lists = [top]                # open_lists[d]: where depth d goes
    last_row = {}                     # depth -> (row, drop reason or None)
    for row in rows:
        if row.tag is None:
            notes.add("row without a tag", "%s: %s" % (where, row.name))
            continue
        row = repair_tag(row, dictionary, notes, where)
        if row.type not in TYPES:
            raise ValueError("%s: type %r of %s" % (where, row.type, row.name))
        d = row.depth
        if d < len(open_lists):
            del open_lists[d + 1:]
            attr = Attr(row.tag, attr_name(row, dictionary), row.type, [])
            open_lists[d].append(attr)
            if dictionary.get(row.tag, ("", ""))[1] == "SQ":
                open_lists.append(attr.children)
            last_row[d] = (row, None)
        else:
            reason = drop_reason(last_row.get(d - 1), dictionary)
            notes.add("row dropped (%s)" % reason, "%s: %s%s" % (where, ">" * d, row.name))
            last_row[d] = (row, reason)
        for deeper in [k for k in last_row if k > d]:
            del last_row[deeper]
    return merge_repeats(top, notes, where)


def repair_tag(row, dictionary, notes, where):
    """A row whose tag the dictionary lacks takes the one tag that the
    dictionary gives its name (a misprinted number); else it stays."""
    if row.tag in dictionary:
        return row
    key = ascii_text(row.name).lower()
    tags = [tag for tag, (name, _) in dictionary.items() if name.lower() == key]
    if len(tags) != 1:
        notes.add("tag the dictionary lacks", "%s: (%04X,%04X) %s" % (
            where, row.tag >> 16, row.tag & 0xFFFF, row.name))
        return row
    notes.add("tag repaired by name", "%s: (%04X,%04X) %s -> (%04X,%04X)" % (
        where, row.tag >> 16, row.tag & 0xFFFF, row.name, tags[0] >> 16, tags[0] & 0xFFFF))
    return row._replace(tag=tags[0])


def merge_repeats(attrs, notes, where):
    """One Attr per tag in a list: a repeat (the SR content macros each
    bring (0008,1199), for example) adds its item attributes to the
    first; the types of the repeats must agree."""
    merged, first = [], {}
    for attr in attrs:
        if attr.tag not in first:
            first[attr.tag] = attr
            merged.append(attr)
            continue
        kept = first[attr.tag]
        if kept.type != attr.type:
            raise ValueError("%s: (%04X,%04X) repeated with types %s and %s" % (
                where, attr.tag >> 16, attr.tag & 0xFFFF, kept.type, attr.type))
        kept.children.extend(attr.children)
        notes.add("repeated attribute merged", "%s: %s" % (where, attr.name))
    for attr in merged:
        attr.children[:] = merge_repeats(attr.children, notes, where)
    return merged


def drop_reason(above, dictionary):
    """Why a row cannot go into the items of the row above it."""
    if above is None:
        return "nesting gap"
    row, reason = above
    if reason is not None:
        return reason                 # dropped with the row above it
    vr = dictionary.get(row.tag, ("", None))[1]
    if vr == "RE":
        return "retired sequence"
    if vr is None:
        return "under a tag the dictionary lacks"
    return "under a %s attribute" % vr


def attr_name(row, dictionary):
    """The dictionary's name of a tag, which the rest of the system shows
    too; the table's own text only for a tag the dictionary lacks."""
    known = dictionary.get(row.tag)
    return known[0] if known else ascii_text(row.name)


def item_records(reference, attrs, dictionary, path=""):
    """[(reference with item path, Attr list)] of every sequence below the
    list, each right after the record of the list that holds it."""
    records = []
    index = 0
    for attr in attrs:
        if dictionary.get(attr.tag, ("", ""))[1] != "SQ":
            continue
        index += 1
        if index > MAX_PATH_INDEX:
            raise ValueError("%s%s: more sequences than an item path counts" % (reference, path))
        if attr.children:
            sub = "%s_%d" % (path, index)
            records.append((reference + sub, attr))
            records.extend(item_records(reference, attr.children, dictionary, sub))
    return records


# ---------------------------------------------------------------------------
# Objects and SOP classes


def module_title(name):
    """The module name of an IOD entry; a few entries carry a stray
    " Module", which the verifier's "Checking %s Module" would repeat."""
    name = ascii_text(name)
    return name[:-len(" Module")] if name.endswith(" Module") else name


def object_base(iod_name):
    if not iod_name.endswith(IOD_SUFFIX):
        raise ValueError("IOD table name %r" % iod_name)
    return iod_name[:-len(IOD_SUFFIX)]


def object_name(base):
    name = SHORT_OBJECT_NAMES.get(base, base)
    if len(name) > MAX_OBJECT_NAME:
        raise ValueError("object name %r longer than %d" % (name, MAX_OBJECT_NAME))
    return name


def sop_classes(uid_dictionary):
    """Current SOP classes: name -> [UID, ...]."""
    by_name = collections.defaultdict(list)
    for uid, fields in uid_dictionary.items():
        name, kind, retired = fields[0], fields[1], fields[3]
        if kind == "SOP Class" and not retired:
            by_name[name].append(uid)
    return by_name


def uid_order(uid):
    return [int(part) for part in uid.split(".")]


def object_uids(base, classes):
    """[(UID, UID name)] of the SOP classes an IOD defines."""
    names = SOP_CLASS_ALIASES.get(base, (base + " Storage",))
    found = []
    for name in names:
        uids = classes.get(name, [])
        if len(uids) > 1 or (not uids and base in SOP_CLASS_ALIASES):
            raise ValueError("alias %r of %r names %d SOP classes" % (name, base, len(uids)))
        found.extend((uid, name) for uid in uids)
    return sorted(found, key=lambda f: uid_order(f[0]))


Object = collections.namedtuple("Object", "name title iod uids modules")


def build_objects(iods, classes):
    """The objects of the IOD tables that some SOP class stands for."""
    objects, names = [], {}
    for iod in iods:
        base = object_base(iod.name)
        uids = object_uids(base, classes)
        if not uids:
            continue
        name = object_name(base)
        if name in names:
            raise ValueError("object name %r of %r and %r" % (name, base, names[name]))
        names[name] = base
        modules = []
        for use in iod.modules:
            usage = use.usage.strip()[:1]
            if usage not in USAGES or "_" in use.ref:
                raise ValueError("%s: module entry %r" % (iod.table, use))
            title = MODULE_TITLES.get(use.ref) or module_title(use.name)
            modules.append(ModuleUse(use.ref, title, usage, ascii_text(use.ie)))
        objects.append(Object(name, base + " IOD", iod.table, uids, modules))
    return objects


# ---------------------------------------------------------------------------
# Types that one module of an object sets for another's attribute


def override_statements(table):
    """[(tag path, type, module keys)] of the module table's own entries
    whose text says that their type overrides the named modules'
    definition of the attribute; the path holds the tags of the
    sequences above the entry, then its own."""
    statements, above = [], {}
    for row in table.rows if table else ():
        if isinstance(row, Entry) and row.tag is not None:
            above[row.depth] = row.tag
            path = tuple(above.get(d) for d in range(row.depth + 1))
            if row.overrides and None not in path:
                statements.append((path, row.type, row.overrides))
    return statements


def amend_overridden(objects, tables, notes):
    """The objects with every module whose attributes another module of
    the same object overrides named "reference/amending reference...":
    the variant that build_modules makes for that object alone."""
    modules = {t.ref: t for t in tables.values() if t.kind == "module"}
    amended = []
    for obj in objects:
        by_key = {macro_key(use.name): use.ref for use in obj.modules}
        amenders = collections.defaultdict(list)
        for use in obj.modules:
            for path, _, names in override_statements(modules.get(use.ref)):
                for name in names:
                    target = by_key.get(name)
                    if target is None:
                        notes.add("override of a module the object lacks", "%s: %s -> %s" % (
                            obj.name, use.ref, name))
                    elif use.ref not in amenders[target]:
                        amenders[target].append(use.ref)
        uses = [u._replace(ref="/".join([u.ref] + amenders[u.ref])) if u.ref in amenders else u
                for u in obj.modules]
        amended.append(obj._replace(modules=uses))
    return amended


def with_type(attrs, path, type_):
    """A copy of the Attr list in which the attribute at the tag path has
    the type; None when the path leads to no attribute."""
    for i, attr in enumerate(attrs):
        if attr.tag != path[0]:
            continue
        if len(path) == 1:
            changed = attr._replace(type=type_)
        else:
            children = with_type(attr.children, path[1:], type_)
            if children is None:
                return None
            changed = attr._replace(children=children)
        return attrs[:i] + [changed] + attrs[i + 1:]
    return None


def apply_overrides(reference, title, top, modules, notes):
    """The top-level Attr list of the variant "base/amending..." of a
    module: the types that the amending modules set for its attributes."""
    for ref in reference.split("/")[1:]:
        for path, type_, names in override_statements(modules[ref]):
            if macro_key(title) not in names:
                continue
            changed = with_type(top, path, type_)
            where = "%s: (%04X,%04X) Type %s by %s" % (
                reference, path[-1] >> 16, path[-1] & 0xFFFF, type_, ref)
            notes.add("type overridden" if changed else "override of an attribute the module lacks",
                      where)
            top = changed or top
    return top


ModuleRecord = collections.namedtuple("ModuleRecord", "reference title attrs")


def build_modules(objects, tables, dictionary, notes):
    """[ModuleRecord] of every module some object uses, in the order of
    first use, each followed by the records of its sequence items. A
    reference "base/amending..." (amend_overridden) is the base module
    with the types the amending modules set."""
    modules = {t.ref: t for t in tables.values() if t.kind == "module"}
    macros = MacroIndex(tables)
    records, done, tops = [], set(), {}
    for obj in objects:
        for use in obj.modules:
            if use.ref in done:
                continue
            done.add(use.ref)
            base = use.ref.split("/")[0]
            if base not in tops:
                table = modules.get(base)
                if table is None:
                    raise ValueError("%s: no module table %s" % (obj.iod, base))
                tops[base] = nest_rows(expand(table, macros, notes), dictionary, notes, base)
            top = apply_overrides(use.ref, use.name, tops[base], modules, notes)
            records.append(ModuleRecord(use.ref, use.name, top))
            for reference, seq in item_records(use.ref, top, dictionary):
                records.append(ModuleRecord(reference, seq.name, seq.children))
    return records


# ---------------------------------------------------------------------------
# Output

UID_HEADER = """\
# uid_tab.def -- SOP Class UID to object name, one record per SOP class.
# Generated by tools/gendefs.py from the standard's tables; do not edit by
# hand: rerun the generator. Site additions belong in uid2_tab.def.
#
# {"object name", "SOP Class UID", "UID name"},
# The object name (at most 19 characters) is the key of ab_tab.def.
"""

AB_HEADER = """\
# ab_tab.def -- the modules of each object, in the order of its IOD table.
# Generated by tools/gendefs.py from the standard's tables; do not edit by
# hand: rerun the generator. Site additions belong in ab2_tab.def.
#
# {"object name", "object title", {
#   {"module reference", "module title", 'usage M, C or U', "information entity"}
# }}
# A reference "C.7.3.1/C.8.6.1" names a module as amended for the object:
# with the attribute types that the modules after the '/' set for it.
"""

C_HEADER = """\
# c_tab.def -- the attributes of each module, with their types.
# Generated by tools/gendefs.py from the standard's tables; do not edit by
# hand: rerun the generator. Site additions belong in c2_tab.def.
#
# {"module reference", "title", {
#   {tag, "attribute name", "type", ""}
# }}
# A reference followed by _n holds the attributes of the items of the n-th
# sequence (VR SQ in tag_tab.def) of the module, _n_m those of the m-th
# sequence inside those items, and so on; the record of a sequence's items
# follows the record that holds the sequence. A reference "base/other"
# holds the base module with the types that module "other" overrides.
"""

UID2_TEXT = """\
# uid2_tab.def -- site-specific SOP classes.
# Searched for a SOP Class UID that uid_tab.def does not map. Records have
# the form of uid_tab.def, each followed by ',':
# {"object name", "1.2.3.4", "name of the SOP class"},
"""

AB2_TEXT = """\
# ab2_tab.def -- site-specific object definitions.
# Loaded after ab_tab.def: the modules of a record for the same object name
# are appended to that object. The presence of this file also gives every
# object the closing module "P.R.I.V.A.T.E", which collects the elements
# that no other module defines. Records have the form of ab_tab.def:
# {"object name", "object title", {
#   {"reference", "title", 'U', "information entity"}
# }}
"""

C2_TEXT = """\
# c2_tab.def -- site-specific module attributes.
# Loaded after c_tab.def: the attributes of a record are appended to the
# module (or item path) it names. Only Type "3" attributes are allowed.
# Records have the form of c_tab.def:
# {"module reference", "title", {
#   {0x00091010, "attribute name", "3", ""}
# }}
"""


def render_uid_file(objects):
    out = [UID_HEADER]
    for obj in objects:
        for uid, name in obj.uids:
            out.append('{"%s", "%s", "%s"},\n' % (obj.name, uid, name))
    return "".join(out)


def render_ab_file(objects):
    out = [AB_HEADER]
    for obj in objects:
        out.append('{"%s", "%s", {\n' % (obj.name, obj.title))
        out.append(",\n".join('  {"%s", "%s", \'%s\', "%s"}' % m for m in obj.modules))
        out.append("\n}}\n")
    return "".join(out)


def render_c_file(records):
    out = [C_HEADER]
    for rec in records:
        out.append('{"%s", "%s", {\n' % (rec.reference, rec.title))
        out.append(",\n".join('  {0x%08X, "%s", "%s", ""}' % (a.tag, a.name, a.type)
                              for a in rec.attrs))
        out.append("\n}}\n" if rec.attrs else "}}\n")
    return "".join(out)


def generate(std, out, tag_rows):
    """Writes the six files into out; returns (objects, records, notes)."""
    dictionary = {row[0]: (row[1], row[2]) for row in tag_rows}
    uid_dictionary = gendefs.load_dict_literals(std / "uid_dictionary.py")["UID_dictionary"]
    iods, tables = read_tables(std / "modules_part3.xml")
    notes = Notes()
    objects = amend_overridden(build_objects(iods, sop_classes(uid_dictionary)), tables, notes)
    records = build_modules(objects, tables, dictionary, notes)
    gendefs.write_text(out / "uid_tab.def", render_uid_file(objects))
    gendefs.write_text(out / "ab_tab.def", render_ab_file(objects))
    gendefs.write_text(out / "c_tab.def", render_c_file(records))
    gendefs.write_text(out / "uid2_tab.def", UID2_TEXT)
    gendefs.write_text(out / "ab2_tab.def", AB2_TEXT)
    gendefs.write_text(out / "c2_tab.def", C2_TEXT)
    return objects, records, notes


# ---------------------------------------------------------------------------
# Check: reads the files token by token as the loaders do and resolves the
# item paths against the tag dictionary beside them


def check_uid_file(tok):
    """[(object name, UID, third text)] of a UID file."""
    records, keys = [], set()
    while not tok.at_end():
        name, uid, third = tok.record("sss")
        tok.char(",")                     # a record without it is never compared
        where = "line %d: " % tok.line()
        if not name or len(name) > MAX_OBJECT_NAME:
            raise gendefs.DefSyntaxError(where + "object name %r not of 1 to %d characters"
                                         % (name, MAX_OBJECT_NAME))
        if not uid or len(uid) > MAX_UID:
            raise gendefs.DefSyntaxError(where + "UID %r not of 1 to %d characters" % (uid, MAX_UID))
        if uid in keys:
            raise gendefs.DefSyntaxError(where + "UID %s mapped twice" % uid)
        keys.add(uid)
        records.append((name, uid, third))
    return records


def read_module_entry(tok):
    reference, title, usage, fourth = tok.record("sscs")
    if usage not in USAGES:
        tok.fail("usage M, C or U")
    if not reference or "_" in reference:
        raise gendefs.DefSyntaxError("line %d: module reference %r cannot be looked up"
                                     % (tok.line(), reference))
    return ModuleUse(reference, title, usage, fourth)


def check_ab_file(tok):
    """object name -> [ModuleUse] of an object file, records of one name
    gathered in file order as the loader gathers them."""
    objects = collections.OrderedDict()
    while not tok.at_end():
        tok.char("{")
        name, _ = tok.fields("ss")
        modules = tok.entries(read_module_entry)
        tok.char("}")
        if not name or len(name) > MAX_OBJECT_NAME:
            raise gendefs.DefSyntaxError("line %d: object name %r not of 1 to %d characters"
                                         % (tok.line(), name, MAX_OBJECT_NAME))
        objects.setdefault(name, []).extend(modules)
    return objects


def read_attr_entry(tok):
    tag, name, type_, _ = tok.record("hsss")
    if not type_ or len(type_) > MAX_TYPE:
        tok.fail("type of 1 to %d characters" % MAX_TYPE)
    return Attr(tag, name, type_, [])


def resolve_path(reference, top, dictionary):
    """The attribute list that a module-file record with an item path
    fills, found as the loader finds it: each _n takes the n-th
    attribute of the list whose dictionary VR is SQ and goes into its
    Item definition, made on first use. The error text otherwise."""
    current, pos = top, reference.index("_")
    while True:
        if not current:
            return None, "no attribute before %s" % reference[pos:]
        if reference[pos] != "_":
            return None, "'_' expected at %r" % reference[pos:]
        m = re.compile(r"[0-9]+").match(reference, pos + 1)
        if not m:
            return None, "index expected after '_' in %s" % reference
        index = int(m.group(0))
        if not 1 <= index <= MAX_PATH_INDEX:
            return None, "index %d of %s outside 1 to %d" % (index, reference, MAX_PATH_INDEX)
        sequences = [a for a in current if dictionary.get(a.tag, ("", ""))[1] == "SQ"]
        if len(sequences) < index:
            return None, "%s: only %d sequences where %d is referenced" % (
                reference, len(sequences), index)
        current, pos = sequences[index - 1].children, m.end()
        if pos == len(reference):
            return current, None


def check_c_file(tok, dictionary, modules=None, secondary=False):
    """(attribute rows, modules) of a module file: every item path resolved
    against the lists the earlier records built (modules: reference ->
    top-level Attr list, carried over from the primary file into the
    secondary one)."""
    modules = collections.OrderedDict() if modules is None else modules
    rows = 0
    while not tok.at_end():
        tok.char("{")
        reference, _ = tok.fields("ss")
        attrs = tok.entries(read_attr_entry)
        tok.char("}")
        rows += len(attrs)
        where = "line %d: " % tok.line()
        module = reference.split("_", 1)[0]
        if not module:
            raise gendefs.DefSyntaxError(where + "record without a module reference")
        top = modules.setdefault(module, [])
        target = top
        if "_" in reference:
            target, error = resolve_path(reference, top, dictionary)
            if error:
                raise gendefs.DefSyntaxError(where + error)
        if secondary and any(a.type != "3" for a in attrs):
            raise gendefs.DefSyntaxError(where + "a secondary module file holds Type 3 only")
        target.extend(attrs)
    return rows, modules


def check_object_file(path):
    """Row count of a UID, object or module file; DefSyntaxError on
    any fault. A module file is checked against tag_tab.def beside it,
    and a secondary one after the primary file beside it."""
    path = Path(path)
    tok = gendefs.Tokens(path.read_text(encoding="utf-8"))
    if path.name.startswith("uid"):
        return len(check_uid_file(tok))
    if path.name.startswith("ab"):
        return sum(len(m) for m in check_ab_file(tok).values())
    tags = path.with_name("tag_tab.def")
    dictionary = gendefs.read_tag_file(gendefs.Tokens(tags.read_text(encoding="utf-8")))
    modules = None
    secondary = path.name.startswith("c2")
    if secondary and path.with_name("c_tab.def").exists():
        primary = gendefs.Tokens(path.with_name("c_tab.def").read_text(encoding="utf-8"))
        modules = check_c_file(primary, dictionary)[1]
    return check_c_file(tok, dictionary, modules, secondary)[0]
