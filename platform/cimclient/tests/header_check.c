/* The client headers compile as C beside the CMPI headers, in either order, as a provider
 * written for the published interfaces includes them. Compiled only, never run. */
#include <cmpidt.h>
#include <cmpift.h>
#include <cmpimacs.h>
#include <cmci.h>
#include <native.h>
#include <cmcidt.h>

int cimclient_header_check(void);

int cimclient_header_check(void) {
  CMPIStatus rc = {CMPI_RC_OK, NULL};
  CMCIClient *cc = cmciConnect("localhost", "https", "5989", "user", "password", &rc);
  CMPIObjectPath *op = newCMPIObjectPath("root/cimv2", "CIM_SoftwareIdentity", NULL);
  CMPIEnumeration *en = cc->ft->enumInstances(cc, op, CMPI_FLAG_DeepInheritance, NULL, &rc);
  CMPIConstClass *cls = cc->ft->getClass(cc, op, 0, NULL, &rc);
  CMPIData d = CMGetNext(en, NULL);
  CMRelease(en);
  cls->ft->release(cls);
  CMRelease(op);
  cc->ft->release(cc);
  return d.type == CMPI_instance && rc.rc == CMPI_RC_OK;
}
