// The host's SSH switch agent, as the host platform runs it beside the CIMOM.
//
// The file transfer service asks for SSH to be switched on or off by appending request lines to
// the switch file (/tmp/sshOp); this agent carries the requests out on a simulated SSH service
// and rewrites the file so that it holds one status line telling whether the service is on:
//
//   op:sshservices/enabled = "true"        request: switch SSH on
//   op:sshservices/enabled = "false"       request: switch SSH off
//   status:sshservices/enabled = "true"    written back: SSH is on
//   status:sshservices/enabled = "false"   written back: SSH is off
//
// The service's state is kept in memory and, with --state, in a file that survives restarts.
// --on-enable / --on-disable name shell commands that do the actual switching (for example
// starting or stopping a server); a command that fails leaves the state as it was.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

const char kRequestOn[] = "op:sshservices/enabled = \"true\"";
const char kRequestOff[] = "op:sshservices/enabled = \"false\"";
const char kStatusOn[] = "status:sshservices/enabled = \"true\"";
const char kStatusOff[] = "status:sshservices/enabled = \"false\"";

volatile sig_atomic_t stop_requested = 0;

void on_signal(int)
{
    stop_requested = 1;
}

struct Agent {
    std::string file = "/tmp/sshOp";
    std::string state_file;
    std::string on_enable, on_disable;
    bool enabled = false;
    long interval_ms = 100;
    bool once = false;
};

void say(const char *fmt, const std::string &a = "")
{
    fprintf(stderr, "ssh-switch-agent: ");
    fprintf(stderr, fmt, a.c_str());
    fputc('\n', stderr);
}

std::string status_line(bool on)
{
    return std::string(on ? kStatusOn : kStatusOff) + "\n";
}

// Reads what fd holds from its current offset on. False on a read error.
bool read_rest(int fd, std::string *out)
{
    out->clear();
    char buf[4096];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        out->append(buf, static_cast<size_t>(n));
    }
}

bool write_file(const std::string &path, const std::string &content)
{
    const std::string tmp = path + ".agent-tmp";
    const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    size_t done = 0;
    bool ok = true;
    while (done < content.size() && ok) {
        const ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        if (ok)
            done += static_cast<size_t>(n);
    }
    ok = fchmod(fd, 0644) == 0 && ok;
    ok = close(fd) == 0 && ok;
    if (ok && rename(tmp.c_str(), path.c_str()) == 0)
        return true;
    unlink(tmp.c_str());
    return false;
}

void load_state(Agent &a)
{
    if (a.state_file.empty())
        return;
    FILE *f = fopen(a.state_file.c_str(), "r");
    if (f == nullptr)
        return;
    char word[32] = {0};
    if (fgets(word, sizeof word, f) != nullptr) {
        if (strncmp(word, "enabled", 7) == 0)
            a.enabled = true;
        else if (strncmp(word, "disabled", 8) == 0)
            a.enabled = false;
    }
    fclose(f);
}

void save_state(const Agent &a)
{
    if (!a.state_file.empty() && !write_file(a.state_file, a.enabled ? "enabled\n" : "disabled\n"))
        say("cannot write the state file %s", a.state_file);
}

// Switches the simulated service; the hook command, when given, must succeed.
void switch_to(Agent &a, bool on)
{
    if (a.enabled == on)
        return;
    const std::string &hook = on ? a.on_enable : a.on_disable;
    if (!hook.empty()) {
        const int rc = system(hook.c_str());
        if (rc == -1 || !WIFEXITED(rc) || WEXITSTATUS(rc) != 0) {
            say("switch command failed, SSH stays %s", a.enabled ? "enabled" : "disabled");
            return;
        }
    }
    a.enabled = on;
    save_state(a);
    say("SSH %s", on ? "enabled" : "disabled");
}

// Carries out the requests of content in their order; status lines are the agent's own.
void apply(Agent &a, const std::string &content)
{
    size_t pos = 0;
    while (pos < content.size()) {
        size_t end = content.find('\n', pos);
        if (end == std::string::npos)
            end = content.size();
        const std::string line = content.substr(pos, end - pos);
        pos = end + 1;
        if (line == kRequestOn)
            switch_to(a, true);
        else if (line == kRequestOff)
            switch_to(a, false);
        else if (!line.empty() && line != kStatusOn && line != kStatusOff)
            say("ignored line: %s", line);
    }
}

// One look at the switch file.
void handle(Agent &a)
{
    const int fd = open(a.file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT && !write_file(a.file, status_line(a.enabled)))
            say("cannot write %s", a.file);
        return;
    }
    struct stat st;
    std::string content;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || !read_rest(fd, &content)) {
        close(fd);
        return;
    }
    if (content != status_line(a.enabled)) {
        // Requests appended while the file is being replaced land in the file read here; they
        // are read again after the replacement and carried out too.
        for (;;) {
            apply(a, content);
            if (!write_file(a.file, status_line(a.enabled))) {
                say("cannot write %s", a.file);
                break;
            }
            if (!read_rest(fd, &content) || content.empty())
                break;
        }
    }
    close(fd);
}

void usage()
{
    fprintf(stderr,
            "usage: ssh-switch-agent [--file PATH] [--state PATH] [--initial on|off]\n"
            "                        [--on-enable CMD] [--on-disable CMD] [--interval-ms N] [--once]\n");
}

}  // namespace

int main(int argc, char **argv)
{
    Agent a;
    for (int i = 1; i < argc; ++i) {
        const std::string opt = argv[i];
        auto value = [&](std::string *out) {
            if (i + 1 >= argc)
                return false;
            *out = argv[++i];
            return true;
        };
        std::string v;
        if (opt == "--once") {
            a.once = true;
        } else if (opt == "--file" && value(&a.file)) {
        } else if (opt == "--state" && value(&a.state_file)) {
        } else if (opt == "--on-enable" && value(&a.on_enable)) {
        } else if (opt == "--on-disable" && value(&a.on_disable)) {
        } else if (opt == "--initial" && value(&v) && (v == "on" || v == "off")) {
            a.enabled = v == "on";
        } else if (opt == "--interval-ms" && value(&v) && atol(v.c_str()) > 0 && atol(v.c_str()) <= 60000) {
            a.interval_ms = atol(v.c_str());
        } else {
            usage();
            return 2;
        }
    }
    if (a.file.empty()) {
        usage();
        return 2;
    }
    load_state(a);

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);

    handle(a);
    if (a.once)
        return 0;
    say("watching %s", a.file);
    while (!stop_requested) {
        timespec t = {a.interval_ms / 1000, (a.interval_ms % 1000) * 1000000L};
        nanosleep(&t, nullptr);
        if (!stop_requested)
            handle(a);
    }
    return 0;
}
