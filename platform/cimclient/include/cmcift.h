/*
 * Function tables of the CIM client library: the CMPI encapsulated types (from the CMPI headers)
 * and the class object a client's getClass and enumClasses hand out.
 *
 * A CMPIConstClass belongs to the caller, who releases it. The strings and values its getters
 * return (class name, property and qualifier names and values) belong to the class object and
 * stay valid until it is released; they must not be released by the caller.
 */
#ifndef _CMCIFT_H_
#define _CMCIFT_H_

#include <cmpift.h>

#include "cmcidt.h"

#ifdef __cplusplus
extern "C" {
#endif

struct _CMPIConstClass {
  void *hdl;
  CMPIConstClassFT *ft;
};

struct _CMPIConstClassFT {
  int ftVersion;
  CMPIStatus (*release)(CMPIConstClass *ccls);
  CMPIConstClass *(*clone)(CMPIConstClass *ccls, CMPIStatus *rc);
  CMPIString *(*getClassName)(CMPIConstClass *ccls, CMPIStatus *rc);
  /* A property: its type and its default value (state CMPI_nullValue when it has none). */
  CMPIData (*getProperty)(CMPIConstClass *ccls, const char *name, CMPIStatus *rc);
  CMPIData (*getPropertyAt)(CMPIConstClass *ccls, CMPICount index, CMPIString **name, CMPIStatus *rc);
  CMPICount (*getPropertyCount)(CMPIConstClass *ccls, CMPIStatus *rc);
  /* Class qualifiers. */
  CMPIData (*getQualifier)(CMPIConstClass *ccls, const char *qualifierName, CMPIStatus *rc);
  CMPIData (*getQualifierAt)(CMPIConstClass *ccls, CMPICount index, CMPIString **name, CMPIStatus *rc);
  CMPICount (*getQualifierCount)(CMPIConstClass *ccls, CMPIStatus *rc);
  /* Qualifiers of a property. */
  CMPIData (*getPropertyQualifier)(CMPIConstClass *ccls, const char *propertyName, const char *qualifierName,
                                   CMPIStatus *rc);
  CMPIData (*getPropertyQualifierAt)(CMPIConstClass *ccls, const char *propertyName, CMPICount index,
                                     CMPIString **name, CMPIStatus *rc);
  CMPICount (*getPropertyQualifierCount)(CMPIConstClass *ccls, const char *propertyName, CMPIStatus *rc);
};

#ifdef __cplusplus
}
#endif

#endif /* _CMCIFT_H_ */
