#include "sftp_sshd.h"

#include <arpa/inet.h>
#include <crypt.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace sftptest {

namespace {

const char kDir[] = "/tmp/sshd";
int g_next_uid = 43200;

bool Append(const std::string &path, const std::string &line)
{
    std::ofstream f(path, std::ios::app);
    f << line << "\n";
    return static_cast<bool>(f);
}

bool Run(const std::string &command)
{
    return system(command.c_str()) == 0;
}

uint16_t FreeTcpPort()
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    uint16_t port = 0;
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), len) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(fd);
    return port;
}

// True once something on port sends an SSH banner.
bool Greets(uint16_t port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = false;
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
        pollfd p{fd, POLLIN, 0};
        char buf[8] = {};
        ok = poll(&p, 1, 500) == 1 && read(fd, buf, 4) == 4 && memcmp(buf, "SSH-", 4) == 0;
    }
    close(fd);
    return ok;
}

bool WaitExit(pid_t pid, int ms)
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

// Once per body: the privilege separation directory and the key pair used for public keys.
bool Prepare(std::string *error)
{
    struct stat st;
    if (stat(kDir, &st) == 0)
        return true;
    // /run belongs to the machine; in this mount namespace a tmpfs covers it.
    if (mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") != 0) {
        *error = std::string("mount /run: ") + strerror(errno);
        return false;
    }
    if (mkdir("/run/sshd", 0755) != 0 || mkdir(kDir, 0755) != 0 || mkdir("/tmp/home", 0755) != 0) {
        *error = "mkdir";
        return false;
    }
    const std::string d = kDir;
    if (!Run("ssh-keygen -q -t ed25519 -N '' -f " + d + "/host_ed25519 >/dev/null 2>&1") ||
        !Run("ssh-keygen -q -t ecdsa -N '' -f " + d + "/host_ecdsa >/dev/null 2>&1") ||
        !Run("ssh-keygen -q -t ed25519 -N '' -f " + d + "/client_ed25519 >/dev/null 2>&1") ||
        !Run("cp " + d + "/client_ed25519.pub " + d + "/authorized_keys")) {
        *error = "ssh-keygen";
        return false;
    }
    chmod((d + "/authorized_keys").c_str(), 0644);
    // Keyboard-interactive goes through PAM; a plain stack that needs nothing of the machine.
    std::ofstream pam("/etc/pam.d/sshd", std::ios::trunc);
    pam << "auth required pam_unix.so\n"
           "account required pam_unix.so\n"
           "session required pam_permit.so\n"
           "password required pam_deny.so\n";
    return static_cast<bool>(pam);
}

}  // namespace

bool WriteFile(const std::string &path, const std::string &content)
{
    {
        std::ofstream f(path, std::ios::binary | std::ios::trunc);
        f.write(content.data(), static_cast<std::streamsize>(content.size()));
        if (!f)
            return false;
    }
    return chmod(path.c_str(), 0644) == 0;
}

bool AddAccount(const std::string &user, const std::string &password)
{
    std::string error;
    if (!Prepare(&error))
        return false;
    const int uid = g_next_uid++;
    const std::string home = "/tmp/home/" + user;
    if (mkdir(home.c_str(), 0755) != 0 || chown(home.c_str(), uid, uid) != 0)
        return false;
    struct crypt_data data;
    memset(&data, 0, sizeof data);
    const char *hash = crypt_r(password.c_str(), "$6$qelvotest$", &data);
    if (hash == nullptr || hash[0] == '*')
        return false;
    const std::string id = std::to_string(uid);
    return Append("/etc/passwd", user + ":x:" + id + ":" + id + "::" + home + ":/bin/sh") &&
           Append("/etc/shadow", user + ":" + hash + ":19000:0:99999:7:::") &&
           Append("/etc/group", user + ":x:" + id + ":");
}

Sshd::Sshd(const SshdConfig &config)
{
    if (!Prepare(&error_))
        return;
    client_key_ = std::string(kDir) + "/client_ed25519";
    for (int attempt = 0; attempt < 5 && pid_ <= 0; ++attempt)
        Start(config);
    if (pid_ <= 0 && error_.empty())
        error_ = "sshd did not start";
}

Sshd::~Sshd()
{
    Stop();
}

bool Sshd::Start(const SshdConfig &config)
{
    const uint16_t port = FreeTcpPort();
    if (port == 0)
        return false;
    const std::string d = kDir;
    const std::string conf = d + "/sshd_config_" + std::to_string(port);
    {
        std::ofstream f(conf, std::ios::trunc);
        f << "Port " << port << "\n"
          << "ListenAddress 127.0.0.1\n"
          << "HostKey " << d << "/host_ed25519\n"
          << "HostKey " << d << "/host_ecdsa\n"
          << "PidFile " << d << "/sshd_" << port << ".pid\n"
          << "UsePAM " << (config.keyboard_interactive ? "yes" : "no") << "\n"
          << "PasswordAuthentication " << (config.password ? "yes" : "no") << "\n"
          << "KbdInteractiveAuthentication " << (config.keyboard_interactive ? "yes" : "no") << "\n"
          << "PubkeyAuthentication " << (config.public_key ? "yes" : "no") << "\n"
          << "AuthorizedKeysFile " << d << "/authorized_keys\n"
          << "PermitRootLogin no\n"
          << "StrictModes no\n"
          << "UseDNS no\n"
          << "MaxStartups 200\n"
          << "MaxAuthTries 20\n"
          << "LogLevel ERROR\n"
          << "Subsystem sftp internal-sftp\n";
    }
    const std::string log = d + "/sshd_" + std::to_string(port) + ".log";
    const pid_t pid = fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        setpgid(0, 0);
        const int null = open("/dev/null", O_RDWR);
        const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (null >= 0)
            dup2(null, 0);
        if (out >= 0) {
            dup2(out, 1);
            dup2(out, 2);
        }
        execl("/usr/sbin/sshd", "/usr/sbin/sshd", "-D", "-e", "-f", conf.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    setpgid(pid, pid);
    pid_ = pid;
    port_ = port;
    for (int i = 0; i < 100; ++i) {
        if (Greets(port))
            return true;
        if (WaitExit(pid, 0)) {
            std::ifstream f(log);
            std::stringstream ss;
            ss << f.rdbuf();
            error_ = "sshd exited: " + ss.str();
            pid_ = -1;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    error_ = "sshd does not answer";
    Stop();
    return false;
}

void Sshd::Stop()
{
    if (pid_ <= 0)
        return;
    kill(-pid_, SIGTERM);
    if (!WaitExit(pid_, 2000)) {
        kill(-pid_, SIGKILL);
        WaitExit(pid_, 2000);
    }
    kill(-pid_, SIGKILL);
    pid_ = -1;
}

}  // namespace sftptest
