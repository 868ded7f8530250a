// schemapull: imports the class definitions of the node controllers' CIMOM into the host CIMOM's
// staging area, so that the pass-through provider QelvoTPP can serve them under
// qelvo/tavik<N>/cimv2 and qelvo/tavik<N>/interop.
//
// Three units:
//  - the CIM-XML client (cim_client.cpp): one GetClass request per class over libcurl, the raw
//    answer handed back as text; the controller's namespaces through the CIM client library;
//  - the class converter (class_parse.cpp): one GetClass answer to a MOF class declaration and a
//    provider registration entry, appended to the files of /tmp/tpp/stage_tmp/;
//  - the driver (schema_import.cpp, state_file.cpp): the state file, the firmware version, the
//    fetch of every class and the population of /tmp/tpp/stage/ for every node.
//
// Everything the controller sends is checked before it becomes a path, a file name or MOF text:
// namespaces and class names are letters, digits, "_" (and "/" between namespace segments),
// attribute values are at most SP_ATTR_MAX characters, and values are written so that the MOF
// reader reads back exactly them.
#ifndef QELVO_SCHEMAPULL_SCHEMAPULL_H
#define QELVO_SCHEMAPULL_SCHEMAPULL_H

#include <cmci.h>
#include <curl/curl.h>

#include <cstddef>
#include <ctime>
#include <string>
#include <vector>

// ------------------------------------------------------------------ CIM-XML client

#define SP_CONTROLLER_ADDR "169.254.95.118"
#define SP_BIND_ADDR "169.254.95.101"
// Size of a fresh response buffer and of the header buffer.
#define SP_RESPONSE_CHUNK 2048
#define SP_HEADER_BUFFER 256
// A GetClass answer larger than this is refused (the largest controller class is a few KiB).
#define SP_RESPONSE_MAX (16u * 1024u * 1024u)
// A transfer without progress for this long is aborted.
#define SP_STALL_SECONDS 600
// A gap between two progress calls longer than this is a clock jump, not a stall.
#define SP_CLOCK_JUMP_SECONDS 30
// Clock jumps tolerated in one transfer.
#define SP_MAX_FIXUPS 10

struct string_data {
  char *data;   // always terminated
  size_t len;   // allocated size
  size_t free;  // bytes not yet filled
};

struct timeout_control {
  time_t time_start;  // start of the progress-free stretch being measured
  time_t time_last;   // clock at the previous progress call
  unsigned fixups;    // clock jumps seen
  // Bytes moved so far (down and up): any change is progress.
  curl_off_t seen_down;
  curl_off_t seen_up;
};

struct cclient_connection {
  CURL *handle;
  struct curl_slist *headers;
  char schema[10];
  struct string_data response;
  struct string_data status;
  struct timeout_control timeout;
};

// Connection parameters of the run, found by the first init_connection.
extern char tavik_userid[9];
extern char tavik_password[9];
extern char tavik_addr[20];
extern char tavik_port[20];
extern char tavik_schema[20];

int init_connection(const char *bind_addr, const char *ipmi_device, struct cclient_connection *con);
int gen_request(struct cclient_connection *con, const char *operation, const char *name_space);
void add_payload(struct cclient_connection *con, const char *body, size_t len);
// The libcurl result; a transfer the watchdog stopped is CURLE_OPERATION_TIMEDOUT.
CURLcode get_response(struct cclient_connection *con);
void free_con(struct cclient_connection *con);
// libcurl write callback: appends to the response (the connection's `response`) or, for header
// lines, to `status`.
size_t write_response(char *ptr, size_t size, size_t nmemb, void *userdata);
// libcurl progress callback over the connection's timeout_control: nonzero aborts the transfer.
int check_progress(void *clientp, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal, curl_off_t ulnow);
// Appends len bytes to a string_data (growing it), keeping it terminated. 0, or -1 when memory
// or SP_RESPONSE_MAX runs out.
int string_data_append(struct string_data *s, const char *chunk, size_t len);

// The GetClass request body for class_name in name_space (text the caller frees), or null when a
// name is not a valid namespace or class name.
char *build_getclass_body(const char *name_space, const char *class_name);
// The class's CIM-XML as the controller's CIMOM answers GetClass (the caller frees it), or null.
char *get_class(const char *bind_addr, const char *ipmi_device, const char *name_space, const char *class_name);
// The controller's namespaces, each followed by ";" (the caller frees it), or null.
char *get_name_space(const char *bind_addr, const char *ipmi_device, CMPIStatus *status);

// ------------------------------------------------------------------ names

// Longest attribute value (NAME, TYPE, REFERENCECLASS, SUPERCLASS) taken from a class.
#define SP_ATTR_MAX 49
// Longest namespace and class name accepted from the controller.
#define SP_NAME_MAX 255

// 1 for a name of letters, digits and "_" of 1 to max characters.
int sp_valid_class_name(const char *name, size_t max);
// 1 for one or more such names joined by single "/" (no leading or trailing "/", no "..").
int sp_valid_namespace(const char *name);

// ------------------------------------------------------------------ class to MOF

#define SP_STAGE_TMP "/tmp/tpp/stage_tmp/"
#define SP_STAGE_TMP_REG "/tmp/tpp/stage_tmp/regs/qelvotpp.reg"

// The MOF text of one class (from the answer xml of len bytes) into *mof and the association
// flag into *association; 0, or -1 with a reason in *why (a static text) when the answer holds
// no class or something that cannot be written as MOF. Never reads outside xml[0, len).
int class_to_mof(const char *class_name, const char *xml, size_t len, char **mof, int *association, const char **why);
// The registration entry of a class.
int write_reg_file(FILE *reg, const char *host_ns, const char *class_name, int association);
// Writes the MOF text of one class; 0, or -1 (nothing written) when it cannot be converted.
int write_mof_file(FILE *mof, const char *class_name, const char *xml, int *association);
// Converts one class of the controller namespace name_space and appends it to the staging files.
int convert_to_mof(const char *name_space, const char *class_name, const char *xml, CMPIStatus *status);
int mkdir_p(const char *path);
// Forgets the namespace of the previous convert_to_mof call.
void reset_convert_state(void);

// ------------------------------------------------------------------ state file and driver

#define SP_STATE_DIR "/etc/cim/qelvo/"
#define SP_STATE_FILE "/etc/cim/qelvo/tavik_fw_schema"
#define SP_STATE_VALUE 100
#define SP_STATE_LINE 100
#define SP_STATE_KEYS 4
// A state file larger than this is not ours: read as absent.
#define SP_STATE_FILE_MAX 65536

#define SP_STAGE "/tmp/tpp/stage/"
#define SP_WORK "/tmp/tpp_work/"
#define SP_TPP_ROOT "/tmp/tpp"
#define SP_BOOTBANK_ARCHIVE "/bootbank/cimstgc.tgz"
#define SP_REPOSITORY_NODE0 "/var/lib/sfcb/registration/repository/qelvo/tavik0"
#define SP_CERT_FLAG "/tmp/CERT_FLAG"
#define SP_MAX_PROCESSING 15

// The four values of the state file: SCHEMA_STATE, FW_VERSION, TAVIK_NODE_NUM, PROCESSING_TIMES.
struct schema_state {
  char value[SP_STATE_KEYS][SP_STATE_VALUE];
};
enum { SP_KEY_STATE, SP_KEY_FW_VERSION, SP_KEY_NODE_NUM, SP_KEY_PROCESSING };
extern const char *const sp_state_keys[SP_STATE_KEYS];

// Reads state file text (len bytes) into *st (zero-filled first). Never reads outside it.
void parse_state_text(const char *text, size_t len, struct schema_state *st);
// The state file text of *st (the caller frees it).
char *format_state_text(const struct schema_state *st);
// Opens the state file (made, with its directory, when missing) and takes an exclusive flock on
// it. The descriptor, or -1.
int state_lock(void);
// Reads the locked state file.
int state_read(int fd, struct schema_state *st);
// Rewrites the locked state file with *st. 0, or -1.
int state_write(int fd, const struct schema_state *st);
// Closes the descriptor, which releases the lock.
void state_unlock(int fd);
// Writes count values of keys (names from sp_state_keys) into the state file under its lock, the
// other values kept. 0, or -1.
int write_state_file(const char *const keys[], const char *const values[], int count);

int get_tavik_fw_version(const char *bind_addr, const char *ipmi_device, char *version, int capacity,
                         CMPIStatus *status);
// The namespaces of a list as get_name_space makes it ("a;b;"), in order; one listed again
// (whatever its case) is taken at its last place only.
std::vector<std::string> sp_namespaces_to_fetch(const char *list);
int get_tavik_schema(const char *bind_addr, const char *ipmi_device, CMPIStatus *status);
int get_class_schema(const char *bind_addr, const char *ipmi_device, const char *name_space, CMPIStatus *status);
int get_class_schema_new(const char *bind_addr, const char *ipmi_device, const char *name_space, CMPIStatus *status);
int filter(const char *class_name);
// Fills /tmp/tpp/stage/ for node_num nodes from source (or from the boot-bank archive when
// source is null). 0, or -1.
int porpulate_tavik_reposity(int node_num, const char *source);
// Rewrites the namespace lines of a registration file for node_num nodes. 0, or -1.
int rewrite_registration(const char *path, int node_num);

// The program: 0, 1 (the state was "ready") or -1.
int schemapull_main(void);

#endif  // QELVO_SCHEMAPULL_SCHEMAPULL_H
