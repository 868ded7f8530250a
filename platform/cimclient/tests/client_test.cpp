// The CIM client library against a controller's CIMOM (the simulator's, started as a simulated
// host starts it): every operation of the client's table, the failures a caller sees, and
// every object freed.
#include <cmci.h>
#include <cmpi_native.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "controller_host.h"
#include "ipmi_testing.h"
#include "netns_testing.h"
#include "nsfixture.h"

namespace {

using cmpinative::data_to_string;

struct ClientDeleter {
  void operator()(CMCIClient* c) const { c->ft->release(c); }
};
using ClientPtr = std::unique_ptr<CMCIClient, ClientDeleter>;

template <class T>
struct Releaser {
  void operator()(T* p) const { p->ft->release(p); }
};
template <class T>
using Owned = std::unique_ptr<T, Releaser<T>>;

// A status whose message is released with it.
struct Status {
  CMPIStatus st = {CMPI_RC_OK, nullptr};
  ~Status() { Clear(); }
  void Clear() {
    if (st.msg != nullptr) st.msg->ft->release(st.msg);
    st = {CMPI_RC_OK, nullptr};
  }
  // For an operation's status argument: the previous message is released first.
  CMPIStatus* out() {
    Clear();
    return &st;
  }
  CMPIrc rc() const { return st.rc; }
  std::string msg() const { return st.msg != nullptr ? st.msg->ft->getCharPtr(st.msg, nullptr) : ""; }
};

// "user:password" split for cmciConnect.
ClientPtr Connect(const std::string& scheme, const std::string& port, const std::string& account,
                  Status* status = nullptr) {
  const size_t colon = account.find(':');
  Status own;
  Status& s = status != nullptr ? *status : own;
  return ClientPtr(cmciConnect(tavikt::ControllerHost::Address(0).c_str(), scheme.c_str(), port.c_str(),
                               account.substr(0, colon).c_str(), account.substr(colon + 1).c_str(), s.out()));
}

Owned<CMPIObjectPath> Path(const char* ns, const char* cls,
                           const std::vector<std::pair<const char*, const char*>>& keys = {}) {
  Owned<CMPIObjectPath> p(newCMPIObjectPath(ns, cls, nullptr));
  for (const auto& k : keys) p->ft->addKey(p.get(), k.first, reinterpret_cast<const CMPIValue*>(k.second), CMPI_chars);
  return p;
}

// The values of an enumeration as text (data_to_string), in order; the enumeration is released.
std::vector<std::string> Texts(CMPIEnumeration* en, const char* property = nullptr) {
  std::vector<std::string> out;
  if (en == nullptr) return out;
  while (en->ft->hasNext(en, nullptr)) {
    const CMPIData d = en->ft->getNext(en, nullptr);
    if (property != nullptr && d.type == CMPI_instance) {
      out.push_back(data_to_string(d.value.inst->ft->getProperty(d.value.inst, property, nullptr)));
    } else if (property != nullptr && d.type == CMPI_ref) {
      out.push_back(data_to_string(d.value.ref->ft->getKey(d.value.ref, property, nullptr)));
    } else {
      out.push_back(data_to_string(d));
    }
  }
  en->ft->release(en);
  return out;
}

std::vector<std::string> Sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

std::string PathText(CMPIObjectPath* op) {
  CMPIData d;
  d.type = CMPI_ref;
  d.state = CMPI_goodValue;
  d.value.ref = op;
  return data_to_string(d);
}

std::string ClassName(CMPIConstClass* cls) {
  CMPIString* name = cls->ft->getClassName(cls, nullptr);
  return name != nullptr ? name->ft->getCharPtr(name, nullptr) : "";
}

bool Contains(const std::vector<std::string>& v, const std::string& s) {
  return std::find(v.begin(), v.end(), s) != v.end();
}

const char* const kControllerKeys[][2] = {{"CreationClassName", "Qelvo_ManagementController"}, {"Name", "TAVIK-0"}};

Owned<CMPIObjectPath> ControllerPath() {
  return Path("root/cimv2", "Qelvo_ManagementController",
              {{kControllerKeys[0][0], kControllerKeys[0][1]}, {kControllerKeys[1][0], kControllerKeys[1][1]}});
}

// One body in a simulated host with one second-generation controller.
void WithController(const std::function<void(tavikt::ControllerHost&)>& body) {
  nsfixture::Run([&] {
    ASSERT_NO_FATAL_FAILURE(ipmitest::MountPrivateDev());
    ASSERT_NO_FATAL_FAILURE(nettest::EnterNewNetns());
    tavikt::HostOptions o;
    o.generation = 2;
    o.sim_options = {"--firmware", "2.07"};
    tavikt::ControllerHost host(o);
    ASSERT_TRUE(host.ok()) << host.error();
    // Objects the native getters make live in the scope; the client's own must be freed by
    // their release.
    const long live = cmpinative::live_objects();
    {
      cmpinative::RequestScope scope;
      body(host);
    }
    EXPECT_EQ(live, cmpinative::live_objects()) << "every object the client handed out is freed";
  });
}

TEST(CimClient, EveryOperationAgainstTheController) {
  WithController([](tavikt::ControllerHost& host) {
    ClientPtr cc = Connect("http", "5988", host.Account(0));
    ASSERT_TRUE(cc);
    Status rc;

    // Classes: qualifiers, defaults, names and whole classes.
    {
      Owned<CMPIObjectPath> op = Path("root/cimv2", "Qelvo_ManagementController");
      Owned<CMPIConstClass> cls(cc->ft->getClass(cc.get(), op.get(), CMPI_FLAG_IncludeQualifiers, nullptr, rc.out()));
      ASSERT_TRUE(cls) << rc.msg();
      EXPECT_EQ("Qelvo_ManagementController", ClassName(cls.get()));
      EXPECT_EQ("5", data_to_string(cls->ft->getProperty(cls.get(), "EnabledState", rc.out()))) << "an inherited default";
      EXPECT_EQ("true", data_to_string(cls->ft->getPropertyQualifier(cls.get(), "Name", "Key", rc.out())));
      EXPECT_EQ("1.0.0", data_to_string(cls->ft->getQualifier(cls.get(), "Version", rc.out())));
      EXPECT_GT(cls->ft->getPropertyCount(cls.get(), nullptr), 10u);
      cls->ft->getProperty(cls.get(), "NoSuchProperty", rc.out());
      EXPECT_EQ(CMPI_RC_ERR_NO_SUCH_PROPERTY, rc.rc());

      const std::vector<std::string> deep = Texts(cc->ft->enumClassNames(
          cc.get(), Path("root/cimv2", "").get(), CMPI_FLAG_DeepInheritance, rc.out()));
      for (const char* c : {"CIM_ManagedElement", "CIM_SoftwareIdentity", "Qelvo_PendingSoftwareIdentity",
                            "CIM_ElementSoftwareIdentity", "CIM_AccountSettingData", "CIM_BIOSAttribute",
                            "Qelvo_LoopbackService", "Qelvo_AlertRecipient"})
        EXPECT_TRUE(Contains(deep, std::string("root/cimv2:") + c)) << c;
      EXPECT_EQ(std::vector<std::string>{"root/cimv2:Qelvo_PendingSoftwareIdentity"},
                Texts(cc->ft->enumClassNames(cc.get(), Path("root/cimv2", "CIM_SoftwareIdentity").get(), 0, rc.out())))
          << "only the direct subclasses without deep inheritance";
      CMPIEnumeration* classes =
          cc->ft->enumClasses(cc.get(), Path("root/interop", "").get(), CMPI_FLAG_DeepInheritance, rc.out());
      ASSERT_NE(nullptr, classes) << rc.msg();
      std::set<std::string> names;
      while (classes->ft->hasNext(classes, nullptr)) {
        CMPIData d = classes->ft->getNext(classes, nullptr);
        ASSERT_EQ(CMPI_class, d.type);
        auto* c = static_cast<CMPIConstClass*>(d.value.dataPtr.ptr);
        names.insert(ClassName(c));
      }
      classes->ft->release(classes);
      EXPECT_EQ(1u, names.count("CIM_Namespace"));
    }

    // Instances: names, enumerations (with and without a property list), one instance, a query.
    {
      EXPECT_EQ(Sorted({"root/cimv2", "root/interop"}),
                Sorted(Texts(cc->ft->enumInstanceNames(cc.get(), Path("root/interop", "CIM_Namespace").get(), rc.out()),
                             "Name")));
      CMPIEnumeration* names =
          cc->ft->enumInstanceNames(cc.get(), Path("root/interop", "CIM_Namespace").get(), rc.out());
      ASSERT_NE(nullptr, names);
      const CMPIData first = names->ft->getNext(names, nullptr);
      EXPECT_EQ(0u, PathText(first.value.ref).find("root/interop:CIM_Namespace."))
          << "the request's namespace on every name";
      Owned<CMPIEnumeration> copy(names->ft->clone(names, nullptr));
      names->ft->release(names);
      ASSERT_TRUE(copy);
      EXPECT_TRUE(copy->ft->hasNext(copy.get(), nullptr)) << "a clone keeps its own position and values";
      Owned<CMPIArray> all(copy->ft->toArray(copy.get(), nullptr));
      ASSERT_TRUE(all);
      EXPECT_EQ(2u, all->ft->getSize(all.get(), nullptr));

      Owned<CMPIObjectPath> sw = Path("root/cimv2", "CIM_SoftwareIdentity");
      EXPECT_EQ(Sorted({"0.98", "2.07", "9.90", "QXD3.10", "QXE142A"}),
                Sorted(Texts(cc->ft->enumInstances(cc.get(), sw.get(), CMPI_FLAG_DeepInheritance, nullptr, rc.out()),
                             "VersionString")))
          << "the firmware version follows the node's setting";
      char version[] = "VersionString";
      char* only[] = {version, nullptr};
      EXPECT_EQ(std::vector<std::string>(5, "NULL"),
                Texts(cc->ft->enumInstances(cc.get(), sw.get(), CMPI_FLAG_DeepInheritance, only, rc.out()), "ElementName"))
          << "a property list leaves the other properties out";

      Owned<CMPIInstance> ctl(cc->ft->getInstance(cc.get(), ControllerPath().get(), 0, nullptr, rc.out()));
      ASSERT_TRUE(ctl) << rc.msg();
      EXPECT_EQ("169.254.95.118", data_to_string(ctl->ft->getProperty(ctl.get(), "LinkAddress", nullptr)));
      EXPECT_EQ("{14,28}", data_to_string(ctl->ft->getProperty(ctl.get(), "Dedicated", nullptr)));

      EXPECT_EQ(std::vector<std::string>{"CIM:Qelvo:Tavik:Backup"},
                Texts(cc->ft->execQuery(cc.get(), Path("root/cimv2", "").get(),
                                        "SELECT * FROM CIM_SoftwareIdentity WHERE VersionString = \"0.98\"", "WQL",
                                        rc.out()),
                      "InstanceID"));
    }

    // Associations of the controller and of its primary firmware bank.
    {
      Owned<CMPIObjectPath> ctl = ControllerPath();
      EXPECT_EQ(Sorted({"CIM:Qelvo:Tavik:Backup", "CIM:Qelvo:Tavik:Primary"}),
                Sorted(Texts(cc->ft->associators(cc.get(), ctl.get(), "CIM_ElementSoftwareIdentity", nullptr, nullptr,
                                                 nullptr, 0, nullptr, rc.out()),
                             "InstanceID")));
      EXPECT_EQ(Sorted({"CIM:Qelvo:Tavik:Backup", "CIM:Qelvo:Tavik:Primary", "Qelvo:Pending:1"}),
                Sorted(Texts(cc->ft->associatorNames(cc.get(), ctl.get(), nullptr, "CIM_SoftwareIdentity", "System",
                                                     "InstalledSoftware", rc.out()),
                             "InstanceID")));
      EXPECT_EQ(Sorted({"{2,5,6}", "{4,6}"}),
                Sorted(Texts(cc->ft->references(cc.get(), ctl.get(), "CIM_ElementSoftwareIdentity", "Dependent", 0,
                                                nullptr, rc.out()),
                             "ElementSoftwareStatus")));
      Owned<CMPIObjectPath> primary =
          Path("root/cimv2", "CIM_SoftwareIdentity", {{"InstanceID", "CIM:Qelvo:Tavik:Primary"}});
      const std::vector<std::string> refs =
          Texts(cc->ft->referenceNames(cc.get(), primary.get(), nullptr, "InstalledSoftware", rc.out()));
      ASSERT_EQ(1u, refs.size()) << rc.msg();
      EXPECT_NE(std::string::npos, refs[0].find("root/cimv2:CIM_InstalledSoftwareIdentity")) << refs[0];
      EXPECT_TRUE(Texts(cc->ft->referenceNames(cc.get(), primary.get(), "CIM_ElementSoftwareIdentity", "System", rc.out()))
                      .empty())
          << "no such role";
    }

    // A method with a reference, an array and an interval, in and out.
    {
      Owned<CMPIObjectPath> svc = Path("root/cimv2", "Qelvo_LoopbackService",
                                       {{"SystemCreationClassName", "Qelvo_ManagementController"},
                                        {"SystemName", "TAVIK-0"},
                                        {"CreationClassName", "Qelvo_LoopbackService"},
                                        {"Name", "Loopback"}});
      Owned<CMPIArgs> in(native_new_CMPIArgs(nullptr));
      Owned<CMPIArgs> out(native_new_CMPIArgs(nullptr));
      Owned<CMPIObjectPath> element = ControllerPath();
      CMPIValue v;
      v.ref = element.get();
      in->ft->addArg(in.get(), "Element", &v, CMPI_ref);
      Owned<CMPIArray> lines(native_new_CMPIArray(2, CMPI_string, nullptr));
      lines->ft->setElementAt(lines.get(), 0, reinterpret_cast<const CMPIValue*>("first <line>"), CMPI_chars);
      lines->ft->setElementAt(lines.get(), 1, reinterpret_cast<const CMPIValue*>("second & last"), CMPI_chars);
      v.array = lines.get();
      in->ft->addArg(in.get(), "Lines", &v, CMPI_stringA);
      Owned<CMPIDateTime> interval(native_new_CMPIDateTime_fromBinary(90061000001ULL, 1, nullptr));
      v.dateTime = interval.get();
      in->ft->addArg(in.get(), "Interval", &v, CMPI_dateTime);

      const CMPIData result = cc->ft->invokeMethod(cc.get(), svc.get(), "Loopback", in.get(), out.get(), rc.out());
      ASSERT_EQ(CMPI_RC_OK, rc.rc()) << rc.msg();
      EXPECT_EQ(CMPI_uint32, result.type);
      EXPECT_EQ("0", data_to_string(result));
      EXPECT_EQ(data_to_string(in->ft->getArg(in.get(), "Element", nullptr)),
                data_to_string(out->ft->getArg(out.get(), "Element", nullptr)));
      EXPECT_EQ("{\"first <line>\",\"second & last\"}", data_to_string(out->ft->getArg(out.get(), "Lines", nullptr)));
      const CMPIData back = out->ft->getArg(out.get(), "Interval", nullptr);
      ASSERT_EQ(CMPI_dateTime, back.type);
      EXPECT_TRUE(back.value.dateTime->ft->isInterval(back.value.dateTime, nullptr));
      EXPECT_EQ(90061000001ULL, back.value.dateTime->ft->getBinaryFormat(back.value.dateTime, nullptr));
    }

    // Create, modify, read, delete.
    {
      Owned<CMPIObjectPath> op = Path("root/cimv2", "Qelvo_AlertRecipient", {{"Name", "pager"}});
      Owned<CMPIInstance> inst(native_new_CMPIInstance(op.get(), nullptr));
      inst->ft->setProperty(inst.get(), "Name", reinterpret_cast<const CMPIValue*>("pager"), CMPI_chars);
      inst->ft->setProperty(inst.get(), "Address", reinterpret_cast<const CMPIValue*>("10.1.2.3"), CMPI_chars);
      Owned<CMPIObjectPath> made(cc->ft->createInstance(cc.get(), op.get(), inst.get(), rc.out()));
      ASSERT_TRUE(made) << rc.msg();
      EXPECT_EQ("root/cimv2:Qelvo_AlertRecipient.Name=\"pager\"", PathText(made.get()));
      EXPECT_EQ(nullptr, cc->ft->createInstance(cc.get(), op.get(), inst.get(), rc.out()));
      EXPECT_EQ(CMPI_RC_ERR_ALREADY_EXISTS, rc.rc());

      inst->ft->setProperty(inst.get(), "Address", reinterpret_cast<const CMPIValue*>("10.9.9.9"), CMPI_chars);
      char address[] = "Address";
      char* only[] = {address, nullptr};
      CMPIStatus st = cc->ft->setInstance(cc.get(), made.get(), inst.get(), 0, only);
      EXPECT_EQ(CMPI_RC_OK, st.rc);
      CMPIValue yes;
      yes.boolean = 1;
      st = cc->ft->setProperty(cc.get(), made.get(), "Enabled", &yes, CMPI_boolean);
      EXPECT_EQ(CMPI_RC_OK, st.rc);
      EXPECT_EQ("10.9.9.9", data_to_string(cc->ft->getProperty(cc.get(), made.get(), "Address", rc.out())));
      Owned<CMPIInstance> got(cc->ft->getInstance(cc.get(), made.get(), 0, nullptr, rc.out()));
      ASSERT_TRUE(got) << rc.msg();
      EXPECT_EQ("true", data_to_string(got->ft->getProperty(got.get(), "Enabled", nullptr)));

      inst->ft->setProperty(inst.get(), "ElementName", reinterpret_cast<const CMPIValue*>("x"), CMPI_chars);
      st = cc->ft->setInstance(cc.get(), made.get(), inst.get(), 0, nullptr);
      EXPECT_EQ(CMPI_RC_ERR_NOT_SUPPORTED, st.rc) << "ElementName is not writable";
      if (st.msg != nullptr) st.msg->ft->release(st.msg);

      st = cc->ft->deleteInstance(cc.get(), made.get());
      EXPECT_EQ(CMPI_RC_OK, st.rc);
      EXPECT_EQ(nullptr, cc->ft->getInstance(cc.get(), made.get(), 0, nullptr, rc.out()));
      EXPECT_EQ(CMPI_RC_ERR_NOT_FOUND, rc.rc());
      st = cc->ft->deleteInstance(cc.get(), ControllerPath().get());
      EXPECT_EQ(CMPI_RC_ERR_NOT_SUPPORTED, st.rc) << "the controller itself cannot be deleted";
      if (st.msg != nullptr) st.msg->ft->release(st.msg);
    }

    // The same over HTTPS, verified against the host's trust store; and a clone.
    ClientPtr secure = Connect("https", "5989", host.Account(0));
    ClientPtr twin(secure->ft->clone(secure.get(), rc.out()));
    ASSERT_TRUE(twin);
    EXPECT_EQ(2u, Texts(twin->ft->enumInstanceNames(twin.get(), Path("root/interop", "CIM_Namespace").get(), rc.out()))
                      .size())
        << rc.msg();
  });
}

TEST(CimClient, FailuresComeBackAsStatus) {
  WithController([](tavikt::ControllerHost& host) {
    // Another authority, which the controller's certificate does not come from.
    ASSERT_EQ(0, nettest::RunCommand({TAVIK_CERTS_SCRIPT, "ca", "/tmp/other-ca"}));
    struct Case {
      const char* what;
      const char* scheme;
      const char* port;
      std::string account;
      const char* ns;
      const char* cls;
      const char* trust;  // cmciConnect2's trust store; null: cmciConnect
      CMPIrc rc;
      const char* message;  // part of the message
    } cases[] = {
        {"unknown class", "http", "5988", host.Account(0), "root/cimv2", "CIM_NoSuchClass", nullptr,
         CMPI_RC_ERR_INVALID_CLASS, "CIM_NoSuchClass"},
        {"unknown namespace", "http", "5988", host.Account(0), "root/nowhere", "CIM_SoftwareIdentity", nullptr,
         CMPI_RC_ERR_INVALID_NAMESPACE, "root/nowhere"},
        {"wrong account", "http", "5988", "TVKADM00:wrong", "root/cimv2", "CIM_SoftwareIdentity", nullptr,
         CMPI_RC_ERR_ACCESS_DENIED, "HTTP 401"},
        {"connection refused", "http", "5990", host.Account(0), "root/cimv2", "CIM_SoftwareIdentity", nullptr,
         CMPI_RC_ERR_FAILED, "5990"},
        {"untrusted certificate", "https", "5989", host.Account(0), "root/cimv2", "CIM_SoftwareIdentity",
         "/tmp/other-ca/ca.pem", CMPI_RC_ERR_FAILED, "certificate"},
        {"plain HTTP to the TLS port", "http", "5989", host.Account(0), "root/cimv2", "CIM_SoftwareIdentity", nullptr,
         CMPI_RC_ERR_FAILED, ""},
        {"the default account", "https", "5989", tavikt::ControllerHost::DefaultAccount(), "root/cimv2",
         "CIM_SoftwareIdentity", tavikt::ControllerHost::AuthorityFile(), CMPI_RC_OK, ""},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(c.what);
      Status rc;
      const size_t colon = c.account.find(':');
      const std::string user = c.account.substr(0, colon), password = c.account.substr(colon + 1);
      ClientPtr cc(c.trust == nullptr ? cmciConnect(tavikt::ControllerHost::Address(0).c_str(), c.scheme, c.port,
                                                    user.c_str(), password.c_str(), rc.out())
                                      : cmciConnect2(tavikt::ControllerHost::Address(0).c_str(), c.scheme, c.port,
                                                     user.c_str(), password.c_str(), CMCI_VERIFY_PEER, c.trust,
                                                     nullptr, nullptr, rc.out()));
      ASSERT_TRUE(cc) << "connecting makes no contact, so it cannot fail here";
      const std::vector<std::string> got =
          Texts(cc->ft->enumInstanceNames(cc.get(), Path(c.ns, c.cls).get(), rc.out()));
      EXPECT_EQ(c.rc, rc.rc()) << rc.msg();
      EXPECT_NE(std::string::npos, rc.msg().find(c.message)) << rc.msg();
      if (c.rc == CMPI_RC_OK) EXPECT_EQ(5u, got.size());
      else EXPECT_TRUE(got.empty());
    }

    // Without verification the other authority does not matter.
    Status rc;
    const std::string account = host.Account(0);
    const size_t colon = account.find(':');
    ClientPtr lax(cmciConnect2(tavikt::ControllerHost::Address(0).c_str(), "https", "5989",
                               account.substr(0, colon).c_str(), account.substr(colon + 1).c_str(), CMCI_VERIFY_NONE,
                               "/tmp/other-ca/ca.pem", nullptr, nullptr, rc.out()));
    EXPECT_EQ(2u, Texts(lax->ft->enumInstanceNames(lax.get(), Path("root/interop", "CIM_Namespace").get(), rc.out())).size())
        << rc.msg();

    // Arguments refused at once.
    EXPECT_EQ(nullptr, cmciConnect("169.254.95.118", "ftp", "21", "u", "p", rc.out()));
    EXPECT_EQ(CMPI_RC_ERR_INVALID_PARAMETER, rc.rc());
    EXPECT_EQ(nullptr, cmciConnect("169.254.95.118/x?", "http", "5988", "u", "p", rc.out()));
    EXPECT_EQ(CMPI_RC_ERR_INVALID_PARAMETER, rc.rc());
    EXPECT_EQ(nullptr, cmciConnect("169.254.95.118", "http", "59x8", "u", "p", rc.out()));
    EXPECT_EQ(CMPI_RC_ERR_INVALID_PARAMETER, rc.rc());
    ClientPtr cc(cmciConnect(tavikt::ControllerHost::Address(0).c_str(), nullptr, nullptr, account.substr(0, colon).c_str(),
                             account.substr(colon + 1).c_str(), rc.out()));
    ASSERT_TRUE(cc) << "http and 5988 by default";
    EXPECT_EQ(nullptr, cc->ft->enumInstances(cc.get(), nullptr, 0, nullptr, rc.out()));
    EXPECT_EQ(CMPI_RC_ERR_INVALID_PARAMETER, rc.rc());
    Owned<CMPIObjectPath> missing = Path("root/cimv2", "CIM_SoftwareIdentity", {{"InstanceID", "nothing"}});
    EXPECT_EQ(nullptr, cc->ft->getInstance(cc.get(), missing.get(), 0, nullptr, rc.out()));
    EXPECT_EQ(CMPI_RC_ERR_NOT_FOUND, rc.rc());
    Owned<CMPIObjectPath> svc = Path("root/cimv2", "Qelvo_LoopbackService");
    const CMPIData none = cc->ft->invokeMethod(cc.get(), svc.get(), "Reboot", nullptr, nullptr, rc.out());
    EXPECT_EQ(CMPI_RC_ERR_METHOD_NOT_FOUND, rc.rc()) << rc.msg();
    EXPECT_TRUE(none.state & CMPI_nullValue);
  });
}

// Clients held open at once each have a connection of their own. The trust store they name is
// read for the first of them only, and read again once the file has changed: a store of another
// authority then refuses the controller, the right one lets it in again.
TEST(CimClient, TrustStoreReadOncePerChange) {
  WithController([](tavikt::ControllerHost& host) {
    ASSERT_EQ(0, nettest::RunCommand({TAVIK_CERTS_SCRIPT, "ca", "/tmp/other-ca"}));
    const std::string trust = "/tmp/trust.pem", next = "/tmp/trust.pem.new";
    namespace fs = std::filesystem;
    fs::copy_file(tavikt::ControllerHost::AuthorityFile(), trust, fs::copy_options::overwrite_existing);
    const int in = inotify_init1(IN_NONBLOCK);
    ASSERT_GE(in, 0);
    const std::string account = host.Account(0);
    const size_t colon = account.find(':');
    struct Step {
      const char* what;
      const char* replace_with;  // a new trust store file first; null: none
      CMPIrc rc;
      int reads;  // opens of the trust store file
    } steps[] = {
        {"first connection", nullptr, CMPI_RC_OK, 1},
        {"second connection", nullptr, CMPI_RC_OK, 0},
        {"third connection", nullptr, CMPI_RC_OK, 0},
        {"another authority", "/tmp/other-ca/ca.pem", CMPI_RC_ERR_FAILED, 1},
        {"the controller's authority again", tavikt::ControllerHost::AuthorityFile(), CMPI_RC_OK, 1},
    };
    std::vector<ClientPtr> held;
    for (const Step& s : steps) {
      SCOPED_TRACE(s.what);
      if (s.replace_with != nullptr) {
        fs::copy_file(s.replace_with, next, fs::copy_options::overwrite_existing);
        fs::rename(next, trust);
      }
      const int wd = inotify_add_watch(in, trust.c_str(), IN_OPEN);
      ASSERT_GE(wd, 0);
      Status rc;
      held.emplace_back(cmciConnect2(tavikt::ControllerHost::Address(0).c_str(), "https", "5989",
                                     account.substr(0, colon).c_str(), account.substr(colon + 1).c_str(),
                                     CMCI_VERIFY_PEER, trust.c_str(), nullptr, nullptr, rc.out()));
      ASSERT_TRUE(held.back());
      const size_t got = Texts(held.back()->ft->enumInstanceNames(held.back().get(),
                                                                  Path("root/interop", "CIM_Namespace").get(), rc.out()))
                             .size();
      EXPECT_EQ(s.rc, rc.rc()) << rc.msg();
      EXPECT_EQ(s.rc == CMPI_RC_OK ? 2u : 0u, got);
      int reads = 0;
      alignas(inotify_event) char buf[4096];
      for (ssize_t n; (n = read(in, buf, sizeof buf)) > 0;)
        for (char* p = buf; p < buf + n; p += sizeof(inotify_event) + reinterpret_cast<inotify_event*>(p)->len)
          if ((reinterpret_cast<inotify_event*>(p)->mask & IN_OPEN) != 0) ++reads;
      EXPECT_EQ(s.reads, reads);
      inotify_rm_watch(in, wd);
    }
    close(in);
  });
}

}  // namespace
