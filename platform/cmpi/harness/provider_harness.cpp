// Provider test harness: values and builders, readers, Outcome, Router and
// Provider. See provider_harness.h.
#include "provider_harness.h"

#include <dlfcn.h>
#include <strings.h>

#include <cctype>
#include <exception>
#include <sstream>

namespace cmpiharness {

namespace {

std::string Lower(const std::string &s) {
  std::string out(s);
  for (char &c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string StringOf(const CMPIString *s) {
  if (s == nullptr) return "";
  const char *p = s->ft->getCharPtr(s, nullptr);
  return p != nullptr ? p : "";
}

std::string ClassKey(const char *ns, const char *cls) {
  return Lower(ns != nullptr ? ns : "") + ":" + Lower(cls != nullptr ? cls : "");
}

CMPIData NullData() {
  CMPIData d;
  d.type = CMPI_null;
  d.state = CMPI_nullValue;
  d.value.uint64 = 0;
  return d;
}

const char *OpName(Op op) {
  switch (op) {
    case Op::EnumInstanceNames: return "enumerateInstanceNames";
    case Op::EnumInstances: return "enumerateInstances";
    case Op::GetInstance: return "getInstance";
    case Op::CreateInstance: return "createInstance";
    case Op::ModifyInstance: return "modifyInstance";
    case Op::DeleteInstance: return "deleteInstance";
    case Op::ExecQuery: return "execQuery";
    case Op::Associators: return "associators";
    case Op::AssociatorNames: return "associatorNames";
    case Op::References: return "references";
    case Op::ReferenceNames: return "referenceNames";
    case Op::InvokeMethod: return "invokeMethod";
  }
  return "?";
}

// A NULL-terminated array of C strings over a PropertyList (NULL for all).
class CProps {
 public:
  explicit CProps(const PropertyList &props) : all_(props.all()) {
    for (const std::string &n : props.names()) ptrs_.push_back(n.c_str());
    ptrs_.push_back(nullptr);
  }
  const char **get() { return all_ ? nullptr : ptrs_.data(); }

 private:
  bool all_;
  std::vector<const char *> ptrs_;
};

const char *OrNull(const std::string &s) { return s.empty() ? nullptr : s.c_str(); }

std::string CurrentExceptionText() {
  try {
    throw;
  } catch (const std::exception &e) {
    return e.what();
  } catch (...) {
    return "unknown exception";
  }
}

}  // namespace

// ------------------------------------------------------------------ Value

Value::Value() : d_(NullData()) {}

Value::Value(const char *s) : d_(NullData()) {
  if (s == nullptr) return;
  d_.type = CMPI_string;
  d_.state = CMPI_goodValue;
  d_.value.string = native_new_CMPIString(s, nullptr);
}

Value::Value(const std::string &s) : Value(s.c_str()) {}

Value::Value(const Value &o) : d_(cmpinative::copy_data(o.d_)) {}

Value::Value(Value &&o) noexcept : d_(o.d_) { o.d_ = NullData(); }

Value &Value::operator=(Value o) noexcept {
  std::swap(d_, o.d_);
  return *this;
}

Value::~Value() { cmpinative::release_data(d_); }

Value Value::Adopt(CMPIData d) {
  Value v;
  v.d_ = d;
  return v;
}

#define QELVO_SIMPLE_VALUE(Fn, ctype, field, code) \
  Value Value::Fn(ctype v) {                       \
    CMPIData d;                                    \
    d.type = code;                                 \
    d.state = CMPI_goodValue;                      \
    d.value.uint64 = 0;                            \
    d.value.field = v;                             \
    return Adopt(d);                               \
  }
QELVO_SIMPLE_VALUE(Char16, CMPIChar16, char16, CMPI_char16)
QELVO_SIMPLE_VALUE(Uint8, CMPIUint8, uint8, CMPI_uint8)
QELVO_SIMPLE_VALUE(Uint16, CMPIUint16, uint16, CMPI_uint16)
QELVO_SIMPLE_VALUE(Uint32, CMPIUint32, uint32, CMPI_uint32)
QELVO_SIMPLE_VALUE(Uint64, CMPIUint64, uint64, CMPI_uint64)
QELVO_SIMPLE_VALUE(Sint8, CMPISint8, sint8, CMPI_sint8)
QELVO_SIMPLE_VALUE(Sint16, CMPISint16, sint16, CMPI_sint16)
QELVO_SIMPLE_VALUE(Sint32, CMPISint32, sint32, CMPI_sint32)
QELVO_SIMPLE_VALUE(Sint64, CMPISint64, sint64, CMPI_sint64)
QELVO_SIMPLE_VALUE(Real32, CMPIReal32, real32, CMPI_real32)
QELVO_SIMPLE_VALUE(Real64, CMPIReal64, real64, CMPI_real64)
#undef QELVO_SIMPLE_VALUE

Value Value::Bool(bool v) {
  CMPIData d;
  d.type = CMPI_boolean;
  d.state = CMPI_goodValue;
  d.value.uint64 = 0;
  d.value.boolean = v ? 1 : 0;
  return Adopt(d);
}

Value Value::Ref(const CMPIObjectPath *path) {
  if (path == nullptr) return Value();
  CMPIData d;
  d.type = CMPI_ref;
  d.state = CMPI_goodValue;
  d.value.ref = const_cast<CMPIObjectPath *>(path);
  return Adopt(cmpinative::copy_data(d));
}

Value Value::Instance(const CMPIInstance *inst) {
  if (inst == nullptr) return Value();
  CMPIData d;
  d.type = CMPI_instance;
  d.state = CMPI_goodValue;
  d.value.inst = const_cast<CMPIInstance *>(inst);
  return Adopt(cmpinative::copy_data(d));
}

Value Value::DateTime(CMPIUint64 usec, bool interval) {
  CMPIDateTime *dt = native_new_CMPIDateTime_fromBinary(usec, interval ? 1 : 0, nullptr);
  if (dt == nullptr) return Value();
  CMPIData d;
  d.type = CMPI_dateTime;
  d.state = CMPI_goodValue;
  d.value.dateTime = dt;
  return Adopt(d);
}

Value Value::DateTimeText(const std::string &text) {
  CMPIStatus st = {CMPI_RC_OK, nullptr};
  CMPIDateTime *dt = native_new_CMPIDateTime_fromChars(text.c_str(), &st);
  if (dt == nullptr) return Value();
  if (st.rc != CMPI_RC_OK) {
    dt->ft->release(dt);
    return Value();
  }
  CMPIData d;
  d.type = CMPI_dateTime;
  d.state = CMPI_goodValue;
  d.value.dateTime = dt;
  return Adopt(d);
}

Value Value::Array(CMPIType element_type, const std::vector<Value> &elements) {
  CMPIArray *a = native_new_CMPIArray(static_cast<CMPICount>(elements.size()), element_type, nullptr);
  if (a == nullptr) return Value();
  for (size_t i = 0; i < elements.size(); ++i) {
    const Value &e = elements[i];
    if (e.is_null()) continue;  // elements start out null
    a->ft->setElementAt(a, static_cast<CMPICount>(i), &e.d_.value, e.d_.type);
  }
  CMPIData d;
  d.type = static_cast<CMPIType>(element_type | CMPI_ARRAY);
  d.state = CMPI_goodValue;
  d.value.array = a;
  return Adopt(d);
}

Value Value::Strings(const std::vector<std::string> &elements) {
  std::vector<Value> values(elements.begin(), elements.end());
  return Array(CMPI_string, values);
}

Value Value::Of(const CMPIData &d) {
  if ((d.state & (CMPI_nullValue | CMPI_notFound | CMPI_badValue)) != 0 || d.type == CMPI_null) {
    Value v;
    return v;
  }
  return Adopt(cmpinative::copy_data(d));
}

// ---------------------------------------------------------------- builders

PathPtr Path(const std::string &ns, const std::string &cls, const NamedValues &keys) {
  PathPtr p(newCMPIObjectPath(ns.c_str(), cls.c_str(), nullptr));
  for (const auto &k : keys) p->ft->addKey(p.get(), k.first.c_str(), &k.second.data().value, k.second.type());
  return p;
}

InstancePtr Instance(const CMPIObjectPath *path, const NamedValues &props) {
  cmpinative::RequestScope scope;
  InstancePtr inst(native_new_CMPIInstance(const_cast<CMPIObjectPath *>(path), nullptr));
  CMPICount n = path->ft->getKeyCount(path, nullptr);
  for (CMPICount i = 0; i < n; ++i) {
    CMPIString *name = nullptr;
    CMPIData d = path->ft->getKeyAt(path, i, &name, nullptr);
    if (name != nullptr && (d.state & CMPI_nullValue) == 0)
      inst->ft->setProperty(inst.get(), StringOf(name).c_str(), &d.value, d.type);
  }
  for (const auto &p : props) {
    if (p.second.is_null())
      inst->ft->setProperty(inst.get(), p.first.c_str(), nullptr, CMPI_null);
    else
      inst->ft->setProperty(inst.get(), p.first.c_str(), &p.second.data().value, p.second.type());
  }
  return inst;
}

ArgsPtr Args(const NamedValues &args) {
  ArgsPtr a(native_new_CMPIArgs(nullptr));
  for (const auto &p : args) a->ft->addArg(a.get(), p.first.c_str(), &p.second.data().value, p.second.type());
  return a;
}

// ----------------------------------------------------------------- readers

std::string Text(const CMPIData &d) {
  cmpinative::RequestScope scope;
  return cmpinative::data_to_string(d);
}

std::string ClassName(const CMPIObjectPath *path) {
  cmpinative::RequestScope scope;
  return StringOf(path->ft->getClassName(path, nullptr));
}

std::string NameSpace(const CMPIObjectPath *path) {
  cmpinative::RequestScope scope;
  return StringOf(path->ft->getNameSpace(path, nullptr));
}

std::string PathText(const CMPIObjectPath *path) {
  cmpinative::RequestScope scope;
  return StringOf(path->ft->toString(path, nullptr));
}

std::string KeyText(const CMPIObjectPath *path, const std::string &key) {
  cmpinative::RequestScope scope;
  CMPIStatus st = {CMPI_RC_OK, nullptr};
  CMPIData d = path->ft->getKey(path, key.c_str(), &st);
  if (st.rc != CMPI_RC_OK) return "";
  return cmpinative::data_to_string(d);
}

Value PropertyOf(const CMPIInstance *inst, const std::string &name) {
  cmpinative::RequestScope scope;
  CMPIStatus st = {CMPI_RC_OK, nullptr};
  CMPIData d = inst->ft->getProperty(inst, name.c_str(), &st);
  if (st.rc != CMPI_RC_OK) return Value();
  return Value::Of(d);
}

bool HasProperty(const CMPIInstance *inst, const std::string &name) {
  cmpinative::RequestScope scope;
  CMPIStatus st = {CMPI_RC_OK, nullptr};
  CMPIData d = inst->ft->getProperty(inst, name.c_str(), &st);
  return st.rc == CMPI_RC_OK && (d.state & CMPI_notFound) == 0;
}

std::string PropertyText(const CMPIInstance *inst, const std::string &name) {
  Value v = PropertyOf(inst, name);
  return v.is_null() ? "" : Text(v.data());
}

PathPtr PathOf(const CMPIInstance *inst) {
  cmpinative::RequestScope scope;
  CMPIObjectPath *p = inst->ft->getObjectPath(inst, nullptr);
  if (p == nullptr) return PathPtr();
  return PathPtr(p->ft->clone(p, nullptr));
}

Value ArgOf(const CMPIArgs *args, const std::string &name) {
  if (args == nullptr) return Value();
  cmpinative::RequestScope scope;
  CMPIStatus st = {CMPI_RC_OK, nullptr};
  CMPIData d = args->ft->getArg(args, name.c_str(), &st);
  if (st.rc != CMPI_RC_OK) return Value();
  return Value::Of(d);
}

std::vector<Value> Elements(const Value &array) {
  std::vector<Value> out;
  if (array.is_null() || (array.type() & CMPI_ARRAY) == 0) return out;
  cmpinative::RequestScope scope;
  const CMPIArray *a = array.data().value.array;
  CMPICount n = a->ft->getSize(a, nullptr);
  for (CMPICount i = 0; i < n; ++i) out.push_back(Value::Of(a->ft->getElementAt(a, i, nullptr)));
  return out;
}

std::vector<std::string> ElementTexts(const Value &array) {
  std::vector<std::string> out;
  for (const Value &v : Elements(array)) out.push_back(v.is_null() ? "" : Text(v.data()));
  return out;
}

const char *RcName(CMPIrc rc) {
  switch (rc) {
    case CMPI_RC_OK: return "CMPI_RC_OK";
    case CMPI_RC_ERR_FAILED: return "CMPI_RC_ERR_FAILED";
    case CMPI_RC_ERR_ACCESS_DENIED: return "CMPI_RC_ERR_ACCESS_DENIED";
    case CMPI_RC_ERR_INVALID_NAMESPACE: return "CMPI_RC_ERR_INVALID_NAMESPACE";
    case CMPI_RC_ERR_INVALID_PARAMETER: return "CMPI_RC_ERR_INVALID_PARAMETER";
    case CMPI_RC_ERR_INVALID_CLASS: return "CMPI_RC_ERR_INVALID_CLASS";
    case CMPI_RC_ERR_NOT_FOUND: return "CMPI_RC_ERR_NOT_FOUND";
    case CMPI_RC_ERR_NOT_SUPPORTED: return "CMPI_RC_ERR_NOT_SUPPORTED";
    case CMPI_RC_ERR_CLASS_HAS_CHILDREN: return "CMPI_RC_ERR_CLASS_HAS_CHILDREN";
    case CMPI_RC_ERR_CLASS_HAS_INSTANCES: return "CMPI_RC_ERR_CLASS_HAS_INSTANCES";
    case CMPI_RC_ERR_INVALID_SUPERCLASS: return "CMPI_RC_ERR_INVALID_SUPERCLASS";
    case CMPI_RC_ERR_ALREADY_EXISTS: return "CMPI_RC_ERR_ALREADY_EXISTS";
    case CMPI_RC_ERR_NO_SUCH_PROPERTY: return "CMPI_RC_ERR_NO_SUCH_PROPERTY";
    case CMPI_RC_ERR_TYPE_MISMATCH: return "CMPI_RC_ERR_TYPE_MISMATCH";
    case CMPI_RC_ERR_QUERY_LANGUAGE_NOT_SUPPORTED: return "CMPI_RC_ERR_QUERY_LANGUAGE_NOT_SUPPORTED";
    case CMPI_RC_ERR_INVALID_QUERY: return "CMPI_RC_ERR_INVALID_QUERY";
    case CMPI_RC_ERR_METHOD_NOT_AVAILABLE: return "CMPI_RC_ERR_METHOD_NOT_AVAILABLE";
    case CMPI_RC_ERR_METHOD_NOT_FOUND: return "CMPI_RC_ERR_METHOD_NOT_FOUND";
    case CMPI_RC_DO_NOT_UNLOAD: return "CMPI_RC_DO_NOT_UNLOAD";
    case CMPI_RC_NEVER_UNLOAD: return "CMPI_RC_NEVER_UNLOAD";
    case CMPI_RC_ERR_INVALID_HANDLE: return "CMPI_RC_ERR_INVALID_HANDLE";
    case CMPI_RC_ERR_INVALID_DATA_TYPE: return "CMPI_RC_ERR_INVALID_DATA_TYPE";
    case CMPI_RC_ERROR_SYSTEM: return "CMPI_RC_ERROR_SYSTEM";
    case CMPI_RC_ERROR: return "CMPI_RC_ERROR";
  }
  return "CMPI_RC_(unknown)";
}

// ----------------------------------------------------------------- Outcome

Outcome::Outcome() = default;

Outcome::Outcome(Outcome &&o) noexcept { *this = std::move(o); }

Outcome &Outcome::operator=(Outcome &&o) noexcept {
  if (this == &o) return *this;
  if (result_ != nullptr) result_->ft->release(result_);
  if (out_args != nullptr) out_args->ft->release(out_args);
  rc = o.rc;
  message = std::move(o.message);
  instances = std::move(o.instances);
  paths = std::move(o.paths);
  data = std::move(o.data);
  errors = std::move(o.errors);
  done_count = o.done_count;
  out_args = o.out_args;
  result_ = o.result_;
  o.out_args = nullptr;
  o.result_ = nullptr;
  o.instances.clear();
  o.paths.clear();
  o.data.clear();
  o.errors.clear();
  o.done_count = 0;
  return *this;
}

Outcome::~Outcome() {
  if (result_ != nullptr) result_->ft->release(result_);
  if (out_args != nullptr) out_args->ft->release(out_args);
}

void Outcome::Collect() {
  const cmpinative::ResultContents &c = cmpinative::result_contents(result_);
  instances = c.instances;
  paths = c.paths;
  data = c.data;
  errors = c.errors;
  done_count = c.done_count;
}

std::string Outcome::Describe() const {
  std::ostringstream s;
  s << RcName(rc);
  if (!message.empty()) s << ": " << message;
  s << "; " << instances.size() << " instances, " << paths.size() << " paths, " << data.size() << " data, done "
    << done_count;
  return s.str();
}

std::string Outcome::PropertyText(size_t i, const std::string &name) const {
  if (i >= instances.size()) return "";
  return cmpiharness::PropertyText(instances[i], name);
}

Value Outcome::Property(size_t i, const std::string &name) const {
  if (i >= instances.size()) return Value();
  return PropertyOf(instances[i], name);
}

std::string Outcome::KeyText(size_t i, const std::string &key) const {
  if (i < paths.size()) return cmpiharness::KeyText(paths[i], key);
  if (paths.empty() && i < instances.size()) {
    PathPtr p = PathOf(instances[i]);
    return p ? cmpiharness::KeyText(p.get(), key) : "";
  }
  return "";
}

std::vector<std::string> Outcome::KeyTexts(const std::string &key) const {
  std::vector<std::string> out;
  size_t n = paths.empty() ? instances.size() : paths.size();
  for (size_t i = 0; i < n; ++i) out.push_back(KeyText(i, key));
  return out;
}

const CMPIInstance *Outcome::Find(const std::string &name, const std::string &text) const {
  for (const CMPIInstance *inst : instances) {
    Value v = PropertyOf(inst, name);
    if (!v.is_null() && Text(v.data()) == text) return inst;
  }
  return nullptr;
}

Value Outcome::Return() const { return data.empty() ? Value() : Value::Of(data[0]); }

Value Outcome::Out(const std::string &name) const { return ArgOf(out_args, name); }

// ------------------------------------------------------------------ UpCall

void UpCall::Return(const Value &v) const {
  result->ft->returnData(result, &v.data().value, v.type());
}

void UpCall::ReturnInstance(const CMPIInstance *inst) const { result->ft->returnInstance(result, inst); }

void UpCall::ReturnPath(const CMPIObjectPath *p) const { result->ft->returnObjectPath(result, p); }

void UpCall::SetOut(const std::string &name, const Value &v) const {
  if (out_args != nullptr) out_args->ft->addArg(out_args, name.c_str(), &v.data().value, v.type());
}

Value UpCall::In(const std::string &name) const { return ArgOf(in_args, name); }

// ------------------------------------------------------------------ Router

Router::Router() : broker_(cmpinative::new_broker(this, "qelvo-harness")) {}

Router::~Router() { cmpinative::delete_broker(broker_); }

void Router::Route(const std::string &ns, const std::string &cls, Provider *provider) {
  std::lock_guard<std::mutex> lock(mu_);
  entries_[ClassKey(ns.c_str(), cls.c_str())].provider = provider;
}

void Router::Unroute(const Provider *provider) {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto &e : entries_)
    if (e.second.provider == provider) e.second.provider = nullptr;
}

void Router::On(Op op, const std::string &ns, const std::string &cls, Handler fn) {
  std::lock_guard<std::mutex> lock(mu_);
  if (op == Op::InvokeMethod)
    entries_[ClassKey(ns.c_str(), cls.c_str())].methods[""] = std::move(fn);
  else
    entries_[ClassKey(ns.c_str(), cls.c_str())].handlers[op] = std::move(fn);
}

void Router::OnInvoke(const std::string &ns, const std::string &cls, const std::string &method, Handler fn) {
  std::lock_guard<std::mutex> lock(mu_);
  entries_[ClassKey(ns.c_str(), cls.c_str())].methods[Lower(method)] = std::move(fn);
}

void Router::AddClass(const std::string &ns, const std::string &cls, const std::string &superclass) {
  std::lock_guard<std::mutex> lock(mu_);
  superclass_[ClassKey(ns.c_str(), cls.c_str())] = superclass;
}

int Router::Calls(Op op, const std::string &ns, const std::string &cls) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = calls_.find(std::string(OpName(op)) + "|" + ClassKey(ns.c_str(), cls.c_str()));
  return it == calls_.end() ? 0 : it->second;
}

CMPIStatus Router::MakeStatus(CMPIrc rc, const std::string &message) {
  CMPIStatus st = {rc, nullptr};
  if (!message.empty()) st.msg = broker_->eft->newString(broker_, message.c_str(), nullptr);
  return st;
}

CMPIStatus Router::Dispatch(UpCall &call) {
  try {
    std::string ns, cls;
    {
      cmpinative::RequestScope scope;  // the strings below are only read here
      if (call.path != nullptr) {
        ns = StringOf(call.path->ft->getNameSpace(call.path, nullptr));
        cls = StringOf(call.path->ft->getClassName(call.path, nullptr));
      }
    }
    std::string key = ClassKey(ns.c_str(), cls.c_str());
    Handler handler;
    Provider *provider = nullptr;
    {
      std::lock_guard<std::mutex> lock(mu_);
      ++calls_[std::string(OpName(call.op)) + "|" + key];
      auto it = entries_.find(key);
      if (it != entries_.end()) {
        const Entry &e = it->second;
        if (call.op == Op::InvokeMethod) {
          auto m = e.methods.find(Lower(call.method != nullptr ? call.method : ""));
          if (m == e.methods.end()) m = e.methods.find("");
          if (m != e.methods.end()) handler = m->second;
        } else {
          auto h = e.handlers.find(call.op);
          if (h != e.handlers.end()) handler = h->second;
        }
        provider = e.provider;
      }
    }
    if (handler) {
      Status s = handler(call);
      return MakeStatus(s.rc, s.message);
    }
    if (provider != nullptr) return provider->Serve(call);
    std::string what = std::string(OpName(call.op)) + " on " + ns + ":" + cls;
    if (call.op == Op::InvokeMethod && call.method != nullptr) what += "." + std::string(call.method);
    return MakeStatus(CMPI_RC_ERR_NOT_SUPPORTED, "harness router: nothing serves " + what);
  } catch (...) {
    try {
      return MakeStatus(CMPI_RC_ERR_FAILED, "harness router: handler threw: " + CurrentExceptionText());
    } catch (...) {
      CMPIStatus st = {CMPI_RC_ERR_FAILED, nullptr};
      return st;
    }
  }
}

CMPIStatus Router::enumerateInstanceNames(const CMPIContext *ctx, const CMPIObjectPath *op,
                                          const CMPIResult *out) {
  UpCall c(Op::EnumInstanceNames);
  c.ctx = ctx;
  c.path = op;
  c.result = out;
  return Dispatch(c);
}

CMPIStatus Router::enumerateInstances(const CMPIContext *ctx, const CMPIObjectPath *op, const char **properties,
                                      const CMPIResult *out) {
  UpCall c(Op::EnumInstances);
  c.ctx = ctx;
  c.path = op;
  c.properties = properties;
  c.result = out;
  return Dispatch(c);
}

CMPIStatus Router::getInstance(const CMPIContext *ctx, const CMPIObjectPath *op, const char **properties,
                               const CMPIResult *out) {
  UpCall c(Op::GetInstance);
  c.ctx = ctx;
  c.path = op;
  c.properties = properties;
  c.result = out;
  return Dispatch(c);
}

CMPIStatus Router::createInstance(const CMPIContext *ctx, const CMPIObjectPath *op, const CMPIInstance *inst,
                                  const CMPIResult *out) {
  UpCall c(Op::CreateInstance);
  c.ctx = ctx;
  c.path = op;
  c.instance = inst;
  c.result = out;
  return Dispatch(c);
}

CMPIStatus Router::modifyInstance(const CMPIContext *ctx, const CMPIObjectPath *op, const CMPIInstance *inst,
                                  const char **properties) {
  UpCall c(Op::ModifyInstance);
  c.ctx = ctx;
  c.path = op;
  c.instance = inst;
  c.properties = properties;
  CMPIResult *sink = cmpinative::new_result();
  c.result = sink;
  CMPIStatus st = Dispatch(c);
  sink->ft->release(sink);
  return st;
}

CMPIStatus Router::deleteInstance(const CMPIContext *ctx, const CMPIObjectPath *op) {
  UpCall c(Op::DeleteInstance);
  c.ctx = ctx;
  c.path = op;
  CMPIResult *sink = cmpinative::new_result();
  c.result = sink;
  CMPIStatus st = Dispatch(c);
  sink->ft->release(sink);
  return st;
}

CMPIStatus Router::execQuery(const CMPIContext *ctx, const CMPIObjectPath *op, const char *query, const char *lang,
                             const CMPIResult *out) {
  UpCall c(Op::ExecQuery);
  c.ctx = ctx;
  c.path = op;
  c.query = query;
  c.lang = lang;
  c.result = out;
  return Dispatch(c);
}

CMPIStatus Router::associators(const CMPIContext *ctx, const CMPIObjectPath *op, const char *assocClass,
                               const char *resultClass, const char *role, const char *resultRole,
                               const char **properties, const CMPIResult *out) {
  UpCall c(Op::Associators);
  c.ctx = ctx;
  c.path = op;
  c.assoc_class = assocClass;
  c.result_class = resultClass;
  c.role = role;
  c.result_role = resultRole;
  c.properties = properties;
  c.result = out;
  return Dispatch(c);
}

CMPIStatus Router::associatorNames(const CMPIContext *ctx, const CMPIObjectPath *op, const char *assocClass,
                                   const char *resultClass, const char *role, const char *resultRole,
                                   const CMPIResult *out) {
  UpCall c(Op::AssociatorNames);
  c.ctx = ctx;
  c.path = op;
  c.assoc_class = assocClass;
  c.result_class = resultClass;
  c.role = role;
  c.result_role = resultRole;
  c.result = out;
  return Dispatch(c);
}

CMPIStatus Router::references(const CMPIContext *ctx, const CMPIObjectPath *op, const char *resultClass,
                              const char *role, const char **properties, const CMPIResult *out) {
  UpCall c(Op::References);
  c.ctx = ctx;
  c.path = op;
  c.result_class = resultClass;
  c.role = role;
  c.properties = properties;
  c.result = out;
  return Dispatch(c);
}

CMPIStatus Router::referenceNames(const CMPIContext *ctx, const CMPIObjectPath *op, const char *resultClass,
                                  const char *role, const CMPIResult *out) {
  UpCall c(Op::ReferenceNames);
  c.ctx = ctx;
  c.path = op;
  c.result_class = resultClass;
  c.role = role;
  c.result = out;
  return Dispatch(c);
}

CMPIStatus Router::invokeMethod(const CMPIContext *ctx, const CMPIObjectPath *op, const char *method,
                                const CMPIArgs *in, CMPIArgs *outArgs, const CMPIResult *out) {
  UpCall c(Op::InvokeMethod);
  c.ctx = ctx;
  c.path = op;
  c.method = method;
  c.in_args = in;
  c.out_args = outArgs;
  c.result = out;
  return Dispatch(c);
}

bool Router::classExists(const char *ns, const char *cn) {
  std::lock_guard<std::mutex> lock(mu_);
  std::string key = ClassKey(ns, cn);
  return superclass_.count(key) != 0 || entries_.count(key) != 0;
}

bool Router::classIsA(const char *ns, const char *cn, const char *type) {
  if (cn == nullptr || type == nullptr) return false;
  std::lock_guard<std::mutex> lock(mu_);
  std::string cur = cn;
  for (int depth = 0; depth < 64 && !cur.empty(); ++depth) {  // bounded: a cycle is a test's mistake
    if (strcasecmp(cur.c_str(), type) == 0) return true;
    auto it = superclass_.find(ClassKey(ns, cur.c_str()));
    if (it == superclass_.end()) break;
    cur = it->second;
  }
  return false;
}

// ---------------------------------------------------------------- Provider

namespace {

const char *const kFactorySuffix[] = {"_Create_InstanceMI", "_Create_MethodMI", "_Create_AssociationMI"};
const char *const kKindName[] = {"instance", "method", "association"};

using InstanceFactory = CMPIInstanceMI *(*)(const CMPIBroker *, const CMPIContext *, CMPIStatus *);
using MethodFactory = CMPIMethodMI *(*)(const CMPIBroker *, const CMPIContext *, CMPIStatus *);
using AssociationFactory = CMPIAssociationMI *(*)(const CMPIBroker *, const CMPIContext *, CMPIStatus *);

}  // namespace

struct Provider::Image {
  ~Image() {
    if (broker != nullptr) cmpinative::delete_broker(broker);
  }
  cmpinative::Router *router = nullptr;
  std::unique_ptr<Router> own_router;  // when no router was given
  CMPIBroker *broker = nullptr;
};

namespace {

// The images live Providers have loaded, by dlopen handle.
std::mutex images_mu;
std::map<void *, std::weak_ptr<void>> &Images() {
  static std::map<void *, std::weak_ptr<void>> images;
  return images;
}

}  // namespace

std::unique_ptr<Provider> Provider::Load(const std::string &lib_path, const std::string &provider_name,
                                         cmpinative::Router *router, std::string *error) {
  std::lock_guard<std::mutex> images_lock(images_mu);
  dlerror();
  void *handle = dlopen(lib_path.c_str(), RTLD_LAZY | RTLD_LOCAL);
  if (handle == nullptr) {
    const char *why = dlerror();
    if (error != nullptr) *error = "cannot load provider library " + lib_path + ": " + (why ? why : "unknown error");
    return nullptr;
  }
  bool any = false;
  for (const char *suffix : kFactorySuffix)
    if (dlsym(handle, (provider_name + suffix).c_str()) != nullptr) any = true;
  if (!any) {
    dlclose(handle);
    if (error != nullptr)
      *error = lib_path + " exports no factory for provider " + provider_name + " (" + provider_name +
               "_Create_InstanceMI, _Create_MethodMI or _Create_AssociationMI)";
    return nullptr;
  }

  std::shared_ptr<Image> image = std::static_pointer_cast<Image>(Images()[handle].lock());
  if (image != nullptr && router != nullptr && router != image->router) {
    dlclose(handle);
    if (error != nullptr)
      *error = lib_path + " is already loaded by a Provider with another router; its image has one broker, "
                          "so load it again with the same router";
    return nullptr;
  }
  if (image == nullptr) {
    image = std::make_shared<Image>();
    if (router == nullptr) {
      image->own_router = std::make_unique<Router>();
      router = image->own_router.get();
    }
    image->router = router;
    image->broker = cmpinative::new_broker(router);
    Images()[handle] = image;
  }

  std::unique_ptr<Provider> p(new Provider());
  p->lib_path_ = lib_path;
  p->name_ = provider_name;
  p->handle_ = handle;
  p->image_ = image;
  p->broker_ = image->broker;
  p->harness_router_ = dynamic_cast<Router *>(image->router);
  p->context_ = native_new_CMPIContext();
  CMPIValue v;
  v.uint32 = 0;
  p->context_->ft->addEntry(p->context_, CMPIInvocationFlags, &v, CMPI_uint32);
  // For CMPI_chars the value pointer is the text itself.
  p->context_->ft->addEntry(p->context_, CMPIPrincipal, reinterpret_cast<const CMPIValue *>("root"), CMPI_chars);
  if (error != nullptr) error->clear();
  return p;
}

Provider::~Provider() {
  bool held = false;
  for (void *mi : mi_) held = held || mi != nullptr;
  if (held) Cleanup(true);
  if (harness_router_ != nullptr) harness_router_->Unroute(this);
  if (context_ != nullptr) context_->ft->release(context_);
  std::lock_guard<std::mutex> images_lock(images_mu);
  image_.reset();  // the last Provider of the image deletes its broker and router
  auto it = Images().find(handle_);
  if (it != Images().end() && it->second.expired()) Images().erase(it);
  dlclose(handle_);
}

void Provider::SetContextEntry(const std::string &name, const Value &v) {
  std::lock_guard<std::mutex> lock(context_mu_);
  context_->ft->addEntry(context_, name.c_str(), &v.data().value, v.type());
}

CMPIContext *Provider::RequestContext(const std::string &ns) {
  CMPIContext *ctx;
  {
    std::lock_guard<std::mutex> lock(context_mu_);
    ctx = native_clone_CMPIContext(context_);
  }
  ctx->ft->addEntry(ctx, CMPIInitNameSpace, reinterpret_cast<const CMPIValue *>(ns.c_str()), CMPI_chars);
  return ctx;
}

void *Provider::GetMi(Kind kind, CMPIStatus *st, std::string *message) {
  std::lock_guard<std::recursive_mutex> lock(mi_mu_);
  if (mi_[kind] != nullptr) return mi_[kind];
  std::string factory = name_ + kFactorySuffix[kind];
  dlerror();
  void *sym = dlsym(handle_, factory.c_str());
  if (sym == nullptr) {
    const char *why = dlerror();
    st->rc = CMPI_RC_ERR_NOT_SUPPORTED;
    *message = "provider " + name_ + " has no " + kKindName[kind] + " MI: " + factory + " not found in " +
               lib_path_ + (why ? std::string(" (") + why + ")" : std::string());
    return nullptr;
  }
  CMPIContext *ctx;
  {
    std::lock_guard<std::mutex> clock(context_mu_);
    ctx = native_clone_CMPIContext(context_);
  }
  CMPIStatus fst = {CMPI_RC_OK, nullptr};
  void *mi = nullptr;
  switch (kind) {
    case kInstance: mi = reinterpret_cast<InstanceFactory>(sym)(broker_, ctx, &fst); break;
    case kMethod: mi = reinterpret_cast<MethodFactory>(sym)(broker_, ctx, &fst); break;
    case kAssociation: mi = reinterpret_cast<AssociationFactory>(sym)(broker_, ctx, &fst); break;
    case kKinds: break;
  }
  ctx->ft->release(ctx);
  if (mi == nullptr) {
    st->rc = fst.rc != CMPI_RC_OK ? fst.rc : CMPI_RC_ERR_FAILED;
    *message = factory + " failed";
    std::string why = StringOf(fst.msg);
    if (!why.empty()) *message += ": " + why;
    return nullptr;
  }
  mi_[kind] = mi;
  return mi;
}

Outcome Provider::Run(Kind kind, const std::string &ns, const MiCall &call, bool with_out_args) {
  Outcome o;
  try {
    o.result_ = cmpinative::new_result();
    if (with_out_args) o.out_args = native_new_CMPIArgs(nullptr);
    cmpinative::RequestScope scope;
    CMPIStatus st = {CMPI_RC_OK, nullptr};
    std::string message;
    void *mi = GetMi(kind, &st, &message);
    if (mi == nullptr) {
      o.rc = st.rc;
      o.message = message;
      return o;
    }
    CMPIContext *ctx = RequestContext(ns);
    st = call(mi, ctx, o.result_, o.out_args);
    ctx->ft->release(ctx);
    o.rc = st.rc;
    o.message = StringOf(st.msg);
    o.Collect();
  } catch (...) {
    o.rc = CMPI_RC_ERR_FAILED;
    o.message = "harness: " + CurrentExceptionText();
  }
  return o;
}

namespace {

std::string NsOf(const CMPIObjectPath *op) { return op != nullptr ? NameSpace(op) : std::string(); }

}  // namespace

Outcome Provider::EnumInstanceNames(const std::string &ns, const std::string &cls) {
  PathPtr op = Path(ns, cls);
  return Run(kInstance, ns, [&](void *mi, const CMPIContext *ctx, const CMPIResult *r, CMPIArgs *) {
    auto *m = static_cast<CMPIInstanceMI *>(mi);
    return m->ft->enumerateInstanceNames(m, ctx, r, op.get());
  });
}

Outcome Provider::EnumInstances(const std::string &ns, const std::string &cls, const PropertyList &props) {
  PathPtr op = Path(ns, cls);
  CProps p(props);
  return Run(kInstance, ns, [&](void *mi, const CMPIContext *ctx, const CMPIResult *r, CMPIArgs *) {
    auto *m = static_cast<CMPIInstanceMI *>(mi);
    return m->ft->enumerateInstances(m, ctx, r, op.get(), p.get());
  });
}

Outcome Provider::GetInstance(const CMPIObjectPath *op, const PropertyList &props) {
  CProps p(props);
  return Run(kInstance, NsOf(op), [&](void *mi, const CMPIContext *ctx, const CMPIResult *r, CMPIArgs *) {
    auto *m = static_cast<CMPIInstanceMI *>(mi);
    return m->ft->getInstance(m, ctx, r, op, p.get());
  });
}

Outcome Provider::CreateInstance(const CMPIInstance *inst, const CMPIObjectPath *op) {
  PathPtr own;
  if (op == nullptr) {
    own = PathOf(inst);
    op = own.get();
  }
  return Run(kInstance, NsOf(op), [&](void *mi, const CMPIContext *ctx, const CMPIResult *r, CMPIArgs *) {
    auto *m = static_cast<CMPIInstanceMI *>(mi);
    return m->ft->createInstance(m, ctx, r, op, inst);
  });
}

Outcome Provider::ModifyInstance(const CMPIInstance *inst, const PropertyList &props, const CMPIObjectPath *op) {
  PathPtr own;
  if (op == nullptr) {
    own = PathOf(inst);
    op = own.get();
  }
  CProps p(props);
  return Run(kInstance, NsOf(op), [&](void *mi, const CMPIContext *ctx, const CMPIResult *r, CMPIArgs *) {
    auto *m = static_cast<CMPIInstanceMI *>(mi);
    return m->ft->modifyInstance(m, ctx, r, op, inst, p.get());
  });
}

Outcome Provider::DeleteInstance(const CMPIObjectPath *op) {
  return Run(kInstance, NsOf(op), [&](void *mi, const CMPIContext *ctx, const CMPIResult *r, CMPIArgs *) {
    auto *m = static_cast<CMPIInstanceMI *>(mi);
    return m->ft->deleteInstance(m, ctx, r, op);
  });
}

Outcome Provider::ExecQuery(const std::string &ns, const std::string &cls, const std::string &query,
                            const std::string &lang) {
  PathPtr op = Path(ns, cls);
  return Run(kInstance, ns, [&](void *mi, const CMPIContext *ctx, const CMPIResult *r, CMPIArgs *) {
    auto *m = static_cast<CMPIInstanceMI *>(mi);
    return m->ft->execQuery(m, ctx, r, op.get(), query.c_str(), lang.c_str());
  });
}

Outcome Provider::Associators(const CMPIObjectPath *op, const std::string &assoc_class,
                              const std::string &result_class, const std::string &role,
                              const std::string &result_role, const PropertyList &props) {
  CProps p(props);
  return Run(kAssociation, NsOf(op), [&](void *mi, const CMPIContext *ctx, const CMPIResult *r, CMPIArgs *) {
    auto *m = static_cast<CMPIAssociationMI *>(mi);
    return m->ft->associators(m, ctx, r, op, OrNull(assoc_class), OrNull(result_class), OrNull(role),
                              OrNull(result_role), p.get());
  });
}

Outcome Provider::AssociatorNames(const CMPIObjectPath *op, const std::string &assoc_class,
                                  const std::string &result_class, const std::string &role,
                                  const std::string &result_role) {
  return Run(kAssociation, NsOf(op), [&](void *mi, const CMPIContext *ctx, const CMPIResult *r, CMPIArgs *) {
    auto *m = static_cast<CMPIAssociationMI *>(mi);
    return m->ft->associatorNames(m, ctx, r, op, OrNull(assoc_class), OrNull(result_class), OrNull(role),
                                  OrNull(result_role));
  });
}

Outcome Provider::References(const CMPIObjectPath *op, const std::string &result_class, const std::string &role,
                             const PropertyList &props) {
  CProps p(props);
  return Run(kAssociation, NsOf(op), [&](void *mi, const CMPIContext *ctx, const CMPIResult *r, CMPIArgs *) {
    auto *m = static_cast<CMPIAssociationMI *>(mi);
    return m->ft->references(m, ctx, r, op, OrNull(result_class), OrNull(role), p.get());
  });
}

Outcome Provider::ReferenceNames(const CMPIObjectPath *op, const std::string &result_class,
                                 const std::string &role) {
  return Run(kAssociation, NsOf(op), [&](void *mi, const CMPIContext *ctx, const CMPIResult *r, CMPIArgs *) {
    auto *m = static_cast<CMPIAssociationMI *>(mi);
    return m->ft->referenceNames(m, ctx, r, op, OrNull(result_class), OrNull(role));
  });
}

Outcome Provider::InvokeMethod(const CMPIObjectPath *op, const std::string &method, const CMPIArgs *in) {
  ArgsPtr none;
  if (in == nullptr) {
    none = Args();
    in = none.get();
  }
  return Run(
      kMethod, NsOf(op),
      [&](void *mi, const CMPIContext *ctx, const CMPIResult *r, CMPIArgs *out) {
        auto *m = static_cast<CMPIMethodMI *>(mi);
        return m->ft->invokeMethod(m, ctx, r, op, method.c_str(), in, out);
      },
      true);
}

CMPIStatus Provider::Serve(UpCall &c) {
  Kind kind = kInstance;
  switch (c.op) {
    case Op::Associators:
    case Op::AssociatorNames:
    case Op::References:
    case Op::ReferenceNames: kind = kAssociation; break;
    case Op::InvokeMethod: kind = kMethod; break;
    default: break;
  }
  CMPIStatus st = {CMPI_RC_OK, nullptr};
  std::string message;
  void *mi = GetMi(kind, &st, &message);
  if (mi == nullptr) {
    st.msg = broker_->eft->newString(broker_, message.c_str(), nullptr);
    return st;
  }
  auto *im = static_cast<CMPIInstanceMI *>(mi);
  auto *am = static_cast<CMPIAssociationMI *>(mi);
  auto *mm = static_cast<CMPIMethodMI *>(mi);
  switch (c.op) {
    case Op::EnumInstanceNames: return im->ft->enumerateInstanceNames(im, c.ctx, c.result, c.path);
    case Op::EnumInstances: return im->ft->enumerateInstances(im, c.ctx, c.result, c.path, c.properties);
    case Op::GetInstance: return im->ft->getInstance(im, c.ctx, c.result, c.path, c.properties);
    case Op::CreateInstance: return im->ft->createInstance(im, c.ctx, c.result, c.path, c.instance);
    case Op::ModifyInstance:
      return im->ft->modifyInstance(im, c.ctx, c.result, c.path, c.instance, c.properties);
    case Op::DeleteInstance: return im->ft->deleteInstance(im, c.ctx, c.result, c.path);
    case Op::ExecQuery: return im->ft->execQuery(im, c.ctx, c.result, c.path, c.query, c.lang);
    case Op::Associators:
      return am->ft->associators(am, c.ctx, c.result, c.path, c.assoc_class, c.result_class, c.role,
                                 c.result_role, c.properties);
    case Op::AssociatorNames:
      return am->ft->associatorNames(am, c.ctx, c.result, c.path, c.assoc_class, c.result_class, c.role,
                                     c.result_role);
    case Op::References:
      return am->ft->references(am, c.ctx, c.result, c.path, c.result_class, c.role, c.properties);
    case Op::ReferenceNames: return am->ft->referenceNames(am, c.ctx, c.result, c.path, c.result_class, c.role);
    case Op::InvokeMethod: {
      const CMPIArgs *in = c.in_args;
      if (in == nullptr) in = broker_->eft->newArgs(broker_, nullptr);
      return mm->ft->invokeMethod(mm, c.ctx, c.result, c.path, c.method, in, c.out_args);
    }
  }
  return st;
}

Outcome Provider::Cleanup(bool terminating) {
  Outcome o;
  try {
    o.result_ = cmpinative::new_result();
    cmpinative::RequestScope scope;
    CMPIrc worst_error = CMPI_RC_OK;
    bool do_not_unload = false, never_unload = false;
    std::vector<std::string> messages;
    std::lock_guard<std::recursive_mutex> lock(mi_mu_);
    for (int k = 0; k < kKinds; ++k) {
      void *mi = mi_[k];
      if (mi == nullptr) continue;
      CMPIContext *ctx = RequestContext("");
      CMPIStatus st = {CMPI_RC_OK, nullptr};
      CMPIBoolean term = terminating ? 1 : 0;
      switch (k) {
        case kInstance: {
          auto *m = static_cast<CMPIInstanceMI *>(mi);
          st = m->ft->cleanup(m, ctx, term);
          break;
        }
        case kMethod: {
          auto *m = static_cast<CMPIMethodMI *>(mi);
          st = m->ft->cleanup(m, ctx, term);
          break;
        }
        case kAssociation: {
          auto *m = static_cast<CMPIAssociationMI *>(mi);
          st = m->ft->cleanup(m, ctx, term);
          break;
        }
      }
      ctx->ft->release(ctx);
      std::string text = StringOf(st.msg);
      if (!text.empty()) messages.push_back(std::string(kKindName[k]) + " MI: " + text);
      bool refused = st.rc == CMPI_RC_DO_NOT_UNLOAD || st.rc == CMPI_RC_NEVER_UNLOAD;
      if (st.rc == CMPI_RC_DO_NOT_UNLOAD) do_not_unload = true;
      if (st.rc == CMPI_RC_NEVER_UNLOAD) never_unload = true;
      if (!refused && st.rc != CMPI_RC_OK && worst_error == CMPI_RC_OK) worst_error = st.rc;
      if (terminating || !refused) mi_[k] = nullptr;
    }
    o.rc = never_unload ? CMPI_RC_NEVER_UNLOAD
                        : do_not_unload ? CMPI_RC_DO_NOT_UNLOAD : worst_error;
    for (size_t i = 0; i < messages.size(); ++i) o.message += (i ? "; " : "") + messages[i];
  } catch (...) {
    o.rc = CMPI_RC_ERR_FAILED;
    o.message = "harness: " + CurrentExceptionText();
  }
  return o;
}

}  // namespace cmpiharness
