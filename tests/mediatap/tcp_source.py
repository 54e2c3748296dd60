#!/usr/bin/python3
"""A byte-stream source for the stream tool's end-to-end tests: one that stalls, or one that paces itself.

Listens on a free port of 127.0.0.1, prints "READY tcp://127.0.0.1:PORT" and sends the first half of
FILE to the first client, then sends nothing more and keeps the connection open until its standard input
closes. With --paced SECONDS it sends the whole file instead, evenly spread over that many seconds (as a
live source sends at the stream's own rate), then closes the connection.

Usage: tcp_source.py [--paced SECONDS] FILE
"""
import socket
import sys
import time


def send_paced(client, data, seconds):
    chunk = 4096
    started = time.monotonic()
    for at in range(0, len(data), chunk):
        due = started + seconds * at / len(data)
        time.sleep(max(0.0, due - time.monotonic()))
        client.sendall(data[at:at + chunk])


def main():
    args = sys.argv[1:]
    paced = None
    if args[:1] == ["--paced"] and len(args) >= 2:
        paced = float(args[1])
        args = args[2:]
    if len(args) != 1:
        sys.stderr.write("usage: tcp_source.py [--paced SECONDS] FILE\n")
        return 2
    with open(args[0], "rb") as source:
        data = source.read()
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    sys.stdout.write("READY tcp://127.0.0.1:%d\n" % listener.getsockname()[1])
    sys.stdout.flush()
    client, _ = listener.accept()
    if paced is None:
        client.sendall(data[: len(data) // 2])
    else:
        try:
            send_paced(client, data, paced)
        except (BrokenPipeError, ConnectionResetError):
            pass  # the client went away
        client.close()
    while sys.stdin.read(4096):
        pass
    client.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
