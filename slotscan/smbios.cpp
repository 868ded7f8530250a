#include "smbios.h"

#include <cstring>

#include "ipmi_datastore.h"
#include "slotscan_log.h"
#include "smbios_walk.h"

namespace {

constexpr uint8_t kTypeBoard = 2;
constexpr uint8_t kTypeSlot = 9;
constexpr uint8_t kTypeOemStrings = 11;
constexpr uint8_t kType9LengthWithBus = 0x11;
constexpr const char *kNotAvailable = "Not Available";
constexpr const char *kSlotOemPrefix = "$T9";

uint16_t Le16(const unsigned char *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

// The formatted area of a type 9 structure, the bytes beyond its length left zero.
DMIType9 SlotArea(const unsigned char *addr)
{
    DMIType9 slot;
    std::memset(&slot, 0, sizeof slot);
    const size_t length = addr[1] < sizeof slot ? addr[1] : sizeof slot;
    std::memcpy(&slot, addr, length);
    return slot;
}

// The first string of a structure when it starts with "$T9", else null.
const char *SlotOemString(const unsigned char *addr, const unsigned char *end)
{
    const char *s = find_string(addr, 1, end);
    if (s == nullptr || std::strncmp(s, kSlotOemPrefix, std::strlen(kSlotOemPrefix)) != 0)
        return nullptr;
    return s;
}

// The hexadecimal number of at most `digits` characters that follows `at`.
unsigned ReadHex(const char *at, int digits)
{
    unsigned value = 0;
    for (int i = 0; i < digits; ++i) {
        const char c = at[i];
        unsigned d;
        if (c >= '0' && c <= '9')
            d = static_cast<unsigned>(c - '0');
        else if (c >= 'a' && c <= 'f')
            d = static_cast<unsigned>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            d = static_cast<unsigned>(c - 'A' + 10);
        else
            break;
        value = value << 4 | d;
    }
    return value;
}

// The value after the first occurrence of `label` in s; `skip_after` rejects occurrences that
// are the tail of a longer label ("D:0x" inside "SID:0x").
unsigned LabelledHex(const char *s, const char *label, int digits, const char *longer = nullptr)
{
    const size_t label_len = std::strlen(label);
    for (const char *p = std::strstr(s, label); p != nullptr; p = std::strstr(p + 1, label)) {
        if (longer != nullptr) {
            const size_t extra = std::strlen(longer) - label_len;
            if (static_cast<size_t>(p - s) >= extra && std::strncmp(p - extra, longer, std::strlen(longer)) == 0)
                continue;
        }
        return ReadHex(p + label_len, digits);
    }
    return 0;
}

// Parses a "$T9" OEM string: "$T9 SID:0x0003 SegGrp:0x0000 B:0x0a D:0x00 F:0x0".
void ParseSlotOemString(const char *s, SlotLocation &loc)
{
    loc.slotID = static_cast<uint16_t>(LabelledHex(s, "SID:0x", 4));
    loc.segGroupNum = static_cast<uint16_t>(LabelledHex(s, "SegGrp:0x", 4));
    loc.busNum = static_cast<uint8_t>(LabelledHex(s, "B:0x", 2));
    loc.deviceNum = static_cast<uint8_t>(LabelledHex(s, "D:0x", 2, "SID:0x"));
    loc.FunctionNum = static_cast<uint8_t>(LabelledHex(s, "F:0x", 2));
}

}  // namespace

int ReadSmbiosTableFromController(std::vector<unsigned char> &image)
{
    std::vector<unsigned char> buffer(kSmbiosBufferSize);
    size_t length = 0;
    unsigned char status = 0;
    IpmiDataStore store;
    const int rc = store.ReadFile(status, "smbios-table", buffer.data(), buffer.size(), &length,
                                  IpmiDataStore::kCharacteristicsNone, IpmiDataStore::kRequestByte,
                                  IpmiDataStore::kAccessRead, false);
    if (rc != 0 || status != 0 || length > buffer.size())
        return -1;
    buffer.resize(length);
    image.swap(buffer);
    return 0;
}

Smbios::Smbios() : Smbios(ReadSmbiosTableFromController) {}

Smbios::Smbios(TableSource source) : source_(std::move(source))
{
    table2.clear();
    table9.clear();
    retrievalType_ = kSlotIDNone;
    slog("smbios::smbios in the routine");
    std::vector<unsigned char> image;
    if (Fetch(image) != 0) {
        slog("smbios::smbios in the routine");
        return;
    }
    smbios_walk(image.data(), image.size(), [this](const unsigned char *s, const unsigned char *end) {
        if (s[0] == kTypeBoard)
            DumpBoardInfo(s, end);
        else if (s[0] == kTypeSlot)
            DumpSlotInfo(SlotArea(s), s, end);
        return true;
    });
    slog("smbios::smbios exiting the routine");
}

int Smbios::Fetch(std::vector<unsigned char> &image)
{
    image.clear();
    if (!source_)
        return -1;
    try {
        return source_(image) == 0 && !image.empty() ? 0 : -1;
    } catch (...) {
        return -1;
    }
}

void Smbios::DumpBoardInfo(const unsigned char *addr, const unsigned char *end)
{
    slog("DumpBoardInfo in the routine");
    tableType2 board;
    std::string *fields[] = {&board.manufacturer, &board.product, &board.version, &board.serialNumber};
    // Bytes 4 to 7 hold the string numbers of the four fields (0: none). A structure too short
    // to hold them has its strings in field order.
    const bool numbered = addr[1] >= 8;
    for (unsigned char i = 0; i < 4; ++i) {
        const char *s = find_string(addr, numbered ? addr[4 + i] : static_cast<unsigned char>(i + 1), end);
        *fields[i] = s != nullptr ? s : kNotAvailable;
    }
    table2.push_back(std::move(board));
    slog("DumpBoardInfo exiting the routine");
}

void Smbios::DumpSlotInfo(const DMIType9 &slot, const unsigned char *addr, const unsigned char *end)
{
    slog("DumpSlotInfo in the routine");
    tableType9 rec;
    rec.slotID = slot.slotID;
    rec.currentUsage = slot.currentUsage;
    rec.slotLength = slot.slotLength;
    rec.slotType = slot.slotType;
    rec.characteristics1 = slot.characteristics1;
    rec.characteristics2 = slot.characteristics2;
    rec.dataBusWidth = slot.dataBusWidth;
    const char *name = find_string(addr, slot.designation, end);
    rec.designation = name != nullptr ? name : "System Slot " + std::to_string(rec.slotID);
    table9.push_back(std::move(rec));
    slog("DumpSlotInfo exiting the routine");
}

int Smbios::GetSlotIDRetrievalType()
{
    slog("Entering smbios::GetSlotIDRetrievalType");
    std::vector<unsigned char> image;
    SmbiosVersion version;
    if (Fetch(image) != 0 || !smbios_entry_point(image.data(), image.size(), &version)) {
        slog("smbios::GetSlotIDRetrievalType read BIOS error");
        retrievalType_ = kSlotIDNone;
        return kSlotIDNone;
    }
    slog("smbios::GetSlotIDRetrievalType, majorVersion [%d],minorVersion [%d]", version.major, version.minor);

    int result = kSlotIDNone;
    if (version.major == 2 && version.minor == 5) {
        bool has_type11 = false;
        smbios_walk(image.data(), image.size(), [&](const unsigned char *s, const unsigned char *) {
            has_type11 = s[0] == kTypeOemStrings;
            return !has_type11;
        });
        if (!has_type11) {
            slog("Exiting GetSlotIDRetrievalType, current SMBIOS version is 2.5 contains no type 11 structure");
            retrievalType_ = kSlotIDNone;
            return kSlotIDNone;
        }
        slog("GetSlotIDRetrievalType, current SMBIOS version is 2.5 contains type 11 structure");
        smbios_walk(image.data(), image.size(), [&](const unsigned char *s, const unsigned char *end) {
            if (s[0] == kTypeOemStrings && SlotOemString(s, end) != nullptr) {
                slog("Exiting GetSlotIDRetrievalType, current SMBIOS version is 2.5 and type 11 contains bus info");
                result = kSlotIDFromOemStrings;
                return false;
            }
            return true;
        });
    } else if (version.major < 2 || (version.major == 2 && version.minor < 5)) {
        slog("Exiting GetSlotIDRetrievalType, not support SlotID Retrieval Feature");
    } else {
        // 2.6 and later, SMBIOS 3.x included: type 9 structures carry the bus fields.
        const unsigned char *first9 = nullptr;
        smbios_walk(image.data(), image.size(), [&](const unsigned char *s, const unsigned char *) {
            if (s[0] == kTypeSlot)
                first9 = s;
            return first9 == nullptr;
        });
        if (first9 == nullptr) {
            slog("Exiting GetSlotIDRetrievalType, current SMBIOS version >= 2.6 contains no type 9 structure");
            retrievalType_ = kSlotIDNone;
            return kSlotIDNone;
        }
        slog("Exiting GetSlotIDRetrievalType, current SMBIOS version >= 2.6 contains type 9 structure");
        // 0x11 bytes since 2.6; SMBIOS 3.2 appends peer groups to the same layout.
        if (first9[1] >= kType9LengthWithBus) {
            slog("Exiting GetSlotIDRetrievalType, current SMBIOS version >= 2.6 and type 9 contains bus info");
            result = kSlotIDFromType9;
        } else {
            slog("Exiting GetSlotIDRetrievalType, current SMBIOS version >= 2.6 and type 9 contains no bus info");
        }
    }
    slog("smbios::GetSlotIDRetrievalType exiting the routine");
    retrievalType_ = result;
    return result;
}

int Smbios::readPCISlotLocation(std::vector<SlotLocation> &locations)
{
    slog("Entering readPCISlotLocation");
    slog("smbios::readPCISlotLocation in the routine");
    std::vector<unsigned char> image;
    if (Fetch(image) != 0) {
        slog("smbios::readPCISlotLocation open BIOS error");
        return -1;
    }
    const int type = retrievalType_.load();
    uint16_t tag = 1;  // ordinal of the slot records this table yields
    smbios_walk(image.data(), image.size(), [&](const unsigned char *s, const unsigned char *end) {
        SlotLocation loc;
        if (s[0] == kTypeSlot && type == kSlotIDFromType9) {
            loc.tag = tag++;
            // A structure without the bus fields gives no location, though it keeps its tag.
            if (s[1] >= kType9LengthWithBus) {
                loc.slotID = Le16(s + 0x09);
                loc.segGroupNum = Le16(s + 0x0D);
                loc.busNum = s[0x0F];
                loc.deviceNum = static_cast<uint8_t>(s[0x10] >> 3);
                loc.FunctionNum = static_cast<uint8_t>(s[0x10] & 0x07);
            }
        } else if (s[0] == kTypeOemStrings && type == kSlotIDFromOemStrings) {
            const char *oem = SlotOemString(s, end);
            if (oem != nullptr) {
                slog("pOEMStr:%s", oem);
                loc.tag = tag++;
                ParseSlotOemString(oem, loc);
                slog("readPCISlotLocation slotLocation.tag:%d, slotLocation.slotID:%d, "
                     "slotLocation.segGroupNum:%d,slotLocation.busNum:%d,slotLocation.deviceNum:%d,"
                     "slotLocation.FunctionNum:%d",
                     loc.tag, loc.slotID, loc.segGroupNum, loc.busNum, loc.deviceNum, loc.FunctionNum);
            }
        }
        if (loc.busNum != 0)
            locations.push_back(loc);
        return true;
    });
    slog("Exiting readPCISlotLocation");
    return 0;
}
