/*
 * Native CMPI objects and broker: the object implementations a CIMOM hands to
 * providers, for the host CIMOM stand-in, the client library stand-in and the
 * provider test harness.
 *
 * Ownership
 * ---------
 * - Objects made through a broker's factory table (CMNewInstance, CMNewString,
 *   ...) and the objects a broker hands back from up-calls belong to the scope
 *   that is current on the calling thread (see RequestScope) and are freed when
 *   that scope ends, unless the provider releases them earlier. A thread with no
 *   open scope uses a per-thread scope that ends when the thread exits.
 * - Objects that getters make (the strings of getClassName, getNameSpace,
 *   getHostname, toString, getStringFormat, getType, the CMPIError getters
 *   and the names from getPropertyAt / getKeyAt / getArgAt / getEntryAt;
 *   getObjectPath's path, toArray's array) are scoped the same way.
 * - Clones, and objects made with the native_new_* functions, belong to the
 *   caller, who releases them with CMRelease.
 * - Containers (instances, object paths, arrays, args, contexts, results) keep
 *   their own deep copies of every value stored in them; getters that return
 *   a CMPIData hand back the container's own objects (valid while it lives).
 *   A CMPI_chars value is stored as a CMPI_string; its value pointer is the
 *   character string itself, as in CMSetProperty(i, "Name", "text", CMPI_chars).
 */
#ifndef QELVO_CMPI_NATIVE_H
#define QELVO_CMPI_NATIVE_H

#include <cmpidt.h>
#include <cmpift.h>

#define CMPI_NATIVE_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

/* Caller-owned constructors, with the signatures the CIM client library uses. */
CMPI_NATIVE_API CMPIString *native_new_CMPIString(const char *ptr, CMPIStatus *rc);
CMPI_NATIVE_API CMPIArray *native_new_CMPIArray(CMPICount size, CMPIType type, CMPIStatus *rc);
CMPI_NATIVE_API CMPIInstance *native_new_CMPIInstance(CMPIObjectPath *cop, CMPIStatus *rc);
CMPI_NATIVE_API CMPIObjectPath *newCMPIObjectPath(const char *ns, const char *cn, CMPIStatus *rc);
CMPI_NATIVE_API CMPIArgs *native_new_CMPIArgs(CMPIStatus *rc);
CMPI_NATIVE_API CMPIDateTime *native_new_CMPIDateTime(CMPIStatus *rc);
CMPI_NATIVE_API CMPIDateTime *native_new_CMPIDateTime_fromBinary(CMPIUint64 date, CMPIBoolean interval,
                                                                 CMPIStatus *rc);
CMPI_NATIVE_API CMPIDateTime *native_new_CMPIDateTime_fromChars(const char *text, CMPIStatus *rc);
CMPI_NATIVE_API CMPIContext *native_new_CMPIContext(void);

/* A copy of a context that outlives the request it came with (for provider
 * threads); the caller releases it. */
CMPI_NATIVE_API CMPIContext *native_clone_CMPIContext(const CMPIContext *ctx);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
#include <string>
#include <vector>

namespace cmpinative {

/* Opens a scope on the calling thread for broker-made objects; they are freed
 * when the scope is destroyed. Scopes nest; the innermost one receives new
 * objects. A CIMOM opens one around every provider call. */
class CMPI_NATIVE_API RequestScope {
 public:
  RequestScope();
  ~RequestScope();
  RequestScope(const RequestScope &) = delete;
  RequestScope &operator=(const RequestScope &) = delete;

 private:
  void *impl_;
};

/* Number of live native objects of every kind in this process (for leak checks
 * in tests). */
CMPI_NATIVE_API long live_objects();

/* What a result object has received from a provider. The instances and paths
 * are the result's own copies, valid until the result is released. */
struct ResultContents {
  std::vector<CMPIInstance *> instances;
  std::vector<CMPIObjectPath *> paths;
  std::vector<CMPIData> data; /* deep copies owned by the result */
#ifdef CMPI_VER_200
  std::vector<CMPIError *> errors;
#endif
  int done_count = 0;
};

/* A caller-owned result object, as a CIMOM passes to every MI operation. */
CMPI_NATIVE_API CMPIResult *new_result();
CMPI_NATIVE_API const ResultContents &result_contents(const CMPIResult *rslt);
/* Adds a native instance or path to a native result as returnInstance and
 * returnObjectPath do, but itself instead of a copy: the result owns it now
 * (out of any scope). False, with nothing done, when either is not native. */
CMPI_NATIVE_API bool result_take(const CMPIResult *rslt, CMPIInstance *inst);
CMPI_NATIVE_API bool result_take(const CMPIResult *rslt, CMPIObjectPath *op);

/* An enumeration over the given values (deep-copied); broker-scoped like every
 * object a broker up-call returns. */
CMPI_NATIVE_API CMPIEnumeration *new_enumeration(const std::vector<CMPIData> &values);

/* Turns a CMPIData into its text form for diagnostics and comparisons in tests
 * ("abc", 42, a path's text form, ...). */
CMPI_NATIVE_API std::string data_to_string(const CMPIData &d);

/* Deep copy and release of a value of any CMPI type (strings, arrays and
 * encapsulated objects are cloned; the copy is caller-owned). */
CMPI_NATIVE_API CMPIData copy_data(const CMPIData &d);
CMPI_NATIVE_API void release_data(CMPIData &d);

/* Converts between the binary form of a date-time (microseconds since the
 * epoch, or the length of an interval in microseconds) and its CIM text form
 * ("yyyymmddhhmmss.mmmmmmsutc" or "ddddddddhhmmss.mmmmmm:000"). Returns false
 * for text that is not a valid CIM date-time. */
CMPI_NATIVE_API std::string datetime_to_text(CMPIUint64 usec, bool interval);
CMPI_NATIVE_API bool datetime_from_text(const char *text, CMPIUint64 *usec, bool *interval);

/* ------------------------------------------------------- in place
 * What native objects hold, read without making objects, and values moved
 * into them without copying: for the CIM-XML codec, which reads or fills
 * every object of a request. A reader returns false when the object is not
 * a native one of its kind (the caller then goes through the function
 * table); what it hands out stays valid while the object lives unchanged. */
struct PathFields {
  const char *name_space;
  const char *class_name;
  const char *host;
  CMPICount key_count;
};
CMPI_NATIVE_API bool path_fields(const CMPIObjectPath *op, PathFields *out);
/* Entry `index` of a path's keys or an instance's properties: its name and
 * its value, as getKeyAt and getPropertyAt give them; false also when there
 * is no such entry. */
CMPI_NATIVE_API bool key_at(const CMPIObjectPath *op, CMPICount index, const char **name, const CMPIData **value);
CMPI_NATIVE_API bool property_at(const CMPIInstance *inst, CMPICount index, const char **name,
                                 const CMPIData **value);
/* The path an instance keeps, whose class name and namespace getObjectPath
 * shows (its keys getObjectPath takes from the properties); null when the
 * instance is not native. */
CMPI_NATIVE_API const CMPIObjectPath *stored_path(const CMPIInstance *inst);
/* Stores *d as property or key `name` as setProperty and addKey do, taking
 * over the string, array or object it holds (which may be
 * caller-owned or scoped) and leaving *d null: true when done so; false,
 * with *d untouched, when the container or the value is not native (a
 * CMPI_chars value, a foreign object, a pointer type). */
CMPI_NATIVE_API bool move_property(CMPIInstance *inst, const char *name, CMPIData *d);
CMPI_NATIVE_API bool move_key(CMPIObjectPath *op, const char *name, CMPIData *d);

/* Receives a broker's up-calls. A host CIMOM routes them to the providers it
 * has loaded; a test routes them to fakes. Every operation that yields objects
 * delivers them into `out` the way a provider would (returnInstance,
 * returnObjectPath, returnData) and returns the status. The default for every
 * operation is CMPI_RC_ERR_NOT_SUPPORTED. A status message need only stay
 * valid until the operation returns: the broker gives its caller a scoped
 * copy. An exception thrown by an operation becomes CMPI_RC_ERR_FAILED. */
class CMPI_NATIVE_API Router {
 public:
  virtual ~Router();
  virtual CMPIStatus enumerateInstanceNames(const CMPIContext *ctx, const CMPIObjectPath *op,
                                            const CMPIResult *out);
  virtual CMPIStatus enumerateInstances(const CMPIContext *ctx, const CMPIObjectPath *op,
                                        const char **properties, const CMPIResult *out);
  virtual CMPIStatus getInstance(const CMPIContext *ctx, const CMPIObjectPath *op, const char **properties,
                                 const CMPIResult *out);
  /* The path of the new instance is delivered with returnObjectPath. */
  virtual CMPIStatus createInstance(const CMPIContext *ctx, const CMPIObjectPath *op, const CMPIInstance *inst,
                                    const CMPIResult *out);
  virtual CMPIStatus modifyInstance(const CMPIContext *ctx, const CMPIObjectPath *op, const CMPIInstance *inst,
                                    const char **properties);
  virtual CMPIStatus deleteInstance(const CMPIContext *ctx, const CMPIObjectPath *op);
  virtual CMPIStatus execQuery(const CMPIContext *ctx, const CMPIObjectPath *op, const char *query,
                               const char *lang, const CMPIResult *out);
  virtual CMPIStatus associators(const CMPIContext *ctx, const CMPIObjectPath *op, const char *assocClass,
                                 const char *resultClass, const char *role, const char *resultRole,
                                 const char **properties, const CMPIResult *out);
  virtual CMPIStatus associatorNames(const CMPIContext *ctx, const CMPIObjectPath *op, const char *assocClass,
                                     const char *resultClass, const char *role, const char *resultRole,
                                     const CMPIResult *out);
  virtual CMPIStatus references(const CMPIContext *ctx, const CMPIObjectPath *op, const char *resultClass,
                                const char *role, const char **properties, const CMPIResult *out);
  virtual CMPIStatus referenceNames(const CMPIContext *ctx, const CMPIObjectPath *op, const char *resultClass,
                                    const char *role, const CMPIResult *out);
  /* The method's return value is delivered with returnData; OUT parameters
   * are added to `outArgs`. */
  virtual CMPIStatus invokeMethod(const CMPIContext *ctx, const CMPIObjectPath *op, const char *method,
                                  const CMPIArgs *in, CMPIArgs *outArgs, const CMPIResult *out);
  /* Class look-up in the host's repository: true when class `cn` exists in
   * namespace `ns`. */
  virtual bool classExists(const char *ns, const char *cn);
  /* True when class `cn` is `type` or derives from it (for classPathIsA).
   * The default compares the names without regard to case. */
  virtual bool classIsA(const char *ns, const char *cn, const char *type);
};

/* A broker whose up-calls go to `router` (which must outlive it); its factory
 * table makes scoped native objects. brokerName is "sfcb" style text given by
 * `name`. Release it with delete_broker. */
CMPI_NATIVE_API CMPIBroker *new_broker(Router *router, const char *name = "qelvo-native");
CMPI_NATIVE_API void delete_broker(CMPIBroker *broker);

}  // namespace cmpinative
#endif /* __cplusplus */

#endif /* QELVO_CMPI_NATIVE_H */
