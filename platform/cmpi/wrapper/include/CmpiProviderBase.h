/*
 * CmpiProviderBase - keeps one provider object for all the MIs (instance,
 * method, ...) of a provider, and counts their users. A library declares one
 * base per provider with CMProviderBase(pn) and its factories with
 * CMInstanceMIFactory(cn, pn) / CMMethodMIFactory(cn, pn).
 *
 * Where the CMPI headers define these macros themselves (the published
 * cmpimacs.h does for C++), theirs are used and the wrapper's below are not
 * defined.
 *
 * The first factory call makes the provider object (cn), registers it here,
 * initialises it and writes "--- _Create_InstanceMI() <type>" to standard
 * error; every factory call counts one more user. The broker's cleanup calls
 * give the uses back (CmpiBaseMI::driveBaseCleanup).
 */
#ifndef _CMPIPROVIDERBASE_H_
#define _CMPIPROVIDERBASE_H_

#include <cmpidt.h>
#include <cmpift.h>
#include <cmpimacs.h>

#include <cstdio>
#include <exception>
#include <mutex>
#include <typeinfo>

#include "CmpiBaseMI.h"
#include "CmpiBroker.h"
#include "CmpiContext.h"
#include "CmpiStatus.h"

class CmpiProviderBase {
 public:
  CmpiProviderBase() : baseMI(nullptr), useCount(0) {}
  CmpiProviderBase(const CmpiProviderBase &) = delete;
  CmpiProviderBase &operator=(const CmpiProviderBase &) = delete;

  CmpiBaseMI *getBaseMI() const { return baseMI; }
  void setBaseMI(CmpiBaseMI *mi) { baseMI = mi; }
  unsigned int incUseCount() { return ++useCount; }
  unsigned int decUseCount() { return useCount > 0 ? --useCount : 0; }
  unsigned int getUseCount() const { return useCount; }
  /* Serialises the factory and cleanup of this provider. */
  std::mutex &lock() { return mutex; }

  /* The broker the library's factories were called with (one per library
   * image): objects the wrapper makes on their own (CmpiString("..."),
   * CmpiObjectPath(ns, cls), status messages) are made with it. */
  static const CMPIBroker *getBroker();
  static void setBroker(const CMPIBroker *mb);

 private:
  CmpiBaseMI *baseMI;
  unsigned int useCount;
  std::mutex mutex;
};

#ifndef CMProviderBase
#define CMProviderBase(pn) static CmpiProviderBase base##pn;
#endif

namespace cmpiwrapper {

/* Converts a status for the broker without throwing. */
CMPIStatus ToCMPIStatus(const CmpiStatus &st) noexcept;

/* Runs an MI operation for a driver: the status it returns, or the one it
 * throws; any other exception becomes CMPI_RC_ERR_FAILED with its text. */
template <class F>
CMPIStatus Drive(F &&op) noexcept {
  try {
    return ToCMPIStatus(op());
  } catch (const CmpiStatus &st) {
    return ToCMPIStatus(st);
  } catch (const std::exception &e) {
    return ToCMPIStatus(CmpiStatus(CMPI_RC_ERR_FAILED, e.what()));
  } catch (...) {
    return ToCMPIStatus(CmpiStatus(CMPI_RC_ERR_FAILED, "unexpected exception in provider"));
  }
}

/* The body of every MI factory: the provider object of `base`, made on first
 * use, as the handle of the static MI `mi`. Null with *rc set when the
 * provider cannot be made. */
template <class Provider, class MI>
MI *CreateMI(CmpiProviderBase &base, MI *mi, const char *what, const CMPIBroker *mb, const CMPIContext *ctxp,
             CMPIStatus *rc) noexcept {
  CMPIStatus st = {CMPI_RC_OK, nullptr};
  try {
    std::lock_guard<std::mutex> hold(base.lock());
    if (mb != nullptr) CmpiProviderBase::setBroker(mb);
    CmpiBaseMI *provider = base.getBaseMI();
    if (provider == nullptr) {
      CmpiContext ctx(ctxp);
      provider = new Provider(CmpiBroker(mb), ctx);
      provider->setProviderBase(&base);
      const CmpiStatus init = provider->initialize(ctx);
      if (init.rc() != CMPI_RC_OK) {
        delete provider;
        if (rc != nullptr) *rc = ToCMPIStatus(init);
        return nullptr;
      }
      base.setBaseMI(provider);
      std::fprintf(stderr, "--- %s() %s\n", what, typeid(provider).name());
    }
    mi->hdl = provider;
    base.incUseCount();
  } catch (const CmpiStatus &e) {
    st = ToCMPIStatus(e);
  } catch (const std::exception &e) {
    st = ToCMPIStatus(CmpiStatus(CMPI_RC_ERR_FAILED, e.what()));
  } catch (...) {
    st = ToCMPIStatus(CmpiStatus(CMPI_RC_ERR_FAILED, "provider could not be created"));
  }
  if (rc != nullptr) *rc = st;
  return st.rc == CMPI_RC_OK ? mi : nullptr;
}

}  // namespace cmpiwrapper

#endif /* _CMPIPROVIDERBASE_H_ */
