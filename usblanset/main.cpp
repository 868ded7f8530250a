// usblanset: sets up the host side of every node controller's LAN-over-USB link. It takes no
// arguments and exits with 0 when every USB NIC was configured, 1 otherwise.
#include "usblanset.h"

int main() { return usblanset_main(); }
