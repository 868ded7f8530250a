// The four providers of libfwinfo.so loaded through the CMPI harness as a CIMOM loads them,
// reading the controller simulator's table from /dev/ipmi0. Each body runs in a forked child, so
// the library and its caches are fresh in each.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>

#include "ipmi_testing.h"
#include "nsfixture.h"
#include "provider_harness.h"
#include "smbios_gen.h"
#include "store_controller.h"
#include "table_rules.h"

namespace {

using cmpiharness::Outcome;
using cmpiharness::Provider;
using fwtest::Bytes;
using fwtest::StoreController;

constexpr char kNs[] = "root/qelvosd";
constexpr uint8_t kQuerySize = 6;

struct Kind {
  const char *provider;
  const char *cls;
  const char *key;
  const char *value;
  const char *id;
  const char *expected;  // value from the 2.7 recorded table ("" for the dump)
};

const Kind kKinds[] = {
    {"SmbiosInfoProvider", "QelvoSG_SmbiosInfo", "SmbiosID", "SmbiosRawData", "SMBIOS", ""},
    {"BMCVersionProvider", "QelvoSG_BMCElement", "BmcID", "BmcVersion", "BMC", "TVK1.42-7"},
    {"PDraviVersionProvider", "QelvoSG_DiagnosticVPD", "PDraviID", "PDraviVersion", "pDravi", "QDG4.12-1"},
    {"BiosVersionProvider", "QelvoSG_SystemBIOSElement", "BIOSID", "BIOSVersion", "BIOS", "VNB3.18-2"},
};

Bytes Table(const char *file = "smbios-2.7.bin") { return fwtest::ReadAll(std::string(SMBIOS_TABLES_DIR) + "/" + file); }

std::string DumpOf(const Bytes &t) {
  std::string out;
  SmbiosInfo::format_raw_data(t, out);
  return out;
}

std::unique_ptr<Provider> Load(const char *name) {
  std::string err;
  auto p = Provider::Load(FWINFO_LIBRARY, name, nullptr, &err);
  EXPECT_TRUE(p) << err;
  return p;
}

void WithTable(const Bytes &table, const std::function<void(StoreController &)> &body,
               StoreController::Hook hook = nullptr) {
  nsfixture::Run([&] {
    ASSERT_NO_FATAL_FAILURE(ipmitest::MountPrivateDev());
    StoreController bmc({{"smbios-table", table}}, {}, hook);
    ASSERT_TRUE(bmc.ok()) << bmc.error();
    body(bmc);
  });
}

TEST(FirmwareProviders, EnumerateAndGetEachRecord) {
  const Bytes table = Table();
  WithTable(table, [&](StoreController &) {
    for (const Kind &k : kKinds) {
      SCOPED_TRACE(k.provider);
      auto p = Load(k.provider);
      ASSERT_TRUE(p);
      const std::string expected = *k.expected != 0 ? k.expected : DumpOf(table);

      Outcome names = p->EnumInstanceNames(kNs, k.cls);
      ASSERT_TRUE(names.ok()) << names.Describe();
      ASSERT_EQ(1u, names.paths.size());
      EXPECT_EQ(k.id, names.KeyText(0, k.key));
      EXPECT_EQ(kNs, cmpiharness::NameSpace(names.paths[0]));
      EXPECT_EQ(k.cls, cmpiharness::ClassName(names.paths[0]));
      EXPECT_EQ(1, names.done_count);

      Outcome all = p->EnumInstances(kNs, k.cls);
      ASSERT_TRUE(all.ok()) << all.Describe();
      ASSERT_EQ(1u, all.instances.size());
      EXPECT_EQ(k.id, all.PropertyText(0, k.key));
      EXPECT_EQ(expected, all.PropertyText(0, k.value));

      auto path = cmpiharness::Path(kNs, k.cls, {{k.key, k.id}});
      Outcome got = p->GetInstance(path.get());
      ASSERT_TRUE(got.ok()) << got.Describe();
      ASSERT_EQ(1u, got.instances.size());
      EXPECT_EQ(expected, got.PropertyText(0, k.value));

      // The key is kept whatever the property list says.
      Outcome keys_only = p->EnumInstances(kNs, k.cls, cmpiharness::PropertyList::None());
      ASSERT_TRUE(keys_only.ok());
      ASSERT_EQ(1u, keys_only.instances.size());
      EXPECT_EQ(k.id, keys_only.PropertyText(0, k.key));
      EXPECT_FALSE(cmpiharness::HasProperty(keys_only.instances[0], k.value));
    }
  });
}

TEST(FirmwareProviders, AWrongKeyOrClassIsRefused) {
  WithTable(Table(), [](StoreController &) {
    for (const Kind &k : kKinds) {
      SCOPED_TRACE(k.provider);
      auto p = Load(k.provider);
      ASSERT_TRUE(p);
      auto wrong = cmpiharness::Path(kNs, k.cls, {{k.key, "OTHER"}});
      Outcome miss = p->GetInstance(wrong.get());
      EXPECT_EQ(CMPI_RC_ERR_NOT_SUPPORTED, miss.rc);
      EXPECT_EQ(std::string(k.provider) + " does not handle class " + k.cls, miss.message);
      EXPECT_TRUE(miss.instances.empty());

      auto keyless = cmpiharness::Path(kNs, k.cls);
      Outcome none = p->GetInstance(keyless.get());
      EXPECT_EQ(CMPI_RC_ERR_NOT_SUPPORTED, none.rc) << "a path without the key selects no record";
      EXPECT_TRUE(none.instances.empty());

      EXPECT_EQ(CMPI_RC_ERR_INVALID_CLASS, p->EnumInstances(kNs, "CIM_Other").rc);
      EXPECT_EQ(CMPI_RC_ERR_INVALID_CLASS, p->EnumInstanceNames(kNs, "CIM_Other").rc);
      auto other = cmpiharness::Path(kNs, "CIM_Other", {{k.key, k.id}});
      EXPECT_EQ(CMPI_RC_ERR_INVALID_CLASS, p->GetInstance(other.get()).rc);
    }
  });
}

TEST(FirmwareProviders, ModificationsAreNotSupported) {
  WithTable(Table(), [](StoreController &) {
    for (const Kind &k : kKinds) {
      SCOPED_TRACE(k.provider);
      auto p = Load(k.provider);
      ASSERT_TRUE(p);
      auto path = cmpiharness::Path(kNs, k.cls, {{k.key, k.id}});
      auto inst = cmpiharness::Instance(path.get(), {{k.value, "changed"}});
      Outcome set = p->ModifyInstance(inst.get());
      EXPECT_EQ(CMPI_RC_ERR_NOT_SUPPORTED, set.rc);
      EXPECT_EQ("Modifications are not supported on this type of smbios", set.message);
      EXPECT_EQ(CMPI_RC_ERR_NOT_SUPPORTED, p->CreateInstance(inst.get()).rc);
      EXPECT_EQ(CMPI_RC_ERR_NOT_SUPPORTED, p->DeleteInstance(path.get()).rc);
      EXPECT_EQ(CMPI_RC_ERR_NOT_SUPPORTED, p->ExecQuery(kNs, k.cls, "select * from x").rc);
    }
  });
}

TEST(FirmwareProviders, ATableWithoutTheSourceStructureGivesABlankVersion) {
  smbiosgen::TableBuilder t;
  t.Add(1, {1}, {"System"});
  t.Add(127, {}, {});
  WithTable(t.Image(2, 7), [](StoreController &) {
    for (const Kind &k : kKinds) {
      if (*k.expected == 0) continue;
      SCOPED_TRACE(k.provider);
      auto p = Load(k.provider);
      ASSERT_TRUE(p);
      Outcome all = p->EnumInstances(kNs, k.cls);
      ASSERT_TRUE(all.ok()) << all.Describe();
      ASSERT_EQ(1u, all.instances.size());
      EXPECT_EQ(" ", all.PropertyText(0, k.value));
    }
  });
}

TEST(FirmwareProviders, ATableOfOneStructureGivesAnEmptyDump) {
  smbiosgen::TableBuilder t;
  t.Add(127, {}, {});
  WithTable(t.Image(2, 7), [](StoreController &) {
    auto p = Load("SmbiosInfoProvider");
    ASSERT_TRUE(p);
    Outcome all = p->EnumInstances(kNs, "QelvoSG_SmbiosInfo");
    ASSERT_TRUE(all.ok()) << all.Describe();
    ASSERT_EQ(1u, all.instances.size());
    EXPECT_EQ("", all.PropertyText(0, "SmbiosRawData"));
  });
}

TEST(FirmwareProviders, AFailedReadIsReportedAndRetriedByTheNextRequest) {
  std::atomic<bool> refuse{true};
  WithTable(
      Table(),
      [&](StoreController &bmc) {
        for (const Kind &k : kKinds) {
          SCOPED_TRACE(k.provider);
          auto p = Load(k.provider);
          ASSERT_TRUE(p);
          refuse = true;
          testing::internal::CaptureStdout();
          Outcome failed = p->EnumInstances(kNs, k.cls);
          fflush(stdout);
          const std::string log = testing::internal::GetCapturedStdout();
          EXPECT_EQ(CMPI_RC_ERR_FAILED, failed.rc);
          EXPECT_TRUE(failed.instances.empty());
          EXPECT_NE(std::string::npos, log.find("OP : c : 0\n")) << log;

          refuse = false;
          Outcome ok = p->EnumInstances(kNs, k.cls);
          ASSERT_TRUE(ok.ok()) << ok.Describe();
          EXPECT_EQ(1u, ok.instances.size());
        }
        (void)bmc;
      },
      [&refuse](const ipmisim::Packet &req, std::optional<Bytes> &reply) {
        if (refuse && req.data_len >= 4 && req.data[3] == kQuerySize && reply) reply->assign({0x0c, req.data[0], req.data[1], req.data[2]});
      });
}

TEST(FirmwareProviders, TheTableIsReadOnceAndConcurrentFirstRequestsFillEachCacheOnce) {
  WithTable(
      Table(),
      [](StoreController &bmc) {
        for (const Kind &k : kKinds) {
          SCOPED_TRACE(k.provider);
          auto p = Load(k.provider);
          ASSERT_TRUE(p);
          const size_t before = bmc.Requests(kQuerySize).size();
          constexpr int kThreads = 8;
          std::vector<std::thread> threads;
          std::vector<size_t> counts(kThreads, 99);
          std::vector<int> rcs(kThreads, -1);
          std::atomic<int> ready{0};
          for (int i = 0; i < kThreads; ++i) {
            threads.emplace_back([&, i] {
              ++ready;
              while (ready.load() < kThreads) std::this_thread::yield();
              Outcome out = p->EnumInstances(kNs, k.cls);
              rcs[i] = out.rc;
              counts[i] = out.instances.size();
            });
          }
          for (std::thread &t : threads) t.join();
          for (int i = 0; i < kThreads; ++i) {
            EXPECT_EQ(CMPI_RC_OK, rcs[i]) << i;
            EXPECT_EQ(1u, counts[i]) << "request " << i << " sees exactly the one record";
          }
          EXPECT_EQ(before + 1, bmc.Requests(kQuerySize).size()) << "one read of the table";
          EXPECT_EQ(1u, p->EnumInstanceNames(kNs, k.cls).paths.size());
          EXPECT_EQ(before + 1, bmc.Requests(kQuerySize).size()) << "later requests are served from the cache";
        }
      },
      [](const ipmisim::Packet &, std::optional<Bytes> &) {
        std::this_thread::sleep_for(std::chrono::milliseconds(3));  // widens the window for a race
      });
}

TEST(FirmwareProviders, EnumerationsWaitForADebuggerOnlyWhenAsked) {
  WithTable(Table(), [](StoreController &) {
    auto p = Load("BMCVersionProvider");
    ASSERT_TRUE(p);
    testing::internal::CaptureStdout();
    Outcome out = p->EnumInstanceNames(kNs, "QelvoSG_BMCElement");
    fflush(stdout);
    const std::string log = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(out.ok()) << out.Describe();
    const std::string line = "Current process:pid=" + std::to_string(getpid()) + ", ppid=" + std::to_string(getppid());
    EXPECT_NE(std::string::npos, log.find(line)) << log;

    // With WAIT_PROC set the request waits, printing once a second, until the flag is cleared
    // from a debugger; the child that waits is killed here after two seconds.
    int pipefd[2];
    ASSERT_EQ(0, pipe(pipefd));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      dup2(pipefd[1], 1);
      close(pipefd[0]);
      setenv("WAIT_PROC", "1", 1);
      p->EnumInstanceNames(kNs, "QelvoSG_BMCElement");
      _exit(0);
    }
    close(pipefd[1]);
    std::this_thread::sleep_for(std::chrono::milliseconds(2300));
    int status = 0;
    EXPECT_EQ(0, waitpid(child, &status, WNOHANG)) << "still waiting";
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    std::string waited;
    char buf[256];
    ssize_t n;
    while ((n = read(pipefd[0], buf, sizeof buf)) > 0) waited.append(buf, static_cast<size_t>(n));
    close(pipefd[0]);
    const std::string wait_line =
        "Waiting for attach:pid=" + std::to_string(child) + ", ppid=" + std::to_string(getpid()) + "\n";
    size_t lines = 0;
    for (size_t at = waited.find(wait_line); at != std::string::npos; at = waited.find(wait_line, at + 1)) ++lines;
    EXPECT_GE(lines, 2u) << waited;
    EXPECT_LE(lines, 4u) << waited;
  });
}

}  // namespace
