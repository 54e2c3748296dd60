#!/usr/bin/python3
"""Inputs whose time line a capture must keep, made with the ffmpeg program and rewritten time stamps.

    timeline_corpus.py list
    timeline_corpus.py make CASE DIR

`make` writes DIR/clean.EXT, the source as ffmpeg made it, and DIR/input.EXT, the case's input, and
prints the input's path. The clean source is the truth the capture of the input is judged against: the
same pictures and sounds on an unbroken clock. Sources are 10 s of 25 fps H.264 and 48 kHz AAC (no
B-frames, a key frame every 2 s, unless the case says otherwise). MPEG-TS and FLV clocks start at 2 h
(-output_ts_offset 7200), so that a jump back does not wrap into a jump of a day forward.
"""
import os
import shutil
import struct
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import ts_timestamps  # noqa: E402

SECOND = 90000  # MPEG-TS ticks
TS_START = 7200 * SECOND


def ffmpeg(*args):
    subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y", *args], check=True)


def make_source(path, extra_video=(), ts_offset=True, duration=10, gop=50):
    args = ["-f", "lavfi", "-i", "testsrc2=size=160x120:rate=25:duration=%d" % duration,
            "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000:duration=%d" % duration,
            "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-g", str(gop), "-bf", "0",
            *extra_video, "-c:a", "aac", "-b:a", "64k"]
    if ts_offset:
        args += ["-output_ts_offset", "7200"]
    ffmpeg(*args, path)


# ---- MPEG-TS: PES time stamps rewritten from a moment on ----

def shift_ts(path, kinds, shift, after=None, only=None):
    """Adds shift to the PTS and DTS of the PES packets of the kinds whose PTS (as made) is at least
    `after` seconds from the start, or of the PES packets `only` = (kind, range of their indexes)."""
    data = bytearray(open(path, "rb").read())
    for index, kind, at, flags in list(ts_timestamps.pes_starts(data)):
        if not flags & 2:
            continue
        pts = ts_timestamps.read_ts(data[at:at + 5])
        if only is not None:
            if kind != only[0] or index not in only[1]:
                continue
        elif kind not in kinds or pts - TS_START < after * SECOND:
            continue
        fields = [at] + ([at + 5] if flags == 3 else [])
        for field_at in fields:
            field = data[field_at:field_at + 5]
            ts_timestamps.write_ts(field, ts_timestamps.read_ts(field) + shift)
            data[field_at:field_at + 5] = field
    open(path, "wb").write(data)


def drop_ts(path, kind, indexes):
    """Takes out the PES packets of the kind with these indexes, as a network loses them: each one's TS
    packets, from its start to the next start on its PID. The PID's continuity counter goes on without a
    gap, so that only the pictures are missing."""
    data = open(path, "rb").read()
    starts = {}  # offset of a TS packet that starts a PES packet: whether that PES packet is lost
    for index, found, at, _ in ts_timestamps.pes_starts(data):
        starts[at - at % ts_timestamps.PACKET] = found == kind and index in indexes
    kept = bytearray()
    dropping = {}  # PID: within a lost PES packet
    counter = {}  # PID: the continuity counter of its last kept packet with a payload
    lost = set()  # PIDs that lost packets
    for start in range(0, len(data) - ts_timestamps.PACKET + 1, ts_timestamps.PACKET):
        packet = bytearray(data[start:start + ts_timestamps.PACKET])
        pid = (packet[1] & 0x1F) << 8 | packet[2]
        dropping[pid] = starts.get(start, dropping.get(pid, False))
        if dropping[pid]:
            lost.add(pid)
            continue
        if packet[3] & 0x10:
            if pid in lost:
                packet[3] = packet[3] & 0xF0 | (counter[pid] + 1) & 0x0F
            counter[pid] = packet[3] & 0x0F
        kept += packet
    open(path, "wb").write(kept)


# ---- FLV: tag times rewritten from a moment on ----

def shift_flv(path, shift_ms, after_ms, drop_video=None):
    """Adds shift_ms to the time of every audio and video tag at or after after_ms; drop_video names a
    video tag (by its index) that loses its time stamps."""
    data = bytearray(open(path, "rb").read())
    at = struct.unpack(">I", data[5:9])[0] + 4
    video_index = 0
    while at + 11 <= len(data):
        kind = data[at] & 0x1F
        size = int.from_bytes(data[at + 1:at + 4], "big")
        time = int.from_bytes(data[at + 4:at + 7], "big") | (data[at + 7] << 24)
        is_frame = kind == 9 and size > 5 and data[at + 12] == 1 or kind == 8 and size > 2 and data[at + 12] == 1
        if kind in (8, 9) and is_frame and time >= after_ms:
            time = (time + shift_ms) % (1 << 32)
            data[at + 4:at + 7] = (time & 0xFFFFFF).to_bytes(3, "big")
            data[at + 7] = time >> 24
        if kind == 9 and size > 5 and data[at + 12] == 1:
            if drop_video is not None and video_index == drop_video:
                data[at + 13:at + 16] = (0x7FFFFF).to_bytes(3, "big")  # no time stamps for the demuxer
            video_index += 1
        at += 11 + size + 4
    open(path, "wb").write(data)


# ---- the cases ----

def ts_case(shift, kinds=("video", "audio"), after=5.0, only=None, duration=10, lost_video=()):
    def make(directory):
        clean = os.path.join(directory, "clean.ts")
        make_source(clean, duration=duration)
        broken = os.path.join(directory, "input.ts")
        shutil.copyfile(clean, broken)
        shift_ts(broken, kinds, shift, after, only)
        if lost_video:
            drop_ts(broken, "video", lost_video)
        return broken
    return make


def wrap(directory):
    # The 33-bit clock wraps about 4 s in.
    clean = os.path.join(directory, "clean.ts")
    make_source(clean)
    broken = os.path.join(directory, "input.ts")
    make_source(broken, ts_offset=False)
    ffmpeg("-i", broken, "-map", "0", "-c", "copy", "-output_ts_offset", str((1 << 33) / SECOND - 4.0),
           "-f", "mpegts", broken + ".tmp")
    os.replace(broken + ".tmp", broken)
    return broken


def flv_case(shift_ms=0, drop_video=None):
    def make(directory):
        clean = os.path.join(directory, "clean.flv")
        make_source(clean, ts_offset=False)
        broken = os.path.join(directory, "input.flv")
        shutil.copyfile(clean, broken)
        shift_flv(broken, shift_ms, 5000, drop_video)
        return broken
    return make


def mp4_case(kind):
    def make(directory):
        clean = os.path.join(directory, "clean.mp4")
        broken = os.path.join(directory, "input.mp4")
        if kind == "mid-gop":
            # A capture that joins a 2 s GOP 1.48 s before its next key frame: the cut keeps every
            # packet from 4.52 s on, the pictures before the key frame at 6 s included.
            make_source(os.path.join(directory, "long.mp4"), ts_offset=False, duration=14)
            ffmpeg("-i", os.path.join(directory, "long.mp4"), "-ss", "4.52", "-t", "8", "-map", "0", "-c",
                   "copy", "-copyinkf", clean)
        elif kind == "audio-first":
            make_source(os.path.join(directory, "plain.mp4"), ts_offset=False)
            ffmpeg("-i", os.path.join(directory, "plain.mp4"), "-itsoffset", "1.02", "-i",
                   os.path.join(directory, "plain.mp4"), "-map", "1:v", "-map", "0:a", "-c", "copy", clean)
        elif kind == "b-frames":
            make_source(clean, extra_video=("-bf", "2"), ts_offset=False)
        shutil.copyfile(clean, broken)
        return broken
    return make


CASES = {
    "mid-gop": mp4_case("mid-gop"),
    "audio-first": mp4_case("audio-first"),
    "b-frames": mp4_case("b-frames"),
    "wrap": wrap,
    "back-0.3s": ts_case(-SECOND * 3 // 10),
    "back-10s": ts_case(-10 * SECOND),
    "back-1h": ts_case(-3600 * SECOND),
    "to-zero": ts_case(-(TS_START + 5 * SECOND)),
    "video-back-1h": ts_case(-3600 * SECOND, kinds=("video",)),
    "forward-1h": ts_case(3600 * SECOND),
    "wild-ahead": ts_case(3600 * SECOND, only=("video", range(125, 126))),
    "wild-behind": ts_case(-3600 * SECOND, only=("video", range(125, 126))),
    "glitch": ts_case(-SECOND // 20, only=("video", range(125, 126))),
    "video-back-a-moment": ts_case(-SECOND * 4 // 10, only=("video", range(125, 135))),
    # 30 s: the clock goes back 0.3 s for good, as in back-0.3s; 24 s later the network loses the 8
    # pictures before a key frame: a gap of 0.36 s, not the way back to the line of before the jump.
    "back-0.3s-lost-8": ts_case(-SECOND * 3 // 10, duration=30, lost_video=range(692, 700)),
    "flv-back-3s": flv_case(-3000),
    "flv-missing": flv_case(drop_video=125),
}


def main():
    if sys.argv[1:2] == ["list"]:
        print("\n".join(CASES))
        return 0
    if len(sys.argv) != 4 or sys.argv[1] != "make" or sys.argv[2] not in CASES:
        sys.stderr.write(__doc__)
        return 2
    os.makedirs(sys.argv[3], exist_ok=True)
    print(CASES[sys.argv[2]](sys.argv[3]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
