// SFTP download client over libssh2.
#ifndef QELVO_FILEMOVER_SFTP_CLIENT_H
#define QELVO_FILEMOVER_SFTP_CLIENT_H

#include <libssh2.h>

#define SFTP_HOSTNAME_SIZE 64
#define SFTP_USERID_SIZE 256
#define SFTP_PASSWD_SIZE 256
#define SFTP_PORT_SIZE 10
#define SFTP_PATH_SIZE 256
#define SFTP_MESSAGE_SIZE 400

// Outcomes in sftp_date_struct::status.
enum {
    SFTP_OK = 0,
    SFTP_ERR_PARAMETERS = -1,
    SFTP_ERR_LOCAL_FILE = -2,
    SFTP_ERR_REMOTE_FILE = -3,
    SFTP_ERR_CONNECT = -4,
    SFTP_ERR_LIBSSH2_INIT = -5,
    SFTP_ERR_SESSION = -6,
    SFTP_ERR_AUTH = -7,
};

// One download; every text field is zero-terminated within its size.
struct sftp_date_struct {
    char hostname[SFTP_HOSTNAME_SIZE];        // dotted IPv4 address
    char userid[SFTP_USERID_SIZE];
    char passwd[SFTP_PASSWD_SIZE];
    char port[SFTP_PORT_SIZE];                // decimal
    char local_file_path[SFTP_PATH_SIZE];
    char remote_file_path[SFTP_PATH_SIZE];
    int status;                               // SFTP_OK or one of the SFTP_ERR_ values
    char message[SFTP_MESSAGE_SIZE];
};

// Connects to hostname:port, logs in with userid and passwd (password login when the server
// offers it, otherwise keyboard-interactive), and copies remote_file_path into
// local_file_path. Sets status and message; never throws.
//
// The local file's marker (owner "xfer_fw") is held for the whole download, so a file another
// transfer is writing is never written twice at once (status -2, "Unable to open local
// file."). After a failure past the marker the local file is removed under the marker.
// The local file is written by a second thread that lives only within the call.
void sftp_read(sftp_date_struct *rec);

// What the keyboard-interactive answers come from: one per login, reached through the
// session's abstract pointer, so that simultaneous logins never see each other's passwords.
struct sftp_kbd_context {
    char password[SFTP_PASSWD_SIZE];
};

// libssh2 keyboard-interactive callback; *abstract points to an sftp_kbd_context. Every prompt
// is copied (cut to 1023 characters); one containing "Password" (any case) is answered with
// the password, others are left unanswered.
LIBSSH2_USERAUTH_KBDINT_RESPONSE_FUNC(kbd_callback);

#endif
