#!/usr/bin/python3
"""How long a browser finds a media file: headless Chromium plays it from a local web server.

Serves FILE over HTTP on 127.0.0.1 (with byte ranges, as a web server does) in a page with a <video>
element, starts headless Chromium on that page and prints the duration the element reports once it has
read the file's metadata ("duration 10.04"), or "error N" with the element's error code. Exits with 1 when
no answer came within the time limit.

Usage: video_duration.py FILE [SECONDS]
"""
import http.server
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import urllib.parse

PAGE = b"""<!doctype html><title>duration</title>
<video id="v" preload="metadata" muted src="/media"></video>
<script>
const v = document.getElementById("v");
const report = (text) => fetch("/report?" + encodeURIComponent(text));
v.addEventListener("loadedmetadata", () => report("duration " + v.duration));
v.addEventListener("error", () => report("error " + (v.error ? v.error.code : 0)));
</script>
"""


def handler_for(media, answers, answered):
    class Handler(http.server.BaseHTTPRequestHandler):
        def log_message(self, *args):
            pass

        def do_GET(self):
            path = urllib.parse.urlparse(self.path)
            if path.path == "/":
                self.send(200, "text/html", PAGE)
            elif path.path == "/media":
                self.send_media()
            elif path.path == "/report":
                self.send(204, "text/plain", b"")
                answers.append(urllib.parse.unquote(path.query))
                answered.set()
            else:
                self.send(404, "text/plain", b"")

        def send(self, status, kind, body):
            self.send_response(status)
            self.send_header("Content-Type", kind)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def send_media(self):
            size = os.path.getsize(media)
            first, last = 0, size - 1
            ranged = self.headers.get("Range", "")
            if ranged.startswith("bytes="):
                start, _, end = ranged[6:].split(",")[0].partition("-")
                if start:
                    first = int(start)
                    last = min(int(end), size - 1) if end else size - 1
                else:
                    first = max(0, size - int(end))
            self.send_response(206 if ranged else 200)
            self.send_header("Content-Type", "video/mp4")
            self.send_header("Accept-Ranges", "bytes")
            self.send_header("Content-Length", str(last - first + 1))
            if ranged:
                self.send_header("Content-Range", "bytes %d-%d/%d" % (first, last, size))
            self.end_headers()
            with open(media, "rb") as source:
                source.seek(first)
                left = last - first + 1
                try:
                    while left > 0:
                        block = source.read(min(left, 65536))
                        if not block:
                            break
                        self.wfile.write(block)
                        left -= len(block)
                except (BrokenPipeError, ConnectionResetError):
                    pass

    return Handler


def main():
    if len(sys.argv) not in (2, 3) or not os.path.isfile(sys.argv[1]):
        sys.stderr.write("usage: video_duration.py FILE [SECONDS]\n")
        return 2
    limit = float(sys.argv[2]) if len(sys.argv) == 3 else 60.0
    answers = []
    answered = threading.Event()
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler_for(sys.argv[1], answers, answered))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    profile = tempfile.mkdtemp(prefix="trsn-chromium-")
    browser = subprocess.Popen(
        ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--autoplay-policy=no-user-gesture-required", "--user-data-dir=" + profile,
         "http://127.0.0.1:%d/" % server.server_address[1]],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        answered.wait(limit)
    finally:
        browser.kill()
        browser.wait()
        server.shutdown()
        shutil.rmtree(profile, ignore_errors=True)
    if not answers:
        sys.stderr.write("video_duration.py: no answer from the browser\n")
        return 1
    print(answers[0])
    return 0


if __name__ == "__main__":
    sys.exit(main())
