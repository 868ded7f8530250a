/*
 * Provider libraries and their management interfaces (MIs) inside the
 * process that hosts them: a provider process, or the CIMOM itself when it
 * runs providers in-process.
 *
 * A library is opened with dlopen(RTLD_LAZY) on first use. Each provider in it
 * gets its instance, method and association MI from its factory
 * <provider>_Create_<Kind>MI(broker, context, status) on first use of that
 * interface (or from _Generic_Create_<Kind>MI(broker, context, provider,
 * status) when the library has only the generic factory). No lock is held
 * while a library opens or a factory or clean-up runs: a slow one holds up
 * only the calls that need that very library.
 *
 * Unloading: a library idle for the given time is asked to clean up, MI by
 * MI (instance, association, method), with terminating false. The first MI
 * that answers CMPI_RC_DO_NOT_UNLOAD stops the round and the library stays
 * loaded (MIs that had agreed are dropped and made again on next use);
 * CMPI_RC_NEVER_UNLOAD keeps the library for good. Only a library all of
 * whose MIs agreed is closed. terminate() cleans every MI up with terminating
 * true; libraries are not closed then (threads a provider started may still
 * run in them).
 */
#ifndef QELVO_CIMHOST_PROVIDER_HOST_H
#define QELVO_CIMHOST_PROVIDER_HOST_H

#include <cmpidt.h>
#include <cmpift.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace cimhost {

enum class MiKind { Instance = 0, Method = 1, Association = 2 };
const char *mi_kind_name(MiKind kind);

struct ProviderStats {
  std::string library; /* path */
  std::string group;   /* the provider process's group ("" in-process) */
  bool loaded = false;
  int in_use = 0;
  int loads = 0; /* how often it was opened */
  bool never_unload = false;
};

class ProviderHost {
 public:
  explicit ProviderHost(const CMPIBroker *broker);
  ~ProviderHost();
  ProviderHost(const ProviderHost &) = delete;
  ProviderHost &operator=(const ProviderHost &) = delete;

  /* An MI in use; end_use() gives it back. */
  struct Use {
    void *mi = nullptr;
    void *library = nullptr;
  };

  /* The MI of `kind` of `provider` in the library at `path`, opened and made
   * as needed (the factory's context names `ns`), and marked in use;
   * *opened tells whether the library was opened for it. On failure mi is
   * null and *error says why. */
  Use begin_use(const std::string &path, const std::string &provider, MiKind kind, const std::string &ns,
                bool never_unload, bool *opened, std::string *error);
  /* The MI if it has been made already (else mi is null), marked in use. */
  Use begin_use(const std::string &provider, MiKind kind);
  void end_use(const Use &use);

  struct Round {
    std::vector<std::string> closed;   /* libraries closed */
    std::vector<std::string> dropped;  /* "provider/kind" of every MI cleaned up */
    std::vector<std::string> never;    /* libraries that asked never to be unloaded */
    int loaded = 0;                    /* libraries still open */
  };
  /* Cleans up and closes the libraries idle for at least `idle` (see above). */
  Round unload_idle(std::chrono::steady_clock::duration idle);
  /* Cleans every MI up with terminating true; nothing may be used after. */
  void terminate();

  std::vector<ProviderStats> stats() const;

 private:
  struct Provider {
    void *mi[3] = {nullptr, nullptr, nullptr};
    bool making[3] = {false, false, false};
  };
  struct Library {
    std::string path;
    void *handle = nullptr;
    bool opening = false;
    bool cleaning = false;
    int in_use = 0;
    int loads = 0;
    bool never_unload = false;
    std::chrono::steady_clock::time_point last_used;
    std::map<std::string, Provider> providers; /* by provider name */
  };
  Library *library_of(const std::string &provider, MiKind kind, void **mi);
  CMPIStatus cleanup_mi(MiKind kind, void *mi, bool terminating);

  const CMPIBroker *broker_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::map<std::string, std::unique_ptr<Library>> libs_; /* by path */
  bool terminated_ = false;
};

/* The context a factory or a clean-up gets: no flags, `ns` as the initial
 * namespace. Caller-owned. */
CMPIContext *provider_context(const std::string &ns);

}  // namespace cimhost

#endif  // QELVO_CIMHOST_PROVIDER_HOST_H
