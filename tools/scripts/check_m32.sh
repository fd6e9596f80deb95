#!/usr/bin/env bash
# Compiles every driver source, the x86 port I/O and the record layout
# checks for 32-bit x86 with the host compiler (-m32, syntax only, so no
# 32-bit libraries are needed): pointer-size assumptions and the 4-byte
# pointer record sizes fail here without the cross toolchain of `make sys`.
#
#   tools/scripts/check_m32.sh [compiler]     (default c++)
set -uo pipefail
cd "$(dirname "$0")/../.."
CXX=${1:-c++}
FAILED=0
for src in miniport/*.cpp scsi/*.cpp ata/*.cpp link/*.cpp adapter/*.cpp hostport/*.cpp \
           platform/x86/*.cpp; do
    "$CXX" -m32 -ffreestanding -std=c++17 -I. -Wall -Wextra -Werror -fno-exceptions -fno-rtti \
        -fsyntax-only "$src" || { echo "FAIL: $src" >&2; FAILED=1; }
done
exit "$FAILED"
