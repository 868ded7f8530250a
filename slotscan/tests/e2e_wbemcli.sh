#!/usr/bin/env bash
# End to end, inside the simulated host: the PCI inventory of this machine through the host CIMOM
# with wbemcli, compared with what lspci reads from the same /proc/bus/pci.
#   scripts/simhost run -- slotscan/tests/e2e_wbemcli.sh [URL]
set -uo pipefail
url=${1:-${SIMHOST_URL:?run inside scripts/simhost, or give the CIMOM URL}}
ns=root/qelvosd
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# Bus:device.function of every function lspci lists, split into devices and bridges (class 06).
lspci_all=$(lspci -n | awk '{print $1}' | sort)
lspci_bridges=$(lspci -n | awk '$2 ~ /^06/ {print $1}' | sort)
lspci_devices=$(lspci -n | awk '$2 !~ /^06/ {print $1}' | sort)
[ -n "$lspci_all" ] || fail "lspci lists no PCI functions"

# "bb:dd.f" of each instance wbemcli prints, from its DeviceID key "PCI Bus b, device d, function f".
functions_of() {
  timeout 60 wbemcli ein "$url/$ns:$1" 2>&1 |
    grep -oE 'DeviceID="PCI Bus [0-9]+, device [0-9]+, function [0-9]+"' |
    awk -F'[ ,"]+' '{printf "%02x:%02x.%x\n", $4, $6, $8}' | sort
}

devices=$(functions_of QelvoSG_PCIDevice)
bridges=$(functions_of QelvoSG_PCIBridge)
[ "$devices" = "$lspci_devices" ] || fail "QelvoSG_PCIDevice lists [$devices], lspci [$lspci_devices]"
[ "$bridges" = "$lspci_bridges" ] || fail "QelvoSG_PCIBridge lists [$bridges], lspci [$lspci_bridges]"

# Vendor and device codes agree with lspci -n for every function: "bb:dd.f vvvv:dddd" from the
# DeviceID key and the VendorID and PciDeviceID properties (decimal) of each instance.
codes_of() {
  timeout 60 wbemcli ei "$url/$ns:$1" 2>&1 | awk '
    match($0, /DeviceID="PCI Bus [0-9]+, device [0-9]+, function [0-9]+"/) {
      split(substr($0, RSTART, RLENGTH), k, /[ ,"]+/)
      v = $0; sub(/.*[ ,]VendorID=/, "", v); sub(/,.*/, "", v)
      d = $0; sub(/.*PciDeviceID=/, "", d); sub(/,.*/, "", d)
      printf "%02x:%02x.%x %04x:%04x\n", k[4], k[6], k[8], v, d
    }' | sort
}
cim_codes=$( { codes_of QelvoSG_PCIDevice; codes_of QelvoSG_PCIBridge; } | sort)
lspci_codes=$(lspci -n | awk '{print $1, $3}' | sort)
[ "$cim_codes" = "$lspci_codes" ] || fail "vendor:device codes [$cim_codes], lspci [$lspci_codes]"

# Vendor names agree with lspci's for every function.
while read -r slot; do
  [ -n "$slot" ] || continue
  vendor=$(lspci -mm -s "$slot" | awk -F'"' '{print $4}')
  out=$(timeout 60 wbemcli ei "$url/$ns:QelvoSG_PCIDevice" 2>&1; timeout 60 wbemcli ei "$url/$ns:QelvoSG_PCIBridge" 2>&1)
  grep -qF -- "$vendor" <<<"$out" || fail "vendor \"$vendor\" of $slot not shown"
done <<<"$lspci_all"

# The board and the on-board association answer.
timeout 60 wbemcli ein "$url/$ns:QelvoSG_SystemBoard" 2>&1 | grep -q 'QelvoSG_SystemBoard' ||
  fail "no QelvoSG_SystemBoard"
timeout 60 wbemcli ein "$url/$ns:QelvoSG_OnBoardDevice" >/dev/null 2>&1 ||
  fail "QelvoSG_OnBoardDevice enumeration failed"

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "PCI inventory agrees with lspci: $(wc -l <<<"$lspci_all") functions"
