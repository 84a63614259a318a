#!/usr/bin/env python3
"""resources/make_icon.py: writes resources/app.ico, the program's icon, from the pixel art below.

Three coloured pieces, an arrow and the whole page they make up again. Each image is a
16-colour device-independent bitmap with its transparency mask, as Windows icons have always
been stored; run this script again after changing the art and check in both files.
"""
import os
import struct
import sys

# The standard 16-colour palette, as (red, green, blue), keyed by the letter used in the art.
PALETTE = [
    ("k", (0x00, 0x00, 0x00)),  # black
    ("r", (0x80, 0x00, 0x00)),  # dark red
    ("G", (0x00, 0x80, 0x00)),  # green
    ("o", (0x80, 0x80, 0x00)),  # olive
    ("n", (0x00, 0x00, 0x80)),  # navy
    ("p", (0x80, 0x00, 0x80)),  # purple
    ("t", (0x00, 0x80, 0x80)),  # teal
    ("s", (0xC0, 0xC0, 0xC0)),  # silver
    ("g", (0x80, 0x80, 0x80)),  # grey
    ("R", (0xFF, 0x00, 0x00)),  # red
    ("L", (0x00, 0xFF, 0x00)),  # lime
    ("y", (0xFF, 0xFF, 0x00)),  # yellow
    ("b", (0x00, 0x00, 0xFF)),  # blue
    ("m", (0xFF, 0x00, 0xFF)),  # magenta
    ("c", (0x00, 0xFF, 0xFF)),  # cyan
    ("w", (0xFF, 0xFF, 0xFF)),  # white
]
TRANSPARENT = "."

ART_32 = [
    "................................",
    "................................",
    ".....................kkkkkkk....",
    ".kkkkkkkkkk..........kwwwwwks...",
    ".kyyyyyyyyk..........kwwwwwkss..",
    ".kyyyyyyyyk..........kwwwwwkkkk.",
    ".kyooooooyk..........kwwwwwwwwk.",
    ".kyyyyyyyyk..........kwwwwwwwwk.",
    ".kyooooyyyk..........kwoooooowk.",
    ".kyyyyyyyyk..........kwwwwwwwwk.",
    ".kkkkkkkkkk..........kwwwwwwwwk.",
    ".....................kwoooooowk.",
    ".kkkkkkkkkk.....G....kwwwwwwwwk.",
    ".kcccccccck.....GG...kwwwwwwwwk.",
    ".kcccccccck.GGGGGGG..kwttttttwk.",
    ".kcttttttck.GGGGGGGG.kwwwwwwwwk.",
    ".kcccccccck.GGGGGGGG.kwwwwwwwwk.",
    ".kcttttccck.GGGGGGG..kwttttttwk.",
    ".kcccccccck.....GG...kwwwwwwwwk.",
    ".kkkkkkkkkk.....G....kwwwwwwwwk.",
    ".....................kwGGGGGGwk.",
    ".kkkkkkkkkk..........kwwwwwwwwk.",
    ".kLLLLLLLLk..........kwwwwwwwwk.",
    ".kLLLLLLLLk..........kwGGGGGGwk.",
    ".kLGGGGGGLk..........kwwwwwwwwk.",
    ".kLLLLLLLLk..........kwwwwwwwwk.",
    ".kLGGGGLLLk..........kwGGGGwwwk.",
    ".kLLLLLLLLk..........kwwwwwwwwk.",
    ".kkkkkkkkkk..........kwwwwwwwwk.",
    ".....................kkkkkkkkkk.",
    "................................",
    "................................",
]

ART_16 = [
    "................",
    "kkkkkk....kkkkkk",
    "kyyyyk....kwwwwk",
    "kyyyyk....kooowk",
    "kkkkkk....kwwwwk",
    "..........koowwk",
    "kkkkkk..G.kwwwwk",
    "kcccckGGGGktttwk",
    "kcccckGGGGkwwwwk",
    "kkkkkk..G.kttwwk",
    "..........kwwwwk",
    "kkkkkk....kGGGwk",
    "kLLLLk....kwwwwk",
    "kLLLLk....kGGwwk",
    "kkkkkk....kkkkkk",
    "................",
]


def _row_bytes(bits_per_row):
    """Bytes of one bitmap row: rows are padded to whole 32-bit words."""
    return (bits_per_row + 31) // 32 * 4


def image_bytes(art):
    """One icon image: BITMAPINFOHEADER, palette, 4-bit colour bits, 1-bit mask, bottom row first."""
    size = len(art)
    if any(len(row) != size for row in art):
        raise ValueError("the %dx%d art is not square" % (size, size))
    index = {letter: i for i, (letter, _) in enumerate(PALETTE)}
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for _, (r, g, b) in PALETTE)
    colour = bytearray()
    mask = bytearray()
    for row in reversed(art):
        line = bytearray(_row_bytes(size * 4))
        bits = bytearray(_row_bytes(size))
        for x, letter in enumerate(row):
            if letter == TRANSPARENT:
                bits[x // 8] |= 0x80 >> (x % 8)
                continue
            if letter not in index:
                raise ValueError("unknown colour letter %r" % letter)
            line[x // 2] |= index[letter] << (4 if x % 2 == 0 else 0)
        colour += line
        mask += bits
    return header + palette + bytes(colour) + bytes(mask)


def icon_file(arts):
    """The .ico file: its header, one directory entry per image, then the images."""
    images = [image_bytes(art) for art in arts]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for art, data in zip(arts, images):
        size = len(art)
        out += struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    return out + b"".join(images)


def main():
    target = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "app.ico")
    with open(target, "wb") as f:
        f.write(icon_file([ART_32, ART_16]))


if __name__ == "__main__":
    main()
