/*
 * What Minizip's non-zero results mean. Callers of the library only tell 0
 * from the rest; these codes let its own tests and messages tell the reasons
 * apart.
 */
#ifndef QELVO_ESXI_UNZIP_STATUS_H
#define QELVO_ESXI_UNZIP_STATUS_H

namespace unzipfile {

enum Status {
  kOk = 0,
  kBadArguments = 1, /* no archive or destination named */
  kNoArchive = 2,    /* missing, not a plain file, or no zip archive */
  kRefused = 3,      /* an entry would land outside, is a link, a device or encrypted */
  kCorrupt = 4,      /* unreadable directory or entry data, CRC mismatch */
  kWriteFailed = 5,  /* the destination could not be made or written */
  kTooLarge = 6,     /* more entries or more bytes than the limits allow */
};

}  // namespace unzipfile

#endif
