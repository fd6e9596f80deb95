#!/usr/bin/env bash
# The nimbsim command line as a user meets it: exit statuses, output forms,
# data that persists in an image file, and failures that name their sense key.
set -u
tool=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
passed=0

check() {  # name, expected status, command...
    local name=$1 want=$2
    shift 2
    "$@" >"$work/out" 2>"$work/err"
    local got=$?
    if [ "$got" -ne "$want" ]; then
        echo "FAIL $name: exit $got, wanted $want"
        sed 's/^/  | /' "$work/out" "$work/err" | head -20
        failures=$((failures + 1))
    else
        passed=$((passed + 1))
    fi
}

expect_in() {  # name, file, pattern
    if grep -q -- "$3" "$2"; then passed=$((passed + 1)); else
        echo "FAIL $1: '$3' not in $(basename "$2")"
        sed 's/^/  | /' "$2" | head -20
        failures=$((failures + 1))
    fi
}

check "info on the default PC" 0 "$tool" info
expect_in "info names the port" "$work/out" "port *0x378"
expect_in "info names the EPP read mode" "$work/out" "read mode *10 RM_EPP8"
expect_in "info gives the capacity" "$work/out" "capacity *131040 blocks"

check "json" 0 "$tool" --json info
for key in port hostKind readMode writeMode model blocks blockSize cylinders heads sectorsPerTrack removable; do
    expect_in "json key $key" "$work/out" "\"$key\":"
done
cp "$work/out" "$work/info.json"
if command -v python3 >/dev/null; then
    check "json parses" 0 python3 -c "import json,sys; d=json.load(open('$work/info.json')); assert d['blocks']==131040 and d['removable'] is False and d['port']=='0x378'"
fi

check "no command" 2 "$tool"
expect_in "usage text" "$work/err" "usage: nimbsim"
check "unknown option" 2 "$tool" --frobnicate info
check "bad port" 2 "$tool" --port 0x300 info
check "bad drive" 2 "$tool" --drive floppy info
check "read arity" 2 "$tool" read 0

check "no adapter" 3 "$tool" --no-adapter info
# A driver image is run only by the 32-bit build; this one says so and runs nothing.
check "driver image in a 64-bit build" 2 "$tool" --driver "$work/nimb.sys" info
expect_in "driver image needs the 32-bit build" "$work/err" "build the 32-bit one (make image)"
check "driver image needs a file" 2 "$tool" info --driver
expect_in "ports tried" "$work/err" "0x378, 0x3BC, 0x278"
check "adapter on 0x278 plain" 0 "$tool" --host plain --port 0x278 --quiet info
expect_in "port 0x278" "$work/out" "port *0x278"

# Data through an image file persists across boots.
head -c 65536 /dev/urandom >"$work/data.bin"
check "write" 0 "$tool" --image "$work/disk.img" --size 8M write 100 "$work/data.bin"
check "read back" 0 "$tool" --image "$work/disk.img" read 100 128 "$work/back.bin"
check "same data" 0 cmp "$work/data.bin" "$work/back.bin"
check "image holds it" 0 cmp "$work/data.bin" <(dd if="$work/disk.img" bs=512 skip=100 count=128 2>/dev/null)
check "verify" 0 "$tool" --image "$work/disk.img" verify 100 128
check "image must exist without --size" 1 "$tool" --image "$work/missing.img" info

check "copy-out" 0 "$tool" --image "$work/disk.img" copy-out "$work/whole.bin"
blocks=$("$tool" --image "$work/disk.img" --json info | sed 's/.*"blocks": \([0-9]*\).*/\1/')
check "copy-out size" 0 test "$(stat -c %s "$work/whole.bin")" -eq $((blocks * 512))
check "copy-in" 0 "$tool" --image "$work/other.img" --size 8M copy-in "$work/whole.bin"
check "copy-in landed" 0 cmp <(head -c $((blocks * 512)) "$work/other.img") "$work/whole.bin"

check "read past the end" 1 "$tool" --image "$work/disk.img" read "$blocks" 1 "$work/x.bin"
expect_in "past the end names ILLEGAL REQUEST" "$work/err" "ILLEGAL REQUEST"
check "write of a partial block" 2 bash -c "head -c 100 /dev/zero >'$work/short.bin'; '$tool' --image '$work/disk.img' write 0 '$work/short.bin'"

check "raw READ CAPACITY" 0 "$tool" scsi 25000000000000000000 --in 8
expect_in "raw data" "$work/out" "00 01 ff df 00 00 02 00"
check "raw bad opcode" 1 "$tool" scsi 11000000000000
expect_in "raw sense" "$work/out" "ILLEGAL REQUEST"

check "eject removable" 0 "$tool" --drive iota eject
check "eject fixed fails" 1 "$tool" eject

check "trace" 0 "$tool" --trace "$work/trace.txt" --quiet info
check "trace has port accesses" 0 grep -q "0x0378" "$work/trace.txt"

# Every drive preset boots from the command line and is described in --help.
# Asked for, the usage text goes to standard output with status 0; a usage
# error shows it on standard error with status 2.
check "help" 0 "$tool" --help
for drive in fixed iota conner syquest removable chs oldchs; do
    expect_in "help describes $drive" "$work/out" "^      $drive  "
done
check "help after other options" 0 "$tool" --host plain --help
expect_in "help names the commands" "$work/out" "^commands:"
check "no command" 2 "$tool" --host plain
expect_in "usage error shows the usage" "$work/err" "^usage: nimbsim"
for drive in fixed iota conner syquest removable oldchs chs; do
    check "drive $drive boots" 0 "$tool" --drive "$drive" --quiet info
done
expect_in "chs drive model" "$work/out" "NIMB SimDisk CHS"
check "oldchs drive" 0 "$tool" --drive oldchs --quiet info
expect_in "oldchs drive serves its own geometry" "$work/out" "1224 cylinders, 15 heads, 17 sectors"
check "removable drive" 0 "$tool" --drive removable --quiet info
expect_in "removable drive says so" "$work/out" "removable *yes"

# An image that is not whole sectors is refused and left as it was.
head -c 1049000 /dev/urandom >"$work/odd.img"
sum_before=$(md5sum <"$work/odd.img")
check "image not whole sectors" 2 "$tool" --image "$work/odd.img" info
expect_in "image size named" "$work/err" "1049000 bytes, not a whole number of 512-byte sectors"
check "odd image untouched" 0 test "$sum_before" = "$(md5sum <"$work/odd.img")"
check "odd image write refused" 2 "$tool" --image "$work/odd.img" write 0 "$work/data.bin"
check "odd image still untouched" 0 test "$sum_before" = "$(md5sum <"$work/odd.img")"

# Forced modes the port cannot do: the adapter answered, the modes failed.
check "forced modes the port cannot do" 3 "$tool" --host epp --args "/da /r6 /w1" info
expect_in "the adapter answered" "$work/err" "adapter on port 0x378 answered"
expect_in "the forced modes named" "$work/err" "forced modes (read mode 6, write mode 1) failed"
expect_in "the port's modes" "$work/err" "read modes 0-5, 8-10 and write modes 0-3"
check "EPP forced on a plain port" 3 "$tool" --host plain --port 0x278 --args "/da /r10" info
expect_in "EPP pair named" "$work/err" "forced modes (read mode 10, write mode 3) failed"
expect_in "plain port modes" "$work/err" "read modes 0-5 and write modes 0-2;"
check "no adapter with forced modes" 3 "$tool" --no-adapter --args "/da /r6" info
expect_in "no adapter still says so" "$work/err" "no adapter found (ports tried"

echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
