// The installers against the host's installation service stand-ins, loaded as a CIMOM loads
// providers and reached through the broker's up-calls: each adapter vendor's discovery, unpacking
// and payload matching, the controller's bank choice and job, the hypervisor's depot and job. A
// case sets the host up with a scenario file and checks the installer's result, the codes the
// package's entry went through, its last message, what the services were asked and the waits.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "hoststate.h"
#include "nsfixture.h"
#include "pkgbroker.h"
#include "provider_harness.h"
#include "services.h"
#include "unzip_status.h"
#include "zip_maker.h"

namespace {

const char kReboot[] =
    "The update completed successfully, but the system needs to be rebooted for the changes to be effective.";
const char kDone[] = "Package installation successfully.";

std::string Read(const std::string &path)
{
    std::ifstream f(path);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

bool Write(const std::string &path, const std::string &text)
{
    std::ofstream f(path, std::ios::trunc);
    return static_cast<bool>(f << text);
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
        router.On(cmpiharness::Op::EnumInstances, "qelvo/cimv2", "CIM_ConcreteJob", [&](cmpiharness::UpCall &call) {
            cmpiharness::Outcome jobs = services->EnumInstances("qelvo/cimv2", "Qelvo_FirmwareUpdateJob");
            for (const CMPIInstance *job : jobs.instances)
                call.ReturnInstance(job);
            auto own = cmpiharness::Path("qelvo/cimv2", "Qelvo_ConcreteJob", {{"InstanceID", "FileTransfer-1"}});
            call.ReturnInstance(cmpiharness::Instance(own.get(), {{"JobStatus", "Process Running"}}).get());
            return cmpiharness::Status{jobs.rc, jobs.message};
        });
        _broker = router.broker();
        ASSERT_EQ(0, system("mkdir -p /etc/simhost /var/tmp/filestore"));
        CMPIContext *ctx = native_new_CMPIContext();
        body(ctx);
        CMRelease(ctx);
    });
}

// A fresh host and a request of one package "pkg", as the installation run hands it to its installer.
void Request(const std::string &scenario, const char *uri, const char *name, const char *category)
{
    for (const char *f : {hostservices::kJobsPath, hostservices::kInstallsPath})
        unlink(f);
    ASSERT_TRUE(Write(hostservices::kScenarioPath, "host esx-lab-1\n" + scenario));
    initPkgInstall(uri);
    unlink(SELK_DEBUG_LOG);
    snprintf(pkgInstance[0].name, PKG_FIELD_SIZE, "%s", name);
    snprintf(pkgInstance[0].category, PKG_FIELD_SIZE, "%s", category);
}

// What the debug log traced after each `mark`, up to `end`, joined by blanks.
std::string Traced(const std::string &mark, char end)
{
    std::istringstream log(Read(SELK_DEBUG_LOG));
    std::string line, found;
    while (std::getline(log, line)) {
        size_t at = line.find(mark);
        if (at == std::string::npos)
            continue;
        at += mark.size();
        found += (found.empty() ? "" : " ") + line.substr(at, line.find(end, at) - at);
    }
    return found;
}

// What the services were asked: "target<-uri {options} bank N=answer" per call, adapter payloads
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

// What a case expects of its installer.
struct Expected {
    int result;
    const char *codes, *last, *calls;
    const char *waits = "";
};

void ExpectOutcome(int result, const Expected &e)
{
    const std::string codes = e.codes;
    EXPECT_EQ(result, e.result);
    EXPECT_EQ(Traced("] pkg: ", ':'), codes);
    EXPECT_EQ(pkgInstance[0].installResult, "pkg: " + codes.substr(codes.rfind(' ') + 1) + ": " + e.last);
    EXPECT_EQ(Calls(), e.calls);
    EXPECT_EQ(Traced("Update time elapses ", '\n'), e.waits);
}

std::string Payload(const std::string &order, const std::string &file, const std::string &applies)
{
    return "  <payload" + (order.empty() ? "" : " order=\"" + order + "\"") + ">" + file + "</payload>\r\n" +
           "    <applicability type=\"driver\">" + applies + "</applicability>\r\n  </payload>\r\n";
}

TEST(AdapterInstallers, EachVendorAgainstItsService)
{
    enum Before { kNothing, kStaleFiles, kLink };  // what an earlier run left where packages are unpacked
    const char *brcd = "Brocade BR-1860 firmware", *cna = "Emulex OCe14000 firmware", *qlg = "QLogic QLE2562 firmware";
    const char *qlg_port = "qlogic port 2100001B32A1B2C3_0_1 QLE2562\n";
    const struct {
        const char *what, *name, *category;
        std::string scenario, payloads;  // payloads: the payload description; "" for an archive that is none
        Before before;
        Expected expected;
    } cases[] = {
        {"Brocade: every package's port controllers", brcd, "Fibre",
         "brocade package 425 BUK0001\nbrocade package 1860 BUK0002\nbrocade port 10:00:00:05:1e:00:00:02 BUK0002\n"
         "brocade port 10:00:00:05:1e:00:00:01 BUK0001\nbrocade port 10:00:00:05:1e:00:00:09 BUK0009\n",
         Payload("", "image/a.bin", "425") + Payload("", "image/b.bin", "1860"), kNothing,
         {0, "50", kDone, "10:00:00:05:1e:00:00:01<-image/a.bin {5}=0, 10:00:00:05:1e:00:00:02<-image/b.bin {5}=0"}},
        {"Brocade: no port controller carries the serial number", brcd, "Fibre",
         "brocade package 425 BUK0001\nbrocade port 10:00:00:05:1e:00:00:01 BUK0002\n",
         Payload("", "image/a.bin", "425"), kNothing, {4098, "57", "No driver file name that need to be update. ", ""}},
        {"Emulex converged: InstanceID shapes, payloads by order, running before each", cna, "Network",
         "emulex-cna port 0x0720:10000000C9A1B2C3\nemulex-cna port NoColon\nemulex-cna port :10000000C9FFFFFF\n"
         "emulex-cna port 0x0710:10000000C9A1B2C4\n",
         Payload("2", "image/a.bin", "0x0720") + Payload("1", "image/c.bin", "0x0720") +
             Payload("", "image/b.bin", "0x0710"),
         kNothing,
         {0, "62 62 62 50", kDone,
          "10000000C9A1B2C3<-image/c.bin=0, 10000000C9A1B2C3<-image/a.bin=0, 10000000C9A1B2C4<-image/b.bin=0"}},
        {"Emulex converged: a missing file on the first adapter skips the second", cna, "Network",
         "emulex-cna port 0x0720:10000000C9A1B2C3\nemulex-cna port 0x0720:10000000C9A1B2C4\n"
         "emulex-cna answer 4107 device 10000000C9A1B2C3\n",
         Payload("", "image/a.bin", "0x0720"), kNothing,
         {1, "62 55", "The path or file does not exist.", "10000000C9A1B2C3<-image/a.bin=4107"}},
        {"Emulex converged: an archive that is none ends the installer", cna, "Network",
         "emulex-cna port 0x0720:10000000C9A1B2C3\n", "", kNothing,
         {unzipfile::kNoArchive, "57", "Package installation error happened.", ""}},
        {"Emulex Fibre Channel: adapters lacking FieldV2 left out, unsupported target", "Emulex LPe12002 firmware",
         "Fibre", "emulex-fc vpd 10000000C9AAAAAA LPe12002\nemulex-fc vpd 10000000C9BBBBBB -\nemulex-fc answer 4097\n",
         Payload("", "image/a.bin", "LPe12002"), kNothing,
         {1, "58", "Unsupported target type.", "10000000C9AAAAAA<-image/a.bin=4097"}},
        {"QLogic: the adapter's part of the DeviceID, flashed once for its two ports", qlg, "Fibre",
         "qlogic port 2100001B32A1B2C3_0_1 QLE2562\nqlogic port 2100001B32A1B2C3_1_1 QLE2562\n"
         "qlogic port 2100001B32D4E5F6_0_1 -\n",
         Payload("", "image/a.bin", "QLE2562"), kNothing, {0, "50", kDone, "2100001B32A1B2C3<-image/a.bin {5}=0"}},
        {"QLogic: no payload applies to the adapters", qlg, "Fibre", qlg_port, Payload("", "image/a.bin", "QLE2672"),
         kNothing, {0, "50", kDone, ""}},
        {"QLogic: an archive that is none never flashes an earlier package's files", "FC5X21 firmware", "Fibre",
         qlg_port, "", kStaleFiles, {0, "57", "Package installation error happened.", ""}},
        {"QLogic: a link in the unpack directory's place goes, not what it points to", qlg, "Fibre", qlg_port,
         Payload("", "image/b.bin", "QLE2562"), kLink, {0, "50", kDone, "2100001B32A1B2C3<-image/b.bin {5}=0"}},
        {"QLogic: a payload outside the unpack directory", "Qlogic QLE2562 firmware", "Fibre", qlg_port,
         Payload("", "image/../../../../../etc/shadow", "QLE2562"), kNothing,
         {1, "54", "Error when Create Input Parameter and the installation failed.", ""}},
    };
    OnHost([&](const CMPIContext *ctx) {
        for (const auto &c : cases) {
            SCOPED_TRACE(c.what);
            ASSERT_NO_FATAL_FAILURE(Request(c.scenario, "tftp://192.0.2.1/fw/pkg.xml", c.name, c.category));
            snprintf(pkgInstance[0].tmpDestinationPath, PKG_FIELD_SIZE, "file://var/tmp/filestore/pkg.zip");
            const std::string archive = "/var/tmp/filestore/pkg.zip", config = "image/payload.xml";
            unlink(archive.c_str());
            ASSERT_TRUE(c.payloads.empty()
                            ? Write(archive, "PK\x03\x04 not an archive")
                            : ziptest::MakeZip(archive, {{config, "<updateConfiguration>\r\n" + c.payloads},
                                                         {"image/a.bin", "a"}, {"image/b.bin", "b"},
                                                         {"image/c.bin", "c"}}));
            if (c.before == kStaleFiles) {
                ASSERT_EQ(0, system("mkdir -p " SELK_UNZIP_PATH "image && touch " SELK_UNZIP_PATH "image/old.bin"));
                ASSERT_TRUE(Write(SELK_UNZIP_PATH + config, Payload("", "image/old.bin", "QLE2562")));
            } else if (c.before == kLink) {
                ASSERT_EQ(0, system("mkdir -p /var/tmp/elsewhere /var/tmp/Qelvo/Morv && touch /var/tmp/elsewhere/keep "
                                    "&& ln -s /var/tmp/elsewhere " SELK_UNZIP_DIR));
            }
            ExpectOutcome(DeployUpdate(0, ctx), c.expected);
            // An installed package leaves nothing unpacked behind, and nothing outside is removed.
            if (strcmp(c.expected.last, kDone) == 0) {
                EXPECT_NE(0, access(SELK_UNZIP_DIR, F_OK));
            }
            EXPECT_EQ(access("/var/tmp/elsewhere/keep", F_OK) == 0, c.before == kLink);
            util_remove_file(SELK_UNZIP_DIR);
            unlink("/var/tmp/elsewhere/keep");
        }
    });
}

TEST(ControllerInstaller, BankAnswerAndJob)
{
    const char *call = "<-file://var/tmp/filestore/uefi.bin bank 0=4096";
    const struct {
        const char *what;
        std::string scenario;
        int backup;
        Expected expected;
    } cases[] = {
        {"primary bank, done at once", "", 0, {0, "50", kDone, call}},
        {"backup bank, running twice, this system's own running job left out",
         "controller job \"Process Running\"\ncontroller job \"Process Running\"\n"
         "controller job \"Process Completed\"\n",
         1, {0, "62 62 50", kDone, "<-file://var/tmp/filestore/uefi.bin bank 1=4096", "10 20"}},
        {"0 instead of 4096", "controller answer 0\n", 0,
         {1, "56", "Package installation error message: ", "<-file://var/tmp/filestore/uefi.bin bank 0=0"}},
        {"completed with more words", "controller job \"Process Completed with errors\"\n", 0,
         {1, "57", "The Updates Failed.", call}},
        {"its own job without JobStatus, an older one completed",
         "controller old-job \"Process Completed\"\ncontroller job -\n", 0,
         {1, "57", "Package installation error happened.", call}},
        {"the jobs cannot be enumerated", "fail Qelvo_FirmwareUpdateJob \"job store lost\"\n", 0,
         {1, "57", "Package installation error happened.", call}},
    };
    OnHost([&](const CMPIContext *ctx) {
        ASSERT_TRUE(Write("/var/tmp/filestore/uefi.bin", "uefi image"));
        for (const auto &c : cases) {
            SCOPED_TRACE(c.what);
            ASSERT_NO_FATAL_FAILURE(Request(c.scenario, "sftp://u:p@192.0.2.1/fw/pkg.xml", "UEFI firmware", "UEFI"));
            snprintf(pkgInstance[0].tmpDestinationPath, PKG_FIELD_SIZE, "file://var/tmp/filestore/uefi.bin");
            g_is_backup_update = c.backup;
            ExpectOutcome(DeployUpdate(0, ctx), c.expected);
        }
    });
}

// Hypervisor updates, requested with ftp:// as the broker passes them on without fetching them.
TEST(HypervisorInstaller, DepotAndJob)
{
    const char *call = "esx-lab-1<-ftp://192.0.2.1/depot/metadata.zip=4096";
    const std::string scanning = "hypervisor job \"Scanning URI for installable packages\"\n";
    const struct {
        const char *what;
        std::string scenario;
        Expected expected;
    } cases[] = {
        {"two service instances, scanning twice, then done",
         "hypervisor system esx-lab-0\nhypervisor system esx-lab-1\n" + scanning + scanning + "hypervisor job \"" +
             kReboot + "\"\n",
         {1, "60 60 50", kDone, call, "10 20"}},
        {"scan complete, then obsolete",
         "hypervisor job \"Scan of URI Complete and installable packages found. Starting Update.\"\n"
         "hypervisor job \"Updates at supplied URI are obsolete or already installed\"\n",
         {1, "61 59", "The Updates are obsolete or already installed.", call, "10"}},
        {"the reboot text without its period", "hypervisor job \"" + std::string(kReboot, strlen(kReboot) - 1) + "\"\n",
         {0, "57", "Package installation error happened.", call}},
        {"not started, while an old job shows success",
         "hypervisor answer 4107\nhypervisor old-job \"" + std::string(kReboot) + "\"\n",
         {0, "56", "Package installation error message: InstallFromURI returned 4107.",
          "esx-lab-1<-ftp://192.0.2.1/depot/metadata.zip=4107"}},
        {"the jobs cannot be enumerated", "fail VMware_ConcreteJob \"no jobs\"\n",
         {0, "57", "Package installation error happened.", call}},
        {"a depot URI that metadata.zip would make too long", "",
         {0, "56", "Package installation error message: The depot URI is too long.", ""}},
    };
    OnHost([&](const CMPIContext *ctx) {
        for (const auto &c : cases) {
            SCOPED_TRACE(c.what);
            const bool long_uri = &c == &cases[sizeof cases / sizeof cases[0] - 1];
            const std::string uri = "ftp://192.0.2.1/" + std::string(long_uri ? 170 : 0, 'd') + "depot/pkg.xml";
            ASSERT_NO_FATAL_FAILURE(Request(c.scenario, uri.c_str(), "", ""));
            EXPECT_EQ(GetFileFromLocalOrTFTP(pkgInstance[0].TFTPXMLPkgURIs, 0, ctx), 0);
            ExpectOutcome(DeployUpdate(0, ctx), c.expected);
        }
    });
}

}  // namespace
