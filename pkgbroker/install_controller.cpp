// Installer of the firmware that the management controller flashes (UEFI, controller, FPGA,
// diagnostics). Not part of this release yet: it records that the package is not supported and
// returns 1, its failure value.
#include "pkgbroker.h"

int installESWPkg(int pkgIdx, const CMPIContext *)
{
    selk_trace("Enter installESWPkg.\n");
    update_Pkg_Install_status(pkgIdx, SELK_NOT_SUPPORTED, "This package is not supported by current release.");
    return 1;
}
