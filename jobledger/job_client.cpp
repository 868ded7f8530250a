// Creating a job in the ledger from another provider library; see job_client.h.
#include "job_client.h"

#include <dlfcn.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "concretejob.h"

namespace {

// Copies text into a field, cut to its size and always terminated (the
// handler names and paths are the callers' own constants and fit).
void set_field(char *field, const char *text)
{
    strncpy(field, text, CONCRETEJOB_FIELD_SIZE - 1);
    field[CONCRETEJOB_FIELD_SIZE - 1] = '\0';
}

}  // namespace

int ledger_create_job(const char *job_type, const char *handler_library, const char *update_handler,
                      const char *cleanup_handler, char *inst_id, int size, int *jobid)
{
    if (job_type == nullptr || handler_library == nullptr || update_handler == nullptr ||
        cleanup_handler == nullptr || inst_id == nullptr || size <= 0 || jobid == nullptr)
        return 1;
    memset(inst_id, 0, static_cast<size_t>(size));

    void *lib = dlopen(JOBLEDGER_LIBRARY, RTLD_LAZY);
    if (lib == nullptr)
        return 1;
    auto create = reinterpret_cast<create_job_instance_func>(dlsym(lib, "create_job_instance"));
    int rc = 1;
    if (create != nullptr) {
        ConcreteJob_entry entry;
        memset(&entry, 0, sizeof entry);
        set_field(entry.job_type_id, job_type);
        set_field(entry.libPath, handler_library);
        set_field(entry.update_handler_name, update_handler);
        set_field(entry.cleanup_handler_name, cleanup_handler);
        rc = create(inst_id, size, &entry) == 0 ? 0 : 1;
    }
    dlclose(lib);
    inst_id[size - 1] = '\0';
    if (rc != 0)
        return 1;

    const char *dash = strchr(inst_id, '-');
    if (dash == nullptr || dash[1] < '0' || dash[1] > '9')
        return 1;
    char *end = nullptr;
    errno = 0;
    const long n = strtol(dash + 1, &end, 10);
    if (errno != 0 || *end != '\0' || n > 0x7fffffff)
        return 1;
    *jobid = static_cast<int>(n);
    return 0;
}
