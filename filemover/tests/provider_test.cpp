// Qelvo_FileTransferService as the CIMOM drives it: the instance, method dispatch, start-up,
// byte-stream uploads and downloads, and the file store methods.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "filestore.h"
#include "nsfixture.h"
#include "service_client.h"

namespace {

using cmpiharness::Outcome;
using cmpiharness::Value;
using ftsvctest::BytesOf;
using ftsvctest::Exists;
using ftsvctest::ImageArgs;
using ftsvctest::Pattern;
using ftsvctest::ReadFile;
using ftsvctest::Service;
using ftsvctest::WriteFile;

const std::string kStore = "/var/tmp/filestore/";

nsfixture::Options WithLibraries()
{
    nsfixture::Options o;
    o.lib_cim = QELVO_PROVIDER_DIR;
    return o;
}

// rv, status and message of a failed method in one line, for comparisons.
std::string Failure(const Outcome &out)
{
    return std::to_string(Service::Rv(out)) + " " + cmpiharness::RcName(out.rc) + " " + out.message;
}

std::string Text(const Outcome &out, const std::string &name)
{
    return cmpiharness::Text(out.Out(name).data());
}

TEST(FileTransferService, OneInstanceAndNoInstanceChanges)
{
    nsfixture::Run(
        [] {
            Service s;
            ASSERT_TRUE(s.ok()) << s.error();
            struct utsname u;
            ASSERT_EQ(0, uname(&u));

            Outcome names = s.provider().EnumInstanceNames("qelvo/cimv2", "Qelvo_FileTransferService");
            ASSERT_TRUE(names.ok()) << names.Describe();
            ASSERT_EQ(1u, names.paths.size());
            EXPECT_EQ("qelvo/cimv2", cmpiharness::NameSpace(names.paths[0]));
            EXPECT_EQ("CIM_ComputerSystem", names.KeyText(0, "SystemCreationClassName"));
            EXPECT_EQ(u.nodename, names.KeyText(0, "SystemName"));
            EXPECT_EQ("Qelvo_FileTransferService", names.KeyText(0, "CreationClassName"));
            EXPECT_EQ("Qelvo:FileTransferService", names.KeyText(0, "Name"));

            Outcome all = s.provider().EnumInstances("root/other", "Qelvo_FileTransferService");
            ASSERT_TRUE(all.ok()) << all.Describe();
            ASSERT_EQ(1u, all.instances.size());
            EXPECT_EQ("Qelvo:FileTransferService", all.PropertyText(0, "Name"));
            EXPECT_EQ(u.nodename, all.PropertyText(0, "SystemName"));
            auto path = cmpiharness::PathOf(all.instances[0]);
            EXPECT_EQ("root/other", cmpiharness::NameSpace(path.get()));

            // Whatever keys the reference holds, the one instance comes back.
            auto odd = cmpiharness::Path("qelvo/cimv2", "Qelvo_FileTransferService", {{"Name", "elsewhere"}});
            Outcome got = s.provider().GetInstance(odd.get());
            ASSERT_TRUE(got.ok()) << got.Describe();
            ASSERT_EQ(1u, got.instances.size());
            EXPECT_EQ("Qelvo:FileTransferService", got.PropertyText(0, "Name"));
            EXPECT_EQ("CIM_ComputerSystem", got.PropertyText(0, "SystemCreationClassName"));

            auto inst = cmpiharness::Instance(odd.get());
            std::vector<Outcome> refused;
            refused.push_back(s.provider().CreateInstance(inst.get()));
            refused.push_back(s.provider().ModifyInstance(inst.get()));
            refused.push_back(s.provider().DeleteInstance(odd.get()));
            refused.push_back(s.provider().ExecQuery("qelvo/cimv2", "Qelvo_FileTransferService",
                                                     "SELECT * FROM Qelvo_FileTransferService"));
            for (const Outcome &out : refused) {
                EXPECT_EQ(CMPI_RC_ERR_NOT_SUPPORTED, out.rc) << out.Describe();
                EXPECT_EQ("NOT_SUPPORTED", out.message);
            }

            // Nothing runs: the library may go.
            EXPECT_EQ(CMPI_RC_OK, s.provider().Cleanup(false).rc);
        },
        WithLibraries());
}

TEST(FileTransferService, MethodNamesAndSimpleMethods)
{
    nsfixture::Run(
        [] {
            std::ofstream("/tmp/QELVOTAVIKLOG").flush();
            Service s;
            ASSERT_TRUE(s.ok()) << s.error();

            // Names match without regard to case...
            Outcome v = s.Invoke("getversionNUMBER");
            ASSERT_TRUE(v.ok()) << v.Describe();
            EXPECT_EQ(0, Service::Rv(v));
            EXPECT_EQ("1.02", Text(v, "VersionNumber"));
            EXPECT_EQ(1, v.done_count);

            Outcome f = s.Invoke("CHECKFREESPACE");
            ASSERT_TRUE(f.ok()) << f.Describe();
            EXPECT_EQ(0, Service::Rv(f));
            const Value free_bytes = f.Out("FreeBytes");
            ASSERT_EQ(CMPI_uint32, free_bytes.type());
            const uint32_t now = util_get_free_space();
            const uint32_t got = free_bytes.data().value.uint32;
            EXPECT_LT(std::max(now, got) - std::min(now, got), 1024u * 1024u) << now << " " << got;

            // ...except the SSH methods, and unknown names are not found, without a return value.
            for (const char *name : {"enablessh", "DISABLESSH", "GetSshStatus", "TransferViaHTTP", ""}) {
                Outcome out = s.Invoke(name);
                EXPECT_EQ(CMPI_RC_ERR_METHOD_NOT_FOUND, out.rc) << name;
                EXPECT_EQ(name, out.message);
                EXPECT_TRUE(out.data.empty()) << name;
            }

            const std::string log = ReadFile("/tmp/QELVOTAVIKLog.log");
            EXPECT_NE(std::string::npos,
                      log.find(" Filetrans :FileTransferServiceInvokeMethod enter , methodname is getversionNUMBER\n"))
                << log;
        },
        WithLibraries());
}

TEST(FileTransferService, StartUpClearsStaleMarkersAndMakesTheStatusDirectory)
{
    nsfixture::Run(
        [] {
            ASSERT_EQ(0, util_create_file_store(FILE_STORE_DIR));
            ASSERT_TRUE(WriteFile(kStore + "fw.bin", "old"));
            ASSERT_TRUE(WriteFile(kStore + "fw.binxfer_fw.!lock", ""));
            ASSERT_TRUE(WriteFile(kStore + "b.binother.!lock", ""));
            ASSERT_FALSE(Exists("/tmp/sfcb"));

            Service s;
            ASSERT_TRUE(s.ok()) << s.error();
            // The instance interface alone does not start the service.
            ASSERT_TRUE(s.provider().EnumInstanceNames("qelvo/cimv2", "Qelvo_FileTransferService").ok());
            EXPECT_TRUE(Exists(kStore + "fw.binxfer_fw.!lock"));

            ASSERT_EQ(0, Service::Rv(s.Invoke("GetVersionNumber")));
            EXPECT_FALSE(Exists(kStore + "fw.binxfer_fw.!lock"));
            EXPECT_TRUE(Exists(kStore + "b.binother.!lock"));  // another owner's
            EXPECT_EQ("old", ReadFile(kStore + "fw.bin"));
            struct stat st;
            ASSERT_EQ(0, stat("/tmp/sfcb", &st));
            EXPECT_TRUE(S_ISDIR(st.st_mode));
            // The stale marker no longer blocks the file.
            auto args = ImageArgs("fw.bin", 0, "new");
            EXPECT_EQ(0, Service::Rv(s.Invoke("TransferViaByteStream", args.get())));
            EXPECT_EQ("new", ReadFile(kStore + "fw.bin"));
        },
        WithLibraries());
}

TEST(ByteStream, FragmentsMakeOneFile)
{
    nsfixture::Run(
        [] {
            Service s;
            ASSERT_TRUE(s.ok()) << s.error();
            ASSERT_FALSE(Exists(kStore));  // the upload makes the store

            auto first = ImageArgs("two.bin", 0, "hello ", 1);
            Outcome a = s.Invoke("TransferViaByteStream", first.get());
            ASSERT_TRUE(a.ok()) << a.Describe();
            EXPECT_EQ(0, Service::Rv(a));
            EXPECT_EQ("file://var/tmp/filestore/two.bin", Text(a, "DestinationURI"));
            auto second = ImageArgs("two.bin", 6, "world", 2);
            Outcome b = s.Invoke("TransferViaByteStream", second.get());
            ASSERT_TRUE(b.ok()) << b.Describe();
            EXPECT_EQ("hello world", ReadFile(kStore + "two.bin"));
            EXPECT_FALSE(Exists(kStore + "two.binxfer_fw.!lock"));

            // A fragment inside the file overwrites in place; a new offset 0 starts the file anew.
            auto middle = ImageArgs("two.bin", 2, "LL");
            ASSERT_EQ(0, Service::Rv(s.Invoke("TransferViaByteStream", middle.get())));
            EXPECT_EQ("heLLo world", ReadFile(kStore + "two.bin"));
            auto again = ImageArgs("two.bin", 0, "X");
            ASSERT_EQ(0, Service::Rv(s.Invoke("TransferViaByteStream", again.get())));
            EXPECT_EQ("X", ReadFile(kStore + "two.bin"));

            // Leading "/" characters of the name are dropped.
            auto lead = ImageArgs("//lead.bin", 0, "abc");
            Outcome l = s.Invoke("TransferViaByteStream", lead.get());
            ASSERT_TRUE(l.ok()) << l.Describe();
            EXPECT_EQ("abc", ReadFile(kStore + "lead.bin"));
            EXPECT_EQ("file://var/tmp/filestore/lead.bin", Text(l, "DestinationURI"));

            // A later fragment of a file that was never started has nothing to open.
            auto orphan = ImageArgs("orphan.bin", 10, "x");
            EXPECT_EQ("1 CMPI_RC_ERR_FAILED Could not open the file.",
                      Failure(s.Invoke("TransferViaByteStream", orphan.get())));
            EXPECT_FALSE(Exists(kStore + "orphan.bin"));
            EXPECT_FALSE(Exists(kStore + "orphan.binxfer_fw.!lock"));

            // An image of another element type ends the call.
            auto wide = cmpiharness::Args(
                {{"FileName", "wide.bin"},
                 {"FragmentOffset", Value::Uint32(0)},
                 {"SourceImage", Value::Array(CMPI_uint16, {Value::Uint16(1), Value::Uint16(2)})}});
            EXPECT_EQ("2 CMPI_RC_ERR_FAILED Invalid source image array type.",
                      Failure(s.Invoke("TransferViaByteStream", wide.get())));
        },
        WithLibraries());
}

// Missing arguments and names that would leave the store: answered with 3, nothing written.
TEST(ByteStream, RefusedRequestsWriteNothing)
{
    nsfixture::Run(
        [] {
            Service s;
            ASSERT_TRUE(s.ok()) << s.error();
            ASSERT_EQ(0, util_create_file_store(FILE_STORE_DIR));
            ASSERT_TRUE(WriteFile(kStore + "keep.bin", "kept content"));

            auto no_image = cmpiharness::Args({{"FileName", "keep.bin"}, {"FragmentOffset", Value::Uint32(0)}});
            EXPECT_EQ("3 CMPI_RC_ERR_FAILED Invalid parameter SourceImage.",
                      Failure(s.Invoke("TransferViaByteStream", no_image.get())));
            auto text_image = cmpiharness::Args({{"FileName", "keep.bin"}, {"SourceImage", "bytes"}});
            EXPECT_EQ("3 CMPI_RC_ERR_FAILED Invalid parameter SourceImage.",
                      Failure(s.Invoke("TransferViaByteStream", text_image.get())));
            EXPECT_EQ("kept content", ReadFile(kStore + "keep.bin"));

            auto no_name = ImageArgs("x", 0, "data");
            cmpiharness::ArgsPtr nameless = cmpiharness::Args();
            CMPIStatus rc = {CMPI_RC_OK, nullptr};
            CMPIData bytes = CMGetArg(no_name.get(), "SourceImage", &rc);
            CMAddArg(nameless.get(), "SourceImage", &bytes.value.array, CMPI_uint8A);
            EXPECT_EQ("3 CMPI_RC_ERR_FAILED Invalid parameter FileName.",
                      Failure(s.Invoke("TransferViaByteStream", nameless.get())));
            EXPECT_EQ("3 CMPI_RC_ERR_FAILED Invalid parameter FileName.",
                      Failure(s.Invoke("TransferViaByteStream")));
            auto wrong_offset = cmpiharness::Args({{"FileName", "keep.bin"}, {"FragmentOffset", "0"}});
            CMAddArg(wrong_offset.get(), "SourceImage", &bytes.value.array, CMPI_uint8A);
            EXPECT_EQ("3 CMPI_RC_ERR_FAILED Invalid parameter FragmentOffset.",
                      Failure(s.Invoke("TransferViaByteStream", wrong_offset.get())));
            EXPECT_EQ("kept content", ReadFile(kStore + "keep.bin"));

            ASSERT_EQ(0, mkdir("/var/tmp/filestore/sub", 0755));
            for (const char *name : {"../escape.bin", "/../../tmp/escape.bin", "sub/inner.bin", "..", ".", "/",
                                     "", "sub/../escape.bin", "keep.binxfer_fw.!lock", "evil/"}) {
                auto args = ImageArgs(name, 0, "payload");
                Outcome out = s.Invoke("TransferViaByteStream", args.get());
                EXPECT_EQ("3 CMPI_RC_ERR_FAILED Invalid parameter FileName - a plain file name is required.",
                          Failure(out))
                    << name;
                EXPECT_FALSE(out.Out("DestinationURI").type() == CMPI_string) << name;
            }
            const std::string too_long(300, 'n');
            auto args = ImageArgs(too_long, 0, "payload");
            EXPECT_EQ(3, Service::Rv(s.Invoke("TransferViaByteStream", args.get())));

            EXPECT_FALSE(Exists("/var/tmp/escape.bin"));
            EXPECT_FALSE(Exists("/tmp/escape.bin"));
            EXPECT_FALSE(Exists(kStore + "sub/inner.bin"));
            EXPECT_FALSE(Exists(kStore + "escape.bin"));
            EXPECT_FALSE(Exists(kStore + "keep.binxfer_fw.!lock"));
            EXPECT_EQ("kept content", ReadFile(kStore + "keep.bin"));
        },
        WithLibraries());
}

TEST(ByteStream, LargeImageInFewWritesAndSpaceCheck)
{
    nsfixture::Run(
        [] {
            Service s;
            ASSERT_TRUE(s.ok()) << s.error();
            const std::string image = Pattern(6 * 1024 * 1024 + 7, 11);
            auto args = ImageArgs("large.bin", 0, image);

            auto write_calls = [] {
                std::ifstream io("/proc/self/io");
                std::string key;
                long long value = -1;
                while (io >> key >> value)
                    if (key == "syscw:")
                        return value;
                return -1LL;
            };
            const long long before = write_calls();
            ASSERT_GE(before, 0);
            Outcome out = s.Invoke("TransferViaByteStream", args.get());
            const long long after = write_calls();
            ASSERT_TRUE(out.ok()) << out.Describe();
            EXPECT_TRUE(image == ReadFile(kStore + "large.bin"));
            // Megabytes at a time, not a byte (or a stdio buffer) per write.
            EXPECT_LT(after - before, 64) << "write calls for " << image.size() << " bytes";

            // A store on a small file system: an image larger than its free space is refused.
            ASSERT_EQ(0, mount("tmpfs", "/var/tmp", "tmpfs", 0, "size=256k,mode=1777"));
            auto big = ImageArgs("big.bin", 0, std::string(512 * 1024, 'b'));
            EXPECT_EQ("3 CMPI_RC_ERR_FAILED Not enough space.", Failure(s.Invoke("TransferViaByteStream", big.get())));
            EXPECT_FALSE(Exists(kStore + "big.bin"));
            auto small = ImageArgs("small.bin", 0, std::string(1024, 's'));
            EXPECT_EQ(0, Service::Rv(s.Invoke("TransferViaByteStream", small.get())));
            EXPECT_EQ(1024u, ReadFile(kStore + "small.bin").size());
        },
        WithLibraries());
}

TEST(FileStore, DeleteEmptyAndList)
{
    nsfixture::Run(
        [] {
            Service s;
            ASSERT_TRUE(s.ok()) << s.error();

            // No store yet.
            Outcome none = s.Invoke("ListFileStore");
            EXPECT_EQ("0 CMPI_RC_ERR_FAILED The file store is empty.", Failure(none));

            ASSERT_EQ(0, util_create_file_store(FILE_STORE_DIR));
            Outcome empty = s.Invoke("ListFileStore");
            ASSERT_TRUE(empty.ok()) << empty.Describe();
            EXPECT_EQ(0, Service::Rv(empty));
            EXPECT_EQ("", Text(empty, "FileURIs"));

            ASSERT_TRUE(WriteFile(kStore + "a", "A"));
            ASSERT_TRUE(WriteFile(kStore + "b", "B"));
            ASSERT_TRUE(WriteFile(kStore + "bxfer_fw.!lock", ""));
            ASSERT_EQ(0, mkdir("/var/tmp/filestore/d", 0755));
            ASSERT_TRUE(WriteFile(kStore + "d/c", "C"));
            Outcome listed = s.Invoke("ListFileStore");
            ASSERT_TRUE(listed.ok()) << listed.Describe();
            const std::string text = Text(listed, "FileURIs");
            std::multiset<std::string> entries;
            std::stringstream ss(text);
            for (std::string e; std::getline(ss, e, ';');)
                entries.insert(e);
            EXPECT_EQ((std::multiset<std::string>{"file://var/tmp/filestore/a", "file://var/tmp/filestore/b",
                                                  "file://var/tmp/filestore/d/c"}),
                      entries)
                << text;
            EXPECT_EQ(';', text.back());

            // b is in use: emptying keeps it, its marker and the store.
            EXPECT_EQ("1 CMPI_RC_ERR_FAILED Could not empty the file store - file in use.",
                      Failure(s.Invoke("EmptyFileStore")));
            EXPECT_EQ("B", ReadFile(kStore + "b"));
            EXPECT_TRUE(Exists(kStore + "bxfer_fw.!lock"));
            EXPECT_FALSE(Exists(kStore + "a"));
            EXPECT_FALSE(Exists(kStore + "d"));
            EXPECT_EQ("1 CMPI_RC_ERR_FAILED Could not delete the file in use.",
                      Failure(s.Invoke("DeleteTransferredFile", {{"FileURI", "file://var/tmp/filestore/b"}})));
            EXPECT_TRUE(Exists(kStore + "b"));
            EXPECT_TRUE(Exists(kStore + "bxfer_fw.!lock"));

            ASSERT_EQ(0, unlink((kStore + "bxfer_fw.!lock").c_str()));
            ASSERT_TRUE(WriteFile(kStore + "c", "C"));
            Outcome del = s.Invoke("DeleteTransferredFile", {{"FileURI", "file:///var/tmp/filestore/c"}});
            ASSERT_TRUE(del.ok()) << del.Describe();
            EXPECT_EQ(0, Service::Rv(del));
            EXPECT_FALSE(Exists(kStore + "c"));
            // Deleting what is not there succeeds.
            EXPECT_EQ(0, Service::Rv(s.Invoke("DeleteTransferredFile", {{"FileURI", "file://var/tmp/filestore/c"}})));
            EXPECT_EQ(0, Service::Rv(
                             s.Invoke("DeleteTransferredFile", {{"FileURI", "file://var/tmp/filestore/no/such"}})));

            Outcome emptied = s.Invoke("EmptyFileStore");
            ASSERT_TRUE(emptied.ok()) << emptied.Describe();
            EXPECT_EQ(0, Service::Rv(emptied));
            EXPECT_FALSE(Exists(kStore));
            EXPECT_EQ("0 CMPI_RC_ERR_FAILED The file store is empty.", Failure(s.Invoke("ListFileStore")));
            EXPECT_EQ(0, Service::Rv(s.Invoke("EmptyFileStore")));

            EXPECT_EQ("2 CMPI_RC_ERR_FAILED Invalid URI.", Failure(s.Invoke("DeleteTransferredFile")));
            EXPECT_EQ("2 CMPI_RC_ERR_FAILED Could not get file name from URI.",
                      Failure(s.Invoke("DeleteTransferredFile", {{"FileURI", "file://tmp/x"}})));
        },
        WithLibraries());
}

// Deletion and checksums stay inside the store, whatever ".." or links the URI leads through.
TEST(FileStore, PathsOutsideTheStoreAreRefused)
{
    nsfixture::Run(
        [] {
            Service s;
            ASSERT_TRUE(s.ok()) << s.error();
            ASSERT_EQ(0, util_create_file_store(FILE_STORE_DIR));
            ASSERT_TRUE(WriteFile("/var/tmp/victim", "precious"));
            ASSERT_EQ(0, mkdir("/var/tmp/outside", 0755));
            ASSERT_TRUE(WriteFile("/var/tmp/outside/victim", "precious"));
            ASSERT_EQ(0, symlink("/var/tmp/outside", "/var/tmp/filestore/linkdir"));
            ASSERT_EQ(0, symlink("/var/tmp/victim", "/var/tmp/filestore/linkfile"));
            ASSERT_TRUE(WriteFile("/etc/qelvo-victim", "precious"));

            for (const char *uri : {"file://var/tmp/filestore/../victim", "file:///var/tmp/filestore/../../../etc/qelvo-victim",
                                    "file://var/tmp/filestore/linkdir/victim", "file://var/tmp/filestore/./../outside",
                                    "file://var/tmp", "file://var/tmp/filestorex/a", "file://var/../etc/qelvo-victim"}) {
                EXPECT_EQ("2 CMPI_RC_ERR_FAILED Could not get file name from URI.",
                          Failure(s.Invoke("DeleteTransferredFile", {{"FileURI", uri}})))
                    << uri;
                EXPECT_EQ("2 CMPI_RC_ERR_FAILED Could not get file name from URI.",
                          Failure(s.Invoke("CheckFileIntegrityViaMD5",
                                           {{"FileURI", uri}, {"ExpectedMD5Checksum", "x"}})))
                    << uri;
            }
            EXPECT_EQ("2 CMPI_RC_ERR_FAILED Could not get file name from URI.",
                      Failure(s.Invoke("CheckFileIntegrityViaMD5", {{"FileURI", "file://var/tmp/filestore/linkfile"},
                                                                    {"ExpectedMD5Checksum", "x"}})));
            // Deleting the link inside the store removes the link, not what it points to.
            EXPECT_EQ(0, Service::Rv(s.Invoke("DeleteTransferredFile", {{"FileURI", "file://var/tmp/filestore/linkfile"}})));
            EXPECT_FALSE(Exists(kStore + "linkfile"));
            EXPECT_EQ("precious", ReadFile("/var/tmp/victim"));
            EXPECT_EQ("precious", ReadFile("/var/tmp/outside/victim"));
            EXPECT_EQ("precious", ReadFile("/etc/qelvo-victim"));

            // A ".." that stays inside the store is fine.
            ASSERT_TRUE(WriteFile(kStore + "in.bin", ""));
            Outcome md5 = s.Invoke("CheckFileIntegrityViaMD5", {{"FileURI", "file://var/tmp/filestore/linkdir/../in.bin"},
                                                                 {"ExpectedMD5Checksum", "d41d8cd98f00b204e9800998ecf8427e"}});
            ASSERT_TRUE(md5.ok()) << md5.Describe();
            EXPECT_EQ("0", Text(md5, "CheckResult"));
        },
        WithLibraries());
}

TEST(FileStore, Md5Checks)
{
    nsfixture::Run(
        [] {
            Service s;
            ASSERT_TRUE(s.ok()) << s.error();
            ASSERT_EQ(0, util_create_file_store(FILE_STORE_DIR));
            ASSERT_TRUE(WriteFile(kStore + "empty.bin", ""));
            ASSERT_TRUE(WriteFile(kStore + "abc.bin", "abc"));

            auto check = [&](const std::string &uri, const std::string &md5) {
                return s.Invoke("CheckFileIntegrityViaMD5", {{"FileURI", uri}, {"ExpectedMD5Checksum", md5}});
            };
            Outcome same = check("file://var/tmp/filestore/empty.bin", "d41d8cd98f00b204e9800998ecf8427e");
            ASSERT_TRUE(same.ok()) << same.Describe();
            EXPECT_EQ(0, Service::Rv(same));
            ASSERT_EQ(CMPI_uint32, same.Out("CheckResult").type());
            EXPECT_EQ("0", Text(same, "CheckResult"));
            Outcome upper = check("file:///var/tmp/filestore/empty.bin", "D41D8CD98F00B204E9800998ECF8427E");
            ASSERT_TRUE(upper.ok()) << upper.Describe();
            EXPECT_EQ(0, Service::Rv(upper));
            EXPECT_EQ("1", Text(upper, "CheckResult"));
            EXPECT_EQ("0", Text(check("file://var/tmp/filestore/abc.bin", "900150983cd24fb0d6963f7d28e17f72"),
                                "CheckResult"));

            EXPECT_EQ("1 CMPI_RC_ERR_FAILED Fail to calculate the checksum.",
                      Failure(check("file://var/tmp/filestore/none.bin", "x")));
            EXPECT_EQ("2 CMPI_RC_ERR_FAILED Could not get FileURI.",
                      Failure(s.Invoke("CheckFileIntegrityViaMD5", {{"ExpectedMD5Checksum", "x"}})));
            EXPECT_EQ("2 CMPI_RC_ERR_FAILED Could not get ExpectedMD5Checksum.",
                      Failure(s.Invoke("CheckFileIntegrityViaMD5", {{"FileURI", "file://var/tmp/filestore/abc.bin"}})));
            EXPECT_EQ("2 CMPI_RC_ERR_FAILED Could not get file name from URI.",
                      Failure(check("file://tmp/abc.bin", "x")));
        },
        WithLibraries());
}

TEST(Download, FragmentsAroundTheBoundary)
{
    nsfixture::Run(
        [] {
            Service s;
            ASSERT_TRUE(s.ok()) << s.error();
            const std::string exact = Pattern(51200, 3), over = Pattern(51201, 4);
            ASSERT_TRUE(WriteFile("/tmp/exact.bin", exact));
            ASSERT_TRUE(WriteFile("/tmp/over.bin", over));

            auto get = [&](const std::string &name, uint32_t offset) {
                return s.Invoke("DownloadViaByteStream", {{"FileName", name}, {"FragmentOffsetIN", Value::Uint32(offset)}});
            };
            Outcome a = get("/tmp/exact.bin", 0);
            ASSERT_TRUE(a.ok()) << a.Describe();
            EXPECT_EQ(0, Service::Rv(a));
            EXPECT_TRUE(exact == BytesOf(a.Out("SourceImage")));
            EXPECT_EQ(CMPI_uint8A, a.Out("SourceImage").type());
            EXPECT_EQ("2", Text(a, "FragmentationFlag"));
            EXPECT_EQ("51200", Text(a, "ImageLength"));
            EXPECT_EQ("0", Text(a, "FragmentOffsetOUT"));
            EXPECT_EQ("/tmp/exact.bin", Text(a, "DestinationURI"));

            Outcome b1 = get("file:///tmp/over.bin", 0);
            ASSERT_TRUE(b1.ok()) << b1.Describe();
            EXPECT_EQ("1", Text(b1, "FragmentationFlag"));
            EXPECT_EQ("51200", Text(b1, "ImageLength"));
            Outcome b2 = get("/tmp/over.bin", 51200);
            ASSERT_TRUE(b2.ok()) << b2.Describe();
            EXPECT_EQ("2", Text(b2, "FragmentationFlag"));
            EXPECT_EQ("1", Text(b2, "ImageLength"));
            EXPECT_EQ("51200", Text(b2, "FragmentOffsetOUT"));
            EXPECT_TRUE(over == BytesOf(b1.Out("SourceImage")) + BytesOf(b2.Out("SourceImage")));

            // At the end: an empty last fragment; past it: an error.
            Outcome end = get("/tmp/over.bin", 51201);
            ASSERT_TRUE(end.ok()) << end.Describe();
            EXPECT_EQ("2", Text(end, "FragmentationFlag"));
            EXPECT_EQ("0", Text(end, "ImageLength"));
            EXPECT_EQ("", BytesOf(end.Out("SourceImage")));
            EXPECT_EQ("1 CMPI_RC_ERR_FAILED Error FragmentOffsetIN, exceed the size of the file.",
                      Failure(get("/tmp/over.bin", 51202)));

            // A store path is read from the same place under /tmp.
            ASSERT_EQ(0, mkdir("/tmp/filestore", 0755));
            ASSERT_TRUE(WriteFile("/tmp/filestore/fw.bin", "tmp copy"));
            Outcome moved = get("file://var/tmp/filestore/fw.bin", 0);
            ASSERT_TRUE(moved.ok()) << moved.Describe();
            EXPECT_EQ("tmp copy", BytesOf(moved.Out("SourceImage")));
        },
        WithLibraries());
}

TEST(Download, RefusedAndFailedRequests)
{
    nsfixture::Run(
        [] {
            Service s;
            ASSERT_TRUE(s.ok()) << s.error();
            ASSERT_TRUE(WriteFile("/etc/qelvo-secret", "secret"));
            ASSERT_EQ(0, symlink("/etc/qelvo-secret", "/tmp/secret-link"));
            ASSERT_EQ(0, symlink("/etc", "/tmp/etc-link"));
            ASSERT_EQ(0, mkfifo("/tmp/fifo", 0666));
            ASSERT_TRUE(WriteFile("/tmp/ok.bin", "ok"));
            ASSERT_EQ(0, symlink("/tmp/ok.bin", "/tmp/ok-link"));

            auto get = [&](const std::string &name) {
                return s.Invoke("DownloadViaByteStream", {{"FileName", name}, {"FragmentOffsetIN", Value::Uint32(0)}});
            };
            const std::string only_tmp = "1 CMPI_RC_ERR_FAILED Could not open the file, can only get file under /tmp";
            for (const char *name : {"/etc/qelvo-secret", "/tmp/../etc/qelvo-secret", "/tmp/secret-link",
                                     "/tmp/etc-link/qelvo-secret", "/tmpx/../etc/qelvo-secret", "relative"}) {
                Outcome out = get(name);
                EXPECT_EQ(only_tmp, Failure(out)) << name;
                EXPECT_TRUE(out.Out("SourceImage").is_null()) << name;
            }
            EXPECT_EQ(only_tmp, Failure(s.Invoke("DownloadViaByteStream", {{"FragmentOffsetIN", Value::Uint32(0)}})));
            EXPECT_EQ("1 CMPI_RC_ERR_FAILED FragmentOffsetIN is required",
                      Failure(s.Invoke("DownloadViaByteStream", {{"FileName", "/tmp/ok.bin"}})));
            EXPECT_EQ("1 CMPI_RC_ERR_FAILED Could not open the file.", Failure(get("/tmp/none.bin")));
            // Neither a FIFO (which would hold the request) nor a directory is a file to send.
            EXPECT_EQ("1 CMPI_RC_ERR_FAILED Could not open the file.", Failure(get("/tmp/fifo")));
            EXPECT_EQ("1 CMPI_RC_ERR_FAILED Could not open the file.", Failure(get("/tmp")));
            // A link that stays under /tmp is followed.
            Outcome link = get("/tmp/ok-link");
            ASSERT_TRUE(link.ok()) << link.Describe();
            EXPECT_EQ("ok", BytesOf(link.Out("SourceImage")));
        },
        WithLibraries());
}

}  // namespace
