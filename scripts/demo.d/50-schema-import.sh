# simhost-options: --nodes 2 --schema-import
# Demo section: the schema import. schemapull stages the controllers' classes, the host's
# repository step (simhost-stage-load) loads them, and the host CIMOM serves them for both nodes
# through the pass-through provider. Runs in a simulated host of its own whose CIMOM starts
# without the controllers' classes. Sourced by scripts/demo (show, say, section and url come
# from there).

# Waits (at most 5 minutes) for the child schemapull forked to leave the state "processing".
schema_import_wait() {
  local i
  for ((i = 0; i < 3000; i++)); do
    grep -q '^SCHEMA_STATE = "processing"' /etc/cim/qelvo/tavik_fw_schema 2>/dev/null || break
    sleep 0.1
  done
  for ((i = 0; i < 600; i++)); do
    pgrep -x schemapull >/dev/null || break
    sleep 0.1
  done
}

if command -v schemapull >/dev/null && [ -e /lib/cim/libbmcrelay.so ]; then
  section "Importing the controllers' classes (schemapull)"
  say "Before the import the host CIMOM has no classes in qelvo/tavik1/cimv2:"
  show wbemcli ecn "$url/qelvo/tavik1/cimv2:CIM_ManagedElement"
  touch /tmp/QELVOTAVIKLOG
  say "schemapull forks: the parent returns at once, the child fetches every class of both"
  say "controller namespaces, one GetClass request each, and stages them for both nodes."
  start=$(date +%s.%N)
  show schemapull
  schema_import_wait
  say "Done in $(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }') s; the state file and the staging area:"
  show cat /etc/cim/qelvo/tavik_fw_schema
  show find /tmp/tpp/stage -type f
  show grep -c '^\[' /tmp/tpp/stage/regs/qelvotpp.reg
  show sed -n '1,7p' /tmp/tpp/stage/regs/qelvotpp.reg
  show sed -n '/^\/\/ Qelvo_ManagementController$/,/^};$/p' /tmp/tpp/stage/mofs/qelvo/tavik1/cimv2/cimv2.mof
  say "The repository step loads the staging area (and saves it to the boot bank); the CIMOM restarts:"
  show simhost-stage-load --bootbank
  show ls -l /bootbank
  show wbemcli ecn "$url/qelvo/tavik1/cimv2:CIM_ManagedElement"
  show wbemcli ei "$url/qelvo/tavik1/cimv2:CIM_SoftwareIdentity"
  show wbemcli ein "$url/qelvo/tavik0/interop:CIM_Namespace"
  say "The next run finds the state \"ready\" and sets \"check\" (exit status 1); the one after it"
  say "finds the same firmware and the repository loaded, and fetches nothing:"
  show schemapull
  : >/tmp/QELVOTAVIKLog.log
  show schemapull
  schema_import_wait
  show grep 'Get Tavik schema' /tmp/QELVOTAVIKLog.log
  rm -f /tmp/QELVOTAVIKLOG
fi
