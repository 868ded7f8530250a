/*
 * Object lifetime: the live object counter, request scopes, the per-thread
 * default scope, scoped memory and memory marks.
 */
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_set>

#include "native_internal.h"

namespace cmpinative {

namespace {

std::atomic<long> g_live{0};

void destroy(Header *h) {
  h->destroy(h->self);
  g_live.fetch_sub(1, std::memory_order_relaxed);
}

/* One holder lets go: true when it was the last (the object is to be freed
 * now), false when others still hold it. */
bool last_holder(Header *h) {
  if (h->holders.fetch_sub(1, std::memory_order_acq_rel) == 1) return true;
  g_live.fetch_sub(1, std::memory_order_relaxed);
  return false;
}

}  // namespace

/* The objects and memory blocks owned by one scope. The lock guards the list
 * against a release from another thread than the scope's own. */
struct Scope {
  std::mutex mu;
  Header head;  // sentinel of a circular list
  std::unordered_set<void *> blocks;

  Scope() { head.prev = head.next = &head; }

  void link(Header *h) {
    std::lock_guard<std::mutex> lock(mu);
    h->scope = this;
    h->prev = &head;
    h->next = head.next;
    head.next->prev = h;
    head.next = h;
  }
  void unlink_locked(Header *h) {
    h->prev->next = h->next;
    h->next->prev = h->prev;
    h->prev = h->next = nullptr;
    h->scope = nullptr;
  }
  void unlink(Header *h) {
    std::lock_guard<std::mutex> lock(mu);
    unlink_locked(h);
  }

  /* Frees everything the scope owns, one object at a time, so that freeing
   * one may release others. */
  void end() {
    for (;;) {
      Header *h;
      {
        std::lock_guard<std::mutex> lock(mu);
        if (head.next == &head) break;
        h = head.next;
        unlink_locked(h);
      }
      if (last_holder(h)) destroy(h);
    }
    std::lock_guard<std::mutex> lock(mu);
    for (void *p : blocks) std::free(p);
    blocks.clear();
  }
};

namespace {

/* The scopes of one thread: the open ones, innermost last, and the default
 * scope used when none is open, ended when the thread exits. */
struct ThreadScopes {
  std::vector<Scope *> stack;
  Scope *fallback = nullptr;
  ~ThreadScopes();
};

/* Set once the thread's scopes are gone (thread exit): objects made after
 * that are left to their callers. */
thread_local bool t_finished = false;

ThreadScopes &thread_scopes() {
  thread_local ThreadScopes scopes;
  return scopes;
}

ThreadScopes::~ThreadScopes() {
  t_finished = true;
  while (!stack.empty()) {
    Scope *s = stack.back();
    stack.pop_back();
    s->end();
    delete s;
  }
  if (fallback != nullptr) {
    fallback->end();
    delete fallback;
    fallback = nullptr;
  }
}

Scope *current_scope() {
  if (t_finished) return nullptr;
  ThreadScopes &t = thread_scopes();
  if (!t.stack.empty()) return t.stack.back();
  if (t.fallback == nullptr) t.fallback = new Scope();
  return t.fallback;
}

Scope *push_scope() {
  if (t_finished) return nullptr;
  auto *s = new Scope();
  thread_scopes().stack.push_back(s);
  return s;
}

/* Ends `s` and every scope opened after it on this thread. False when `s` is
 * not open on this thread. */
bool end_scope(const void *s) {
  if (t_finished || s == nullptr) return false;
  auto &stack = thread_scopes().stack;
  bool open = false;
  for (Scope *x : stack) open = open || x == s;
  if (!open) return false;
  for (;;) {
    Scope *top = stack.back();
    stack.pop_back();
    top->end();
    delete top;
    if (top == s) return true;
  }
}

Header *header_of(const void *obj) {
  switch (kind_of(obj)) {
    case Kind::String: return &native<NString>(static_cast<const CMPIString *>(obj))->hdr;
    case Kind::Array: return &native<NArray>(static_cast<const CMPIArray *>(obj))->hdr;
    case Kind::Instance: return &native<NInstance>(static_cast<const CMPIInstance *>(obj))->hdr;
    case Kind::ObjectPath: return &native<NObjectPath>(static_cast<const CMPIObjectPath *>(obj))->hdr;
    case Kind::Args: return &native<NArgs>(static_cast<const CMPIArgs *>(obj))->hdr;
    case Kind::DateTime: return &native<NDateTime>(static_cast<const CMPIDateTime *>(obj))->hdr;
    case Kind::Enumeration: return &native<NEnumeration>(static_cast<const CMPIEnumeration *>(obj))->hdr;
    case Kind::Context: return &native<NContext>(static_cast<const CMPIContext *>(obj))->hdr;
    case Kind::Result: return &native<NResult>(static_cast<const CMPIResult *>(obj))->hdr;
    case Kind::Error: return &native<NError>(static_cast<const CMPIError *>(obj))->hdr;
    case Kind::None: break;
  }
  return nullptr;
}

/* The scope of this thread holding memory block `p`, or null. */
Scope *scope_of_block(void *p) {
  if (t_finished || p == nullptr) return nullptr;
  ThreadScopes &t = thread_scopes();
  auto holds = [p](Scope *s) {
    std::lock_guard<std::mutex> lock(s->mu);
    return s->blocks.count(p) != 0;
  };
  for (Scope *s : t.stack)
    if (holds(s)) return s;
  if (t.fallback != nullptr && holds(t.fallback)) return t.fallback;
  return nullptr;
}

}  // namespace

void on_created(Header *h, bool scoped) {
  Scope *s = scoped ? current_scope() : nullptr;  // may throw: nothing done yet
  g_live.fetch_add(1, std::memory_order_relaxed);
  if (s != nullptr) s->link(h);
}

void disown(const void *obj) {
  Header *h = header_of(obj);
  if (h != nullptr && h->scope != nullptr) h->scope->unlink(h);
}

/* A shared object is never in a scope (share_object takes none that is), so
 * a holder other than the last has nothing to unlink. */
void release_object(Header *h) {
  if (!last_holder(h)) return;
  if (Scope *s = h->scope) s->unlink(h);
  destroy(h);
}

bool share_object(const void *obj) {
  const Kind kind = kind_of(obj);
  if (kind != Kind::String && kind != Kind::DateTime) return false;
  Header *h = header_of(obj);
  if (h->scope != nullptr) return false;
  h->holders.fetch_add(1, std::memory_order_relaxed);
  g_live.fetch_add(1, std::memory_order_relaxed);
  return true;
}

void adopt(const void *obj) {
  Header *h = header_of(obj);
  if (h == nullptr || h->scope != nullptr) return;
  if (Scope *s = current_scope()) s->link(h);
}

Kind kind_of(const void *obj) {
  if (obj == nullptr) return Kind::None;
  /* Every public struct is {hdl, ft}. */
  const void *ft;
  std::memcpy(&ft, static_cast<const char *>(obj) + offsetof(CMPIString, ft), sizeof ft);
  if (ft == &string_ft) return Kind::String;
  if (ft == &array_ft) return Kind::Array;
  if (ft == &instance_ft) return Kind::Instance;
  if (ft == &path_ft) return Kind::ObjectPath;
  if (ft == &args_ft) return Kind::Args;
  if (ft == &datetime_ft) return Kind::DateTime;
  if (ft == &enumeration_ft) return Kind::Enumeration;
  if (ft == &context_ft) return Kind::Context;
  if (ft == &result_ft) return Kind::Result;
  if (ft == &error_ft) return Kind::Error;
  return Kind::None;
}

void *scope_malloc(size_t size) {
  void *p = std::malloc(size != 0 ? size : 1);
  if (p == nullptr) return nullptr;
  if (Scope *s = current_scope()) {
    try {
      std::lock_guard<std::mutex> lock(s->mu);
      s->blocks.insert(p);
    } catch (...) {
      std::free(p);
      throw;
    }
  }
  return p;
}

void *scope_realloc(void *ptr, size_t size) {
  if (ptr == nullptr) return scope_malloc(size);
  Scope *s = scope_of_block(ptr);
  if (s == nullptr) return nullptr;  // not a block of this thread's scopes
  std::lock_guard<std::mutex> lock(s->mu);
  /* The block's node is re-keyed, so nothing needs allocating after realloc.
   * If realloc fails the old block stays valid and owned. */
  auto node = s->blocks.extract(ptr);
  void *p = std::realloc(ptr, size != 0 ? size : 1);
  if (p != nullptr) node.value() = p;
  s->blocks.insert(std::move(node));
  return p;
}

void scope_free(void *ptr) {
  Scope *s = scope_of_block(ptr);
  if (s == nullptr) return;
  std::lock_guard<std::mutex> lock(s->mu);
  s->blocks.erase(ptr);
  std::free(ptr);
}

void *scope_mark() { return push_scope(); }

bool scope_release_mark(const void *mark) { return end_scope(mark); }

CMPIStatus status_msg(CMPIrc rc, const std::string &msg) {
  CMPIStatus st = status(rc);
  try {
    st.msg = make_string(msg.c_str(), true);
  } catch (...) {
  }
  return st;
}

void set_rc_msg(CMPIStatus *rc, CMPIrc code, const std::string &msg) {
  if (rc != nullptr) *rc = status_msg(code, msg);
}

RequestScope::RequestScope() : impl_(push_scope()) {}

/* Nothing to do when the scope is no longer open: a memory release of an
 * earlier mark has ended it already. */
RequestScope::~RequestScope() { end_scope(impl_); }

long live_objects() { return g_live.load(); }

}  // namespace cmpinative
