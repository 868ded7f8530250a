// What the package broker's end-to-end tests share (pkgbroker_e2e.cpp, firmware_update_e2e.cpp).
#ifndef QELVO_E2E_PKGBROKER_SUPPORT_H
#define QELVO_E2E_PKGBROKER_SUPPORT_H

#include <functional>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace pkgtest {

// A package descriptor as the broker reads it (CRLF line ends).
std::string Descriptor(const std::string &type, const std::string &category, const std::string &name,
                       const std::string &id, const std::string &payload, const std::vector<std::string> &prereqs);
// The path of the broker's one instance, for wbemcli cm.
std::string BrokerPath();
// Calls a method of the broker with wbemcli; args as "Name=value,..." (may be empty).
e2e::Result Call(const std::string &broker, const std::string &method, const std::string &args);
// Starts InstallFromURI (expects 4096 and a job); the job's InstanceID.
std::string Start(const std::string &broker, const std::string &args);
// The job as Qelvo_ConcreteJob shows it (empty when there is none).
e2e::Object Job(const std::string &id);
// Polls the job until it leaves Running (4); `seen` is shown every state on the way.
e2e::Object Ended(const std::string &id, const std::function<void(const e2e::Object &)> &seen);

}  // namespace pkgtest

#endif  // QELVO_E2E_PKGBROKER_SUPPORT_H
