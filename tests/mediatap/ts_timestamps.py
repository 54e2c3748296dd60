#!/usr/bin/env python3
"""Rewrites the PES timestamps of an MPEG-TS file in place, to make recordings with broken timestamps.

    ts_timestamps.py FILE KIND FIRST COUNT SHIFT [--drop-dts]

KIND is video or audio (PES stream ids 0xE0-0xEF or 0xC0-0xDF); the PES packets FIRST to FIRST+COUNT-1
of that kind (counted from 0) get SHIFT (in 1/90000 s, may be negative) added to their PTS and DTS,
modulo 2^33 as the format stores them. --drop-dts instead sets the DTS equal to the PTS shifted.
"""
import sys

PACKET = 188


def read_ts(field: bytes) -> int:
    return (((field[0] >> 1) & 0x07) << 30) | (field[1] << 22) | ((field[2] >> 1) << 15) | (field[3] << 7) | (field[4] >> 1)


def write_ts(field: bytearray, value: int) -> None:
    value %= 1 << 33
    prefix = field[0] & 0xF0
    field[0] = prefix | (((value >> 30) & 0x07) << 1) | 1
    field[1] = (value >> 22) & 0xFF
    field[2] = (((value >> 15) & 0x7F) << 1) | 1
    field[3] = (value >> 7) & 0xFF
    field[4] = ((value & 0x7F) << 1) | 1


def pes_starts(data):
    """(index among the PES packets of its kind, "video" or "audio", offset of the PTS field, PTS_DTS
    flags) of each PES packet start of an MPEG-TS file."""
    seen = {"video": 0, "audio": 0}
    for start in range(0, len(data) - PACKET + 1, PACKET):
        packet = data[start:start + PACKET]
        if packet[0] != 0x47 or not packet[1] & 0x40:
            continue
        offset = 4
        if packet[3] & 0x20:
            offset += 1 + packet[4]
        if offset + 14 > PACKET or packet[offset:offset + 3] != b"\x00\x00\x01":
            continue
        stream = packet[offset + 3]
        kind = "video" if 0xE0 <= stream <= 0xEF else "audio" if 0xC0 <= stream <= 0xDF else None
        if kind is None:
            continue
        yield seen[kind], kind, start + offset + 9, packet[offset + 7] >> 6
        seen[kind] += 1


def main() -> int:
    path, kind, first, count, shift = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
    kind = "video" if kind == "video" else "audio"
    data = bytearray(open(path, "rb").read())
    changed = 0
    for index, found, pts_at, flags in pes_starts(data):
        if found != kind or not first <= index < first + count:
            continue
        if flags & 2:
            pts = read_ts(data[pts_at:pts_at + 5]) + shift
            field = data[pts_at:pts_at + 5]
            write_ts(field, pts)
            data[pts_at:pts_at + 5] = field
        if flags == 3:
            dts_at = pts_at + 5
            dts = read_ts(data[dts_at:dts_at + 5]) + shift
            field = data[dts_at:dts_at + 5]
            write_ts(field, pts if "--drop-dts" in sys.argv else dts)
            data[dts_at:dts_at + 5] = field
        changed += 1
    open(path, "wb").write(data)
    print(f"{changed} {kind} PES packets rewritten")
    return 0 if changed == count else 1


if __name__ == "__main__":
    sys.exit(main())
