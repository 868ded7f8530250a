/* CMPIDateTime: binary and CIM text forms of timestamps and intervals. */
#include <cmpidt.h>
#include <cmpift.h>
#include <cmpimacs.h>
#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include "cmpi_native.h"

using cmpinative::live_objects;
using cmpinative::RequestScope;

namespace {

/* 2024-02-29 12:34:56.789012 UTC */
constexpr CMPIUint64 kLeapDay = 1709210096789012ULL;

class DateTime : public ::testing::Test {
 protected:
  ~DateTime() override { cmpinative::delete_broker(b_); }

  /* Text form of a caller-owned date-time made from `text`, "" if refused
   * (with the status in rc_). */
  std::string Roundtrip(const char *text, CMPIUint64 *usec = nullptr, bool *interval = nullptr) {
    RequestScope scope;
    CMPIDateTime *dt = CMNewDateTimeFromChars(b_, text, &rc_);
    if (dt == nullptr) return "";
    if (usec != nullptr) *usec = CMGetBinaryFormat(dt, nullptr);
    if (interval != nullptr) *interval = CMIsInterval(dt, nullptr) != 0;
    return CMGetCharPtr(CMGetStringFormat(dt, nullptr));
  }

  cmpinative::Router router_;
  CMPIBroker *b_ = cmpinative::new_broker(&router_);
  CMPIStatus rc_{};
};

TEST_F(DateTime, TimestampsFromBinaryAreWrittenInUtc) {
  RequestScope scope;
  CMPIStatus rc;
  CMPIDateTime *epoch = CMNewDateTimeFromBinary(b_, 0, 0, &rc);
  ASSERT_EQ(rc.rc, CMPI_RC_OK);
  EXPECT_STREQ(CMGetCharPtr(CMGetStringFormat(epoch, nullptr)), "19700101000000.000000+000");
  EXPECT_FALSE(CMIsInterval(epoch, nullptr));
  CMPIDateTime *leap = CMNewDateTimeFromBinary(b_, kLeapDay, 0, nullptr);
  EXPECT_STREQ(CMGetCharPtr(CMGetStringFormat(leap, nullptr)), "20240229123456.789012+000");
  EXPECT_EQ(CMGetBinaryFormat(leap, nullptr), kLeapDay);
  EXPECT_EQ(cmpinative::datetime_to_text(253402300799999999ULL, false), "99991231235959.999999+000");
}

TEST_F(DateTime, TimestampOffsetsAreAppliedToTheBinaryForm) {
  CMPIUint64 usec = 0;
  bool interval = true;
  for (const char *text : {"20240229123456.789012+000", "20240229143456.789012+120", "20240229073456.789012-300",
                           "20240301003456.789012+720"}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(Roundtrip(text, &usec, &interval), "20240229123456.789012+000");
    EXPECT_EQ(usec, kLeapDay);
    EXPECT_FALSE(interval);
  }
}

TEST_F(DateTime, IntervalsRoundTrip) {
  CMPIUint64 usec = 0;
  bool interval = false;
  EXPECT_EQ(Roundtrip("00000001020304.000005:000", &usec, &interval), "00000001020304.000005:000");
  EXPECT_TRUE(interval);
  EXPECT_EQ(usec, 93784000005ULL);
  EXPECT_EQ(Roundtrip("99999999235959.999999:000", &usec), "99999999235959.999999:000");
  EXPECT_EQ(usec, 8639999999999999999ULL);

  RequestScope scope;
  CMPIDateTime *dt = CMNewDateTimeFromBinary(b_, 93784000005ULL, 1, nullptr);
  EXPECT_TRUE(CMIsInterval(dt, nullptr));
  EXPECT_STREQ(CMGetCharPtr(CMGetStringFormat(dt, nullptr)), "00000001020304.000005:000");
  CMPIString *text = CDToString(b_, dt, nullptr);
  EXPECT_STREQ(CMGetCharPtr(text), "00000001020304.000005:000");
}

TEST_F(DateTime, MalformedTextIsRefused) {
  const char *bad[] = {
      "",
      "2024022912345.789012+000",    // too short
      "20240229123456.789012+0000",  // too long
      "20241329123456.789012+000",   // month 13
      "20230229123456.789012+000",   // no 29 February in 2023
      "20240229243456.789012+000",   // hour 24
      "20240229126056.789012+000",   // minute 60
      "20240229123456,789012+000",   // no dot
      "20240229123456.789012*000",   // bad sign
      "2024022912345a.789012+000",   // letter
      "2024022912****.******+000",   // wildcards have no binary form
      "00000001020304.000005:001",   // interval with an offset
      "00000001240304.000005:000",   // interval hour 24
      "19700101000000.000000+060",   // before the epoch in UTC
  };
  for (const char *text : bad) {
    SCOPED_TRACE(text);
    rc_.rc = CMPI_RC_OK;
    EXPECT_EQ(Roundtrip(text), "");
    EXPECT_EQ(rc_.rc, CMPI_RC_ERR_INVALID_PARAMETER);
    CMPIUint64 usec;
    bool interval;
    EXPECT_FALSE(cmpinative::datetime_from_text(text, &usec, &interval));
  }
  CMPIStatus rc;
  EXPECT_EQ(native_new_CMPIDateTime_fromChars(nullptr, &rc), nullptr);
  EXPECT_EQ(rc.rc, CMPI_RC_ERR_INVALID_PARAMETER);
  /* Binary values beyond the text forms. */
  EXPECT_EQ(native_new_CMPIDateTime_fromBinary(8640000000000000000ULL, 1, &rc), nullptr);
  EXPECT_EQ(rc.rc, CMPI_RC_ERR_INVALID_PARAMETER);
  EXPECT_EQ(native_new_CMPIDateTime_fromBinary(253402300800000000ULL, 0, &rc), nullptr);
  EXPECT_EQ(rc.rc, CMPI_RC_ERR_INVALID_PARAMETER);
}

TEST_F(DateTime, NewDateTimeIsNow) {
  long base = live_objects();
  CMPIStatus rc;
  CMPIUint64 before = static_cast<CMPIUint64>(time(nullptr)) * 1000000ULL;
  CMPIDateTime *now = native_new_CMPIDateTime(&rc);
  CMPIUint64 after = (static_cast<CMPIUint64>(time(nullptr)) + 1) * 1000000ULL;
  ASSERT_EQ(rc.rc, CMPI_RC_OK);
  CMPIUint64 usec = CMGetBinaryFormat(now, nullptr);
  EXPECT_GE(usec, before);
  EXPECT_LE(usec, after);
  EXPECT_FALSE(CMIsInterval(now, nullptr));
  CMPIDateTime *copy = CMClone(now, nullptr);
  CMRelease(now);
  EXPECT_EQ(CMGetBinaryFormat(copy, nullptr), usec);
  CMRelease(copy);
  EXPECT_EQ(live_objects(), base);
}

}  // namespace
