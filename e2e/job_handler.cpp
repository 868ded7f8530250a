// Job handler of the e2e jobs. A test steers a job by writing
// /tmp/e2e-jobs/<instance id> with "<state> <status text>"; without that file the
// job is running (4, "Process Running"). Clean-up calls are logged to
// /tmp/e2e-jobs/cleanup.log.
#include <cstdio>
#include <string>

extern "C" __attribute__((visibility("default"))) int e2e_job_update(const char *inst_id, int *state, char *status,
                                                                      int size) {
  FILE *f = std::fopen((std::string("/tmp/e2e-jobs/") + inst_id).c_str(), "r");
  if (f == nullptr) {
    *state = 4;
    std::snprintf(status, static_cast<size_t>(size), "%s", "Process Running");
    return 0;
  }
  int st = 0;
  char text[256] = "";
  const int n = std::fscanf(f, "%d %255[^\n]", &st, text);
  std::fclose(f);
  if (n < 1) return 1;
  *state = st;
  std::snprintf(status, static_cast<size_t>(size), "%s", text);
  return 0;
}

extern "C" __attribute__((visibility("default"))) int e2e_job_cleanup(const char *inst_id) {
  FILE *f = std::fopen("/tmp/e2e-jobs/cleanup.log", "a");
  if (f != nullptr) {
    std::fprintf(f, "%s\n", inst_id);
    std::fclose(f);
  }
  return 0;
}
