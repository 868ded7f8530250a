// Slot and board objects and the CMPI instance helper, over the native broker.
#include <gtest/gtest.h>
#include <unistd.h>

#include <optional>

#include "cmpi_native.h"
#include "provider_harness.h"
#include "providerutils.h"
#include "smbios_gen.h"
#include "test_support.h"
#include "tslotinfo.h"
#include "tsysbrd.h"

using cmpiharness::ElementTexts;
using cmpiharness::PropertyOf;
using cmpiharness::PropertyText;
using slotscantest::ImageSource;

namespace {

// A broker, a result and a request scope, as a CIMOM gives a provider.
class Objects : public ::testing::Test {
protected:
    void TearDown() override
    {
        scope_.reset();
        CMRelease(result_);
        cmpinative::delete_broker(broker_);
    }
    const std::vector<CMPIInstance *> &Instances() { return cmpinative::result_contents(result_).instances; }

    cmpinative::Router router_;
    CMPIBroker *broker_ = cmpinative::new_broker(&router_);
    CMPIResult *result_ = cmpinative::new_result();
    std::optional<cmpinative::RequestScope> scope_{std::in_place};
};

// A table of type 9 structures (ID, usage, characteristics 1 and 2), with a board or without.
std::vector<unsigned char> SlotTable(const std::vector<std::array<int, 4>> &slots, bool board = true)
{
    smbiosgen::TableBuilder t;
    if (board)
        t.Add(2, {1, 2, 3, 4}, {"Qelvo", "VNL24-MB", "Rev B2", "QVB000427"});
    for (size_t i = 0; i < slots.size(); ++i) {
        const auto &s = slots[i];
        t.Add(9, {1, 0xa5, 0x0b, uint8_t(s[1]), 4, uint8_t(s[0]), uint8_t(s[0] >> 8), uint8_t(s[2]), uint8_t(s[3])},
              {"PCI" + std::to_string(i + 1)});
    }
    t.Add(127, {}, {});
    const auto image = t.Image(2, 6);
    return std::vector<unsigned char>(image.begin(), image.end());
}

TEST_F(Objects, SlotPropertiesAndTags)
{
    Smbios smbios(ImageSource(SlotTable({{1, 4, 0x06, 0x03}, {2, 7, 0x08, 0x00}, {0x102, 1, 0x02, 0x02},
                                         {4, 2, 0x04, 0}, {5, 3, 0, 0}})));
    TSlotInfo(&smbios).GetCIMInstances(broker_, result_, "QelvoSG_SystemSlot", false);
    ASSERT_EQ(5u, Instances().size());
    const CMPIInstance *a = Instances()[0];
    EXPECT_EQ("Tag 1", PropertyText(a, "Tag"));
    EXPECT_EQ("PCI1, Tag 1", PropertyText(a, "SlotAllInfo"));
    EXPECT_EQ("System Slot", PropertyText(a, "Description"));
    EXPECT_EQ("QelvoSG_ASSETID", PropertyText(a, "SystemCreationClassName"));
    EXPECT_EQ("11", PropertyText(a, "MaxDataWidth"));
    EXPECT_EQ((std::vector<std::string>{"165"}), ElementTexts(PropertyOf(a, "ConnectorType")));
    EXPECT_EQ("true", PropertyText(a, "PMESignal"));
    EXPECT_EQ("true", PropertyText(a, "SupportsHotPlug"));
    EXPECT_EQ("false", PropertyText(a, "Shared"));
    EXPECT_EQ("true", PropertyText(Instances()[1], "Shared"));
    EXPECT_EQ("258", PropertyText(Instances()[2], "Number"));
    EXPECT_EQ("PCI3, Tag 3", PropertyText(Instances()[2], "SlotAllInfo"));

    // OperationalStatus by current usage, VccMixedVoltageSupport by characteristics 1.
    const char *status[] = {"2", "0", "1", "0", "2"};
    const std::vector<std::string> volts[] = {{"3", "2"}, {"0"}, {"3"}, {"2"}, {"0"}};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(std::vector<std::string>{status[i]}, ElementTexts(PropertyOf(Instances()[i], "OperationalStatus")))
            << "slot " << i + 1;
        EXPECT_EQ(volts[i], ElementTexts(PropertyOf(Instances()[i], "VccMixedVoltageSupport"))) << "slot " << i + 1;
    }
    EXPECT_EQ(258, TSlotInfo(&smbios).GetMaxSystemSlot());
}

TEST_F(Objects, BoardWithAndWithoutABaseboardRecord)
{
    Smbios with(ImageSource(SlotTable({})));
    CMPIInstance *b = TSysBrd(&with).PopulateSysbrdProperties(broker_, "QelvoSG_SystemBoard");
    ASSERT_NE(nullptr, b);
    EXPECT_EQ("Rev B2", PropertyText(b, "Version"));
    EXPECT_EQ("QVB000427", PropertyText(b, "SerialNumber"));
    EXPECT_EQ("VNL24-MB", PropertyText(b, "Caption"));
    EXPECT_EQ("Onboard", PropertyText(b, "SlotAllInfo"));
    EXPECT_EQ("SystemBoard1", PropertyText(b, "ElementName"));
    EXPECT_FALSE(cmpiharness::HasProperty(b, "Manufacturer"));

    Smbios without(ImageSource(SlotTable({{1, 4, 0, 0}}, false)));
    b = TSysBrd(&without).PopulateSysbrdProperties(broker_, "QelvoSG_SystemBoard");
    ASSERT_NE(nullptr, b);
    for (const char *p : {"Version", "SerialNumber", "Caption", "Name"})
        EXPECT_EQ("Not Available", PropertyText(b, p)) << p;
    EXPECT_EQ(nullptr, TSysBrd(&without).PopulateSysbrdProperties(broker_, ""));
}

TEST_F(Objects, InstanceHelperSetsNothingForEmptyValuesAndReportsFailures)
{
    CMPICIMInst cim;
    EXPECT_EQ(nullptr, cim.createObjectPath(broker_, "root/qelvosd", ""));
    CMPIInstance *inst = cim.createCIMInstance(broker_, cim.createObjectPath(broker_, "root/qelvosd", "X"));
    ASSERT_NE(nullptr, inst);
    EXPECT_EQ(CMPI_RC_OK, cim.setProperty(inst, "Description", std::string()).rc);
    EXPECT_EQ(CMPI_RC_OK, cim.setProperty(broker_, inst, "MEMAddress", std::vector<CMPIUint32>{}).rc);
    EXPECT_FALSE(cmpiharness::HasProperty(inst, "Description"));
    EXPECT_FALSE(cmpiharness::HasProperty(inst, "MEMAddress"));
    EXPECT_EQ(CMPI_RC_ERR_INVALID_PARAMETER, cim.setProperty(nullptr, "Description", std::string("x")).rc);
    EXPECT_EQ(CMPI_RC_ERR_INVALID_PARAMETER, cim.setProperty(inst, "", CMPIUint16{3}).rc);

    EXPECT_EQ(CMPI_RC_OK, cim.setProperty(broker_, inst, "MEMAddress", std::vector<CMPIUint32>{7, 0xfb000000u}).rc);
    EXPECT_EQ((std::vector<std::string>{"7", "4211081216"}), ElementTexts(PropertyOf(inst, "MEMAddress")));
    CMPIUint8 ui = 9;
    cim.getPropertyVal(inst, "UINumber", ui);
    EXPECT_EQ(0, ui);  // a missing property reads as 0
    cim.setProperty(inst, "Number", CMPIUint16{12});
    cim.getPropertyVal(inst, "Number", ui);
    EXPECT_EQ(0, ui);  // a property of another type is not read as this one
}

}  // namespace
