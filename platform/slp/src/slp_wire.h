// SLPv2 messages (RFC 2608, section 8 onward): the common header, the service and attribute
// requests and their replies, and the helpers both agents share (lists, attribute lists, search
// filters). Decoding checks every length against the datagram: a message that does not decode is
// refused as a whole.
#ifndef QELVO_PLATFORM_SLP_WIRE_H
#define QELVO_PLATFORM_SLP_WIRE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace slpwire {

constexpr uint16_t kPort = 427;
constexpr char kMulticastGroup[] = "239.255.255.253";
constexpr size_t kMaxDatagram = 1400;  // what a reply may fill before it sets the overflow flag

enum Function : uint8_t {
  kSrvRqst = 1,
  kSrvRply = 2,
  kAttrRqst = 6,
  kAttrRply = 7,
};

enum Flags : uint16_t { kOverflow = 0x8000, kFresh = 0x4000, kRequestMcast = 0x2000 };

enum ErrorCode : uint16_t {
  kOk = 0,
  kLanguageNotSupported = 1,
  kParseError = 2,
  kScopeNotSupported = 4,
  kInternalError = 10,
  kMsgNotSupported = 14,
};

struct Header {
  uint8_t function = 0;
  uint16_t flags = 0;
  uint16_t xid = 0;
  std::string lang = "en";
};

struct SrvRqst {
  std::string pr_list;
  std::string service_type;
  std::string scope_list;
  std::string predicate;
  std::string spi;
};

struct UrlEntry {
  uint16_t lifetime = 0;
  std::string url;
};

struct SrvRply {
  uint16_t error = 0;
  std::vector<UrlEntry> urls;
};

struct AttrRqst {
  std::string pr_list;
  std::string url;  // a service URL or a service type
  std::string scope_list;
  std::string tag_list;
  std::string spi;
};

struct AttrRply {
  uint16_t error = 0;
  std::string attr_list;
};

// Encoders: the whole message, header included. Strings longer than 65535 bytes are cut.
std::vector<uint8_t> Encode(const Header& h, const SrvRqst& m);
std::vector<uint8_t> Encode(const Header& h, const SrvRply& m);
std::vector<uint8_t> Encode(const Header& h, const AttrRqst& m);
std::vector<uint8_t> Encode(const Header& h, const AttrRply& m);

// Decodes the header of a datagram of len bytes: version 2, a length field equal to len, a
// language tag and an extension offset inside the message. body/body_len receive the bytes
// between the header and the first extension (or the end).
bool DecodeHeader(const uint8_t* msg, size_t len, Header* h, const uint8_t** body, size_t* body_len);

// Body decoders: false when a field runs past the body or a string holds a NUL byte.
bool Decode(const uint8_t* body, size_t len, SrvRqst* m);
bool Decode(const uint8_t* body, size_t len, SrvRply* m);
bool Decode(const uint8_t* body, size_t len, AttrRqst* m);
bool Decode(const uint8_t* body, size_t len, AttrRply* m);

// ---------------------------------------------------------------------------------------------
// Text helpers.

// A comma-separated list with blanks around the items removed and empty items dropped.
std::vector<std::string> SplitList(const std::string& list);
// Case-insensitive ASCII comparison.
bool EqualFold(const std::string& a, const std::string& b);
// True when the two scope lists share a scope (an empty list stands for "DEFAULT").
bool ScopesIntersect(const std::string& a, const std::string& b);
// True when a service of type `registered` answers a request for `requested`: the types are
// compared without their "service:" prefix; a request for an abstract type (no concrete part)
// covers all its concrete types.
bool ServiceTypeMatches(const std::string& requested, const std::string& registered);
// The service type of a service URL ("service:printer:lpr://host" -> "service:printer:lpr").
std::string ServiceTypeOfUrl(const std::string& url);

// One attribute of an attribute list: "(tag=v1,v2)" gives tag and its values; a keyword has no
// values and is_keyword set.
struct Attribute {
  std::string tag;
  std::vector<std::string> values;
  bool is_keyword = false;
  std::string text;  // as it stood in the list
};

// Splits an attribute list; false when parentheses do not balance.
bool ParseAttributes(const std::string& list, std::vector<Attribute>* out);
// The attributes of list whose tags match one of tags (which may hold '*' wildcards); an empty
// tag list keeps everything.
std::string FilterAttributes(const std::string& list, const std::string& tags);

// Evaluates an LDAPv3 search filter (RFC 2254 subset: &, |, !, =, =*, ~=, >=, <=, wildcards in
// equality values) against an attribute list. Returns 1 for a match, 0 for none, -1 when the
// filter does not parse. An empty filter matches.
int FilterMatches(const std::string& filter, const std::string& attr_list);

}  // namespace slpwire

#endif  // QELVO_PLATFORM_SLP_WIRE_H
