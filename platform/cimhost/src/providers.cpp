/* The providers as the CIMOM sees them (see providers.h). */
#include "providers.h"

#include <limits.h>
#include <unistd.h>

#include <condition_variable>
#include <thread>

#include "log.h"
#include "provider_process.h"

namespace cimhost {

namespace {

/* Where to find the provider process program: beside the running program,
 * else where the build put it. */
std::string default_program() {
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n > 0) {
    std::string dir(self, static_cast<size_t>(n));
    dir.erase(dir.rfind('/') + 1);
    const std::string beside = dir + "cimhost-provider";
    if (access(beside.c_str(), X_OK) == 0) return beside;
  }
#ifdef CIMHOST_PROVIDER_PROGRAM
  return CIMHOST_PROVIDER_PROGRAM;
#else
  return "cimhost-provider";
#endif
}

}  // namespace

/* ------------------------------------------------------------------ Lease */

Lease::Lease(Lease &&o) noexcept
    : mgr_(o.mgr_), mi_(o.mi_), use_(o.use_), proc_(std::move(o.proc_)) {
  o.mgr_ = nullptr;
  o.mi_ = nullptr;
  o.use_ = ProviderHost::Use();
}

Lease &Lease::operator=(Lease &&o) noexcept {
  if (this != &o) {
    reset();
    mgr_ = o.mgr_;
    mi_ = o.mi_;
    use_ = o.use_;
    proc_ = std::move(o.proc_);
    o.mgr_ = nullptr;
    o.mi_ = nullptr;
    o.use_ = ProviderHost::Use();
  }
  return *this;
}

Lease::~Lease() { reset(); }

void Lease::reset() {
  if (mgr_ != nullptr && mi_ != nullptr) mgr_->release(*this);
  mgr_ = nullptr;
  mi_ = nullptr;
  proc_.reset();
}

/* -------------------------------------------------------- ProviderManager */

struct ProviderManager::Threads {
  std::mutex mu;
  std::condition_variable cv;
  int running = 0;
};

ProviderManager::ProviderManager(std::vector<std::string> provider_dirs, const CMPIBroker *broker,
                                 cmpinative::Router *router, ProviderOptions options)
    : dirs_(std::move(provider_dirs)),
      broker_(broker),
      router_(router),
      options_(std::move(options)),
      threads_(std::make_unique<Threads>()) {
  if (options_.in_process) local_ = std::make_unique<ProviderHost>(broker_);
  program_ = options_.program.empty() ? default_program() : options_.program;
}

ProviderManager::~ProviderManager() {
  shutdown(std::chrono::seconds(0));
}

std::string ProviderManager::group_of(const Registration &reg) {
  return reg.group.empty() ? "provider:" + reg.provider : "group:" + reg.group;
}

std::string ProviderManager::find_library(const std::string &location) const {
  if (location.find('/') != std::string::npos) return access(location.c_str(), R_OK) == 0 ? location : "";
  const std::string name = "lib" + location + ".so";
  for (const std::string &d : dirs_) {
    const std::string path = d + "/" + name;
    if (access(path.c_str(), R_OK) == 0) return path;
  }
  return "";
}

std::shared_ptr<ProviderProcess> ProviderManager::process_for(const std::string &group, std::string *error) {
  std::lock_guard<std::mutex> lock(mu_);
  if (shut_down_) {
    *error = "the CIMOM is shutting down";
    return nullptr;
  }
  std::shared_ptr<ProviderProcess> &slot = processes_[group];
  if (slot && slot->usable()) return slot;
  ProviderProcess::Setup s;
  s.group = group;
  s.program = program_;
  s.verbose = options_.verbose;
  s.upcall_limit = options_.upcall_limit;
  s.router = router_;
  s.broker = broker_;
  auto p = std::make_shared<ProviderProcess>(*this, std::move(s));
  if (!p->start(error)) {
    processes_.erase(group);
    return nullptr;
  }
  slot = p;
  return p;
}

Lease ProviderManager::acquire(const Registration &reg, MiKind kind, std::string *error) {
  Lease lease;
  const std::string ns = reg.namespaces.empty() ? "root/cimv2" : reg.namespaces.front();
  std::string path;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (shut_down_) {
      *error = "the CIMOM is shutting down";
      return lease;
    }
    auto it = paths_.find(reg.location);
    if (it != paths_.end()) path = it->second;
  }
  if (local_) {
    /* In-process: the MI at once when it is made already. */
    ProviderHost::Use use = local_->begin_use(reg.provider, kind);
    if (use.mi != nullptr) {
      lease.mgr_ = this;
      lease.mi_ = use.mi;
      lease.use_ = use;
      return lease;
    }
  }
  if (path.empty()) {
    path = find_library(reg.location);
    if (path.empty()) {
      *error = "provider library lib" + reg.location + ".so not found in the provider directories";
      return lease;
    }
    std::lock_guard<std::mutex> lock(mu_);
    paths_[reg.location] = path;
  }
  const std::string group = group_of(reg);
  if (local_) {
    bool opened = false;
    ProviderHost::Use use = local_->begin_use(path, reg.provider, kind, ns, reg.never_unload, &opened, error);
    if (use.mi == nullptr) return lease;
    lease.mgr_ = this;
    lease.mi_ = use.mi;
    lease.use_ = use;
    return lease;
  }
  /* A process that ends just now is started again once. */
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::shared_ptr<ProviderProcess> p = process_for(group, error);
    if (!p) return lease;
    bool opened = false;
    error->clear();
    void *mi = p->begin_use(path, reg.provider, kind, ns, reg.never_unload, &opened, error);
    if (mi != nullptr) {
      if (opened) count_load(group, path, reg.never_unload);
      lease.mgr_ = this;
      lease.mi_ = mi;
      lease.proc_ = std::move(p);
      return lease;
    }
    if (p->usable()) return lease;
  }
  return lease;
}

void ProviderManager::release(Lease &lease) {
  if (lease.proc_) lease.proc_->end_use();
  else if (local_) local_->end_use(lease.use_);
}

void ProviderManager::count_load(const std::string &group, const std::string &library, bool never_unload) {
  std::lock_guard<std::mutex> lock(mu_);
  LibraryStats &s = library_stats_[{group, library}];
  ++s.loads;
  if (never_unload) s.never_unload = true;
}

void ProviderManager::process_gone(ProviderProcess *p) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = processes_.find(p->group());
  if (it != processes_.end() && it->second.get() == p) processes_.erase(it);
}

void ProviderManager::thread_started() {
  std::lock_guard<std::mutex> lock(threads_->mu);
  ++threads_->running;
}

void ProviderManager::thread_ended() {
  std::lock_guard<std::mutex> lock(threads_->mu);
  if (--threads_->running == 0) threads_->cv.notify_all();
}

int ProviderManager::unload_idle(std::chrono::steady_clock::duration idle) {
  if (local_) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (shut_down_) return 0;
    }
    const ProviderHost::Round round = local_->unload_idle(idle);
    if (!round.never.empty()) {
      std::lock_guard<std::mutex> lock(mu_);
      for (const std::string &lib : round.never) library_stats_[{"", lib}].never_unload = true;
    }
    return static_cast<int>(round.closed.size());
  }
  std::vector<std::shared_ptr<ProviderProcess>> procs;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (shut_down_) return 0;
    for (const auto &[group, p] : processes_) procs.push_back(p);
  }
  int closed = 0;
  for (const auto &p : procs) {
    ProviderHost::Round round;
    if (!p->unload_round(idle, &round)) continue;
    closed += static_cast<int>(round.closed.size());
    std::lock_guard<std::mutex> lock(mu_);
    for (const std::string &lib : round.never) library_stats_[{p->group(), lib}].never_unload = true;
  }
  return closed;
}

void ProviderManager::shutdown(std::chrono::steady_clock::duration wait) {
  std::vector<std::shared_ptr<ProviderProcess>> procs;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (shut_down_) return;
    shut_down_ = true;
    for (const auto &[group, p] : processes_) procs.push_back(p);
  }
  /* Let running operations finish first, for a while. */
  const auto until = std::chrono::steady_clock::now() + wait;
  for (;;) {
    bool busy = false;
    for (const auto &p : procs) busy = busy || p->in_flight() > 0;
    if (local_) {
      for (const ProviderStats &s : local_->stats()) busy = busy || s.in_use > 0;
    }
    if (!busy || std::chrono::steady_clock::now() >= until) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (local_) local_->terminate();
  /* Every process cleans up at once. */
  std::vector<std::thread> stoppers;
  for (const auto &p : procs) stoppers.emplace_back([p, wait] { p->stop(std::max(wait, std::chrono::steady_clock::duration(std::chrono::seconds(5)))); });
  for (std::thread &t : stoppers) t.join();
  /* The threads serving the processes end with them. */
  std::unique_lock<std::mutex> lock(threads_->mu);
  if (!threads_->cv.wait_for(lock, std::chrono::seconds(10), [&] { return threads_->running == 0; }))
    log_error(std::to_string(threads_->running) + " provider process threads did not end");
}

std::vector<ProviderStats> ProviderManager::stats() const {
  std::vector<ProviderStats> out;
  if (local_) {
    out = local_->stats();
    std::lock_guard<std::mutex> lock(mu_);
    for (ProviderStats &s : out) {
      auto it = library_stats_.find({"", s.library});
      if (it != library_stats_.end() && it->second.never_unload) s.never_unload = true;
    }
    return out;
  }
  std::lock_guard<std::mutex> lock(mu_);
  for (const auto &[key, ls] : library_stats_) {
    ProviderStats s;
    s.group = key.first;
    s.library = key.second;
    s.loads = ls.loads;
    s.never_unload = ls.never_unload;
    auto it = processes_.find(key.first);
    if (it != processes_.end()) {
      s.loaded = it->second->libraries().count(key.second) != 0;
      s.in_use = s.loaded ? it->second->in_flight() : 0;
    }
    out.push_back(s);
  }
  return out;
}

std::vector<std::pair<std::string, pid_t>> ProviderManager::processes() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<std::pair<std::string, pid_t>> out;
  for (const auto &[group, p] : processes_)
    if (p->usable()) out.emplace_back(group, p->pid());
  return out;
}

}  // namespace cimhost
