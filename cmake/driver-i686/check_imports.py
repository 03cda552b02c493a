#!/usr/bin/env python3
"""The i686 driver's import check.

Every symbol the driver's objects leave undefined is an import of the driver image. Each one
must be exported, under its decorated name (_Name@bytes for stdcall, @Name@bytes for
fastcall, _Name for cdecl), by one of mingw-w64's genuine import libraries (ntoskrnl, hal,
netio), or be listed, with its module, in the checked-in list of the fwpkclnt.sys and KMDF
routines that mingw does not ship. A routine Windows does not export, or one declared with the
wrong calling convention (so with another decoration), is reported and fails the build, as
the link would on Windows. The symbol tables are read with binutils' nm.
"""
import argparse
import subprocess
import sys

LISTED_MODULES = ("fwpkclnt.sys", "Wdf01000.sys")


def nm(tool, path, *flags):
    out = subprocess.run([tool, "--no-sort", *flags, path], check=True, capture_output=True, text=True).stdout
    for line in out.splitlines():
        fields = line.split()
        if len(fields) >= 2 and not line.endswith(":"):
            yield fields[-2], fields[-1]


def exports_of(tool, library):
    # An import library has a member per export, defining its import address slot (I,
    # __imp_<decorated name>) and, for a routine, its thunk (T, <decorated name>); exported
    # variables (PsProcessType) have the slot only.
    names = set()
    for kind, name in nm(tool, library):
        if kind == "T":
            names.add(name)
        elif kind == "I" and name.startswith("__imp_"):
            names.add(name[len("__imp_"):])
    return names


def read_listed(path):
    listed = {}
    errors = []
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            text = line.split("#", 1)[0].strip()
            if not text:
                continue
            fields = text.split()
            if len(fields) != 2 or fields[0] not in LISTED_MODULES:
                errors.append(f"{path}:{number}: expected '<{'|'.join(LISTED_MODULES)}> <decorated name>'")
                continue
            listed[fields[1]] = fields[0]
    return listed, errors


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--nm", required=True)
    parser.add_argument("--import-lib", action="append", required=True)
    parser.add_argument("--listed", required=True)
    parser.add_argument("--objects", nargs="+", required=True)
    args = parser.parse_args()

    defined, undefined = set(), {}
    for obj in args.objects:
        for kind, name in nm(args.nm, obj):
            if kind == "U":
                undefined.setdefault(name, obj)
            else:
                defined.add(name)
    imports = {name: obj for name, obj in undefined.items() if name not in defined}

    exporters = {}
    for library in args.import_lib:
        for name in exports_of(args.nm, library):
            exporters.setdefault(name, library)
    listed, errors = read_listed(args.listed)

    for name in sorted(listed):
        if name in exporters:
            errors.append(f"{args.listed}: {name} is exported by {exporters[name]}; only routines mingw does not ship belong in the list")

    used_listed = set()
    for reference in sorted(imports):
        # Calls through an import table reference __imp_<decorated name>.
        name = reference[len("__imp_"):] if reference.startswith("__imp_") else reference
        if name in exporters:
            continue
        if name in listed:
            used_listed.add(name)
            continue
        errors.append(f"{imports[reference]}: imports {reference}, which neither ntoskrnl, hal nor netio exports "
                      f"and {args.listed} does not list (a routine Windows does not export, or a wrong calling convention)")

    for name in sorted(set(listed) - used_listed):
        errors.append(f"{args.listed}: {listed[name]} {name} is listed but no driver object imports it")

    for error in errors:
        print(error, file=sys.stderr)
    if errors:
        return 1
    print(f"driver imports: {len(imports)} routines, {len(imports) - len(used_listed)} from ntoskrnl/hal/netio, "
          f"{len(used_listed)} listed fwpkclnt/KMDF")
    return 0


if __name__ == "__main__":
    sys.exit(main())
