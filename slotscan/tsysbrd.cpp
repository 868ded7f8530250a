#include "tsysbrd.h"

#include <cmpimacs.h>
#include <strings.h>

#include "inventory.h"
#include "providerutils.h"
#include "slotscan_log.h"

TSysBrd::TSysBrd(Smbios *smbios_ptr) : smbios(smbios_ptr) {}

std::string TSysBrd::getDeviceID() { return kSystemBoardDeviceID; }

std::string TSysBrd::getSystemName()
{
    std::string host;
    CMPICIMInst().getHostName(host);
    return host;
}

std::string TSysBrd::getSystemCreationClassName() { return kSystemCreationClassName; }

CMPIObjectPath *TSysBrd::getObjectPath(const CMPIBroker *broker, const char *ns, const char *className,
                                       const char *deviceID)
{
    CMPICIMInst cim;
    const std::string cls = className != nullptr ? className : "";
    CMPIObjectPath *op = cim.createObjectPath(broker, ns != nullptr ? ns : "", cls);
    if (op == nullptr)
        return nullptr;
    if (cim.setKeyProperty(op, "SystemCreationClassName", getSystemCreationClassName()).rc != CMPI_RC_OK ||
        cim.setKeyProperty(op, "SystemName", getSystemName()).rc != CMPI_RC_OK ||
        cim.setKeyProperty(op, "CreationClassName", cls).rc != CMPI_RC_OK ||
        cim.setKeyProperty(op, "DeviceID", deviceID != nullptr ? std::string(deviceID) : getDeviceID()).rc !=
            CMPI_RC_OK)
        return nullptr;
    return op;
}

CMPIObjectPath *TSysBrd::getObjectPath(const CMPIBroker *broker, const char *ns, const char *className,
                                       const CMPIObjectPath *antecedent, const CMPIObjectPath *dependent)
{
    if (antecedent == nullptr || dependent == nullptr)
        return nullptr;
    CMPICIMInst cim;
    CMPIObjectPath *op = cim.createObjectPath(broker, ns != nullptr ? ns : "", className != nullptr ? className : "");
    if (op == nullptr || cim.setKeyProperty(op, "Antecedent", antecedent).rc != CMPI_RC_OK ||
        cim.setKeyProperty(op, "Dependent", dependent).rc != CMPI_RC_OK)
        return nullptr;
    return op;
}

CMPIInstance *TSysBrd::PopulateSysbrdProperties(const CMPIBroker *broker, const char *className)
{
    if (className == nullptr || *className == '\0')
        return nullptr;
    CMPICIMInst cim;
    CMPIObjectPath *op = getObjectPath(broker, kInventoryNamespace, className);
    CMPIInstance *inst = cim.createCIMInstance(broker, op);
    if (inst == nullptr)
        return nullptr;
    std::string version = kNotAvailableText, serial = kNotAvailableText, product = kNotAvailableText;
    if (smbios != nullptr && !smbios->table2.empty()) {
        version = smbios->table2[0].version;
        serial = smbios->table2[0].serialNumber;
        product = smbios->table2[0].product;
    }
    const std::pair<const char *, std::string> props[] = {
        {"SystemCreationClassName", getSystemCreationClassName()},
        {"SystemName", getSystemName()},
        {"DeviceID", getDeviceID()},
        {"ElementName", getDeviceID()},
        {"CreationClassName", CLASS_SYSTEM_BOARD},
        {"SlotDesignation", "Onboard"},
        {"SlotAllInfo", "Onboard"},
        {"Version", version},
        {"SerialNumber", serial},
        {"Caption", product},
        {"Name", product},
    };
    for (const auto &p : props) {
        if (cim.setProperty(inst, p.first, p.second).rc != CMPI_RC_OK)
            return nullptr;
    }
    return inst;
}

void TSysBrd::GetCIMInstances(const CMPIBroker *broker, const CMPIResult *result, const CMPIContext *ctx,
                              const char *className, bool namesOnly)
{
    if (className == nullptr)
        return;
    CMPICIMInst cim;
    if (strcasecmp(className, CLASS_SYSTEM_BOARD) == 0) {
        if (namesOnly)
            cim.returnObjectPath(result, getObjectPath(broker, kInventoryNamespace, CLASS_SYSTEM_BOARD));
        else
            cim.returnInstance(result, PopulateSysbrdProperties(broker, CLASS_SYSTEM_BOARD));
    } else if (strcasecmp(className, CLASS_ONBOARD_DEVICE) == 0) {
        MakeDeviceBoardAssociation(broker, result, ctx, namesOnly);
    }
}

bool ReturnAssociation(const CMPIBroker *broker, const CMPIResult *result, const char *className,
                       const CMPIObjectPath *antecedent, const CMPIObjectPath *dependent, bool namesOnly)
{
    CMPICIMInst cim;
    CMPIObjectPath *op = TSysBrd(nullptr).getObjectPath(broker, kInventoryNamespace, className, antecedent, dependent);
    if (op == nullptr)
        return false;
    if (namesOnly) {
        cim.returnObjectPath(result, op);
        return true;
    }
    CMPIInstance *inst = cim.createCIMInstance(broker, op);
    if (inst == nullptr || cim.setProperty(inst, "Antecedent", antecedent).rc != CMPI_RC_OK ||
        cim.setProperty(inst, "Dependent", dependent).rc != CMPI_RC_OK)
        return false;
    cim.returnInstance(result, inst);
    return true;
}

void TSysBrd::MakeDeviceBoardAssociation(const CMPIBroker *broker, const CMPIResult *result, const CMPIContext *ctx,
                                         bool namesOnly)
{
    slog("MakeDeviceBoardAssociation enter routing");
    CMPICIMInst cim;
    CMPIInstance *board = PopulateSysbrdProperties(broker, CLASS_SYSTEM_BOARD);
    slog("MakeDeviceBoardAssociation start enumerate CLASS_PCIDEVICE");
    CMPIEnumeration *devices = cim.enumerateInstances(broker, ctx, kInventoryNamespace, CLASS_PCIDEVICE);
    slog("MakeDeviceBoardAssociation start enumerate CLASS_PCIBRIDGE");
    CMPIEnumeration *bridges = cim.enumerateInstances(broker, ctx, kInventoryNamespace, CLASS_PCIBRIDGE);
    CMPIObjectPath *board_path = cim.getObjectPathFromInstance(board);
    if (board_path == nullptr || devices == nullptr || bridges == nullptr) {
        slog("MakeDeviceBoardAssociation antInst is null");
        return;
    }
    for (CMPIEnumeration *en : {devices, bridges}) {
        for (CMPIInstance *fn = cim.getNextInstance(broker, ctx, en); fn != nullptr;
             fn = cim.getNextInstance(broker, ctx, en)) {
            // A function without UINumber lies in a slot whose Number UINumber cannot carry.
            CMPIUint8 ui = 0;
            const bool has_ui = cim.getPropertyVal(fn, "UINumber", ui);
            slog("MakeDeviceBoardAssociation got the UI number:%d", ui);
            if (!has_ui || ui != 0) {
                slog("MakeDeviceBoardAssociation not making instance status [%d] ui [%d]", 0, ui);
                continue;
            }
            CMPIObjectPath *fn_path = cim.getObjectPathFromInstance(fn);
            if (fn_path != nullptr)
                ReturnAssociation(broker, result, CLASS_ONBOARD_DEVICE, board_path, fn_path, namesOnly);
        }
    }
    slog("MakeDeviceBoardAssociation leaving the routine");
}
