/*
 * The service table, the instances each class shows for a scenario, and the
 * InstallFromURI decision.
 */
#include "services.h"

#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>

namespace hostservices {

namespace {

bool Same(const std::string &a, const std::string &b) { return strcasecmp(a.c_str(), b.c_str()) == 0; }

Prop Key(const char *name, const std::string &value) { return Prop{name, value, 0, false, true}; }
Prop Str(const char *name, const std::string &value) { return Prop{name, value, 0, false, false}; }

/* The four keys every service and adapter port of a system has. */
Object Scoped(const std::string &cls, const std::string &system_class, const std::string &system,
              const char *last_key, const std::string &last) {
  return Object{cls, {Key("SystemCreationClassName", system_class), Key("SystemName", system),
                      Key("CreationClassName", cls), Key(last_key, last)}};
}

void AddIfPresent(Object *o, const char *name, const Text &t) {
  if (t.present) o->props.push_back(Str(name, t.value));
}

/* An Emulex converged port's InstanceID is "applicability:deviceid"; its
 * DeviceID key is the part after the first ":". */
std::string CnaDeviceId(const Text &instance_id, size_t index) {
  if (!instance_id.present) return "port-" + std::to_string(index);
  const size_t colon = instance_id.value.find(':');
  return colon == std::string::npos ? instance_id.value : instance_id.value.substr(colon + 1);
}

/* The DeviceIDs a vendor's service takes as Target: what its inventory gives
 * away about each adapter. */
std::vector<std::string> TargetDevices(const Scenario &sc, Service s) {
  std::vector<std::string> out;
  switch (s) {
    case Service::kBrocade:
      for (const BrocadePort &p : sc.brocade_ports) out.push_back(p.device_id);
      break;
    case Service::kEmulexCna:
      for (const Text &id : sc.emulex_cna_ports) {
        const size_t colon = id.present ? id.value.find(':') : std::string::npos;
        if (colon != std::string::npos && colon > 0) out.push_back(id.value.substr(colon + 1));
      }
      break;
    case Service::kEmulexFc:
      for (const EmulexVpd &v : sc.emulex_vpds)
        if (v.instance_id.present) out.push_back(v.instance_id.value);
      break;
    case Service::kQlogic:
      /* A port's DeviceID is "<adapter>_<port>..."; updates name the adapter. */
      for (const QlogicPort &p : sc.qlogic_ports) out.push_back(p.device_id.substr(0, p.device_id.find('_')));
      break;
    case Service::kHypervisor:
    case Service::kController:
      break;
  }
  return out;
}

std::vector<std::string> HypervisorSystems(const Scenario &sc) {
  if (!sc.hypervisor_systems.empty()) return sc.hypervisor_systems;
  return {sc.HostName()};
}

std::string KeyOf(const std::map<std::string, std::string> &keys, const std::string &lower_name) {
  auto it = keys.find(lower_name);
  return it == keys.end() ? std::string() : it->second;
}

bool Has(const std::map<std::string, std::string> &keys, const std::string &lower_name) {
  return keys.count(lower_name) != 0;
}

bool IsClassKey(const std::string &name) {
  return Same(name, "CreationClassName") || Same(name, "SystemCreationClassName");
}

/* The Target check: "" when the Target names an adapter (or system) of the
 * service, else why not, with the return value in *rv. */
std::string CheckTarget(const Scenario &sc, const ServiceInfo &info, const InstallCall &call, uint32_t *rv) {
  *rv = kInvalidParameter;
  if (!call.has_target) return "no Target given";
  if (!Same(call.target_class, info.target_class)) {
    *rv = kUnsupportedTargetType;
    return "Target is a " + call.target_class + ", not a " + info.target_class;
  }
  const auto &k = call.target_keys;
  if (!Same(KeyOf(k, "creationclassname"), info.target_class)) return "Target's CreationClassName is wrong";
  if (info.id == Service::kHypervisor) {
    const std::vector<std::string> systems = HypervisorSystems(sc);
    if (std::find(systems.begin(), systems.end(), KeyOf(k, "name")) == systems.end())
      return "Target names no system of this host: \"" + KeyOf(k, "name") + "\"";
    return "";
  }
  if (!Same(KeyOf(k, "systemcreationclassname"), info.system_class))
    return "Target's SystemCreationClassName is not " + std::string(info.system_class);
  if (KeyOf(k, "systemname") != sc.HostName()) return "Target's SystemName is not " + sc.HostName();
  const std::vector<std::string> devices = TargetDevices(sc, info.id);
  if (!Has(k, "deviceid") || std::find(devices.begin(), devices.end(), KeyOf(k, "deviceid")) == devices.end())
    return "Target DeviceID \"" + KeyOf(k, "deviceid") + "\" is no adapter of this service";
  return "";
}

}  // namespace

const std::vector<ServiceInfo> &ServiceTable() {
  static const std::vector<ServiceInfo> table = {
      {Service::kBrocade, "brocade", "root/brocade", "BROCADE_HBASoftwareInstallationService",
       "Brocade Adapter Software Update Service", "BROCADE_ComputerSystem", "BROCADE_PortController", "", "", 0,
       false},
      {Service::kEmulexCna, "emulex-cna", "root/emulex", "ELXUCNA_SoftwareInstallationService",
       "ELXUCNA_SoftwareInstallationService", "OMC_UnitaryComputerSystem", "ELXUCNA_EthernetPort", "", "", 0,
       false},
      {Service::kEmulexFc, "emulex-fc", "root/emulex", "ELXHBA_SoftwareInstallationService",
       "ELXHBA_FCSoftwareInstallationService", "OMC_UnitaryComputerSystem", "ELXHBA_FCPort", "", "", 0, false},
      {Service::kQlogic, "qlogic", "qlogic/cimv2", "QLogicFCHBA_SoftwareInstallationService", "FC_SW_INSTALLER",
       "QLogicFCHBA_ComputerSystem", "QLogicFCHBA_PortController", "", "", 0, false},
      {Service::kHypervisor, "hypervisor", "root/cimv2", "VMware_SoftwareInstallationService",
       "SoftwareInstallationService", "OMC_UnitaryComputerSystem", "OMC_UnitaryComputerSystem",
       "VMware_ConcreteJob", "SoftwareUpdate-", kJobStarted, true},
      {Service::kController, "controller", "qelvo/cimv2", "Qelvo_SoftwareInstallationService",
       "TavikSoftwareInstallatiIonService", kControllerSystemClass, "", "Qelvo_FirmwareUpdateJob",
       "FirmwareUpdate-", kJobStarted, false},
  };
  return table;
}

const ServiceInfo &InfoOf(Service s) { return ServiceTable()[static_cast<size_t>(s)]; }

const ServiceInfo *ServiceByWord(const std::string &word) {
  for (const ServiceInfo &i : ServiceTable())
    if (word == i.word) return &i;
  return nullptr;
}

const std::vector<ClassInfo> &ClassTable() {
  static const std::vector<ClassInfo> table = [] {
    std::vector<ClassInfo> t;
    for (const ServiceInfo &i : ServiceTable()) {
      t.push_back({i.cls, i.ns, i.id, ClassInfo::kService});
      if (i.job_class[0] != '\0') t.push_back({i.job_class, i.ns, i.id, ClassInfo::kJob});
    }
    t.push_back({"BROCADE_PhysicalPackage", "root/brocade", Service::kBrocade, ClassInfo::kInventory});
    t.push_back({"BROCADE_PortController", "root/brocade", Service::kBrocade, ClassInfo::kInventory});
    t.push_back({"ELXUCNA_EthernetPort", "root/emulex", Service::kEmulexCna, ClassInfo::kInventory});
    t.push_back({"ELXHBA_VitalProductData", "root/emulex", Service::kEmulexFc, ClassInfo::kInventory});
    t.push_back({"QLogicFCHBA_FCPort", "qlogic/cimv2", Service::kQlogic, ClassInfo::kInventory});
    t.push_back({"OMC_UnitaryComputerSystem", "root/cimv2", Service::kHypervisor, ClassInfo::kInventory});
    return t;
  }();
  return table;
}

const ClassInfo *ClassByName(const std::string &cls) {
  for (const ClassInfo &c : ClassTable())
    if (Same(cls, c.cls)) return &c;
  return nullptr;
}

const Prop *Object::Find(const std::string &name) const {
  for (const Prop &p : props)
    if (Same(p.name, name)) return &p;
  return nullptr;
}

std::string LowerCase(std::string s) {
  for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool KeysMatch(const Object &o, const std::map<std::string, std::string> &keys) {
  for (const Prop &p : o.props) {
    if (!p.key) continue;
    auto it = keys.find(LowerCase(p.name));
    if (it == keys.end() || (IsClassKey(p.name) ? !Same(it->second, p.text) : it->second != p.text)) return false;
  }
  return true;
}

std::vector<Object> Inventory(const Scenario &sc, const ClassInfo &ci) {
  std::vector<Object> out;
  const ServiceInfo &info = InfoOf(ci.owner);
  const std::string cls = ci.cls, host = sc.HostName();
  if (ci.kind == ClassInfo::kService) {
    if (ci.owner == Service::kHypervisor) {
      for (const std::string &system : HypervisorSystems(sc))
        out.push_back(Scoped(cls, info.system_class, system, "Name", info.name));
    } else if (ci.owner == Service::kController) {
      out.push_back(Scoped(cls, info.system_class, kControllerSystemName, "Name", info.name));
    } else {
      out.push_back(Scoped(cls, info.system_class, host, "Name", info.name));
    }
    out.back().props.push_back(Str("ElementName", info.name));
    return out;
  }
  if (ci.kind == ClassInfo::kJob) return out;
  if (cls == "BROCADE_PhysicalPackage") {
    for (size_t i = 0; i < sc.brocade_packages.size(); ++i) {
      Object o{cls, {Key("CreationClassName", cls), Key("Tag", "adapter-" + std::to_string(i))}};
      AddIfPresent(&o, "Model", sc.brocade_packages[i].model);
      AddIfPresent(&o, "SerialNumber", sc.brocade_packages[i].serial);
      out.push_back(std::move(o));
    }
  } else if (cls == "BROCADE_PortController") {
    for (const BrocadePort &p : sc.brocade_ports) {
      out.push_back(Scoped(cls, info.system_class, host, "DeviceID", p.device_id));
      AddIfPresent(&out.back(), "Name", p.name);
    }
  } else if (cls == "ELXUCNA_EthernetPort") {
    for (size_t i = 0; i < sc.emulex_cna_ports.size(); ++i) {
      out.push_back(Scoped(cls, info.system_class, host, "DeviceID", CnaDeviceId(sc.emulex_cna_ports[i], i)));
      AddIfPresent(&out.back(), "InstanceID", sc.emulex_cna_ports[i]);
    }
  } else if (cls == "ELXHBA_VitalProductData") {
    for (const EmulexVpd &v : sc.emulex_vpds) {
      Object o{cls, {}};
      if (v.instance_id.present) o.props.push_back(Key("InstanceID", v.instance_id.value));
      AddIfPresent(&o, "FieldV2", v.field_v2);
      out.push_back(std::move(o));
    }
  } else if (cls == "QLogicFCHBA_FCPort") {
    for (const QlogicPort &p : sc.qlogic_ports) {
      out.push_back(Scoped(cls, info.system_class, host, "DeviceID", p.device_id));
      AddIfPresent(&out.back(), "Model", p.model);
    }
  } else if (cls == "OMC_UnitaryComputerSystem") {
    for (const std::string &system : HypervisorSystems(sc))
      out.push_back(Object{cls, {Key("CreationClassName", cls), Key("Name", system), Str("ElementName", system)}});
  }
  return out;
}

uint16_t JobStateFor(const Text &status, bool final) {
  if (!final) return kJobRunning;
  static const char *const kSucceeded[] = {
      "The update completed successfully, but the system needs to be rebooted for the changes to be effective.",
      "Updates at supplied URI are obsolete or already installed",
      "Process Completed",
  };
  for (const char *ok : kSucceeded)
    if (status.present && status.value == ok) return kJobCompleted;
  return kJobException;
}

std::string LocalPath(const std::string &uri) {
  if (uri.size() < 5 || strncasecmp(uri.c_str(), "file:", 5) != 0) return "";
  size_t at = 5;
  while (at < uri.size() && uri[at] == '/') ++at;
  return at < uri.size() ? "/" + uri.substr(at) : "";
}

InstallDecision DecideInstall(const Scenario &sc, const InstallCall &call) {
  InstallDecision d;
  const ServiceInfo &info = InfoOf(call.service);

  /* The path must name one of the service's instances. */
  bool found = false;
  for (const Object &o : Inventory(sc, ClassInfo{info.cls, info.ns, info.id, ClassInfo::kService}))
    found = found || KeysMatch(o, call.keys);
  if (!found) {
    d.kind = InstallDecision::kNotFound;
    d.message = std::string("no such ") + info.cls + " instance";
    return d;
  }

  d.file = LocalPath(call.uri);
  std::string device;
  if (info.target_class[0] != '\0') {
    uint32_t rv = 0;
    d.note = CheckTarget(sc, info, call, &rv);
    if (!d.note.empty()) {
      d.value = rv;
      return d;
    }
    device = KeyOf(call.target_keys, info.id == Service::kHypervisor ? "name" : "deviceid");
  }
  if (call.service == Service::kController && call.update_operation.present &&
      call.update_operation.value != "0" && call.update_operation.value != "1") {
    d.value = kInvalidParameter;
    d.note = "Update_Operation is neither 0 (primary bank) nor 1 (backup bank)";
    return d;
  }

  const Answer &a = sc.AnswerFor(call.service, device);
  if (a.kind == Answer::kFail) {
    d.kind = InstallDecision::kFailed;
    d.message = a.message;
    return d;
  }
  if (a.kind == Answer::kValue) {
    d.value = a.value;
    d.note = "as the scenario says";
  } else if (!d.file.empty()) {
    struct stat st;
    const bool exists = ::stat(d.file.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    d.value = exists ? info.accepted : kUriNotAccessible;
    if (!exists) d.note = "no such file";
  } else {
    d.value = info.remote_uris ? info.accepted : kUriNotAccessible;
    if (!info.remote_uris) d.note = "not a local file URI";
  }
  d.start_job = info.job_class[0] != '\0' && (d.value == 0 || d.value == kJobStarted);
  return d;
}

}  // namespace hostservices
