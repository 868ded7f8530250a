/*
 * Provider libraries and their management interfaces (MIs).
 *
 * A library (lib<location>.so, looked up in the provider directories in order)
 * is loaded with dlopen(RTLD_LAZY) on first use. Each provider in it gets its
 * instance, method and association MI from its factory
 * <provider>_Create_<Kind>MI(broker, context, status) on first use of that
 * interface (or from _Generic_Create_<Kind>MI(broker, context, provider,
 * status) when the library has only the generic factory).
 *
 * Unloading: a library that has been idle for the unload interval is asked to
 * clean up, MI by MI (instance, association, method), with terminating false.
 * The first MI that answers CMPI_RC_DO_NOT_UNLOAD stops the round and the
 * library stays loaded (MIs that had agreed are dropped and made again on next
 * use); CMPI_RC_NEVER_UNLOAD keeps the library for good. Only a library all of
 * whose MIs agreed is closed. At shutdown every MI is cleaned up with
 * terminating true; libraries are not closed then (threads a provider
 * started may still run in them).
 *
 * A Lease keeps its library loaded while an operation runs; leases nest, so a
 * provider may call into another one (or itself) through the broker.
 */
#ifndef QELVO_CIMHOST_PROVIDERS_H
#define QELVO_CIMHOST_PROVIDERS_H

#include <cmpidt.h>
#include <cmpift.h>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "registration.h"

namespace cimhost {

enum class MiKind { Instance = 0, Method = 1, Association = 2 };

class ProviderManager;

class Lease {
 public:
  Lease() = default;
  Lease(Lease &&o) noexcept;
  Lease &operator=(Lease &&o) noexcept;
  Lease(const Lease &) = delete;
  Lease &operator=(const Lease &) = delete;
  ~Lease();

  explicit operator bool() const { return mi_ != nullptr; }
  CMPIInstanceMI *instance() const { return static_cast<CMPIInstanceMI *>(mi_); }
  CMPIMethodMI *method() const { return static_cast<CMPIMethodMI *>(mi_); }
  CMPIAssociationMI *association() const { return static_cast<CMPIAssociationMI *>(mi_); }

 private:
  friend class ProviderManager;
  ProviderManager *mgr_ = nullptr;
  void *lib_ = nullptr;
  void *mi_ = nullptr;
};

struct ProviderStats {
  std::string library;  /* path */
  bool loaded = false;
  int in_use = 0;
  int loads = 0;        /* how often it was opened */
  bool never_unload = false;
};

class ProviderManager {
 public:
  ProviderManager(std::vector<std::string> provider_dirs, const CMPIBroker *broker);
  ~ProviderManager();
  ProviderManager(const ProviderManager &) = delete;
  ProviderManager &operator=(const ProviderManager &) = delete;

  /* The MI of `kind` for the registration's provider, loading what is needed.
   * On failure the lease is empty and *error says why. */
  Lease acquire(const Registration &reg, MiKind kind, std::string *error);

  /* Cleans up and closes libraries idle for at least `idle` (see above).
   * Returns the number of libraries closed. */
  int unload_idle(std::chrono::steady_clock::duration idle);
  /* Cleans up every MI with terminating true. Waits up to `wait` for
   * running operations first. No lease may be taken afterwards. */
  void shutdown(std::chrono::steady_clock::duration wait);

  /* Where lib<location>.so would be loaded from; "" when not found. */
  std::string find_library(const std::string &location) const;
  std::vector<ProviderStats> stats() const;

 private:
  friend class Lease;
  struct Provider {
    void *mi[3] = {nullptr, nullptr, nullptr};
  };
  struct Library {
    std::string path;
    void *handle = nullptr;
    int in_use = 0;
    int loads = 0;
    bool never_unload = false;
    std::chrono::steady_clock::time_point last_used;
    std::map<std::string, Provider> providers; /* by provider name */
  };
  void release(void *lib);
  CMPIStatus cleanup_mi(MiKind kind, void *mi, bool terminating);

  std::vector<std::string> dirs_;
  const CMPIBroker *broker_;
  mutable std::recursive_mutex mu_;
  std::map<std::string, std::unique_ptr<Library>> libs_; /* by location */
  bool shut_down_ = false;
};

}  // namespace cimhost

#endif  // QELVO_CIMHOST_PROVIDERS_H
