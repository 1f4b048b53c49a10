#!/usr/bin/python3
"""Writes small BMP pictures with PIL (Pillow) and the pixel values PIL
itself reads back from them into expected.txt, for the image module's tests
of files written by another program.

Run with the system Python that has python3-pil (Debian):
    /usr/bin/python3 tests/data/bmp/make_bmps.py
The files are checked in; rerun only to change them.

expected.txt holds, for each picture, a line "name width height bits" and
then one line per row, top row first, of "r,g,b" per pixel. mono1_8x2.bmp (1
bit per pixel) is a variant the module refuses and has no entry.
"""

import os

from PIL import Image

HERE = os.path.dirname(os.path.abspath(__file__))


def colour(x, y, salt):
    # Distinct values in every channel, including 0, 3, 4 and 255 (the
    # edges of the divide-by-4 reduction).
    return ((x * 53 + y * 11 + salt) % 256, (x * 7 + y * 97 + 2 * salt) % 256,
            (255 - x * 29 - y * 3 - salt) % 256)


def rgb(width, height, salt):
    image = Image.new("RGB", (width, height))
    for y in range(height):
        for x in range(width):
            image.putpixel((x, y), colour(x, y, salt))
    image.putpixel((0, 0), (255, 3, 4))
    return image


def pictures():
    # 24 bits: widths whose rows need 1, 2 and 3 padding bytes, and none.
    yield "rgb24_5x3.bmp", rgb(5, 3, 0)
    yield "rgb24_2x4.bmp", rgb(2, 4, 40)
    yield "rgb24_7x2.bmp", rgb(7, 2, 90)
    yield "rgb24_4x3.bmp", rgb(4, 3, 130)
    # 32 bits (PIL writes BGRA).
    rgba = rgb(3, 2, 17).convert("RGBA")
    rgba.putpixel((2, 1), (10, 20, 30, 128))
    yield "rgba32_3x2.bmp", rgba
    # 8 bits, grey: a full 256-entry palette.
    grey = Image.new("L", (7, 3))
    for y in range(3):
        for x in range(7):
            grey.putpixel((x, y), (x * 40 + y * 9) % 256)
    yield "grey8_7x3.bmp", grey
    # 8 bits with 16 palette entries: PIL writes clrUsed 16 and the pixel
    # data right after them (offset 118).
    pal = rgb(6, 4, 5).quantize(colors=16, method=Image.Quantize.MEDIANCUT)
    pal.putpalette(pal.getpalette()[: 16 * 3])
    yield "pal16_6x4.bmp", pal
    # 1 bit per pixel: a variant the module does not read.
    mono = Image.new("1", (8, 2))
    mono.putpixel((1, 0), 1)
    yield "mono1_8x2.bmp", mono


def main():
    lines = []
    for name, image in pictures():
        path = os.path.join(HERE, name)
        image.save(path, "BMP")
        with open(path, "rb") as f:
            bits = int.from_bytes(f.read(30)[28:30], "little")
        if bits == 1:
            continue
        back = Image.open(path).convert("RGB")
        lines.append("%s %d %d %d" % (name, back.width, back.height, bits))
        for y in range(back.height):
            lines.append(" ".join("%d,%d,%d" % back.getpixel((x, y)) for x in range(back.width)))
    with open(os.path.join(HERE, "expected.txt"), "w") as out:
        out.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
