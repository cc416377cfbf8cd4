#!/usr/bin/env python3
"""Checks an import library of Q583_SP.dll as Microsoft's linker sees it.

For every function of q583_sp.h the library must define _NAME@N and
__imp__NAME@N, N being the bytes of arguments of the 32-bit __stdcall call
(worked out here from the header's prototypes), and the member that defines
them must import the plain name NAME from the DLL.  Nothing else is imported.
With "x64" the library is the 64-bit DLL's: x64 has one calling convention
and no decoration, so the symbols are NAME and __imp_NAME.

    check_stdcall_implib.py HEADER IMPLIB TOOL_PREFIX [x64]
TOOL_PREFIX: e.g. i686-w64-mingw32- (its ar, nm and objcopy are used).
Prints one line per failure and a summary; exits non-zero on failure.
"""
import pathlib
import re
import subprocess
import sys
import tempfile


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


def run(*command: str) -> str:
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout


def main() -> int:
    header, implib, prefix = sys.argv[1:4]
    x64 = sys.argv[4:5] == ["x64"]
    wanted = header_functions(header)
    failures = []
    if len(wanted) < 60:
        failures.append(f"only {len(wanted)} functions found in {header}")
    imports = {}  # decorated symbol -> imported name
    with tempfile.TemporaryDirectory() as work:
        copy = pathlib.Path(work, "implib.a")
        copy.write_bytes(pathlib.Path(implib).read_bytes())
        members = run(prefix + "ar", "t", str(copy)).split()
        subprocess.run([prefix + "ar", "x", str(copy)], cwd=work, check=True)
        for member in members:
            path = pathlib.Path(work, member)
            symbols = run(prefix + "nm", str(path)).split("\n")
            defined = [line.split()[-1] for line in symbols if re.match(r"\S+ [TI] ", line)]
            section = pathlib.Path(work, member + ".idata6")
            # Members without the section (the archive's head and tail) fail.
            subprocess.run([prefix + "objcopy", f"--dump-section=.idata$6={section}",
                            str(path), str(pathlib.Path(work, "scratch.o"))], capture_output=True)
            data = section.read_bytes() if section.exists() else b""
            if len(data) <= 2:
                continue
            name = data[2:].split(b"\0")[0].decode()  # after the two-byte hint
            for symbol in defined:
                imports[symbol] = name
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
    for failure in failures:
        print("FAIL", failure)
    print(f"{len(wanted)} functions {'by plain name' if x64 else 'with their stack sizes'} checked in {implib}: "
          f"{len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
