#!/usr/bin/python3
"""Renders a TrueType font into a .bff bitmap font file.

The glyphs of consecutive character codes, from --first on, are drawn into a
grid of equal cells (--cell WxH, --columns per row) of a 24-bit picture, white
on black, without anti-aliasing; each glyph starts at its cell's left edge,
on a common baseline. Without --size the font is as large as the glyphs of
the printable ASCII characters drawn allow. A glyph's pixels are on when the rendered coverage
reaches --threshold (the packer takes a pixel as set when its third byte is
nonzero). The last pixel column of a cell is never packed, so glyphs wider
than the cell less one pixel lose their right edge.

The .bff file: a 2-byte id (high byte first), the picture width and height
and the cell width and height (32-bit little-endian each), the bits per pixel
(24), the first character code, 256 character widths (the glyph's advance in
pixels, at most the cell width; codes outside the grid get the width of the
space), then the picture: rows from the top, 3 bytes per pixel, no padding.

Needs Pillow: run it with the system Python (/usr/bin/python3 with the
python3-pil package). The fonts of fonts-dejavu-core are in
/usr/share/fonts/truetype/dejavu/.

Examples:
  make_font.py --ttf /usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf \\
      --cell 8x8 --out mono8x8.bff
  make_font.py --ttf /usr/share/fonts/truetype/dejavu/DejaVuSans.ttf \\
      --cell 16x16 --size 13 --out sans16.bff --show A
"""

import argparse
import struct
import sys

from PIL import Image, ImageDraw, ImageFont

FILE_ID = 0xBFF2


def parse_cell(text):
    try:
        width, height = (int(part) for part in text.lower().split("x"))
    except ValueError:
        raise argparse.ArgumentTypeError("a cell is WxH, e.g. 8x8") from None
    if not (1 <= width <= 255 and 1 <= height <= 255):
        raise argparse.ArgumentTypeError("cell sides are 1 to 255 pixels")
    return width, height


def glyph_extent(font, codes):
    """Pixels above and below the baseline, and the right edge, over the
    glyphs of these character codes."""
    above = below = right = 0
    for code in codes:
        x0, y0, x1, y1 = font.getbbox(chr(code), anchor="ls")
        if x1 > x0 and y1 > y0:
            above, below, right = max(above, -y0), max(below, y1), max(right, x1)
    return above, below, right


def fitting_size(ttf, cell_width, cell_height, codes):
    """The largest pixel size whose glyphs all fit the cell, less its last
    column (which is never packed)."""
    for size in range(cell_height * 2, 3, -1):
        above, below, right = glyph_extent(ImageFont.truetype(ttf, size), codes)
        if above + below <= cell_height and right <= cell_width - 1:
            return size
    return 4


def render(args):
    cell_width, cell_height = args.cell
    codes = range(args.first, min(args.first + args.count, 127))
    size = args.size or fitting_size(args.ttf, cell_width, cell_height, codes)
    font = ImageFont.truetype(args.ttf, size)
    above, below, _ = glyph_extent(font, codes)
    rows = (args.count + args.columns - 1) // args.columns
    width = args.picture[0] if args.picture else args.columns * cell_width
    height = args.picture[1] if args.picture else rows * cell_height
    picture = Image.new("L", (width, height), 0)
    draw = ImageDraw.Draw(picture)
    draw.fontmode = "1"  # no anti-aliasing: the packer keeps one bit per pixel
    # One baseline for all cells, the glyphs' extent centred in the cell.
    baseline = max(0, (cell_height - above - below) // 2) + above
    for index in range(args.count):
        column, row = index % args.columns, index // args.columns
        left, top = column * cell_width, row * cell_height
        if left + cell_width > width or top + cell_height > height:
            break
        glyph = Image.new("L", (cell_width, cell_height), 0)
        glyph_draw = ImageDraw.Draw(glyph)
        glyph_draw.fontmode = "1"
        glyph_draw.text((0, baseline), chr(args.first + index), font=font, fill=255,
                        anchor="ls")
        picture.paste(glyph, (left, top))
    del draw

    space = min(cell_width, round(font.getlength(" ")))
    widths = [space] * 256
    for code in range(args.first, min(256, args.first + args.count)):
        widths[code] = max(1, min(cell_width, round(font.getlength(chr(code)))))
    return picture, widths, size


def bff_bytes(picture, widths, cell, first):
    width, height = picture.size
    head = struct.pack(">H", FILE_ID)
    head += struct.pack("<IIII", width, height, cell[0], cell[1])
    head += bytes([24, first]) + bytes(widths)
    on = bytes(255 if value >= 128 else 0 for value in picture.getdata())
    pixels = bytearray(len(on) * 3)
    pixels[0::3] = on
    pixels[1::3] = on
    pixels[2::3] = on
    return head + bytes(pixels)


def show(picture, cell, columns, first, text):
    """Prints the cells of the characters of text as rows of '#' and '.'."""
    for char in text:
        index = ord(char) - first
        left = index % columns * cell[0]
        top = index // columns * cell[1]
        print("%r:" % char)
        for y in range(cell[1]):
            print("".join("#" if picture.getpixel((left + x, top + y)) >= 128 else "."
                          for x in range(cell[0])))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--ttf", required=True, help="TrueType font file")
    parser.add_argument("--cell", type=parse_cell, required=True, help="cell size WxH, e.g. 8x8")
    parser.add_argument("--size", type=int, help="font size in pixels (default: the largest "
                        "that fits the cell)")
    parser.add_argument("--first", type=int, default=32, help="first character code (32)")
    parser.add_argument("--count", type=int, default=96, help="characters drawn (96)")
    parser.add_argument("--columns", type=int, default=16, help="cells per row (16)")
    parser.add_argument("--picture", type=parse_picture, help="picture size WxH (default: "
                        "just the grid); cells beyond it are not drawn")
    parser.add_argument("--show", default="", help="print these characters' cells")
    parser.add_argument("--out", required=True, help="the .bff file to write")
    args = parser.parse_args()
    if not 32 <= args.first <= 255:
        parser.error("--first must be 32 to 255")
    if args.count < 1 or args.columns < 1:
        parser.error("--count and --columns must be at least 1")

    picture, widths, size = render(args)
    data = bff_bytes(picture, widths, args.cell, args.first)
    with open(args.out, "wb") as out:
        out.write(data)
    print("%s: %dx%d picture, %dx%d cells, size %d px, %d bytes" %
          (args.out, picture.size[0], picture.size[1], args.cell[0], args.cell[1], size,
           len(data)))
    if args.show:
        show(picture, args.cell, args.columns, args.first, args.show)
    return 0


def parse_picture(text):
    try:
        width, height = (int(part) for part in text.lower().split("x"))
    except ValueError:
        raise argparse.ArgumentTypeError("a picture size is WxH, e.g. 2048x2048") from None
    if width < 1 or height < 1:
        raise argparse.ArgumentTypeError("picture sides are at least 1 pixel")
    return width, height


if __name__ == "__main__":
    sys.exit(main())
