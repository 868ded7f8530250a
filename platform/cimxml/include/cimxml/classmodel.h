/*
 * The class model: classes with their qualifiers, properties, methods and
 * parameters, as read from MOF or from a CIM-XML CLASS element and written to
 * either. Values in the model (qualifier values, property defaults) are kept as
 * their canonical CIM text (see scalar_to_text), one entry per array element,
 * so the model has no native objects and copies freely.
 *
 * Names compare without regard to case, as CIM names do.
 */
#ifndef QELVO_CIMXML_CLASSMODEL_H
#define QELVO_CIMXML_CLASSMODEL_H

#include <cimxml/base.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cimxml {

/* A constant value in the model: null, a scalar (one item) or an array. For
 * references the item is the path text (path_to_text). */
struct Literal {
  bool null = true;
  bool array = false;
  std::vector<std::string> items;

  static Literal scalar(std::string text);
  static Literal list(std::vector<std::string> items);
  static Literal null_value(bool array = false);
  bool operator==(const Literal &o) const;
  bool operator!=(const Literal &o) const { return !(*this == o); }
};

struct Qualifier {
  std::string name;
  CimType type = CimType::Boolean;
  bool is_array = false;
  Literal value;
  /* Flavors. */
  bool overridable = true;
  bool tosubclass = true;
  bool translatable = false;
  /* True when inherited rather than given on this element. */
  bool propagated = false;

  bool operator==(const Qualifier &o) const;
  bool operator!=(const Qualifier &o) const { return !(*this == o); }
};

using QualifierList = std::vector<Qualifier>;

/* The qualifier called `name` in `list`, or null. */
const Qualifier *find_qualifier(const QualifierList &list, std::string_view name);
/* True when `list` holds the boolean qualifier `name` with the value TRUE. */
bool qualifier_true(const QualifierList &list, std::string_view name);
/* The first item of a scalar qualifier's value, or "" when absent or null. */
std::string qualifier_text(const QualifierList &list, std::string_view name);

struct PropertyDecl {
  std::string name;
  CimType type = CimType::String;
  bool is_array = false;
  unsigned array_size = 0; /* fixed size from "[n]"; 0 for variable arrays */
  std::string reference_class; /* for CimType::Reference */
  QualifierList qualifiers;
  Literal default_value; /* null: no default */
  std::string class_origin;
  bool propagated = false;

  bool is_key() const { return qualifier_true(qualifiers, "Key"); }
  bool operator==(const PropertyDecl &o) const;
  bool operator!=(const PropertyDecl &o) const { return !(*this == o); }
};

struct ParameterDecl {
  std::string name;
  CimType type = CimType::String;
  bool is_array = false;
  unsigned array_size = 0;
  std::string reference_class;
  QualifierList qualifiers;

  /* IN defaults to TRUE and OUT to FALSE when the qualifier is absent. */
  bool is_in() const;
  bool is_out() const;
  bool operator==(const ParameterDecl &o) const;
  bool operator!=(const ParameterDecl &o) const { return !(*this == o); }
};

struct MethodDecl {
  std::string name;
  CimType return_type = CimType::Uint32;
  QualifierList qualifiers;
  std::vector<ParameterDecl> parameters;
  std::string class_origin;
  bool propagated = false;

  const ParameterDecl *parameter(std::string_view name) const;
  bool operator==(const MethodDecl &o) const;
  bool operator!=(const MethodDecl &o) const { return !(*this == o); }
};

/* Where each property of a class is found by its name (see
 * ClassDecl::index_properties). Never changed once made. */
class PropertyIndex;

struct ClassDecl {
  std::string name;
  std::string superclass; /* empty for a root class */
  QualifierList qualifiers;
  std::vector<PropertyDecl> properties;
  std::vector<MethodDecl> methods;
  /* Made by index_properties and shared by copies; not part of the
   * declaration's value. */
  std::shared_ptr<const PropertyIndex> property_index;

  /* The first property called `name`, or null. With a name index made for
   * as many properties as there are, the name is looked up there; what is
   * found there is checked against the property's name, and a name not
   * found is looked for along the whole list, so a list changed since (a
   * property renamed, moved or replaced) is still searched as it stands;
   * only a change that gives two properties one name may then find the
   * later of them. */
  const PropertyDecl *property(std::string_view name) const;
  PropertyDecl *property(std::string_view name);
  /* Makes the name index of the properties, for a declaration that is
   * complete (the decoder and resolve_class make it). Like any change, not
   * while other threads read the declaration. */
  void index_properties();
  const MethodDecl *method(std::string_view name) const;
  MethodDecl *method(std::string_view name);
  const Qualifier *qualifier(std::string_view name) const { return find_qualifier(qualifiers, name); }
  bool is_association() const { return qualifier_true(qualifiers, "Association"); }
  bool is_abstract() const { return qualifier_true(qualifiers, "Abstract"); }
  /* Names of the properties qualified Key, in declaration order. */
  std::vector<std::string> key_names() const;

  bool operator==(const ClassDecl &o) const;
  bool operator!=(const ClassDecl &o) const { return !(*this == o); }
};

/* The class as a repository serves it: the features of `parent` (itself
 * already resolved, or null for a root class) followed by those `cls` adds,
 * with the ones `cls` declares again replacing the inherited ones in place.
 * Inherited features and qualifiers are marked propagated and keep their
 * class origin; features of `cls` get `cls.name` as class origin. Qualifiers
 * of a redeclared feature are merged: those given on the redeclaration win,
 * inherited ones with the tosubclass flavor are kept. Class qualifiers are
 * inherited likewise, except restricted ones (tosubclass false, such as
 * Abstract). Throws Error(CMPI_RC_ERR_INVALID_SUPERCLASS) when `parent` is
 * not cls's superclass. */
ClassDecl resolve_class(const ClassDecl &cls, const ClassDecl *parent);

/* ---------------------------------------------------------- standard qualifiers */

/* The type and flavors of the qualifiers DSP0004 defines (Key, Description,
 * ValueMap, Values, IN, OUT, Association, Abstract, EmbeddedInstance, MaxLen,
 * ...), used to type qualifier values read from MOF without a declaration.
 * Null when `name` is not a standard qualifier. */
struct QualifierInfo {
  const char *name;
  CimType type;
  bool is_array;
  bool tosubclass;
  bool overridable;
  bool translatable;
};
const QualifierInfo *standard_qualifier(const std::string &name);

}  // namespace cimxml

#endif  // QELVO_CIMXML_CLASSMODEL_H
