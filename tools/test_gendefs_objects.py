"""Tests of the UID, object and module files and of their check.

Run from the project root: python3 -m unittest discover -s tools
"""

import collections
import json
import os
import subprocess
import tempfile
import unittest
from pathlib import Path

import gendefs
import gendefs_objects as go

ROOT = Path(__file__).resolve().parent.parent
STANDARD = ROOT.parent / "shared" / "standard"
SAMPLES = ROOT.parent / "shared" / "samples"
DEFS = ROOT / "defs"

# A module with the shapes met in the real tables: a macro with its own
# nesting included inside a sequence (and including itself), a retired
# sequence between two counted ones, a wrong table number, an overlay
# group, rows nested under no sequence, a conditional include, a repeated
# sequence and a misprinted tag.
MODULE_XML = """<tables>
 <macro table="8.8-1" name="Common Attribute Set For Code Sequence Attributes (invoked AS \u201ccode Sequence Macro\u201d)">
  <entry group="0008" element="0100" name="Code Value" type="1"/>
  <entry group="0008" element="0104" name="Code Meaning" type="1"/>
 </macro>
 <macro table="10-11" name="SOP Instance Reference Macro Attributes">
  <entry group="0008" element="1150" name="Referenced SOP Class UID" type="1"/>
  <entry group="0008" element="1155" name="Referenced SOP Instance UID" type="1"/>
 </macro>
 <macro table="M-1" name="Nested Macro Attributes">
  <entry group="0008" element="1115" name="Referenced Series Sequence" type="1"/>
  <include ref="&gt;Include 'SOP Instance Reference Macro' Table 10-11"/>
  <entry group="0040" element="A730" name="Content Sequence" type="3"/>
  <include ref="&gt;Include 'Nested Macro' Table M-1"/>
 </macro>
 <module ref="C.1" table="C.1-1" name="Test Module Attributes">
  <entry group="0010" element="0010" name="Patient's Name" type="2"/>
  <entry group="0008" element="1140" name="Referenced Image Sequence" type="1"/>
  <include ref="&gt;Include 'Nested Macro' Table M-1"/>
  <entry group="3006" element="00C0" name="Frame of Reference Relationship Sequence" type="3"/>
  <entry group="3006" element="00C2" name="&gt;Related Frame of Reference UID" type="1"/>
  <entry group="0040" element="0260" name="Performed Protocol Code Sequence" type="3"/>
  <include ref="&gt; Include 'Code Sequence Macro' Table 8.8-2"
           description="Code Meaning (0008,0104) shall be Type 3 for historical reasons."/>
  <entry group="60xx" element="0010" name="Overlay Rows" type="1"/>
  <entry group="0028" element="0010" name="Rows" type="1"/>
  <entry group="0028" element="0011" name="&gt;Columns" type="1"/>
  <entry group="0008" element="1199" name="Referenced SOP Sequence" type="1"/>
  <entry group="0008" element="1150" name="&gt;&gt;Referenced SOP Class UID" type="1"/>
  <include ref="Include 'SOP Instance Reference Macro' Table 10-11 if and only if Value Type is COMPOSITE."/>
  <entry group="0008" element="1199" name="Referenced SOP Sequence" type="1"/>
  <include ref="&gt;Include 'SOP Instance Reference Macro' Table 10-11"/>
  <entry group="0028" element="2144" name="Lossy Image Compression Method" type="1C"/>
 </module>
 <iod table="A.1-1" name="SC Image IOD Modules">
  <entry ie="Image" name="Test Module" ref="C.1" usage="C - Required if x"/>
 </iod>
 <iod table="A.2-1" name="Multi Frame Grayscale Byte SC Image IOD Modules">
  <entry ie="Image" name="Test" ref="C.1" usage="M"/>
 </iod>
 <iod table="A.3-1" name="Multi Frame Grayscale Word SC Image IOD Modules">
  <entry ie="Image" name="Test" ref="C.1" usage="U - See A.3"/>
 </iod>
 <iod table="A.4-1" name="No Such Thing IOD Modules">
  <entry ie="Image" name="Test" ref="C.1" usage="M"/>
 </iod>
 <iod table="B.1-1" name="SC Image IOD Modules">
  <entry ie="Image" name="Test" ref="C.1" usage="M"/>
 </iod>
</tables>
"""

DICTIONARY = {
    0x00100010: ("Patient's Name", "PN"), 0x00081140: ("Referenced Image Sequence", "SQ"),
    0x00081115: ("Referenced Series Sequence", "SQ"), 0x00081150: ("Referenced SOP Class UID", "UI"),
    0x00081155: ("Referenced SOP Instance UID", "UI"), 0x0040A730: ("Content Sequence", "SQ"),
    0x300600C0: ("Frame of Reference Relationship Sequence", "RE"),
    0x300600C2: ("Related Frame of Reference UID", "RE"),
    0x00400260: ("Performed Protocol Code Sequence", "SQ"), 0x00080100: ("Code Value", "SH"),
    0x00080104: ("Code Meaning", "LO"), 0x60000010: ("Overlay Rows", "US"),
    0x00280010: ("Rows", "US"), 0x00280011: ("Columns", "US"),
    0x00081199: ("Referenced SOP Sequence", "SQ"),
    0x00282114: ("Lossy Image Compression Method", "CS"),
}

UIDS = {
    "1.2.840.10008.5.1.4.1.1.7": ("Secondary Capture Image Storage", "SOP Class", "", "", ""),
    "1.2.840.10008.5.1.4.1.1.7.2": (
        "Multi-frame Grayscale Byte Secondary Capture Image Storage", "SOP Class", "", "", ""),
    "1.2.840.10008.5.1.4.1.1.7.3": (
        "Multi-frame Grayscale Word Secondary Capture Image Storage", "SOP Class", "", "", ""),
    "1.2.840.10008.5.1.4.1.1.7.9": (
        "Multi-frame Grayscale Word Secondary Capture Image Storage", "SOP Class", "", "Retired", ""),
}


def tree(attrs):
    """Attr lists as plain nested tuples, for comparing."""
    return [(a.tag, a.name, a.type, tree(a.children)) for a in attrs]


def tokens(text):
    return gendefs.Tokens(text)


class SyntheticTablesTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with tempfile.TemporaryDirectory() as tmp:
            path = Path(tmp) / "modules.xml"
            path.write_text(MODULE_XML, encoding="utf-8")
            cls.iods, cls.tables = go.read_tables(path)
        cls.notes = go.Notes()
        cls.objects = go.build_objects(cls.iods, go.sop_classes(UIDS))
        cls.records = go.build_modules(cls.objects, cls.tables, DICTIONARY, cls.notes)

    def test_records_nest_each_level_where_the_loader_looks(self):
        refs = {r.reference: [(a.tag, a.type) for a in r.attrs] for r in self.records}
        self.assertEqual(list(refs), ["C.1", "C.1_1", "C.1_1_1", "C.1_2", "C.1_3"])
        self.assertEqual(refs["C.1"], [
            (0x00100010, "2"), (0x00081140, "1"), (0x300600C0, "3"), (0x00400260, "3"),
            (0x60000010, "1"), (0x00280010, "1"), (0x00081199, "1"),
            (0x00081150, "1C"), (0x00081155, "1C"), (0x00282114, "1C")])
        # macro rows at include depth 1 plus their own nesting; the macro's
        # include of itself is not expanded, so Content Sequence has no items
        self.assertEqual(refs["C.1_1"], [(0x00081115, "1"), (0x0040A730, "3")])
        self.assertEqual(refs["C.1_1_1"], [(0x00081150, "1"), (0x00081155, "1")])
        # the retired sequence is not counted: the code sequence is _2
        self.assertEqual(refs["C.1_2"], [(0x00080100, "1"), (0x00080104, "3")])
        # the repeated sequence brought its items to the first one
        self.assertEqual(refs["C.1_3"], [(0x00081150, "1"), (0x00081155, "1")])

    def test_each_odd_row_is_counted(self):
        expect = {
            "row dropped (retired sequence)": 1, "row dropped (under a US attribute)": 1,
            "row dropped (nesting gap)": 1, "include found by name": 1,
            "include not expanded (recursive)": 1, "type set by the include": 1,
            "repeated attribute merged": 1, "tag repaired by name": 1, "conditional include": 1,
        }
        self.assertEqual(dict(self.notes.counts), expect)

    def test_objects_names_and_usages(self):
        got = [(o.name, o.title, o.iod, [u for u, _ in o.uids], o.modules[0].usage,
                o.modules[0].name) for o in self.objects]
        self.assertEqual(got, [
            ("SC Image", "SC Image IOD", "A.1-1", ["1.2.840.10008.5.1.4.1.1.7"], "C", "Test"),
            ("MF Gray Byte SC", "Multi Frame Grayscale Byte SC Image IOD", "A.2-1",
             ["1.2.840.10008.5.1.4.1.1.7.2"], "M", "Test"),
            ("MF Gray Word SC", "Multi Frame Grayscale Word SC Image IOD", "A.3-1",
             ["1.2.840.10008.5.1.4.1.1.7.3"], "U", "Test"),
        ])

    def test_written_files_load_back_into_the_same_tree(self):
        _, modules = go.check_c_file(tokens(go.render_c_file(self.records)), DICTIONARY)
        self.assertEqual(tree(modules["C.1"]), tree(self.records[0].attrs))
        objects = go.check_ab_file(tokens(go.render_ab_file(self.objects)))
        self.assertEqual({n: [tuple(m) for m in ms] for n, ms in objects.items()},
                         {o.name: [tuple(m) for m in o.modules] for o in self.objects})
        uids = go.check_uid_file(tokens(go.render_uid_file(self.objects)))
        self.assertEqual([(n, u) for n, u, _ in uids],
                         [(o.name, u) for o in self.objects for u, _ in o.uids])


class MacroReferenceTest(unittest.TestCase):
    """Include texts of the real tables and the macro each one finds."""

    @classmethod
    def setUpClass(cls):
        cls.macros = go.MacroIndex(go.read_tables(STANDARD / "modules_part3.xml")[1])

    def test_resolution(self):
        cases = [
            ("Include 'Code Sequence Macro' Table 8.8-1", "8.8-1", "number"),
            ("Include Code Sequence Macro Table 8.8-1", "8.8-1", "number"),
            ("Include 'Code Sequence Macro' Table 8.8-2", "8.8-1", "name"),
            ("Include 'Code Sequence Macro' Table 8.8.1", "8.8-1", "name"),
            ("Include 'Code Sequence Macro' (Table 8.8-1).", "8.8-1", "number"),
            ("Include Basic Pixel Spacing Calibration Macro (Table 10-10)", "10-10", "number"),
            ("Include 'Display Shutter Macro' Table C.7-17A.", "C.7-17a", "number"),
            ("Include 'SOP Instance Reference Macro' Table C.17-3", "C.17-3", "number"),
            ("Include ''Hierarchical SOP Instance Reference Macro' Table C.17-3", "C.17-3", "number"),
            ("Include 'Image Pixel Macro' Table C.7-11.2", "C.7-11b", "name"),
            ("Include 'Primary Anatomic Structure Macro' Table 10.x-4", "10-8", "name"),
            ("Include 'MR Image Description Macro' Table C.8.82", "C.8-82", "name"),
            ("Include 'X-Ray 3D General Acquisition Per Projection Macro' Table C.8.215-2",
             "C.8.21.3.1.2-1", "name"),
            ("Include 'Contributing Image Source Macro' Table 10-14", "10-14", "number"),
            ("Include Image SOP Instance Reference Macro, Table 10-3", "10-3", "number"),
            ("Include Modality LUT Macro Table C.11-1b 1b if a Modality LUT is to be applied",
             "C.11-1b", "number"),
            ("Include 'Image Pixel Macro' Table 10-11", None, "number and name disagree"),
            ("Include 'Hierarchical Series Reference Macro' Table C.17-3a", None, "macro missing"),
            ("Include Hanging Protocol Selector Attribute Value Macro Table C.23.4-2", None,
             "macro missing"),
            ("Include one or more Functional Group Macros.", None, "no macro named"),
            ("Any Attribute from the main data set that was modified or removed", None,
             "no macro named"),
        ]
        for text, number, how in cases:
            self.assertEqual(self.macros.resolve(text), (number, how), text)


class CheckTest(unittest.TestCase):
    """The check reads as the loaders read: what they refuse or misread
    fails, what they accept passes."""

    def test_uid_ab_files(self):
        good_uid = '# a comment ends at a carriage return\r{"CT Image","1.2.3", "x"} , {"MR", "1.2.4", ""},'
        self.assertEqual(len(go.check_uid_file(tokens(good_uid))), 2)
        good_ab = ('{"CT", "CT IOD", {{"C.7.1.1", "Patient", \'M\', "Patient"},}}'
                   '{"CT", "more", {}} # the same object again\n'
                   '{"MR", "", { {"C.1", "x",\n \'U\' , ""} }}')
        objects = go.check_ab_file(tokens(good_ab))
        self.assertEqual({n: len(m) for n, m in objects.items()}, {"CT": 1, "MR": 1})
        bad = [
            (go.check_uid_file, '{"CT", "1.2.3", "x"}'),            # no ',' after the record
            (go.check_uid_file, '{"CT", "1.2.3", "x"},{"MR", "1.2.3", "y"},'),
            (go.check_uid_file, '{"%s", "1.2", ""},' % ("n" * 20)),
            (go.check_uid_file, '{"CT", "%s", ""},' % ("1" * 65)),
            (go.check_ab_file, '{"CT", "", {}},{"MR", "", {}}'),   # ',' between records
            (go.check_ab_file, '{"CT", "", {{"C.1", "x", M, ""}}}'),
            (go.check_ab_file, '{"CT", "", {{"C.1", "x", \' M\', ""}}}'),
            (go.check_ab_file, '{"CT", "", {{"C.1", "x", \'X\', ""}}}'),
            (go.check_ab_file, '{"CT", "", {{"C.1_2", "x", \'M\', ""}}}'),
            (go.check_ab_file, '{"CT", "", {{"C.1", "x", \'M\', ""}}'),
        ]
        for check, text in bad:
            with self.assertRaises(gendefs.DefSyntaxError, msg=text):
                check(tokens(text))

    def test_module_files_and_item_paths(self):
        sq = '{0x00081140, "Referenced Image Sequence", "1", ""}'
        head = '{"C.1", "t", {%s, {0x300600C0, "retired", "3", ""}, %s}}\n' % (sq, sq)
        good = head + ('{"C.1_2", "t", {{0x00081115, "s", "1", ""}, {0x00081150, "u", "1C", ""},}}'
                       '{"C.1_2_1", "t", {}}{"C.1_02", "again", {{0x00081155, "v", "3", ""}}}'
                       '{"C.9", "unused", {}}')
        rows, modules = go.check_c_file(tokens(good), DICTIONARY)
        self.assertEqual(rows, 6)
        second = modules["C.1"][2]
        self.assertEqual([a.tag for a in second.children], [0x00081115, 0x00081150, 0x00081155])
        bad = [
            head + '{"C.1_3", "t", {}}',           # two sequences: the retired one is not counted
            head + '{"C.1_0", "t", {}}',
            head + '{"C.1_32768", "t", {}}',
            head + '{"C.1_", "t", {}}',
            head + '{"C.1_1x", "t", {}}',
            head + '{"C.1_1_1", "t", {}}',         # the item of _1 holds nothing yet
            '{"C.1_1", "t", {}}' + head,           # path before the module's own record
            head + ',{"C.2", "t", {}}',
            head + '{"C.2", "t", {{0x0008, "x", "1234", ""}}}',
            head + '{"C.2", "t", {{0X00080016, "x", "1", ""}}}',
            head + '{"C.2", "t", {{0x00080016, "x", "1", ""}',
            ('{"C.2", "t", {' + " " * 235 + '{0x00080016, "x", "1", ""}}}'),   # 0x at 250
        ]
        for text in bad:
            with self.assertRaises(gendefs.DefSyntaxError, msg=text[-60:]):
                go.check_c_file(tokens(text), DICTIONARY)
        with self.assertRaises(gendefs.DefSyntaxError):
            go.check_c_file(tokens('{"C.1", "t", {{0x00080016, "x", "1", ""}}}'), DICTIONARY,
                            secondary=True)


def read_defs(name):
    return tokens((DEFS / name).read_text(encoding="utf-8"))


def walk(attrs):
    for attr in attrs:
        yield attr
        yield from walk(attr.children)


class GeneratedFilesTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dictionary = gendefs.read_tag_file(read_defs("tag_tab.def"))
        cls.uids = go.check_uid_file(read_defs("uid_tab.def"))
        cls.objects = go.check_ab_file(read_defs("ab_tab.def"))
        cls.modules = go.check_c_file(read_defs("c_tab.def"), cls.dictionary)[1]
        cls.references = [line.split('"')[1] for line in
                          (DEFS / "c_tab.def").read_text(encoding="utf-8").splitlines()
                          if line.startswith('{"')]
        cls.by_uid = {uid: name for name, uid, _ in cls.uids}

    def test_files_agree_with_each_other(self):
        names = {name for name, _, _ in self.uids}
        self.assertEqual(names, set(self.objects))
        used = {m.ref for mods in self.objects.values() for m in mods}
        self.assertEqual(used, set(self.modules))
        self.assertEqual(len(self.references), len(set(self.references)))
        # every tag is the primary dictionary's, so tag2_tab.def cannot
        # change how an item path counts sequences
        tags = {a.tag for attrs in self.modules.values() for a in walk(attrs)}
        self.assertEqual(tags - set(self.dictionary), set())
        self.assertTrue(all(len(n) <= go.MAX_OBJECT_NAME for n in names))
        for name in ("uid2_tab.def", "ab2_tab.def", "c2_tab.def"):
            self.assertEqual(gendefs.check_file(DEFS / name), 0)
            self.assertIn("#", (DEFS / name).read_text())

    def test_every_annex_a_iod_is_an_object(self):
        iods, _ = go.read_tables(STANDARD / "modules_part3.xml")
        self.assertEqual(len(self.objects), len(iods))
        cut = collections.Counter(go.object_base(i.name)[:go.MAX_OBJECT_NAME] for i in iods)
        self.assertTrue(any(n > 1 for n in cut.values()))    # why the names are chosen

    def test_sop_classes_that_need_an_alias(self):
        expect = {
            "1.2.840.10008.5.1.4.1.1.7": "SC Image",
            "1.2.840.10008.5.1.4.1.1.7.2": "MF Gray Byte SC",
            "1.2.840.10008.5.1.4.1.1.7.3": "MF Gray Word SC",
            "1.2.840.10008.5.1.4.1.1.12.1": "XA Image",
            "1.2.840.10008.5.1.4.1.1.1.1": "Digital X Ray Image",
            "1.2.840.10008.5.1.4.1.1.1.1.1": "Digital X Ray Image",
            "1.2.840.10008.5.1.4.1.1.9.1.1": "12 Lead ECG",
            "1.2.840.10008.5.1.4.1.1.20": "NM Image",
        }
        for uid, name in expect.items():
            self.assertEqual(self.by_uid.get(uid), name, uid)
        for retired in ("1.2.840.10008.5.1.4.1.1.5", "1.2.840.10008.5.1.4.1.1.6",
                        "1.2.840.10008.5.1.4.1.1.3"):
            self.assertNotIn(retired, self.by_uid)

    def test_sample_sop_classes_are_mapped(self):
        if not SAMPLES.is_dir():
            self.skipTest("no samples folder")
        script = ("import glob, json, pydicom, sys\n"
                  "out = {}\n"
                  "for f in sorted(glob.glob(sys.argv[1] + '/*.dcm')):\n"
                  "    ds = pydicom.dcmread(f, force=True, specific_tags=[(8, 0x16)])\n"
                  "    if (8, 0x16) in ds: out[f] = str(ds[8, 0x16].value)\n"
                  "print(json.dumps(out))\n")
        try:
            found = json.loads(subprocess.run(["/usr/bin/python3", "-c", script, str(SAMPLES)],
                                              check=True, capture_output=True, text=True).stdout)
        except (OSError, subprocess.CalledProcessError) as err:
            self.skipTest("pydicom not usable: %s" % err)
        self.assertGreaterEqual(len(found), 10)
        for path, uid in found.items():
            self.assertIn(uid, self.by_uid, os.path.basename(path))
        expect = {"CT_small.dcm": "CT Image", "rtplan.dcm": "RT Plan", "test-SR.dcm":
                  "Comprehensive SR", "SC_rgb_small_odd.dcm": "SC Image",
                  "ExplVR_LitEndNoMeta.dcm": "RT Ion Plan"}
        for name, obj in expect.items():
            self.assertEqual(self.by_uid[found[str(SAMPLES / name)]], obj)

    def test_rows_the_binding_and_verifier_rely_on(self):
        refs = {m.ref: m for mods in self.objects.values() for m in mods}
        self.assertNotIn("C.10.2", refs)                     # no curve module in these tables
        self.assertEqual(refs["C.7.1.1"].name, "Patient")
        self.assertEqual(refs["C.8.18.2"].name, "Stereometric Relationship")
        overlay = {a.tag for a in self.modules["C.9.2"]}
        self.assertIn(0x60000010, overlay)
        self.assertFalse(any(0x6001 <= t >> 16 <= 0x60FF for t in overlay))
        self.assertIn(0x60000015, {a.tag for a in self.modules["C.9.3"]})
        structure_set = {a.tag: a for a in self.modules["C.8.8.5"]}
        frames = structure_set[0x30060010].children      # Referenced Frame of Reference
        retired = {a.tag: a for a in frames}[0x300600C0]
        self.assertEqual(self.dictionary[0x300600C0][1], "RE")
        self.assertEqual(retired.children, [])           # its rows are dropped
        content = [a.tag for a in self.modules["C.17.3"]]
        self.assertEqual(content.count(0x00081199), 1)   # three macros, one sequence
        codes = [a for a in walk(self.modules["C.8.4.6"]) if a.tag == 0x00080104]
        self.assertEqual([a.type for a in codes], ["3", "3", "3"])   # the include says so
        tomo = {a.tag for a in self.modules["C.8.17.7"]}
        self.assertIn(0x00282114, tomo)                  # printed as (0028,2144)
        sr = {a.tag: a for a in self.modules["C.17.3"]}
        self.assertEqual(sr[0x0040A300].type, "2C")      # from the NUM-only macro


if __name__ == "__main__":
    unittest.main()
