/*
 * Makes zip archives for tests with libminizip: plain files, directories and
 * symbolic links, under any name (also names a careful archiver would never
 * write, such as "../x" or "/etc/x").
 */
#ifndef QELVO_ESXI_ZIP_MAKER_H
#define QELVO_ESXI_ZIP_MAKER_H

#include <string>
#include <vector>

namespace ziptest {

struct Entry {
  enum Kind { kFile, kDirectory, kSymlink };
  std::string name;
  std::string data;     /* a file's content; a link's target */
  Kind kind = kFile;
  bool stored = false;  /* kept uncompressed */
};

/* Writes the archive; false (with a message on stderr) on failure. */
bool MakeZip(const std::string &path, const std::vector<Entry> &entries);

}  // namespace ziptest

#endif
