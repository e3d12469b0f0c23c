"""The tool's USB captures (``zelvorn --capture FILE``, pcap with usbmon
records): the command frames it sent, the packets inside them, and the
interrupt reads of the replies against the fewest their frames allow."""

import math
import struct

CONTROL, INTERRUPT = 2, 1
TELEGRAM = 0x16


def records(path):
    with open(path, "rb") as f:
        data = f.read()
    pos = 24
    while pos + 16 <= len(data):
        _, _, captured, _ = struct.unpack_from("<IIII", data, pos)
        yield data[pos + 16:pos + 16 + captured]
        pos += 16 + captured


def packet(frame):
    """The packet of a command frame: STX, hexadecimal pairs, ETX."""
    return bytes.fromhex(frame[1:-1].decode())


class Capture:
    """A capture read through: the packets sent (start, frame type, L,
    command, N, data...), interrupt reads, and the fewest reads the reply
    frames allow (one per 8 bytes)."""

    def __init__(self, path):
        self.packets = []
        self.reads = self.fewest_reads = 0
        reply = b""
        for r in records(path):
            kind, transfer = chr(r[8]), r[9]
            payload = r[64:]
            # Control transfers out carrying a command frame (not the
            # descriptor requests of the open).
            if kind == "S" and transfer == CONTROL and payload[:1] == b"\x02":
                self.packets.append(packet(payload))
            elif kind == "S" and transfer == INTERRUPT:
                self.reads += 1
            elif kind == "C" and transfer == INTERRUPT:
                reply += payload
                if reply.endswith(b"\x03"):
                    self.fewest_reads += math.ceil(len(reply) / 8)
                    reply = b""

    def commands(self, code):
        """The packets of one command code."""
        return [p for p in self.packets if p[3] == code]

    def telegram_frames(self):
        """What the telegrams carried to the card (after count and option)."""
        return [p[7:-1] for p in self.commands(TELEGRAM)]
