// Installers of adapter firmware through the adapter vendors' installation services on the host.
// Not part of this release yet: each records that the package is not supported and returns the
// failure value of its installer family.
#include "pkgbroker.h"

namespace {

int not_yet(int pkgIdx)
{
    update_Pkg_Install_status(pkgIdx, SELK_NOT_SUPPORTED, "This package is not supported by current release.");
    return 1;
}

}  // namespace

int installBrocadePkg(int pkgIdx, const CMPIContext *)
{
    return not_yet(pkgIdx);
}

int installElxCNAPkg(int pkgIdx, const CMPIContext *)
{
    return not_yet(pkgIdx);
}

int installElxFCPkg(int pkgIdx, const CMPIContext *)
{
    return not_yet(pkgIdx);
}

int installQlgPkg(int pkgIdx, const CMPIContext *)
{
    return not_yet(pkgIdx);
}
