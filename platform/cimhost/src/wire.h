/*
 * How provider operations and broker up-calls cross between the CIMOM and a
 * provider process: in CIM-XML, written and read by the project's codec, the
 * same way a client's request and its answer travel.
 *
 * A call is a METHODCALL document whose method name is the operation and
 * whose typed PARAMVALUEs are its arguments:
 *   $path        the operation's object path (a reference, with its host,
 *                namespace and typed keys)
 *   $ctx:NAME    each entry of the invocation context
 *   $in:NAME     each IN argument of InvokeMethod
 *   $properties  the property list (absent: NULL)
 *   $instance    the instance of CreateInstance and ModifyInstance (its
 *                object path is $path)
 *   $Method, $AssocClass, $ResultClass, $Role, $ResultRole, $Query,
 *   $QueryLanguage, ...  text arguments (absent: NULL)
 * The METHODCALL's own target is a fixed placeholder path.
 *
 * An answer is zero or more Items frames and one Answer frame (see channel.h)
 * whose header holds the status code. Their documents are METHODRESPONSEs
 * holding the returned instances (VALUE.OBJECTWITHPATH, or VALUE.NAMEDINSTANCE
 * for a path without namespace) and object paths (OBJECTPATH or INSTANCENAME)
 * in an IRETURNVALUE, and, in the Answer, the status message (ERROR), the
 * first other returned value (RETURNVALUE) and the OUT arguments
 * (PARAMVALUE). Instances and references a provider returned as data come
 * back as instances and object paths. An Answer with nothing but a status
 * code has no document.
 */
#ifndef QELVO_CIMHOST_WIRE_H
#define QELVO_CIMHOST_WIRE_H

#include <cimxml/cimxml.h>
#include <cmpi_native.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "channel.h"

namespace cimhost {

enum class CallOp : uint8_t {
  /* The provider operations, and the broker up-calls of the same name. */
  EnumerateInstanceNames,
  EnumerateInstances,
  GetInstance,
  CreateInstance,
  ModifyInstance,
  DeleteInstance,
  ExecQuery,
  Associators,
  AssociatorNames,
  References,
  ReferenceNames,
  InvokeMethod,
  /* Up-calls on the class repository: $Namespace, $ClassName, $Type. */
  ClassExists,
  ClassIsA,
  /* To a provider process: make the MI ($Provider, $Kind) from $Library with
   * a context for $Namespace; $NeverUnload. */
  Load,
  /* To a provider process: an unload round over libraries idle for
   * $IdleSeconds; its answer's OUT arguments Closed, Dropped, Never, Loaded. */
  Cleanup,
  /* To a provider process: the final clean-up of every MI. */
  Terminate,
};

const char *call_op_name(CallOp op);

struct ContextReleaser {
  void operator()(CMPIContext *c) const;
};
using ContextPtr = std::unique_ptr<CMPIContext, ContextReleaser>;

/* A decoded call; every object is the call's own. */
struct Call {
  CallOp op = CallOp::GetInstance;
  ContextPtr ctx;
  cimxml::PathPtr path;
  std::optional<std::vector<std::string>> properties;
  cimxml::InstancePtr instance;
  cimxml::ArgsPtr in;
  /* Text arguments by name ("Method", "Provider", ...); absent when NULL. */
  std::vector<std::pair<std::string, std::string>> texts;
  uint32_t number = 0; /* $Kind, $IdleSeconds */
  bool flag = false;   /* $NeverUnload */

  const char *text(const char *name) const;
  /* The property list as CMPI takes it (NULL when there is none); valid
   * while the call lives. */
  const char **property_argv();

 private:
  std::vector<const char *> argv_;
};

/* Builds a call document. */
class CallWriter {
 public:
  explicit CallWriter(CallOp op);
  void context(const CMPIContext *ctx);
  void path(const CMPIObjectPath *op);
  void properties(const char **props);
  void instance(const CMPIInstance *inst);
  void arguments(const CMPIArgs *in);
  /* Nothing is written for a null value. */
  void text(const char *name, const char *value);
  void number(const char *name, uint32_t value);
  void flag(const char *name, bool value);
  std::string finish();

 private:
  cimxml::RequestWriter w_;
};

/* Reads a call document; throws cimxml::Error when it is not one. */
Call read_call(const std::string &doc, const cimxml::Limits &limits);

/* Sends an answer: the status, what `result` holds and the OUT arguments,
 * as frames handed to `emit` (which returns false when the channel failed;
 * writing stops then). Objects go in Items frames of about `batch` bytes. */
bool write_answer(const CMPIStatus &st, const cmpinative::ResultContents &result, const CMPIArgs *out_args,
                  size_t batch, const std::function<bool(FrameKind, int32_t, const std::string &)> &emit);

/* Delivers the objects of an Items or Answer document into `out`, and for an
 * Answer its return value (into `out`) and OUT arguments (into `out_args`,
 * when given). The status message of an Answer goes to *message. Throws
 * cimxml::Error for a document that is not an answer. */
void read_answer(const std::string &doc, const cimxml::Limits &limits, const CMPIResult *out, CMPIArgs *out_args,
                 std::string *message);

}  // namespace cimhost

#endif  // QELVO_CIMHOST_WIRE_H
