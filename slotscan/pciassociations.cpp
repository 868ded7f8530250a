// Associations of the PCI inventory: functions in slots (QelvoSG_DeviceInSlot), functions on
// the board (QelvoSG_OnBoardDevice), and the views of either side.
#include <cmpimacs.h>
#include <strings.h>

#include <set>
#include <vector>

#include "inventory.h"
#include "pciprovider.h"
#include "providerutils.h"
#include "slotscan_log.h"
#include "tslotinfo.h"
#include "tsysbrd.h"

namespace {

const char *kAntecedent = "Antecedent";
const char *kDependent = "Dependent";

bool Given(const char *s) { return s != nullptr && *s != '\0'; }

bool IsOneOf(const char *cls, std::initializer_list<const char *> names)
{
    for (const char *n : names) {
        if (cls != nullptr && strcasecmp(cls, n) == 0)
            return true;
    }
    return false;
}

bool IsFunctionClass(const char *cls)
{
    return IsOneOf(cls, {CLASS_PCIDEVICE, CLASS_PCIBRIDGE, CLASS_SSPCICONTROLLER, CLASS_OBDPCICONTROLLER});
}

std::string ClassOf(const CMPIObjectPath *op)
{
    if (op == nullptr)
        return "";
    CMPIString *s = CMGetClassName(op, nullptr);
    const char *c = s != nullptr ? CMGetCharsPtr(s, nullptr) : nullptr;
    return c != nullptr ? c : "";
}

// The functions, device list first, whose field (uiNumber or slotNumber) is `number`.
std::vector<const sPciDevices *> FunctionsWith(const TPciDevInfo &scan, uint16_t sPciDevices::*field,
                                               uint16_t number)
{
    std::vector<const sPciDevices *> out;
    for (const auto *list : {&scan.deviceList, &scan.bridgeList}) {
        for (const sPciDevices &d : *list) {
            if (d.*field == number)
                out.push_back(&d);
        }
    }
    return out;
}

// The functions paired with the slot whose Number is `number` (none for 0).
std::vector<const sPciDevices *> FunctionsInSlot(const TPciDevInfo &scan, uint16_t number)
{
    if (number == 0)
        return {};
    return FunctionsWith(scan, &sPciDevices::slotNumber, number);
}

std::vector<const sPciDevices *> FunctionsOnBoard(const TPciDevInfo &scan)
{
    return FunctionsWith(scan, &sPciDevices::uiNumber, 0);
}

// The slot instances of the inventory, through the broker (served by this provider).
std::vector<CMPIInstance *> SlotInstances(const Request &req)
{
    CMPICIMInst cim;
    std::vector<CMPIInstance *> slots;
    CMPIEnumeration *en = cim.enumerateInstances(req.broker, req.ctx, kInventoryNamespace, CLASS_SYSTEM_SLOT);
    for (CMPIInstance *s = cim.getNextInstance(req.broker, req.ctx, en); s != nullptr;
         s = cim.getNextInstance(req.broker, req.ctx, en))
        slots.push_back(s);
    return slots;
}

CMPIUint16 NumberOf(CMPIInstance *slot)
{
    CMPIUint16 number = 0;
    CMPICIMInst().getPropertyVal(slot, "Number", number);
    return number;
}

// One object associated with the source of an association operation.
struct Peer {
    const char *assocClass;
    const char *sourceRole;
    const char *peerRole;
    CMPIObjectPath *path;
    CMPIInstance *inst;      // set when instances are wanted
    std::string peerClass;
    const char *viewClass;   // the view the peer belongs to, or null
};

// Everything associated with the source path, in a stable order. `source` receives the
// source's own path as this provider builds it.
std::vector<Peer> PeersOf(const Request &req, const CMPIObjectPath *op, bool instances, CMPIObjectPath **source)
{
    std::vector<Peer> peers;
    *source = nullptr;
    Smbios *smbios = ProcessSmbios();
    const std::string cls = ClassOf(op);
    TPciDevInfo scan(CLASS_PCIDEVICE, smbios);

    if (IsFunctionClass(cls.c_str())) {
        slog("PCIInfoProviderAssociators - found one of the dependents [%s]", cls.c_str());
        const sPciDevices *fn = FunctionOfPath(scan, op);
        if (fn == nullptr)
            return peers;
        slog("GetDeviceFromSlotAssocInstances bus [%d] device [%d] function [%d]", fn->bus, fn->device, fn->function);
        *source = FunctionPath(req.broker, *fn);
        if (fn->slotNumber != 0) {
            for (CMPIInstance *slot : SlotInstances(req)) {
                if (NumberOf(slot) != fn->slotNumber)
                    continue;
                peers.push_back({CLASS_DEVICE_IN_SLOT, kDependent, kAntecedent,
                                 CMPICIMInst().getObjectPathFromInstance(slot), slot, CLASS_SYSTEM_SLOT, nullptr});
            }
            slog("GetSlotFromDeviceAssocInstances returning from the routine");
        }
        if (fn->uiNumber == 0) {
            TSysBrd board(smbios);
            peers.push_back({CLASS_ONBOARD_DEVICE, kDependent, kAntecedent,
                             board.getObjectPath(req.broker, kInventoryNamespace, CLASS_SYSTEM_BOARD),
                             instances ? board.PopulateSysbrdProperties(req.broker, CLASS_SYSTEM_BOARD) : nullptr,
                             CLASS_SYSTEM_BOARD, nullptr});
        }
    } else if (IsOneOf(cls.c_str(), {CLASS_SYSTEM_SLOT})) {
        const int index = TSlotInfo::SlotIndexOfPath(op, smbios);
        if (index < 0)
            return peers;
        TSlotInfo slots(smbios);
        *source = slots.getObjectPath(req.broker, kInventoryNamespace, CLASS_SYSTEM_SLOT, index + 1);
        const uint16_t number = smbios->table9[static_cast<size_t>(index)].slotID;
        if (number == 0) {
            slog("GetDeviceFromSlotAssocInstances not creating path for slotnum [%d]", number);
            return peers;
        }
        for (const sPciDevices *fn : FunctionsInSlot(scan, number)) {
            peers.push_back({CLASS_DEVICE_IN_SLOT, kAntecedent, kDependent, FunctionPath(req.broker, *fn),
                             instances ? FunctionInstance(req.broker, *fn) : nullptr, FunctionClass(*fn),
                             CLASS_SSPCICONTROLLER});
        }
    } else if (IsOneOf(cls.c_str(), {CLASS_SYSTEM_BOARD})) {
        TSysBrd board(smbios);
        CMPIObjectPath *board_path = board.getObjectPath(req.broker, kInventoryNamespace, CLASS_SYSTEM_BOARD);
        if (!KeysMatch(op, board_path))
            return peers;
        *source = board_path;
        for (const sPciDevices *fn : FunctionsOnBoard(scan)) {
            peers.push_back({CLASS_ONBOARD_DEVICE, kAntecedent, kDependent, FunctionPath(req.broker, *fn),
                             instances ? FunctionInstance(req.broker, *fn) : nullptr, FunctionClass(*fn),
                             CLASS_OBDPCICONTROLLER});
        }
    }
    return peers;
}

// A class filter: none, the class itself, its view, or (asked of the CIMOM) a superclass.
bool ClassMatches(const Request &req, const char *filter, const std::string &cls, const char *view)
{
    if (!Given(filter))
        return true;
    if (strcasecmp(filter, cls.c_str()) == 0 || (view != nullptr && strcasecmp(filter, view) == 0))
        return true;
    CMPIObjectPath *op = CMPICIMInst().createObjectPath(req.broker, kInventoryNamespace, cls);
    if (op == nullptr)
        return false;
    CMPIStatus rc = {CMPI_RC_OK, nullptr};
    return CMClassPathIsA(req.broker, op, filter, &rc) && rc.rc == CMPI_RC_OK;
}

bool RoleMatches(const char *filter, const char *role) { return !Given(filter) || strcasecmp(filter, role) == 0; }

}  // namespace

void MakeDeviceSlotAssociation(const Request &req, const TPciDevInfo &scan)
{
    slog("MakeDeviceSlotAssociation int the routine");
    CMPICIMInst cim;
    CMPIEnumeration *en = cim.enumerateInstances(req.broker, req.ctx, kInventoryNamespace, CLASS_SYSTEM_SLOT);
    if (en == nullptr) {
        slog("MakeDeviceSlotAssociation was not able to get instances of system slot");
        return;
    }
    // Only what the table ties by bus: without bus addresses the enumeration lists no pair.
    const bool slotted = TPciDevInfo::SlotIDRetrievalType() != kSlotIDNone;
    for (CMPIInstance *slot = cim.getNextInstance(req.broker, req.ctx, en); slot != nullptr;
         slot = cim.getNextInstance(req.broker, req.ctx, en)) {
        const CMPIUint16 number = NumberOf(slot);
        slog("MakeDeviceSlotAssociation got slot number of %d", number);
        if (!slotted || number == 0)
            continue;
        CMPIObjectPath *slot_path = cim.getObjectPathFromInstance(slot);
        for (const sPciDevices *fn : FunctionsWith(scan, &sPciDevices::uiNumber, number)) {
            slog("CreateDeviceSlotAssociation found match checking device slot [%d] against slotnumber [%d]",
                 fn->uiNumber, number);
            CMPIObjectPath *fn_path = FunctionPath(req.broker, *fn);
            if (slot_path == nullptr || fn_path == nullptr) {
                slog("CreateDeviceSlotAssociation object paths null");
                continue;
            }
            if (!ReturnAssociation(req.broker, req.result, CLASS_DEVICE_IN_SLOT, slot_path, fn_path, req.namesOnly))
                slog("CreateDeviceSlotAssociation could not creating instance");
        }
    }
}

void GetDeviceFromSlotAssocInstances(const Request &req, const TPciDevInfo &scan, const CMPIObjectPath *slot)
{
    std::set<uint16_t> numbers;
    std::vector<uint16_t> order;
    if (slot == nullptr) {
        for (CMPIInstance *s : SlotInstances(req)) {
            const CMPIUint16 number = NumberOf(s);
            if (number != 0 && numbers.insert(number).second)
                order.push_back(number);
        }
    } else {
        const Smbios *smbios = ProcessSmbios();
        const int index = TSlotInfo::SlotIndexOfPath(slot, smbios);
        if (index < 0)
            return;
        const uint16_t number = smbios->table9[static_cast<size_t>(index)].slotID;
        if (number != 0)
            order.push_back(number);
    }
    for (uint16_t number : order) {
        for (const sPciDevices *fn : FunctionsInSlot(scan, number))
            ReturnFunction(req, *fn);
    }
}

void GetOnboardDeviceAssocInstances(const Request &req, const TPciDevInfo &scan)
{
    slog("GetOnboardDeviceAssocInstances - sizeof deviceArray [%d] sizeof bridgearray[%d]",
         static_cast<int>(scan.deviceList.size()), static_cast<int>(scan.bridgeList.size()));
    for (const sPciDevices *fn : FunctionsOnBoard(scan))
        ReturnFunction(req, *fn);
}

CMPIStatus processAssociators(const Request &req, const CMPIObjectPath *op, const char *assocClass,
                              const char *resultClass, const char *role, const char *resultRole)
{
    slog("processAssociators className [%s]", ClassOf(op).c_str());
    CMPIObjectPath *source = nullptr;
    CMPICIMInst cim;
    for (const Peer &p : PeersOf(req, op, !req.namesOnly, &source)) {
        if (!ClassMatches(req, assocClass, p.assocClass, nullptr) ||
            !ClassMatches(req, resultClass, p.peerClass, p.viewClass) || !RoleMatches(role, p.sourceRole) ||
            !RoleMatches(resultRole, p.peerRole))
            continue;
        if (req.namesOnly)
            cim.returnObjectPath(req.result, p.path);
        else
            cim.returnInstance(req.result, p.inst);
    }
    CMPIStatus ok = {CMPI_RC_OK, nullptr};
    return ok;
}

CMPIStatus createPCIReferences(const Request &req, const CMPIObjectPath *op, const char *resultClass,
                               const char *role)
{
    slog("createPCIReferences srcclassname [%s]", ClassOf(op).c_str());
    slog("PCIInfoProviderReferences - the srcclassname [%s] resultclass is [%s]", ClassOf(op).c_str(),
         Given(resultClass) ? resultClass : "nothing");
    CMPIObjectPath *source = nullptr;
    for (const Peer &p : PeersOf(req, op, false, &source)) {
        if (source == nullptr || !ClassMatches(req, resultClass, p.assocClass, nullptr) ||
            !RoleMatches(role, p.sourceRole))
            continue;
        const bool source_is_antecedent = p.sourceRole == kAntecedent;
        ReturnAssociation(req.broker, req.result, p.assocClass, source_is_antecedent ? source : p.path,
                          source_is_antecedent ? p.path : source, req.namesOnly);
    }
    CMPIStatus ok = {CMPI_RC_OK, nullptr};
    return ok;
}
