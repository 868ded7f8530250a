/*
 * Provider test harness: loads a provider library the way a CIMOM does and
 * drives its operations from a test.
 *
 *   cmpiharness::Router router;                       // broker up-calls go here
 *   std::string err;
 *   auto p = cmpiharness::Provider::Load(lib, "Qelvo_ConcreteJobProvider", &router, &err);
 *   ASSERT_TRUE(p) << err;
 *   cmpiharness::Outcome out = p->EnumInstances("root/cimv2", "Qelvo_ConcreteJob");
 *   EXPECT_EQ(out.rc, CMPI_RC_OK) << out.Describe();
 *   EXPECT_EQ(out.PropertyText(0, "InstanceID"), "...");
 *
 *   auto path = cmpiharness::Path("root/cimv2", "Qelvo_ConcreteJob", {{"InstanceID", "j1"}});
 *   auto got = p->GetInstance(path.get());
 *
 *   router.OnInvoke("qelvo/cimv2", "Qelvo_FileTransferService", "Start",
 *                   [](cmpiharness::UpCall& call) {
 *                     call.Return(cmpiharness::Value::Uint32(0));
 *                     call.SetOut("Job", "j1");
 *                     return cmpiharness::Status{};
 *                   });
 *
 * Loading: dlopen(RTLD_LAZY | RTLD_LOCAL). The factories
 * <name>_Create_InstanceMI / _MethodMI / _AssociationMI are looked up and
 * called on first use, with the provider's broker and a context; an operation
 * whose factory is missing (or fails) yields an error Outcome saying so. Load
 * fails only when the library cannot be opened or exports none of the three
 * factories for the name. Loading one library twice shares its static state
 * (the dynamic loader hands back the same image), its broker (see Load) and
 * usually its MIs (factories tend to return static tables), so destroying one
 * of those Providers cleans up MIs the others still use.
 *
 * This header brings in cmpimacs.h, so tests can use the CMPI macros on what
 * an Outcome holds.
 *
 * Each operation runs as a CIMOM runs a request: inside a
 * cmpinative::RequestScope, with a fresh copy of context() (plus
 * CMPIInitNameSpace set to the request's namespace) and a fresh result object.
 * The Outcome owns the result object and the OUT arguments, so everything it
 * holds stays valid after the request's scope has ended and until the Outcome
 * is destroyed.
 *
 * Threads: any number of threads may run operations on one Provider at the
 * same time, and Router registrations and context entries may change
 * meanwhile. Load, Cleanup and destruction must not overlap any operation.
 *
 * Ownership: the Ptr<> values returned by the builders are caller-owned native
 * objects released when the Ptr goes; Outcome releases what it holds. Helpers
 * that look into objects open their own RequestScope, so calling them leaves no
 * broker-made objects behind on the calling thread.
 */
#ifndef QELVO_CMPI_PROVIDER_HARNESS_H
#define QELVO_CMPI_PROVIDER_HARNESS_H

#include <cmpidt.h>
#include <cmpift.h>
#include <cmpimacs.h>

#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "cmpi_native.h"

namespace cmpiharness {

class Provider;

/* A caller-owned native object, released (CMRelease) when the Ptr goes. */
template <class T>
class Ptr {
 public:
  Ptr() = default;
  explicit Ptr(T *p) : p_(p) {}
  Ptr(Ptr &&o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  Ptr &operator=(Ptr &&o) noexcept {
    if (this != &o) {
      reset();
      p_ = o.p_;
      o.p_ = nullptr;
    }
    return *this;
  }
  Ptr(const Ptr &) = delete;
  Ptr &operator=(const Ptr &) = delete;
  ~Ptr() { reset(); }

  T *get() const { return p_; }
  T *operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  /* Gives up ownership. */
  T *release() {
    T *p = p_;
    p_ = nullptr;
    return p;
  }
  void reset() {
    if (p_ != nullptr) p_->ft->release(p_);
    p_ = nullptr;
  }

 private:
  T *p_ = nullptr;
};

using PathPtr = Ptr<CMPIObjectPath>;
using InstancePtr = Ptr<CMPIInstance>;
using ArgsPtr = Ptr<CMPIArgs>;

/* One CMPI value of any type, owning a deep copy of what it holds. Strings
 * convert implicitly; every other type is built by name:
 *   Value::Uint16(3), Value::Bool(true), Value::Ref(path),
 *   Value::DateTime(usec, false), Value::Strings({"a", "b"}),
 *   Value::Array(CMPI_ref, {Value::Ref(a), Value::Ref(b)}). */
class Value {
 public:
  Value();  // null
  Value(const char *s);
  Value(const std::string &s);
  Value(const Value &o);
  Value(Value &&o) noexcept;
  Value &operator=(Value o) noexcept;
  ~Value();

  static Value Bool(bool v);
  static Value Char16(CMPIChar16 v);
  static Value Uint8(CMPIUint8 v);
  static Value Uint16(CMPIUint16 v);
  static Value Uint32(CMPIUint32 v);
  static Value Uint64(CMPIUint64 v);
  static Value Sint8(CMPISint8 v);
  static Value Sint16(CMPISint16 v);
  static Value Sint32(CMPISint32 v);
  static Value Sint64(CMPISint64 v);
  static Value Real32(CMPIReal32 v);
  static Value Real64(CMPIReal64 v);
  static Value Ref(const CMPIObjectPath *path);
  static Value Instance(const CMPIInstance *inst);
  /* From the binary form (microseconds since the epoch, or an interval's
   * length in microseconds). */
  static Value DateTime(CMPIUint64 usec, bool interval = false);
  /* From the CIM text form; a null value when the text is no date-time. */
  static Value DateTimeText(const std::string &text);
  /* An array whose elements have type `element_type` (CMPI_string, CMPI_ref,
   * ...); each element must have that type or be null. */
  static Value Array(CMPIType element_type, const std::vector<Value> &elements);
  static Value Strings(const std::vector<std::string> &elements);
  /* A deep copy of any CMPIData. */
  static Value Of(const CMPIData &d);

  const CMPIData &data() const { return d_; }
  CMPIType type() const { return d_.type; }
  bool is_null() const { return (d_.state & CMPI_nullValue) != 0; }

 private:
  static Value Adopt(CMPIData d);
  CMPIData d_;
};

using NamedValues = std::vector<std::pair<std::string, Value>>;

/* Builders. Keys and arguments keep their order. */
PathPtr Path(const std::string &ns, const std::string &cls, const NamedValues &keys = {});
/* An instance of `path`'s class whose object path is `path`; the key values of
 * `path` are set as properties too, then `props`. */
InstancePtr Instance(const CMPIObjectPath *path, const NamedValues &props = {});
ArgsPtr Args(const NamedValues &args = {});

/* Readers. Each opens its own RequestScope. Text forms are those of
 * cmpinative::data_to_string: 42, abc (a string is unquoted at the top level,
 * quoted inside arrays), a path's text form, NULL for a null value; KeyText
 * and PropertyText give "" for an absent or null value. */
std::string Text(const CMPIData &d);
std::string ClassName(const CMPIObjectPath *path);
std::string NameSpace(const CMPIObjectPath *path);
std::string PathText(const CMPIObjectPath *path);  // the path's text form
std::string KeyText(const CMPIObjectPath *path, const std::string &key);
/* A property's value as a caller-owned copy (null Value when absent). */
Value PropertyOf(const CMPIInstance *inst, const std::string &name);
bool HasProperty(const CMPIInstance *inst, const std::string &name);
std::string PropertyText(const CMPIInstance *inst, const std::string &name);
/* An instance's object path, as a caller-owned copy. */
PathPtr PathOf(const CMPIInstance *inst);
/* An argument as a caller-owned copy (null Value when absent). */
Value ArgOf(const CMPIArgs *args, const std::string &name);
/* The elements of an array value (deep copies); empty for a non-array. */
std::vector<Value> Elements(const Value &array);
std::vector<std::string> ElementTexts(const Value &array);
/* "CMPI_RC_ERR_NOT_FOUND" and so on. */
const char *RcName(CMPIrc rc);

/* A status as a fake handler gives it: code and message text ("" for none). */
struct Status {
  CMPIrc rc = CMPI_RC_OK;
  std::string message;
};

/* What one operation produced. Move-only. It owns the result object the
 * provider answered into; instances, paths, data and errors are that result's
 * own copies and stay valid while the Outcome lives. */
class Outcome {
 public:
  CMPIrc rc = CMPI_RC_OK;
  std::string message;                     // the status message, "" when none
  std::vector<CMPIInstance *> instances;   // as returned, in order
  std::vector<CMPIObjectPath *> paths;     // as returned, in order
  std::vector<CMPIData> data;              // returnData values (a method's return value)
  std::vector<CMPIError *> errors;         // returnError values
  int done_count = 0;                      // returnDone calls
  CMPIArgs *out_args = nullptr;            // InvokeMethod: the OUT parameters

  Outcome();
  Outcome(Outcome &&o) noexcept;
  Outcome &operator=(Outcome &&o) noexcept;
  Outcome(const Outcome &) = delete;
  Outcome &operator=(const Outcome &) = delete;
  ~Outcome();

  bool ok() const { return rc == CMPI_RC_OK; }
  /* "CMPI_RC_ERR_NOT_FOUND: message; 2 instances, 0 paths, 0 data, done 1". */
  std::string Describe() const;

  /* Property `name` of instances[i], as text / as a copy (null when absent). */
  std::string PropertyText(size_t i, const std::string &name) const;
  Value Property(size_t i, const std::string &name) const;
  /* The value of key `key` in paths[i] (or in instances[i]'s path when no
   * path was returned), or of every one of them. */
  std::string KeyText(size_t i, const std::string &key) const;
  std::vector<std::string> KeyTexts(const std::string &key) const;
  /* The first instance whose property `name` has text `text`, or null. */
  const CMPIInstance *Find(const std::string &name, const std::string &text) const;
  /* The method's return value (data[0]); null when none was returned. */
  Value Return() const;
  /* OUT parameter `name`; null when absent. */
  Value Out(const std::string &name) const;

 private:
  friend class Provider;
  void Collect();
  CMPIResult *result_ = nullptr;
};

/* Names a property list: the default is every property (NULL to the
 * provider); a braced list names just those; None() is an empty list. */
class PropertyList {
 public:
  PropertyList() = default;
  PropertyList(std::initializer_list<std::string> names) : all_(false), names_(names) {}
  explicit PropertyList(std::vector<std::string> names) : all_(false), names_(std::move(names)) {}
  static PropertyList None() { return PropertyList(std::vector<std::string>{}); }
  bool all() const { return all_; }
  const std::vector<std::string> &names() const { return names_; }

 private:
  bool all_ = true;
  std::vector<std::string> names_;
};

/* The operations a broker up-call can ask for. */
enum class Op {
  EnumInstanceNames,
  EnumInstances,
  GetInstance,
  CreateInstance,
  ModifyInstance,
  DeleteInstance,
  ExecQuery,
  Associators,
  AssociatorNames,
  References,
  ReferenceNames,
  InvokeMethod,
};

/* One broker up-call, as a fake handler sees it. Only the fields of its Op
 * are set; the others are null. The helpers deliver into `result` (and
 * `out_args`) as a provider would. */
struct UpCall {
  explicit UpCall(Op o) : op(o) {}
  Op op;
  const CMPIContext *ctx = nullptr;
  const CMPIObjectPath *path = nullptr;
  const char **properties = nullptr;
  const CMPIInstance *instance = nullptr;   // Create/ModifyInstance
  const char *query = nullptr;              // ExecQuery
  const char *lang = nullptr;
  const char *assoc_class = nullptr;        // association operations
  const char *result_class = nullptr;
  const char *role = nullptr;
  const char *result_role = nullptr;
  const char *method = nullptr;             // InvokeMethod
  const CMPIArgs *in_args = nullptr;
  CMPIArgs *out_args = nullptr;
  const CMPIResult *result = nullptr;

  void Return(const Value &v) const;  // returnData: a method's return value
  void ReturnInstance(const CMPIInstance *inst) const;
  void ReturnPath(const CMPIObjectPath *path) const;
  void SetOut(const std::string &name, const Value &v) const;
  /* IN argument `name` as a copy; null when absent. */
  Value In(const std::string &name) const;
};

using Handler = std::function<Status(UpCall &call)>;

/* Routes broker up-calls by (namespace, class), both matched without regard to
 * case: first to a fake handler registered for the operation (for
 * InvokeMethod: for the method, else for any method), then to a routed
 * Provider, else CMPI_RC_ERR_NOT_SUPPORTED. An exception thrown by a handler
 * becomes CMPI_RC_ERR_FAILED with the exception's text; it never reaches the
 * provider. Routed calls run on the calling thread inside the caller's request
 * scope, with the caller's context.
 *
 * Class look-ups: AddClass declares a class and its superclass; classIsA walks
 * the declared superclasses (a class is always itself). A class exists when it
 * is declared, routed or has a handler. */
class Router : public cmpinative::Router {
 public:
  Router();
  ~Router() override;

  void Route(const std::string &ns, const std::string &cls, Provider *provider);
  /* Removes every route to `provider` (its destructor does this too). */
  void Unroute(const Provider *provider);
  void On(Op op, const std::string &ns, const std::string &cls, Handler fn);
  /* method "" handles every method of the class without its own handler. */
  void OnInvoke(const std::string &ns, const std::string &cls, const std::string &method, Handler fn);
  void AddClass(const std::string &ns, const std::string &cls, const std::string &superclass = "");
  /* How many up-calls of `op` reached (ns, cls) so far, handled or not. */
  int Calls(Op op, const std::string &ns, const std::string &cls) const;
  /* A broker of this router, for making scoped objects inside fakes. */
  const CMPIBroker *broker() const { return broker_; }

  CMPIStatus enumerateInstanceNames(const CMPIContext *ctx, const CMPIObjectPath *op,
                                    const CMPIResult *out) override;
  CMPIStatus enumerateInstances(const CMPIContext *ctx, const CMPIObjectPath *op, const char **properties,
                                const CMPIResult *out) override;
  CMPIStatus getInstance(const CMPIContext *ctx, const CMPIObjectPath *op, const char **properties,
                         const CMPIResult *out) override;
  CMPIStatus createInstance(const CMPIContext *ctx, const CMPIObjectPath *op, const CMPIInstance *inst,
                            const CMPIResult *out) override;
  CMPIStatus modifyInstance(const CMPIContext *ctx, const CMPIObjectPath *op, const CMPIInstance *inst,
                            const char **properties) override;
  CMPIStatus deleteInstance(const CMPIContext *ctx, const CMPIObjectPath *op) override;
  CMPIStatus execQuery(const CMPIContext *ctx, const CMPIObjectPath *op, const char *query, const char *lang,
                       const CMPIResult *out) override;
  CMPIStatus associators(const CMPIContext *ctx, const CMPIObjectPath *op, const char *assocClass,
                         const char *resultClass, const char *role, const char *resultRole,
                         const char **properties, const CMPIResult *out) override;
  CMPIStatus associatorNames(const CMPIContext *ctx, const CMPIObjectPath *op, const char *assocClass,
                             const char *resultClass, const char *role, const char *resultRole,
                             const CMPIResult *out) override;
  CMPIStatus references(const CMPIContext *ctx, const CMPIObjectPath *op, const char *resultClass,
                        const char *role, const char **properties, const CMPIResult *out) override;
  CMPIStatus referenceNames(const CMPIContext *ctx, const CMPIObjectPath *op, const char *resultClass,
                            const char *role, const CMPIResult *out) override;
  CMPIStatus invokeMethod(const CMPIContext *ctx, const CMPIObjectPath *op, const char *method,
                          const CMPIArgs *in, CMPIArgs *outArgs, const CMPIResult *out) override;
  bool classExists(const char *ns, const char *cn) override;
  bool classIsA(const char *ns, const char *cn, const char *type) override;

 private:
  struct Entry {
    Provider *provider = nullptr;
    std::map<Op, Handler> handlers;
    std::map<std::string, Handler> methods;  // by lower-case method name
  };
  CMPIStatus Dispatch(UpCall &call);
  CMPIStatus MakeStatus(CMPIrc rc, const std::string &message);

  mutable std::mutex mu_;
  std::map<std::string, Entry> entries_;           // by "ns:class", lower case
  std::map<std::string, std::string> superclass_;  // "ns:class" -> superclass
  std::map<std::string, int> calls_;               // by "op|ns:class"
  CMPIBroker *broker_;
};

/* One loaded provider library, driven as a CIMOM drives it. Every operation
 * returns an Outcome; failures inside the harness (no factory, a factory that
 * fails) come back as an error Outcome too, never as an exception. */
class Provider {
 public:
  /* Null on failure, with the reason in *error. `router` (which must outlive
   * the Provider) receives the broker's up-calls; by default the Provider
   * has a Router of its own.
   *
   * A library image has one broker, as in a CIMOM process: providers keep
   * the broker their factories were given in static storage. Loading a
   * library that another live Provider has loaded therefore shares that
   * Provider's broker, and with it its router (the default router here means
   * "the one already in use"); asking for a different router fails. */
  static std::unique_ptr<Provider> Load(const std::string &lib_path, const std::string &provider_name,
                                        cmpinative::Router *router = nullptr, std::string *error = nullptr);
  ~Provider();  // Cleanup(true) when an MI is still held, unroutes, dlclose
  Provider(const Provider &) = delete;
  Provider &operator=(const Provider &) = delete;

  Outcome EnumInstanceNames(const std::string &ns, const std::string &cls);
  Outcome EnumInstances(const std::string &ns, const std::string &cls, const PropertyList &props = {});
  Outcome GetInstance(const CMPIObjectPath *op, const PropertyList &props = {});
  /* `op` defaults to the instance's own object path. */
  Outcome CreateInstance(const CMPIInstance *inst, const CMPIObjectPath *op = nullptr);
  Outcome ModifyInstance(const CMPIInstance *inst, const PropertyList &props = {},
                         const CMPIObjectPath *op = nullptr);
  Outcome DeleteInstance(const CMPIObjectPath *op);
  Outcome ExecQuery(const std::string &ns, const std::string &cls, const std::string &query,
                    const std::string &lang = "WQL");
  /* Empty filter strings are passed as NULL. */
  Outcome Associators(const CMPIObjectPath *op, const std::string &assoc_class = "",
                      const std::string &result_class = "", const std::string &role = "",
                      const std::string &result_role = "", const PropertyList &props = {});
  Outcome AssociatorNames(const CMPIObjectPath *op, const std::string &assoc_class = "",
                          const std::string &result_class = "", const std::string &role = "",
                          const std::string &result_role = "");
  Outcome References(const CMPIObjectPath *op, const std::string &result_class = "",
                     const std::string &role = "", const PropertyList &props = {});
  Outcome ReferenceNames(const CMPIObjectPath *op, const std::string &result_class = "",
                         const std::string &role = "");
  /* `in` may be null (no arguments). */
  Outcome InvokeMethod(const CMPIObjectPath *op, const std::string &method, const CMPIArgs *in = nullptr);

  /* Calls cleanup on every MI obtained so far. The answer: CMPI_RC_NEVER_UNLOAD
   * if any MI gave it, else CMPI_RC_DO_NOT_UNLOAD if any gave it, else the
   * first error, else CMPI_RC_OK; the message joins the MIs' messages. An MI
   * that refused (when not terminating) stays in use; the others are dropped
   * and their factory is called again on next use. When terminating, every MI
   * is dropped whatever it answered. */
  Outcome Cleanup(bool terminating = false);

  /* The context every operation starts from (a copy is passed). Holds
   * CMPIInvocationFlags (uint32 0) and CMPIPrincipal ("root") at first. */
  void SetContextEntry(const std::string &name, const Value &v);
  CMPIContext *context() { return context_; }  // direct access: not while operations run
  const CMPIBroker *broker() const { return broker_; }
  const std::string &name() const { return name_; }
  const std::string &library() const { return lib_path_; }

 private:
  friend class Router;
  enum Kind { kInstance, kMethod, kAssociation, kKinds };
  Provider() = default;
  /* A routed up-call: runs one MI operation with the caller's context and
   * result, in the caller's scope. */
  CMPIStatus Serve(UpCall &call);
  /* The MI of `kind`, created on first use; null with *st set on failure. */
  void *GetMi(Kind kind, CMPIStatus *st, std::string *message);
  /* Runs `call` on the MI of `kind` as one request: scope, context copy,
   * result, and OUT arguments when `with_out_args`. */
  using MiCall = std::function<CMPIStatus(void *mi, const CMPIContext *ctx, const CMPIResult *rslt,
                                          CMPIArgs *out)>;
  Outcome Run(Kind kind, const std::string &ns, const MiCall &call, bool with_out_args = false);
  CMPIContext *RequestContext(const std::string &ns);

  struct Image;  // a loaded library image: its broker and router, shared by its Providers

  std::string lib_path_;
  std::string name_;
  void *handle_ = nullptr;
  std::shared_ptr<Image> image_;
  CMPIBroker *broker_ = nullptr;       // image_'s
  Router *harness_router_ = nullptr;   // set when the router is a cmpiharness::Router
  CMPIContext *context_ = nullptr;
  std::mutex context_mu_;
  std::recursive_mutex mi_mu_;  // guards mi_ (a factory may re-enter through an up-call)
  void *mi_[kKinds] = {nullptr, nullptr, nullptr};
};

}  // namespace cmpiharness

#endif /* QELVO_CMPI_PROVIDER_HARNESS_H */
