#include "pcinames.h"

#include <algorithm>
#include <cstring>

namespace {

int HexDigit(char c, bool lower_only)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (!lower_only && c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Reads `digits` hexadecimal digits at p (bounded by end).
bool ParseHex(const char *p, const char *end, int digits, bool lower_only, unsigned *out)
{
    if (end - p < digits)
        return false;
    unsigned v = 0;
    for (int i = 0; i < digits; ++i) {
        const int d = HexDigit(p[i], lower_only);
        if (d < 0)
            return false;
        v = v << 4 | static_cast<unsigned>(d);
    }
    *out = v;
    return true;
}

const char kVendorAttr[] = "vendor id=\"";
const char kDeviceAttr[] = "device id=\"";
const char kNameOpen[] = "<name>";
const char kNameClose[] = "</name>";

// The next occurrence of needle in [from, end), or end.
const char *Find(const char *from, const char *end, const char *needle, size_t len)
{
    if (from >= end || static_cast<size_t>(end - from) < len)
        return end;
    const void *hit = memmem(from, static_cast<size_t>(end - from), needle, len);
    return hit != nullptr ? static_cast<const char *>(hit) : end;
}

// The first occurrence of one pattern at or after a position of a text read forward. The text
// is searched again only once the position has passed the occurrence found last, so a whole
// reading finds each occurrence once: the table is read in linear time.
class NextOf {
public:
    template <size_t N>
    NextOf(const char (&needle)[N], const char *end) : needle_(needle), len_(N - 1), end_(end)
    {
    }

    const char *From(const char *p)
    {
        if (!found_ || at_ < p) {
            at_ = Find(p, end_, needle_, len_);
            found_ = true;
        }
        return at_;
    }

private:
    const char *needle_;
    size_t len_;
    const char *end_;
    const char *at_ = nullptr;
    bool found_ = false;
};

}  // namespace

PciVendorTable::PciVendorTable(const std::string &text)
{
    const char *const begin = text.data();
    const char *const end = begin + text.size();
    const char *p = begin;
    // What the next name belongs to.
    enum { kNothing, kVendor, kDevice } pending = kNothing;
    Entry *vendor = nullptr;  // the vendor whose devices follow; null when it was a repeat
    std::pair<bool, std::string> *device = nullptr;
    bool vendor_is_new = false;

    NextOf vendors(kVendorAttr, end), devices(kDeviceAttr, end), names(kNameOpen, end), closes(kNameClose, end);

    while (p < end) {
        const char *v = vendors.From(p);
        const char *d = devices.From(p);
        const char *n = names.From(p);
        const char *next = std::min(v, std::min(d, n));
        if (next == end)
            break;
        if (next == n) {
            const char *start = n + sizeof kNameOpen - 1;
            const char *close = closes.From(start);
            // A name that another entry or name starts inside of is unterminated: it names
            // nothing, and the scan goes on with what starts inside it.
            const char *inner = std::min(names.From(start), std::min(vendors.From(start), devices.From(start)));
            if (inner < close || close == end) {
                pending = kNothing;
                p = start;
                continue;
            }
            const std::string name(start, static_cast<size_t>(close - start));
            if (pending == kVendor && vendor != nullptr && vendor_is_new && !vendor->named) {
                vendor->named = true;
                vendor->name = name;
            } else if (pending == kDevice && device != nullptr && !device->first) {
                device->first = true;
                device->second = name;
            }
            pending = kNothing;
            p = close + sizeof kNameClose - 1;
            continue;
        }
        const bool is_vendor = next == v;
        const char *digits = next + (is_vendor ? sizeof kVendorAttr : sizeof kDeviceAttr) - 1;
        unsigned id = 0;
        if (!ParseHex(digits, end, 4, true, &id) || digits + 4 >= end || digits[4] != '"') {
            p = digits;  // not an attribute of the table's form
            pending = kNothing;
            continue;
        }
        p = digits + 5;
        if (is_vendor) {
            auto inserted = vendors_.emplace(static_cast<uint16_t>(id), Entry());
            vendor = &inserted.first->second;
            vendor_is_new = inserted.second;
            pending = kVendor;
            device = nullptr;
        } else {
            pending = kNothing;
            device = nullptr;
            if (vendor != nullptr) {
                auto inserted = vendor->devices.emplace(static_cast<uint16_t>(id), std::make_pair(false, std::string()));
                device = &inserted.first->second;
                pending = kDevice;
            }
        }
    }
}

std::string PciVendorTable::Vendor(uint16_t vendor, const std::string &fallback) const
{
    auto it = vendors_.find(vendor);
    return it != vendors_.end() && it->second.named ? it->second.name : fallback;
}

std::string PciVendorTable::Device(uint16_t vendor, uint16_t device, const std::string &fallback) const
{
    auto it = vendors_.find(vendor);
    if (it == vendors_.end())
        return fallback;
    auto dev = it->second.devices.find(device);
    return dev != it->second.devices.end() && dev->second.first ? dev->second.second : fallback;
}

PciClassTable::PciClassTable(const std::string &text)
{
    Entry *current = nullptr;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t eol = text.find_first_of("\r\n", pos);
        if (eol == std::string::npos)
            eol = text.size();
        const char *line = text.data() + pos;
        const char *const line_end = text.data() + eol;
        pos = eol + 1;

        unsigned code = 0;
        if (line_end - line >= 2 && line[0] == 'C' && line[1] == ' ') {
            current = nullptr;
            if (!ParseHex(line + 2, line_end, 2, true, &code))
                continue;
            auto inserted = classes_.emplace(static_cast<uint8_t>(code), Entry());
            current = inserted.second ? &inserted.first->second : nullptr;  // the first entry wins
            if (current != nullptr)
                current->name = line_end - line > 6 ? std::string(line + 6, line_end) : std::string();
            continue;
        }
        if (current == nullptr)
            continue;
        const char *p = line;
        if (p < line_end && (*p == '\t' || *p == ' ')) {
            ++p;
            if (p < line_end && *p == '\t')
                continue;  // a programming interface
        }
        if (!ParseHex(p, line_end, 2, true, &code))
            continue;
        const std::string name = line_end - p > 4 ? std::string(p + 4, line_end) : std::string();
        current->subclasses.emplace(static_cast<uint8_t>(code), name);
    }
}

std::string PciClassTable::Class(uint8_t base, uint8_t sub, const std::string &fallback) const
{
    auto it = classes_.find(base);
    if (it == classes_.end())
        return fallback;
    auto s = it->second.subclasses.find(sub);
    return s != it->second.subclasses.end() ? s->second : it->second.name;
}
