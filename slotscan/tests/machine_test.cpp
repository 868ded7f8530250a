// The scan against what lspci shows: the name tables generated from this machine's PCI ID
// database, over this machine's own /proc/bus/pci.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <sstream>

#include "nsfixture.h"
#include "pci_name_tables.h"
#include "pcidevinfo.h"
#include "test_support.h"

namespace {

const char kIds[] = "/usr/share/misc/pci.ids";

struct Listed {
    unsigned classcode = 0, vendor = 0, device = 0, revision = 0;
    std::string class_name, vendor_name, device_name;
};

// "Name [code]" -> name, code.
bool SplitNamed(const std::string &s, std::string *name, unsigned *code)
{
    const size_t open = s.rfind(" [");
    if (open == std::string::npos || s.back() != ']')
        return false;
    *name = s.substr(0, open);
    *code = static_cast<unsigned>(std::stoul(s.substr(open + 2, s.size() - open - 3), nullptr, 16));
    return true;
}

// lspci -mm -nn, by "bus:device.function"; empty when lspci cannot be run.
std::map<std::string, Listed> Lspci()
{
    std::map<std::string, Listed> out;
    FILE *f = popen("lspci -mm -nn 2>/dev/null", "r");
    if (f == nullptr)
        return out;
    char line[1024];
    while (std::fgets(line, sizeof line, f) != nullptr) {
        std::string s(line);
        const std::string slot = s.substr(0, s.find(' '));
        std::vector<std::string> quoted;
        std::string revision;
        for (size_t i = slot.size(); i < s.size();) {
            if (s[i] == '"') {
                const size_t end = s.find('"', i + 1);
                quoted.push_back(s.substr(i + 1, end - i - 1));
                i = end + 1;
            } else if (s.compare(i, 2, "-r") == 0) {
                revision = s.substr(i + 2, 2);
                i += 4;
            } else {
                ++i;
            }
        }
        Listed l;
        if (quoted.size() < 3 || !SplitNamed(quoted[0], &l.class_name, &l.classcode) ||
            !SplitNamed(quoted[1], &l.vendor_name, &l.vendor) || !SplitNamed(quoted[2], &l.device_name, &l.device))
            continue;
        l.revision = revision.empty() ? 0 : static_cast<unsigned>(std::stoul(revision, nullptr, 16));
        out[slot] = l;
    }
    pclose(f);
    return out;
}

std::string Slot(const sPciDevices &d)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02x:%02x.%x", d.bus, d.device, d.function);
    return buf;
}

TEST(PciScanOnThisMachine, AgreesWithLspci)
{
    nsfixture::Run([] {
        std::string error;
        if (access(kIds, R_OK) != 0)
            GTEST_SKIP() << "no " << kIds;
        ASSERT_TRUE(pciids::WriteTables(kIds, "/etc/vmware", nullptr, &error)) << error;
        const std::map<std::string, Listed> listed = Lspci();
        if (listed.empty())
            GTEST_SKIP() << "lspci lists nothing here";
        Smbios smbios(slotscantest::FailingSource());
        TPciDevInfo scan(nullptr, &smbios);

        std::map<std::string, const sPciDevices *> scanned;
        for (const auto *list : {&scan.deviceList, &scan.bridgeList}) {
            for (const sPciDevices &d : *list)
                scanned[Slot(d)] = &d;
        }
        for (const auto &l : listed) {
            if (l.first.find(':') != l.first.rfind(':'))
                continue;  // another PCI domain: not in the kernel's devices list
            const bool skipped = l.second.vendor == 0 || l.first.compare(0, 3, "fe:") == 0;
            auto it = scanned.find(l.first);
            ASSERT_EQ(!skipped, it != scanned.end()) << l.first;
            if (skipped)
                continue;
            const sPciDevices &d = *it->second;
            SCOPED_TRACE(l.first);
            EXPECT_EQ(l.second.vendor, d.vendorID);
            EXPECT_EQ(l.second.device, d.deviceID);
            EXPECT_EQ(l.second.classcode >> 8, d.classCode);
            EXPECT_EQ(l.second.classcode & 0xff, d.subclass);
            EXPECT_EQ(l.second.revision, d.revision);
            EXPECT_EQ(l.second.vendor_name, d.vendorName);
            if (l.second.device_name == "Device")  // lspci's word for a device the database lacks
                EXPECT_EQ("descrip", d.deviceName);
            else
                EXPECT_EQ(l.second.device_name, d.deviceName);
            EXPECT_EQ(l.second.class_name, d.classDescription);
            scanned.erase(it);
        }
        for (const auto &rest : scanned)
            ADD_FAILURE() << rest.first << " is scanned but not listed by lspci";
    });
}

}  // namespace
