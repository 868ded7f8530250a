/*
 * Entry points of the host CIMOM itself, beside the published CMPI interface: functions the
 * CIMOM process exports by name and a provider it loads calls directly (the provider library
 * leaves them undefined; the dynamic loader resolves them from the hosting process).
 *
 *   CMPIConstClass *getConstClass(const char *ns, const char *cn)
 *     The class `cn` of namespace `ns` from the CIMOM's class repository, or NULL when the
 *     repository has no such class. The class belongs to the CIMOM: the caller neither changes
 *     nor releases it. Providers use it to learn whether the host knows a class.
 *
 * A provider that calls these is linked without the no-undefined check (qelvo_provider's
 * HOST_SYMBOLS); a program that loads such a provider must export them (as the CIMOM and its
 * provider processes do, and a test executable that defines them with ENABLE_EXPORTS).
 */
#ifndef QELVO_CMPI_HOST_H
#define QELVO_CMPI_HOST_H

#ifdef __cplusplus
extern "C" {
#endif

struct _CMPIConstClass;
typedef struct _CMPIConstClass CMPIConstClass;

__attribute__((visibility("default"))) CMPIConstClass *getConstClass(const char *ns, const char *cn);

#ifdef __cplusplus
}
#endif

#endif /* QELVO_CMPI_HOST_H */
