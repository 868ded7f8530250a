/*
 * The providers as the CIMOM sees them: which process runs each one, and the
 * MI the routing calls for an operation.
 *
 * Provider processes: the providers of one registration group (the `group:`
 * key) share a process; a provider without a group has one of its own. A
 * group's process is started (the provider process program, see
 * provider_process.cpp) on its first use; the libraries and MIs are made in
 * it on first use as provider_host.h describes. The CIMOM holds a proxy MI for
 * each MI made there, whose operations are sent over channels (rpc.h); the
 * broker up-calls of the providers come back the same way and are routed by
 * the CIMOM. A process that ends answers the calls waiting for it with
 * CIM_ERR_FAILED and a message saying how it ended; the next use starts it
 * again.
 *
 * A call waits for its provider process until the deadline of the request it
 * serves (call_limits()), or until the client of that request has gone; then
 * it fails with CIM_ERR_FAILED and its channel is closed (the provider's own
 * thread runs on). A provider's own threads may wait for up-calls for
 * ProviderOptions::upcall_limit.
 *
 * Unloading: unload_idle() asks each process idle for the given time for an
 * unload round (provider_host.h); a process whose libraries are all closed
 * is ended, and started afresh (with fresh statics) when next used.
 * shutdown() cleans every MI up with terminating true and ends the
 * processes.
 *
 * In-process mode (ProviderOptions::in_process) loads every library into the
 * CIMOM itself instead, with no isolation and no time limit.
 *
 * A Lease keeps its MI (and its process) while an operation runs; leases
 * nest, so a provider may call into another one (or itself) through the
 * broker.
 */
#ifndef QELVO_CIMHOST_PROVIDERS_H
#define QELVO_CIMHOST_PROVIDERS_H

#include <cmpi_native.h>
#include <cmpidt.h>
#include <cmpift.h>
#include <sys/types.h>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "provider_host.h"
#include "registration.h"

namespace cimhost {

class ProviderManager;
class ProviderProcess;

struct ProviderOptions {
  /* Load the libraries into the CIMOM itself. */
  bool in_process = false;
  /* The provider process program; "" finds cimhost-provider beside the
   * running program, else where the build put it. */
  std::string program;
  /* How long a provider's own thread may wait for one up-call. */
  std::chrono::seconds upcall_limit{3600};
  /* Provider processes log every call. */
  bool verbose = false;
};

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
  void reset();
  ProviderManager *mgr_ = nullptr;
  void *mi_ = nullptr;
  ProviderHost::Use use_;                  /* in-process */
  std::shared_ptr<ProviderProcess> proc_;  /* out of process */
};

class ProviderManager {
 public:
  /* `broker` serves in-process providers; `router` (the CIMOM) runs the
   * up-calls that come from provider processes. */
  ProviderManager(std::vector<std::string> provider_dirs, const CMPIBroker *broker, cmpinative::Router *router,
                  ProviderOptions options = ProviderOptions());
  ~ProviderManager();
  ProviderManager(const ProviderManager &) = delete;
  ProviderManager &operator=(const ProviderManager &) = delete;

  /* The MI of `kind` for the registration's provider, loading what is needed.
   * On failure the lease is empty and *error says why. */
  Lease acquire(const Registration &reg, MiKind kind, std::string *error);

  /* Cleans up and closes libraries idle for at least `idle` (see above).
   * Returns the number of libraries closed. */
  int unload_idle(std::chrono::steady_clock::duration idle);
  /* Cleans up every MI with terminating true and ends the provider
   * processes. Waits up to `wait` for running operations first. No lease may
   * be taken afterwards. */
  void shutdown(std::chrono::steady_clock::duration wait);

  /* Where lib<location>.so would be loaded from; "" when not found. */
  std::string find_library(const std::string &location) const;
  std::vector<ProviderStats> stats() const;
  /* The provider processes running now: group and process id. */
  std::vector<std::pair<std::string, pid_t>> processes() const;

  /* The process group of a registration: "group:NAME", or "provider:NAME". */
  static std::string group_of(const Registration &reg);

 private:
  friend class Lease;
  friend class ProviderProcess;
  struct Threads;
  void release(Lease &lease);
  std::shared_ptr<ProviderProcess> process_for(const std::string &group, std::string *error);
  void count_load(const std::string &group, const std::string &library, bool never_unload);
  /* Called by a process: it has been reaped. */
  void process_gone(ProviderProcess *p);
  /* The threads serving the processes, which shutdown() waits for. */
  void thread_started();
  void thread_ended();

  std::vector<std::string> dirs_;
  const CMPIBroker *broker_;
  cmpinative::Router *router_;
  ProviderOptions options_;
  std::string program_;

  mutable std::mutex mu_;
  bool shut_down_ = false;
  std::unique_ptr<ProviderHost> local_; /* in-process mode */
  std::map<std::string, std::shared_ptr<ProviderProcess>> processes_; /* by group */
  struct LibraryStats {
    int loads = 0;
    bool never_unload = false;
  };
  std::map<std::pair<std::string, std::string>, LibraryStats> library_stats_; /* by group and path */
  std::map<std::string, std::string> paths_; /* location -> library path found */
  std::unique_ptr<Threads> threads_;
};

}  // namespace cimhost

#endif  // QELVO_CIMHOST_PROVIDERS_H
