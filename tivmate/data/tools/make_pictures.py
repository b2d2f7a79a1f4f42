#!/usr/bin/env python3
"""Writes the DTM's small pictures (our own artwork): Resources/device.gif and device.ico.

A 16x16 adapter: a blue body with a white connector and a green lamp. Run from tivmate/data.
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


def gif():
    out = bytearray(b"GIF89a")
    out += struct.pack("<HHBBB", W, H, 0x81, 0, 0)  # global table of 4 colours
    for r, g, b in PALETTE:
        out += bytes((r, g, b))
    out += b"\x21\xf9\x04\x01\x00\x00\x00\x00"  # colour 0 transparent
    out += b"\x2c" + struct.pack("<HHHHB", 0, 0, W, H, 0)
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

    pixels = [pixel(x, y) for y in range(H) for x in range(W)]
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


with open("Resources/device.gif", "wb") as f:
    f.write(gif())
with open("Resources/device.ico", "wb") as f:
    f.write(ico())
