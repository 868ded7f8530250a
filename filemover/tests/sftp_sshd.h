// Runs the system's OpenSSH sshd on a loopback port, with its own host keys and
// configuration, for throwaway accounts that exist only in the caller's private /etc.
//
// Only for use inside nsfixture::Run: it adds accounts to /etc/passwd, /etc/shadow and
// /etc/group, may replace /etc/pam.d/sshd, and mounts a tmpfs over /run (sshd needs
// /run/sshd). All of that stays in the body's private mount namespace.
#ifndef QELVO_FILEMOVER_TESTS_SFTP_SSHD_H
#define QELVO_FILEMOVER_TESTS_SFTP_SSHD_H

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace sftptest {

struct SshdConfig {
    bool password = true;              // PasswordAuthentication
    bool keyboard_interactive = false; // KbdInteractiveAuthentication, through PAM
    bool public_key = false;           // PubkeyAuthentication
};

// Adds an account with a home directory under /tmp/home. Returns false on failure.
bool AddAccount(const std::string &user, const std::string &password);

class Sshd {
public:
    explicit Sshd(const SshdConfig &config);
    ~Sshd();
    Sshd(const Sshd &) = delete;
    Sshd &operator=(const Sshd &) = delete;

    bool ok() const { return pid_ > 0; }
    const std::string &error() const { return error_; }
    uint16_t port() const { return port_; }
    std::string port_text() const { return std::to_string(port_); }
    // A private key (ed25519) whose public half is authorised for every account.
    const std::string &client_key() const { return client_key_; }
    void Stop();

private:
    bool Start(const SshdConfig &config);

    std::string error_, client_key_;
    pid_t pid_ = -1;
    uint16_t port_ = 0;
};

// Writes content to path, readable by everyone.
bool WriteFile(const std::string &path, const std::string &content);

}  // namespace sftptest

#endif
