#!/usr/bin/env python3
"""Moves one chunk of an MP4 file's first track to an offset no file can reach, in place, to make a
recording whose reads fail at once and forever without ever reaching the end of the file.

    mp4_chunk_offset.py FILE CHUNK

The track's chunk offset table (stco) is rewritten as a 64-bit one (co64) with chunk CHUNK (counted
from 0) at 2^50 bytes. The movie box must come after the media data (the ffmpeg program's default), so
that its growth moves no chunk.
"""
import struct
import sys

CONTAINERS = {b"moov", b"trak", b"mdia", b"minf", b"stbl"}


def find_stco(data, start, end, parents):
    pos = start
    while pos + 8 <= end:
        size, kind = struct.unpack(">I4s", data[pos : pos + 8])
        if size < 8:
            break
        if kind == b"stco":
            return pos, size, parents
        if kind in CONTAINERS:
            found = find_stco(data, pos + 8, pos + size, parents + [pos])
            if found:
                return found
        pos += size
    return None


def main():
    path, chunk = sys.argv[1], int(sys.argv[2])
    data = bytearray(open(path, "rb").read())
    found = find_stco(data, 0, len(data), [])
    if found is None:
        sys.exit("mp4_chunk_offset.py: no stco box in " + path)
    pos, size, parents = found
    count = struct.unpack(">I", data[pos + 12 : pos + 16])[0]
    offsets = list(struct.unpack(">%dI" % count, data[pos + 16 : pos + 16 + 4 * count]))
    if chunk >= count:
        sys.exit("mp4_chunk_offset.py: the track has %d chunks" % count)
    offsets[chunk] = 1 << 50
    box = struct.pack(">I4sII", 16 + 8 * count, b"co64", 0, count) + struct.pack(">%dQ" % count, *offsets)
    grow = len(box) - size
    data[pos : pos + size] = box
    for parent in parents:
        parent_size = struct.unpack(">I", data[parent : parent + 4])[0]
        data[parent : parent + 4] = struct.pack(">I", parent_size + grow)
    open(path, "wb").write(data)


if __name__ == "__main__":
    main()
