// HwCkvmProvider and its transport: the KVM device's firmware version over IPMI.
#include "kvm_provider.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ipmi.h"
#include "kvm_reply.h"

namespace KVMProvider {

std::vector<std::unique_ptr<ckvmfwInfo>> current_devices;
std::mutex current_devices_lock;
int kcs_fd = -1;
volatile int waitDebug = 1;

namespace {

constexpr char kClassName[] = "QelvoSG_CKVMFirmwareElement";
constexpr char kDeviceId[] = "ckvm1";
constexpr unsigned char kVersionRequest[6] = {0xF5, 0x68, kVersionBytes, 0x1D, 0x01, 0x00};

}  // namespace

ckvmfwInfo::~ckvmfwInfo() { std::printf("ckvmfwInfo destructor\n"); }

int connect_kcs() {
  disconnect_kcs();
  kcs_fd = connect_ipmi("/dev/ipmi0");
  if (kcs_fd < 0) kcs_fd = connect_ipmi("/dev/ipmidev/0");
  return kcs_fd < 0 ? 1 : 0;
}

void disconnect_kcs() {
  if (kcs_fd >= 0) disconnect_ipmi(kcs_fd);
  kcs_fd = -1;
}

int send_IPMI_command(unsigned char cmd, const unsigned char *data, unsigned short len, unsigned char *reply,
                      unsigned short *reply_len, unsigned char netfn) {
  return send_kcs_IPMI_command(kcs_fd, cmd, data, len, reply, reply_len, netfn) == 0 ? 0 : 1;
}

std::string GetCkvmFWVersion() {
  if (connect_kcs() != 0) {
    disconnect_kcs();
    return "";
  }
  unsigned char reply[128];
  std::memset(reply, 0, sizeof reply);
  unsigned short reply_len = sizeof reply;
  const int rc = send_IPMI_command(kCmdMasterWriteRead, kVersionRequest, sizeof kVersionRequest, reply, &reply_len,
                                   kNetFnApp);
  // Nothing else is asked of the device until the next version read.
  disconnect_kcs();
  // A failed exchange counts as a refusal.
  return rc == 0 ? VersionOfReply(reply, reply_len) : " ";
}

CmpiStatus GetDevices(const char *id, std::vector<ckvmfwInfo *> &out) {
  std::lock_guard<std::mutex> hold(current_devices_lock);
  const std::string version = GetCkvmFWVersion();
  if (current_devices.empty() && !version.empty()) {
    current_devices.emplace_back(new ckvmfwInfo(kDeviceId, kDeviceId, "", version));
  }
  for (const std::unique_ptr<ckvmfwInfo> &d : current_devices) {
    if (id == nullptr || d->deviceID == id) out.push_back(d.get());
  }
  return CmpiStatus(CMPI_RC_OK);
}

void WaitDebug() {
  if (std::getenv("WAIT_PROC") != nullptr) {
    while (waitDebug != 0) {
      std::printf("Waiting for attach:pid=%d, ppid=%d\n", static_cast<int>(getpid()), static_cast<int>(getppid()));
      std::fflush(stdout);
      sleep(1);
    }
  } else {
    std::printf("Current process:pid=%d, ppid=%d\n", static_cast<int>(getpid()), static_cast<int>(getppid()));
  }
}

// ---------------------------------------------------------------------------- HwCkvmProvider

namespace {

void CheckClass(const CmpiObjectPath &cop) {
  if (!cop.classPathIsA(kClassName)) throw CmpiStatus(CMPI_RC_ERR_INVALID_CLASS);
}

// The DeviceID key as text; null when the path lacks it or has another type.
const char *DeviceIdOf(const CmpiObjectPath &cop) {
  try {
    const CmpiData d = cop.getKey("DeviceID");
    if (d.isNullValue() || (d.type() != CMPI_string && d.type() != CMPI_chars)) return nullptr;
    return d;
  } catch (const CmpiStatus &) {
    return nullptr;
  }
}

}  // namespace

HwCkvmProvider::HwCkvmProvider(const CmpiBroker &mbp, const CmpiContext &ctx)
    : CmpiBaseMI(mbp, ctx), CmpiInstanceMI(mbp, ctx) {}

CmpiInstance HwCkvmProvider::MakeInstance(const CmpiObjectPath &cop, const ckvmfwInfo &d,
                                          const char **properties) const {
  CmpiObjectPath path(cop.getNameSpace(), kClassName);
  path.setKey("DeviceID", CmpiData(d.deviceID.c_str()));
  CmpiInstance inst(path);
  const char *keys[] = {"DeviceID", nullptr};
  inst.setPropertyFilter(properties, keys);
  inst.setProperty("DeviceID", CmpiData(d.deviceID.c_str()));
  inst.setProperty("DeviceName", CmpiData(d.deviceName.c_str()));
  inst.setProperty("MachineTypeModel", CmpiData(d.machineTypeModel.c_str()));
  inst.setProperty("FirmwareVersion", CmpiData(d.firmwareVersion.c_str()));
  return inst;
}

CmpiStatus HwCkvmProvider::enumInstanceNames(const CmpiContext &, CmpiResult &rslt, const CmpiObjectPath &cop) {
  WaitDebug();
  CheckClass(cop);
  std::vector<ckvmfwInfo *> devices;
  const CmpiStatus st = GetDevices(nullptr, devices);
  if (st.rc() != CMPI_RC_OK) return st;
  for (const ckvmfwInfo *d : devices) {
    CmpiObjectPath path(cop.getNameSpace(), kClassName);
    path.setKey("DeviceID", CmpiData(d->deviceID.c_str()));
    rslt.returnData(path);
  }
  rslt.returnDone();
  return CmpiStatus(CMPI_RC_OK);
}

CmpiStatus HwCkvmProvider::enumInstances(const CmpiContext &, CmpiResult &rslt, const CmpiObjectPath &cop,
                                         const char **properties) {
  CheckClass(cop);
  std::vector<ckvmfwInfo *> devices;
  const CmpiStatus st = GetDevices(nullptr, devices);
  if (st.rc() != CMPI_RC_OK) return st;
  for (const ckvmfwInfo *d : devices) rslt.returnData(MakeInstance(cop, *d, properties));
  rslt.returnDone();
  return CmpiStatus(CMPI_RC_OK);
}

CmpiStatus HwCkvmProvider::getInstance(const CmpiContext &, CmpiResult &rslt, const CmpiObjectPath &cop,
                                       const char **properties) {
  CheckClass(cop);
  const char *id = DeviceIdOf(cop);
  std::vector<ckvmfwInfo *> devices;
  if (id != nullptr) {
    const CmpiStatus st = GetDevices(id, devices);
    if (st.rc() != CMPI_RC_OK) return st;
  }
  if (devices.empty()) {
    const char *cls = cop.getClassName().charPtr();
    const std::string msg = std::string("ckvmfwProvider does not handle class ") + (cls != nullptr ? cls : "(null)");
    throw CmpiStatus(CMPI_RC_ERR_NOT_SUPPORTED, msg.c_str());
  }
  rslt.returnData(MakeInstance(cop, *devices.front(), properties));
  rslt.returnDone();
  return CmpiStatus(CMPI_RC_OK);
}

CmpiStatus HwCkvmProvider::setInstance(const CmpiContext &, CmpiResult &, const CmpiObjectPath &,
                                       const CmpiInstance &, const char **) {
  throw CmpiStatus(CMPI_RC_ERR_NOT_SUPPORTED, "Modifications are not supported on this type of device");
}

CmpiStatus HwCkvmProvider::createInstance(const CmpiContext &, CmpiResult &, const CmpiObjectPath &,
                                          const CmpiInstance &) {
  return CmpiStatus(CMPI_RC_ERR_NOT_SUPPORTED);
}

CmpiStatus HwCkvmProvider::deleteInstance(const CmpiContext &, CmpiResult &, const CmpiObjectPath &) {
  return CmpiStatus(CMPI_RC_ERR_NOT_SUPPORTED);
}

CmpiStatus HwCkvmProvider::invokeMethod(const CmpiContext &, CmpiResult &, const CmpiObjectPath &, const char *,
                                        const CmpiArgs &, CmpiArgs &) {
  return CmpiStatus(CMPI_RC_ERR_NOT_SUPPORTED);
}

}  // namespace KVMProvider

// The factory macros of the published CMPI headers leave the status parameter unused.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
CMProviderBase(HwCkvmProvider)
CMInstanceMIFactory(KVMProvider::HwCkvmProvider, HwCkvmProvider)
#pragma GCC diagnostic pop
