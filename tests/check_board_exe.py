#!/usr/bin/env python3
"""Fails when a board binary holds an instruction the Galileo's Quark X1000
cannot run (it has the Pentium instruction set only) or imports a DLL other
than kernel32, advapi32 and msvcrt.

    check_board_exe.py OBJDUMP EXE
"""
import re
import subprocess
import sys

ALLOWED_DLLS = {"kernel32.dll", "advapi32.dll", "msvcrt.dll"}

# AT&T mnemonics and operands from objdump -d. CMOV and FCMOV, FCOMI and
# FUCOMI came with the Pentium Pro; MMX and SSE use their own registers or
# these mnemonics; LOCK is refused too.
# Each pattern reads the mnemonic, or the operands where it says so.
FORBIDDEN = [
    ("CMOV", "mnemonic", re.compile(r"^f?cmov")),
    ("FCOMI/FUCOMI", "mnemonic", re.compile(r"^fu?comip?$")),
    ("LOCK prefix", "mnemonic", re.compile(r"^lock$")),
    ("MMX/SSE register", "operands", re.compile(r"%x?mm\d|%ymm\d")),
    ("SSE instruction", "mnemonic",
     re.compile(r"^(ldmxcsr|stmxcsr|[slm]fence|prefetch\w*|clflush|movnti|maskmovq|emms|fxsave|fxrstor)$")),
]


def problems(objdump, exe):
    found = []
    disassembly = subprocess.run([objdump, "-d", "--no-show-raw-insn", exe], check=True, capture_output=True, text=True)
    for line in disassembly.stdout.splitlines():
        parts = line.split("\t")
        if len(parts) < 2 or not parts[0].strip().endswith(":"):
            continue
        mnemonic, _, operands = parts[1].strip().partition(" ")
        fields = {"mnemonic": mnemonic, "operands": operands}
        for name, field, pattern in FORBIDDEN:
            if pattern.search(fields[field]):
                found.append(f"{name}: {line.strip()}")
    headers = subprocess.run([objdump, "-p", exe], check=True, capture_output=True, text=True)
    dlls = re.findall(r"DLL Name: (\S+)", headers.stdout)
    if not dlls:
        found.append("no import table found")
    found += [f"import: {dll}" for dll in dlls if dll.lower() not in ALLOWED_DLLS]
    return found


def main():
    objdump, exe = sys.argv[1:3]
    found = problems(objdump, exe)
    for problem in found[:50]:
        print(problem)
    if found:
        print(f"{exe}: {len(found)} problem(s) for the board's Pentium-class CPU")
        return 1
    print(f"{exe}: Pentium instructions only; imports: kernel32, advapi32, msvcrt")
    return 0


if __name__ == "__main__":
    sys.exit(main())
