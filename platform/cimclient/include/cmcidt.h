/*
 * Data types of the CIM client library: the CMPI data types (from the CMPI headers) and the
 * client's own class object, CMPIConstClass.
 */
#ifndef _CMCIDT_H_
#define _CMCIDT_H_

#include <cmpidt.h>

#ifdef __cplusplus
extern "C" {
#endif

struct _CMPIConstClass;
typedef struct _CMPIConstClass CMPIConstClass;
struct _CMPIConstClassFT;
typedef struct _CMPIConstClassFT CMPIConstClassFT;

#ifdef __cplusplus
}
#endif

#endif /* _CMCIDT_H_ */
