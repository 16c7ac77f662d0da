# A BitTorrent peer on 127.0.0.1 that misbehaves in one way after a correct handshake.
# usage: misbehaving_peer.py MODE PIECE_COUNT
#   bitfield:    a bitfield one byte too long
#   oversized:   a message longer than any block
#   unrequested: a piece nobody asked for
#   badhash:     answers every request with bytes that fail the piece check
# Prints "port N", then "connection K closed" as each connection ends.
import os
import socket
import struct
import sys

mode, pieces = sys.argv[1], int(sys.argv[2])
server = socket.socket()
server.bind(("127.0.0.1", 0))
server.listen(8)
print("port", server.getsockname()[1], flush=True)


def read_exact(conn, n):
    data = b""
    while len(data) < n:
        chunk = conn.recv(n - len(data))
        if not chunk:
            raise EOFError
        data += chunk
    return data


def serve(conn):
    theirs = read_exact(conn, 68)
    conn.sendall(theirs[:48] + b"-XX0001-" + os.urandom(12))
    size = (pieces + 7) // 8
    full = bytes([0xFF] * size)
    if mode == "bitfield":
        conn.sendall(struct.pack(">IB", size + 2, 5) + full + b"\0")
    else:
        conn.sendall(struct.pack(">IB", size + 1, 5) + full + struct.pack(">IB", 1, 1))
    if mode == "oversized":
        conn.sendall(struct.pack(">IB", 1 << 20, 7) + b"\0" * 4096)
    if mode == "unrequested":
        conn.sendall(struct.pack(">IBII", 9 + 16384, 7, 0, 0) + os.urandom(16384))
    while True:
        length = struct.unpack(">I", read_exact(conn, 4))[0]
        body = read_exact(conn, length)
        if mode == "badhash" and length == 13 and body[0] == 6:
            index, begin, size = struct.unpack(">III", body[1:])
            conn.sendall(struct.pack(">IBII", 9 + size, 7, index, begin) + os.urandom(size))


count = 0
while True:
    conn, _ = server.accept()
    count += 1
    try:
        serve(conn)
    except (EOFError, ConnectionError):
        pass
    conn.close()
    print("connection", count, "closed", flush=True)
