#!/usr/bin/env python3
"""Prints testtftp's line for a file: its size and its CRC-32 (polynomial
0x04C11DB7, most significant bit first, started from 0, no final XOR),
computed independently of the program through zlib's reflected CRC."""
import sys
import zlib

REVERSE = bytes(int(f"{b:08b}"[::-1], 2) for b in range(256))


def crc(data):
    raw = zlib.crc32(data.translate(REVERSE), 0xFFFFFFFF) ^ 0xFFFFFFFF
    return int(f"{raw:032b}"[::-1], 2)


if __name__ == "__main__":
    data = open(sys.argv[1], "rb").read()
    if len(sys.argv) > 2:
        data = data[: int(sys.argv[2])]
    print(f"TestTFTP: {len(data)} bytes read, CRC is {crc(data):08X}")
