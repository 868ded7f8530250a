/* Ownership of native objects: request scopes, the per-thread default scope,
 * caller-owned clones and constructors, memory marks and scoped memory. */
#include <cmpidt.h>
#include <cmpift.h>
#include <cmpimacs.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "cmpi_native.h"

using cmpinative::live_objects;
using cmpinative::RequestScope;

namespace {

class Ownership : public ::testing::Test {
 protected:
  void SetUp() override { base_ = live_objects(); }
  void TearDown() override { EXPECT_EQ(live_objects(), base_) << "native objects leaked"; }
  ~Ownership() override { cmpinative::delete_broker(broker_); }

  cmpinative::Router router_;
  CMPIBroker *broker_ = cmpinative::new_broker(&router_);
  long base_ = 0;
};

TEST_F(Ownership, BrokerMadeObjectsAreFreedWhenTheirScopeEnds) {
  {
    RequestScope scope;
    CMPIStatus rc;
    CMPIObjectPath *op = CMNewObjectPath(broker_, "root/cimv2", "Qelvo_Job", &rc);
    ASSERT_EQ(rc.rc, CMPI_RC_OK);
    ASSERT_NE(op, nullptr);
    EXPECT_NE(CMNewInstance(broker_, op, &rc), nullptr);
    EXPECT_NE(CMNewString(broker_, "x", &rc), nullptr);
    EXPECT_NE(CMNewArray(broker_, 2, CMPI_string, &rc), nullptr);
    EXPECT_NE(CMNewArgs(broker_, &rc), nullptr);
    EXPECT_NE(CMNewDateTime(broker_, &rc), nullptr);
    EXPECT_NE(CMNewCMPIError(broker_, "owner", "id", "msg", ErrorSevLow, Software_Error, CMPI_RC_ERR_FAILED, &rc),
              nullptr);
    /* The instance holds a copy of its path: eight objects. */
    EXPECT_EQ(live_objects(), base_ + 8);
  }
  EXPECT_EQ(live_objects(), base_);
}

TEST_F(Ownership, ReleaseBeforeScopeEndIsNotFreedAgain) {
  {
    RequestScope scope;
    CMPIString *s = CMNewString(broker_, "early", nullptr);
    CMPIObjectPath *op = CMNewObjectPath(broker_, "ns", "C", nullptr);
    CMPIString *kept = CMNewString(broker_, "kept", nullptr);
    EXPECT_EQ(live_objects(), base_ + 3);
    EXPECT_EQ(CMRelease(s).rc, CMPI_RC_OK);
    CMFreeObjectPath(broker_, op);
    EXPECT_EQ(live_objects(), base_ + 1);
    EXPECT_STREQ(CMGetCharPtr(kept), "kept");
  }
  EXPECT_EQ(live_objects(), base_);
}

TEST_F(Ownership, ClonesAndNativeConstructorsBelongToTheCaller) {
  CMPIString *clone = nullptr;
  CMPIObjectPath *made = nullptr;
  {
    RequestScope scope;
    CMPIString *s = CMNewString(broker_, "survivor", nullptr);
    clone = CMClone(s, nullptr);
    made = newCMPIObjectPath("ns", "Made", nullptr);
    EXPECT_EQ(live_objects(), base_ + 3);
  }
  ASSERT_EQ(live_objects(), base_ + 2);
  EXPECT_STREQ(CMGetCharPtr(clone), "survivor");
  CMPIStatus rc;
  {
    RequestScope scope;
    EXPECT_STREQ(CMGetCharPtr(CMGetClassName(made, &rc)), "Made");
  }
  EXPECT_EQ(CMRelease(clone).rc, CMPI_RC_OK);
  EXPECT_EQ(CMRelease(made).rc, CMPI_RC_OK);
}

TEST_F(Ownership, NewObjectsGoToTheInnermostScope) {
  RequestScope outer;
  CMPIString *a = CMNewString(broker_, "outer", nullptr);
  {
    RequestScope inner;
    CMNewString(broker_, "inner 1", nullptr);
    CMNewString(broker_, "inner 2", nullptr);
    EXPECT_EQ(live_objects(), base_ + 3);
  }
  EXPECT_EQ(live_objects(), base_ + 1);
  EXPECT_STREQ(CMGetCharPtr(a), "outer");
}

TEST_F(Ownership, GettersOfContainersHandBackTheContainersOwnValues) {
  RequestScope scope;
  CMPIObjectPath *op = CMNewObjectPath(broker_, "ns", "C", nullptr);
  CMPIInstance *inst = CMNewInstance(broker_, op, nullptr);
  CMSetProperty(inst, "Name", "value", CMPI_chars);
  long before = live_objects();
  CMPIData d = CMGetProperty(inst, "Name", nullptr);
  CMPIData again = CMGetProperty(inst, "Name", nullptr);
  EXPECT_EQ(live_objects(), before);
  EXPECT_EQ(d.value.string, again.value.string);
  EXPECT_STREQ(CMGetCharPtr(d.value.string), "value");
}

TEST_F(Ownership, StoredValuesAreCopiesIndependentOfTheOriginal) {
  RequestScope scope;
  CMPIInstance *inst = CMNewInstance(broker_, CMNewObjectPath(broker_, "ns", "C", nullptr), nullptr);
  CMPIString *s = CMNewString(broker_, "original", nullptr);
  CMPIObjectPath *ref = CMNewObjectPath(broker_, "ns", "Target", nullptr);
  CMAddKey(ref, "Id", "t1", CMPI_chars);
  CMSetProperty(inst, "S", &s, CMPI_string);
  CMSetProperty(inst, "R", &ref, CMPI_ref);
  CMRelease(s);
  CMAddKey(ref, "Id", "changed", CMPI_chars);
  CMRelease(ref);

  CMPIData ds = CMGetProperty(inst, "S", nullptr);
  CMPIData dr = CMGetProperty(inst, "R", nullptr);
  ASSERT_EQ(ds.type, CMPI_string);
  EXPECT_STREQ(CMGetCharPtr(ds.value.string), "original");
  ASSERT_EQ(dr.type, CMPI_ref);
  EXPECT_EQ(cmpinative::data_to_string(CMGetKey(dr.value.ref, "Id", nullptr)), "t1");
}

// Strings and date-times that copies of a value share live until their last holder lets go: the
// original, its clone, a value moved out of a result, in any order, each counted as its own object.
TEST_F(Ownership, SharedValuesLiveUntilTheirLastHolderLetsGo) {
  CMPIObjectPath *op = newCMPIObjectPath("ns", "C", nullptr);
  CMAddKey(op, "Id", "shared key", CMPI_chars);
  CMPIInstance *inst = native_new_CMPIInstance(op, nullptr);
  CMRelease(op);
  CMPIDateTime *when = native_new_CMPIDateTime_fromBinary(86400000000ULL, 1, nullptr);
  CMSetProperty(inst, "When", &when, CMPI_dateTime);
  CMRelease(when);
  CMPIInstance *copy = CMClone(inst, nullptr);
  CMPIResult *result = cmpinative::new_result();
  {
    RequestScope scope;
    CMReturnInstance(result, copy);
    /* A scoped string set as a property is copied, not shared: the scope frees its own. */
    CMPIString *scoped = CMNewString(broker_, "scoped", nullptr);
    CMSetProperty(copy, "S", &scoped, CMPI_string);
  }
  CMRelease(inst);
  const CMPIInstance *holders[] = {copy, cmpinative::result_contents(result).instances[0]};
  for (const CMPIInstance *holder : holders) {
    EXPECT_EQ(cmpinative::data_to_string(CMGetProperty(holder, "Id", nullptr)), "shared key");
    EXPECT_EQ(cmpinative::data_to_string(CMGetProperty(holder, "When", nullptr)), "00000001000000.000000:000");
  }
  EXPECT_EQ(cmpinative::data_to_string(CMGetProperty(copy, "S", nullptr)), "scoped");
  CMRelease(copy);
  EXPECT_EQ(cmpinative::data_to_string(CMGetProperty(cmpinative::result_contents(result).instances[0], "Id", nullptr)),
            "shared key");
  CMRelease(result);
}

// A value moved into a native instance or path leaves the scope it was made in and lives as long
// as its new holder, freed once; a value that cannot be moved is left as it was.
TEST_F(Ownership, MovedValuesBelongToTheirNewHolderAlone) {
  CMPIObjectPath *op = newCMPIObjectPath("ns", "C", nullptr);
  CMPIInstance *inst = native_new_CMPIInstance(op, nullptr);
  {
    RequestScope scope;
    CMPIArray *array = CMNewArray(broker_, 2, CMPI_string, nullptr);
    CMSetArrayElementAt(array, 1, "two", CMPI_chars);
    auto data = [](CMPIType t, CMPIValue v) {
      CMPIData d;
      d.type = t;
      d.state = CMPI_goodValue;
      d.value = v;
      return d;
    };
    CMPIValue v;
    const struct {
      const char *name;
      CMPIData d;
      bool moves;
    } cases[] = {
        {"S", data(CMPI_string, (v.string = CMNewString(broker_, "text", nullptr), v)), true},
        {"A", data(CMPI_stringA, (v.array = array, v)), true},
        {"R", data(CMPI_ref, (v.ref = CMNewObjectPath(broker_, "ns", "Target", nullptr), v)), true},
        {"N", data(CMPI_uint32, (v.uint32 = 7, v)), true},
        {"Null", data(CMPI_string, (v.string = nullptr, v)), true},
        {"Chars", data(CMPI_chars, (v.chars = const_cast<char *>("chars"), v)), false},
    };
    for (const auto &c : cases) {
      CMPIData d = c.d;
      EXPECT_EQ(cmpinative::move_property(inst, c.name, &d), c.moves) << c.name;
      if (c.moves) EXPECT_TRUE(d.state & CMPI_nullValue) << c.name;
      else EXPECT_EQ(0, std::memcmp(&d, &c.d, sizeof d)) << c.name;
    }
    CMPIData key = data(CMPI_string, (v.string = CMNewString(broker_, "k1", nullptr), v));
    EXPECT_TRUE(cmpinative::move_key(op, "Id", &key));
  }
  RequestScope scope;
  EXPECT_STREQ(CMGetCharPtr(CMGetProperty(inst, "S", nullptr).value.string), "text");
  const CMPIData a = CMGetProperty(inst, "A", nullptr);
  ASSERT_EQ(a.type, CMPI_stringA);
  EXPECT_STREQ(CMGetCharPtr(CMGetArrayElementAt(a.value.array, 1, nullptr).value.string), "two");
  EXPECT_STREQ(CMGetCharPtr(CMGetClassName(CMGetProperty(inst, "R", nullptr).value.ref, nullptr)), "Target");
  EXPECT_EQ(CMGetProperty(inst, "N", nullptr).value.uint32, 7u);
  EXPECT_TRUE(CMGetProperty(inst, "Null", nullptr).state & CMPI_nullValue);
  CMPIStatus rc;
  CMGetProperty(inst, "Chars", &rc);
  EXPECT_EQ(rc.rc, CMPI_RC_ERR_NO_SUCH_PROPERTY);
  const CMPIData k = CMGetKey(op, "Id", nullptr);
  EXPECT_TRUE(k.state & CMPI_keyValue);
  EXPECT_STREQ(CMGetCharPtr(k.value.string), "k1");
  CMRelease(inst);
  CMRelease(op);
}

// A result takes a native instance or path itself: it outlives the scope it was made in and goes
// with the result; anything else is refused and left to its owner.
TEST_F(Ownership, AResultTakesNativeObjectsItself) {
  CMPIResult *r = cmpinative::new_result();
  CMPIInstance *inst = nullptr;
  CMPIObjectPath *op = nullptr;
  {
    RequestScope scope;
    op = CMNewObjectPath(broker_, "ns", "C", nullptr);
    inst = CMNewInstance(broker_, op, nullptr);
    CMSetProperty(inst, "Name", "kept", CMPI_chars);
    EXPECT_TRUE(cmpinative::result_take(r, inst));
    EXPECT_TRUE(cmpinative::result_take(r, op));
    CMPIInstance *foreign = reinterpret_cast<CMPIInstance *>(op);
    EXPECT_FALSE(cmpinative::result_take(r, foreign));
    EXPECT_FALSE(cmpinative::result_take(reinterpret_cast<CMPIResult *>(op), inst));
  }
  const cmpinative::ResultContents &c = cmpinative::result_contents(r);
  ASSERT_EQ(c.instances.size(), 1u);
  ASSERT_EQ(c.paths.size(), 1u);
  EXPECT_EQ(c.instances[0], inst);
  EXPECT_EQ(c.paths[0], op);
  EXPECT_STREQ(CMGetCharPtr(CMGetProperty(inst, "Name", nullptr).value.string), "kept");
  CMRelease(r);
}

TEST_F(Ownership, ThreadWithoutScopeFreesItsObjectsWhenItExits) {
  long during = 0;
  std::string text;
  std::thread t([&] {
    CMPIString *s = CMNewString(broker_, "thread", nullptr);
    CMNewObjectPath(broker_, "ns", "C", nullptr);
    text = CMGetCharPtr(s);
    during = live_objects();
  });
  t.join();
  EXPECT_EQ(text, "thread");
  EXPECT_EQ(during, base_ + 2);
}

TEST_F(Ownership, ThreadsMakeAndFreeObjectsConcurrently) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([this] {
      for (int i = 0; i < 300; ++i) {
        RequestScope scope;
        CMPIObjectPath *op = CMNewObjectPath(broker_, "ns", "C", nullptr);
        CMAddKey(op, "Id", std::to_string(i).c_str(), CMPI_chars);
        CMPIInstance *inst = CMNewInstance(broker_, op, nullptr);
        CMPIInstance *copy = CMClone(inst, nullptr);
        if (i % 2 == 0) CMRelease(inst);  // the rest goes with the scope
        CMRelease(copy);
      }
    });
  }
  for (auto &th : threads) th.join();
}

/* Clones made and released on other threads than the original's, which
 * outlive it and keep their own path. */
TEST_F(Ownership, ClonesOutliveTheirOriginalOnOtherThreads) {
  CMPIObjectPath *op = newCMPIObjectPath("root/somewhere", "AClassNameLongerThanAWord", nullptr);
  CMAddKey(op, "Id", "a key longer than a short string", CMPI_chars);
  CMPIInstance *inst = native_new_CMPIInstance(op, nullptr);
  CMRelease(op);
  std::vector<CMPIInstance *> kept(4);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        CMPIInstance *c = CMClone(inst, nullptr);
        CMRelease(c);
      }
      kept[t] = CMClone(inst, nullptr);
    });
  }
  for (auto &th : threads) th.join();
  /* Giving the original another path leaves its clones' as they were. */
  CMPIObjectPath *other = newCMPIObjectPath("root/elsewhere", "AnotherLongClassName", nullptr);
  CMAddKey(other, "Id", "k2", CMPI_chars);
  ASSERT_EQ(CMSetObjectPath(inst, other).rc, CMPI_RC_OK);
  CMRelease(other);
  {
    RequestScope scope;
    CMPIString *text = CMObjectPathToString(CMGetObjectPath(inst, nullptr), nullptr);
    EXPECT_STREQ(CMGetCharPtr(text), "root/elsewhere:AnotherLongClassName.Id=\"a key longer than a short string\"");
  }
  CMRelease(inst);
  for (CMPIInstance *c : kept) {
    RequestScope scope;
    CMPIString *text = CMObjectPathToString(CMGetObjectPath(c, nullptr), nullptr);
    EXPECT_STREQ(CMGetCharPtr(text), "root/somewhere:AClassNameLongerThanAWord.Id=\"a key longer than a short string\"");
    CMRelease(c);
  }
}

TEST_F(Ownership, MemoryMarkReleasesOnlyWhatWasMadeAfterIt) {
  RequestScope scope;
  CMPIString *before = CMNewString(broker_, "before", nullptr);
  CMPIStatus rc;
  CMPIGcStat *mark = broker_->mft->mark(broker_, &rc);
  ASSERT_EQ(rc.rc, CMPI_RC_OK);
  CMNewString(broker_, "after 1", nullptr);
  CMNewArgs(broker_, nullptr);
  char *mem = broker_->mft->cmpiStrDup(broker_, "scoped memory");
  ASSERT_NE(mem, nullptr);
  EXPECT_EQ(live_objects(), base_ + 3);
  EXPECT_EQ(broker_->mft->release(broker_, mark).rc, CMPI_RC_OK);
  EXPECT_EQ(live_objects(), base_ + 1);
  EXPECT_STREQ(CMGetCharPtr(before), "before");
  /* A mark is released once. */
  EXPECT_EQ(broker_->mft->release(broker_, mark).rc, CMPI_RC_ERR_INVALID_HANDLE);
}

TEST_F(Ownership, UnreleasedMarkEndsWithTheEnclosingScope) {
  {
    RequestScope scope;
    broker_->mft->mark(broker_, nullptr);
    CMNewString(broker_, "inside mark", nullptr);
  }
  EXPECT_EQ(live_objects(), base_);
  /* Objects made afterwards on this thread land in a scope again. */
  RequestScope next;
  CMNewString(broker_, "next", nullptr);
  EXPECT_EQ(live_objects(), base_ + 1);
}

TEST_F(Ownership, ScopedMemoryCanBeResizedAndFreed) {
  RequestScope scope;
  const CMPIBrokerMemFT *m = broker_->mft;
  auto *p = static_cast<char *>(m->cmpiMalloc(broker_, 4));
  ASSERT_NE(p, nullptr);
  std::memcpy(p, "abc", 4);
  p = static_cast<char *>(m->cmpiRealloc(broker_, p, 4096));
  ASSERT_NE(p, nullptr);
  EXPECT_STREQ(p, "abc");
  auto *z = static_cast<unsigned char *>(m->cmpiCalloc(broker_, 16, 4));
  ASSERT_NE(z, nullptr);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(z[i], 0) << i;
  m->cmpiFree(broker_, p);
  m->cmpiFree(broker_, p);  // no longer a block of this scope: ignored
  /* A pointer the broker did not hand out is refused, not reallocated. */
  char local[8];
  EXPECT_EQ(m->cmpiRealloc(broker_, local, 16), nullptr);
  EXPECT_EQ(m->cmpiCalloc(broker_, SIZE_MAX / 2, 4), nullptr);
}

}  // namespace
