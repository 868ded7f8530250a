// TPciDevInfo: the host's PCI functions as the kernel lists them in "/proc/bus/pci", named from
// the host's PCI name tables and tied to the system slots the SMBIOS table describes.
#ifndef QELVO_SLOTSCAN_PCIDEVINFO_H
#define QELVO_SLOTSCAN_PCIDEVINFO_H

#include <cstdint>
#include <string>
#include <vector>

#include "pcinames.h"
#include "smbios.h"

// Base of the provider's object classes.
class TPci {
public:
    virtual ~TPci() = default;
};

constexpr int kPciBars = 6;
constexpr uint8_t kPciClassBridge = 6;
constexpr size_t kConfigHeaderSize = 64;   // the part of a configuration header the scan reads
constexpr int kDevicesFields = 17;         // address, ids, irq, 7 starts, 7 sizes

// One line of the kernel's "/proc/bus/pci/devices": up to kDevicesFields hexadecimal fields
// (a line ends at its terminating zero or a line feed). The number of fields parsed.
int ParsePciDevicesLine(const char *line, unsigned long *fields);

// One PCI function.
struct sPciDevices {
    uint8_t bus = 0;
    uint8_t device = 0;
    uint8_t function = 0;
    uint16_t vendorID = 0;
    uint16_t deviceID = 0;
    uint16_t subsystemID = 0;
    uint16_t subsystemVendorID = 0;   // 2 when the configuration header could not be read
    uint16_t irq = 0;
    uint32_t memAddress[kPciBars] = {};  // memory base address per base address register
    uint16_t ioAddress[kPciBars] = {};   // I/O port base per base address register
    uint32_t memLength[kPciBars] = {};   // memory region size per base address register
    std::string deviceName = "descrip";
    std::string className = "classname";
    std::string vendorName = "vendor";
    std::string classDescription;
    uint8_t classCode = 0;
    uint8_t subclass = 0;
    uint8_t baseClass = 0;
    uint8_t revision = 0;
    // The Number (SMBIOS slot ID) of the system slot the function lies behind; 0 when it lies
    // behind no known slot (on the board).
    uint16_t uiNumber = 0;
    // The Number of the system slot the function is paired with: where the table ties slots to
    // buses, the slot it lies behind (uiNumber); where it cannot (retrieval type 0), the slot
    // whose Number is the function's device number. 0: no slot.
    uint16_t slotNumber = 0;
};

// The buses one slot covers.
struct SlotBusCollection {
    uint16_t tag = 0;
    uint16_t slotID = 0;
    uint8_t primaryBus = 0;
    uint8_t secondaryBus = 0;
    uint8_t subordinateBus = 0;
};

class TPciDevInfo : public TPci {
public:
    // Scans at once. className selects the working list: "QelvoSG_PCIDevice" and
    // "QelvoSG_DeviceInSlot" the devices, "QelvoSG_PCIBridge" the bridges, anything else none.
    TPciDevInfo(const char *className, Smbios *smbios);

    void ScanPciDevices();
    // The scan proper; false when the devices list cannot be opened.
    bool getAltHDList();

    // The name tables, read whole; false when missing, empty or short. A scan reads a table again
    // only when its file changed since the last read in the process.
    static bool getVendDeviceDescripts(std::string &text);
    static bool getClassDescripts(std::string &text);

    // Fills `slots` with the bus range of each slot location whose configuration header can be
    // read. Always 0.
    static int readPCIConfigForSlots(const std::vector<SlotLocation> &locations,
                                     std::vector<SlotBusCollection> &slots);
    // The bus range of a slot location from its configuration header (kConfigHeaderSize bytes);
    // false when the header names no function (vendor 0 or 0xFFFF).
    static bool SlotBusOfHeader(const SlotLocation &loc, const unsigned char *cfg, SlotBusCollection *rec);
    // What a configuration header (kConfigHeaderSize bytes) gives a function: class, revision,
    // subsystem, class text and base addresses; `fields` are its devices line's (region sizes).
    static void DecodeConfig(sPciDevices &dev, const unsigned char *cfg, const unsigned long *fields, int nfields,
                             const PciClassTable &classes);
    // The tag of the first slot covering bus, or -1.
    static int correlateDeviceAndSlot(uint8_t bus, const std::vector<SlotBusCollection> &slots);
    // The first slot covering bus, or null.
    static const SlotBusCollection *FindSlotOfBus(uint8_t bus, const std::vector<SlotBusCollection> &slots);

    // The slotNumber of the function, or 0 when it is not listed.
    uint16_t GetSlotNumberFromDevice(uint8_t bus, uint8_t device, uint8_t function) const;
    // The function, or null.
    const sPciDevices *FindDevice(uint8_t bus, uint8_t device, uint8_t function) const;

    // "Ethernet controller: VendorA DeviceB (rev 00)".
    static std::string GetDeviceDescription(const sPciDevices &dev);
    static std::string FormatToString(unsigned long value);

    // The slot facts every scan in the process shares, filled by the first construction (before
    // it they read as none).
    static int SlotIDRetrievalType();
    static std::vector<SlotBusCollection> SlotBuses();

    std::vector<sPciDevices> pciDevices;   // the working list
    std::vector<sPciDevices> deviceList;   // functions whose base class is not 6
    std::vector<sPciDevices> bridgeList;   // functions of base class 6
    std::string className;
    Smbios *smbios = nullptr;

private:
    void EnsureSlotInfo();
    // Reads the configuration header and fills the fields it gives.
    static void ReadConfig(sPciDevices &dev, const unsigned long *fields, int nfields,
                           const PciClassTable &classes);
};

// The fixed paths the scan reads.
extern const char *const kProcBusPci;
extern const char *const kPciVendorTablePath;
extern const char *const kPciClassTablePath;

#endif  // QELVO_SLOTSCAN_PCIDEVINFO_H
