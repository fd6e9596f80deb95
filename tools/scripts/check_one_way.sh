#!/usr/bin/env bash
# The dependencies between the driver and the stand-in go one way, as the
# includes show them:
#   - the driver's directories include nothing of the stand-in, the seam,
#     the tool or the tests (platform/ is the driver's own interface);
#   - the stand-in (sim/, soak/, tools/, imagehost/) includes no driver
#     header: only seam/ names the driver;
#   - the device models (sim/wire, sim/ata, sim/chips and the bus itself)
#     include only the bus and one another's headers: not the host, not the
#     machine, not the platform interface.
#
#   tools/scripts/check_one_way.sh
set -uo pipefail
cd "$(dirname "$0")/../.."
DRIVER_DIRS="miniport scsi ata link adapter hostport"
FAILED=0

includes() {  # directories...: "file:line:#include "path"" for every quoted include
    grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' --include='*.h' --include='*.cpp' "$@" 2>/dev/null
}

refuse() {  # rule, pattern, directories...
    local rule=$1 pattern=$2
    shift 2
    local found
    found=$(includes "$@" | grep -E "#[[:space:]]*include[[:space:]]*\"($pattern)")
    if [ -n "$found" ]; then
        echo "FAIL: $rule" >&2
        echo "$found" | sed 's/^/  /' >&2
        FAILED=1
    fi
}

driver_headers=$(echo $DRIVER_DIRS | sed 's/ /\/|/g')/
refuse "the driver includes the stand-in" "sim/|soak/|tools/|seam/|tests/|fuzz/|imagehost/" $DRIVER_DIRS platform
refuse "the stand-in includes a driver header" "$driver_headers" sim soak tools imagehost
refuse "a device model includes the host, the machine or the platform" \
    "sim/host/|sim/machine/|soak/|tools/|seam/|platform/|sim/bus/platform_" \
    sim/wire sim/ata sim/chips sim/bus/io_bus.h sim/bus/io_bus.cpp
exit "$FAILED"
