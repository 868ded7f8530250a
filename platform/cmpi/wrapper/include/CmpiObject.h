/*
 * CmpiObject - common base of the wrapper classes that encapsulate a CMPI
 * object. The encapsulated object belongs to the broker (or to the current
 * request); a wrapper object never releases it, so copies are cheap and share
 * the object.
 */
#ifndef _CMPIOBJECT_H_
#define _CMPIOBJECT_H_

#include <cmpidt.h>
#include <cmpift.h>

class CmpiString;

class CmpiObject {
 public:
  /* The broker's text form of the object. */
  CmpiString toString() const;
  bool isNull() const { return enc == nullptr; }

 protected:
  CmpiObject() : enc(nullptr) {}
  explicit CmpiObject(const void *p) : enc(const_cast<void *>(p)) {}

  void *enc;
};

#endif /* _CMPIOBJECT_H_ */
