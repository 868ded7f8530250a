// The query subset the CIMOM evaluates itself.
#include <gtest/gtest.h>

#include <cmpi_native.h>

#include "wql.h"

namespace {

using cimhost::QueryError;
using cimhost::WqlQuery;

struct Inst {
  Inst() {
    CMPIObjectPath *op = newCMPIObjectPath("ns", "C", nullptr);
    p = native_new_CMPIInstance(op, nullptr);
    op->ft->release(op);
  }
  ~Inst() { p->ft->release(p); }
  Inst &str(const char *n, const char *v) {
    p->ft->setProperty(p, n, reinterpret_cast<const CMPIValue *>(v), CMPI_chars);
    return *this;
  }
  Inst &u16(const char *n, CMPIUint16 v) {
    CMPIValue x;
    x.uint16 = v;
    p->ft->setProperty(p, n, &x, CMPI_uint16);
    return *this;
  }
  Inst &boolean(const char *n, bool v) {
    CMPIValue x;
    x.boolean = v;
    p->ft->setProperty(p, n, &x, CMPI_boolean);
    return *this;
  }
  CMPIInstance *p;
};

TEST(Wql, ParsesSelectListClassAndCondition) {
  WqlQuery q = WqlQuery::parse("select * from Qelvo_ConcreteJob");
  EXPECT_EQ(q.class_name(), "Qelvo_ConcreteJob");
  EXPECT_TRUE(q.select_list().empty());
  q = WqlQuery::parse("SELECT InstanceID, JobState FROM CIM_Job WHERE JobState = 4");
  EXPECT_EQ(q.select_list(), (std::vector<std::string>{"InstanceID", "JobState"}));
  for (const char *bad : {"", "SELECT", "SELECT * FROM", "SELECT * WHERE x = 1", "SELECT * FROM C WHERE",
                          "SELECT * FROM C WHERE x = 'open", "SELECT * FROM C WHERE (x = 1", "SELECT * FROM C x",
                          "SELECT * FROM C WHERE x = 1 AND", "SELECT * FROM C WHERE x ! 1", "SELECT a,, FROM C",
                          "SELECT * FROM C WHERE 1 IS NULL", "SELECT * FROM C WHERE x = 1x2"})
    EXPECT_THROW(WqlQuery::parse(bad), QueryError) << bad;
  std::string deep = "SELECT * FROM C WHERE ";
  for (int i = 0; i < 1000; ++i) deep += "NOT ";
  deep += "x = 1";
  EXPECT_THROW(WqlQuery::parse(deep), QueryError);
}

TEST(Wql, EvaluatesConditions) {
  Inst running, done, other;
  running.str("Id", "FileTransfer-0").u16("State", 4).boolean("Ok", true);
  done.str("Id", "Selk-1").u16("State", 7).boolean("Ok", false);
  other.str("Id", "it's").u16("State", 10);
  struct Case {
    const char *where;
    bool running, done, other;
  } cases[] = {
      {"State = 4", true, false, false},
      {"State <> 4", false, true, true},
      {"State != 4", false, true, true},
      {"State >= 7", false, true, true},
      {"State < 7 OR Id = 'Selk-1'", true, true, false},
      {"NOT (State = 4 OR State = 7)", false, false, true},
      {"State > 4 AND State <= 7", false, true, false},
      {"Ok = TRUE", true, false, false},
      {"Ok IS NULL", false, false, true},
      {"Ok IS NOT NULL", true, true, false},
      {"Id = \"FileTransfer-0\"", true, false, false},
      {"Id = 'filetransfer-0'", false, false, false},  // values compare exactly
      {"Id = 'it''s'", false, false, true},
      {"state = '7'", false, true, false},             // names without case, text to number
      {"Missing = 1", false, false, false},
      {"4 = State", true, false, false},
  };
  for (const Case &c : cases) {
    const WqlQuery q = WqlQuery::parse(std::string("SELECT * FROM C WHERE ") + c.where);
    EXPECT_EQ(q.matches(running.p), c.running) << c.where;
    EXPECT_EQ(q.matches(done.p), c.done) << c.where;
    EXPECT_EQ(q.matches(other.p), c.other) << c.where;
  }
}

}  // namespace
