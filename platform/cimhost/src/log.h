/* Diagnostics of the host CIMOM, on standard error. */
#ifndef QELVO_CIMHOST_LOG_H
#define QELVO_CIMHOST_LOG_H

#include <string>

namespace cimhost {

enum class LogLevel { Quiet = 0, Info = 1, Debug = 2 };

void set_log_level(LogLevel level);
/* What every line starts with ("cimhost" unless set). */
void set_log_name(const std::string &name);
LogLevel log_level();
void log_error(const std::string &message);
void log_info(const std::string &message);
void log_debug(const std::string &message);

}  // namespace cimhost

#endif  // QELVO_CIMHOST_LOG_H
