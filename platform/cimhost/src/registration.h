/*
 * Provider registrations in the host CIMOM's stanza format:
 *
 *   [Qelvo_ConcreteJob]
 *      provider: Qelvo_ConcreteJobProvider
 *      location: jobledger
 *      type: instance method
 *      group: jobs
 *      namespace: qelvo/cimv2 selk/cimv2
 *
 * One stanza per class. `location` names the library (lib<location>.so in a
 * provider directory); `type` lists the interfaces the provider serves
 * (instance, association, method, indication, property); `namespace` lists
 * the namespaces the class is served in (several per line, several lines
 * allowed; root/cimv2 when none is given). `unload: never` keeps the library
 * loaded for the life of the CIMOM. Lines starting with '#' or ';' are
 * comments. Other keys are kept but have no effect.
 */
#ifndef QELVO_CIMHOST_REGISTRATION_H
#define QELVO_CIMHOST_REGISTRATION_H

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace cimhost {

enum ProviderType : unsigned {
  kInstanceProvider = 1u << 0,
  kAssociationProvider = 1u << 1,
  kMethodProvider = 1u << 2,
  kIndicationProvider = 1u << 3,
  kPropertyProvider = 1u << 4,
};

struct Registration {
  std::string class_name;
  std::string provider;
  std::string location;
  std::string group;
  unsigned types = 0;
  std::vector<std::string> namespaces;
  bool never_unload = false;
  std::vector<std::pair<std::string, std::string>> other; /* unknown keys, as written */
  /* Where the stanza starts, for messages. */
  std::string file;
  int line = 0;

  bool serves(ProviderType t) const { return (types & t) != 0; }
  std::string where() const { return file + ":" + std::to_string(line); }
};

/* A syntax fault; what() reads "<file>:<line>: <message>". */
class RegistrationError : public std::runtime_error {
 public:
  RegistrationError(const std::string &file, int line, const std::string &message)
      : std::runtime_error(file + ":" + std::to_string(line) + ": " + message) {}
};

/* Parses the stanzas of one registration file. Throws RegistrationError for
 * text outside a stanza, lines without a colon, unknown types, and stanzas
 * without provider, location or type. */
std::vector<Registration> parse_registrations(const std::string &text, const std::string &file = "<reg>");

/* Reads and parses a file (RegistrationError also when it cannot be read). */
std::vector<Registration> read_registration_file(const std::string &path);

}  // namespace cimhost

#endif  // QELVO_CIMHOST_REGISTRATION_H
