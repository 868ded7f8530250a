// IPMI requests to the local controller through the Linux IPMI driver's character device.
//
// One synchronous exchange at a time on a descriptor: send the request to the BMC over the system
// interface, wait for the descriptor to become readable (at most IPMI_REPLY_WAIT_MS), receive the
// reply and accept it only as the response to this request (same network function plus one, same
// command). The reply handed back starts with the completion code, which this unit never
// interprets.
#ifndef QELVO_BMCACCESS_IPMI_H
#define QELVO_BMCACCESS_IPMI_H

#define IPMI_DEFAULT_DEVICE "/dev/ipmi0"

// Size of the receive area: the longest message the driver delivers.
#define IPMI_REPLY_MAX 272
#define IPMI_REPLY_WAIT_MS 5000

// Opens the IPMI device read/write. Returns the descriptor, or a negative value.
int connect_ipmi(const char *device);

// Closes fd unless it is negative.
void disconnect_ipmi(int fd);

// One exchange: network function netfn, command cmd, data_len request bytes from data.
// *reply_len is the capacity of reply on entry; on success it is set to the reply's length
// (completion code included) and the reply is copied to reply. A reply that does not fit the
// caller's capacity is refused. Returns 0, or -1 on any failure (reply and *reply_len are then
// left as they were).
int send_kcs_IPMI_command(int fd, unsigned char cmd, const unsigned char *data, unsigned short data_len,
                          unsigned char *reply, unsigned short *reply_len, unsigned char netfn);

#endif  // QELVO_BMCACCESS_IPMI_H
