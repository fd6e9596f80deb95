#!/usr/bin/env bash
# What serving the disk over iSCSI costs: the CPU time nimbsim spends while
# qemu-img copies the whole default disk over iSCSI, against the CPU time of
# `nimbsim copy-out` of the same disk, each per simulated MiB. Both runs
# boot the same machine; the target's boot is measured apart and left out,
# as copy-out's own boot is in its figure (it is small beside the copy).
#
#   tools/scripts/bench_iscsi.sh [NIMBSIM] [nimbsim options...]
set -euo pipefail
NIMBSIM=$(readlink -f "${1:-build/nimbsim}")
shift || true
WORK=$(mktemp -d)
SERVER=
trap '[ -n "$SERVER" ] && kill "$SERVER" 2>/dev/null; rm -rf "$WORK"' EXIT
TICKS=$(getconf CLK_TCK)

calc() { awk "BEGIN { printf \"%.4f\", $* }"; }

cpu_seconds() {  # pid: user + system time so far
    awk -v t="$TICKS" '{ printf "%.3f", ($14 + $15) / t }' "/proc/$1/stat"
}

head -c $((64 * 1024 * 1024)) /dev/urandom >"$WORK/disk.img"


# copy-out, whole process.
TIMEFORMAT='%U %S'
{ time "$NIMBSIM" --image "$WORK/disk.img" "$@" --quiet copy-out "$WORK/out.img" >/dev/null 2>&1; } 2>"$WORK/copyout.time"
read -r u s <"$WORK/copyout.time"
COPYOUT=$(calc "$u + $s")

# The target: CPU taken by the copy alone.
"$NIMBSIM" --image "$WORK/disk.img" "$@" --quiet serve --listen 127.0.0.1:0 >"$WORK/serve.out" &
SERVER=$!
for _ in $(seq 1 100); do
    ADDRESS=$(sed -n 's/^serving .* on \(.*\)$/\1/p' "$WORK/serve.out")
    [ -n "$ADDRESS" ] && break
    sleep 0.1
done
BEFORE=$(cpu_seconds "$SERVER")
START=$(date +%s.%N)
{ time qemu-img convert -O raw "iscsi://$ADDRESS/iqn.2026-12.sim.nimb:disk/0" "$WORK/copy.img" 2>/dev/null; } 2>"$WORK/qemu.time"
END=$(date +%s.%N)
AFTER=$(cpu_seconds "$SERVER")
kill -INT "$SERVER"
wait "$SERVER"
SERVER=
cmp -s -n "$(stat -c %s "$WORK/copy.img")" "$WORK/copy.img" "$WORK/disk.img" || { echo "the copy over iSCSI differs" >&2; exit 1; }
MIB=$(awk -v b="$(stat -c %s "$WORK/copy.img")" "BEGIN { printf \"%.2f\", b / 1048576 }")
read -r qu qs <"$WORK/qemu.time"
SERVE=$(calc "$AFTER - $BEFORE")
QEMU=$(calc "$qu + $qs")

printf 'copy-out:          %6.2f CPU s for %s MiB = %.4f CPU s per MiB\n' "$COPYOUT" "$MIB" "$(calc "$COPYOUT / $MIB")"
printf 'iSCSI target:      %6.2f CPU s for %s MiB = %.4f CPU s per MiB (%.1f s wall)\n' "$SERVE" "$MIB" \
    "$(calc "$SERVE / $MIB")" "$(calc "$END - $START")"
printf 'qemu-img itself:   %6.2f CPU s\n' "$QEMU"
printf 'target / copy-out: %.2f\n' "$(calc "$SERVE / $COPYOUT")"
