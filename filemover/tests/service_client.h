// Drives the loaded Qelvo_FileTransferService provider as a CIM client would, and reads the
// jobs it starts back through the job ledger's provider.
#ifndef QELVO_FILEMOVER_TESTS_SERVICE_CLIENT_H
#define QELVO_FILEMOVER_TESTS_SERVICE_CLIENT_H

#include <memory>
#include <string>
#include <vector>

#include "provider_harness.h"

namespace ftsvctest {

constexpr const char *kNamespace = "qelvo/cimv2";
constexpr const char *kClass = "Qelvo_FileTransferService";

class Service {
public:
    // Loads libfilemover from lib (by default from /lib/cim, as the host does).
    explicit Service(const std::string &lib = "/lib/cim/libfilemover.so");
    ~Service();

    bool ok() const { return provider_ != nullptr; }
    const std::string &error() const { return error_; }
    cmpiharness::Provider &provider() { return *provider_; }

    cmpiharness::Outcome Invoke(const std::string &method, const cmpiharness::NamedValues &args = {});
    cmpiharness::Outcome Invoke(const std::string &method, const CMPIArgs *in);
    // The method's return value as a number, or -1 when none was returned.
    static long long Rv(const cmpiharness::Outcome &out);

    // A job as the ledger shows it now; false when the ledger does not know it.
    bool Job(const std::string &id, std::string *state, std::string *status);
    // Polls the job until it has left the Running state (bounded).
    bool WaitJobDone(const std::string &id, int seconds, std::string *state, std::string *status);
    // Every job the ledger enumerates: "<InstanceID> <JobState> <JobStatus>".
    std::vector<std::string> Jobs();
    // Asks the provider to unload (not terminating) until it agrees, so that no worker runs any
    // more; bounded.
    bool WaitIdle(int seconds);

private:
    bool EnsureLedger();

    std::string error_;
    cmpiharness::Router router_;
    std::unique_ptr<cmpiharness::Provider> provider_;
    std::unique_ptr<cmpiharness::Provider> ledger_;
};

// TransferViaByteStream arguments: FileName, FragmentationFlag, FragmentOffset and the bytes as
// a uint8 SourceImage array (built directly, so that images of several MiB stay cheap).
cmpiharness::ArgsPtr ImageArgs(const std::string &name, uint32_t offset, const std::string &bytes,
                               uint8_t flag = 2);
// The bytes of a uint8 array value.
std::string BytesOf(const cmpiharness::Value &array);

std::string ReadFile(const std::string &path);
bool WriteFile(const std::string &path, const std::string &content);
bool Exists(const std::string &path);
std::string Pattern(size_t n, uint32_t seed);

}  // namespace ftsvctest

#endif
