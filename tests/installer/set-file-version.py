#!/usr/bin/env python3
"""Gives a copy of an executable another file and product version in its version record's fixed part
(what Windows and the installer read), so that a test can ship it as an older build of the service.
usage: set-file-version.py IN.exe OUT.exe MAJOR.MINOR.BUILD.REVISION"""
import struct
import sys

SIGNATURE = struct.pack('<I', 0xFEEF04BD)


def main():
    source, target, version = sys.argv[1:4]
    fields = [int(f) for f in version.split('.')]
    if len(fields) != 4 or any(not 0 <= f <= 0xFFFF for f in fields):
        sys.exit('set-file-version: a version has four fields of 0..65535')
    data = bytearray(open(source, 'rb').read())
    at = data.find(SIGNATURE)
    if at < 0 or data.find(SIGNATURE, at + 1) >= 0:
        sys.exit('set-file-version: no single version record in ' + source)
    high, low = (fields[0] << 16) | fields[1], (fields[2] << 16) | fields[3]
    # signature, structure version, then file version (high, low) and product version (high, low)
    struct.pack_into('<IIII', data, at + 8, high, low, high, low)
    open(target, 'wb').write(data)


if __name__ == '__main__':
    main()
