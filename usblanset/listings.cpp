// Reading the network command listings (see listings.h).
#include "listings.h"

#include <cstring>

namespace usblan {

namespace {

std::vector<std::string> split(const std::string &text, char sep) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find(sep, start);
    parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> lines = split(text, '\n');
  if (!lines.empty() && lines.back().empty()) lines.pop_back();
  return lines;
}

std::vector<std::string> words_of(const std::string &line) {
  std::vector<std::string> words;
  size_t p = 0;
  for (;;) {
    p = line.find_first_not_of(" \t\r", p);
    if (p == std::string::npos) return words;
    const size_t end = line.find_first_of(" \t\r", p);
    words.push_back(line.substr(p, end == std::string::npos ? std::string::npos : end - p));
    if (end == std::string::npos) return words;
    p = end;
  }
}

std::string first_word(const std::string &line) {
  const std::vector<std::string> words = words_of(line);
  return words.empty() ? std::string() : words[0];
}

bool contains(const std::vector<std::string> &items, const std::string &item) {
  for (const std::string &s : items) {
    if (s == item) return true;
  }
  return false;
}

}  // namespace

bool lines_fit(const std::string &text) {
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    const size_t len = (end == std::string::npos ? text.size() : end + 1) - start;
    if (len > USB_LINE_SIZE - 1) return false;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return true;
}

bool command_word(const std::string &word) {
  if (word.empty() || word.size() > 64) return false;
  for (char c : word) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                    c == '-' || c == '.';
    if (!ok) return false;
  }
  return true;
}

int nic_number(const std::string &nic) {
  if (nic.size() != 5 || nic.compare(0, 4, "vusb") != 0 || nic[4] < '0' || nic[4] > '3') return -1;
  return nic[4] - '0';
}

bool make_nic_list(const std::string &names, char *nic_list) {
  std::memset(nic_list, 0, USB_NIC_LIST_SIZE);
  std::string list;
  for (const std::string &line : lines_of(names)) {
    if (!line.empty()) list += line + ";";
  }
  if (list.size() >= USB_NIC_LIST_SIZE) return false;
  std::memcpy(nic_list, list.data(), list.size());
  return true;
}

std::vector<std::string> split_nic_list(const char *nic_list) {
  std::vector<std::string> nics;
  for (const std::string &nic : split(std::string(nic_list, strnlen(nic_list, USB_NIC_LIST_SIZE)), ';')) {
    if (!nic.empty()) nics.push_back(nic);
  }
  return nics;
}

std::vector<SwitchStep> failed_switch_steps(const std::string &listing) {
  std::vector<SwitchStep> steps;
  std::string name;
  bool marked = false, name_next = false, port_groups = false;
  for (const std::string &line : lines_of(listing)) {
    const std::vector<std::string> words = words_of(line);
    if (words.empty()) continue;
    if (words[0] == "Switch") {
      if (marked) steps.push_back({true, name});
      marked = port_groups = false;
      name_next = true;
    } else if (words[0] == "PortGroup") {
      port_groups = true;
    } else if (name_next) {
      name_next = false;
      name = words[0];
      // vSwitchUSB<c> belongs to vusb<c>; a name with nothing after the marker is no such switch.
      const size_t at = name.find("vSwitchUSB");
      if (at != std::string::npos && at + 10 < name.size()) {
        const std::string expected = std::string("vusb") + name[at + 10];
        marked = !contains(split(words.size() > 1 ? words[1] : "", ','), expected);
      }
    } else if (port_groups && marked) {
      steps.push_back({false, words[0]});
    }
  }
  if (marked) steps.push_back({true, name});
  return steps;
}

std::vector<std::string> vanished_switches(const std::string &usb_listing, const char *nic_list) {
  const std::vector<std::string> nics = split_nic_list(nic_list);
  std::vector<std::string> gone;
  for (const std::string &line : lines_of(usb_listing)) {
    const std::vector<std::string> words = words_of(line);
    if (words.size() < 2) continue;  // a port group line: no uplinks in the second word
    bool has_usb = false, present = false;
    for (const std::string &uplink : split(words[1], ',')) {
      if (uplink.compare(0, 4, "vusb") != 0) continue;
      has_usb = true;
      present = present || contains(nics, uplink);
    }
    if (has_usb && !present && !contains(gone, words[0])) gone.push_back(words[0]);
  }
  return gone;
}

std::map<std::string, std::vector<std::string>> port_groups_by_switch(const std::string &listing) {
  std::map<std::string, std::vector<std::string>> port_groups;
  std::vector<std::string> *block = nullptr;  // the port groups of the switch being read
  bool name_next = false, in_port_groups = false;
  for (const std::string &line : lines_of(listing)) {
    const std::string word = first_word(line);
    if (word.empty()) continue;
    if (word == "Switch") {
      name_next = true;
      block = nullptr;
      in_port_groups = false;
    } else if (name_next) {
      name_next = false;
      block = &port_groups[word];
    } else if (block != nullptr && word == "PortGroup") {
      in_port_groups = true;
    } else if (in_port_groups) {
      block->push_back(word);
    }
  }
  return port_groups;
}

void nic_switch(const std::string &lines, std::string *vswitch, std::string *port_group) {
  const std::vector<std::string> l = lines_of(lines);
  *vswitch = l.size() > 0 ? first_word(l[0]) : "";
  *port_group = l.size() > 1 ? first_word(l[1]) : "";
}

bool vmknic_address(const std::string &lines, std::string *address, std::string *netmask) {
  bool exists = false;
  address->clear();
  netmask->clear();
  for (const std::string &line : lines_of(lines)) {
    const std::vector<std::string> words = words_of(line);
    if (words.empty()) continue;
    exists = true;
    for (size_t i = 0; i < words.size(); ++i) {
      if (words[i] != "IPv4") continue;
      *address = i + 1 < words.size() ? words[i + 1] : "";
      *netmask = i + 2 < words.size() ? words[i + 2] : "";
      break;
    }
  }
  return exists;
}

bool link_local_address(const char *address) {
  if (address == nullptr || strnlen(address, 16) > 15) return false;
  const std::vector<std::string> parts = split(address, '.');
  if (parts.size() != 4 || parts[0] != "169" || parts[1] != "254") return false;
  for (const std::string &p : parts) {
    if (p.empty() || p.size() > 3 || (p.size() > 1 && p[0] == '0')) return false;
    int value = 0;
    for (char c : p) {
      if (c < '0' || c > '9') return false;
      value = value * 10 + (c - '0');
    }
    if (value > 255) return false;
  }
  return true;
}

bool host_address(const char *controller, char *host, size_t size) {
  if (!link_local_address(controller)) return false;
  const std::string a(controller);
  const std::string h = a.substr(0, a.rfind('.') + 1) + "101";
  if (h.size() >= size) return false;
  std::memcpy(host, h.c_str(), h.size() + 1);
  return true;
}

}  // namespace usblan
