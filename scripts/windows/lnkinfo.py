#!/usr/bin/env python3
"""Prints what a Windows shortcut (.lnk) starts, one fact a line:

    target C:\\Program Files\\...\\tunaris-console.exe
    workdir C:\\Program Files\\...\\bin
    arguments
    icon C:\\Program Files\\...\\tunaris-console.exe 0

so that check.sh starts the installed console exactly as the shortcut would.
Reads the binary shell link format: the header, the item list (skipped), the
link information with the target's local path, then the counted strings.
Exits with status 1 and a message on a file that is not such a shortcut."""

import struct
import sys

HAS_ID_LIST, HAS_LINK_INFO, HAS_NAME, HAS_RELATIVE_PATH = 0x1, 0x2, 0x4, 0x8
HAS_WORKING_DIR, HAS_ARGUMENTS, HAS_ICON_LOCATION, IS_UNICODE = 0x10, 0x20, 0x40, 0x80


def c_string(data, offset, wide):
    if wide:
        end = offset
        while data[end:end + 2] != b"\0\0":
            end += 2
        return data[offset:end].decode("utf-16-le")
    return data[offset:data.index(b"\0", offset)].decode("mbcs" if sys.platform == "win32" else "latin-1")


def read(path):
    with open(path, "rb") as f:
        data = f.read()
    if len(data) < 0x4C or struct.unpack_from("<I", data, 0)[0] != 0x4C:
        raise ValueError("not a shell link")
    flags, = struct.unpack_from("<I", data, 0x14)
    icon_index, = struct.unpack_from("<i", data, 0x38)
    offset = 0x4C
    if flags & HAS_ID_LIST:
        size, = struct.unpack_from("<H", data, offset)
        offset += 2 + size
    target = None
    if flags & HAS_LINK_INFO:
        info = data[offset:]
        size, header_size, info_flags, _volume, base, _network, suffix = struct.unpack_from("<7I", info, 0)
        if info_flags & 1:  # on a local volume
            if header_size >= 0x24:
                base_w, suffix_w = struct.unpack_from("<2I", info, 28)
                target = c_string(info, base_w, True) + c_string(info, suffix_w, True)
            else:
                target = c_string(info, base, False) + c_string(info, suffix, False)
        offset += size
    wide = bool(flags & IS_UNICODE)
    strings = {}
    for flag, key in ((HAS_NAME, "name"), (HAS_RELATIVE_PATH, "relative"), (HAS_WORKING_DIR, "workdir"),
                      (HAS_ARGUMENTS, "arguments"), (HAS_ICON_LOCATION, "icon")):
        if flags & flag:
            count, = struct.unpack_from("<H", data, offset)
            offset += 2
            size = count * (2 if wide else 1)
            raw = data[offset:offset + size]
            # Some writers count the terminating NUL as well.
            strings[key] = (raw.decode("utf-16-le") if wide else raw.decode("latin-1")).rstrip("\0")
            offset += size
    if target is None:
        raise ValueError("no local target path")
    return target, strings, icon_index


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: lnkinfo.py SHORTCUT.lnk")
    try:
        target, strings, icon_index = read(sys.argv[1])
    except (OSError, ValueError, struct.error, IndexError) as error:
        sys.exit(f"lnkinfo.py: {sys.argv[1]}: {error}")
    print("target", target)
    print("workdir", strings.get("workdir", ""))
    print("arguments", strings.get("arguments", ""))
    print("icon", strings.get("icon", ""), icon_index)


if __name__ == "__main__":
    main()
