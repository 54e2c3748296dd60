#!/usr/bin/python3
"""RTSP server for the stream tool's end-to-end tests.

Serves the H.264 video and the AAC audio of a Matroska file at rtsp://127.0.0.1:PORT/stream, paced in
real time, one fresh pipeline per client (each capture starts at the file's start). Listens on a free
port of 127.0.0.1 and prints "READY rtsp://127.0.0.1:PORT/stream" once clients can connect. Runs until
killed, or until its standard input closes (so that it never outlives a test that forgot it).

Usage: rtsp_server.py [--udp-only] [--auth basic|digest USER:PASSWORD] MEDIA.mkv

--udp-only offers RTP over UDP alone: a client that asks for TCP is answered 461.
--auth serves only a client that authenticates as USER with PASSWORD, by the one method named; any
other client is answered 401.
"""
import os
import sys
import threading

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtsp", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtsp, GstRtspServer  # noqa: E402

USAGE = "usage: rtsp_server.py [--udp-only] [--auth basic|digest USER:PASSWORD] MEDIA.mkv\n"


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
    if len(args) != 1 or not os.path.isfile(args[0]):
        sys.stderr.write(USAGE)
        return 2
    Gst.init(None)
    location = args[0].replace("\\", "\\\\").replace('"', '\\"')
    launch = (
        '( filesrc location="%s" ! matroskademux name=d '
        "d.video_0 ! queue ! h264parse ! rtph264pay name=pay0 pt=96 config-interval=1 "
        "d.audio_0 ! queue ! aacparse ! rtpmp4gpay name=pay1 pt=97 )" % location
    )
    factory = GstRtspServer.RTSPMediaFactory()
    factory.set_launch(launch)
    factory.set_shared(False)
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
