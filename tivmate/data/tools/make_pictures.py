#!/usr/bin/env python3
"""Writes the DTM's small pictures (our own artwork). Run from tivmate/data.

Resources/device.gif, device.ico and Device_small.gif: a 16x16 adapter, a blue body with a white
connector and a green lamp. connected_13x52.gif, disconn_13x52.gif, error_13x52.gif: a status
lamp column of 13x52 with the green, red or orange lamp lit. manufacturer_logo.bmp: a 96x32
word mark.
"""
import struct

W = H = 16
PALETTE = [(255, 255, 255), (40, 80, 160), (230, 230, 230), (78, 162, 78)]


def pixel(x, y):
    if 5 <= y <= 10 and 1 <= x <= 11:
        if x == 9 and y == 6:
            return 3  # lamp
        return 1  # body
    if 6 <= y <= 9 and 12 <= x <= 14:
        return 2  # connector
    return 0


def gif(w=W, h=H, palette=PALETTE, pixel=pixel):
    out = bytearray(b"GIF89a")
    out += struct.pack("<HHBBB", w, h, 0x81, 0, 0)  # global table of 4 colours
    for r, g, b in palette:
        out += bytes((r, g, b))
    out += b"\x21\xf9\x04\x01\x00\x00\x00\x00"  # colour 0 transparent
    out += b"\x2c" + struct.pack("<HHHHB", 0, 0, w, h, 0)
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

    pixels = [pixel(x, y) for y in range(h) for x in range(w)]
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


def ico():
    xor = bytearray()
    for y in reversed(range(H)):
        for x in range(W):
            p = pixel(x, y)
            r, g, b = PALETTE[p]
            xor += bytes((b, g, r, 0 if p == 0 else 255))
    mask = bytearray()
    for y in reversed(range(H)):
        row = 0
        for x in range(W):
            if pixel(x, y) == 0:
                row |= 1 << (15 - x)
        mask += struct.pack(">H", row) + b"\x00\x00"
    dib = struct.pack("<IiiHHIIiiII", 40, W, 2 * H, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
    image = dib + xor + mask
    header = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", W, H, 0, 0, 1, 32, len(image), 6 + 16)
    return header + entry + image


LAMPS_OFF = (150, 150, 150)


def status_gif(lit):
    colours = [(255, 0, 0), (255, 146, 0), (78, 162, 78)]
    palette = [(255, 255, 255), colours[lit], LAMPS_OFF, LAMPS_OFF]

    def px(x, y):
        for i in range(3):
            if (x - 6) ** 2 + (y - (8 + 17 * i)) ** 2 <= 25:
                return 1 if i == lit else 2
        return 0
    return gif(13, 52, palette, px)


def logo_bmp():
    w, h = 96, 32
    rows = bytearray()
    for y in reversed(range(h)):
        for x in range(w):
            band = 4 <= y <= 27 and (4 <= x <= 27 or (34 <= x <= 91 and y in range(12, 20)))
            rows += bytes((188, 115, 75) if band else (255, 255, 255))
    header = struct.pack("<2sIHHI", b"BM", 54 + len(rows), 0, 0, 54)
    dib = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, len(rows), 2835, 2835, 0, 0)
    return header + dib + rows


with open("Resources/device.gif", "wb") as f:
    f.write(gif())
with open("Resources/Device_small.gif", "wb") as f:
    f.write(gif())
for name, lit in (("connected", 2), ("disconn", 0), ("error", 1)):
    with open("Resources/%s_13x52.gif" % name, "wb") as f:
        f.write(status_gif(lit))
with open("Resources/manufacturer_logo.bmp", "wb") as f:
    f.write(logo_bmp())
with open("Resources/device.ico", "wb") as f:
    f.write(ico())
