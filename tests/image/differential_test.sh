#!/usr/bin/env bash
# The driver image against the driver built into the tool: each scenario runs
# twice through the 32-bit nimbsim, once as built and once with --driver
# IMAGE, each in a directory of its own with the same file names, and the two
# must agree on the exit status, standard output and error, the full port
# trace with virtual time, and the disk image afterwards. A few scenarios run
# the image with every port instruction trapped (--trap-io), so that the
# instructions themselves stay covered. Then a short soak of the image with
# faults injected must pass and print what the built-in driver prints for the
# same seed.
#
#   tests/image/differential_test.sh NIMBSIM IMAGE
set -uo pipefail
NIMBSIM=$(readlink -f "$1")
IMAGE=$(readlink -f "$2")
SOAK_REQUESTS=${SOAK_REQUESTS:-1500}
SOAK_SEEDS=${SOAK_SEEDS:-"1 2 3"}
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
FAILED=0
SCENARIOS=0
TRACE_LINES=0
TRAPPED=0
START=$SECONDS

fail() { echo "FAIL: $*" >&2; FAILED=1; }

# A disk image of random data both runs start from.
head -c $((4 * 1024 * 1024)) /dev/urandom >"$WORK/seed.img"
head -c $((64 * 512)) /dev/urandom >"$WORK/data.bin"

# compare NAME [--trap-io] -- ARGS...: runs both, compares everything.
compare() {
    local name=$1 trap_io=
    shift
    if [ "$1" = --trap-io ]; then trap_io=--trap-io; shift; TRAPPED=$((TRAPPED + 1)); fi
    [ "$1" = -- ] && shift
    local a="$WORK/$name/built-in" b="$WORK/$name/image"
    mkdir -p "$a" "$b"
    for d in "$a" "$b"; do
        cp "$WORK/seed.img" "$d/disk.img"
        cp "$WORK/data.bin" "$d/data.bin"
    done
    (cd "$a" && "$NIMBSIM" --trace trace "$@" >stdout 2>stderr; echo $? >status)
    (cd "$b" && "$NIMBSIM" --driver "$IMAGE" $trap_io --trace trace "$@" >stdout 2>stderr; echo $? >status)
    local f
    for f in status stdout stderr trace disk.img; do
        if ! cmp -s "$a/$f" "$b/$f"; then
            fail "$name: $f differs ($*)"
            [ "$f" = disk.img ] || diff "$a/$f" "$b/$f" | head -5 >&2
        fi
    done
    [ -s "$a/trace" ] || [ "$name" = no-adapter ] || fail "$name: no port access recorded"
    # A calling-convention break or a misuse of the host is a failure even
    # where both drivers commit it.
    if grep -h "host violation" "$a/stderr" "$b/stderr" >&2; then fail "$name: host violations"; fi
    SCENARIOS=$((SCENARIOS + 1))
    TRACE_LINES=$((TRACE_LINES + $(wc -l <"$a/trace")))
    rm -rf "$WORK/$name"
}

# Every machine.
for host in $("$NIMBSIM" --help | awk '/--host KIND/ { on = 1; next } on && /^      [a-z0-9]+ / { print $1; next } on && /^  --/ { on = 0 }'); do
    compare "host-$host" -- --host "$host" info
done
# Every drive.
for drive in $("$NIMBSIM" --help | awk '/--drive KIND/ { on = 1; next } on && /^      [a-z0-9]+ / { print $1; next } on && /^  --/ { on = 0 }'); do
    compare "drive-$drive" -- --drive "$drive" info
done
# Each port address, and nothing on the cable.
for port in 0x378 0x3BC 0x278; do
    compare "port-$port" -- --port "$port" --host ps2 info
done
compare no-adapter -- --no-adapter info
# An argument string, and JSON.
compare arguments -- --args "/dt /d /m:3" --host smc info
compare json -- --host natsemi --json info
# Raw CDBs: INQUIRY, READ CAPACITY, MODE SENSE, an unknown opcode, TEST UNIT READY.
compare cdb-inquiry -- --image disk.img scsi 120000002400 --in 36
compare cdb-capacity -- --image disk.img scsi 25000000000000000000 --in 8
compare cdb-mode-sense -- --image disk.img scsi 1a003f00ff00 --in 255
compare cdb-unknown -- --image disk.img scsi ff0000000000
compare cdb-tur -- --drive iota scsi 000000000000
# Reading past the end, and a verify.
compare read-past-end -- --image disk.img read 8190 4 out.bin
compare verify -- --image disk.img verify 0 64
# A round trip of random data: write, read back, on a fast and a slow port.
compare round-trip-epp --trap-io -- --image disk.img write 100 data.bin
compare round-trip-plain -- --image disk.img --host plain write 7 data.bin
compare read-plain --trap-io -- --image disk.img --host plain read 7 16 out.bin
compare read-window --trap-io -- --image disk.img --host window read 0 8 out.bin
compare copy-out -- --image disk.img --drive fixed --size 4M copy-out out.bin
# Removable media.
compare eject -- --drive iota eject
compare syquest -- --drive syquest --host smc669 read 0 4 out.bin

# Unusable image files: a clear one-line reason and exit 2, never a crash.
refuse() {  # name file
    local out status
    out=$("$NIMBSIM" --driver "$2" info 2>&1 >/dev/null)
    status=$?
    [ "$status" -eq 2 ] || fail "image $1: status $status, not 2 ($out)"
    [ "$(wc -l <<<"$out")" -eq 1 ] && [[ "$out" == "nimbsim: "* ]] ||
        fail "image $1: not one line of reason: $out"
}
refuse missing "$WORK/no-such-file"
: >"$WORK/empty.sys"; refuse empty "$WORK/empty.sys"
head -c 700 "$IMAGE" >"$WORK/truncated.sys"; refuse truncated "$WORK/truncated.sys"
cp "$IMAGE" "$WORK/corrupt.sys"
printf '\xff' | dd of="$WORK/corrupt.sys" bs=1 seek=$((0x1200)) conv=notrunc status=none
refuse corrupt "$WORK/corrupt.sys"
head -c 65536 /dev/urandom >"$WORK/noise.sys"; refuse noise "$WORK/noise.sys"

# The soak: the image must pass, and report what the built-in driver does.
SOAK_LINES=""
for seed in $SOAK_SEEDS; do
    # Everything but the line with the time taken.
    a=$("$NIMBSIM" soak --requests "$SOAK_REQUESTS" --seed "$seed" 2>/dev/null | grep -v '^  seed .* s$')
    b=$("$NIMBSIM" --driver "$IMAGE" soak --requests "$SOAK_REQUESTS" --seed "$seed" 2>/dev/null)
    status=$?
    b=$(grep -v '^  seed .* s$' <<<"$b")
    [ "$status" -eq 0 ] || fail "soak of the image, seed $seed: status $status: $b"
    [ "$a" = "$b" ] || { fail "soak seed $seed: the image's report differs"; diff <(echo "$a") <(echo "$b") >&2; }
    SOAK_LINES+="  seed $seed: $(tail -1 <<<"$b"), $(grep -o 'host violations [0-9]*' <<<"$b")"$'\n'
done

echo "scenarios compared: $SCENARIOS ($TRAPPED with every port instruction trapped)"
echo "trace lines compared: $TRACE_LINES"
printf 'image soak (%s requests per seed):\n%s' "$SOAK_REQUESTS" "$SOAK_LINES"
echo "time: $((SECONDS - START)) s"
exit "$FAILED"
