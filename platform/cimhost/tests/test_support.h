// Shared helpers of the CIMOM's unit tests.
#ifndef QELVO_CIMHOST_TESTS_SUPPORT_H
#define QELVO_CIMHOST_TESTS_SUPPORT_H

#include <cimxml/cimxml.h>

#include <memory>
#include <string>
#include <vector>

#include "cimom.h"

namespace cimhosttest {

// A CIMOM over the test schema (tests/data) and the test providers.
std::unique_ptr<cimhost::Cimom> MakeCimom();

// Runs a request document through Cimom::execute and reads the answer.
cimxml::Response Execute(cimhost::Cimom &cimom, const std::string &request);

// "test/ns:Test_Widget.Name=\"w1\"" style paths, caller-owned.
cimxml::PathPtr WidgetPath(const std::string &name, const std::string &cls = "Test_Widget",
                           const std::string &ns = "test/ns");

// Text of a property of a decoded instance ("" when absent or null).
std::string Prop(const CMPIInstance *inst, const std::string &name);
std::string KeyOf(const CMPIObjectPath *op, const std::string &key);

}  // namespace cimhosttest

#endif
