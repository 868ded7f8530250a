#include "tavik_log.h"

#include <gtest/gtest.h>
#include <regex.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "nsfixture.h"

namespace {

constexpr size_t kStampLen = 24;

// A log line: asctime's time stamp without the newline, a blank, the message.
class LineMatcher {
 public:
  LineMatcher() {
    ok_ = regcomp(&re_,
                  "^[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4} (.*)$",
                  REG_EXTENDED) == 0;
  }
  ~LineMatcher() {
    if (ok_) regfree(&re_);
  }
  LineMatcher(const LineMatcher&) = delete;
  LineMatcher& operator=(const LineMatcher&) = delete;

  // True when line has the format; message receives the part after the stamp.
  bool Match(const std::string& line, std::string& message) const {
    regmatch_t m[2];
    if (!ok_ || regexec(&re_, line.c_str(), 2, m, 0) != 0) return false;
    message = line.substr(static_cast<size_t>(m[1].rm_so), static_cast<size_t>(m[1].rm_eo - m[1].rm_so));
    return true;
  }

 private:
  regex_t re_;
  bool ok_ = false;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary);
  out << content;
}

bool Exists(const char* path) { return access(path, F_OK) == 0; }

// The log's lines; the file must end with a newline.
std::vector<std::string> LogLines() {
  const std::string text = ReadFile(TAVIK_LOG_FILE);
  EXPECT_TRUE(text.empty() || text.back() == '\n') << "last line is not terminated";
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The message part of a log line, after checking the line's format.
std::string MessageOf(const std::string& line) {
  static const LineMatcher matcher;
  std::string message;
  EXPECT_TRUE(matcher.Match(line, message)) << "badly formed line: " << line;
  return message;
}

void RaiseFlag() { WriteFile(TAVIK_LOG_FLAG_FILE, ""); }

TEST(TavikLog, WritesOnlyWhileTheFlagFileExists) {
  nsfixture::Run([] {
    tavik_log("TPP: %s", "not logged");
    EXPECT_FALSE(Exists(TAVIK_LOG_FILE));

    RaiseFlag();
    tavik_log("TPP: %s", "logged");
    ASSERT_EQ(0, unlink(TAVIK_LOG_FLAG_FILE));
    tavik_log("TPP: %s", "not logged either");

    const std::vector<std::string> lines = LogLines();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("TPP: logged", MessageOf(lines[0]));
  });
}

TEST(TavikLog, AppendsOneFormattedLinePerCall) {
  nsfixture::Run([] {
    WriteFile(TAVIK_LOG_FILE, "earlier line\n");
    RaiseFlag();
    tavik_log("TPP: %s=%d", "code", 42);
    tavik_log("Filetrans : %s", "done");
    tavik_log("%s", "");

    const std::vector<std::string> lines = LogLines();
    ASSERT_EQ(4u, lines.size());
    EXPECT_EQ("earlier line", lines[0]);
    EXPECT_EQ("TPP: code=42", MessageOf(lines[1]));
    EXPECT_EQ("Filetrans : done", MessageOf(lines[2]));
    EXPECT_EQ("", MessageOf(lines[3]));
  });
}

// asctime's text for t in a zone five and a half hours east of UTC, computed without the C
// library's time zone handling.
std::string StampEastOfUtc(time_t t) {
  const time_t shifted = t + 5 * 3600 + 30 * 60;
  struct tm utc;
  gmtime_r(&shifted, &utc);
  char buf[64];
  strftime(buf, sizeof buf, "%a %b %e %H:%M:%S %Y", &utc);
  return buf;
}

TEST(TavikLog, StampIsTheLocalTime) {
  nsfixture::Run([] {
    ASSERT_EQ(0, setenv("TZ", "QLV-05:30", 1));
    tzset();
    RaiseFlag();
    const time_t before = time(nullptr);
    tavik_log("stamped");
    const time_t after = time(nullptr);

    const std::vector<std::string> lines = LogLines();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("stamped", MessageOf(lines[0]));
    const std::string stamp = lines[0].substr(0, kStampLen);
    EXPECT_TRUE(stamp == StampEastOfUtc(before) || stamp == StampEastOfUtc(after))
        << stamp << " vs " << StampEastOfUtc(before);
  });
}

TEST(TavikLog, LinesFromManyThreadsAreWholeAndAllPresent) {
  nsfixture::Run([] {
    RaiseFlag();
    constexpr int kThreads = 8;
    constexpr int kLines = 250;
    const std::string padding(4060, 'p');  // lines longer than a stdio buffer
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([t, &padding] {
        for (int i = 0; i < kLines; ++i) tavik_log("TPP: thread %d line %d %s", t, i, padding.c_str());
      });
    }
    for (std::thread& th : threads) th.join();

    std::set<std::string> expected;
    for (int t = 0; t < kThreads; ++t) {
      for (int i = 0; i < kLines; ++i) {
        expected.insert("TPP: thread " + std::to_string(t) + " line " + std::to_string(i) + " " + padding);
      }
    }
    const std::vector<std::string> lines = LogLines();
    ASSERT_EQ(static_cast<size_t>(kThreads * kLines), lines.size());
    std::set<std::string> seen;
    for (const std::string& line : lines) seen.insert(MessageOf(line));
    EXPECT_TRUE(seen == expected) << "lines were lost, duplicated or mixed";
  });
}

TEST(TavikLog, OverlongMessagesAreCut) {
  nsfixture::Run([] {
    RaiseFlag();
    const std::string fits(TAVIK_LOG_MAX_MESSAGE - 1, 'f');
    const std::string just_over(TAVIK_LOG_MAX_MESSAGE, 'o');
    const std::string far_over(3 * TAVIK_LOG_MAX_MESSAGE, 'x');
    tavik_log("%s", fits.c_str());
    tavik_log("%s", just_over.c_str());
    tavik_log("%s%s", far_over.c_str(), "tail");
    tavik_log("after");

    const std::vector<std::string> lines = LogLines();
    ASSERT_EQ(4u, lines.size());
    EXPECT_EQ(fits, MessageOf(lines[0]));
    EXPECT_EQ(just_over.substr(0, TAVIK_LOG_MAX_MESSAGE - 1), MessageOf(lines[1]));
    EXPECT_EQ(far_over.substr(0, TAVIK_LOG_MAX_MESSAGE - 1), MessageOf(lines[2]));
    EXPECT_EQ("after", MessageOf(lines[3]));
  });
}

}  // namespace
