"""Writes the PE image checksum into a module file's optional header, as release linkers do,
so that a loader can tell a damaged file from a sound one.

    pe_checksum.py FILE
"""
import struct
import sys

CHECKSUM_IN_OPTIONAL_HEADER = 64
OPTIONAL_HEADER_IN_PE = 24


def checksum(data, field):
    total = 0
    padded = data + (b"\0" if len(data) % 2 else b"")
    for (word,) in struct.iter_unpack("<H", padded):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    # The field itself counts as zero.
    for at in (field, field + 2):
        (word,) = struct.unpack_from("<H", data, at)
        total -= word
        if total < 0:
            total += 0xFFFF
    total = (total & 0xFFFF) + (total >> 16)
    return (total & 0xFFFF) + len(data)


def main(path):
    with open(path, "rb") as f:
        data = bytearray(f.read())
    (pe,) = struct.unpack_from("<I", data, 0x3C)
    field = pe + OPTIONAL_HEADER_IN_PE + CHECKSUM_IN_OPTIONAL_HEADER
    struct.pack_into("<I", data, field, 0)
    struct.pack_into("<I", data, field, checksum(bytes(data), field))
    with open(path, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    main(sys.argv[1])
