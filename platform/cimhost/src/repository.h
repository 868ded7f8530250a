/*
 * The class repository: classes read from MOF files, placed into namespaces,
 * with the provider registrations of each namespace.
 *
 * Placement:
 *  - a class read with a namespace of its own (#pragma namespace in its file,
 *    or a staging area's mofs/<namespace>/ directory) lives in that namespace;
 *  - a registered class lives in every namespace its registration names;
 *  - a class placed in a namespace brings its superclasses and the classes its
 *    references name (properties and method parameters) along;
 *  - a class placed nowhere by the rules above joins the namespaces the other
 *    classes of its file went to, or else the default namespace.
 *
 * Build once with a Builder; the Repository itself is immutable, so any
 * number of threads may read it.
 */
#ifndef QELVO_CIMHOST_REPOSITORY_H
#define QELVO_CIMHOST_REPOSITORY_H

#include <cimxml/classmodel.h>
#include <cimxml/mof.h>

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "registration.h"

namespace cimhost {

class Repository {
 public:
  /* Namespaces in the order they became known. */
  std::vector<std::string> namespaces() const;
  bool has_namespace(const std::string &ns) const;

  /* The resolved class (inherited features included), or null. */
  const cimxml::ClassDecl *get_class(const std::string &ns, const std::string &name) const;
  /* Classes of a namespace in load order; with `parent` non-empty only its
   * direct subclasses (deep: all descendants). With `parent` empty: the root
   * classes (deep: every class). */
  std::vector<const cimxml::ClassDecl *> classes(const std::string &ns, const std::string &parent, bool deep) const;
  /* True when `cls` is `ancestor` or derives from it. */
  bool is_a(const std::string &ns, const std::string &cls, const std::string &ancestor) const;

  /* The registration that serves `cls` itself with the given interface. */
  const Registration *provider_for(const std::string &ns, const std::string &cls, ProviderType type) const;
  /* `cls` and every class below it that has a provider of `type`, in that
   * order (parents before children): what serves instances of `cls`. */
  std::vector<const Registration *> providers_below(const std::string &ns, const std::string &cls,
                                                    ProviderType type) const;
  /* The provider of `type` for `cls`, else for its nearest superclass. */
  const Registration *provider_upward(const std::string &ns, const std::string &cls, ProviderType type) const;
  /* Every registration of `type` in `ns`. */
  std::vector<const Registration *> registrations(const std::string &ns, ProviderType type) const;
  /* Every registration, as read. */
  const std::vector<Registration> &all_registrations() const { return regs_; }

  /* The resolved class hierarchy text for diagnostics: one line per class. */
  std::string summary() const;

 private:
  friend class RepositoryBuilder;
  /* Finds the lower-case keys below by a name in any case without a lower-case copy of it.
   * Names are ordered by length first, so that most comparisons end there: nothing walks these
   * maps in order. */
  struct CaseBlindLess {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const;
  };
  template <class V>
  using ByName = std::map<std::string, V, CaseBlindLess>;
  struct Namespace {
    std::vector<std::unique_ptr<cimxml::ClassDecl>> order; /* resolved, load order */
    ByName<const cimxml::ClassDecl *> by_name; /* lower-case name */
    ByName<std::vector<std::string>> children; /* lower-case parent -> names */
    ByName<std::vector<const Registration *>> providers; /* lower-case class */
  };
  const Namespace *find_ns(std::string_view ns) const;

  std::vector<std::string> ns_order_;
  ByName<Namespace> ns_; /* by lower-case name */
  std::vector<Registration> regs_;
};

class RepositoryBuilder {
 public:
  RepositoryBuilder();
  /* Namespace for classes no rule places (root/cimv2). */
  void set_default_namespace(const std::string &ns) { default_ns_ = ns; }
  /* Namespaces that exist even without classes (root/cimv2, root/interop). */
  void add_namespace(const std::string &ns);

  /* Adds the classes of a MOF model; `ns` (or a #pragma namespace in it)
   * fixes their namespace. A class declared again replaces the earlier one
   * (a warning). */
  void add_mof(const cimxml::MofFile &mof, const std::string &file, const std::string &ns = "");
  /* Reads a MOF file and adds it; failures become warnings. */
  void add_mof_file(const std::string &path, const std::string &ns = "");
  void add_registration(const Registration &reg);
  void add_registration_file(const std::string &path);
  /* A directory: every *.reg and *.mof file in it (sorted by name). */
  void add_schema_dir(const std::string &dir);
  /* A staging area: dir/regs/ *.reg and dir/mofs/<namespace>/ *.mof. */
  void add_stage_dir(const std::string &dir);

  /* Places, resolves and indexes everything. Problems found (a missing
   * superclass, a registration for an unknown class, ...) are added to
   * warnings(); the affected class or registration is left out. */
  std::unique_ptr<Repository> build();

  const std::vector<std::string> &warnings() const { return warnings_; }

 private:
  struct Source {
    cimxml::ClassDecl decl;
    std::string file;
    std::string ns; /* fixed namespace, or "" */
  };
  std::vector<Source> sources_;
  std::vector<Registration> regs_;
  std::vector<std::string> extra_ns_;
  std::string default_ns_ = "root/cimv2";
  std::vector<std::string> warnings_;
};

}  // namespace cimhost

#endif  // QELVO_CIMHOST_REPOSITORY_H
