// Choosing the installer of a package by its category and name, and running it. The packages
// the broker has no installer for in this release are recorded as not supported.
#include <cstring>

#include "pkgbroker.h"

namespace {

const char kNotInThisRelease[] = "This package is not supported by current release.";

bool starts_with(const char *text, const char *word)
{
    return strncmp(text, word, strlen(word)) == 0;
}

}  // namespace

void getPkgProviderName(int pkgIdx)
{
    if (pkgIdx < 0 || pkgIdx >= PKG_MAX_NUM)
        return;
    Pkg_Instance_Struct &p = pkgInstance[pkgIdx];
    const char *c = p.category, *n = p.name;
    UpdPkgFunc_t f = nullptr;
    if (strcmp(c, "UEFI") == 0 || strcmp(c, "Tavik") == 0 || strcmp(c, "FPGA") == 0 ||
        strcmp(c, "Diagnostics") == 0 || strcmp(c, "Tavik2") == 0)
        f = installESWPkg;
    else if (strcmp(c, "Hard Disk Drive") == 0 || strcmp(c, "SAS") == 0 || strcmp(c, "Stavra") == 0)
        f = installLSIPkg;
    else if (strstr(n, "Broadcom") != nullptr)
        f = installBroadcomPkg;
    else if (starts_with(n, "VMware"))
        f = installVMPkg;
    else if (starts_with(n, "Emulex") && strcmp(c, "Fibre") == 0)
        f = installElxFCPkg;
    else if (starts_with(n, "Emulex"))
        f = installElxCNAPkg;
    else if (starts_with(n, "QLogic") || starts_with(n, "Qlogic") || strstr(n, "FC5X21") != nullptr)
        f = installQlgPkg;
    else if (starts_with(n, "Brocade"))
        f = installBrocadePkg;
    p.UpdPkgFunc = f;
}

int DeployUpdate(int pkgIdx, const CMPIContext *ctx)
{
    if (pkgIdx < 0 || pkgIdx >= PKG_MAX_NUM)
        return -1;
    debug("Begin to Deploy.\n");
    getPkgProviderName(pkgIdx);
    if (pkgInstance[pkgIdx].UpdPkgFunc == nullptr) {
        // Without an installer the package would keep its download entry, which reads as
        // still in progress.
        update_Pkg_Install_status(pkgIdx, SELK_NOT_SUPPORTED, "This package is not supported by current Selk provider.");
        return -1;
    }
    return pkgInstance[pkgIdx].UpdPkgFunc(pkgIdx, ctx);
}

int installBroadcomPkg(int pkgIdx, const CMPIContext *)
{
    update_Pkg_Install_status(pkgIdx, SELK_NOT_SUPPORTED, kNotInThisRelease);
    return 1;
}

int installLSIPkg(int pkgIdx, const CMPIContext *)
{
    update_Pkg_Install_status(pkgIdx, SELK_NOT_SUPPORTED, kNotInThisRelease);
    return 1;
}
