// The controller log: /tmp/QELVOTAVIKLog.log, written only while /tmp/QELVOTAVIKLOG exists.
//
// Each deliverable that writes the log compiles tavik_log.cpp into itself; the functions are
// hidden, never exported. A line is the local time as asctime() gives it without its newline,
// one blank, the message and a newline. Callers put their own tag ("TPP:", "Filetrans :") at the
// start of the message. Messages longer than TAVIK_LOG_MAX_MESSAGE - 1 bytes are cut.
#ifndef QELVO_BMCACCESS_TAVIK_LOG_H
#define QELVO_BMCACCESS_TAVIK_LOG_H

#include <cstdarg>

#define TAVIK_LOG_FLAG_FILE "/tmp/QELVOTAVIKLOG"
#define TAVIK_LOG_FILE "/tmp/QELVOTAVIKLog.log"
#define TAVIK_LOG_MAX_MESSAGE 4096

__attribute__((visibility("hidden"), format(printf, 1, 2)))
void tavik_log(const char *fmt, ...);

__attribute__((visibility("hidden"), format(printf, 1, 0)))
void tavik_vlog(const char *fmt, va_list ap);

#endif  // QELVO_BMCACCESS_TAVIK_LOG_H
