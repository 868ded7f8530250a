/*
 * The CIM client library: CIM operations against a CIMOM over CIM-XML (HTTP or HTTPS).
 *
 *   CMPIStatus rc;
 *   CMCIClient *cc = cmciConnect("169.254.95.118", "https", "5989", user, password, &rc);
 *   CMPIObjectPath *op = newCMPIObjectPath("root/cimv2", "CIM_SoftwareIdentity", NULL);
 *   CMPIEnumeration *en = cc->ft->enumInstances(cc, op, 0, NULL, &rc);
 *   while (en && CMHasNext(en, NULL)) { CMPIData d = CMGetNext(en, NULL); ... d.value.inst ... }
 *   if (en) CMRelease(en);
 *   CMRelease(op);
 *   if (rc.msg) CMRelease(rc.msg);
 *   cc->ft->release(cc);
 *
 * Connecting makes no network contact: a wrong address or account shows at the first operation.
 * Each operation is one CIM-XML request POSTed to scheme://host:port/cimom with Basic
 * authentication. Over HTTPS the server's certificate is verified against the trust store (the
 * system's, or the file given to cmciConnect2), but not its host name.
 *
 * Ownership: every object an operation returns (enumerations, instances, object paths, classes)
 * belongs to the caller and is released through its own release function. Values read from an
 * enumeration (CMGetNext) belong to the enumeration; the value invokeMethod and getProperty
 * return belongs to the client. A status message (rc->msg) is set only for a failure and belongs
 * to the caller.
 *
 * Failures: an operation that fails returns NULL (or a null CMPIData) and sets the status:
 *   - the CIMOM's error: its CIM status code and description;
 *   - an HTTP error: CMPI_RC_ERR_ACCESS_DENIED for 401 and 403, CMPI_RC_ERR_FAILED otherwise,
 *     with "HTTP <code>" and the server's CIMError header or message;
 *   - a connection, TLS or time-out failure: CMPI_RC_ERR_FAILED with libcurl's message;
 *   - an answer that is not a valid CIM-XML response: CMPI_RC_ERR_FAILED.
 * Connecting takes at most 15 s; an answer that stalls for 60 s, or takes more than 300 s in
 * all, is a failure; answers above 64 MiB are refused.
 *
 * A client may be used from several threads; its operations run one at a time.
 */
#ifndef _CMCI_H_
#define _CMCI_H_

#include "cmcidt.h"
#include "cmcift.h"
#include "cmcimacs.h"
#include "native.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Peer verification modes of cmciConnect2. */
#define CMCI_VERIFY_NONE 0
#define CMCI_VERIFY_PEER 1

struct _CMCIClientFT;
typedef struct _CMCIClientFT CMCIClientFT;

typedef struct _CMCIClient {
  void *hdl;
  CMCIClientFT *ft;
} CMCIClient;

struct _CMCIClientFT {
  int ftVersion;
  CMPIStatus (*release)(CMCIClient *cl);
  CMCIClient *(*clone)(CMCIClient *cl, CMPIStatus *rc);
  CMPIConstClass *(*getClass)(CMCIClient *cl, CMPIObjectPath *op, CMPIFlags flags, char **properties,
                              CMPIStatus *rc);
  /* An enumeration of class paths (CMPI_ref). */
  CMPIEnumeration *(*enumClassNames)(CMCIClient *cl, CMPIObjectPath *op, CMPIFlags flags, CMPIStatus *rc);
  /* An enumeration of classes (CMPI_class, the value's dataPtr.ptr is the CMPIConstClass). */
  CMPIEnumeration *(*enumClasses)(CMCIClient *cl, CMPIObjectPath *op, CMPIFlags flags, CMPIStatus *rc);
  CMPIInstance *(*getInstance)(CMCIClient *cl, CMPIObjectPath *op, CMPIFlags flags, char **properties,
                               CMPIStatus *rc);
  CMPIObjectPath *(*createInstance)(CMCIClient *cl, CMPIObjectPath *op, CMPIInstance *inst, CMPIStatus *rc);
  CMPIStatus (*setInstance)(CMCIClient *cl, CMPIObjectPath *op, CMPIInstance *inst, CMPIFlags flags,
                            char **properties);
  CMPIStatus (*deleteInstance)(CMCIClient *cl, CMPIObjectPath *op);
  CMPIEnumeration *(*execQuery)(CMCIClient *cl, CMPIObjectPath *op, const char *query, const char *lang,
                                CMPIStatus *rc);
  CMPIEnumeration *(*enumInstanceNames)(CMCIClient *cl, CMPIObjectPath *op, CMPIStatus *rc);
  CMPIEnumeration *(*enumInstances)(CMCIClient *cl, CMPIObjectPath *op, CMPIFlags flags, char **properties,
                                    CMPIStatus *rc);
  CMPIEnumeration *(*associators)(CMCIClient *cl, CMPIObjectPath *op, const char *assocClass,
                                  const char *resultClass, const char *role, const char *resultRole,
                                  CMPIFlags flags, char **properties, CMPIStatus *rc);
  CMPIEnumeration *(*associatorNames)(CMCIClient *cl, CMPIObjectPath *op, const char *assocClass,
                                      const char *resultClass, const char *role, const char *resultRole,
                                      CMPIStatus *rc);
  CMPIEnumeration *(*references)(CMCIClient *cl, CMPIObjectPath *op, const char *resultClass, const char *role,
                                 CMPIFlags flags, char **properties, CMPIStatus *rc);
  CMPIEnumeration *(*referenceNames)(CMCIClient *cl, CMPIObjectPath *op, const char *resultClass,
                                     const char *role, CMPIStatus *rc);
  /* The return value; the OUT parameters are added to `out`. The objects the returned data
   * refers to (a string, a path, ...) belong to the client: they stay valid until the next
   * invokeMethod or getProperty on it, or until it is released. */
  CMPIData (*invokeMethod)(CMCIClient *cl, CMPIObjectPath *op, const char *method, CMPIArgs *in, CMPIArgs *out,
                           CMPIStatus *rc);
  CMPIStatus (*setProperty)(CMCIClient *cl, CMPIObjectPath *op, const char *name, CMPIValue *value,
                            CMPIType type);
  /* The value as the CIMOM sends it (untyped values arrive as strings); it belongs to the client,
   * as invokeMethod's return value does. */
  CMPIData (*getProperty)(CMCIClient *cl, CMPIObjectPath *op, const char *name, CMPIStatus *rc);
};

/* A client for the CIMOM at hn (default "localhost"), scheme "http" (default) or "https", port
 * (default 5988 for http, 5989 for https), authenticating as user with pwd (no credentials when
 * user is NULL). Verifies the server's certificate against the system trust store. */
CMCIClient *cmciConnect(const char *hn, const char *scheme, const char *port, const char *user, const char *pwd,
                        CMPIStatus *rc);
/* The same with the verification mode (CMCI_VERIFY_PEER or CMCI_VERIFY_NONE), the trust store
 * (a PEM file of trusted authorities; NULL: the system's) and a client certificate and its key
 * (PEM files, or NULL). */
CMCIClient *cmciConnect2(const char *hn, const char *scheme, const char *port, const char *user, const char *pwd,
                         int verifyMode, const char *trustStore, const char *certFile, const char *keyFile,
                         CMPIStatus *rc);

#ifdef __cplusplus
}
#endif

#endif /* _CMCI_H_ */
