/* Calls over channels, both ways, and the routing of received calls (see rpc.h). */
#include "rpc.h"

#include <vector>

namespace cimhost {

namespace {

/* Calls nested deeper than this (a provider calling itself without end) are
 * refused rather than exhausting both processes' stacks. */
constexpr size_t kMaxDepth = 64;

/* The XML limits for what crosses a channel. */
cimxml::Limits channel_limits() {
  cimxml::Limits l;
  l.max_body = kMaxFrame;
  return l;
}

/* Bytes kept reserved per byte of answer, for the objects decoded from it. */
constexpr size_t kKeptPerByte = 4;
/* Attributes a start tag of an answer may carry. */
constexpr size_t kMaxAttributes = 64;

thread_local std::vector<std::pair<const void *, Channel *>> t_active;

class ActiveChannel {
 public:
  ActiveChannel(const void *peer, Channel *ch) { t_active.emplace_back(peer, ch); }
  ~ActiveChannel() { t_active.pop_back(); }
  ActiveChannel(const ActiveChannel &) = delete;
  ActiveChannel &operator=(const ActiveChannel &) = delete;
};

CMPIStatus status(CMPIrc rc) { return CMPIStatus{rc, nullptr}; }

/* Decodes one answer document into out / out_args, accounting its memory. */
bool take_answer(const std::string &doc, const CMPIResult *out, CMPIArgs *out_args, Reservation *memory,
                 std::string *message, std::string *fault) {
  size_t cost = 0;
  if (!decode_cost(doc.data(), doc.size(), kMaxAttributes, &cost)) {
    *fault = "an answer with an over-long start tag";
    return false;
  }
  if (memory != nullptr && memory->grow(cost) != MemoryBudget::Refusal::None) {
    *fault = "no memory left for an answer of " + std::to_string(doc.size()) + " bytes";
    return false;
  }
  try {
    read_answer(doc, channel_limits(), out, out_args, message);
  } catch (const std::exception &e) {
    if (memory != nullptr) memory->shrink(cost);
    *fault = std::string("a malformed answer: ") + e.what();
    return false;
  }
  if (memory != nullptr) memory->shrink(cost - std::min(cost, kKeptPerByte * doc.size()));
  return true;
}

}  // namespace

Channel *active_channel(const void *peer) {
  for (auto it = t_active.rbegin(); it != t_active.rend(); ++it)
    if (it->first == peer) return it->second;
  return nullptr;
}

size_t call_depth() { return t_active.size(); }

Reply exchange(Channel &ch, const void *peer, const std::string &call, CallServer &server, const CMPIResult *out,
               CMPIArgs *out_args, const WaitLimit &limit, Reservation *memory) {
  Reply r;
  if (t_active.size() >= kMaxDepth) {
    r.rc = CMPI_RC_ERR_FAILED;
    r.message = "calls nested more than " + std::to_string(kMaxDepth) + " deep";
    return r;
  }
  ActiveChannel active(peer, &ch);
  Channel::Status s = ch.send(FrameKind::Call, 0, call, limit);
  size_t answer_bytes = 0;
  Frame f;
  while (s == Channel::Status::Ok) {
    s = ch.receive(&f, limit);
    if (s != Channel::Status::Ok) break;
    if (f.kind == FrameKind::Call) {
      if (!serve(ch, peer, f, server, limit)) s = Channel::Status::Broken;
      continue;
    }
    answer_bytes += f.payload.size();
    std::string fault;
    if (answer_bytes > kMaxAnswer) {
      fault = "an answer of more than " + std::to_string(kMaxAnswer >> 20) + " MiB";
    } else if (!f.payload.empty()) {
      take_answer(f.payload, out, out_args, memory, &r.message, &fault);
    }
    if (!fault.empty()) {
      ch.shut();
      r.rc = CMPI_RC_ERR_FAILED;
      r.message = fault;
      r.failure = Channel::Status::Broken;
      return r;
    }
    if (f.kind == FrameKind::Answer) {
      r.rc = static_cast<CMPIrc>(f.rc);
      return r;
    }
  }
  ch.shut();
  r.rc = CMPI_RC_ERR_FAILED;
  r.failure = s;
  r.message = std::string("the channel ") + status_name(s);
  return r;
}

bool serve(Channel &ch, const void *peer, const Frame &frame, CallServer &server, const WaitLimit &limit) {
  ActiveChannel active(peer, &ch);
  cmpinative::RequestScope scope;
  CMPIResult *out = cmpinative::new_result();
  CMPIArgs *out_args = native_new_CMPIArgs(nullptr);
  CMPIStatus st = status(CMPI_RC_OK);
  std::string fault;
  try {
    Call call = read_call(frame.payload, channel_limits());
    st = server.execute(call, out, out_args);
  } catch (const std::exception &e) {
    fault = std::string("a malformed call: ") + e.what();
  }
  bool ok;
  if (!fault.empty()) {
    const cmpinative::ResultContents none;
    CMPIString *msg = native_new_CMPIString(fault.c_str(), nullptr);
    ok = write_answer(CMPIStatus{CMPI_RC_ERR_FAILED, msg}, none, nullptr, kAnswerBatch,
                      [&](FrameKind k, int32_t rc, const std::string &doc) {
                        return ch.send(k, rc, doc, limit) == Channel::Status::Ok;
                      });
    msg->ft->release(msg);
  } else {
    ok = write_answer(st, cmpinative::result_contents(out), out_args, kAnswerBatch,
                      [&](FrameKind k, int32_t rc, const std::string &doc) {
                        return ch.send(k, rc, doc, limit) == Channel::Status::Ok;
                      });
  }
  out->ft->release(out);
  out_args->ft->release(out_args);
  return ok;
}

CMPIStatus route_call(Call &c, cmpinative::Router &t, const CMPIResult *out, CMPIArgs *out_args) {
  const CMPIContext *ctx = c.ctx.get();
  const CMPIObjectPath *op = c.path.get();
  const bool needs_path = c.op != CallOp::ClassExists && c.op != CallOp::ClassIsA;
  if (needs_path && op == nullptr) return status(CMPI_RC_ERR_INVALID_PARAMETER);
  switch (c.op) {
    case CallOp::EnumerateInstanceNames: return t.enumerateInstanceNames(ctx, op, out);
    case CallOp::EnumerateInstances: return t.enumerateInstances(ctx, op, c.property_argv(), out);
    case CallOp::GetInstance: return t.getInstance(ctx, op, c.property_argv(), out);
    case CallOp::CreateInstance:
      if (!c.instance) return status(CMPI_RC_ERR_INVALID_PARAMETER);
      return t.createInstance(ctx, op, c.instance.get(), out);
    case CallOp::ModifyInstance:
      if (!c.instance) return status(CMPI_RC_ERR_INVALID_PARAMETER);
      return t.modifyInstance(ctx, op, c.instance.get(), c.property_argv());
    case CallOp::DeleteInstance: return t.deleteInstance(ctx, op);
    case CallOp::ExecQuery: return t.execQuery(ctx, op, c.text("Query"), c.text("QueryLanguage"), out);
    case CallOp::Associators:
      return t.associators(ctx, op, c.text("AssocClass"), c.text("ResultClass"), c.text("Role"),
                           c.text("ResultRole"), c.property_argv(), out);
    case CallOp::AssociatorNames:
      return t.associatorNames(ctx, op, c.text("AssocClass"), c.text("ResultClass"), c.text("Role"),
                               c.text("ResultRole"), out);
    case CallOp::References:
      return t.references(ctx, op, c.text("ResultClass"), c.text("Role"), c.property_argv(), out);
    case CallOp::ReferenceNames: return t.referenceNames(ctx, op, c.text("ResultClass"), c.text("Role"), out);
    case CallOp::InvokeMethod: {
      if (c.text("Method") == nullptr) return status(CMPI_RC_ERR_INVALID_PARAMETER);
      if (!c.in) c.in.reset(native_new_CMPIArgs(nullptr));
      return t.invokeMethod(ctx, op, c.text("Method"), c.in.get(), out_args, out);
    }
    case CallOp::ClassExists:
    case CallOp::ClassIsA: {
      const char *ns = c.text("Namespace"), *cn = c.text("ClassName");
      CMPIBoolean yes = c.op == CallOp::ClassExists ? t.classExists(ns, cn) : t.classIsA(ns, cn, c.text("Type"));
      return out->ft->returnData(out, reinterpret_cast<const CMPIValue *>(&yes), CMPI_boolean);
    }
    default: return status(CMPI_RC_ERR_NOT_SUPPORTED);
  }
}

/* ------------------------------------------------------------ RemoteRouter */

namespace {

CallWriter start(CallOp op, const CMPIContext *ctx, const CMPIObjectPath *path) {
  CallWriter w(op);
  w.context(ctx);
  w.path(path);
  return w;
}

}  // namespace

CMPIStatus RemoteRouter::enumerateInstanceNames(const CMPIContext *ctx, const CMPIObjectPath *op,
                                                const CMPIResult *out) {
  CallWriter w = start(CallOp::EnumerateInstanceNames, ctx, op);
  address(w);
  return call(CallOp::EnumerateInstanceNames, w.finish(), out, nullptr);
}

CMPIStatus RemoteRouter::enumerateInstances(const CMPIContext *ctx, const CMPIObjectPath *op, const char **properties,
                                            const CMPIResult *out) {
  CallWriter w = start(CallOp::EnumerateInstances, ctx, op);
  w.properties(properties);
  address(w);
  return call(CallOp::EnumerateInstances, w.finish(), out, nullptr);
}

CMPIStatus RemoteRouter::getInstance(const CMPIContext *ctx, const CMPIObjectPath *op, const char **properties,
                                     const CMPIResult *out) {
  CallWriter w = start(CallOp::GetInstance, ctx, op);
  w.properties(properties);
  address(w);
  return call(CallOp::GetInstance, w.finish(), out, nullptr);
}

CMPIStatus RemoteRouter::createInstance(const CMPIContext *ctx, const CMPIObjectPath *op, const CMPIInstance *inst,
                                        const CMPIResult *out) {
  CallWriter w = start(CallOp::CreateInstance, ctx, op);
  w.instance(inst);
  address(w);
  return call(CallOp::CreateInstance, w.finish(), out, nullptr);
}

CMPIStatus RemoteRouter::modifyInstance(const CMPIContext *ctx, const CMPIObjectPath *op, const CMPIInstance *inst,
                                        const char **properties) {
  CallWriter w = start(CallOp::ModifyInstance, ctx, op);
  w.instance(inst);
  w.properties(properties);
  address(w);
  CMPIResult *r = cmpinative::new_result();
  const CMPIStatus st = call(CallOp::ModifyInstance, w.finish(), r, nullptr);
  r->ft->release(r);
  return st;
}

CMPIStatus RemoteRouter::deleteInstance(const CMPIContext *ctx, const CMPIObjectPath *op) {
  CallWriter w = start(CallOp::DeleteInstance, ctx, op);
  address(w);
  CMPIResult *r = cmpinative::new_result();
  const CMPIStatus st = call(CallOp::DeleteInstance, w.finish(), r, nullptr);
  r->ft->release(r);
  return st;
}

CMPIStatus RemoteRouter::execQuery(const CMPIContext *ctx, const CMPIObjectPath *op, const char *query,
                                   const char *lang, const CMPIResult *out) {
  CallWriter w = start(CallOp::ExecQuery, ctx, op);
  w.text("Query", query);
  w.text("QueryLanguage", lang);
  address(w);
  return call(CallOp::ExecQuery, w.finish(), out, nullptr);
}

CMPIStatus RemoteRouter::associators(const CMPIContext *ctx, const CMPIObjectPath *op, const char *assocClass,
                                     const char *resultClass, const char *role, const char *resultRole,
                                     const char **properties, const CMPIResult *out) {
  CallWriter w = start(CallOp::Associators, ctx, op);
  w.text("AssocClass", assocClass);
  w.text("ResultClass", resultClass);
  w.text("Role", role);
  w.text("ResultRole", resultRole);
  w.properties(properties);
  address(w);
  return call(CallOp::Associators, w.finish(), out, nullptr);
}

CMPIStatus RemoteRouter::associatorNames(const CMPIContext *ctx, const CMPIObjectPath *op, const char *assocClass,
                                         const char *resultClass, const char *role, const char *resultRole,
                                         const CMPIResult *out) {
  CallWriter w = start(CallOp::AssociatorNames, ctx, op);
  w.text("AssocClass", assocClass);
  w.text("ResultClass", resultClass);
  w.text("Role", role);
  w.text("ResultRole", resultRole);
  address(w);
  return call(CallOp::AssociatorNames, w.finish(), out, nullptr);
}

CMPIStatus RemoteRouter::references(const CMPIContext *ctx, const CMPIObjectPath *op, const char *resultClass,
                                    const char *role, const char **properties, const CMPIResult *out) {
  CallWriter w = start(CallOp::References, ctx, op);
  w.text("ResultClass", resultClass);
  w.text("Role", role);
  w.properties(properties);
  address(w);
  return call(CallOp::References, w.finish(), out, nullptr);
}

CMPIStatus RemoteRouter::referenceNames(const CMPIContext *ctx, const CMPIObjectPath *op, const char *resultClass,
                                        const char *role, const CMPIResult *out) {
  CallWriter w = start(CallOp::ReferenceNames, ctx, op);
  w.text("ResultClass", resultClass);
  w.text("Role", role);
  address(w);
  return call(CallOp::ReferenceNames, w.finish(), out, nullptr);
}

CMPIStatus RemoteRouter::invokeMethod(const CMPIContext *ctx, const CMPIObjectPath *op, const char *method,
                                      const CMPIArgs *in, CMPIArgs *outArgs, const CMPIResult *out) {
  CallWriter w = start(CallOp::InvokeMethod, ctx, op);
  w.text("Method", method);
  w.arguments(in);
  address(w);
  return call(CallOp::InvokeMethod, w.finish(), out, outArgs);
}

std::optional<bool> RemoteRouter::ask(CallOp op, const char *ns, const char *cn, const char *type) {
  CallWriter w(op);
  w.text("Namespace", ns);
  w.text("ClassName", cn);
  w.text("Type", type);
  CMPIResult *r = cmpinative::new_result();
  const CMPIStatus st = call(op, w.finish(), r, nullptr);
  const auto &data = cmpinative::result_contents(r).data;
  std::optional<bool> answer;
  if (st.rc == CMPI_RC_OK && !data.empty() && data.front().type == CMPI_boolean &&
      !(data.front().state & CMPI_nullValue))
    answer = data.front().value.boolean != 0;
  r->ft->release(r);
  return answer;
}

std::optional<bool> RemoteRouter::knows_class(const char *ns, const char *cn) {
  if (ns == nullptr || cn == nullptr) return false;
  return ask(CallOp::ClassExists, ns, cn, nullptr);
}

bool RemoteRouter::classExists(const char *ns, const char *cn) { return knows_class(ns, cn).value_or(false); }

bool RemoteRouter::classIsA(const char *ns, const char *cn, const char *type) {
  return cn != nullptr && type != nullptr && ask(CallOp::ClassIsA, ns, cn, type).value_or(false);
}

}  // namespace cimhost
