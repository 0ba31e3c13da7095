#!/usr/bin/env python3
"""Draws the toolbar's two 32 x 32 button images (check mark, cross) on transparency."""
import struct
import zlib
from pathlib import Path

SIZE, SS = 32, 4  # 4 x 4 supersampling for smooth edges


def seg_dist(px, py, ax, ay, bx, by):
    vx, vy, wx, wy = bx - ax, by - ay, px - ax, py - ay
    t = max(0.0, min(1.0, (wx * vx + wy * vy) / (vx * vx + vy * vy)))
    dx, dy = px - (ax + t * vx), py - (ay + t * vy)
    return (dx * dx + dy * dy) ** 0.5


def draw(segments, width, rgb):
    rows = []
    for y in range(SIZE):
        row = bytearray([0])
        for x in range(SIZE):
            hits = 0
            for sy in range(SS):
                for sx in range(SS):
                    px, py = x + (sx + 0.5) / SS, y + (sy + 0.5) / SS
                    if any(seg_dist(px, py, *s) <= width / 2 for s in segments):
                        hits += 1
            row += bytes(rgb) + bytes([round(255 * hits / (SS * SS))])
        rows.append(bytes(row))
    return b"".join(rows)


def png(raw):
    def chunk(tag, data):
        return struct.pack(">I", len(data)) + tag + data + struct.pack(">I", zlib.crc32(tag + data))
    head = struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", head) + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")


here = Path(__file__).resolve().parent / "img"
here.mkdir(exist_ok=True)
(here / "btn_confirm.png").write_bytes(png(draw([(6, 17, 13, 24), (13, 24, 26, 9)], 4.5, (46, 184, 76))))
(here / "btn_cancel.png").write_bytes(png(draw([(8, 8, 24, 24), (24, 8, 8, 24)], 4.5, (255, 69, 0))))
