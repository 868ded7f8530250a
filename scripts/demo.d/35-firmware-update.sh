# Demo section: a firmware update of several packages, from InstallFromURI to the job's final
# state: a UEFI image and controller firmware for the management controller, an Emulex adapter
# payload and a hypervisor depot, each handed to the installation service that owns its device.
# Sourced by scripts/demo inside the simulated host (section, say, show and $url come from there).

if [ -e /lib/cim/libpkgbroker.so ] &&
  [ -n "$(wbemcli ein "$url/qelvo/cimv2:Qelvo_SoftwareInstallationService" 2>/dev/null)" ]; then
  broker=$(wbemcli ein "$url/selk/cimv2:MORV_VMpkgInstallationService" 2>/dev/null | head -n 1 | sed 's|^[^/]*/||')
  reboot="The update completed successfully, but the system needs to be rebooted for the changes to be effective."

  section "A firmware update: the host and its installation services"
  say "What the host holds is set in /etc/simhost/scenario: two converged Emulex ports, a hypervisor"
  say "whose update scans once, and a controller whose updates run for one look at their job."
  mkdir -p /etc/simhost
  cat >/etc/simhost/scenario <<EOF
host esx-demo-1
emulex-cna port 0x0720:10000000C9D0E001
emulex-cna port 0x0720:10000000C9D0E002
hypervisor job "Scanning URI for installable packages"
hypervisor job "$reboot"
controller job "Process Running"
controller job "Process Completed"
EOF
  : >/etc/simhost/installs
  show cat /etc/simhost/scenario
  show wbemcli -nl ei "$url/root/emulex:ELXUCNA_EthernetPort"
  show wbemcli ein "$url/qelvo/cimv2:Qelvo_SoftwareInstallationService"

  section "Four packages on the TFTP server"
  fw=/srv/tftp/update
  rm -rf "$fw"
  mkdir -p "$fw/image"
  package() { # type category name id payload [prerequisite]
    printf '<INSTANCE CLASSNAME="Qelvo_SoftwareIdentity">\n'
    printf '<PROPERTY NAME="%s" TYPE="%s">\n<VALUE>%s</VALUE>\n</PROPERTY>\n' \
      Name string "$3" type uint16 "$1" category string "$2" payload string "$5" \
      identificationCode string "$4"
    if [ -n "${6:-}" ]; then
      printf '<PROPERTY.ARRAY NAME="preReq" TYPE="string">\n<VALUE.ARRAY>\n<VALUE>%s</VALUE>\n' "$6"
      printf '</VALUE.ARRAY>\n</PROPERTY.ARRAY>\n'
    fi
    printf '</INSTANCE>\n'
  }
  package 1 UEFI "Server UEFI firmware" qelvo_uefi_fw qelvo_uefi_fw.bin >"$fw/uefi.xml"
  package 1 Network "Emulex OneConnect firmware" elx_oc_fw elx_oc_fw.zip qelvo_uefi_fw >"$fw/elx.xml"
  package 1 "Embedded Hypervisor" "VMware ESXi update" vmw_esxi_upd depot/ >"$fw/esxi.xml"
  package 1 Tavik "Tavik controller firmware" qelvo_tavik_fw qelvo_tavik_fw.bin qelvo_tavik_base >"$fw/tavik.xml"
  head -c 300000 /dev/urandom >"$fw/qelvo_uefi_fw.bin"
  head -c 150000 /dev/urandom >"$fw/qelvo_tavik_fw.bin"
  head -c 120000 /dev/urandom >"$fw/image/oc14-fw.ufi"
  cat >"$fw/image/payload.xml" <<'EOF'
<updateConfiguration>
  <payload order="1">image/oc14-fw.ufi</payload>
    <applicability type="driver">0x0720</applicability>
  </payload>
</updateConfiguration>
EOF
  (cd "$fw" && zip -q -r elx_oc_fw.zip image)
  chmod -R a+rX "$fw"
  show ls -l "$fw"
  show cat "$fw/elx.xml"
  say "The adapter payload's archive and its payload description:"
  show unzip -l "$fw/elx_oc_fw.zip"
  show cat "$fw/image/payload.xml"
  say "The Emulex package needs the UEFI image first; the controller firmware names a prerequisite"
  say "that is not in the request, so it goes last."

  section "InstallFromURI: answered at once with 4096 and the job"
  list="tftp://127.0.0.1/update/tavik.xml|tftp://127.0.0.1/update/elx.xml|tftp://127.0.0.1/update/esxi.xml"
  list="$list|tftp://127.0.0.1/update/uefi.xml"
  answer=$(wbemcli -nl cm "$url/$broker" "InstallFromURI.URI=\"$list\"" 2>&1 || true)
  echo "${bold}\$ wbemcli -nl cm '$url/$broker' 'InstallFromURI.URI=\"$list\"'${plain}"
  printf '%s\n' "$answer" | sed -e 's/^/    /'
  job=$(printf '%s\n' "$answer" | sed -n 's/.*InstanceID=\\\?"\(Selk-[0-9]*\)\\\?".*/\1/p' | head -n 1)
  say "The job $job, polled through Qelvo_ConcreteJob in selk/cimv2 until it leaves Running (4). Each"
  say "new status line is shown whole from the broker's status file /tmp/selkstat$job.txt (the job"
  say "keeps its first 255 characters):"
  last=
  for i in $(seq 600); do
    got=$(wbemcli -nl gi "$url/selk/cimv2:Qelvo_ConcreteJob.InstanceID=\"$job\"" 2>/dev/null)
    state=$(printf '%s\n' "$got" | sed -n 's/^-JobState=//p')
    status=$(cat "/tmp/selkstat$job.txt" 2>/dev/null || true)
    if [ -n "$status" ] && [ "$status" != "$last" ]; then
      echo "    JobState=$state $status"
      last=$status
    fi
    [ -n "$state" ] && [ "$state" != 4 ] && break
    sleep 0.5
  done
  show wbemcli -nl gi "$url/selk/cimv2:Qelvo_ConcreteJob.InstanceID=\"$job\""

  section "What each installation service was given"
  say "One line per InstallFromURI call, in the order of the installation (the services' record):"
  show sh -c "cut -f1,4,5,8,9,10,12 /etc/simhost/installs | sed 's/\t/  /g'"
  say "The digests of the originals, for comparison:"
  show sh -c "cd $fw && md5sum qelvo_uefi_fw.bin image/oc14-fw.ufi qelvo_tavik_fw.bin"
  say "The broker's order and the controller's job as its debug log traced them:"
  show sh -c 'grep -E "Order Flag is|--[0-9]+:|jobstatus|Update time elapses" /tmp/selkdebug.txt | tail -n 16'
  say "Nothing fetched or unpacked stays behind:"
  show ls -A /var/tmp/filestore
fi
