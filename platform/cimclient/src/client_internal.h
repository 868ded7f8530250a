/* Inside the CIM client library: the HTTP exchange, the reading of an answer, and the client's
 * own objects (enumerations, classes). Not part of the interface. */
#ifndef QELVO_CIMCLIENT_INTERNAL_H
#define QELVO_CIMCLIENT_INTERNAL_H

#include <cimxml/message.h>

#include <string>
#include <vector>

#include "cmci.h"

namespace cimclient {

/* Where and how a client talks to its CIMOM. */
struct Endpoint {
  std::string url; /* scheme://host:port/cimom */
  bool https = false;
  bool has_user = false;
  std::string user, password;
  bool verify_peer = true;
  std::string trust_store, cert_file, key_file; /* empty: not given */
};

/* Bounds of one exchange. */
constexpr long kConnectTimeoutS = 15;
constexpr long kStallTimeoutS = 60;
constexpr long kTotalTimeoutS = 300;
constexpr std::size_t kMaxAnswer = 64u << 20;

/* What came back over HTTP. */
struct HttpResult {
  bool transport_failed = false;
  std::string error; /* libcurl's message when transport_failed */
  long status = 0;
  std::string body;
  std::string cimerror; /* the CIMError header, if any */
  std::string content_type;
};

/* One libcurl easy handle, reused for the exchanges of one client (so that the connection stays
 * open between them) and handed on to the next client of the same endpoint when this one is
 * released. Not thread-safe: the client serialises its operations. */
class Transport {
 public:
  explicit Transport(const Endpoint &ep) : ep_(ep) {}
  ~Transport();
  Transport(const Transport &) = delete;
  Transport &operator=(const Transport &) = delete;

  /* POSTs `body` with the CIM headers for `cimmethod` on `cimobject`. */
  HttpResult post(const std::string &cimmethod, const std::string &cimobject, const std::string &body);

 private:
  Endpoint ep_;
  void *curl_ = nullptr;
};

/* An answer read: the status to report and, when it is OK, the response. */
struct Reply {
  CMPIrc rc = CMPI_RC_OK;
  std::string message;
  cimxml::Response response;
  bool ok() const { return rc == CMPI_RC_OK; }
};

/* Turns an HTTP result into a reply: transport failures, HTTP errors, answers that are not
 * CIM-XML responses and CIM errors become a failed reply. */
Reply interpret(const HttpResult &http);

/* A client enumeration owning `values` (each released with cmpinative::release_data, classes
 * with their own release). */
CMPIEnumeration *new_enumeration(std::vector<CMPIData> values);
/* A class object over a class model. */
CMPIConstClass *new_const_class(cimxml::ClassDecl decl);

/* A CMPIData referring to a class object (type CMPI_class). */
CMPIData class_data(CMPIConstClass *cls);
/* The same for a path and an instance (the data takes them over). */
CMPIData ref_data(CMPIObjectPath *p);
CMPIData instance_data(CMPIInstance *i);

/* The text of a string a getter made, which is released at once: a program that runs without
 * a request scope must not collect them. */
std::string take(CMPIString *s);
std::string ns_of(const CMPIObjectPath *op);
std::string class_of(const CMPIObjectPath *op);

/* A path, or an instance's path, that the CIMOM sent without a namespace gets `ns`. */
void complete_path(CMPIObjectPath *p, const std::string &ns);
void complete_instance(CMPIInstance *inst, const std::string &ns);

/* The instances, or the paths, of a response as a client enumeration; those the CIMOM sent
 * without a namespace get `ns`. The response's objects are taken over. */
CMPIEnumeration *instances_of(cimxml::Response &r, const std::string &ns);
CMPIEnumeration *paths_of(cimxml::Response &r, const std::string &ns);

}  // namespace cimclient

#endif /* QELVO_CIMCLIENT_INTERNAL_H */
