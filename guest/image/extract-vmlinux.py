#!/usr/bin/python3
"""Extracts the uncompressed ELF vmlinux from an x86 bzImage.

The boot protocol header (2.08+) gives the compressed payload's offset and
length inside the protected-mode part; the payload's magic says how it is
compressed (gzip, xz, lz4 legacy, zstd). The result must be an ELF64 file.

usage: extract-vmlinux.py BZIMAGE OUTPUT
"""

import gzip
import lzma
import struct
import subprocess
import sys


def payload(image):
    if len(image) < 0x250 or image[0x202:0x206] != b"HdrS":
        raise SystemExit("extract-vmlinux: not a bzImage (no HdrS header)")
    version = struct.unpack_from("<H", image, 0x206)[0]
    if version < 0x208:
        raise SystemExit(f"extract-vmlinux: boot protocol {version:#x} has no payload fields")
    setup_sects = image[0x1F1] or 4
    offset, length = struct.unpack_from("<II", image, 0x248)
    start = (setup_sects + 1) * 512 + offset
    if start + length > len(image):
        raise SystemExit("extract-vmlinux: payload lies outside the file")
    return image[start:start + length]


def decompress(data):
    if data[:2] == b"\x1f\x8b":
        return gzip.decompress(data)
    if data[:6] == b"\xfd7zXZ\x00":
        return lzma.decompress(data)
    # lz4 (legacy frame, as the kernel writes it) and zstd: Debian's tools.
    for magic, tool in ((b"\x02\x21\x4c\x18", ["lz4", "-dc"]), (b"\x28\xb5\x2f\xfd", ["zstd", "-dcq"])):
        if data[:4] == magic:
            done = subprocess.run(tool, input=data, capture_output=True)
            # The kernel appends the uncompressed size after the stream,
            # which the tools may report as trailing garbage: keep output.
            if not done.stdout:
                raise SystemExit(f"extract-vmlinux: {tool[0]} failed: {done.stderr.decode().strip()}")
            return done.stdout
    raise SystemExit(f"extract-vmlinux: unknown payload compression (magic {data[:4].hex()})")


def main():
    if len(sys.argv) != 3:
        raise SystemExit(__doc__)
    with open(sys.argv[1], "rb") as f:
        image = f.read()
    vmlinux = decompress(payload(image))
    if vmlinux[:4] != b"\x7fELF" or vmlinux[4] != 2:
        raise SystemExit("extract-vmlinux: the payload is not an ELF64 kernel")
    with open(sys.argv[2], "wb") as f:
        f.write(vmlinux)
    print(f"extract-vmlinux: {len(vmlinux)} bytes")


if __name__ == "__main__":
    main()
