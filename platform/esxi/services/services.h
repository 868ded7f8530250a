/*
 * The host's installation services and what they show, independent of CMPI:
 * the service table (namespaces, classes, keys), the instances a scenario
 * gives each class, and how a service decides an InstallFromURI call.
 */
#ifndef QELVO_ESXI_SERVICES_SERVICES_H
#define QELVO_ESXI_SERVICES_SERVICES_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "scenario.h"

namespace hostservices {

struct ServiceInfo {
  Service id;
  const char *word;          /* in the scenario file */
  const char *ns;
  const char *cls;           /* the service class, its CreationClassName */
  const char *name;          /* its Name key */
  const char *system_class;  /* its SystemCreationClassName, also that of its adapters */
  const char *target_class;  /* the class the Target argument names; "" when it takes none */
  const char *job_class;     /* the class of its jobs; "" when it starts none */
  const char *job_prefix;    /* InstanceID of job n: prefix followed by n */
  uint32_t accepted;         /* what InstallFromURI answers when it takes the update */
  bool remote_uris;          /* fetches URIs other than "file:" itself */
};

/* All six, in the order of Service. */
const std::vector<ServiceInfo> &ServiceTable();
const ServiceInfo &InfoOf(Service s);
const ServiceInfo *ServiceByWord(const std::string &word);

/* The controller service's fixed system keys. */
constexpr char kControllerSystemClass[] = "Qelvo_ManagementController";
constexpr char kControllerSystemName[] = "ManagementController";

/* A class served here. */
struct ClassInfo {
  const char *cls;
  const char *ns;
  Service owner;
  enum Kind { kService, kJob, kInventory } kind;
};
const std::vector<ClassInfo> &ClassTable();
/* The class served here by that name (without regard to case), or null. */
const ClassInfo *ClassByName(const std::string &cls);

/* One property of an instance. */
struct Prop {
  std::string name;
  std::string text;          /* strings */
  uint16_t number = 0;       /* uint16 properties */
  bool is_number = false;
  bool key = false;
};

struct Object {
  std::string cls;
  std::vector<Prop> props;
  const Prop *Find(const std::string &name) const; /* without regard to case */
};

/* `s` in lower case (key and property names are matched in lower case). */
std::string LowerCase(std::string s);

/* True when `keys` (lower-case names) hold every key of `o` with its value
 * (class names compared without regard to case). */
bool KeysMatch(const Object &o, const std::map<std::string, std::string> &keys);

/* The instances of a service or inventory class; job classes have none here
 * (see jobs.h). */
std::vector<Object> Inventory(const Scenario &sc, const ClassInfo &ci);

/* JobState of a job showing `status`: Running (4) until it has reached its
 * last text (`final`), then Completed (7) for a success text, else
 * Exception (10). */
constexpr uint16_t kJobRunning = 4, kJobCompleted = 7, kJobException = 10;
uint16_t JobStateFor(const Text &status, bool final);

/* An InstallFromURI call as the CMPI layer took it apart. Key and property
 * names are lower case. */
struct InstallCall {
  Service service = Service::kBrocade;
  std::map<std::string, std::string> keys;        /* of the service path */
  std::string uri;
  bool has_target = false;
  std::string target_class;
  std::map<std::string, std::string> target_keys;
  Text update_operation;                          /* the controller's bank choice */
};

struct InstallDecision {
  enum Kind { kNotFound, kFailed, kReturn };
  Kind kind = kReturn;
  uint32_t value = 0;    /* kReturn */
  std::string message;   /* kNotFound, kFailed: the status text */
  bool start_job = false;
  std::string file;      /* the local file the URI names, "" when none */
  std::string note;      /* why, when the update was not taken */
};

/* CIM_SoftwareInstallationService return values used here. */
constexpr uint32_t kInvalidParameter = 5, kJobStarted = 4096, kUnsupportedTargetType = 4097,
                   kUriNotAccessible = 4107;

InstallDecision DecideInstall(const Scenario &sc, const InstallCall &call);

/* The local path a "file:" URI names ("file:///a", "file://a" and "file:/a"
 * all name "/a"); "" for any other URI. */
std::string LocalPath(const std::string &uri);

}  // namespace hostservices

#endif
