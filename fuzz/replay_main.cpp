/*
 * Replays fuzz inputs without libFuzzer: feeds every file named on the command line (directories
 * are walked, not recursively) to LLVMFuzzerTestOneInput once. A harness that crashes, aborts or
 * trips a sanitizer on a seed fails the test run; an unreadable or empty corpus fails too.
 * Every input is read before the harness's LLVMFuzzerInitialize (if it has one) and first call
 * run, as a harness may change what the process sees (a private /tmp, for one).
 */
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv);

namespace {

bool read_file(const std::string &path, std::vector<std::vector<char>> *inputs) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  inputs->emplace_back((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return !in.bad();
}

}  // namespace

int main(int argc, char **argv) {
  std::vector<std::vector<char>> inputs;
  for (int i = 1; i < argc; ++i) {
    struct stat st;
    if (stat(argv[i], &st) != 0) {
      std::fprintf(stderr, "replay: cannot read %s\n", argv[i]);
      return 1;
    }
    std::vector<std::string> files;
    if (S_ISDIR(st.st_mode)) {
      DIR *d = opendir(argv[i]);
      if (d == nullptr) return 1;
      while (const dirent *e = readdir(d)) {
        const std::string p = std::string(argv[i]) + "/" + e->d_name;
        if (e->d_name[0] != '.' && stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode)) files.push_back(p);
      }
      closedir(d);
    } else {
      files.push_back(argv[i]);
    }
    for (const std::string &f : files) {
      if (!read_file(f, &inputs)) {
        std::fprintf(stderr, "replay: cannot read %s\n", f.c_str());
        return 1;
      }
    }
  }
  if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
  for (const std::vector<char> &bytes : inputs)
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
  std::printf("replayed %zu inputs\n", inputs.size());
  return inputs.empty() ? 1 : 0;
}
