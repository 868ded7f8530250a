// SmbiosInfoProvider: the whole SMBIOS table of the server as one QelvoSG_SmbiosInfo instance,
// whose SmbiosRawData is a text dump of every structure.
#ifndef QELVO_FWINFO_SMBIOS_INFO_H
#define QELVO_FWINFO_SMBIOS_INFO_H

#include <string>
#include <vector>

#include "firmware_provider.h"

namespace SmbiosInfo {

class SmbiosInfo : public fwinfo::Record {
 public:
  SmbiosInfo(std::string id, std::string raw) : Record(std::move(id), std::move(raw)) {}
  ~SmbiosInfo() override;
};

// The cache: one record ("SMBIOS", the dump) after the first successful read.
extern fwinfo::RecordCache<SmbiosInfo> smbios_data;
extern volatile int waitDebug;

void WaitDebug();

// The records with identifier id (all for null), read from the controller on first use.
CmpiStatus GetSmbiosRawData(const char *id, std::vector<SmbiosInfo *> &out);

class SmbiosInfoProvider : public fwinfo::RecordProvider {
 public:
  SmbiosInfoProvider(const CmpiBroker &mbp, const CmpiContext &ctx);
};

}  // namespace SmbiosInfo

#endif  // QELVO_FWINFO_SMBIOS_INFO_H
