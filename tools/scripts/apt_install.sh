#!/usr/bin/env bash
# Installs Debian packages by name, quietly, as root or through sudo: what
# the build scripts use for a compiler the machine lacks.
#
#   tools/scripts/apt_install.sh PACKAGE...
set -euo pipefail
SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
echo "Installing $*" >&2
$SUDO apt-get update -q >/dev/null
$SUDO apt-get install -y -q --no-install-recommends "$@" >/dev/null
