/*
 * cmpimacs.h - convenience macros of the Common Manageability Programming
 * Interface (CMPI), version 2.0: status handling, broker and object function
 * table shorthands, and the MI factory stubs. The C++ provider factories
 * (CMProviderBase, CMInstanceMIFactory, ...) come with the wrapper classes.
 *
 * As in the published header, the status setters do not test the status
 * pointer, the stubs leave their context and status parameters to the hook,
 * and CBEnumInstanceNames, CBEnumInstances and CBGetClassification name broker
 * members that do not exist: call the broker's function table instead.
 */
#ifndef _CMPIMACS_H_
#define _CMPIMACS_H_

#include "cmpidt.h"
#include "cmpift.h"

/* ================================================================ status */

#define CMReturn(rc)                \
  {                                 \
    CMPIStatus stat = {(rc), NULL}; \
    return stat;                    \
  }

#define CMReturnWithString(rc, str)  \
  {                                  \
    CMPIStatus stat = {(rc), (str)}; \
    return stat;                     \
  }

#define CMReturnWithChars(b, rc, chars)                   \
  {                                                       \
    CMPIStatus stat = {(rc), NULL};                       \
    stat.msg = (b)->eft->newString((b), (chars), NULL);   \
    return stat;                                          \
  }

#define CMSetStatus(st, rcp) \
  {                          \
    (st)->rc = (rcp);        \
    (st)->msg = NULL;        \
  }

#define CMSetStatusWithString(st, rcp, string) \
  {                                            \
    (st)->rc = (rcp);                          \
    (st)->msg = (string);                      \
  }

#define CMSetStatusWithChars(mb, st, rcp, chars)              \
  {                                                          \
    (st)->rc = (rcp);                                        \
    (st)->msg = (mb)->eft->newString((mb), (chars), NULL);   \
  }

/* ================================================================ tests */

#define CMIsNullObject(o) ((o) == NULL || *((void **)(o)) == NULL)
#define CMIsNullValue(v) ((v.state) & CMPI_nullValue)
#define CMIsKeyValue(v) ((v.state) & CMPI_keyValue)
#define CMIsArray(v) ((v.type) & CMPI_ARRAY)

/* ============================================== generic object operations */

#define CMClone(o, rc) ((o)->ft->clone((o), (rc)))
#define CMRelease(o) ((o)->ft->release((o)))

/* ======================================================= broker factories */

#define CMNewInstance(b, c, rc) ((b)->eft->newInstance((b), (c), (rc)))
#define CMNewObjectPath(b, n, c, rc) ((b)->eft->newObjectPath((b), (n), (c), (rc)))
#define CMNewString(b, s, rc) ((b)->eft->newString((b), (s), (rc)))
#define CMNewArgs(b, rc) ((b)->eft->newArgs((b), (rc)))
#define CMNewArray(b, c, t, rc) ((b)->eft->newArray((b), (c), (t), (rc)))
#define CMNewDateTime(b, rc) ((b)->eft->newDateTime((b), (rc)))
#define CMNewDateTimeFromBinary(b, d, i, rc) ((b)->eft->newDateTimeFromBinary((b), (d), (i), (rc)))
#define CMNewDateTimeFromChars(b, d, rc) ((b)->eft->newDateTimeFromChars((b), (d), (rc)))
#define CMNewSelectExp(b, q, l, p, rc) ((b)->eft->newSelectExp((b), (q), (l), (p), (rc)))
#define CMClassPathIsA(b, p, pn, rc) ((b)->eft->classPathIsA((b), (p), (pn), (rc)))

#define CDToString(b, o, rc) ((b)->eft->toString((b), (void *)(o), (rc)))
#define CDIsOfType(b, o, t, rc) ((b)->eft->isOfType((b), (void *)(o), (t), (rc)))
#define CDGetType(b, o, rc) ((b)->eft->getType((b), (o), (rc)))

#define CMFmtArgs0() 0
#define CMFmtArgs1(v1) 1, v1
#define CMFmtArgs2(v1, v2) 2, v1, v2
#define CMFmtArgs3(v1, v2, v3) 3, v1, v2, v3
#define CMFmtArgs4(v1, v2, v3, v4) 4, v1, v2, v3, v4
#define CMFmtArgs5(v1, v2, v3, v4, v5) 5, v1, v2, v3, v4, v5
#define CMFmtArgs6(v1, v2, v3, v4, v5, v6) 6, v1, v2, v3, v4, v5, v6
#define CMFmtArgs7(v1, v2, v3, v4, v5, v6, v7) 7, v1, v2, v3, v4, v5, v6, v7
#define CMFmtArgs8(v1, v2, v3, v4, v5, v6, v7, v8) 8, v1, v2, v3, v4, v5, v6, v7, v8
#define CMFmtArgs9(v1, v2, v3, v4, v5, v6, v7, v8, v9) 9, v1, v2, v3, v4, v5, v6, v7, v8, v9
#define CMFmtArgs10(v1, v2, v3, v4, v5, v6, v7, v8, v9, v10) 10, v1, v2, v3, v4, v5, v6, v7, v8, v9, v10

#define CMFmtSint(v) CMPI_sint32, ((long int)v)
#define CMFmtUint(v) CMPI_uint32, ((unsigned long int)v)
#define CMFmtSint64(v) CMPI_sint64, ((long long int)v)
#define CMFmtUint64(v) CMPI_uint64, ((unsigned long long int)v)
#define CMFmtReal(v) CMPI_real64, ((double)v)
#define CMFmtBoolean(v) CMPI_boolean, ((int)v)
#define CMFmtChars(v) CMPI_chars, ((char *)v)
#define CMFmtString(v) CMPI_string, ((CMPIString *)v)

#define CMGetMessage(b, id, def, rc, parms) ((b)->eft->getMessage((b), (id), (def), (rc), parms))
#define CMLogMessage(b, severity, id, text, string) \
  ((b)->eft->logMessage((b), (severity), (id), (text), (string)))
#define CMTraceMessage(b, level, component, text, string) \
  ((b)->eft->trace((b), (level), (component), (text), (string)))

#ifdef CMPI_VER_200
#define CMNewCMPIError(b, owner, msgID, msg, sev, pc, cimStatusCode, rc) \
  ((b)->eft->newCMPIError((b), (owner), (msgID), (msg), (sev), (pc), (cimStatusCode), (rc)))
#define CMOpenMessageFile(b, mf, mfh) ((b)->eft->openMessageFile((b), (mf), (mfh)))
#define CMCloseMessageFile(b, mfh) ((b)->eft->closeMessageFile((b), (mfh)))
#define CMGetMessage2(b, id, mfh, def, rc, parms) ((b)->eft->getMessage2((b), (id), (mfh), (def), (rc), parms))
#endif

/* ================================================================ string */

#define CMGetCharPtr(s) ((char *)s->hdl)
#define CMGetCharsPtr(st, rc) ((st)->ft->getCharPtr((st), (rc)))

/* ================================================================= array */

#define CMGetArrayCount(a, rc) ((a)->ft->getSize((a), (rc)))
#define CMGetArrayType(a, rc) ((a)->ft->getSimpleType((a), (rc)))
#define CMGetArrayElementAt(a, n, rc) ((a)->ft->getElementAt((a), (n), (rc)))
#define CMSetArrayElementAt(a, n, v, t) ((a)->ft->setElementAt((a), (n), (CMPIValue *)(v), (t)))

/* ============================================================== date-time */

#define CMGetStringFormat(d, rc) ((d)->ft->getStringFormat((d), (rc)))
#define CMGetBinaryFormat(d, rc) ((d)->ft->getBinaryFormat((d), (rc)))
#define CMIsInterval(d, rc) ((d)->ft->isInterval((d), (rc)))

/* =============================================================== instance */

#define CMGetProperty(i, n, rc) ((i)->ft->getProperty((i), (n), (rc)))
#define CMGetPropertyAt(i, num, s, rc) ((i)->ft->getPropertyAt((i), (num), (s), (rc)))
#define CMSetProperty(i, n, v, t) ((i)->ft->setProperty((i), (n), (CMPIValue *)(v), (t)))
#define CMGetPropertyCount(i, rc) ((i)->ft->getPropertyCount((i), (rc)))
#define CMGetObjectPath(i, rc) ((i)->ft->getObjectPath((i), (rc)))
#define CMSetPropertyFilter(i, pl, k) ((i)->ft->setPropertyFilter((i), (pl), (k)))
#ifdef CMPI_VER_200
#define CMSetObjectPath(i, obj) ((i)->ft->setObjectPath((i), (obj)))
#define CMSetPropertyWithOrigin(i, n, v, t, o) ((i)->ft->setPropertyWithOrigin((i), (n), (CMPIValue *)(v), (t), (o)))
#endif

/* ============================================================ object path */

#define CMSetHostname(p, n) ((p)->ft->setHostname((p), (n)))
#define CMGetHostname(p, rc) ((p)->ft->getHostname((p), (rc)))
#define CMSetNameSpace(p, n) ((p)->ft->setNameSpace((p), (n)))
#define CMGetNameSpace(p, rc) ((p)->ft->getNameSpace((p), (rc)))
#define CMSetClassName(p, n) ((p)->ft->setClassName((p), (n)))
#define CMGetClassName(p, rc) ((p)->ft->getClassName((p), (rc)))
#define CMAddKey(p, n, v, t) ((p)->ft->addKey((p), (n), (CMPIValue *)(v), (t)))
#define CMGetKey(p, n, rc) ((p)->ft->getKey((p), (n), (rc)))
#define CMGetKeyAt(p, i, n, rc) ((p)->ft->getKeyAt((p), (i), (n), (rc)))
#define CMGetKeyCount(p, rc) ((p)->ft->getKeyCount((p), (rc)))
#define CMSetNameSpaceFromObjectPath(p, s) ((p)->ft->setNameSpaceFromObjectPath((p), (s)))
#define CMSetHostAndNameSpaceFromObjectPath(p, s) ((p)->ft->setHostAndNameSpaceFromObjectPath((p), (s)))
#define CMGetClassQualifier(op, qName, rc) ((op)->ft->getClassQualifier((op), (qName), (rc)))
#define CMGetPropertyQualifier(op, pName, qName, rc) ((op)->ft->getPropertyQualifier((op), (pName), (qName), (rc)))
#define CMGetMethodQualifier(op, methodName, qName, rc) \
  ((op)->ft->getMethodQualifier((op), (methodName), (qName), (rc)))
#define CMGetParameterQualifier(op, mName, pName, qName, rc) \
  ((op)->ft->getParameterQualifier((op), (mName), (pName), (qName), (rc)))
#define CMObjectPathToString(p, rc) ((p)->ft->toString((p), (rc)))

/* ================================================================== args */

#define CMAddArg(a, n, v, t) ((a)->ft->addArg((a), (n), (CMPIValue *)(v), (t)))
#define CMGetArg(a, n, rc) ((a)->ft->getArg((a), (n), (rc)))
#define CMGetArgAt(a, p, n, rc) ((a)->ft->getArgAt((a), (p), (n), (rc)))
#define CMGetArgCount(a, rc) ((a)->ft->getArgCount((a), (rc)))

/* =========================================================== enumeration */

#define CMGetNext(n, rc) ((n)->ft->getNext((n), (rc)))
#define CMHasNext(n, rc) ((n)->ft->hasNext((n), (rc)))
#define CMToArray(n, rc) ((n)->ft->toArray((n), (rc)))

/* ================================================================ result */

#define CMReturnData(r, v, t) ((r)->ft->returnData((r), (CMPIValue *)(v), (t)))
#define CMReturnInstance(r, i) ((r)->ft->returnInstance((r), (i)))
#define CMReturnObjectPath(r, o) ((r)->ft->returnObjectPath((r), (o)))
#define CMReturnDone(r) ((r)->ft->returnDone((r)))
#ifdef CMPI_VER_200
#define CMReturnError(r, e) ((r)->ft->returnError((r), (e)))
#endif

/* =============================================================== context */

#define CMGetContextEntry(c, n, rc) ((c)->ft->getEntry((c), (n), (rc)))
#define CMGetContextEntryAt(c, p, n, rc) ((c)->ft->getEntryAt((c), (p), (n), (rc)))
#define CMGetContextEntryCount(c, rc) ((c)->ft->getEntryCount((c), (rc)))
#define CMAddContextEntry(c, n, v, t) ((c)->ft->addEntry((c), (n), (CMPIValue *)(v), (t)))

/* ========================================================= select/query */

#define CMGetSelExpString(s, rc) ((s)->ft->getString((s), (rc)))
#define CMEvaluateSelExp(s, i, r) ((s)->ft->evaluate((s), (i), (r)))
#define CMEvaluateSelExpUsingAccessor(s, i, p, r) ((s)->ft->evaluateUsingAccessor((s), (i), (p), (r)))
#define CMGetDoc(s, rc) ((s)->ft->getDOC((s), (rc)))
#define CMGetCod(s, rc) ((s)->ft->getCOD((s), (rc)))
#define CMGetSubCondCountAndType(c, t, rc) ((c)->ft->getCountAndType((c), (t), (rc)))
#define CMGetSubCondAt(c, p, rc) ((c)->ft->getSubCondAt((c), (p), (rc)))
#define CMGetPredicateCount(s, rc) ((s)->ft->getCount((s), (rc)))
#define CMGetPredicateAt(s, p, rc) ((s)->ft->getPredicateAt((s), (p), (rc)))
#define CMGetPredicate(s, n, rc) ((s)->ft->getPredicate((s), (n), (rc)))
#define CMGetPredicateData(p, t, o, n, v) ((p)->ft->getData((p), (t), (o), (n), (v)))
#define CMEvaluatePredicateUsingAccessor(p, a, parm, rc) ((p)->ft->evaluateUsingAccessor((p), (a), (parm), (rc)))

/* ======================================================= error (2.0 only) */

#ifdef CMPI_VER_200
#define CMGetErrorType(e, rc) ((e)->ft->getErrorType((e), (rc)))
#define CMGetOtherErrorType(e, rc) ((e)->ft->getOtherErrorType((e), (rc)))
#define CMGetOwningEntity(e, rc) ((e)->ft->getOwningEntity((e), (rc)))
#define CMGetMessageID(e, rc) ((e)->ft->getMessageID((e), (rc)))
#define CMGetErrorMessage(e, rc) ((e)->ft->getMessage((e), (rc)))
#define CMGetPerceivedSeverity(e, rc) ((e)->ft->getPerceivedSeverity((e), (rc)))
#define CMGetProbableCause(e, rc) ((e)->ft->getProbableCause((e), (rc)))
#define CMGetProbableCauseDescription(e, rc) ((e)->ft->getProbableCauseDescription((e), (rc)))
#define CMGetRecommendedActions(e, rc) ((e)->ft->getRecommendedActions((e), (rc)))
#define CMGetErrorSource(e, rc) ((e)->ft->getErrorSource((e), (rc)))
#define CMGetErrorSourceFormat(e, rc) ((e)->ft->getErrorSourceFormat((e), (rc)))
#define CMGetOtherErrorSourceFormat(e, rc) ((e)->ft->getOtherErrorSourceFormat((e), (rc)))
#define CMGetCIMStatusCode(e, rc) ((e)->ft->getCIMStatusCode((e), (rc)))
#define CMGetCIMStatusCodeDescription(e, rc) ((e)->ft->getCIMStatusCodeDescription((e), (rc)))
#define CMGetMessageArguments(e, rc) ((e)->ft->getMessageArguments((e), (rc)))
#define CMSetErrorType(e, et) ((e)->ft->setErrorType((e), (et)))
#define CMSetOtherErrorType(e, ot) ((e)->ft->setOtherErrorType((e), (ot)))
#define CMSetProbableCauseDescription(e, pcd) ((e)->ft->setProbableCauseDescription((e), (pcd)))
#define CMSetRecommendedActions(e, ra) ((e)->ft->setRecommendedActions((e), (ra)))
#define CMSetErrorSource(e, es) ((e)->ft->setErrorSource((e), (es)))
#define CMSetErrorSourceFormat(e, esf) ((e)->ft->setErrorSourceFormat((e), (esf)))
#define CMSetOtherErrorSourceFormat(e, oesf) ((e)->ft->setOtherErrorSourceFormat((e), (oesf)))
#define CMSetCIMStatusCodeDescription(e, cd) ((e)->ft->setCIMStatusCodeDescription((e), (cd)))
#define CMSetMessageArguments(e, ma) ((e)->ft->setMessageArguments((e), (ma)))
#endif

/* ================================================================ broker */

#define CBGetClassification(b) ((b)->bft->getClassification((b)))
#define CBBrokerVersion(b) ((b)->bft->brokerVersion)
#define CBBrokerName(b) ((b)->bft->brokerName)
#define CBPrepareAttachThread(b, c) ((b)->bft->prepareAttachThread((b), (c)))
#define CBAttachThread(b, c) ((b)->bft->attachThread((b), (c)))
#define CBDetachThread(b, c) ((b)->bft->detachThread((b), (c)))
#define CBDeliverIndication(b, c, n, i) ((b)->bft->deliverIndication((b), (c), (n), (i)))
#define CBEnumInstanceNames(b, c, p, rc) ((b)->bft->enumInstanceNames((b), (c), (p), (rc)))
#define CBEnumInstances(b, c, p, pr, rc) ((b)->bft->enumInstances((b), (c), (p), (pr), (rc)))
#define CBGetInstance(b, c, p, pr, rc) ((b)->bft->getInstance((b), (c), (p), (pr), (rc)))
#define CBCreateInstance(b, c, p, i, rc) ((b)->bft->createInstance((b), (c), (p), (i), (rc)))
#define CBModifyInstance(b, c, p, i, pr) ((b)->bft->modifyInstance((b), (c), (p), (i), (pr)))
#define CBDeleteInstance(b, c, p) ((b)->bft->deleteInstance((b), (c), (p)))
#define CBExecQuery(b, c, p, q, l, rc) ((b)->bft->execQuery((b), (c), (p), (q), (l), (rc)))
#define CBAssociators(b, c, p, acl, rcl, r, rr, pr, rc) \
  ((b)->bft->associators((b), (c), (p), (acl), (rcl), (r), (rr), (pr), (rc)))
#define CBAssociatorNames(b, c, p, acl, rcl, r, rr, rc) \
  ((b)->bft->associatorNames((b), (c), (p), (acl), (rcl), (r), (rr), (rc)))
#define CBReferences(b, c, p, acl, r, pr, rc) ((b)->bft->references((b), (c), (p), (acl), (r), (pr), (rc)))
#define CBReferenceNames(b, c, p, acl, r, rc) ((b)->bft->referenceNames((b), (c), (p), (acl), (r), (rc)))
#define CBInvokeMethod(b, c, p, m, ai, ao, rc) ((b)->bft->invokeMethod((b), (c), (p), (m), (ai), (ao), (rc)))
#define CBSetProperty(b, c, p, n, v, t) ((b)->bft->setProperty((b), (c), (p), (n), (CMPIValue *)(v), (t)))
#define CBGetProperty(b, c, p, n, rc) ((b)->bft->getProperty((b), (c), (p), (n), (rc)))

/* ====================================================== memory (2.0 only) */

#ifdef CMPI_VER_200
#define CMFreeInstance(b, i) ((b)->mft->freeInstance((b), (i)))
#define CMFreeObjectPath(b, o) ((b)->mft->freeObjectPath((b), (o)))
#define CMFreeArgs(b, a) ((b)->mft->freeArgs((b), (a)))
#define CMFreeString(b, s) ((b)->mft->freeString((b), (s)))
#define CMFreeArray(b, a) ((b)->mft->freeArray((b), (a)))
#define CMFreeDateTime(b, d) ((b)->mft->freeDateTime((b), (d)))
#define CMFreeSelectExp(b, s) ((b)->mft->freeSelectExp((b), (s)))
#endif

/* ====================================================== MI factory stubs */

#define CMNoHook
#define CMNoHook2(a, b)

/* Instance MI: the provider defines pfx##Cleanup, pfx##EnumInstanceNames,
 * pfx##EnumInstances, pfx##GetInstance, pfx##CreateInstance,
 * pfx##ModifyInstance, pfx##DeleteInstance and pfx##ExecQuery. */
#define CMInstanceMIStub(pfx, pn, broker, hook)                                          \
  static CMPIInstanceMIFT instMIFT__ = {                                                 \
      CMPICurrentVersion,                                                                \
      CMPICurrentVersion,                                                                \
      "instance" #pn,                                                                    \
      pfx##Cleanup,                                                                      \
      pfx##EnumInstanceNames,                                                            \
      pfx##EnumInstances,                                                                \
      pfx##GetInstance,                                                                  \
      pfx##CreateInstance,                                                               \
      pfx##ModifyInstance,                                                               \
      pfx##DeleteInstance,                                                               \
      pfx##ExecQuery,                                                                    \
  };                                                                                     \
  CMPI_EXTERN_C                                                                          \
  CMPIInstanceMI *pn##_Create_InstanceMI(const CMPIBroker *brkr, const CMPIContext *ctx, \
                                         CMPIStatus *rc) {                               \
    static CMPIInstanceMI mi = {                                                         \
        NULL,                                                                            \
        &instMIFT__,                                                                     \
    };                                                                                   \
    broker = brkr;                                                                       \
    hook;                                                                                \
    return &mi;                                                                          \
  }

/* Association MI: pfx##AssociationCleanup, pfx##Associators,
 * pfx##AssociatorNames, pfx##References, pfx##ReferenceNames. */
#define CMAssociationMIStub(pfx, pn, broker, hook)                                             \
  static CMPIAssociationMIFT assocMIFT__ = {                                                   \
      CMPICurrentVersion,                                                                      \
      CMPICurrentVersion,                                                                      \
      "association" #pn,                                                                       \
      pfx##AssociationCleanup,                                                                 \
      pfx##Associators,                                                                        \
      pfx##AssociatorNames,                                                                    \
      pfx##References,                                                                         \
      pfx##ReferenceNames,                                                                     \
  };                                                                                           \
  CMPI_EXTERN_C                                                                                \
  CMPIAssociationMI *pn##_Create_AssociationMI(const CMPIBroker *brkr, const CMPIContext *ctx, \
                                               CMPIStatus *rc) {                               \
    static CMPIAssociationMI mi = {                                                            \
        NULL,                                                                                  \
        &assocMIFT__,                                                                          \
    };                                                                                         \
    broker = brkr;                                                                             \
    hook;                                                                                      \
    return &mi;                                                                                \
  }

/* Method MI: pfx##MethodCleanup, pfx##InvokeMethod. */
#define CMMethodMIStub(pfx, pn, broker, hook)                                        \
  static CMPIMethodMIFT methMIFT__ = {                                               \
      CMPICurrentVersion,                                                            \
      CMPICurrentVersion,                                                            \
      "method" #pn,                                                                  \
      pfx##MethodCleanup,                                                            \
      pfx##InvokeMethod,                                                             \
  };                                                                                 \
  CMPI_EXTERN_C                                                                      \
  CMPIMethodMI *pn##_Create_MethodMI(const CMPIBroker *brkr, const CMPIContext *ctx, \
                                     CMPIStatus *rc) {                               \
    static CMPIMethodMI mi = {                                                       \
        NULL,                                                                        \
        &methMIFT__,                                                                 \
    };                                                                               \
    broker = brkr;                                                                   \
    hook;                                                                            \
    return &mi;                                                                      \
  }

/* Property MI: pfx##PropertyCleanup, pfx##SetProperty, pfx##GetProperty. */
#define CMPropertyMIStub(pfx, pn, broker, hook)                                          \
  static CMPIPropertyMIFT propMIFT__ = {                                                 \
      CMPICurrentVersion,                                                                \
      CMPICurrentVersion,                                                                \
      "property" #pn,                                                                    \
      pfx##PropertyCleanup,                                                              \
      pfx##SetProperty,                                                                  \
      pfx##GetProperty,                                                                  \
  };                                                                                     \
  CMPI_EXTERN_C                                                                          \
  CMPIPropertyMI *pn##_Create_PropertyMI(const CMPIBroker *brkr, const CMPIContext *ctx, \
                                         CMPIStatus *rc) {                               \
    static CMPIPropertyMI mi = {                                                         \
        NULL,                                                                            \
        &propMIFT__,                                                                     \
    };                                                                                   \
    broker = brkr;                                                                       \
    hook;                                                                                \
    return &mi;                                                                          \
  }

/* Indication MI: pfx##IndicationCleanup, pfx##AuthorizeFilter, pfx##MustPoll,
 * pfx##ActivateFilter, pfx##DeActivateFilter, and for version 0.86 to 0.90
 * pfx##EnableIndications and pfx##DisableIndications. */
#ifdef CMPI_VER_86
#define CMIndicationMIStubExtensions(pfx) pfx##EnableIndications, pfx##DisableIndications,
#else
#define CMIndicationMIStubExtensions(pfx)
#endif

#define CMIndicationMIStub(pfx, pn, broker, hook)                                            \
  static CMPIIndicationMIFT indMIFT__ = {                                                    \
      CMPICurrentVersion,                                                                    \
      CMPICurrentVersion,                                                                    \
      "Indication" #pn,                                                                      \
      pfx##IndicationCleanup,                                                                \
      pfx##AuthorizeFilter,                                                                  \
      pfx##MustPoll,                                                                         \
      pfx##ActivateFilter,                                                                   \
      pfx##DeActivateFilter,                                                                 \
      CMIndicationMIStubExtensions(pfx)                                                      \
  };                                                                                         \
  CMPI_EXTERN_C                                                                              \
  CMPIIndicationMI *pn##_Create_IndicationMI(const CMPIBroker *brkr, const CMPIContext *ctx, \
                                             CMPIStatus *rc) {                               \
    static CMPIIndicationMI mi = {                                                           \
        NULL,                                                                                \
        &indMIFT__,                                                                          \
    };                                                                                       \
    broker = brkr;                                                                           \
    hook;                                                                                    \
    return &mi;                                                                              \
  }

#endif /* _CMPIMACS_H_ */
