#include "tftpd_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

namespace tftptest {

namespace {

bool fill_addr(const std::string &ip, uint16_t port, sockaddr_storage *ss, socklen_t *len)
{
    memset(ss, 0, sizeof *ss);
    if (ip.find(':') != std::string::npos) {
        auto *a = reinterpret_cast<sockaddr_in6 *>(ss);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(port);
        *len = sizeof *a;
        return inet_pton(AF_INET6, ip.c_str(), &a->sin6_addr) == 1;
    }
    auto *a = reinterpret_cast<sockaddr_in *>(ss);
    a->sin_family = AF_INET;
    a->sin_port = htons(port);
    *len = sizeof *a;
    return inet_pton(AF_INET, ip.c_str(), &a->sin_addr) == 1;
}

// Waits at most ms for pid to end; true when it did.
bool wait_exit(pid_t pid, int ms)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        int status;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid || r < 0)
            return true;
        if (std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace

uint16_t FreeUdpPort(const std::string &ip)
{
    sockaddr_storage ss;
    socklen_t len;
    if (!fill_addr(ip, 0, &ss, &len))
        return 0;
    const int fd = socket(ss.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    uint16_t port = 0;
    if (bind(fd, reinterpret_cast<sockaddr *>(&ss), len) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&ss), &len) == 0)
        port = ntohs(ss.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 &>(ss).sin6_port
                                              : reinterpret_cast<sockaddr_in &>(ss).sin_port);
    close(fd);
    return port;
}

bool WriteServedFile(const std::string &path, const std::string &content)
{
    {
        std::ofstream f(path, std::ios::binary | std::ios::trunc);
        f.write(content.data(), static_cast<std::streamsize>(content.size()));
        if (!f)
            return false;
    }
    return chmod(path.c_str(), 0644) == 0;
}

Tftpd::Tftpd(const std::string &dir, const std::string &ip) : dir_(dir), ip_(ip)
{
    chmod(dir.c_str(), 0755);
    for (int attempt = 0; attempt < 5 && pid_ <= 0; ++attempt) {
        const uint16_t port = FreeUdpPort(ip);
        if (port != 0 && StartOn(port))
            port_ = port;
    }
    if (pid_ <= 0 && error_.empty())
        error_ = "in.tftpd did not start";
}

Tftpd::~Tftpd()
{
    Stop();
}

bool Tftpd::StartOn(uint16_t port)
{
    const bool v6 = ip_.find(':') != std::string::npos;
    const std::string addr = (v6 ? "[" + ip_ + "]" : ip_) + ":" + std::to_string(port);
    const pid_t pid = fork();
    if (pid < 0) {
        error_ = "fork failed";
        return false;
    }
    if (pid == 0) {
        // Its own process group, so that Stop reaches the children it forks per request.
        setpgid(0, 0);
        const int null = open("/dev/null", O_RDWR);
        if (null >= 0) {
            dup2(null, 0);
            dup2(null, 1);
        }
        execl("/usr/sbin/in.tftpd", "in.tftpd", "-L", v6 ? "-6" : "-4", "-a", addr.c_str(), "-s",
              dir_.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    setpgid(pid, pid);
    pid_ = pid;
    port_ = port;
    for (int i = 0; i < 50; ++i) {
        if (Answers())
            return true;
        if (wait_exit(pid, 0)) {  // exited: the port was taken, or it cannot run
            pid_ = -1;
            return false;
        }
    }
    error_ = "in.tftpd does not answer";
    Stop();
    return false;
}

// Sends a request for a file that does not exist; any answer means the server is up.
bool Tftpd::Answers() const
{
    sockaddr_storage ss;
    socklen_t len;
    fill_addr(ip_, port_, &ss, &len);
    const int fd = socket(ss.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    static const char rrq[] = "\0\1qelvo-probe-missing\0octet";
    sendto(fd, rrq, sizeof rrq, 0, reinterpret_cast<sockaddr *>(&ss), len);
    pollfd p{fd, POLLIN, 0};
    const bool answered = poll(&p, 1, 100) == 1;
    close(fd);
    return answered;
}

void Tftpd::Stop()
{
    if (pid_ <= 0)
        return;
    kill(-pid_, SIGTERM);
    if (!wait_exit(pid_, 2000)) {
        kill(-pid_, SIGKILL);
        wait_exit(pid_, 2000);
    }
    kill(-pid_, SIGKILL);  // per-request children still around
    pid_ = -1;
}

}  // namespace tftptest
