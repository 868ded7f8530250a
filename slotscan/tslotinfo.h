// TSlotInfo: the system slots of the SMBIOS table (type 9) as QelvoSG_SystemSlot objects.
//
// Slots are tagged in table order, "Tag 1", "Tag 2", ...; the tag is the slot's key (Tag)
// in its object path and its Tag property alike, so a slot's path names exactly one slot.
#ifndef QELVO_SLOTSCAN_TSLOTINFO_H
#define QELVO_SLOTSCAN_TSLOTINFO_H

#include <cmpidt.h>
#include <cmpift.h>

#include <string>

#include "pcidevinfo.h"
#include "smbios.h"

class TSlotInfo : public TPci {
public:
    explicit TSlotInfo(Smbios *smbios);

    void GetCIMInstances(const CMPIBroker *broker, const CMPIResult *result, const char *className, bool namesOnly);
    void GetSlotInfo(const CMPIBroker *broker, const CMPIResult *result, bool namesOnly);
    // Returns the path or the instance of one slot and advances the tag counter.
    void DumpSlotInfo(const tableType9 &slot, const CMPIResult *result, const CMPIBroker *broker, bool namesOnly);

    // The slot with tag `tag` (1 for the first slot record): its path and its instance.
    CMPIObjectPath *getObjectPath(const CMPIBroker *broker, const char *ns, const char *className, int tag);
    CMPIInstance *MakeInstance(const CMPIBroker *broker, const tableType9 &slot, int tag);

    // The largest slot ID, 0 without records.
    int GetMaxSystemSlot();

    // "Tag <n>".
    static std::string getTag(int n);
    // The slot record a slot path names by its Tag key ("Tag <n>", or "System Slot <Number>"
    // for the first slot with that Number): its index in the slot list, or -1.
    static int SlotIndexOfPath(const CMPIObjectPath *op, const Smbios *smbios);

    int tagCounter = 1;
    Smbios *smbios = nullptr;
};

#endif  // QELVO_SLOTSCAN_TSLOTINFO_H
