// Generates a staging area for the host CIMOM with the pass-through provider's classes and
// registration, from the controller's own schema, laid out as the schema import stages it: every
// class the controller's CIMOM holds in root/cimv2 and root/interop becomes a class of
// qelvo/tavikN/cimv2 and qelvo/tavikN/interop (N from 0 to 3), served by QelvoTPP in
// libbmcrelay.so. The controller's classes are placed by the CIMOM's own repository rules, so
// each host namespace holds exactly what the controller's namespace holds.
//
//   tpp-schema-gen CONTROLLER_SCHEMA_DIR STAGE_DIR
//
// writes STAGE_DIR/mofs/qelvo/tavikN/cimv2/cimv2.mof, .../interop/interop.mof and
// STAGE_DIR/regs/qelvotpp.reg. Exits 1 when the controller's schema has a fault.
#include <cimxml/mof.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "repository.h"

namespace {

constexpr int kNodes = 4;

struct ControllerNamespace {
  const char *name;    // on the controller
  const char *suffix;  // of the host namespaces
};
const ControllerNamespace kNamespaces[] = {{"root/cimv2", "cimv2"}, {"root/interop", "interop"}};

std::string HostNamespace(int node, const char *suffix) {
  return "qelvo/tavik" + std::to_string(node) + "/" + suffix;
}

bool WriteFile(const std::string &path, const std::string &text) {
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  if (ec) return false;
  const std::string tmp = path + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.good()) return false;
  }
  return std::rename(tmp.c_str(), path.c_str()) == 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    std::cerr << "usage: tpp-schema-gen CONTROLLER_SCHEMA_DIR STAGE_DIR\n";
    return 2;
  }
  cimhost::RepositoryBuilder builder;
  builder.add_schema_dir(argv[1]);
  std::unique_ptr<cimhost::Repository> repo = builder.build();
  if (!builder.warnings().empty()) {
    for (const std::string &w : builder.warnings()) std::cerr << "tpp-schema-gen: " << w << "\n";
    return 1;
  }

  const std::string stage = argv[2];
  std::ostringstream reg;
  reg << "# The management controller's classes, served through the pass-through provider QelvoTPP.\n"
         "# Generated from the controller's schema by tpp-schema-gen.\n";
  std::vector<std::string> order;                          // class names, first seen first
  std::map<std::string, const cimxml::ClassDecl *> decls;  // by name
  std::map<std::string, std::string> namespaces;           // class -> its host namespaces
  for (int node = 0; node < kNodes; ++node) {
    for (const ControllerNamespace &ns : kNamespaces) {
      const std::string host = HostNamespace(node, ns.suffix);
      std::ostringstream mof;
      mof << "// The management controller's classes of " << ns.name << " as the host shows them in " << host
          << ".\n// Generated from the controller's schema by tpp-schema-gen.\n\n";
      for (const cimxml::ClassDecl *c : repo->classes(ns.name, "", true)) {
        mof << cimxml::write_class_mof(*c) << "\n";
        if (decls.emplace(c->name, c).second) order.push_back(c->name);
        namespaces[c->name] += " " + host;
      }
      const std::string path = stage + "/mofs/" + host + "/" + ns.suffix + ".mof";
      if (!WriteFile(path, mof.str())) {
        std::cerr << "tpp-schema-gen: cannot write " << path << "\n";
        return 1;
      }
    }
  }
  if (order.empty()) {
    std::cerr << "tpp-schema-gen: " << argv[1] << " holds no classes\n";
    return 1;
  }
  for (const std::string &name : order) {
    reg << "\n[" << name << "]\n"
        << "   provider: QelvoTPP\n"
        << "   location: bmcrelay\n"
        << "   type: " << (decls[name]->is_association() ? "association " : "") << "instance method\n"
        << "   group: bmcrelay\n"
        << "   namespace:" << namespaces[name] << "\n";
  }
  if (!WriteFile(stage + "/regs/qelvotpp.reg", reg.str())) {
    std::cerr << "tpp-schema-gen: cannot write to " << stage << "/regs\n";
    return 1;
  }
  return 0;
}
