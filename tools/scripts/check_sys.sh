#!/usr/bin/env bash
# Checks a driver image built by `make sys`:
#   - a PE32 image for machine i386 (0x14c), an executable, not a DLL;
#   - subsystem native (1);
#   - entry point at DriverEntry (_DriverEntry@8: stdcall, two arguments);
#   - base relocations present (the loader places drivers anywhere) and no
#     thread-local storage (kernel images have none);
#   - no static constructors (nothing runs them in kernel mode);
#   - the header checksum matches the file (the loader verifies it);
#   - imports from SCSIPORT.SYS only, by name, and only the port driver's
#     published ScsiPort* operations, undecorated as SCSIPORT.SYS exports them.
# Prints the header lines and the import table; exits 1 on any failure.
#
#   tools/scripts/check_sys.sh build-sys/nimb.sys
set -uo pipefail
IMAGE=${1:?usage: check_sys.sh IMAGE}
[ -f "$IMAGE" ] || { echo "check_sys: no such file: $IMAGE" >&2; exit 1; }

pick() { for tool in "$@"; do command -v "$tool" >/dev/null && { echo "$tool"; return; }; done; }
OBJDUMP=${OBJDUMP:-$(pick i686-w64-mingw32-objdump objdump)}
NM=${NM:-$(pick i686-w64-mingw32-nm nm)}
[ -n "$OBJDUMP" ] && [ -n "$NM" ] || { echo "check_sys: needs objdump and nm" >&2; exit 1; }

# The operations SCSIPORT.SYS of Windows NT 4.0 publishes to miniports.
PUBLISHED="
ScsiPortCompleteRequest ScsiPortConvertPhysicalAddressToUlong
ScsiPortConvertUlongToPhysicalAddress ScsiPortFlushDma ScsiPortFreeDeviceBase
ScsiPortGetBusData ScsiPortGetDeviceBase ScsiPortGetLogicalUnit ScsiPortGetPhysicalAddress
ScsiPortGetSrb ScsiPortGetUncachedExtension ScsiPortGetVirtualAddress ScsiPortInitialize
ScsiPortIoMapTransfer ScsiPortLogError ScsiPortMoveMemory ScsiPortNotification
ScsiPortReadPortBufferUchar ScsiPortReadPortBufferUlong ScsiPortReadPortBufferUshort
ScsiPortReadPortUchar ScsiPortReadPortUlong ScsiPortReadPortUshort
ScsiPortReadRegisterBufferUchar ScsiPortReadRegisterBufferUlong ScsiPortReadRegisterBufferUshort
ScsiPortReadRegisterUchar ScsiPortReadRegisterUlong ScsiPortReadRegisterUshort
ScsiPortSetBusDataByOffset ScsiPortStallExecution ScsiPortValidateRange
ScsiPortWritePortBufferUchar ScsiPortWritePortBufferUlong ScsiPortWritePortBufferUshort
ScsiPortWritePortUchar ScsiPortWritePortUlong ScsiPortWritePortUshort
ScsiPortWriteRegisterBufferUchar ScsiPortWriteRegisterBufferUlong ScsiPortWriteRegisterBufferUshort
ScsiPortWriteRegisterUchar ScsiPortWriteRegisterUlong ScsiPortWriteRegisterUshort
"

FAILED=0
fail() { echo "FAIL: $*" >&2; FAILED=1; }

HEADERS=$("$OBJDUMP" -p "$IMAGE" 2>&1) || { echo "check_sys: $OBJDUMP cannot read $IMAGE" >&2; exit 1; }
FILEHDR=$("$OBJDUMP" -f "$IMAGE" 2>&1)
field() { awk -v name="$1" '$1 == name { print $2; exit }' <<<"$HEADERS"; }
hex() { echo $((16#${1#0x})); }

echo "$FILEHDR" | grep -E 'file format|architecture'
echo "$HEADERS" | grep -E '^(Characteristics|Magic|AddressOfEntryPoint|ImageBase|MajorSubsystemVersion|MinorSubsystemVersion|CheckSum|Subsystem|DllCharacteristics)\b|^Entry (1|5|9) '

# Machine and checksum straight from the file: the PE signature at e_lfanew,
# Machine after it, CheckSum at offset 64 of the optional header. The sum is
# the 16-bit one's-complement-style fold over the file with CheckSum as zero,
# plus the file length.
read -r MACHINE STORED COMPUTED < <(perl -e '
    open(my $f, "<:raw", $ARGV[0]) or die; local $/; my $d = <$f>;
    my $pe = unpack("V", substr($d, 0x3c, 4));
    if (substr($d, $pe, 4) ne "PE\0\0") { print "none 0 0\n"; exit; }
    my $cs = $pe + 24 + 64; my $len = length $d;
    my $p = $d; substr($p, $cs, 4) = "\0\0\0\0"; $p .= "\0" if $len % 2;
    my $s = 0; for my $w (unpack("v*", $p)) { $s += $w; $s = ($s & 0xffff) + ($s >> 16); }
    printf "%04x %08x %08x\n", unpack("v", substr($d, $pe + 4, 2)),
        unpack("V", substr($d, $cs, 4)), ($s + $len) & 0xffffffff;' "$IMAGE")
echo "Machine $MACHINE, checksum stored $STORED computed $COMPUTED"
[ "$MACHINE" = "014c" ] || fail "machine is $MACHINE, not i386 (014c)"
grep -q 'file format pei-i386' <<<"$FILEHDR" || fail "not a pei-i386 image"
[ "$(field Magic)" = "010b" ] || fail "not a PE32 image"
CHARS=$(hex "$(field Characteristics)")
(( CHARS & 0x0002 )) || fail "not marked executable"
(( CHARS & 0x2000 )) && fail "marked as a DLL"
(( CHARS & 0x0001 )) && fail "relocations stripped"
[ "$(field Subsystem)" = "00000001" ] || fail "subsystem is $(field Subsystem), not native (1)"
[ "$STORED" = "$COMPUTED" ] && [ "$STORED" != "00000000" ] || fail "checksum $STORED, file sums to $COMPUTED"

dirsize() { awk -v n="$1" '$1 == "Entry" && $2 == n { print $4; exit }' <<<"$HEADERS"; }
[ "$(hex "$(dirsize 5)")" -gt 0 ] || fail "no base relocations"
[ "$(hex "$(dirsize 9)")" -eq 0 ] || fail "has a thread-local storage directory"

# Entry point and constructor list, by the image's COFF symbols.
SYMBOLS=$("$NM" "$IMAGE" 2>/dev/null)
symbol() { awk -v name="$1" '$3 == name { print $1; exit }' <<<"$SYMBOLS"; }
BASE=$(hex "$(field ImageBase)")
ENTRY=$(hex "$(field AddressOfEntryPoint)")
DRIVER_ENTRY=$(symbol _DriverEntry@8)
if [ -z "$DRIVER_ENTRY" ]; then
    fail "no symbol _DriverEntry@8 (image without symbols?)"
elif [ $(( $(hex "$DRIVER_ENTRY") - BASE )) -ne "$ENTRY" ]; then
    fail "entry point $(field AddressOfEntryPoint) is not DriverEntry ($DRIVER_ENTRY)"
else
    echo "Entry point $(field AddressOfEntryPoint) = _DriverEntry@8"
fi
CTORS=$(symbol ___CTOR_LIST__)
DTORS=$(symbol ___DTOR_LIST__)
if [ -z "$CTORS" ] || [ -z "$DTORS" ]; then
    fail "no constructor list symbols"
else
    # The list is a -1 marker, the constructors, and a 0 terminator.
    COUNT=$(( ($(hex "$DTORS") - $(hex "$CTORS")) / 4 - 2 ))
    echo "Static constructors: $COUNT"
    [ "$COUNT" -eq 0 ] || fail "$COUNT static constructors (nothing runs them)"
fi

# Import table: "DLL Name:" opens a block, each member line is
# "<vma> <hint> <name>"; an ordinal import has no name.
IMPORTS=$(awk '
    /^[ \t]*DLL Name:/ { dll = $3; inblock = 1; next }
    inblock && /^[ \t]*vma:/ { next }
    inblock && NF == 0 { inblock = 0; next }
    inblock && NF >= 2 { print dll, (NF >= 3 ? $3 : "<ordinal>") }' <<<"$HEADERS")
echo "Imports:"
echo "$IMPORTS" | sed 's/^/  /'
[ -n "$IMPORTS" ] || fail "no imports (expected SCSIPORT.SYS)"
while read -r dll name; do
    [ -n "$dll" ] || continue
    [ "$dll" = "SCSIPORT.SYS" ] || fail "imports from $dll ($name)"
    case " $(echo $PUBLISHED) " in
        *" $name "*) ;;
        *) fail "imports $name, not a published SCSIPORT.SYS operation" ;;
    esac
done <<<"$IMPORTS"

if [ "$FAILED" -ne 0 ]; then
    echo "check_sys: $IMAGE: FAILED" >&2
    exit 1
fi
echo "check_sys: $IMAGE: OK ($(stat -c %s "$IMAGE") bytes)"
