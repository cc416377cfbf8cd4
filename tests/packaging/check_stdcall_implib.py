#!/usr/bin/env python3
"""Checks an import library of Q583_SP.dll as a linker sees it.

For every function of q583_sp.h the library must hold a short import object
(the form Microsoft's linker writes, which a /SAFESEH image accepts) of
Q583_SP.dll that defines _NAME@N and __imp__NAME@N and imports the plain
name NAME, N being the bytes of arguments of the 32-bit __stdcall call as
worked out here from the header's prototypes; the export list (.def) must
name the same functions with the same N.  Nothing else is imported.  With
"x64" the library is the 64-bit DLL's: x64 has one calling convention and no
decoration, so the symbols are NAME and __imp_NAME.

    check_stdcall_implib.py HEADER DEF IMPLIB [x64]
Uses llvm-readobj.  Prints one line per failure and a summary; exits
non-zero on failure.
"""
import pathlib
import re
import subprocess
import sys


def stack_bytes(params: str) -> int:
    """Bytes a 32-bit __stdcall call pushes for a parameter list."""
    params = params.strip()
    if params in ("", "void"):
        return 0
    total = 0
    for param in params.split(","):
        words = param.replace("*", " * ").split()
        if "*" in words:
            total += 4  # pointers, including function pointers' typedefs
        elif words[0] in ("double", "int64_t", "uint64_t") or words[:2] == ["long", "long"]:
            total += 8
        else:
            total += 4  # every smaller integer is widened to a 4-byte slot
    return total


def header_functions(header: str) -> dict:
    text = re.sub(r"/\*.*?\*/", " ", pathlib.Path(header).read_text(), flags=re.S)
    found = re.findall(r"Q583_API\s+\w+\s+Q583_CALL\s+(\w+)\s*\(([^)]*)\)\s*;", text)
    return {name: stack_bytes(params) for name, params in found}


def def_functions(def_file: str) -> dict:
    """NAME = NAME@N lines: {NAME: N}."""
    found = re.findall(r"^\s*(\w+)\s*=\s*(\w+)@(\d+)\s*$", pathlib.Path(def_file).read_text(), flags=re.M)
    return {name: int(size) for name, inner, size in found if inner == name}


def imported_name(symbol: str, name_type: str) -> str:
    """The name the loader looks up, by the short import object's name type."""
    if name_type in ("noprefix", "undecorate") and symbol[:1] in ("?", "@", "_"):
        symbol = symbol[1:]
    return symbol.split("@")[0] if name_type == "undecorate" else symbol


def main() -> int:
    header, def_file, implib = sys.argv[1:4]
    x64 = sys.argv[4:5] == ["x64"]
    wanted = header_functions(header)
    listed = def_functions(def_file)
    failures = []
    if len(wanted) < 60:
        failures.append(f"only {len(wanted)} functions found in {header}")
    for name in sorted(set(wanted) | set(listed)):
        if wanted.get(name) != listed.get(name):
            failures.append(f"{name}: {wanted.get(name)} bytes of arguments by the header, "
                            f"{listed.get(name)} by {def_file}")
    imports = {}  # symbol -> imported name
    report = subprocess.run(["llvm-readobj", "--coff-imports", implib], check=True, capture_output=True,
                            text=True).stdout
    for member in report.split("\nFile: ")[1:]:
        fields = dict(re.findall(r"^([\w ]+): (.*)$", "File: " + member, flags=re.M))
        if fields.get("Format") != "COFF-import-file":
            continue  # the import descriptor and the list's terminators
        if fields["File"] != "Q583_SP.dll":
            failures.append(f"an import from {fields['File']}")
        for symbol in re.findall(r"^Symbol: (.*)$", member, flags=re.M):
            public = symbol[len("__imp_"):] if symbol.startswith("__imp_") else symbol
            imports[symbol] = imported_name(public, fields.get("Name type", ""))
    for name, size in sorted(wanted.items()):
        symbols = (name, f"__imp_{name}") if x64 else (f"_{name}@{size}", f"__imp__{name}@{size}")
        for symbol in symbols:
            if symbol not in imports:
                failures.append(f"{symbol} is not defined")
            elif imports[symbol] != name:
                failures.append(f"{symbol} imports {imports[symbol]!r}, not {name!r}")
    extra = set(imports.values()) - set(wanted)
    if extra:
        failures.append("imports beyond the header: " + ", ".join(sorted(extra)))
    for failure in failures[:20]:
        print("FAIL", failure)
    if len(failures) > 20:
        print(f"FAIL ... and {len(failures) - 20} more")
    print(f"{len(wanted)} functions {'by plain name' if x64 else 'with their stack sizes'}, as the header "
          f"and the .def give them, checked in {implib}: {len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
