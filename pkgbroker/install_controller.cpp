// Installer of the firmware that the management controller flashes itself (UEFI, controller,
// FPGA, diagnostics): hands the fetched image to the controller's installation service in
// qelvo/cimv2, into the primary or the backup bank, and follows the job the service starts until
// it reports how the update ended.
#include <cstdio>
#include <cstring>

#include <cmpidt.h>
#include <cmpift.h>
#include <cmpimacs.h>

#include "pkgbroker.h"

namespace {

const char kNameSpace[] = "qelvo/cimv2";
const char kServiceClass[] = "Qelvo_SoftwareInstallationService";
const char kJobClass[] = "CIM_ConcreteJob";
const char kRunning[] = "Process Running";
const char kCompleted[] = "Process Completed";

enum : CMPIUint32 { kJobStarted = 4096 };

CMPIObjectPath *service_path()
{
    const KeyValue keys[] = {
        {"SystemCreationClassName", "Qelvo_ManagementController"},
        {"SystemName", "ManagementController"},
        {"CreationClassName", kServiceClass},
        {"Name", "TavikSoftwareInstallatiIonService"},
    };
    return new_keyed_path(kNameSpace, kServiceClass, keys, sizeof keys / sizeof keys[0]);
}

// Follows the update's job until it ends: 0 when it completed, 1 otherwise.
int follow_job(int pkgIdx, const CMPIContext *ctx, const char *job)
{
    selk_trace("Enter GetESWJob Status.\n");
    int waited = 0;
    for (;;) {
        char status[PKG_LINE_SIZE];
        const int read = read_job_status(ctx, kNameSpace, kJobClass, job, status, sizeof status);
        if (read != JOB_STATUS_READ) {
            // Without a status the package would stay "running" for ever.
            selk_trace(read == JOB_ENUM_FAILED ? "Can't enumerate the update job.\n"
                                               : "The update job has no JobStatus.\n");
            update_Pkg_Install_status(pkgIdx, SELK_INSTALL_FAILED, "Package installation error happened.");
            return 1;
        }
        selk_trace("jobstatus is %s\n", status);
        if (strcmp(status, kCompleted) == 0) {
            update_Pkg_Install_status(pkgIdx, SELK_INSTALLED, "Package installation successfully.");
            return 0;
        }
        if (strcmp(status, kRunning) != 0) {
            update_Pkg_Install_status(pkgIdx, SELK_INSTALL_FAILED, "The Updates Failed.");
            return 1;
        }
        update_Pkg_Install_status(pkgIdx, SELK_INSTALLING, "Package installation is running.");
        waited = wait_for_next_poll(waited);
    }
}

}  // namespace

int installESWPkg(int pkgIdx, const CMPIContext *ctx)
{
    if (pkgIdx < 0 || pkgIdx >= PKG_MAX_NUM)
        return 1;
    Pkg_Instance_Struct &p = pkgInstance[pkgIdx];
    selk_trace("Enter installESWPkg.\n");
    CMPIObjectPath *op = service_path();
    if (op == nullptr) {
        selk_trace("Create %s failed.\n", kServiceClass);
        record_install_error(pkgIdx, "Create Qelvo_SoftwareInstallationService failed.");
        return 1;
    }

    CMPIStatus rc = {CMPI_RC_OK, nullptr};
    CMPIArgs *in = CMNewArgs(_broker, &rc);
    const CMPIUint8 bank = g_is_backup_update == 1 ? 1 : 0;
    selk_trace(bank == 1 ? "This update is for backup bank.\n" : "This update is for primary bank.\n");
    if (in == nullptr || CMAddArg(in, "URI", p.tmpDestinationPath, CMPI_chars).rc != CMPI_RC_OK ||
        CMAddArg(in, "Update_Operation", &bank, CMPI_uint8).rc != CMPI_RC_OK) {
        if (in != nullptr)
            CMRelease(in);
        CMRelease(op);
        record_install_error(pkgIdx, "Create input parameter failed.");
        return 1;
    }

    selk_trace("To install package... %s\n", p.tmpDestinationPath);
    InstallAnswer answer;
    invoke_install(ctx, op, in, &answer);
    CMRelease(in);
    CMRelease(op);
    const long shown = answer.has_value ? static_cast<long>(answer.value) : -1;
    selk_trace("retCode: retCode: ");
    char value[24];
    snprintf(value, sizeof value, "%ld\n", shown);
    debug(value);

    if (answer.rc != CMPI_RC_OK || !answer.has_value || answer.value != kJobStarted) {
        record_install_error(pkgIdx, answer.message);
        p.OrderFlag = ORDER_FETCH_FAILED;
        selk_trace("Complete installQelvoPackage\n");
        return 1;
    }
    return follow_job(pkgIdx, ctx, answer.job);
}
