/*
 * The job store and the install record of the installation services.
 */
#include "hoststate.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>

#include "services.h"

namespace hostservices {

namespace {

constexpr size_t kMaxJobs = 64;
constexpr size_t kMaxStateBytes = 1 << 20;

/* A state file, open and locked (exclusively) for as long as it lives. */
class LockedFile {
 public:
  LockedFile(const char *path, int flags) {
    ::mkdir(kStateDir, 0755);
    fd_ = ::open(path, flags | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) return;
    while (::flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) {
        ::close(fd_);
        fd_ = -1;
        return;
      }
    }
  }
  ~LockedFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  LockedFile(const LockedFile &) = delete;
  LockedFile &operator=(const LockedFile &) = delete;

  bool ok() const { return fd_ >= 0; }

  bool ReadAll(std::string *out) {
    out->clear();
    char buf[8192];
    for (off_t at = 0;;) {
      const ssize_t n = ::pread(fd_, buf, sizeof buf, at);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return false;
      if (n == 0) return true;
      if (out->size() + static_cast<size_t>(n) > kMaxStateBytes) {
        errno = EFBIG;
        return false;
      }
      out->append(buf, static_cast<size_t>(n));
      at += n;
    }
  }

  bool Write(const std::string &text, bool replace) {
    if (replace && ::ftruncate(fd_, 0) != 0) return false;
    const char *p = text.data();
    size_t left = text.size();
    off_t at = replace ? 0 : ::lseek(fd_, 0, SEEK_END);
    while (left > 0) {
      const ssize_t n = ::pwrite(fd_, p, left, at);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      p += n;
      at += n;
      left -= static_cast<size_t>(n);
    }
    return true;
  }

 private:
  int fd_ = -1;
};

bool Fail(std::string *error, const std::string &why) {
  if (error != nullptr) *error = why + (errno ? std::string(": ") + std::strerror(errno) : "");
  return false;
}

/* One started job: "WORD SEQ READS TEXT..." in the jobs file. */
struct StoredJob {
  std::string word;
  unsigned long seq = 0;
  size_t reads = 0;
  std::vector<Text> steps;
};

std::vector<StoredJob> ParseJobs(const std::string &text) {
  std::vector<StoredJob> jobs;
  std::istringstream in(text);
  std::string line, why;
  std::vector<Word> w;
  while (std::getline(in, line)) {
    if (!SplitWords(line, &w, &why) || w.size() < 4) continue;
    StoredJob j;
    j.word = w[0].text;
    char *end = nullptr;
    j.seq = std::strtoul(w[1].text.c_str(), &end, 10);
    if (end == w[1].text.c_str() || *end != '\0') continue;
    j.reads = std::strtoul(w[2].text.c_str(), &end, 10);
    if (end == w[2].text.c_str() || *end != '\0') continue;
    for (size_t i = 3; i < w.size(); ++i)
      j.steps.push_back((!w[i].quoted && w[i].text == "-") ? Text{} : Text::Of(w[i].text));
    jobs.push_back(std::move(j));
  }
  return jobs;
}

std::string FormatJobs(const std::vector<StoredJob> &jobs) {
  std::string out;
  for (const StoredJob &j : jobs) {
    out += j.word + " " + std::to_string(j.seq) + " " + std::to_string(j.reads);
    for (const Text &t : j.steps) out += " " + QuoteWord(t);
    out += "\n";
  }
  return out;
}

std::string Escape(const std::string &v) {
  std::string out;
  for (char c : v) {
    if (c == '\t') out += "\\t";
    else if (c == '\n') out += "\\n";
    else if (c == '\\') out += "\\\\";
    else out += c;
  }
  return out;
}

std::string Unescape(const std::string &v) {
  std::string out;
  for (size_t i = 0; i < v.size(); ++i) {
    if (v[i] == '\\' && i + 1 < v.size()) {
      const char n = v[++i];
      out += n == 't' ? '\t' : n == 'n' ? '\n' : n;
    } else {
      out += v[i];
    }
  }
  return out;
}

}  // namespace

std::vector<Text> JobSteps(const Scenario &sc, Service service) {
  const std::vector<Text> &steps = sc.of(service).job;
  if (!steps.empty()) return steps;
  if (service == Service::kHypervisor)
    return {Text::Of("The update completed successfully, but the system needs to be rebooted for the changes "
                     "to be effective.")};
  return {Text::Of("Process Completed")};
}

bool StartJob(Service service, const std::vector<Text> &steps, std::string *id, std::string *error) {
  errno = 0;
  if (steps.empty()) return Fail(error, "a job needs at least one JobStatus text");
  LockedFile f(kJobsPath, O_RDWR);
  std::string text;
  if (!f.ok() || !f.ReadAll(&text)) return Fail(error, std::string("cannot read ") + kJobsPath);
  std::vector<StoredJob> jobs = ParseJobs(text);
  const ServiceInfo &info = InfoOf(service);
  unsigned long seq = 0; /* numbered per service */
  for (const StoredJob &j : jobs)
    if (j.word == info.word) seq = std::max(seq, j.seq);
  jobs.push_back(StoredJob{info.word, seq + 1, 0, steps});
  if (jobs.size() > kMaxJobs) jobs.erase(jobs.begin(), jobs.end() - kMaxJobs);
  if (!f.Write(FormatJobs(jobs), true)) return Fail(error, std::string("cannot write ") + kJobsPath);
  *id = info.job_prefix + std::to_string(seq + 1);
  return true;
}

bool ListJobs(const Scenario &sc, Service service, bool read, std::vector<JobView> *out, std::string *error) {
  errno = 0;
  out->clear();
  const ServiceInfo &info = InfoOf(service);
  const std::vector<Text> &old = sc.of(service).old_jobs;
  for (size_t i = 0; i < old.size(); ++i)
    out->push_back(JobView{info.job_prefix + std::string("old-") + std::to_string(i + 1), old[i], true});

  LockedFile f(kJobsPath, O_RDWR);
  std::string text;
  if (!f.ok() || !f.ReadAll(&text)) return Fail(error, std::string("cannot read ") + kJobsPath);
  std::vector<StoredJob> jobs = ParseJobs(text);
  bool moved = false;
  for (StoredJob &j : jobs) {
    if (j.word != info.word || j.steps.empty()) continue;
    const size_t at = std::min(j.reads, j.steps.size() - 1);
    out->push_back(JobView{info.job_prefix + std::to_string(j.seq), j.steps[at], at + 1 == j.steps.size()});
    if (read && at + 1 < j.steps.size()) {
      j.reads = at + 1;
      moved = true;
    }
  }
  if (moved && !f.Write(FormatJobs(jobs), true)) return Fail(error, std::string("cannot write ") + kJobsPath);
  return true;
}

bool AppendRecord(const Record &fields, std::string *error) {
  errno = 0;
  std::string line;
  for (const auto &[name, value] : fields) line += (line.empty() ? "" : "\t") + name + "=" + Escape(value);
  LockedFile f(kInstallsPath, O_RDWR);
  if (!f.ok() || !f.Write(line + "\n", false)) return Fail(error, std::string("cannot write ") + kInstallsPath);
  return true;
}

std::vector<std::map<std::string, std::string>> ReadRecords(const std::string &path) {
  std::vector<std::map<std::string, std::string>> out;
  std::string text;
  if (ReadSmallFile(path, 16u << 20, &text) != ReadResult::kOk) return out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    std::map<std::string, std::string> rec;
    size_t start = 0;
    while (start <= line.size()) {
      size_t tab = line.find('\t', start);
      if (tab == std::string::npos) tab = line.size();
      const std::string field = line.substr(start, tab - start);
      const size_t eq = field.find('=');
      if (eq != std::string::npos) rec[field.substr(0, eq)] = Unescape(field.substr(eq + 1));
      start = tab + 1;
    }
    if (!rec.empty()) out.push_back(std::move(rec));
  }
  return out;
}

bool FileDigest(const std::string &path, uint64_t *size, std::string *md5) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX *)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ctx && EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr);
  *size = 0;
  char buf[65536];
  while (ok) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    *size += static_cast<uint64_t>(n);
    ok = EVP_DigestUpdate(ctx.get(), buf, static_cast<size_t>(n)) == 1;
  }
  ::close(fd);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (!ok || EVP_DigestFinal_ex(ctx.get(), digest, &len) != 1) return false;
  md5->clear();
  static const char kHex[] = "0123456789abcdef";
  for (unsigned i = 0; i < len; ++i) {
    *md5 += kHex[digest[i] >> 4];
    *md5 += kHex[digest[i] & 15];
  }
  return true;
}

}  // namespace hostservices
