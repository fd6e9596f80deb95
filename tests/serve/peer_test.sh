#!/usr/bin/env bash
# The served disk checked by initiators and a conformance suite written by
# others: `nimbsim serve` on a free loopback port, then
#   - iscsi-inq, iscsi-readcapacity16 and iscsi-ls;
#   - iscsi-test-cu, the SCSI families of the driver's commands and the
#     iSCSI protocol families, each test's result against the expected table
#     tests/serve/conformance_expected.txt (a test that fails or passes
#     otherwise than recorded there fails this script);
#   - qemu-img convert of the whole disk, equal to the image;
#   - qemu-io writing patterns at random offsets and reading them back, and
#     the image file holding them afterwards;
#   - the target stopped with SIGINT exits 0.
# Every step is bounded in time.
#
#   tests/serve/peer_test.sh NIMBSIM [RESULTS]
# RESULTS, if given, receives the conformance results as "TEST RESULT" lines.
set -uo pipefail
NIMBSIM=$(readlink -f "$1")
RESULTS=${2:-}
HERE=$(cd "$(dirname "$0")" && pwd)
EXPECTED="$HERE/conformance_expected.txt"
WORK=$(mktemp -d)
SERVER=
cleanup() {
    [ -n "$SERVER" ] && kill "$SERVER" 2>/dev/null && wait "$SERVER" 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT
FAILED=0
fail() { echo "FAIL: $*" >&2; FAILED=1; }
IQN=iqn.2026-12.sim.nimb:disk

# serve IMAGE [nimbsim options...]: starts the target, sets SERVER and URL.
serve() {
    local image=$1
    shift
    "$NIMBSIM" --image "$image" "$@" serve --listen 127.0.0.1:0 >"$WORK/serve.out" 2>"$WORK/serve.err" &
    SERVER=$!
    local address=
    for _ in $(seq 1 100); do
        address=$(sed -n 's/^serving .* on \(.*\)$/\1/p' "$WORK/serve.out")
        [ -n "$address" ] && break
        sleep 0.1
    done
    [ -n "$address" ] || { fail "the target did not start: $(cat "$WORK/serve.err")"; exit 1; }
    URL="iscsi://$address/$IQN/0"
    ADDRESS=$address
}

# stop: SIGINT, and the target must exit 0.
stop() {
    kill -INT "$SERVER"
    local status=0
    timeout 20 tail --pid="$SERVER" -f /dev/null || fail "the target did not stop on SIGINT"
    wait "$SERVER" || status=$?
    [ "$status" -eq 0 ] || fail "the target exited $status after SIGINT"
    SERVER=
}

# The default disk, 64 MiB of random data.
head -c $((64 * 1024 * 1024)) /dev/urandom >"$WORK/disk.img"
cp "$WORK/disk.img" "$WORK/original.img"
serve "$WORK/disk.img"

echo "== initiator tools"
timeout 30 iscsi-inq "$URL" >"$WORK/inq.txt" 2>&1 || fail "iscsi-inq: $(cat "$WORK/inq.txt")"
grep -q "NIMB" "$WORK/inq.txt" || fail "iscsi-inq does not show the drive: $(cat "$WORK/inq.txt")"
timeout 30 iscsi-readcapacity16 "$URL" >"$WORK/cap.txt" 2>&1 || fail "iscsi-readcapacity16: $(cat "$WORK/cap.txt")"
# The default drive: 130 cylinders, 16 heads, 63 sectors = 131040 blocks.
BLOCKS=131040
grep -q "Total size:$((BLOCKS * 512))" "$WORK/cap.txt" || fail "iscsi-readcapacity16: $(cat "$WORK/cap.txt")"
timeout 30 iscsi-ls -s "iscsi://$ADDRESS" >"$WORK/ls.txt" 2>&1 || fail "iscsi-ls: $(cat "$WORK/ls.txt")"
grep -q "$IQN" "$WORK/ls.txt" || fail "iscsi-ls does not list the target: $(cat "$WORK/ls.txt")"
cat "$WORK/inq.txt" "$WORK/cap.txt" "$WORK/ls.txt"

echo "== hostile connections"
# Noise, a header that promises more data than it brings, and a connection
# dropped at once: each is closed or dropped, and the target serves on.
PORT=${ADDRESS##*:}
head -c 4096 /dev/urandom >"$WORK/noise.bin"
timeout 5 bash -c "cat '$WORK/noise.bin' >/dev/tcp/127.0.0.1/$PORT" 2>/dev/null
timeout 5 bash -c "printf '\\x43\\x87\\x00\\x00\\x00\\xff\\xff\\xff' >/dev/tcp/127.0.0.1/$PORT" 2>/dev/null
timeout 5 bash -c ": >/dev/tcp/127.0.0.1/$PORT" 2>/dev/null
timeout 30 iscsi-inq "$URL" >/dev/null 2>&1 || fail "the target no longer serves after hostile connections"
kill -0 "$SERVER" 2>/dev/null || fail "the target died on hostile connections"

echo "== qemu-img convert of the whole disk ($SECONDS s in)"
timeout 300 qemu-img convert -O raw "$URL" "$WORK/copy.img" || fail "qemu-img convert"
[ "$(stat -c %s "$WORK/copy.img")" -eq $((BLOCKS * 512)) ] || fail "the copy is not the disk's size"
cmp -s -n $((BLOCKS * 512)) "$WORK/copy.img" "$WORK/original.img" || fail "the copy differs from the image"

echo "== qemu-io patterns at random offsets"
CMDS=()
OFFSETS=()
for i in $(seq 1 12); do
    offset=$(( (RANDOM * 32768 + RANDOM) % (BLOCKS - 256) * 512 ))
    length=$(( (RANDOM % 64 + 1) * 512 ))
    pattern=$(( (i * 37) % 255 + 1 ))
    CMDS+=(-c "write -P $pattern $offset $length")
    OFFSETS+=("$offset $length $pattern")
done
for o in "${OFFSETS[@]}"; do
    set -- $o
    CMDS+=(-c "read -P $3 $1 $2")
done
timeout 120 qemu-io -f raw "${CMDS[@]}" "$URL" >"$WORK/io.txt" 2>&1 || fail "qemu-io: $(tail -5 "$WORK/io.txt")"
grep -q "Pattern verification failed" "$WORK/io.txt" && fail "qemu-io read back another pattern"
stop
for o in "${OFFSETS[@]}"; do
    set -- $o
    want=$(head -c "$2" /dev/zero | tr '\0' "\\$(printf '%03o' "$3")" | md5sum)
    got=$(dd if="$WORK/disk.img" bs=512 skip=$(( $1 / 512 )) count=$(( $2 / 512 )) 2>/dev/null | md5sum)
    [ "$want" = "$got" ] || fail "the image does not hold pattern $3 at $1"
done

echo "== iscsi-test-cu ($SECONDS s in)"
cp "$WORK/original.img" "$WORK/disk.img"
: >"$WORK/results.txt"
run_family() {  # drive, test pattern, [nimbsim options...]
    local drive=$1 pattern=$2 began=$SECONDS
    shift 2
    serve "$WORK/disk.img" --drive "$drive" "$@"
    timeout 120 iscsi-test-cu -d -v --test="$pattern" "$URL" >"$WORK/cu.txt" 2>&1 ||
        [ $? -ne 124 ] || fail "$pattern: did not finish in 120 s"
    # CUnit prints "passed" after a test that passed (a skipped one says
    # [SKIPPED] first); a test that failed shows only its failures.
    awk -v drive="$drive" '/^Suite: / { suite = drive ":" $2; next }
         /^  Test: / { name = suite "." $2; order[++n] = name; result[name] = "failed" }
         n && /\[SKIPPED\]/ && result[order[n]] == "failed" { result[order[n]] = "skipped" }
         n && (/^  Test: .*\.\.\.passed/ || /^passed/) && result[order[n]] == "failed" { result[order[n]] = "passed" }
         END { for (i = 1; i <= n; i++) print order[i], result[order[i]] }' "$WORK/cu.txt" >>"$WORK/results.txt"
    cat "$WORK/cu.txt" >>"$WORK/cu-all.txt"
    stop
    echo "$pattern: $((SECONDS - began)) s"
}
for family in TestUnitReady Inquiry ReadCapacity10 Read6 Read10 Write10 Verify10 ModeSense6 \
              StartStopUnit iSCSIcmdsn iSCSIdatasn iSCSIResiduals iSCSITMF; do
    run_family fixed "ALL.$family"
done
# The families for removable media, on the cartridge drive with media
# status, each test on a target of its own: an ejected cartridge stays out
# (the drive has no loader), and would decide every test after it.
for family in StartStopUnit PreventAllow NoMedia; do
    for test in $(iscsi-test-cu --list | sed -n "s/^ALL\.$family\.//p"); do
        run_family removable "ALL.$family.$test"
    done
done
[ -n "$RESULTS" ] && cp "$WORK/results.txt" "$RESULTS"
# Every recorded test ran.
for test in $(awk '!/^#/ { print $1 }' "$EXPECTED"); do
    grep -q "^$test " "$WORK/results.txt" || fail "$test: recorded, but did not run"
done
while read -r test result; do
    want=$(awk -v t="$test" '!/^#/ && $1 == t { print $2 }' "$EXPECTED")
    [ "$want" = "$result" ] || fail "$test: $result, recorded as ${want:-nothing}"
done <"$WORK/results.txt"
echo "conformance: $(awk '{ n[$2]++ } END { printf "%d passed, %d failed, %d skipped", n["passed"], n["failed"], n["skipped"] }' "$WORK/results.txt")"
exit "$FAILED"
