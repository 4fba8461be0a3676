#!/usr/bin/env python3
"""A stranger's datagram flood for the agent's listener (run by peer.sh flood
inside a network namespace of its own).

    flood_sender.py HOST PORT COUNT SEED

Sends COUNT datagrams to HOST:PORT from four sockets (four source ports),
mixed: answers the appliance would send (acknowledgements of request ids
1..4096 naming session 2, resets, pings, "Unknown SessionID" with every
field, "Destination route is Local" teaching 0.0.0.0/0 and the whole address
range) and random bytes. Paced at about 5,000 datagrams a second. Then it
listens one second for anything sent back and prints one line:

    sent=N replies=M errors=E
"""
import random
import socket
import struct
import sys
import time


def tlv(kind, value):
    return struct.pack(">HH", kind, len(value)) + value


def datagram(request_id, message_type, tlvs):
    return bytes(8) + struct.pack(">BBHII", 2, message_type, len(tlvs), request_id, 0xDEADBEEF) + tlvs


def session(number):
    return tlv(12, bytes([0]) + struct.pack(">I", number))


def answers(rng):
    request_id = rng.randrange(1, 4097)
    return [
        lambda: datagram(request_id, 2, session(2)),
        lambda: datagram(request_id, 1, tlv(15, b"") + session(2)),
        lambda: datagram(request_id, 1, tlv(16, b"")),
        lambda: datagram(request_id, 2, tlv(13, bytes([1])) + tlv(1, bytes([0x01])) + tlv(4, struct.pack(">H", 49152))
                         + tlv(5, bytes([1])) + tlv(6, bytes([10, 1, 2, 3])) + tlv(9, bytes([93, 184, 216, 34]))
                         + tlv(10, struct.pack(">H", 443)) + session(2)),
        lambda: datagram(request_id, 2, tlv(13, bytes([4])) + tlv(7, bytes(8))
                         + tlv(8, bytes([0, 0, 0, 0, 255, 255, 255, 255])) + session(2)),
    ]


def main():
    host, port, count, seed = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
    rng = random.Random(seed)
    sockets = []
    for _ in range(4):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind(("0.0.0.0", 0))
        s.setblocking(False)
        sockets.append(s)
    sent = errors = 0
    for i in range(count):
        if rng.random() < 0.5:
            payload = rng.choice(answers(rng))()
        else:
            payload = rng.randbytes(rng.randrange(0, 600))
        try:
            sockets[i % 4].sendto(payload, (host, port))
            sent += 1
        except BlockingIOError:
            errors += 1
        except OSError:
            errors += 1
        if i % 100 == 99:
            time.sleep(0.02)
    replies = 0
    deadline = time.time() + 1.0
    while time.time() < deadline:
        for s in sockets:
            try:
                while True:
                    s.recvfrom(2048)
                    replies += 1
            except (BlockingIOError, ConnectionRefusedError):
                pass
        time.sleep(0.02)
    print("sent=%d replies=%d errors=%d" % (sent, replies, errors), flush=True)


if __name__ == "__main__":
    main()
