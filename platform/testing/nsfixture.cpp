// Process layout of one nsfixture::Run:
//
//   test process ── setup process ── init process (PID 1) ── body process (PID 2) ── ...
//                   new mount ns      new PID ns
//
// The setup process unshares the mount and PID namespaces, makes the mounts and forks the init
// process, the first process of the new PID namespace. Init mounts /proc for that namespace, forks
// the body process and reaps everything until the body process is gone; when init exits the kernel
// kills whatever is left in the namespace, and the setup process's wait for init returns only once
// all of it has been reaped. The mount namespace vanishes with its last process, the setup
// process. The body does not run as PID 1 because PID 1 ignores signals it has no handler for
// (raise(SIGSEGV), abort()), which would change the behaviour under test.
//
// Everything below the test process writes records to one pipe, which the test process reads
// until end of file. Every process below it holds the write end, so end of file means all of them
// are gone (exec'd programs do not hold it: the pipe is close-on-exec).
//
// Adding /etc/vmware, /etc/cim and /lib/cim must not create anything on the machine's disk, and
// the mount namespace does not protect the disk. So the setup process first mounts a scratch tmpfs
// on /tmp (which exists everywhere and is covered by the body's own tmpfs right after), lays
// overlays over /etc and the directory behind /lib with their upper and work directories on the
// scratch tmpfs, and then detaches the scratch mount: the overlays keep their own references to
// it, so it stays usable to them, invisible to the body and gone with the namespace. New
// directories are then made in the overlays only.

#include "nsfixture.h"

#include <fcntl.h>
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <mutex>
#include <set>
#include <sstream>
#include <stdexcept>

namespace nsfixture {
namespace {

// ---------------------------------------------------------------------------------------------
// Records sent up the report pipe.

enum class Kind : uint8_t {
  kPart = 1,        // a = TestPartResult::Type, b = line, s1 = file, s2 = message
  kDone = 2,        // the body function returned (or threw, already reported)
  kSetupError = 3,  // s1 = what could not be set up
  kBodyStatus = 4,  // a = wait status of the body process (sent by init)
  kInitStatus = 5,  // a = wait status of init (sent by the setup process)
};

constexpr size_t kHeaderSize = 1 + 4 + 4 + 4 + 4;

int g_report_fd = -1;
std::mutex g_report_mutex;

void PutU32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

uint32_t GetU32(const char* p) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(static_cast<unsigned char>(p[i])) << (8 * i);
  return v;
}

void Send(Kind kind, int32_t a = 0, int32_t b = 0, const std::string& s1 = {},
          const std::string& s2 = {}) {
  std::string rec;
  rec.reserve(kHeaderSize + s1.size() + s2.size());
  rec.push_back(static_cast<char>(kind));
  PutU32(rec, static_cast<uint32_t>(a));
  PutU32(rec, static_cast<uint32_t>(b));
  PutU32(rec, static_cast<uint32_t>(s1.size()));
  PutU32(rec, static_cast<uint32_t>(s2.size()));
  rec += s1;
  rec += s2;
  std::lock_guard<std::mutex> lock(g_report_mutex);
  const char* p = rec.data();
  size_t left = rec.size();
  while (left > 0) {
    ssize_t n = write(g_report_fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // the test process is gone; nobody is listening
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
}

struct Record {
  Kind kind;
  int32_t a;
  int32_t b;
  std::string s1;
  std::string s2;
};

// Takes one complete record off the front of buf, if there is one.
bool TakeRecord(std::string& buf, Record& rec) {
  if (buf.size() < kHeaderSize) return false;
  const uint32_t len1 = GetU32(buf.data() + 9);
  const uint32_t len2 = GetU32(buf.data() + 13);
  const size_t total = kHeaderSize + size_t{len1} + size_t{len2};
  if (buf.size() < total) return false;
  rec.kind = static_cast<Kind>(buf[0]);
  rec.a = static_cast<int32_t>(GetU32(buf.data() + 1));
  rec.b = static_cast<int32_t>(GetU32(buf.data() + 5));
  rec.s1.assign(buf, kHeaderSize, len1);
  rec.s2.assign(buf, kHeaderSize + len1, len2);
  buf.erase(0, total);
  return true;
}

// ---------------------------------------------------------------------------------------------
// Body side: every test part result goes up the pipe as it happens.

// Replaces whatever reporter is in force, including a spy the calling test may have installed
// around Run, so each result is streamed exactly once and nothing is printed by the body process.
class RelayReporter : public ::testing::ScopedFakeTestPartResultReporter {
 public:
  explicit RelayReporter(InterceptMode mode) : ScopedFakeTestPartResultReporter(mode, nullptr) {}

  void ReportTestPartResult(const ::testing::TestPartResult& r) override {
    Send(Kind::kPart, static_cast<int32_t>(r.type()), r.line_number(),
         r.file_name() ? r.file_name() : "", r.message() ? r.message() : "");
  }
};

[[noreturn]] void RunBody(const std::function<void()>& body, const char* file, int line) {
  {
    // Threads the body starts report through the global reporter, this thread through its own.
    RelayReporter all_threads(RelayReporter::INTERCEPT_ALL_THREADS);
    RelayReporter this_thread(RelayReporter::INTERCEPT_ONLY_CURRENT_THREAD);
    try {
      body();
    } catch (const std::exception& e) {
      GTEST_MESSAGE_AT_(file, line, "test body threw an exception",
                        ::testing::TestPartResult::kFatalFailure)
          << e.what();
    } catch (...) {
      GTEST_MESSAGE_AT_(file, line, "test body threw an exception of unknown type",
                        ::testing::TestPartResult::kFatalFailure);
    }
    std::cout.flush();
    std::cerr.flush();
    fflush(nullptr);
    Send(Kind::kDone);
  }
  _exit(0);
}

// ---------------------------------------------------------------------------------------------
// Setup side.

struct SetupError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

[[noreturn]] void Fail(const std::string& what) {
  throw SetupError(what + ": " + std::strerror(errno));
}

void Mount(const char* source, const std::string& target, const char* fstype,
           unsigned long flags, const std::string& data) {
  if (mount(source, target.c_str(), fstype, flags, data.empty() ? nullptr : data.c_str()) != 0) {
    Fail(std::string("mount ") + (fstype ? fstype : "") + " " + (source ? source : "") + " on " +
         target + (data.empty() ? "" : " (" + data + ")"));
  }
}

void MakeDir(const std::string& path, mode_t mode) {
  if (mkdir(path.c_str(), mode) != 0 && errno != EEXIST) Fail("mkdir " + path);
}

std::string RealPath(const std::string& path) {
  char buf[PATH_MAX];
  if (!realpath(path.c_str(), buf)) Fail("realpath " + path);
  return buf;
}

dev_t DeviceOf(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) Fail("stat " + path);
  return st.st_dev;
}

// Mount points in /proc/self/mountinfo, with the \ooo escapes decoded.
std::vector<std::string> MountPoints() {
  std::ifstream in("/proc/self/mountinfo");
  if (!in) Fail("open /proc/self/mountinfo");
  std::vector<std::string> points;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string id, parent, devno, root, point;
    fields >> id >> parent >> devno >> root >> point;
    std::string decoded;
    for (size_t i = 0; i < point.size(); ++i) {
      if (point[i] == '\\' && i + 3 < point.size()) {
        decoded.push_back(static_cast<char>(std::strtol(point.substr(i + 1, 3).c_str(), nullptr, 8)));
        i += 3;
      } else {
        decoded.push_back(point[i]);
      }
    }
    points.push_back(decoded);
  }
  return points;
}

// The outermost mounts strictly below dir (e.g. files bound into /etc by a container runtime).
std::vector<std::string> SubmountsOf(const std::string& dir) {
  std::set<std::string> below;
  for (const std::string& p : MountPoints()) {
    if (p.size() > dir.size() && p.compare(0, dir.size(), dir) == 0 && p[dir.size()] == '/') {
      below.insert(p);
    }
  }
  std::vector<std::string> outermost;
  for (const std::string& p : below) {  // sorted: a parent precedes its children
    if (!outermost.empty() && p.compare(0, outermost.back().size() + 1, outermost.back() + "/") == 0) {
      continue;
    }
    outermost.push_back(p);
  }
  return outermost;
}

class Setup {
 public:
  explicit Setup(const Options& opts) : opts_(opts) {}

  void Run() {
    if (unshare(CLONE_NEWNS | CLONE_NEWPID) != 0) Fail("unshare mount and PID namespaces");
    Mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, "");
    OpenSources();

    const std::string scratch = "/tmp";
    Mount("nsfixture-scratch", scratch, "tmpfs", MS_NOSUID | MS_NODEV, "mode=0700");
    const std::string lib_dir = RealPath("/lib");
    Overlay("/etc", scratch, "etc");
    Overlay(lib_dir, scratch, "lib");
    if (umount2(scratch.c_str(), MNT_DETACH) != 0) Fail("detach scratch tmpfs");

    Tmpfs("/tmp", "mode=1777");
    Tmpfs("/var/tmp", "mode=1777");
    Tmpfs("/dev/shm", "mode=1777");
    MakeDir("/etc/vmware", 0755);
    Tmpfs("/etc/vmware", "mode=0755");
    MakeDir("/etc/cim", 0755);
    Tmpfs("/etc/cim", "mode=0755");

    const std::string lib_cim = lib_dir + "/cim";
    MakeDir(lib_cim, 0755);
    if (opts_.lib_cim.empty()) {
      Tmpfs(lib_cim, "mode=0755");
    } else {
      BindFd(lib_cim_fd_, opts_.lib_cim, lib_cim, true);
    }
    // A checkout or build tree under /tmp or /var/tmp stays where the tests expect it.
    for (const auto& [dir, fd] : tree_fds_) {
      MakeTarget(dir, true);
      BindFd(fd, dir, dir, false);
      close(fd);
    }
    for (size_t i = 0; i < opts_.binds.size(); ++i) {
      const Bind& b = opts_.binds[i];
      struct stat st;
      if (fstat(bind_fds_[i], &st) != 0) Fail("stat " + b.source);
      MakeTarget(b.target, S_ISDIR(st.st_mode));
      BindFd(bind_fds_[i], b.source, b.target, b.read_only);
    }
    for (int fd : bind_fds_) close(fd);
    if (lib_cim_fd_ >= 0) close(lib_cim_fd_);
  }

 private:
  // Sources are opened before anything is mounted over them (e.g. a directory in /tmp), and
  // after the unshare: a bind needs its source on a mount of the caller's own namespace.
  void OpenSources() {
    if (!opts_.lib_cim.empty()) lib_cim_fd_ = OpenPath(opts_.lib_cim);
    for (const Bind& b : opts_.binds) bind_fds_.push_back(OpenPath(b.source));
    for (const char* dir : {QELVO_SOURCE_DIR, QELVO_BUILD_DIR}) {
      const std::string real = RealPath(dir);
      bool covered = false;
      for (const char* top : {"/tmp/", "/var/tmp/", "/dev/shm/"}) {
        covered = covered || real.compare(0, strlen(top), top) == 0;
      }
      if (covered) tree_fds_.emplace_back(real, OpenPath(real));
    }
  }

  static int OpenPath(const std::string& path) {
    int fd = open(path.c_str(), O_PATH | O_CLOEXEC);
    if (fd < 0) Fail("open " + path);
    return fd;
  }

  void Tmpfs(const std::string& dir, const std::string& data) {
    Mount("tmpfs", dir, "tmpfs", MS_NOSUID | MS_NODEV, data);
    private_devs_.insert(DeviceOf(dir));
  }

  // Overlays dir, keeping mounts below it where they were.
  void Overlay(const std::string& dir, const std::string& scratch, const std::string& name) {
    const std::vector<std::string> kept = SubmountsOf(dir);
    for (size_t i = 0; i < kept.size(); ++i) {
      const std::string park = scratch + "/" + name + "-kept-" + std::to_string(i);
      struct stat st;
      if (stat(kept[i].c_str(), &st) != 0) Fail("stat " + kept[i]);
      if (S_ISDIR(st.st_mode)) {
        MakeDir(park, 0700);
      } else {
        int fd = open(park.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
        if (fd < 0) Fail("create " + park);
        close(fd);
      }
      Mount(kept[i].c_str(), park, nullptr, MS_MOVE, "");
    }
    const std::string upper = scratch + "/" + name + "-upper";
    const std::string work = scratch + "/" + name + "-work";
    MakeDir(upper, 0755);
    MakeDir(work, 0700);
    Mount("overlay", dir, "overlay", 0, "lowerdir=" + dir + ",upperdir=" + upper + ",workdir=" + work);
    private_devs_.insert(DeviceOf(dir));
    for (size_t i = 0; i < kept.size(); ++i) {
      const std::string park = scratch + "/" + name + "-kept-" + std::to_string(i);
      Mount(park.c_str(), kept[i], nullptr, MS_MOVE, "");
    }
  }

  void BindFd(int fd, const std::string& source, const std::string& target, bool read_only) {
    const std::string via = "/proc/self/fd/" + std::to_string(fd);
    if (mount(via.c_str(), target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
      Fail("bind " + source + " on " + target);
    }
    if (read_only &&
        mount(nullptr, target.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0) {
      Fail("make " + target + " read-only");
    }
  }

  // Creates target (and missing parents), but only on file systems mounted here.
  void MakeTarget(const std::string& target, bool dir) {
    struct stat st;
    if (lstat(target.c_str(), &st) == 0) return;
    if (target.empty() || target[0] != '/') {
      errno = EINVAL;
      Fail("bind target " + target + " is not absolute");
    }
    const size_t slash = target.find_last_of('/');
    const std::string parent = slash == 0 ? "/" : target.substr(0, slash);
    MakeTarget(parent, true);
    if (private_devs_.count(DeviceOf(parent)) == 0) {
      errno = EPERM;
      Fail("bind target " + target + " is missing and " + parent +
           " is not a private mount (it would be created on the machine)");
    }
    if (dir) {
      MakeDir(target, 0755);
    } else {
      int fd = open(target.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
      if (fd < 0) Fail("create " + target);
      close(fd);
    }
  }

  const Options& opts_;
  int lib_cim_fd_ = -1;
  std::vector<int> bind_fds_;
  std::vector<std::pair<std::string, int>> tree_fds_;
  std::set<dev_t> private_devs_;
};

// ---------------------------------------------------------------------------------------------
// The three processes below the test process.

volatile sig_atomic_t g_init_pid = 0;

// The test process asks for an early end with SIGTERM; init is killed so that the namespace is
// torn down and reaped before the setup process exits.
void OnTerminate(int) {
  if (g_init_pid > 0) {
    kill(static_cast<pid_t>(g_init_pid), SIGKILL);
  } else {
    _exit(2);
  }
}

[[noreturn]] void InitProcess(int setup_alive_fd, const std::function<void()>& body,
                              const char* file, int line) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  // The setup process keeps the write end open; a hang-up means it died before PDEATHSIG was set.
  struct pollfd pfd = {setup_alive_fd, POLLIN, 0};
  if (poll(&pfd, 1, 0) != 0) _exit(3);
  close(setup_alive_fd);

  signal(SIGTERM, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);

  if (mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0) {
    Send(Kind::kSetupError, 0, 0, std::string("mount proc on /proc: ") + std::strerror(errno));
    _exit(1);
  }

  const pid_t body_pid = fork();
  if (body_pid < 0) {
    Send(Kind::kSetupError, 0, 0, std::string("fork body process: ") + std::strerror(errno));
    _exit(1);
  }
  if (body_pid == 0) RunBody(body, file, line);

  for (;;) {
    int status = 0;
    const pid_t pid = waitpid(-1, &status, 0);
    if (pid == body_pid) {
      Send(Kind::kBodyStatus, status);
      break;
    }
    if (pid < 0 && errno != EINTR) break;
  }
  _exit(0);  // the kernel kills what the body left running
}

[[noreturn]] void SetupProcess(pid_t test_pid, const Options& opts,
                               const std::function<void()>& body, const char* file, int line) {
  setpgid(0, 0);
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != test_pid) _exit(2);

  sigset_t term, old;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  sigprocmask(SIG_BLOCK, &term, &old);
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = OnTerminate;
  sigaction(SIGTERM, &sa, nullptr);
  sigprocmask(SIG_SETMASK, &old, nullptr);

  try {
    Setup(opts).Run();
  } catch (const SetupError& e) {
    Send(Kind::kSetupError, 0, 0, e.what());
    _exit(1);
  }

  int alive[2];
  if (pipe2(alive, O_CLOEXEC) != 0) {
    Send(Kind::kSetupError, 0, 0, std::string("pipe: ") + std::strerror(errno));
    _exit(1);
  }
  sigprocmask(SIG_BLOCK, &term, &old);
  const pid_t init_pid = fork();
  if (init_pid == 0) {
    close(alive[1]);
    InitProcess(alive[0], body, file, line);
  }
  if (init_pid < 0) {
    Send(Kind::kSetupError, 0, 0, std::string("fork init process: ") + std::strerror(errno));
    _exit(1);
  }
  g_init_pid = init_pid;
  sigprocmask(SIG_SETMASK, &old, nullptr);
  close(alive[0]);

  int status = 0;
  while (waitpid(init_pid, &status, 0) < 0) {
    if (errno != EINTR) {
      Send(Kind::kSetupError, 0, 0, std::string("wait for init: ") + std::strerror(errno));
      _exit(1);
    }
  }
  Send(Kind::kInitStatus, status);
  _exit(0);
}

// ---------------------------------------------------------------------------------------------
// Test process side.

std::string Describe(int status) {
  std::ostringstream out;
  if (WIFEXITED(status)) {
    out << "exited with status " << WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    out << "was killed by signal " << WTERMSIG(status) << " (" << strsignal(WTERMSIG(status)) << ")";
  } else {
    out << "ended with wait status " << status;
  }
  return out.str();
}

bool Abnormal(int status) { return !WIFEXITED(status) || WEXITSTATUS(status) != 0; }

int64_t NowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

constexpr int64_t kGraceMs = 10000;  // after SIGTERM, for the namespace to be torn down

}  // namespace

void Run(const std::function<void()>& body, const Options& opts, const char* file, int line) {
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) {
    GTEST_MESSAGE_AT_(file, line, "nsfixture: pipe failed", ::testing::TestPartResult::kFatalFailure)
        << std::strerror(errno);
    return;
  }
  std::cout.flush();
  std::cerr.flush();
  fflush(nullptr);  // or the body process would write the test's pending output again

  const pid_t test_pid = getpid();
  const pid_t setup_pid = fork();
  if (setup_pid == 0) {
    close(report[0]);
    g_report_fd = report[1];
    SetupProcess(test_pid, opts, body, file, line);
  }
  close(report[1]);
  if (setup_pid < 0) {
    close(report[0]);
    GTEST_MESSAGE_AT_(file, line, "nsfixture: fork failed", ::testing::TestPartResult::kFatalFailure)
        << std::strerror(errno);
    return;
  }
  setpgid(setup_pid, setup_pid);

  bool timed_out = false, done = false;
  bool have_body_status = false, have_init_status = false;
  int body_status = 0, init_status = 0;
  std::string setup_error;
  std::string buf;
  const int timeout_s = opts.timeout_seconds > 0 ? opts.timeout_seconds : 1;
  int64_t deadline = NowMs() + int64_t{timeout_s} * 1000;
  for (;;) {
    const int64_t left = deadline - NowMs();
    int ready = 0;
    struct pollfd pfd = {report[0], POLLIN, 0};
    if (left > 0) {
      ready = poll(&pfd, 1, static_cast<int>(left));
      if (ready < 0 && errno == EINTR) continue;
    }
    if (ready <= 0) {
      if (!timed_out) {
        timed_out = true;
        kill(setup_pid, SIGTERM);
        deadline = NowMs() + kGraceMs;
        continue;
      }
      kill(-setup_pid, SIGKILL);  // the setup process did not clean up in time
      break;
    }
    char chunk[8192];
    const ssize_t n = read(report[0], chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // every process below has closed the pipe
    buf.append(chunk, static_cast<size_t>(n));
    Record rec;
    while (TakeRecord(buf, rec)) {
      switch (rec.kind) {
        case Kind::kPart:
          GTEST_MESSAGE_AT_(rec.s1.empty() ? nullptr : rec.s1.c_str(), rec.b, rec.s2.c_str(),
                            static_cast<::testing::TestPartResult::Type>(rec.a));
          break;
        case Kind::kDone:
          done = true;
          break;
        case Kind::kSetupError:
          setup_error = rec.s1;
          break;
        case Kind::kBodyStatus:
          have_body_status = true;
          body_status = rec.a;
          break;
        case Kind::kInitStatus:
          have_init_status = true;
          init_status = rec.a;
          break;
      }
    }
  }
  close(report[0]);
  int setup_status = 0;
  while (waitpid(setup_pid, &setup_status, 0) < 0 && errno == EINTR) {
  }

  std::ostringstream failure;
  if (timed_out) {
    failure << "test body did not finish within " << timeout_s << " s; its processes were killed";
  } else if (!setup_error.empty()) {
    failure << "could not set up the private namespace: " << setup_error;
  } else if (Abnormal(setup_status) || !have_init_status) {
    failure << "namespace setup process " << Describe(setup_status);
  } else if (!have_body_status) {
    failure << "namespace init process " << Describe(init_status);
  } else if (Abnormal(body_status)) {
    failure << "test body process " << Describe(body_status);
  } else if (!done) {
    failure << "test body process exited before the body returned";
  }
  const std::string message = failure.str();
  if (!message.empty()) {
    GTEST_MESSAGE_AT_(file, line, message.c_str(), ::testing::TestPartResult::kFatalFailure);
  }
}

}  // namespace nsfixture
