// HwCkvmProvider: the firmware version of the concurrent-KVM device as one instance of
// QelvoSG_CKVMFirmwareElement, read from the device by an I2C master write-read that the
// controller carries out (IPMI network function 0x06, command 0x52).
#ifndef QELVO_KVMFW_KVM_PROVIDER_H
#define QELVO_KVMFW_KVM_PROVIDER_H

#include <CmpiInstanceMI.h>
#include <CmpiMethodMI.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace KVMProvider {

class ckvmfwInfo {
 public:
  ckvmfwInfo(std::string id, std::string name, std::string mtm, std::string version)
      : deviceID(std::move(id)), deviceName(std::move(name)), machineTypeModel(std::move(mtm)),
        firmwareVersion(std::move(version)) {}
  ~ckvmfwInfo();

  std::string deviceID;
  std::string deviceName;
  std::string machineTypeModel;
  std::string firmwareVersion;
};

// The cache: the single record, kept from the first version read that reached the device until
// the library is unloaded. Guarded by current_devices_lock, which also serialises the exchanges
// on kcs_fd.
extern std::vector<std::unique_ptr<ckvmfwInfo>> current_devices;
extern std::mutex current_devices_lock;
extern int kcs_fd;
extern volatile int waitDebug;

// The version request: bus 0xF5, the device at slave address 0x68, 16 bytes read after writing
// 1D 01 00.
constexpr unsigned char kNetFnApp = 0x06;
constexpr unsigned char kCmdMasterWriteRead = 0x52;

// This library's own transport on kcs_fd (as the data store's).
int connect_kcs();
void disconnect_kcs();
int send_IPMI_command(unsigned char cmd, const unsigned char *data, unsigned short len, unsigned char *reply,
                      unsigned short *reply_len, unsigned char netfn);

// The device's version: "" when the IPMI device cannot be opened, " " when the request fails, is
// refused or the device answers 0xFF, else its text up to the first zero byte (at most 16).
std::string GetCkvmFWVersion();

// Reads the version (every call) and appends the records whose ID is id (all for null) to out.
CmpiStatus GetDevices(const char *id, std::vector<ckvmfwInfo *> &out);

void WaitDebug();

class HwCkvmProvider : public CmpiInstanceMI {
 public:
  HwCkvmProvider(const CmpiBroker &mbp, const CmpiContext &ctx);

  CmpiStatus enumInstanceNames(const CmpiContext &ctx, CmpiResult &rslt, const CmpiObjectPath &cop) override;
  CmpiStatus enumInstances(const CmpiContext &ctx, CmpiResult &rslt, const CmpiObjectPath &cop,
                           const char **properties) override;
  CmpiStatus getInstance(const CmpiContext &ctx, CmpiResult &rslt, const CmpiObjectPath &cop,
                         const char **properties) override;
  CmpiStatus setInstance(const CmpiContext &ctx, CmpiResult &rslt, const CmpiObjectPath &cop,
                         const CmpiInstance &inst, const char **properties) override;
  CmpiStatus createInstance(const CmpiContext &ctx, CmpiResult &rslt, const CmpiObjectPath &cop,
                            const CmpiInstance &inst) override;
  CmpiStatus deleteInstance(const CmpiContext &ctx, CmpiResult &rslt, const CmpiObjectPath &cop) override;
  CmpiStatus invokeMethod(const CmpiContext &ctx, CmpiResult &rslt, const CmpiObjectPath &ref, const char *methodName,
                          const CmpiArgs &in, CmpiArgs &out);

 private:
  CmpiInstance MakeInstance(const CmpiObjectPath &cop, const ckvmfwInfo &d, const char **properties) const;
};

}  // namespace KVMProvider

#endif  // QELVO_KVMFW_KVM_PROVIDER_H
