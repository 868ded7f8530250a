// The job ledger seen through the host CIMOM: jobs made inside the simulated host by a
// library that loads /lib/cim/libjobledger.so, as the transfer service and the package broker
// do, and read back with wbemcli as Qelvo_ConcreteJob instances.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>

#include "e2e_support.h"

namespace {

using e2e::Object;
using e2e::Result;

// Makes `count` jobs of type E2E; returns their instance ids. As on a host, the ledger's
// directory /tmp/sfcb exists once a provider of the ledger has started: a first enumeration
// loads the job provider.
std::vector<std::string> MakeJobs(int count) {
  const Result first = e2e::Wbem("ein", "qelvo/cimv2:Qelvo_ConcreteJob");
  EXPECT_EQ(first.status, 0) << first.Describe();
  const Result r = e2e::Run({E2E_MAKE_JOB, "E2E", E2E_JOB_HANDLER, std::to_string(count)});
  EXPECT_EQ(r.status, 0) << r.Describe();
  return e2e::Lines(r.out);
}

void SteerJob(const std::string &id, int state, const std::string &status) {
  mkdir("/tmp/e2e-jobs", 0755);
  ASSERT_TRUE(e2e::WriteFile("/tmp/e2e-jobs/" + id, std::to_string(state) + " " + status + "\n"));
}

std::string JobPath(const std::string &ns, const std::string &id) {
  return ns + ":Qelvo_ConcreteJob.InstanceID=\"" + id + "\"";
}

TEST(JobLedger, EmptyLedgerEnumeratesNothing) {
  for (const char *op : {"ei", "ein"}) {
    const Result r = e2e::Wbem(op, "qelvo/cimv2:Qelvo_ConcreteJob");
    EXPECT_EQ(r.status, 0) << op << ": " << r.Describe();
    EXPECT_TRUE(e2e::Lines(r.out).empty()) << op << ": " << r.out;
  }
}

TEST(JobLedger, JobsMadeOnTheHostAreListedInBothNamespaces) {
  const std::vector<std::string> ids = MakeJobs(3);
  ASSERT_EQ(ids, (std::vector<std::string>{"E2E-0", "E2E-1", "E2E-2"}));
  for (const char *ns : {"qelvo/cimv2", "selk/cimv2"}) {
    const Result names = e2e::Wbem("ein", std::string(ns) + ":Qelvo_ConcreteJob");
    ASSERT_EQ(names.status, 0) << names.Describe();
    const std::vector<std::string> lines = e2e::Lines(names.out);
    ASSERT_EQ(lines.size(), 3u) << names.out;
    for (size_t i = 0; i < ids.size(); ++i)
      EXPECT_NE(lines[i].find(std::string(ns) + ":Qelvo_ConcreteJob.InstanceID=\"" + ids[i] + "\""),
                std::string::npos)
          << lines[i];

    const Result inst = e2e::Wbem("ei", std::string(ns) + ":Qelvo_ConcreteJob", {}, {"-nl"});
    ASSERT_EQ(inst.status, 0) << inst.Describe();
    const std::vector<Object> objs = e2e::ParseObjects(inst.out);
    ASSERT_EQ(objs.size(), 3u) << inst.out;
    for (size_t i = 0; i < objs.size(); ++i) {
      EXPECT_EQ(objs[i].Get("InstanceID"), ids[i]);
      EXPECT_EQ(objs[i].Get("JobState"), "4");
      EXPECT_EQ(objs[i].Get("JobStatus"), "Process Running");
      EXPECT_EQ(objs[i].Get("TimeBeforeRemoval"), "00000000000500.000000:000");
    }
  }
}

TEST(JobLedger, StateChangesReachTheClient) {
  const std::vector<std::string> ids = MakeJobs(2);
  ASSERT_EQ(ids.size(), 2u);
  SteerJob(ids[0], 7, "Transfer complete");
  SteerJob(ids[1], 10, "Transfer failed - Timeout");
  const Result done = e2e::Wbem("gi", JobPath("qelvo/cimv2", ids[0]), {}, {"-nl"});
  ASSERT_EQ(done.status, 0) << done.Describe();
  std::vector<Object> objs = e2e::ParseObjects(done.out);
  ASSERT_EQ(objs.size(), 1u) << done.out;
  EXPECT_EQ(objs[0].Get("JobState"), "7");
  EXPECT_EQ(objs[0].Get("JobStatus"), "Transfer complete");

  const Result failed = e2e::Wbem("gi", JobPath("selk/cimv2", ids[1]), {}, {"-nl"});
  ASSERT_EQ(failed.status, 0) << failed.Describe();
  objs = e2e::ParseObjects(failed.out);
  ASSERT_EQ(objs.size(), 1u) << failed.out;
  EXPECT_EQ(objs[0].Get("JobState"), "10");
  EXPECT_EQ(objs[0].Get("JobStatus"), "Transfer failed - Timeout");

  // The state is frozen once the job has ended, whatever the handler says later.
  SteerJob(ids[0], 4, "Running again");
  const Result again = e2e::Wbem("gi", JobPath("qelvo/cimv2", ids[0]), {}, {"-nl"});
  objs = e2e::ParseObjects(again.out);
  ASSERT_EQ(objs.size(), 1u) << again.Describe();
  EXPECT_EQ(objs[0].Get("JobState"), "7");
}

TEST(JobLedger, PropertyListLimitsTheProperties) {
  MakeJobs(1);
  const Result r = e2e::Wbem("ei", "qelvo/cimv2:Qelvo_ConcreteJob", {"JobState"}, {"-nl"});
  ASSERT_EQ(r.status, 0) << r.Describe();
  const std::vector<Object> objs = e2e::ParseObjects(r.out);
  ASSERT_EQ(objs.size(), 1u) << r.out;
  EXPECT_EQ(objs[0].Get("JobState"), "4");
  EXPECT_FALSE(objs[0].Has("JobStatus")) << r.out;
  EXPECT_FALSE(objs[0].Has("TimeBeforeRemoval")) << r.out;
  EXPECT_NE(objs[0].path.find("InstanceID=\"E2E-0\""), std::string::npos) << objs[0].path;
}

TEST(JobLedger, UnknownJobAndWritesAreRefused) {
  MakeJobs(1);
  Result r = e2e::Wbem("gi", JobPath("qelvo/cimv2", "E2E-7"));
  EXPECT_NE(r.status, 0) << r.Describe();
  EXPECT_NE(r.err.find("CIM_ERR_FAILED: Get Instance Failed"), std::string::npos) << r.Describe();

  r = e2e::Wbem("di", JobPath("qelvo/cimv2", "E2E-0"));
  EXPECT_NE(r.err.find("CIM_ERR_NOT_SUPPORTED"), std::string::npos) << r.Describe();
  r = e2e::Wbem("ci", JobPath("qelvo/cimv2", "E2E-5"), {"InstanceID=\"E2E-5\",JobState=4"});
  EXPECT_NE(r.err.find("CIM_ERR_NOT_SUPPORTED"), std::string::npos) << r.Describe();
  r = e2e::Wbem("cm", JobPath("qelvo/cimv2", "E2E-0"), {"RequestStateChange.RequestedState=2"});
  EXPECT_NE(r.err.find("CIM_ERR_NOT_SUPPORTED: Method Not Supported"), std::string::npos) << r.Describe();

  // The ledger still holds the one job, unchanged.
  r = e2e::Wbem("ein", "qelvo/cimv2:Qelvo_ConcreteJob");
  EXPECT_EQ(e2e::Lines(r.out).size(), 1u) << r.Describe();
}

TEST(JobLedger, JobsAreFoundThroughTheirBaseClass) {
  // The transfer service hands out job references of class CIM_ConcreteJob.
  MakeJobs(2);
  Result r = e2e::Wbem("ein", "qelvo/cimv2:CIM_ConcreteJob");
  ASSERT_EQ(r.status, 0) << r.Describe();
  EXPECT_EQ(e2e::Lines(r.out).size(), 2u) << r.out;
  r = e2e::Wbem("gi", "qelvo/cimv2:CIM_ConcreteJob.InstanceID=\"E2E-1\"", {}, {"-nl"});
  ASSERT_EQ(r.status, 0) << r.Describe();
  const std::vector<Object> objs = e2e::ParseObjects(r.out);
  ASSERT_EQ(objs.size(), 1u) << r.out;
  EXPECT_EQ(objs[0].Get("InstanceID"), "E2E-1");
}

TEST(JobLedger, QueryFiltersJobs) {
  const std::vector<std::string> ids = MakeJobs(3);
  ASSERT_EQ(ids.size(), 3u);
  SteerJob(ids[1], 7, "done");
  // wbemcli has no query command; the request is posted as wbemcli would post it.
  const std::string body =
      "<?xml version=\"1.0\" encoding=\"utf-8\"?><CIM CIMVERSION=\"2.0\" DTDVERSION=\"2.0\">"
      "<MESSAGE ID=\"9\" PROTOCOLVERSION=\"1.0\"><SIMPLEREQ><IMETHODCALL NAME=\"ExecQuery\">"
      "<LOCALNAMESPACEPATH><NAMESPACE NAME=\"qelvo\"/><NAMESPACE NAME=\"cimv2\"/></LOCALNAMESPACEPATH>"
      "<IPARAMVALUE NAME=\"QueryLanguage\"><VALUE>WQL</VALUE></IPARAMVALUE>"
      "<IPARAMVALUE NAME=\"Query\"><VALUE>SELECT InstanceID FROM Qelvo_ConcreteJob WHERE JobState &lt;&gt; 4"
      "</VALUE></IPARAMVALUE></IMETHODCALL></SIMPLEREQ></MESSAGE></CIM>";
  const Result r = e2e::Run({"curl", "-s", "-u", "root:simhost", "-H", "Content-Type: application/xml",
                             "-H", "CIMOperation: MethodCall", "-H", "CIMMethod: ExecQuery", "-H",
                             "CIMObject: qelvo%2Fcimv2", "--data-binary", "@-", "http://127.0.0.1:5988/cimom"},
                            60, body);
  ASSERT_EQ(r.status, 0) << r.Describe();
  EXPECT_NE(r.out.find("<VALUE>" + ids[1] + "</VALUE>"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("<VALUE>" + ids[0] + "</VALUE>"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("JobStatus"), std::string::npos) << r.out;
}

}  // namespace
