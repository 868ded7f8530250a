/*
 * libFuzzer target for the scenario file reader: the input is read as a
 * scenario, and each of its lines is split into words as the job store reads
 * its lines. Both must return, whatever the bytes.
 *
 * Seeds: fuzz/corpus beside this file.
 */
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "scenario.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);
  hostservices::Scenario sc;
  std::string error;
  hostservices::ParseScenario(text, &sc, &error);
  std::istringstream in(text);
  std::string line;
  std::vector<hostservices::Word> words;
  while (std::getline(in, line)) hostservices::SplitWords(line, &words, &error);
  return 0;
}
