// A provider written to the wrapper classes, for the wrapper's tests. The class of the request
// path picks what an operation does, so that each way an operation can end is reachable.
#include <CmpiArray.h>
#include <CmpiInstanceMI.h>
#include <CmpiMethodMI.h>
#include <CmpiPropertyList.h>

#include <atomic>
#include <cstring>
#include <stdexcept>

namespace {

std::atomic<unsigned> constructions{0};
std::atomic<unsigned> destructions{0};
std::atomic<unsigned> cleanups{0};

class WrapProvider : public CmpiInstanceMI, public CmpiMethodMI {
 public:
  WrapProvider(const CmpiBroker &mbp, const CmpiContext &ctx)
      : CmpiBaseMI(mbp, ctx), CmpiInstanceMI(mbp, ctx), CmpiMethodMI(mbp, ctx) {
    ++constructions;
  }
  ~WrapProvider() override { ++destructions; }

  CmpiStatus cleanup(CmpiContext &) override {
    ++cleanups;
    return CmpiStatus(CMPI_RC_OK);
  }

  CmpiStatus enumInstanceNames(const CmpiContext &, CmpiResult &rslt, const CmpiObjectPath &cop) override {
    const CmpiString cls = cop.getClassName();
    if (cls.equalsIgnoreCase("Wrap_Throws")) throw CmpiStatus(CMPI_RC_ERR_NOT_FOUND, "nothing here");
    if (cls.equalsIgnoreCase("Wrap_StdThrow")) throw std::runtime_error("boom");
    if (cls.equalsIgnoreCase("Wrap_IntThrow")) throw 42;
    if (cls.equalsIgnoreCase("Wrap_Returns")) return CmpiStatus(CMPI_RC_ERR_ACCESS_DENIED, "returned, not thrown");
    if (cls.equalsIgnoreCase("Wrap_Mismatch")) {
      const CmpiData number(CMPIUint32(7));
      const char *text = number;  // not a string: throws
      (void)text;
    }
    CmpiObjectPath path(cop.getNameSpace(), "Wrap_Item");
    path.setKey("Name", CmpiData("one"));
    rslt.returnData(path);
    rslt.returnDone();
    return CmpiStatus(CMPI_RC_OK);
  }

  CmpiStatus enumInstances(const CmpiContext &, CmpiResult &rslt, const CmpiObjectPath &cop,
                           const char **properties) override {
    rslt.returnData(Item(cop.getNameSpace(), "one", properties));
    rslt.returnDone();
    return CmpiStatus(CMPI_RC_OK);
  }

  CmpiStatus getInstance(const CmpiContext &, CmpiResult &rslt, const CmpiObjectPath &cop,
                         const char **properties) override {
    const char *name = cop.getKey("Name");  // throws for a path without the key
    rslt.returnData(Item(cop.getNameSpace(), name, properties));
    rslt.returnDone();
    return CmpiStatus(CMPI_RC_OK);
  }

  CmpiStatus invokeMethod(const CmpiContext &, CmpiResult &rslt, const CmpiObjectPath &, const char *method,
                          const CmpiArgs &in, CmpiArgs &out) override {
    if (std::strcmp(method, "Echo") != 0) return CmpiStatus(CMPI_RC_ERR_METHOD_NOT_FOUND, method);
    const CmpiString text = in.getArg("Text");
    out.setArg("Copy", CmpiData(text));
    rslt.returnData(CmpiData(CMPIUint32(constructions.load())));
    rslt.returnDone();
    return CmpiStatus(CMPI_RC_OK);
  }

 private:
  CmpiInstance Item(const CmpiString &ns, const char *name, const char **properties) {
    CmpiObjectPath path(ns, "Wrap_Item");
    path.setKey("Name", CmpiData(name));
    CmpiInstance inst(path);
    const char *keys[] = {"Name", nullptr};
    inst.setPropertyFilter(properties, keys);
    inst.setProperty("Name", CmpiData(name));
    inst.setProperty("Constructions", CmpiData(CMPIUint32(constructions.load())));
    inst.setProperty("Cleanups", CmpiData(CMPIUint32(cleanups.load())));
    inst.setProperty("Destructions", CmpiData(CMPIUint32(destructions.load())));
    inst.setProperty("Ready", CmpiBooleanData(true));
    CmpiArray items(2, CMPI_string);
    items[0] = CmpiData("first");
    items[1] = CmpiData(CmpiString("second"));
    inst.setProperty("Items", CmpiData(items));
    return inst;
  }
};

// A provider that must stay loaded, and one whose initialisation fails.
class PinnedProvider : public CmpiInstanceMI {
 public:
  PinnedProvider(const CmpiBroker &mbp, const CmpiContext &ctx) : CmpiBaseMI(mbp, ctx), CmpiInstanceMI(mbp, ctx) {}
  int isUnloadable() const override { return 0; }
};

class BrokenProvider : public CmpiInstanceMI {
 public:
  BrokenProvider(const CmpiBroker &mbp, const CmpiContext &ctx) : CmpiBaseMI(mbp, ctx), CmpiInstanceMI(mbp, ctx) {}
  CmpiStatus initialize(const CmpiContext &) override { return CmpiStatus(CMPI_RC_ERR_FAILED, "cannot start"); }
};

}  // namespace

CMProviderBase(WrapProvider)
CMInstanceMIFactory(WrapProvider, WrapProvider)
CMMethodMIFactory(WrapProvider, WrapProvider)

CMProviderBase(PinnedProvider)
CMInstanceMIFactory(PinnedProvider, PinnedProvider)

CMProviderBase(BrokenProvider)
CMInstanceMIFactory(BrokenProvider, BrokenProvider)
