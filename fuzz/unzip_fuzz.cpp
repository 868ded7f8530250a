/*
 * libFuzzer target for Minizip: the input is written out as an archive and
 * unpacked into a scratch directory, which is emptied again afterwards.
 * Minizip must return, whatever the bytes.
 *
 * Seeds: fuzz/corpus/unzip (archives made with zip and libminizip).
 */
#include <ftw.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "unzipfile.h"

namespace {

int remove_entry(const char *path, const struct stat *, int, FTW *) { return std::remove(path); }

struct Scratch {
  std::string top, archive, dest;
  Scratch() {
    char tmpl[] = "/tmp/unzip-fuzz.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) std::abort();
    top = tmpl;
    archive = top + "/in.zip";
    dest = top + "/out";
  }
  ~Scratch() { nftw(top.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static Scratch scratch;
  FILE *f = std::fopen(scratch.archive.c_str(), "wb");
  if (f == nullptr) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
  std::fclose(f);
  Minizip(scratch.archive.c_str(), scratch.dest.c_str());
  nftw(scratch.dest.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
  return 0;
}
