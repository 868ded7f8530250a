/* One provider process as the CIMOM sees it (see provider_process.h). */
#include "provider_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <system_error>
#include <thread>

#include "log.h"
#include "providers.h"

extern char **environ;

namespace cimhost {

namespace {

/* Idle channels kept per process for the CIMOM's calls. */
constexpr size_t kIdleChannels = 8;
/* How long an unload round or the final clean-up may take. */
constexpr std::chrono::seconds kControlLimit{30};
/* Up-calls of a process's own threads served at once: each holds a thread and a descriptor
 * here, and a provider must not be able to use up those of the whole CIMOM. */
constexpr int kMaxUpcallChannels = 256;

CMPIStatus status(CMPIrc rc) { return CMPIStatus{rc, nullptr}; }

std::string exit_text(int status) {
  if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) {
    const int sig = WTERMSIG(status);
    return "killed by signal " + std::to_string(sig) + " (" + strsignal(sig) + ")";
  }
  return "ended (wait status " + std::to_string(status) + ")";
}

std::vector<std::string> string_array(const CMPIArgs *args, const char *name) {
  std::vector<std::string> out;
  CMPIStatus st = status(CMPI_RC_OK);
  const CMPIData d = args->ft->getArg(args, name, &st);
  if (st.rc != CMPI_RC_OK || d.type != CMPI_stringA || (d.state & CMPI_nullValue)) return out;
  const CMPICount n = d.value.array->ft->getSize(d.value.array, nullptr);
  for (CMPICount i = 0; i < n; ++i) {
    const CMPIData e = d.value.array->ft->getElementAt(d.value.array, i, nullptr);
    if (!(e.state & CMPI_nullValue)) out.push_back(cimxml::cmpi_text(e.value.string));
  }
  return out;
}

uint32_t number_arg(const CMPIArgs *args, const char *name) {
  CMPIStatus st = status(CMPI_RC_OK);
  const CMPIData d = args->ft->getArg(args, name, &st);
  return st.rc == CMPI_RC_OK && d.type == CMPI_uint32 && !(d.state & CMPI_nullValue) ? d.value.uint32 : 0;
}

bool flag_arg(const CMPIArgs *args, const char *name) {
  CMPIStatus st = status(CMPI_RC_OK);
  const CMPIData d = args->ft->getArg(args, name, &st);
  return st.rc == CMPI_RC_OK && d.type == CMPI_boolean && !(d.state & CMPI_nullValue) && d.value.boolean != 0;
}

}  // namespace

/* ------------------------------------------------------------------ Proxy */

/* An MI whose operations go to the provider's MI in the process. */
class ProviderProcess::Proxy : public RemoteRouter {
 public:
  Proxy(ProviderProcess &proc, std::string provider, MiKind kind)
      : proc_(proc), provider_(std::move(provider)), kind_(kind) {
    instance_.hdl = this;
    instance_.ft = &kInstanceFT;
    method_.hdl = this;
    method_.ft = &kMethodFT;
    association_.hdl = this;
    association_.ft = &kAssociationFT;
  }
  void *mi() {
    switch (kind_) {
      case MiKind::Instance: return &instance_;
      case MiKind::Method: return &method_;
      case MiKind::Association: return &association_;
    }
    return nullptr;
  }

 protected:
  void address(CallWriter &w) override {
    w.text("Provider", provider_.c_str());
    w.number("Kind", static_cast<uint32_t>(kind_));
  }
  CMPIStatus call(CallOp op, const std::string &doc, const CMPIResult *out, CMPIArgs *out_args) override {
    return proc_.call(op, doc, out, out_args);
  }

 private:
  /* hdl is const in the MI tables; the proxy set it to itself. */
  template <class MI>
  static Proxy &of(MI *mi) {
    return *const_cast<Proxy *>(static_cast<const Proxy *>(mi->hdl));
  }
  /* The CIMOM never asks a proxy to clean up: unload rounds run in the process. */
  template <class MI>
  static CMPIStatus cleanup(MI *, const CMPIContext *, CMPIBoolean) {
    return status(CMPI_RC_OK);
  }
  static CMPIStatus enum_names(CMPIInstanceMI *mi, const CMPIContext *ctx, const CMPIResult *out,
                               const CMPIObjectPath *op) {
    return of(mi).enumerateInstanceNames(ctx, op, out);
  }
  static CMPIStatus enum_instances(CMPIInstanceMI *mi, const CMPIContext *ctx, const CMPIResult *out,
                                   const CMPIObjectPath *op, const char **props) {
    return of(mi).enumerateInstances(ctx, op, props, out);
  }
  static CMPIStatus get(CMPIInstanceMI *mi, const CMPIContext *ctx, const CMPIResult *out, const CMPIObjectPath *op,
                        const char **props) {
    return of(mi).getInstance(ctx, op, props, out);
  }
  static CMPIStatus create(CMPIInstanceMI *mi, const CMPIContext *ctx, const CMPIResult *out,
                           const CMPIObjectPath *op, const CMPIInstance *inst) {
    return of(mi).createInstance(ctx, op, inst, out);
  }
  static CMPIStatus modify(CMPIInstanceMI *mi, const CMPIContext *ctx, const CMPIResult *, const CMPIObjectPath *op,
                           const CMPIInstance *inst, const char **props) {
    return of(mi).modifyInstance(ctx, op, inst, props);
  }
  static CMPIStatus remove(CMPIInstanceMI *mi, const CMPIContext *ctx, const CMPIResult *, const CMPIObjectPath *op) {
    return of(mi).deleteInstance(ctx, op);
  }
  static CMPIStatus query(CMPIInstanceMI *mi, const CMPIContext *ctx, const CMPIResult *out, const CMPIObjectPath *op,
                          const char *q, const char *lang) {
    return of(mi).execQuery(ctx, op, q, lang, out);
  }
  static CMPIStatus invoke(CMPIMethodMI *mi, const CMPIContext *ctx, const CMPIResult *out, const CMPIObjectPath *op,
                           const char *method, const CMPIArgs *in, CMPIArgs *out_args) {
    return of(mi).invokeMethod(ctx, op, method, in, out_args, out);
  }
  static CMPIStatus associators(CMPIAssociationMI *mi, const CMPIContext *ctx, const CMPIResult *out,
                                const CMPIObjectPath *op, const char *assoc, const char *result, const char *role,
                                const char *result_role, const char **props) {
    return of(mi).RemoteRouter::associators(ctx, op, assoc, result, role, result_role, props, out);
  }
  static CMPIStatus associator_names(CMPIAssociationMI *mi, const CMPIContext *ctx, const CMPIResult *out,
                                     const CMPIObjectPath *op, const char *assoc, const char *result,
                                     const char *role, const char *result_role) {
    return of(mi).associatorNames(ctx, op, assoc, result, role, result_role, out);
  }
  static CMPIStatus references(CMPIAssociationMI *mi, const CMPIContext *ctx, const CMPIResult *out,
                               const CMPIObjectPath *op, const char *result, const char *role, const char **props) {
    return of(mi).RemoteRouter::references(ctx, op, result, role, props, out);
  }
  static CMPIStatus reference_names(CMPIAssociationMI *mi, const CMPIContext *ctx, const CMPIResult *out,
                                    const CMPIObjectPath *op, const char *result, const char *role) {
    return of(mi).referenceNames(ctx, op, result, role, out);
  }

  static CMPIInstanceMIFT instance_ft() {
    CMPIInstanceMIFT ft{};
    ft.ftVersion = CMPICurrentVersion;
    ft.miVersion = CMPICurrentVersion;
    ft.miName = "cimhost-proxy";
    ft.cleanup = cleanup<CMPIInstanceMI>;
    ft.enumerateInstanceNames = enum_names;
    ft.enumerateInstances = enum_instances;
    ft.getInstance = get;
    ft.createInstance = create;
    ft.modifyInstance = modify;
    ft.deleteInstance = remove;
    ft.execQuery = query;
    return ft;
  }
  static CMPIMethodMIFT method_ft() {
    CMPIMethodMIFT ft{};
    ft.ftVersion = CMPICurrentVersion;
    ft.miVersion = CMPICurrentVersion;
    ft.miName = "cimhost-proxy";
    ft.cleanup = cleanup<CMPIMethodMI>;
    ft.invokeMethod = invoke;
    return ft;
  }
  static CMPIAssociationMIFT association_ft() {
    CMPIAssociationMIFT ft{};
    ft.ftVersion = CMPICurrentVersion;
    ft.miVersion = CMPICurrentVersion;
    ft.miName = "cimhost-proxy";
    ft.cleanup = cleanup<CMPIAssociationMI>;
    ft.associators = associators;
    ft.associatorNames = associator_names;
    ft.references = references;
    ft.referenceNames = reference_names;
    return ft;
  }
  static CMPIInstanceMIFT kInstanceFT;
  static CMPIMethodMIFT kMethodFT;
  static CMPIAssociationMIFT kAssociationFT;

  ProviderProcess &proc_;
  std::string provider_;
  MiKind kind_;
  CMPIInstanceMI instance_;
  CMPIMethodMI method_;
  CMPIAssociationMI association_;
};

CMPIInstanceMIFT ProviderProcess::Proxy::kInstanceFT = ProviderProcess::Proxy::instance_ft();
CMPIMethodMIFT ProviderProcess::Proxy::kMethodFT = ProviderProcess::Proxy::method_ft();
CMPIAssociationMIFT ProviderProcess::Proxy::kAssociationFT = ProviderProcess::Proxy::association_ft();

CMPIStatus ProviderProcess::UpcallServer::execute(Call &call, const CMPIResult *out, CMPIArgs *out_args) {
  try {
    return route_call(call, *router_, out, out_args);
  } catch (const std::exception &e) {
    log_error(std::string("an up-call failed: ") + e.what());
  } catch (...) {
    log_error("an up-call failed");
  }
  return status(CMPI_RC_ERR_FAILED);
}

/* ---------------------------------------------------------- the process */

ProviderProcess::ProviderProcess(ProviderManager &mgr, Setup setup)
    : mgr_(mgr), setup_(std::move(setup)), server_(setup_.router), last_used_(std::chrono::steady_clock::now()) {}

ProviderProcess::~ProviderProcess() {
  if (control_ >= 0) close(control_);
}

bool ProviderProcess::start(std::string *error) {
  int fds[2];
  if (!make_channel_pair(fds)) {
    *error = std::string("cannot make a control socket: ") + std::strerror(errno);
    return false;
  }
  /* The process finds its end as descriptor 3. */
  int child = fds[1];
  if (child == 3) {
    child = fcntl(fds[1], F_DUPFD_CLOEXEC, 4);
    close(fds[1]);
  }
  const std::string cimom = std::to_string(getpid());
  std::vector<const char *> argv = {setup_.program.c_str(), "--group", setup_.group.c_str(), "--cimom", cimom.c_str()};
  if (setup_.verbose) argv.push_back("--verbose");
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, child, 3);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  /* A group of its own: a terminal's signals reach the CIMOM, which ends its
   * processes in order. */
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);
  const int rc = posix_spawn(&pid_, setup_.program.c_str(), &actions, &attr, const_cast<char *const *>(argv.data()),
                             environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (child >= 0) close(child);
  if (rc != 0) {
    close(fds[0]);
    pid_ = -1;
    *error = "cannot start " + setup_.program + ": " + std::strerror(rc);
    return false;
  }
  control_ = fds[0];
  pool_ = std::make_unique<ChannelPool>(control_, kIdleChannels);
  log_info("started provider process " + std::to_string(pid_) + " for " + setup_.group);
  mgr_.thread_started();
  std::thread([self = shared_from_this()] {
    self->read_control();
    self->mgr_.thread_ended();
  }).detach();
  return true;
}

bool ProviderProcess::usable() const {
  std::lock_guard<std::mutex> lock(mu_);
  return !ending_ && !ended_;
}

int ProviderProcess::in_flight() const {
  std::lock_guard<std::mutex> lock(mu_);
  return in_flight_;
}

std::set<std::string> ProviderProcess::libraries() const {
  std::lock_guard<std::mutex> lock(mu_);
  return ended_ ? std::set<std::string>() : libraries_;
}

void *ProviderProcess::begin_use(const std::string &library, const std::string &provider, MiKind kind,
                                 const std::string &ns, bool never_unload, bool *opened, std::string *error) {
  *opened = false;
  const std::string key = provider + "/" + mi_kind_name(kind);
  const auto deadline = std::min(call_limits().deadline, std::chrono::steady_clock::now() + setup_.upcall_limit);
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    if (ending_ || ended_) {
      *error = "the provider process of " + setup_.group + " has ended" + (how_.empty() ? "" : ": " + how_);
      return nullptr;
    }
    Slot &s = slots_[key];
    if (cleaning_ || s.loading) {
      if (cv_.wait_until(lock, deadline) == std::cv_status::timeout) {
        *error = "the provider process of " + setup_.group + " did not make " + key + " in time";
        return nullptr;
      }
      continue;
    }
    if (s.ready) {
      ++in_flight_;
      return s.proxy->mi();
    }
    /* Make it in the process, holding no lock meanwhile. */
    s.loading = true;
    ++in_flight_;
    lock.unlock();
    CallWriter w(CallOp::Load);
    w.text("Library", library.c_str());
    w.text("Provider", provider.c_str());
    w.number("Kind", static_cast<uint32_t>(kind));
    w.text("Namespace", ns.c_str());
    w.flag("NeverUnload", never_unload);
    CMPIResult *r = cmpinative::new_result();
    CMPIArgs *out = native_new_CMPIArgs(nullptr);
    const CMPIStatus st = call(CallOp::Load, w.finish(), r, out);
    const bool was_opened = flag_arg(out, "Opened");
    r->ft->release(r);
    out->ft->release(out);
    std::string why = st.rc == CMPI_RC_OK ? "" : cimxml::cmpi_text(st.msg);
    lock.lock();
    Slot &done = slots_[key];
    done.loading = false;
    cv_.notify_all();
    if (st.rc != CMPI_RC_OK) {
      --in_flight_;
      *error = why.empty() ? "the provider process of " + setup_.group + " could not make " + key : why;
      return nullptr;
    }
    if (!done.proxy) done.proxy = std::make_unique<Proxy>(*this, provider, kind);
    done.ready = true;
    libraries_.insert(library);
    *opened = was_opened;
    return done.proxy->mi();
  }
}

void ProviderProcess::end_use() {
  std::lock_guard<std::mutex> lock(mu_);
  --in_flight_;
  last_used_ = std::chrono::steady_clock::now();
  if (in_flight_ == 0) cv_.notify_all();
}

std::unique_ptr<Channel> ProviderProcess::take_channel(std::string *error) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (ended_) {
      *error = "the provider process of " + setup_.group + " has ended" + (how_.empty() ? "" : ": " + how_);
      return nullptr;
    }
  }
  std::unique_ptr<Channel> ch = pool_->take();
  if (!ch) *error = "the provider process of " + setup_.group + " is not reachable";
  return ch;
}

void ProviderProcess::give_back(std::unique_ptr<Channel> ch) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (ended_ || ending_) return;
  }
  pool_->give_back(std::move(ch));
}

Reply ProviderProcess::send(const std::string &doc, const CMPIResult *out, CMPIArgs *out_args,
                            const WaitLimit &limit, Reservation *memory, BlockingObserver *observer) {
  Channel *ch = active_channel(this);
  std::unique_ptr<Channel> own;
  if (ch == nullptr) {
    Reply r;
    own = take_channel(&r.message);
    if (!own) {
      r.rc = CMPI_RC_ERR_FAILED;
      r.failure = Channel::Status::Broken;
      return r;
    }
    ch = own.get();
  }
  if (observer != nullptr) observer->blocking_begins();
  Reply r = exchange(*ch, this, doc, server_, out, out_args, limit, memory);
  if (observer != nullptr) observer->blocking_ends();
  if (own) give_back(std::move(own));
  return r;
}

std::string ProviderProcess::describe(CallOp op, const Reply &r) {
  const std::string who = "the provider process of " + setup_.group + " (pid " + std::to_string(pid_) + ")";
  switch (r.failure) {
    case Channel::Status::TimedOut:
      return who + " did not answer " + call_op_name(op) + " within the operation's time limit";
    case Channel::Status::Cancelled:
      return std::string(call_op_name(op)) + " abandoned: the client has gone";
    default:
      break;
  }
  /* The channel ended: most likely with the process. Its reaper says how. */
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait_for(lock, std::chrono::seconds(2), [&] { return ended_; });
  if (ended_) return who + " ended during " + call_op_name(op) + ": " + how_;
  return who + " failed during " + call_op_name(op) + ": " + r.message;
}

CMPIStatus ProviderProcess::call(CallOp op, const std::string &doc, const CMPIResult *out, CMPIArgs *out_args) {
  const CallLimits &lim = call_limits();
  WaitLimit w;
  w.deadline = std::min(lim.deadline, std::chrono::steady_clock::now() + setup_.upcall_limit);
  w.cancel_fd = lim.client_fd;
  const Reply r = send(doc, out, out_args, w, lim.memory, lim.observer);
  const std::string message = r.failure == Channel::Status::Ok ? r.message : describe(op, r);
  if (r.failure != Channel::Status::Ok) log_error(message);
  CMPIStatus st = status(r.failure == Channel::Status::Ok ? r.rc : CMPI_RC_ERR_FAILED);
  if (!message.empty()) st.msg = setup_.broker->eft->newString(setup_.broker, message.c_str(), nullptr);
  return st;
}

bool ProviderProcess::unload_round(std::chrono::steady_clock::duration idle, ProviderHost::Round *round) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    const auto now = std::chrono::steady_clock::now();
    if (ending_ || ended_ || cleaning_ || in_flight_ > 0 || now - last_used_ < idle) return false;
    cleaning_ = true;
  }
  CallWriter w(CallOp::Cleanup);
  w.number("IdleSeconds",
           static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::seconds>(idle).count()));
  CMPIResult *r = cmpinative::new_result();
  CMPIArgs *out = native_new_CMPIArgs(nullptr);
  WaitLimit limit;
  limit.deadline = std::chrono::steady_clock::now() + kControlLimit;
  const Reply reply = send(w.finish(), r, out, limit, nullptr, nullptr);
  const bool ok = reply.failure == Channel::Status::Ok && reply.rc == CMPI_RC_OK;
  const std::vector<std::string> closed = string_array(out, "Closed");
  if (ok) {
    round->closed = closed;
    round->dropped = string_array(out, "Dropped");
    round->never = string_array(out, "Never");
    round->loaded = static_cast<int>(number_arg(out, "Loaded"));
  }
  r->ft->release(r);
  out->ft->release(out);
  bool retire = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    cleaning_ = false;
    for (const std::string &key : round->dropped) slots_[key].ready = false;
    for (const std::string &lib : closed) libraries_.erase(lib);
    last_used_ = std::chrono::steady_clock::now();
    retire = ok && round->loaded == 0 && in_flight_ == 0;
    if (retire) ending_ = true;
    cv_.notify_all();
  }
  if (!ok) log_error("the unload round of " + setup_.group + " failed: " + describe(CallOp::Cleanup, reply));
  if (retire) {
    log_info("ending the provider process of " + setup_.group + ": nothing is loaded");
    end();
  }
  return true;
}

void ProviderProcess::stop(std::chrono::steady_clock::duration wait) {
  bool was_ending;
  {
    std::unique_lock<std::mutex> lock(mu_);
    was_ending = ending_;
    ending_ = true;
    cv_.notify_all();
    if (ended_) return;
  }
  if (!was_ending) {
    CMPIResult *r = cmpinative::new_result();
    WaitLimit limit;
    limit.deadline = std::chrono::steady_clock::now() + std::min<std::chrono::steady_clock::duration>(wait, kControlLimit);
    const Reply reply = send(CallWriter(CallOp::Terminate).finish(), r, nullptr, limit, nullptr, nullptr);
    r->ft->release(r);
    if (reply.failure != Channel::Status::Ok && reply.failure != Channel::Status::Closed)
      log_error("the final clean-up of " + setup_.group + " failed: " + reply.message);
  }
  end();
}

void ProviderProcess::end() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    ending_ = true;
  }
  pool_->clear();
  /* The process leaves once its control socket ends; the reader reaps it. */
  shutdown(control_, SHUT_RDWR);
  std::unique_lock<std::mutex> lock(mu_);
  if (!cv_.wait_for(lock, std::chrono::seconds(5), [&] { return ended_; })) {
    log_error("the provider process of " + setup_.group + " does not end; killing it");
    kill(pid_, SIGKILL);
  }
}

void ProviderProcess::read_control() {
  for (;;) {
    const int fd = receive_descriptor(control_);
    if (fd < 0) break;
    /* A channel for up-calls of the provider's own threads. One beyond the cap is closed
     * unserved: the up-call sent on it fails. */
    bool refused = false, first_refused = false;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (upcall_channels_ >= kMaxUpcallChannels) {
        refused = true;
        first_refused = !upcall_cap_logged_;
        upcall_cap_logged_ = true;
      } else {
        ++upcall_channels_;
      }
    }
    if (refused) {
      if (first_refused)
        log_error("the provider process of " + setup_.group + " makes more than " +
                  std::to_string(kMaxUpcallChannels) + " up-calls at once; further ones fail");
      close(fd);
      continue;
    }
    auto served = [this] {
      {
        std::lock_guard<std::mutex> lock(mu_);
        if (--upcall_channels_ == 0) upcall_cap_logged_ = false;
      }
      mgr_.thread_ended();
    };
    mgr_.thread_started();
    try {
      std::thread([self = shared_from_this(), fd, served] {
        self->serve_upcalls(fd);
        served();
      }).detach();
    } catch (const std::system_error &) {
      /* No thread to be had: the up-call fails as one beyond the cap does. */
      close(fd);
      served();
    }
  }
  reap();
}

void ProviderProcess::serve_upcalls(int fd) {
  Channel ch(fd);
  Frame f;
  while (ch.receive(&f) == Channel::Status::Ok && f.kind == FrameKind::Call) {
    CallLimits lim;
    lim.deadline = std::chrono::steady_clock::now() + setup_.upcall_limit;
    CallLimitsScope scope(lim);
    WaitLimit w;
    w.deadline = lim.deadline;
    if (!serve(ch, this, f, server_, w)) break;
  }
}

void ProviderProcess::reap() {
  int st = 0;
  pid_t r = 0;
  /* The control socket has ended: the process has exited or is exiting. */
  for (int i = 0; i < 250; ++i) {
    r = waitpid(pid_, &st, WNOHANG);
    if (r != 0 && !(r < 0 && errno == EINTR)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (r == 0) {
    kill(pid_, SIGKILL);
    do {
      r = waitpid(pid_, &st, 0);
    } while (r < 0 && errno == EINTR);
  }
  const std::string how = r == pid_ ? exit_text(st) : "ended (not reaped)";
  bool expected;
  {
    std::lock_guard<std::mutex> lock(mu_);
    expected = ending_;
    ended_ = true;
    how_ = how;
    libraries_.clear();
    cv_.notify_all();
  }
  pool_->clear();
  if (expected) log_info("provider process " + std::to_string(pid_) + " of " + setup_.group + " " + how);
  else log_error("provider process " + std::to_string(pid_) + " of " + setup_.group + " " + how);
  mgr_.process_gone(this);
}

}  // namespace cimhost
