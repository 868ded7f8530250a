// Creates a job in the job ledger the way a provider library does: loads
// /lib/cim/libjobledger.so, calls create_job_instance with a registration of the
// e2e test handler, unloads the library, and prints the new instance id.
//   e2e_make_job TYPE HANDLER_LIBRARY [COUNT]
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "concretejob.h"

int main(int argc, char **argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: e2e_make_job TYPE HANDLER_LIBRARY [COUNT]\n");
    return 2;
  }
  const int count = argc > 3 ? std::atoi(argv[3]) : 1;
  ConcreteJob_entry entry;
  std::memset(&entry, 0, sizeof entry);
  std::snprintf(entry.job_type_id, sizeof entry.job_type_id, "%s", argv[1]);
  std::snprintf(entry.libPath, sizeof entry.libPath, "%s", argv[2]);
  std::snprintf(entry.update_handler_name, sizeof entry.update_handler_name, "%s", "e2e_job_update");
  std::snprintf(entry.cleanup_handler_name, sizeof entry.cleanup_handler_name, "%s", "e2e_job_cleanup");
  for (int i = 0; i < count; ++i) {
    void *lib = dlopen("/lib/cim/libjobledger.so", RTLD_LAZY);
    if (lib == nullptr) {
      std::fprintf(stderr, "e2e_make_job: %s\n", dlerror());
      return 1;
    }
    auto create = reinterpret_cast<create_job_instance_func>(dlsym(lib, "create_job_instance"));
    if (create == nullptr) {
      std::fprintf(stderr, "e2e_make_job: no create_job_instance\n");
      dlclose(lib);
      return 1;
    }
    char id[40] = "";
    const int rc = create(id, sizeof id, &entry);
    dlclose(lib);
    if (rc != 0) {
      std::fprintf(stderr, "e2e_make_job: create_job_instance returned %d\n", rc);
      return 1;
    }
    std::printf("%s\n", id);
  }
  return 0;
}
