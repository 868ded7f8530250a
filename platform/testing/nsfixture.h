// Runs a GoogleTest test body where the product's fixed paths are private.
//
// Product code writes to /tmp, /var/tmp, /etc/vmware, /etc/cim and loads from /lib/cim, and no
// option redirects it. nsfixture::Run forks the body into a private mount namespace and PID
// namespace in which those paths are fresh tmpfs mounts (or a bound directory for /lib/cim), so a
// test exercises the real paths without touching the machine:
//
//   TEST(Store, WritesItsFile) {
//     nsfixture::Options opts;
//     opts.lib_cim = QELVO_PROVIDER_DIR;
//     nsfixture::Run([] {
//       ASSERT_EQ(0, write_the_store());
//       EXPECT_EQ(0, access("/etc/vmware/store.db", F_OK));
//     }, opts);
//   }
//
// Inside the body:
//   /tmp, /var/tmp, /dev/shm  empty tmpfs (mode 1777)
//   /etc                      overlay over the machine's /etc; writes stay in memory
//   /etc/vmware, /etc/cim     empty tmpfs (mode 0755)
//   /lib (/usr/lib)           overlay over the machine's directory; writes stay in memory
//   /lib/cim                  Options::lib_cim bound read-only, or an empty tmpfs
//   /proc                     the body's own PID namespace; the body is not PID 1
// Everything else is the machine's file system, shared: the body must not write there. The
// working directory is inherited, so relative paths refer to the machine's files too.
//
// EXPECT_/ASSERT_/ADD_FAILURE/GTEST_SKIP results produced in the body (in any of its threads)
// are relayed to the calling test with their file, line and message. A fatal failure in the body
// ends the body function only, as it would in-process; it becomes a fatal failure of the calling
// test, so `ASSERT_NO_FATAL_FAILURE(nsfixture::Run(...))` stops the caller too. HasFailure() and
// HasFatalFailure() called inside the body do not see the body's own failures (use
// ASSERT_NO_FATAL_FAILURE, which does).
//
// A body that crashes, calls exit(), throws, or runs past Options::timeout_seconds is a fatal
// failure reported at the Run call. Run returns only once every process the body started is gone
// and the namespaces with their mounts have vanished.
#ifndef QELVO_PLATFORM_TESTING_NSFIXTURE_H
#define QELVO_PLATFORM_TESTING_NSFIXTURE_H

#include <functional>
#include <string>
#include <vector>

namespace nsfixture {

// A host path made visible inside the body. `source` is opened before any mount is made, so it
// may lie under the machine's /tmp. Missing parents of `target` are created only inside the
// private mounts (/tmp, /var/tmp, /dev/shm, /etc, /lib); a target elsewhere must already exist.
struct Bind {
  std::string source;
  std::string target;
  bool read_only = false;
};

struct Options {
  // Host directory bound read-only at /lib/cim (typically QELVO_PROVIDER_DIR); empty means an
  // empty tmpfs at /lib/cim.
  std::string lib_cim;
  // Further binds, made after the private mounts, in order.
  std::vector<Bind> binds;
  // The body's processes are killed and the test fails once this many seconds have passed.
  int timeout_seconds = 120;
};

// Runs body as described above. `file` and `line` default to the caller's location, where
// failures of the body process as a whole are reported.
void Run(const std::function<void()>& body, const Options& opts = {},
         const char* file = __builtin_FILE(), int line = __builtin_LINE());

}  // namespace nsfixture

#endif  // QELVO_PLATFORM_TESTING_NSFIXTURE_H
