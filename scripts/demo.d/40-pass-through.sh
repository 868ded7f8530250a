# Demo section: every node's controller seen through the host CIMOM, by the pass-through provider
# (qelvo/tavikN/cimv2 and qelvo/tavikN/interop). Sourced by scripts/demo inside the simulated host
# (show, say, section and url come from there).

if [ -e /lib/cim/libbmcrelay.so ] && [ -n "${SIMHOST_TAVIK_DEFAULT_ACCOUNT:-}" ]; then
  tpp_node1=http://$SIMHOST_TAVIK_DEFAULT_ACCOUNT@169.254.96.118:5988
  tpp_manager='Qelvo_ManagementController.CreationClassName="Qelvo_ManagementController",Name="TAVIK-0"'
  tpp_loopback='Qelvo_LoopbackService.SystemCreationClassName="Qelvo_ManagementController",SystemName="TAVIK-0",CreationClassName="Qelvo_LoopbackService",Name="Loopback"'
  section "The controllers through the host CIMOM (the pass-through provider)"
  say "Node 1's controller software, asked of the host CIMOM in qelvo/tavik1/cimv2:"
  show wbemcli ei "$url/qelvo/tavik1/cimv2:CIM_SoftwareIdentity"
  say "The same asked of node 1's controller itself, in its root/cimv2:"
  show wbemcli ei "$tpp_node1/root/cimv2:CIM_SoftwareIdentity"
  say "Node 0's namespaces, from qelvo/tavik0/interop:"
  show wbemcli ein "$url/qelvo/tavik0/interop:CIM_Namespace"
  say "Associations and their references come back in the node's host namespaces:"
  show wbemcli ain -ac CIM_ElementSoftwareIdentity "$url/qelvo/tavik0/cimv2:$tpp_manager"
  show wbemcli rin "$url/qelvo/tavik0/cimv2:$tpp_manager"
  say "A recipient created through the host is on node 1's controller, and goes again:"
  show wbemcli ci "$url/qelvo/tavik1/cimv2:Qelvo_AlertRecipient.Name=\"demo\"" "Name=demo,Address=192.0.2.7:162,Enabled=true"
  show wbemcli gi "$tpp_node1/root/cimv2:Qelvo_AlertRecipient.Name=\"demo\""
  show wbemcli di "$url/qelvo/tavik1/cimv2:Qelvo_AlertRecipient.Name=\"demo\""
  say "A method call with a reference, a list and an interval, to the controller and back:"
  show wbemcli -nl cm "$url/qelvo/tavik0/cimv2:$tpp_loopback" \
    'Loopback.Element=CIM_SoftwareIdentity.InstanceID="Tavik",Lines=first,second,Interval=00000000000130.000000:000'
  say "Account settings and BIOS attributes are not enumerated through the host:"
  show wbemcli ei "$url/qelvo/tavik0/cimv2:CIM_AccountSettingData"
  say "No controller answers for node 2:"
  show wbemcli ei "$url/qelvo/tavik2/cimv2:CIM_SoftwareIdentity"
  say "While /tmp/CERT_FLAG exists (simhost --cert) only the software associations of the systems"
  say "pass, through CIM_ElementSoftwareIdentity unless the request names another:"
  touch /tmp/CERT_FLAG
  show wbemcli ain "$url/qelvo/tavik0/cimv2:$tpp_manager"
  show wbemcli ain "$url/qelvo/tavik0/cimv2:CIM_BIOSAttribute.InstanceID=\"Tavik:BIOS:Turbo\""
  rm -f /tmp/CERT_FLAG
fi
