// CMPICIMInst: the CMPI broker, instance, object path, result and enumeration calls the PCI
// inventory provider needs, over standard strings and lists. Stateless; every operation checks
// its inputs for null or empty values before it makes a CMPI call, and nothing is thrown.
#ifndef QELVO_SLOTSCAN_PROVIDERUTILS_H
#define QELVO_SLOTSCAN_PROVIDERUTILS_H

#include <cmpidt.h>
#include <cmpift.h>

#include <string>
#include <vector>

class CMPICIMInst {
public:
    // Null when the class name is empty (the broker is not called) or the broker fails.
    CMPIObjectPath *createObjectPath(const CMPIBroker *broker, const std::string &ns, const std::string &className);
    CMPIInstance *createCIMInstance(const CMPIBroker *broker, const CMPIObjectPath *op);
    CMPIObjectPath *getObjectPathFromInstance(const CMPIInstance *inst);
    void returnInstance(const CMPIResult *result, const CMPIInstance *inst);
    void returnObjectPath(const CMPIResult *result, const CMPIObjectPath *op);

    // Enumerates the instances of a class through the broker (no property list). Null when the
    // class name is empty, the path cannot be made or the enumeration fails.
    CMPIEnumeration *enumerateInstances(const CMPIBroker *broker, const CMPIContext *ctx, const std::string &ns,
                                        const std::string &className);
    // The next instance, or null at the end (or for an element that holds no instance).
    CMPIInstance *getNextInstance(const CMPIBroker *broker, const CMPIContext *ctx, CMPIEnumeration *en);

    // Readers: the output changes only when the property holds a value of the asked type.
    void getPropertyVal(const CMPIInstance *inst, const std::string &name, CMPIUint16 &value);
    // Sets value to 0 first; true when the property held a value.
    bool getPropertyVal(const CMPIInstance *inst, const std::string &name, CMPIUint8 &value);
    void getPropertyVal(const CMPIInstance *inst, const std::string &name, std::string &value);

    // Setters: the status of the CMPI call (CMPI_RC_ERR_INVALID_PARAMETER for a missing
    // instance or name; an empty string or list sets nothing and is OK).
    CMPIStatus setBoolProperty(CMPIInstance *inst, const std::string &name, bool value);
    CMPIStatus setProperty(CMPIInstance *inst, const std::string &name, CMPIUint8 value);
    CMPIStatus setProperty(CMPIInstance *inst, const std::string &name, CMPIUint16 value);
    CMPIStatus setProperty(CMPIInstance *inst, const std::string &name, CMPIUint32 value);
    CMPIStatus setProperty(CMPIInstance *inst, const std::string &name, CMPIUint64 value);
    CMPIStatus setProperty(CMPIInstance *inst, const std::string &name, const std::string &value);
    CMPIStatus setProperty(CMPIInstance *inst, const std::string &name, const CMPIObjectPath *value);
    CMPIStatus setProperty(const CMPIBroker *broker, CMPIInstance *inst, const std::string &name,
                           const std::vector<CMPIUint8> &values);
    CMPIStatus setProperty(const CMPIBroker *broker, CMPIInstance *inst, const std::string &name,
                           const std::vector<CMPIUint16> &values);
    CMPIStatus setProperty(const CMPIBroker *broker, CMPIInstance *inst, const std::string &name,
                           const std::vector<CMPIUint32> &values);
    CMPIStatus setProperty(const CMPIBroker *broker, CMPIInstance *inst, const std::string &name,
                           const std::vector<std::string> &values);

    CMPIStatus setKeyProperty(CMPIObjectPath *op, const std::string &name, CMPIUint8 value);
    CMPIStatus setKeyProperty(CMPIObjectPath *op, const std::string &name, CMPIUint16 value);
    CMPIStatus setKeyProperty(CMPIObjectPath *op, const std::string &name, CMPIUint32 value);
    CMPIStatus setKeyProperty(CMPIObjectPath *op, const std::string &name, CMPIUint64 value);
    CMPIStatus setKeyProperty(CMPIObjectPath *op, const std::string &name, const std::string &value);
    CMPIStatus setKeyProperty(CMPIObjectPath *op, const std::string &name, const CMPIObjectPath *value);

    // The host name (at most 64 characters); "systemname" when gethostname fails. Returns
    // gethostname's result.
    int getHostName(std::string &name);
};

#endif  // QELVO_SLOTSCAN_PROVIDERUTILS_H
