// Helpers shared by the ledger tests; they run inside nsfixture bodies, where
// /tmp is a private tmpfs.
#ifndef QELVO_JOBLEDGER_TESTS_TEST_UTIL_H
#define QELVO_JOBLEDGER_TESTS_TEST_UTIL_H

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>

#include "concretejob.h"

namespace jlt {

using Strings = std::vector<std::string>;
using Fields = std::vector<std::pair<std::string, std::string>>;

inline std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void write_file(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary) << text;
}

inline bool exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

inline long now() { return static_cast<long>(std::time(nullptr)); }

// /tmp/sfcb as the provider start-up makes it (writable by its owner only),
// /tmp/jlt for the test handler.
inline void make_dirs()
{
    mkdir("/tmp/sfcb", 0755);
    chmod("/tmp/sfcb", 0755);
    mkdir("/tmp/jlt", 0777);
}

// What the code under test sends to syslog, caught at /dev/log. Inside an nsfixture body only:
// /dev is covered with a tmpfs of the body's private mount namespace.
class SyslogCatcher {
public:
    SyslogCatcher() : fd_(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0))
    {
        sockaddr_un sa{AF_UNIX, "/dev/log"};
        EXPECT_EQ(0, mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755")) << std::strerror(errno);
        EXPECT_EQ(0, bind(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa)) << std::strerror(errno);
    }
    ~SyslogCatcher() { close(fd_); }
    // The messages that arrived since the last call.
    std::vector<std::string> Take()
    {
        std::vector<std::string> lines;
        char buf[2048];
        for (ssize_t n; (n = recv(fd_, buf, sizeof buf, 0)) > 0;)
            lines.emplace_back(buf, static_cast<size_t>(n));
        return lines;
    }

private:
    int fd_;
};

inline ConcreteJob_entry entry(const std::string &type, const std::string &lib = JLT_HANDLER_LIB,
                               const std::string &update = "jlt_update", const std::string &cleanup = "jlt_cleanup")
{
    ConcreteJob_entry e;
    std::memset(&e, 0, sizeof e);
    std::strncpy(e.job_type_id, type.c_str(), sizeof e.job_type_id - 1);
    std::strncpy(e.libPath, lib.c_str(), sizeof e.libPath - 1);
    std::strncpy(e.update_handler_name, update.c_str(), sizeof e.update_handler_name - 1);
    std::strncpy(e.cleanup_handler_name, cleanup.c_str(), sizeof e.cleanup_handler_name - 1);
    return e;
}

// One section in the ledger's file form.
inline std::string section(const std::string &name, const Fields &fields)
{
    std::string text = "\n[" + name + "]\n";
    for (const auto &f : fields)
        text += f.first + " = \"" + f.second + "\"\n";
    return text;
}

inline std::string registry_section(const std::string &type, const std::string &lib = JLT_HANDLER_LIB,
                                    const std::string &update = "jlt_update", const std::string &cleanup = "jlt_cleanup")
{
    return section(type, {{"libpath", lib}, {"updatehandler", update}, {"cleanuphandler", cleanup}});
}

// A finished record of the given age in seconds.
inline std::string done_record(int n, const std::string &id, long age, const std::string &tbr = "")
{
    Fields f = {{"instanceid", id}, {"jobstate", "7"}, {"jobstatus", "Process Completed"},
                {"jobfinishtime", std::to_string(now() - age)}};
    if (!tbr.empty())
        f.emplace_back("timebeforeremoval", tbr);
    return section("ID-" + std::to_string(n), f);
}

inline std::string create(const ConcreteJob_entry &e)
{
    char id[40] = "";
    EXPECT_EQ(0, create_job_instance(id, sizeof id, &e));
    return id;
}

// Steers the test handler's answer for one instance id.
inline void answer(const std::string &inst_id, int rc, int state, const std::string &text)
{
    write_file("/tmp/jlt/" + inst_id, std::to_string(rc) + " " + std::to_string(state) + " " + text + "\n");
}

inline Strings log_lines(const std::string &which)
{
    Strings lines;
    std::istringstream in(read_file("/tmp/jlt/" + which + ".log"));
    for (std::string l; std::getline(in, l);)
        lines.push_back(l);
    return lines;
}

}  // namespace jlt

#endif
