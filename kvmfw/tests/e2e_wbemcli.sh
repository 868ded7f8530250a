#!/usr/bin/env bash
# End to end, inside the simulated host: QelvoSG_CKVMFirmwareElement through the host CIMOM with
# wbemcli, against the controller simulator's KVM device.
#   scripts/simhost run -- kvmfw/tests/e2e_wbemcli.sh [URL]
set -uo pipefail
url=${1:-${SIMHOST_URL:?run inside scripts/simhost, or give the CIMOM URL}}
base="$url/root/qelvosd:QelvoSG_CKVMFirmwareElement"
failures=0

expect_output() {
  local what=$1 pattern=$2 out
  shift 2
  out=$(timeout 60 "$@" 2>&1)
  if ! grep -qE -- "$pattern" <<<"$out"; then
    echo "FAIL: $what: no match for /$pattern/ in:" >&2
    sed 's/^/    /' <<<"$out" >&2
    failures=$((failures + 1))
  fi
}

expect_output "ei" 'FirmwareVersion="CKV1\.21\.3"' wbemcli ei "$base"
expect_output "ei names" 'DeviceName="ckvm1"' wbemcli ei "$base"
expect_output "ein" 'QelvoSG_CKVMFirmwareElement\.DeviceID="ckvm1"' wbemcli ein "$base"
expect_output "gi" 'FirmwareVersion="CKV1\.21\.3"' wbemcli gi "$base.DeviceID=\"ckvm1\""
expect_output "gi wrong key" 'CIM_ERR_NOT_SUPPORTED.*ckvmfwProvider does not handle class QelvoSG_CKVMFirmwareElement' \
  wbemcli gi "$base.DeviceID=\"ckvm2\""
expect_output "mi" 'CIM_ERR_NOT_SUPPORTED.*Modifications are not supported on this type of device' \
  wbemcli mi "$base.DeviceID=\"ckvm1\"" 'FirmwareVersion="x"'
expect_output "ci" 'CIM_ERR_NOT_SUPPORTED' wbemcli ci "$base.DeviceID=\"ckvm9\"" 'DeviceID="ckvm9",FirmwareVersion="x"'
expect_output "di" 'CIM_ERR_NOT_SUPPORTED' wbemcli di "$base.DeviceID=\"ckvm1\""

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "KVM firmware class: all checks passed"
