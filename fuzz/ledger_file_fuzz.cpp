/*
 * libFuzzer target for the ledger and registry file reader (dictionary_load_from_stream) and
 * what the provider does with a loaded ledger: each record copied out for a client
 * (fill_job_instance, with its time before removal decoded), expired records removed (del_job,
 * with no handler registered), and the table written back in its file form and read again with
 * the same sections.
 *
 * Input: the file's bytes. Seeds: fuzz/corpus/ledger_file.
 */
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "dictionary.h"
#include "jobledger.h"

namespace {

dictionary *load(const void *data, size_t size) {
  if (size == 0) return dictionary_create(0);
  FILE *f = fmemopen(const_cast<void *>(data), size, "r");
  if (f == nullptr) abort();
  dictionary *d = dictionary_load_from_stream(f);
  fclose(f);
  return d;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  dictionary *d = load(data, size);
  if (d == nullptr) abort();  // only memory exhaustion may fail a load

  const int sections = util_get_sec_count(d);
  if (sections < 0) abort();
  ConcreteJob_data job;
  for (int i = 0; i < sections; ++i) {
    if (fill_job_instance(d, i, &job, 0) == 0 && get_expire_time(job.time_before_removal) < -1) abort();
  }
  for (const std::string &name : [d] {
         std::vector<std::string> names;
         for (const char *s : util_get_sec_names(d)) names.emplace_back(s);
         return names;
       }())
    del_job(name.c_str(), d);

  // What is written back reads again with the same sections, as long as no written line is
  // longer than one read (longer lines are read in pieces, which the ledger never writes).
  const std::string text = dictionary_to_text(d);
  size_t longest = 0;
  for (size_t at = 0, end; at < text.size(); at = end + 1) {
    end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    longest = std::max(longest, end - at);
  }
  if (longest + 1 < DICT_LINE_SIZE) {
    dictionary *again = load(text.data(), text.size());
    if (again == nullptr || util_get_sec_count(again) != util_get_sec_count(d)) abort();
    dictionary_del(again);
  }
  dictionary_del(d);
  return 0;
}
