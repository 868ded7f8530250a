// What the providers of the firmware inventory library share: their record base, the
// process-wide record cache, the debugger wait, the table fetch and the instance provider
// that publishes one record class.
#ifndef QELVO_FWINFO_FIRMWARE_PROVIDER_H
#define QELVO_FWINFO_FIRMWARE_PROVIDER_H

#include <CmpiInstanceMI.h>
#include <CmpiMethodMI.h>

#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "table_rules.h"

namespace fwinfo {

// A published record: its identifier (the key) and its value.
class Record {
 public:
  Record(std::string id, std::string value) : id_(std::move(id)), value_(std::move(value)) {}
  virtual ~Record();
  const std::string &id() const { return id_; }
  const std::string &value() const { return value_; }

 private:
  std::string id_;
  std::string value_;
};

// A process-wide list of records, filled once on first use and kept until the library is
// unloaded. Filling and reading are serialised: concurrent first requests fill it once, and a
// request sees either no record (while a failed fill leaves it empty for the next request to
// retry) or the filled list, never a list being filled.
template <class R>
class RecordCache {
 public:
  // fill() is called while the cache is empty; it returns the status and, on success, the
  // record to keep. Then every record whose identifier is id (all for a null id) is appended to
  // out; the pointers stay valid until the library is unloaded.
  CmpiStatus Get(const char *id, std::vector<R *> &out,
                 const std::function<CmpiStatus(std::unique_ptr<R> *)> &fill) {
    std::lock_guard<std::mutex> hold(lock_);
    if (records_.empty()) {
      std::unique_ptr<R> made;
      const CmpiStatus st = fill(&made);
      if (st.rc() != CMPI_RC_OK) return st;
      if (made) records_.push_back(std::move(made));
    }
    for (const std::unique_ptr<R> &r : records_) {
      if (id == nullptr || r->id() == id) out.push_back(r.get());
    }
    return CmpiStatus(CMPI_RC_OK);
  }

  size_t size() {
    std::lock_guard<std::mutex> hold(lock_);
    return records_.size();
  }

 private:
  std::mutex lock_;
  std::vector<std::unique_ptr<R>> records_;
};

// The debugger wait at the start of an enumeration: with WAIT_PROC set, prints
// "Waiting for attach:pid=%d, ppid=%d" once a second while *flag is set (a debugger clears it);
// otherwise prints "Current process:pid=%d, ppid=%d" once.
void WaitForDebugger(volatile int *flag);

// Reads the controller's "smbios-table" into table. On failure writes "OP : <status> : <result>"
// to standard output and returns CMPI_RC_ERR_FAILED.
CmpiStatus ReadSmbiosTable(std::vector<unsigned char> &table);

// How one provider publishes its record class.
struct PublishedClass {
  const char *class_name;      // the CIM class
  const char *key_property;    // its key, the record's identifier
  const char *value_property;  // the record's value
  const char *provider_name;   // opens the message for an unknown key
  // The records with the identifier (all for null).
  std::function<CmpiStatus(const char *id, std::vector<const Record *> &out)> records;
  std::function<void()> wait_debug;
};

// A read-only instance provider for one record class: enumerations after the debugger wait,
// getInstance by key, modifications refused.
class RecordProvider : public CmpiInstanceMI {
 public:
  RecordProvider(const CmpiBroker &mbp, const CmpiContext &ctx, PublishedClass published);

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
  void CheckClass(const CmpiObjectPath &cop) const;
  CmpiInstance MakeInstance(const CmpiObjectPath &cop, const Record &r, const char **properties) const;

  PublishedClass published_;
};

// The key's value when the path has it as a string, else null.
const char *StringKey(const CmpiObjectPath &cop, const char *key);
// The request's class name, "(null)" when it has none.
std::string ClassNameOf(const CmpiObjectPath &cop);

}  // namespace fwinfo

#endif  // QELVO_FWINFO_FIRMWARE_PROVIDER_H
