#include "version_providers.h"

#include <cstdio>

namespace {

// The cache fill of a version provider: the table read, the version found, one record.
template <class R>
CmpiStatus FillVersion(std::unique_ptr<R> *made, const char *id,
                       std::string (*from_table)(const std::vector<unsigned char> &)) {
  std::vector<unsigned char> table;
  const CmpiStatus st = fwinfo::ReadSmbiosTable(table);
  if (st.rc() != CMPI_RC_OK) return st;
  made->reset(new R(id, from_table(table)));
  return CmpiStatus(CMPI_RC_OK);
}

template <class R>
fwinfo::PublishedClass VersionClass(const char *cls, const char *key, const char *value, const char *provider,
                                 CmpiStatus (*get)(const char *, std::vector<R *> &), void (*wait)()) {
  fwinfo::PublishedClass published;
  published.class_name = cls;
  published.key_property = key;
  published.value_property = value;
  published.provider_name = provider;
  published.records = [get](const char *id, std::vector<const fwinfo::Record *> &out) {
    std::vector<R *> found;
    const CmpiStatus st = get(id, found);
    out.assign(found.begin(), found.end());
    return st;
  };
  published.wait_debug = wait;
  return published;
}

}  // namespace

// ------------------------------------------------------------------------------- controller

namespace BMCInfo {

fwinfo::RecordCache<BMCInfo> bmc_data;
volatile int waitDebug = 1;

BMCInfo::~BMCInfo() { std::printf("BMCInfo destructor\n"); }

void WaitDebug() { fwinfo::WaitForDebugger(&waitDebug); }

CmpiStatus GetBMCVersion(const char *id, std::vector<BMCInfo *> &out) {
  return bmc_data.Get(id, out, [](std::unique_ptr<BMCInfo> *made) {
    return FillVersion(made, "BMC", BMCVersionFromTable);
  });
}

BMCVersionProvider::BMCVersionProvider(const CmpiBroker &mbp, const CmpiContext &ctx)
    : CmpiBaseMI(mbp, ctx),
      RecordProvider(mbp, ctx,
                     VersionClass<BMCInfo>("QelvoSG_BMCElement", "BmcID", "BmcVersion", "BMCVersionProvider",
                                          GetBMCVersion, WaitDebug)) {}

}  // namespace BMCInfo

// ------------------------------------------------------------------------------ diagnostics

namespace pDraviInfo {

fwinfo::RecordCache<PDraviInfo> pdravi_data;
volatile int waitDebug = 1;

PDraviInfo::~PDraviInfo() { std::printf("PDraviInfo destructor\n"); }

void WaitDebug() { fwinfo::WaitForDebugger(&waitDebug); }

CmpiStatus GetPDraviVersion(const char *id, std::vector<PDraviInfo *> &out) {
  return pdravi_data.Get(id, out, [](std::unique_ptr<PDraviInfo> *made) {
    return FillVersion(made, "pDravi", PDraviVersionFromTable);
  });
}

PDraviVersionProvider::PDraviVersionProvider(const CmpiBroker &mbp, const CmpiContext &ctx)
    : CmpiBaseMI(mbp, ctx),
      RecordProvider(mbp, ctx,
                     VersionClass<PDraviInfo>("QelvoSG_DiagnosticVPD", "PDraviID", "PDraviVersion",
                                             "PDraviVersionProvider", GetPDraviVersion, WaitDebug)) {}

}  // namespace pDraviInfo

// ------------------------------------------------------------------------------------ BIOS

namespace BiosInfo {

fwinfo::RecordCache<BIOSInfo> bios_data;
volatile int waitDebug = 1;

BIOSInfo::~BIOSInfo() { std::printf("BIOSInfo destructor\n"); }

void WaitDebug() { fwinfo::WaitForDebugger(&waitDebug); }

CmpiStatus GetBiosVersion(const char *id, std::vector<BIOSInfo *> &out) {
  return bios_data.Get(id, out, [](std::unique_ptr<BIOSInfo> *made) {
    return FillVersion(made, "BIOS", BiosVersionFromTable);
  });
}

BiosVersionProvider::BiosVersionProvider(const CmpiBroker &mbp, const CmpiContext &ctx)
    : CmpiBaseMI(mbp, ctx),
      RecordProvider(mbp, ctx,
                     VersionClass<BIOSInfo>("QelvoSG_SystemBIOSElement", "BIOSID", "BIOSVersion",
                                           "BiosVersionProvider", GetBiosVersion, WaitDebug)) {}

}  // namespace BiosInfo

// The factory macros of the published CMPI headers leave the status parameter unused.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
CMProviderBase(BMCVersionProvider)
CMInstanceMIFactory(BMCInfo::BMCVersionProvider, BMCVersionProvider)

CMProviderBase(PDraviVersionProvider)
CMInstanceMIFactory(pDraviInfo::PDraviVersionProvider, PDraviVersionProvider)

CMProviderBase(BiosVersionProvider)
CMInstanceMIFactory(BiosInfo::BiosVersionProvider, BiosVersionProvider)
#pragma GCC diagnostic pop
