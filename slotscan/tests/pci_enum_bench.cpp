// How long one enumeration of QelvoSG_PCIDevice takes through the provider, with the host's name
// tables generated from this machine's PCI ID database (about 1.5 MB of pci.xml) over a recorded
// server's PCI tree: the median and the spread of 25 enumerations after a first one.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "ipmi_testing.h"
#include "nsfixture.h"
#include "pci_name_tables.h"
#include "provider_harness.h"
#include "test_support.h"

namespace {

TEST(PciEnumerationBench, MedianOfOneEnumeration)
{
    const char kIds[] = "/usr/share/misc/pci.ids";
    if (access(kIds, R_OK) != 0)
        GTEST_SKIP() << "no " << kIds;
    nsfixture::Options o;
    o.lib_cim = QELVO_PROVIDER_DIR;
    nsfixture::Run(
        [&] {
            // No controller: the provider's table fetch fails at once and every function is
            // on the board; the scan and the name tables are what is measured.
            ASSERT_NO_FATAL_FAILURE(ipmitest::MountPrivateDev());
            slotscantest::InstallPciTree("server-a");
            std::string error;
            ASSERT_TRUE(pciids::WriteTables(kIds, "/etc/vmware", nullptr, &error)) << error;
            auto p = cmpiharness::Provider::Load("/lib/cim/libslotscan.so", "PCIInfoProvider", nullptr, &error);
            ASSERT_TRUE(p) << error;

            const cmpiharness::Outcome first = p->EnumInstances("root/qelvosd", "QelvoSG_PCIDevice");
            ASSERT_TRUE(first.ok()) << first.Describe();
            ASSERT_FALSE(first.instances.empty());
            std::vector<double> ms;
            for (int i = 0; i < 25; ++i) {
                const auto t0 = std::chrono::steady_clock::now();
                const cmpiharness::Outcome out = p->EnumInstances("root/qelvosd", "QelvoSG_PCIDevice");
                ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
                ASSERT_EQ(first.instances.size(), out.instances.size());
            }
            std::sort(ms.begin(), ms.end());
            std::printf("QelvoSG_PCIDevice enumeration (%zu instances): p50 %.2f ms, min %.2f ms, max %.2f ms "
                        "over %zu runs\n",
                        first.instances.size(), ms[ms.size() / 2], ms.front(), ms.back(), ms.size());
        },
        o);
}

}  // namespace
