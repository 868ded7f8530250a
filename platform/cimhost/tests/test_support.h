// Shared helpers of the CIMOM's unit tests: a CIMOM over the test schema, and raw HTTP
// exchanges with a server.
#ifndef QELVO_CIMHOST_TESTS_SUPPORT_H
#define QELVO_CIMHOST_TESTS_SUPPORT_H

#include <cimxml/cimxml.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "cimom.h"

namespace cimhosttest {

// A CIMOM over the test schema (tests/data) and the test providers.
std::unique_ptr<cimhost::Cimom> MakeCimom();

// Runs a request document through Cimom::execute and reads the answer.
cimxml::Response Execute(cimhost::Cimom &cimom, const std::string &request);

// "test/ns:Test_Widget.Name=\"w1\"" style paths, caller-owned.
cimxml::PathPtr WidgetPath(const std::string &name, const std::string &cls = "Test_Widget",
                           const std::string &ns = "test/ns");

// Text of a property of a decoded instance ("" when absent or null).
std::string Prop(const CMPIInstance *inst, const std::string &name);
std::string KeyOf(const CMPIObjectPath *op, const std::string &key);

// ---- HTTP, byte by byte

extern const char kAuth[];  // "Authorization: Basic ..." for root:simhost, with its CRLF

// A connection to 127.0.0.1:port from the address `from`; -1 when refused.
int Connect(uint16_t port, const char *from = "127.0.0.1");
bool SendAll(int fd, const std::string &data);
// Reads one HTTP response (headers and Content-Length body); "" when the server closed the
// connection first or nothing came within `ms`.
std::string ReadResponse(int fd, int ms = 10000);
int StatusOf(const std::string &response);
// The body of a response.
std::string BodyOf(const std::string &response);
// True once the peer has closed the connection (within ms).
bool ClosedWithin(int fd, int ms);
// A POST of `body` with the CIM headers given.
std::string Post(const std::string &body, const std::string &method = "EnumerateInstanceNames",
                 const std::string &object = "test%2Fns", const std::string &auth = kAuth);
// One request on a fresh connection from `from`.
std::string Exchange(uint16_t port, const std::string &request, int ms = 10000, const char *from = "127.0.0.1");

// EnumerateInstanceNames of Test_Gadget, and a call of method `method` on the widget w1.
std::string EnumGadgets();
std::string WidgetCall(const std::string &method,
                       const std::vector<std::pair<std::string, CMPIData>> &params = {});

}  // namespace cimhosttest

#endif
