/*
 * What the work a thread does for one client request (or one up-call of a
 * provider's own thread) may take: a deadline, the client connection whose
 * hang-up cancels it, the memory it holds, and whom to tell while it waits.
 *
 * The HTTP front sets these for each request it hands to a worker; the
 * provider calls made on the request's behalf read them (call_limits()), so
 * a provider process that does not answer in time, or a client that has
 * gone, frees the worker again.
 *
 * Memory: requests reserve what they may take from one MemoryBudget before
 * taking it (a body before it is read, the decoding of a body before it is
 * parsed, a provider's answer before it is decoded). A reservation that
 * would pass the per-request or the total limit is refused, and the request
 * answered with an error instead of the memory being taken.
 */
#ifndef QELVO_CIMHOST_REQUEST_CONTEXT_H
#define QELVO_CIMHOST_REQUEST_CONTEXT_H

#include <atomic>
#include <chrono>
#include <cstddef>
#include <mutex>

namespace cimhost {

/* Told when a thread starts and stops waiting for a provider process, so that
 * a worker pool can put another thread to work meanwhile. */
class BlockingObserver {
 public:
  virtual ~BlockingObserver() = default;
  virtual void blocking_begins() = 0;
  virtual void blocking_ends() = 0;
};

/* Bytes held for requests, under a total limit and a limit per request. */
class MemoryBudget {
 public:
  MemoryBudget(size_t total, size_t per_request) : total_(total), per_request_(per_request) {}
  size_t total_limit() const { return total_; }
  size_t request_limit() const { return per_request_; }
  size_t in_use() const { return used_.load(); }

  enum class Refusal { None, TooLarge, Exhausted };
  /* Takes `n` more bytes for a request already holding `held`. */
  Refusal take(size_t held, size_t n);
  void give_back(size_t n);

 private:
  const size_t total_;
  const size_t per_request_;
  std::atomic<size_t> used_{0};
};

/* What one request holds of a budget; given back when it ends. */
class Reservation {
 public:
  Reservation() = default;
  explicit Reservation(MemoryBudget *budget) : budget_(budget) {}
  ~Reservation() { release(); }
  Reservation(const Reservation &) = delete;
  Reservation &operator=(const Reservation &) = delete;

  MemoryBudget::Refusal grow(size_t n);
  void shrink(size_t n);
  void release();
  size_t held() const { return held_; }
  /* The most it held at once. */
  size_t peak() const { return peak_; }
  MemoryBudget *budget() const { return budget_; }

 private:
  MemoryBudget *budget_ = nullptr;
  std::mutex mu_;
  size_t held_ = 0;
  size_t peak_ = 0;
};

struct CallLimits {
  std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
  /* A socket whose hang-up cancels waits (-1: none). */
  int client_fd = -1;
  BlockingObserver *observer = nullptr;
  /* Where provider answers are accounted (null: nowhere). */
  Reservation *memory = nullptr;
};

/* The limits of the calling thread's current work (unlimited when none). */
const CallLimits &call_limits();

/* Sets the calling thread's limits until destroyed; scopes nest. */
class CallLimitsScope {
 public:
  explicit CallLimitsScope(const CallLimits &limits);
  ~CallLimitsScope();
  CallLimitsScope(const CallLimitsScope &) = delete;
  CallLimitsScope &operator=(const CallLimitsScope &) = delete;

 private:
  const CallLimits *previous_;
  CallLimits limits_;
};

/* A conservative bound on the memory that decoding a CIM-XML document of
 * `len` bytes may take (the text, its repaired copy, the parse tree and the
 * objects made from it), and a check of its shape: false when some start tag
 * carries more than `max_attributes` attributes (which no CIM-XML element
 * does, and which costs the parser time quadratic in their number). */
bool decode_cost(const char *text, size_t len, size_t max_attributes, size_t *bytes);

}  // namespace cimhost

#endif  // QELVO_CIMHOST_REQUEST_CONTEXT_H
