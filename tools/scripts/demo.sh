#!/usr/bin/env bash
# What `make demo` runs: boot the driver on the default simulated PC (a
# 64 MiB fixed disk held in memory, on an EPP-capable port at 0x378), show
# what it found, then write, read back and verify a few blocks.
set -eu
tool=$(cd "$(dirname "${1:-build/nimbsim}")" && pwd)/$(basename "${1:-build/nimbsim}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

run() {
    echo "\$ nimbsim $*"
    "$tool" "$@"
    echo
}

run info
cd "$work"
# The round trip runs on a disk image file so that the data outlives each boot.
head -c 4096 /dev/urandom > blocks.bin
run --image disk.img --size 64M write 1000 blocks.bin
run --image disk.img read 1000 8 back.bin
run --image disk.img verify 1000 8
if cmp -s blocks.bin back.bin; then
    echo "round trip: 8 blocks written at 1000, read back identical, verified"
else
    echo "round trip: data read back differs" >&2
    exit 1
fi
