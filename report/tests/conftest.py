"""Fixtures of the packet-log report tests: the real trsn.mediatap (TRSN_MEDIATAP, else the Linux build)
and an MPEG-TS recording with timestamp faults planted at known packets."""
import os
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
REPORT = ROOT / "report" / "packet-log-report"
sys.path.insert(0, str(ROOT / "report"))

from ts_plant import plant  # noqa: E402

# Packet numbers of each kind with their faults: (PTS shift, DTS shift) in 1/90000 s, None for no
# timestamps. At 25 fps a video DTS step is 3600; an AAC frame at 48 kHz is 1920.
VIDEO_FAULTS = {**{n: (-36000, -36000) for n in range(40, 50)},  # the clock jumps back 0.4 s for ten frames
                80: (-20000, 0),  # PTS before DTS
                120: None, 160: None,  # no timestamps
                170: (-3600, -3600)}  # the DTS of the packet before repeated
AUDIO_FAULTS = {**{n: (9000, 9000) for n in range(100, 110)},  # ahead by 0.1 s for ten frames
                250: (-1920, -1920)}  # the DTS of the packet before repeated


@pytest.fixture(scope="session")
def tool():
    path = pathlib.Path(os.environ.get("TRSN_MEDIATAP") or ROOT / "build" / "linux" / "bin" / "trsn.mediatap")
    if not os.access(path, os.X_OK):
        pytest.fail(f"no trsn.mediatap at {path}: build the linux preset or set TRSN_MEDIATAP")
    return path


@pytest.fixture(scope="session")
def faulty_ts(tmp_path_factory):
    """Eight seconds of H.264 (with B-frames) and AAC, one PES packet per demuxed packet, with the faults
    above planted."""
    path = tmp_path_factory.mktemp("media") / "faulty.ts"
    subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y",
                    "-f", "lavfi", "-i", "testsrc2=size=320x180:rate=25:duration=8",
                    "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000:duration=8",
                    "-c:v", "libx264", "-preset", "veryfast", "-g", "25", "-pix_fmt", "yuv420p",
                    "-c:a", "aac", "-b:a", "64k", "-pes_payload_size", "0", "-f", "mpegts", str(path)], check=True)
    assert plant(path, "video", VIDEO_FAULTS) == len(VIDEO_FAULTS)
    assert plant(path, "audio", AUDIO_FAULTS) == len(AUDIO_FAULTS)
    return path


@pytest.fixture(scope="session")
def capture_logs(tool, faulty_ts, tmp_path_factory):
    """The -lav log of the faulty recording for -fix 0 and -fix 1."""
    logs = {}
    for fix in (0, 1):
        log = tmp_path_factory.mktemp(f"fix{fix}") / "capture.log"
        run = subprocess.run([str(tool), "-i", str(faulty_ts), "-fix", str(fix), "-lav", str(log)],
                             capture_output=True, text=True, timeout=120)
        assert run.returncode == 0, run.stdout + run.stderr
        logs[fix] = log
    return logs


def damage(lines):
    """The lines of a log with four bad lines: lines 6, 21, 31 and 41."""
    damaged = list(lines)
    damaged.insert(5, b"garbage\n")  # line 6
    damaged[20] = damaged[20][:60] + b"\n"  # line 21: cut short
    damaged.insert(30, b"\n")  # line 31: empty
    damaged[40] = damaged[40].replace(b"pts=", b"pts=x", 1)  # line 41
    return damaged


def windows_lines(lines):
    """Windows line ends throughout, and no line end after the last line."""
    return b"".join(line.replace(b"\n", b"\r\n") for line in lines).rstrip(b"\r\n")


def run_report(*args, cwd=None):
    return subprocess.run([str(REPORT), *map(str, args)], capture_output=True, text=True, timeout=300, cwd=cwd)
