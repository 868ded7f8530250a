/*
 * libFuzzer target for the in-place reader of the common form of CIM-XML
 * (read_common_form): the input, NUL-terminated as the reader takes it. It
 * must return, with nodes or without.
 *
 * Seeds: fuzz/corpus/cimxml_reader (documents of the common form and near
 * it).
 */
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::unique_ptr<char[]> text(new char[size + 1]);
  std::memcpy(text.get(), data, size);
  text[size] = '\0';
  cimxml::detail::Arena arena(size);
  int depth = 0;
  cimxml::detail::read_common_form(text.get(), size, arena, &depth);
  return 0;
}
