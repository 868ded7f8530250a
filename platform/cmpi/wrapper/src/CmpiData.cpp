#include "CmpiData.h"

#include <cstring>

#include "CmpiArray.h"
#include "CmpiInstance.h"
#include "CmpiObjectPath.h"
#include "CmpiStatus.h"
#include "CmpiString.h"

namespace {

CMPIData Make(CMPIType type) {
  CMPIData d;
  std::memset(&d, 0, sizeof d);
  d.type = type;
  d.state = CMPI_goodValue;
  return d;
}

// An encapsulated value: a null object gives a null value of the type.
template <class T>
CMPIData MakeObject(CMPIType type, T *obj, T *CMPIValue::*field) {
  CMPIData d = Make(type);
  d.value.*field = obj;
  if (obj == nullptr) d.state = CMPI_nullValue;
  return d;
}

}  // namespace

CmpiData::CmpiData() : data(Make(CMPI_null)) { data.state = CMPI_nullValue; }

CmpiData::CmpiData(CMPISint8 d) : data(Make(CMPI_sint8)) { data.value.sint8 = d; }
CmpiData::CmpiData(CMPISint16 d) : data(Make(CMPI_sint16)) { data.value.sint16 = d; }
CmpiData::CmpiData(CMPISint32 d) : data(Make(CMPI_sint32)) { data.value.sint32 = d; }
CmpiData::CmpiData(CMPISint64 d) : data(Make(CMPI_sint64)) { data.value.sint64 = d; }
CmpiData::CmpiData(CMPIUint8 d) : data(Make(CMPI_uint8)) { data.value.uint8 = d; }
CmpiData::CmpiData(CMPIUint16 d) : data(Make(CMPI_uint16)) { data.value.uint16 = d; }
CmpiData::CmpiData(CMPIUint32 d) : data(Make(CMPI_uint32)) { data.value.uint32 = d; }
CmpiData::CmpiData(CMPIUint64 d) : data(Make(CMPI_uint64)) { data.value.uint64 = d; }
CmpiData::CmpiData(CMPIReal32 d) : data(Make(CMPI_real32)) { data.value.real32 = d; }
CmpiData::CmpiData(CMPIReal64 d) : data(Make(CMPI_real64)) { data.value.real64 = d; }

CmpiData::CmpiData(const char *d) : data(Make(CMPI_chars)) {
  data.value.chars = const_cast<char *>(d);
  if (d == nullptr) data.state = CMPI_nullValue;
}

CmpiData::CmpiData(const CmpiString &d) : data(MakeObject(CMPI_string, d.getEnc(), &CMPIValue::string)) {}
CmpiData::CmpiData(const CmpiObjectPath &d) : data(MakeObject(CMPI_ref, d.getEnc(), &CMPIValue::ref)) {}
CmpiData::CmpiData(const CmpiInstance &d) : data(MakeObject(CMPI_instance, d.getEnc(), &CMPIValue::inst)) {}

CmpiData::CmpiData(const CmpiArray &d) : data(Make(CMPI_null)) {
  CMPIArray *a = d.getEnc();
  data.value.array = a;
  if (a == nullptr) {
    data.type = CMPI_ARRAY;
    data.state = CMPI_nullValue;
  } else {
    data.type = static_cast<CMPIType>(CMPI_ARRAY | a->ft->getSimpleType(a, nullptr));
  }
}

void CmpiData::require(CMPIType t) const {
  if (data.type != t) throw CmpiStatus(CMPI_RC_ERR_TYPE_MISMATCH, "value is not of the requested type");
  if (isNullValue()) throw CmpiStatus(CMPI_RC_ERR_TYPE_MISMATCH, "value is null");
}

CmpiData::operator CMPISint8() const { require(CMPI_sint8); return data.value.sint8; }
CmpiData::operator CMPISint16() const { require(CMPI_sint16); return data.value.sint16; }
CmpiData::operator CMPISint32() const { require(CMPI_sint32); return data.value.sint32; }
CmpiData::operator CMPISint64() const { require(CMPI_sint64); return data.value.sint64; }
CmpiData::operator CMPIUint8() const { require(CMPI_uint8); return data.value.uint8; }
CmpiData::operator CMPIUint16() const { require(CMPI_uint16); return data.value.uint16; }
CmpiData::operator CMPIUint32() const { require(CMPI_uint32); return data.value.uint32; }
CmpiData::operator CMPIUint64() const { require(CMPI_uint64); return data.value.uint64; }
CmpiData::operator CMPIReal32() const { require(CMPI_real32); return data.value.real32; }
CmpiData::operator CMPIReal64() const { require(CMPI_real64); return data.value.real64; }

CmpiData::operator const char *() const {
  if (data.type == CMPI_chars) {
    require(CMPI_chars);
    return data.value.chars;
  }
  require(CMPI_string);
  return CmpiString(data.value.string).charPtr();
}

CmpiData::operator CmpiString() const {
  require(CMPI_string);
  return CmpiString(data.value.string);
}

CmpiData::operator CmpiObjectPath() const {
  require(CMPI_ref);
  return CmpiObjectPath(data.value.ref);
}

CmpiData::operator CmpiInstance() const {
  require(CMPI_instance);
  return CmpiInstance(data.value.inst);
}

CmpiData::operator CmpiArray() const {
  if ((data.type & CMPI_ARRAY) == 0) throw CmpiStatus(CMPI_RC_ERR_TYPE_MISMATCH, "value is not an array");
  if (isNullValue()) throw CmpiStatus(CMPI_RC_ERR_TYPE_MISMATCH, "value is null");
  return CmpiArray(data.value.array);
}

CmpiBooleanData::CmpiBooleanData(bool b) {
  data.type = CMPI_boolean;
  data.state = CMPI_goodValue;
  data.value.boolean = b ? 1 : 0;
}

bool CmpiBooleanData::value(const CmpiData &d) {
  const CMPIData &raw = d.getData();
  if (raw.type != CMPI_boolean) throw CmpiStatus(CMPI_RC_ERR_TYPE_MISMATCH, "value is not a boolean");
  if ((raw.state & CMPI_nullValue) != 0) throw CmpiStatus(CMPI_RC_ERR_TYPE_MISMATCH, "value is null");
  return raw.value.boolean != 0;
}
