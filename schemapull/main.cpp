// schemapull: stages the node controllers' classes for the host CIMOM. It takes no arguments.
// The run that finds work to do forks: the parent exits at once with 0, the child imports and
// leaves the outcome in the state file. Exit status 1 when the state was "ready" (flipped to
// "check"), 255 for a failure.
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "multinode.h"
#include "schemapull.h"
#include "tavik_log.h"

namespace {

void Set(schema_state &st, int key, const char *value) {
  std::memset(st.value[key], 0, SP_STATE_VALUE);
  std::strncpy(st.value[key], value, SP_STATE_VALUE - 1);
}

// Writes the keys given (the others as the file has them now) under the lock.
bool Store(const char *state, const char *fw_version = nullptr, const char *node_num = nullptr) {
  const char *keys[3] = {sp_state_keys[SP_KEY_STATE]};
  const char *values[3] = {state};
  int n = 1;
  if (fw_version != nullptr) {
    keys[n] = sp_state_keys[SP_KEY_FW_VERSION];
    values[n++] = fw_version;
  }
  if (node_num != nullptr) {
    keys[n] = sp_state_keys[SP_KEY_NODE_NUM];
    values[n++] = node_num;
  }
  return write_state_file(keys, values, n) == 0;
}

// "0" to "15" (two digits or one); anything else counts as 0.
int ProcessingTimes(const char *text) {
  if (text[0] == '\0' || std::strlen(text) > 2) return 0;
  int n = 0;
  for (const char *p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return 0;
    n = n * 10 + (*p - '0');
  }
  return n;
}

// The child: finds the controller's firmware and stages its classes when they are new.
int Child(const char *ipmi_device, int node_num, const std::string &node_text, const schema_state &seen) {
  tavik_log("Get Tavik schema: child process enter.");
  char version[SP_STATE_VALUE] = {};
  CMPIStatus st = {CMPI_RC_OK, nullptr};
  if (get_tavik_fw_version(SP_BIND_ADDR, ipmi_device, version, sizeof version, &st) != 0 || version[0] == '\0') {
    Store("check");
    tavik_log("Get Tavik schema:  child process exit get tavik version failed.");
    return -1;
  }
  const char *local_version = seen.value[SP_KEY_FW_VERSION];
  const char *local_nodes = seen.value[SP_KEY_NODE_NUM];
  tavik_log("Get Tavik schema:  child process, The remote tavik version is %s, local is %s", version, local_version);
  if (strcasecmp(version, local_version) == 0) {
    tavik_log("Get Tavik schema:  child process, The remote node is %s, local is %s", node_text.c_str(), local_nodes);
    if (node_text != local_nodes) {
      if (porpulate_tavik_reposity(node_num, nullptr) == 0) {
        if (!Store("ready", nullptr, node_text.c_str())) return -1;
        tavik_log("Get Tavik schema:  child process porpulate_tavik_reposity successfully, exit");
        return 0;
      }
    } else if (access(SP_REPOSITORY_NODE0, F_OK) == 0) {
      Store("check");
      tavik_log("Get Tavik schema:  child process register file already file exist, exit");
      return 0;
    }
  }
  // A fetch starts from an empty conversion area: nothing of a failed run is appended to.
  if (std::system("rm -rf " SP_STAGE_TMP) != 0) {
    Store("check");
    tavik_log("Get Tavik schema:  child process get tavik schema failed, exit");
    return -1;
  }
  reset_convert_state();
  st = {CMPI_RC_OK, nullptr};
  if (get_tavik_schema(SP_BIND_ADDR, ipmi_device, &st) != 0 || st.rc != CMPI_RC_OK) {
    Store("check");
    tavik_log("Get Tavik schema:  child process get tavik schema failed, exit");
    return -1;
  }
  if (porpulate_tavik_reposity(node_num, SP_STAGE_TMP) != 0) {
    Store("check");
    tavik_log("Get Tavik schema:  child process porpulate_tavik_reposity failed, exit");
    return -1;
  }
  if (!Store("ready", version, node_text.c_str())) return -1;
  tavik_log("Get Tavik schema:  child process porpulate_tavik_reposity successfully , exit");
  return 0;
}

}  // namespace

int schemapull_main(void) {
  tavik_log("Get Tavik schema: enter");
  multinode_info info;
  std::memset(&info, 0, sizeof info);
  char device[MULTINODE_DEV_PATH_SIZE] = "/dev/ipmi0";
  int node_num = 1;
  if (setup_multinode(&info) != 0) {
    if (info.multinode_supported == 1) {
      clean_parsed_complex(&info);
      tavik_log("Get Tavik schema: exit, setup_multinode failed");
      return -1;
    }
  } else {
    const complex_data &c = info.parsed_complex;
    if (c.node_list != nullptr && info.primary_index >= 0 && info.primary_index < c.complex_node_count &&
        c.node_list[info.primary_index].dev_path[0] != '\0')
      std::memcpy(device, c.node_list[info.primary_index].dev_path, sizeof device);
    device[sizeof device - 1] = '\0';
    if (info.partition_node_count >= 1) node_num = info.partition_node_count;
  }
  clean_parsed_complex(&info);

  const int fd = state_lock();
  schema_state st;
  std::memset(&st, 0, sizeof st);
  if (fd < 0 || state_read(fd, &st) != 0) {
    state_unlock(fd);
    tavik_log("Get Tavik schema: exit, change schema status to processing failed.");
    return -1;
  }
  const std::string state = st.value[SP_KEY_STATE];
  tavik_log("Get Tavik schema: status is %s ", state.c_str());

  if (state == "processing") {
    int times = ProcessingTimes(st.value[SP_KEY_PROCESSING]) + 1;
    if (times > SP_MAX_PROCESSING) {
      Set(st, SP_KEY_STATE, "check");
      times = 0;
      std::system("rm -rf " SP_TPP_ROOT " ");
    }
    tavik_log("Get Tavik schema: process_time %s %d", st.value[SP_KEY_STATE], times);
    char count[12];
    std::snprintf(count, sizeof count, "%02d", times);
    Set(st, SP_KEY_PROCESSING, count);
    const int rc = state_write(fd, &st);
    state_unlock(fd);
    if (rc != 0) {
      tavik_log("Get Tavik schema: exit, change schema status failed.");
      return -1;
    }
    return 0;
  }
  if (state == "ready") {
    Set(st, SP_KEY_STATE, "check");
    const int rc = state_write(fd, &st);
    state_unlock(fd);
    if (rc != 0) {
      tavik_log("Get Tavik schema: exit, change schema status to ready failed.");
      return -1;
    }
    tavik_log("Get Tavik schema: exit, change schema status to ready successfully.");
    return 1;
  }
  const schema_state seen = st;
  Set(st, SP_KEY_STATE, "processing");
  Set(st, SP_KEY_PROCESSING, "0");
  const int rc = state_write(fd, &st);
  // Released before the fork: the child takes the lock again for each write of its own.
  state_unlock(fd);
  if (rc != 0) {
    tavik_log("Get Tavik schema: exit, change schema status to processing failed.");
    return -1;
  }
  const std::string node_text = std::to_string(node_num);
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) {
    Store("check");
    tavik_log("Get Tavik schema: exit, fork() failed.");
    return -1;
  }
  if (pid > 0) {
    tavik_log("Get Tavik schema: parent exit");
    return 0;
  }
  // The child keeps nothing of its caller's: a session of its own (a signal to the caller's
  // process group, or the caller's terminal going away, does not end the import half-way), and
  // no descriptor of the caller's output (whoever reads the parent's output is not held up).
  setsid();
  const int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null_fd >= 0) {
    dup2(null_fd, STDIN_FILENO);
    dup2(null_fd, STDOUT_FILENO);
    dup2(null_fd, STDERR_FILENO);
    close(null_fd);
  }
  std::exit(Child(device, node_num, node_text, seen) == 0 ? 0 : 255);
}

int main() { return schemapull_main(); }
