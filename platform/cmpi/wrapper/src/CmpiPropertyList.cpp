#include "CmpiPropertyList.h"

#include <strings.h>

CmpiPropertyList::CmpiPropertyList(const char **pl) : all_(pl == nullptr) {
  if (pl != nullptr) {
    for (const char **p = pl; *p != nullptr; ++p) names_.emplace_back(*p);
  }
  rebuild();
}

CmpiPropertyList::CmpiPropertyList(const CmpiPropertyList &o) : all_(o.all_), names_(o.names_) { rebuild(); }

CmpiPropertyList &CmpiPropertyList::operator=(const CmpiPropertyList &o) {
  if (this != &o) {
    all_ = o.all_;
    names_ = o.names_;
    rebuild();
  }
  return *this;
}

void CmpiPropertyList::rebuild() {
  list_.clear();
  for (const std::string &n : names_) list_.push_back(n.c_str());
  list_.push_back(nullptr);
}

const char **CmpiPropertyList::getList() const {
  return all_ ? nullptr : const_cast<const char **>(list_.data());
}

bool CmpiPropertyList::contains(const char *name) const {
  if (all_) return true;
  if (name == nullptr) return false;
  for (const std::string &n : names_) {
    if (strcasecmp(n.c_str(), name) == 0) return true;
  }
  return false;
}
