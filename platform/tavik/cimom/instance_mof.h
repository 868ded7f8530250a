// Instance declarations in MOF, as the controller CIMOM's instance store keeps its instances:
//
//   #pragma namespace ("root/cimv2")
//   instance of Qelvo_ManagementController as $Controller {
//      Name = "TAVIK-0";
//      Dedicated = { 14, 28 };
//   };
//   instance of CIM_ElementSoftwareIdentity { Antecedent = $Firmware; Dependent = $Controller; };
//
// Read: comments, #pragma namespace (other pragmas are ignored), instance declarations with an
// optional alias and qualifier lists (skipped), property values that are constants (strings,
// with adjacent strings joined and the usual backslash escapes, numbers, TRUE, FALSE, NULL),
// arrays of constants in braces, and aliases of instances declared earlier. The values stay
// text here; the store types them with the class declarations.
#ifndef QELVO_PLATFORM_TAVIK_INSTANCE_MOF_H
#define QELVO_PLATFORM_TAVIK_INSTANCE_MOF_H

#include <stdexcept>
#include <string>
#include <vector>

namespace tavikstore {

// One constant as written.
struct MofConstant {
  enum Kind { Null, String, Number, Boolean, Alias } kind = Null;
  std::string text;  // string content (unescaped), number or TRUE/FALSE as written, alias with '$'
};

struct MofProperty {
  std::string name;
  bool array = false;
  std::vector<MofConstant> items;  // one item for a scalar
  int line = 0;
};

struct MofInstance {
  std::string class_name;
  std::string alias;       // "$Controller", or empty
  std::string name_space;  // from the last #pragma namespace before it ("" when none)
  std::vector<MofProperty> properties;
  int line = 0;
};

// A syntax fault: what() reads "<file>:<line>: <message>".
class MofSyntaxError : public std::runtime_error {
 public:
  MofSyntaxError(const std::string& file, int line, const std::string& message)
      : std::runtime_error(file + ":" + std::to_string(line) + ": " + message) {}
};

// Reads the instance declarations of a MOF text. Anything but pragmas and instance declarations
// is a syntax error. Throws MofSyntaxError.
std::vector<MofInstance> ParseInstanceMof(const std::string& text, const std::string& file = "<mof>");

}  // namespace tavikstore

#endif  // QELVO_PLATFORM_TAVIK_INSTANCE_MOF_H
