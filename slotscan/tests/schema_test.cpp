// The classes the CIMOM reads from mof/ agree with the objects the provider makes: every
// served class is declared and registered, paths carry exactly the declared keys, and every
// property set is declared with the type it is set with.
#include <gtest/gtest.h>
#include <strings.h>

#include <algorithm>

#include <cimxml/base.h>

#include "ipmi_testing.h"
#include "nsfixture.h"
#include "provider_harness.h"
#include "repository.h"
#include "sim_process.h"
#include "test_support.h"

namespace {

const char kNs[] = "root/qelvosd";
const char *const kClasses[] = {"QelvoSG_PCIDevice",       "QelvoSG_PCIBridge",       "QelvoSG_SystemSlot",
                                "QelvoSG_SystemBoard",     "QelvoSG_DeviceInSlot",    "QelvoSG_OnBoardDevice",
                                "QelvoSG_SSPCIController", "QelvoSG_OBDPCIController"};

std::unique_ptr<cimhost::Repository> Schema(std::vector<std::string> *warnings)
{
    cimhost::RepositoryBuilder b;
    b.add_schema_dir(QELVO_MOF_DIR);
    auto repo = b.build();
    for (const std::string &w : b.warnings()) {
        if (w.find("QelvoSG_PCIInventory") != std::string::npos || w.find("CIM_Inventory") != std::string::npos ||
            w.find("QelvoSG_") != std::string::npos)
            warnings->push_back(w);
    }
    return repo;
}

std::vector<std::string> Lower(std::vector<std::string> v)
{
    for (std::string &s : v)
        for (char &c : s)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::sort(v.begin(), v.end());
    return v;
}

std::vector<std::string> KeyNames(const CMPIObjectPath *op)
{
    std::vector<std::string> names;
    const CMPICount n = CMGetKeyCount(op, nullptr);
    for (CMPICount i = 0; i < n; ++i) {
        CMPIString *name = nullptr;
        CMGetKeyAt(op, i, &name, nullptr);
        names.push_back(CMGetCharsPtr(name, nullptr));
    }
    return names;
}

TEST(PciInventorySchema, DeclaredAndRegistered)
{
    std::vector<std::string> warnings;
    auto repo = Schema(&warnings);
    EXPECT_TRUE(warnings.empty()) << warnings.front();
    for (const char *cls : kClasses) {
        const cimxml::ClassDecl *decl = repo->get_class(kNs, cls);
        ASSERT_NE(nullptr, decl) << cls;
        const cimhost::Registration *reg = repo->provider_for(kNs, cls, cimhost::kInstanceProvider);
        ASSERT_NE(nullptr, reg) << cls;
        EXPECT_EQ("PCIInfoProvider", reg->provider);
        EXPECT_EQ("slotscan", reg->location);
        const bool assoc = strcasecmp(cls, "QelvoSG_DeviceInSlot") == 0 || strcasecmp(cls, "QelvoSG_OnBoardDevice") == 0;
        EXPECT_EQ(assoc, decl->is_association()) << cls;
        EXPECT_EQ(assoc, repo->provider_for(kNs, cls, cimhost::kAssociationProvider) != nullptr) << cls;
    }
    // The association classes can refer to every kind of object the provider puts at their ends.
    for (const char *fn : {"QelvoSG_PCIDevice", "QelvoSG_PCIBridge", "QelvoSG_SSPCIController",
                           "QelvoSG_OBDPCIController"})
        EXPECT_TRUE(repo->is_a(kNs, fn, "CIM_LogicalDevice")) << fn;
}

TEST(PciInventorySchema, ObjectsMatchTheirClasses)
{
    std::vector<std::string> warnings;
    auto repo = Schema(&warnings);
    nsfixture::Options o;
    o.lib_cim = QELVO_PROVIDER_DIR;
    nsfixture::Run(
        [&] {
            ASSERT_NO_FATAL_FAILURE(ipmitest::MountPrivateDev());
            slotscantest::InstallPciTree("server-a");
            tavikt::SimProcess bmc({"--file", "smbios-table=" + slotscantest::RecordedTable("smbios-2.7.bin")});
            ASSERT_TRUE(bmc.ok());
            cmpiharness::Router router;
            std::string err;
            auto p = cmpiharness::Provider::Load("/lib/cim/libslotscan.so", "PCIInfoProvider", &router, &err);
            ASSERT_TRUE(p) << err;
            for (const char *cls : kClasses)
                router.Route(kNs, cls, p.get());

            for (const char *cls : kClasses) {
                const cmpiharness::Outcome out = p->EnumInstances(kNs, cls);
                ASSERT_FALSE(out.instances.empty()) << cls << ": " << out.Describe();
                for (const CMPIInstance *inst : out.instances) {
                    const cmpiharness::PathPtr path = cmpiharness::PathOf(inst);
                    const std::string own = cmpiharness::ClassName(path.get());
                    const cimxml::ClassDecl *decl = repo->get_class(kNs, own);
                    ASSERT_NE(nullptr, decl) << own;
                    EXPECT_EQ(Lower(decl->key_names()), Lower(KeyNames(path.get()))) << own;
                    const CMPICount n = CMGetPropertyCount(inst, nullptr);
                    for (CMPICount i = 0; i < n; ++i) {
                        CMPIString *name = nullptr;
                        const CMPIData d = CMGetPropertyAt(inst, i, &name, nullptr);
                        const std::string prop = CMGetCharsPtr(name, nullptr);
                        const cimxml::PropertyDecl *pd = decl->property(prop);
                        ASSERT_NE(nullptr, pd) << own << "." << prop << " is not declared";
                        cimxml::CimType type;
                        bool array = false;
                        ASSERT_TRUE(cimxml::from_cmpi(d.type, &type, &array)) << own << "." << prop;
                        EXPECT_EQ(pd->type, type) << own << "." << prop;
                        EXPECT_EQ(pd->is_array, array) << own << "." << prop;
                    }
                }
            }
        },
        o);
}

}  // namespace
