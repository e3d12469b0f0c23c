"""Prints the file version in a Windows binary's version resource, as
"a.b.c.d", and its FileVersion and ProductVersion texts, one a line."""
import struct
import sys

data = open(sys.argv[1], "rb").read()
at = data.find(struct.pack("<I", 0xFEEF04BD))
if at < 0:
    sys.exit(f"{sys.argv[1]}: no version resource")
ms, ls = struct.unpack_from("<II", data, at + 8)
print(f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}")
for key in ("FileVersion", "ProductVersion"):
    name = key.encode("utf-16-le") + b"\0\0"
    start = data.find(name, at)
    if start < 0:
        sys.exit(f"{sys.argv[1]}: no {key} text")
    start += len(name)
    start += (4 - start % 4) % 4  # the value starts on a 32-bit boundary
    end = data.find(b"\0\0", start)
    while (end - start) % 2:
        end = data.find(b"\0\0", end + 1)
    print(data[start:end].decode("utf-16-le"))
