/*
 * One provider process as the CIMOM sees it (see providers.h): starting it,
 * the proxy MIs of the MIs made in it, the calls sent to it, the up-calls it
 * sends, unload rounds, and its end.
 *
 * The process gets one end of a control socket as descriptor 3 and nothing
 * else; channels for calls in either direction are made by the side that
 * needs one and passed over the control socket. The CIMOM keeps a few idle
 * channels for its calls; a thread is started for each channel the process
 * makes for up-calls of its own threads. When the control socket reaches its
 * end the process has exited (or is made to): it is reaped and every call
 * still waiting for it fails.
 */
#ifndef QELVO_CIMHOST_PROVIDER_PROCESS_H
#define QELVO_CIMHOST_PROVIDER_PROCESS_H

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "channel.h"
#include "provider_host.h"
#include "rpc.h"

namespace cimhost {

class ProviderManager;

class ProviderProcess : public std::enable_shared_from_this<ProviderProcess> {
 public:
  struct Setup {
    std::string group;
    std::string program;
    bool verbose = false;
    std::chrono::seconds upcall_limit{3600};
    cmpinative::Router *router = nullptr; /* runs the process's up-calls */
    const CMPIBroker *broker = nullptr;   /* makes status messages */
  };
  ProviderProcess(ProviderManager &mgr, Setup setup);
  ~ProviderProcess();
  ProviderProcess(const ProviderProcess &) = delete;
  ProviderProcess &operator=(const ProviderProcess &) = delete;

  bool start(std::string *error);
  const std::string &group() const { return setup_.group; }
  pid_t pid() const { return pid_; }
  /* True until the process is ended or about to be. */
  bool usable() const;

  /* The proxy of the provider's MI of `kind`, made in the process (from
   * `library`, with a factory context for `ns`) when it is not yet, and
   * counted in use (end_use()). *opened tells whether the library was opened
   * for it. */
  void *begin_use(const std::string &library, const std::string &provider, MiKind kind, const std::string &ns,
                  bool never_unload, bool *opened, std::string *error);
  void end_use();

  /* An unload round if the process has been idle for `idle`; false when
   * none was held. A process left without libraries is ended. */
  bool unload_round(std::chrono::steady_clock::duration idle, ProviderHost::Round *round);
  /* The final clean-up of every MI (waiting at most `wait` for it), then
   * the end of the process. */
  void stop(std::chrono::steady_clock::duration wait);
  /* The libraries open in the process. */
  std::set<std::string> libraries() const;
  int in_flight() const;

  /* Sends an operation (from a proxy) under the calling thread's limits. */
  CMPIStatus call(CallOp op, const std::string &doc, const CMPIResult *out, CMPIArgs *out_args);

 private:
  class Proxy;
  class UpcallServer : public CallServer {
   public:
    explicit UpcallServer(cmpinative::Router *r) : router_(r) {}
    CMPIStatus execute(Call &call, const CMPIResult *out, CMPIArgs *out_args) override;

   private:
    cmpinative::Router *router_;
  };
  struct Slot {
    std::unique_ptr<Proxy> proxy;
    bool ready = false;
    bool loading = false;
  };

  std::unique_ptr<Channel> take_channel(std::string *error);
  void give_back(std::unique_ptr<Channel> ch);
  Reply send(const std::string &doc, const CMPIResult *out, CMPIArgs *out_args, const WaitLimit &limit,
             Reservation *memory, BlockingObserver *observer);
  std::string describe(CallOp op, const Reply &r);
  void read_control();
  void serve_upcalls(int fd);
  void reap();
  void end();

  ProviderManager &mgr_;
  Setup setup_;
  UpcallServer server_;
  pid_t pid_ = -1;
  int control_ = -1;
  std::unique_ptr<ChannelPool> pool_; /* the CIMOM's channels for its calls */

  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::map<std::string, Slot> slots_; /* by "provider/kind" */
  std::set<std::string> libraries_;
  int in_flight_ = 0;
  int upcall_channels_ = 0;        /* channels served for up-calls of the process's own threads */
  bool upcall_cap_logged_ = false; /* since upcall_channels_ was last 0 */
  std::chrono::steady_clock::time_point last_used_;
  bool cleaning_ = false;
  bool ending_ = false; /* ended on purpose: retired or stopped */
  bool ended_ = false;  /* reaped */
  std::string how_;     /* how it ended */
};

}  // namespace cimhost

#endif  // QELVO_CIMHOST_PROVIDER_PROCESS_H
