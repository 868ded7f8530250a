// Installation order: weights lowered for prerequisites, missing prerequisites, supersedes, ties,
// and the packages marked as not installable, which keep their marks.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "nsfixture.h"
#include "pkgbroker.h"

namespace {

struct Pkg {
    const char *id;
    int weight;
    std::vector<const char *> prereqs;
    const char *supersedes = "No supersedes";
};

struct Case {
    const char *what;
    std::vector<Pkg> pkgs;
    std::vector<int> weights;   // after ordering
    std::vector<int> sequence;  // PkgSeq
};

TEST(Ordering, WeightsAndSequence)
{
    const Case cases[] = {
        {"by category weight", {{"uefi", 250, {}}, {"tavik", 350, {}}, {"diag", 300, {}}}, {250, 350, 300}, {0, 2, 1}},
        {"ties in reverse order", {{"a", 300, {}}, {"b", 300, {}}, {"c", 300, {}}}, {300, 300, 300}, {2, 1, 0}},
        {"a prerequisite comes first", {{"a", 300, {"b"}}, {"b", 350, {}}}, {300, 299}, {1, 0}},
        {"missing prerequisite goes after the ordinary, before the marked",
         {{"a", 300, {"nowhere"}}, {"f", 1000, {}}, {"n", 1001, {}}, {"d", 300, {}}, {"x", 1002, {}}},
         {999, 1000, 1001, 300, 1002},
         {3, 0, 1, 2, 4}},
        {"found, then missing", {{"a", 300, {"b", "nowhere"}}, {"b", 350, {}}}, {999, 299}, {1, 0}},
        {"a chain", {{"a", 300, {}}, {"b", 300, {"a"}}, {"c", 300, {"b"}}}, {299, 299, 300}, {1, 0, 2}},
        {"supersedes are placed before the dependent too",
         {{"a", 300, {"b"}}, {"b", 350, {}, "c"}, {"c", 400, {}}},
         {300, 299, 299},
         {2, 1, 0}},
        {"marked packages keep their weights and order nothing",
         {{"f", 1000, {"b"}}, {"b", 300, {}}, {"d", 300, {"n"}}, {"n", 1001, {}}, {"x", 1002, {"nowhere"}}},
         {1000, 300, 300, 1001, 1002},
         {2, 1, 0, 3, 4}},
        {"a single package", {{"only", 450, {}}}, {450}, {0}},
    };
    nsfixture::Run([&] {
        for (const Case &c : cases) {
            memset(pkgInstance, 0, sizeof pkgInstance);
            memset(PkgSeq, 0xff, sizeof PkgSeq);
            pkgnum = static_cast<int>(c.pkgs.size());
            for (size_t i = 0; i < c.pkgs.size(); ++i) {
                Pkg_Instance_Struct &p = pkgInstance[i];
                snprintf(p.identificationCode, PKG_FIELD_SIZE, "%s", c.pkgs[i].id);
                snprintf(p.name, PKG_FIELD_SIZE, "%s", c.pkgs[i].id);
                snprintf(p.supersedes, PKG_FIELD_SIZE, "%s", c.pkgs[i].supersedes);
                p.OrderFlag = c.pkgs[i].weight;
                for (const char *pre : c.pkgs[i].prereqs)
                    snprintf(p.prereq[p.PrereqNum++], PKG_FIELD_SIZE, "%s", pre);
            }
            OrderPkgInstallation();
            std::vector<int> weights, sequence;
            for (int i = 0; i < pkgnum; ++i) {
                weights.push_back(pkgInstance[i].OrderFlag);
                sequence.push_back(PkgSeq[i]);
            }
            EXPECT_EQ(weights, c.weights) << c.what;
            EXPECT_EQ(sequence, c.sequence) << c.what;
        }
    });
}

}  // namespace
