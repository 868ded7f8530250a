// Installers of adapter firmware through the adapter vendors' installation services on the host
// (Brocade, Emulex converged and Fibre Channel, QLogic). All four follow one scheme: find the
// vendor's adapters and what identifies their firmware, unpack the package's payload archive,
// match payload files to adapters with the payload description, and call the vendor's
// InstallFromURI once per payload and adapter. What differs per vendor is in its Vendor record.
#include <cstdio>
#include <cstring>
#include <functional>

#include <cmpidt.h>
#include <cmpift.h>
#include <cmpimacs.h>

#include "pkgbroker.h"
#include "unzipfile.h"

namespace {

// The vendor's answers the broker tells apart, and its own failures.
enum : CMPIUint32 {
    kInstalled = 0,
    kCallNotBuilt = 1,
    kUnsupportedTarget = 4097,
    kCallFailed = 4098,
    kNoSuchFile = 4107,
};

const CMPIUint16 kInstallOptionUpdate = 5;
const char kPayloadUriPrefix[] = "file://" SELK_UNZIP_PATH;
const char kNoDriverLine[] = "No driver file name that need to be update.\n";
const char kNoDriver[] = "No driver file name that need to be update.";
const char kFailed[] = "Package installation error happened.";
const char kCapitalInput[] = "Error when Create Input Parameter and the installation failed.";
const char kInput[] = "Error when create input parameter and the installation failed.";

struct Vendor;
typedef void (*Discovery)(const Vendor &v, int pkgIdx, const CMPIContext *ctx);

void discover_brocade(const Vendor &v, int pkgIdx, const CMPIContext *ctx);
void discover_emulex_cna(const Vendor &v, int pkgIdx, const CMPIContext *ctx);
void discover_emulex_fc(const Vendor &v, int pkgIdx, const CMPIContext *ctx);
void discover_qlogic(const Vendor &v, int pkgIdx, const CMPIContext *ctx);

struct Vendor {
    const char *installer;       // for the traces
    const char *ns;
    const char *service_class;   // also the service's CreationClassName
    const char *service_name;
    const char *system_class;    // SystemCreationClassName of the service and of its ports
    const char *port_class;      // CreationClassName of the Target
    const char *inventory_class; // what the discovery enumerates
    bool install_options;        // sends InstallOptions {5}
    const char *running;         // recorded (62) before each payload, or null
    bool unpack_failure_ends;    // a failed unpack ends the installer
    const char *no_pairs;        // message of 57 when no adapter was found
    const char *input_error;     // message of 54
    const char *unsupported;     // message of 58
    const char *word;            // in the payload loop's trace
    const char *invoke_trace;    // before invoking; %s is the URI when it has one
    Discovery discover;
};

const Vendor kBrocade = {"installBrocadePkg", "root/brocade", "BROCADE_HBASoftwareInstallationService",
                         "Brocade Adapter Software Update Service", "BROCADE_ComputerSystem",
                         "BROCADE_PortController", "BROCADE_PhysicalPackage", true, nullptr, false, kNoDriverLine,
                         kCapitalInput, "Unsupported Target Type.", "Brocade",
                         "Invoking InstallFromByteStream Method and updating flash image. Please wait...\n",
                         discover_brocade};
const Vendor kEmulexCna = {"installElxCNAPkg", "root/emulex", "ELXUCNA_SoftwareInstallationService",
                           "ELXUCNA_SoftwareInstallationService", "OMC_UnitaryComputerSystem",
                           "ELXUCNA_EthernetPort", "ELXUCNA_EthernetPort", false,
                           "Initialization and Package installation is running.", true, kNoDriver, kInput,
                           "Unsupported target type.", "Emulex", "To install package: %s\n", discover_emulex_cna};
const Vendor kEmulexFc = {"installElxFCPkg", "root/emulex", "ELXHBA_SoftwareInstallationService",
                          "ELXHBA_FCSoftwareInstallationService", "OMC_UnitaryComputerSystem", "ELXHBA_FCPort",
                          "ELXHBA_VitalProductData", false, nullptr, true, kNoDriverLine, kInput,
                          "Unsupported target type.", "Emulex", "To install package: %s\n", discover_emulex_fc};
const Vendor kQlogic = {"installQlgPkg", "qlogic/cimv2", "QLogicFCHBA_SoftwareInstallationService", "FC_SW_INSTALLER",
                        "QLogicFCHBA_ComputerSystem", "QLogicFCHBA_PortController", "QLogicFCHBA_FCPort", true,
                        nullptr, false, kNoDriver, kCapitalInput, "Unsupported Target Type.", "Qlogic",
                        "Invoking InstallFromURI Method and Updating flash image.Please wait...\n", discover_qlogic};

// Adds an adapter's pair once: ports of one adapter that show the same pair name one flash.
void add_adapter(int pkgIdx, const char *applicability, const char *device_id)
{
    const Pkg_Instance_Struct &p = pkgInstance[pkgIdx];
    for (int i = 0; i < p.dfnnumber && i < PKG_MAX_DFN; ++i) {
        if (strcmp(p.DFNDeviceID[i][0], applicability) == 0 && strcmp(p.DFNDeviceID[i][1], device_id) == 0)
            return;
    }
    if (!add_dfn_pair(pkgIdx, applicability, device_id))
        selk_trace("Adapter %s (%s) not kept: no room or a value too long.\n", device_id, applicability);
}

// Calls fn with each instance of one of the vendor's classes; a failed enumeration finds none.
void inventory(const Vendor &v, const char *cls, const CMPIContext *ctx,
               const std::function<void(const CMPIInstance *)> &fn)
{
    if (!for_each_instance(ctx, v.ns, cls, fn))
        selk_trace("enumerateInstances() returns NULL.\n");
}

// Physical packages and port controllers: a port controller whose Name is a package's serial
// number belongs to that package. Every package looks at every port controller.
void discover_brocade(const Vendor &v, int pkgIdx, const CMPIContext *ctx)
{
    inventory(v, v.inventory_class, ctx, [&](const CMPIInstance *pkg) {
        char model[PKG_FIELD_SIZE], serial[PKG_FIELD_SIZE];
        if (!property_text(pkg, "Model", model, sizeof model) ||
            !property_text(pkg, "SerialNumber", serial, sizeof serial))
            return;
        selk_trace("model  is %s\n", model);
        selk_trace("SerialNumber  is %s\n", serial);
        inventory(v, "BROCADE_PortController", ctx, [&](const CMPIInstance *port) {
            char name[PKG_FIELD_SIZE], device[PKG_FIELD_SIZE];
            if (!property_text(port, "Name", name, sizeof name))
                return;
            selk_trace("PortName  is %s\n", name);
            if (strcmp(name, serial) != 0 || !property_text(port, "DeviceID", device, sizeof device))
                return;
            selk_trace("find the supported deviceid.\n");
            selk_trace("Port DeviceId  is %s\n", device);
            add_adapter(pkgIdx, model, device);
        });
    });
}

// Converged ports: InstanceID is the applicability value, ":" and the device ID.
void discover_emulex_cna(const Vendor &v, int pkgIdx, const CMPIContext *ctx)
{
    inventory(v, v.inventory_class, ctx, [&](const CMPIInstance *port) {
        char id[PKG_FIELD_SIZE];
        char *colon = property_text(port, "InstanceID", id, sizeof id) ? strchr(id, ':') : nullptr;
        if (colon == nullptr || colon == id)
            return;
        *colon = '\0';
        add_adapter(pkgIdx, id, colon + 1);
    });
}

// Fibre Channel adapters: their vital product data, FieldV2 and InstanceID.
void discover_emulex_fc(const Vendor &v, int pkgIdx, const CMPIContext *ctx)
{
    inventory(v, v.inventory_class, ctx, [&](const CMPIInstance *vpd) {
        char field[PKG_FIELD_SIZE], id[PKG_FIELD_SIZE];
        if (property_text(vpd, "FieldV2", field, sizeof field) && property_text(vpd, "InstanceID", id, sizeof id))
            add_adapter(pkgIdx, field, id);
    });
}

// Fibre Channel ports: Model, and the adapter's part of the DeviceID key (up to the first "_").
void discover_qlogic(const Vendor &v, int pkgIdx, const CMPIContext *ctx)
{
    inventory(v, v.inventory_class, ctx, [&](const CMPIInstance *port) {
        char model[PKG_FIELD_SIZE], device[PKG_FIELD_SIZE];
        if (!property_text(port, "Model", model, sizeof model) ||
            !key_text(CMGetObjectPath(port, nullptr), "DeviceID", device, sizeof device))
            return;
        device[strcspn(device, "_")] = '\0';
        add_adapter(pkgIdx, model, device);
    });
}

void discover(const Vendor &v, int pkgIdx, const CMPIContext *ctx)
{
    pkgInstance[pkgIdx].dfnnumber = 0;
    v.discover(v, pkgIdx, ctx);
}

// The SystemName of the vendor's service (the last instance that has one); "" when none.
void adapter_system_name(const Vendor &v, const CMPIContext *ctx, char *name, size_t len)
{
    name[0] = '\0';
    for_each_instance(ctx, v.ns, v.service_class, [&](const CMPIInstance *service) {
        char system[PKG_FIELD_SIZE];
        if (key_text(CMGetObjectPath(service, nullptr), "SystemName", system, sizeof system) && strlen(system) < len)
            memcpy(name, system, strlen(system) + 1);
    });
    selk_trace("Adapter system name: %s\n", name);
}

// A payload file name stays inside the unpack directory.
bool inside_unpack_directory(const char *file)
{
    for (const char *c = file; *c != '\0';) {
        const size_t n = strcspn(c, "/");
        if (n == 2 && c[0] == '.' && c[1] == '.')
            return false;
        c += n;
        while (*c == '/')
            ++c;
    }
    return file[0] != '\0';
}

// The arguments of one payload's InstallFromURI; null when they cannot be built.
CMPIArgs *payload_args(const Vendor &v, const char *file, const char *device, const char *system)
{
    char uri[256];
    const int n = snprintf(uri, sizeof uri, "%s%s", kPayloadUriPrefix, file);
    if (n < 0 || static_cast<size_t>(n) >= sizeof uri || !inside_unpack_directory(file)) {
        selk_trace("Payload path refused: %s\n", file);
        return nullptr;
    }
    const KeyValue port_keys[] = {
        {"CreationClassName", v.port_class},
        {"DeviceID", device},
        {"SystemCreationClassName", v.system_class},
        {"SystemName", system},
    };
    CMPIObjectPath *port = new_keyed_path(v.ns, v.port_class, port_keys, 4);
    CMPIStatus rc = {CMPI_RC_OK, nullptr};
    CMPIArgs *in = port != nullptr ? CMNewArgs(_broker, &rc) : nullptr;
    bool ok = in != nullptr && CMAddArg(in, "Target", &port, CMPI_ref).rc == CMPI_RC_OK &&
              CMAddArg(in, "URI", uri, CMPI_chars).rc == CMPI_RC_OK;
    if (ok && v.install_options) {
        selk_trace("+++passing IN InstallOptions argument - type uint16[].\n");
        CMPIArray *options = CMNewArray(_broker, 1, CMPI_uint16, &rc);
        selk_trace("+++Setting InstallOptions element - Update.");
        ok = options != nullptr && CMSetArrayElementAt(options, 0, &kInstallOptionUpdate, CMPI_uint16).rc == CMPI_RC_OK;
        selk_trace("+++Adding InstallOptions to argument array.\n");
        ok = ok && CMAddArg(in, "InstallOptions", &options, CMPI_uint16A).rc == CMPI_RC_OK;
        if (options != nullptr)
            CMRelease(options);
    }
    if (port != nullptr)
        CMRelease(port);
    if (!ok && in != nullptr) {
        CMRelease(in);
        in = nullptr;
    }
    if (in != nullptr) {
        selk_trace(v.invoke_trace, uri);
        selk_trace("URI: %s\n", uri);
    }
    return in;
}

// One payload onto one adapter: the vendor's return value, kCallNotBuilt or kCallFailed.
CMPIUint32 install_one(const Vendor &v, const CMPIContext *ctx, const char *file, const char *device)
{
    char system[PKG_FIELD_SIZE];
    adapter_system_name(v, ctx, system, sizeof system);
    const KeyValue service_keys[] = {
        {"CreationClassName", v.service_class},
        {"Name", v.service_name},
        {"SystemCreationClassName", v.system_class},
        {"SystemName", system},
    };
    CMPIObjectPath *service = new_keyed_path(v.ns, v.service_class, service_keys, 4);
    if (service == nullptr)
        return kCallNotBuilt;
    CMPIArgs *in = payload_args(v, file, device, system);
    if (in == nullptr) {
        CMRelease(service);
        return kCallNotBuilt;
    }
    InstallAnswer answer;
    invoke_install(ctx, service, in, &answer);
    CMRelease(in);
    CMRelease(service);
    if (answer.rc != CMPI_RC_OK) {
        selk_trace("Package installation error message: %s\n", answer.message);
        return kCallFailed;
    }
    // A call that answered nothing has not installed anything.
    const CMPIUint32 value = answer.has_value ? answer.value : kCallFailed;
    selk_trace("InstallFromURI returns %u\n", static_cast<unsigned>(value));
    return value;
}

// Every matched payload onto its adapter, in order: 0 when all were installed, else 1 with the
// failure recorded.
int install_payloads(const Vendor &v, int pkgIdx, const CMPIContext *ctx)
{
    const Pkg_Instance_Struct &p = pkgInstance[pkgIdx];
    // When no payload applies to the adapters found, there is nothing to install: success.
    CMPIUint32 result = kInstalled;
    for (int i = 0; i < p.payloadnum && i < PKG_MAX_PAYLOAD && result == kInstalled; ++i) {
        if (v.running != nullptr)
            update_Pkg_Install_status(pkgIdx, SELK_INSTALLING, v.running);
        selk_trace("Install %s %d package. Payload path: %s, Device ID: %s\n", v.word, i, p.PyldDeviceID[i][0],
                   p.PyldDeviceID[i][1]);
        result = install_one(v, ctx, p.PyldDeviceID[i][0], p.PyldDeviceID[i][1]);
    }
    switch (result) {
    case kInstalled:
        update_Pkg_Install_status(pkgIdx, SELK_INSTALLED, "Package installation successfully.");
        return 0;
    case kCallNotBuilt:
        update_Pkg_Install_status(pkgIdx, SELK_BAD_INPUT, v.input_error);
        return 1;
    case kUnsupportedTarget:
        update_Pkg_Install_status(pkgIdx, SELK_UNSUPPORTED_TARGET, v.unsupported);
        return 1;
    case kNoSuchFile:
        update_Pkg_Install_status(pkgIdx, SELK_NO_FILE, "The path or file does not exist.");
        return 1;
    default:
        update_Pkg_Install_status(pkgIdx, SELK_INSTALL_FAILED, kFailed);
        return 1;
    }
}

int install_package(const Vendor &v, int pkgIdx, const CMPIContext *ctx)
{
    if (pkgIdx < 0 || pkgIdx >= PKG_MAX_NUM)
        return 1;
    Pkg_Instance_Struct &p = pkgInstance[pkgIdx];
    selk_trace("Enter %s.\n", v.installer);
    discover(v, pkgIdx, ctx);
    if (p.dfnnumber == 0) {
        update_Pkg_Install_status(pkgIdx, SELK_INSTALL_FAILED, v.no_pairs);
        return kCallFailed;
    }

    // The unpack directory is emptied first: a payload description left by an earlier package
    // would flash that package's files.
    util_remove_file(SELK_UNZIP_DIR);
    const char *slash = strchr(p.tmpDestinationPath, '/');
    const int unpacked = Minizip(slash != nullptr ? slash + 1 : "", SELK_UNZIP_PATH);
    if (unpacked == 0) {
        selk_trace("Minizip() succeeded.\n");
    } else {
        selk_trace("Minizip() failed: %d\n", unpacked);
        if (v.unpack_failure_ends) {
            update_Pkg_Install_status(pkgIdx, SELK_INSTALL_FAILED, kFailed);
            return unpacked;
        }
    }

    p.payloadnum = 0;
    if (parsePayloadDeviceIDArray(pkgIdx) == 0) {
        // Recorded: the package would otherwise stay "running" for ever.
        selk_trace("No payload description can be matched.\n");
        update_Pkg_Install_status(pkgIdx, SELK_INSTALL_FAILED, kFailed);
        return 0;
    }
    if (install_payloads(v, pkgIdx, ctx) != 0)
        return 1;
    const int removed = util_remove_file(SELK_UNZIP_DIR);
    selk_trace(removed == 0 ? "Complete %s successfully.\n" : "Complete %s, the unpacked files stay.\n", v.installer);
    return removed;
}

}  // namespace

int installBrocadePkg(int pkgIdx, const CMPIContext *ctx)
{
    return install_package(kBrocade, pkgIdx, ctx);
}

int installElxCNAPkg(int pkgIdx, const CMPIContext *ctx)
{
    return install_package(kEmulexCna, pkgIdx, ctx);
}

int installElxFCPkg(int pkgIdx, const CMPIContext *ctx)
{
    return install_package(kEmulexFc, pkgIdx, ctx);
}

int installQlgPkg(int pkgIdx, const CMPIContext *ctx)
{
    return install_package(kQlogic, pkgIdx, ctx);
}
