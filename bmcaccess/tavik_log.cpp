#include "tavik_log.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

void tavik_vlog(const char *fmt, va_list ap) {
  if (access(TAVIK_LOG_FLAG_FILE, F_OK) != 0) return;

  // "Www Mmm dd hh:mm:ss yyyy" (asctime without its newline), a blank, the message, a newline.
  constexpr size_t kStampLen = 24;
  char line[kStampLen + 1 + TAVIK_LOG_MAX_MESSAGE + 1];

  const time_t now = time(nullptr);
  struct tm local;
  char stamp[26];  // asctime_r needs 26 bytes
  if (localtime_r(&now, &local) == nullptr || asctime_r(&local, stamp) == nullptr) return;
  std::memcpy(line, stamp, kStampLen);
  line[kStampLen] = ' ';

  char *msg = line + kStampLen + 1;
  int n = vsnprintf(msg, TAVIK_LOG_MAX_MESSAGE, fmt, ap);
  if (n < 0) {
    msg[0] = '\0';
    n = 0;
  } else if (n > TAVIK_LOG_MAX_MESSAGE - 1) {
    n = TAVIK_LOG_MAX_MESSAGE - 1;
  }
  size_t len = kStampLen + 1 + static_cast<size_t>(n);
  line[len++] = '\n';

  FILE *f = fopen(TAVIK_LOG_FILE, "a+");
  if (f == nullptr) return;
  // Unbuffered, the line goes out in one append write, so lines from several threads or
  // processes never interleave.
  setvbuf(f, nullptr, _IONBF, 0);
  fwrite(line, 1, len, f);
  fclose(f);
}

void tavik_log(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  tavik_vlog(fmt, ap);
  va_end(ap);
}
