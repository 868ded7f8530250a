// The host's network commands: esxcfg-nics, esxcfg-vswitch and esxcfg-vmknic, each a main-like
// function over argv, printing its listings on standard output in the host's layout and its
// errors on standard error. Each returns 0, or 1 for a bad or impossible request, which then
// changes nothing.
//
//   esxcfg-nics -l
//   esxcfg-vswitch -l | -a SWITCH | -d SWITCH | -L|--link=NIC SWITCH | -U|--unlink=NIC SWITCH
//                  | -A|--add-pg=PORTGROUP SWITCH | -D|--del-pg=PORTGROUP SWITCH
//   esxcfg-vmknic -l | -a -i IP -n NETMASK [-p] PORTGROUP | -i IP -n NETMASK [-p] PORTGROUP
//                 | -d [-p] PORTGROUP
//
// When the environment names a file in ESXCFG_TRACE_FILE, every call appends its command line
// there, so that a test can tell which commands a program ran.
#ifndef QELVO_ESXI_NETCMDS_COMMANDS_H
#define QELVO_ESXI_NETCMDS_COMMANDS_H

namespace esxnet {

int NicsCommand(int argc, char **argv);
int VswitchCommand(int argc, char **argv);
int VmknicCommand(int argc, char **argv);

}  // namespace esxnet

#endif  // QELVO_ESXI_NETCMDS_COMMANDS_H
