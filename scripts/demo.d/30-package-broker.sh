# Demo section: the firmware package broker. A client asks for an installation of packages
# served by the host's TFTP server and follows the installation's job to its end.
# Sourced by scripts/demo inside the simulated host (section, say, show and $url come from there).

# The InstanceID of the job named in an InstallFromURI answer ("Job (reference): ...InstanceID="Selk-N"").
job_of() {
  printf '%s\n' "$1" | sed -n 's/.*Job (reference):.*InstanceID="\([^"]*\)".*/\1/p' | head -n 1
}

broker_path() {
  wbemcli ein "$url/selk/cimv2:MORV_VMpkgInstallationService" 2>/dev/null | head -n 1 | sed 's|^[^/]*/||'
}

if [ -e /lib/cim/libpkgbroker.so ] && [ -n "$(broker_path)" ]; then
  broker=$(broker_path)
  section "The firmware package broker"
  say "One instance in selk/cimv2:"
  show wbemcli -nl ei "$url/selk/cimv2:MORV_VMpkgInstallationService"

  section "An installation request for two packages on the host's TFTP server"
  mkdir -p /srv/tftp/pkgs
  descriptor() { # type category name id
    printf '<INSTANCE CLASSNAME="Qelvo_SoftwareIdentity">\n'
    printf '<PROPERTY NAME="%s" TYPE="%s">\n<VALUE>%s</VALUE>\n</PROPERTY>\n' \
      Name string "$3" type uint16 "$1" category string "$2" payload string "$4.bin" \
      identificationCode string "$4"
    printf '</INSTANCE>\n'
  }
  descriptor 1 Tavik "Controller firmware" qelvo_tavik_fw >/srv/tftp/pkgs/tavik_fw.xml
  descriptor 2 UEFI "UEFI settings" qelvo_uefi_cfg >/srv/tftp/pkgs/uefi_cfg.xml
  head -c 200000 /dev/urandom >/srv/tftp/pkgs/qelvo_tavik_fw.bin
  chmod 644 /srv/tftp/pkgs/*
  show ls -l /srv/tftp/pkgs
  show cat /srv/tftp/pkgs/tavik_fw.xml
  say "The broker answers at once with 4096 and the job that follows the installation:"
  shown=$(show wbemcli -nl cm "$url/$broker" \
    'InstallFromURI.URI="tftp://127.0.0.1/pkgs/tavik_fw.xml|tftp://127.0.0.1/pkgs/uefi_cfg.xml"')
  printf '%s\n' "$shown"
  job=$(job_of "$shown")
  say "The job, polled through Qelvo_ConcreteJob in selk/cimv2 until it leaves Running (4):"
  seen=
  for i in $(seq 100); do
    state=$(wbemcli -nl ei "$url/selk/cimv2:Qelvo_ConcreteJob" 2>/dev/null | sed -n 's/^-JobState=//p' | tail -n 1) || true
    case " $seen " in *" $state "*) ;; *) seen="$seen $state" ;; esac
    [ -n "$state" ] && [ "$state" != 4 ] && break
    sleep 0.2
  done
  say "JobState values seen:$seen"
  show wbemcli -nl ei "$url/selk/cimv2:Qelvo_ConcreteJob"
  say "Each package's entry: the descriptor and payload were fetched through the transfer service and"
  say "the controller's installation service took the controller firmware; a type 2 package is not"
  say "installable."
  show sh -c "cat /tmp/selkstat$job.txt; echo"
  say "The broker's debug log (passwords of sftp:// URIs are written as ********):"
  show sh -c 'grep -E "Package URI list|Order Flag|sequence|--[0-9]|enter update|Complete InstallAllPkgs" /tmp/selkdebug.txt | head -n 20'

  section "A request held on its first descriptor: Running, and a second request is refused"
  say "A local list (file://); its first descriptor is a pipe that the demo fills later."
  mkdir -p /tmp/pkgs
  rm -f /tmp/pkgs/held.xml
  mkfifo /tmp/pkgs/held.xml
  descriptor 1 Network "Network adapter" net_fw >/tmp/pkgs/net.xml
  shown=$(show wbemcli -nl cm "$url/$broker" 'InstallFromURI.URI="file:///tmp/pkgs/held.xml|file:///tmp/pkgs/net.xml"')
  printf '%s\n' "$shown"
  job=$(job_of "$shown")
  show wbemcli -nl gi "$url/selk/cimv2:Qelvo_ConcreteJob.InstanceID=\"$job\""
  show wbemcli -nl cm "$url/$broker" 'InstallFromURI.URI="file:///tmp/pkgs/net.xml"'
  say "The descriptor goes into the pipe; the run goes on to its end:"
  # In the background: opening the pipe waits for the broker to read it.
  descriptor 1 UEFI "UEFI firmware" qelvo_uefi_fw >/tmp/pkgs/held.xml &
  for i in $(seq 100); do
    state=$(wbemcli -nl gi "$url/selk/cimv2:Qelvo_ConcreteJob.InstanceID=\"$job\"" 2>/dev/null |
      sed -n 's/^-JobState=//p') || true
    [ -n "$state" ] && [ "$state" != 4 ] && break
    sleep 0.2
  done
  show wbemcli -nl gi "$url/selk/cimv2:Qelvo_ConcreteJob.InstanceID=\"$job\""

  section "Bad input is answered clearly; the maintenance methods"
  show wbemcli -nl cm "$url/$broker" 'InstallFromURI.URI="tftp://127.0.0.1/'"$(printf 'x%.0s' $(seq 200))"'.xml"'
  show wbemcli -nl cm "$url/$broker" ResetCimmon
  show wbemcli -nl cm "$url/$broker" DeleteSelkDebugLogFile
  show cat /tmp/selkdebug.txt
fi
