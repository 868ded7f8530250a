// The host's SSH service switch.
//
// The service does not start or stop SSH itself: it appends a request line to the switch file,
// and an agent of the host carries the request out and rewrites the file with one status line
// that tells whether SSH is on. Lines, each ending with a newline:
//   op:sshservices/enabled = "true"        request: switch SSH on      (written here)
//   op:sshservices/enabled = "false"       request: switch SSH off     (written here)
//   status:sshservices/enabled = "true"    SSH is on                   (written by the agent)
//   status:sshservices/enabled = "false"   SSH is off                  (written by the agent)
#ifndef QELVO_FILEMOVER_SSH_SWITCH_H
#define QELVO_FILEMOVER_SSH_SWITCH_H

#define SSH_SWITCH_FILE "/tmp/sshOp"
#define SSH_REQUEST_ENABLE "op:sshservices/enabled = \"true\"\n"
#define SSH_REQUEST_DISABLE "op:sshservices/enabled = \"false\"\n"
#define SSH_STATUS_ENABLED "status:sshservices/enabled = \"true\"\n"
#define SSH_STATUS_DISABLED "status:sshservices/enabled = \"false\"\n"

// How long EnableSSH and DisableSSH give the agent before they answer.
#define SSH_SWITCH_WAIT_SECONDS 60

enum { SSH_OP_ENABLE = 1, SSH_OP_DISABLE = 2 };

// Results of GetSSHStatus.
enum { SSH_ENABLED = 0, SSH_DISABLED = 1, SSH_NO_STATUS = 2 };

// Appends the request line of operation (SSH_OP_ENABLE or SSH_OP_DISABLE; any other value
// writes nothing) to the switch file, creating it when needed. 0, or 1 when the file cannot be
// opened or the line was not written whole.
int SSHOperation(int operation);

// SSHOperation(SSH_OP_ENABLE) / (SSH_OP_DISABLE), answered after SSH_SWITCH_WAIT_SECONDS
// whether or not the request was written.
int EnableSSH();
int DisableSSH();

// Reads the switch file: SSH_ENABLED or SSH_DISABLED from the status line, which must come
// before any other line; SSH_NO_STATUS when the file cannot be read or holds no status line
// there.
int GetSSHStatus();

#endif
