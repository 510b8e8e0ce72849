#!/usr/bin/env bash
# velmora-card.exe imports Windows' own DLLs only: nothing a PC would have to
# be given beside the exe.
set -euo pipefail
objdump=$1
exe=$2
imports=$("$objdump" -p "$exe" | sed -n 's/^\tDLL Name: //p' | sort -f | tr '\n' ' ')
for dll in $imports; do
    case ${dll,,} in
    kernel32.dll | msvcrt.dll | advapi32.dll) ;;
    *) echo "$exe imports $dll, which is no system DLL" >&2; exit 1 ;;
    esac
done
echo "$exe imports: $imports"
