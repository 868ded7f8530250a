// Diagnostics of the PCI inventory provider: every line goes to the system log at error
// priority, as the provider has always reported its progress.
#ifndef QELVO_SLOTSCAN_LOG_H
#define QELVO_SLOTSCAN_LOG_H

void slog(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// A C string that is safe to hand to "%s": "(null)" for a null pointer.
inline const char *slog_str(const char *s) { return s != nullptr ? s : "(null)"; }

#endif  // QELVO_SLOTSCAN_LOG_H
