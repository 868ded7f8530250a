// Runs the system's tftpd-hpa (in.tftpd) in the foreground on a loopback port, serving one
// directory. Served files must be world-readable: the server drops to its own account.
#ifndef QELVO_FILEMOVER_TESTS_TFTPD_SERVER_H
#define QELVO_FILEMOVER_TESTS_TFTPD_SERVER_H

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace tftptest {

class Tftpd {
public:
    // Starts in.tftpd for dir at ip ("127.0.0.1" or "::1"); waits until it answers.
    Tftpd(const std::string &dir, const std::string &ip = "127.0.0.1");
    ~Tftpd();
    Tftpd(const Tftpd &) = delete;
    Tftpd &operator=(const Tftpd &) = delete;

    bool ok() const { return pid_ > 0; }
    const std::string &error() const { return error_; }
    uint16_t port() const { return port_; }
    std::string port_text() const { return std::to_string(port_); }
    void Stop();

private:
    bool StartOn(uint16_t port);
    bool Answers() const;

    std::string dir_, ip_, error_;
    pid_t pid_ = -1;
    uint16_t port_ = 0;
};

// Writes content to path, world-readable.
bool WriteServedFile(const std::string &path, const std::string &content);

// A free UDP port on ip (the kernel's pick), or 0.
uint16_t FreeUdpPort(const std::string &ip);

}  // namespace tftptest

#endif
