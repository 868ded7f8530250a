// The controller pass-through provider (QelvoTPP): the CIM objects of node N's controller appear
// on the host under qelvo/tavikN/cimv2 and qelvo/tavikN/interop.
//
// tpp_node.cpp    the node table (node slot -> host-side link address and IPMI device), the
//                 namespace translation both ways, client and result release, the class filter
// tpp_copy.cpp    the two copy families: controller objects rebuilt with the host broker, host
//                 objects rebuilt with the CIM client library
// tpp_forward.cpp one function per CIM operation that sends the request to the node's controller
// tpp_provider.cpp the instance, association and method interfaces the CIMOM calls
//
// Host objects are made only through _broker, client objects only through the client library:
// neither side is handed the other's objects. Every copy into the fixed 20- and 50-byte fields is
// bounded; a text that does not fit is refused, never cut.
#ifndef QELVO_BMCRELAY_TPP_H
#define QELVO_BMCRELAY_TPP_H

#include <cmci.h>
#include <cmpidt.h>
#include <cmpift.h>

#define TPP_SLOT_COUNT 4
#define TPP_FIELD_SIZE 20      // bind address and device path fields
#define TPP_NS_BUFFER_SIZE 50  // translated namespaces
#define TPP_NS_PREFIX "qelvo/tavik"
#define TPP_LOGICAL_ID_PRIMARY 255  // stands for slot 0

#define TPP_TO_CONTROLLER 0
#define TPP_TO_HOST 1

#define TPP_CERT_FLAG_FILE "/tmp/CERT_FLAG"
#define TPP_MSG_CONNECT "Fails to connect to Tavik"
#define TPP_MSG_NAMESPACE "Invalid namespace"
#define TPP_MSG_MISMATCH "Mismatch schemas with Tavik"

struct multinode_info;

// The host broker of the provider's factories; every host object is made through it.
extern const CMPIBroker *_broker;

// ---------------------------------------------------------------- tpp_node.cpp

// Builds the node table once per process (several factories on several threads may call it).
void TPPMultinodeInit(void);
// Fills the two tables (TPP_SLOT_COUNT fields each, zero-filled by the caller) from a partition
// descriptor setup_multinode filled: each node's logical id is its slot (255: slot 0); a node
// whose id is above 3 has no slot; a node that no host device reaches does not take a slot a
// reachable node holds. A device path that does not fit its field is left out.
void util_fill_node_table(const struct multinode_info *info, char lan_usb_ip[][TPP_FIELD_SIZE],
                          char ipmi_dev[][TPP_FIELD_SIZE]);
// The character after the first TPP_NS_PREFIX in ns less '0' (no digit check: only 0 to 3 name a
// node), or -1 when ns has no prefix.
int util_get_id_from_ns(const char *ns);
// Copies the bind address and IPMI device path of slot id into the buffers given (either may be
// null; a value that does not fit its buffer is refused). 0, or -1 for an id outside 0 to 3 or a
// slot the node table does not fill.
int get_intf_from_id(char *bind_addr, int bind_size, char *dev_path, int dev_size, int id);
int util_intf_from_ns(char *bind_addr, int bind_size, char *dev_path, int dev_size, const char *ns);
// Translates ns into dst (size bytes, zero-filled by the caller): direction TPP_TO_CONTROLLER maps
// a host namespace with the prefix to "root/cimv2" / "root/interop" (or itself without either
// suffix) and leaves dst as it was for one without the prefix; TPP_TO_HOST maps exactly
// "root/cimv2" / "root/interop" to node id's host namespace and copies any other namespace. 0, or
// -1 when the result does not fit (dst is then zero-filled).
int util_change_namespce(const char *ns, char *dst, int size, int direction, int id);
void util_release_client(CMCIClient *cc);
void util_release_arg(CMPIArgs *args);
void util_enum_end(CMPIEnumeration *en, CMCIClient *cc);
void util_instance_end(CMPIInstance *inst, CMCIClient *cc);
void util_objpath_end(CMPIObjectPath *op, CMCIClient *cc);
// 1 for the classes never enumerated through the provider (logged), else 0.
int class_filter(const char *class_name);
// The context's "CMPIInvocationFlags" entry (0 when it has none).
CMPIUint32 getFlag(const CMPIContext *ctx);

// ---------------------------------------------------------------- tpp_copy.cpp

// True for the kinds that are rebuilt rather than copied: references, instances, date-times and
// arrays.
bool tpp_is_nested(CMPIType type);

// Controller to host. The copies are host objects (scoped to the request, as broker objects are).
// util_data_copy returns the status code (CMPI_RC_OK, or the first failing nested copy's, also
// set in *st); util_single_data_copy returns dst, or null when the copy failed.
CMPIrc util_data_copy(const CMPIData *src, CMPIData *dst, CMPIStatus *st, int id);
CMPIData *util_single_data_copy(const CMPIData *src, CMPIData *dst, CMPIStatus *st, int id);
// A host path in host_ns for class cls with every non-null key of the controller path src, or
// null (with *st set) when a key could not be copied.
CMPIObjectPath *util_host_path(const CMPIObjectPath *src, const char *host_ns, const char *cls, CMPIStatus *st,
                               int id);
// Sets every non-null property of the controller instance src on the host instance dst. The
// status code, as util_data_copy's.
CMPIrc util_host_properties(const CMPIInstance *src, CMPIInstance *dst, CMPIStatus *st, int id);

// Host to controller. The copies are client objects the caller releases (util_release_copy); an
// item whose nested copy failed is left out of the object being built.
CMPIrc util_sfcc_data_copy(const CMPIData *src, CMPIData *dst, CMPIStatus *st);
CMPIData *util_sfcc_single_data_copy(const CMPIData *src, CMPIData *dst, CMPIStatus *st);
// A client path in the controller namespace of op's with every non-null key; *out is set too.
CMPIObjectPath *util_new_objpath_from_old(CMPIObjectPath **out, const CMPIObjectPath *op, CMPIStatus *st);
// A client instance of inst's path (translated as above) with every non-null property.
CMPIInstance *util_new_inst_from_old(CMPIInstance **out, const CMPIInstance *inst, CMPIStatus *st);
// Releases the client object a host-to-controller copy left in d (nothing for plain values).
void util_release_copy(CMPIData *d);

// ------------------------------------------------------------- tpp_forward.cpp
//
// Each sends one request to the controller of the request path's node, through a client of its
// own: the client is returned with the result for the caller to release (util_*_end), or null
// when the namespace names no node or no client could be had. *st receives the controller's
// status.

CMCIClient *util_enum_instance_name_begin(const CMPIObjectPath *op, CMPIEnumeration **en, CMPIStatus *st);
CMCIClient *util_enum_instance_begin(const CMPIObjectPath *op, CMPIFlags flags, const char **props,
                                     CMPIEnumeration **en, CMPIStatus *st);
CMCIClient *util_get_instance_begin(const CMPIObjectPath *op, CMPIFlags flags, const char **props,
                                    CMPIInstance **inst, CMPIStatus *st);
CMCIClient *util_create_instance(const CMPIObjectPath *op, const CMPIInstance *inst, CMPIObjectPath **new_op,
                                 CMPIStatus *st);
// These two release their client themselves. 0 when a client could be had (*st is then the
// controller's answer), -1 when not.
int util_modify_instance(const CMPIObjectPath *op, const CMPIInstance *inst, CMPIFlags flags, const char **props,
                         CMPIStatus *st);
int util_delete_instance(const CMPIObjectPath *op, CMPIStatus *st);
CMCIClient *util_exec_query(const CMPIObjectPath *op, const char *query, const char *lang, CMPIEnumeration **en,
                            CMPIStatus *st);
// The method's return value into *ret (it belongs to the client), its OUT parameters into out.
CMCIClient *util_invoke_method(const CMPIObjectPath *op, const char *method, CMPIArgs *in, CMPIArgs *out,
                               CMPIData *ret, CMPIStatus *st);
CMCIClient *util_associator_begin(const CMPIObjectPath *op, const char *assoc_class, const char *result_class,
                                  const char *role, const char *result_role, CMPIFlags flags, const char **props,
                                  CMPIEnumeration **en, CMPIStatus *st);
CMCIClient *util_associator_name_begin(const CMPIObjectPath *op, const char *assoc_class, const char *result_class,
                                       const char *role, const char *result_role, CMPIEnumeration **en,
                                       CMPIStatus *st);
CMCIClient *util_reference_begin(const CMPIObjectPath *op, const char *result_class, const char *role,
                                 CMPIFlags flags, const char **props, CMPIEnumeration **en, CMPIStatus *st);
CMCIClient *util_reference_name_begin(const CMPIObjectPath *op, const char *result_class, const char *role,
                                      CMPIEnumeration **en, CMPIStatus *st);
int util_enum_has_next(CMPIEnumeration *en);
CMPIData util_get_data_from_enum(CMPIEnumeration *en);

#endif  // QELVO_BMCRELAY_TPP_H
