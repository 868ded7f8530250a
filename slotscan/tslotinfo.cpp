#include "tslotinfo.h"

#include <cmpimacs.h>

#include <cstdlib>
#include <cstring>

#include "inventory.h"
#include "providerutils.h"
#include "slotscan_log.h"

namespace {

// OperationalStatus from the SMBIOS current usage.
CMPIUint16 OperationalStatusOf(uint16_t usage)
{
    switch (usage) {
    case 1:  // other
        return 1;
    case 3:  // available
    case 4:  // in use
        return 2;
    default:  // unknown, or no defined value
        return 0;
    }
}

std::vector<CMPIUint16> VoltagesOf(uint8_t characteristics1)
{
    if ((characteristics1 & 0x06) == 0)
        return {0};
    std::vector<CMPIUint16> v;
    if (characteristics1 & 0x02)  // 5.0 V
        v.push_back(3);
    if (characteristics1 & 0x04)  // 3.3 V
        v.push_back(2);
    return v;
}

// A decimal number that makes up the whole of s (no sign, no blanks); -1 otherwise.
long WholeNumber(const char *s)
{
    if (s == nullptr || *s < '0' || *s > '9')
        return -1;
    char *end = nullptr;
    const long v = std::strtol(s, &end, 10);
    return *end == '\0' && v >= 0 && v <= 0xFFFF ? v : -1;
}

}  // namespace

TSlotInfo::TSlotInfo(Smbios *smbios_ptr) : tagCounter(1), smbios(smbios_ptr) {}

std::string TSlotInfo::getTag(int n) { return "Tag " + std::to_string(n); }

void TSlotInfo::GetCIMInstances(const CMPIBroker *broker, const CMPIResult *result, const char *, bool namesOnly)
{
    slog("GetCIMInstances in the routine");
    GetSlotInfo(broker, result, namesOnly);
    slog("GetCIMInstances returning");
}

void TSlotInfo::GetSlotInfo(const CMPIBroker *broker, const CMPIResult *result, bool namesOnly)
{
    slog("TSlotInfo::GetSlotInfo in the routine");
    const size_t count = smbios != nullptr ? smbios->table9.size() : 0;
    slog("TSlotInfo::GetSlotInfo table9 size:%d", static_cast<int>(count));
    for (size_t i = 0; i < count; ++i)
        DumpSlotInfo(smbios->table9[i], result, broker, namesOnly);
    slog("TSLOTINFO returning ");
}

CMPIObjectPath *TSlotInfo::getObjectPath(const CMPIBroker *broker, const char *ns, const char *className, int tag)
{
    CMPICIMInst cim;
    CMPIObjectPath *op = cim.createObjectPath(broker, ns != nullptr ? ns : "", className != nullptr ? className : "");
    if (op == nullptr)
        return nullptr;
    std::string host;
    cim.getHostName(host);
    if (cim.setKeyProperty(op, "SystemCreationClassName", std::string(kSystemCreationClassName)).rc != CMPI_RC_OK ||
        cim.setKeyProperty(op, "SystemName", host).rc != CMPI_RC_OK ||
        cim.setKeyProperty(op, "CreationClassName", std::string(className)).rc != CMPI_RC_OK ||
        cim.setKeyProperty(op, "Tag", getTag(tag)).rc != CMPI_RC_OK)
        return nullptr;
    return op;
}

CMPIInstance *TSlotInfo::MakeInstance(const CMPIBroker *broker, const tableType9 &slot, int tag)
{
    CMPIObjectPath *op = getObjectPath(broker, kInventoryNamespace, CLASS_SYSTEM_SLOT, tag);
    if (op == nullptr)
        return nullptr;
    CMPICIMInst cim;
    CMPIInstance *inst = cim.createCIMInstance(broker, op);
    if (inst == nullptr)
        return nullptr;
    const std::string tag_text = getTag(tag);
    bool ok = cim.setProperty(inst, "Number", static_cast<CMPIUint16>(slot.slotID)).rc == CMPI_RC_OK;
    ok = ok && cim.setProperty(inst, "CreationClassName", std::string(CLASS_SYSTEM_SLOT)).rc == CMPI_RC_OK;
    ok = ok && cim.setProperty(inst, "Tag", tag_text).rc == CMPI_RC_OK;
    ok = ok && cim.setProperty(inst, "Description", std::string("System Slot")).rc == CMPI_RC_OK;
    ok = ok && cim.setProperty(inst, "CurrentUsage", static_cast<CMPIUint16>(slot.currentUsage)).rc == CMPI_RC_OK;
    ok = ok && cim.setProperty(inst, "SlotLength", static_cast<CMPIUint8>(slot.slotLength)).rc == CMPI_RC_OK;
    ok = ok && cim.setProperty(broker, inst, "OperationalStatus",
                               std::vector<CMPIUint16>{OperationalStatusOf(slot.currentUsage)}).rc == CMPI_RC_OK;
    ok = ok && cim.setProperty(broker, inst, "ConnectorType", std::vector<CMPIUint16>{slot.slotType}).rc == CMPI_RC_OK;
    ok = ok && cim.setProperty(inst, "MaxDataWidth", static_cast<CMPIUint16>(slot.dataBusWidth)).rc == CMPI_RC_OK;
    ok = ok && cim.setBoolProperty(inst, "PMESignal", (slot.characteristics2 & 0x01) != 0).rc == CMPI_RC_OK;
    ok = ok && cim.setBoolProperty(inst, "Shared", (slot.characteristics1 & 0x08) != 0).rc == CMPI_RC_OK;
    ok = ok && cim.setProperty(inst, "SlotDesignation", slot.designation).rc == CMPI_RC_OK;
    ok = ok && cim.setProperty(inst, "SlotAllInfo", slot.designation + ", " + tag_text).rc == CMPI_RC_OK;
    ok = ok && cim.setBoolProperty(inst, "SupportsHotPlug", (slot.characteristics2 & 0x02) != 0).rc == CMPI_RC_OK;
    ok = ok && cim.setProperty(broker, inst, "VccMixedVoltageSupport", VoltagesOf(slot.characteristics1)).rc ==
                   CMPI_RC_OK;
    return ok ? inst : nullptr;
}

void TSlotInfo::DumpSlotInfo(const tableType9 &slot, const CMPIResult *result, const CMPIBroker *broker,
                             bool namesOnly)
{
    slog("DumpSlotInfo in the routine");
    const int tag = tagCounter++;
    CMPICIMInst cim;
    if (namesOnly) {
        CMPIObjectPath *op = getObjectPath(broker, kInventoryNamespace, CLASS_SYSTEM_SLOT, tag);
        if (op == nullptr)
            return;
        slog("DumpSlotInfo got object path");
        cim.returnObjectPath(result, op);
        return;
    }
    CMPIInstance *inst = MakeInstance(broker, slot, tag);
    if (inst != nullptr)
        cim.returnInstance(result, inst);
}

int TSlotInfo::GetMaxSystemSlot()
{
    slog("TSlotInfo::GetMaxSystemSlot() - in the routine");
    if (smbios == nullptr)
        return 0;
    slog("TSlotInfo::GetMaxSystemSlot() - smbios ptr valid");
    int max = 0;
    for (const tableType9 &s : smbios->table9)
        max = s.slotID > max ? s.slotID : max;
    return max;
}

int TSlotInfo::SlotIndexOfPath(const CMPIObjectPath *op, const Smbios *smbios)
{
    if (op == nullptr || smbios == nullptr)
        return -1;
    CMPIStatus rc = {CMPI_RC_OK, nullptr};
    const CMPIData key = CMGetKey(op, "Tag", &rc);
    if (rc.rc != CMPI_RC_OK || (key.state & CMPI_nullValue) != 0 || key.type != CMPI_string ||
        key.value.string == nullptr)
        return -1;
    const char *tag = CMGetCharsPtr(key.value.string, nullptr);
    if (tag == nullptr)
        return -1;
    const size_t count = smbios->table9.size();
    if (std::strncmp(tag, "Tag ", 4) == 0) {
        const long n = WholeNumber(tag + 4);
        return n >= 1 && static_cast<size_t>(n) <= count ? static_cast<int>(n - 1) : -1;
    }
    if (std::strncmp(tag, "System Slot ", 12) == 0) {
        const long number = WholeNumber(tag + 12);
        for (size_t i = 0; number >= 0 && i < count; ++i) {
            if (smbios->table9[i].slotID == number)
                return static_cast<int>(i);
        }
    }
    return -1;
}
