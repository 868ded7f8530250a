/*
 * Providers for the CIMOM's routing tests, built twice:
 *
 *  - as libcimhost_test_widget.so (WIDGET defined): TestWidgetProvider serves
 *    Test_Widget (instance and method), an in-memory store that starts with
 *    the widget "w1", and TestLinkProvider serves the association
 *    Test_WidgetGadget;
 *  - as libcimhost_test_gadget.so: TestGadgetProvider serves Test_Gadget
 *    (instances "g1", "g2"; nothing else supported), and TestSlowProvider
 *    serves Test_Slow (the instance "s1"), whose factory first sleeps for
 *    CIMHOST_TEST_FACTORY_DELAY_MS milliseconds (taken from the environment).
 *
 * Test_Widget's methods:
 *   Echo(Level uint16, Text string, Target REF, Bytes uint8[]) returns 7 and
 *     hands back what it got: TextOut = "<type codes>|Text|Level|target path|bytes"
 *   CountGadgets() enumerates Test_Gadget through the broker: Count
 *   CountOwn() enumerates Test_Widget, its own class, through the broker: Count
 *   IsA(Text) asks the broker whether Test_Widget is a Text: 1 or 0
 *   HasClass(Text) asks the host (getConstClass) for class Text: 1 or 0
 *   Sleep(Milliseconds uint32) sleeps, returns 0
 *   SetCleanup(Rc uint32) sets what the widget library's clean-ups answer
 *   Fail() fails with CMPI_RC_ERR_FAILED "widget failure"
 *   Crash() dies of SIGSEGV
 *   CountLater(Milliseconds) starts a thread of the provider's own that waits
 *     that long and then counts Test_Gadget through the broker, with a
 *     context prepared for it; LaterCount(Count) reads that count (-1 until
 *     it is known)
 *   UpcallsAtOnce(Threads, Milliseconds) starts that many threads of the
 *     provider's own, each calling Sleep(Milliseconds) on w1 through the
 *     broker, waits for them and counts the calls Done and Failed
 * Counters (for the unload tests): the widget library's factory calls and
 * clean-up calls, readable through the method Stats (Factories, Cleanups,
 * and Process: the process id).
 */
#include <cmpidt.h>
#include <cmpift.h>
#include <cmpimacs.h>
#include <unistd.h>

#include <dlfcn.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

const CMPIBroker *g_broker = nullptr;

CMPIStatus ok() { return CMPIStatus{CMPI_RC_OK, nullptr}; }
CMPIStatus err(CMPIrc rc, const char *msg) { return CMPIStatus{rc, CMNewString(g_broker, msg, nullptr)}; }

std::string text(const CMPIString *s) {
  return s != nullptr && s->ft != nullptr && s->ft->getCharPtr(s, nullptr) ? s->ft->getCharPtr(s, nullptr) : "";
}
std::string key_text(const CMPIObjectPath *op, const char *name) {
  CMPIStatus st = ok();
  CMPIData d = CMGetKey(op, name, &st);
  if (st.rc != CMPI_RC_OK || (d.state & CMPI_nullValue) || d.type != CMPI_string) return "";
  return text(d.value.string);
}
std::string ns_of(const CMPIObjectPath *op) { return text(CMGetNameSpace(op, nullptr)); }

CMPIObjectPath *make_path(const std::string &ns, const char *cls, const std::string &name) {
  CMPIObjectPath *p = CMNewObjectPath(g_broker, ns.c_str(), cls, nullptr);
  CMAddKey(p, "Name", name.c_str(), CMPI_chars);
  return p;
}

#ifdef WIDGET

struct Widget {
  std::string color;
  CMPIUint16 level = 0;
  CMPIUint32 size = 0;
};
std::mutex g_mu;
std::map<std::string, Widget> g_widgets = {{"w1", Widget{"red", 3, 10}}};
std::atomic<int> g_cleanup_rc{CMPI_RC_OK};
std::atomic<int> g_factories{0}, g_cleanups{0};
std::atomic<int> g_later{-1};

/* Counts the instances of `cls` in `ns` through the broker; -1 when the up-call fails. */
int count_instances(const CMPIContext *ctx, const std::string &ns, const char *cls) {
  CMPIObjectPath *gp = CMNewObjectPath(g_broker, ns.c_str(), cls, nullptr);
  CMPIStatus st = ok();
  CMPIEnumeration *e = g_broker->bft->enumerateInstances(g_broker, ctx, gp, nullptr, &st);
  if (st.rc != CMPI_RC_OK || e == nullptr) return -1;
  int n = 0;
  while (e->ft->hasNext(e, nullptr)) {
    CMPIData d = e->ft->getNext(e, nullptr);
    if (d.type == CMPI_instance) ++n;
  }
  return n;
}

CMPIInstance *make_widget(const std::string &ns, const std::string &name, const Widget &w) {
  CMPIObjectPath *p = make_path(ns, "Test_Widget", name);
  CMPIInstance *i = CMNewInstance(g_broker, p, nullptr);
  CMSetProperty(i, "Name", name.c_str(), CMPI_chars);
  CMSetProperty(i, "Color", w.color.c_str(), CMPI_chars);
  CMSetProperty(i, "Level", &w.level, CMPI_uint16);
  CMSetProperty(i, "Size", &w.size, CMPI_uint32);
  return i;
}

CMPIStatus cleanup(const CMPIContext *, CMPIBoolean terminating) {
  ++g_cleanups;
  return CMPIStatus{terminating ? CMPI_RC_OK : static_cast<CMPIrc>(g_cleanup_rc.load()), nullptr};
}

CMPIStatus WidgetCleanup(CMPIInstanceMI *, const CMPIContext *ctx, CMPIBoolean t) { return cleanup(ctx, t); }

CMPIStatus WidgetEnumNames(CMPIInstanceMI *, const CMPIContext *, const CMPIResult *rslt, const CMPIObjectPath *op) {
  std::lock_guard<std::mutex> lock(g_mu);
  for (const auto &[name, w] : g_widgets) CMReturnObjectPath(rslt, make_path(ns_of(op), "Test_Widget", name));
  CMReturnDone(rslt);
  return ok();
}

CMPIStatus WidgetEnum(CMPIInstanceMI *, const CMPIContext *, const CMPIResult *rslt, const CMPIObjectPath *op,
                      const char **) {
  std::lock_guard<std::mutex> lock(g_mu);
  for (const auto &[name, w] : g_widgets) CMReturnInstance(rslt, make_widget(ns_of(op), name, w));
  CMReturnDone(rslt);
  return ok();
}

CMPIStatus WidgetGet(CMPIInstanceMI *, const CMPIContext *, const CMPIResult *rslt, const CMPIObjectPath *op,
                     const char **) {
  std::lock_guard<std::mutex> lock(g_mu);
  auto it = g_widgets.find(key_text(op, "Name"));
  if (it == g_widgets.end()) return err(CMPI_RC_ERR_NOT_FOUND, "no such widget");
  CMReturnInstance(rslt, make_widget(ns_of(op), it->first, it->second));
  CMReturnDone(rslt);
  return ok();
}

Widget widget_from(const CMPIInstance *inst, Widget w) {
  CMPIStatus st = ok();
  CMPIData d = CMGetProperty(inst, "Color", &st);
  if (st.rc == CMPI_RC_OK && d.type == CMPI_string && !(d.state & CMPI_nullValue)) w.color = text(d.value.string);
  d = CMGetProperty(inst, "Level", &st);
  if (st.rc == CMPI_RC_OK && d.type == CMPI_uint16 && !(d.state & CMPI_nullValue)) w.level = d.value.uint16;
  d = CMGetProperty(inst, "Size", &st);
  if (st.rc == CMPI_RC_OK && d.type == CMPI_uint32 && !(d.state & CMPI_nullValue)) w.size = d.value.uint32;
  return w;
}

CMPIStatus WidgetCreate(CMPIInstanceMI *, const CMPIContext *, const CMPIResult *rslt, const CMPIObjectPath *op,
                        const CMPIInstance *inst) {
  const std::string name = key_text(op, "Name");
  if (name.empty()) return err(CMPI_RC_ERR_INVALID_PARAMETER, "no Name key");
  std::lock_guard<std::mutex> lock(g_mu);
  if (g_widgets.count(name)) return err(CMPI_RC_ERR_ALREADY_EXISTS, "widget exists");
  g_widgets[name] = widget_from(inst, Widget{});
  CMReturnObjectPath(rslt, make_path(ns_of(op), "Test_Widget", name));
  CMReturnDone(rslt);
  return ok();
}

CMPIStatus WidgetModify(CMPIInstanceMI *, const CMPIContext *, const CMPIResult *, const CMPIObjectPath *op,
                        const CMPIInstance *inst, const char **) {
  std::lock_guard<std::mutex> lock(g_mu);
  auto it = g_widgets.find(key_text(op, "Name"));
  if (it == g_widgets.end()) return err(CMPI_RC_ERR_NOT_FOUND, "no such widget");
  it->second = widget_from(inst, it->second);
  return ok();
}

CMPIStatus WidgetDelete(CMPIInstanceMI *, const CMPIContext *, const CMPIResult *, const CMPIObjectPath *op) {
  std::lock_guard<std::mutex> lock(g_mu);
  if (g_widgets.erase(key_text(op, "Name")) == 0) return err(CMPI_RC_ERR_NOT_FOUND, "no such widget");
  return ok();
}

CMPIStatus WidgetQuery(CMPIInstanceMI *, const CMPIContext *, const CMPIResult *, const CMPIObjectPath *,
                       const char *, const char *) {
  return err(CMPI_RC_ERR_NOT_SUPPORTED, "queries are the CIMOM's");
}

CMPIInstanceMIFT widget_ift = {100, 100, "instanceTestWidget", WidgetCleanup, WidgetEnumNames, WidgetEnum,
                               WidgetGet, WidgetCreate, WidgetModify, WidgetDelete, WidgetQuery};
CMPIInstanceMI widget_imi = {nullptr, &widget_ift};

CMPIStatus WidgetMethodCleanup(CMPIMethodMI *, const CMPIContext *ctx, CMPIBoolean t) { return cleanup(ctx, t); }

std::string arg_text(const CMPIArgs *in, const char *name, CMPIType *type) {
  CMPIStatus st = ok();
  CMPIData d = CMGetArg(in, name, &st);
  *type = st.rc == CMPI_RC_OK ? d.type : CMPI_null;
  if (st.rc != CMPI_RC_OK || (d.state & CMPI_nullValue)) return "";
  switch (d.type) {
    case CMPI_string: return text(d.value.string);
    case CMPI_uint16: return std::to_string(d.value.uint16);
    case CMPI_uint32: return std::to_string(d.value.uint32);
    case CMPI_ref: {
      CMPIString *s = d.value.ref->ft->toString(d.value.ref, nullptr);
      std::string host = text(d.value.ref->ft->getHostname(d.value.ref, nullptr));
      return host + "|" + text(s);
    }
    case CMPI_uint8A: {
      std::string out;
      const CMPICount n = CMGetArrayCount(d.value.array, nullptr);
      for (CMPICount i = 0; i < n; ++i) {
        CMPIData e = d.value.array->ft->getElementAt(d.value.array, i, nullptr);
        out += (i ? "," : "") + std::to_string(e.value.uint8);
      }
      return out;
    }
    default: return "?";
  }
}

CMPIStatus WidgetInvoke(CMPIMethodMI *, const CMPIContext *ctx, const CMPIResult *rslt, const CMPIObjectPath *op,
                        const char *method, const CMPIArgs *in, CMPIArgs *out) {
  const std::string m = method;
  CMPIUint32 rv = 0;
  if (m == "Echo") {
    CMPIType tl, tt, tr, tb;
    const std::string level = arg_text(in, "Level", &tl), t = arg_text(in, "Text", &tt);
    const std::string target = arg_text(in, "Target", &tr), bytes = arg_text(in, "Bytes", &tb);
    const std::string echo = std::to_string(tl) + "," + std::to_string(tt) + "," + std::to_string(tr) + "," +
                             std::to_string(tb) + "|" + t + "|" + level + "|" + target + "|" + bytes +
                             "|" + key_text(op, "Name");
    CMAddArg(out, "TextOut", echo.c_str(), CMPI_chars);
    rv = 7;
  } else if (m == "CountGadgets") {
    const int n = count_instances(ctx, ns_of(op), "Test_Gadget");
    if (n < 0) return err(CMPI_RC_ERR_FAILED, "cannot enumerate the gadgets");
    const CMPIUint32 count = static_cast<CMPIUint32>(n);
    CMAddArg(out, "Count", &count, CMPI_uint32);
  } else if (m == "CountOwn") {
    const int n = count_instances(ctx, ns_of(op), "Test_Widget");
    if (n < 0) return err(CMPI_RC_ERR_FAILED, "cannot enumerate the widgets");
    const CMPIUint32 count = static_cast<CMPIUint32>(n);
    CMAddArg(out, "Count", &count, CMPI_uint32);
  } else if (m == "Crash") {
    raise(SIGSEGV);
  } else if (m == "CountLater") {
    CMPIType t;
    const unsigned ms = static_cast<unsigned>(std::stoul("0" + arg_text(in, "Milliseconds", &t)));
    const CMPIContext *later = CBPrepareAttachThread(g_broker, ctx);
    g_later = -1;
    std::thread([later, ms, ns = ns_of(op)] {
      CBAttachThread(g_broker, later);
      std::this_thread::sleep_for(std::chrono::milliseconds(ms));
      g_later = count_instances(later, ns, "Test_Gadget");
      CBDetachThread(g_broker, later);
      CMRelease(const_cast<CMPIContext *>(later));
    }).detach();
  } else if (m == "UpcallsAtOnce") {
    CMPIType t;
    const unsigned n = static_cast<unsigned>(std::stoul("0" + arg_text(in, "Threads", &t)));
    const CMPIUint32 ms = static_cast<CMPIUint32>(std::stoul("0" + arg_text(in, "Milliseconds", &t)));
    std::atomic<CMPIUint32> done{0}, failed{0};
    std::vector<std::thread> threads;
    for (unsigned i = 0; i < n; ++i) {
      const CMPIContext *own = CBPrepareAttachThread(g_broker, ctx);
      threads.emplace_back([&, own, ns = ns_of(op)] {
        CBAttachThread(g_broker, own);
        CMPIArgs *args = CMNewArgs(g_broker, nullptr);
        CMAddArg(args, "Milliseconds", &ms, CMPI_uint32);
        CMPIStatus st{CMPI_RC_OK, nullptr};
        CBInvokeMethod(g_broker, own, make_path(ns, "Test_Widget", "w1"), "Sleep", args, nullptr, &st);
        ++(st.rc == CMPI_RC_OK ? done : failed);
        CBDetachThread(g_broker, own);
        CMRelease(const_cast<CMPIContext *>(own));
      });
    }
    for (std::thread &th : threads) th.join();
    const CMPIUint32 d = done, f = failed;
    CMAddArg(out, "Done", &d, CMPI_uint32);
    CMAddArg(out, "Failed", &f, CMPI_uint32);
  } else if (m == "LaterCount") {
    const CMPISint32 n = g_later.load();
    CMAddArg(out, "Count", &n, CMPI_sint32);
  } else if (m == "IsA") {
    CMPIType t;
    const std::string other = arg_text(in, "Text", &t);
    CMPIObjectPath *wp = CMNewObjectPath(g_broker, ns_of(op).c_str(), "Test_Widget", nullptr);
    rv = CMClassPathIsA(g_broker, wp, other.c_str(), nullptr) ? 1 : 0;
  } else if (m == "HasClass") {
    CMPIType t;
    using Lookup = void *(*)(const char *, const char *);
    const auto lookup = reinterpret_cast<Lookup>(dlsym(RTLD_DEFAULT, "getConstClass"));
    if (lookup == nullptr) return err(CMPI_RC_ERR_FAILED, "the host has no getConstClass");
    rv = lookup(ns_of(op).c_str(), arg_text(in, "Text", &t).c_str()) != nullptr ? 1 : 0;
  } else if (m == "Sleep") {
    CMPIType t;
    usleep(static_cast<useconds_t>(std::stoul("0" + arg_text(in, "Milliseconds", &t)) * 1000));
  } else if (m == "SetCleanup") {
    CMPIType t;
    g_cleanup_rc = static_cast<int>(std::stoul("0" + arg_text(in, "Rc", &t)));
  } else if (m == "Stats") {
    const CMPIUint32 f = static_cast<CMPIUint32>(g_factories.load()), c = static_cast<CMPIUint32>(g_cleanups.load());
    const CMPIUint32 pid = static_cast<CMPIUint32>(getpid());
    CMAddArg(out, "Factories", &f, CMPI_uint32);
    CMAddArg(out, "Cleanups", &c, CMPI_uint32);
    CMAddArg(out, "Process", &pid, CMPI_uint32);
  } else if (m == "Fail") {
    return err(CMPI_RC_ERR_FAILED, "widget failure");
  } else {
    return err(CMPI_RC_ERR_METHOD_NOT_FOUND, method);
  }
  CMReturnData(rslt, &rv, CMPI_uint32);
  CMReturnDone(rslt);
  return ok();
}

CMPIMethodMIFT widget_mft = {100, 100, "methodTestWidget", WidgetMethodCleanup, WidgetInvoke};
CMPIMethodMI widget_mmi = {nullptr, &widget_mft};

/* Test_WidgetGadget: every widget owns every gadget whose name ends like its own
 * ("w1" owns "g1"). Served from the widget side and the gadget side. */
CMPIStatus LinkCleanup(CMPIAssociationMI *, const CMPIContext *ctx, CMPIBoolean t) { return cleanup(ctx, t); }

void links(const CMPIObjectPath *op, const char *result_class, const CMPIResult *rslt, bool names, bool assoc) {
  const std::string cls = text(CMGetClassName(op, nullptr)), ns = ns_of(op), name = key_text(op, "Name");
  if (name.size() < 2) return;
  const std::string other = (cls == "Test_Widget" ? "g" : "w") + name.substr(1);
  const char *other_cls = cls == "Test_Widget" ? "Test_Gadget" : "Test_Widget";
  if (assoc) {
    if (result_class != nullptr && std::strcmp(result_class, other_cls) != 0) return;
    CMPIObjectPath *p = make_path(ns, other_cls, other);
    if (names) {
      CMReturnObjectPath(rslt, p);
    } else {
      CMPIInstance *i = CMNewInstance(g_broker, p, nullptr);
      CMSetProperty(i, "Name", other.c_str(), CMPI_chars);
      CMReturnInstance(rslt, i);
    }
    return;
  }
  CMPIObjectPath *w = make_path(ns, "Test_Widget", cls == "Test_Widget" ? name : other);
  CMPIObjectPath *g = make_path(ns, "Test_Gadget", cls == "Test_Widget" ? other : name);
  CMPIObjectPath *l = CMNewObjectPath(g_broker, ns.c_str(), "Test_WidgetGadget", nullptr);
  CMAddKey(l, "Owner", &w, CMPI_ref);
  CMAddKey(l, "Part", &g, CMPI_ref);
  if (names) {
    CMReturnObjectPath(rslt, l);
  } else {
    CMPIInstance *i = CMNewInstance(g_broker, l, nullptr);
    CMSetProperty(i, "Owner", &w, CMPI_ref);
    CMSetProperty(i, "Part", &g, CMPI_ref);
    CMReturnInstance(rslt, i);
  }
}

CMPIStatus LinkAssociators(CMPIAssociationMI *, const CMPIContext *, const CMPIResult *rslt, const CMPIObjectPath *op,
                           const char *, const char *result_class, const char *, const char *, const char **) {
  links(op, result_class, rslt, false, true);
  CMReturnDone(rslt);
  return ok();
}
CMPIStatus LinkAssociatorNames(CMPIAssociationMI *, const CMPIContext *, const CMPIResult *rslt,
                               const CMPIObjectPath *op, const char *, const char *result_class, const char *,
                               const char *) {
  links(op, result_class, rslt, true, true);
  CMReturnDone(rslt);
  return ok();
}
CMPIStatus LinkReferences(CMPIAssociationMI *, const CMPIContext *, const CMPIResult *rslt, const CMPIObjectPath *op,
                          const char *, const char *, const char **) {
  links(op, nullptr, rslt, false, false);
  CMReturnDone(rslt);
  return ok();
}
CMPIStatus LinkReferenceNames(CMPIAssociationMI *, const CMPIContext *, const CMPIResult *rslt,
                              const CMPIObjectPath *op, const char *, const char *) {
  links(op, nullptr, rslt, true, false);
  CMReturnDone(rslt);
  return ok();
}
CMPIAssociationMIFT link_aft = {100, 100, "associationTestLink", LinkCleanup, LinkAssociators, LinkAssociatorNames,
                                LinkReferences, LinkReferenceNames};
CMPIAssociationMI link_ami = {nullptr, &link_aft};

#else /* the gadget library */

CMPIStatus GadgetCleanup(CMPIInstanceMI *, const CMPIContext *, CMPIBoolean) { return ok(); }
CMPIStatus GadgetEnumNames(CMPIInstanceMI *, const CMPIContext *, const CMPIResult *rslt, const CMPIObjectPath *op) {
  for (const char *n : {"g1", "g2"}) CMReturnObjectPath(rslt, make_path(ns_of(op), "Test_Gadget", n));
  CMReturnDone(rslt);
  return ok();
}
CMPIStatus GadgetEnum(CMPIInstanceMI *, const CMPIContext *, const CMPIResult *rslt, const CMPIObjectPath *op,
                      const char **) {
  for (const char *n : {"g1", "g2"}) {
    CMPIInstance *i = CMNewInstance(g_broker, make_path(ns_of(op), "Test_Gadget", n), nullptr);
    CMSetProperty(i, "Name", n, CMPI_chars);
    const CMPIUint32 size = 100;
    CMSetProperty(i, "Size", &size, CMPI_uint32);
    CMReturnInstance(rslt, i);
  }
  CMReturnDone(rslt);
  return ok();
}
CMPIStatus GadgetGet(CMPIInstanceMI *mi, const CMPIContext *ctx, const CMPIResult *rslt, const CMPIObjectPath *op,
                     const char **props) {
  const std::string name = key_text(op, "Name");
  if (name != "g1" && name != "g2") return err(CMPI_RC_ERR_NOT_FOUND, "no such gadget");
  (void)mi;
  (void)ctx;
  (void)props;
  CMPIInstance *i = CMNewInstance(g_broker, make_path(ns_of(op), "Test_Gadget", name), nullptr);
  CMSetProperty(i, "Name", name.c_str(), CMPI_chars);
  CMReturnInstance(rslt, i);
  CMReturnDone(rslt);
  return ok();
}
CMPIStatus GadgetCreate(CMPIInstanceMI *, const CMPIContext *, const CMPIResult *, const CMPIObjectPath *,
                        const CMPIInstance *) {
  return err(CMPI_RC_ERR_NOT_SUPPORTED, "gadgets are fixed");
}
CMPIStatus GadgetModify(CMPIInstanceMI *, const CMPIContext *, const CMPIResult *, const CMPIObjectPath *,
                        const CMPIInstance *, const char **) {
  return err(CMPI_RC_ERR_NOT_SUPPORTED, "gadgets are fixed");
}
CMPIStatus GadgetDelete(CMPIInstanceMI *, const CMPIContext *, const CMPIResult *, const CMPIObjectPath *) {
  return err(CMPI_RC_ERR_NOT_SUPPORTED, "gadgets are fixed");
}
CMPIStatus GadgetQuery(CMPIInstanceMI *, const CMPIContext *, const CMPIResult *, const CMPIObjectPath *,
                       const char *, const char *) {
  return err(CMPI_RC_ERR_NOT_SUPPORTED, "no queries");
}
CMPIInstanceMIFT gadget_ift = {100, 100, "instanceTestGadget", GadgetCleanup, GadgetEnumNames, GadgetEnum,
                               GadgetGet, GadgetCreate, GadgetModify, GadgetDelete, GadgetQuery};
CMPIInstanceMI gadget_imi = {nullptr, &gadget_ift};

/* Test_Slow: the instance "s1", from a provider that is slow to start. */
CMPIStatus SlowEnumNames(CMPIInstanceMI *, const CMPIContext *, const CMPIResult *rslt, const CMPIObjectPath *op) {
  CMReturnObjectPath(rslt, make_path(ns_of(op), "Test_Slow", "s1"));
  CMReturnDone(rslt);
  return ok();
}
CMPIStatus SlowEnum(CMPIInstanceMI *, const CMPIContext *, const CMPIResult *rslt, const CMPIObjectPath *op,
                    const char **) {
  CMPIInstance *i = CMNewInstance(g_broker, make_path(ns_of(op), "Test_Slow", "s1"), nullptr);
  CMSetProperty(i, "Name", "s1", CMPI_chars);
  CMReturnInstance(rslt, i);
  CMReturnDone(rslt);
  return ok();
}
CMPIInstanceMIFT slow_ift = {100, 100, "instanceTestSlow", GadgetCleanup, SlowEnumNames, SlowEnum,
                             GadgetGet, GadgetCreate, GadgetModify, GadgetDelete, GadgetQuery};
CMPIInstanceMI slow_imi = {nullptr, &slow_ift};

#endif

}  // namespace

#ifdef WIDGET
EXPORT CMPIInstanceMI *TestWidgetProvider_Create_InstanceMI(const CMPIBroker *b, const CMPIContext *, CMPIStatus *rc) {
  g_broker = b;
  ++g_factories;
  if (rc) *rc = ok();
  return &widget_imi;
}
EXPORT CMPIMethodMI *TestWidgetProvider_Create_MethodMI(const CMPIBroker *b, const CMPIContext *, CMPIStatus *rc) {
  g_broker = b;
  ++g_factories;
  if (rc) *rc = ok();
  return &widget_mmi;
}
EXPORT CMPIAssociationMI *TestLinkProvider_Create_AssociationMI(const CMPIBroker *b, const CMPIContext *,
                                                                CMPIStatus *rc) {
  g_broker = b;
  ++g_factories;
  if (rc) *rc = ok();
  return &link_ami;
}
#else
EXPORT CMPIInstanceMI *TestGadgetProvider_Create_InstanceMI(const CMPIBroker *b, const CMPIContext *, CMPIStatus *rc) {
  g_broker = b;
  if (rc) *rc = ok();
  return &gadget_imi;
}
EXPORT CMPIInstanceMI *TestSlowProvider_Create_InstanceMI(const CMPIBroker *b, const CMPIContext *, CMPIStatus *rc) {
  if (const char *delay = std::getenv("CIMHOST_TEST_FACTORY_DELAY_MS"))
    std::this_thread::sleep_for(std::chrono::milliseconds(std::strtoul(delay, nullptr, 10)));
  g_broker = b;
  if (rc) *rc = ok();
  return &slow_imi;
}
#endif
