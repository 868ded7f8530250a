/*
 * libunzipfile: the host's unpacking library. Its one published entry point
 * unpacks a zip archive into a directory.
 */
#ifndef UNZIPFILE_H
#define UNZIPFILE_H

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Unpacks every entry of the zip archive `zipfile` into the directory
 * `destdir`, creating it and the directories the entries name. Existing files
 * of the same names are replaced.
 *
 * Returns 0 when the whole archive was unpacked. Any other value means that
 * nothing of the archive was unpacked: the archive is missing, unreadable or
 * corrupt, an entry is encrypted, a link or would land outside `destdir`
 * (an absolute name or a ".." component), or the destination could not be
 * written.
 */
int Minizip(const char *zipfile, const char *destdir);

#ifdef __cplusplus
}
#endif

#endif /* UNZIPFILE_H */
