#!/usr/bin/env bash
# End to end, inside the simulated host: the firmware inventory classes through the host CIMOM
# with wbemcli, against the controller simulator's SMBIOS table.
#   scripts/simhost run -- fwinfo/tests/e2e_wbemcli.sh [URL]
# URL defaults to the simulated host's CIMOM ($SIMHOST_URL).
set -uo pipefail
url=${1:-${SIMHOST_URL:?run inside scripts/simhost, or give the CIMOM URL}}
ns=root/qelvosd
failures=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# expect_output DESCRIPTION PATTERN COMMAND...: COMMAND's output (both streams) matches PATTERN.
expect_output() {
  local what=$1 pattern=$2 out
  shift 2
  out=$(timeout 60 "$@" 2>&1)
  if ! grep -qE -- "$pattern" <<<"$out"; then
    fail "$what: no match for /$pattern/ in:"
    sed 's/^/    /' <<<"$out" >&2
  fi
}

check_class() {
  local cls=$1 key=$2 id=$3 prop=$4 value=$5 provider=$6
  local base="$url/$ns:$cls"
  expect_output "$cls: ei" "$prop=\"$value\"" wbemcli ei "$base"
  expect_output "$cls: ei key" "$key=\"$id\"" wbemcli ei "$base"
  expect_output "$cls: ein" "$ns:$cls\.$key=\"$id\"" wbemcli ein "$base"
  expect_output "$cls: gi" "$prop=\"$value\"" wbemcli gi "$base.$key=\"$id\""
  expect_output "$cls: gi wrong key" "CIM_ERR_NOT_SUPPORTED.*$provider does not handle class $cls" \
    wbemcli gi "$base.$key=\"WRONG\""
  expect_output "$cls: mi" "CIM_ERR_NOT_SUPPORTED.*Modifications are not supported on this type of smbios" \
    wbemcli mi "$base.$key=\"$id\"" "$prop=\"changed\""
  expect_output "$cls: ci" "CIM_ERR_NOT_SUPPORTED" wbemcli ci "$base.$key=\"NEW\"" "$key=\"NEW\",$prop=\"x\""
  expect_output "$cls: di" "CIM_ERR_NOT_SUPPORTED" wbemcli di "$base.$key=\"$id\""
}

check_class QelvoSG_BMCElement BmcID BMC BmcVersion 'TVK1\.42-7' BMCVersionProvider
check_class QelvoSG_DiagnosticVPD PDraviID pDravi PDraviVersion 'QDG4\.12-1' PDraviVersionProvider
check_class QelvoSG_SystemBIOSElement BIOSID BIOS BIOSVersion 'VNB3\.18-2' BiosVersionProvider
# The raw data: the first structure's header and the BIOS version string of the table.
check_class QelvoSG_SmbiosInfo SmbiosID SMBIOS SmbiosRawData \
  "  Handle 0x0, Type 0.*String 2: 'Qelvo BIOS \[VNB3\.18-2\] VNL24'[^\"]*" SmbiosInfoProvider

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "firmware inventory classes: all checks passed"
