// The firmware version providers: the controller's firmware (BMCVersionProvider), the pre-boot
// diagnostics (PDraviVersionProvider) and the system BIOS (BiosVersionProvider), each read from
// the SMBIOS table the controller keeps and published as one instance.
#ifndef QELVO_FWINFO_VERSION_PROVIDERS_H
#define QELVO_FWINFO_VERSION_PROVIDERS_H

#include <string>
#include <vector>

#include "firmware_provider.h"

namespace BMCInfo {

class BMCInfo : public fwinfo::Record {
 public:
  BMCInfo(std::string id, std::string version) : Record(std::move(id), std::move(version)) {}
  ~BMCInfo() override;
};

extern fwinfo::RecordCache<BMCInfo> bmc_data;
extern volatile int waitDebug;
void WaitDebug();
CmpiStatus GetBMCVersion(const char *id, std::vector<BMCInfo *> &out);

class BMCVersionProvider : public fwinfo::RecordProvider {
 public:
  BMCVersionProvider(const CmpiBroker &mbp, const CmpiContext &ctx);
};

}  // namespace BMCInfo

namespace pDraviInfo {

class PDraviInfo : public fwinfo::Record {
 public:
  PDraviInfo(std::string id, std::string version) : Record(std::move(id), std::move(version)) {}
  ~PDraviInfo() override;
};

extern fwinfo::RecordCache<PDraviInfo> pdravi_data;
extern volatile int waitDebug;
void WaitDebug();
CmpiStatus GetPDraviVersion(const char *id, std::vector<PDraviInfo *> &out);

class PDraviVersionProvider : public fwinfo::RecordProvider {
 public:
  PDraviVersionProvider(const CmpiBroker &mbp, const CmpiContext &ctx);
};

}  // namespace pDraviInfo

namespace BiosInfo {

class BIOSInfo : public fwinfo::Record {
 public:
  BIOSInfo(std::string id, std::string version) : Record(std::move(id), std::move(version)) {}
  ~BIOSInfo() override;
};

extern fwinfo::RecordCache<BIOSInfo> bios_data;
extern volatile int waitDebug;
void WaitDebug();
CmpiStatus GetBiosVersion(const char *id, std::vector<BIOSInfo *> &out);

class BiosVersionProvider : public fwinfo::RecordProvider {
 public:
  BiosVersionProvider(const CmpiBroker &mbp, const CmpiContext &ctx);
};

}  // namespace BiosInfo

#endif  // QELVO_FWINFO_VERSION_PROVIDERS_H
