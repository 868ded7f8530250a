#include "providers.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cmpi_native.h>

#include <cstdio>
#include <thread>

#include "log.h"

namespace cimhost {

namespace {

const char *const kSuffix[] = {"_Create_InstanceMI", "_Create_MethodMI", "_Create_AssociationMI"};
const char *const kKindName[] = {"instance", "method", "association"};

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

CMPIContext *factory_context(const std::string &ns) {
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

}  // namespace

/* ------------------------------------------------------------------ Lease */

Lease::Lease(Lease &&o) noexcept : mgr_(o.mgr_), lib_(o.lib_), mi_(o.mi_) {
  o.mgr_ = nullptr;
  o.lib_ = nullptr;
  o.mi_ = nullptr;
}

Lease &Lease::operator=(Lease &&o) noexcept {
  if (this != &o) {
    if (mgr_ != nullptr) mgr_->release(lib_);
    mgr_ = o.mgr_;
    lib_ = o.lib_;
    mi_ = o.mi_;
    o.mgr_ = nullptr;
    o.lib_ = nullptr;
    o.mi_ = nullptr;
  }
  return *this;
}

Lease::~Lease() {
  if (mgr_ != nullptr) mgr_->release(lib_);
}

/* -------------------------------------------------------- ProviderManager */

ProviderManager::ProviderManager(std::vector<std::string> provider_dirs, const CMPIBroker *broker)
    : dirs_(std::move(provider_dirs)), broker_(broker) {}

ProviderManager::~ProviderManager() = default;

std::string ProviderManager::find_library(const std::string &location) const {
  if (location.find('/') != std::string::npos) return access(location.c_str(), R_OK) == 0 ? location : "";
  const std::string name = "lib" + location + ".so";
  for (const std::string &d : dirs_) {
    const std::string path = d + "/" + name;
    if (access(path.c_str(), R_OK) == 0) return path;
  }
  return "";
}

Lease ProviderManager::acquire(const Registration &reg, MiKind kind, std::string *error) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  Lease lease;
  if (shut_down_) {
    *error = "the CIMOM is shutting down";
    return lease;
  }
  std::unique_ptr<Library> &slot = libs_[reg.location];
  if (!slot) slot = std::make_unique<Library>();
  Library &lib = *slot;
  if (lib.handle == nullptr) {
    lib.path = find_library(reg.location);
    if (lib.path.empty()) {
      *error = "provider library lib" + reg.location + ".so not found in the provider directories";
      return lease;
    }
    dlerror();
    lib.handle = dlopen(lib.path.c_str(), RTLD_LAZY | RTLD_LOCAL);
    if (lib.handle == nullptr) {
      const char *e = dlerror();
      *error = "cannot load " + lib.path + ": " + (e != nullptr ? e : "unknown error");
      return lease;
    }
    ++lib.loads;
    lib.providers.clear();
    log_info("loaded " + lib.path);
  }
  if (reg.never_unload) lib.never_unload = true;
  Provider &p = lib.providers[reg.provider];
  void *&mi = p.mi[static_cast<int>(kind)];
  if (mi == nullptr) {
    const std::string ns = reg.namespaces.empty() ? "root/cimv2" : reg.namespaces.front();
    CMPIStatus st = {CMPI_RC_OK, nullptr};
    cmpinative::RequestScope scope;
    CMPIContext *ctx = factory_context(ns);
    const std::string factory = reg.provider + kSuffix[static_cast<int>(kind)];
    ++lib.in_use; /* a factory may call back into the CIMOM */
    if (void *sym = dlsym(lib.handle, factory.c_str())) {
      mi = reinterpret_cast<Factory>(sym)(broker_, ctx, &st);
    } else if (void *gen = dlsym(lib.handle, (std::string("_Generic") + kSuffix[static_cast<int>(kind)]).c_str())) {
      mi = reinterpret_cast<GenericFactory>(gen)(broker_, ctx, reg.provider.c_str(), &st);
    } else {
      *error = lib.path + " has no " + factory;
    }
    --lib.in_use;
    if (ctx != nullptr) ctx->ft->release(ctx);
    if (mi == nullptr) {
      if (error->empty()) *error = factory + " failed (" + status_text(st) + ")";
      return lease;
    }
    log_debug("made the " + std::string(kKindName[static_cast<int>(kind)]) + " MI of " + reg.provider);
  }
  ++lib.in_use;
  lease.mgr_ = this;
  lease.lib_ = &lib;
  lease.mi_ = mi;
  return lease;
}

void ProviderManager::release(void *lib) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  Library *l = static_cast<Library *>(lib);
  --l->in_use;
  l->last_used = std::chrono::steady_clock::now();
}

CMPIStatus ProviderManager::cleanup_mi(MiKind kind, void *mi, bool terminating) {
  cmpinative::RequestScope scope;
  CMPIContext *ctx = factory_context("root/cimv2");
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

int ProviderManager::unload_idle(std::chrono::steady_clock::duration idle) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (shut_down_) return 0;
  int closed = 0;
  const auto now = std::chrono::steady_clock::now();
  static const MiKind kOrder[] = {MiKind::Instance, MiKind::Association, MiKind::Method};
  for (auto &[location, lib] : libs_) {
    if (lib->handle == nullptr || lib->in_use > 0 || lib->never_unload) continue;
    if (now - lib->last_used < idle) continue;
    bool refused = false;
    for (MiKind kind : kOrder) {
      for (auto &[name, p] : lib->providers) {
        void *&mi = p.mi[static_cast<int>(kind)];
        if (mi == nullptr || refused) continue;
        ++lib->in_use;
        const CMPIStatus st = cleanup_mi(kind, mi, false);
        --lib->in_use;
        if (st.rc == CMPI_RC_NEVER_UNLOAD) {
          lib->never_unload = true;
          refused = true;
          log_info(name + " asks never to be unloaded");
        } else if (st.rc == CMPI_RC_DO_NOT_UNLOAD) {
          refused = true;
          log_debug(name + " asks not to be unloaded now");
        } else {
          mi = nullptr; /* cleaned up: made again on next use */
        }
      }
    }
    if (refused) {
      lib->last_used = now; /* ask again after another interval */
      continue;
    }
    dlclose(lib->handle);
    lib->handle = nullptr;
    lib->providers.clear();
    ++closed;
    log_info("unloaded " + lib->path);
  }
  return closed;
}

void ProviderManager::shutdown(std::chrono::steady_clock::duration wait) {
  const auto until = std::chrono::steady_clock::now() + wait;
  for (;;) {
    {
      std::lock_guard<std::recursive_mutex> lock(mu_);
      bool busy = false;
      for (auto &[location, lib] : libs_)
        if (lib->in_use > 0) busy = true;
      if (!busy || std::chrono::steady_clock::now() >= until) {
        shut_down_ = true;
        break;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::lock_guard<std::recursive_mutex> lock(mu_);
  static const MiKind kOrder[] = {MiKind::Instance, MiKind::Association, MiKind::Method};
  for (auto &[location, lib] : libs_) {
    if (lib->handle == nullptr) continue;
    for (MiKind kind : kOrder)
      for (auto &[name, p] : lib->providers) {
        void *&mi = p.mi[static_cast<int>(kind)];
        if (mi == nullptr) continue;
        const CMPIStatus st = cleanup_mi(kind, mi, true);
        if (st.rc != CMPI_RC_OK) log_info(name + " answered rc " + std::to_string(st.rc) + " to the final clean-up");
        mi = nullptr;
      }
  }
}

std::vector<ProviderStats> ProviderManager::stats() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  std::vector<ProviderStats> out;
  for (const auto &[location, lib] : libs_) {
    ProviderStats s;
    s.library = lib->path.empty() ? "lib" + location + ".so" : lib->path;
    s.loaded = lib->handle != nullptr;
    s.in_use = lib->in_use;
    s.loads = lib->loads;
    s.never_unload = lib->never_unload;
    out.push_back(s);
  }
  return out;
}

}  // namespace cimhost
