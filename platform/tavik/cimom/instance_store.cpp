// The controller CIMOM's instance store (see instance_store.h).
#include "instance_store.h"

#include <cimxml/mof.h>
#include <cimxml/xml.h>
#include <cmpi_native.h>
#include <dirent.h>

#include <algorithm>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>

namespace tavikstore {

namespace {

constexpr char kDefaultNamespace[] = "root/cimv2";

using cimxml::iequals;

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

Outcome Fail(CMPIrc rc, const std::string& message) { return Outcome{rc, message}; }

std::string ClassOf(const CMPIObjectPath* op) { return cimxml::cmpi_text(op->ft->getClassName(op, nullptr)); }
std::string NamespaceOf(const CMPIObjectPath* op) { return cimxml::cmpi_text(op->ft->getNameSpace(op, nullptr)); }

// Visits the named values of an instance, object path (keys) or argument list, releasing the
// name strings the getters make.
template <class GetAt>
void ForEachNamed(CMPICount count, GetAt get_at, const std::function<void(const std::string&, const CMPIData&)>& f) {
  for (CMPICount i = 0; i < count; ++i) {
    CMPIString* name = nullptr;
    const CMPIData d = get_at(i, &name);
    const std::string n = cimxml::cmpi_text(name);
    if (name != nullptr) name->ft->release(name);
    f(n, d);
  }
}

void ForEachProperty(const CMPIInstance* inst, const std::function<void(const std::string&, const CMPIData&)>& f) {
  ForEachNamed(inst->ft->getPropertyCount(inst, nullptr),
               [&](CMPICount i, CMPIString** n) { return inst->ft->getPropertyAt(inst, i, n, nullptr); }, f);
}

void ForEachKey(const CMPIObjectPath* op, const std::function<void(const std::string&, const CMPIData&)>& f) {
  ForEachNamed(op->ft->getKeyCount(op, nullptr),
               [&](CMPICount i, CMPIString** n) { return op->ft->getKeyAt(op, i, n, nullptr); }, f);
}

bool IsNull(const CMPIData& d) { return (d.state & CMPI_nullValue) != 0; }

bool SameValue(const CMPIData& a, const CMPIData& b) {
  if (IsNull(a) || IsNull(b)) return IsNull(a) && IsNull(b);
  if (a.type == CMPI_ref || b.type == CMPI_ref) {
    return a.type == CMPI_ref && b.type == CMPI_ref && SameObject(a.value.ref, b.value.ref);
  }
  // Keys arrive typed loosely (an integer as sint64, a string for anything): compare texts.
  try {
    return cimxml::scalar_to_text(a) == cimxml::scalar_to_text(b);
  } catch (const cimxml::Error&) {
    return false;
  }
}

void SetProperty(CMPIInstance* inst, const std::string& name, const CMPIData& d) {
  inst->ft->setProperty(inst, name.c_str(), IsNull(d) ? nullptr : &d.value, d.type);
}

std::string ReadText(const std::string& path, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read " + path;
    return std::string();
  }
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// The *.mof files of a directory, sorted by name; false when it cannot be read.
bool MofFiles(const std::string& dir, std::vector<std::string>* out) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return false;
  while (const dirent* e = readdir(d)) {
    const std::string n = e->d_name;
    if (n.size() > 4 && n.compare(n.size() - 4, 4, ".mof") == 0) out->push_back(dir + "/" + n);
  }
  closedir(d);
  std::sort(out->begin(), out->end());
  return true;
}

}  // namespace

bool SameObject(const CMPIObjectPath* a, const CMPIObjectPath* b) {
  if (a == nullptr || b == nullptr || !iequals(ClassOf(a), ClassOf(b))) return false;
  if (a->ft->getKeyCount(a, nullptr) != b->ft->getKeyCount(b, nullptr)) return false;
  bool same = true;
  ForEachKey(a, [&](const std::string& name, const CMPIData& va) {
    if (!same) return;
    // Key names compare without regard to case.
    bool found = false;
    ForEachKey(b, [&](const std::string& other, const CMPIData& vb) {
      if (!found && iequals(name, other)) {
        found = true;
        same = SameValue(va, vb);
      }
    });
    if (!found) same = false;
  });
  return same;
}

/* --------------------------------------------------------------- loading */

bool Store::Load(const std::string& dir, std::string* error) {
  std::vector<std::string> class_files, instance_files;
  if (!MofFiles(dir, &class_files) || !MofFiles(dir + "/instances", &instance_files)) {
    *error = "cannot read the store directory " + dir;
    return false;
  }
  std::vector<Text> class_texts, instance_texts;
  for (const std::string& f : class_files) {
    class_texts.push_back(Text{f, ReadText(f, error)});
    if (!error->empty()) return false;
  }
  for (const std::string& f : instance_files) {
    instance_texts.push_back(Text{f, ReadText(f, error)});
    if (!error->empty()) return false;
  }
  return LoadTexts(class_texts, instance_texts, error);
}

bool Store::LoadTexts(const std::vector<Text>& class_mofs, const std::vector<Text>& instance_mofs,
                      std::string* error) {
  std::unique_lock<std::shared_mutex> lock(mu_);
  classes_.clear();
  entries_.clear();
  aliases_.clear();
  std::vector<cimxml::ClassDecl> decls;
  try {
    for (const Text& t : class_mofs) {
      cimxml::MofFile mof = cimxml::parse_mof(t.text, t.name);
      for (cimxml::ClassDecl& c : mof.classes) decls.push_back(std::move(c));
    }
  } catch (const cimxml::Error& e) {
    *error = e.what();
    return false;
  }
  if (!BuildClasses(decls, error)) return false;
  for (const Text& t : instance_mofs) {
    if (!AddInstances(t.text, t.name, error)) return false;
  }
  aliases_.clear();
  return true;
}

// Resolves every class with its inherited features, parents first.
bool Store::BuildClasses(const std::vector<cimxml::ClassDecl>& decls, std::string* error) {
  std::map<std::string, const cimxml::ClassDecl*> raw;
  for (const cimxml::ClassDecl& c : decls) raw[Lower(c.name)] = &c;
  std::set<std::string> visiting;
  std::function<bool(const cimxml::ClassDecl&)> resolve = [&](const cimxml::ClassDecl& c) -> bool {
    const std::string key = Lower(c.name);
    if (classes_.count(key) != 0) return true;
    if (!visiting.insert(key).second) {
      *error = "class " + c.name + " derives from itself";
      return false;
    }
    const cimxml::ClassDecl* parent = nullptr;
    if (!c.superclass.empty()) {
      auto it = raw.find(Lower(c.superclass));
      if (it == raw.end()) {
        *error = "class " + c.name + ": no superclass " + c.superclass;
        return false;
      }
      if (!resolve(*it->second)) return false;
      parent = &classes_.at(Lower(c.superclass));
    }
    try {
      classes_.emplace(key, cimxml::resolve_class(c, parent));
    } catch (const cimxml::Error& e) {
      *error = e.what();
      return false;
    }
    return true;
  };
  for (const cimxml::ClassDecl& c : decls)
    if (!resolve(c)) return false;
  return true;
}

bool Store::AddInstances(const std::string& text, const std::string& file, std::string* error) {
  cimxml::MofFile mof;
  try {
    mof = cimxml::parse_mof(text, file);
  } catch (const cimxml::Error& e) {
    *error = e.what();
    return false;
  }
  if (!mof.classes.empty() || !mof.qualifier_decls.empty()) {
    *error = file + ": expected an instance declaration, found a class or qualifier declaration";
    return false;
  }
  for (const cimxml::InstanceDecl& d : mof.instances) {
    const std::string where = file + ":" + std::to_string(d.line) + ": ";
    const cimxml::ClassDecl* cls = FindClass(d.class_name);
    if (cls == nullptr) {
      *error = where + "no class " + d.class_name;
      return false;
    }
    const std::string ns = d.name_space.empty() ? kDefaultNamespace : d.name_space;
    try {
      cimxml::PathPtr bare(newCMPIObjectPath(ns.c_str(), cls->name.c_str(), nullptr));
      cimxml::InstancePtr inst(native_new_CMPIInstance(bare.get(), nullptr));
      if (!inst) throw cimxml::Error(CMPI_RC_ERR_FAILED, "cannot create an instance");
      for (const cimxml::InstanceDecl::Property& p : d.properties) {
        const cimxml::PropertyDecl* pd = cls->property(p.name);
        if (pd == nullptr) throw cimxml::Error(CMPI_RC_ERR_NO_SUCH_PROPERTY, "class " + cls->name + " has no property " + p.name);
        if (p.array != pd->is_array) throw cimxml::Error(CMPI_RC_ERR_TYPE_MISMATCH, p.name + (pd->is_array ? " is an array" : " is not an array"));
        const std::string what = cls->name + "." + pd->name;
        cimxml::Value v;
        if (!p.array && p.items[0].kind == cimxml::MofConstant::Null) {
          v = cimxml::Value::null_of(cimxml::to_cmpi(pd->type, false));
        } else if (pd->type == cimxml::CimType::Reference) {
          if (p.array) throw cimxml::Error(CMPI_RC_ERR_NOT_SUPPORTED, what + ": reference arrays are not supported");
          const cimxml::MofConstant& c = p.items[0];
          cimxml::PathPtr target;
          if (c.kind == cimxml::MofConstant::Alias) {
            auto it = aliases_.find(c.text);
            if (it == aliases_.end()) throw cimxml::Error(CMPI_RC_ERR_INVALID_PARAMETER, what + ": unknown alias " + c.text);
            target.reset(it->second->ft->clone(it->second.get(), nullptr));
          } else if (c.kind == cimxml::MofConstant::String) {
            target = cimxml::path_from_text(c.text);
          } else {
            throw cimxml::Error(CMPI_RC_ERR_TYPE_MISMATCH, what + ": a reference needs an alias or a path");
          }
          CMPIValue rv;
          rv.ref = target.get();
          inst->ft->setProperty(inst.get(), pd->name.c_str(), &rv, CMPI_ref);
          continue;
        } else {
          std::vector<std::string> texts;
          for (const cimxml::MofConstant& c : p.items) {
            if (c.kind == cimxml::MofConstant::Null || c.kind == cimxml::MofConstant::Alias)
              throw cimxml::Error(CMPI_RC_ERR_TYPE_MISMATCH, what + ": " + c.text + " is not a value of its type");
            texts.push_back(c.text);
          }
          v = p.array ? cimxml::array_from_texts(texts, pd->type, what) : cimxml::value_from_text(texts[0], pd->type, what);
        }
        SetProperty(inst.get(), pd->name, v.data());
      }
      Entry e = MakeEntry(inst.get(), *cls, ns);
      if (Find(e.path.get()) != nullptr) throw cimxml::Error(CMPI_RC_ERR_ALREADY_EXISTS, "a second " + cimxml::path_to_text(e.path.get()));
      if (!d.alias.empty()) aliases_[d.alias].reset(e.path->ft->clone(e.path.get(), nullptr));
      entries_.push_back(std::move(e));
    } catch (const cimxml::Error& e) {
      *error = where + e.what();
      return false;
    }
  }
  return true;
}

// The instance with the class's default values under the properties it leaves out, and its
// object path from its keys.
Store::Entry Store::MakeEntry(const CMPIInstance* inst, const cimxml::ClassDecl& cls, const std::string& ns) const {
  Entry e;
  e.ns = ns;
  e.cls = &cls;
  e.inst.reset(inst->ft->clone(inst, nullptr));
  if (!e.inst) throw cimxml::Error(CMPI_RC_ERR_FAILED, "cannot copy an instance");
  for (const cimxml::PropertyDecl& pd : cls.properties) {
    if (pd.default_value.null || pd.type == cimxml::CimType::Reference) continue;
    CMPIStatus st = {CMPI_RC_OK, nullptr};
    e.inst->ft->getProperty(e.inst.get(), pd.name.c_str(), &st);
    if (st.rc != CMPI_RC_ERR_NO_SUCH_PROPERTY) continue;
    cimxml::Value v = pd.is_array ? cimxml::array_from_texts(pd.default_value.items, pd.type, pd.name)
                                  : cimxml::value_from_text(pd.default_value.items.at(0), pd.type, pd.name);
    SetProperty(e.inst.get(), pd.name, v.data());
  }
  e.path = cimxml::instance_path_from_class(e.inst.get(), cls, ns);
  e.inst->ft->setObjectPath(e.inst.get(), e.path.get());
  return e;
}

const cimxml::ClassDecl* Store::FindClass(const std::string& name) const {
  auto it = classes_.find(Lower(name));
  return it == classes_.end() ? nullptr : &it->second;
}

bool Store::IsA(const std::string& cls, const std::string& ancestor) const {
  for (const cimxml::ClassDecl* c = FindClass(cls); c != nullptr; c = FindClass(c->superclass)) {
    if (iequals(c->name, ancestor)) return true;
    if (c->superclass.empty()) break;
  }
  return false;
}

bool Store::Writable(const cimxml::ClassDecl& cls) {
  return std::any_of(cls.properties.begin(), cls.properties.end(),
                     [](const cimxml::PropertyDecl& p) { return cimxml::qualifier_true(p.qualifiers, "Write"); });
}

const Store::Entry* Store::Find(const CMPIObjectPath* op) const {
  const std::string ns = NamespaceOf(op);
  for (const Entry& e : entries_) {
    if ((ns.empty() || iequals(ns, e.ns)) && SameObject(op, e.path.get())) return &e;
  }
  return nullptr;
}

std::vector<Store::Entry>::iterator Store::FindMutable(const CMPIObjectPath* op) {
  const Entry* e = Find(op);
  return e == nullptr ? entries_.end() : entries_.begin() + (e - entries_.data());
}

size_t Store::size() const {
  std::shared_lock<std::shared_mutex> lock(mu_);
  return entries_.size();
}

/* ------------------------------------------------------------ operations */

void Store::Enumerate(const std::string& ns, const std::string& cls,
                      const std::function<void(const CMPIInstance*)>& out) const {
  std::shared_lock<std::shared_mutex> lock(mu_);
  for (const Entry& e : entries_)
    if (iequals(e.ns, ns) && iequals(e.cls->name, cls)) out(e.inst.get());
}

Outcome Store::Get(const CMPIObjectPath* op, const std::function<void(const CMPIInstance*)>& out) const {
  std::shared_lock<std::shared_mutex> lock(mu_);
  const Entry* e = Find(op);
  if (e == nullptr) return Fail(CMPI_RC_ERR_NOT_FOUND, "no instance " + cimxml::path_to_text(op));
  out(e->inst.get());
  return Outcome{};
}

Outcome Store::Create(const CMPIObjectPath* op, const CMPIInstance* inst,
                      const std::function<void(const CMPIObjectPath*)>& created) {
  std::unique_lock<std::shared_mutex> lock(mu_);
  const std::string cls_name = ClassOf(op);
  const cimxml::ClassDecl* cls = FindClass(cls_name);
  if (cls == nullptr) return Fail(CMPI_RC_ERR_INVALID_CLASS, "no class " + cls_name);
  if (!Writable(*cls)) return Fail(CMPI_RC_ERR_NOT_SUPPORTED, "instances of " + cls->name + " cannot be created");
  const std::string ns = NamespaceOf(op).empty() ? kDefaultNamespace : NamespaceOf(op);
  try {
    Entry e = MakeEntry(inst, *cls, ns);
    if (Find(e.path.get()) != nullptr)
      return Fail(CMPI_RC_ERR_ALREADY_EXISTS, cimxml::path_to_text(e.path.get()) + " exists already");
    created(e.path.get());
    entries_.push_back(std::move(e));
  } catch (const cimxml::Error& e) {
    return Fail(e.code(), e.what());
  }
  return Outcome{};
}

Outcome Store::Modify(const CMPIObjectPath* op, const CMPIInstance* inst, const char** properties) {
  std::unique_lock<std::shared_mutex> lock(mu_);
  auto it = FindMutable(op);
  if (it == entries_.end()) return Fail(CMPI_RC_ERR_NOT_FOUND, "no instance " + cimxml::path_to_text(op));
  const cimxml::ClassDecl& cls = *it->cls;
  auto listed = [&](const std::string& name) {
    if (properties == nullptr) return true;
    for (const char** p = properties; *p != nullptr; ++p)
      if (iequals(*p, name)) return true;
    return false;
  };
  // Checked first, so that a refused request changes nothing.
  Outcome refused;
  std::vector<std::pair<const cimxml::PropertyDecl*, cimxml::Value>> changes;
  ForEachProperty(inst, [&](const std::string& name, const CMPIData& d) {
    if (!refused.ok() || !listed(name)) return;
    const cimxml::PropertyDecl* pd = cls.property(name);
    if (pd == nullptr) {
      refused = Fail(CMPI_RC_ERR_NO_SUCH_PROPERTY, "class " + cls.name + " has no property " + name);
      return;
    }
    if (pd->is_key()) {
      CMPIStatus st = {CMPI_RC_OK, nullptr};
      const CMPIData now = it->inst->ft->getProperty(it->inst.get(), pd->name.c_str(), &st);
      if (!SameValue(now, d)) refused = Fail(CMPI_RC_ERR_NOT_SUPPORTED, "the key " + pd->name + " cannot change");
      return;
    }
    if (!cimxml::qualifier_true(pd->qualifiers, "Write")) {
      refused = Fail(CMPI_RC_ERR_NOT_SUPPORTED, "the property " + pd->name + " cannot be modified");
      return;
    }
    try {
      changes.emplace_back(pd, IsNull(d) ? cimxml::Value::null_of(cimxml::to_cmpi(pd->type, pd->is_array))
                                         : cimxml::convert_value(d, pd->type, pd->is_array, pd->name));
    } catch (const cimxml::Error& e) {
      refused = Fail(e.code(), e.what());
    }
  });
  if (!refused.ok()) return refused;
  for (const auto& c : changes) SetProperty(it->inst.get(), c.first->name, c.second.data());
  return Outcome{};
}

Outcome Store::Delete(const CMPIObjectPath* op) {
  std::unique_lock<std::shared_mutex> lock(mu_);
  auto it = FindMutable(op);
  if (it == entries_.end()) return Fail(CMPI_RC_ERR_NOT_FOUND, "no instance " + cimxml::path_to_text(op));
  if (!Writable(*it->cls)) return Fail(CMPI_RC_ERR_NOT_SUPPORTED, "instances of " + it->cls->name + " cannot be deleted");
  entries_.erase(it);
  return Outcome{};
}

Outcome Store::Associate(const CMPIObjectPath* op, const AssocQuery& q,
                         const std::function<void(const CMPIInstance*)>& instance,
                         const std::function<void(const CMPIObjectPath*)>& name) const {
  std::shared_lock<std::shared_mutex> lock(mu_);
  const std::string ns = NamespaceOf(op).empty() ? kDefaultNamespace : NamespaceOf(op);
  std::set<const Entry*> seen;
  auto emit = [&](const Entry* e) {
    if (!seen.insert(e).second) return;
    if (instance) instance(e->inst.get());
    else name(e->path.get());
  };
  for (const Entry& a : entries_) {
    if (!iequals(a.ns, ns) || !a.cls->is_association()) continue;
    if (!q.assoc_class.empty() && !IsA(a.cls->name, q.assoc_class)) continue;
    if (q.references && !q.result_class.empty() && !IsA(a.cls->name, q.result_class)) continue;
    for (const cimxml::PropertyDecl& p : a.cls->properties) {
      if (p.type != cimxml::CimType::Reference || (!q.role.empty() && !iequals(p.name, q.role))) continue;
      const CMPIData from = a.inst->ft->getProperty(a.inst.get(), p.name.c_str(), nullptr);
      if (IsNull(from) || from.type != CMPI_ref || !SameObject(from.value.ref, op)) continue;
      if (q.references) {
        emit(&a);
        break;
      }
      for (const cimxml::PropertyDecl& r : a.cls->properties) {
        if (&r == &p || r.type != cimxml::CimType::Reference) continue;
        if (!q.result_role.empty() && !iequals(r.name, q.result_role)) continue;
        const CMPIData to = a.inst->ft->getProperty(a.inst.get(), r.name.c_str(), nullptr);
        if (IsNull(to) || to.type != CMPI_ref) continue;
        if (!q.result_class.empty() && !IsA(ClassOf(to.value.ref), q.result_class)) continue;
        if (const Entry* target = Find(to.value.ref)) emit(target);
      }
    }
  }
  return Outcome{};
}

Outcome Store::Invoke(const CMPIObjectPath* op, const std::string& method, const CMPIArgs* in, CMPIArgs* out,
                      const std::function<void(const CMPIData&)>& result) const {
  std::shared_lock<std::shared_mutex> lock(mu_);
  const std::string cls_name = ClassOf(op);
  const cimxml::ClassDecl* cls = FindClass(cls_name);
  if (cls == nullptr) return Fail(CMPI_RC_ERR_INVALID_CLASS, "no class " + cls_name);
  const cimxml::MethodDecl* m = cls->method(method);
  if (m == nullptr) return Fail(CMPI_RC_ERR_METHOD_NOT_FOUND, "class " + cls->name + " has no method " + method);
  if (op->ft->getKeyCount(op, nullptr) > 0 && Find(op) == nullptr)
    return Fail(CMPI_RC_ERR_NOT_FOUND, "no instance " + cimxml::path_to_text(op));
  for (const cimxml::ParameterDecl& p : m->parameters) {
    if (!p.is_in() || !p.is_out() || in == nullptr) continue;
    CMPIStatus st = {CMPI_RC_OK, nullptr};
    const CMPIData d = in->ft->getArg(in, p.name.c_str(), &st);
    if (st.rc != CMPI_RC_OK) continue;
    out->ft->addArg(out, p.name.c_str(), IsNull(d) ? nullptr : &d.value, d.type);
  }
  try {
    cimxml::Value rv = cimxml::value_from_text("0", m->return_type, "return value");
    result(rv.data());
  } catch (const cimxml::Error& e) {
    return Fail(e.code(), e.what());
  }
  return Outcome{};
}

}  // namespace tavikstore
