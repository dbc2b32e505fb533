#!/usr/bin/env python3
"""Prints what Windows itself reads from an executable's headers and resources:
the subsystem (gui or console), every resource as "resource TYPE NAME", and the
manifest on one line. Used by check.sh; needs nothing but Python.

    peinfo.py program.exe
"""
import struct
import sys

SUBSYSTEMS = {2: "gui", 3: "console"}
RESOURCE_TYPES = {3: "ICON", 14: "GROUP_ICON", 16: "VERSION", 24: "MANIFEST"}


class NotPE(Exception):
    pass


def read_pe(data):
    if data[:2] != b"MZ":
        raise NotPE("no MZ header")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise NotPE("no PE signature")
    sections_count, = struct.unpack_from("<H", data, pe + 6)
    optional_size, = struct.unpack_from("<H", data, pe + 20)
    optional = pe + 24
    magic, = struct.unpack_from("<H", data, optional)
    if magic not in (0x10B, 0x20B):
        raise NotPE("unknown optional header 0x%x" % magic)
    subsystem, = struct.unpack_from("<H", data, optional + 68)
    directories = optional + (96 if magic == 0x10B else 112)
    resource_rva, resource_size = struct.unpack_from("<II", data, directories + 2 * 8)
    sections = []
    for i in range(sections_count):
        base = optional + optional_size + 40 * i
        virtual_size, virtual_address, raw_size, raw_pointer = struct.unpack_from("<IIII", data, base + 8)
        sections.append((virtual_address, max(virtual_size, raw_size), raw_pointer))
    return subsystem, resource_rva, resource_size, sections


def file_offset(sections, rva):
    for virtual_address, size, raw_pointer in sections:
        if virtual_address <= rva < virtual_address + size:
            return raw_pointer + rva - virtual_address
    raise NotPE("address 0x%x lies in no section" % rva)


def resources(data, root, offset=0, path=()):
    """Yields (type, name, language, data offset, size) for every resource."""
    named, numbered = struct.unpack_from("<HH", data, root + offset + 12)
    for i in range(named + numbered):
        name, target = struct.unpack_from("<II", data, root + offset + 16 + 8 * i)
        if name & 0x80000000:
            at = root + (name & 0x7FFFFFFF)
            length, = struct.unpack_from("<H", data, at)
            key = data[at + 2:at + 2 + 2 * length].decode("utf-16-le")
        else:
            key = name
        if target & 0x80000000:
            if len(path) >= 2:
                raise NotPE("resource tree deeper than three levels")
            yield from resources(data, root, target & 0x7FFFFFFF, path + (key,))
        else:
            rva, size = struct.unpack_from("<II", data, root + target)
            yield path + (key, rva, size)


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: peinfo.py program.exe")
    try:
        with open(sys.argv[1], "rb") as file:
            data = file.read()
        subsystem, resource_rva, resource_size, sections = read_pe(data)
        print("subsystem", SUBSYSTEMS.get(subsystem, str(subsystem)))
        if not resource_size:
            return
        root = file_offset(sections, resource_rva)
        for kind, name, _language, rva, size in resources(data, root):
            print("resource", RESOURCE_TYPES.get(kind, kind), name)
            if kind == 24:
                start = file_offset(sections, rva)
                text = data[start:start + size].decode("utf-8", "replace")
                print("manifest", " ".join(text.split()))
    except (OSError, NotPE, struct.error) as error:
        sys.exit("peinfo.py: %s: %s" % (sys.argv[1], error))


if __name__ == "__main__":
    main()
