#!/usr/bin/env bash
# simhost leaves nothing behind on the machine: not after a normal run, not after a failing
# command, not after an interrupt, not when it is killed outright.
#   simhost_teardown_test.sh SIMHOST BUILD_DIR
set -uo pipefail
simhost=$1
build=$2
fails=0
fail() { echo "FAIL: $*" >&2; fails=$((fails + 1)); }

# A marker only this run's processes carry on their command line.
mark=simhost-teardown-$$-$RANDOM
leftovers() { pgrep -f "$mark" | grep -v "^$$\$" || true; }
machine_clean() {
  local p
  for p in /bootbank /etc/vmware /etc/cim /lib/cim /var/lib/sfcb "/tmp/$mark" "/srv/tftp/$mark"; do
    [ -e "$p" ] && fail "$p exists on the machine"
  done
  [ -z "$(leftovers)" ] || fail "processes left: $(leftovers | tr '\n' ' ')"
}
# The working directory is the machine's own inside: the command signals readiness there.
ready=$PWD/.$mark.ready
inner="touch /bootbank/x /etc/vmware/x /etc/cim/x /tmp/$mark /srv/tftp/$mark /var/lib/sfcb/x; sleep 300 & echo $mark >/dev/null; touch $ready"
wait_ready() {
  local i
  for i in $(seq 150); do [ -e "$ready" ] && break; sleep 0.1; done
  [ -e "$ready" ] || fail "the simulated host did not start ($1)"
  rm -f "$ready"
}

# 1. A command that fails: its status comes back.
"$simhost" run --build "$build" -- sh -c "$inner; exit 7" >/dev/null 2>&1
status=$?
[ $status -eq 7 ] || fail "status $status for a command that exited 7"
sleep 0.5
rm -f "$ready"
machine_clean

# 2. Interrupted with SIGTERM and SIGINT while the command runs.
for sig in TERM INT; do
  setsid "$simhost" run --build "$build" -- sh -c "$inner; sleep 300; echo $mark" >/dev/null 2>&1 &
  pid=$!
  wait_ready "$sig"
  kill "-$sig" "$pid"
  for i in $(seq 150); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$pid" 2>/dev/null; then
    fail "simhost still runs 15 s after SIG$sig"
    kill -KILL "$pid" 2>/dev/null
  fi
  wait "$pid" 2>/dev/null
  sleep 0.5
  machine_clean
done

# 3. Interrupted while it is still setting up.
setsid "$simhost" run --build "$build" -- sh -c "$inner; sleep 300; echo $mark" >/dev/null 2>&1 &
pid=$!
sleep 0.2
kill -TERM "$pid"
for i in $(seq 200); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$pid" 2>/dev/null; then
  fail "simhost still runs 20 s after a SIGTERM during the set-up"
  kill -KILL "$pid" 2>/dev/null
fi
wait "$pid" 2>/dev/null
sleep 0.5
rm -f "$ready"
machine_clean

# 4. Killed outright.
setsid "$simhost" run --build "$build" -- sh -c "$inner; sleep 300; echo $mark" >/dev/null 2>&1 &
pid=$!
wait_ready KILL
kill -KILL "$pid"
wait "$pid" 2>/dev/null
for i in $(seq 50); do [ -z "$(leftovers)" ] && break; sleep 0.1; done
machine_clean

if [ $fails -eq 0 ]; then
  echo "1 passed, 0 failed"
  exit 0
fi
echo "0 passed, 1 failed"
exit 1
