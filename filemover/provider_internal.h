// Shared parts of the Qelvo_FileTransferService provider: the broker, the answer of a method
// and the argument helpers the method bodies use.
#ifndef QELVO_FILEMOVER_PROVIDER_INTERNAL_H
#define QELVO_FILEMOVER_PROVIDER_INTERNAL_H

#include <cmpidt.h>
#include <cmpift.h>

#include <string>

namespace ftsvc {

// The broker handle the factories were given.
extern const CMPIBroker *broker;

// What a method answers: its return value, and the CMPI status with its message.
struct Answer {
    CMPIUint32 rv = 0;
    CMPIrc rc = CMPI_RC_OK;
    std::string message;
};

inline Answer Ok(CMPIUint32 rv = 0)
{
    Answer a;
    a.rv = rv;
    return a;
}

inline Answer Fail(CMPIUint32 rv, const std::string &message, CMPIrc rc = CMPI_RC_ERR_FAILED)
{
    Answer a;
    a.rv = rv;
    a.rc = rc;
    a.message = message;
    return a;
}

// One method call as the CIMOM hands it over.
struct Call {
    const CMPIContext *ctx;
    const CMPIObjectPath *ref;
    const CMPIArgs *in;   // may be null: no arguments
    CMPIArgs *out;
};

// The argument called name when it is present with a non-null value of exactly type; a data
// record of type CMPI_null otherwise.
CMPIData arg_of_type(const CMPIArgs *in, const char *name, CMPIType type);

// The text of a string argument, or null when it is absent, null or of another type.
const char *arg_text(const CMPIArgs *in, const char *name);

// Adds an OUT parameter; the status of the addition.
CMPIStatus add_out(CMPIArgs *out, const char *name, const CMPIValue *value, CMPIType type);
CMPIStatus add_out_text(CMPIArgs *out, const char *name, const char *text);

// The method bodies, by the method names of the class.
Answer TransferViaURL(const Call &call);
Answer TransferViaByteStream(const Call &call);
Answer CheckFreeSpace(const Call &call);
Answer GetVersionNumber(const Call &call);
Answer DeleteTransferredFile(const Call &call);
Answer EmptyFileStore(const Call &call);
Answer CheckFileIntegrityViaMD5(const Call &call);
Answer ListFileStore(const Call &call);
Answer DownloadViaByteStream(const Call &call);
Answer EnableSSHMethod(const Call &call);
Answer DisableSSHMethod(const Call &call);
Answer GetSSHStatusMethod(const Call &call);

}  // namespace ftsvc

#endif
