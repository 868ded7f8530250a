// PCI function paths and instances, and path comparison.
#include <cmpimacs.h>
#include <strings.h>

#include <cstring>

#include "inventory.h"
#include "pciprovider.h"
#include "providerutils.h"

namespace {

// Reads "<prefix><decimal>" at *p, advancing past it; the number must not exceed max.
bool Take(const char **p, const char *prefix, unsigned max, unsigned *out)
{
    const size_t n = std::strlen(prefix);
    if (std::strncmp(*p, prefix, n) != 0)
        return false;
    const char *s = *p + n;
    unsigned v = 0;
    int digits = 0;
    for (; *s >= '0' && *s <= '9' && digits < 4; ++s, ++digits)
        v = v * 10 + static_cast<unsigned>(*s - '0');
    if (digits == 0 || (*s >= '0' && *s <= '9') || v > max)
        return false;
    *out = v;
    *p = s;
    return true;
}

bool IsNameKey(const char *name)
{
    return strcasecmp(name, "CreationClassName") == 0 || strcasecmp(name, "SystemCreationClassName") == 0 ||
           strcasecmp(name, "SystemName") == 0;
}

const char *Chars(const CMPIString *s) { return s != nullptr ? CMGetCharsPtr(s, nullptr) : nullptr; }

bool ValuesMatch(const char *name, const CMPIData &a, const CMPIData &b)
{
    if ((a.state & CMPI_nullValue) || (b.state & CMPI_nullValue))
        return false;
    if (a.type == CMPI_ref && b.type == CMPI_ref)
        return KeysMatch(a.value.ref, b.value.ref);
    if ((a.type == CMPI_string || a.type == CMPI_chars) && (b.type == CMPI_string || b.type == CMPI_chars)) {
        const char *x = a.type == CMPI_string ? Chars(a.value.string) : a.value.chars;
        const char *y = b.type == CMPI_string ? Chars(b.value.string) : b.value.chars;
        if (x == nullptr || y == nullptr)
            return false;
        return IsNameKey(name) ? strcasecmp(x, y) == 0 : std::strcmp(x, y) == 0;
    }
    if (a.type != b.type)
        return false;
    switch (a.type) {
    case CMPI_uint8:
        return a.value.uint8 == b.value.uint8;
    case CMPI_uint16:
        return a.value.uint16 == b.value.uint16;
    case CMPI_uint32:
        return a.value.uint32 == b.value.uint32;
    case CMPI_uint64:
        return a.value.uint64 == b.value.uint64;
    default:
        return false;
    }
}

}  // namespace

std::string FunctionAddress(const sPciDevices &dev)
{
    return "PCI Bus " + TPciDevInfo::FormatToString(dev.bus) + ", device " + TPciDevInfo::FormatToString(dev.device) +
           ", function " + TPciDevInfo::FormatToString(dev.function);
}

bool ParseFunctionAddress(const char *text, uint8_t *bus, uint8_t *device, uint8_t *function)
{
    if (text == nullptr)
        return false;
    unsigned b = 0, d = 0, f = 0;
    const char *p = text;
    if (!Take(&p, "PCI Bus ", 255, &b) || !Take(&p, ", device ", 31, &d) || !Take(&p, ", function ", 7, &f) ||
        *p != '\0')
        return false;
    *bus = static_cast<uint8_t>(b);
    *device = static_cast<uint8_t>(d);
    *function = static_cast<uint8_t>(f);
    return true;
}

bool IsBridge(const sPciDevices &dev) { return dev.baseClass == kPciClassBridge; }

const char *FunctionClass(const sPciDevices &dev) { return IsBridge(dev) ? CLASS_PCIBRIDGE : CLASS_PCIDEVICE; }

const sPciDevices *FunctionOfPath(const TPciDevInfo &scan, const CMPIObjectPath *op)
{
    if (op == nullptr)
        return nullptr;
    CMPIStatus rc = {CMPI_RC_OK, nullptr};
    const CMPIData key = CMGetKey(op, "DeviceID", &rc);
    if (rc.rc != CMPI_RC_OK || (key.state & CMPI_nullValue) || key.type != CMPI_string)
        return nullptr;
    uint8_t bus = 0, device = 0, function = 0;
    if (!ParseFunctionAddress(Chars(key.value.string), &bus, &device, &function))
        return nullptr;
    return scan.FindDevice(bus, device, function);
}

bool PublishedUINumber(uint16_t uiNumber, CMPIUint8 *value)
{
    if (uiNumber > 0xFF)
        return false;
    *value = static_cast<CMPIUint8>(uiNumber);
    return true;
}

CMPIObjectPath *FunctionPath(const CMPIBroker *broker, const sPciDevices &dev)
{
    CMPICIMInst cim;
    const std::string cls = FunctionClass(dev);
    CMPIObjectPath *op = cim.createObjectPath(broker, kInventoryNamespace, cls);
    if (op == nullptr)
        return nullptr;
    std::string host;
    cim.getHostName(host);
    if (cim.setKeyProperty(op, "SystemCreationClassName", std::string(kSystemCreationClassName)).rc != CMPI_RC_OK ||
        cim.setKeyProperty(op, "SystemName", host).rc != CMPI_RC_OK ||
        cim.setKeyProperty(op, "CreationClassName", cls).rc != CMPI_RC_OK ||
        cim.setKeyProperty(op, "DeviceID", FunctionAddress(dev)).rc != CMPI_RC_OK)
        return nullptr;
    return op;
}

CMPIInstance *FunctionInstance(const CMPIBroker *broker, const sPciDevices &dev)
{
    CMPICIMInst cim;
    CMPIInstance *inst = cim.createCIMInstance(broker, FunctionPath(broker, dev));
    if (inst == nullptr)
        return nullptr;
    std::string host;
    cim.getHostName(host);
    const std::string address = FunctionAddress(dev);
    bool ok = cim.setProperty(inst, "CreationClassName", std::string(FunctionClass(dev))).rc == CMPI_RC_OK;
    ok = ok && cim.setProperty(inst, "VendorID", static_cast<CMPIUint16>(dev.vendorID)).rc == CMPI_RC_OK;
    ok = ok && cim.setProperty(inst, "PciDeviceID", static_cast<CMPIUint16>(dev.deviceID)).rc == CMPI_RC_OK;
    ok = ok && cim.setProperty(inst, "SystemCreationClassName", std::string(kSystemCreationClassName)).rc == CMPI_RC_OK;
    ok = ok && cim.setProperty(inst, "SystemName", host).rc == CMPI_RC_OK;
    CMPIUint8 ui = 0;
    if (PublishedUINumber(dev.uiNumber, &ui))
        ok = ok && cim.setProperty(inst, "UINumber", ui).rc == CMPI_RC_OK;
    ok = ok && cim.setProperty(inst, "ClassCode", static_cast<CMPIUint8>(dev.classCode)).rc == CMPI_RC_OK;
    ok = ok && cim.setProperty(inst, "Subclass", static_cast<CMPIUint8>(dev.subclass)).rc == CMPI_RC_OK;
    ok = ok && cim.setProperty(inst, "Revision", static_cast<CMPIUint8>(dev.revision)).rc == CMPI_RC_OK;
    ok = ok && cim.setProperty(inst, "Description", TPciDevInfo::GetDeviceDescription(dev)).rc == CMPI_RC_OK;
    ok = ok && cim.setProperty(inst, "Location", address).rc == CMPI_RC_OK;
    ok = ok && cim.setProperty(inst, "DeviceID", address).rc == CMPI_RC_OK;
    if (!ok)
        return nullptr;
    if (IsBridge(dev))
        return inst;

    if (dev.irq != 0 && cim.setProperty(inst, "IRQ", static_cast<CMPIUint16>(dev.irq)).rc != CMPI_RC_OK)
        return nullptr;
    ok = cim.setProperty(inst, "SubsystemVendorID", static_cast<CMPIUint16>(dev.subsystemVendorID)).rc == CMPI_RC_OK;
    ok = ok && cim.setProperty(inst, "SubsystemID", static_cast<CMPIUint16>(dev.subsystemID)).rc == CMPI_RC_OK;
    std::vector<CMPIUint32> mem;
    std::vector<CMPIUint16> io;
    for (int i = 0; i < kPciBars; ++i) {
        if (dev.memAddress[i] != 0)
            mem.push_back(dev.memAddress[i]);
        if (dev.ioAddress[i] != 0)
            io.push_back(dev.ioAddress[i]);
    }
    ok = ok && cim.setProperty(broker, inst, "MEMAddress", mem).rc == CMPI_RC_OK;
    ok = ok && cim.setProperty(broker, inst, "IOAddress", io).rc == CMPI_RC_OK;
    return ok ? inst : nullptr;
}

void ReturnFunction(const Request &req, const sPciDevices &dev)
{
    CMPICIMInst cim;
    if (req.namesOnly)
        cim.returnObjectPath(req.result, FunctionPath(req.broker, dev));
    else
        cim.returnInstance(req.result, FunctionInstance(req.broker, dev));
}

bool KeysMatch(const CMPIObjectPath *requested, const CMPIObjectPath *built)
{
    if (requested == nullptr || built == nullptr)
        return false;
    CMPIStatus rc = {CMPI_RC_OK, nullptr};
    const CMPICount count = CMGetKeyCount(built, &rc);
    if (rc.rc != CMPI_RC_OK || count == 0 || CMGetKeyCount(requested, nullptr) != count)
        return false;
    for (CMPICount i = 0; i < count; ++i) {
        CMPIString *name = nullptr;
        const CMPIData want = CMGetKeyAt(built, i, &name, &rc);
        const char *key = Chars(name);
        if (rc.rc != CMPI_RC_OK || key == nullptr)
            return false;
        CMPIStatus got_rc = {CMPI_RC_OK, nullptr};
        const CMPIData got = CMGetKey(requested, key, &got_rc);
        if (got_rc.rc != CMPI_RC_OK || !ValuesMatch(key, got, want))
            return false;
    }
    return true;
}
