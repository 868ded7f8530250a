/*
 * The broker's operating-system services (threads, thread keys, mutexes,
 * conditions on POSIX threads) and memory services (marks map to scopes).
 */
#include <pthread.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "native_internal.h"

namespace cmpinative {

namespace {

/* "name" -> "libname.so", malloc'd for the caller. */
char *resolve_file_name(const char *filename) {
  if (filename == nullptr) return nullptr;
  size_t n = std::strlen(filename) + sizeof "lib.so";
  char *r = static_cast<char *>(std::malloc(n));
  if (r != nullptr) std::snprintf(r, n, "lib%s.so", filename);
  return r;
}

CMPI_THREAD_TYPE new_thread(CMPI_THREAD_RETURN(CMPI_THREAD_CDECL *start)(void *), void *parm, int detached) {
  pthread_t t;
  if (start == nullptr || pthread_create(&t, nullptr, start, parm) != 0) return nullptr;
  if (detached) pthread_detach(t);
  return reinterpret_cast<CMPI_THREAD_TYPE>(static_cast<uintptr_t>(t));
}

pthread_t thread_of(CMPI_THREAD_TYPE thread) { return static_cast<pthread_t>(reinterpret_cast<uintptr_t>(thread)); }

int join_thread(CMPI_THREAD_TYPE thread, CMPI_THREAD_RETURN *retval) { return pthread_join(thread_of(thread), retval); }

int exit_thread(CMPI_THREAD_RETURN return_code) { pthread_exit(return_code); }

int cancel_thread(CMPI_THREAD_TYPE thread) { return pthread_cancel(thread_of(thread)); }

int thread_sleep(CMPIUint32 msec) {
  std::this_thread::sleep_for(std::chrono::milliseconds(msec));
  return 0;
}

/* Runs init once per `once` flag (which starts as 0). An init that throws
 * leaves the flag unset and gives -1. */
int thread_once(int *once, void (*init)(void)) {
  static std::recursive_mutex mu;
  if (once == nullptr || init == nullptr) return EINVAL;
  if (__atomic_load_n(once, __ATOMIC_ACQUIRE) != 0) return 0;
  try {
    std::lock_guard<std::recursive_mutex> lock(mu);
    if (__atomic_load_n(once, __ATOMIC_ACQUIRE) == 0) {
      init();
      __atomic_store_n(once, 1, __ATOMIC_RELEASE);
    }
  } catch (...) {
    return -1;
  }
  return 0;
}

// CMPI's thread key type is wider than pthread_key_t: a key travels in it as its value.
static_assert(sizeof(CMPI_THREAD_KEY_TYPE) >= sizeof(pthread_key_t), "a pthread key fits the CMPI key type");
pthread_key_t key_of(CMPI_THREAD_KEY_TYPE key) { return static_cast<pthread_key_t>(key); }

int create_thread_key(CMPI_THREAD_KEY_TYPE *key, void (*cleanup)(void *)) {
  if (key == nullptr) return EINVAL;
  pthread_key_t k;
  const int rc = pthread_key_create(&k, cleanup);
  if (rc == 0) *key = static_cast<CMPI_THREAD_KEY_TYPE>(k);
  return rc;
}
int destroy_thread_key(CMPI_THREAD_KEY_TYPE key) { return pthread_key_delete(key_of(key)); }
void *get_thread_specific(CMPI_THREAD_KEY_TYPE key) { return pthread_getspecific(key_of(key)); }
int set_thread_specific(CMPI_THREAD_KEY_TYPE key, void *value) { return pthread_setspecific(key_of(key), value); }

CMPI_MUTEX_TYPE new_mutex(int) {
  auto *m = static_cast<pthread_mutex_t *>(std::malloc(sizeof(pthread_mutex_t)));
  if (m != nullptr) pthread_mutex_init(m, nullptr);
  return m;
}

void destroy_mutex(CMPI_MUTEX_TYPE mutex) {
  if (mutex == nullptr) return;
  pthread_mutex_destroy(static_cast<pthread_mutex_t *>(mutex));
  std::free(mutex);
}

void lock_mutex(CMPI_MUTEX_TYPE mutex) {
  if (mutex != nullptr) pthread_mutex_lock(static_cast<pthread_mutex_t *>(mutex));
}

void unlock_mutex(CMPI_MUTEX_TYPE mutex) {
  if (mutex != nullptr) pthread_mutex_unlock(static_cast<pthread_mutex_t *>(mutex));
}

CMPI_COND_TYPE new_condition(int) {
  auto *c = static_cast<pthread_cond_t *>(std::malloc(sizeof(pthread_cond_t)));
  if (c != nullptr) pthread_cond_init(c, nullptr);
  return c;
}

void destroy_condition(CMPI_COND_TYPE cond) {
  if (cond == nullptr) return;
  pthread_cond_destroy(static_cast<pthread_cond_t *>(cond));
  std::free(cond);
}

int cond_wait(CMPI_COND_TYPE cond, CMPI_MUTEX_TYPE mutex) {
  if (cond == nullptr || mutex == nullptr) return EINVAL;
  return pthread_cond_wait(static_cast<pthread_cond_t *>(cond), static_cast<pthread_mutex_t *>(mutex));
}

/* `wait` is the absolute (CLOCK_REALTIME) time to give up at. */
int timed_cond_wait(CMPI_COND_TYPE cond, CMPI_MUTEX_TYPE mutex, struct timespec *wait) {
  if (cond == nullptr || mutex == nullptr || wait == nullptr) return EINVAL;
  return pthread_cond_timedwait(static_cast<pthread_cond_t *>(cond), static_cast<pthread_mutex_t *>(mutex), wait);
}

int signal_condition(CMPI_COND_TYPE cond) {
  if (cond == nullptr) return EINVAL;
  return pthread_cond_signal(static_cast<pthread_cond_t *>(cond));
}

CMPIGcStat *mark(const CMPIBroker *mb, CMPIStatus *rc) {
  if (router_of(mb) == nullptr) {
    set_rc(rc, CMPI_RC_ERR_INVALID_HANDLE);
    return nullptr;
  }
  void *m = guard(rc, static_cast<void *>(nullptr), [] { return scope_mark(); });
  set_rc(rc, m != nullptr ? CMPI_RC_OK : CMPI_RC_ERR_FAILED);
  return m;
}

CMPIStatus release(const CMPIBroker *mb, const CMPIGcStat *gc) {
  if (router_of(mb) == nullptr) return status(CMPI_RC_ERR_INVALID_HANDLE);
  return status(scope_release_mark(gc) ? CMPI_RC_OK : CMPI_RC_ERR_INVALID_HANDLE);
}

void *cmpi_malloc(const CMPIBroker *, size_t size) {
  return guard(nullptr, static_cast<void *>(nullptr), [&] { return scope_malloc(size); });
}

void *cmpi_calloc(const CMPIBroker *mb, size_t nElems, size_t sizeElem) {
  if (sizeElem != 0 && nElems > SIZE_MAX / sizeElem) return nullptr;
  void *p = cmpi_malloc(mb, nElems * sizeElem);
  if (p != nullptr) std::memset(p, 0, nElems * sizeElem);
  return p;
}

void *cmpi_realloc(const CMPIBroker *, void *ptr, size_t size) {
  return guard(nullptr, static_cast<void *>(nullptr), [&] { return scope_realloc(ptr, size); });
}

char *cmpi_str_dup(const CMPIBroker *mb, const char *str) {
  if (str == nullptr) return nullptr;
  size_t n = std::strlen(str) + 1;
  auto *p = static_cast<char *>(cmpi_malloc(mb, n));
  if (p != nullptr) std::memcpy(p, str, n);
  return p;
}

void cmpi_free(const CMPIBroker *, void *ptr) {
  try {
    scope_free(ptr);
  } catch (...) {
  }
}

template <class T>
void free_object(const CMPIBroker *, T *obj) {
  if (obj != nullptr && obj->ft != nullptr) obj->ft->release(obj);
}

}  // namespace

CMPIBrokerExtFT broker_ext_ft = {CMPICurrentVersion,
                                 resolve_file_name,
                                 new_thread,
                                 join_thread,
                                 exit_thread,
                                 cancel_thread,
                                 thread_sleep,
                                 thread_once,
                                 create_thread_key,
                                 destroy_thread_key,
                                 get_thread_specific,
                                 set_thread_specific,
                                 new_mutex,
                                 destroy_mutex,
                                 lock_mutex,
                                 unlock_mutex,
                                 new_condition,
                                 destroy_condition,
                                 cond_wait,
                                 timed_cond_wait,
                                 signal_condition};

CMPIBrokerMemFT broker_mem_ft = {CMPICurrentVersion,
                                 mark,
                                 release,
                                 cmpi_malloc,
                                 cmpi_calloc,
                                 cmpi_realloc,
                                 cmpi_str_dup,
                                 cmpi_free,
                                 free_object<CMPIInstance>,
                                 free_object<CMPIObjectPath>,
                                 free_object<CMPIArgs>,
                                 free_object<CMPIString>,
                                 free_object<CMPIArray>,
                                 free_object<CMPIDateTime>,
                                 free_object<CMPISelectExp>};

}  // namespace cmpinative
