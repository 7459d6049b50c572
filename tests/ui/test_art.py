"""The pictures committed in ui/art are what ui/art/draw_art.py draws, and
they keep the properties the program and its end-to-end tests rely on.

    python3 -m unittest tests/ui/test_art.py
"""

import collections
import os
import struct
import sys
import tempfile
import unittest

ART = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "ui", "art")


def load_script():
    if ART not in sys.path:
        sys.path.insert(0, ART)
    import draw_art
    return draw_art


def read(name):
    with open(os.path.join(ART, name), "rb") as f:
        return f.read()


def icon_images(data):
    """Each image of an .ico file as (width, height, bits, rows of RGBA tuples top-down)."""
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    assert (reserved, kind) == (0, 1), "not an icon file"
    images = []
    for i in range(count):
        w, h, _, _, _, bits, size, offset = struct.unpack_from("<BBBBHHII", data, 6 + 16 * i)
        w, h = w or 256, h or 256
        header_size, dib_w, dib_h, _, dib_bits = struct.unpack_from("<IiiHH", data, offset)
        assert (dib_w, dib_h, dib_bits) == (w, 2 * h, bits), "directory and image disagree"
        rows = []
        if bits == 32:
            start = offset + header_size
            for y in range(h):
                row = data[start + y * w * 4:start + (y + 1) * w * 4]
                rows.append([(row[x + 2], row[x + 1], row[x], row[x + 3]) for x in range(0, w * 4, 4)])
            rows.reverse()
        images.append((w, h, bits, rows))
    return images


def dominant_colour(rows):
    """The most frequent colour among fully opaque pixels."""
    counts = collections.Counter((r, g, b) for row in rows for r, g, b, a in row if a == 255)
    return counts.most_common(1)[0][0]


def is_green(c):
    r, g, b = c
    return g >= 160 and g - r >= 100 and g - b >= 100


def is_yellow(c):
    r, g, b = c
    return r >= 200 and g >= 170 and b <= 100


def is_grey(c):
    return max(c) - min(c) <= 12 and 90 <= c[0] <= 190


class CommittedArtTest(unittest.TestCase):
    def test_committed_files_are_what_the_script_draws(self):
        script = load_script()
        with tempfile.TemporaryDirectory() as folder:
            script.generate(folder)
            fresh = sorted(os.listdir(folder))
            committed = sorted(n for n in os.listdir(ART) if n.endswith((".ico", ".bmp")))
            self.assertEqual(fresh, committed, "pictures missing or left over in ui/art")
            for name in fresh:
                with open(os.path.join(folder, name), "rb") as f:
                    self.assertTrue(f.read() == read(name),
                                    name + " differs from what draw_art.py draws: run it and commit")


class LampColourTest(unittest.TestCase):
    """End-to-end tests tell a lit indicator from a dark one by the dominant
    colour of the icon on it."""

    CASES = {
        "rx_lit.ico": is_green, "tx_lit.ico": is_green,
        "dcd_lit.ico": is_yellow, "dsr_lit.ico": is_yellow,
        "rx_dark.ico": is_grey, "tx_dark.ico": is_grey,
        "dcd_dark.ico": is_grey, "dsr_dark.ico": is_grey,
    }

    def test_each_lamp_is_dominated_by_its_state_colour(self):
        for name, check in self.CASES.items():
            with self.subTest(name):
                (_, _, _, rows), = icon_images(read(name))
                colour = dominant_colour(rows)
                self.assertTrue(check(colour), "%s is dominated by %r" % (name, colour))

    def test_lamp_body_covers_most_of_the_picture(self):
        # A small lamp would let the label or the rim decide the colour once
        # the icon is scaled down.
        for name in self.CASES:
            with self.subTest(name):
                (_, _, _, rows), = icon_images(read(name))
                body = dominant_colour(rows)
                share = sum(1 for row in rows for p in row if p[3] == 255 and p[:3] == body)
                self.assertGreater(share, 0.4 * 64 * 64, name)


class PictureFormatTest(unittest.TestCase):
    def test_indicator_and_decoration_icons_are_single_32_bit_images(self):
        sizes = dict.fromkeys(LampColourTest.CASES, 64)
        sizes.update({"cable.ico": 64, "reset.ico": 48})
        for name, size in sizes.items():
            with self.subTest(name):
                images = icon_images(read(name))
                self.assertEqual([(w, h, bits) for w, h, bits, _ in images], [(size, size, 32)])
                alphas = {p[3] for row in images[0][3] for p in row}
                self.assertIn(0, alphas, "no transparent pixel: the icon has no alpha")
                self.assertIn(255, alphas)

    def test_program_icon_has_the_shell_sizes(self):
        images = icon_images(read("program.ico"))
        self.assertEqual(sorted((w, h, bits) for w, h, bits, _ in images),
                         [(16, 16, 32), (32, 32, 32), (48, 48, 32), (256, 256, 32)])

    def test_splash_is_400_by_200_at_24_bits(self):
        data = read("splash.bmp")
        self.assertEqual(data[:2], b"BM")
        file_size, = struct.unpack_from("<I", data, 2)
        self.assertEqual(file_size, len(data))
        _, w, h, planes, bits, compression = struct.unpack_from("<IiiHHI", data, 14)
        self.assertEqual((w, abs(h), planes, bits, compression), (400, 200, 1, 24, 0))


if __name__ == "__main__":
    unittest.main()
