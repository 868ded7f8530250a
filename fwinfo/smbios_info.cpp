#include "smbios_info.h"

#include <cstdio>


namespace SmbiosInfo {

fwinfo::RecordCache<SmbiosInfo> smbios_data;
volatile int waitDebug = 1;

SmbiosInfo::~SmbiosInfo() { std::printf("SmbiosInfo destructor\n"); }

void WaitDebug() { fwinfo::WaitForDebugger(&waitDebug); }

CmpiStatus GetSmbiosRawData(const char *id, std::vector<SmbiosInfo *> &out) {
  return smbios_data.Get(id, out, [](std::unique_ptr<SmbiosInfo> *made) {
    std::vector<unsigned char> table;
    const CmpiStatus st = fwinfo::ReadSmbiosTable(table);
    if (st.rc() != CMPI_RC_OK) return st;
    std::string dump;
    format_raw_data(table, dump);
    made->reset(new SmbiosInfo("SMBIOS", dump));
    return CmpiStatus(CMPI_RC_OK);
  });
}

namespace {

fwinfo::PublishedClass Published() {
  fwinfo::PublishedClass published;
  published.class_name = "QelvoSG_SmbiosInfo";
  published.key_property = "SmbiosID";
  published.value_property = "SmbiosRawData";
  published.provider_name = "SmbiosInfoProvider";
  published.records = [](const char *id, std::vector<const fwinfo::Record *> &out) {
    std::vector<SmbiosInfo *> found;
    const CmpiStatus st = GetSmbiosRawData(id, found);
    out.assign(found.begin(), found.end());
    return st;
  };
  published.wait_debug = WaitDebug;
  return published;
}

}  // namespace

SmbiosInfoProvider::SmbiosInfoProvider(const CmpiBroker &mbp, const CmpiContext &ctx)
    : CmpiBaseMI(mbp, ctx), RecordProvider(mbp, ctx, Published()) {}

}  // namespace SmbiosInfo

// The factory macros of the published CMPI headers leave the status parameter unused.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
CMProviderBase(SmbiosInfoProvider)
CMInstanceMIFactory(SmbiosInfo::SmbiosInfoProvider, SmbiosInfoProvider)
#pragma GCC diagnostic pop
