/*
 * cimhost-provider: a provider process of the host CIMOM, which starts it for
 * one registration group (see providers.h) as
 *
 *   cimhost-provider --group GROUP --cimom PID [--verbose]
 *
 * with its control socket as descriptor 3. The process loads the group's
 * libraries and makes their MIs when the CIMOM asks (Load), runs the MI
 * operations sent to it, each channel on a thread of its own, and gives its
 * providers a broker whose up-calls go back to the CIMOM: on the channel of
 * the call being served, or, from a thread the provider started itself, on a
 * channel of the process's own. It leaves when its control socket ends (the
 * CIMOM ended it, or the CIMOM is gone).
 */
#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "channel.h"
#include "host_entry.h"
#include "log.h"
#include "provider_host.h"
#include "rpc.h"

namespace cimhost {
namespace {

constexpr int kControl = 3;
/* Idle channels kept for up-calls of the providers' own threads. */
constexpr size_t kIdleChannels = 4;

/* Whom the channels of this process lead to. */
const char kCimom = 0;

CMPIStatus status(CMPIrc rc) { return CMPIStatus{rc, nullptr}; }

/* A Router over one MI of a provider. */
class MiRouter : public cmpinative::Router {
 public:
  MiRouter(void *mi, MiKind kind) : mi_(mi), kind_(kind) {}

  CMPIStatus enumerateInstanceNames(const CMPIContext *ctx, const CMPIObjectPath *op, const CMPIResult *out) override {
    if (CMPIInstanceMI *m = instance()) return m->ft->enumerateInstanceNames(m, ctx, out, op);
    return status(CMPI_RC_ERR_NOT_SUPPORTED);
  }
  CMPIStatus enumerateInstances(const CMPIContext *ctx, const CMPIObjectPath *op, const char **props,
                                const CMPIResult *out) override {
    if (CMPIInstanceMI *m = instance()) return m->ft->enumerateInstances(m, ctx, out, op, props);
    return status(CMPI_RC_ERR_NOT_SUPPORTED);
  }
  CMPIStatus getInstance(const CMPIContext *ctx, const CMPIObjectPath *op, const char **props,
                         const CMPIResult *out) override {
    if (CMPIInstanceMI *m = instance()) return m->ft->getInstance(m, ctx, out, op, props);
    return status(CMPI_RC_ERR_NOT_SUPPORTED);
  }
  CMPIStatus createInstance(const CMPIContext *ctx, const CMPIObjectPath *op, const CMPIInstance *inst,
                            const CMPIResult *out) override {
    if (CMPIInstanceMI *m = instance()) return m->ft->createInstance(m, ctx, out, op, inst);
    return status(CMPI_RC_ERR_NOT_SUPPORTED);
  }
  CMPIStatus modifyInstance(const CMPIContext *ctx, const CMPIObjectPath *op, const CMPIInstance *inst,
                            const char **props) override {
    CMPIInstanceMI *m = instance();
    if (m == nullptr) return status(CMPI_RC_ERR_NOT_SUPPORTED);
    CMPIResult *r = cmpinative::new_result();
    const CMPIStatus st = m->ft->modifyInstance(m, ctx, r, op, inst, props);
    r->ft->release(r);
    return st;
  }
  CMPIStatus deleteInstance(const CMPIContext *ctx, const CMPIObjectPath *op) override {
    CMPIInstanceMI *m = instance();
    if (m == nullptr) return status(CMPI_RC_ERR_NOT_SUPPORTED);
    CMPIResult *r = cmpinative::new_result();
    const CMPIStatus st = m->ft->deleteInstance(m, ctx, r, op);
    r->ft->release(r);
    return st;
  }
  CMPIStatus execQuery(const CMPIContext *ctx, const CMPIObjectPath *op, const char *query, const char *lang,
                       const CMPIResult *out) override {
    if (CMPIInstanceMI *m = instance()) return m->ft->execQuery(m, ctx, out, op, query, lang);
    return status(CMPI_RC_ERR_NOT_SUPPORTED);
  }
  CMPIStatus associators(const CMPIContext *ctx, const CMPIObjectPath *op, const char *assoc, const char *result,
                         const char *role, const char *result_role, const char **props,
                         const CMPIResult *out) override {
    if (CMPIAssociationMI *m = association())
      return m->ft->associators(m, ctx, out, op, assoc, result, role, result_role, props);
    return status(CMPI_RC_ERR_NOT_SUPPORTED);
  }
  CMPIStatus associatorNames(const CMPIContext *ctx, const CMPIObjectPath *op, const char *assoc, const char *result,
                             const char *role, const char *result_role, const CMPIResult *out) override {
    if (CMPIAssociationMI *m = association())
      return m->ft->associatorNames(m, ctx, out, op, assoc, result, role, result_role);
    return status(CMPI_RC_ERR_NOT_SUPPORTED);
  }
  CMPIStatus references(const CMPIContext *ctx, const CMPIObjectPath *op, const char *result, const char *role,
                        const char **props, const CMPIResult *out) override {
    if (CMPIAssociationMI *m = association()) return m->ft->references(m, ctx, out, op, result, role, props);
    return status(CMPI_RC_ERR_NOT_SUPPORTED);
  }
  CMPIStatus referenceNames(const CMPIContext *ctx, const CMPIObjectPath *op, const char *result, const char *role,
                            const CMPIResult *out) override {
    if (CMPIAssociationMI *m = association()) return m->ft->referenceNames(m, ctx, out, op, result, role);
    return status(CMPI_RC_ERR_NOT_SUPPORTED);
  }
  CMPIStatus invokeMethod(const CMPIContext *ctx, const CMPIObjectPath *op, const char *method, const CMPIArgs *in,
                          CMPIArgs *out_args, const CMPIResult *out) override {
    if (kind_ != MiKind::Method) return status(CMPI_RC_ERR_NOT_SUPPORTED);
    auto *m = static_cast<CMPIMethodMI *>(mi_);
    return m->ft->invokeMethod(m, ctx, out, op, method, in, out_args);
  }

 private:
  CMPIInstanceMI *instance() const {
    return kind_ == MiKind::Instance ? static_cast<CMPIInstanceMI *>(mi_) : nullptr;
  }
  CMPIAssociationMI *association() const {
    return kind_ == MiKind::Association ? static_cast<CMPIAssociationMI *>(mi_) : nullptr;
  }
  void *mi_;
  MiKind kind_;
};

/* Runs what the CIMOM sends: control requests and MI operations. */
class ProcessServer : public CallServer {
 public:
  explicit ProcessServer(std::string group) : group_(std::move(group)) {}
  void attach(ProviderHost *host, const CMPIBroker *broker) {
    host_ = host;
    broker_ = broker;
  }

  CMPIStatus execute(Call &call, const CMPIResult *out, CMPIArgs *out_args) override {
    try {
      return run(call, out, out_args);
    } catch (const std::exception &e) {
      return failure(std::string(call_op_name(call.op)) + " failed: " + e.what());
    } catch (...) {
      return failure(std::string(call_op_name(call.op)) + " failed");
    }
  }


 private:
  CMPIStatus failure(const std::string &message) {
    return CMPIStatus{CMPI_RC_ERR_FAILED, broker_->eft->newString(broker_, message.c_str(), nullptr)};
  }

  static void add_strings(CMPIArgs *args, const char *name, const std::vector<std::string> &items) {
    CMPIArray *a = native_new_CMPIArray(static_cast<CMPICount>(items.size()), CMPI_string, nullptr);
    for (CMPICount i = 0; i < items.size(); ++i)
      a->ft->setElementAt(a, i, reinterpret_cast<const CMPIValue *>(items[i].c_str()), CMPI_chars);
    CMPIValue v;
    v.array = a;
    args->ft->addArg(args, name, &v, CMPI_stringA);
    a->ft->release(a);
  }

  CMPIStatus run(Call &call, const CMPIResult *out, CMPIArgs *out_args) {
    const char *provider = call.text("Provider");
    const uint32_t kind_number = call.number;
    if (log_level() >= LogLevel::Debug)
      log_debug(std::string(call_op_name(call.op)) + (provider != nullptr ? std::string(" ") + provider : ""));
    switch (call.op) {
      case CallOp::Load: {
        const char *library = call.text("Library");
        if (provider == nullptr || library == nullptr || kind_number > 2) return failure("an incomplete Load");
        std::string error;
        bool opened = false;
        ProviderHost::Use use = host_->begin_use(library, provider, static_cast<MiKind>(kind_number),
                                                call.text("Namespace") != nullptr ? call.text("Namespace") : "root/cimv2",
                                                call.flag, &opened, &error);
        if (use.mi == nullptr) return failure(error);
        host_->end_use(use);
        const CMPIBoolean b = opened ? 1 : 0;
        out_args->ft->addArg(out_args, "Opened", reinterpret_cast<const CMPIValue *>(&b), CMPI_boolean);
        return status(CMPI_RC_OK);
      }
      case CallOp::Cleanup: {
        const ProviderHost::Round round = host_->unload_idle(std::chrono::seconds(call.number));
        add_strings(out_args, "Closed", round.closed);
        add_strings(out_args, "Dropped", round.dropped);
        add_strings(out_args, "Never", round.never);
        const CMPIUint32 loaded = static_cast<CMPIUint32>(round.loaded);
        out_args->ft->addArg(out_args, "Loaded", reinterpret_cast<const CMPIValue *>(&loaded), CMPI_uint32);
        return status(CMPI_RC_OK);
      }
      case CallOp::Terminate:
        host_->terminate();
        return status(CMPI_RC_OK);
      case CallOp::ClassExists:
      case CallOp::ClassIsA:
        return failure("a provider process has no class repository");
      default: {
        if (provider == nullptr || kind_number > 2) return failure("a call without its provider");
        const MiKind kind = static_cast<MiKind>(kind_number);
        ProviderHost::Use use = host_->begin_use(provider, kind);
        if (use.mi == nullptr)
          return failure(std::string("no ") + mi_kind_name(kind) + " MI of " + provider + " is made in " + group_);
        MiRouter r(use.mi, kind);
        CMPIStatus st = status(CMPI_RC_ERR_FAILED);
        try {
          st = route_call(call, r, out, out_args);
        } catch (...) {
          host_->end_use(use);
          throw;
        }
        host_->end_use(use);
        return st;
      }
    }
  }

  std::string group_;
  ProviderHost *host_ = nullptr;
  const CMPIBroker *broker_ = nullptr;
};

/* The providers' broker up-calls, sent to the CIMOM. */
class CimomRouter : public RemoteRouter {
 public:
  CimomRouter(int control, CallServer &server) : pool_(control, kIdleChannels), server_(server) {}
  void set_broker(const CMPIBroker *b) { broker_ = b; }

 protected:
  CMPIStatus call(CallOp op, const std::string &doc, const CMPIResult *out, CMPIArgs *out_args) override {
    Channel *ch = active_channel(&kCimom);
    std::unique_ptr<Channel> own;
    if (ch == nullptr) {
      own = pool_.take();
      if (!own) return failure(std::string(call_op_name(op)) + ": the CIMOM is not reachable");
      ch = own.get();
    }
    const Reply r = exchange(*ch, &kCimom, doc, server_, out, out_args, WaitLimit(), nullptr);
    if (own) pool_.give_back(std::move(own));
    if (r.failure != Channel::Status::Ok)
      return failure(std::string(call_op_name(op)) + ": the CIMOM did not answer (" + r.message + ")");
    CMPIStatus st = status(r.rc);
    if (!r.message.empty()) st.msg = broker_->eft->newString(broker_, r.message.c_str(), nullptr);
    return st;
  }

 private:
  CMPIStatus failure(const std::string &message) {
    log_error(message);
    return CMPIStatus{CMPI_RC_ERR_FAILED, broker_->eft->newString(broker_, message.c_str(), nullptr)};
  }

  ChannelPool pool_;
  CallServer &server_;
  const CMPIBroker *broker_ = nullptr;
};

/* Whether the CIMOM's repository knows a class, as getConstClass asks it.
 * The CIMOM reads its repository once, when it starts, and this process ends
 * with the CIMOM, so an answer stays true for the life of the process: each
 * is asked once (at most kKnownClasses answers are kept; beyond that, and
 * after a failed up-call, the CIMOM is asked every time). */
class ClassLookup {
 public:
  explicit ClassLookup(RemoteRouter &router) : router_(router) {}
  bool operator()(const char *ns, const char *cn) {
    std::string key = std::string(ns) + '\n' + cn;
    {
      std::lock_guard<std::mutex> lock(mu_);
      const auto it = known_.find(key);
      if (it != known_.end()) return it->second;
    }
    const std::optional<bool> exists = router_.knows_class(ns, cn);
    if (!exists) return false; /* no answer: asked again next time */
    std::lock_guard<std::mutex> lock(mu_);
    if (known_.size() < kKnownClasses) known_.emplace(std::move(key), *exists);
    return *exists;
  }

 private:
  static constexpr size_t kKnownClasses = 4096;
  RemoteRouter &router_;
  std::mutex mu_;
  std::unordered_map<std::string, bool> known_;
};

void serve_channel(int fd, CallServer &server) {
  Channel ch(fd);
  Frame f;
  while (ch.receive(&f) == Channel::Status::Ok && f.kind == FrameKind::Call)
    if (!serve(ch, &kCimom, f, server, WaitLimit())) break;
}

int usage() {
  std::fprintf(stderr,
               "Usage: cimhost-provider --group GROUP --cimom PID [--verbose]\n"
               "A provider process of cimhost, started by it with its control socket as\n"
               "descriptor 3; not for running by hand.\n");
  return 2;
}

}  // namespace
}  // namespace cimhost

int main(int argc, char **argv) {
  using namespace cimhost;
  static const option longopts[] = {
      {"group", required_argument, nullptr, 'g'},
      {"cimom", required_argument, nullptr, 'c'},
      {"verbose", no_argument, nullptr, 'v'},
      {nullptr, 0, nullptr, 0},
  };
  std::string group;
  long cimom = 0;
  int c;
  while ((c = getopt_long(argc, argv, "", longopts, nullptr)) != -1) {
    switch (c) {
      case 'g': group = optarg; break;
      case 'c': cimom = std::strtol(optarg, nullptr, 10); break;
      case 'v': set_log_level(LogLevel::Debug); break;
      default: return usage();
    }
  }
  if (group.empty() || cimom <= 0 || optind != argc || fcntl(kControl, F_GETFD) < 0) return usage();
  fcntl(kControl, F_SETFD, FD_CLOEXEC);
  set_log_name("cimhost[" + group + "]");
  signal(SIGPIPE, SIG_IGN);

  /* The server runs calls on the host, the host gives its providers the
   * broker, the broker sends their up-calls through the router, and the
   * router serves nested calls with the server. None of them is ever
   * destroyed: the providers' threads may use them until the process ends. */
  auto *server = new ProcessServer(group);
  auto *router = new CimomRouter(kControl, *server);
  CMPIBroker *broker = cmpinative::new_broker(router, "cimhost");
  auto *host = new ProviderHost(broker);
  server->attach(host, broker);
  router->set_broker(broker);
  auto *classes = new ClassLookup(*router);
  set_class_lookup([classes](const char *ns, const char *cn) { return (*classes)(ns, cn); });
  log_debug("serving for the CIMOM " + std::to_string(cimom));

  for (;;) {
    const int fd = receive_descriptor(kControl);
    if (fd < 0) break;
    std::thread([fd, server] { serve_channel(fd, *server); }).detach();
  }
  log_debug("the control socket has ended; leaving");
  std::fflush(nullptr);
  _exit(0);
}
