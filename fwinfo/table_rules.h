// What the firmware inventory providers make of the SMBIOS table image: the text dump of the
// raw data provider and the version rules of the version providers. Pure functions of the
// image, bounded by it (see smbios_walk.h).
#ifndef QELVO_FWINFO_TABLE_RULES_H
#define QELVO_FWINFO_TABLE_RULES_H

#include <string>
#include <vector>

namespace SmbiosInfo {
// The dump of structures 1 to N-1 of a table image: per structure a header line
// ("  Handle 0x<handle>, Type <type>"), its formatted area in lines of 16 bytes
// ("    Data <offset>: xx xx ...") and one line per string ("    String <n>: '<text>'"), numbers
// in lower-case hexadecimal. A table of fewer than two structures gives the empty text.
void format_raw_data(const std::vector<unsigned char> &table, std::string &out);
}  // namespace SmbiosInfo

namespace fwinfo {

// The part of text after its first "[" and before the next "]" (from the start without "[",
// to the end without a "]" after it).
std::string BracketedVersion(const char *text);

// String `string_number` of the first structure of `type` that has that string and, when
// `contains` is not null, whose string contains it; null when no structure qualifies.
const char *FindTableString(const std::vector<unsigned char> &table, unsigned char type, unsigned char string_number,
                            const char *contains);

// The bracketed part of the string FindTableString finds, or " " when none does.
std::string VersionFromTable(const std::vector<unsigned char> &table, unsigned char type,
                             unsigned char string_number, const char *contains);

}  // namespace fwinfo

namespace BMCInfo {
// String 1 of the first OEM strings structure (type 11) whose string 1 names the controller
// ("Tavik").
std::string BMCVersionFromTable(const std::vector<unsigned char> &table);
}  // namespace BMCInfo

namespace pDraviInfo {
// String 1 of the first type 11 structure whose string 1 names "Diagnostics".
std::string PDraviVersionFromTable(const std::vector<unsigned char> &table);
}  // namespace pDraviInfo

namespace BiosInfo {
// String 2 of the first BIOS information structure (type 0) that has a string 2.
std::string BiosVersionFromTable(const std::vector<unsigned char> &table);
}  // namespace BiosInfo

#endif  // QELVO_FWINFO_TABLE_RULES_H
