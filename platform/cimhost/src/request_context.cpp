/* Per-request limits and the memory budget of the CIMOM (see request_context.h). */
#include "request_context.h"

#include <array>
#include <cstring>

namespace cimhost {

namespace {

const CallLimits kUnlimited;
thread_local const CallLimits *t_limits = nullptr;

/* Bytes of parse tree and decoded objects a node (a tag, the text after it,
 * an attribute) may cost. Measured on libxml2's trees and the native objects
 * made from them, the densest documents (runs of <VALUE/>) take about 256
 * bytes per tag, that is two nodes. */
constexpr size_t kPerNode = 160;

}  // namespace

MemoryBudget::Refusal MemoryBudget::take(size_t held, size_t n) {
  if (n > per_request_ || held > per_request_ - n) return Refusal::TooLarge;
  size_t cur = used_.load();
  do {
    if (n > total_ || cur > total_ - n) return Refusal::Exhausted;
  } while (!used_.compare_exchange_weak(cur, cur + n));
  return Refusal::None;
}

void MemoryBudget::give_back(size_t n) { used_.fetch_sub(n); }

MemoryBudget::Refusal Reservation::grow(size_t n) {
  if (budget_ == nullptr || n == 0) return MemoryBudget::Refusal::None;
  std::lock_guard<std::mutex> lock(mu_);
  const MemoryBudget::Refusal r = budget_->take(held_, n);
  if (r == MemoryBudget::Refusal::None) {
    held_ += n;
    if (held_ > peak_) peak_ = held_;
  }
  return r;
}

void Reservation::shrink(size_t n) {
  if (budget_ == nullptr) return;
  std::lock_guard<std::mutex> lock(mu_);
  if (n > held_) n = held_;
  held_ -= n;
  budget_->give_back(n);
}

void Reservation::release() {
  if (budget_ == nullptr) return;
  std::lock_guard<std::mutex> lock(mu_);
  budget_->give_back(held_);
  held_ = 0;
}

const CallLimits &call_limits() { return t_limits != nullptr ? *t_limits : kUnlimited; }

CallLimitsScope::CallLimitsScope(const CallLimits &limits) : previous_(t_limits), limits_(limits) {
  t_limits = &limits_;
}

CallLimitsScope::~CallLimitsScope() { t_limits = previous_; }

namespace {
/* The characters that matter inside a tag: quotes, '=' and its ends. */
constexpr std::array<bool, 256> kTagMark = [] {
  std::array<bool, 256> t{};
  for (unsigned char c : {'"', '\'', '=', '>', '<'}) t[c] = true;
  return t;
}();
}  // namespace

bool decode_cost(const char *text, size_t len, size_t max_attributes, size_t *bytes) {
  size_t nodes = 0, attributes = 0;
  const char *p = text, *end = text + len;
  while (p < end) {
    const char *lt = static_cast<const char *>(std::memchr(p, '<', static_cast<size_t>(end - p)));
    if (lt == nullptr) break;
    ++nodes;
    /* The tag, up to its '>' outside quotes. */
    size_t in_tag = 0;
    const char *q = lt + 1;
    for (; q < end; ++q) {
      while (q < end && !kTagMark[static_cast<unsigned char>(*q)]) ++q;
      if (q == end) break;
      const char c = *q;
      if (c == '"' || c == '\'') {
        /* A quoted value, to its closing quote (or the end). */
        const char *close = static_cast<const char *>(std::memchr(q + 1, c, static_cast<size_t>(end - q - 1)));
        if (close == nullptr) {
          q = end;
          break;
        }
        q = close;
      } else if (c == '=') {
        ++in_tag;
      } else if (c == '>' || c == '<') {
        break;
      }
    }
    if (in_tag > max_attributes) return false;
    attributes += in_tag;
    /* Text after the tag becomes a node of its own. */
    ++nodes;
    p = (q < end && *q == '>') ? q + 1 : q;
  }
  *bytes = 3 * len + kPerNode * (nodes + attributes);
  return true;
}

}  // namespace cimhost
