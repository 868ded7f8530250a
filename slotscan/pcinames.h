// The host's PCI name tables, each read in one pass (time linear in its size). The scan keeps a
// parsed table while its file stays unchanged (see pcidevinfo.cpp).
//
// "/etc/vmware/pci.xml" names vendors and devices: a vendor is introduced by the attribute
// text vendor id="xxxx" and a device by device id="xxxx" (four lower-case hexadecimal digits),
// each followed by its name between "<name>" and "</name>". A device belongs to the vendor
// introduced last before it.
//
// "/etc/vmware/pci.classlist" names classes: "C xx  Name" lines for base classes, each followed
// by its subclass lines "\tyy  Name" (a code, two separating characters, the name). Lines
// indented twice (programming interfaces) and anything else are ignored.
#ifndef QELVO_SLOTSCAN_PCINAMES_H
#define QELVO_SLOTSCAN_PCINAMES_H

#include <cstdint>
#include <map>
#include <string>

class PciVendorTable {
public:
    PciVendorTable() = default;
    explicit PciVendorTable(const std::string &text);

    bool empty() const { return vendors_.empty(); }
    // The vendor's name, or fallback. The first entry of a vendor listed twice wins.
    std::string Vendor(uint16_t vendor, const std::string &fallback) const;
    // The name of the vendor's device, or fallback. Devices are looked up within their own
    // vendor's entries: the same device ID under another vendor is another device.
    std::string Device(uint16_t vendor, uint16_t device, const std::string &fallback) const;

private:
    struct Entry {
        bool named = false;
        std::string name;
        std::map<uint16_t, std::pair<bool, std::string>> devices;  // id -> (named, name)
    };
    std::map<uint16_t, Entry> vendors_;
};

class PciClassTable {
public:
    PciClassTable() = default;
    explicit PciClassTable(const std::string &text);

    bool empty() const { return classes_.empty(); }
    // The subclass's name under its base class; the base class's own name when the class lists
    // no such subclass; fallback when the base class is unknown.
    std::string Class(uint8_t base, uint8_t sub, const std::string &fallback) const;

private:
    struct Entry {
        std::string name;
        std::map<uint8_t, std::string> subclasses;
    };
    std::map<uint8_t, Entry> classes_;
};

#endif  // QELVO_SLOTSCAN_PCINAMES_H
