"""Independent check of files written by the editor tests, with pydicom.

usage:
  edit_oracle.py check ORIGINAL EDITED CHANGES
      Exits 0 when EDITED reads without error, every change listed in the
      file CHANGES holds, and every other element of ORIGINAL (group 0002,
      group lengths and (0008,0001) aside) is in EDITED at the same nesting
      place with the same value (blobs and pixel data byte for byte, byte
      order corrected when the two files differ in it); prints the first
      difference otherwise.  CHANGES lines (paths like 00100010 or
      00120064[0].00080100):
        set PATH LITERAL   the element holds this Python value
        empty PATH         the element is there with an empty value
        items PATH N       the element is a sequence of N items
        gone PATH          neither the element nor anything under it is there
                           (PATH may name an item: 30060010[0])
        dropitem PATH[N]   item N was deleted: the items after it move up one,
                           and the other paths name the edited file's items
  edit_oracle.py private-block FILE
      Prints the first private block of the top level, creator first, one
      "gggg eeee" per line (nothing when there is none).
  edit_oracle.py undefined-lengths FILE OUT [defined-items]
      Writes FILE again as OUT with every sequence of undefined length, and
      every item too unless "defined-items" is given.
  edit_oracle.py dump FILE
      Prints every element as "PATH repr(value)" (a sequence as "<n items>"),
      values normalised: text as str, numbers as int or float, several
      values as a list, tags as 8 hex digits, blobs as bytes.
"""
import ast
import sys

import pydicom
from pydicom.multival import MultiValue
from pydicom.tag import BaseTag
from pydicom.valuerep import PersonName

BLOBS = {"OB", "OW", "OF", "OD", "OL", "OV", "UN"}
WIDTH = {"OW": 2, "US": 2, "SS": 2, "OF": 4, "OL": 4, "UL": 4, "SL": 4, "FL": 4,
         "OD": 8, "FD": 8, "OV": 8, "SV": 8, "UV": 8, "AT": 2}


def read(path):
    # force: bare data sets (no preamble, no meta group) too
    return pydicom.dcmread(path, force=True)


def little_endian(ds):
    return getattr(ds, "is_little_endian", True) in (True, None)


def flatten(ds, path=""):
    """{path: (element, raw bytes or None)} of every element, items too."""
    out = {}
    for tag in list(ds.keys()):
        raw = ds.get_item(tag)
        raw_bytes = raw.value if isinstance(raw.value, (bytes, bytearray)) else None
        el = ds[tag]
        if tag.group == 0x0002 or tag.element == 0x0000 or tag == 0x00080001:
            continue
        key = path + "%08X" % int(tag)
        out[key] = (el, raw_bytes)
        if el.VR == "SQ":
            for i, item in enumerate(el.value):
                out.update(flatten(item, key + "[%d]." % i))
    return out


def norm(value):
    if isinstance(value, BaseTag):
        return "%08X" % int(value)
    if isinstance(value, (MultiValue, list)):
        return [norm(v) for v in value]
    if value is None:
        return ""
    if isinstance(value, PersonName):
        return str(value)
    if isinstance(value, (bytes, bytearray)):
        return bytes(value)
    for plain in (float, int, str):  # pydicom's DSfloat, IS, ... as plain values
        if isinstance(value, plain):
            return plain(value)
    return value


def swapped(data, width):
    if width < 2:
        return data
    n = len(data) - len(data) % width
    out = bytearray(data)
    for i in range(0, n, width):
        out[i:i + width] = data[i:i + width][::-1]
    return bytes(out)


def same_bytes(a, b):
    if a == b:
        return True
    # An odd-length value is written padded to even length.
    return len(a) % 2 == 1 and len(b) == len(a) + 1 and b.startswith(a)


def same(key, a, b, a_le, b_le, bits):
    el_a, raw_a = a
    el_b, raw_b = b
    if el_a.VR == "SQ" or el_b.VR == "SQ":
        return el_a.VR == el_b.VR
    blob = el_a.VR in BLOBS or el_b.VR in BLOBS or key.endswith("7FE00010")
    if not blob:
        va, vb = norm(el_a.value), norm(el_b.value)
        if va == vb:
            return True
        if {el_a.VR, el_b.VR} <= {"SS", "US"} and isinstance(va, int) and isinstance(vb, int):
            return (va - vb) % 65536 == 0  # XS written as US: the same 16 bits
        return False
    ba = raw_a if raw_a is not None else el_a.value
    bb = raw_b if raw_b is not None else el_b.value
    if not isinstance(ba, (bytes, bytearray)) or not isinstance(bb, (bytes, bytearray)):
        return norm(el_a.value) == norm(el_b.value)
    if a_le != b_le:
        width = bits // 8 if key.endswith("7FE00010") else WIDTH.get(el_a.VR, 1)
        ba = swapped(bytes(ba), width)
    return same_bytes(bytes(ba), bytes(bb))


def under(key, path):
    """key is path itself or an element below it (an item, or inside one)."""
    return key == path or key.startswith(path + "[") or key.startswith(path + ".")


def drop_item(flat, item_path):
    """flat without the item at item_path (SEQ[N]), its later items renumbered."""
    seq, n = item_path[:-1].rsplit("[", 1)
    n = int(n)
    out = {}
    for key, value in flat.items():
        if not key.startswith(seq + "["):
            out[key] = value
            continue
        index, rest = key[len(seq) + 1:].split("]", 1)
        if int(index) != n:
            out["%s[%d]%s" % (seq, int(index) - (int(index) > n), rest)] = value
    return out


def check(orig_path, edited_path, changes_path):
    orig, edited = read(orig_path), read(edited_path)
    a, b = flatten(orig), flatten(edited)
    bits = int(orig.get("BitsAllocated", 8) or 8)
    a_le, b_le = little_endian(orig), little_endian(edited)
    want = {}
    gone = []
    with open(changes_path) as fp:
        for line in fp:
            words = line.split(None, 2)
            if not words:
                continue
            if words[0] == "gone":
                gone.append(words[1])
            elif words[0] == "dropitem":
                a = drop_item(a, words[1])
            else:
                want[words[1]] = (words[0], words[2].strip() if len(words) > 2 else "")
    for path, (kind, literal) in want.items():
        if path not in b:
            print("missing", path)
            return 1
        el = b[path][0]
        if kind == "items":
            if el.VR != "SQ" or len(el.value) != int(literal):
                print("not a sequence of", literal, "items:", path)
                return 1
            continue
        value = norm(el.value)
        expected = "" if kind == "empty" else ast.literal_eval(literal)
        if value != expected:
            print("value of", path, repr(value)[:80], "expected", repr(expected)[:80])
            return 1
    for path in gone:
        hit = [k for k in b if under(k, path)]
        if hit:
            print("still there:", hit[0])
            return 1

    for key in sorted(set(a) | set(b)):
        if key in want or any(under(key, g) for g in gone):
            continue
        if key not in a:
            print("added:", key)
            return 1
        if key not in b:
            print("lost:", key)
            return 1
        if not same(key, a[key], b[key], a_le, b_le, bits):
            print("value of", key, repr(a[key][0].value)[:60], repr(b[key][0].value)[:60])
            return 1
    return 0


def private_block(path):
    ds = read(path)
    creators = [t for t in ds.keys() if t.group % 2 == 1 and 0x10 <= t.element <= 0xFF]
    if not creators:
        return 0
    c = creators[0]
    block = c.element << 8
    print("%04X %04X" % (c.group, c.element))
    for t in ds.keys():
        if t.group == c.group and block <= t.element <= block + 0xFF:
            print("%04X %04X" % (t.group, t.element))
    return 0


def undefined_lengths(path, out, mode=""):
    ds = read(path)

    def walk(data_set):
        for el in data_set:
            if el.VR == "SQ":
                el.is_undefined_length = True
                for item in el.value:
                    item.is_undefined_length_sequence_item = mode != "defined-items"
                    walk(item)

    walk(ds)
    ds.save_as(out)
    return 0


def dump(path):
    for key, (el, _) in flatten(read(path)).items():
        text = "<%d items>" % len(el.value) if el.VR == "SQ" else repr(norm(el.value))
        print(key, text)
    return 0


def main():
    if sys.argv[1] == "check":
        return check(*sys.argv[2:5])
    if sys.argv[1] == "private-block":
        return private_block(sys.argv[2])
    if sys.argv[1] == "undefined-lengths":
        return undefined_lengths(*sys.argv[2:5])
    if sys.argv[1] == "dump":
        return dump(sys.argv[2])
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main())
