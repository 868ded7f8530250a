/*
 * Convenience macros of the CIM client library: the CMPI macros (CMGetCharPtr, CMRelease,
 * CMClone, CMGetKey, ...) from the CMPI headers, which work on the client's objects as well.
 */
#ifndef _CMCIMACS_H_
#define _CMCIMACS_H_

#include <cmpimacs.h>

#endif /* _CMCIMACS_H_ */
