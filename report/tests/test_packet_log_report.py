"""packet-log-report on logs of the real trsn.mediatap, on damaged logs, and its page in a real browser."""
import base64
import html.parser
import re
import shutil
import subprocess

import numpy as np
import pytest

import analysis
import packet_log
from conftest import AUDIO_FAULTS, ROOT, VIDEO_FAULTS, damage, run_report, windows_lines

# Packet ids of each anomaly the planted faults make, the same with -fix 0 and -fix 1 (they are found in
# the timestamps as read); only the repaired packets differ.
EXPECTED = {
    "video": {"missing": [120, 160], "not_increasing": [40, 170], "pts_before_dts": [80], "gap": [50],
              "jump_back": [40]},
    "audio": {"missing": [], "not_increasing": [110, 250], "pts_before_dts": [], "gap": [100], "jump_back": [110]},
}
# -fix 1 shifts the ten video packets of the clock's step back by 0.4 s to go on after the one before
# them (the eleventh is back on the clock's line), gives PTS=DTS to the PTS before its DTS, both
# timestamps to the packets without, and a new DTS to each repeated one. The audio steps back by less than
# 0.1 s: its packets after that step are repaired until their own DTS passes the repaired ones again.
REPAIRED = {0: {"video": [], "audio": []},
            1: {"video": list(range(40, 50)) + [80, 120, 160, 170], "audio": [110, 111, 112, 113, 250]}}


def anomaly_ids(log):
    capture = analysis.analyse(packet_log.Logs([str(log)]))
    return {kind.name: {key: ids.tolist() for key, ids in kind.anomaly_ids.items()} for kind in capture.kinds}


def read_lines(log):
    """Every packet line of the log, in the order of the lines, column by column; and the log's counts."""
    logs = packet_log.Logs([str(log)])
    kinds = [(block.video, block.audio) for _, block in logs.blocks()]
    columns = {}
    for name in packet_log.COLUMNS:
        columns[name] = np.concatenate([getattr(kind, name) for pair in kinds for kind in pair])
    columns["video"] = np.concatenate([np.full(len(kind), kind is pair[0]) for pair in kinds for kind in pair])
    order = np.argsort(columns["line"], kind="stable")
    return {name: column[order] for name, column in columns.items()}, logs.stats


@pytest.mark.parametrize("fix", [0, 1])
def test_finds_the_planted_faults(capture_logs, fix):
    found = anomaly_ids(capture_logs[fix])
    for kind in ("video", "audio"):
        expected = dict(EXPECTED[kind], repaired=REPAIRED[fix][kind])
        assert found[kind] == expected, kind
    assert len(VIDEO_FAULTS) == 14 and len(AUDIO_FAULTS) == 11  # the plan the expectations follow


class StrictHtml(html.parser.HTMLParser):
    """Checks that every element is closed in order; collects ids and image sources."""
    VOID = {"meta", "img", "br", "hr", "link", "input"}

    def __init__(self):
        super().__init__()
        self.open, self.ids, self.images, self.errors = [], set(), [], []

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if "id" in attrs:
            self.ids.add(attrs["id"])
        if tag == "img":
            self.images.append(attrs.get("src", ""))
        if tag not in self.VOID:
            self.open.append(tag)

    def handle_endtag(self, tag):
        if not self.open or self.open.pop() != tag:
            self.errors.append(f"</{tag}> at {self.getpos()}")


@pytest.fixture(scope="module")
def page(capture_logs):
    """The page of the -fix 1 capture, kept under build/report for a person to look at."""
    out = ROOT / "build" / "report"
    out.mkdir(parents=True, exist_ok=True)
    run = run_report(capture_logs[1], "-o", out / "capture.html")
    assert run.returncode == 0, run.stderr
    return out / "capture.html"


def test_page_is_self_contained_html_with_every_section(page):
    text = page.read_text(encoding="utf-8")
    assert text.startswith("<!DOCTYPE html>")
    checker = StrictHtml()
    checker.feed(text)
    checker.close()
    assert checker.errors == [] and checker.open == []
    assert {"summary", "anomalies", "pictures", "bad-lines"} <= checker.ids
    assert {"picture-dts", "picture-bit-rate", "picture-steps", "picture-keys", "picture-drift"} <= checker.ids
    assert len(checker.images) == 5
    for source in checker.images:
        assert source.startswith("data:image/png;base64,")
        assert base64.b64decode(source.split(",", 1)[1]).startswith(b"\x89PNG\r\n\x1a\n")
    assert not re.search(r"(src|href)=\"(?!data:)", text)  # nothing to fetch
    # The counts of the planted faults are on the page with their ids.
    assert re.search(r"video: Repaired \(14 packets\)</h3><p class=\"ids\">40 41 42 43 44 45 46 47 48 49 80 120 160 170<", text)
    assert re.search(r"audio: Repaired \(5 packets\)</h3><p class=\"ids\">110 111 112 113 250<", text)
    assert len(text) < 3_000_000


def test_page_reads_in_a_real_browser(page, tmp_path):
    chromium = shutil.which("chromium")
    assert chromium, "chromium is not installed (scripts/setup installs it)"
    shot = page.with_suffix(".png")
    shot.unlink(missing_ok=True)
    run = subprocess.run([chromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                          "--disable-background-networking", "--disable-component-update", "--disable-sync",
                          f"--user-data-dir={tmp_path / 'profile'}", f"--screenshot={shot}", "--hide-scrollbars",
                          "--window-size=1100,3200", page.as_uri()],
                         capture_output=True, text=True, timeout=180)
    assert run.returncode == 0 and shot.exists(), run.stderr[-2000:]
    import matplotlib.image
    pixels = matplotlib.image.imread(str(shot))
    assert pixels.shape[:2] == (3200, 1100)
    grey = pixels[..., :3].mean(axis=2)
    # Text in the heading, and pictures further down: not a blank or an error page.
    assert (grey[:60] < 0.3).mean() > 0.005
    assert len(np.unique((pixels[..., :3] * 255).astype(np.uint8).reshape(-1, 3)[::7], axis=0)) > 50


def test_bad_lines_are_counted_and_the_rest_is_read(capture_logs, tmp_path):
    lines = capture_logs[0].read_bytes().splitlines(keepends=True)
    log = tmp_path / "damaged.log"
    damaged = damage(lines)
    log.write_bytes(windows_lines(damaged))
    run = run_report(log)
    assert run.returncode == 0, run.stderr
    page = (tmp_path / "damaged.html").read_text(encoding="utf-8")  # the default name
    assert "4 lines not read, at lines <span class=\"ids\">6, 21, 31, 41</span>" in page
    packets, stats = read_lines(log)
    assert (stats[0].lines, stats[0].packets, stats[0].bad_lines) == (len(lines) + 2, len(lines) - 2, 4)
    # The vectorised reading agrees with reading each line on its own, overflowing values included.
    kept = [line for i, line in enumerate(damaged) if i not in (5, 20, 30, 40)]
    slow = [packet_log._parse_slowly(line.rstrip(b"\n")) for line in kept]
    for name in ("video", "key", "id", "time", "pts", "dts", "orig_pts", "orig_dts", "duration", "size"):
        assert packets[name].tolist() == [values[name] for values in slow], name
    assert (packets["orig_pts"] == packet_log.MISSING).sum() == 2


@pytest.mark.parametrize("content, message", [
    (None, "no such file"),
    (b"", "no packet line (empty)"),
    (b"### Started processing input video packets\r\nV packet_id=1\r\n", "no packet line (2 lines)"),
])
def test_a_log_without_packet_lines_is_an_error(tmp_path, capture_logs, content, message):
    log = tmp_path / "capture.log"
    if content is not None:
        log.write_bytes(content)
    run = run_report(capture_logs[0], log, "-o", tmp_path / "out.html")
    assert run.returncode == 1
    assert run.stderr == f"packet-log-report: {log}: {message}\n"
    assert not (tmp_path / "out.html").exists()
