// The pieces of the PCI inventory provider (PCIInfoProvider) that its operations share: the
// PCI function objects, the rules that tie functions to slots and to the board, and the
// association builders.
//
// A function lies in a slot when the SMBIOS table ties its bus to that slot: its uiNumber is
// then the slot's Number (SMBIOS slot ID). A function whose uiNumber is 0 lies on the board.
// A table without bus addresses (slot ID retrieval type 0) ties no function to a slot: every
// function lies on the board, and a slot is paired with the functions whose device number is
// its Number. The scan records the pairing in each function's slotNumber:
// references, associators and the slot view follow it; the enumeration of QelvoSG_DeviceInSlot
// lists only what the table ties by bus.
#ifndef QELVO_SLOTSCAN_PCIPROVIDER_H
#define QELVO_SLOTSCAN_PCIPROVIDER_H

#include <cmpidt.h>
#include <cmpift.h>

#include <string>

#include "pcidevinfo.h"
#include "smbios.h"

extern const CMPIBroker *PCIInfoProviderbroker;

// The process's table reader, built when the library is loaded.
Smbios *ProcessSmbios();

// One request's broker, context and result.
struct Request {
    const CMPIBroker *broker;
    const CMPIContext *ctx;
    const CMPIResult *result;
    bool namesOnly;
};

// "PCI Bus 0, device 31, function 2".
std::string FunctionAddress(const sPciDevices &dev);
// Reads back bus, device and function from such a text; false for any other text.
bool ParseFunctionAddress(const char *text, uint8_t *bus, uint8_t *device, uint8_t *function);
bool IsBridge(const sPciDevices &dev);
const char *FunctionClass(const sPciDevices &dev);
// The function a path names through its DeviceID key, or null.
const sPciDevices *FunctionOfPath(const TPciDevInfo &scan, const CMPIObjectPath *op);

CMPIObjectPath *FunctionPath(const CMPIBroker *broker, const sPciDevices &dev);
// A QelvoSG_PCIDevice or QelvoSG_PCIBridge instance, by the function's base class; null when
// a property could not be set.
CMPIInstance *FunctionInstance(const CMPIBroker *broker, const sPciDevices &dev);
void ReturnFunction(const Request &req, const sPciDevices &dev);

// Whether a function publishes UINumber (a uint8) and its value: the slot's Number as it is.
// A Number above 255 does not fit, and is not cut into another slot's number: such a function
// has no UINumber (it is not on the board either; its slot association names its slot).
bool PublishedUINumber(uint16_t uiNumber, CMPIUint8 *value);

// Association and view builders.
void MakeDeviceSlotAssociation(const Request &req, const TPciDevInfo &scan);
// The functions of every slot (slot == null) or of the slot the path names.
void GetDeviceFromSlotAssocInstances(const Request &req, const TPciDevInfo &scan, const CMPIObjectPath *slot);
void GetOnboardDeviceAssocInstances(const Request &req, const TPciDevInfo &scan);
CMPIStatus processAssociators(const Request &req, const CMPIObjectPath *op, const char *assocClass,
                              const char *resultClass, const char *role, const char *resultRole);
CMPIStatus createPCIReferences(const Request &req, const CMPIObjectPath *op, const char *resultClass,
                               const char *role);

// True when the object path `requested` names the same object as `built`: the same keys with
// equal values (class names and the system name without regard to case; references alike).
bool KeysMatch(const CMPIObjectPath *requested, const CMPIObjectPath *built);

#endif  // QELVO_SLOTSCAN_PCIPROVIDER_H
