// Installer of hypervisor image updates through the hypervisor's own installation service. Not
// part of this release yet: it records that the package is not supported and returns 0, its
// failure value.
#include "pkgbroker.h"

int installVMPkg(int pkgIdx, const CMPIContext *)
{
    selk_trace("Enter InstallVMPkg\n");
    update_Pkg_Install_status(pkgIdx, SELK_NOT_SUPPORTED, "This package is not supported by current release.");
    return 0;
}
