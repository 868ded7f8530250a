#include "smbios_walk.h"

#include <cstring>

namespace {

// The start of the string set of the structure at addr, or null when its header or formatted
// area is not inside the image.
const unsigned char *StringSet(const unsigned char *addr, const unsigned char *end) {
  if (addr == nullptr || end == nullptr || addr >= end) return nullptr;
  if (static_cast<size_t>(end - addr) < kSmbiosHeaderSize) return nullptr;
  const size_t length = addr[1];
  if (length < kSmbiosHeaderSize || length > static_cast<size_t>(end - addr)) return nullptr;
  return addr + length;
}

// The terminating zero of the string starting at s, or null when it is not before end.
const unsigned char *Terminator(const unsigned char *s, const unsigned char *end) {
  if (s >= end) return nullptr;
  return static_cast<const unsigned char *>(std::memchr(s, 0, static_cast<size_t>(end - s)));
}

bool EmptySet(const unsigned char *set, const unsigned char *end) {
  return end - set >= 2 && set[0] == 0 && set[1] == 0;
}

}  // namespace

const unsigned char *get_next_struct_address(const unsigned char *addr, const unsigned char *end) {
  const unsigned char *p = StringSet(addr, end);
  if (p == nullptr) return nullptr;
  for (; end - p >= 2; ++p) {
    if (p[0] == 0 && p[1] == 0) return p + 2;
  }
  return nullptr;
}

const char *find_string(const unsigned char *addr, unsigned char n, const unsigned char *end) {
  if (n == 0) return nullptr;
  // Only strings of a set that ends inside the image; the set is [set, next).
  const unsigned char *next = get_next_struct_address(addr, end);
  if (next == nullptr) return nullptr;
  const unsigned char *s = addr + addr[1];
  if (EmptySet(s, next)) return nullptr;
  for (unsigned number = 1;; ++number) {
    const unsigned char *zero = Terminator(s, next);
    if (zero == nullptr) return nullptr;
    if (number == n) return reinterpret_cast<const char *>(s);
    if (next - zero < 2 || zero[1] == 0) return nullptr;  // the set ends here
    s = zero + 1;
  }
}

int get_string_number(const unsigned char *addr, const unsigned char *end) {
  const unsigned char *s = StringSet(addr, end);
  if (s == nullptr || EmptySet(s, end)) return 0;
  int count = 0;
  for (;;) {
    const unsigned char *zero = Terminator(s, end);
    if (zero == nullptr) return count;
    ++count;
    if (end - zero < 2 || zero[1] == 0) return count;
    s = zero + 1;
  }
}

bool smbios_entry_point(const unsigned char *image, size_t size, SmbiosVersion *out) {
  if (image == nullptr || size < kSmbiosEntryPointSize) return false;
  if (out != nullptr) {
    out->major = image[kSmbiosMajorOffset];
    out->minor = image[kSmbiosMinorOffset];
    out->count = static_cast<unsigned short>(image[kSmbiosCountOffset] | image[kSmbiosCountOffset + 1] << 8);
  }
  return true;
}

size_t smbios_walk(const unsigned char *image, size_t size,
                   const std::function<bool(const unsigned char *structure, const unsigned char *end)> &visit) {
  SmbiosVersion ep;
  if (!smbios_entry_point(image, size, &ep) || ep.count <= 1) return 0;
  const unsigned char *end = image + size;
  const unsigned char *current = image + kSmbiosEntryPointSize;
  size_t visited = 0;
  for (unsigned i = 1; i < ep.count; ++i) {
    const unsigned char *next = get_next_struct_address(current, end);
    if (next == nullptr) break;
    ++visited;
    if (!visit(current, end)) break;
    current = next;
  }
  return visited;
}
