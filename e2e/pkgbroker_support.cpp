// What the package broker's end-to-end tests share: descriptors, the broker's path, starting a
// request and following its job.
#include "pkgbroker_support.h"

#include <gtest/gtest.h>

#include <cctype>

namespace pkgtest {

std::string Descriptor(const std::string &type, const std::string &category, const std::string &name,
                       const std::string &id, const std::string &payload, const std::vector<std::string> &prereqs) {
  auto prop = [](const std::string &n, const std::string &t, const std::string &v) {
    return "  <PROPERTY NAME=\"" + n + "\" TYPE=\"" + t + "\">\r\n    <VALUE>" + v + "</VALUE>\r\n  </PROPERTY>\r\n";
  };
  std::string list;
  if (!prereqs.empty()) {
    list = "  <PROPERTY.ARRAY NAME=\"preReq\" TYPE=\"string\">\r\n    <VALUE.ARRAY>\r\n";
    for (const std::string &p : prereqs) list += "      <VALUE>" + p + "</VALUE>\r\n";
    list += "    </VALUE.ARRAY>\r\n  </PROPERTY.ARRAY>\r\n";
  }
  return "<INSTANCE CLASSNAME=\"Qelvo_SoftwareIdentity\">\r\n" + prop("Name", "string", name) +
         prop("type", "uint16", type) + prop("category", "string", category) + prop("payload", "string", payload) +
         prop("identificationCode", "string", id) + list + "</INSTANCE>\r\n";
}

std::string BrokerPath() {
  const e2e::Result r = e2e::Wbem("ein", "selk/cimv2:MORV_VMpkgInstallationService");
  EXPECT_EQ(r.status, 0) << r.Describe();
  const std::vector<std::string> lines = e2e::Lines(r.out);
  EXPECT_EQ(lines.size(), 1u) << r.out;
  return lines.size() == 1 ? lines[0].substr(lines[0].find('/') + 1) : "";
}

e2e::Result Call(const std::string &broker, const std::string &method, const std::string &args) {
  return e2e::Wbem("cm", broker, {args.empty() ? method : method + "." + args}, {"-nl"});
}

std::string Start(const std::string &broker, const std::string &args) {
  const e2e::Result r = Call(broker, "InstallFromURI", args);
  const e2e::MethodAnswer a = e2e::ParseMethod(r);
  EXPECT_TRUE(a.ok) << r.Describe();
  EXPECT_EQ(a.return_value, "4096") << a.raw;
  const std::string ref = a.out.count("Job") ? a.out.at("Job") : "";
  EXPECT_NE(ref.find("CIM_ConcreteJob"), std::string::npos) << a.raw;
  const size_t k = ref.find("Selk-");
  std::string id = k == std::string::npos ? "" : "Selk-";
  for (size_t i = k + 5; k != std::string::npos && i < ref.size() && isdigit(static_cast<unsigned char>(ref[i])); ++i)
    id += ref[i];
  return id;
}

e2e::Object Job(const std::string &id) {
  const e2e::Result r = e2e::Wbem("gi", "selk/cimv2:Qelvo_ConcreteJob.InstanceID=\"" + id + "\"", {}, {"-nl"});
  const std::vector<e2e::Object> objs = e2e::ParseObjects(r.out);
  return objs.size() == 1 ? objs[0] : e2e::Object{};
}

e2e::Object Ended(const std::string &id, const std::function<void(const e2e::Object &)> &seen) {
  e2e::Object job;
  e2e::Eventually(
      [&] {
        job = Job(id);
        if (seen) seen(job);
        return job.Has("JobState") && job.Get("JobState") != "4";
      },
      240);
  return job;
}

}  // namespace pkgtest
