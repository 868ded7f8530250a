#include <gtest/gtest.h>

#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "nsfixture.h"
#include "provider_harness.h"
#include "test_util.h"

using namespace jlt;
using cmpiharness::Outcome;
using cmpiharness::Path;

namespace {

const char *const kClass = "Qelvo_ConcreteJob";
const char *const kNs = "qelvo/cimv2";
const char *const kLedger = "/tmp/sfcb/ConcreteJob.ini";
const char *const kRegistry = "/tmp/sfcb/ConcreteJob.reg";

// Runs body with the provider loaded from /lib/cim as the CIMOM loads it.
void with_provider(const std::function<void(cmpiharness::Provider &)> &body)
{
    nsfixture::Options o;
    o.lib_cim = QELVO_PROVIDER_DIR;
    nsfixture::Run([&body] {
        std::string err;
        auto p = cmpiharness::Provider::Load("/lib/cim/libjobledger.so", "Qelvo_ConcreteJobProvider", nullptr, &err);
        ASSERT_TRUE(p) << err;
        body(*p);
    }, o);
}

CMPIUint16 state_of(const Outcome &out, size_t i) { return out.Property(i, "JobState").data().value.uint16; }

// TimeBeforeRemoval of instances[i] in seconds; -1 unless it is an interval.
long removal_seconds(const Outcome &out, size_t i)
{
    const cmpiharness::Value v = out.Property(i, "TimeBeforeRemoval");
    if (v.type() != CMPI_dateTime || v.is_null())
        return -2;
    CMPIDateTime *dt = v.data().value.dateTime;
    if (!dt->ft->isInterval(dt, nullptr))
        return -1;
    return static_cast<long>(dt->ft->getBinaryFormat(dt, nullptr) / 1000000);
}

TEST(ConcreteJobProvider, NoLedgerGivesEmptyEnumerations)
{
    with_provider([](cmpiharness::Provider &p) {
        ASSERT_FALSE(exists("/tmp/sfcb"));
        const Outcome names = p.EnumInstanceNames(kNs, kClass);
        EXPECT_TRUE(names.ok() && names.paths.empty() && names.done_count == 1) << names.Describe();
        EXPECT_TRUE(exists("/tmp/sfcb"));  // made by the provider's start-up
        const Outcome insts = p.EnumInstances(kNs, kClass);
        EXPECT_TRUE(insts.ok() && insts.instances.empty() && insts.done_count == 1) << insts.Describe();
    });
}

TEST(ConcreteJobProvider, EnumeratesJobsOfAnotherProcessAsTheyEnd)
{
    with_provider([](cmpiharness::Provider &p) {
        make_dirs();
        const pid_t pid = fork();
        if (pid == 0) {
            const ConcreteJob_entry ft = entry("FileTransfer"), selk = entry("Selk");
            char id[40];
            _exit(create_job_instance(id, sizeof id, &ft) | create_job_instance(id, sizeof id, &selk));
        }
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

        Outcome out = p.EnumInstances(kNs, kClass);
        ASSERT_EQ(2u, out.instances.size()) << out.Describe();
        EXPECT_EQ(4, state_of(out, 0));
        EXPECT_EQ("Process Running", out.PropertyText(1, "JobStatus"));
        EXPECT_EQ(300, removal_seconds(out, 0));  // the ledger's default allowed age

        answer("FileTransfer-0", 0, 7, "Process Completed");
        answer("Selk-1", 0, 10, "Fail to transfer files");
        const Outcome names = p.EnumInstanceNames("selk/cimv2", kClass);
        ASSERT_TRUE(names.ok()) << names.Describe();
        EXPECT_EQ((Strings{"FileTransfer-0", "Selk-1"}), names.KeyTexts("InstanceID"));
        EXPECT_EQ("selk/cimv2", cmpiharness::NameSpace(names.paths[1]));
        EXPECT_EQ(kClass, cmpiharness::ClassName(names.paths[1]));
        out = p.EnumInstances(kNs, kClass);
        ASSERT_EQ(2u, out.instances.size());
        EXPECT_EQ(CMPI_uint16, out.Property(0, "JobState").type());
        EXPECT_EQ(7, state_of(out, 0));
        EXPECT_EQ("Process Completed", out.PropertyText(0, "JobStatus"));
        EXPECT_EQ(10, state_of(out, 1));
        EXPECT_EQ("Selk-1", cmpiharness::KeyText(cmpiharness::PathOf(out.instances[1]).get(), "InstanceID"));

        // Property lists are matched without case; the key is always set.
        out = p.EnumInstances(kNs, kClass, {"jobSTATE"});
        ASSERT_EQ(2u, out.instances.size());
        EXPECT_TRUE(cmpiharness::HasProperty(out.instances[0], "InstanceID"));
        EXPECT_TRUE(cmpiharness::HasProperty(out.instances[0], "JobState"));
        EXPECT_FALSE(cmpiharness::HasProperty(out.instances[0], "JobStatus"));
        EXPECT_FALSE(cmpiharness::HasProperty(out.instances[0], "TimeBeforeRemoval"));
        out = p.EnumInstances(kNs, kClass, cmpiharness::PropertyList::None());
        EXPECT_EQ("FileTransfer-0", out.PropertyText(0, "InstanceID"));
        EXPECT_FALSE(cmpiharness::HasProperty(out.instances[0], "JobState"));
    });
}

TEST(ConcreteJobProvider, GetInstance)
{
    with_provider([](cmpiharness::Provider &p) {
        make_dirs();
        write_file(kRegistry, registry_section("T") + "\n");
        write_file(kLedger, done_record(0, "T-0", 301) + done_record(1, "T-1", 10, "00000000000130.000000:000") +
                                done_record(2, "T-2", 10, "00000000000130") + done_record(3, "T-3", 10, "garbage") +
                                section("ID-4", {{"instanceid", "T-4"}, {"jobstate", "4"}}) + "\n");
        const auto get = [&p](const cmpiharness::Value &key, const cmpiharness::PropertyList &props = {}) {
            return p.GetInstance(Path(kNs, kClass, {{"InstanceID", key}}).get(), props);
        };
        // T-0 expires in the refresh of this very call.
        Outcome out = get("T-0");
        EXPECT_EQ(CMPI_RC_ERR_FAILED, out.rc);
        EXPECT_EQ("Get Instance Failed", out.message);
        EXPECT_EQ((Strings{"T-0"}), log_lines("cleanup"));
        EXPECT_EQ((Strings{"T-4"}), log_lines("update"));

        out = get("T-1");
        ASSERT_TRUE(out.ok()) << out.Describe();
        ASSERT_EQ(1u, out.instances.size());
        EXPECT_EQ(7, state_of(out, 0));
        EXPECT_EQ(90, removal_seconds(out, 0));
        // A stored text that is no CIM datetime shows the age the ledger applies to it.
        EXPECT_EQ(90, removal_seconds(get("T-2"), 0));
        EXPECT_EQ(300, removal_seconds(get("T-3"), 0));
        out = get("T-4", {"TimeBeforeRemoval"});
        EXPECT_TRUE(cmpiharness::HasProperty(out.instances[0], "TimeBeforeRemoval"));
        EXPECT_FALSE(cmpiharness::HasProperty(out.instances[0], "JobState"));

        for (const auto &miss : {std::make_pair(cmpiharness::Value("T-7"), "Get Instance Failed"),
                                 std::make_pair(cmpiharness::Value("t-1"), "Get Instance Failed"),
                                 std::make_pair(cmpiharness::Value(""), "Key Value Missing"),
                                 std::make_pair(cmpiharness::Value::Uint16(1), "Key Value Missing")}) {
            out = get(miss.first);
            EXPECT_EQ(CMPI_RC_ERR_FAILED, out.rc);
            EXPECT_EQ(miss.second, out.message);
            EXPECT_TRUE(out.instances.empty() && out.done_count == 1);
        }
        out = p.GetInstance(Path(kNs, kClass).get());
        EXPECT_EQ("Key Value Missing", out.message);
    });
}

TEST(ConcreteJobProvider, RefusedOperationsAndFailedRefresh)
{
    with_provider([](cmpiharness::Provider &p) {
        make_dirs();
        create(entry("FileTransfer"));
        auto path = Path(kNs, kClass, {{"InstanceID", "FileTransfer-0"}});
        auto inst = cmpiharness::Instance(path.get(), {{"JobStatus", "changed"}});
        std::vector<Outcome> outs;
        outs.push_back(p.CreateInstance(inst.get()));
        outs.push_back(p.ModifyInstance(inst.get()));
        outs.push_back(p.DeleteInstance(path.get()));
        outs.push_back(p.ExecQuery(kNs, kClass, "SELECT * FROM Qelvo_ConcreteJob"));
        for (const auto &out : outs) {
            EXPECT_EQ(CMPI_RC_ERR_NOT_SUPPORTED, out.rc) << out.Describe();
            EXPECT_EQ("CIM_ERR_NOT_SUPPORTED", out.message);
        }
        const Outcome method = p.InvokeMethod(path.get(), "RequestStateChange");
        EXPECT_EQ(CMPI_RC_ERR_NOT_SUPPORTED, method.rc);
        EXPECT_EQ("Method Not Supported", method.message);
        EXPECT_EQ("Process Running", p.GetInstance(path.get()).PropertyText(0, "JobStatus"));

        // Cleanup unloads the handler libraries.
        const auto handler_mapped = [] {
            return read_file("/proc/self/maps").find("libjobledger_test_handler.so") != std::string::npos;
        };
        EXPECT_TRUE(handler_mapped());
        EXPECT_EQ(CMPI_RC_OK, p.Cleanup(false).rc);
        EXPECT_FALSE(handler_mapped());

        // A handler library that cannot be loaded fails every read operation.
        write_file(kRegistry, read_file(kRegistry) + registry_section("Broken", "/tmp/sfcb/absent.so"));
        outs.clear();
        outs.push_back(p.EnumInstanceNames(kNs, kClass));
        outs.push_back(p.EnumInstances(kNs, kClass));
        outs.push_back(p.GetInstance(path.get()));
        for (const auto &out : outs) {
            EXPECT_EQ(CMPI_RC_ERR_FAILED, out.rc) << out.Describe();
            EXPECT_EQ("Enumerate Instance Names Failed", out.message);
            EXPECT_TRUE(out.instances.empty() && out.paths.empty() && out.done_count == 1);
        }
    });
}

}  // namespace
