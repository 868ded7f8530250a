#include "test_support.h"

#include <cmpi_native.h>

namespace cimhosttest {

std::unique_ptr<cimhost::Cimom> MakeCimom() {
  cimhost::RepositoryBuilder b;
  b.add_schema_dir(CIMHOST_TEST_DATA);
  return std::make_unique<cimhost::Cimom>(b.build(), std::vector<std::string>{CIMHOST_TEST_PROVIDERS});
}

cimxml::Response Execute(cimhost::Cimom &cimom, const std::string &request) {
  cimxml::Request req = cimxml::parse_request(request);
  return cimxml::parse_response(cimom.execute(req, "root"));
}

cimxml::PathPtr WidgetPath(const std::string &name, const std::string &cls, const std::string &ns) {
  cimxml::PathPtr p(newCMPIObjectPath(ns.c_str(), cls.c_str(), nullptr));
  CMPIValue v;
  v.string = native_new_CMPIString(name.c_str(), nullptr);
  p->ft->addKey(p.get(), "Name", &v, CMPI_string);
  v.string->ft->release(v.string);
  return p;
}

std::string Prop(const CMPIInstance *inst, const std::string &name) {
  cmpinative::RequestScope scope;
  CMPIStatus st = {CMPI_RC_OK, nullptr};
  const CMPIData d = inst->ft->getProperty(inst, name.c_str(), &st);
  if (st.rc != CMPI_RC_OK || (d.state & CMPI_nullValue)) return "";
  return cmpinative::data_to_string(d);
}

std::string KeyOf(const CMPIObjectPath *op, const std::string &key) {
  cmpinative::RequestScope scope;
  CMPIStatus st = {CMPI_RC_OK, nullptr};
  const CMPIData d = op->ft->getKey(op, key.c_str(), &st);
  if (st.rc != CMPI_RC_OK || (d.state & CMPI_nullValue)) return "";
  return cmpinative::data_to_string(d);
}

}  // namespace cimhosttest
