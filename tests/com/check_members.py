#!/usr/bin/env python3
"""Compares the IOrvane members as the type library, the component's member table and the
Python binding describe them, member by member.

usage: check_members.py TYPELIB_DUMP MEMBERS_DUMP [PYTHON_MODULE_DIR]

TYPELIB_DUMP is the output of orvane_typelib_dump.exe, MEMBERS_DUMP that of
`orvane_com_reference members`; both hold one line per member:
    position dispid kind name (param:direction:type, ...) "help string"
With PYTHON_MODULE_DIR the `orvane` module found there is asked for its member list
(orvane._members()) and every member must also be reachable on orvane.CoOrvane.
Prints one line per check and "N passed, N failed"; exits with the failure count.
"""
import sys


def read_lines(path):
    with open(path, encoding="utf-8", newline=None) as f:
        return [line.rstrip("\r\n") for line in f if line.strip()]


def python_lines(module_dir):
    sys.path.insert(0, module_dir)
    import orvane  # noqa: E402  (found only once the path is set)

    lines = []
    for m in orvane._members():
        params = ", ".join(f"{name}:{direction}:{idl_type}"
                           for name, direction, idl_type in m["params"])
        lines.append(f'{m["position"]} {m["dispid"]} {m["kind"]} {m["name"]} ({params}) '
                     f'"{m["help"]}"')
    missing = sorted({m["name"] for m in orvane._members()
                      if not hasattr(orvane.CoOrvane, m["name"])})
    return lines, missing


def compare(results, label, got, want):
    if len(got) != len(want):
        print(f"  FAILED {label}: {len(got)} members instead of {len(want)}")
        results.append(False)
    for k, (g, w) in enumerate(zip(got, want)):
        if g != w:
            print(f"  FAILED {label}, member {k + 1}:\n           {g}\n    expected {w}")
            results.append(False)
            return
    results.append(len(got) == len(want))
    if results[-1]:
        print(f"  ok     {label}: {len(got)} members agree")


def main(argv):
    if len(argv) not in (3, 4):
        sys.exit(__doc__)
    results = []
    typelib = read_lines(argv[1])
    members = read_lines(argv[2])
    compare(results, "type library against the member table", typelib, members)
    if len(argv) == 4:
        py, missing = python_lines(argv[3])
        compare(results, "Python binding against the type library", py, typelib)
        results.append(not missing)
        print(("  ok     " if not missing else "  FAILED ") +
              "every member is reachable on orvane.CoOrvane" +
              (f" (missing: {', '.join(missing)})" if missing else ""))
    failed = results.count(False)
    print(f"{len(results) - failed} passed, {failed} failed")
    return failed


if __name__ == "__main__":
    sys.exit(main(sys.argv))
