/*
 * What the simulated host holds, as its scenario file says: the adapters of
 * each vendor, how each installation service answers InstallFromURI, and the
 * JobStatus texts its jobs go through. The providers read the file at every
 * call, so a test may change it between calls. The format is described in
 * README.md beside this file.
 */
#ifndef QELVO_ESXI_SERVICES_SCENARIO_H
#define QELVO_ESXI_SERVICES_SCENARIO_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace hostservices {

constexpr char kScenarioPath[] = "/etc/simhost/scenario";

/* A value that may be absent ("-" in the file). */
struct Text {
  bool present = false;
  std::string value;
  static Text Of(const std::string &v) { return Text{true, v}; }
  bool operator==(const Text &o) const { return present == o.present && value == o.value; }
};

/* The installation services, in the order of the service table (services.h). */
enum class Service { kBrocade, kEmulexCna, kEmulexFc, kQlogic, kHypervisor, kController };
constexpr int kServiceCount = 6;

/* How a service answers InstallFromURI. */
struct Answer {
  enum Kind { kAuto, kValue, kFail };
  Kind kind = kAuto;    /* kAuto: accepted when the URI names a file, else 4107 */
  uint32_t value = 0;   /* kValue: this return value */
  std::string message;  /* kFail: the CIMOM reports a failure with this text */
  bool operator==(const Answer &o) const { return kind == o.kind && value == o.value && message == o.message; }
};

struct ServiceScenario {
  Answer answer;                                       /* for every call */
  std::vector<std::pair<std::string, Answer>> device;  /* for a Target DeviceID; first match wins */
  std::vector<Text> job;                               /* the JobStatus texts of each new job */
  std::vector<Text> old_jobs;                          /* jobs there before any call, one text each */
};

struct BrocadePackage {
  Text model, serial;
};
struct BrocadePort {
  std::string device_id;
  Text name;
};
struct EmulexVpd {
  Text instance_id, field_v2;
};
struct QlogicPort {
  std::string device_id;
  Text model;
};

struct Scenario {
  std::string host;                         /* the host's system name; "" for gethostname */
  std::vector<std::string> hypervisor_systems;
  std::vector<BrocadePackage> brocade_packages;
  std::vector<BrocadePort> brocade_ports;
  std::vector<Text> emulex_cna_ports;       /* their InstanceIDs */
  std::vector<EmulexVpd> emulex_vpds;
  std::vector<QlogicPort> qlogic_ports;
  std::vector<std::pair<std::string, std::string>> failing_classes; /* class, message */
  ServiceScenario services[kServiceCount];

  const ServiceScenario &of(Service s) const { return services[static_cast<int>(s)]; }
  ServiceScenario &of(Service s) { return services[static_cast<int>(s)]; }
  /* The answer for a call whose Target has DeviceID `device` ("" when none). */
  const Answer &AnswerFor(Service s, const std::string &device) const;
  /* The message with which operations on `cls` fail, or null. */
  const std::string *Failure(const std::string &cls) const;
  /* The host name: `host`, else this machine's name. */
  std::string HostName() const;
};

/* One word of a line: quoted words may hold blanks; "-" unquoted means absent. */
struct Word {
  std::string text;
  bool quoted = false;
};

/* Splits a line into words ('#' outside quotes starts a comment; "\"" and
 * "\\" inside quotes). False with a reason when a quote is not closed or a
 * word mixes quoted and plain parts. */
bool SplitWords(const std::string &line, std::vector<Word> *out, std::string *error);
/* The word for `text` (quoted when it needs to be); "-" for an absent Text. */
std::string QuoteWord(const std::string &text);
std::string QuoteWord(const Text &text);

/* Reads a file of at most `limit` bytes (plain files only). */
enum class ReadResult { kOk, kMissing, kTooLarge, kError /* errno set */ };
ReadResult ReadSmallFile(const std::string &path, size_t limit, std::string *out);

/* Parses scenario text. False with "line N: reason" when it is not valid. */
bool ParseScenario(const std::string &text, Scenario *out, std::string *error);
/* Reads the scenario file; a missing file is the empty scenario. Files over
 * 1 MiB are refused. */
bool LoadScenario(const std::string &path, Scenario *out, std::string *error);

}  // namespace hostservices

#endif
