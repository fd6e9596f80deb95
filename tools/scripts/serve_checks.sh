#!/usr/bin/env bash
# The served disk against initiators written by others: installs libiscsi's
# tools and QEMU's iSCSI block driver when the machine lacks them (Debian
# packages libiscsi-bin, qemu-utils, qemu-block-extra), then runs
# tests/serve/peer_test.sh with the tool of the given build.
#
#   tools/scripts/serve_checks.sh [build-dir]     (default build)
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD=${1:-build}
PACKAGES="libiscsi-bin qemu-utils qemu-block-extra"
if ! command -v iscsi-test-cu >/dev/null || ! command -v qemu-img >/dev/null ||
    ! qemu-img --help 2>/dev/null | grep -q iscsi; then
    tools/scripts/apt_install.sh $PACKAGES
fi
cmake --build "$BUILD" --target nimbsim -j "${JOBS:-$(nproc)}" >/dev/null
tests/serve/peer_test.sh "$BUILD/nimbsim"
