// Reading package descriptors (CIM-XML instance dumps, one element per line) into the package
// records, and matching the payload files of an unpacked package to the host's adapters with its
// payload description. Also the line scanners both readers use.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "pkgbroker.h"

Pkg_Instance_Struct pkgInstance[PKG_MAX_NUM];
int pkgnum;
int PkgSeq[PKG_MAX_NUM];
payload_result_struct payload_result[PKG_MAX_RESULT];

namespace {

const char kNameTag[] = "<PROPERTY NAME=\"Name\" TYPE=\"string\">";
const char kTypeTag[] = "<PROPERTY NAME=\"type\" TYPE=\"uint16\">";
const char kCategoryTag[] = "<PROPERTY NAME=\"category\" TYPE=\"string\">";
const char kPreReqTag[] = "<PROPERTY.ARRAY NAME=\"preReq\" TYPE=\"string\">";
const char kCoReqTag[] = "<PROPERTY.ARRAY NAME=\"coReq\" TYPE=\"string\">";
const char kPayloadTag[] = "<PROPERTY NAME=\"payload\" TYPE=\"string\">";
const char kIdCodeTag[] = "<PROPERTY NAME=\"identificationCode\" TYPE=\"string\">";
const char kSupersedesTag[] = "<PROPERTY NAME=\"supersedes\" TYPE=\"string\">";
const char kXmlUnreadable[] = "Pakcage XML can't be opened.";

bool is_line_end(char c)
{
    return c == '\0' || c == '\r' || c == '\n' || c == '\b';
}

// The first L-1 characters of the name are those of the keyword.
bool short_match(const char *name, int len, const char *keyword)
{
    return len > 0 && strncmp(name, keyword, static_cast<size_t>(len - 1)) == 0;
}

// All L characters of the name begin the keyword.
bool whole_match(const char *name, int len, const char *keyword)
{
    return len > 0 && strncmp(name, keyword, static_cast<size_t>(len)) == 0;
}

// Copies text into a field of PKG_FIELD_SIZE; false (field untouched) when it does not fit.
bool set_field(char *field, const char *text)
{
    const size_t n = strlen(text);
    if (n >= PKG_FIELD_SIZE)
        return false;
    memcpy(field, text, n + 1);
    return true;
}

// A regular file opened for reading; null for anything else. A client's "file://" URI may name a
// device or a pipe: read line by line, /dev/zero never ends and a pipe without a writer never
// opens, and the one installation run would hang for good.
FILE *open_regular(const char *path)
{
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat st;
    FILE *fp = nullptr;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
        fp = fdopen(fd, "r");
    if (fp == nullptr)
        close(fd);
    return fp;
}

// A descriptor line: false at the end of the file.
bool read_line(FILE *fp, char *line)
{
    return fgets(line, PKG_LINE_SIZE, fp) != nullptr;
}

// The value of the attribute whose name ends at `after`: spaces, "=", spaces, a double quote,
// spaces, then everything up to the next double quote.
const char *attribute_value(const char *after, int *len)
{
    const char *p = removeBlanks(after);
    if (*p != '=')
        return nullptr;
    p = removeBlanks(p + 1);
    if (*p != '"')
        return nullptr;
    p = removeBlanks(p + 1);
    const char *end = strchr(p, '"');
    if (end == nullptr)
        return nullptr;
    *len = static_cast<int>(end - p);
    return p;
}

// Reads a preReq or coReq list after its tag into the record; `line` holds the last line read.
// False at the end of the file. A name that does not fit its field sets *too_long and ends the
// list: dropped, the dependent would be installed as if it needed nothing.
bool read_list(FILE *fp, char *line, Pkg_Instance_Struct &p, bool *too_long)
{
    if (!read_line(fp, line))
        return false;
    trimXMLString(line);
    if (strcmp(line, "<VALUE.ARRAY>") != 0)
        return true;
    for (int k = 0; k < PKG_MAX_PREREQ; ++k) {
        if (!read_line(fp, line))
            return false;
        trimXMLString(line);
        if (strcmp(line, "</VALUE.ARRAY>") == 0)
            return true;
        getXmlTagData(line);
        if (p.PrereqNum >= PKG_MAX_PREREQ)
            continue;
        if (!set_field(p.prereq[p.PrereqNum], line)) {
            *too_long = true;
            return true;
        }
        ++p.PrereqNum;
    }
    return true;
}

void log_value(const char *label, const char *value)
{
    selk_trace("%s\n", label);
    debug(value);
    debug("\n");
}

}  // namespace

void trimXMLString(char *text)
{
    if (text == nullptr)
        return;
    char *lt = strchr(text, '<');
    if (lt == nullptr) {
        text[0] = '\0';
        return;
    }
    memmove(text, lt, strlen(lt) + 1);
    char *gt = strrchr(text, '>');
    if (gt != nullptr)
        gt[1] = '\0';
}

void getXmlTagData(char *text)
{
    if (text == nullptr)
        return;
    const size_t n = strlen(text);
    if (n < 15) {
        text[0] = '\0';
        return;
    }
    memmove(text, text + 7, n - 15);
    text[n - 15] = '\0';
}

void trimPackageID(char *uri)
{
    if (uri == nullptr)
        return;
    const size_t n = strlen(uri);
    bool dot_cut = false;
    for (size_t i = n; i-- > 1;) {
        if (uri[i] == '/') {
            memmove(uri, uri + i + 1, strlen(uri + i + 1) + 1);
            return;
        }
        if (uri[i] == '.' && !dot_cut) {
            uri[i] = '\0';
            dot_cut = true;
        }
    }
}

const char *removeBlanks(const char *p)
{
    while (p != nullptr && *p == ' ')
        ++p;
    return p;
}

const char *getProp(const char *line, int *len)
{
    if (line == nullptr)
        return nullptr;
    const char *lt = nullptr;
    for (int i = 0; i < PKG_LINE_SIZE && line[i] != '\0'; ++i) {
        if (line[i] == '<') {
            lt = line + i;
            break;
        }
    }
    if (lt == nullptr)
        return nullptr;
    const char *name = removeBlanks(lt + 1);
    const size_t n = strcspn(name, " >");
    if (n == 0)
        return nullptr;
    if (len != nullptr)
        *len = static_cast<int>(n);
    return name;
}

const char *getSubProp(const char *line, int *len)
{
    int name_len = 0;
    const char *name = getProp(line, &name_len);
    if (name == nullptr)
        return nullptr;
    const char *attr = removeBlanks(name + name_len);
    const size_t n = strcspn(attr, "=> ");
    if (n == 0)
        return nullptr;
    if (len != nullptr)
        *len = static_cast<int>(n);
    return attr;
}

const char *getPropValue(const char *line, int *len)
{
    if (line == nullptr)
        return nullptr;
    const char *p = line;
    while (*p != '>') {
        if (is_line_end(*p))
            return nullptr;
        ++p;
    }
    const char *value = p + 1;
    const size_t n = strcspn(value, "<\r\n\b");
    if (n == 0)
        return nullptr;
    if (len != nullptr)
        *len = static_cast<int>(n);
    return value;
}

int findCfgFileName(char *buf)
{
    snprintf(buf, PKG_LINE_SIZE, "%s", SELK_PAYLOAD_CFG);
    return 1;
}

bool add_dfn_pair(int pkgIdx, const char *applicability, const char *device_id)
{
    if (pkgIdx < 0 || pkgIdx >= PKG_MAX_NUM || applicability == nullptr || device_id == nullptr)
        return false;
    Pkg_Instance_Struct &p = pkgInstance[pkgIdx];
    if (p.dfnnumber < 0 || p.dfnnumber >= PKG_MAX_DFN || strlen(applicability) >= PKG_FIELD_SIZE ||
        strlen(device_id) >= PKG_FIELD_SIZE)
        return false;
    set_field(p.DFNDeviceID[p.dfnnumber][0], applicability);
    set_field(p.DFNDeviceID[p.dfnnumber][1], device_id);
    ++p.dfnnumber;
    return true;
}

void getPkgAssociation(int pkgIdx)
{
    if (pkgIdx < 0 || pkgIdx >= PKG_MAX_NUM)
        return;
    selk_trace("Enter getPkgAssociation.\n");
    Pkg_Instance_Struct &p = pkgInstance[pkgIdx];
    FILE *fp = nullptr;
    if (strncmp(p.tmpDestinationPath, "file:/", 6) == 0)
        fp = open_regular(p.tmpDestinationPath + 6);
    if (fp == nullptr) {
        update_Pkg_Install_status(pkgIdx, SELK_TIMEOUT_OR_XML, kXmlUnreadable);
        p.OrderFlag = ORDER_XML_UNREADABLE;
        return;
    }

    // The tests run in row order on every line; a matching tag reads its value line, on which
    // the remaining tests of the pass then run. A value that does not fit its field makes the
    // descriptor unusable: a cut name could name another package or another file.
    struct Row {
        const char *tag;
        char *field;     // single value, or null for the lists and the payload
        bool list;
        bool append;
    };
    const Row rows[] = {
        {kNameTag, p.name, false, false},
        {kTypeTag, p.type, false, false},
        {kCategoryTag, p.category, false, false},
        {kPreReqTag, nullptr, true, false},
        {kCoReqTag, nullptr, true, false},
        {kPayloadTag, p.TFTPPayloadPkgURIs, false, true},
        {kIdCodeTag, p.identificationCode, false, false},
        {kSupersedesTag, p.supersedes, false, false},
    };
    char line[PKG_LINE_SIZE];
    bool more = true, too_long = false;
    while (more && !too_long && read_line(fp, line)) {
        trimXMLString(line);
        for (const Row &r : rows) {
            if (strcmp(line, r.tag) != 0)
                continue;
            if (r.list) {
                more = read_list(fp, line, p, &too_long);
            } else if (!read_line(fp, line)) {
                more = false;
            } else {
                trimXMLString(line);
                getXmlTagData(line);
                if (r.append) {
                    const size_t have = strlen(r.field), add = strlen(line);
                    if (have + add >= PKG_FIELD_SIZE)
                        too_long = true;
                    else
                        memcpy(r.field + have, line, add + 1);
                } else if (!set_field(r.field, line)) {
                    too_long = true;
                }
            }
            if (!more || too_long)
                break;
        }
    }
    fclose(fp);
    if (too_long) {
        selk_trace("Package XML holds a value too long for its field.\n");
        update_Pkg_Install_status(pkgIdx, SELK_TIMEOUT_OR_XML, kXmlUnreadable);
        p.OrderFlag = ORDER_XML_UNREADABLE;
        return;
    }

    if (strcmp(p.type, "1") == 0) {
        if (strcmp(p.category, "Tavik") == 0 || strcmp(p.category, "Tavik2") == 0)
            p.OrderFlag = ORDER_TAVIK;
        else if (strcmp(p.category, "UEFI") == 0)
            p.OrderFlag = ORDER_UEFI;
        else if (strcmp(p.category, "FPGA") == 0)
            p.OrderFlag = ORDER_FPGA;
        else
            p.OrderFlag = ORDER_DEFAULT;
    } else {
        p.OrderFlag = ORDER_NOT_SUPPORTED;
    }
    const size_t mlen = strcspn(p.identificationCode, "_");
    memcpy(p.manufacturer, p.identificationCode, mlen);
    p.manufacturer[mlen] = '\0';

    log_value("Package Name:", p.name);
    log_value("Package Type:", p.type);
    selk_trace("Package payload URI:\n");
    debug_uri(p.TFTPPayloadPkgURIs);
    debug("\n");
    log_value("Package identificationCode:", p.identificationCode);
    log_value("Package supersedes:", p.supersedes);
    char order[16];
    snprintf(order, sizeof order, "%d", p.OrderFlag);
    log_value("Package OrderFlag:", order);
    selk_trace("preReq package:\n");
    for (int k = 0; k < p.PrereqNum; ++k) {
        debug(p.prereq[k]);
        debug("\n");
    }
    log_value("Package manufacturer:", p.manufacturer);
    log_value("Package category:", p.category);
    selk_trace("Complete getPkgAssociation.\n");
}

int parsePayloadDeviceIDArray(int pkgIdx)
{
    char path[PKG_LINE_SIZE];
    findCfgFileName(path);
    return parse_payload_description(pkgIdx, path);
}

int parse_payload_description(int pkgIdx, const char *path)
{
    if (pkgIdx < 0 || pkgIdx >= PKG_MAX_NUM || path == nullptr)
        return 0;
    Pkg_Instance_Struct &p = pkgInstance[pkgIdx];
    const int pairs = p.dfnnumber < PKG_MAX_DFN ? p.dfnnumber : PKG_MAX_DFN;
    int appended = 0;
    char line[PKG_LINE_SIZE];
    for (int i = 0; i < pairs; ++i) {
        FILE *fp = open_regular(path);
        if (fp == nullptr)
            return 0;
        const char *wanted = p.DFNDeviceID[i][0];
        const size_t wanted_len = strlen(wanted);
        int collected = 0;
        bool failed = false;
        while (collected < PKG_MAX_RESULT && read_line(fp, line)) {
            int len = 0;
            const char *name = getProp(line, &len);
            if (name == nullptr)
                continue;
            if (whole_match(name, len, "/updateConfiguration"))
                break;
            if (!short_match(name, len, "payload"))
                continue;

            int order = 0, alen = 0, vlen = 0;
            const char *attr = getSubProp(line, &alen);
            if (attr != nullptr && whole_match(attr, alen, "order")) {
                const char *v = attribute_value(attr + alen, &vlen);
                if (v != nullptr) {
                    for (int d = 0; d < 2 && d < vlen && v[d] >= '0' && v[d] <= '9'; ++d)
                        order = order * 10 + (v[d] - '0');
                }
            }
            // A payload name that does not fit its field is refused: cut, it would name
            // another file.
            const char *file = getPropValue(line, &vlen);
            if (file == nullptr || vlen >= PKG_LINE_SIZE - 1 || vlen >= PKG_FIELD_SIZE) {
                failed = true;
                break;
            }
            char payload[PKG_FIELD_SIZE];
            memcpy(payload, file, static_cast<size_t>(vlen));
            payload[vlen] = '\0';

            while (read_line(fp, line)) {
                int nlen = 0, tlen = 0, alen2 = 0;
                const char *n = getProp(line, &nlen);
                if (n == nullptr || short_match(n, nlen, "/payload"))
                    break;
                if (!short_match(n, nlen, "applicability"))
                    continue;
                const char *t = getSubProp(line, &alen2);
                const char *v = getPropValue(line, &tlen);
                if (t != nullptr && short_match(t, alen2, "type") && v != nullptr &&
                    static_cast<size_t>(tlen) == wanted_len && strncmp(v, wanted, wanted_len) == 0) {
                    payload_result[collected].order = order;
                    snprintf(payload_result[collected].payload, sizeof payload_result[collected].payload, "%s",
                             payload);
                    ++collected;
                    break;
                }
            }
        }
        fclose(fp);
        if (failed)
            return 0;

        // Ordered by `order` when the first one collected has one; equal orders keep the
        // order of the description.
        if (collected >= 2 && payload_result[0].order != 0) {
            for (int a = 1; a < collected; ++a) {
                payload_result_struct moving = payload_result[a];
                int b = a;
                while (b > 0 && payload_result[b - 1].order > moving.order) {
                    payload_result[b] = payload_result[b - 1];
                    --b;
                }
                payload_result[b] = moving;
            }
        }
        for (int k = 0; k < collected; ++k) {
            // More pairs than the record holds: the package cannot be installed whole.
            if (appended >= PKG_MAX_PAYLOAD) {
                selk_trace("Too many payload files for one package.\n");
                return 0;
            }
            set_field(p.PyldDeviceID[appended][0], payload_result[k].payload);
            set_field(p.PyldDeviceID[appended][1], p.DFNDeviceID[i][1]);
            selk_trace("Payload %d: %s, Device ID: %s\n", appended, p.PyldDeviceID[appended][0],
                       p.PyldDeviceID[appended][1]);
            ++appended;
        }
    }
    p.payloadnum = appended;
    selk_trace("parsePayloadDeviceIDArray finished.\n");
    return 1;
}
