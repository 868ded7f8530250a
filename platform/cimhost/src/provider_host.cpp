/* Provider libraries and their MIs inside the process that hosts them (see provider_host.h). */
#include "provider_host.h"

#include <dlfcn.h>

#include <cmpi_native.h>

#include "log.h"

namespace cimhost {

namespace {

const char *const kSuffix[] = {"_Create_InstanceMI", "_Create_MethodMI", "_Create_AssociationMI"};

using Factory = void *(*)(const CMPIBroker *, const CMPIContext *, CMPIStatus *);
using GenericFactory = void *(*)(const CMPIBroker *, const CMPIContext *, const char *, CMPIStatus *);

std::string status_text(const CMPIStatus &st) {
  std::string s = "rc " + std::to_string(st.rc);
  if (st.msg != nullptr && st.msg->ft != nullptr) {
    const char *m = st.msg->ft->getCharPtr(st.msg, nullptr);
    if (m != nullptr && *m != '\0') s += ": " + std::string(m);
  }
  return s;
}

int index_of(MiKind kind) { return static_cast<int>(kind); }

}  // namespace

const char *mi_kind_name(MiKind kind) {
  static const char *const kNames[] = {"instance", "method", "association"};
  return kNames[index_of(kind)];
}

CMPIContext *provider_context(const std::string &ns) {
  CMPIContext *ctx = native_new_CMPIContext();
  if (ctx == nullptr) return nullptr;
  CMPIValue v;
  v.uint32 = 0;
  ctx->ft->addEntry(ctx, CMPIInvocationFlags, &v, CMPI_uint32);
  v.string = native_new_CMPIString(ns.c_str(), nullptr);
  ctx->ft->addEntry(ctx, CMPIInitNameSpace, &v, CMPI_string);
  v.string->ft->release(v.string);
  return ctx;
}

ProviderHost::ProviderHost(const CMPIBroker *broker) : broker_(broker) {}

ProviderHost::~ProviderHost() = default;

ProviderHost::Use ProviderHost::begin_use(const std::string &path, const std::string &provider, MiKind kind,
                                          const std::string &ns, bool never_unload, bool *opened,
                                          std::string *error) {
  const int k = index_of(kind);
  *opened = false;
  std::unique_lock<std::mutex> lock(mu_);
  std::unique_ptr<Library> &slot = libs_[path];
  if (!slot) {
    slot = std::make_unique<Library>();
    slot->path = path;
  }
  Library &lib = *slot;
  for (;;) {
    if (terminated_) {
      *error = "the provider host is shutting down";
      return Use();
    }
    if (lib.opening || lib.cleaning) {
      cv_.wait(lock);
      continue;
    }
    if (lib.handle == nullptr) {
      lib.opening = true;
      lock.unlock();
      dlerror();
      void *handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL);
      const char *e = handle == nullptr ? dlerror() : nullptr;
      const std::string why = e != nullptr ? e : "unknown error";
      lock.lock();
      lib.opening = false;
      cv_.notify_all();
      if (handle == nullptr) {
        *error = "cannot load " + path + ": " + why;
        return Use();
      }
      lib.handle = handle;
      *opened = true;
      ++lib.loads;
      lib.providers.clear();
      log_info("loaded " + path);
      continue;
    }
    if (never_unload) lib.never_unload = true;
    Provider &p = lib.providers[provider];
    if (p.mi[k] != nullptr) {
      ++lib.in_use;
      return Use{p.mi[k], &lib};
    }
    if (p.making[k]) {
      cv_.wait(lock);
      continue;
    }
    /* Make the MI with no lock held: a factory may take its time, or call back
     * into the CIMOM. The library counts as in use meanwhile. */
    p.making[k] = true;
    ++lib.in_use;
    void *handle = lib.handle;
    lock.unlock();
    CMPIStatus st = {CMPI_RC_OK, nullptr};
    void *mi = nullptr;
    std::string failure;
    const std::string factory = provider + kSuffix[k];
    {
      cmpinative::RequestScope scope;
      CMPIContext *ctx = provider_context(ns);
      if (void *sym = dlsym(handle, factory.c_str())) {
        mi = reinterpret_cast<Factory>(sym)(broker_, ctx, &st);
      } else if (void *gen = dlsym(handle, (std::string("_Generic") + kSuffix[k]).c_str())) {
        mi = reinterpret_cast<GenericFactory>(gen)(broker_, ctx, provider.c_str(), &st);
      } else {
        failure = path + " has no " + factory;
      }
      if (mi == nullptr && failure.empty()) failure = factory + " failed (" + status_text(st) + ")";
      if (ctx != nullptr) ctx->ft->release(ctx);
    }
    lock.lock();
    p.making[k] = false;
    cv_.notify_all();
    if (mi == nullptr) {
      --lib.in_use;
      lib.last_used = std::chrono::steady_clock::now();
      *error = failure;
      return Use();
    }
    p.mi[k] = mi;
    log_debug("made the " + std::string(mi_kind_name(kind)) + " MI of " + provider);
    return Use{mi, &lib};
  }
}

ProviderHost::Library *ProviderHost::library_of(const std::string &provider, MiKind kind, void **mi) {
  for (auto &[path, lib] : libs_) {
    if (lib->handle == nullptr) continue;
    auto it = lib->providers.find(provider);
    if (it != lib->providers.end() && it->second.mi[index_of(kind)] != nullptr) {
      *mi = it->second.mi[index_of(kind)];
      return lib.get();
    }
  }
  return nullptr;
}

ProviderHost::Use ProviderHost::begin_use(const std::string &provider, MiKind kind) {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    void *mi = nullptr;
    Library *lib = library_of(provider, kind, &mi);
    if (lib == nullptr || terminated_) return Use();
    if (lib->cleaning) {
      cv_.wait(lock);
      continue;
    }
    ++lib->in_use;
    return Use{mi, lib};
  }
}

void ProviderHost::end_use(const Use &use) {
  if (use.library == nullptr) return;
  std::lock_guard<std::mutex> lock(mu_);
  Library *lib = static_cast<Library *>(use.library);
  --lib->in_use;
  lib->last_used = std::chrono::steady_clock::now();
}

CMPIStatus ProviderHost::cleanup_mi(MiKind kind, void *mi, bool terminating) {
  cmpinative::RequestScope scope;
  CMPIContext *ctx = provider_context("root/cimv2");
  CMPIStatus st = {CMPI_RC_OK, nullptr};
  const CMPIBoolean term = terminating ? 1 : 0;
  switch (kind) {
    case MiKind::Instance: {
      auto *m = static_cast<CMPIInstanceMI *>(mi);
      st = m->ft->cleanup(m, ctx, term);
      break;
    }
    case MiKind::Method: {
      auto *m = static_cast<CMPIMethodMI *>(mi);
      st = m->ft->cleanup(m, ctx, term);
      break;
    }
    case MiKind::Association: {
      auto *m = static_cast<CMPIAssociationMI *>(mi);
      st = m->ft->cleanup(m, ctx, term);
      break;
    }
  }
  if (ctx != nullptr) ctx->ft->release(ctx);
  return CMPIStatus{st.rc, nullptr};
}

ProviderHost::Round ProviderHost::unload_idle(std::chrono::steady_clock::duration idle) {
  static const MiKind kOrder[] = {MiKind::Instance, MiKind::Association, MiKind::Method};
  Round round;
  std::unique_lock<std::mutex> lock(mu_);
  const auto now = std::chrono::steady_clock::now();
  for (auto &[path, libp] : libs_) {
    Library &lib = *libp;
    if (terminated_ || lib.handle == nullptr || lib.in_use > 0 || lib.never_unload || lib.opening || lib.cleaning)
      continue;
    if (now - lib.last_used < idle) continue;
    struct Asked {
      std::string provider;
      MiKind kind;
      void *mi;
      CMPIrc answer = CMPI_RC_OK;
    };
    std::vector<Asked> asked;
    for (MiKind kind : kOrder)
      for (auto &[name, p] : lib.providers)
        if (p.mi[index_of(kind)] != nullptr) asked.push_back(Asked{name, kind, p.mi[index_of(kind)]});
    lib.cleaning = true;
    lock.unlock();
    /* Ask in order until one refuses. */
    size_t answered = 0;
    bool refused = false;
    for (Asked &a : asked) {
      a.answer = cleanup_mi(a.kind, a.mi, false).rc;
      ++answered;
      if (a.answer == CMPI_RC_DO_NOT_UNLOAD || a.answer == CMPI_RC_NEVER_UNLOAD) {
        refused = true;
        break;
      }
    }
    void *to_close = nullptr;
    lock.lock();
    for (size_t i = 0; i < answered; ++i) {
      const Asked &a = asked[i];
      if (a.answer == CMPI_RC_NEVER_UNLOAD) {
        lib.never_unload = true;
        round.never.push_back(lib.path);
        log_info(a.provider + " asks never to be unloaded");
      } else if (a.answer == CMPI_RC_DO_NOT_UNLOAD) {
        log_debug(a.provider + " asks not to be unloaded now");
      } else {
        lib.providers[a.provider].mi[index_of(a.kind)] = nullptr; /* made again on next use */
        round.dropped.push_back(a.provider + "/" + mi_kind_name(a.kind));
      }
    }
    if (refused) {
      lib.last_used = now; /* ask again after another interval */
    } else {
      to_close = lib.handle;
      lib.providers.clear();
    }
    if (to_close != nullptr) {
      lock.unlock();
      dlclose(to_close);
      lock.lock();
      lib.handle = nullptr;
      round.closed.push_back(lib.path);
      log_info("unloaded " + lib.path);
    }
    lib.cleaning = false;
    cv_.notify_all();
  }
  for (const auto &[path, lib] : libs_)
    if (lib->handle != nullptr) ++round.loaded;
  return round;
}

void ProviderHost::terminate() {
  static const MiKind kOrder[] = {MiKind::Instance, MiKind::Association, MiKind::Method};
  std::vector<std::pair<MiKind, void *>> mis;
  std::vector<std::string> names;
  {
    std::unique_lock<std::mutex> lock(mu_);
    if (terminated_) return;
    terminated_ = true;
    for (auto &entry : libs_) {
      Library *lib = entry.second.get();
      cv_.wait(lock, [lib] { return !lib->opening && !lib->cleaning; });
      if (lib->handle == nullptr) continue;
      for (MiKind kind : kOrder)
        for (auto &[name, p] : lib->providers) {
          void *&mi = p.mi[index_of(kind)];
          if (mi == nullptr) continue;
          mis.emplace_back(kind, mi);
          names.push_back(name);
          mi = nullptr;
        }
    }
    cv_.notify_all();
  }
  for (size_t i = 0; i < mis.size(); ++i) {
    const CMPIStatus st = cleanup_mi(mis[i].first, mis[i].second, true);
    if (st.rc != CMPI_RC_OK) log_info(names[i] + " answered rc " + std::to_string(st.rc) + " to the final clean-up");
  }
}

std::vector<ProviderStats> ProviderHost::stats() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<ProviderStats> out;
  for (const auto &[path, lib] : libs_) {
    ProviderStats s;
    s.library = path;
    s.loaded = lib->handle != nullptr;
    s.in_use = lib->in_use;
    s.loads = lib->loads;
    s.never_unload = lib->never_unload;
    out.push_back(s);
  }
  return out;
}

}  // namespace cimhost
