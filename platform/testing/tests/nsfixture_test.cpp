#include "nsfixture.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define NSFIXTURE_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define NSFIXTURE_TEST_ASAN 1
#endif
#endif

namespace {

using ::testing::TestPartResult;
using ::testing::TestPartResultArray;
using Spy = ::testing::ScopedFakeTestPartResultReporter;

const char* const kAbsentOnMachine[] = {"/lib/cim", "/etc/vmware", "/etc/cim"};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary);
  out << content;
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> ListDir(const std::string& path) {
  std::vector<std::string> names;
  DIR* d = opendir(path.c_str());
  if (!d) return {"<cannot open " + path + ">"};
  while (struct dirent* e = readdir(d)) {
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

// Failures and skips recorded by a spy (successes are not interesting here).
std::vector<TestPartResult> NonSuccesses(const TestPartResultArray& results) {
  std::vector<TestPartResult> out;
  for (int i = 0; i < results.size(); ++i) {
    if (results.GetTestPartResult(i).type() != TestPartResult::kSuccess) {
      out.push_back(results.GetTestPartResult(i));
    }
  }
  return out;
}

bool Contains(const char* text, const std::string& part) {
  return text && std::string(text).find(part) != std::string::npos;
}

// Every test checks that the machine is as it was: no new mounts in this process's namespace and
// none of the fixed directories created on the real disk.
class NsFixtureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mountinfo_ = ReadFile("/proc/self/mountinfo");
    for (const char* path : kAbsentOnMachine) ASSERT_FALSE(Exists(path)) << path << " exists on the machine";
  }

  void TearDown() override {
    EXPECT_EQ(mountinfo_, ReadFile("/proc/self/mountinfo"));
    for (const char* path : kAbsentOnMachine) EXPECT_FALSE(Exists(path)) << path << " was left on the machine";
  }

  // A directory under the test's build directory, removed again by the test.
  static std::string MakeTempDir(const std::string& base) {
    std::string templ = base + "/nsfixture-XXXXXX";
    if (!mkdtemp(templ.data())) throw std::runtime_error("mkdtemp " + templ);
    return templ;
  }

  static void RemoveTree(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
      for (const std::string& name : ListDir(path)) RemoveTree(path + "/" + name);
      rmdir(path.c_str());
    } else {
      unlink(path.c_str());
    }
  }

 private:
  std::string mountinfo_;
};

// What a fresh private `dir` may hold: the first component of the checkout or build tree when
// the tree lies below `dir` (the fixture keeps those visible).
std::set<std::string> KeptTreeEntries(const std::string& dir) {
  std::set<std::string> kept;
  for (const char* path : {__FILE__, QELVO_TEST_BINARY_DIR}) {
    char real[PATH_MAX];
    if (realpath(path, real) == nullptr) continue;
    const std::string p = real;
    if (p.compare(0, dir.size() + 1, dir + "/") == 0) {
      kept.insert(p.substr(dir.size() + 1, p.find('/', dir.size() + 1) - dir.size() - 1));
    }
  }
  return kept;
}

TEST_F(NsFixtureTest, FixedPathsAreFreshPrivateFileSystems) {
  const std::string tag = "nsfixture-" + std::to_string(getpid());
  const std::vector<std::string> tmpfs_dirs = {"/tmp", "/var/tmp", "/dev/shm", "/etc/vmware", "/etc/cim", "/lib/cim"};
  const std::vector<std::string> overlay_dirs = {"/etc", "/lib"};

  nsfixture::Run([&] {
    for (const std::string& dir : tmpfs_dirs) {
      struct statfs fs;
      ASSERT_EQ(0, statfs(dir.c_str(), &fs)) << dir;
      EXPECT_EQ(static_cast<long>(TMPFS_MAGIC), static_cast<long>(fs.f_type)) << dir;
      const std::vector<std::string> entries = ListDir(dir);
      const std::set<std::string> kept = KeptTreeEntries(dir);
      EXPECT_EQ(kept, std::set<std::string>(entries.begin(), entries.end())) << dir << " is not fresh";
      WriteFile(dir + "/" + tag, "private " + dir);
      EXPECT_EQ("private " + dir, ReadFile(dir + "/" + tag)) << dir;
    }
    for (const std::string& dir : overlay_dirs) {
      WriteFile(dir + "/" + tag, "private " + dir);
      EXPECT_EQ("private " + dir, ReadFile(dir + "/" + tag)) << dir;
    }
    // The test's own source and build trees stay where they are, wherever they lie.
    EXPECT_EQ(0, access(__FILE__, R_OK));
    EXPECT_EQ(0, access(QELVO_TEST_BINARY_DIR, R_OK));
    // The machine's files stay visible under the overlays.
    EXPECT_NE(std::string::npos, ReadFile("/etc/passwd").find("root:"));
    EXPECT_EQ(0, access("/bin/sh", X_OK));
    EXPECT_EQ(0, system("/bin/sh -c 'exit 0'"));
  });

  for (const std::string& dir : tmpfs_dirs) EXPECT_FALSE(Exists(dir + "/" + tag)) << dir;
  for (const std::string& dir : overlay_dirs) EXPECT_FALSE(Exists(dir + "/" + tag)) << dir;
}

TEST_F(NsFixtureTest, BodyRunsInItsOwnPidNamespace) {
  nsfixture::Run([] {
    EXPECT_EQ(1, getppid()) << "the body's parent is the namespace's init process";
    char self[64] = {};
    ASSERT_GT(readlink("/proc/self", self, sizeof self - 1), 0);
    EXPECT_EQ(std::to_string(getpid()), self) << "/proc belongs to another PID namespace";
  });
}

TEST_F(NsFixtureTest, LibCimShowsTheBoundDirectoryReadOnly) {
  const std::string dir = MakeTempDir(QELVO_TEST_BINARY_DIR);
  WriteFile(dir + "/libsample.so", "not really a library");
  nsfixture::Options opts;
  opts.lib_cim = dir;

  nsfixture::Run([] {
    EXPECT_EQ(std::vector<std::string>{"libsample.so"}, ListDir("/lib/cim"));
    EXPECT_EQ("not really a library", ReadFile("/usr/lib/cim/libsample.so"));
    EXPECT_EQ(-1, open("/lib/cim/new", O_CREAT | O_WRONLY, 0644));
    EXPECT_EQ(EROFS, errno);
  }, opts);

  EXPECT_EQ(std::vector<std::string>{"libsample.so"}, ListDir(dir));
  RemoveTree(dir);
}

TEST_F(NsFixtureTest, ExtraBindsAppearAtTheirTargets) {
  // The sources live in the machine's /tmp, which the body's own /tmp covers.
  const std::string src_dir = MakeTempDir("/tmp");
  const std::string src_file = src_dir + "-file";
  WriteFile(src_dir + "/seen", "from the machine");
  WriteFile(src_file, "a file");
  nsfixture::Options opts;
  opts.binds = {{src_dir, "/etc/vmware/conf/sub", false}, {src_file, "/var/tmp/deep/file.txt", true}};

  nsfixture::Run([] {
    EXPECT_EQ("from the machine", ReadFile("/etc/vmware/conf/sub/seen"));
    WriteFile("/etc/vmware/conf/sub/written", "from the body");
    EXPECT_EQ("a file", ReadFile("/var/tmp/deep/file.txt"));
    EXPECT_EQ(-1, open("/var/tmp/deep/file.txt", O_WRONLY));
    EXPECT_EQ(EROFS, errno);
  }, opts);

  EXPECT_EQ("from the body", ReadFile(src_dir + "/written")) << "the writable bind is not the source directory";
  EXPECT_EQ("a file", ReadFile(src_file));
  RemoveTree(src_dir);
  RemoveTree(src_file);
}

// Mounts inside /etc (as a container runtime makes for /etc/hostname) stay visible under the
// overlay. The test builds such a machine in a forked process with its own mount namespace and
// runs the fixture there; the process's exit status is the number of failures it saw.
TEST_F(NsFixtureTest, MountsBelowTheOverlaidDirectoriesAreKept) {
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/etc/ssl", "tmpfs", 0, "mode=0755") != 0) {
      _exit(100);
    }
    WriteFile("/etc/ssl/marker", "kept directory");
    WriteFile("/etc/ssl/hostname", "kept file");
    if (mount("/etc/ssl/hostname", "/etc/hostname", nullptr, MS_BIND, nullptr) != 0) _exit(101);
    TestPartResultArray results;
    {
      Spy spy(Spy::INTERCEPT_ALL_THREADS, &results);
      nsfixture::Run([] {
        EXPECT_EQ("kept directory", ReadFile("/etc/ssl/marker"));
        EXPECT_EQ("kept file", ReadFile("/etc/hostname"));
        WriteFile("/etc/ssl/from-body", "x");
      });
    }
    int failed = 0;
    for (int i = 0; i < results.size(); ++i) {
      if (results.GetTestPartResult(i).failed()) {
        fprintf(stderr, "%s\n", results.GetTestPartResult(i).message());
        ++failed;
      }
    }
    if (ReadFile("/etc/ssl/from-body") != "x") ++failed;  // the kept mount is the same one
    _exit(failed);
  }
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(0, WEXITSTATUS(status)) << "100 and 101: could not prepare the mounts; otherwise failures";
}

TEST_F(NsFixtureTest, BadBindsFailWithoutTouchingTheMachine) {
  const std::string outside = "/usr/share/nsfixture-" + std::to_string(getpid());
  struct Case {
    nsfixture::Bind bind;
    std::string message;
  };
  const Case cases[] = {
      {{"/etc/hostname", outside + "/hostname", false}, "is not a private mount"},
      {{"/nonexistent/nsfixture-source", "/tmp/x", false}, "open /nonexistent/nsfixture-source"},
  };
  for (const Case& c : cases) {
    nsfixture::Options opts;
    opts.binds = {c.bind};
    TestPartResultArray results;
    {
      Spy spy(Spy::INTERCEPT_ONLY_CURRENT_THREAD, &results);
      nsfixture::Run([] { ADD_FAILURE() << "the body ran"; }, opts);
    }
    const std::vector<TestPartResult> failures = NonSuccesses(results);
    ASSERT_EQ(1u, failures.size()) << c.message;
    EXPECT_TRUE(failures[0].fatally_failed());
    EXPECT_TRUE(Contains(failures[0].message(), "could not set up the private namespace")) << failures[0].message();
    EXPECT_TRUE(Contains(failures[0].message(), c.message)) << failures[0].message();
  }
  EXPECT_FALSE(Exists(outside));
}

TEST_F(NsFixtureTest, BodyResultsReachTheCallingTestWithTheirLocation) {
  TestPartResultArray results;
  const int first_line = __LINE__ + 4;
  {
    Spy spy(Spy::INTERCEPT_ONLY_CURRENT_THREAD, &results);
    nsfixture::Run([] {
      EXPECT_EQ(1, 2) << "nonfatal in the body";
      std::thread([] { ADD_FAILURE_AT("elsewhere.cc", 77) << "from a thread"; }).join();
      ASSERT_TRUE(false) << "fatal in the body";
      ADD_FAILURE() << "after the fatal failure";
    });
  }
  const std::vector<TestPartResult> failures = NonSuccesses(results);
  ASSERT_EQ(3u, failures.size());

  EXPECT_EQ(TestPartResult::kNonFatalFailure, failures[0].type());
  EXPECT_STREQ(__FILE__, failures[0].file_name());
  EXPECT_EQ(first_line, failures[0].line_number());
  EXPECT_TRUE(Contains(failures[0].message(), "nonfatal in the body")) << failures[0].message();

  EXPECT_EQ(TestPartResult::kNonFatalFailure, failures[1].type());
  EXPECT_STREQ("elsewhere.cc", failures[1].file_name());
  EXPECT_EQ(77, failures[1].line_number());
  EXPECT_TRUE(Contains(failures[1].message(), "from a thread")) << failures[1].message();

  EXPECT_EQ(TestPartResult::kFatalFailure, failures[2].type());
  EXPECT_STREQ(__FILE__, failures[2].file_name());
  EXPECT_EQ(first_line + 2, failures[2].line_number());
  EXPECT_TRUE(Contains(failures[2].message(), "fatal in the body")) << failures[2].message();
}

TEST_F(NsFixtureTest, PassingAndSkippedBodiesAreNotFailures) {
  TestPartResultArray results;
  {
    Spy spy(Spy::INTERCEPT_ONLY_CURRENT_THREAD, &results);
    nsfixture::Run([] {
      EXPECT_EQ(2, 1 + 1);
      printf("output of a passing body\n");
    });
  }
  EXPECT_TRUE(NonSuccesses(results).empty());

  TestPartResultArray skipped;
  {
    Spy spy(Spy::INTERCEPT_ONLY_CURRENT_THREAD, &skipped);
    nsfixture::Run([] { GTEST_SKIP() << "not here"; });
  }
  const std::vector<TestPartResult> parts = NonSuccesses(skipped);
  ASSERT_EQ(1u, parts.size());
  EXPECT_TRUE(parts[0].skipped());
}

// Runs body under a spy and checks it produced exactly one fatal failure, at the Run call,
// mentioning `expected`.
void ExpectBodyFailure(const std::function<void()>& body, const std::string& expected,
                       int timeout_seconds = 120) {
  nsfixture::Options opts;
  opts.timeout_seconds = timeout_seconds;
  TestPartResultArray results;
  const int run_line = __LINE__ + 3;
  {
    Spy spy(Spy::INTERCEPT_ONLY_CURRENT_THREAD, &results);
    nsfixture::Run(body, opts);
  }
  const std::vector<TestPartResult> failures = NonSuccesses(results);
  ASSERT_EQ(1u, failures.size()) << "expected one failure mentioning: " << expected;
  EXPECT_EQ(TestPartResult::kFatalFailure, failures[0].type());
  EXPECT_STREQ(__FILE__, failures[0].file_name());
  EXPECT_EQ(run_line, failures[0].line_number());
  EXPECT_TRUE(Contains(failures[0].message(), expected)) << failures[0].message();
}

TEST_F(NsFixtureTest, AbnormalEndsOfTheBodyAreFailures) {
#ifdef NSFIXTURE_TEST_ASAN
  const std::string segv = "test body process exited with status 1";  // the sanitizer's handler
#else
  const std::string segv = "test body process was killed by signal 11";
#endif
  {
    SCOPED_TRACE("SIGSEGV");
    ExpectBodyFailure([] { raise(SIGSEGV); }, segv);
  }
  {
    SCOPED_TRACE("abort");
    ExpectBodyFailure([] { abort(); }, "test body process was killed by signal 6");
  }
  {
    SCOPED_TRACE("_exit(3)");
    ExpectBodyFailure([] { _exit(3); }, "test body process exited with status 3");
  }
  {
    SCOPED_TRACE("_exit(0)");
    ExpectBodyFailure([] { _exit(0); }, "test body process exited before the body returned");
  }
  {
    SCOPED_TRACE("exception");
    ExpectBodyFailure([] { throw std::runtime_error("boom in the body"); }, "boom in the body");
  }
}

// Starts `sleep` in the background holding fd, ignoring SIGTERM and SIGHUP, in a new session when
// detach is set, and checks that it is running with the descriptor.
void StartHolder(int fd, bool detach) {
  int pid_pipe[2];
  ASSERT_EQ(0, pipe(pid_pipe));
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (detach) {
      setsid();
      if (fork() != 0) _exit(0);  // the holder is orphaned
    }
    const pid_t self = getpid();
    (void)!write(pid_pipe[1], &self, sizeof self);
    fcntl(fd, F_SETFD, 0);
    const int null_fd = open("/dev/null", O_RDWR);
    dup2(null_fd, 1);
    dup2(null_fd, 2);
    signal(SIGTERM, SIG_IGN);
    signal(SIGHUP, SIG_IGN);
    // Long enough to outlive Run, short enough not to linger if the fixture is broken.
    execl("/bin/sleep", "sleep", "30", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(pid_pipe[1]);
  pid_t holder = 0;
  ASSERT_EQ(static_cast<ssize_t>(sizeof holder), read(pid_pipe[0], &holder, sizeof holder));
  close(pid_pipe[0]);
  if (detach) waitpid(child, nullptr, 0);

  const std::string proc = "/proc/" + std::to_string(holder);
  bool running = false;
  for (int i = 0; i < 500 && !running; ++i) {
    running = ReadFile(proc + "/comm") == "sleep\n" && Exists(proc + "/fd/" + std::to_string(fd));
    if (!running) usleep(10000);
  }
  ASSERT_TRUE(running) << "holder " << holder << " did not start";
}

// True when nobody holds the write end of the pipe any more.
bool WriteEndClosed(int read_fd) {
  struct pollfd pfd = {read_fd, POLLIN, 0};
  char c;
  return poll(&pfd, 1, 0) == 1 && read(read_fd, &c, 1) == 0;
}

TEST_F(NsFixtureTest, ProcessesStartedByTheBodyDieWithIt) {
  int holder_pipe[2];
  ASSERT_EQ(0, pipe2(holder_pipe, O_CLOEXEC));
  const int write_fd = holder_pipe[1];

  nsfixture::Run([write_fd] {
    ASSERT_NO_FATAL_FAILURE(StartHolder(write_fd, false));
    ASSERT_NO_FATAL_FAILURE(StartHolder(write_fd, true));
  });

  close(holder_pipe[1]);
  EXPECT_TRUE(WriteEndClosed(holder_pipe[0])) << "a process started by the body outlived Run";
  close(holder_pipe[0]);
}

TEST_F(NsFixtureTest, TimedOutBodyIsKilledWithEverythingItStarted) {
  int holder_pipe[2];
  ASSERT_EQ(0, pipe2(holder_pipe, O_CLOEXEC));
  const int write_fd = holder_pipe[1];

  const auto start = std::chrono::steady_clock::now();
  ExpectBodyFailure(
      [write_fd] {
        ASSERT_NO_FATAL_FAILURE(StartHolder(write_fd, true));
        signal(SIGTERM, SIG_IGN);
        sleep(60);
      },
      "test body did not finish within 1 s", 1);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count(), 10000);

  close(holder_pipe[1]);
  EXPECT_TRUE(WriteEndClosed(holder_pipe[0])) << "a process started by the body outlived Run";
  close(holder_pipe[0]);
}

}  // namespace
