// The controller CIMOM's instance store: every instance of the controller's classes, read from
// MOF instance declarations and typed with the class declarations, kept in memory so that
// clients can create, modify and delete them while the CIMOM runs.
//
// A store directory holds the class MOF files (*.mof, read with the CIM-XML library's MOF
// reader) and instances/*.mof, read in name order; an alias declared in one instance file can be
// used in the files after it. Instances without a #pragma namespace live in root/cimv2.
//
// Behaviour, as a controller's CIMOM shows it:
//  - enumerations return the instances of exactly the class asked for (the CIMOM asks once per
//    registered class);
//  - a class with at least one property qualified Write accepts CreateInstance, DeleteInstance
//    and ModifyInstance of its Write properties; other classes and properties refuse with
//    CMPI_RC_ERR_NOT_SUPPORTED;
//  - association operations follow the instances of the association classes;
//  - a method declared by the class answers 0 (in the method's return type) and gives back
//    every parameter that is both IN and OUT as it came.
// Every operation is safe to call from several threads.
#ifndef QELVO_PLATFORM_TAVIK_INSTANCE_STORE_H
#define QELVO_PLATFORM_TAVIK_INSTANCE_STORE_H

#include <cimxml/base.h>
#include <cimxml/classmodel.h>
#include <cmpidt.h>
#include <cmpift.h>

#include <functional>
#include <map>
#include <memory>
#include <shared_mutex>
#include <string>
#include <vector>

namespace tavikstore {

// A CIM status with its message, as the provider hands it to the CIMOM.
struct Outcome {
  CMPIrc rc = CMPI_RC_OK;
  std::string message;
  bool ok() const { return rc == CMPI_RC_OK; }
};

// Association operation and its filters (empty: no filter).
struct AssocQuery {
  bool references = false;  // References/ReferenceNames, else Associators/AssociatorNames
  std::string assoc_class, result_class, role, result_role;
};

class Store {
 public:
  // Reads the classes and instances of `dir`. False with *error set when a file cannot be read
  // or an instance does not fit its class.
  bool Load(const std::string& dir, std::string* error);
  // A MOF text and the name its messages give it.
  struct Text {
    std::string name, text;
  };
  // The same from texts: the class files, then the instance files in order.
  bool LoadTexts(const std::vector<Text>& class_mofs, const std::vector<Text>& instance_mofs, std::string* error);

  // Calls `out` with every instance of class `cls` (exactly) in `ns`.
  void Enumerate(const std::string& ns, const std::string& cls,
                 const std::function<void(const CMPIInstance*)>& out) const;
  // Calls `out` with the instance `op` names; NOT_FOUND when there is none.
  Outcome Get(const CMPIObjectPath* op, const std::function<void(const CMPIInstance*)>& out) const;
  // Adds `inst` under the path its keys give; `created` receives that path.
  Outcome Create(const CMPIObjectPath* op, const CMPIInstance* inst,
                 const std::function<void(const CMPIObjectPath*)>& created);
  // Sets the properties of `inst` (only those of `properties` when it is given) on the instance
  // `op` names.
  Outcome Modify(const CMPIObjectPath* op, const CMPIInstance* inst, const char** properties);
  Outcome Delete(const CMPIObjectPath* op);
  // Associators/References (instances) or their names (paths) of the object `op`.
  Outcome Associate(const CMPIObjectPath* op, const AssocQuery& q,
                    const std::function<void(const CMPIInstance*)>& instance,
                    const std::function<void(const CMPIObjectPath*)>& name) const;
  // Runs `method` on `op` (an instance or class path); the return value goes to `result`.
  Outcome Invoke(const CMPIObjectPath* op, const std::string& method, const CMPIArgs* in, CMPIArgs* out,
                 const std::function<void(const CMPIData&)>& result) const;

  size_t size() const;

 private:
  struct Entry {
    std::string ns;
    const cimxml::ClassDecl* cls = nullptr;
    cimxml::InstancePtr inst;
    cimxml::PathPtr path;  // the instance's object path, with its namespace
  };

  bool BuildClasses(const std::vector<cimxml::ClassDecl>& decls, std::string* error);
  bool AddInstances(const std::string& text, const std::string& file, std::string* error);
  const cimxml::ClassDecl* FindClass(const std::string& name) const;
  bool IsA(const std::string& cls, const std::string& ancestor) const;
  static bool Writable(const cimxml::ClassDecl& cls);
  // The entry `op` names (same namespace when `op` has one), or null. Caller holds the lock.
  const Entry* Find(const CMPIObjectPath* op) const;
  std::vector<Entry>::iterator FindMutable(const CMPIObjectPath* op);
  // A stored instance made from `inst`, typed by `cls`, with its object path in `ns`.
  Entry MakeEntry(const CMPIInstance* inst, const cimxml::ClassDecl& cls, const std::string& ns) const;

  mutable std::shared_mutex mu_;
  std::map<std::string, cimxml::ClassDecl> classes_;  // resolved, by lower-case name
  std::vector<Entry> entries_;
  std::map<std::string, cimxml::PathPtr> aliases_;  // while loading
};

// Two object paths name the same object: same class (without regard to case) and the same key
// values (references compared the same way); host and namespace are not compared.
bool SameObject(const CMPIObjectPath* a, const CMPIObjectPath* b);

}  // namespace tavikstore

#endif  // QELVO_PLATFORM_TAVIK_INSTANCE_STORE_H
