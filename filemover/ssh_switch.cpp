#include "ssh_switch.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "tavik_log.h"

namespace {

constexpr size_t kLineBuffer = 200;

void wait_for_agent()
{
    timespec left = {SSH_SWITCH_WAIT_SECONDS, 0};
    while (nanosleep(&left, &left) != 0) {
    }
}

}  // namespace

int SSHOperation(int operation)
{
    FILE *f = fopen(SSH_SWITCH_FILE, "a");
    if (f == nullptr) {
        tavik_log("can not open file %s", SSH_SWITCH_FILE);
        return 1;
    }
    const char *line = operation == SSH_OP_ENABLE    ? SSH_REQUEST_ENABLE
                       : operation == SSH_OP_DISABLE ? SSH_REQUEST_DISABLE
                                                     : nullptr;
    bool written = true;
    if (line != nullptr)
        written = fputs(line, f) >= 0;
    // A request that did not reach the file must not be reported as made.
    if (fclose(f) != 0 || !written) {
        tavik_log("can not write file %s", SSH_SWITCH_FILE);
        return 1;
    }
    return 0;
}

int EnableSSH()
{
    const int rc = SSHOperation(SSH_OP_ENABLE);
    wait_for_agent();
    return rc;
}

int DisableSSH()
{
    const int rc = SSHOperation(SSH_OP_DISABLE);
    wait_for_agent();
    return rc;
}

int GetSSHStatus()
{
    FILE *f = fopen(SSH_SWITCH_FILE, "r");
    if (f == nullptr) {
        tavik_log("can not open file %s", SSH_SWITCH_FILE);
        return SSH_NO_STATUS;
    }
    const size_t enabled_len = strlen(SSH_STATUS_ENABLED);
    const size_t disabled_len = strlen(SSH_STATUS_DISABLED);
    char line[kLineBuffer];
    size_t len = 0;
    int result = SSH_NO_STATUS;
    while (fgets(line, sizeof line, f) != nullptr) {
        len = strlen(line);
        // The status line comes first; any line of another length ends the search.
        if (len != enabled_len && len != disabled_len)
            break;
        if (strncmp(line, SSH_STATUS_ENABLED, enabled_len - 1) == 0) {
            result = SSH_ENABLED;
            break;
        }
        if (strncmp(line, SSH_STATUS_DISABLED, disabled_len - 1) == 0) {
            result = SSH_DISABLED;
            break;
        }
    }
    fclose(f);
    if (result == SSH_NO_STATUS) {
        tavik_log("Can not find status");
        tavik_log("length of one_line is %d", static_cast<int>(len));
        tavik_log("length of enabledLen is %d", static_cast<int>(enabled_len - 1));
        tavik_log("length of disableLength is %d", static_cast<int>(disabled_len - 1));
    }
    return result;
}
