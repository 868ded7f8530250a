/* The class repository: classes from MOF placed into namespaces (see repository.h). */
#include "repository.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <set>
#include <sstream>

namespace cimhost {

namespace {

std::string lower(std::string s) {
  for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string ends_trimmed(std::string_view ns) { return std::string(cimxml::trim_slashes(ns)); }

bool has_suffix(const std::string &s, const std::string &suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::vector<std::string> list_dir(const std::string &dir) {
  std::vector<std::string> out;
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) return out;
  while (dirent *e = readdir(d)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") out.push_back(name);
  }
  closedir(d);
  std::sort(out.begin(), out.end());
  return out;
}

bool is_dir(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

/* Class names a declaration refers to: superclass and reference classes. */
std::vector<std::string> referenced_classes(const cimxml::ClassDecl &c) {
  std::vector<std::string> out;
  if (!c.superclass.empty()) out.push_back(c.superclass);
  for (const auto &p : c.properties)
    if (p.type == cimxml::CimType::Reference && !p.reference_class.empty()) out.push_back(p.reference_class);
  for (const auto &m : c.methods)
    for (const auto &p : m.parameters)
      if (p.type == cimxml::CimType::Reference && !p.reference_class.empty()) out.push_back(p.reference_class);
  return out;
}

}  // namespace

/* ------------------------------------------------------------ Repository */

bool Repository::CaseBlindLess::operator()(std::string_view a, std::string_view b) const {
  if (a.size() != b.size()) return a.size() < b.size();
  for (std::size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x == y) continue;
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
    if (x != y) return x < y;
  }
  return false;
}

const Repository::Namespace *Repository::find_ns(std::string_view ns) const {
  auto it = ns_.find(cimxml::trim_slashes(ns));
  return it == ns_.end() ? nullptr : &it->second;
}

std::vector<std::string> Repository::namespaces() const { return ns_order_; }

bool Repository::has_namespace(const std::string &ns) const { return find_ns(ns) != nullptr; }

const cimxml::ClassDecl *Repository::get_class(const std::string &ns, const std::string &name) const {
  const Namespace *n = find_ns(ns);
  if (n == nullptr) return nullptr;
  auto it = n->by_name.find(name);
  return it == n->by_name.end() ? nullptr : it->second;
}

std::vector<const cimxml::ClassDecl *> Repository::classes(const std::string &ns, const std::string &parent,
                                                           bool deep) const {
  std::vector<const cimxml::ClassDecl *> out;
  const Namespace *n = find_ns(ns);
  if (n == nullptr) return out;
  if (parent.empty() && deep) {
    for (const auto &c : n->order) out.push_back(c.get());
    return out;
  }
  std::function<void(const std::string &)> walk = [&](const std::string &p) {
    auto it = n->children.find(p);
    if (it == n->children.end()) return;
    for (const std::string &child : it->second) {
      const cimxml::ClassDecl *c = n->by_name.at(child);
      out.push_back(c);
      if (deep) walk(child);
    }
  };
  walk(parent); /* "" holds the root classes */
  return out;
}

bool Repository::is_a(const std::string &ns, const std::string &cls, const std::string &ancestor) const {
  const Namespace *n = find_ns(ns);
  if (n == nullptr) return false;
  std::string cur = cls;
  for (int depth = 0; depth < 256 && !cur.empty(); ++depth) {
    if (cimxml::iequals(cur, ancestor)) return true;
    auto it = n->by_name.find(cur);
    if (it == n->by_name.end()) return false;
    cur = it->second->superclass;
  }
  return false;
}

const Registration *Repository::provider_for(const std::string &ns, const std::string &cls,
                                             ProviderType type) const {
  const Namespace *n = find_ns(ns);
  if (n == nullptr) return nullptr;
  auto it = n->providers.find(cls);
  if (it == n->providers.end()) return nullptr;
  for (const Registration *r : it->second)
    if (r->serves(type)) return r;
  return nullptr;
}

std::vector<const Registration *> Repository::providers_below(const std::string &ns, const std::string &cls,
                                                              ProviderType type) const {
  std::vector<const Registration *> out;
  if (const Registration *r = provider_for(ns, cls, type)) out.push_back(r);
  for (const cimxml::ClassDecl *c : classes(ns, cls, true))
    if (const Registration *r = provider_for(ns, c->name, type)) out.push_back(r);
  return out;
}

const Registration *Repository::provider_upward(const std::string &ns, const std::string &cls,
                                                ProviderType type) const {
  std::string cur = cls;
  for (int depth = 0; depth < 256 && !cur.empty(); ++depth) {
    if (const Registration *r = provider_for(ns, cur, type)) return r;
    const cimxml::ClassDecl *c = get_class(ns, cur);
    if (c == nullptr) return nullptr;
    cur = c->superclass;
  }
  return nullptr;
}

std::vector<const Registration *> Repository::registrations(const std::string &ns, ProviderType type) const {
  std::vector<const Registration *> out;
  const Namespace *n = find_ns(ns);
  if (n == nullptr) return out;
  for (const auto &c : n->order) {
    auto it = n->providers.find(c->name);
    if (it == n->providers.end()) continue;
    for (const Registration *r : it->second)
      if (r->serves(type)) out.push_back(r);
  }
  return out;
}

std::string Repository::summary() const {
  std::ostringstream out;
  for (const std::string &name : ns_order_) {
    const Namespace &n = ns_.at(name);
    out << name << ": " << n.order.size() << " classes\n";
    for (const auto &c : n.order) {
      out << "  " << c->name;
      if (!c->superclass.empty()) out << " : " << c->superclass;
      auto it = n.providers.find(c->name);
      if (it != n.providers.end())
        for (const Registration *r : it->second) out << "  [" << r->provider << " in lib" << r->location << ".so]";
      out << "\n";
    }
  }
  return out.str();
}

/* ----------------------------------------------------- RepositoryBuilder */

RepositoryBuilder::RepositoryBuilder() {
  add_namespace("root/cimv2");
  add_namespace("root/interop");
}

void RepositoryBuilder::add_namespace(const std::string &ns) {
  const std::string n = ends_trimmed(ns);
  if (n.empty()) return;
  for (const std::string &e : extra_ns_)
    if (cimxml::iequals(e, n)) return;
  extra_ns_.push_back(n);
}

void RepositoryBuilder::add_mof(const cimxml::MofFile &mof, const std::string &file, const std::string &ns) {
  for (size_t i = 0; i < mof.classes.size(); ++i) {
    std::string fixed = ends_trimmed(ns);
    /* The last #pragma namespace standing before the class wins. */
    for (const cimxml::Pragma &p : mof.pragmas)
      if (cimxml::iequals(p.name, "namespace") && p.position <= i) fixed = ends_trimmed(p.value);
    sources_.push_back(Source{mof.classes[i], file, fixed});
  }
}

void RepositoryBuilder::add_mof_file(const std::string &path, const std::string &ns) {
  try {
    add_mof(cimxml::parse_mof_file(path), path, ns);
  } catch (const std::exception &e) {
    warnings_.push_back(std::string("MOF skipped: ") + e.what());
  }
}

void RepositoryBuilder::add_registration(const Registration &reg) { regs_.push_back(reg); }

void RepositoryBuilder::add_registration_file(const std::string &path) {
  try {
    for (Registration &r : read_registration_file(path)) regs_.push_back(std::move(r));
  } catch (const std::exception &e) {
    warnings_.push_back(std::string("registration file skipped: ") + e.what());
  }
}

void RepositoryBuilder::add_schema_dir(const std::string &dir) {
  if (!is_dir(dir)) {
    if (has_suffix(dir, ".reg")) add_registration_file(dir);
    else if (has_suffix(dir, ".mof")) add_mof_file(dir);
    else warnings_.push_back("not a schema directory, .reg or .mof file: " + dir);
    return;
  }
  const std::vector<std::string> names = list_dir(dir);
  for (const std::string &n : names)
    if (has_suffix(n, ".mof")) add_mof_file(dir + "/" + n);
  for (const std::string &n : names)
    if (has_suffix(n, ".reg")) add_registration_file(dir + "/" + n);
}

void RepositoryBuilder::add_stage_dir(const std::string &dir) {
  const std::string mofs = dir + "/mofs";
  std::function<void(const std::string &, const std::string &, int)> walk = [&](const std::string &path,
                                                                                const std::string &ns, int depth) {
    if (depth > 16) return;
    for (const std::string &n : list_dir(path)) {
      const std::string full = path + "/" + n;
      if (is_dir(full)) walk(full, ns.empty() ? n : ns + "/" + n, depth + 1);
      else if (has_suffix(n, ".mof") && !ns.empty()) add_mof_file(full, ns);
    }
  };
  if (is_dir(mofs)) walk(mofs, "", 0);
  const std::string regs = dir + "/regs";
  for (const std::string &n : list_dir(regs))
    if (has_suffix(n, ".reg")) add_registration_file(regs + "/" + n);
}

std::unique_ptr<Repository> RepositoryBuilder::build() {
  auto repo = std::make_unique<Repository>();
  repo->regs_ = regs_;

  /* The pool: the latest declaration of each name, general and per namespace. */
  std::map<std::string, size_t> general;
  std::map<std::pair<std::string, std::string>, size_t> fixed;
  for (size_t i = 0; i < sources_.size(); ++i) {
    const Source &s = sources_[i];
    const std::string key = lower(s.decl.name);
    size_t *slot = nullptr;
    if (s.ns.empty()) {
      auto it = general.find(key);
      if (it != general.end()) slot = &it->second;
      else general[key] = i;
    } else {
      auto it = fixed.find({lower(s.ns), key});
      if (it != fixed.end()) slot = &it->second;
      else fixed[{lower(s.ns), key}] = i;
    }
    if (slot != nullptr) {
      if (sources_[*slot].decl != s.decl)
        warnings_.push_back("class " + s.decl.name + " of " + s.file + " replaces the one of " +
                            sources_[*slot].file);
      *slot = i;
    }
  }
  auto lookup = [&](const std::string &ns, const std::string &name) -> long {
    auto f = fixed.find({lower(ns), lower(name)});
    if (f != fixed.end()) return static_cast<long>(f->second);
    auto g = general.find(lower(name));
    return g == general.end() ? -1 : static_cast<long>(g->second);
  };

  /* Placement. */
  std::map<std::string, std::string> ns_names; /* lower -> as first written */
  std::vector<std::string> ns_order;
  auto note_ns = [&](const std::string &ns) {
    if (ns_names.emplace(lower(ns), ns).second) ns_order.push_back(ns);
  };
  for (const std::string &n : extra_ns_) note_ns(n);
  std::map<std::string, std::set<size_t>> placed; /* lower ns -> source indexes */
  std::map<std::string, std::set<std::string>> file_ns; /* file -> lower ns */
  std::function<bool(const std::string &, const std::string &, int)> place = [&](const std::string &ns,
                                                                                 const std::string &name,
                                                                                 int depth) -> bool {
    const long idx = lookup(ns, name);
    if (idx < 0 || depth > 256) return false;
    note_ns(ns);
    std::set<size_t> &set = placed[lower(ns)];
    if (!set.insert(static_cast<size_t>(idx)).second) return true;
    file_ns[sources_[static_cast<size_t>(idx)].file].insert(lower(ns));
    for (const std::string &ref : referenced_classes(sources_[static_cast<size_t>(idx)].decl))
      place(ns, ref, depth + 1);
    return true;
  };
  for (size_t i = 0; i < sources_.size(); ++i)
    if (!sources_[i].ns.empty() && lookup(sources_[i].ns, sources_[i].decl.name) == static_cast<long>(i))
      place(sources_[i].ns, sources_[i].decl.name, 0);
  for (const Registration &r : repo->regs_)
    for (const std::string &ns : r.namespaces) {
      note_ns(ns);
      if (!place(ns, r.class_name, 0))
        warnings_.push_back(r.where() + ": registered class " + r.class_name + " has no MOF declaration");
    }
  for (const auto &[key, idx] : general) {
    bool anywhere = false;
    for (const auto &[ns, set] : placed)
      if (set.count(idx)) anywhere = true;
    if (anywhere) continue;
    auto it = file_ns.find(sources_[idx].file);
    if (it != file_ns.end() && !it->second.empty()) {
      const std::set<std::string> targets = it->second;
      for (const std::string &ns : targets) place(ns_names[ns], sources_[idx].decl.name, 0);
    } else {
      place(default_ns_, sources_[idx].decl.name, 0);
    }
  }

  /* Resolution, parents first, in load order. */
  for (const std::string &ns_name : ns_order) {
    Repository::Namespace &n = repo->ns_[lower(ns_name)];
    repo->ns_order_.push_back(ns_name);
    const std::set<size_t> &set = placed[lower(ns_name)];
    std::map<std::string, const cimxml::ClassDecl *> done;
    std::set<std::string> failed, busy;
    std::function<const cimxml::ClassDecl *(size_t)> resolve = [&](size_t idx) -> const cimxml::ClassDecl * {
      const cimxml::ClassDecl &decl = sources_[idx].decl;
      const std::string key = lower(decl.name);
      if (auto it = done.find(key); it != done.end()) return it->second;
      if (failed.count(key)) return nullptr;
      if (busy.count(key)) {
        warnings_.push_back(ns_name + ": class " + decl.name + " is its own ancestor");
        failed.insert(key);
        return nullptr;
      }
      busy.insert(key);
      const cimxml::ClassDecl *parent = nullptr;
      bool ok = true;
      if (!decl.superclass.empty()) {
        const long pidx = lookup(ns_name, decl.superclass);
        if (pidx < 0 || !set.count(static_cast<size_t>(pidx))) {
          warnings_.push_back(ns_name + ": class " + decl.name + " (" + sources_[idx].file + "): superclass " +
                              decl.superclass + " is not declared");
          ok = false;
        } else {
          parent = resolve(static_cast<size_t>(pidx));
          ok = parent != nullptr;
        }
      }
      busy.erase(key);
      if (!ok) {
        failed.insert(key);
        return nullptr;
      }
      try {
        auto resolved = std::make_unique<cimxml::ClassDecl>(cimxml::resolve_class(decl, parent));
        const cimxml::ClassDecl *p = resolved.get();
        n.order.push_back(std::move(resolved));
        n.by_name[key] = p;
        n.children[lower(decl.superclass)].push_back(decl.name);
        done[key] = p;
        return p;
      } catch (const std::exception &e) {
        warnings_.push_back(ns_name + ": class " + decl.name + ": " + e.what());
        failed.insert(key);
        return nullptr;
      }
    };
    for (size_t idx : set) resolve(idx);
  }

  /* Providers. */
  for (const Registration &r : repo->regs_)
    for (const std::string &ns : r.namespaces) {
      auto it = repo->ns_.find(ends_trimmed(ns));
      if (it == repo->ns_.end() || it->second.by_name.count(r.class_name) == 0) continue;
      std::vector<const Registration *> &list = it->second.providers[lower(r.class_name)];
      for (const Registration *other : list)
        if ((other->types & r.types) != 0)
          warnings_.push_back(r.where() + ": " + r.class_name + " in " + ns + " is also registered by " +
                              other->where() + "; the first registration serves it");
      list.push_back(&r);
    }
  return repo;
}

}  // namespace cimhost
