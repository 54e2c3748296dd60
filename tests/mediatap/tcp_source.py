#!/usr/bin/python3
"""A byte-stream source that stalls, for the stream tool's end-to-end tests.

Listens on a free port of 127.0.0.1, prints "READY tcp://127.0.0.1:PORT" and sends the first half of
FILE to the first client, then sends nothing more and keeps the connection open until its standard input
closes.

Usage: tcp_source.py FILE
"""
import socket
import sys


def main():
    if len(sys.argv) != 2:
        sys.stderr.write("usage: tcp_source.py FILE\n")
        return 2
    with open(sys.argv[1], "rb") as source:
        data = source.read()
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    sys.stdout.write("READY tcp://127.0.0.1:%d\n" % listener.getsockname()[1])
    sys.stdout.flush()
    client, _ = listener.accept()
    client.sendall(data[: len(data) // 2])
    while sys.stdin.read(4096):
        pass
    client.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
