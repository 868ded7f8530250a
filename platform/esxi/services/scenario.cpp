/*
 * The scenario file reader: words, statements and their checks.
 */
#include "scenario.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>

#include "services.h"

namespace hostservices {

namespace {

constexpr size_t kMaxScenarioBytes = 1 << 20;

bool Fail(std::string *error, const std::string &why) {
  *error = why;
  return false;
}

Text TextOf(const Word &w) { return (!w.quoted && w.text == "-") ? Text{} : Text::Of(w.text); }

/* A return value: decimal, 0 to 4294967295. */
bool ParseNumber(const std::string &s, uint32_t *out) {
  if (s.empty() || s.size() > 10) return false;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v > 0xffffffffull) return false;
  *out = static_cast<uint32_t>(v);
  return true;
}

/* "answer VALUE [device ID]" after the service word; `w` starts at VALUE. */
bool ParseAnswer(const std::vector<Word> &w, size_t at, ServiceScenario *s, std::string *error) {
  Answer a;
  size_t next = at + 1;
  if (at >= w.size()) return Fail(error, "answer: a value is missing (auto, fail MESSAGE or a number)");
  const std::string &v = w[at].text;
  if (!w[at].quoted && v == "auto") {
    a.kind = Answer::kAuto;
  } else if (!w[at].quoted && v == "fail") {
    if (at + 1 >= w.size()) return Fail(error, "answer fail: the message is missing");
    a.kind = Answer::kFail;
    a.message = w[at + 1].text;
    next = at + 2;
  } else if (ParseNumber(v, &a.value)) {
    a.kind = Answer::kValue;
  } else {
    return Fail(error, "answer: \"" + v + "\" is not auto, fail or a number up to 4294967295");
  }
  if (next == w.size()) {
    s->answer = a;
    return true;
  }
  if (next + 2 == w.size() && !w[next].quoted && w[next].text == "device") {
    s->device.emplace_back(w[next + 1].text, a);
    return true;
  }
  return Fail(error, "answer: only \"device ID\" may follow the value");
}

bool Expect(const std::vector<Word> &w, size_t n, const char *form, std::string *error) {
  return w.size() == n || Fail(error, std::string("expected: ") + form);
}

bool ParseStatement(const std::vector<Word> &w, Scenario *sc, std::string *error) {
  const std::string &first = w[0].text;
  if (w[0].quoted) return Fail(error, "unknown statement \"" + first + "\" (statements are not quoted)");
  if (first == "host") {
    if (!Expect(w, 2, "host NAME", error)) return false;
    sc->host = w[1].text;
    return true;
  }
  if (first == "fail") {
    if (!Expect(w, 3, "fail CLASS MESSAGE", error)) return false;
    sc->failing_classes.emplace_back(w[1].text, w[2].text);
    return true;
  }
  const ServiceInfo *info = ServiceByWord(first);
  if (info == nullptr)
    return Fail(error, "unknown statement \"" + first +
                           "\" (host, fail, brocade, emulex-cna, emulex-fc, qlogic, hypervisor, controller)");
  if (w.size() < 2) return Fail(error, first + ": what about it?");
  ServiceScenario &s = sc->of(info->id);
  const std::string &what = w[1].text;
  if (what == "answer") return ParseAnswer(w, 2, &s, error);
  if (info->job_class[0] != '\0' && (what == "job" || what == "old-job")) {
    if (!Expect(w, 3, (first + " " + what + " TEXT").c_str(), error)) return false;
    (what == "job" ? s.job : s.old_jobs).push_back(TextOf(w[2]));
    return true;
  }
  switch (info->id) {
    case Service::kHypervisor:
      if (what != "system") break;
      if (!Expect(w, 3, "hypervisor system NAME", error)) return false;
      sc->hypervisor_systems.push_back(w[2].text);
      return true;
    case Service::kBrocade:
      if (what == "package") {
        if (!Expect(w, 4, "brocade package MODEL SERIAL", error)) return false;
        sc->brocade_packages.push_back({TextOf(w[2]), TextOf(w[3])});
        return true;
      }
      if (what != "port") break;
      if (!Expect(w, 4, "brocade port DEVICEID NAME", error)) return false;
      sc->brocade_ports.push_back({w[2].text, TextOf(w[3])});
      return true;
    case Service::kEmulexCna:
      if (what != "port") break;
      if (!Expect(w, 3, "emulex-cna port INSTANCEID", error)) return false;
      sc->emulex_cna_ports.push_back(TextOf(w[2]));
      return true;
    case Service::kEmulexFc:
      if (what != "vpd") break;
      if (!Expect(w, 4, "emulex-fc vpd INSTANCEID FIELDV2", error)) return false;
      sc->emulex_vpds.push_back({TextOf(w[2]), TextOf(w[3])});
      return true;
    case Service::kQlogic:
      if (what != "port") break;
      if (!Expect(w, 4, "qlogic port DEVICEID MODEL", error)) return false;
      sc->qlogic_ports.push_back({w[2].text, TextOf(w[3])});
      return true;
    case Service::kController:
      break;
  }
  return Fail(error, first + ": unknown item \"" + what + "\"");
}

}  // namespace

bool SplitWords(const std::string &line, std::vector<Word> *out, std::string *error) {
  out->clear();
  size_t i = 0;
  while (i < line.size()) {
    const char c = line[i];
    if (c == ' ' || c == '\t' || c == '\r') {
      ++i;
      continue;
    }
    if (c == '#') break;
    Word w;
    if (c == '"') {
      w.quoted = true;
      for (++i;; ++i) {
        if (i >= line.size()) return Fail(error, "a quote is not closed");
        if (line[i] == '"') break;
        if (line[i] == '\\' && i + 1 < line.size() && (line[i + 1] == '"' || line[i + 1] == '\\')) ++i;
        w.text += line[i];
      }
      ++i;
      if (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r')
        return Fail(error, "text right after a closing quote");
    } else {
      while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') {
        if (line[i] == '"') return Fail(error, "a quote inside a word");
        w.text += line[i++];
      }
    }
    out->push_back(std::move(w));
  }
  return true;
}

std::string QuoteWord(const std::string &text) {
  bool plain = !text.empty() && text != "-" && text[0] != '#';
  for (char c : text)
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '"' || c == '\\') plain = false;
  if (plain) return text;
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string QuoteWord(const Text &text) { return text.present ? QuoteWord(text.value) : "-"; }

bool ParseScenario(const std::string &text, Scenario *out, std::string *error) {
  Scenario sc;
  std::istringstream in(text);
  std::string line;
  std::vector<Word> words;
  for (int n = 1; std::getline(in, line); ++n) {
    std::string why;
    if (line.find('\0') != std::string::npos) why = "a NUL byte";
    else if (SplitWords(line, &words, &why) && !words.empty()) ParseStatement(words, &sc, &why);
    if (!why.empty()) return Fail(error, "line " + std::to_string(n) + ": " + why);
  }
  *out = std::move(sc);
  return true;
}

bool LoadScenario(const std::string &path, Scenario *out, std::string *error) {
  std::string text;
  switch (ReadSmallFile(path, kMaxScenarioBytes, &text)) {
    case ReadResult::kMissing:
      *out = Scenario{};
      return true;
    case ReadResult::kTooLarge:
      return Fail(error, path + ": larger than 1 MiB");
    case ReadResult::kError:
      return Fail(error, path + ": " + std::strerror(errno));
    case ReadResult::kOk:
      break;
  }
  if (!ParseScenario(text, out, error)) return Fail(error, path + ": " + *error);
  return true;
}

ReadResult ReadSmallFile(const std::string &path, size_t limit, std::string *out) {
  out->clear();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? ReadResult::kMissing : ReadResult::kError;
  struct stat st;
  ReadResult r = ReadResult::kOk;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    errno = EINVAL;
    r = ReadResult::kError;
  }
  char buf[8192];
  while (r == ReadResult::kOk) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) r = ReadResult::kError;
    if (n <= 0) break;
    if (out->size() + static_cast<size_t>(n) > limit) r = ReadResult::kTooLarge;
    else out->append(buf, static_cast<size_t>(n));
  }
  const int saved = errno;
  ::close(fd);
  errno = saved;
  return r;
}

const Answer &Scenario::AnswerFor(Service s, const std::string &device) const {
  const ServiceScenario &ss = of(s);
  for (const auto &d : ss.device)
    if (d.first == device) return d.second;
  return ss.answer;
}

const std::string *Scenario::Failure(const std::string &cls) const {
  for (const auto &f : failing_classes)
    if (strcasecmp(f.first.c_str(), cls.c_str()) == 0) return &f.second;
  return nullptr;
}

std::string Scenario::HostName() const {
  if (!host.empty()) return host;
  char name[256] = "";
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
  return name;
}

}  // namespace hostservices
