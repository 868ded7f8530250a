/*
 * Test archives over libminizip's writer; see zip_maker.h.
 */
#include "zip_maker.h"

#include <sys/stat.h>
#include <zip.h>

#include <cstdio>
#include <cstring>

namespace ziptest {

bool MakeZip(const std::string &path, const std::vector<Entry> &entries) {
  zipFile zf = zipOpen64(path.c_str(), APPEND_STATUS_CREATE);
  if (zf == nullptr) {
    std::fprintf(stderr, "MakeZip: cannot create %s\n", path.c_str());
    return false;
  }
  bool ok = true;
  for (const Entry &e : entries) {
    zip_fileinfo info;
    std::memset(&info, 0, sizeof info);
    const unsigned long type = e.kind == Entry::kDirectory ? (S_IFDIR | 0755u)
                               : e.kind == Entry::kSymlink ? (S_IFLNK | 0777u)
                                                           : (S_IFREG | 0644u);
    info.external_fa = type << 16;
    if (e.kind == Entry::kDirectory) info.external_fa |= 0x10; /* the DOS directory bit too */
    const int method = e.stored || e.kind != Entry::kFile ? 0 : Z_DEFLATED;
    /* "Made by" Unix (3), so that readers look at the mode bits. */
    if (zipOpenNewFileInZip4_64(zf, e.name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, method,
                                method ? Z_DEFAULT_COMPRESSION : 0, 0, -MAX_WBITS, DEF_MEM_LEVEL,
                                Z_DEFAULT_STRATEGY, nullptr, 0, (3u << 8) | 20u, 0, 0) != ZIP_OK ||
        (!e.data.empty() && zipWriteInFileInZip(zf, e.data.data(), static_cast<unsigned>(e.data.size())) != ZIP_OK) ||
        zipCloseFileInZip(zf) != ZIP_OK) {
      std::fprintf(stderr, "MakeZip: cannot add %s to %s\n", e.name.c_str(), path.c_str());
      ok = false;
      break;
    }
  }
  if (zipClose(zf, nullptr) != ZIP_OK) ok = false;
  return ok;
}

}  // namespace ziptest
