#!/usr/bin/env python3
"""The typical card read from Python through ctypes: open the first reader,
select the card, log in to sector 0 with key A and read block 1.

    python3 read_card.py [LIBRARY]

LIBRARY defaults to libzelvorn.so.1 (zelvorn.dll on Windows); give the
virtual library (libzelvorn-virtual.so) to run on emulated cards.
"""
import ctypes
import sys

RESULT_OK = 0
KEYTYPE_A = 0xAA


def load(path):
    lib = ctypes.CDLL(path)
    u8p = ctypes.POINTER(ctypes.c_uint8)
    i16 = ctypes.c_int16
    for name, args in {
        "Zelvorn_Open": [i16],
        "Zelvorn_Close": [i16],
        "Zelvorn_Select": [i16, u8p, u8p, u8p],
        "Zelvorn_Login": [i16, ctypes.c_uint8, ctypes.c_uint8, ctypes.c_uint8, u8p],
        "Zelvorn_Read": [i16, ctypes.c_uint8, u8p],
    }.items():
        function = getattr(lib, name)
        function.argtypes = args
        function.restype = i16
    return lib


def main():
    default = "zelvorn.dll" if sys.platform == "win32" else "libzelvorn.so.1"
    lib = load(sys.argv[1] if len(sys.argv) > 1 else default)

    reader = lib.Zelvorn_Open(0)
    if reader < 0:
        sys.exit(f"read_card.py: Zelvorn_Open failed: {reader}")
    card_type = ctypes.c_uint8()
    serial_length = ctypes.c_uint8()
    serial = (ctypes.c_uint8 * 10)()
    key = (ctypes.c_uint8 * 6)(*[0xFF] * 6)
    block = (ctypes.c_uint8 * 16)()
    try:
        result = lib.Zelvorn_Select(reader, ctypes.byref(card_type), ctypes.byref(serial_length), serial)
        if result == RESULT_OK:
            result = lib.Zelvorn_Login(reader, 0, KEYTYPE_A, 0, key)
        if result == RESULT_OK:
            result = lib.Zelvorn_Read(reader, 1, block)
    finally:
        lib.Zelvorn_Close(reader)
    if result != RESULT_OK:
        sys.exit(f"read_card.py: reading block 1 failed: {result}")

    data = bytes(block)
    print(f"card type {card_type.value:02X}, serial {bytes(serial[:serial_length.value]).hex().upper()}")
    text = "".join(chr(b) if 0x20 <= b < 0x7F else "." for b in data)
    print(f"block 1: {data.hex(' ').upper()}  |{text}|")


if __name__ == "__main__":
    main()
