#!/usr/bin/env python3
"""Checks that the four fixed identifiers agree everywhere they are written.

usage: check_identifiers.py IDL TLB RGS IDENTIFIERS_CPP

Every uuid(...) of the IDL must appear unchanged (as stored: little-endian fields) in the type
library that widl built from it; the identifiers compiled into the code must be exactly those
of the IDL; the registration script must name the CLSID and the LIBID and no other GUID.
Prints one line per check and "N passed, N failed"; exits with the failure count.
"""
import re
import sys
import uuid


def main(idl_path, tlb_path, rgs_path, cpp_path):
    results = []

    def check(ok, what):
        results.append(ok)
        print(("  ok     " if ok else "  FAILED ") + what)

    idl = open(idl_path, encoding="utf-8").read()
    idl_guids = [uuid.UUID(g) for g in re.findall(r"uuid\(([0-9A-Fa-f-]{36})\)", idl)]
    check(len(idl_guids) == 4, f"the IDL declares four identifiers ({len(idl_guids)} found)")

    tlb = open(tlb_path, "rb").read()
    for g in idl_guids:
        check(g.bytes_le in tlb, f"{str(g).upper()} is stored unchanged in the type library")

    cpp = open(cpp_path, encoding="utf-8").read()
    cpp_guids = []
    for m in re.finditer(r"=\s*\{\s*0x([0-9A-Fa-f]+),\s*0x([0-9A-Fa-f]+),\s*0x([0-9A-Fa-f]+),"
                         r"\s*\{([^}]*)\}", cpp):
        tail = bytes(int(b, 16) for b in re.findall(r"0x([0-9A-Fa-f]+)", m.group(4)))
        cpp_guids.append(uuid.UUID(fields=(int(m.group(1), 16), int(m.group(2), 16),
                                           int(m.group(3), 16), tail[0], tail[1],
                                           int.from_bytes(tail[2:], "big"))))
    check(sorted(cpp_guids) == sorted(idl_guids),
          "the identifiers in the code are those of the IDL")

    rgs = open(rgs_path, encoding="utf-8").read()
    rgs_guids = {uuid.UUID(g) for g in re.findall(r"\{([0-9A-Fa-f-]{36})\}", rgs)}
    libid = uuid.UUID(re.search(r"uuid\(([0-9A-Fa-f-]{36})\)[^]]*\]\s*library", idl,
                                re.S).group(1))
    clsid = uuid.UUID(re.search(r"uuid\(([0-9A-Fa-f-]{36})\)[^]]*\]\s*coclass", idl,
                                re.S).group(1))
    check(rgs_guids == {libid, clsid},
          "the registration script names exactly the CLSID and the LIBID of the IDL")

    failed = results.count(False)
    print(f"{len(results) - failed} passed, {failed} failed")
    return failed


if __name__ == "__main__":
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    sys.exit(main(*sys.argv[1:]))
