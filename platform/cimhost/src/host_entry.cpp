/* The host entry points providers call by name (see host_entry.h). */
#include "host_entry.h"

#include <mutex>

/* The host's classes are opaque to providers: one object stands for any class found. */
struct _CMPIConstClass {
  int unused;
};

namespace cimhost {
namespace {

std::mutex g_mu;
std::function<bool(const char *, const char *)> g_lookup;
_CMPIConstClass g_found = {0};

}  // namespace

void set_class_lookup(std::function<bool(const char *ns, const char *cn)> lookup) {
  std::lock_guard<std::mutex> lock(g_mu);
  g_lookup = std::move(lookup);
}

}  // namespace cimhost

CMPIConstClass *getConstClass(const char *ns, const char *cn) {
  using namespace cimhost;
  std::function<bool(const char *, const char *)> lookup;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    lookup = g_lookup;
  }
  if (!lookup || ns == nullptr || cn == nullptr) return nullptr;
  return lookup(ns, cn) ? &g_found : nullptr;
}
