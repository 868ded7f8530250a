// The HTTP(S) front: authentication, limits, slow clients, and malformed input thrown at it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <thread>

#include "server.h"
#include "test_support.h"
#include "tls.h"

namespace {

using cimxml::Operation;
using cimxml::RequestWriter;

using cimhosttest::ClosedWithin;
using cimhosttest::Connect;
using cimhosttest::kAuth;
using cimhosttest::Post;
using cimhosttest::ReadResponse;
using cimhosttest::SendAll;
using cimhosttest::StatusOf;

std::string EnumNames() {
  RequestWriter w("1", Operation::EnumerateInstanceNames, "test/ns");
  w.add_class_name("ClassName", "Test_Gadget");
  return w.finish();
}

std::string SleepCall(unsigned ms) {
  cimxml::PathPtr t = cimhosttest::WidgetPath("w1");
  RequestWriter w("2", "Sleep", t.get());
  CMPIValue v;
  v.uint32 = ms;
  w.add_param("Milliseconds", CMPIData{CMPI_uint32, CMPI_goodValue, v});
  return w.finish();
}

class ServerTest : public ::testing::Test {
 protected:
  void Start(cimhost::ServerOptions o = {}) {
    cimom_ = cimhosttest::MakeCimom();
    o.http_port = 0;
    if (o.https_port != -1) {
      o.https_port = 0;
      cimhost::CertificatePem pem = cimhost::make_self_signed("localhost");
      o.cert_pem = pem.cert;
      o.key_pem = pem.key;
    }
    o.accounts = {{"root", "simhost"}};
    server_ = std::make_unique<cimhost::Server>(o, [this](const char *b, size_t n, const cimhost::CimHeaders &h,
                                                          const std::string &p) {
      ++handled_;
      return cimom_->serve(b, n, h, p);
    });
    std::string error;
    ASSERT_TRUE(server_->start(&error)) << error;
    port_ = server_->http_port();
  }
  // Waits (at most 10 s) until the handler has been entered `n` times: a request is then being
  // served, however slowly a loaded machine got it there.
  void WaitForHandled(int n) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (handled_.load() < n && std::chrono::steady_clock::now() < limit)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_GE(handled_.load(), n) << "the request never reached the handler";
  }
  void TearDown() override {
    if (server_) server_->stop(5000);
    if (cimom_) cimom_->shutdown(std::chrono::seconds(1));
  }
  // One request on a fresh connection.
  std::string Exchange(const std::string &request, int ms = 10000) {
    const int fd = Connect(port_);
    EXPECT_GE(fd, 0);
    SendAll(fd, request);
    const std::string r = ReadResponse(fd, ms);
    close(fd);
    return r;
  }

  std::unique_ptr<cimhost::Cimom> cimom_;
  std::unique_ptr<cimhost::Server> server_;
  uint16_t port_ = 0;
  std::atomic<int> handled_{0};
};

TEST_F(ServerTest, AnswersOnAKeptAliveConnection) {
  Start();
  const int fd = Connect(port_);
  ASSERT_GE(fd, 0);
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(SendAll(fd, Post(EnumNames())));
    const std::string r = ReadResponse(fd);
    ASSERT_EQ(StatusOf(r), 200) << r;
    EXPECT_NE(r.find("CIMOperation: MethodResponse"), std::string::npos) << r;
    const cimxml::Response resp = cimxml::parse_response(r.substr(r.find("\r\n\r\n") + 4));
    EXPECT_EQ(resp.paths.size(), 2u);
  }
  close(fd);
}

TEST_F(ServerTest, RefusesBeforeReadingTheBody) {
  cimhost::ServerOptions o;
  o.max_body = 4096;
  Start(o);
  EXPECT_EQ(StatusOf(Exchange(Post(EnumNames(), "EnumerateInstanceNames", "test%2Fns", ""))), 401);
  const std::string wrong = Exchange(Post(EnumNames(), "EnumerateInstanceNames", "test%2Fns",
                                          "Authorization: Basic cm9vdDp3cm9uZw==\r\n"));  // root:wrong
  EXPECT_EQ(StatusOf(wrong), 401);
  EXPECT_NE(wrong.find("WWW-Authenticate: Basic"), std::string::npos);
  EXPECT_EQ(StatusOf(Exchange(Post(EnumNames(), "EnumerateInstanceNames", "test%2Fns",
                                   "Authorization: Basic !!!notbase64\r\n"))),
            401);
  EXPECT_EQ(StatusOf(Exchange("GET /cimom HTTP/1.1\r\nHost: x\r\n\r\n")), 405);
  std::string other = Post(EnumNames());
  other.replace(5, 6, "/other");
  EXPECT_EQ(StatusOf(Exchange(other)), 404);
  EXPECT_EQ(StatusOf(Exchange("POST /cimom HTTP/1.1\r\nHost: x\r\n" + std::string(kAuth) +
                              "Content-Length: 999999999999\r\n\r\n")),
            413);
  // A chunked body that outgrows the limit.
  const std::string chunk(3000, 'a');
  std::string chunked = "POST /cimom HTTP/1.1\r\nHost: x\r\n" + std::string(kAuth) +
                        "Transfer-Encoding: chunked\r\n\r\n";
  for (int i = 0; i < 3; ++i) chunked += "bb8\r\n" + chunk + "\r\n";
  chunked += "0\r\n\r\n";
  EXPECT_EQ(StatusOf(Exchange(chunked)), 413);
  // Headers that disagree with the body.
  const std::string mismatch = Exchange(Post(EnumNames(), "GetClass"));
  EXPECT_EQ(StatusOf(mismatch), 400);
  EXPECT_NE(mismatch.find("CIMError: header-mismatch"), std::string::npos) << mismatch;
  // Still serving.
  EXPECT_EQ(StatusOf(Exchange(Post(EnumNames()))), 200);
}

TEST_F(ServerTest, SurvivesMalformedInput) {
  Start();
  const std::string valid = EnumNames();
  std::mt19937 gen(20240601);
  std::vector<std::string> bodies = {
      "",
      "<",
      "<?xml version=\"1.0\"?>",
      "<CIM>",
      std::string(100000, '<'),
      "<CIM CIMVERSION=\"2.0\" DTDVERSION=\"2.0\"><MESSAGE ID=\"1\" PROTOCOLVERSION=\"1.0\"></MESSAGE></CIM>",
      std::string("<?xml version=\"1.0\"?>\0<CIM/>", 26),
      "<?xml version=\"1.0\"?><!DOCTYPE x SYSTEM \"file:///etc/passwd\"><CIM/>",
      "\xff\xfe\x00<\x00C\x00I\x00M",
      valid.substr(0, valid.size() / 2),
  };
  std::string deep = "<?xml version=\"1.0\"?>";
  for (int i = 0; i < 5000; ++i) deep += "<CIM>";
  bodies.push_back(deep);
  std::string wide = valid;
  wide.insert(wide.find("NAME=\"Test_Gadget\""), std::string(200000, ' ') + "X=\"" + std::string(100000, 'y') + "\" ");
  bodies.push_back(wide);
  // Mutations of a valid request: flipped bytes, cut, duplicated pieces.
  for (int i = 0; i < 300; ++i) {
    std::string b = valid;
    const int kind = static_cast<int>(gen() % 3);
    if (kind == 0) {
      for (int k = 0; k < 1 + static_cast<int>(gen() % 8); ++k) b[gen() % b.size()] = static_cast<char>(gen() & 0xff);
    } else if (kind == 1) {
      b.resize(gen() % b.size());
    } else {
      const size_t at = gen() % b.size(), len = gen() % (b.size() - at);
      b.insert(gen() % b.size(), b.substr(at, len));
    }
    bodies.push_back(b);
  }
  int answered = 0;
  for (const std::string &b : bodies) {
    const std::string r = Exchange(Post(b), 10000);
    const int st = StatusOf(r);
    // A CIM error inside a 200, or an HTTP-level refusal; never silence or a 5xx.
    ASSERT_TRUE(st == 200 || st == 400 || st == 413) << st << " for a body of " << b.size() << " bytes: " << r;
    if (st == 200) {
      EXPECT_TRUE(r.find("<ERROR") != std::string::npos || r.find("<IRETURNVALUE") != std::string::npos) << r;
    }
    ++answered;
  }
  EXPECT_EQ(answered, static_cast<int>(bodies.size()));
  // Not HTTP at all.
  for (const std::string &raw : {std::string("\x16\x03\x01\x00\xa5\x01\x00", 7), std::string("HELLO\r\n\r\n"),
                                std::string(70000, 'A') + "\r\n\r\n"}) {
    const std::string r = Exchange(raw, 5000);
    EXPECT_TRUE(r.empty() || StatusOf(r) >= 400) << r;
  }
  EXPECT_EQ(StatusOf(Exchange(Post(valid))), 200);
}

TEST_F(ServerTest, SilentAndSlowClientsAreDropped) {
  cimhost::ServerOptions o;
  o.idle_timeout = 1;
  o.request_timeout = 2;
  o.io_threads = 1;
  Start(o);
  // Silent after connecting, and silent in the middle of the headers.
  const int silent = Connect(port_);
  const int half = Connect(port_);
  ASSERT_TRUE(SendAll(half, "POST /cimom HTTP/1.1\r\nHost: x\r\n"));
  // Trickling a body one byte at a time, each within the idle timeout.
  const int slow = Connect(port_);
  const std::string body = EnumNames();
  const std::string req = Post(body);
  ASSERT_TRUE(SendAll(slow, req.substr(0, req.size() - body.size())));
  std::atomic<bool> stop{false};
  std::thread trickle([&] {
    for (size_t i = 0; i < body.size() && !stop; ++i) {
      if (!SendAll(slow, body.substr(i, 1))) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
  });
  // Others are served meanwhile, quickly.
  for (int i = 0; i < 5; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(StatusOf(Exchange(Post(EnumNames()))), 200);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1000));
  }
  EXPECT_TRUE(ClosedWithin(silent, 4000));
  EXPECT_TRUE(ClosedWithin(half, 4000));
  EXPECT_TRUE(ClosedWithin(slow, 6000));
  stop = true;
  trickle.join();
  close(silent);
  close(half);
  close(slow);
}

TEST_F(ServerTest, BusyWorkersAnswer503) {
  cimhost::ServerOptions o;
  o.workers = 1;
  o.queue_limit = 0;
  Start(o);
  std::string first;
  std::thread t([&] { first = Exchange(Post(SleepCall(1500), "Sleep", "test%2Fns%3ATest_Widget.Name%3D%22w1%22")); });
  WaitForHandled(1);
  const auto t0 = std::chrono::steady_clock::now();
  const std::string second = Exchange(Post(EnumNames()));
  EXPECT_EQ(StatusOf(second), 503) << second;
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1000));
  t.join();
  EXPECT_EQ(StatusOf(first), 200) << first;
  EXPECT_EQ(StatusOf(Exchange(Post(EnumNames()))), 200);
}

TEST_F(ServerTest, StopWaitsForRunningRequests) {
  Start();
  std::string answer;
  std::thread t([&] { answer = Exchange(Post(SleepCall(500), "Sleep", "test%2Fns%3ATest_Widget.Name%3D%22w1%22")); });
  WaitForHandled(1);
  server_->stop(5000);
  t.join();
  EXPECT_EQ(StatusOf(answer), 200) << answer;
  EXPECT_LT(Connect(port_), 0);  // no longer listening
}

TEST_F(ServerTest, HttpsWithTheSelfSignedCertificate) {
  cimhost::ServerOptions o;
  o.https_port = 0;
  Start(o);
  const uint16_t tls_port = server_->https_port();
  ASSERT_NE(tls_port, 0);
  SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
  ASSERT_NE(ctx, nullptr);
  const int fd = Connect(tls_port);
  ASSERT_GE(fd, 0);
  SSL *ssl = SSL_new(ctx);
  SSL_set_fd(ssl, fd);
  ASSERT_EQ(SSL_connect(ssl), 1);
  const std::string req = Post(EnumNames());
  ASSERT_EQ(SSL_write(ssl, req.data(), static_cast<int>(req.size())), static_cast<int>(req.size()));
  std::string got;
  char buf[4096];
  int n;
  while (got.find("</CIM>") == std::string::npos && (n = SSL_read(ssl, buf, sizeof buf)) > 0)
    got.append(buf, static_cast<size_t>(n));
  EXPECT_EQ(StatusOf(got), 200) << got;
  EXPECT_NE(got.find("Test_Gadget"), std::string::npos);
  X509 *peer = SSL_get1_peer_certificate(ssl);
  ASSERT_NE(peer, nullptr);
  X509_free(peer);
  SSL_free(ssl);
  close(fd);
  SSL_CTX_free(ctx);
  // Plain HTTP on the HTTPS port is not answered as HTTP, and does not hang the server.
  const int plain = Connect(tls_port);
  SendAll(plain, Post(EnumNames()));
  EXPECT_TRUE(ClosedWithin(plain, 5000));
  close(plain);
  EXPECT_EQ(StatusOf(Exchange(Post(EnumNames()))), 200);
}

TEST(Base64, DecodesAndRefuses) {
  std::string out;
  EXPECT_TRUE(cimhost::base64_decode("cm9vdDpzaW1ob3N0", &out));
  EXPECT_EQ(out, "root:simhost");
  EXPECT_TRUE(cimhost::base64_decode("YQ==", &out));
  EXPECT_EQ(out, "a");
  EXPECT_FALSE(cimhost::base64_decode("cm9v!", &out));
  EXPECT_FALSE(cimhost::base64_decode("YQ==YQ", &out));
}

}  // namespace
