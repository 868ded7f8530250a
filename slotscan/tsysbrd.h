// TSysBrd: the system board as the single QelvoSG_SystemBoard object, from the first baseboard
// record (SMBIOS type 2) of the table.
#ifndef QELVO_SLOTSCAN_TSYSBRD_H
#define QELVO_SLOTSCAN_TSYSBRD_H

#include <cmpidt.h>
#include <cmpift.h>

#include <functional>
#include <string>

#include "pcidevinfo.h"
#include "smbios.h"

class TSysBrd : public TPci {
public:
    explicit TSysBrd(Smbios *smbios);

    // "QelvoSG_SystemBoard": the board's path or instance. "QelvoSG_OnBoardDevice": the
    // on-board associations (MakeDeviceBoardAssociation). Any other class: nothing.
    void GetCIMInstances(const CMPIBroker *broker, const CMPIResult *result, const CMPIContext *ctx,
                         const char *className, bool namesOnly);

    // The board instance for className, or null.
    CMPIInstance *PopulateSysbrdProperties(const CMPIBroker *broker, const char *className);
    // The board path (device ID "SystemBoard1" when none is given).
    CMPIObjectPath *getObjectPath(const CMPIBroker *broker, const char *ns, const char *className,
                                  const char *deviceID = nullptr);
    // An association path of className with Antecedent and Dependent references.
    CMPIObjectPath *getObjectPath(const CMPIBroker *broker, const char *ns, const char *className,
                                  const CMPIObjectPath *antecedent, const CMPIObjectPath *dependent);

    // The QelvoSG_OnBoardDevice associations between the board and every PCI function whose
    // UINumber is 0, with the functions enumerated through the broker.
    void MakeDeviceBoardAssociation(const CMPIBroker *broker, const CMPIResult *result, const CMPIContext *ctx,
                                    bool namesOnly);

    static std::string getDeviceID();
    static std::string getSystemName();
    static std::string getSystemCreationClassName();

    Smbios *smbios = nullptr;
};

// Returns the association between antecedent and dependent as a path (namesOnly) or as an
// instance carrying both references. False when the broker made neither.
bool ReturnAssociation(const CMPIBroker *broker, const CMPIResult *result, const char *className,
                       const CMPIObjectPath *antecedent, const CMPIObjectPath *dependent, bool namesOnly);

#endif  // QELVO_SLOTSCAN_TSYSBRD_H
