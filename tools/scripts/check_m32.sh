#!/usr/bin/env bash
# Compiles every driver source, the x86 port I/O and the record layout
# checks for 32-bit x86 with the host compiler (-m32, freestanding, so no
# 32-bit libraries are needed): pointer-size assumptions and the 4-byte
# pointer record sizes fail here without the cross toolchain of `make sys`.
#
# Then the calling conventions, with code generated as for the Windows
# i386 target (-freg-struct-return: an 8-byte record comes back in EDX:EAX):
#   - every routine the port driver calls (DriverEntry, the Hw* entry
#     points, the timer and requested routines) pops its own arguments
#     (stdcall), as the port driver expects;
#   - ScsiPortConvertUlongToPhysicalAddress as the platform header declares
#     it pops its 4-byte argument and returns in registers (tests/m32/);
#   - a routine of the wrong convention registered with the port driver, or
#     declared with one convention and defined with the other, does not
#     compile (tests/m32/).
#
#   tools/scripts/check_m32.sh [compiler]     (default c++)
set -uo pipefail
cd "$(dirname "$0")/../.."
CXX=${1:-c++}
FLAGS=(-m32 -ffreestanding -std=c++17 -I. -Wall -Wextra -Werror -fno-exceptions -fno-rtti)
FAILED=0
for src in miniport/*.cpp scsi/*.cpp ata/*.cpp link/*.cpp adapter/*.cpp hostport/*.cpp \
           platform/x86/*.cpp; do
    "$CXX" "${FLAGS[@]}" -fsyntax-only "$src" || { echo "FAIL: $src" >&2; FAILED=1; }
done

# The returns of each function in generated assembly, as "name operand"
# lines (operand "-" for a plain ret), names demangled without arguments.
returns() {  # source
    "$CXX" "${FLAGS[@]}" -freg-struct-return -O0 -S -o - "$1" |
        awk '/^[A-Za-z_][A-Za-z0-9_.$@]*:/ { name = substr($1, 1, length($1) - 1); next }
             $1 == "ret" || $1 == "retl" { print name, (NF > 1 ? $2 : "-") }' |
        while read -r name operand; do
            echo "$(echo "$name" | c++filt | sed 's/(.*//') $operand"
        done
}

# Bytes of arguments each routine called by the port driver pops.
ROUTINES="DriverEntry:8 HwFindAdapter:24 HwInitialize:4 HwStartIo:8 HwInterrupt:4
          HwResetBus:8 HwAdapterState:12 TimerRoutine:4 DeferredStartIo:4"
RETURNS=$(for src in miniport/*.cpp; do returns "$src"; done)
for entry in $ROUTINES; do
    name=${entry%%:*}
    want="\$${entry#*:}"
    got=$(awk -v n="$name" '$1 == n { print $2 }' <<<"$RETURNS" | sort -u | tr '\n' ' ')
    [ "$got" = "$want " ] || { echo "FAIL: $name returns with '${got% }', not ret $want (stdcall)" >&2; FAILED=1; }
done

got=$(returns tests/m32/physical_address_return.cpp | awk '$1 == "ScsiPortConvertUlongToPhysicalAddress" { print $2 }')
[ "$got" = "\$4" ] || { echo "FAIL: ScsiPortConvertUlongToPhysicalAddress returns with '$got', not ret \$4" >&2; FAILED=1; }

for probe in tests/m32/cdecl_*.cpp; do
    if "$CXX" "${FLAGS[@]}" -fsyntax-only "$probe" 2>/dev/null; then
        echo "FAIL: $probe compiles (a calling convention mismatch goes unnoticed)" >&2
        FAILED=1
    fi
done
exit "$FAILED"
