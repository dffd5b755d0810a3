"""Records written by id3stamp, read back by an independent reader (mutagen).

Usage: /usr/bin/python3 reader_agreement.py path/to/id3stamp
"""
import os
import subprocess
import sys
import tempfile
import unittest

from mutagen.id3 import ID3, TCON

TOOL = sys.argv.pop(1) if len(sys.argv) > 1 else "build/id3stamp"

# Readers that know the later revision of the format take the comment's last
# byte as a track number (unless it is a space or zero), so a reader shows at
# most 29 comment bytes; the 30th is checked as the track.
WIDTHS = {"title": 30, "artist": 30, "album": 30, "year": 4, "comment": 29}
FRAMES = {"title": "TIT2", "artist": "TPE1", "album": "TALB", "comment": "COMM:ID3v1 Comment:eng", "year": "TDRC"}


def stamp(path, data):
    run = subprocess.run([TOOL, path], input=data, capture_output=True, timeout=10)
    assert run.returncode == 0 and not run.stdout and not run.stderr, run


def expected_text(raw, width):
    """What a reader should show: cut to the width, CRs dropped, trailing
    spaces gone, Latin-1 as readers take ID3v1 text."""
    return raw.replace(b"\r", b"")[:width].rstrip(b" ").decode("latin-1")


def read_back(path):
    tag = ID3(path)
    shown = {}
    for field, frame in FRAMES.items():
        found = tag.getall(frame)
        shown[field] = str(found[0].text[0]) if found else ""
    tracks = tag.getall("TRCK")
    shown["track"] = int(str(tracks[0].text[0])) if tracks else None
    genres = tag.getall("TCON")
    shown["genre"] = genres[0].genres[0] if genres else None
    return shown


class ReaderAgrees(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.path = os.path.join(self.dir.name, "song.mp3")
        with open(self.path, "wb") as f:
            f.write(b"\xff\xfb\x90\x00" + bytes(996))

    def tearDown(self):
        self.dir.cleanup()

    def check(self, lines, genre_line, genre_number):
        stamp(self.path, b"\n".join(lines) + b"\n" + genre_line)
        shown = read_back(self.path)
        for field, raw in zip(["title", "artist", "album", "year", "comment"], lines):
            self.assertEqual(shown[field], expected_text(raw, WIDTHS[field]), field)
        comment = lines[4].replace(b"\r", b"")
        expected_track = comment[29] if len(comment) >= 30 and comment[29] not in (0, 32) else None
        self.assertEqual(shown["track"], expected_track)
        expected_genre = None if genre_number is None else TCON.GENRES[genre_number]
        self.assertEqual(shown["genre"], expected_genre)

    def test_fields_as_the_input_rules_give(self):
        cases = [
            ([b"Song", b"Band", b"Disc", b"1999", b"Nice"], b"17\n", 17),
            ([b"T" * 40, b"A" * 31, b"B" * 30, b"2020", b"C" * 35], b"0\n", 0),
            ([b"Title\r", b"Ar\rtist", b"Album\r", b"2001\r", b"Comment\r"], b"  80\r\n", 80),
            ([b"\xe9t\xe9", b"M\xf6tley Cr\xfce", b"\xc0\xff", b"1980", b"\x80\x9f\xa0"], b"300\n", 44),
            ([b"", b"Artist only", b"", b"", b""], b"\n\n-1\n", None),
            ([b"No genre", b"A", b"B", b"1999", b"C"], b"rock\n", None),
            ([b"No genre at all", b"A", b"B", b"1999", b"C"], b"", None),
        ]
        for lines, genre_line, genre in cases:
            with self.subTest(lines=lines, genre=genre_line):
                self.check(lines, genre_line, genre)

    def test_existing_record_is_replaced_not_stacked(self):
        stamp(self.path, b"First\nA\nB\n1999\nC\n1\n")
        size = os.path.getsize(self.path)
        stamp(self.path, b"Second\nA2\nB2\n2000\nC2\n2\n")
        self.assertEqual(os.path.getsize(self.path), size)
        with open(self.path, "rb") as f:
            self.assertEqual(f.read().count(b"TAG"), 1)
        shown = read_back(self.path)
        self.assertEqual((shown["title"], shown["artist"], shown["genre"]), ("Second", "A2", TCON.GENRES[2]))


if __name__ == "__main__":
    unittest.main()
