/*
 * CmpiString - a CMPI string.
 */
#ifndef _CMPISTRING_H_
#define _CMPISTRING_H_

#include "CmpiObject.h"

class CmpiString : public CmpiObject {
 public:
  CmpiString() : CmpiObject(nullptr) {}
  CmpiString(const CMPIString *s) : CmpiObject(s) {}  // NOLINT
  /* A new string with a copy of s, made by the provider's broker. */
  CmpiString(const char *s);  // NOLINT

  /* The characters, or null for a null string. */
  const char *charPtr() const;
  bool equals(const char *other) const;
  bool equals(const CmpiString &other) const { return equals(other.charPtr()); }
  bool equalsIgnoreCase(const char *other) const;
  bool equalsIgnoreCase(const CmpiString &other) const { return equalsIgnoreCase(other.charPtr()); }

  CMPIString *getEnc() const { return static_cast<CMPIString *>(enc); }
};

#endif /* _CMPISTRING_H_ */
