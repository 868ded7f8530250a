// schemapull's state file /etc/cim/qelvo/tavik_fw_schema: one line KEY = "VALUE" per key
// (SCHEMA_STATE, FW_VERSION, TAVIK_NODE_NUM, PROCESSING_TIMES), read and rewritten under an
// exclusive flock on the file itself, so that two runs never both act on what they read.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "schemapull.h"

const char *const sp_state_keys[SP_STATE_KEYS] = {"SCHEMA_STATE", "FW_VERSION", "TAVIK_NODE_NUM", "PROCESSING_TIMES"};

namespace {

// One line (without its newline) of at most SP_STATE_LINE characters: KEY = "VALUE", the key
// without blanks or "=", any number of blanks (none too) on either side of the "=", the value up
// to its closing quote (or the line's end) and not empty.
void ParseLine(const char *line, size_t len, schema_state *st) {
  if (len > SP_STATE_LINE) return;
  size_t p = 0;
  while (p < len && line[p] != ' ' && line[p] != '=') ++p;
  const size_t key_len = p;
  if (key_len == 0) return;
  while (p < len && std::isspace(static_cast<unsigned char>(line[p]))) ++p;
  if (p >= len || line[p] != '=') return;
  ++p;
  while (p < len && std::isspace(static_cast<unsigned char>(line[p]))) ++p;
  if (p >= len || line[p] != '"') return;
  ++p;
  const size_t value_start = p;
  while (p < len && line[p] != '"') ++p;
  const size_t value_len = p - value_start;
  if (value_len == 0 || value_len >= SP_STATE_VALUE) return;
  for (int k = 0; k < SP_STATE_KEYS; ++k) {
    if (std::strlen(sp_state_keys[k]) == key_len && std::memcmp(line, sp_state_keys[k], key_len) == 0) {
      std::memset(st->value[k], 0, SP_STATE_VALUE);
      std::memcpy(st->value[k], line + value_start, value_len);
    }
  }
}

}  // namespace

void parse_state_text(const char *text, size_t len, schema_state *st) {
  std::memset(st, 0, sizeof *st);
  size_t start = 0;
  while (start < len) {
    size_t end = start;
    while (end < len && text[end] != '\n') ++end;
    size_t line_len = end - start;
    if (line_len > 0 && text[start + line_len - 1] == '\r') --line_len;
    // A value never holds a terminator: a line with one is not ours.
    if (std::memchr(text + start, '\0', line_len) == nullptr) ParseLine(text + start, line_len, st);
    start = end + 1;
  }
}

char *format_state_text(const schema_state *st) {
  std::string text;
  for (int k = 0; k < SP_STATE_KEYS; ++k) {
    text += sp_state_keys[k];
    text += " = \"";
    text.append(st->value[k], strnlen(st->value[k], SP_STATE_VALUE - 1));
    text += "\"\n";
  }
  return strdup(text.c_str());
}

int state_lock(void) {
  struct stat sb;
  if (stat(SP_STATE_DIR, &sb) != 0 && mkdir_p(SP_STATE_DIR) != 0) return -1;
  const int fd = open(SP_STATE_FILE, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  while (flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      close(fd);
      return -1;
    }
  }
  return fd;
}

int state_read(int fd, schema_state *st) {
  std::memset(st, 0, sizeof *st);
  struct stat sb;
  if (fstat(fd, &sb) != 0) return -1;
  if (sb.st_size > SP_STATE_FILE_MAX) return 0;  // not a state file of ours: as if absent
  std::string text(static_cast<size_t>(sb.st_size), '\0');
  size_t got = 0;
  while (got < text.size()) {
    const ssize_t n = pread(fd, &text[got], text.size() - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  parse_state_text(text.data(), got, st);
  return 0;
}

int state_write(int fd, const schema_state *st) {
  char *text = format_state_text(st);
  if (text == nullptr) return -1;
  const size_t len = std::strlen(text);
  size_t done = 0;
  int rc = ftruncate(fd, 0);
  while (rc == 0 && done < len) {
    const ssize_t n = pwrite(fd, text + done, len - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) rc = -1;
    else done += static_cast<size_t>(n);
  }
  std::free(text);
  if (rc == 0 && fsync(fd) != 0) rc = -1;
  return rc;
}

void state_unlock(int fd) {
  if (fd >= 0) close(fd);
}

int write_state_file(const char *const keys[], const char *const values[], int count) {
  const int fd = state_lock();
  if (fd < 0) return -1;
  schema_state st;
  int rc = state_read(fd, &st);
  for (int i = 0; rc == 0 && i < count; ++i) {
    int k = 0;
    while (k < SP_STATE_KEYS && std::strcmp(keys[i], sp_state_keys[k]) != 0) ++k;
    if (k == SP_STATE_KEYS || std::strlen(values[i]) >= SP_STATE_VALUE) {
      rc = -1;
      break;
    }
    std::memset(st.value[k], 0, SP_STATE_VALUE);
    std::strcpy(st.value[k], values[i]);
  }
  if (rc == 0) rc = state_write(fd, &st);
  state_unlock(fd);
  return rc;
}
