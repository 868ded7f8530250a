/*
 * CmpiPropertyList - the property list of a request: null means every
 * property, an empty list none. Keeps its own copy of the names.
 */
#ifndef _CMPIPROPERTYLIST_H_
#define _CMPIPROPERTYLIST_H_

#include <string>
#include <vector>

class CmpiPropertyList {
 public:
  CmpiPropertyList(const char **pl);  // NOLINT
  CmpiPropertyList(const CmpiPropertyList &o);
  CmpiPropertyList &operator=(const CmpiPropertyList &o);

  /* The null-terminated list, or null for every property. */
  const char **getList() const;
  bool all() const { return all_; }
  /* True when `name` is on the list (always for every property); names are
   * compared without regard to case, as CIM names are. */
  bool contains(const char *name) const;

 private:
  void rebuild();
  bool all_;
  std::vector<std::string> names_;
  std::vector<const char *> list_;
};

#endif /* _CMPIPROPERTYLIST_H_ */
