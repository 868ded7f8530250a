/* Diagnostics of the host CIMOM and its provider processes, on standard error. */
#include "log.h"

#include <atomic>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <sys/time.h>

namespace cimhost {

namespace {

std::atomic<int> g_level{static_cast<int>(LogLevel::Info)};
std::mutex g_mu;
std::string g_name = "cimhost";

void write(const char *tag, const std::string &message) {
  timeval tv;
  gettimeofday(&tv, nullptr);
  tm t;
  localtime_r(&tv.tv_sec, &t);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%H:%M:%S", &t);
  std::lock_guard<std::mutex> lock(g_mu);
  std::fprintf(stderr, "%s %s.%03ld %s%s\n", g_name.c_str(), stamp, static_cast<long>(tv.tv_usec / 1000), tag,
               message.c_str());
}

}  // namespace

void set_log_level(LogLevel level) { g_level = static_cast<int>(level); }
void set_log_name(const std::string &name) {
  std::lock_guard<std::mutex> lock(g_mu);
  g_name = name;
}
LogLevel log_level() { return static_cast<LogLevel>(g_level.load()); }
void log_error(const std::string &message) { write("error: ", message); }
void log_info(const std::string &message) {
  if (g_level >= static_cast<int>(LogLevel::Info)) write("", message);
}
void log_debug(const std::string &message) {
  if (g_level >= static_cast<int>(LogLevel::Debug)) write("", message);
}

}  // namespace cimhost
