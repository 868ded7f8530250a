/*
 * CmpiStatus - the outcome of an operation: a CMPI return code and an optional
 * message. Providers throw it to end an operation with that outcome; the MI
 * drivers turn it into the CMPIStatus the broker receives.
 */
#ifndef _CMPISTATUS_H_
#define _CMPISTATUS_H_

#include <cmpidt.h>

#include <string>

class CmpiStatus {
 public:
  CmpiStatus();                              // CMPI_RC_OK
  CmpiStatus(const CMPIrc rc);               // NOLINT: a code converts implicitly
  CmpiStatus(const CMPIrc rc, const char *msg);
  CmpiStatus(const CMPIStatus stat);         // NOLINT: copies the code and the message text

  CMPIrc rc() const { return rc_; }
  /* The message text, or null when there is none. */
  const char *msg() const { return has_msg_ ? msg_.c_str() : nullptr; }
  /* The CMPI form; the message becomes a string made by the provider's broker
   * (belonging to the current request), or null when no broker is known. */
  CMPIStatus status() const;

 private:
  CMPIrc rc_;
  std::string msg_;
  bool has_msg_;
};

#endif /* _CMPISTATUS_H_ */
