// Posts one GetClass request, as schemapull does, to a controller at 127.0.0.1:PORT and prints
// the libcurl result and how many seconds the clock moved meanwhile. The watchdog test runs it
// under libfaketime with a fast clock, against a peer that accepts and never answers.
//
//   schemapull_silent_peer PORT
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "schemapull.h"

int main(int argc, char **argv) {
  if (argc != 2) return 2;
  std::strcpy(tavik_addr, "127.0.0.1");
  std::snprintf(tavik_port, sizeof tavik_port, "%s", argv[1]);
  std::strcpy(tavik_schema, "http");
  std::strcpy(tavik_userid, "TVKADM00");
  std::strcpy(tavik_password, "PW3XYZAB");
  cclient_connection con;
  std::memset(&con, 0, sizeof con);
  char *body = build_getclass_body("root/cimv2", "CIM_SoftwareIdentity");
  const time_t start = time(nullptr);
  if (body == nullptr || init_connection(SP_BIND_ADDR, "/dev/null", &con) != 0 ||
      gen_request(&con, "GetClass", "root/cimv2") != 0)
    return 3;
  add_payload(&con, body, std::strlen(body));
  const CURLcode rc = get_response(&con);
  std::printf("%d %ld\n", static_cast<int>(rc), static_cast<long>(time(nullptr) - start));
  free_con(&con);
  std::free(body);
  return 0;
}
