// Installation order of the packages of a request: prerequisites get a smaller weight than the
// packages that need them, then the package indices are sorted by weight into PkgSeq.
#include <cstring>

#include "pkgbroker.h"

namespace {

// Weights from 1000 up mark packages that will not be installed (fetch failed, not installable,
// descriptor unreadable); they are never changed, and such a package orders nothing before it.
bool marked(int order_flag)
{
    return order_flag >= ORDER_FETCH_FAILED;
}

void order_prerequisites(int count)
{
    for (int i = 0; i < count; ++i) {
        Pkg_Instance_Struct &dep = pkgInstance[i];
        if (marked(dep.OrderFlag))
            continue;
        // The bound is read at every step: superseded names appended below are processed too.
        for (int k = 0; k < dep.PrereqNum && k < PKG_MAX_PREREQ; ++k) {
            selk_trace("%s require to install Prereq Package %s\n", dep.identificationCode, dep.prereq[k]);
            bool matched = false;
            for (int j = 0; j < count; ++j) {
                Pkg_Instance_Struct &pre = pkgInstance[j];
                if (strcmp(pre.identificationCode, dep.prereq[k]) != 0)
                    continue;
                if (!marked(pre.OrderFlag))
                    pre.OrderFlag = dep.OrderFlag - 1;
                selk_trace("Prereq Package is found in xml list.\n");
                if (strcmp(pre.supersedes, "No supersedes") != 0) {
                    selk_trace("There is supersedes info for the prereq Package.\n");
                    if (dep.PrereqNum < PKG_MAX_PREREQ) {
                        strcpy(dep.prereq[dep.PrereqNum], pre.supersedes);
                        ++dep.PrereqNum;
                    }
                }
                matched = true;
            }
            if (!matched) {
                selk_trace("Prereq is not found in xml list.\n");
                dep.OrderFlag = ORDER_PREREQ_MISSING;
            }
        }
    }
}

}  // namespace

void OrderPkgInstallation()
{
    const int count = pkgnum < PKG_MAX_NUM ? (pkgnum > 0 ? pkgnum : 0) : PKG_MAX_NUM;
    order_prerequisites(count);

    for (int i = 0; i < count; ++i)
        selk_trace("%s: Order Flag is %d\n", pkgInstance[i].identificationCode, pkgInstance[i].OrderFlag);

    // Selection by smallest weight; the upward scan with "<=" makes the highest index win a tie.
    int placed[PKG_MAX_NUM] = {};
    for (int pos = 0; pos < count; ++pos) {
        int candidate = 0;
        while (candidate < count && placed[candidate] == 1)
            ++candidate;
        selk_trace("mm%d:\n", candidate);
        for (int m = 0; m < count; ++m) {
            selk_trace("ee%d:%d\n", m, placed[m]);
            if (placed[m] != 1 && pkgInstance[m].OrderFlag <= pkgInstance[candidate].OrderFlag)
                candidate = m;
        }
        selk_trace("xx%d:\n", candidate);
        PkgSeq[pos] = candidate;
        placed[candidate] = 1;
    }
    selk_trace("Pakage installation sequence:\n");
    for (int pos = 0; pos < count; ++pos)
        selk_trace("--%d:%s\n", PkgSeq[pos], pkgInstance[PkgSeq[pos]].name);
}
