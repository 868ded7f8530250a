#include "providerutils.h"

#include <cmpimacs.h>
#include <unistd.h>

#include "slotscan_log.h"

namespace {

CMPIStatus Status(CMPIrc rc)
{
    CMPIStatus st = {rc, nullptr};
    return st;
}

bool Usable(const CMPIInstance *inst, const std::string &name) { return inst != nullptr && !name.empty(); }

// A property's value when it is set, not null and of the given type.
bool Read(const CMPIInstance *inst, const std::string &name, CMPIType type, CMPIData *out)
{
    if (!Usable(inst, name))
        return false;
    CMPIStatus rc = {CMPI_RC_OK, nullptr};
    const CMPIData d = CMGetProperty(inst, name.c_str(), &rc);
    if (rc.rc != CMPI_RC_OK || (d.state & CMPI_nullValue) != 0 || d.type != type)
        return false;
    *out = d;
    return true;
}

CMPIStatus Set(CMPIInstance *inst, const std::string &name, const void *value, CMPIType type)
{
    if (!Usable(inst, name))
        return Status(CMPI_RC_ERR_INVALID_PARAMETER);
    return CMSetProperty(inst, name.c_str(), value, type);
}

CMPIStatus AddKey(CMPIObjectPath *op, const std::string &name, const void *value, CMPIType type)
{
    if (op == nullptr || name.empty())
        return Status(CMPI_RC_ERR_INVALID_PARAMETER);
    return CMAddKey(op, name.c_str(), value, type);
}

// Builds an array of `type` elements from values and sets it as the property.
template <class T, class Put>
CMPIStatus SetArray(const CMPIBroker *broker, CMPIInstance *inst, const std::string &name, const std::vector<T> &values,
                    CMPIType type, Put put)
{
    slog("in setProperty with array size [%d]", static_cast<int>(values.size()));
    if (!Usable(inst, name) || broker == nullptr) {
        slog("the first condition failed");
        return Status(CMPI_RC_ERR_INVALID_PARAMETER);
    }
    if (values.empty())
        return Status(CMPI_RC_OK);
    slog("about to process the array");
    CMPIStatus rc = {CMPI_RC_OK, nullptr};
    CMPIArray *array = CMNewArray(broker, static_cast<CMPICount>(values.size()), type, &rc);
    if (array == nullptr || rc.rc != CMPI_RC_OK) {
        slog("could not create array");
        return rc.rc != CMPI_RC_OK ? rc : Status(CMPI_RC_ERR_FAILED);
    }
    slog("new array created");
    for (size_t i = 0; i < values.size(); ++i) {
        rc = put(array, static_cast<CMPICount>(i), values[i]);
        if (rc.rc != CMPI_RC_OK)
            return rc;
    }
    return CMSetProperty(inst, name.c_str(), &array, static_cast<CMPIType>(type | CMPI_ARRAY));
}

template <class T>
CMPIStatus SetNumbers(const CMPIBroker *broker, CMPIInstance *inst, const std::string &name,
                      const std::vector<T> &values, CMPIType type)
{
    return SetArray(broker, inst, name, values, type, [type](CMPIArray *a, CMPICount i, T v) {
        return CMSetArrayElementAt(a, i, &v, type);
    });
}

}  // namespace

CMPIObjectPath *CMPICIMInst::createObjectPath(const CMPIBroker *broker, const std::string &ns,
                                              const std::string &className)
{
    if (broker == nullptr || className.empty())
        return nullptr;
    CMPIStatus rc = {CMPI_RC_OK, nullptr};
    CMPIObjectPath *op = CMNewObjectPath(broker, ns.c_str(), className.c_str(), &rc);
    return rc.rc == CMPI_RC_OK ? op : nullptr;
}

CMPIInstance *CMPICIMInst::createCIMInstance(const CMPIBroker *broker, const CMPIObjectPath *op)
{
    if (broker == nullptr || op == nullptr)
        return nullptr;
    CMPIStatus rc = {CMPI_RC_OK, nullptr};
    CMPIInstance *inst = CMNewInstance(broker, op, &rc);
    return rc.rc == CMPI_RC_OK ? inst : nullptr;
}

CMPIObjectPath *CMPICIMInst::getObjectPathFromInstance(const CMPIInstance *inst)
{
    if (inst == nullptr)
        return nullptr;
    CMPIStatus rc = {CMPI_RC_OK, nullptr};
    CMPIObjectPath *op = CMGetObjectPath(inst, &rc);
    return rc.rc == CMPI_RC_OK ? op : nullptr;
}

void CMPICIMInst::returnInstance(const CMPIResult *result, const CMPIInstance *inst)
{
    if (result != nullptr && inst != nullptr)
        CMReturnInstance(result, inst);
}

void CMPICIMInst::returnObjectPath(const CMPIResult *result, const CMPIObjectPath *op)
{
    if (result != nullptr && op != nullptr)
        CMReturnObjectPath(result, op);
}

CMPIEnumeration *CMPICIMInst::enumerateInstances(const CMPIBroker *broker, const CMPIContext *ctx,
                                                 const std::string &ns, const std::string &className)
{
    CMPIObjectPath *op = createObjectPath(broker, ns, className);
    if (op == nullptr || ctx == nullptr)
        return nullptr;
    CMPIStatus rc = {CMPI_RC_OK, nullptr};
    CMPIEnumeration *en = broker->bft->enumerateInstances(broker, ctx, op, nullptr, &rc);
    return rc.rc == CMPI_RC_OK ? en : nullptr;
}

CMPIInstance *CMPICIMInst::getNextInstance(const CMPIBroker *, const CMPIContext *, CMPIEnumeration *en)
{
    slog("getNextInstance in the routine");
    if (en == nullptr) {
        slog("getNextInstance instances is null");
        return nullptr;
    }
    slog("getNextInstance instances not null");
    if (!CMHasNext(en, nullptr)) {
        slog("getNextInstance does not have next");
        return nullptr;
    }
    slog("getNextInstance it has next");
    CMPIStatus rc = {CMPI_RC_OK, nullptr};
    const CMPIData d = CMGetNext(en, &rc);
    if (rc.rc != CMPI_RC_OK || d.type != CMPI_instance || (d.state & CMPI_nullValue) != 0 ||
        d.value.inst == nullptr) {
        slog("getNextInstance instance is null");
        return nullptr;
    }
    slog("getNextInstance instance not null");
    return d.value.inst;
}

void CMPICIMInst::getPropertyVal(const CMPIInstance *inst, const std::string &name, CMPIUint16 &value)
{
    slog("getPropertyVal uint16 getting the property value");
    CMPIData d;
    if (Read(inst, name, CMPI_uint16, &d))
        value = d.value.uint16;
}

bool CMPICIMInst::getPropertyVal(const CMPIInstance *inst, const std::string &name, CMPIUint8 &value)
{
    slog("getPropertyVal uint8 getting the property value");
    value = 0;
    CMPIData d;
    const bool read = Read(inst, name, CMPI_uint8, &d);
    if (read) {
        slog("getPropertyVal uint8 the value is not null");
        value = d.value.uint8;
    }
    slog("getPropertyVal uint8 returning");
    return read;
}

void CMPICIMInst::getPropertyVal(const CMPIInstance *inst, const std::string &name, std::string &value)
{
    CMPIData d;
    if (Read(inst, name, CMPI_string, &d) && d.value.string != nullptr) {
        const char *s = CMGetCharsPtr(d.value.string, nullptr);
        if (s != nullptr)
            value = s;
    }
}

CMPIStatus CMPICIMInst::setBoolProperty(CMPIInstance *inst, const std::string &name, bool value)
{
    const CMPIBoolean v = value ? 1 : 0;
    return Set(inst, name, &v, CMPI_boolean);
}

CMPIStatus CMPICIMInst::setProperty(CMPIInstance *inst, const std::string &name, CMPIUint8 value)
{
    return Set(inst, name, &value, CMPI_uint8);
}

CMPIStatus CMPICIMInst::setProperty(CMPIInstance *inst, const std::string &name, CMPIUint16 value)
{
    return Set(inst, name, &value, CMPI_uint16);
}

CMPIStatus CMPICIMInst::setProperty(CMPIInstance *inst, const std::string &name, CMPIUint32 value)
{
    return Set(inst, name, &value, CMPI_uint32);
}

CMPIStatus CMPICIMInst::setProperty(CMPIInstance *inst, const std::string &name, CMPIUint64 value)
{
    return Set(inst, name, &value, CMPI_uint64);
}

CMPIStatus CMPICIMInst::setProperty(CMPIInstance *inst, const std::string &name, const std::string &value)
{
    if (!Usable(inst, name))
        return Status(CMPI_RC_ERR_INVALID_PARAMETER);
    if (value.empty())
        return Status(CMPI_RC_OK);
    return Set(inst, name, value.c_str(), CMPI_chars);
}

CMPIStatus CMPICIMInst::setProperty(CMPIInstance *inst, const std::string &name, const CMPIObjectPath *value)
{
    slog("setProperty for CMPIObjectPath in the routine");
    if (!Usable(inst, name) || value == nullptr) {
        slog("setProperty for CMPIObjectPath leaving the routine");
        return Status(CMPI_RC_ERR_INVALID_PARAMETER);
    }
    slog("setProperty for CMPIObjectPath about to set property");
    const CMPIStatus rc = CMSetProperty(inst, name.c_str(), &value, CMPI_ref);
    slog(rc.rc == CMPI_RC_OK ? "setProperty for CMPIObjectPath have set property"
                             : "setProperty for CMPIObjectPath failed to set property");
    slog("setProperty for CMPIObjectPath leaving the routine");
    return rc;
}

CMPIStatus CMPICIMInst::setProperty(const CMPIBroker *broker, CMPIInstance *inst, const std::string &name,
                                    const std::vector<CMPIUint8> &values)
{
    return SetNumbers(broker, inst, name, values, CMPI_uint8);
}

CMPIStatus CMPICIMInst::setProperty(const CMPIBroker *broker, CMPIInstance *inst, const std::string &name,
                                    const std::vector<CMPIUint16> &values)
{
    return SetNumbers(broker, inst, name, values, CMPI_uint16);
}

CMPIStatus CMPICIMInst::setProperty(const CMPIBroker *broker, CMPIInstance *inst, const std::string &name,
                                    const std::vector<CMPIUint32> &values)
{
    return SetNumbers(broker, inst, name, values, CMPI_uint32);
}

CMPIStatus CMPICIMInst::setProperty(const CMPIBroker *broker, CMPIInstance *inst, const std::string &name,
                                    const std::vector<std::string> &values)
{
    return SetArray(broker, inst, name, values, CMPI_string, [](CMPIArray *a, CMPICount i, const std::string &s) {
        return CMSetArrayElementAt(a, i, s.c_str(), CMPI_chars);
    });
}

CMPIStatus CMPICIMInst::setKeyProperty(CMPIObjectPath *op, const std::string &name, CMPIUint8 value)
{
    return AddKey(op, name, &value, CMPI_uint8);
}

CMPIStatus CMPICIMInst::setKeyProperty(CMPIObjectPath *op, const std::string &name, CMPIUint16 value)
{
    return AddKey(op, name, &value, CMPI_uint16);
}

CMPIStatus CMPICIMInst::setKeyProperty(CMPIObjectPath *op, const std::string &name, CMPIUint32 value)
{
    return AddKey(op, name, &value, CMPI_uint32);
}

CMPIStatus CMPICIMInst::setKeyProperty(CMPIObjectPath *op, const std::string &name, CMPIUint64 value)
{
    return AddKey(op, name, &value, CMPI_uint64);
}

CMPIStatus CMPICIMInst::setKeyProperty(CMPIObjectPath *op, const std::string &name, const std::string &value)
{
    return AddKey(op, name, value.c_str(), CMPI_chars);
}

CMPIStatus CMPICIMInst::setKeyProperty(CMPIObjectPath *op, const std::string &name, const CMPIObjectPath *value)
{
    if (value == nullptr)
        return Status(CMPI_RC_ERR_INVALID_PARAMETER);
    return AddKey(op, name, &value, CMPI_ref);
}

int CMPICIMInst::getHostName(std::string &name)
{
    char buf[65] = {};
    const int rc = gethostname(buf, sizeof buf - 1);
    if (rc != 0 || buf[0] == '\0') {
        name = "systemname";
        return rc != 0 ? rc : -1;
    }
    name = buf;
    return rc;
}
