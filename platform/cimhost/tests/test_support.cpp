// Shared helpers of the CIMOM's unit tests.
#include "test_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmpi_native.h>

#include <chrono>

namespace cimhosttest {

const char kAuth[] = "Authorization: Basic cm9vdDpzaW1ob3N0\r\n";  // root:simhost

int Connect(uint16_t port, const char *from) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in src{};
  src.sin_family = AF_INET;
  inet_pton(AF_INET, from, &src.sin_addr);
  if (bind(fd, reinterpret_cast<sockaddr *>(&src), sizeof src) != 0) {
    close(fd);
    return -1;
  }
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool SendAll(int fd, const std::string &data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string ReadResponse(int fd, int ms) {
  std::string buf;
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    const size_t end = buf.find("\r\n\r\n");
    if (end != std::string::npos) {
      size_t len = 0;
      const size_t cl = buf.find("Content-Length: ");
      if (cl != std::string::npos && cl < end) len = std::stoul(buf.substr(cl + 16));
      if (buf.size() >= end + 4 + len) return buf.substr(0, end + 4 + len);
    }
    const int left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count());
    if (left <= 0) return "";
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, left) <= 0) return "";
    char chunk[8192];
    const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return "";
    buf.append(chunk, static_cast<size_t>(n));
  }
}

int StatusOf(const std::string &response) {
  return response.size() > 12 ? std::atoi(response.c_str() + 9) : -1;
}

bool ClosedWithin(int fd, int ms) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  char c[4096];
  while (std::chrono::steady_clock::now() < until) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) == 1) {
      const ssize_t n = recv(fd, c, sizeof c, 0);
      if (n <= 0) return true;
    }
  }
  return false;
}

std::string Post(const std::string &body, const std::string &method, const std::string &object,
                 const std::string &auth) {
  return "POST /cimom HTTP/1.1\r\nHost: 127.0.0.1\r\n" + auth +
         "Content-Type: application/xml; charset=\"utf-8\"\r\nCIMProtocolVersion: 1.0\r\n"
         "CIMOperation: MethodCall\r\nCIMMethod: " +
         method + "\r\nCIMObject: " + object + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
         body;
}


std::string BodyOf(const std::string &response) {
  const size_t at = response.find("\r\n\r\n");
  return at == std::string::npos ? "" : response.substr(at + 4);
}

std::string Exchange(uint16_t port, const std::string &request, int ms, const char *from) {
  const int fd = Connect(port, from);
  if (fd < 0) return "";
  SendAll(fd, request);
  const std::string r = ReadResponse(fd, ms);
  close(fd);
  return r;
}

std::string EnumGadgets() {
  cimxml::RequestWriter w("1", cimxml::Operation::EnumerateInstanceNames, "test/ns");
  w.add_class_name("ClassName", "Test_Gadget");
  return Post(w.finish());
}

std::string WidgetCall(const std::string &method, const std::vector<std::pair<std::string, CMPIData>> &params) {
  cimxml::PathPtr t = WidgetPath("w1");
  cimxml::RequestWriter w("2", method, t.get());
  for (const auto &[name, d] : params) w.add_param(name, d);
  return Post(w.finish(), method, "test%2Fns%3ATest_Widget.Name%3D%22w1%22");
}

std::unique_ptr<cimhost::Cimom> MakeCimom() {
  cimhost::RepositoryBuilder b;
  b.add_schema_dir(CIMHOST_TEST_DATA);
  return std::make_unique<cimhost::Cimom>(b.build(), std::vector<std::string>{CIMHOST_TEST_PROVIDERS});
}

cimxml::Response Execute(cimhost::Cimom &cimom, const std::string &request) {
  cimxml::Request req = cimxml::parse_request(request);
  return cimxml::parse_response(cimom.execute(req, "root"));
}

cimxml::PathPtr WidgetPath(const std::string &name, const std::string &cls, const std::string &ns) {
  cimxml::PathPtr p(newCMPIObjectPath(ns.c_str(), cls.c_str(), nullptr));
  CMPIValue v;
  v.string = native_new_CMPIString(name.c_str(), nullptr);
  p->ft->addKey(p.get(), "Name", &v, CMPI_string);
  v.string->ft->release(v.string);
  return p;
}

std::string Prop(const CMPIInstance *inst, const std::string &name) {
  cmpinative::RequestScope scope;
  CMPIStatus st = {CMPI_RC_OK, nullptr};
  const CMPIData d = inst->ft->getProperty(inst, name.c_str(), &st);
  if (st.rc != CMPI_RC_OK || (d.state & CMPI_nullValue)) return "";
  return cmpinative::data_to_string(d);
}

std::string KeyOf(const CMPIObjectPath *op, const std::string &key) {
  cmpinative::RequestScope scope;
  CMPIStatus st = {CMPI_RC_OK, nullptr};
  const CMPIData d = op->ft->getKey(op, key.c_str(), &st);
  if (st.rc != CMPI_RC_OK || (d.state & CMPI_nullValue)) return "";
  return cmpinative::data_to_string(d);
}

}  // namespace cimhosttest
