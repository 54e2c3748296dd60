"""A long -lav log made by formula (the same bytes on every machine): enough packets that the pictures
draw bands and thin out their markers, with every anomaly, timestamps past their columns and negative
ones, and a time span that makes the bit rate bins wider than a second. With an offset, the timestamps
start later (a capture some 31 hours long outgrows the width of 10 in the middle of the log)."""

MISSING = -(1 << 63)
VIDEO_STEP = 36000  # 0.4 s at 90 kHz
AUDIO_STEP = 24000


def _video(i, offset):
    dts = offset - 7200 + i * VIDEO_STEP
    if 9000 <= i < 9400:
        dts -= 400 * VIDEO_STEP  # the clock repeats 160 s
    if i >= 20000:
        dts += 90000 * 30  # a 30 s gap
    pts = dts + (VIDEO_STEP if i % 3 else 2 * VIDEO_STEP)
    orig_pts, orig_dts = pts, dts
    if i % 37 == 5:
        orig_pts = orig_dts = MISSING
    elif i % 101 == 7:
        orig_pts = dts - 9000  # PTS before DTS
    elif i % 211 == 3:
        orig_dts = dts - VIDEO_STEP  # the DTS before, repeated
    if 30000 <= i < 33000:
        pts, dts = pts + 45, dts + 45  # repaired
    size = 3000 + (i * 7919) % 9000 + (50000 if i % 10 == 0 else 0)
    return (f"V packet_id={i:020d}   key={int(i % 10 == 0)}   at={pts / 90000:16.2f}   pts={pts:10d}   "
            f"dts={dts:10d}   orpts={orig_pts:10d}   ordts={orig_dts:10d}   dur={VIDEO_STEP:5d}   size={size}\n")


def _audio(i, offset):
    dts = offset + i * AUDIO_STEP + (i % 7) * 3
    orig = MISSING if i % 499 == 11 else dts
    return (f"A packet_id={i:020d}           at={dts / 90000:16.2f}   pts={dts:10d}   dts={dts:10d}   "
            f"orpts={orig:10d}   ordts={orig:10d}   dur= 1920   size={300 + (i * 104729) % 400}\n")


def long_log_lines(video=40000, audio=60000, offset=0):
    """The lines in the order of their DTS, as a demuxer interleaves them."""
    order = sorted([(i * VIDEO_STEP, 0, i) for i in range(video)] + [(i * AUDIO_STEP, 1, i) for i in range(audio)])
    return [_video(i, offset) if kind == 0 else _audio(i, offset) for _, kind, i in order]


def write_long_log(paths, split_at=None, offset=0):
    """Writes the lines into the paths, cut into parts at the given line numbers (a long capture in
    parts)."""
    lines = long_log_lines(offset=offset)
    cuts = [0] + list(split_at or []) + [len(lines)]
    for path, start, end in zip(paths, cuts, cuts[1:]):
        with open(path, "w", newline="\n") as out:
            out.write("".join(lines[start:end]))
