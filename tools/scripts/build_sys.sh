#!/usr/bin/env bash
# Builds the kernel-mode driver image nimb.sys for 32-bit x86 Windows with
# the i686 MinGW-w64 cross compiler, installing the compiler first when the
# machine lacks it, then checks the image. The files that install it
# (install/) are put next to the image with DOS line ends, as the system's
# registry editor and set-up programs read them.
#
#   tools/scripts/build_sys.sh [build-dir]     (default build-sys; the image is build-dir/nimb.sys)
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD=${1:-build-sys}
PACKAGE=g++-mingw-w64-i686-win32
CROSS=i686-w64-mingw32
INSTALL_FILES="nimb.reg oemsetup.inf txtsetup.oem"

if ! command -v "$CROSS-g++" >/dev/null || ! command -v "$CROSS-dlltool" >/dev/null; then
    tools/scripts/apt_install.sh "$PACKAGE"
fi

cmake -S . -B "$BUILD" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-i686.cmake" -DNIMB_SYS=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" -j "${JOBS:-$(nproc)}" --target nimb_sys
./tools/scripts/check_sys.sh "$BUILD/nimb.sys"
for f in $INSTALL_FILES; do
    sed 's/\r*$/\r/' "install/$f" >"$BUILD/$f"
done
echo "Install files next to the image: $INSTALL_FILES"
