/*
 * Entry points of the hosting process that providers call by name, as they
 * would call the host CIMOM's: exported by the provider process program, and
 * by the CIMOM for providers it runs in-process.
 *
 *   CMPIConstClass *getConstClass(const char *ns, const char *cn)
 *     the class `cn` of namespace `ns` in the CIMOM's repository, or NULL
 *     when there is none. The class is the host's (the caller neither changes
 *     nor releases it); providers use it to learn whether a class exists.
 */
#ifndef QELVO_CIMHOST_HOST_ENTRY_H
#define QELVO_CIMHOST_HOST_ENTRY_H

#include <functional>

typedef struct _CMPIConstClass CMPIConstClass;

extern "C" __attribute__((visibility("default"))) CMPIConstClass *getConstClass(const char *ns, const char *cn);

namespace cimhost {

/* Where getConstClass looks classes up (whether `cn` exists in `ns`). */
void set_class_lookup(std::function<bool(const char *ns, const char *cn)> lookup);

}  // namespace cimhost

#endif  // QELVO_CIMHOST_HOST_ENTRY_H
