// Client connections to the CIMOM of a node's controller.
//
// A host has up to four nodes, each with its controller behind its own LAN-over-USB link: the
// host side of link n has the address int_bind[n], the controller int_TAVIK[n]. A connection
// finds the controller's credentials (over IPMI, else the default account), its scheme and port
// (a probe of https 5989, then http 5988, then SLP discovery), and keeps them for the slot for
// two minutes, so that a burst of short operations pays the discovery once.
//
// Each slot's record is guarded by a lock of its own: a caller never sees a half-written record,
// and full connections for one slot run one after the other (a caller that waited for another's
// full connection uses its result). The log lines never show a password.
#ifndef QELVO_BMCACCESS_TAVIK_CIMOM_CONNECT_H
#define QELVO_BMCACCESS_TAVIK_CIMOM_CONNECT_H

#include <cmci.h>

#define TAVIK_SLOT_COUNT 4
// How long (seconds) a record made by a full connection serves further connections.
#define TAVIK_CONN_CACHE_SECONDS 119

// Host-side link address and controller address of each slot.
extern const char *const int_bind[TAVIK_SLOT_COUNT];
extern const char *const int_TAVIK[TAVIK_SLOT_COUNT];

// What a full connection found for one slot.
struct tavik_conn_info {
  char tavik_userid[9];    // user name: 8 characters and the terminator
  char tavik_password[9];  // password: 8 characters and the terminator
  char tavik_addr[20];     // controller address in use
  char tavik_port[20];     // CIM-XML port in use, as text
  char bind_addr[20];      // host-side address (kept for the record's layout; not filled)
  char schema[20];         // "https" or "http"
  int is_inited;           // 1 when the last full connection produced a client
  int time_stamp;          // when that was (seconds since the epoch)
};

// A client connected to the controller behind the host-side address bind_addr, whose IPMI device
// is ipmi_device. The status goes to cmciConnect only. Null for an address that is none of
// int_bind (status untouched), or when no client could be made. The caller releases the client.
CMCIClient *util_cmciConnect(const char *bind_addr, const char *ipmi_device, CMPIStatus *rc);
// The same; scheme and port are not used.
CMCIClient *util_cmciConnect_int(const char *bind_addr, const char *ipmi_device, CMPIStatus *rc, const char *scheme,
                                 const char *port);

// Probes the controller's CIMOM: enumerates CIM_SoftwareIdentity in root/cimv2 with these
// credentials, scheme and port. 0 when that succeeded, 1 otherwise.
int check_schema(const char *tavik_addr, const char *user, const char *password, const char *port,
                 const char *scheme);

// A copy of slot's record, taken under its lock. 0, or -1 for a slot outside 0 to 3.
int util_get_conn_info(int slot, struct tavik_conn_info *out);

#endif  // QELVO_BMCACCESS_TAVIK_CIMOM_CONNECT_H
