"""What the package costs per call over raw ctypes: Reader.read(block) against
the same Zelvorn_Read through ctypes, side by side in one process on one
virtual reader; and a call that does next to nothing, for ctypes' own share.

    python3 read_bench.py VIRTUAL_LIBRARY SCENARIO [CALLS]

make bench runs it (bench/run.sh). Each round times every variant once,
CALLS calls each, in CPU time; the table gives the median of the rounds.
"""

from __future__ import annotations

import ctypes
import statistics
import sys
import time
from pathlib import Path
from typing import Callable, Dict, List

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "src"))

import zelvorn  # noqa: E402

ROUNDS = 9


def main() -> None:
    library, scenario = sys.argv[1], sys.argv[2]
    calls = int(sys.argv[3]) if len(sys.argv) > 3 else 20000
    reader = zelvorn.open_virtual(scenario=scenario, library=library)
    reader.select()
    reader.login(0, zelvorn.TRANSPORT_KEY)
    raw_read = reader.library.raw.Zelvorn_Read
    handle = reader.port
    block_type = ctypes.c_uint8 * 16
    kept = block_type()

    def raw_kept() -> None:  # the floor: one buffer for every call, no copy out
        for _ in range(calls):
            if raw_read(handle, 1, kept):
                raise RuntimeError("Zelvorn_Read failed")

    def raw_bytes() -> None:  # what a ctypes user writes to get bytes back
        for _ in range(calls):
            data = block_type()
            if raw_read(handle, 1, data):
                raise RuntimeError("Zelvorn_Read failed")
            bytes(data)

    version = reader.library.raw.Zelvorn_RequestDLLVersion

    def ctypes_only() -> None:  # a function that does next to nothing: ctypes' own cost
        for _ in range(calls):
            version(None, None)

    def package() -> None:
        read = reader.read
        for _ in range(calls):
            read(1)

    variants: Dict[str, Callable[[], None]] = {
        "raw ctypes, Zelvorn_RequestDLLVersion(NULL, NULL)": ctypes_only,
        "raw ctypes, one buffer kept": raw_kept,
        "raw ctypes, new buffer, bytes out": raw_bytes,
        "zelvorn package, reader.read(1)": package,
    }
    if raw_read(handle, 1, kept) or reader.read(1) != bytes(kept):
        raise RuntimeError("the package and raw ctypes read different blocks")
    times: Dict[str, List[float]] = {name: [] for name in variants}
    for _ in range(ROUNDS):
        for name, run in variants.items():
            start = time.process_time_ns()
            run()
            times[name].append((time.process_time_ns() - start) / calls)
    reader.close()

    floor = statistics.median(times["raw ctypes, one buffer kept"])
    print(f"Zelvorn_Read(block 1) on the virtual reader, {calls} calls x {ROUNDS} rounds, "
          f"Python {sys.version.split()[0]}")
    print("| variant | CPU ns/call (median) | min | over raw, one buffer |")
    print("|---|--:|--:|--:|")
    for name, samples in times.items():
        median = statistics.median(samples)
        print(f"| {name} | {median:.0f} | {min(samples):.0f} | {median - floor:+.0f} |")


if __name__ == "__main__":
    main()
