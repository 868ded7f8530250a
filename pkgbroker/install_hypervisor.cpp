// Installer of hypervisor image updates: hands the URI of the update depot's metadata to the
// hypervisor's own software installation service in root/cimv2, aimed at the host system, and
// follows the job the service starts until it reports how the update ended.
#include <cstdio>
#include <cstring>

#include <cmpidt.h>
#include <cmpift.h>
#include <cmpimacs.h>

#include "pkgbroker.h"

namespace {

const char kNameSpace[] = "root/cimv2";
const char kServiceClass[] = "VMware_SoftwareInstallationService";
const char kSystemClass[] = "OMC_UnitaryComputerSystem";
const char kJobClass[] = "VMware_ConcreteJob";
const char kDepotMetadata[] = "metadata.zip";
const char kFailed[] = "Package installation error happened.";

enum : CMPIUint32 { kCompletedNoError = 0, kJobStarted = 4096 };

// What a JobStatus of the hypervisor's job means. A text must match whole.
struct JobText {
    const char *status;
    int code;
    const char *message;
    int result;  // the installer's result when the update ended; -1 while it goes on
};

const JobText kJobTexts[] = {
    {"The update completed successfully, but the system needs to be rebooted for the changes to be effective.",
     SELK_INSTALLED, "Package installation successfully.", 1},
    {"Updates at supplied URI are obsolete or already installed", SELK_UP_TO_DATE,
     "The Updates are obsolete or already installed.", 1},
    {"Scanning URI for installable packages", SELK_SCANNING, "Scanning URI for installable packages.", -1},
    {"Scan of URI Complete and installable packages found. Starting Update.", SELK_SCAN_DONE,
     "Scan of URI Complete and installable packages found. Starting Update.", -1},
};

// The host's name as the hypervisor's service instances give it (the last one that has one);
// "" when none does.
void find_host_name(const CMPIContext *ctx, char *name, size_t len)
{
    name[0] = '\0';
    CMPIStatus rc = {CMPI_RC_OK, nullptr};
    const bool listed = for_each_instance(ctx, kNameSpace, kServiceClass, [&](const CMPIInstance *inst) {
        selk_trace("vm enumerate next\n");
        char system[PKG_FIELD_SIZE];
        // A name too long to keep whole would name another system.
        if (!key_text(CMGetObjectPath(inst, nullptr), "SystemName", system, sizeof system))
            return;
        selk_trace("check vmesxiname = %s\n", system);
        if (strlen(system) < len) {
            memcpy(name, system, strlen(system) + 1);
            selk_trace("vmesxiname = %s\n", name);
        }
    }, &rc);
    if (!listed)
        selk_trace("enumerateInstances() of %s failed: %s\n", kServiceClass, status_message(rc));
}

// Follows the update's job until it ends: 1 when the update was applied or nothing needed
// applying, 0 otherwise.
int follow_job(int pkgIdx, const CMPIContext *ctx, const char *job)
{
    selk_trace("Enter GetVMWareJobstatus.\n");
    int waited = 0;
    for (;;) {
        char status[PKG_LINE_SIZE];
        if (read_job_status(ctx, kNameSpace, kJobClass, job, status, sizeof status) != JOB_STATUS_READ) {
            update_Pkg_Install_status(pkgIdx, SELK_INSTALL_FAILED, kFailed);
            return 0;
        }
        selk_trace("jobstatus = %s\n", status);
        const JobText *t = nullptr;
        for (const JobText &k : kJobTexts) {
            if (strcmp(status, k.status) == 0)
                t = &k;
        }
        if (t == nullptr) {
            update_Pkg_Install_status(pkgIdx, SELK_INSTALL_FAILED, kFailed);
            return 0;
        }
        update_Pkg_Install_status(pkgIdx, t->code, t->message);
        if (t->result >= 0)
            return t->result;
        waited = wait_for_next_poll(waited);
    }
}

}  // namespace

int installVMPkg(int pkgIdx, const CMPIContext *ctx)
{
    if (pkgIdx < 0 || pkgIdx >= PKG_MAX_NUM)
        return 0;
    Pkg_Instance_Struct &p = pkgInstance[pkgIdx];
    selk_trace("Enter InstallVMPkg\n");
    // The depot's metadata: a URI that no longer fits the record would name another file.
    const size_t have = strlen(p.TFTPPayloadPkgURIs);
    if (have + sizeof kDepotMetadata > sizeof p.TFTPPayloadPkgURIs) {
        selk_trace("The depot URI is too long for metadata.zip.\n");
        record_install_error(pkgIdx, "The depot URI is too long.");
        return 0;
    }
    memcpy(p.TFTPPayloadPkgURIs + have, kDepotMetadata, sizeof kDepotMetadata);
    selk_trace("pkgInstance[pkgIdx].TFTPPayloadPkgURIs = ");
    debug_uri(p.TFTPPayloadPkgURIs);
    debug("\n");

    char host[PKG_FIELD_SIZE];
    find_host_name(ctx, host, sizeof host);
    const KeyValue service_keys[] = {
        {"CreationClassName", kServiceClass},
        {"SystemName", host},
        {"Name", "SoftwareInstallationService"},
        {"SystemCreationClassName", kSystemClass},
    };
    CMPIObjectPath *service = new_keyed_path(kNameSpace, kServiceClass, service_keys, 4);
    if (service == nullptr) {
        update_Pkg_Install_status(pkgIdx, SELK_INSTALL_CALL_FAILED,
                                  "Create VMware_SoftwareInstallationService failed.");
        return 0;
    }
    selk_trace("Create VMware_SoftwareInstallationService successfully\n");
    const KeyValue system_keys[] = {{"CreationClassName", kSystemClass}, {"Name", host}};
    CMPIObjectPath *target = new_keyed_path(kNameSpace, kSystemClass, system_keys, 2);
    if (target == nullptr) {
        CMRelease(service);
        selk_trace("Create OMC_UnitaryComputerSystem failed.\n");
        update_Pkg_Install_status(pkgIdx, SELK_INSTALL_CALL_FAILED, "Create OMC_UnitaryComputerSystem failed.");
        return 0;
    }
    selk_trace("Create OMC_UnitaryComputerSystem sucessfully.\n");

    CMPIStatus rc = {CMPI_RC_OK, nullptr};
    CMPIArgs *in = CMNewArgs(_broker, &rc);
    const bool built = in != nullptr && CMAddArg(in, "URI", p.TFTPPayloadPkgURIs, CMPI_chars).rc == CMPI_RC_OK &&
                       CMAddArg(in, "Target", &target, CMPI_ref).rc == CMPI_RC_OK;
    selk_trace("To install package...");
    debug_uri(p.TFTPPayloadPkgURIs);
    debug("\n");
    InstallAnswer answer;
    if (built) {
        invoke_install(ctx, service, in, &answer);
    } else {
        memset(&answer, 0, sizeof answer);
        answer.rc = CMPI_RC_ERR_FAILED;
        snprintf(answer.message, sizeof answer.message, "Create input parameter failed.");
    }
    if (in != nullptr)
        CMRelease(in);
    CMRelease(target);
    CMRelease(service);
    selk_trace("retCode: %ld\n", answer.has_value ? static_cast<long>(answer.value) : -1L);

    if (answer.rc != CMPI_RC_OK) {
        record_install_error(pkgIdx, answer.message);
        p.OrderFlag = ORDER_FETCH_FAILED;
        selk_trace("Complete InstallVMPkg\n");
        return 0;
    }
    // An update that never started has no job of its own to follow: an older job's end says
    // nothing about it.
    if (!answer.has_value || (answer.value != kCompletedNoError && answer.value != kJobStarted)) {
        char text[64];
        if (answer.has_value)
            snprintf(text, sizeof text, "InstallFromURI returned %u.", static_cast<unsigned>(answer.value));
        else
            snprintf(text, sizeof text, "InstallFromURI returned no value.");
        record_install_error(pkgIdx, text);
        selk_trace("Complete InstallVMPkg\n");
        return 0;
    }
    return follow_job(pkgIdx, ctx, answer.job);
}
