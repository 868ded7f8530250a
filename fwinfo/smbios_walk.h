// The SMBIOS structure walk shared by every reader of the controller's "smbios-table": the
// 31-byte SMBIOS 2.x entry point followed at once by the structure table.
//
// Every function is given the end of the table image and never reads at or past it, whatever
// the entry point's structure count or a structure's length claim: a structure whose header,
// formatted area or string set does not lie wholly inside the image is not a structure.
#ifndef QELVO_FWINFO_SMBIOS_WALK_H
#define QELVO_FWINFO_SMBIOS_WALK_H

#include <cstddef>
#include <cstdint>
#include <functional>

// Entry point fields the readers use.
constexpr size_t kSmbiosEntryPointSize = 31;   // the first structure starts here
constexpr size_t kSmbiosMajorOffset = 6;
constexpr size_t kSmbiosMinorOffset = 7;
constexpr size_t kSmbiosCountOffset = 28;       // 2 bytes, little-endian
constexpr size_t kSmbiosHeaderSize = 4;         // type, length, handle

// The structure following the one at addr: past its formatted area and its string set (two
// zero bytes end the set; an empty set is just those two). Null when the structure at addr is
// not wholly inside [addr, end) (a header or formatted area that runs past end, a length below
// the 4-byte header, a string set without its double zero).
const unsigned char *get_next_struct_address(const unsigned char *addr, const unsigned char *end);

// String n (from 1) of the structure at addr, or null for n = 0, for n beyond the string set,
// or when the string set does not end inside the image.
const char *find_string(const unsigned char *addr, unsigned char n, const unsigned char *end);

// The number of strings in the structure's string set (0 for an empty set); only strings that
// end inside the image are counted.
int get_string_number(const unsigned char *addr, const unsigned char *end);

struct SmbiosVersion {
  unsigned char major = 0;
  unsigned char minor = 0;
  unsigned short count = 0;  // structures the entry point announces, the end-of-table one included
};

// The entry point's version and structure count; false for an image shorter than an entry point.
bool smbios_entry_point(const unsigned char *image, size_t size, SmbiosVersion *out);

// Visits structures 1 to N-1 (N from the entry point; the N-th, the end-of-table structure, is
// never visited) in table order. The next structure's address is found before a structure is
// handed to visit, and the walk ends early at the first structure that is not wholly inside the
// image. visit returns false to stop. Returns the number of structures visited.
size_t smbios_walk(const unsigned char *image, size_t size,
                   const std::function<bool(const unsigned char *structure, const unsigned char *end)> &visit);

#endif  // QELVO_FWINFO_SMBIOS_WALK_H
