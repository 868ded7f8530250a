#!/usr/bin/env bash
# The controller CIMOM's switches as the host sees them, run inside a simulated host started with
#   gen2:       --generation 2 --tavik-no-https --tavik-option --firmware --tavik-option 2.07
#   untrusted:  --tavik-untrusted-cert --tavik-refuse-account --tavik-no-http
# Prints what fails and exits 1 on the first failed check.
set -uo pipefail

mode=${1:?usage: controller_switches_e2e.sh gen2|untrusted}
own=$SIMHOST_TAVIK_ACCOUNT
fallback=$SIMHOST_TAVIK_DEFAULT_ACCOUNT
ctl=169.254.95.118
failed=0

check() {
  local what=$1
  shift
  if "$@"; then
    echo "ok: $what"
  else
    echo "FAILED: $what" >&2
    failed=1
  fi
}

# curl's exit status for a request to the controller's CIMOM (7: refused, 60: untrusted).
curl_status() {
  curl -s -o /dev/null --max-time 20 "$@"
  echo $?
}

case $mode in
  gen2)
    out=$(wbemcli -nl ei "http://$own@$ctl:5988/root/cimv2:CIM_SoftwareIdentity" 2>&1)
    check "second-generation firmware banks" grep -q '^-InstanceID="CIM:Qelvo:Tavik:Primary"$' <<<"$out"
    check "the configured firmware version" grep -q '^-VersionString="2.07"$' <<<"$out"
    check "no first-generation instance" test "$(grep -c '^-InstanceID="Tavik"$' <<<"$out")" = 0
    out=$(wbemcli ein "http://$own@$ctl:5988/root/cimv2:CIM_ElementSoftwareIdentity" 2>&1)
    check "the banks' associations" test "$(grep -c 'Qelvo_ManagementController' <<<"$out")" = 2
    check "HTTPS switched off" test "$(curl_status "https://$ctl:5989/cimom")" = 7
    ;;
  untrusted)
    check "the certificate is not trusted" test "$(curl_status "https://$ctl:5989/cimom")" = 60
    out=$(wbemcli -noverify ein "https://$fallback@$ctl:5989/root/interop:CIM_Namespace" 2>&1)
    check "the default account, without verification" test "$(grep -c 'CIM_Namespace' <<<"$out")" = 2
    check "the controller's own account is refused" \
      test "$(curl -sk -o /dev/null -w '%{http_code}' -u "$own" -X POST --data x "https://$ctl:5989/cimom")" = 401
    check "HTTP switched off" test "$(curl_status "http://$ctl:5988/cimom")" = 7
    ;;
  *)
    echo "unknown mode $mode" >&2
    exit 2
    ;;
esac
exit $failed
