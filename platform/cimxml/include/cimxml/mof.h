/*
 * MOF class declarations: a reader for the part of the MOF grammar that
 * provider schemas use, and a writer whose output the reader reads back to
 * the same model.
 *
 * Read: comments (// and / * * /), #pragma lines (recorded; includes are
 * followed only when MofOptions::include_loader is set), qualifier
 * declarations, class declarations with qualifier lists (values, arrays,
 * flavors), superclass, properties (scalar, array "[]" or "[n]", reference
 * "Class REF name"), default values, methods with parameters (qualified,
 * arrays, references, reference arrays). Constants: strings (adjacent strings
 * concatenate; the usual backslash escapes; raw line breaks are accepted),
 * char16 'c', integers (decimal, 0x hexadecimal, 101b binary, 0 octal),
 * reals, TRUE/FALSE, NULL. Instance declarations ("instance of Class [as
 * $Alias] { Name = value; ... };", property qualifier lists skipped) are read
 * as written: their values stay constants, which whoever loads them types
 * with the class.
 *
 * Qualifier values get their type from a qualifier declaration seen earlier
 * (in this file or MofOptions::qualifier_types), else from the standard
 * qualifier table, else from the constant (string, sint64, real64, boolean;
 * a qualifier without a value is boolean TRUE).
 */
#ifndef QELVO_CIMXML_MOF_H
#define QELVO_CIMXML_MOF_H

#include <cimxml/base.h>
#include <cimxml/classmodel.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace cimxml {

struct QualifierDecl {
  std::string name;
  CimType type = CimType::Boolean;
  bool is_array = false;
  unsigned array_size = 0;
  Literal default_value;
  std::vector<std::string> scopes; /* "class", "property", "any", ... as written */
  bool overridable = true;
  bool tosubclass = true;
  bool translatable = false;

  bool operator==(const QualifierDecl &o) const;
};

struct Pragma {
  std::string name;  /* "namespace", "include", "locale", ... */
  std::string value;
  /* Number of classes declared before the pragma (where it stands). */
  std::size_t position = 0;
  bool operator==(const Pragma &o) const { return name == o.name && value == o.value && position == o.position; }
};

/* A constant of an instance declaration: string content (escapes resolved,
 * adjacent strings joined), a char16, an integer in canonical decimal, a real
 * as written, TRUE or FALSE, an alias with its '$'. */
struct MofConstant {
  enum Kind { Null, String, Char, Integer, Real, Boolean, Alias } kind = Null;
  std::string text;
};

struct InstanceDecl {
  struct Property {
    std::string name;
    bool array = false;
    std::vector<MofConstant> items; /* one item for a single value */
    int line = 0;
  };
  std::string class_name;
  std::string alias;      /* "$Name", or empty */
  std::string name_space; /* from the last #pragma namespace before it, or empty */
  std::vector<Property> properties;
  int line = 0;
};

struct MofFile {
  std::vector<Pragma> pragmas;
  std::vector<QualifierDecl> qualifier_decls;
  std::vector<ClassDecl> classes;
  std::vector<InstanceDecl> instances;

  const ClassDecl *find_class(const std::string &name) const;
};

/* A MOF syntax or typing fault: what() reads "<file>:<line>: <message>". */
class MofError : public Error {
 public:
  MofError(const std::string &file, int line, const std::string &message);
  const std::string &file() const { return file_; }
  int line() const { return line_; }
  const std::string &detail() const { return detail_; }

 private:
  std::string file_;
  int line_;
  std::string detail_;
};

struct MofOptions {
  /* Returns the text of an included file (by the name in #pragma include), or
   * nullopt when it cannot be found (MofError). Without a loader, includes
   * are only recorded as pragmas. */
  std::function<std::optional<std::string>(const std::string &name)> include_loader;
  /* Qualifier declarations known in advance (for example from a qualifiers
   * file read earlier). */
  std::vector<QualifierDecl> qualifier_types;
  /* Nesting limit for includes. */
  int max_include_depth = 16;
};

/* Reads a MOF text; `file_name` is used in error messages. Throws MofError. */
MofFile parse_mof(const std::string &text, const std::string &file_name = "<mof>",
                  const MofOptions &options = MofOptions());
/* Reads a file from disk (includes are resolved relative to its directory
 * unless options.include_loader is set). Throws MofError, or Error when the
 * file cannot be read. */
MofFile parse_mof_file(const std::string &path, MofOptions options = MofOptions());

/* MOF text of a whole file model: pragmas, qualifier declarations, classes. */
std::string write_mof(const MofFile &mof);
/* MOF text of one class declaration (ending with "};\n"). Propagated
 * features and qualifiers are left out, as a MOF declaration holds only what
 * the class itself declares. */
std::string write_class_mof(const ClassDecl &cls);

}  // namespace cimxml

#endif  // QELVO_CIMXML_MOF_H
