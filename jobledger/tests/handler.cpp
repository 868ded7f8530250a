// A job handler library for the ledger tests. Its answers are steered through
// files the test writes under /tmp/jlt, and it logs every call there:
//   /tmp/jlt/<instance id>  "<rc> <state> <status text>" answered by the update
//                           function; without the file it answers 0, 4,
//                           "Process Running". The status text "@overlong"
//                           fills the whole buffer without a terminator.
//   /tmp/jlt/update.log     one line per update call: the instance id
//   /tmp/jlt/cleanup.log    one line per clean-up call: the instance id
#include <cstdio>
#include <cstring>
#include <string>

namespace {

void log_call(const char *file, const char *inst_id)
{
    FILE *f = std::fopen(file, "a");
    if (f == nullptr)
        return;
    std::fprintf(f, "%s\n", inst_id);
    std::fclose(f);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int jlt_update(const char *inst_id, int *state, char *status,
                                                                  int size)
{
    log_call("/tmp/jlt/update.log", inst_id);
    FILE *f = std::fopen((std::string("/tmp/jlt/") + inst_id).c_str(), "r");
    if (f == nullptr) {
        *state = 4;
        std::snprintf(status, static_cast<size_t>(size), "%s", "Process Running");
        return 0;
    }
    int rc = 1;
    int st = 0;
    char text[512] = "";
    const int n = std::fscanf(f, "%d %d %511[^\n]", &rc, &st, text);
    std::fclose(f);
    if (n < 2)
        return 1;
    if (rc != 0)
        return rc;
    *state = st;
    if (std::strcmp(text, "@overlong") == 0)
        std::memset(status, 'x', static_cast<size_t>(size));
    else
        std::snprintf(status, static_cast<size_t>(size), "%s", text);
    return 0;
}

extern "C" __attribute__((visibility("default"))) int jlt_cleanup(const char *inst_id)
{
    log_call("/tmp/jlt/cleanup.log", inst_id);
    return 0;
}
