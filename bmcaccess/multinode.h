// The multi-node complex: the partition descriptor read from the controller over IPMI, the node
// list parsed from it, and which IPMI device of the host reaches which node.
#ifndef QELVO_BMCACCESS_MULTINODE_H
#define QELVO_BMCACCESS_MULTINODE_H

#define MULTINODE_MAX_PARTITION_NODES 4
#define MULTINODE_DEV_PATH_SIZE 256
#define MULTINODE_DEVICE_LIST_SIZE 1024
// The descriptor is addressed by 16-bit offsets; it cannot be longer than this.
#define MULTINODE_MAX_DESCRIPTOR 65536

struct node_entry {
  unsigned char uuid[16];           // sub-record 0x80
  unsigned char uuid_checksum[2];   // 0x82
  unsigned char serial[8];          // 0x81
  unsigned char type;               // 0x83
  unsigned char power_state;        // 0x84
  unsigned char logical_id;         // 0x85
  unsigned char partition_id;       // 0x86
  unsigned char partition_count;    // 0x87
  unsigned char partition_flags;    // 0x88
  unsigned char is_standalone;      // from the node info of the device that reaches the node
  char dev_path[MULTINODE_DEV_PATH_SIZE];  // IPMI device reaching the node, "" when none does
};

struct complex_data {
  unsigned char signature[4];          // record 0x01
  unsigned char complex_id[2];         // 0x02
  unsigned char complex_node_count;    // 0x03
  struct node_entry *node_list;        // complex_node_count entries; freed by clean_parsed_complex
};

struct multinode_info {
  int multinode_supported;
  int complex_node_count;
  int partition_node_count;  // at most MULTINODE_MAX_PARTITION_NODES
  int primary_index;         // index in node_list of the node with logical id 0
  struct complex_data parsed_complex;
};

// Reads the whole descriptor from the controller on fd into a new buffer (free() it) of *size
// bytes. 0, or -1 (no buffer is handed out).
int read_complex_descriptor(int fd, unsigned char **descriptor, int *size);

// Parses a descriptor into *complex (whose node_list must be null). 0, or -1; a node list
// allocated before the failure stays in *complex.
int parse_complex_descriptor(const unsigned char *descriptor, int size, struct complex_data *complex);

// This node's standalone flag, logical id and partition id, as the controller on fd reports them.
int get_local_node_info(int fd, unsigned char *standalone, unsigned char *logical_id, unsigned char *partition_id);

// Number of nodes of the complex in partition `partition`.
int num_nodes_in_partition(const struct complex_data *complex, int partition);

// Lists the entries of /dev whose names contain "ipmi" as "/dev/<name>;" each, in directory
// order, into list (capacity bytes, terminated). 0, or -1 when the directory cannot be read or
// the list does not fit.
int get_lan_over_usb_path(char *list, int capacity, int *count);

// Fills the zero-filled *info: the descriptor of the controller on /dev/ipmi0, the local
// partition's node count, and each node's IPMI device. 0, or -1; multinode_supported tells the
// caller whether the descriptor was read (see the implementation for the cases).
int setup_multinode(struct multinode_info *info);

// Frees the node list and sets it to null.
void clean_parsed_complex(struct multinode_info *info);

#endif  // QELVO_BMCACCESS_MULTINODE_H
