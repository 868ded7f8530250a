#include "slotscan_log.h"

#include <cstdarg>
#include <syslog.h>

void slog(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vsyslog(LOG_ERR, fmt, ap);
    va_end(ap);
}
