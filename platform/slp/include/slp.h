/*
 * slp.h: the Service Location Protocol (SLPv2, RFC 2608) user agent interface of the OpenSLP
 * library, as far as programs on this host use it. Synchronous operation only: the callbacks run
 * inside SLPFindSrvs and SLPFindAttrs, once per result and a last time with SLP_LAST_CALL.
 */
#ifndef _SLP_H
#define _SLP_H

#ifdef __cplusplus
extern "C" {
#endif

#define SLPEXP
#define SLPAPI

typedef enum {
  SLP_LIFETIME_DEFAULT = 10800,
  SLP_LIFETIME_MAXIMUM = 65535
} SLPURLLifetime;

typedef enum {
  SLP_LAST_CALL = 1,
  SLP_OK = 0,
  SLP_LANGUAGE_NOT_SUPPORTED = -1,
  SLP_PARSE_ERROR = -2,
  SLP_INVALID_REGISTRATION = -3,
  SLP_SCOPE_NOT_SUPPORTED = -4,
  SLP_AUTHENTICATION_ABSENT = -6,
  SLP_AUTHENTICATION_FAILED = -7,
  SLP_INVALID_UPDATE = -13,
  SLP_REFRESH_REJECTED = -15,
  SLP_NOT_IMPLEMENTED = -17,
  SLP_BUFFER_OVERFLOW = -18,
  SLP_NETWORK_TIMED_OUT = -19,
  SLP_NETWORK_INIT_FAILED = -20,
  SLP_MEMORY_ALLOC_FAILED = -21,
  SLP_PARAMETER_BAD = -22,
  SLP_NETWORK_ERROR = -23,
  SLP_INTERNAL_SYSTEM_ERROR = -24,
  SLP_HANDLE_IN_USE = -25,
  SLP_TYPE_ERROR = -26
} SLPError;

typedef enum {
  SLP_FALSE = 0,
  SLP_TRUE = 1
} SLPBoolean;

typedef struct srvurl {
  char *s_pcSrvType;
  char *s_pcHost;
  int s_iPort;
  char *s_pcNetFamily;
  char *s_pcSrvPart;
} SLPSrvURL;

typedef void *SLPHandle;

typedef SLPBoolean SLPAPI SLPSrvURLCallback(SLPHandle hSLP, const char *pcSrvURL,
                                            unsigned short sLifetime, SLPError errCode,
                                            void *pvCookie);

typedef SLPBoolean SLPAPI SLPAttrCallback(SLPHandle hSLP, const char *pcAttrList,
                                          SLPError errCode, void *pvCookie);

/* Opens a handle. pcLang is an RFC 1766 language tag; an empty tag means the default ("en").
   Asynchronous handles are not supported (SLP_NOT_IMPLEMENTED). */
SLPEXP SLPError SLPAPI SLPOpen(const char *pcLang, SLPBoolean isAsync, SLPHandle *phSLP);

SLPEXP void SLPAPI SLPClose(SLPHandle hSLP);

/* Restricts multicast requests of the handle to the interfaces with these addresses, given as a
   comma-separated list of IPv4 addresses. */
SLPEXP SLPError SLPAPI SLPAssociateIFList(SLPHandle hSLP, const char *McastIFList);

/* Multicasts a service request for pcServiceType in the scopes of pcScopeList (empty: the default
   scope) with the LDAPv3 search filter pcSearchFilter (empty: all), and reports each service URL
   found to callback. */
SLPEXP SLPError SLPAPI SLPFindSrvs(SLPHandle hSLP, const char *pcServiceType,
                                   const char *pcScopeList, const char *pcSearchFilter,
                                   SLPSrvURLCallback callback, void *pvCookie);

/* Multicasts an attribute request for a service URL or a service type and reports each attribute
   list found to callback. pcAttrIds is a comma-separated list of attribute tags (empty: all). */
SLPEXP SLPError SLPAPI SLPFindAttrs(SLPHandle hSLP, const char *pcURLOrServiceType,
                                    const char *pcScopeList, const char *pcAttrIds,
                                    SLPAttrCallback callback, void *pvCookie);

/* Frees memory the library returned. */
SLPEXP void SLPAPI SLPFree(void *pvMem);

#ifdef __cplusplus
}
#endif

#endif /* _SLP_H */
