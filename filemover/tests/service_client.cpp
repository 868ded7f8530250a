#include "service_client.h"

#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace ftsvctest {

using cmpiharness::Outcome;
using cmpiharness::Value;

Service::Service(const std::string &lib)
{
    provider_ = cmpiharness::Provider::Load(lib, "FileTransferService", &router_, &error_);
}

Service::~Service()
{
    ledger_.reset();
    provider_.reset();
}

Outcome Service::Invoke(const std::string &method, const cmpiharness::NamedValues &args)
{
    auto path = cmpiharness::Path(kNamespace, kClass);
    auto in = cmpiharness::Args(args);
    return provider_->InvokeMethod(path.get(), method, in.get());
}

long long Service::Rv(const Outcome &out)
{
    const Value v = out.Return();
    if (v.is_null() || v.type() != CMPI_uint32)
        return -1;
    return v.data().value.uint32;
}

Outcome Service::Invoke(const std::string &method, const CMPIArgs *in)
{
    auto path = cmpiharness::Path(kNamespace, kClass);
    return provider_->InvokeMethod(path.get(), method, in);
}

bool Service::EnsureLedger()
{
    if (!ledger_)
        ledger_ = cmpiharness::Provider::Load("/lib/cim/libjobledger.so", "Qelvo_ConcreteJobProvider", &router_,
                                              &error_);
    return ledger_ != nullptr;
}

bool Service::Job(const std::string &id, std::string *state, std::string *status)
{
    if (!EnsureLedger())
        return false;
    auto path = cmpiharness::Path(kNamespace, "Qelvo_ConcreteJob", {{"InstanceID", id}});
    Outcome out = ledger_->GetInstance(path.get());
    if (!out.ok() || out.instances.size() != 1)
        return false;
    *state = out.PropertyText(0, "JobState");
    *status = out.PropertyText(0, "JobStatus");
    return true;
}

bool Service::WaitJobDone(const std::string &id, int seconds, std::string *state, std::string *status)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < until) {
        if (!Job(id, state, status))
            return false;
        if (*state != "4")
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

std::vector<std::string> Service::Jobs()
{
    std::vector<std::string> jobs;
    if (!EnsureLedger())
        return jobs;
    Outcome out = ledger_->EnumInstances(kNamespace, "Qelvo_ConcreteJob");
    for (size_t i = 0; i < out.instances.size(); ++i)
        jobs.push_back(out.PropertyText(i, "InstanceID") + " " + out.PropertyText(i, "JobState") + " " +
                       out.PropertyText(i, "JobStatus"));
    return jobs;
}

bool Service::WaitIdle(int seconds)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < until) {
        if (provider_->Cleanup(false).rc == CMPI_RC_OK) {
            // The count drops as a worker's last step; let it return out of the library.
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

cmpiharness::ArgsPtr ImageArgs(const std::string &name, uint32_t offset, const std::string &bytes, uint8_t flag)
{
    cmpiharness::ArgsPtr args = cmpiharness::Args(
        {{"FileName", name}, {"FragmentationFlag", Value::Uint8(flag)}, {"FragmentOffset", Value::Uint32(offset)}});
    CMPIArray *array = native_new_CMPIArray(static_cast<CMPICount>(bytes.size()), CMPI_uint8, nullptr);
    for (size_t i = 0; i < bytes.size(); ++i) {
        const CMPIUint8 b = static_cast<unsigned char>(bytes[i]);
        CMSetArrayElementAt(array, static_cast<CMPICount>(i), &b, CMPI_uint8);
    }
    CMAddArg(args.get(), "SourceImage", &array, CMPI_uint8A);
    CMRelease(array);
    return args;
}

std::string BytesOf(const Value &array)
{
    std::string s;
    for (const Value &e : cmpiharness::Elements(array))
        s.push_back(static_cast<char>(e.data().value.uint8));
    return s;
}

std::string ReadFile(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

bool WriteFile(const std::string &path, const std::string &content)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << content;
    f.close();
    return static_cast<bool>(f);
}

bool Exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string Pattern(size_t n, uint32_t seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) {
        seed = seed * 1103515245u + 12345u;
        s[i] = static_cast<char>(seed >> 16);
    }
    return s;
}

}  // namespace ftsvctest
