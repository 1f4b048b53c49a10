#!/usr/bin/env python3
"""Writes the sample firmware examples/blink.hex and its image blink.bin.

blink.hex looks like a small PIC32 application: an extended linear address
record for 0x1D00, 16-byte data records in program flash from 0x1D000000 with
two gaps, a block in boot flash at 0x1FC00000 (outside the program flash
window, so the download skips it), a start linear address record and the end
record. The content is deterministic: the same script always writes the same
bytes.

blink.bin is what `stoker-kit hex2bin blink.hex blink.bin 0x1d000000 512`
writes. The script runs stoker-kit for it, then checks the result twice: with
its own model of the image (erased flash, 0xFF, in the gaps) and, when
objcopy is installed, with `objcopy -I ihex -O binary --gap-fill 0xff` on the
records that lie inside the window.

Usage: examples/make_samples.py --kit build/bin/stoker-kit [--out-dir DIR]
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile

FLASH_START = 0x1D000000
FLASH_SIZE_K = 512

# (address, length) of the program flash sections: code, constants, more code.
PROGRAM_SECTIONS = [(0x1D000000, 0x7000), (0x1D008000, 0x0800), (0x1D00A000, 0x1400)]
BOOT_SECTION = (0x1FC00000, 0x0180)
START_ADDRESS = 0xBFC00000  # the reset vector, in KSEG1


def section_bytes(address, length):
    """Deterministic bytes for a section: pseudo-random words, with a text
    block in the constants section."""
    if address == 0x1D008000:
        text = b"blink: LED on RB5, 500 ms period\0"
        return (text * (length // len(text) + 1))[:length]
    out = bytearray()
    state = address & 0xFFFFFFFF
    while len(out) < length:
        state = (state * 1103515245 + 12345) & 0xFFFFFFFF
        out += state.to_bytes(4, "little")
    return bytes(out[:length])


def record(address, rtype, data):
    body = bytes([len(data), (address >> 8) & 0xFF, address & 0xFF, rtype]) + bytes(data)
    checksum = (-sum(body)) & 0xFF
    return ":" + (body + bytes([checksum])).hex().upper() + "\r\n"


def upper_record(address):
    return record(0, 4, (address >> 16).to_bytes(2, "big"))


def section_records(address, length):
    data = section_bytes(address, length)
    lines = []
    upper = None
    for offset in range(0, length, 16):
        here = address + offset
        if here >> 16 != upper:
            upper = here >> 16
            lines.append(upper_record(here))
        lines.append(record(here & 0xFFFF, 0, data[offset:offset + 16]))
    return lines


def hex_text(sections, with_boot):
    lines = []
    for address, length in sections:
        lines += section_records(address, length)
    if with_boot:
        lines += section_records(*BOOT_SECTION)
    lines.append(record(0, 5, START_ADDRESS.to_bytes(4, "big")))
    lines.append(record(0, 1, b""))
    return "".join(lines)


def expected_image():
    end = max(a + n for a, n in PROGRAM_SECTIONS) - FLASH_START
    image = bytearray(b"\xff" * end)
    for address, length in PROGRAM_SECTIONS:
        offset = address - FLASH_START
        image[offset:offset + length] = section_bytes(address, length)
    return bytes(image)


def objcopy_image(work):
    """objcopy's image of the window's records, or None without objcopy."""
    objcopy = shutil.which("objcopy")
    if objcopy is None:
        return None
    window_hex = os.path.join(work, "window.hex")
    window_bin = os.path.join(work, "window.bin")
    with open(window_hex, "w", newline="") as f:
        f.write(hex_text(PROGRAM_SECTIONS, with_boot=False))
    subprocess.run([objcopy, "-I", "ihex", "-O", "binary", "--gap-fill", "0xff",
                    window_hex, window_bin], check=True)
    with open(window_bin, "rb") as f:
        return f.read()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--kit", required=True, help="path of the stoker-kit program")
    parser.add_argument("--out-dir", default=os.path.dirname(os.path.abspath(__file__)))
    args = parser.parse_args()

    hex_path = os.path.join(args.out_dir, "blink.hex")
    bin_path = os.path.join(args.out_dir, "blink.bin")
    with open(hex_path, "w", newline="") as f:
        f.write(hex_text(PROGRAM_SECTIONS, with_boot=True))
    subprocess.run([args.kit, "hex2bin", hex_path, bin_path, hex(FLASH_START),
                    str(FLASH_SIZE_K)], check=True)
    with open(bin_path, "rb") as f:
        image = f.read()

    ok = True
    if image != expected_image():
        print("blink.bin differs from the expected image", file=sys.stderr)
        ok = False
    with tempfile.TemporaryDirectory() as work:
        reference = objcopy_image(work)
    if reference is None:
        print("objcopy not found: cross-check skipped", file=sys.stderr)
    elif reference != image:
        print("blink.bin differs from objcopy's image", file=sys.stderr)
        ok = False
    else:
        print("blink.bin agrees with objcopy (%d bytes)" % len(image))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
