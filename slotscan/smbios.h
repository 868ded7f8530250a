// The SMBIOS table as the PCI inventory provider sees it: system-board records (type 2),
// system-slot records (type 9), and the slot locations that tie slots to PCI buses.
//
// The table is not read from the host: the controller keeps a copy of it as the file
// "smbios-table" in its data store, which is read over IPMI. The image is the 31-byte SMBIOS 2.x
// entry point followed by the structure table; it is walked with the shared structure walk.
#ifndef QELVO_SLOTSCAN_SMBIOS_H
#define QELVO_SLOTSCAN_SMBIOS_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// One type 2 structure (baseboard): the strings its formatted area names for the four fields.
struct tableType2 {
    std::string manufacturer;
    std::string product;
    std::string version;
    std::string serialNumber;
};

// One type 9 structure (system slot).
struct tableType9 {
    uint16_t slotID = 0;
    uint16_t currentUsage = 0;
    uint8_t slotLength = 0;
    uint8_t slotType = 0;
    uint8_t characteristics1 = 0;
    uint8_t characteristics2 = 0;
    uint16_t dataBusWidth = 0;
    std::string designation;
};

// The formatted area of a type 9 structure as laid in the table (SMBIOS 2.6 length, 0x11).
// Structures of older tables are shorter; the fields they lack read as zero.
struct __attribute__((packed)) DMIType9 {
    uint8_t type;
    uint8_t length;
    uint16_t handle;
    uint8_t designation;        // string number
    uint8_t slotType;           // 0x05
    uint8_t dataBusWidth;       // 0x06
    uint8_t currentUsage;       // 0x07
    uint8_t slotLength;         // 0x08
    uint16_t slotID;            // 0x09
    uint8_t characteristics1;   // 0x0B
    uint8_t characteristics2;   // 0x0C
    uint16_t segmentGroup;      // 0x0D, SMBIOS 2.6
    uint8_t busNumber;          // 0x0F
    uint8_t deviceFunction;     // 0x10: device in bits 7-3, function in bits 2-0
};
static_assert(sizeof(DMIType9) == 0x11, "type 9 formatted area of SMBIOS 2.6");

// Where a slot sits on the PCI side.
struct SlotLocation {
    uint16_t tag = 0;           // ordinal of the slot's record, from 1
    uint16_t slotID = 0;
    uint16_t segGroupNum = 0;
    uint8_t busNum = 0;
    uint8_t deviceNum = 0;
    uint8_t FunctionNum = 0;
};

// How slot identities can be tied to PCI buses.
enum SlotIDRetrieval {
    kSlotIDNone = 0,          // they cannot
    kSlotIDFromOemStrings = 1, // "$T9" OEM strings (type 11) of an SMBIOS 2.5 table
    kSlotIDFromType9 = 2,      // the bus fields of type 9 structures (SMBIOS 2.6 and later)
};

class Smbios {
public:
    // Fetches the table image into `image`; 0 on success.
    using TableSource = std::function<int(std::vector<unsigned char> &image)>;

    // Reads the controller's "smbios-table" (never fails outwardly: after a failed fetch both
    // lists are empty).
    Smbios();
    // The same over another source of the table image.
    explicit Smbios(TableSource source);
    virtual ~Smbios() = default;

    // Appends the board record of the type 2 structure at addr (inside an image ending at end).
    void DumpBoardInfo(const unsigned char *addr, const unsigned char *end);
    // Appends the slot record of a type 9 structure: `slot` holds its formatted area (fields
    // beyond the structure's length zero), addr is the structure in the image. The designation
    // is the string the structure names, else "System Slot <slot ID>".
    void DumpSlotInfo(const DMIType9 &slot, const unsigned char *addr, const unsigned char *end);

    // Fetches the table again and decides the retrieval type (also kept in the object).
    int GetSlotIDRetrievalType();
    // Fetches the table again and appends the slot locations of the kept retrieval type; records
    // on bus 0 are dropped. 0 when the table was read, -1 when the fetch failed.
    int readPCISlotLocation(std::vector<SlotLocation> &locations);

    int slotIDRetrievalType() const { return retrievalType_.load(); }

    // Filled once at construction, read directly by the slot, board and device objects.
    std::vector<tableType2> table2;
    std::vector<tableType9> table9;

private:
    int Fetch(std::vector<unsigned char> &image);

    TableSource source_;
    std::atomic<int> retrievalType_{kSlotIDNone};
};

// The data store fetch: "smbios-table" into a 65,536-byte buffer; a larger table is refused.
// 0 on success.
int ReadSmbiosTableFromController(std::vector<unsigned char> &image);

// The size of the buffer the table is fetched into.
constexpr size_t kSmbiosBufferSize = 65536;

#endif  // QELVO_SLOTSCAN_SMBIOS_H
