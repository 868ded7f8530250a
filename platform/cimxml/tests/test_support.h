/* Shared helpers of the cimxml tests. */
#ifndef QELVO_CIMXML_TEST_SUPPORT_H
#define QELVO_CIMXML_TEST_SUPPORT_H

#include <cimxml/cimxml.h>

#include <cmpi_native.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace cimxml_test {

/* Reads a file of tests/data. */
std::string data_file(const std::string &name);

/* Checks that a test leaves no native object behind. */
class LeakChecked : public ::testing::Test {
 protected:
  void SetUp() override { live_at_start_ = cmpinative::live_objects(); }
  void TearDown() override {
    EXPECT_EQ(cmpinative::live_objects(), live_at_start_) << "native objects leaked by this test";
  }

 private:
  long live_at_start_ = 0;
};

/* Small constructors for native values (caller-owned through Value). */
cimxml::Value str(const std::string &s);
cimxml::Value u16(unsigned v);
cimxml::Value u32(unsigned v);
cimxml::Value s64(long long v);
cimxml::Value boolean(bool b);
cimxml::Value datetime(const std::string &text);
cimxml::Value ref_value(const cimxml::PathPtr &p);
cimxml::Value string_array(const std::vector<std::string> &items);
cimxml::Value u16_array(const std::vector<unsigned> &items);

/* A path from its text form (see cimxml::path_from_text). */
cimxml::PathPtr path(const std::string &text);
/* The text of a CMPIData as cmpinative::data_to_string gives it. */
std::string text(const CMPIData &d);
/* A property of an instance / a key of a path as text ("" when absent). */
std::string prop(const CMPIInstance *inst, const char *name);
CMPIData prop_data(const CMPIInstance *inst, const char *name);
CMPIData key_data(const CMPIObjectPath *op, const char *name);
std::string class_of(const CMPIObjectPath *op);
std::string namespace_of(const CMPIObjectPath *op);
std::string host_of(const CMPIObjectPath *op);

/* Deep comparison of two values (types, states, contents), with a reason. */
::testing::AssertionResult same_data(const CMPIData &a, const CMPIData &b);
::testing::AssertionResult same_instance(const CMPIInstance *a, const CMPIInstance *b);
::testing::AssertionResult same_path(const CMPIObjectPath *a, const CMPIObjectPath *b);

/* An HTTP listener on 127.0.0.1 that answers each POST with what `handler`
 * returns for the request's body and its CIMMethod header. Connections are
 * served one at a time, with keep-alive. */
class FakeCimom {
 public:
  struct Exchange {
    std::string headers;
    std::string body;
  };
  using Handler = std::function<std::string(const Exchange &)>;

  explicit FakeCimom(Handler handler);
  ~FakeCimom();
  int port() const { return port_; }
  std::string url(const std::string &ns = "root/cimv2") const;
  const std::vector<Exchange> &exchanges() const { return exchanges_; }

 private:
  void serve();
  Handler handler_;
  int listen_fd_ = -1;
  int port_ = 0;
  std::thread thread_;
  std::vector<Exchange> exchanges_;
  bool stop_ = false;
};

/* Runs a command with /bin/sh, returns its standard output and error
 * together; *status receives the exit status. */
std::string run_command(const std::string &cmd, int *status);

bool have_wbemcli();

}  // namespace cimxml_test

#endif
