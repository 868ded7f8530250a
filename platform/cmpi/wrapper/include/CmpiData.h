/*
 * CmpiData - one typed CMPI value (a property, key, argument, array element or
 * context entry). Built from a C++ value it takes that value's CMPI type;
 * converted back it checks the type and throws CmpiStatus
 * (CMPI_RC_ERR_TYPE_MISMATCH) when the value is of another type or null.
 */
#ifndef _CMPIDATA_H_
#define _CMPIDATA_H_

#include <cmpidt.h>
#include <cmpift.h>

class CmpiString;
class CmpiObjectPath;
class CmpiInstance;
class CmpiArray;
class CmpiDateTime;

class CmpiData {
 public:
  CmpiData();  // a null value
  CmpiData(const CMPIData &d) : data(d) {}  // NOLINT

  CmpiData(CMPISint8 d);   // NOLINT
  CmpiData(CMPISint16 d);  // NOLINT
  CmpiData(CMPISint32 d);  // NOLINT
  CmpiData(CMPISint64 d);  // NOLINT
  CmpiData(CMPIUint8 d);   // NOLINT
  CmpiData(CMPIUint16 d);  // NOLINT
  CmpiData(CMPIUint32 d);  // NOLINT
  CmpiData(CMPIUint64 d);  // NOLINT
  CmpiData(CMPIReal32 d);  // NOLINT
  CmpiData(CMPIReal64 d);  // NOLINT
  /* Strings: a const char * is taken as CMPI_chars and must outlive the use
   * (containers copy it when it is stored). */
  CmpiData(const char *d);              // NOLINT
  CmpiData(const CmpiString &d);        // NOLINT
  CmpiData(const CmpiObjectPath &d);    // NOLINT
  CmpiData(const CmpiInstance &d);      // NOLINT
  CmpiData(const CmpiArray &d);         // NOLINT

  operator CMPISint8() const;
  operator CMPISint16() const;
  operator CMPISint32() const;
  operator CMPISint64() const;
  operator CMPIUint8() const;
  operator CMPIUint16() const;
  operator CMPIUint32() const;
  operator CMPIUint64() const;
  operator CMPIReal32() const;
  operator CMPIReal64() const;
  /* CMPI_string or CMPI_chars; null for a null string object. */
  operator const char *() const;
  operator CmpiString() const;
  operator CmpiObjectPath() const;
  operator CmpiInstance() const;
  operator CmpiArray() const;

  bool isNullValue() const { return (data.state & CMPI_nullValue) != 0; }
  bool isNotFound() const { return (data.state & CMPI_notFound) != 0; }
  bool isKeyValue() const { return (data.state & CMPI_keyValue) != 0; }
  CMPIType type() const { return data.type; }
  const CMPIData &getData() const { return data; }

 protected:
  /* Throws CMPI_RC_ERR_TYPE_MISMATCH unless the value is a non-null `t`. */
  void require(CMPIType t) const;

  CMPIData data;
};

/* A boolean value (CMPIBoolean and CMPIUint8 are the same C type). */
class CmpiBooleanData : public CmpiData {
 public:
  explicit CmpiBooleanData(bool b);
  /* Throws unless `d` holds a boolean. */
  static bool value(const CmpiData &d);
};

#endif /* _CMPIDATA_H_ */
