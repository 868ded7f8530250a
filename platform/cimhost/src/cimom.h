/*
 * The object manager proper: runs CIM operations against the class repository
 * and the registered providers, for clients (CIM-XML requests) and for
 * providers (broker up-calls, as the broker's Router).
 *
 * Routing:
 *  - instance operations go to the instance provider of the class; a class
 *    without one is served by the providers of its subclasses (enumerations
 *    gather them all, GetInstance takes the first that finds the instance);
 *    Create/Modify/DeleteInstance fall back to the nearest superclass's;
 *  - methods go to the method provider of the target's class or of its
 *    nearest superclass; the class's declaration types the parameters;
 *  - association operations go, once each, to the association providers of
 *    the association classes that can refer to the source object, with the
 *    client's filters passed on; on a class they are answered from the
 *    repository;
 *  - ExecQuery goes to the providers' execQuery; where a provider does not
 *    support it, the CIMOM enumerates and filters itself (see wql.h).
 */
#ifndef QELVO_CIMHOST_CIMOM_H
#define QELVO_CIMHOST_CIMOM_H

#include <cimxml/message.h>
#include <cmpi_native.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "providers.h"
#include "repository.h"

namespace cimhost {

/* The CIM headers of one HTTP request. */
struct CimHeaders {
  std::string operation; /* CIMOperation */
  std::string method;    /* CIMMethod */
  std::string object;    /* CIMObject */
};

/* What goes back over HTTP. */
struct HttpAnswer {
  int status = 200;
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
};

/* A status with its own copy of the message. */
struct Outcome {
  CMPIrc rc = CMPI_RC_OK;
  std::string message;
  bool ok() const { return rc == CMPI_RC_OK; }
};

class Cimom : public cmpinative::Router {
 public:
  Cimom(std::unique_ptr<Repository> repo, std::vector<std::string> provider_dirs,
        ProviderOptions options = ProviderOptions());
  ~Cimom() override;

  /* Answers one POSTed request body. Never throws. */
  HttpAnswer serve(const char *body, size_t len, const CimHeaders &headers, const std::string &principal);
  /* Runs a parsed request; the response document (an ERROR response when
   * the operation fails). Never throws. */
  std::string execute(cimxml::Request &req, const std::string &principal);

  /* Host name written into instance paths. */
  void set_host_name(const std::string &h) { host_ = h; }
  void set_limits(const cimxml::Limits &l) { limits_ = l; }

  const Repository &repository() const { return *repo_; }
  ProviderManager &providers() { return *providers_; }
  const CMPIBroker *broker() const { return broker_; }
  /* Cleans up every provider (terminating); no request may run after. */
  void shutdown(std::chrono::steady_clock::duration wait);

  /* ---- broker up-calls ---- */
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

 private:
  struct Assoc;
  /* The routed operations, shared by both sides. */
  Outcome enum_names(const CMPIContext *ctx, const CMPIObjectPath *op, const CMPIResult *out);
  Outcome enum_instances(const CMPIContext *ctx, const CMPIObjectPath *op, const char **props,
                         const CMPIResult *out);
  Outcome get_instance(const CMPIContext *ctx, const CMPIObjectPath *op, const char **props, const CMPIResult *out);
  Outcome create_instance(const CMPIContext *ctx, const CMPIObjectPath *op, const CMPIInstance *inst,
                          const CMPIResult *out);
  Outcome modify_instance(const CMPIContext *ctx, const CMPIObjectPath *op, const CMPIInstance *inst,
                          const char **props);
  Outcome delete_instance(const CMPIContext *ctx, const CMPIObjectPath *op);
  Outcome exec_query(const CMPIContext *ctx, const CMPIObjectPath *op, const std::string &query,
                     const std::string &lang, const CMPIResult *out);
  Outcome association(const Assoc &a, const CMPIContext *ctx, const CMPIObjectPath *op, const CMPIResult *out);
  Outcome invoke(const CMPIContext *ctx, const CMPIObjectPath *op, const char *method, const CMPIArgs *in,
                 CMPIArgs *out_args, const CMPIResult *out);
  CMPIStatus to_status(const Outcome &o);

  std::string run(cimxml::Request &req, const std::string &principal);

  std::unique_ptr<Repository> repo_;
  CMPIBroker *broker_ = nullptr;
  std::unique_ptr<ProviderManager> providers_;
  std::string host_ = "localhost";
  cimxml::Limits limits_;
};

}  // namespace cimhost

#endif  // QELVO_CIMHOST_CIMOM_H
