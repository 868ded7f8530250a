// esxcfg-nics, esxcfg-vswitch, esxcfg-vmknic: one program per command, chosen at build time.
#include "commands.h"

int main(int argc, char **argv) { return esxnet::NETCMD(argc, argv); }
