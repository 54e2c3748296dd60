#!/usr/bin/python3
"""RTSP server for the stream tool's end-to-end tests.

Serves the H.264 video and the AAC audio of a Matroska file at rtsp://127.0.0.1:PORT/stream, paced in
real time, one fresh pipeline per client (each capture starts at the file's start). Listens on a free
port of 127.0.0.1 and prints "READY rtsp://127.0.0.1:PORT/stream" once clients can connect. Runs until
killed, or until its standard input closes (so that it never outlives a test that forgot it).

Usage: rtsp_server.py [--udp-only] [--auth basic|digest USER:PASSWORD] MEDIA.mkv
       rtsp_server.py --camera MODE

--udp-only offers RTP over UDP alone: a client that asks for TCP is answered 461.
--auth serves only a client that authenticates as USER with PASSWORD, by the one method named; any
other client is answered 401.
--camera serves what a camera sends: live H.264 video (160x120, 25 fps, a key frame every second) and
G.711 A-law audio (8 kHz, 20 ms a packet), both announced in the SDP, each client's session timed from
its first packet (of either track, sent or not). MODE says what the camera does with them:
  both          sends both tracks from the start
  silent-audio  never sends its audio (no microphone fitted)
  silent-video  never sends its video
  late-audio    sends its audio from 3 s on
  video-stops   stops its video at 3 s; the audio goes on
  ends          ends the session itself after 4 s (the end of the stream, RTCP BYE)
When a client's session ends, a line "SENT video=N audio=M video_first=S audio_first=S" tells what it
was sent: the video frames, the audio packets and the time of each track's first packet in seconds
("none" for a track it never got).
"""
import os
import sys
import threading
import time

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtsp", "1.0")
gi.require_version("GstRtspServer", "1.0")
gi.require_version("GstRtp", "1.0")
from gi.repository import GLib, Gst, GstRtp, GstRtsp, GstRtspServer  # noqa: E402

USAGE = (
    "usage: rtsp_server.py [--udp-only] [--auth basic|digest USER:PASSWORD] MEDIA.mkv\n"
    "       rtsp_server.py --camera both|silent-audio|silent-video|late-audio|video-stops|ends\n"
)

CAMERA_MODES = ("both", "silent-audio", "silent-video", "late-audio", "video-stops", "ends")
LATE_AUDIO_SECONDS = 3.0
VIDEO_STOP_SECONDS = 3.0
SESSION_SECONDS = 4


def camera_launch(mode):
    """Live sources, as a camera's encoder gives them; "ends" lets them run out after SESSION_SECONDS."""
    frames = " num-buffers=%d" % (25 * SESSION_SECONDS) if mode == "ends" else ""
    blocks = " num-buffers=%d" % (50 * SESSION_SECONDS) if mode == "ends" else ""
    return (
        "( videotestsrc is-live=true pattern=ball%s ! video/x-raw,width=160,height=120,framerate=25/1 ! "
        "x264enc tune=zerolatency speed-preset=ultrafast key-int-max=25 ! h264parse ! "
        "rtph264pay name=pay0 pt=96 config-interval=1 "
        "audiotestsrc is-live=true samplesperbuffer=160%s ! audio/x-raw,rate=8000,channels=1 ! alawenc ! "
        "rtppcmapay name=pay1 pt=8 min-ptime=20000000 max-ptime=20000000 )" % (frames, blocks)
    )


class CameraSession:
    """What one client's session sends. The server prepares each track with its first packet (for the
    SDP and the PLAY reply), so a track is never held back in the pipeline: the packets the camera does
    not send leave the payloader under a payload type that the SDP does not announce, which a client
    discards as it discards any stranger's packet."""

    HIDDEN = 127

    def __init__(self, mode):
        self.mode = mode
        self.lock = threading.Lock()
        self.start = None
        self.count = {"video": 0, "audio": 0}
        self.first = {"video": None, "audio": None}

    def sends(self, kind, elapsed):
        if self.mode == "silent-audio" or (self.mode == "late-audio" and elapsed < LATE_AUDIO_SECONDS):
            return kind == "video"
        if self.mode == "silent-video" or (self.mode == "video-stops" and elapsed >= VIDEO_STOP_SECONDS):
            return kind == "audio"
        return True

    def on_input(self, _pad, _info, kind, payloader, announced):
        """Before the payloader: the payload type the camera's next packets of the kind go out with."""
        with self.lock:
            if self.start is None:
                self.start = time.monotonic()
            sent = self.sends(kind, time.monotonic() - self.start)
        payloader.set_property("pt", announced if sent else self.HIDDEN)
        return Gst.PadProbeReturn.OK

    def on_output(self, _pad, info, kind, announced):
        """Where the packets leave the RTP session: counts what the client is sent."""
        ok, rtp = GstRtp.RTPBuffer.map(info.get_buffer(), Gst.MapFlags.READ)
        if not ok:
            return Gst.PadProbeReturn.OK
        payload_type = rtp.get_payload_type()
        marker = rtp.get_marker()
        rtp.unmap()
        if payload_type != announced:
            return Gst.PadProbeReturn.OK
        with self.lock:
            if self.start is None:
                self.start = time.monotonic()
            if self.first[kind] is None:
                self.first[kind] = time.monotonic() - self.start
            # A video frame ends with the RTP marker bit; each audio packet is one.
            if kind == "audio" or marker:
                self.count[kind] += 1
        return Gst.PadProbeReturn.OK

    def attach(self, media):
        # The payloaders' output reaches the RTP session through the media bin's ghost pads.
        bin_ = media.get_element()
        pad = bin_.get_by_name("pay0").get_static_pad("src")
        rtpbin = pad.get_peer().get_parent().get_peer().get_parent_element()
        for index, kind in ((0, "video"), (1, "audio")):
            payloader = bin_.get_by_name("pay%d" % index)
            announced = payloader.get_property("pt")
            payloader.get_static_pad("sink").add_probe(
                Gst.PadProbeType.BUFFER, self.on_input, kind, payloader, announced
            )
            rtpbin.get_static_pad("send_rtp_src_%d" % index).add_probe(
                Gst.PadProbeType.BUFFER, self.on_output, kind, announced
            )

    def report(self):
        with self.lock:
            first = ["none" if t is None else "%.3f" % t for t in (self.first["video"], self.first["audio"])]
            line = "SENT video=%d audio=%d video_first=%s audio_first=%s\n" % (
                self.count["video"],
                self.count["audio"],
                first[0],
                first[1],
            )
        sys.stdout.write(line)
        sys.stdout.flush()


def serve_camera(factory, mode):
    def configure(_factory, media):
        session = CameraSession(mode)
        media.connect("prepared", session.attach)
        media.connect("unprepared", lambda _media: session.report())

    factory.set_launch(camera_launch(mode))
    factory.connect("media-configure", configure)


def require_credentials(server, factory, method, credentials):
    """Lets only USER:PASSWORD in, by the given method, with the rights to build and play the stream."""
    user, _, password = credentials.partition(":")
    auth = GstRtspServer.RTSPAuth()
    token = GstRtspServer.RTSPToken()
    token.set_string(GstRtspServer.RTSP_TOKEN_MEDIA_FACTORY_ROLE, "viewer")
    if method == "basic":
        auth.add_basic(GstRtspServer.RTSPAuth.make_basic(user, password), token)
        auth.set_supported_methods(GstRtsp.RTSPAuthMethod.BASIC)
    else:
        auth.add_digest(user, password, token)
        auth.set_supported_methods(GstRtsp.RTSPAuthMethod.DIGEST)
    server.set_auth(auth)
    factory.add_role_from_structure(
        Gst.Structure.new_from_string(
            "viewer, media.factory.access=(boolean)true, media.factory.construct=(boolean)true"
        )
    )


def main():
    args = sys.argv[1:]
    camera = None
    if args[:1] == ["--camera"]:
        if len(args) != 2 or args[1] not in CAMERA_MODES:
            sys.stderr.write(USAGE)
            return 2
        camera = args[1]
        args = []
    udp_only = args[:1] == ["--udp-only"]
    if udp_only:
        args = args[1:]
    auth = None
    if args[:1] == ["--auth"]:
        if len(args) < 3 or args[1] not in ("basic", "digest") or ":" not in args[2]:
            sys.stderr.write(USAGE)
            return 2
        auth = (args[1], args[2])
        args = args[3:]
    if camera is None and (len(args) != 1 or not os.path.isfile(args[0])):
        sys.stderr.write(USAGE)
        return 2
    Gst.init(None)
    factory = GstRtspServer.RTSPMediaFactory()
    factory.set_shared(False)
    if camera is not None:
        serve_camera(factory, camera)
    else:
        location = args[0].replace("\\", "\\\\").replace('"', '\\"')
        factory.set_launch(
            '( filesrc location="%s" ! matroskademux name=d '
            "d.video_0 ! queue ! h264parse ! rtph264pay name=pay0 pt=96 config-interval=1 "
            "d.audio_0 ! queue ! aacparse ! rtpmp4gpay name=pay1 pt=97 )" % location
        )
    if udp_only:
        factory.set_protocols(GstRtsp.RTSPLowerTrans.UDP)

    server = GstRtspServer.RTSPServer()
    server.set_address("127.0.0.1")
    server.set_service("0")  # any free port
    if auth is not None:
        require_credentials(server, factory, *auth)
    server.get_mount_points().add_factory("/stream", factory)
    if server.attach(None) == 0:
        sys.stderr.write("rtsp_server.py: cannot listen\n")
        return 1

    loop = GLib.MainLoop()

    def watch_stdin():
        try:
            while sys.stdin.read(4096):
                pass
        finally:
            GLib.idle_add(loop.quit)

    threading.Thread(target=watch_stdin, daemon=True).start()
    sys.stdout.write("READY rtsp://127.0.0.1:%d/stream\n" % server.get_bound_port())
    sys.stdout.flush()
    loop.run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
