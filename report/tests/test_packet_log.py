"""Reading packet lines from fixed columns, with lines that only look like packet lines among them, and
reading the same logs a second time."""
import numpy as np
import pytest

import analysis
import packet_log

VIDEO = (b"V packet_id=00000000000000000007   key=1   at=            1.48   pts=    133200   dts=    126000   "
         b"orpts=    133200   ordts=    126000   dur= 3600   size=4252")
AUDIO = (b"A packet_id=00000000000000000001           at=            1.48   pts=    133200   dts=    133200   "
         b"orpts=    133200   ordts=    133200   dur= 1920   size=242")

# Changes to a good line: each gives a packet line that the regular expression reads, or a bad line.
CHANGES = [
    (VIDEO, b"", b""),
    (AUDIO, b"", b""),
    (VIDEO, b"pts=    133200", b"pts=   -133200"),
    (VIDEO, b"at=            1.48", b"at=           -1.48"),
    (AUDIO, b"dur= 1920", b"dur=-1920"),
    (VIDEO, b"pts=    133200", b"pts=   133-200"),  # a sign inside
    (VIDEO, b"pts=    133200", b"pts=  -  13320"),  # a space after the sign
    (VIDEO, b"pts=    133200", b"pts=    13 200"),  # a space inside
    (VIDEO, b"pts=    133200", b"pts=    +33200"),
    (VIDEO, b"pts=    133200", b"pts=--  133200"),
    (VIDEO, b"ordts=    126000", b"ordts=         -"),
    (VIDEO, b"dts=    126000", b"dts=    12600x"),
    (VIDEO, b"key=1", b"key=2"),
    (VIDEO, b"at=            1.48", b"at=            1x48"),
    (VIDEO, b"at=            1.48", b"at=            1.4 "),
    (VIDEO, b"packet_id=00000000000000000007", b"packet_id=10000000000000000007"),  # more than the column
    (VIDEO, b"packet_id=00000000000000000007", b"packet_id=0000000000000000000 "),
    (AUDIO, b"A packet_id", b"V packet_id"),  # the other kind's letter
    (AUDIO, b"           at=", b"   key=1   at="),  # a key in an audio line
    (VIDEO, b"size=4252", b"size=  4252"),  # spaces in the size
    (VIDEO, b"size=4252", b"size=-4252"),
    (VIDEO, b"size=4252", b"size=4252x"),
    (VIDEO, b"size=4252", b"size="),
    (VIDEO, b"size=4252", b"size=123456789012"),  # the longest size of the columns
    (VIDEO, b"size=4252", b"size=1234567890123"),
    (VIDEO, b"size=4252", b"size=4252=1"),
    (VIDEO, b"pts=    133200", b"pts=-9223372036854775808"),  # past its column
    (VIDEO, b"pts=    133200", b"pts=-9223372036854775809"),  # past 64 bits
    (VIDEO, b"dur= 3600", b"dur=3600"),
    # Timestamps wider than 10, all four alike, and not.
    (VIDEO, b"pts=    133200   dts=    126000   orpts=    133200   ordts=    126000",
     b"pts=10000004400   dts=10000000800   orpts=10000004400   ordts=-1000000080"),
    (AUDIO, b"pts=    133200   dts=    133200   orpts=    133200   ordts=    133200",
     b"pts= 10000004400   dts=100000000800   orpts=  -100000440   ordts=       133200"),
    (VIDEO, b"pts=    133200   dts=    126000", b"pts=10000004400   dts=9999999999"),
    (VIDEO, b"pts=    133200   dts=    126000   orpts=    133200   ordts=    126000",
     b"pts=10000004400   dts=10000000800   orpts=10000004400   ordts=1000000 080"),
    (VIDEO, b"", b"\r"),
]


def test_lines_read_from_fixed_columns_read_as_the_regular_expression_reads_them():
    lines = [line.replace(old, new, 1) + b"\n" for line, old, new in CHANGES]
    block = packet_log.parse_lines(b"".join(lines))
    read = {}
    for kind in (block.video, block.audio):
        for i, line in enumerate(kind.line.tolist()):
            read[line] = {name: getattr(kind, name)[i].item() for name in packet_log.COLUMNS[1:]}
    for number, line in enumerate(lines):
        expected = packet_log._parse_slowly(line.rstrip(b"\r\n"))
        if expected is not None:
            del expected["video"]
        assert read.get(number) == expected, line
    assert len(block.bad) == sum(packet_log._parse_slowly(line.rstrip(b"\r\n")) is None for line in lines)


def _log(path, lines):
    path.write_bytes(b"".join(line + b"\n" for line in lines))
    return path


def _summary(capture):
    return [(kind.name, kind.packets, kind.first_id, kind.last_id, kind.bytes, kind.median_step, kind.counts,
             {key: ids.tolist() for key, ids in kind.anomaly_ids.items()}) for kind in capture.kinds]


def test_a_line_with_its_columns_in_place_but_not_a_packet_line_stays_out_of_the_second_reading(tmp_path):
    lines = [VIDEO.replace(b"000007", f"{i:06d}".encode()).replace(b"size=4252", f"size={1000 + i}".encode())
             for i in range(50)]
    broken = list(lines)
    broken[20] = broken[20].replace(b"dts=    126000", b"dts=    12 000")
    with np.errstate(all="ignore"):
        clean = analysis.analyse(packet_log.Logs([_log(tmp_path / "clean.log", lines[:20] + lines[21:])]))
        logs = packet_log.Logs([_log(tmp_path / "broken.log", broken)])
        capture = analysis.analyse(logs)
    assert logs.stats[0].bad_lines == 1 and logs.stats[0].first_bad == [21]
    assert _summary(capture) == _summary(clean)


def test_a_second_reading_reads_the_lines_of_the_first_of_a_log_that_grew(tmp_path):
    log = _log(tmp_path / "growing.log", [AUDIO] * 10 + [VIDEO])
    logs = packet_log.Logs([log])
    first = [(len(block.video), len(block.audio)) for _, block in logs.blocks()]
    with open(log, "ab") as out:
        out.write(AUDIO + b"\n" + AUDIO[:50])
    assert [(len(block.video), len(block.audio)) for _, block in logs.blocks()] == first == [(1, 10)]


@pytest.mark.parametrize("size", [1, 100, 1 << 16])
def test_blocks_end_at_line_ends_whatever_their_size(tmp_path, monkeypatch, size):
    monkeypatch.setattr(packet_log, "CHUNK_BYTES", size)
    lines = [VIDEO, AUDIO, b"garbage", AUDIO.replace(b"size=242", b"size=-9223372036854775808")] * 40
    logs = packet_log.Logs([_log(tmp_path / "capture.log", lines)])
    blocks = [block for _, block in logs.blocks()]
    assert sum(len(block.video) for block in blocks) == 40 and sum(len(block.audio) for block in blocks) == 80
    assert np.concatenate([block.bad for block in blocks]).tolist() == list(range(2, 160, 4))
    assert logs.stats[0].lines == 160
