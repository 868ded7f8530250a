/*
 * libFuzzer target for the firmware inventory's readers of the SMBIOS table image: the
 * structure walk with its string look-ups, the raw data dump and the version rules. The input
 * is a table image ("smbios-table": entry point and structures).
 *
 * Seeds: fuzz/corpus/smbios_table.
 */
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "smbios_walk.h"
#include "table_rules.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::vector<unsigned char> table(data, data + size);
  smbios_walk(table.data(), table.size(), [](const unsigned char *s, const unsigned char *end) {
    const int strings = get_string_number(s, end);
    for (int n = 0; n <= strings + 1 && n < 256; ++n) find_string(s, static_cast<unsigned char>(n), end);
    get_next_struct_address(s, end);
    return true;
  });
  std::string dump;
  SmbiosInfo::format_raw_data(table, dump);
  BMCInfo::BMCVersionFromTable(table);
  pDraviInfo::PDraviVersionFromTable(table);
  BiosInfo::BiosVersionFromTable(table);
  return 0;
}
