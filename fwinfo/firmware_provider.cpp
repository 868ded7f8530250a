#include "firmware_provider.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "ipmi_datastore.h"

namespace fwinfo {

Record::~Record() = default;

void WaitForDebugger(volatile int *flag) {
  if (std::getenv("WAIT_PROC") != nullptr) {
    while (*flag != 0) {
      std::printf("Waiting for attach:pid=%d, ppid=%d\n", static_cast<int>(getpid()), static_cast<int>(getppid()));
      std::fflush(stdout);
      sleep(1);
    }
  } else {
    std::printf("Current process:pid=%d, ppid=%d\n", static_cast<int>(getpid()), static_cast<int>(getppid()));
  }
}

CmpiStatus ReadSmbiosTable(std::vector<unsigned char> &table) {
  table.assign(64, 0);  // the store sizes it to the file
  IpmiDataStore store;
  unsigned char status = 0;
  const int rc = store.ReadFile(status, "smbios-table", table, IpmiDataStore::kCharacteristicsNone,
                                IpmiDataStore::kRequestByte, IpmiDataStore::kAccessRead, false);
  if (status != 0 || rc != 0) {
    std::printf("OP : %x : %x\n", status, static_cast<unsigned>(rc));
    return CmpiStatus(CMPI_RC_ERR_FAILED, "the SMBIOS table could not be read from the controller");
  }
  return CmpiStatus(CMPI_RC_OK);
}

const char *StringKey(const CmpiObjectPath &cop, const char *key) {
  try {
    const CmpiData d = cop.getKey(key);
    if (d.isNullValue() || (d.type() != CMPI_string && d.type() != CMPI_chars)) return nullptr;
    return d;
  } catch (const CmpiStatus &) {
    return nullptr;  // no such key
  }
}

std::string ClassNameOf(const CmpiObjectPath &cop) {
  const char *cls = cop.getClassName().charPtr();
  return cls != nullptr ? cls : "(null)";
}

// ---------------------------------------------------------------------------- RecordProvider

RecordProvider::RecordProvider(const CmpiBroker &mbp, const CmpiContext &ctx, PublishedClass published)
    : CmpiBaseMI(mbp, ctx), CmpiInstanceMI(mbp, ctx), published_(std::move(published)) {}

void RecordProvider::CheckClass(const CmpiObjectPath &cop) const {
  if (!cop.classPathIsA(published_.class_name)) throw CmpiStatus(CMPI_RC_ERR_INVALID_CLASS);
}

CmpiInstance RecordProvider::MakeInstance(const CmpiObjectPath &cop, const Record &r, const char **properties) const {
  CmpiObjectPath path(cop.getNameSpace(), published_.class_name);
  path.setKey(published_.key_property, CmpiData(r.id().c_str()));
  CmpiInstance inst(path);
  const char *keys[] = {published_.key_property, nullptr};
  inst.setPropertyFilter(properties, keys);
  inst.setProperty(published_.key_property, CmpiData(r.id().c_str()));
  inst.setProperty(published_.value_property, CmpiData(r.value().c_str()));
  return inst;
}

CmpiStatus RecordProvider::enumInstanceNames(const CmpiContext &, CmpiResult &rslt, const CmpiObjectPath &cop) {
  published_.wait_debug();
  CheckClass(cop);
  std::vector<const Record *> records;
  const CmpiStatus st = published_.records(nullptr, records);
  if (st.rc() != CMPI_RC_OK) return st;
  for (const Record *r : records) {
    CmpiObjectPath path(cop.getNameSpace(), published_.class_name);
    path.setKey(published_.key_property, CmpiData(r->id().c_str()));
    rslt.returnData(path);
  }
  rslt.returnDone();
  return CmpiStatus(CMPI_RC_OK);
}

CmpiStatus RecordProvider::enumInstances(const CmpiContext &, CmpiResult &rslt, const CmpiObjectPath &cop,
                                         const char **properties) {
  published_.wait_debug();
  CheckClass(cop);
  std::vector<const Record *> records;
  const CmpiStatus st = published_.records(nullptr, records);
  if (st.rc() != CMPI_RC_OK) return st;
  for (const Record *r : records) rslt.returnData(MakeInstance(cop, *r, properties));
  rslt.returnDone();
  return CmpiStatus(CMPI_RC_OK);
}

CmpiStatus RecordProvider::getInstance(const CmpiContext &, CmpiResult &rslt, const CmpiObjectPath &cop,
                                       const char **properties) {
  CheckClass(cop);
  const char *id = StringKey(cop, published_.key_property);
  std::vector<const Record *> records;
  if (id != nullptr) {
    const CmpiStatus st = published_.records(id, records);
    if (st.rc() != CMPI_RC_OK) return st;
  }
  // A path without the key names no record (it must not select them all).
  if (records.empty()) {
    const std::string msg = std::string(published_.provider_name) + " does not handle class " + ClassNameOf(cop);
    throw CmpiStatus(CMPI_RC_ERR_NOT_SUPPORTED, msg.c_str());
  }
  rslt.returnData(MakeInstance(cop, *records.front(), properties));
  rslt.returnDone();
  return CmpiStatus(CMPI_RC_OK);
}

CmpiStatus RecordProvider::setInstance(const CmpiContext &, CmpiResult &, const CmpiObjectPath &,
                                       const CmpiInstance &, const char **) {
  throw CmpiStatus(CMPI_RC_ERR_NOT_SUPPORTED, "Modifications are not supported on this type of smbios");
}

CmpiStatus RecordProvider::createInstance(const CmpiContext &, CmpiResult &, const CmpiObjectPath &,
                                          const CmpiInstance &) {
  return CmpiStatus(CMPI_RC_ERR_NOT_SUPPORTED);
}

CmpiStatus RecordProvider::deleteInstance(const CmpiContext &, CmpiResult &, const CmpiObjectPath &) {
  return CmpiStatus(CMPI_RC_ERR_NOT_SUPPORTED);
}

CmpiStatus RecordProvider::invokeMethod(const CmpiContext &, CmpiResult &, const CmpiObjectPath &, const char *,
                                        const CmpiArgs &, CmpiArgs &) {
  return CmpiStatus(CMPI_RC_ERR_NOT_SUPPORTED);
}

}  // namespace fwinfo
