// smbios-gen: writes SMBIOS table images for the controller simulator's data store.
//
//   smbios-gen [--version MAJOR.MINOR] [--node N] [--bios-version TEXT]
//              [--controller-version TEXT] [--diagnostics-version TEXT] OUTPUT
//   smbios-gen --recorded DIR      rewrites the recorded tables (tables/) into DIR
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "smbios_gen.h"

namespace {

bool Write(const std::string &path, const std::vector<uint8_t> &image) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(image.data()), static_cast<std::streamsize>(image.size()));
  out.close();
  if (!out) {
    std::fprintf(stderr, "smbios-gen: cannot write %s\n", path.c_str());
    return false;
  }
  return true;
}

int Usage() {
  std::fprintf(stderr,
               "usage: smbios-gen [--version MAJOR.MINOR] [--node N] [--bios-version TEXT]\n"
               "                  [--controller-version TEXT] [--diagnostics-version TEXT] OUTPUT\n"
               "       smbios-gen --recorded DIR\n");
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  smbiosgen::ServerOptions opts;
  std::string output, recorded;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--recorded" && has_value) {
      recorded = argv[++i];
    } else if (arg == "--version" && has_value) {
      unsigned major = 0, minor = 0;
      if (std::sscanf(argv[++i], "%u.%u", &major, &minor) != 2 || major > 15 || minor > 15) return Usage();
      opts.major = static_cast<uint8_t>(major);
      opts.minor = static_cast<uint8_t>(minor);
    } else if (arg == "--node" && has_value) {
      opts.node = std::atoi(argv[++i]);
    } else if (arg == "--bios-version" && has_value) {
      opts.bios_version = argv[++i];
    } else if (arg == "--controller-version" && has_value) {
      opts.controller_version = argv[++i];
    } else if (arg == "--diagnostics-version" && has_value) {
      opts.diagnostics_version = argv[++i];
    } else if (!arg.empty() && arg[0] != '-' && output.empty()) {
      output = arg;
    } else {
      return Usage();
    }
  }
  if (!recorded.empty()) {
    for (const smbiosgen::Recorded &r : smbiosgen::RecordedTables()) {
      if (!Write(recorded + "/" + r.file, smbiosgen::BuildServerTable(r.options))) return 1;
    }
    return 0;
  }
  if (output.empty()) return Usage();
  return Write(output, smbiosgen::BuildServerTable(opts)) ? 0 : 1;
}
