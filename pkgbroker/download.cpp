// Fetching package descriptors and payloads through the host's file transfer service, invoked
// through the CIMOM as a client would, and asking it to delete the fetched copies.
#include <cstdio>
#include <cstring>

#include <cmpidt.h>
#include <cmpift.h>
#include <cmpimacs.h>

#include "pkgbroker.h"

const CMPIBroker *_broker;

namespace {

const char kServiceNameSpace[] = "qelvo/cimv2";
const char kServiceClass[] = "Qelvo_FileTransferService";

// What differs between the two transfer methods.
struct Protocol {
    const char *method;
    const char *word;  // TFTP or SFTP in the messages
    const char *no_path_trace;
    const char *complete_trace;
};

const Protocol kTftp = {"TransferViaTFTP", "TFTP",
                        "fail to get object path from qelvo/cimv2:Qelvo_FileTransferService.\n",
                        "Complete downloadFileViaTFTP."};
const Protocol kSftp = {"TransferViaURL", "SFTP",
                        "fail to get object path from qelvo/cimv2:Qelvo_FileTransferService .\n",
                        "Complete downloadFileViaSFTP.\n"};

// What a return value of the transfer service means; %s is TFTP or SFTP. The last row stands
// for every value not listed.
struct Outcome {
    CMPIUint32 rv;
    int code;
    const char *message;
    bool fetched;
};

const Outcome kOutcomes[] = {
    {0, SELK_DOWNLOADED, "Package download completed and the update process is running.", true},
    {1, SELK_DOWNLOAD_FAILED, "Package download failed.", false},
    {2, SELK_TIMEOUT_OR_XML, "TFTP file transfer timeout.", false},
    {3, SELK_BAD_PARAMETER, "Invalid input parameter in %s file transfer.", false},
    {4, SELK_NO_SPACE, "Not enough space on VMWare ESXi storage.", false},
    {5, SELK_ASYNC_TRANSFER, "Asynchronous %s transfer", true},
    {0xffffffffu, SELK_DOWNLOAD_UNKNOWN, "Unknown Error when package downloading", false},
};

CMPIObjectPath *service_path()
{
    CMPIStatus rc = {CMPI_RC_OK, nullptr};
    if (_broker == nullptr)
        return nullptr;
    CMPIObjectPath *op = CMNewObjectPath(_broker, kServiceNameSpace, kServiceClass, &rc);
    return rc.rc == CMPI_RC_OK ? op : nullptr;
}

void record_download_error(int pkgIdx, const char *message)
{
    char text[PKG_LINE_SIZE];
    snprintf(text, sizeof text, "Package download error message: %s", message);
    update_Pkg_Install_status(pkgIdx, SELK_DOWNLOAD_ERROR, text);
    pkgInstance[pkgIdx].OrderFlag = ORDER_FETCH_FAILED;
}

// The input arguments of a transfer: SourceURI, TransferOptions {0} (synchronous), BlockSize 2048.
CMPIArgs *transfer_args(const char *uri)
{
    CMPIStatus rc = {CMPI_RC_OK, nullptr};
    CMPIArgs *in = CMNewArgs(_broker, &rc);
    if (in == nullptr || rc.rc != CMPI_RC_OK)
        return nullptr;
    CMPIArray *options = CMNewArray(_broker, 1, CMPI_uint16, &rc);
    if (options == nullptr || rc.rc != CMPI_RC_OK)
        return nullptr;
    CMPIUint16 sync = 0;
    CMPIUint16 block = 2048;
    if (CMSetArrayElementAt(options, 0, &sync, CMPI_uint16).rc != CMPI_RC_OK ||
        CMAddArg(in, "SourceURI", uri, CMPI_chars).rc != CMPI_RC_OK ||
        CMAddArg(in, "TransferOptions", &options, CMPI_uint16A).rc != CMPI_RC_OK ||
        CMAddArg(in, "BlockSize", &block, CMPI_uint16).rc != CMPI_RC_OK)
        return nullptr;
    return in;
}

int download(const Protocol &proto, const char *uri, int pkgIdx, const CMPIContext *ctx)
{
    Pkg_Instance_Struct &p = pkgInstance[pkgIdx];
    selk_trace("Enter downloadFileVia%s.\n", proto.word);
    int result = 1;

    CMPIObjectPath *op = service_path();
    if (op == nullptr) {
        selk_trace("%s", proto.no_path_trace);
        record_download_error(pkgIdx, "Create CMPIObjectPath failed.");
        return 0;
    }
    CMPIStatus rc = {CMPI_RC_OK, nullptr};
    CMPIArgs *in = transfer_args(uri);
    CMPIArgs *out = CMNewArgs(_broker, &rc);
    selk_trace("Downloading... \n");
    debug_uri(uri);
    debug("\n");

    rc = CMPIStatus{CMPI_RC_OK, nullptr};
    CMPIData ret;
    memset(&ret, 0, sizeof ret);
    if (in == nullptr) {
        rc.rc = CMPI_RC_ERR_FAILED;
        rc.msg = CMNewString(_broker, "Create input arguments failed.", nullptr);
    } else {
        ret = CBInvokeMethod(_broker, ctx, op, proto.method, in, out, &rc);
    }
    const CMPIUint32 value = (ret.state & CMPI_nullValue) == 0 && ret.type == CMPI_uint32 ? ret.value.uint32 : 0xffffffffu;
    selk_trace("retCode: %u\n", static_cast<unsigned>(value));

    char message[PKG_FIELD_SIZE];
    if (rc.rc != CMPI_RC_OK) {
        record_download_error(pkgIdx, status_message(rc));
        result = 0;
    } else {
        const Outcome *o = &kOutcomes[sizeof kOutcomes / sizeof kOutcomes[0] - 1];
        for (const Outcome &k : kOutcomes) {
            if (k.rv == value) {
                o = &k;
                break;
            }
        }
        snprintf(message, sizeof message, o->message, proto.word);
        update_Pkg_Install_status(pkgIdx, o->code, message);
        if (!o->fetched) {
            p.OrderFlag = ORDER_FETCH_FAILED;
            result = 0;
        }
    }

    if (out != nullptr) {
        CMPIStatus st = {CMPI_RC_OK, nullptr};
        CMPIData dest = CMGetArg(out, "DestinationURI", &st);
        if (st.rc == CMPI_RC_OK && (dest.state & CMPI_nullValue) == 0 && dest.type == CMPI_string) {
            const char *path = dest.value.string != nullptr ? CMGetCharsPtr(dest.value.string, nullptr) : nullptr;
            // A local path that does not fit the record is as unusable as none at all.
            if (path != nullptr && strlen(path) < sizeof p.tmpDestinationPath) {
                selk_trace("DestinationPath is  %s\n", path);
                snprintf(p.tmpDestinationPath, sizeof p.tmpDestinationPath, "%s", path);
            } else {
                snprintf(message, sizeof message, "Invalid Destination URI from %s file transfer", proto.word);
                update_Pkg_Install_status(pkgIdx, SELK_BAD_DESTINATION, message);
                result = 0;
            }
        } else if (st.rc == CMPI_RC_OK && (dest.state & CMPI_nullValue) == 0) {
            snprintf(message, sizeof message, "Invalid Destination URI from %s file transfer", proto.word);
            update_Pkg_Install_status(pkgIdx, SELK_BAD_DESTINATION, message);
            result = 0;
        }
        CMRelease(out);
    }
    if (in != nullptr)
        CMRelease(in);
    CMRelease(op);
    selk_trace("%s", proto.complete_trace);
    return result;
}

}  // namespace

int downloadFileViaTFTP(const char *uri, int pkgIdx, const CMPIContext *ctx)
{
    return download(kTftp, uri, pkgIdx, ctx);
}

int downloadFileViaSFTP(const char *uri, int pkgIdx, const CMPIContext *ctx)
{
    return download(kSftp, uri, pkgIdx, ctx);
}

int GetFileFromLocalOrTFTP(const char *uri, int pkgIdx, const CMPIContext *ctx)
{
    if (uri == nullptr || pkgIdx < 0 || pkgIdx >= PKG_MAX_NUM)
        return 0;
    selk_trace("Enter GetFileFromLocalOrTFTP.\n");
    debug_uri(uri);
    debug("\n");
    Pkg_Instance_Struct &p = pkgInstance[pkgIdx];
    switch (filelocation) {
    case LOCATION_FILE:
        // The request's own URI was checked to fit, and so do the paths cut from it.
        snprintf(p.tmpDestinationPath, sizeof p.tmpDestinationPath, "%s", uri);
        return 1;
    case LOCATION_TFTP:
        return downloadFileViaTFTP(uri, pkgIdx, ctx);
    case LOCATION_SFTP:
        selk_trace("Enter FileLocationSFTP\n");
        return downloadFileViaSFTP(uri, pkgIdx, ctx);
    case LOCATION_FTP:
        snprintf(p.category, sizeof p.category, "%s", "Embedded Hypervisor");
        snprintf(p.name, sizeof p.name, "%s", "VMware");
        return 0;
    default:
        return LOCATION_UNKNOWN;
    }
}

void deleteTransferedFile(const char *uri, const CMPIContext *ctx)
{
    selk_trace("Delete file ");
    debug_uri(uri);
    debug("\n");
    CMPIObjectPath *op = service_path();
    if (op == nullptr) {
        selk_trace("Can't create deleteTransferedFile object.\n");
        return;
    }
    CMPIStatus rc = {CMPI_RC_OK, nullptr};
    CMPIArgs *in = CMNewArgs(_broker, &rc);
    CMPIArgs *out = CMNewArgs(_broker, &rc);
    rc = CMPIStatus{CMPI_RC_OK, nullptr};
    if (in == nullptr || CMAddArg(in, "FileURI", uri != nullptr ? uri : "", CMPI_chars).rc != CMPI_RC_OK) {
        selk_trace("Can't create deleteTransferedFile object.\n");
    } else {
        CBInvokeMethod(_broker, ctx, op, "DeleteTransferredFile", in, out, &rc);
        if (rc.rc != CMPI_RC_OK) {
            selk_trace("deleteTransferedFile failed.\n");
            selk_trace("Error message:%s\n", status_message(rc));
        }
    }
    if (in != nullptr)
        CMRelease(in);
    if (out != nullptr)
        CMRelease(out);
    CMRelease(op);
    selk_trace("Complete deleteTransferedFile.\n");
}
