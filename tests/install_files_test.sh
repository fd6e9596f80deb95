#!/usr/bin/env bash
# The files that install the driver image agree with each other and with
# the image: nimb.reg (registry editor), oemsetup.inf (SCSI Adapters applet)
# and txtsetup.oem (text-mode set-up) name the same service, image file,
# load group, type, start and error control, and put the argument string in
# the DriverParameter value of the service's Parameters\Device key, where
# the SCSI port driver reads it. The example argument string in nimb.reg is
# given to the driver to show that it does what its comment says.
#
#   tests/install_files_test.sh SOURCE-DIR [NIMBSIM]
set -u
src=${1:?usage: install_files_test.sh SOURCE-DIR [NIMBSIM]}
tool=${2:-}
install=$src/install
failures=0
passed=0

same() {  # what, got, wanted
    if [ "$2" = "$3" ]; then passed=$((passed + 1)); else
        echo "FAIL $1: '$2', wanted '$3'"
        failures=$((failures + 1))
    fi
}

# Every "key = value" line of an INF-style file as "section<TAB>key<TAB>value",
# sections and keys in lower case, blanks around them and the quotes of a
# quoted value removed. Lines starting with the comment character are skipped.
entries() {  # file, comment character
    awk -v c="$2" '
        { sub(/\r$/, "") }
        { line = $0; sub(/^[ \t]+/, "", line) }
        line == "" || substr(line, 1, 1) == c { next }
        line ~ /^\[.*\]$/ { section = tolower(substr(line, 2, length(line) - 2)); next }
        {
            eq = index(line, "=")
            if (eq == 0) { key = line; value = "" }
            else { key = substr(line, 1, eq - 1); value = substr(line, eq + 1) }
            sub(/[ \t]+$/, "", key); sub(/^[ \t]+/, "", value); sub(/[ \t]+$/, "", value)
            if (key ~ /^".*"$/) key = substr(key, 2, length(key) - 2)
            if (value ~ /^"[^"]*"$/) value = substr(value, 2, length(value) - 2)
            printf "%s\t%s\t%s\n", section, tolower(key), value
        }' "$1"
}
get() {  # entries, section, key: the first value (section and key in any case)
    S=$2 K=$3 awk -F'\t' '$1 == tolower(ENVIRON["S"]) && $2 == tolower(ENVIRON["K"]) { print $3; exit }' <<<"$1"
}
field() {  # comma-separated list, index from 1: the field without blanks or quotes
    awk -F',' -v n="$2" '{ v = $n; gsub(/^[ \t"]+|[ \t"]+$/, "", v); print v }' <<<"$1"
}

for f in nimb.reg oemsetup.inf txtsetup.oem; do
    [ -f "$install/$f" ] || { echo "FAIL: no $install/$f"; exit 1; }
done

# The image, as the cross build names it; the service is named after it, as
# the system looks for a service's image in System32\drivers\<service>.sys
# when the service gives no path (text-mode set-up gives none).
image=$(sed -n 's/.*OUTPUT_NAME \([A-Za-z0-9_]*\) SUFFIX \(\.[a-z]*\).*/\1\2/p' "$src/cmake/nimb_sys.cmake")
same "image name of the cross build" "$image" nimb.sys
service=${image%.sys}
image_path="System32\\drivers\\$image"
group="SCSI miniport"

# make sys puts the three files next to the image.
for f in nimb.reg oemsetup.inf txtsetup.oem; do
    grep -q "^INSTALL_FILES=.*\b$f\b" "$src/tools/scripts/build_sys.sh"
    same "build_sys.sh copies $f" "$?" 0
done

# --- nimb.reg --------------------------------------------------------------
reg=$(entries "$install/nimb.reg" ";")
same "nimb.reg header" "$(head -n 1 "$install/nimb.reg" | tr -d '\r')" REGEDIT4
services='hkey_local_machine\system\currentcontrolset\services'
keys=$(P="$services\\" awk -F'\t' 'index($1, ENVIRON["P"]) == 1 { print substr($1, length(ENVIRON["P"]) + 1) }' <<<"$reg" | sort -u)
same "nimb.reg service key" "$(grep -v '\\' <<<"$keys")" "$service"
key="$services\\$service"
same "nimb.reg Type" "$(get "$reg" "$key" type)" "dword:00000001"
same "nimb.reg Start" "$(get "$reg" "$key" start)" "dword:00000000"
same "nimb.reg ErrorControl" "$(get "$reg" "$key" errorcontrol)" "dword:00000001"
same "nimb.reg Group" "$(get "$reg" "$key" group)" "$group"
same "nimb.reg ImagePath" "$(get "$reg" "$key" imagepath | sed 's/\\\\/\\/g')" "$image_path"
same "nimb.reg argument string" \
    "$(awk -F'\t' '$2 == "driverparameter" { print $1 }' <<<"$reg")" "$key\\parameters\\device"
grep -q '^\[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\[^]]*\\Parameters\\Device\]' "$install/nimb.reg"
same "nimb.reg Parameters\\Device key as written" "$?" 0
grep -q '^"DriverParameter"=' "$install/nimb.reg"
same "nimb.reg DriverParameter as written" "$?" 0

# --- oemsetup.inf ----------------------------------------------------------
inf=$(entries "$install/oemsetup.inf" ";")
same "oemsetup.inf OptionType" "$(get "$inf" identification optiontype)" SCSI
option=$(awk -F'\t' '$1 == "options" { print $2; exit }' <<<"$inf")
same "oemsetup.inf option's service" "$(get "$inf" options "$option")" "$service"
[ -n "$(get "$inf" optionstexteng "$option")" ]
same "oemsetup.inf option has a text" "$?" 0
same "oemsetup.inf ServiceName" "$(get "$inf" serviceconstants servicename)" "$service"
same "oemsetup.inf ServiceImage" "$(get "$inf" serviceconstants serviceimage)" "$image"
same "oemsetup.inf ServiceType" "$(get "$inf" serviceconstants servicetype)" 1
same "oemsetup.inf ServiceStart" "$(get "$inf" serviceconstants servicestart)" 0
same "oemsetup.inf ServiceErrorControl" "$(get "$inf" serviceconstants serviceerrorcontrol)" 1
same "oemsetup.inf ServiceGroup" "$(get "$inf" serviceconstants servicegroup)" "$group"
same "oemsetup.inf ServiceImagePath" "$(get "$inf" serviceconstants serviceimagepath)" "$image_path"
same "oemsetup.inf argument key" "$(get "$inf" serviceconstants parameterskey)\\$(get "$inf" serviceconstants devicekey)" 'Parameters\Device'
same "oemsetup.inf argument value" "$(get "$inf" serviceconstants argumentvaluename)" DriverParameter
same "oemsetup.inf REG_SZ" "$(get "$inf" registryconstants reg_vt_sz)" 1
same "oemsetup.inf REG_DWORD" "$(get "$inf" registryconstants reg_vt_dword)" 4
same "oemsetup.inf services path" "$(get "$inf" registryconstants servicespath)" 'SYSTEM\CurrentControlSet\Services'
same "oemsetup.inf files copied" "$(awk -F'\t' '$1 == "files-scsiminiportdriver" { print $2 }' <<<"$inf" | while read -r l; do field "$l" 2; done)" "$image"
same "oemsetup.inf disk tag file" "$(get "$inf" "source media descriptions" 1 | sed -n 's/.*TAGFILE *= *\([^ ,]*\).*/\1/p')" "$image"
# Each value is written from its constant.
for v in Type:ServiceType Start:ServiceStart ErrorControl:ServiceErrorControl Group:ServiceGroup \
         ImagePath:ServiceImagePath '$(ArgumentValueName):ArgumentString'; do
    grep -qF "{${v%%:*}, 0, \$(REG_VT_" "$install/oemsetup.inf" && grep -qF "\$(${v#*:})}" "$install/oemsetup.inf"
    same "oemsetup.inf writes ${v%%:*}" "$?" 0
done

# --- txtsetup.oem ----------------------------------------------------------
oem=$(entries "$install/txtsetup.oem" "#")
id=$(get "$oem" defaults scsi)
[ -n "$(get "$oem" scsi "$id")" ]
same "txtsetup.oem default adapter listed" "$?" 0
same "txtsetup.oem adapter's service" "$(field "$(get "$oem" scsi "$id")" 2)" "$service"
driver=$(get "$oem" "files.scsi.$id" driver)
disk=$(field "$driver" 1)
same "txtsetup.oem driver file" "$(field "$driver" 2)" "$image"
same "txtsetup.oem driver service" "$(field "$driver" 3)" "$service"
same "txtsetup.oem inf file" "$(field "$(get "$oem" "files.scsi.$id" inf)" 2)" oemsetup.inf
same "txtsetup.oem disk tag file" "$(field "$(get "$oem" disks "$disk")" 2)" "\\$image"
config=$(S="config.$service" awk -F'\t' '$1 == tolower(ENVIRON["S"]) && $2 == "value" { print $3 }' <<<"$oem")
value() {  # subkey, name: "type, value"
    while read -r l; do
        [ "$(field "$l" 1)" = "$1" ] && [ "$(field "$l" 2)" = "$2" ] && { echo "$(field "$l" 3), $(field "$l" 4)"; return; }
    done <<<"$config"
}
same "txtsetup.oem Type" "$(value "" Type)" "REG_DWORD, 1"
same "txtsetup.oem Start" "$(value "" Start)" "REG_DWORD, 0"
same "txtsetup.oem ErrorControl" "$(value "" ErrorControl)" "REG_DWORD, 1"
same "txtsetup.oem Group" "$(value "" Group)" "REG_SZ, $group"
same "txtsetup.oem argument string" "$(value 'Parameters\Device' DriverParameter)" "REG_SZ, "

# --- the example argument string, given to the driver ----------------------
example=$(sed -n 's/^; *"DriverParameter"="\(.*\)"\r*$/\1/p' "$install/nimb.reg")
[ -n "$example" ]
same "nimb.reg shows an example argument string" "$?" 0
if [ -n "$tool" ] && [ -n "$example" ]; then
    "$tool" --port 0x278 --args "$example" info >"${TMPDIR:-/tmp}/install_files_$$" 2>&1
    same "example argument string boots" "$?" 0
    grep -q '^port *0x278$' "${TMPDIR:-/tmp}/install_files_$$"
    same "example argument string: port 0x278" "$?" 0
    grep -q '^read mode *4 ' "${TMPDIR:-/tmp}/install_files_$$"
    same "example argument string: read mode 4" "$?" 0
    grep -q '^write mode *2 ' "${TMPDIR:-/tmp}/install_files_$$"
    same "example argument string: write mode 2" "$?" 0
    rm -f "${TMPDIR:-/tmp}/install_files_$$"
fi

echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
