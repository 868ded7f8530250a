// placeholder
#include <cmpi_host.h>
extern "C" __attribute__((visibility("default"))) CMPIConstClass *getConstClass(const char *, const char *) { return nullptr; }
