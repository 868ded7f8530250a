/*
 * Constructors of the CIM client library's objects. Every object they make belongs to the
 * caller, who releases it through its own release function (CMRelease).
 */
#ifndef _NATIVE_H_
#define _NATIVE_H_

#include "cmcidt.h"
#include "cmcift.h"

#ifdef __cplusplus
extern "C" {
#endif

CMPIString *native_new_CMPIString(const char *ptr, CMPIStatus *rc);
CMPIArray *native_new_CMPIArray(CMPICount size, CMPIType type, CMPIStatus *rc);
CMPIInstance *native_new_CMPIInstance(CMPIObjectPath *cop, CMPIStatus *rc);
CMPIObjectPath *newCMPIObjectPath(const char *nameSpace, const char *className, CMPIStatus *rc);
CMPIArgs *native_new_CMPIArgs(CMPIStatus *rc);
CMPIDateTime *native_new_CMPIDateTime(CMPIStatus *rc);
CMPIDateTime *native_new_CMPIDateTime_fromBinary(CMPIUint64 date, CMPIBoolean interval, CMPIStatus *rc);
CMPIDateTime *native_new_CMPIDateTime_fromChars(const char *string, CMPIStatus *rc);

#ifdef __cplusplus
}
#endif

#endif /* _NATIVE_H_ */
