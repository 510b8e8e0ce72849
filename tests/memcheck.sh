#!/usr/bin/env bash
# valgrind memcheck on a full rename and on a refused one, and on a rename of a
# SYSTEM hive: no memory errors at all, and after a full rename no byte
# definitely or indirectly lost.
set -euo pipefail
velmora=$1
store=$(mktemp -d)
trap 'rm -rf "$store"' EXIT
export XDG_STATE_HOME=$store LC_ALL=C
params=$store/velmora/registry/HKEY_LOCAL_MACHINE/SYSTEM/ControlSet001/Services/Tcpip/Parameters
mkdir -p "$params" "$store/velmora/registry/HKEY_LOCAL_MACHINE/SYSTEM/ControlSet001/Control/ComputerName/"{ComputerName,ActiveComputerName}
seed() {
    printf "REG_SZ\n$1\0" > "$params/Hostname"
    printf "REG_SZ\n$1\0" > "$params/NV Hostname"
    for key in ComputerName ActiveComputerName; do
        printf "REG_SZ\n$2\0" > "$store/velmora/registry/HKEY_LOCAL_MACHINE/SYSTEM/ControlSet001/Control/ComputerName/$key/ComputerName"
    done
}
memcheck=(valgrind --quiet --error-exitcode=99 --leak-check=full)

seed GALILEO galileo
status=0
"${memcheck[@]}" --errors-for-leak-kinds=definite,indirect "$velmora" NEWNAME >/dev/null || status=$?
[ "$status" -eq 0 ] || { echo "full rename: status $status"; exit 1; }

# Values whose data ends without a NUL: nothing may be read past them.
seed GALILEO GALILEO
printf 'REG_SZ\nGALILEO' > "$params/Hostname"
printf 'REG_SZ\nGALILEO' > "$params/NV Hostname"
status=0
"${memcheck[@]}" --errors-for-leak-kinds=definite,indirect "$velmora" UNENDED >/dev/null || status=$?
[ "$status" -eq 0 ] || { echo "rename of values without a NUL: status $status"; exit 1; }

seed GALILEO OTHER
status=0
"${memcheck[@]}" --errors-for-leak-kinds=none "$velmora" NEWNAME >/dev/null 2>"$store/err" || status=$?
grep -q '^Name Mismatch : ' "$store/err" || { cat "$store/err"; exit 1; }
[ "$status" -eq 1 ] || { cat "$store/err"; echo "refused rename: status $status"; exit 1; }
# A rename of a SYSTEM hive.
/usr/bin/python3 "$(dirname "$0")/hive_fixture.py" card "$store/SYSTEM"
status=0
VELMORA_SYSTEM_HIVE=$store/SYSTEM "${memcheck[@]}" --errors-for-leak-kinds=definite,indirect "$velmora" HIVENAME \
    >/dev/null || status=$?
[ "$status" -eq 0 ] || { echo "hive rename: status $status"; exit 1; }
# The same hive left dirty: its logs replayed, then renamed.
/usr/bin/python3 - "$(dirname "$0")" "$store/SYSTEM" <<'PY'
import sys
sys.path.insert(0, sys.argv[1])
import hive_fixture as f
f.dirty(sys.argv[2], lambda h: h.node_set_value(f.add(h, h.root(), r"ControlSet001\Services\Tcpip\Parameters"),
                                                {"key": "Domain", "t": 1, "value": f.sz("from.log")}))
PY
status=0
VELMORA_SYSTEM_HIVE=$store/SYSTEM "${memcheck[@]}" --errors-for-leak-kinds=definite,indirect "$velmora" DIRTYNAME \
    >/dev/null 2>"$store/err" || status=$?
grep -Eq ': replayed [0-9]+ log entries from SYSTEM.LOG1 and SYSTEM.LOG2' "$store/err" || { cat "$store/err"; exit 1; }
[ "$status" -eq 0 ] || { cat "$store/err"; echo "dirty hive rename: status $status"; exit 1; }
echo "memcheck: no errors; nothing lost after a full rename, of the store, of a hive, or of a dirty hive"
