/*
 * Calls between the CIMOM and a provider process over a channel, in either
 * direction, and the routing of a received call to its target.
 *
 * A caller sends a Call frame and reads until the Answer frame. A call the
 * peer makes meanwhile on the same channel (an up-call of the provider it is
 * running, or a call back into that provider) arrives as a Call frame and is
 * served by the caller's thread before it reads on: nested calls run on the
 * thread that waits for them, as they would within one process, and no
 * thread is needed for them on either side. A thread that is in a call or
 * serves one on a channel uses that same channel for every further call to
 * that peer (see active_channel).
 */
#ifndef QELVO_CIMHOST_RPC_H
#define QELVO_CIMHOST_RPC_H

#include <cmpi_native.h>

#include <optional>
#include <string>

#include "channel.h"
#include "request_context.h"
#include "wire.h"

namespace cimhost {

/* Runs the calls that arrive on a channel. */
class CallServer {
 public:
  virtual ~CallServer() = default;
  /* Runs `call`; what it yields goes into `out` and `out_args`. Never throws. */
  virtual CMPIStatus execute(Call &call, const CMPIResult *out, CMPIArgs *out_args) = 0;
};

/* The outcome of one call. */
struct Reply {
  CMPIrc rc = CMPI_RC_OK;
  std::string message;
  /* Not Ok when the channel failed before the answer was complete: the
   * call's outcome is unknown and the channel must not be used again. */
  Channel::Status failure = Channel::Status::Ok;
};

/* Answers of one call larger than this (all frames together) are refused. */
constexpr size_t kMaxAnswer = 32u << 20;
/* Objects go in Items frames of about this size. */
constexpr size_t kAnswerBatch = 256u << 10;

/* Sends `call` on `ch` (which belongs to `peer`) and reads its answer into
 * `out` and `out_args`, serving the peer's nested calls with `server`. A
 * provider's answer is accounted in `memory` when given (refused when it does
 * not fit). */
Reply exchange(Channel &ch, const void *peer, const std::string &call, CallServer &server, const CMPIResult *out,
               CMPIArgs *out_args, const WaitLimit &limit, Reservation *memory);

/* Serves one received Call frame on `ch` and sends its answer. False when
 * the channel failed. */
bool serve(Channel &ch, const void *peer, const Frame &call, CallServer &server, const WaitLimit &limit);

/* The channel to `peer` the calling thread is calling or serving on (its
 * innermost one), or null. */
Channel *active_channel(const void *peer);
/* How deep the calling thread's calls and served calls are nested. */
size_t call_depth();

/* Runs a decoded provider operation or repository up-call on `target`. */
CMPIStatus route_call(Call &call, cmpinative::Router &target, const CMPIResult *out, CMPIArgs *out_args);

/* A Router whose operations are sent as calls (see wire.h) through call(). */
class RemoteRouter : public cmpinative::Router {
 public:
  CMPIStatus enumerateInstanceNames(const CMPIContext *ctx, const CMPIObjectPath *op, const CMPIResult *out) override;
  CMPIStatus enumerateInstances(const CMPIContext *ctx, const CMPIObjectPath *op, const char **properties,
                                const CMPIResult *out) override;
  CMPIStatus getInstance(const CMPIContext *ctx, const CMPIObjectPath *op, const char **properties,
                         const CMPIResult *out) override;
  CMPIStatus createInstance(const CMPIContext *ctx, const CMPIObjectPath *op, const CMPIInstance *inst,
                            const CMPIResult *out) override;
  CMPIStatus modifyInstance(const CMPIContext *ctx, const CMPIObjectPath *op, const CMPIInstance *inst,
                            const char **properties) override;
  CMPIStatus deleteInstance(const CMPIContext *ctx, const CMPIObjectPath *op) override;
  CMPIStatus execQuery(const CMPIContext *ctx, const CMPIObjectPath *op, const char *query, const char *lang,
                       const CMPIResult *out) override;
  CMPIStatus associators(const CMPIContext *ctx, const CMPIObjectPath *op, const char *assocClass,
                         const char *resultClass, const char *role, const char *resultRole, const char **properties,
                         const CMPIResult *out) override;
  CMPIStatus associatorNames(const CMPIContext *ctx, const CMPIObjectPath *op, const char *assocClass,
                             const char *resultClass, const char *role, const char *resultRole,
                             const CMPIResult *out) override;
  CMPIStatus references(const CMPIContext *ctx, const CMPIObjectPath *op, const char *resultClass, const char *role,
                        const char **properties, const CMPIResult *out) override;
  CMPIStatus referenceNames(const CMPIContext *ctx, const CMPIObjectPath *op, const char *resultClass,
                            const char *role, const CMPIResult *out) override;
  CMPIStatus invokeMethod(const CMPIContext *ctx, const CMPIObjectPath *op, const char *method, const CMPIArgs *in,
                          CMPIArgs *outArgs, const CMPIResult *out) override;
  bool classExists(const char *ns, const char *cn) override;
  bool classIsA(const char *ns, const char *cn, const char *type) override;
  /* Whether the peer's repository knows the class; none when it gave no answer. */
  std::optional<bool> knows_class(const char *ns, const char *cn);

 protected:
  /* Adds what addresses the call at the other side (a provider and MI). */
  virtual void address(CallWriter &) {}
  /* Sends a call document; what comes back goes into out / out_args. */
  virtual CMPIStatus call(CallOp op, const std::string &doc, const CMPIResult *out, CMPIArgs *out_args) = 0;

 private:
  std::optional<bool> ask(CallOp op, const char *ns, const char *cn, const char *type);
};

}  // namespace cimhost

#endif  // QELVO_CIMHOST_RPC_H
