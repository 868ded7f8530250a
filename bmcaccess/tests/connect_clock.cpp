// Connects to slot 0 at a series of clock readings, for the cache window test, which runs it
// under libfaketime with FAKETIME_TIMESTAMP_FILE=TIMEFILE:
//
//   tavik_connect_clock TIMEFILE SIMLOG TIME...
//
// For each TIME ("YYYY-MM-DD hh:mm:ss", UTC) it sets the faked clock by writing TIME to TIMEFILE,
// connects through 169.254.95.101 and /dev/ipmi0, and prints one line:
//
//   <user-ID requests in SIMLOG so far> <probes in the controller log so far> <scheme> <port> <stamp>
//
// with the slot's record after the connection. Exit status 1 when a connection yields no client.
#include <cstdio>
#include <fstream>
#include <string>

#include "tavik_cimom_connect.h"
#include "tavik_log.h"

namespace {

int CountLines(const char* path, const std::string& needle) {
  std::ifstream in(path);
  int n = 0;
  for (std::string line; std::getline(in, line);) n += line.find(needle) != std::string::npos;
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s TIMEFILE SIMLOG TIME...\n", argv[0]);
    return 2;
  }
  for (int i = 3; i < argc; ++i) {
    {
      std::ofstream clock(argv[1], std::ios::trunc);
      clock << argv[i] << "\n";
    }
    CMPIStatus st = {CMPI_RC_OK, nullptr};
    CMCIClient* cc = util_cmciConnect("169.254.95.101", "/dev/ipmi0", &st);
    if (cc == nullptr) return 1;
    cc->ft->release(cc);
    tavik_conn_info rec;
    util_get_conn_info(0, &rec);
    std::printf("%d %d %s %s %d\n", CountLines(argv[2], "netfn 0x3a cmd 0x64"),
                CountLines(TAVIK_LOG_FILE, "check_schema:enter"), rec.schema, rec.tavik_port, rec.time_stamp);
    std::fflush(stdout);
  }
  return 0;
}
