#include "pci_name_tables.h"

#include <cstdio>
#include <fstream>
#include <istream>
#include <ostream>
#include <sstream>

namespace pciids {
namespace {

bool IsHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

std::string Lower(std::string s) {
  for (char &c : s) {
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

// "<digits hex digits><two blanks><name>" at the start of s.
bool SplitEntry(const std::string &s, size_t digits, std::string *id, std::string *name) {
  if (s.size() < digits + 3) return false;
  for (size_t i = 0; i < digits; ++i) {
    if (!IsHex(s[i])) return false;
  }
  if (s[digits] != ' ' || s[digits + 1] != ' ') return false;
  *id = Lower(s.substr(0, digits));
  *name = s.substr(digits + 2);
  while (!name->empty() && (name->back() == ' ' || name->back() == '\t')) name->pop_back();
  return !name->empty();
}

// A name the table reader would take differently: it must not hold the element markers.
bool Writable(const std::string &name) {
  return name.find("<name>") == std::string::npos && name.find("</name>") == std::string::npos &&
         name.find('\n') == std::string::npos;
}

}  // namespace

bool Convert(std::istream &ids, std::ostream &xml, std::ostream &classlist, Counts *counts, std::string *error) {
  Counts local;
  Counts &n = counts != nullptr ? *counts : local;
  n = Counts();
  enum { kNone, kVendors, kClasses } section = kNone;
  bool vendor_open = false, vendor_kept = false, class_kept = false;

  xml << "<!-- PCI vendor and device names, generated from the PCI ID database -->\n<pcitable>\n";
  classlist << "# PCI classes and subclasses, generated from the PCI ID database\n";
  std::string line;
  while (std::getline(ids, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    std::string id, name;
    if (line.compare(0, 2, "C ") == 0) {
      if (vendor_open) xml << " </vendor>\n";
      vendor_open = false;
      section = kClasses;
      class_kept = SplitEntry(line.substr(2), 2, &id, &name);
      if (class_kept) {
        classlist << "C " << id << "  " << name << "\n";
        ++n.classes;
      } else {
        ++n.skipped;
      }
      continue;
    }
    if (line[0] != '\t') {
      // A vendor, or the start of another section of the database (whose lines are not kept).
      if (vendor_open) xml << " </vendor>\n";
      vendor_open = false;
      vendor_kept = false;
      if (SplitEntry(line, 4, &id, &name) && Writable(name)) {
        section = kVendors;
        xml << " <vendor id=\"" << id << "\">\n  <name>" << name << "</name>\n";
        vendor_open = vendor_kept = true;
        ++n.vendors;
      } else {
        section = kNone;
        ++n.skipped;
      }
      continue;
    }
    if (line.size() > 1 && line[1] == '\t') continue;  // subsystems, programming interfaces
    const std::string entry = line.substr(1);
    if (section == kVendors && vendor_kept) {
      if (SplitEntry(entry, 4, &id, &name) && Writable(name)) {
        xml << "  <device id=\"" << id << "\">\n   <name>" << name << "</name>\n  </device>\n";
        ++n.devices;
      } else {
        ++n.skipped;
      }
    } else if (section == kClasses && class_kept) {
      if (SplitEntry(entry, 2, &id, &name)) {
        classlist << "\t" << id << "  " << name << "\n";
        ++n.subclasses;
      } else {
        ++n.skipped;
      }
    }
  }
  if (vendor_open) xml << " </vendor>\n";
  xml << "</pcitable>\n";
  if (ids.bad()) {
    if (error != nullptr) *error = "cannot read the PCI ID database";
    return false;
  }
  return true;
}

namespace {

bool Publish(const std::string &path, const std::string &text, std::string *error) {
  const std::string tmp = path + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
      std::remove(tmp.c_str());
      if (error != nullptr) *error = "cannot write " + tmp;
      return false;
    }
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0) {
    std::remove(tmp.c_str());
    if (error != nullptr) *error = "cannot rename " + tmp + " to " + path;
    return false;
  }
  return true;
}

}  // namespace

bool WriteTables(const std::string &ids_path, const std::string &dir, Counts *counts, std::string *error) {
  std::ifstream ids(ids_path, std::ios::binary);
  if (!ids) {
    if (error != nullptr) *error = "cannot open " + ids_path;
    return false;
  }
  std::ostringstream xml, classlist;
  if (!Convert(ids, xml, classlist, counts, error)) return false;
  return Publish(dir + "/pci.xml", xml.str(), error) && Publish(dir + "/pci.classlist", classlist.str(), error);
}

}  // namespace pciids
