#!/usr/bin/env bash
# Builds the 32-bit x86 nimbsim, which can boot the driver image nimb.sys
# itself (--driver FILE), installing the compiler's 32-bit libraries first
# when the machine lacks them, and runs the 32-bit tests: the loader, the
# boundary checks, the instruction trap, the image beside the built-in
# driver on the same scenarios, and a soak of the image.
#
#   tools/scripts/build_image_host.sh [build-dir]   (default build-m32)
#
# Environment: SYS_IMAGE (the image, default build-sys/nimb.sys), JOBS,
# NIMB_IMAGE_TESTS=0 to build without running the tests.
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD=${1:-build-m32}
SYS_IMAGE=${SYS_IMAGE:-$PWD/build-sys/nimb.sys}
PACKAGE=g++-multilib

if ! echo 'int main() { return 0; }' | g++ -m32 -x c++ - -o /dev/null 2>/dev/null; then
    tools/scripts/apt_install.sh "$PACKAGE"
fi

LAUNCHER=()
command -v ccache >/dev/null && LAUNCHER=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$BUILD" -DCMAKE_CXX_FLAGS=-m32 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DNIMB_SYS_IMAGE="$SYS_IMAGE" "${LAUNCHER[@]}" >/dev/null
cmake --build "$BUILD" -j "${JOBS:-$(nproc)}"
if [ "${NIMB_IMAGE_TESTS:-1}" != 0 ]; then
    (cd "$BUILD" && ctest --output-on-failure -j "${JOBS:-$(nproc)}" -E image_differential)
    # Run directly rather than through CTest, so that its figures are shown.
    echo "== the image beside the built-in driver"
    tests/image/differential_test.sh "$BUILD/nimbsim" "$SYS_IMAGE"
fi
