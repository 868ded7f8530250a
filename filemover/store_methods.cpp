// Qelvo_FileTransferService: the methods that do not fetch files. They report free space and the
// service version, delete, list and check files of the file store, hand a file to the client in
// fragments, and switch the host's SSH service.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <string>

#include <cmpidt.h>
#include <cmpift.h>
#include <cmpimacs.h>

#include "filestore.h"
#include "path_guard.h"
#include "provider_internal.h"
#include "ssh_switch.h"

namespace ftsvc {

namespace {

constexpr const char *kVersion = "1.02";
// The file store as a tree, and the tree downloads may read from.
constexpr const char *kStoreRoot = "/var/tmp/filestore";
constexpr const char *kDownloadRoot = "/tmp";
constexpr size_t kFragmentSize = 51200;
constexpr const char *kNoFileName = "Could not get file name from URI.";

Answer from_out_status(const CMPIStatus &st)
{
    if (st.rc == CMPI_RC_OK)
        return Ok(0);
    return Fail(1, st.msg != nullptr ? CMGetCharsPtr(st.msg, nullptr) : "", st.rc);
}

}  // namespace

Answer CheckFreeSpace(const Call &call)
{
    const CMPIUint32 free_bytes = util_get_free_space();
    return from_out_status(add_out(call.out, "FreeBytes", reinterpret_cast<const CMPIValue *>(&free_bytes),
                                   CMPI_uint32));
}

Answer GetVersionNumber(const Call &call)
{
    return from_out_status(add_out_text(call.out, "VersionNumber", kVersion));
}

Answer DeleteTransferredFile(const Call &call)
{
    const char *uri = arg_text(call.in, "FileURI");
    if (uri == nullptr)
        return Fail(2, "Invalid URI.");
    const char *path = util_get_full_file_from_uri(uri);
    if (path == nullptr)
        return Fail(2, kNoFileName);

    // Only the file store may be touched: ".." or a linked directory leading elsewhere is
    // refused as a name the service does not know.
    char local[PATH_MAX];
    const int where = util_confine_path(path, kStoreRoot, false, local, sizeof local);
    if (where == PATH_MISSING)
        return Ok(0);
    if (where != PATH_INSIDE)
        return Fail(2, kNoFileName);

    const int rc = util_remove_file(local, 0);
    if (rc == -2)
        return Fail(1, "Could not delete the file in use.");
    if (rc < 0)
        return Fail(1, "Could not delete the file.");
    return Ok(0);
}

Answer EmptyFileStore(const Call &)
{
    const int rc = util_remove_file(FILE_STORE_DIR, 0);
    if (rc == -2)
        return Fail(1, "Could not empty the file store - file in use.");
    if (rc < 0)
        return Fail(1, "Could not empty the file store.");
    return Ok(0);
}

Answer CheckFileIntegrityViaMD5(const Call &call)
{
    const char *uri = arg_text(call.in, "FileURI");
    if (uri == nullptr)
        return Fail(2, "Could not get FileURI.");
    const char *path = util_get_full_file_from_uri(uri);
    if (path == nullptr)
        return Fail(2, kNoFileName);
    char local[PATH_MAX];
    const int where = util_confine_path(path, kStoreRoot, true, local, sizeof local);
    if (where != PATH_INSIDE && where != PATH_MISSING)
        return Fail(2, kNoFileName);

    const char *expected = arg_text(call.in, "ExpectedMD5Checksum");
    if (expected == nullptr)
        return Fail(2, "Could not get ExpectedMD5Checksum.");

    char digest[33];
    if (where == PATH_MISSING || util_calculate_md5_checksum(local, digest, sizeof digest) != 0)
        return Fail(1, "Fail to calculate the checksum.");
    const CMPIUint32 result = strcmp(digest, expected) == 0 ? 0 : 1;
    const CMPIStatus st = add_out(call.out, "CheckResult", reinterpret_cast<const CMPIValue *>(&result), CMPI_uint32);
    if (st.rc != CMPI_RC_OK)
        return from_out_status(st);
    return Ok(0);
}

Answer ListFileStore(const Call &call)
{
    int count = 0;
    int rc = util_list_file(FILE_STORE_DIR, &count, 0, 1);
    if (rc < 0 || count < 0 || count == INT_MAX)
        return Fail(1, "Could not list the files in the file store.");
    if (rc == 1)
        return Fail(0, "The file store is empty.");

    std::unique_ptr<char[]> list(new (std::nothrow) char[static_cast<size_t>(count) + 1]);
    if (!list)
        return Fail(1, "List files failed - not enough memory.");
    memset(list.get(), 0, static_cast<size_t>(count) + 1);
    rc = util_list_file(FILE_STORE_DIR, list.get(), count + 1, 0);
    if (rc < 0)
        return Fail(1, "Could not list the files in the file store.");
    if (rc == 1)
        return Fail(0, "The file store is empty.");
    const CMPIStatus st = add_out_text(call.out, "FileURIs", list.get());
    if (st.rc != CMPI_RC_OK)
        return from_out_status(st);
    return Ok(0);
}

Answer DownloadViaByteStream(const Call &call)
{
    constexpr const char *kOnlyTmp = "Could not open the file, can only get file under /tmp";
    const char *name = arg_text(call.in, "FileName");
    const char *path = name != nullptr ? strstr(name, "/tmp") : nullptr;
    if (path == nullptr)
        return Fail(1, kOnlyTmp);
    // The file must lie under /tmp once ".." and symbolic links are resolved.
    char local[PATH_MAX];
    const int where = util_confine_path(path, kDownloadRoot, true, local, sizeof local);
    if (where != PATH_INSIDE && where != PATH_MISSING)
        return Fail(1, kOnlyTmp);

    CMPIData offset_arg = arg_of_type(call.in, "FragmentOffsetIN", CMPI_uint32);
    if (offset_arg.type != CMPI_uint32)
        return Fail(1, "FragmentOffsetIN is required");
    const CMPIUint32 offset = offset_arg.value.uint32;

    if (where == PATH_MISSING)
        return Fail(1, "Could not open the file.");
    // Regular files only: opening a FIFO or a device could block the request or read from
    // hardware. O_NONBLOCK keeps the open itself from waiting.
    const int fd = open(local, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return Fail(1, "Could not open the file.");
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return Fail(1, "Could not open the file.");
    }
    const off_t size = lseek(fd, 0, SEEK_END);
    if (size == static_cast<off_t>(-1)) {
        close(fd);
        return Fail(1, "Could not seek the file.");
    }
    if (size < static_cast<off_t>(offset)) {
        close(fd);
        return Fail(1, "Error FragmentOffsetIN, exceed the size of the file.");
    }
    if (lseek(fd, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(-1)) {
        close(fd);
        return Fail(1, "Could not seek the file.");
    }
    std::unique_ptr<unsigned char[]> buf(new unsigned char[kFragmentSize]);
    size_t got = 0;
    while (got < kFragmentSize) {
        const ssize_t r = read(fd, buf.get() + got, kFragmentSize - got);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0) {
            close(fd);
            return Fail(1, "Could not read the file.");
        }
        if (r == 0)
            break;
        got += static_cast<size_t>(r);
    }
    close(fd);

    CMPIStatus rc = {CMPI_RC_OK, nullptr};
    CMPIArray *image = CMNewArray(broker, static_cast<CMPICount>(got), CMPI_uint8, &rc);
    if (image == nullptr || rc.rc != CMPI_RC_OK)
        return Fail(1, "Could not return the file fragment.");
    for (size_t i = 0; i < got; ++i) {
        const CMPIUint8 b = buf[i];
        if (CMSetArrayElementAt(image, static_cast<CMPICount>(i), &b, CMPI_uint8).rc != CMPI_RC_OK)
            return Fail(1, "Could not return the file fragment.");
    }
    const CMPIUint8 flag = static_cast<unsigned long long>(offset) + got >= static_cast<unsigned long long>(size) ? 2 : 1;
    const CMPIUint32 length = static_cast<CMPIUint32>(got);
    if (add_out(call.out, "SourceImage", reinterpret_cast<const CMPIValue *>(&image), CMPI_uint8A).rc != CMPI_RC_OK ||
        add_out(call.out, "FragmentOffsetOUT", reinterpret_cast<const CMPIValue *>(&offset), CMPI_uint32).rc !=
            CMPI_RC_OK ||
        add_out(call.out, "FragmentationFlag", reinterpret_cast<const CMPIValue *>(&flag), CMPI_uint8).rc !=
            CMPI_RC_OK ||
        add_out(call.out, "ImageLength", reinterpret_cast<const CMPIValue *>(&length), CMPI_uint32).rc !=
            CMPI_RC_OK ||
        add_out_text(call.out, "DestinationURI", local).rc != CMPI_RC_OK)
        return Fail(1, "Could not return the file fragment.");
    return Ok(0);
}

Answer EnableSSHMethod(const Call &)
{
    return Ok(static_cast<CMPIUint32>(EnableSSH()));
}

Answer DisableSSHMethod(const Call &)
{
    return Ok(static_cast<CMPIUint32>(DisableSSH()));
}

Answer GetSSHStatusMethod(const Call &)
{
    return Ok(static_cast<CMPIUint32>(GetSSHStatus()));
}

}  // namespace ftsvc
