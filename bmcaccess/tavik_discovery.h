// The controller behind the LAN-over-USB link: its account (user ID over IPMI, password derived
// from it) and its address and CIM-XML ports (SLP discovery on the link-local network).
#ifndef QELVO_BMCACCESS_TAVIK_DISCOVERY_H
#define QELVO_BMCACCESS_TAVIK_DISCOVERY_H

#include <slp.h>

// Service types, first- then second-generation controller.
#define TAVIK_SLP_SERVICE_TYPE "management-hardware.Qelvo:tavik"
#define TAVIK2_SLP_SERVICE_TYPE "management-hardware.Qelvo:tavik2"
// Interface the search goes out of when the caller names none.
#define TAVIK_DEFAULT_SLP_INTERFACE "169.254.95.101"
// A discovered URL is used only if it holds this.
#define TAVIK_ADDRESS_MARKER "169.254"

#define TAVIK_USER_ID_SIZE 8
#define TAVIK_PASSWORD_SIZE 8
#define TAVIK_PORT_FIELD_SIZE 20
#define TAVIK_URL_BUFFER_SIZE 100

// The controller's CIM-XML ports as text; zero-filled before use.
struct port_schema {
  char http_port[TAVIK_PORT_FIELD_SIZE];
  char https_port[TAVIK_PORT_FIELD_SIZE];
};

// Derives the 8-character password of the user ID id (id_size bytes, normally 8) into password
// (8 characters, no terminator written). version is not used.
void util_pw_gen(const unsigned char *id, int id_size, char *password, int version);

// Reads the controller's user ID over the IPMI device ipmi_device into user and derives the
// password into password; both are 9-byte fields the caller has zero-filled. 0, or -1.
int util_get_tavik_credential(char *user, char *password, const char *ipmi_device);

// Finds the controller on the link of bind_addr (TAVIK_DEFAULT_SLP_INTERFACE when null or empty):
// its address into tavik_addr (addr_size bytes) and its ports into http_port and https_port
// (port_size bytes each; either may be null). 0 when an address and at least one port were found;
// otherwise -1 (tavik_addr may then hold the address found).
int util_init_slp_discovery(const char *bind_addr, char *tavik_addr, int addr_size, char *http_port, int port_size,
                            char *https_port);

// Finds only the controller's address on the link of bind_addr. 0, or -1 (tavik_addr is then
// left as it was).
int util_tavik_addr_slp_discovery(const char *bind_addr, char *tavik_addr, int addr_size);

// SLP callbacks: the cookie is a TAVIK_URL_BUFFER_SIZE URL buffer, or a port_schema.
SLPBoolean util_slp_srv_callback(SLPHandle hslp, const char *srvurl, unsigned short lifetime, SLPError errcode,
                                 void *cookie);
SLPBoolean util_attr_callback(SLPHandle hslp, const char *attrlist, SLPError errcode, void *cookie);
SLPBoolean util_attr_callback_2(SLPHandle hslp, const char *attrlist, SLPError errcode, void *cookie);

#endif  // QELVO_BMCACCESS_TAVIK_DISCOVERY_H
