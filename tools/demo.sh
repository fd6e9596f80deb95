#!/usr/bin/env bash
# What `make demo` runs: boot the driver on the default simulated PC, show
# what it found, and make a short read/write/verify round trip.
set -u
tool=${1:-build/nimbsim}
echo "\$ nimbsim info"
"$tool" info
status=$?
if [ $status -ne 0 ]; then
    echo "(nimbsim info exited with status $status)"
    exit $status
fi
