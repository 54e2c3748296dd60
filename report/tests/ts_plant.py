"""Plants timestamp faults into the PES headers of an MPEG-TS file made by the ffmpeg program.

Each PES packet of a kind is one demuxed packet when the file was written with -pes_payload_size 0, so
the faults land on known packet numbers.
"""
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "tests" / "mediatap"))
from ts_timestamps import read_ts, write_ts  # noqa: E402

PACKET = 188
STREAM_IDS = {"video": range(0xE0, 0xF0), "audio": range(0xC0, 0xE0)}


def plant(path, kind, faults):
    """faults maps a PES number of the kind (from 0) to (pts_shift, dts_shift) in 1/90000 s, or to None
    to remove both timestamps. A PES without its own DTS takes the PTS shift. Returns how many were
    changed."""
    data = bytearray(pathlib.Path(path).read_bytes())
    seen = changed = 0
    for start in range(0, len(data) - PACKET + 1, PACKET):
        if data[start] != 0x47 or not data[start + 1] & 0x40:
            continue
        offset = start + 4
        if data[start + 3] & 0x20:
            offset += 1 + data[start + 4]
        if offset + 14 > start + PACKET or data[offset:offset + 3] != b"\x00\x00\x01":
            continue
        if data[offset + 3] not in STREAM_IDS[kind]:
            continue
        number = seen
        seen += 1
        if number not in faults:
            continue
        flags = data[offset + 7] >> 6
        if faults[number] is None:
            # The header keeps its length; the timestamp bytes count as stuffing once the flags are cleared.
            data[offset + 7] &= 0x3F
        else:
            pts_shift, dts_shift = faults[number]
            for at, shift, present in ((offset + 9, pts_shift, flags & 2), (offset + 14, dts_shift, flags == 3)):
                if present:
                    field = data[at:at + 5]
                    write_ts(field, read_ts(field) + shift)
                    data[at:at + 5] = field
        changed += 1
    pathlib.Path(path).write_bytes(data)
    return changed
