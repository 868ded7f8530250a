#include "pcidevinfo.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "slotscan_log.h"

const char *const kProcBusPci = "/proc/bus/pci";
const char *const kPciVendorTablePath = "/etc/vmware/pci.xml";
const char *const kPciClassTablePath = "/etc/vmware/pci.classlist";

namespace {

constexpr size_t kDevicesLineMax = 2048;       // a line of up to 2,047 characters
constexpr off_t kNameTableMax = 64L << 20;     // far beyond any real name table

// The slot facts of the process, filled once by the first scan.
struct SlotInfo {
    std::mutex mu;
    bool bSlotInfoRetrieval = false;
    int slotIDRetrievalType = kSlotIDNone;
    std::vector<SlotLocation> slotLocationVect;
    std::vector<SlotBusCollection> slotBusCollectionVect;
};

SlotInfo &State()
{
    static SlotInfo info;
    return info;
}

uint16_t Le16(const unsigned char *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Le32(const unsigned char *p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

// Reads up to size bytes; the count read, or -1.
ssize_t ReadFully(int fd, unsigned char *buf, size_t size)
{
    size_t got = 0;
    while (got < size) {
        const ssize_t n = read(fd, buf + got, size - got);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

// Opens and reads a configuration header; the bytes read, or -1 when it does not open.
ssize_t ReadConfigHeader(const char *path, unsigned char *buf, size_t size)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    ssize_t n = ReadFully(fd, buf, size);
    close(fd);
    return n < 0 ? 0 : n;
}

// A name table read whole: missing, empty or short counts as no table. *read_stat, when given,
// receives the status of the file that was read.
bool ReadNameTable(const char *path, const char *who, std::string &text, struct stat *read_stat = nullptr)
{
    text.clear();
    slog("%s in the routine", who);
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    slog("%s was able to open the filename [%s]", who, path);
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size <= 0 || st.st_size > kNameTableMax) {
        close(fd);
        return false;
    }
    if (read_stat != nullptr)
        *read_stat = st;
    slog("%s was able to open the filename [%s] size [%d]", who, path, static_cast<int>(st.st_size));
    std::string buf(static_cast<size_t>(st.st_size), '\0');
    slog("%s about to read", who);
    const ssize_t n = ReadFully(fd, reinterpret_cast<unsigned char *>(&buf[0]), buf.size());
    close(fd);
    slog("%s read size %d compares to actual %d", who, static_cast<int>(n), static_cast<int>(st.st_size));
    if (n != st.st_size)
        return false;
    text.swap(buf);
    return true;
}

bool SameFile(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// A name table as parsed, kept for the process while its file stays the same (the same file,
// size, modification and change times): a scan parses it again only after it changed.
template <class Table>
class ParsedTable {
public:
    ParsedTable(const char *path, const char *who) : path_(path), who_(who) {}

    std::shared_ptr<const Table> Get()
    {
        std::lock_guard<std::mutex> hold(lock_);
        struct stat now;
        if (table_ != nullptr && stat(path_, &now) == 0 && SameFile(now, read_)) {
            slog("%s keeps the table read from [%s]", who_, path_);
            return table_;
        }
        table_.reset();
        std::string text;
        struct stat read_now;
        if (!ReadNameTable(path_, who_, text, &read_now))
            return std::make_shared<const Table>();  // none: the defaults stand
        table_ = std::make_shared<const Table>(text);
        read_ = read_now;
        return table_;
    }

private:
    const char *path_;
    const char *who_;
    std::mutex lock_;
    std::shared_ptr<const Table> table_;
    struct stat read_ = {};
};

ParsedTable<PciVendorTable> &VendorTable()
{
    static ParsedTable<PciVendorTable> table(kPciVendorTablePath, "getVendDeviceDescripts");
    return table;
}

ParsedTable<PciClassTable> &ClassTable()
{
    static ParsedTable<PciClassTable> table(kPciClassTablePath, "getClassDescripts");
    return table;
}

std::string ConfigPath(unsigned bus, unsigned device, unsigned function)
{
    char path[64];
    std::snprintf(path, sizeof path, "%s/%02x/%02x.%x", kProcBusPci, bus & 0xff, device & 0x1f, function & 0x7);
    return path;
}

}  // namespace

int ParsePciDevicesLine(const char *line, unsigned long *fields)
{
    int n = 0;
    const char *p = line;
    while (n < kDevicesFields) {
        while (*p == ' ' || *p == '\t')
            ++p;
        if (*p == '\0' || *p == '\n')
            break;
        char *e = nullptr;
        errno = 0;
        const unsigned long v = std::strtoul(p, &e, 16);
        if (e == p || errno != 0)
            break;
        fields[n++] = v;
        p = e;
    }
    return n;
}

namespace {

// Reads one line of at most kDevicesLineMax - 1 characters; the rest of a longer line is
// skipped so that it never passes for a line of its own. False at end of file.
bool ReadDevicesLine(FILE *f, char *line)
{
    if (std::fgets(line, kDevicesLineMax, f) == nullptr)
        return false;
    if (std::strchr(line, '\n') == nullptr) {
        int c;
        while ((c = std::getc(f)) != EOF && c != '\n') {
        }
    }
    return true;
}

}  // namespace

TPciDevInfo::TPciDevInfo(const char *name, Smbios *smbios_ptr)
{
    slog("TPciDevInfo::TPciDevInfo - in the routine");
    pciDevices.clear();
    deviceList.clear();
    bridgeList.clear();
    className = name != nullptr ? name : "";
    smbios = smbios_ptr;
    slog("TPciDevInfo::TPciDevInfo - assigning smbios ptr");
    slog("TPciDevInfo::TPciDevInfo - className:%s", className.c_str());
    EnsureSlotInfo();
    slog("TPciDevInfo::TPciDevInfo - scanning devices");
    ScanPciDevices();
    slog("TPciDevInfo::TPciDevInfo - back from scanning devices");
    if (strcasecmp(className.c_str(), "QelvoSG_PCIDevice") == 0 ||
        strcasecmp(className.c_str(), "QelvoSG_DeviceInSlot") == 0)
        pciDevices = deviceList;
    else if (strcasecmp(className.c_str(), "QelvoSG_PCIBridge") == 0)
        pciDevices = bridgeList;
    slog("TPciDevInfo::TPciDevInfo - exiting the routine");
}

// The first construction in the process reads the slot facts; concurrent first constructions
// wait for it, so no scan sees the flag set before the lists are filled.
void TPciDevInfo::EnsureSlotInfo()
{
    SlotInfo &info = State();
    std::lock_guard<std::mutex> lock(info.mu);
    if (info.bSlotInfoRetrieval)
        return;
    info.bSlotInfoRetrieval = true;
    if (smbios == nullptr)
        return;
    info.slotIDRetrievalType = smbios->GetSlotIDRetrievalType();
    if (info.slotIDRetrievalType != kSlotIDNone && smbios->readPCISlotLocation(info.slotLocationVect) == 0)
        readPCIConfigForSlots(info.slotLocationVect, info.slotBusCollectionVect);
}

int TPciDevInfo::SlotIDRetrievalType()
{
    SlotInfo &info = State();
    std::lock_guard<std::mutex> lock(info.mu);
    return info.slotIDRetrievalType;
}

std::vector<SlotBusCollection> TPciDevInfo::SlotBuses()
{
    SlotInfo &info = State();
    std::lock_guard<std::mutex> lock(info.mu);
    return info.slotBusCollectionVect;
}

void TPciDevInfo::ScanPciDevices()
{
    pciDevices.clear();
    deviceList.clear();
    bridgeList.clear();
    getAltHDList();
}

bool TPciDevInfo::getVendDeviceDescripts(std::string &text)
{
    return ReadNameTable(kPciVendorTablePath, "getVendDeviceDescripts", text);
}

bool TPciDevInfo::getClassDescripts(std::string &text)
{
    return ReadNameTable(kPciClassTablePath, "getClassDescripts", text);
}

int TPciDevInfo::readPCIConfigForSlots(const std::vector<SlotLocation> &locations,
                                       std::vector<SlotBusCollection> &slots)
{
    slog("Entering readPCIConfigForSlots");
    for (const SlotLocation &loc : locations) {
        char debug[128];
        std::snprintf(debug, sizeof debug, "segNum = %x, bus = %x, dev = %x, func = %x", loc.segGroupNum, loc.busNum,
                      loc.deviceNum, loc.FunctionNum);
        slog("debugBuffer:%s", debug);
        const std::string path = ConfigPath(loc.busNum, loc.deviceNum, loc.FunctionNum);
        slog("configFilePath:%s", path.c_str());
        unsigned char cfg[kConfigHeaderSize];
        const ssize_t n = ReadConfigHeader(path.c_str(), cfg, sizeof cfg);
        if (n < 0) {
            slog("no PCI config file %s, read failed", path.c_str());
            continue;
        }
        if (static_cast<size_t>(n) < sizeof cfg) {
            slog("read PCI config file %s failed", path.c_str());
            continue;
        }
        slog("read PCI config file %s successful", path.c_str());
        SlotBusCollection rec;
        if (!SlotBusOfHeader(loc, cfg, &rec))
            continue;
        slots.push_back(rec);
        slog("slotBusCollection.primaryBus:%d,slotBusCollection.secondaryBus:%d,slotBusCollection.subordinateBus:%d",
             rec.primaryBus, rec.secondaryBus, rec.subordinateBus);
    }
    slog("Exiting readPCIConfigForSlots");
    return 0;
}

bool TPciDevInfo::SlotBusOfHeader(const SlotLocation &loc, const unsigned char *cfg, SlotBusCollection *rec)
{
    const uint16_t vendor = Le16(cfg);
    if (vendor == 0 || vendor == 0xFFFF)
        return false;
    *rec = SlotBusCollection();
    rec->tag = loc.tag;
    rec->slotID = loc.slotID;
    // A PCI-to-PCI bridge (header layout 1, whatever its multi-function bit) covers its
    // secondary to subordinate buses; anything else only its own bus.
    if ((cfg[0x0E] & 0x7F) == 1) {
        rec->primaryBus = cfg[0x18];
        rec->secondaryBus = cfg[0x19];
        rec->subordinateBus = cfg[0x1A];
    } else {
        rec->primaryBus = rec->secondaryBus = rec->subordinateBus = loc.busNum;
    }
    return true;
}

const SlotBusCollection *TPciDevInfo::FindSlotOfBus(uint8_t bus, const std::vector<SlotBusCollection> &slots)
{
    for (const SlotBusCollection &s : slots) {
        if (bus == s.primaryBus || (s.secondaryBus <= bus && bus <= s.subordinateBus)) {
            slog("found match slot bus:%d, tag:%d", bus, s.tag);
            return &s;
        }
        slog("not match slot");
    }
    return nullptr;
}

int TPciDevInfo::correlateDeviceAndSlot(uint8_t bus, const std::vector<SlotBusCollection> &slots)
{
    slog("Entering correlateDeviceAndSlot");
    const SlotBusCollection *s = FindSlotOfBus(bus, slots);
    slog("Exiting correlateDeviceAndSlot");
    return s != nullptr ? s->tag : -1;
}

void TPciDevInfo::ReadConfig(sPciDevices &dev, const unsigned long *fields, int nfields,
                             const PciClassTable &classes)
{
    const std::string path = ConfigPath(dev.bus, dev.device, dev.function);
    unsigned char cfg[kConfigHeaderSize];
    const ssize_t n = ReadConfigHeader(path.c_str(), cfg, sizeof cfg);
    if (n < static_cast<ssize_t>(sizeof cfg)) {
        slog("was not able to get the configuration data");
        dev.subsystemVendorID = 2;
        dev.classDescription = "PIC:";
        return;
    }
    slog("was able to get the configuration data");
    DecodeConfig(dev, cfg, fields, nfields, classes);
}

void TPciDevInfo::DecodeConfig(sPciDevices &dev, const unsigned char *cfg, const unsigned long *fields, int nfields,
                               const PciClassTable &classes)
{
    slog("bus %x dev %x func %x slot %x vendor %x new vendor %x hw class %x", dev.bus, dev.device, dev.function,
         dev.uiNumber, dev.vendorID, cfg[0], cfg[0x0B]);
    dev.classCode = cfg[0x0B];
    dev.subclass = cfg[0x0A];
    dev.baseClass = cfg[0x0B];
    dev.revision = cfg[0x08];
    dev.subsystemID = Le16(cfg + 0x2E);
    dev.subsystemVendorID = Le16(cfg + 0x2C);
    dev.classDescription =
        classes.Class(dev.baseClass, dev.subclass, dev.baseClass == kPciClassBridge ? "PCI Bridge:" : "PIC:");

    // Base address registers by header layout: six for a device, two for a PCI-to-PCI bridge,
    // one for a CardBus bridge. A 64-bit memory register takes the next register as its high
    // half. Addresses that do not fit the published 32-bit (memory) or 16-bit (I/O) values
    // are left out.
    const int layout = cfg[0x0E] & 0x7F;
    const int bars = layout == 0 ? 6 : layout == 1 ? 2 : layout == 2 ? 1 : 0;
    for (int i = 0; i < bars; ++i) {
        const unsigned char *b = cfg + 0x10 + 4 * i;
        const unsigned long size = 10 + i < nfields ? fields[10 + i] : 0;
        slog("reading base addr [%x][%x][%x][%x]", b[0], b[1], b[2], b[3]);
        slog("reading size [%lx]", size);
        slog("Reading the size array index [%d] size [%lx]", i, size);
        const uint32_t reg = Le32(b);
        if (reg & 0x1) {
            const uint32_t port = reg & ~0x3u;
            if (port != 0 && port <= 0xFFFF) {
                dev.ioAddress[i] = static_cast<uint16_t>(port);
                slog("found IO address and it is [%x] and length is [%d]", port, 0);
            }
            continue;
        }
        uint64_t address = reg & ~0xFu;
        const int slot = i;
        if (((reg >> 1) & 0x3) == 0x2 && i + 1 < bars) {  // 64-bit
            ++i;
            address |= static_cast<uint64_t>(Le32(cfg + 0x10 + 4 * i)) << 32;
        }
        if (address == 0)
            continue;
        dev.memLength[slot] = size > 0xFFFFFFFFul ? 0xFFFFFFFFu : static_cast<uint32_t>(size);
        if (address <= 0xFFFFFFFFull) {
            dev.memAddress[slot] = static_cast<uint32_t>(address);
            slog("found MEM address and it is [%x] and length is [%d]", dev.memAddress[slot],
                 static_cast<int>(dev.memLength[slot]));
        }
    }
    slog("cache line size [%x]", cfg[0x0C]);
    slog("irq line [%x]", cfg[0x3C]);
}

bool TPciDevInfo::getAltHDList()
{
    slog("TPciDevInfo::getAltHDList - in the routine");
    const std::shared_ptr<const PciVendorTable> vendor_table = VendorTable().Get();
    const std::shared_ptr<const PciClassTable> class_table = ClassTable().Get();
    const PciVendorTable &vendors = *vendor_table;
    const PciClassTable &classes = *class_table;

    const int retrieval = SlotIDRetrievalType();
    const std::vector<SlotBusCollection> slots = SlotBuses();

    char devices_path[64];
    std::snprintf(devices_path, sizeof devices_path, "%s/devices", kProcBusPci);
    FILE *f = std::fopen(devices_path, "re");
    if (f == nullptr)
        return false;

    std::vector<char> line(kDevicesLineMax);
    while (ReadDevicesLine(f, line.data())) {
        unsigned long fields[kDevicesFields] = {};
        const int n = ParsePciDevicesLine(line.data(), fields);
        if (n == 0)
            continue;
        slog("TPciDevInfo::getAltHDList, numitems:%d", n);
        slog("TPciDevInfo::getAltHDList, uarray[0]:%lx", fields[0]);

        sPciDevices dev;
        dev.bus = static_cast<uint8_t>(fields[0] >> 8);
        dev.device = static_cast<uint8_t>((fields[0] >> 3) & 0x1f);
        dev.function = static_cast<uint8_t>(fields[0] & 0x7);
        if (retrieval != kSlotIDNone) {
            const SlotBusCollection *s = FindSlotOfBus(dev.bus, slots);
            slog("TPciDevInfo::getAltHDList, bus:%d, slotID:%d", dev.bus, s != nullptr ? s->slotID : -1);
            if (s != nullptr)
                dev.uiNumber = s->slotID;
            dev.slotNumber = dev.uiNumber;
        } else {
            // No bus addresses in the table: slots pair with functions by device number.
            dev.slotNumber = dev.device;
        }
        slog("SCANPCIDEV - slotnum [%x] uinumber [%x]", dev.slotNumber, dev.uiNumber);
        if (n >= 2) {
            dev.vendorID = static_cast<uint16_t>(fields[1] >> 16);
            dev.deviceID = static_cast<uint16_t>(fields[1]);
        }
        if (n >= 3)
            dev.irq = static_cast<uint16_t>(fields[2]);
        dev.deviceName = vendors.Device(dev.vendorID, dev.deviceID, "descrip");
        dev.vendorName = vendors.Vendor(dev.vendorID, "vendor");
        dev.className = "classname";
        ReadConfig(dev, fields, n, classes);

        if (dev.vendorID == 0 || dev.bus == 0xFE)
            continue;
        if (dev.baseClass == kPciClassBridge)
            bridgeList.push_back(std::move(dev));
        else
            deviceList.push_back(std::move(dev));
    }
    std::fclose(f);
    slog("TPciDevInfo::getAltHDList - exiting the routine");
    return true;
}

const sPciDevices *TPciDevInfo::FindDevice(uint8_t bus, uint8_t device, uint8_t function) const
{
    for (const auto *list : {&deviceList, &bridgeList}) {
        for (const sPciDevices &d : *list) {
            if (d.bus == bus && d.device == device && d.function == function)
                return &d;
        }
    }
    return nullptr;
}

uint16_t TPciDevInfo::GetSlotNumberFromDevice(uint8_t bus, uint8_t device, uint8_t function) const
{
    const sPciDevices *d = FindDevice(bus, device, function);
    return d != nullptr ? d->slotNumber : 0;
}

std::string TPciDevInfo::GetDeviceDescription(const sPciDevices &dev)
{
    char rev[16];
    std::snprintf(rev, sizeof rev, " (rev %02x)", dev.revision);
    return dev.classDescription + ": " + dev.vendorName + " " + dev.deviceName + rev;
}

std::string TPciDevInfo::FormatToString(unsigned long value) { return std::to_string(value); }
