"""Tests of the definition-file generator and its syntax check.

Run from the project root: python3 -m unittest discover -s tools
"""

import os
import tempfile
import unittest
from pathlib import Path

import gendefs

ROOT = Path(__file__).resolve().parent.parent


class VRMappingTest(unittest.TestCase):
    def test_multi_vr_texts(self):
        self.assertEqual(gendefs.map_vr("US or SS", "1"), "XS")
        self.assertEqual(gendefs.map_vr("US or SS", "4"), "XS")
        self.assertEqual(gendefs.map_vr("US or SS", "3"), "XU")
        self.assertEqual(gendefs.map_vr("OB or OW", "1"), "OX")
        self.assertEqual(gendefs.map_vr("US or OW", "1-n"), "OW")
        self.assertEqual(gendefs.map_vr("US or SS or OW", "1-n"), "OW")
        self.assertEqual(gendefs.map_vr("UV", "1"), "UV")

    def test_unknown_vr_text_is_refused(self):
        with self.assertRaises(ValueError):
            gendefs.map_vr("US or FL", "1")

    def test_retired_gets_re_except_curves_overlays_and_length_to_end(self):
        self.assertEqual(gendefs.public_vr(0x00280104, "US or SS", "1", True), "RE")
        self.assertEqual(gendefs.public_vr(0x50003000, "OB or OW", "1", True), "OX")
        self.assertEqual(gendefs.public_vr(0x60000012, "US", "1", True), "US")
        self.assertEqual(gendefs.public_vr(0x00080001, "UL", "1", True), "UL")
        self.assertEqual(gendefs.public_vr(0xFFFEE0DD, "NONE", "1", False), "XX")


class VMCodeTest(unittest.TestCase):
    def test_codes(self):
        cases = {"1": 1, "2": 2, "16": 16, "1-3": -3, "1-32": -32, "2-4": -4,
                 "1-n": -1, "2-n": -1, "3-3n": -1, "2-2n": -1, "47-47n": -1}
        for text, code in cases.items():
            self.assertEqual(gendefs.vm_code(text), code, text)

    def test_unreadable_vm_is_refused(self):
        with self.assertRaises(ValueError):
            gendefs.vm_code("n")


class MaskTest(unittest.TestCase):
    def test_public_masks(self):
        self.assertEqual(gendefs.fold_public_mask("50xx3000"), 0x50003000)
        self.assertEqual(gendefs.fold_public_mask("60xx0010"), 0x60000010)
        self.assertEqual(gendefs.fold_public_mask("002031xx"), 0x00203100)
        for mask in ("002804x0", "1000xxx1", "1010xxxx", "7Fxx0010"):
            self.assertIsNone(gendefs.fold_public_mask(mask), mask)

    def test_private_keys(self):
        self.assertEqual(gendefs.private_tag("0029xx1a"), 0x0029001A)
        self.assertEqual(gendefs.private_tag("00291110"), 0x00290010)
        for key in ("00190001", "001910xx", "60xxxx01", "0032xx32"):
            self.assertIsNone(gendefs.private_tag(key), key)


class EnumeratedValuesTest(unittest.TestCase):
    def test_clean_list(self):
        text = "Sex.\nEnumerated Values:\nM = male\nF = female\nO = other\nSee C.7."
        self.assertEqual(gendefs.enumerated_list(text), ["M", "F", "O"])

    def test_list_running_on_in_another_form_is_refused(self):
        text = "Enumerated Values:\nYES\nNO\nREORIENTED_ONLY - flipped or rotated"
        self.assertIsNone(gendefs.enumerated_list(text))

    def test_per_value_and_inline_lists_are_refused(self):
        self.assertIsNone(gendefs.enumerated_list(
            "Value 1 Enumerated Values:\nORIGINAL\nDERIVED"))
        self.assertIsNone(gendefs.enumerated_list('Enumerated Values: "Y", "N"'))

    def test_permitted_only_where_the_checks_read_it_right(self):
        self.assertEqual(gendefs.permitted_text("CS", ["YES", "NO"]), "YES, NO")
        self.assertEqual(gendefs.permitted_text("US", ["0001", "0002"]), "0001, 0002")
        self.assertEqual(gendefs.permitted_text("US", ["00", "01"]), "")
        self.assertEqual(gendefs.permitted_text("RE", ["YES", "NO"]), "")


class CheckTest(unittest.TestCase):
    def check_text(self, name, text):
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, name)
            Path(path).write_text(text)
            return gendefs.check_file(path)

    def test_good_files(self):
        self.assertEqual(self.check_text("tag_tab.def",
                         '# c\n{0x00100010,"Patient\'s Name","PN",1,""},\n'
                         '{0x00100040, "Sex", "CS", 1, "M, F"}, # end\n'), 2)
        self.assertEqual(self.check_text("prv_tab.def",
                         '{"A", {{0x00091010, "x", "LO", 1, ""},}}\n{"B", {}}'), 1)
        self.assertEqual(self.check_text("tag2_tab.def", "# only a comment"), 0)

    def test_faults(self):
        bad_tag_files = [
            '{0x00100010, "N", "PN", 1, ""}',            # record without ','
            '{0X00100010, "N", "PN", 1, ""},',           # upper-case prefix
            '{0x00100010, "N", "P", 1, ""},',            # unknown VR
            '{0x00100010, "N", "PN", x, ""},',           # no short integer
            '{0x00100010, "N", "PN", 1, "},',            # open string
            '{0x1, "a", "CS", 1, ""},{0x1, "b", "CS", 1, ""},',  # tag twice
            '{0x1, "%s", "CS", 1, ""},' % ("a" * 2006),  # string too long
        ]
        for text in bad_tag_files:
            with self.assertRaises(gendefs.DefSyntaxError, msg=text):
                self.check_text("tag_tab.def", text)
        with self.assertRaises(gendefs.DefSyntaxError):
            self.check_text("prv_tab.def", '{"A", {}},{"B", {}}')
        with self.assertRaises(gendefs.DefSyntaxError):
            self.check_text("prv_tab.def", '{"A", {{0x00091010, "x", "LO", 1, ""}}')


class GeneratedFilesTest(unittest.TestCase):
    """The committed files: they parse, and hold what the readers rely on."""

    @classmethod
    def setUpClass(cls):
        cls.rows = {}
        for line in (ROOT / "defs" / "tag_tab.def").read_text().splitlines():
            if line.startswith("{"):
                cls.rows[int(line[1:11], 16)] = line

    def test_all_files_parse(self):
        for name in ("tag_tab.def", "prv_tab.def", "tag2_tab.def", "prv2_tab.def"):
            gendefs.check_file(ROOT / "defs" / name)

    def test_rows_the_library_depends_on(self):
        expect = {
            0x7FE00010: '"OX"', 0x50003000: '"OX"', 0x60003000: '"OW"',
            0xFFFEE000: '"XX"', 0x00281101: '"XU"', 0x00280106: '"XS"',
            0x00080001: '"UL"', 0x00203100: '"RE"', 0x00020010: '"UI"',
        }
        for tag, vr in expect.items():
            self.assertIn(vr, self.rows[tag], "%08X" % tag)

    def test_no_unfoldable_repeating_rows(self):
        for tag in self.rows:
            group = tag >> 16
            if 0x5000 <= group <= 0x501F or 0x6000 <= group <= 0x601F:
                self.assertIn(group, (0x5000, 0x6000), "%08X" % tag)


if __name__ == "__main__":
    unittest.main()
