// The installers against the host's installation service stand-ins, loaded as a CIMOM loads
// providers and reached through the broker's up-calls: each adapter vendor's discovery, unpacking
// and payload matching, the controller's bank choice and job, the hypervisor's depot and job. A
// case sets the host up with a scenario file and checks the installer's result, the codes the
// package's entry went through, its last entry and what the services were asked to flash.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "hoststate.h"
#include "nsfixture.h"
#include "pkgbroker.h"
#include "provider_harness.h"
#include "services.h"
#include "unzip_status.h"
#include "zip_maker.h"

namespace {

using cmpiharness::Op;
using cmpiharness::Status;
using cmpiharness::UpCall;

const char kReboot[] =
    "The update completed successfully, but the system needs to be rebooted for the changes to be effective.";

std::string Read(const std::string &path)
{
    std::ifstream f(path);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

bool Write(const std::string &path, const std::string &text)
{
    std::ofstream f(path, std::ios::trunc);
    f << text;
    return static_cast<bool>(f.flush());
}

// Runs body with the stand-ins' library serving every class it owns, as the host CIMOM routes the
// broker's up-calls. An enumeration of CIM_ConcreteJob in qelvo/cimv2 gathers, as the CIMOM does
// from the providers of its subclasses, the controller's jobs and then one of this system's own.
void OnHost(const std::function<void(const CMPIContext *ctx)> &body)
{
    nsfixture::Run([&] {
        cmpiharness::Router router;
        std::string error;
        auto services = cmpiharness::Provider::Load(ESXI_SERVICES_LIBRARY, "BrocadeAdapterProvider", &router, &error);
        ASSERT_TRUE(services) << error;
        for (const hostservices::ClassInfo &c : hostservices::ClassTable())
            router.Route(c.ns, c.cls, services.get());
        router.On(Op::EnumInstances, "qelvo/cimv2", "CIM_ConcreteJob", [&](UpCall &call) {
            cmpiharness::Outcome jobs = services->EnumInstances("qelvo/cimv2", "Qelvo_FirmwareUpdateJob");
            if (!jobs.ok())
                return Status{jobs.rc, jobs.message};
            for (const CMPIInstance *job : jobs.instances)
                call.ReturnInstance(job);
            auto own = cmpiharness::Path("qelvo/cimv2", "Qelvo_ConcreteJob", {{"InstanceID", "FileTransfer-1"}});
            call.ReturnInstance(cmpiharness::Instance(own.get(), {{"JobStatus", "Process Running"}}).get());
            return Status{};
        });
        _broker = router.broker();
        ASSERT_EQ(0, system("mkdir -p /etc/simhost /var/tmp/filestore"));
        CMPIContext *ctx = native_new_CMPIContext();
        body(ctx);
        CMRelease(ctx);
    });
}

// A fresh host and a request of one package, as the installation run leaves it for the installer.
void Request(const std::string &scenario, const char *uri, const char *name, const char *category, const char *fetched)
{
    for (const char *f : {hostservices::kJobsPath, hostservices::kInstallsPath, SELK_DEBUG_LOG})
        unlink(f);
    ASSERT_TRUE(Write(hostservices::kScenarioPath, "host esx-lab-1\n" + scenario));
    initPkgInstall(uri);
    unlink(SELK_DEBUG_LOG);
    snprintf(pkgInstance[0].name, PKG_FIELD_SIZE, "%s", name);
    snprintf(pkgInstance[0].category, PKG_FIELD_SIZE, "%s", category);
    snprintf(pkgInstance[0].tmpDestinationPath, PKG_FIELD_SIZE, "%s", fetched);
}

// What the debug log traced after each `mark`, up to `end`, joined by blanks.
std::string Traced(const std::string &mark, char end)
{
    std::istringstream log(Read(SELK_DEBUG_LOG));
    std::string line, found;
    while (std::getline(log, line)) {
        const size_t at = line.find(mark);
        if (at != std::string::npos)
            found += (found.empty() ? "" : " ") +
                     line.substr(at + mark.size(), line.find(end, at + mark.size()) - at - mark.size());
    }
    return found;
}

// The codes the package's entry went through, and the waiting times between two looks at a job.
std::string Codes()
{
    return Traced("] pkg: ", ':');
}

std::string Waits()
{
    return Traced("Update time elapses ", '\n');
}

// The MD5 digest of text, as the install record gives that of a flashed file.
std::string Md5Of(const std::string &text)
{
    uint64_t size = 0;
    std::string md5;
    EXPECT_TRUE(Write("/tmp/digest", text) && hostservices::FileDigest("/tmp/digest", &size, &md5));
    return md5;
}

// What the services were asked: "target <- file {options} bank = answer" per call, adapter payloads
// relative to the unpack directory.
std::string Calls()
{
    std::string calls;
    for (auto &r : hostservices::ReadRecords()) {
        std::string uri = r["uri"];
        if (uri.rfind("file://" SELK_UNZIP_PATH, 0) == 0)
            uri.erase(0, strlen("file://" SELK_UNZIP_PATH));
        calls += (calls.empty() ? "" : ", ") + r["target"] + "<-" + uri +
                 (r["options"].empty() ? "" : " {" + r["options"] + "}") +
                 (r["bank"].empty() ? "" : " bank " + r["bank"]) + "=" + r["return"];
    }
    return calls;
}

// What a case expects of its installer: its result, the codes the package's entry went through,
// the last entry's message, the services' calls and the waits between looks at a job.
struct Expected {
    int result;
    const char *codes, *last, *calls;
    const char *waits = "";
};

void ExpectOutcome(int result, const Expected &e)
{
    EXPECT_EQ(result, e.result);
    EXPECT_EQ(Codes(), e.codes);
    EXPECT_EQ(pkgInstance[0].installResult,
              std::string("pkg: ") + std::to_string(pkgInstance[0].installCode) + ": " + e.last);
    EXPECT_EQ(Calls(), e.calls);
    EXPECT_EQ(Waits(), e.waits);
}

std::string Payload(const std::string &order, const std::string &file, const std::string &applies)
{
    return "  <payload" + (order.empty() ? "" : " order=\"" + order + "\"") + ">" + file + "</payload>\r\n" +
           "    <applicability type=\"driver\">" + applies + "</applicability>\r\n  </payload>\r\n";
}

TEST(AdapterInstallers, EachVendorAgainstItsService)
{
    // What an earlier run left where the package is unpacked.
    enum Before { kNothing, kStaleFiles, kLink };
    const struct {
        const char *what, *name, *category;
        std::string scenario, payloads;  // payloads: the payload description; "" for an archive that is none
        Before before;
        Expected expected;
    } cases[] = {
        {"Brocade: every package's port controllers, other packages' ports left out",
         "Brocade BR-1860 firmware",
         "Fibre",
         "brocade package 425 BUK0001\nbrocade package 1860 BUK0002\nbrocade port 10:00:00:05:1e:00:00:02 BUK0002\n"
         "brocade port 10:00:00:05:1e:00:00:01 BUK0001\nbrocade port 10:00:00:05:1e:00:00:09 BUK0009\n",
         Payload("", "image/a.bin", "425") + Payload("", "image/b.bin", "1860"),
         kNothing,
         {0, "50", "Package installation successfully.",
          "10:00:00:05:1e:00:00:01<-image/a.bin {5}=0, 10:00:00:05:1e:00:00:02<-image/b.bin {5}=0"}},
        {"Brocade: no port controller carries the serial number",
         "Brocade BR-425 firmware",
         "Fibre",
         "brocade package 425 BUK0001\nbrocade port 10:00:00:05:1e:00:00:01 BUK0002\n",
         Payload("", "image/a.bin", "425"),
         kNothing,
         {4098, "57", "No driver file name that need to be update. ", ""}},
        {"Brocade: the service fails",
         "Brocade BR-425 firmware",
         "Fibre",
         "brocade package 425 BUK0001\nbrocade port 10:00:00:05:1e:00:00:01 BUK0001\nbrocade answer fail busy\n",
         Payload("", "image/a.bin", "425"),
         kNothing,
         {1, "57", "Package installation error happened.", "10:00:00:05:1e:00:00:01<-image/a.bin {5}=failed"}},
        {"Emulex converged: InstanceID shapes, payloads by order, running before each",
         "Emulex OCe14000 firmware",
         "Network",
         "emulex-cna port 0x0720:10000000C9A1B2C3\nemulex-cna port NoColon\nemulex-cna port :10000000C9FFFFFF\n"
         "emulex-cna port 0x0710:10000000C9A1B2C4\n",
         Payload("2", "image/a.bin", "0x0720") + Payload("1", "image/c.bin", "0x0720") +
             Payload("", "image/b.bin", "0x0710"),
         kNothing,
         {0, "62 62 62 50", "Package installation successfully.",
          "10000000C9A1B2C3<-image/c.bin=0, 10000000C9A1B2C3<-image/a.bin=0, 10000000C9A1B2C4<-image/b.bin=0"}},
        {"Emulex converged: a missing file on the first adapter skips the second",
         "Emulex OCe14000 firmware",
         "Network",
         "emulex-cna port 0x0720:10000000C9A1B2C3\nemulex-cna port 0x0720:10000000C9A1B2C4\n"
         "emulex-cna answer 4107 device 10000000C9A1B2C3\n",
         Payload("", "image/a.bin", "0x0720"),
         kNothing,
         {1, "62 55", "The path or file does not exist.", "10000000C9A1B2C3<-image/a.bin=4107"}},
        {"Emulex converged: an archive that is none ends the installer",
         "Emulex OCe14000 firmware",
         "Network",
         "emulex-cna port 0x0720:10000000C9A1B2C3\n",
         "",
         kNothing,
         {unzipfile::kNoArchive, "57", "Package installation error happened.", ""}},
        {"Emulex Fibre Channel: adapters lacking FieldV2 left out",
         "Emulex LPe12002 firmware",
         "Fibre",
         "emulex-fc vpd 10000000C9AAAAAA LPe12002\nemulex-fc vpd 10000000C9BBBBBB -\n",
         Payload("", "image/a.bin", "LPe12002"),
         kNothing,
         {0, "50", "Package installation successfully.", "10000000C9AAAAAA<-image/a.bin=0"}},
        {"Emulex Fibre Channel: unsupported target",
         "Emulex LPe12002 firmware",
         "Fibre",
         "emulex-fc vpd 10000000C9AAAAAA LPe12002\nemulex-fc answer 4097\n",
         Payload("", "image/a.bin", "LPe12002"),
         kNothing,
         {1, "58", "Unsupported target type.", "10000000C9AAAAAA<-image/a.bin=4097"}},
        {"QLogic: the adapter's part of the DeviceID, flashed once for its two ports",
         "QLogic QLE2562 firmware",
         "Fibre",
         "qlogic port 2100001B32A1B2C3_0_1 QLE2562\nqlogic port 2100001B32A1B2C3_1_1 QLE2562\n"
         "qlogic port 2100001B32D4E5F6_0_1 -\n",
         Payload("", "image/a.bin", "QLE2562"),
         kNothing,
         {0, "50", "Package installation successfully.", "2100001B32A1B2C3<-image/a.bin {5}=0"}},
        {"QLogic: no payload applies to the adapters",
         "QLogic QLE2672 firmware",
         "Fibre",
         "qlogic port 2100001B32A1B2C3_0_1 QLE2672\n",
         Payload("", "image/a.bin", "QLE2562"),
         kNothing,
         {0, "50", "Package installation successfully.", ""}},
        {"QLogic: no adapters",
         "QLogic QLE2562 firmware",
         "Fibre",
         "",
         Payload("", "image/a.bin", "QLE2562"),
         kNothing,
         {4098, "57", "No driver file name that need to be update.", ""}},
        {"QLogic: an archive that is none never flashes an earlier package's files",
         "FC5X21 firmware",
         "Fibre",
         "qlogic port 2100001B32A1B2C3_0_1 QLE2562\n",
         "",
         kStaleFiles,
         {0, "57", "Package installation error happened.", ""}},
        {"QLogic: a link in the unpack directory's place is removed, not what it points to",
         "QLogic QLE2562 firmware",
         "Fibre",
         "qlogic port 2100001B32A1B2C3_0_1 QLE2562\n",
         Payload("", "image/b.bin", "QLE2562"),
         kLink,
         {0, "50", "Package installation successfully.", "2100001B32A1B2C3<-image/b.bin {5}=0"}},
        {"QLogic: a payload outside the unpack directory",
         "Qlogic QLE2562 firmware",
         "Fibre",
         "qlogic port 2100001B32A1B2C3_0_1 QLE2562\n",
         Payload("", "image/../../../../../etc/shadow", "QLE2562"),
         kNothing,
         {1, "54", "Error when Create Input Parameter and the installation failed.", ""}},
    };
    const std::map<std::string, std::string> firmware = {
        {"image/a.bin", "firmware a"}, {"image/b.bin", "firmware b"}, {"image/c.bin", "firmware c"}};
    OnHost([&](const CMPIContext *ctx) {
        for (const auto &c : cases) {
            SCOPED_TRACE(c.what);
            ASSERT_NO_FATAL_FAILURE(Request(c.scenario, "tftp://192.0.2.1/fw/pkg.xml", c.name, c.category,
                                            "file://var/tmp/filestore/pkg.zip"));
            const std::string archive = "/var/tmp/filestore/pkg.zip";
            unlink(archive.c_str());
            if (c.payloads.empty()) {
                ASSERT_TRUE(Write(archive, "PK\x03\x04 not an archive"));
            } else {
                std::vector<ziptest::Entry> entries = {
                    {"image/payload.xml", "<updateConfiguration>\r\n" + c.payloads + "</updateConfiguration>\r\n"}};
                for (const auto &f : firmware)
                    entries.push_back({f.first, f.second});
                ASSERT_TRUE(ziptest::MakeZip(archive, entries));
            }
            if (c.before == kStaleFiles) {
                ASSERT_EQ(0, system("mkdir -p " SELK_UNZIP_PATH "image"));
                ASSERT_TRUE(Write(SELK_PAYLOAD_CFG, "<updateConfiguration>\r\n" +
                                                        Payload("", "image/old.bin", "QLE2562") +
                                                        "</updateConfiguration>\r\n"));
                ASSERT_TRUE(Write(SELK_UNZIP_PATH "image/old.bin", "another package's firmware"));
            }
            if (c.before == kLink) {
                ASSERT_EQ(0, system("mkdir -p /var/tmp/elsewhere /var/tmp/Qelvo/Morv && touch /var/tmp/elsewhere/keep && "
                                    "ln -s /var/tmp/elsewhere " SELK_UNZIP_DIR));
            }
            ExpectOutcome(DeployUpdate(0, ctx), c.expected);
            // What the services were given to flash is what the package holds.
            for (auto &r : hostservices::ReadRecords()) {
                if (r["return"] == "0") {
                    EXPECT_EQ(r["md5"], Md5Of(firmware.at(r["file"].substr(strlen(SELK_UNZIP_PATH))))) << r["file"];
                }
            }
            // A package that installed leaves no unpacked files behind.
            if (std::string(c.expected.last) == "Package installation successfully.") {
                EXPECT_NE(0, access(SELK_UNZIP_PATH, F_OK));
            }
            if (c.before == kLink) {
                EXPECT_EQ(0, access("/var/tmp/elsewhere/keep", F_OK));
            }
            util_remove_file(SELK_UNZIP_PATH);
        }
    });
}

// The controller's image: the bank, the answer, and the job followed until it ends.
TEST(ControllerInstaller, BankAnswerAndJob)
{
    const struct {
        const char *what;
        std::string scenario;
        int backup;
        Expected expected;
    } cases[] = {
        {"primary bank, done at once",
         "",
         0,
         {0, "50", "Package installation successfully.", "<-file://var/tmp/filestore/uefi.bin bank 0=4096"}},
        {"backup bank, running twice, this system's own running job left out",
         "controller job \"Process Running\"\ncontroller job \"Process Running\"\ncontroller job \"Process "
         "Completed\"\n",
         1,
         {0, "62 62 50", "Package installation successfully.", "<-file://var/tmp/filestore/uefi.bin bank 1=4096",
          "10 20"}},
        {"0 instead of 4096",
         "controller answer 0\n",
         0,
         {1, "56", "Package installation error message: ", "<-file://var/tmp/filestore/uefi.bin bank 0=0"}},
        {"the service fails",
         "controller answer fail \"flash busy\"\n",
         0,
         {1, "56", "Package installation error message: flash busy",
          "<-file://var/tmp/filestore/uefi.bin bank 0=failed"}},
        {"completed with more words",
         "controller job \"Process Completed with errors\"\n",
         0,
         {1, "57", "The Updates Failed.", "<-file://var/tmp/filestore/uefi.bin bank 0=4096"}},
        {"no JobStatus",
         "controller job -\n",
         0,
         {1, "57", "Package installation error happened.", "<-file://var/tmp/filestore/uefi.bin bank 0=4096"}},
        {"the jobs cannot be enumerated",
         "fail Qelvo_FirmwareUpdateJob \"job store lost\"\n",
         0,
         {1, "57", "Package installation error happened.", "<-file://var/tmp/filestore/uefi.bin bank 0=4096"}},
    };
    OnHost([&](const CMPIContext *ctx) {
        ASSERT_TRUE(Write("/var/tmp/filestore/uefi.bin", "uefi image"));
        for (const auto &c : cases) {
            SCOPED_TRACE(c.what);
            ASSERT_NO_FATAL_FAILURE(Request(c.scenario, "sftp://u:p@192.0.2.1/fw/pkg.xml", "UEFI firmware", "UEFI",
                                            "file://var/tmp/filestore/uefi.bin"));
            g_is_backup_update = c.backup;
            ExpectOutcome(DeployUpdate(0, ctx), c.expected);
            EXPECT_EQ(pkgInstance[0].OrderFlag,
                      std::string(c.expected.codes) == "56" ? ORDER_FETCH_FAILED : ORDER_INITIAL);
        }
    });
}

// Hypervisor updates, requested with ftp:// as the broker passes them on without fetching them.
TEST(HypervisorInstaller, DepotAndJob)
{
    const std::string two_hosts = "hypervisor system esx-lab-0\nhypervisor system esx-lab-1\n";
    const struct {
        const char *what;
        std::string scenario;
        Expected expected;
    } cases[] = {
        {"two service instances, scanning twice, then done",
         two_hosts +
             "hypervisor job \"Scanning URI for installable packages\"\n"
             "hypervisor job \"Scanning URI for installable packages\"\nhypervisor job \"" +
             kReboot + "\"\n",
         {1, "60 60 50", "Package installation successfully.", "esx-lab-1<-ftp://192.0.2.1/depot/metadata.zip=4096",
          "10 20"}},
        {"scan complete, then obsolete",
         "hypervisor job \"Scan of URI Complete and installable packages found. Starting Update.\"\n"
         "hypervisor job \"Updates at supplied URI are obsolete or already installed\"\n",
         {1, "61 59", "The Updates are obsolete or already installed.",
          "esx-lab-1<-ftp://192.0.2.1/depot/metadata.zip=4096", "10"}},
        {"the reboot text without its period",
         "hypervisor job \"" + std::string(kReboot, strlen(kReboot) - 1) + "\"\n",
         {0, "57", "Package installation error happened.", "esx-lab-1<-ftp://192.0.2.1/depot/metadata.zip=4096"}},
        {"not started, while an old job shows success",
         "hypervisor answer 4107\nhypervisor old-job \"" + std::string(kReboot) + "\"\n",
         {0, "56", "Package installation error message: InstallFromURI returned 4107.",
          "esx-lab-1<-ftp://192.0.2.1/depot/metadata.zip=4107"}},
        {"the service fails",
         "hypervisor answer fail \"depot unreachable\"\n",
         {0, "56", "Package installation error message: depot unreachable",
          "esx-lab-1<-ftp://192.0.2.1/depot/metadata.zip=failed"}},
        {"the jobs cannot be enumerated",
         "fail VMware_ConcreteJob \"no jobs\"\n",
         {0, "57", "Package installation error happened.", "esx-lab-1<-ftp://192.0.2.1/depot/metadata.zip=4096"}},
    };
    OnHost([&](const CMPIContext *ctx) {
        for (const auto &c : cases) {
            SCOPED_TRACE(c.what);
            ASSERT_NO_FATAL_FAILURE(Request(c.scenario, "ftp://192.0.2.1/depot/pkg.xml", "", "", ""));
            EXPECT_EQ(GetFileFromLocalOrTFTP(pkgInstance[0].TFTPXMLPkgURIs, 0, ctx), 0);
            ExpectOutcome(DeployUpdate(0, ctx), c.expected);
        }
        // A depot URI that no longer fits the record once metadata.zip is appended is refused.
        ASSERT_NO_FATAL_FAILURE(
            Request("", ("ftp://192.0.2.1/" + std::string(175, 'd') + "/pkg.xml").c_str(), "", "", ""));
        GetFileFromLocalOrTFTP(pkgInstance[0].TFTPXMLPkgURIs, 0, ctx);
        EXPECT_EQ(DeployUpdate(0, ctx), 0);
        EXPECT_STREQ(pkgInstance[0].installResult,
                     "pkg: 56: Package installation error message: The depot URI is too long.");
        EXPECT_EQ(Calls(), "");
    });
}

}  // namespace
