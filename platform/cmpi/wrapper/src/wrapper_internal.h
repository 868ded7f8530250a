// Helpers shared by the wrapper's sources.
#ifndef QELVO_CMPI_WRAPPER_INTERNAL_H
#define QELVO_CMPI_WRAPPER_INTERNAL_H

#include <cmpidt.h>
#include <cmpift.h>

#include "CmpiStatus.h"

namespace cmpiwrapper {

// Throws the status unless it is CMPI_RC_OK.
inline void Check(const CMPIStatus &st) {
  if (st.rc != CMPI_RC_OK) throw CmpiStatus(st);
}

// Throws CMPI_RC_ERR_INVALID_HANDLE for an object the wrapper does not hold.
inline void RequireObject(const void *enc, const char *what) {
  if (enc == nullptr) throw CmpiStatus(CMPI_RC_ERR_INVALID_HANDLE, what);
}

// The library's broker; throws when no factory has been called yet.
const CMPIBroker *Broker();

}  // namespace cmpiwrapper

#endif  // QELVO_CMPI_WRAPPER_INTERNAL_H
