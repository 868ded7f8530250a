/*
 * Sample_Widget provider: a small provider written to the published CMPI API
 * only, so that the test harness can drive every kind of MI operation.
 *
 * Provider "SampleWidget" serves
 *   - instances of Sample_Widget (key Name; Size uint16, Tags string[],
 *     Created datetime, Caption string, Peer reference) held in memory:
 *     enumerate, get, create, delete, a tiny WQL query; modify is refused;
 *   - methods of Sample_Widget: Inspect, SetPinned, Survey, Relay, Stats;
 *   - the association Sample_WidgetLink (roles Parent and Child) between
 *     widgets;
 *   - property and indication MIs made by the published stubs, which serve
 *     nothing.
 * Provider "SampleBroken" has an instance MI factory that always fails.
 *
 * The initial widgets are alpha, beta and gamma, linked alpha->beta,
 * alpha->gamma and beta->gamma. A widget's Peer is its first child.
 */
#define _POSIX_C_SOURCE 200809L

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <time.h>

#include <cmpidt.h>
#include <cmpift.h>
#include <cmpimacs.h>

#define WIDGET_CLASS "Sample_Widget"
#define LINK_CLASS "Sample_WidgetLink"
#define GADGET_CLASS "Sample_Gadget"

#define MAX_WIDGETS 64
#define MAX_LINKS 64
#define NAME_LEN 32
#define MAX_TAGS 4
#define TAG_LEN 16
#define MSG_LEN 256

/* 2023-11-14 22:13:20 UTC, in microseconds since the epoch. */
#define BASE_TIME 1700000000000000ULL
#define ONE_DAY 86400000000ULL

enum { KIND_INSTANCE, KIND_METHOD, KIND_ASSOCIATION, KINDS };

struct widget {
  int used;
  char name[NAME_LEN];
  CMPIUint16 size;
  int ntags;
  char tags[MAX_TAGS][TAG_LEN];
  CMPIUint64 created;
};

struct link {
  int used;
  char parent[NAME_LEN];
  char child[NAME_LEN];
};

static const CMPIBroker *_broker;

static pthread_mutex_t state_lock = PTHREAD_MUTEX_INITIALIZER;
static struct widget widgets[MAX_WIDGETS];
static struct link links[MAX_LINKS];
static int initialized;
static int pinned;
static CMPIUint32 factory_calls[KINDS];
static CMPIUint32 cleanup_calls[KINDS];

/* ---------------------------------------------------------------- state */

/* Copies src into a field of `size` bytes; refuses (returns 0) when it does
 * not fit. */
static int copy_field(char *dst, size_t size, const char *src) {
  size_t n = strlen(src);
  memset(dst, 0, size);
  if (n >= size) return 0;
  memcpy(dst, src, n);
  return 1;
}

static void add_widget(const char *name, CMPIUint16 size, const char *tag1, const char *tag2,
                       CMPIUint64 created) {
  int i;
  for (i = 0; i < MAX_WIDGETS; ++i) {
    if (!widgets[i].used) {
      struct widget *w = &widgets[i];
      memset(w, 0, sizeof *w);
      w->used = 1;
      copy_field(w->name, sizeof w->name, name);
      w->size = size;
      if (tag1 != NULL) copy_field(w->tags[w->ntags++], TAG_LEN, tag1);
      if (tag2 != NULL) copy_field(w->tags[w->ntags++], TAG_LEN, tag2);
      w->created = created;
      return;
    }
  }
}

static void add_link(const char *parent, const char *child) {
  int i;
  for (i = 0; i < MAX_LINKS; ++i) {
    if (!links[i].used) {
      links[i].used = 1;
      copy_field(links[i].parent, NAME_LEN, parent);
      copy_field(links[i].child, NAME_LEN, child);
      return;
    }
  }
}

/* Counts factory calls and sets up the initial widgets once per load of the
 * library. The set-up takes a while, as a provider's start-up often does, so
 * a host that calls a factory twice for concurrent first requests shows it. */
static void factory_seen(int kind) {
  pthread_mutex_lock(&state_lock);
  ++factory_calls[kind];
  if (!initialized) {
    struct timespec startup = {0, 20 * 1000 * 1000};
    nanosleep(&startup, NULL);
    initialized = 1;
    add_widget("alpha", 10, "red", "round", BASE_TIME);
    add_widget("beta", 20, "blue", NULL, BASE_TIME + ONE_DAY);
    add_widget("gamma", 30, NULL, NULL, BASE_TIME + 2 * ONE_DAY);
    add_link("alpha", "beta");
    add_link("alpha", "gamma");
    add_link("beta", "gamma");
  }
  pthread_mutex_unlock(&state_lock);
}

/* Caller holds state_lock. */
static int find_widget(const char *name) {
  int i;
  if (name == NULL) return -1;
  for (i = 0; i < MAX_WIDGETS; ++i)
    if (widgets[i].used && strcmp(widgets[i].name, name) == 0) return i;
  return -1;
}

/* Caller holds state_lock. The name of the widget's first child, or NULL. */
static const char *first_child(const char *name) {
  int i;
  for (i = 0; i < MAX_LINKS; ++i)
    if (links[i].used && strcmp(links[i].parent, name) == 0) return links[i].child;
  return NULL;
}

/* ------------------------------------------------------------- helpers */

static const char *chars_of(CMPIData d) {
  if (CMIsNullValue(d)) return NULL;
  if (d.type == CMPI_string && d.value.string != NULL) return CMGetCharsPtr(d.value.string, NULL);
  if (d.type == CMPI_chars) return d.value.chars;
  return NULL;
}

static const char *ns_of(const CMPIObjectPath *op) {
  CMPIString *s = CMGetNameSpace(op, NULL);
  const char *p = s != NULL ? CMGetCharsPtr(s, NULL) : NULL;
  return p != NULL ? p : "";
}

static const char *string_key(const CMPIObjectPath *op, const char *name) {
  CMPIStatus rc = {CMPI_RC_OK, NULL};
  CMPIData d = CMGetKey(op, name, &rc);
  if (rc.rc != CMPI_RC_OK) return NULL;
  return chars_of(d);
}

static const char *string_arg(const CMPIArgs *in, const char *name) {
  CMPIStatus rc = {CMPI_RC_OK, NULL};
  CMPIData d;
  if (in == NULL) return NULL;
  d = CMGetArg(in, name, &rc);
  if (rc.rc != CMPI_RC_OK) return NULL;
  return chars_of(d);
}

static CMPIUint32 invocation_flags(const CMPIContext *ctx) {
  CMPIStatus rc = {CMPI_RC_OK, NULL};
  CMPIData d = CMGetContextEntry(ctx, CMPIInvocationFlags, &rc);
  if (rc.rc != CMPI_RC_OK || CMIsNullValue(d) || d.type != CMPI_uint32) return 0;
  return d.value.uint32;
}

/* True when the class of `op` is `cls` or derives from it. */
static int is_a(const CMPIObjectPath *op, const char *cls) {
  CMPIStatus rc = {CMPI_RC_OK, NULL};
  return CMClassPathIsA(_broker, op, cls, &rc) && rc.rc == CMPI_RC_OK;
}

/* True when class `cls` (in namespace `ns`) is `type` or derives from it. */
static int class_is_a(const char *ns, const char *cls, const char *type) {
  CMPIObjectPath *op = CMNewObjectPath(_broker, ns, cls, NULL);
  return op != NULL && is_a(op, type);
}

static CMPIObjectPath *widget_path(const char *ns, const char *name) {
  CMPIObjectPath *op = CMNewObjectPath(_broker, ns, WIDGET_CLASS, NULL);
  if (op != NULL) CMAddKey(op, "Name", name, CMPI_chars);
  return op;
}

static CMPIObjectPath *link_path(const char *ns, const char *parent, const char *child) {
  CMPIObjectPath *op = CMNewObjectPath(_broker, ns, LINK_CLASS, NULL);
  CMPIObjectPath *p = widget_path(ns, parent);
  CMPIObjectPath *c = widget_path(ns, child);
  if (op != NULL) {
    CMAddKey(op, "Parent", &p, CMPI_ref);
    CMAddKey(op, "Child", &c, CMPI_ref);
  }
  return op;
}

static CMPIArray *tag_array(const struct widget *w) {
  CMPIArray *arr = CMNewArray(_broker, (CMPICount)w->ntags, CMPI_string, NULL);
  int i;
  for (i = 0; i < w->ntags && arr != NULL; ++i) CMSetArrayElementAt(arr, (CMPICount)i, w->tags[i], CMPI_chars);
  return arr;
}

/* Caller holds state_lock. Properties outside `properties` (NULL: all) are
 * left out; with CMPI_FLAG_LocalOnly the inherited Caption is left out. */
static CMPIInstance *widget_instance(const char *ns, const struct widget *w, const char **properties,
                                     CMPIUint32 flags) {
  static const char *keys[] = {"Name", NULL};
  CMPIObjectPath *op = widget_path(ns, w->name);
  CMPIInstance *inst = CMNewInstance(_broker, op, NULL);
  CMPIArray *tags = tag_array(w);
  CMPIDateTime *created = CMNewDateTimeFromBinary(_broker, w->created, 0, NULL);
  const char *child = first_child(w->name);
  char caption[64];

  if (inst == NULL) return NULL;
  if (properties != NULL) CMSetPropertyFilter(inst, properties, keys);
  CMSetProperty(inst, "Name", w->name, CMPI_chars);
  CMSetProperty(inst, "Size", &w->size, CMPI_uint16);
  CMSetProperty(inst, "Tags", &tags, CMPI_stringA);
  CMSetProperty(inst, "Created", &created, CMPI_dateTime);
  if (!(flags & CMPI_FLAG_LocalOnly)) {
    snprintf(caption, sizeof caption, "Widget %s", w->name);
    CMSetProperty(inst, "Caption", caption, CMPI_chars);
  }
  if (child != NULL) {
    CMPIObjectPath *peer = widget_path(ns, child);
    CMSetProperty(inst, "Peer", &peer, CMPI_ref);
  } else {
    CMSetProperty(inst, "Peer", NULL, CMPI_ref);
  }
  return inst;
}

static CMPIInstance *link_instance(const char *ns, const struct link *l, const char **properties) {
  static const char *keys[] = {"Parent", "Child", NULL};
  CMPIObjectPath *op = link_path(ns, l->parent, l->child);
  CMPIInstance *inst = CMNewInstance(_broker, op, NULL);
  CMPIObjectPath *p = widget_path(ns, l->parent);
  CMPIObjectPath *c = widget_path(ns, l->child);
  if (inst == NULL) return NULL;
  if (properties != NULL) CMSetPropertyFilter(inst, properties, keys);
  CMSetProperty(inst, "Parent", &p, CMPI_ref);
  CMSetProperty(inst, "Child", &c, CMPI_ref);
  return inst;
}

#define RETURN_WRONG_CLASS(op)                                                      \
  {                                                                                 \
    char msg_[MSG_LEN];                                                             \
    CMPIString *cn_ = CMGetClassName((op), NULL);                                   \
    snprintf(msg_, sizeof msg_, "SampleWidget does not serve class %s",             \
             cn_ != NULL ? CMGetCharsPtr(cn_, NULL) : "(none)");                    \
    CMReturnWithChars(_broker, CMPI_RC_ERR_INVALID_CLASS, msg_);                    \
  }

/* ----------------------------------------------------------- instance MI */

static CMPIStatus WidgetCleanup(CMPIInstanceMI *mi, const CMPIContext *ctx, CMPIBoolean terminating) {
  int refuse;
  (void)mi;
  (void)ctx;
  pthread_mutex_lock(&state_lock);
  ++cleanup_calls[KIND_INSTANCE];
  refuse = pinned && !terminating;
  pthread_mutex_unlock(&state_lock);
  if (refuse) CMReturnWithChars(_broker, CMPI_RC_DO_NOT_UNLOAD, "widgets are pinned");
  CMReturn(CMPI_RC_OK);
}

static CMPIStatus WidgetEnumInstanceNames(CMPIInstanceMI *mi, const CMPIContext *ctx, const CMPIResult *rslt,
                                          const CMPIObjectPath *op) {
  const char *ns = ns_of(op);
  int i;
  (void)mi;
  (void)ctx;
  if (!is_a(op, WIDGET_CLASS)) RETURN_WRONG_CLASS(op);
  pthread_mutex_lock(&state_lock);
  for (i = 0; i < MAX_WIDGETS; ++i) {
    if (widgets[i].used) {
      CMPIObjectPath *p = widget_path(ns, widgets[i].name);
      if (p != NULL) CMReturnObjectPath(rslt, p);
    }
  }
  pthread_mutex_unlock(&state_lock);
  CMReturnDone(rslt);
  CMReturn(CMPI_RC_OK);
}

static CMPIStatus WidgetEnumInstances(CMPIInstanceMI *mi, const CMPIContext *ctx, const CMPIResult *rslt,
                                      const CMPIObjectPath *op, const char **properties) {
  const char *ns = ns_of(op);
  CMPIUint32 flags = invocation_flags(ctx);
  int i;
  (void)mi;
  if (!is_a(op, WIDGET_CLASS)) RETURN_WRONG_CLASS(op);
  pthread_mutex_lock(&state_lock);
  for (i = 0; i < MAX_WIDGETS; ++i) {
    if (widgets[i].used) {
      CMPIInstance *inst = widget_instance(ns, &widgets[i], properties, flags);
      if (inst != NULL) CMReturnInstance(rslt, inst);
    }
  }
  pthread_mutex_unlock(&state_lock);
  CMReturnDone(rslt);
  CMReturn(CMPI_RC_OK);
}

static CMPIStatus WidgetGetInstance(CMPIInstanceMI *mi, const CMPIContext *ctx, const CMPIResult *rslt,
                                    const CMPIObjectPath *op, const char **properties) {
  const char *ns = ns_of(op);
  const char *name = string_key(op, "Name");
  CMPIInstance *inst = NULL;
  char msg[MSG_LEN];
  int i;
  (void)mi;
  if (!is_a(op, WIDGET_CLASS)) RETURN_WRONG_CLASS(op);
  if (name == NULL) CMReturnWithChars(_broker, CMPI_RC_ERR_INVALID_PARAMETER, "the key Name is missing");
  pthread_mutex_lock(&state_lock);
  i = find_widget(name);
  if (i >= 0) inst = widget_instance(ns, &widgets[i], properties, invocation_flags(ctx));
  pthread_mutex_unlock(&state_lock);
  if (i < 0) {
    snprintf(msg, sizeof msg, "no Sample_Widget named '%s'", name);
    CMReturnWithChars(_broker, CMPI_RC_ERR_NOT_FOUND, msg);
  }
  if (inst == NULL) CMReturnWithChars(_broker, CMPI_RC_ERR_FAILED, "cannot build the instance");
  CMReturnInstance(rslt, inst);
  CMReturnDone(rslt);
  CMReturn(CMPI_RC_OK);
}

static CMPIStatus WidgetCreateInstance(CMPIInstanceMI *mi, const CMPIContext *ctx, const CMPIResult *rslt,
                                       const CMPIObjectPath *op, const CMPIInstance *ci) {
  struct widget w;
  CMPIStatus rc = {CMPI_RC_OK, NULL};
  CMPIData d;
  const char *name;
  char msg[MSG_LEN];
  int i, slot = -1, exists;
  (void)mi;
  (void)ctx;
  if (!is_a(op, WIDGET_CLASS)) RETURN_WRONG_CLASS(op);

  memset(&w, 0, sizeof w);
  d = CMGetProperty(ci, "Name", &rc);
  name = rc.rc == CMPI_RC_OK ? chars_of(d) : NULL;
  if (name == NULL) name = string_key(op, "Name");
  if (name == NULL || name[0] == '\0')
    CMReturnWithChars(_broker, CMPI_RC_ERR_INVALID_PARAMETER, "a Sample_Widget needs a Name");
  if (!copy_field(w.name, sizeof w.name, name))
    CMReturnWithChars(_broker, CMPI_RC_ERR_INVALID_PARAMETER, "the Name is too long");

  d = CMGetProperty(ci, "Size", &rc);
  if (rc.rc == CMPI_RC_OK && !CMIsNullValue(d)) {
    if (d.type != CMPI_uint16) CMReturnWithChars(_broker, CMPI_RC_ERR_TYPE_MISMATCH, "Size is a uint16");
    w.size = d.value.uint16;
  }
  d = CMGetProperty(ci, "Tags", &rc);
  if (rc.rc == CMPI_RC_OK && !CMIsNullValue(d) && d.type == CMPI_stringA) {
    CMPICount n = CMGetArrayCount(d.value.array, NULL), k;
    if (n > MAX_TAGS) CMReturnWithChars(_broker, CMPI_RC_ERR_INVALID_PARAMETER, "at most 4 Tags");
    for (k = 0; k < n; ++k) {
      const char *t = chars_of(CMGetArrayElementAt(d.value.array, k, NULL));
      if (t == NULL || !copy_field(w.tags[w.ntags], TAG_LEN, t))
        CMReturnWithChars(_broker, CMPI_RC_ERR_INVALID_PARAMETER, "a tag is missing or too long");
      ++w.ntags;
    }
  }
  w.created = BASE_TIME + 3 * ONE_DAY;
  d = CMGetProperty(ci, "Created", &rc);
  if (rc.rc == CMPI_RC_OK && !CMIsNullValue(d) && d.type == CMPI_dateTime)
    w.created = CMGetBinaryFormat(d.value.dateTime, NULL);
  w.used = 1;

  pthread_mutex_lock(&state_lock);
  exists = find_widget(w.name) >= 0;
  if (!exists) {
    for (i = 0; i < MAX_WIDGETS && slot < 0; ++i)
      if (!widgets[i].used) slot = i;
    if (slot >= 0) widgets[slot] = w;
  }
  pthread_mutex_unlock(&state_lock);
  if (exists) {
    snprintf(msg, sizeof msg, "Sample_Widget '%s' already exists", w.name);
    CMReturnWithChars(_broker, CMPI_RC_ERR_ALREADY_EXISTS, msg);
  }
  if (slot < 0) CMReturnWithChars(_broker, CMPI_RC_ERR_FAILED, "no room for another widget");
  CMReturnObjectPath(rslt, widget_path(ns_of(op), w.name));
  CMReturnDone(rslt);
  CMReturn(CMPI_RC_OK);
}

static CMPIStatus WidgetModifyInstance(CMPIInstanceMI *mi, const CMPIContext *ctx, const CMPIResult *rslt,
                                       const CMPIObjectPath *op, const CMPIInstance *ci, const char **properties) {
  (void)mi;
  (void)ctx;
  (void)rslt;
  (void)op;
  (void)ci;
  (void)properties;
  CMReturnWithChars(_broker, CMPI_RC_ERR_NOT_SUPPORTED, "Sample_Widget instances cannot be modified");
}

static CMPIStatus WidgetDeleteInstance(CMPIInstanceMI *mi, const CMPIContext *ctx, const CMPIResult *rslt,
                                       const CMPIObjectPath *op) {
  const char *name = string_key(op, "Name");
  char msg[MSG_LEN];
  int i, k;
  (void)mi;
  (void)ctx;
  if (!is_a(op, WIDGET_CLASS)) RETURN_WRONG_CLASS(op);
  if (name == NULL) CMReturnWithChars(_broker, CMPI_RC_ERR_INVALID_PARAMETER, "the key Name is missing");
  pthread_mutex_lock(&state_lock);
  i = find_widget(name);
  if (i >= 0) {
    for (k = 0; k < MAX_LINKS; ++k)
      if (links[k].used && (strcmp(links[k].parent, name) == 0 || strcmp(links[k].child, name) == 0))
        links[k].used = 0;
    widgets[i].used = 0;
  }
  pthread_mutex_unlock(&state_lock);
  if (i < 0) {
    snprintf(msg, sizeof msg, "no Sample_Widget named '%s'", name);
    CMReturnWithChars(_broker, CMPI_RC_ERR_NOT_FOUND, msg);
  }
  CMReturnDone(rslt);
  CMReturn(CMPI_RC_OK);
}

static const char *skip_spaces(const char *p) {
  while (*p == ' ') ++p;
  return p;
}

/* Understands "SELECT * FROM Sample_Widget [WHERE Size > n]". */
static int parse_query(const char *q, int *has_min, unsigned long *min) {
  static const char prefix[] = "SELECT * FROM " WIDGET_CLASS;
  char *end;
  *has_min = 0;
  if (strncasecmp(q, prefix, sizeof prefix - 1) != 0) return 0;
  q = skip_spaces(q + sizeof prefix - 1);
  if (*q == '\0') return 1;
  if (strncasecmp(q, "WHERE", 5) != 0) return 0;
  q = skip_spaces(q + 5);
  if (strncasecmp(q, "Size", 4) != 0) return 0;
  q = skip_spaces(q + 4);
  if (*q != '>') return 0;
  q = skip_spaces(q + 1);
  *min = strtoul(q, &end, 10);
  if (end == q || *skip_spaces(end) != '\0') return 0;
  *has_min = 1;
  return 1;
}

static CMPIStatus WidgetExecQuery(CMPIInstanceMI *mi, const CMPIContext *ctx, const CMPIResult *rslt,
                                  const CMPIObjectPath *op, const char *query, const char *lang) {
  const char *ns = ns_of(op);
  CMPIUint32 flags = invocation_flags(ctx);
  unsigned long min = 0;
  int has_min, i;
  char msg[MSG_LEN];
  (void)mi;
  if (lang == NULL || strcasecmp(lang, "WQL") != 0)
    CMReturnWithChars(_broker, CMPI_RC_ERR_QUERY_LANGUAGE_NOT_SUPPORTED, "only WQL is understood");
  if (query == NULL || !parse_query(query, &has_min, &min)) {
    snprintf(msg, sizeof msg, "cannot run the query '%s'", query != NULL ? query : "");
    CMReturnWithChars(_broker, CMPI_RC_ERR_INVALID_QUERY, msg);
  }
  pthread_mutex_lock(&state_lock);
  for (i = 0; i < MAX_WIDGETS; ++i) {
    if (widgets[i].used && (!has_min || widgets[i].size > min)) {
      CMPIInstance *inst = widget_instance(ns, &widgets[i], NULL, flags);
      if (inst != NULL) CMReturnInstance(rslt, inst);
    }
  }
  pthread_mutex_unlock(&state_lock);
  CMReturnDone(rslt);
  CMReturn(CMPI_RC_OK);
}

/* ------------------------------------------------------------- method MI */

static CMPIStatus WidgetMethodCleanup(CMPIMethodMI *mi, const CMPIContext *ctx, CMPIBoolean terminating) {
  (void)mi;
  (void)ctx;
  (void)terminating;
  pthread_mutex_lock(&state_lock);
  ++cleanup_calls[KIND_METHOD];
  pthread_mutex_unlock(&state_lock);
  CMReturn(CMPI_RC_OK);
}

/* Inspect(): returns the number of tags; OUT Size, Created, Tags, Peers (the
 * children's paths) and Summary. */
static CMPIStatus inspect(const CMPIResult *rslt, const CMPIObjectPath *op, CMPIArgs *out) {
  const char *ns = ns_of(op);
  const char *name = string_key(op, "Name");
  CMPIObjectPath *peers[MAX_LINKS];
  CMPIArray *peer_array, *tags;
  CMPIDateTime *created;
  CMPIUint32 ntags;
  CMPICount npeers = 0, k;
  char summary[MSG_LEN], msg[MSG_LEN];
  int i;

  if (name == NULL) CMReturnWithChars(_broker, CMPI_RC_ERR_INVALID_PARAMETER, "Inspect needs a widget's path");
  pthread_mutex_lock(&state_lock);
  i = find_widget(name);
  if (i < 0) {
    pthread_mutex_unlock(&state_lock);
    snprintf(msg, sizeof msg, "no Sample_Widget named '%s'", name);
    CMReturnWithChars(_broker, CMPI_RC_ERR_NOT_FOUND, msg);
  }
  for (k = 0; k < MAX_LINKS; ++k)
    if (links[k].used && strcmp(links[k].parent, name) == 0) peers[npeers++] = widget_path(ns, links[k].child);
  CMAddArg(out, "Size", &widgets[i].size, CMPI_uint16);
  created = CMNewDateTimeFromBinary(_broker, widgets[i].created, 0, NULL);
  CMAddArg(out, "Created", &created, CMPI_dateTime);
  tags = tag_array(&widgets[i]);
  CMAddArg(out, "Tags", &tags, CMPI_stringA);
  ntags = (CMPIUint32)widgets[i].ntags;
  snprintf(summary, sizeof summary, "%s: size %u, %u tags", widgets[i].name, (unsigned)widgets[i].size,
           (unsigned)ntags);
  pthread_mutex_unlock(&state_lock);

  peer_array = CMNewArray(_broker, npeers, CMPI_ref, NULL);
  for (k = 0; k < npeers; ++k) CMSetArrayElementAt(peer_array, k, &peers[k], CMPI_ref);
  CMAddArg(out, "Peers", &peer_array, CMPI_refA);
  CMAddArg(out, "Summary", summary, CMPI_chars);
  CMReturnData(rslt, &ntags, CMPI_uint32);
  CMReturnDone(rslt);
  CMReturn(CMPI_RC_OK);
}

/* SetPinned(Pinned boolean): while pinned, the instance MI refuses to be
 * unloaded. Returns the previous setting (0 or 1). */
static CMPIStatus set_pinned(const CMPIResult *rslt, const CMPIArgs *in) {
  CMPIStatus rc = {CMPI_RC_OK, NULL};
  CMPIData d = CMGetArg(in, "Pinned", &rc);
  CMPIUint32 previous;
  if (rc.rc != CMPI_RC_OK || CMIsNullValue(d) || d.type != CMPI_boolean)
    CMReturnWithChars(_broker, CMPI_RC_ERR_INVALID_PARAMETER, "SetPinned needs the boolean Pinned");
  pthread_mutex_lock(&state_lock);
  previous = (CMPIUint32)pinned;
  pinned = d.value.boolean ? 1 : 0;
  pthread_mutex_unlock(&state_lock);
  CMReturnData(rslt, &previous, CMPI_uint32);
  CMReturnDone(rslt);
  CMReturn(CMPI_RC_OK);
}

/* Survey(ClassName string): enumerates the instance names of ClassName in
 * this namespace through the broker; returns their count, OUT Paths. */
static CMPIStatus survey(const CMPIContext *ctx, const CMPIResult *rslt, const CMPIObjectPath *op,
                         const CMPIArgs *in, CMPIArgs *out) {
  const char *cls = string_arg(in, "ClassName");
  CMPIStatus rc = {CMPI_RC_OK, NULL};
  CMPIObjectPath *target, *found[MAX_WIDGETS];
  CMPIEnumeration *en;
  CMPIArray *arr;
  CMPIUint32 count = 0;
  CMPICount k;
  char msg[MSG_LEN];

  if (cls == NULL) CMReturnWithChars(_broker, CMPI_RC_ERR_INVALID_PARAMETER, "Survey needs a ClassName");
  target = CMNewObjectPath(_broker, ns_of(op), cls, NULL);
  en = _broker->bft->enumerateInstanceNames(_broker, ctx, target, &rc);
  if (rc.rc != CMPI_RC_OK || en == NULL) {
    snprintf(msg, sizeof msg, "enumerating %s failed (%d): %s", cls, (int)rc.rc,
             rc.msg != NULL ? CMGetCharsPtr(rc.msg, NULL) : "");
    CMReturnWithChars(_broker, rc.rc != CMPI_RC_OK ? rc.rc : CMPI_RC_ERR_FAILED, msg);
  }
  while (CMHasNext(en, NULL) && count < MAX_WIDGETS) {
    CMPIData d = CMGetNext(en, NULL);
    if (d.type == CMPI_ref && !CMIsNullValue(d)) found[count++] = d.value.ref;
  }
  arr = CMNewArray(_broker, count, CMPI_ref, NULL);
  for (k = 0; k < count; ++k) CMSetArrayElementAt(arr, k, &found[k], CMPI_ref);
  CMAddArg(out, "Paths", &arr, CMPI_refA);
  CMReturnData(rslt, &count, CMPI_uint32);
  CMReturnDone(rslt);
  CMReturn(CMPI_RC_OK);
}

/* Relay(Method string, Text string): invokes Method of Sample_Gadget in this
 * namespace through the broker with IN Text; hands back its return value and
 * its OUT Echo. */
static CMPIStatus relay(const CMPIContext *ctx, const CMPIResult *rslt, const CMPIObjectPath *op,
                        const CMPIArgs *in, CMPIArgs *out) {
  const char *method = string_arg(in, "Method");
  const char *text = string_arg(in, "Text");
  CMPIStatus rc = {CMPI_RC_OK, NULL};
  CMPIObjectPath *target;
  CMPIArgs *gin, *gout;
  CMPIData ret, echo;
  char msg[MSG_LEN];

  if (method == NULL) CMReturnWithChars(_broker, CMPI_RC_ERR_INVALID_PARAMETER, "Relay needs a Method");
  target = CMNewObjectPath(_broker, ns_of(op), GADGET_CLASS, NULL);
  gin = CMNewArgs(_broker, NULL);
  gout = CMNewArgs(_broker, NULL);
  if (text != NULL) CMAddArg(gin, "Text", text, CMPI_chars);
  ret = CBInvokeMethod(_broker, ctx, target, method, gin, gout, &rc);
  if (rc.rc != CMPI_RC_OK) {
    snprintf(msg, sizeof msg, "%s.%s failed: %s", GADGET_CLASS, method,
             rc.msg != NULL ? CMGetCharsPtr(rc.msg, NULL) : "");
    CMReturnWithChars(_broker, rc.rc, msg);
  }
  echo = CMGetArg(gout, "Echo", &rc);
  if (rc.rc == CMPI_RC_OK && !CMIsNullValue(echo)) CMAddArg(out, "Echo", &echo.value, echo.type);
  if (!CMIsNullValue(ret) && ret.type != CMPI_null) CMReturnData(rslt, &ret.value, ret.type);
  CMReturnDone(rslt);
  CMReturn(CMPI_RC_OK);
}

/* Stats(): OUT InstanceFactories, MethodFactories, AssociationFactories and
 * Cleanups (all MIs together), as counted since the library was loaded. */
static CMPIStatus stats(const CMPIResult *rslt, CMPIArgs *out) {
  CMPIUint32 f[KINDS], cleanups, zero = 0;
  int k;
  pthread_mutex_lock(&state_lock);
  cleanups = 0;
  for (k = 0; k < KINDS; ++k) {
    f[k] = factory_calls[k];
    cleanups += cleanup_calls[k];
  }
  pthread_mutex_unlock(&state_lock);
  CMAddArg(out, "InstanceFactories", &f[KIND_INSTANCE], CMPI_uint32);
  CMAddArg(out, "MethodFactories", &f[KIND_METHOD], CMPI_uint32);
  CMAddArg(out, "AssociationFactories", &f[KIND_ASSOCIATION], CMPI_uint32);
  CMAddArg(out, "Cleanups", &cleanups, CMPI_uint32);
  CMReturnData(rslt, &zero, CMPI_uint32);
  CMReturnDone(rslt);
  CMReturn(CMPI_RC_OK);
}

static CMPIStatus WidgetInvokeMethod(CMPIMethodMI *mi, const CMPIContext *ctx, const CMPIResult *rslt,
                                     const CMPIObjectPath *op, const char *method, const CMPIArgs *in,
                                     CMPIArgs *out) {
  char msg[MSG_LEN];
  (void)mi;
  if (!is_a(op, WIDGET_CLASS)) RETURN_WRONG_CLASS(op);
  if (strcasecmp(method, "Inspect") == 0) return inspect(rslt, op, out);
  if (strcasecmp(method, "SetPinned") == 0) return set_pinned(rslt, in);
  if (strcasecmp(method, "Survey") == 0) return survey(ctx, rslt, op, in, out);
  if (strcasecmp(method, "Relay") == 0) return relay(ctx, rslt, op, in, out);
  if (strcasecmp(method, "Stats") == 0) return stats(rslt, out);
  snprintf(msg, sizeof msg, "Sample_Widget has no method '%s'", method);
  CMReturnWithChars(_broker, CMPI_RC_ERR_METHOD_NOT_FOUND, msg);
}

/* -------------------------------------------------------- association MI */

enum walk_mode { ASSOCIATORS, ASSOCIATOR_NAMES, REFERENCES, REFERENCE_NAMES };

/* Hands every link touching the widget `op` names that passes the filters to
 * the result, as the other widget (associators) or as the link itself
 * (references). `role` is the widget's role in the link (Parent or Child),
 * `result_role` the other end's. */
static CMPIStatus walk_links(const CMPIContext *ctx, const CMPIResult *rslt, const CMPIObjectPath *op,
                             const char *assoc_class, const char *result_class, const char *role,
                             const char *result_role, const char **properties, enum walk_mode mode) {
  const char *ns = ns_of(op);
  const char *name = string_key(op, "Name");
  CMPIUint32 flags = invocation_flags(ctx);
  int k;

  if (!is_a(op, WIDGET_CLASS)) {
    CMReturnDone(rslt);
    CMReturn(CMPI_RC_OK);
  }
  if (name == NULL) CMReturnWithChars(_broker, CMPI_RC_ERR_INVALID_PARAMETER, "the key Name is missing");
  if (assoc_class != NULL && !class_is_a(ns, LINK_CLASS, assoc_class)) {
    CMReturnDone(rslt);
    CMReturn(CMPI_RC_OK);
  }
  if (result_class != NULL) {
    /* For references the result is the link, otherwise the other widget. */
    const char *result_is = (mode == REFERENCES || mode == REFERENCE_NAMES) ? LINK_CLASS : WIDGET_CLASS;
    if (!class_is_a(ns, result_is, result_class)) {
      CMReturnDone(rslt);
      CMReturn(CMPI_RC_OK);
    }
  }

  pthread_mutex_lock(&state_lock);
  for (k = 0; k < MAX_LINKS; ++k) {
    const struct link *l = &links[k];
    const char *my_role, *other_role, *other;
    int i;
    if (!l->used) continue;
    if (strcmp(l->parent, name) == 0) {
      my_role = "Parent";
      other_role = "Child";
      other = l->child;
    } else if (strcmp(l->child, name) == 0) {
      my_role = "Child";
      other_role = "Parent";
      other = l->parent;
    } else {
      continue;
    }
    if (role != NULL && strcasecmp(role, my_role) != 0) continue;
    if (result_role != NULL && strcasecmp(result_role, other_role) != 0) continue;
    switch (mode) {
      case ASSOCIATORS:
        i = find_widget(other);
        if (i >= 0) {
          CMPIInstance *inst = widget_instance(ns, &widgets[i], properties, flags);
          if (inst != NULL) CMReturnInstance(rslt, inst);
        }
        break;
      case ASSOCIATOR_NAMES:
        CMReturnObjectPath(rslt, widget_path(ns, other));
        break;
      case REFERENCES: {
        CMPIInstance *inst = link_instance(ns, l, properties);
        if (inst != NULL) CMReturnInstance(rslt, inst);
        break;
      }
      case REFERENCE_NAMES:
        CMReturnObjectPath(rslt, link_path(ns, l->parent, l->child));
        break;
    }
  }
  pthread_mutex_unlock(&state_lock);
  CMReturnDone(rslt);
  CMReturn(CMPI_RC_OK);
}

static CMPIStatus WidgetAssociationCleanup(CMPIAssociationMI *mi, const CMPIContext *ctx, CMPIBoolean terminating) {
  (void)mi;
  (void)ctx;
  (void)terminating;
  pthread_mutex_lock(&state_lock);
  ++cleanup_calls[KIND_ASSOCIATION];
  pthread_mutex_unlock(&state_lock);
  CMReturn(CMPI_RC_OK);
}

static CMPIStatus WidgetAssociators(CMPIAssociationMI *mi, const CMPIContext *ctx, const CMPIResult *rslt,
                                    const CMPIObjectPath *op, const char *assocClass, const char *resultClass,
                                    const char *role, const char *resultRole, const char **properties) {
  (void)mi;
  return walk_links(ctx, rslt, op, assocClass, resultClass, role, resultRole, properties, ASSOCIATORS);
}

static CMPIStatus WidgetAssociatorNames(CMPIAssociationMI *mi, const CMPIContext *ctx, const CMPIResult *rslt,
                                        const CMPIObjectPath *op, const char *assocClass, const char *resultClass,
                                        const char *role, const char *resultRole) {
  (void)mi;
  return walk_links(ctx, rslt, op, assocClass, resultClass, role, resultRole, NULL, ASSOCIATOR_NAMES);
}

static CMPIStatus WidgetReferences(CMPIAssociationMI *mi, const CMPIContext *ctx, const CMPIResult *rslt,
                                   const CMPIObjectPath *op, const char *resultClass, const char *role,
                                   const char **properties) {
  (void)mi;
  return walk_links(ctx, rslt, op, NULL, resultClass, role, NULL, properties, REFERENCES);
}

static CMPIStatus WidgetReferenceNames(CMPIAssociationMI *mi, const CMPIContext *ctx, const CMPIResult *rslt,
                                       const CMPIObjectPath *op, const char *resultClass, const char *role) {
  (void)mi;
  return walk_links(ctx, rslt, op, NULL, resultClass, role, NULL, NULL, REFERENCE_NAMES);
}

/* ------------------------------------------------- property and indication */

/* The property and indication MIs exist to be made by the published stubs;
 * they serve nothing. */
static CMPIStatus WidgetPropertyCleanup(CMPIPropertyMI *mi, const CMPIContext *ctx, CMPIBoolean terminating) {
  (void)mi, (void)ctx, (void)terminating;
  CMReturn(CMPI_RC_OK);
}

static CMPIStatus WidgetSetProperty(CMPIPropertyMI *mi, const CMPIContext *ctx, const CMPIResult *rslt,
                                    const CMPIObjectPath *op, const char *name, const CMPIData data) {
  (void)mi, (void)ctx, (void)rslt, (void)op, (void)name, (void)data;
  CMReturn(CMPI_RC_ERR_NOT_SUPPORTED);
}

static CMPIStatus WidgetGetProperty(CMPIPropertyMI *mi, const CMPIContext *ctx, const CMPIResult *rslt,
                                    const CMPIObjectPath *op, const char *name) {
  (void)mi, (void)ctx, (void)rslt, (void)op, (void)name;
  CMReturn(CMPI_RC_ERR_NOT_SUPPORTED);
}

static CMPIStatus WidgetIndicationCleanup(CMPIIndicationMI *mi, const CMPIContext *ctx, CMPIBoolean terminating) {
  (void)mi, (void)ctx, (void)terminating;
  CMReturn(CMPI_RC_OK);
}

static CMPIStatus WidgetAuthorizeFilter(CMPIIndicationMI *mi, const CMPIContext *ctx, const CMPISelectExp *filter,
                                        const char *className, const CMPIObjectPath *op, const char *owner) {
  (void)mi, (void)ctx, (void)filter, (void)className, (void)op, (void)owner;
  CMReturn(CMPI_RC_ERR_NOT_SUPPORTED);
}

static CMPIStatus WidgetMustPoll(CMPIIndicationMI *mi, const CMPIContext *ctx, const CMPISelectExp *filter,
                                 const char *className, const CMPIObjectPath *op) {
  (void)mi, (void)ctx, (void)filter, (void)className, (void)op;
  CMReturn(CMPI_RC_ERR_NOT_SUPPORTED);
}

static CMPIStatus WidgetActivateFilter(CMPIIndicationMI *mi, const CMPIContext *ctx, const CMPISelectExp *filter,
                                       const char *className, const CMPIObjectPath *op, CMPIBoolean first) {
  (void)mi, (void)ctx, (void)filter, (void)className, (void)op, (void)first;
  CMReturn(CMPI_RC_ERR_NOT_SUPPORTED);
}

static CMPIStatus WidgetDeActivateFilter(CMPIIndicationMI *mi, const CMPIContext *ctx, const CMPISelectExp *filter,
                                         const char *className, const CMPIObjectPath *op, CMPIBoolean last) {
  (void)mi, (void)ctx, (void)filter, (void)className, (void)op, (void)last;
  CMReturn(CMPI_RC_ERR_NOT_SUPPORTED);
}

/* ------------------------------------------------------------- factories */

/* The stubs leave the factories' context and status parameters to the hook, and
 * the property and indication stubs leave the 2.0 additions to their tables
 * (setPropertyWithOrigin, enableIndications, disableIndications) empty. */
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
CMInstanceMIStub(Widget, SampleWidget, _broker, factory_seen(KIND_INSTANCE))
CMMethodMIStub(Widget, SampleWidget, _broker, factory_seen(KIND_METHOD))
CMAssociationMIStub(Widget, SampleWidget, _broker, factory_seen(KIND_ASSOCIATION))
CMPropertyMIStub(Widget, SampleWidget, _broker, CMNoHook)
CMIndicationMIStub(Widget, SampleWidget, _broker, CMNoHook)
#pragma GCC diagnostic pop

/* A provider whose instance MI cannot be created. */
CMPI_EXTERN_C CMPIInstanceMI *SampleBroken_Create_InstanceMI(const CMPIBroker *brkr, const CMPIContext *ctx,
                                                             CMPIStatus *rc) {
  (void)ctx;
  if (rc != NULL) CMSetStatusWithChars(brkr, rc, CMPI_RC_ERR_FAILED, "the sample device is unplugged");
  return NULL;
}
