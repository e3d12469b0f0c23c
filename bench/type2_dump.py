"""A full dump of each Type 2 tag product by the tool on the virtual reader,
counted from its USB capture: the telegrams that read pages against the
fewest possible (pages / pages a telegram answer carries), every exchange of
the run (finding the tag, GET_VERSION, signature, counter too), and the USB
transfers (control transfers out, 8-byte interrupt reads in).

  /usr/bin/python3 bench/type2_dump.py TOOL [--check]

With --check it fails when the page reads take more telegrams than the
fewest, or a reply more reads than its frame needs.
"""

import json
import math
import os
import subprocess
import sys
import tempfile

from usb_capture import Capture

# Each product's pages; a telegram's answer carries at most 117 bytes.
PRODUCTS = [("ultralight", 16), ("ultralight-ev1-48", 20), ("ultralight-ev1-128", 41),
            ("ntag213", 45), ("ntag215", 135), ("ntag216", 231)]
MAX_ANSWER = 117
FAST_READ, READ = 0x3A, 0x30


def count(path):
    capture = Capture(path)
    page_telegrams = sum(1 for f in capture.telegram_frames() if f[:1] in (b"\x3a", b"\x30"))
    return len(capture.packets), capture.reads, capture.fewest_reads, page_telegrams


def main():
    tool = sys.argv[1]
    check = "--check" in sys.argv
    ok = True
    print("| tag | pages | page telegrams | fewest | exchanges (control transfers) | "
          "interrupt reads | fewest reads |")
    print("|---|--:|--:|--:|--:|--:|--:|")
    with tempfile.TemporaryDirectory() as tmp:
        for kind, pages in PRODUCTS:
            scenario = os.path.join(tmp, kind + ".json")
            with open(scenario, "w") as f:
                json.dump({"cards": [{"type": kind, "serial": "04112233445566"}]}, f)
            capture = os.path.join(tmp, kind + ".pcap")
            run = subprocess.run([tool, "--scenario", scenario, "--capture", capture,
                                  "ultralight", "dump", "-o", os.path.join(tmp, kind + ".bin")],
                                 capture_output=True, text=True, timeout=60)
            if run.returncode != 0:
                print("%s: the dump failed: %s" % (kind, run.stderr), file=sys.stderr)
                return 1
            exchanges, reads, fewest, page_telegrams = count(capture)
            # The first Ultralight has no FAST_READ: four pages a READ.
            per = 4 if kind == "ultralight" else MAX_ANSWER // 4
            least = math.ceil(pages / per)
            print("| %s | %d | %d | %d | %d | %d | %d |" % (
                kind, pages, page_telegrams, least, exchanges, reads, fewest))
            # The first Ultralight is known by reading until it refuses a
            # page: those reads come on top of the dump's.
            if check and ((kind != "ultralight" and page_telegrams != least) or reads != fewest):
                print("%s: more than the fewest" % kind, file=sys.stderr)
                ok = False
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
