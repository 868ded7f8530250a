// PCIInfoProvider: the read-only CMPI provider of the PCI inventory in "root/qelvosd" — PCI
// devices and bridges, system slots, the system board, the associations between them and
// the two views of PCI functions in slots and on the board.
#include <cmpidt.h>
#include <cmpift.h>
#include <cmpimacs.h>
#include <strings.h>

#include <exception>

#include "inventory.h"
#include "pciprovider.h"
#include "providerutils.h"
#include "slotscan_log.h"
#include "tslotinfo.h"
#include "tsysbrd.h"

const CMPIBroker *PCIInfoProviderbroker = nullptr;

namespace {

// The table is fetched once, when the library is loaded.
Smbios g_smbios;

CMPIStatus StatusOf(CMPIrc rc, const char *message = nullptr)
{
    CMPIStatus st = {rc, nullptr};
    if (message != nullptr && PCIInfoProviderbroker != nullptr)
        st.msg = CMNewString(PCIInfoProviderbroker, message, nullptr);
    return st;
}

std::string ClassOf(const CMPIObjectPath *op)
{
    if (op == nullptr)
        return "";
    CMPIString *s = CMGetClassName(op, nullptr);
    const char *c = s != nullptr ? CMGetCharsPtr(s, nullptr) : nullptr;
    return c != nullptr ? c : "";
}

bool Is(const std::string &cls, const char *name) { return strcasecmp(cls.c_str(), name) == 0; }

// Whether the table lists a slot whose Number is `number` (never for 0).
bool SlotListed(const Smbios *smbios, uint16_t number)
{
    if (number == 0)
        return false;
    for (const tableType9 &s : smbios->table9) {
        if (s.slotID == number)
            return true;
    }
    return false;
}

// Runs an operation body; no exception leaves the provider.
template <class Body>
CMPIStatus Guarded(const CMPIResult *result, Body body)
{
    CMPIStatus st;
    try {
        st = body();
    } catch (const std::exception &e) {
        slog("PCIInfoProvider caught: %s", e.what());
        st = StatusOf(CMPI_RC_ERR_FAILED, e.what());
    } catch (...) {
        st = StatusOf(CMPI_RC_ERR_FAILED, "PCI inventory request failed");
    }
    if (result != nullptr && st.rc == CMPI_RC_OK)
        CMReturnDone(result);
    return st;
}

// Every object of the class: paths or instances.
CMPIStatus Dispatch(const Request &req, const std::string &cls)
{
    Smbios *smbios = ProcessSmbios();
    if (Is(cls, CLASS_PCIDEVICE) || Is(cls, CLASS_PCIBRIDGE)) {
        const bool bridges = Is(cls, CLASS_PCIBRIDGE);
        TPciDevInfo scan(bridges ? CLASS_PCIBRIDGE : CLASS_PCIDEVICE, smbios);
        for (const sPciDevices &fn : scan.pciDevices) {
            if (IsBridge(fn) == bridges)
                ReturnFunction(req, fn);
        }
    } else if (Is(cls, CLASS_DEVICE_IN_SLOT)) {
        TPciDevInfo scan(CLASS_DEVICE_IN_SLOT, smbios);
        MakeDeviceSlotAssociation(req, scan);
    } else if (Is(cls, CLASS_SYSTEM_SLOT)) {
        TSlotInfo(smbios).GetCIMInstances(req.broker, req.result, CLASS_SYSTEM_SLOT, req.namesOnly);
    } else if (Is(cls, CLASS_SYSTEM_BOARD)) {
        TSysBrd(smbios).GetCIMInstances(req.broker, req.result, req.ctx, CLASS_SYSTEM_BOARD, req.namesOnly);
    } else if (Is(cls, CLASS_ONBOARD_DEVICE)) {
        TSysBrd(smbios).GetCIMInstances(req.broker, req.result, req.ctx, CLASS_ONBOARD_DEVICE, req.namesOnly);
    } else if (Is(cls, CLASS_SSPCICONTROLLER)) {
        TPciDevInfo scan(CLASS_PCIBRIDGE, smbios);
        GetDeviceFromSlotAssocInstances(req, scan, nullptr);
    } else if (Is(cls, CLASS_OBDPCICONTROLLER)) {
        TPciDevInfo scan(CLASS_PCIDEVICE, smbios);
        GetOnboardDeviceAssocInstances(req, scan);
    } else {
        return StatusOf(CMPI_RC_ERR_INVALID_CLASS, "class not served by PCIInfoProvider");
    }
    return StatusOf(CMPI_RC_OK);
}

// The object the path names, or null.
CMPIInstance *Lookup(const Request &req, const std::string &cls, const CMPIObjectPath *op)
{
    Smbios *smbios = ProcessSmbios();
    if (Is(cls, CLASS_PCIDEVICE) || Is(cls, CLASS_PCIBRIDGE) || Is(cls, CLASS_SSPCICONTROLLER) ||
        Is(cls, CLASS_OBDPCICONTROLLER)) {
        TPciDevInfo scan(CLASS_PCIDEVICE, smbios);
        const sPciDevices *fn = FunctionOfPath(scan, op);
        if (fn == nullptr)
            return nullptr;
        const bool wanted = Is(cls, CLASS_PCIDEVICE)        ? !IsBridge(*fn)
                            : Is(cls, CLASS_PCIBRIDGE)      ? IsBridge(*fn)
                            : Is(cls, CLASS_SSPCICONTROLLER) ? SlotListed(smbios, fn->slotNumber)
                                                             : fn->uiNumber == 0;
        return wanted && KeysMatch(op, FunctionPath(req.broker, *fn)) ? FunctionInstance(req.broker, *fn) : nullptr;
    }
    if (Is(cls, CLASS_SYSTEM_SLOT)) {
        const int index = TSlotInfo::SlotIndexOfPath(op, smbios);
        if (index < 0)
            return nullptr;
        TSlotInfo slots(smbios);
        if (!KeysMatch(op, slots.getObjectPath(req.broker, kInventoryNamespace, CLASS_SYSTEM_SLOT, index + 1)))
            return nullptr;
        return slots.MakeInstance(req.broker, smbios->table9[static_cast<size_t>(index)], index + 1);
    }
    if (Is(cls, CLASS_SYSTEM_BOARD)) {
        TSysBrd board(smbios);
        if (!KeysMatch(op, board.getObjectPath(req.broker, kInventoryNamespace, CLASS_SYSTEM_BOARD)))
            return nullptr;
        return board.PopulateSysbrdProperties(req.broker, CLASS_SYSTEM_BOARD);
    }
    return nullptr;
}

// An association instance the path names: its references must name objects that are
// associated by the class's rule.
bool ReturnAssociationInstance(const Request &req, const std::string &cls, const CMPIObjectPath *op)
{
    CMPIStatus rc = {CMPI_RC_OK, nullptr};
    const CMPIData ant = CMGetKey(op, "Antecedent", &rc);
    if (rc.rc != CMPI_RC_OK || ant.type != CMPI_ref || (ant.state & CMPI_nullValue))
        return false;
    const CMPIData dep = CMGetKey(op, "Dependent", &rc);
    if (rc.rc != CMPI_RC_OK || dep.type != CMPI_ref || (dep.state & CMPI_nullValue))
        return false;
    Smbios *smbios = ProcessSmbios();
    TPciDevInfo scan(CLASS_PCIDEVICE, smbios);
    const sPciDevices *fn = FunctionOfPath(scan, dep.value.ref);
    if (fn == nullptr)
        return false;
    CMPIObjectPath *fn_path = FunctionPath(req.broker, *fn);
    CMPIObjectPath *ant_path = nullptr;
    if (Is(cls, CLASS_DEVICE_IN_SLOT)) {
        // Any pair the references of either end name (see pciprovider.h).
        const int index = TSlotInfo::SlotIndexOfPath(ant.value.ref, smbios);
        if (index < 0)
            return false;
        const uint16_t number = smbios->table9[static_cast<size_t>(index)].slotID;
        if (number == 0 || fn->slotNumber != number)
            return false;
        ant_path = TSlotInfo(smbios).getObjectPath(req.broker, kInventoryNamespace, CLASS_SYSTEM_SLOT, index + 1);
    } else {
        if (fn->uiNumber != 0)
            return false;
        ant_path = TSysBrd(smbios).getObjectPath(req.broker, kInventoryNamespace, CLASS_SYSTEM_BOARD);
    }
    CMPIObjectPath *assoc = TSysBrd(smbios).getObjectPath(req.broker, kInventoryNamespace,
                                                          Is(cls, CLASS_DEVICE_IN_SLOT) ? CLASS_DEVICE_IN_SLOT
                                                                                        : CLASS_ONBOARD_DEVICE,
                                                          ant_path, fn_path);
    if (!KeysMatch(op, assoc))
        return false;
    return ReturnAssociation(req.broker, req.result, Is(cls, CLASS_DEVICE_IN_SLOT) ? CLASS_DEVICE_IN_SLOT
                                                                                    : CLASS_ONBOARD_DEVICE,
                             ant_path, fn_path, false);
}

CMPIStatus GetOne(const Request &req, const CMPIObjectPath *op)
{
    const std::string cls = ClassOf(op);
    if (Is(cls, CLASS_DEVICE_IN_SLOT) || Is(cls, CLASS_ONBOARD_DEVICE)) {
        return ReturnAssociationInstance(req, cls, op) ? StatusOf(CMPI_RC_OK)
                                                       : StatusOf(CMPI_RC_ERR_NOT_FOUND, "no such association");
    }
    const bool served = Is(cls, CLASS_PCIDEVICE) || Is(cls, CLASS_PCIBRIDGE) || Is(cls, CLASS_SSPCICONTROLLER) ||
                        Is(cls, CLASS_OBDPCICONTROLLER) || Is(cls, CLASS_SYSTEM_SLOT) || Is(cls, CLASS_SYSTEM_BOARD);
    if (!served)
        return StatusOf(CMPI_RC_ERR_INVALID_CLASS, "class not served by PCIInfoProvider");
    CMPIInstance *inst = Lookup(req, cls, op);
    if (inst == nullptr)
        return StatusOf(CMPI_RC_ERR_NOT_FOUND, "no such instance");
    CMPICIMInst().returnInstance(req.result, inst);
    return StatusOf(CMPI_RC_OK);
}

CMPIStatus NotSupported() { return StatusOf(CMPI_RC_ERR_NOT_SUPPORTED, "CIM_ERR_NOT_SUPPORTED"); }

}  // namespace

Smbios *ProcessSmbios() { return &g_smbios; }

static CMPIStatus PCIInfoProviderCleanup(CMPIInstanceMI *, const CMPIContext *, CMPIBoolean)
{
    return StatusOf(CMPI_RC_OK);
}

static CMPIStatus PCIInfoProviderEnumInstanceNames(CMPIInstanceMI *, const CMPIContext *ctx, const CMPIResult *rslt,
                                                   const CMPIObjectPath *ref)
{
    return Guarded(rslt, [&] {
        const std::string cls = ClassOf(ref);
        slog("PCIInfoProviderEnumInstancesNames, className:[%s]", cls.c_str());
        return Dispatch(Request{PCIInfoProviderbroker, ctx, rslt, true}, cls);
    });
}

static CMPIStatus PCIInfoProviderEnumInstances(CMPIInstanceMI *, const CMPIContext *ctx, const CMPIResult *rslt,
                                               const CMPIObjectPath *ref, const char **)
{
    return Guarded(rslt, [&] {
        const std::string cls = ClassOf(ref);
        slog("PCIInfoProviderEnumInstances, className:[%s]", cls.c_str());
        return Dispatch(Request{PCIInfoProviderbroker, ctx, rslt, false}, cls);
    });
}

static CMPIStatus PCIInfoProviderGetInstance(CMPIInstanceMI *, const CMPIContext *ctx, const CMPIResult *rslt,
                                             const CMPIObjectPath *ref, const char **)
{
    return Guarded(rslt, [&] {
        slog("PCIInfoProviderGetInstance className[%s]", ClassOf(ref).c_str());
        return GetOne(Request{PCIInfoProviderbroker, ctx, rslt, false}, ref);
    });
}

static CMPIStatus PCIInfoProviderCreateInstance(CMPIInstanceMI *, const CMPIContext *, const CMPIResult *,
                                                const CMPIObjectPath *, const CMPIInstance *)
{
    return NotSupported();
}

static CMPIStatus PCIInfoProviderModifyInstance(CMPIInstanceMI *, const CMPIContext *, const CMPIResult *,
                                                const CMPIObjectPath *, const CMPIInstance *, const char **)
{
    return NotSupported();
}

static CMPIStatus PCIInfoProviderDeleteInstance(CMPIInstanceMI *, const CMPIContext *, const CMPIResult *,
                                                const CMPIObjectPath *)
{
    return NotSupported();
}

static CMPIStatus PCIInfoProviderExecQuery(CMPIInstanceMI *, const CMPIContext *, const CMPIResult *,
                                           const CMPIObjectPath *, const char *, const char *)
{
    return NotSupported();
}

static CMPIStatus PCIInfoProviderAssociationCleanup(CMPIAssociationMI *, const CMPIContext *, CMPIBoolean)
{
    return StatusOf(CMPI_RC_OK);
}

static CMPIStatus PCIInfoProviderAssociators(CMPIAssociationMI *, const CMPIContext *ctx, const CMPIResult *rslt,
                                             const CMPIObjectPath *op, const char *assocClass,
                                             const char *resultClass, const char *role, const char *resultRole,
                                             const char **)
{
    return Guarded(rslt, [&] {
        return processAssociators(Request{PCIInfoProviderbroker, ctx, rslt, false}, op, assocClass, resultClass, role,
                                  resultRole);
    });
}

static CMPIStatus PCIInfoProviderAssociatorNames(CMPIAssociationMI *, const CMPIContext *ctx, const CMPIResult *rslt,
                                                 const CMPIObjectPath *op, const char *assocClass,
                                                 const char *resultClass, const char *role, const char *resultRole)
{
    return Guarded(rslt, [&] {
        return processAssociators(Request{PCIInfoProviderbroker, ctx, rslt, true}, op, assocClass, resultClass, role,
                                  resultRole);
    });
}

static CMPIStatus PCIInfoProviderReferences(CMPIAssociationMI *, const CMPIContext *ctx, const CMPIResult *rslt,
                                            const CMPIObjectPath *op, const char *resultClass, const char *role,
                                            const char **)
{
    return Guarded(rslt, [&] {
        slog("PCIInfoProviderReferences - in the routine with classname [%s]", ClassOf(op).c_str());
        return createPCIReferences(Request{PCIInfoProviderbroker, ctx, rslt, false}, op, resultClass, role);
    });
}

static CMPIStatus PCIInfoProviderReferenceNames(CMPIAssociationMI *, const CMPIContext *ctx, const CMPIResult *rslt,
                                                const CMPIObjectPath *op, const char *resultClass, const char *role)
{
    return Guarded(rslt, [&] {
        return createPCIReferences(Request{PCIInfoProviderbroker, ctx, rslt, true}, op, resultClass, role);
    });
}

static CMPIInstanceMIFT instanceMIFT = {
    CMPIVersion100,
    CMPIVersion100,
    "instancePCIInfoProvider",
    PCIInfoProviderCleanup,
    PCIInfoProviderEnumInstanceNames,
    PCIInfoProviderEnumInstances,
    PCIInfoProviderGetInstance,
    PCIInfoProviderCreateInstance,
    PCIInfoProviderModifyInstance,
    PCIInfoProviderDeleteInstance,
    PCIInfoProviderExecQuery,
};

static CMPIAssociationMIFT associationMIFT = {
    CMPIVersion100,
    CMPIVersion100,
    "associationPCIInfoProvider",
    PCIInfoProviderAssociationCleanup,
    PCIInfoProviderAssociators,
    PCIInfoProviderAssociatorNames,
    PCIInfoProviderReferences,
    PCIInfoProviderReferenceNames,
};

CMPI_EXTERN_C CMPIInstanceMI *PCIInfoProvider_Create_InstanceMI(const CMPIBroker *broker, const CMPIContext *,
                                                                CMPIStatus *rc)
{
    static CMPIInstanceMI mi = {nullptr, &instanceMIFT};
    PCIInfoProviderbroker = broker;
    if (rc != nullptr) {
        rc->rc = CMPI_RC_OK;
        rc->msg = nullptr;
    }
    return &mi;
}

CMPI_EXTERN_C CMPIAssociationMI *PCIInfoProvider_Create_AssociationMI(const CMPIBroker *broker, const CMPIContext *,
                                                                      CMPIStatus *rc)
{
    static CMPIAssociationMI mi = {nullptr, &associationMIFT};
    PCIInfoProviderbroker = broker;
    if (rc != nullptr) {
        rc->rc = CMPI_RC_OK;
        rc->msg = nullptr;
    }
    return &mi;
}
