#!/usr/bin/env python3
"""Writes the DTM's small pictures (our own artwork) into Resources/.

device.gif, device.ico, Device_small.gif: a 16x16 adapter, a blue body with a white connector
and a green lamp. connected_13x52.gif, disconn_13x52.gif, error_13x52.gif: 52x13 status bars
(green with a closed link, grey with an open one, red with a cross). manufacturer_logo.bmp: a
64x24 blue plate with a white bar mark. Run from tivmate/data.
"""
import struct

WHITE, BLUE, GREY, GREEN, RED, DARK = (255, 255, 255), (40, 80, 160), (230, 230, 230), \
    (78, 162, 78), (255, 0, 0), (110, 110, 110)


def device(x, y):
    if 5 <= y <= 10 and 1 <= x <= 11:
        if x == 9 and y == 6:
            return 3  # lamp
        return 1  # body
    if 6 <= y <= 9 and 12 <= x <= 14:
        return 2  # connector
    return 0


def status_bar(kind):
    def pixel(x, y):
        if y in (0, 12) or x in (0, 51):
            return 3  # frame
        if kind == "connected" and y == 6 and 8 <= x <= 43:
            return 2  # closed link
        if kind == "disconn" and y == 6 and (8 <= x <= 22 or 29 <= x <= 43):
            return 2  # open link
        if kind == "error" and 20 <= x <= 31 and (x - 20 == y - 1 or 31 - x == y - 1):
            return 2  # cross
        return 1
    return pixel


def gif(width, height, palette, pixel):
    """A GIF of up to four colours, colour 0 transparent when transparent is set."""
    palette = (palette + [(0, 0, 0)] * 4)[:4]
    out = bytearray(b"GIF89a")
    out += struct.pack("<HHBBB", width, height, 0x81, 0, 0)  # global table of 4 colours
    for r, g, b in palette:
        out += bytes((r, g, b))
    out += b"\x21\xf9\x04\x01\x00\x00\x00\x00"  # colour 0 transparent
    out += b"\x2c" + struct.pack("<HHHHB", 0, 0, width, height, 0)
    # Uncompressed LZW: 3-bit codes, a clear code before every two pixels keeps the width.
    bits, nbits, data = 0, 0, bytearray()

    def emit(code):
        nonlocal bits, nbits
        bits |= code << nbits
        nbits += 3
        while nbits >= 8:
            data.append(bits & 0xFF)
            bits >>= 8
            nbits -= 8

    pixels = [pixel(x, y) for y in range(height) for x in range(width)]
    for i in range(0, len(pixels), 2):
        emit(4)
        for p in pixels[i:i + 2]:
            emit(p)
    emit(5)
    if nbits:
        data.append(bits & 0xFF)
    out.append(2)
    for i in range(0, len(data), 255):
        chunk = data[i:i + 255]
        out.append(len(chunk))
        out += chunk
    out += b"\x00\x3b"
    return bytes(out)


def ico(size, palette, pixel):
    xor = bytearray()
    for y in reversed(range(size)):
        for x in range(size):
            p = pixel(x, y)
            r, g, b = palette[p]
            xor += bytes((b, g, r, 0 if p == 0 else 255))
    mask = bytearray()
    for y in reversed(range(size)):
        row = 0
        for x in range(size):
            if pixel(x, y) == 0:
                row |= 1 << (15 - x)
        mask += struct.pack(">H", row) + b"\x00\x00"
    dib = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 32, 0, len(xor) + len(mask), 0, 0,
                      0, 0)
    image = dib + xor + mask
    header = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(image), 6 + 16)
    return header + entry + image


def bmp(width, height, pixel):
    """A 24-bit bottom-up BMP; pixel gives (r, g, b)."""
    stride = (width * 3 + 3) & ~3
    rows = bytearray()
    for y in reversed(range(height)):
        row = bytearray()
        for x in range(width):
            r, g, b = pixel(x, y)
            row += bytes((b, g, r))
        rows += row + b"\x00" * (stride - len(row))
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(rows), 2835, 2835, 0, 0)
    header = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(rows), 0, 0, 14 + len(info))
    return header + info + rows


def logo(x, y):
    if 6 <= y <= 17 and (8 <= x <= 23 and y <= 8 or 14 <= x <= 17):
        return WHITE  # the mark
    if 26 <= x <= 57 and y in (10, 13):
        return WHITE  # two lines of "text"
    return BLUE


DEVICE = [WHITE, BLUE, GREY, GREEN]
pictures = {
    "device.gif": gif(16, 16, DEVICE, device),
    "Device_small.gif": gif(16, 16, DEVICE, device),
    "device.ico": ico(16, DEVICE, device),
    "connected_13x52.gif": gif(52, 13, [WHITE, GREEN, WHITE, DARK], status_bar("connected")),
    "disconn_13x52.gif": gif(52, 13, [WHITE, GREY, DARK, DARK], status_bar("disconn")),
    "error_13x52.gif": gif(52, 13, [WHITE, RED, WHITE, DARK], status_bar("error")),
    "manufacturer_logo.bmp": bmp(64, 24, logo),
}
for name, data in pictures.items():
    with open("Resources/" + name, "wb") as f:
        f.write(data)
