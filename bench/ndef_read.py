"""`zelvorn ndef read` of a 100-byte message on each card family, counted
from the tool's USB capture against the fewest commands the card's layout
allows:

- MIFARE Classic 1K, formatted by `zelvorn ndef format`: the MAD (sector 0's
  login and blocks 1 to 3), then a login to each sector holding the TLV and
  a read of each block it covers;
- Type 2 tags (NTAG213/215/216): the pages from the capability container
  (page 3) to the last page of the message, and no other;
- a Type 4 tag (the demo scenario's processor card, MLe 59): the NDEF
  application, the capability container file, the NDEF file and the
  message in answers of MLe bytes.

  /usr/bin/python3 bench/ndef_read.py TOOL [--check]

With --check it fails when a read takes more than the fewest, or a reply
more USB reads than its frame needs.
"""

import json
import math
import os
import subprocess
import sys
import tempfile

from usb_capture import Capture

HERE = os.path.dirname(os.path.abspath(__file__))
DEMO = os.path.join(HERE, "..", "tool", "scenarios", "demo.json")
SERIAL_A = "5A4E4446"
SERIAL_7 = "04112233445566"
LOGIN, READ_BLOCK = 0x02, 0x06
FAST_READ, READ = 0x3A, 0x30
TYPE4_MLE = 59
MESSAGE_LENGTH = 100


def message():
    """A 100-byte NDEF message: one Text record (en) in a short record."""
    text = b"x" * (MESSAGE_LENGTH - 7)
    payload = b"\x02en" + text
    return bytes([0xD1, 0x01, len(payload), 0x54]) + payload


def tlv_length(n):
    return n + (2 if n < 255 else 4)


def run(tool, args, tmp):
    done = subprocess.run([tool] + args, capture_output=True, text=True, timeout=60, cwd=tmp)
    if done.returncode != 0:
        raise SystemExit("zelvorn %s failed: %s" % (" ".join(args), done.stderr))
    return done.stdout


def classic(tool, tmp, raw):
    scenario = os.path.join(tmp, "classic.json")
    with open(scenario, "w") as f:
        json.dump({"cards": [{"type": "mifare-classic-1k", "serial": SERIAL_A}]}, f)
    base = ["--scenario", scenario, "--state", os.path.join(tmp, "classic.state")]
    run(tool, base + ["ndef", "format"], tmp)
    run(tool, base + ["ndef", "write", "--raw", raw], tmp)
    capture = read(tool, base, tmp, "classic")
    taken = len(capture.commands(LOGIN)) + len(capture.commands(READ_BLOCK))
    blocks = math.ceil(tlv_length(MESSAGE_LENGTH) / 16)
    sectors = math.ceil(blocks / 3)
    fewest = (1 + sectors) + (3 + blocks)
    return "MIFARE Classic 1K", "logins and block reads", taken, fewest, capture


def type2(tool, tmp, raw, kind):
    scenario = os.path.join(tmp, kind + ".json")
    with open(scenario, "w") as f:
        json.dump({"cards": [{"type": kind, "serial": SERIAL_7}]}, f)
    base = ["--scenario", scenario, "--state", os.path.join(tmp, kind + ".state")]
    run(tool, base + ["ndef", "write", "--raw", raw], tmp)
    # Where the message ends in the tag's memory: the factory's Lock
    # Control TLV, where the product has one, comes before it.
    image = os.path.join(tmp, kind + ".bin")
    run(tool, base + ["ultralight", "dump", "-o", image], tmp)
    with open(image, "rb") as f, open(raw, "rb") as m:
        memory, written = f.read(), m.read()
    end = memory.index(written) + len(written)
    capture = read(tool, base, tmp, kind)
    pages = 0
    for frame in capture.telegram_frames():
        if frame[:1] == bytes([FAST_READ]):
            pages += frame[2] - frame[1] + 1
        elif frame[:1] == bytes([READ]):
            pages += 4
    fewest = math.ceil(end / 4) - 3
    return kind.upper(), "pages read", pages, fewest, capture


def type4(tool, tmp, raw):
    with open(DEMO) as f:
        card = next(c for c in json.load(f)["cards"] if c["type"] == "iso14443-4")
    with open(raw, "rb") as f:
        written = f.read()
    # The NDEF file: NLEN, then the message.
    content = len(written).to_bytes(2, "big") + written
    for application in card["files"]:
        for ef in application.get("files", []):
            if ef["fid"] == "E104":
                ef["data"] = content.hex().upper()
    scenario = os.path.join(tmp, "type4.json")
    with open(scenario, "w") as f:
        json.dump({"cards": [card]}, f)
    capture = read(tool, ["--scenario", scenario], tmp, "type4")
    # Command APDUs: I-blocks from the reader without the chaining bit.
    apdus = sum(1 for f in capture.telegram_frames() if f[0] & 0xE2 == 0x02 and not f[0] & 0x10)
    fewest = 4 + math.ceil((2 + MESSAGE_LENGTH) / TYPE4_MLE)
    return "Type 4 (processor card)", "APDUs", apdus, fewest, capture


def read(tool, base, tmp, name):
    path = os.path.join(tmp, name + ".pcap")
    out = run(tool, base + ["--capture", path, "ndef", "read", "--json"], tmp)
    records = json.loads(out)["records"]
    if len(records) != 1 or len(records[0]["text"]) != MESSAGE_LENGTH - 7:
        raise SystemExit("%s: the message read back is not the one written: %s" % (name, out))
    return Capture(path)


def main():
    tool = os.path.abspath(sys.argv[1])
    check = "--check" in sys.argv
    ok = True
    print("| card | counted | taken | fewest | exchanges (control transfers) | "
          "interrupt reads | fewest reads |")
    print("|---|---|--:|--:|--:|--:|--:|")
    with tempfile.TemporaryDirectory() as tmp:
        raw = os.path.join(tmp, "message.ndef")
        with open(raw, "wb") as f:
            f.write(message())
        rows = [classic(tool, tmp, raw)]
        rows += [type2(tool, tmp, raw, kind) for kind in ("ntag213", "ntag215", "ntag216")]
        rows.append(type4(tool, tmp, raw))
    for name, counted, taken, fewest, capture in rows:
        print("| %s | %s | %d | %d | %d | %d | %d |" % (
            name, counted, taken, fewest, len(capture.packets), capture.reads,
            capture.fewest_reads))
        if check and (taken != fewest or capture.reads != capture.fewest_reads):
            print("%s: more than the fewest" % name, file=sys.stderr)
            ok = False
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
