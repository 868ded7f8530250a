// Downloads through a scripted transfer service behind the CMPI broker: what the broker sends,
// and how every answer of the service is recorded for the package.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>

#include "nsfixture.h"
#include "pkgbroker.h"
#include "provider_harness.h"

namespace {

using cmpiharness::Status;
using cmpiharness::UpCall;
using cmpiharness::Value;

const char kFts[] = "Qelvo_FileTransferService";
const char kFtsNs[] = "qelvo/cimv2";

std::string Read(const std::string &path)
{
    std::ifstream f(path);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

struct Answer {
    const char *what;
    const char *method;           // the transfer method the broker must call
    CMPIrc rc;
    CMPIUint32 rv;
    Value dest;                   // DestinationURI; null for none
    int code;
    const char *message;
    int order_flag;
    int result;
    const char *destination;      // tmpDestinationPath afterwards
};

TEST(BrokerDownload, AnswersOfTheTransferService)
{
    const std::string too_long = "file://var/tmp/filestore/" + std::string(200, 'l');
    const Answer answers[] = {
        {"fetched", "TransferViaTFTP", CMPI_RC_OK, 0, Value("file://var/tmp/filestore/p.xml"), 10,
         "Package download completed and the update process is running.", 450, 1, "file://var/tmp/filestore/p.xml"},
        {"fetched, no path", "TransferViaURL", CMPI_RC_OK, 0, Value(), 10,
         "Package download completed and the update process is running.", 450, 1, "before"},
        {"failed", "TransferViaTFTP", CMPI_RC_OK, 1, Value(), 11, "Package download failed.", 1000, 0, "before"},
        {"timeout", "TransferViaURL", CMPI_RC_OK, 2, Value(), 12, "TFTP file transfer timeout.", 1000, 0, "before"},
        {"bad parameter", "TransferViaURL", CMPI_RC_OK, 3, Value(), 13,
         "Invalid input parameter in SFTP file transfer.", 1000, 0, "before"},
        {"no space", "TransferViaTFTP", CMPI_RC_OK, 4, Value(), 14, "Not enough space on VMWare ESXi storage.", 1000, 0,
         "before"},
        {"asynchronous", "TransferViaTFTP", CMPI_RC_OK, 5, Value("file://var/tmp/filestore/p.xml"), 15,
         "Asynchronous TFTP transfer", 450, 1, "file://var/tmp/filestore/p.xml"},
        {"unknown", "TransferViaURL", CMPI_RC_OK, 9, Value(), 17, "Unknown Error when package downloading", 1000, 0,
         "before"},
        {"service failure", "TransferViaTFTP", CMPI_RC_ERR_FAILED, 0, Value(), 16,
         "Package download error message: Fail to transfer files - Timeout", 1000, 0, "before"},
        {"path of another type", "TransferViaURL", CMPI_RC_OK, 0, Value::Uint32(7), 18,
         "Invalid Destination URI from SFTP file transfer", 450, 0, "before"},
        {"path too long for the record", "TransferViaTFTP", CMPI_RC_OK, 0, Value(too_long), 18,
         "Invalid Destination URI from TFTP file transfer", 450, 0, "before"},
    };
    nsfixture::Run([&] {
        cmpiharness::Router router;
        _broker = router.broker();
        CMPIContext *ctx = native_new_CMPIContext();
        const Answer *now = nullptr;
        std::string seen;
        router.OnInvoke(kFtsNs, kFts, "", [&](UpCall &call) {
            seen = std::string(call.method) + " " + cmpiharness::Text(call.In("SourceURI").data()) + " " +
                   cmpiharness::Text(call.In("TransferOptions").data()) + " " +
                   cmpiharness::Text(call.In("BlockSize").data());
            if (now->rc != CMPI_RC_OK)
                return Status{now->rc, "Fail to transfer files - Timeout"};
            call.Return(Value::Uint32(now->rv));
            if (!now->dest.is_null())
                call.SetOut("DestinationURI", now->dest);
            return Status{};
        });
        for (const Answer &a : answers) {
            memset(pkgInstance, 0, sizeof pkgInstance);
            pkgnum = 1;
            snprintf(pkgInstance[0].TFTPXMLPkgURIs, PKG_FIELD_SIZE, "tftp://h/p.xml");
            snprintf(pkgInstance[0].tmpDestinationPath, PKG_FIELD_SIZE, "before");
            pkgInstance[0].OrderFlag = 450;
            now = &a;
            const bool tftp = strcmp(a.method, "TransferViaTFTP") == 0;
            filelocation = tftp ? LOCATION_TFTP : LOCATION_SFTP;
            const char *uri = tftp ? "tftp://h/p.xml" : "sftp://u:pw@h/p.xml";
            EXPECT_EQ(GetFileFromLocalOrTFTP(uri, 0, ctx), a.result) << a.what;
            EXPECT_EQ(seen, std::string(a.method) + " " + uri + " {0} 2048") << a.what;
            EXPECT_EQ(pkgInstance[0].installCode, a.code) << a.what;
            EXPECT_EQ(pkgInstance[0].installResult, std::string("p: ") + std::to_string(a.code) + ": " + a.message)
                << a.what;
            EXPECT_EQ(pkgInstance[0].OrderFlag, a.order_flag) << a.what;
            EXPECT_STREQ(pkgInstance[0].tmpDestinationPath, a.destination) << a.what;
        }

        // Local files are used in place; ftp:// marks hypervisor updates; other schemes fetch nothing.
        const int calls = router.Calls(cmpiharness::Op::InvokeMethod, kFtsNs, kFts);
        filelocation = LOCATION_FILE;
        EXPECT_EQ(GetFileFromLocalOrTFTP("file:///srv/p.xml", 0, ctx), 1);
        EXPECT_STREQ(pkgInstance[0].tmpDestinationPath, "file:///srv/p.xml");
        filelocation = LOCATION_FTP;
        EXPECT_EQ(GetFileFromLocalOrTFTP("ftp://h/depot/p.xml", 0, ctx), 0);
        EXPECT_STREQ(pkgInstance[0].category, "Embedded Hypervisor");
        EXPECT_STREQ(pkgInstance[0].name, "VMware");
        filelocation = LOCATION_UNKNOWN;
        EXPECT_EQ(GetFileFromLocalOrTFTP("http://h/p.xml", 0, ctx), 5);
        EXPECT_EQ(router.Calls(cmpiharness::Op::InvokeMethod, kFtsNs, kFts), calls);

        const std::string log = Read(SELK_DEBUG_LOG);
        EXPECT_EQ(log.find("pw@"), std::string::npos) << "the password stays out of the log";
        EXPECT_NE(log.find("sftp://u:********@h/p.xml"), std::string::npos);
        CMRelease(ctx);
    });
}

}  // namespace
