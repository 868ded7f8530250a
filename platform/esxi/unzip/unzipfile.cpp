/*
 * Minizip: unpacks a zip archive over libminizip, all or nothing.
 *
 * Every entry is checked before anything is written: its name must stay
 * below the destination (no absolute name, no ".." component), it must be a
 * plain file or a directory (no link or device), and it must not be
 * encrypted. Each file is then extracted into a temporary file beside its
 * final name and checked against its CRC; only once every entry has been
 * extracted are the files renamed into place. A failure before that removes
 * the temporary files and the directories this call made.
 *
 * Paths below the destination are walked one component at a time with
 * O_NOFOLLOW, so a link already lying in the destination cannot lead a write
 * outside it either. Limits: 65536 entries, 4 GiB unpacked in all, names of
 * 4096 bytes and components of 255 bytes.
 */
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unzip.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "unzip_status.h"

#pragma GCC visibility push(default)
#include "unzipfile.h"
#pragma GCC visibility pop

namespace {

using namespace unzipfile;

constexpr uint64_t kMaxEntries = 65536;
constexpr uint64_t kMaxTotalBytes = 4ull << 30;
constexpr size_t kMaxName = 4096;
constexpr size_t kMaxComponent = 255;
constexpr unsigned kUnixHost = 3;      /* "version made by" high byte of Unix archivers */
constexpr unsigned long kDosDirectory = 0x10;

void complain(const char *archive, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void complain(const char *archive, const char *fmt, ...) {
  char text[512];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  std::fprintf(stderr, "Minizip: %s: %s\n", archive, text);
}

/* An owned file descriptor. */
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(Fd &&o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  Fd &operator=(Fd &&o) noexcept {
    if (this != &o) {
      reset();
      fd_ = o.fd_;
      o.fd_ = -1;
    }
    return *this;
  }
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
  ~Fd() { reset(); }
  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

/* One entry as checked: where it goes, relative to the destination. */
struct Entry {
  std::vector<std::string> dirs; /* its directory's components */
  std::string name;              /* the file's own name; empty for a directory */
  mode_t mode = 0644;
  std::string temp;              /* the temporary file it was extracted into */
};

/* The first n parts (all by default), joined by "/". */
std::string join(const std::vector<std::string> &parts, size_t n = SIZE_MAX) {
  std::string out;
  for (size_t i = 0; i < n && i < parts.size(); ++i) out += (i ? "/" : "") + parts[i];
  return out;
}

/* An entry's file as its name in the archive shows it, relative to the destination. */
std::string shown_name(const Entry &e) { return join(e.dirs) + (e.dirs.empty() ? "" : "/") + e.name; }

/* Splits an entry name into its components; false when it would leave the
 * destination or cannot be a path here. "." and empty components are
 * dropped. */
bool split_name(const std::string &name, std::vector<std::string> *out, std::string *why) {
  if (name.empty()) return *why = "an entry without a name", false;
  if (name.size() > kMaxName) return *why = "an entry name longer than 4096 bytes", false;
  if (name[0] == '/') return *why = "an absolute entry name", false;
  size_t start = 0;
  while (start <= name.size()) {
    size_t slash = name.find('/', start);
    if (slash == std::string::npos) slash = name.size();
    const std::string part = name.substr(start, slash - start);
    if (part == "..") return *why = "a \"..\" component", false;
    if (part.size() > kMaxComponent) return *why = "a name component longer than 255 bytes", false;
    if (!part.empty() && part != ".") out->push_back(part);
    start = slash + 1;
  }
  return true;
}

/* Opens directory `comps` below `root`. With `made` set, missing directories
 * are created and recorded (as paths relative to root). Only real
 * directories are entered, never links. -1 on failure (errno set). */
int open_dir(int root, const std::vector<std::string> &comps, std::vector<std::string> *made) {
  Fd fd(::fcntl(root, F_DUPFD_CLOEXEC, 0));
  for (size_t i = 0; fd.ok() && i < comps.size(); ++i) {
    if (made != nullptr) {
      if (::mkdirat(fd.get(), comps[i].c_str(), 0755) == 0) made->push_back(join(comps, i + 1));
      else if (errno != EEXIST) return -1;
    }
    fd = Fd(::openat(fd.get(), comps[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  }
  return fd.release();
}

/* mkdir -p. */
bool make_path(const std::string &path) {
  std::string cur;
  size_t start = 0;
  while (start < path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    cur = path.substr(0, slash);
    if (!cur.empty() && ::mkdir(cur.c_str(), 0755) != 0 && errno != EEXIST) return false;
    start = slash + 1;
  }
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

class Unpacker {
 public:
  Unpacker(const char *archive, const char *dest) : archive_(archive), dest_(dest) {}
  ~Unpacker() {
    if (zip_ != nullptr) unzClose(zip_);
  }

  int run() {
    int rc = open_archive();
    if (rc == kOk) rc = check_entries();
    if (rc == kOk) rc = open_destination();
    if (rc == kOk) rc = extract_all();
    if (rc == kOk) rc = commit();
    if (rc != kOk) roll_back();
    return rc;
  }

 private:
  int open_archive() {
    struct stat st;
    if (::stat(archive_, &st) != 0 || !S_ISREG(st.st_mode)) {
      complain(archive_, "no such archive");
      return kNoArchive;
    }
    zip_ = unzOpen64(archive_);
    if (zip_ == nullptr) {
      complain(archive_, "not a zip archive");
      return kNoArchive;
    }
    unz_global_info64 gi;
    if (unzGetGlobalInfo64(zip_, &gi) != UNZ_OK) {
      complain(archive_, "unreadable central directory");
      return kCorrupt;
    }
    if (gi.number_entry > kMaxEntries) {
      complain(archive_, "more than %llu entries", static_cast<unsigned long long>(kMaxEntries));
      return kTooLarge;
    }
    return kOk;
  }

  /* The current entry's information and name. */
  int current(unz_file_info64 *info, std::string *name) {
    char buf[kMaxName + 2];
    if (unzGetCurrentFileInfo64(zip_, info, buf, sizeof buf, nullptr, 0, nullptr, 0) != UNZ_OK) {
      complain(archive_, "unreadable entry");
      return kCorrupt;
    }
    if (info->size_filename >= sizeof buf) {
      complain(archive_, "an entry name longer than 4096 bytes");
      return kRefused;
    }
    name->assign(buf, info->size_filename);
    if (std::strlen(buf) != info->size_filename) {
      complain(archive_, "an entry name holding a NUL byte");
      return kRefused;
    }
    return kOk;
  }

  /* Pass one: every entry is checked and its place worked out. */
  int check_entries() {
    /* A directory is known by its parent's number and its own name (0 is the destination), and
     * a file by its directory's number and its name: an entry costs its own components however
     * deep it lies, where the text of every leading part of every name would cost the square of
     * a deep name, in time and in memory. A file is kept with the index of its entry. */
    std::map<std::pair<size_t, std::string>, size_t> dirs, files;
    auto dir_of = [&dirs](const std::vector<std::string> &comps) {
      size_t id = 0;
      for (const std::string &c : comps) id = dirs.emplace(std::make_pair(id, c), dirs.size() + 1).first->second;
      return id;
    };
    for (int r = unzGoToFirstFile(zip_); r != UNZ_END_OF_LIST_OF_FILE; r = unzGoToNextFile(zip_)) {
      if (r != UNZ_OK) {
        complain(archive_, "corrupt central directory");
        return kCorrupt;
      }
      unz_file_info64 info;
      std::string name;
      if (int rc = current(&info, &name)) return rc;
      std::vector<std::string> comps;
      std::string why;
      if (!split_name(name, &comps, &why)) {
        complain(archive_, "entry \"%s\" refused: %s", name.c_str(), why.c_str());
        return kRefused;
      }
      if (info.flag & 1u) {
        complain(archive_, "entry \"%s\" refused: encrypted", name.c_str());
        return kRefused;
      }
      bool is_dir = name.back() == '/';
      Entry e;
      if ((info.version >> 8) == kUnixHost && (info.external_fa >> 16) != 0) {
        const mode_t mode = static_cast<mode_t>(info.external_fa >> 16);
        if (S_ISDIR(mode)) {
          is_dir = true;
        } else if (!S_ISREG(mode)) {
          complain(archive_, "entry \"%s\" refused: %s", name.c_str(),
                   S_ISLNK(mode) ? "a symbolic link" : "not a plain file");
          return kRefused;
        }
        if ((mode & 0777) != 0) e.mode = (mode & 0777) | 0600;
      } else if (info.external_fa & kDosDirectory) {
        is_dir = true;
      }
      if (comps.empty()) {
        if (!is_dir) {
          complain(archive_, "entry \"%s\" refused: names no file", name.c_str());
          return kRefused;
        }
        entries_.push_back(e); /* the destination itself */
        continue;
      }
      if (!is_dir) {
        e.name = comps.back();
        comps.pop_back();
      }
      const size_t dir = dir_of(comps);
      if (!is_dir) files.emplace(std::make_pair(dir, e.name), entries_.size());
      e.dirs = std::move(comps);
      entries_.push_back(std::move(e));
    }
    for (const auto &[place, index] : files)
      if (dirs.count(place)) {
        complain(archive_, "\"%s\" is both a file and a directory", shown_name(entries_[index]).c_str());
        return kRefused;
      }
    return kOk;
  }

  int open_destination() {
    if (!make_path(dest_)) {
      complain(archive_, "cannot make the destination %s: %s", dest_.c_str(), std::strerror(errno));
      return kWriteFailed;
    }
    root_ = Fd(::open(dest_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!root_.ok()) {
      complain(archive_, "cannot open the destination %s: %s", dest_.c_str(), std::strerror(errno));
      return kWriteFailed;
    }
    return kOk;
  }

  /* Pass two: directories are made and files extracted into temporary files. */
  int extract_all() {
    std::vector<char> buf(1 << 16);
    size_t i = 0;
    for (int r = unzGoToFirstFile(zip_); r != UNZ_END_OF_LIST_OF_FILE; r = unzGoToNextFile(zip_), ++i) {
      if (r != UNZ_OK || i >= entries_.size()) return kCorrupt;
      Entry &e = entries_[i];
      Fd dir(open_dir(root_.get(), e.dirs, &made_));
      if (!dir.ok()) {
        complain(archive_, "cannot make directory \"%s\": %s", join(e.dirs).c_str(),
                 std::strerror(errno));
        return kWriteFailed;
      }
      if (e.name.empty()) continue;
      if (int rc = extract_file(dir.get(), e, &buf)) return rc;
    }
    return kOk;
  }

  int extract_file(int dir, Entry &e, std::vector<char> *buf) {
    const std::string shown = shown_name(e);
    struct stat st;
    if (::fstatat(dir, e.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)) {
      complain(archive_, "\"%s\" is a directory in the destination", shown.c_str());
      return kWriteFailed;
    }
    static std::atomic<unsigned> counter{0};
    e.temp = ".minizip." + std::to_string(::getpid()) + "." + std::to_string(counter++);
    Fd out(::openat(dir, e.temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out.ok()) {
      complain(archive_, "cannot write \"%s\": %s", shown.c_str(), std::strerror(errno));
      e.temp.clear();
      return kWriteFailed;
    }
    temps_.push_back(&e);
    if (unzOpenCurrentFile(zip_) != UNZ_OK) {
      complain(archive_, "entry \"%s\": unsupported or corrupt", shown.c_str());
      return kCorrupt;
    }
    int rc = kOk;
    for (;;) {
      const int n = unzReadCurrentFile(zip_, buf->data(), static_cast<unsigned>(buf->size()));
      if (n == 0) break;
      if (n < 0) {
        complain(archive_, "entry \"%s\": corrupt data", shown.c_str());
        rc = kCorrupt;
        break;
      }
      total_ += static_cast<uint64_t>(n);
      if (total_ > kMaxTotalBytes) {
        complain(archive_, "unpacks to more than 4 GiB");
        rc = kTooLarge;
        break;
      }
      if (!write_all(out.get(), buf->data(), static_cast<size_t>(n))) {
        complain(archive_, "cannot write \"%s\": %s", shown.c_str(), std::strerror(errno));
        rc = kWriteFailed;
        break;
      }
    }
    const int closed = unzCloseCurrentFile(zip_);
    if (rc == kOk && closed != UNZ_OK) {
      complain(archive_, "entry \"%s\": %s", shown.c_str(), closed == UNZ_CRCERROR ? "CRC mismatch" : "corrupt");
      rc = kCorrupt;
    }
    if (rc == kOk && ::fchmod(out.get(), e.mode) != 0) rc = kWriteFailed;
    return rc;
  }

  static bool write_all(int fd, const char *p, size_t n) {
    while (n > 0) {
      const ssize_t w = ::write(fd, p, n);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return false;
      p += w;
      n -= static_cast<size_t>(w);
    }
    return true;
  }

  /* Every file extracted: the temporary files take their names. */
  int commit() {
    for (Entry *e : temps_) {
      Fd dir(open_dir(root_.get(), e->dirs, nullptr));
      if (!dir.ok() || ::renameat(dir.get(), e->temp.c_str(), dir.get(), e->name.c_str()) != 0) {
        complain(archive_, "cannot put \"%s\" in place: %s", e->name.c_str(), std::strerror(errno));
        return kWriteFailed;
      }
      e->temp.clear();
    }
    return kOk;
  }

  void roll_back() {
    if (!root_.ok()) return;
    for (Entry *e : temps_) {
      if (e->temp.empty()) continue;
      Fd dir(open_dir(root_.get(), e->dirs, nullptr));
      if (dir.ok()) ::unlinkat(dir.get(), e->temp.c_str(), 0);
    }
    for (auto it = made_.rbegin(); it != made_.rend(); ++it) ::unlinkat(root_.get(), it->c_str(), AT_REMOVEDIR);
  }

  const char *archive_;
  std::string dest_;
  unzFile zip_ = nullptr;
  Fd root_;
  std::vector<Entry> entries_;
  std::vector<Entry *> temps_;       /* entries with a temporary file, in extraction order */
  std::vector<std::string> made_;    /* directories made, in order */
  uint64_t total_ = 0;
};

}  // namespace

int Minizip(const char *zipfile, const char *destdir) {
  if (zipfile == nullptr || destdir == nullptr || *zipfile == '\0' || *destdir == '\0') {
    std::fprintf(stderr, "Minizip: an archive and a destination are needed\n");
    return kBadArguments;
  }
  try {
    return Unpacker(zipfile, destdir).run();
  } catch (...) {
    std::fprintf(stderr, "Minizip: %s: out of memory\n", zipfile);
    return kWriteFailed;
  }
}
