/*
 * What the package broker's fuzz targets share: the readers trace into the broker's debug log
 * under /tmp, so the process first moves into a mount namespace of its own with a private /tmp;
 * the input is handed to them as a file in memory. Corpus directories named by absolute paths
 * under /tmp are covered by it; relative ones still resolve from the working directory. Included
 * by one harness per program.
 */
#ifndef QELVO_FUZZ_PKGBROKER_FUZZ_INPUT_H
#define QELVO_FUZZ_PKGBROKER_FUZZ_INPUT_H

#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace pkgbroker_fuzz {

// Once per process: a private /tmp, or the run stops (it must not write into the machine's).
inline void isolate() {
  static bool done = false;
  if (done) return;
  if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount("tmpfs", "/tmp", "tmpfs", 0, "size=64m,mode=1777") != 0) {
    std::fprintf(stderr, "pkgbroker fuzz: needs a mount namespace of its own (run as root)\n");
    std::exit(2);
  }
  done = true;
}

// An in-memory file holding the bytes; its descriptor, or -1. Its path is /proc/self/fd/<fd>.
inline int memory_file(const uint8_t *data, size_t size) {
  const int fd = memfd_create("pkgbroker-fuzz", MFD_CLOEXEC);
  if (fd < 0) return -1;
  size_t done = 0;
  while (done < size) {
    const ssize_t w = write(fd, data + done, size - done);
    if (w <= 0) {
      close(fd);
      return -1;
    }
    done += static_cast<size_t>(w);
  }
  return fd;
}

}  // namespace pkgbroker_fuzz

// libFuzzer calls this before it starts threads of its own, which a new mount namespace needs.
// Each harness is a program of its own that includes this header once.
extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  pkgbroker_fuzz::isolate();
  return 0;
}

#endif
