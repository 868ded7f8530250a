/*
 * CMPIDateTime: a point in time (microseconds since the epoch, UTC) or an
 * interval (its length in microseconds), and the CIM text forms
 * "yyyymmddhhmmss.mmmmmmsutc" and "ddddddddhhmmss.mmmmmm:000".
 */
#include <sys/time.h>

#include <cstring>

#include "native_internal.h"

namespace cmpinative {

namespace {

constexpr CMPIUint64 kUsecPerSec = 1000000ULL;
constexpr CMPIUint64 kUsecPerDay = 86400ULL * kUsecPerSec;
constexpr long long kMaxIntervalDays = 99999999LL;

/* Days since 1970-01-01 of a date in the proleptic Gregorian calendar. */
long long days_from_civil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

void civil_from_days(long long z, long long *y, unsigned *m, unsigned *d) {
  z += 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = static_cast<long long>(yoe) + era * 400 + (*m <= 2);
}

unsigned days_in_month(long long y, unsigned m) {
  static const unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return m == 2 && leap ? 29 : days[m - 1];
}

/* The last representable values: 9999-12-31 23:59:59.999999 UTC and an
 * interval of 99999999 days 23:59:59.999999. */
const CMPIUint64 kMaxTimestamp = static_cast<CMPIUint64>(days_from_civil(9999, 12, 31) + 1) * kUsecPerDay - 1;
const CMPIUint64 kMaxInterval = static_cast<CMPIUint64>(kMaxIntervalDays + 1) * kUsecPerDay - 1;

/* Digits text[pos, pos+n) as a number; false if any is not a digit. */
bool digits(const char *text, int pos, int n, long long *out) {
  long long v = 0;
  for (int i = pos; i < pos + n; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    v = v * 10 + (text[i] - '0');
  }
  *out = v;
  return true;
}

/* Writes v as n decimal digits, zero-padded; returns the end. */
char *put_digits(char *p, CMPIUint64 v, int n) {
  for (int i = n - 1; i >= 0; --i) {
    p[i] = static_cast<char>('0' + v % 10);
    v /= 10;
  }
  return p + n;
}

/* Writes "hhmmss.mmmmmm" of the time `rest` microseconds into a day. */
char *put_time_of_day(char *p, CMPIUint64 rest) {
  const CMPIUint64 secs = rest / kUsecPerSec;
  p = put_digits(p, secs / 3600, 2);
  p = put_digits(p, secs / 60 % 60, 2);
  p = put_digits(p, secs % 60, 2);
  *p++ = '.';
  return put_digits(p, rest % kUsecPerSec, 6);
}

NDateTime *self(const CMPIDateTime *dt) { return native<NDateTime>(dt); }

bool bad(const CMPIDateTime *dt, CMPIStatus *rc) {
  if (dt != nullptr && dt->hdl != nullptr) return false;
  set_rc(rc, CMPI_RC_ERR_INVALID_HANDLE);
  return true;
}

CMPIStatus release(CMPIDateTime *dt) {
  if (dt == nullptr || dt->hdl == nullptr) return status(CMPI_RC_ERR_INVALID_HANDLE);
  release_object(&self(dt)->hdr);
  return status(CMPI_RC_OK);
}

CMPIDateTime *clone(const CMPIDateTime *dt, CMPIStatus *rc) {
  if (bad(dt, rc)) return nullptr;
  return make_datetime(self(dt)->usec, self(dt)->interval, false, rc);
}

CMPIUint64 get_binary_format(const CMPIDateTime *dt, CMPIStatus *rc) {
  if (bad(dt, rc)) return 0;
  set_rc(rc, CMPI_RC_OK);
  return self(dt)->usec;
}

CMPIString *get_string_format(const CMPIDateTime *dt, CMPIStatus *rc) {
  return guard(rc, static_cast<CMPIString *>(nullptr), [&]() -> CMPIString * {
    if (bad(dt, rc)) return nullptr;
    char text[kDateTimeTextSize];
    datetime_text(self(dt)->usec, self(dt)->interval, text);
    CMPIString *s = make_string(text, true);
    set_rc(rc, CMPI_RC_OK);
    return s;
  });
}

CMPIBoolean is_interval(const CMPIDateTime *dt, CMPIStatus *rc) {
  if (bad(dt, rc)) return 0;
  set_rc(rc, CMPI_RC_OK);
  return self(dt)->interval ? 1 : 0;
}

}  // namespace

CMPIDateTimeFT datetime_ft = {CMPICurrentVersion, release, clone, get_binary_format, get_string_format,
                              is_interval};

/* Values past the last representable one are written as that one. */
void datetime_text(CMPIUint64 usec, bool interval, char (&buf)[kDateTimeTextSize]) {
  char *p = buf;
  if (interval) {
    if (usec > kMaxInterval) usec = kMaxInterval;
    p = put_digits(p, usec / kUsecPerDay, 8);
    p = put_time_of_day(p, usec % kUsecPerDay);
    std::memcpy(p, ":000", 5);
    return;
  }
  if (usec > kMaxTimestamp) usec = kMaxTimestamp;
  long long y;
  unsigned m, d;
  civil_from_days(static_cast<long long>(usec / kUsecPerDay), &y, &m, &d);
  p = put_digits(p, static_cast<CMPIUint64>(y), 4);
  p = put_digits(p, m, 2);
  p = put_digits(p, d, 2);
  p = put_time_of_day(p, usec % kUsecPerDay);
  std::memcpy(p, "+000", 5);
}

std::string datetime_to_text(CMPIUint64 usec, bool interval) {
  char buf[kDateTimeTextSize];
  datetime_text(usec, interval, buf);
  return std::string(buf, kDateTimeTextSize - 1);
}

bool datetime_from_text(const char *text, CMPIUint64 *usec, bool *interval) {
  if (text == nullptr || std::strlen(text) != 25 || text[14] != '.') return false;
  long long micro, tz;
  if (!digits(text, 15, 6, &micro) || !digits(text, 22, 3, &tz)) return false;
  if (text[21] == ':') {
    long long days, h, mi, s;
    if (tz != 0 || !digits(text, 0, 8, &days) || !digits(text, 8, 2, &h) || !digits(text, 10, 2, &mi) ||
        !digits(text, 12, 2, &s) || h > 23 || mi > 59 || s > 59)
      return false;
    *usec = static_cast<CMPIUint64>(((days * 24 + h) * 60 + mi) * 60 + s) * kUsecPerSec +
            static_cast<CMPIUint64>(micro);
    *interval = true;
    return true;
  }
  if (text[21] != '+' && text[21] != '-') return false;
  long long y, mo, d, h, mi, s;
  if (!digits(text, 0, 4, &y) || !digits(text, 4, 2, &mo) || !digits(text, 6, 2, &d) || !digits(text, 8, 2, &h) ||
      !digits(text, 10, 2, &mi) || !digits(text, 12, 2, &s))
    return false;
  if (mo < 1 || mo > 12 || d < 1 || d > days_in_month(y, static_cast<unsigned>(mo)) || h > 23 || mi > 59 ||
      s > 59)
    return false;
  /* The text is local time at the given offset east of UTC. */
  long long secs = ((days_from_civil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) * 24 + h) * 60 + mi) * 60 +
                   s - (text[21] == '+' ? tz : -tz) * 60;
  if (secs < 0) return false;  // before the epoch: no binary form
  *usec = static_cast<CMPIUint64>(secs) * kUsecPerSec + static_cast<CMPIUint64>(micro);
  *interval = false;
  return *usec <= kMaxTimestamp;
}

CMPIDateTime *make_datetime(CMPIUint64 usec, bool interval, bool scoped, CMPIStatus *rc) {
  return guard(rc, static_cast<CMPIDateTime *>(nullptr), [&]() -> CMPIDateTime * {
    if (usec > (interval ? kMaxInterval : kMaxTimestamp)) {
      set_rc(rc, CMPI_RC_ERR_INVALID_PARAMETER);
      return nullptr;
    }
    CMPIDateTime *dt = &create<NDateTime>(scoped, [&](NDateTime &n) {
                          n.usec = usec;
                          n.interval = interval;
                          n.pub.hdl = &n;
                          n.pub.ft = &datetime_ft;
                        })->pub;
    set_rc(rc, CMPI_RC_OK);
    return dt;
  });
}

CMPIDateTime *make_datetime_now(bool scoped, CMPIStatus *rc) {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return make_datetime(static_cast<CMPIUint64>(tv.tv_sec) * kUsecPerSec + static_cast<CMPIUint64>(tv.tv_usec), false,
                       scoped, rc);
}

CMPIDateTime *make_datetime_text(const char *text, bool scoped, CMPIStatus *rc) {
  CMPIUint64 usec;
  bool interval;
  if (!datetime_from_text(text, &usec, &interval)) {
    set_rc(rc, CMPI_RC_ERR_INVALID_PARAMETER);
    return nullptr;
  }
  return make_datetime(usec, interval, scoped, rc);
}

}  // namespace cmpinative

using namespace cmpinative;

extern "C" CMPIDateTime *native_new_CMPIDateTime(CMPIStatus *rc) { return make_datetime_now(false, rc); }

extern "C" CMPIDateTime *native_new_CMPIDateTime_fromBinary(CMPIUint64 date, CMPIBoolean interval, CMPIStatus *rc) {
  return make_datetime(date, interval != 0, false, rc);
}

extern "C" CMPIDateTime *native_new_CMPIDateTime_fromChars(const char *text, CMPIStatus *rc) {
  return make_datetime_text(text, false, rc);
}
