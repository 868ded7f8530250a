/*
 * The part of WQL (and CQL, which reads the same for these forms) the CIMOM
 * evaluates itself when a provider leaves ExecQuery to it:
 *
 *   SELECT * | prop [, prop]... FROM Class [WHERE condition]
 *
 * Conditions: comparisons (= <> != < > <= >=) between a property and a
 * literal (or two properties), IS [NOT] NULL, AND, OR, NOT and parentheses.
 * Literals: 'text' or "text", integers, reals, TRUE, FALSE, NULL. Keywords
 * and property names compare without regard to case; string values compare
 * exactly.
 */
#ifndef QELVO_CIMHOST_WQL_H
#define QELVO_CIMHOST_WQL_H

#include <cmpidt.h>
#include <cmpift.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace cimhost {

class QueryError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct WqlNode;

class WqlQuery {
 public:
  /* Throws QueryError for text outside the grammar above. */
  static WqlQuery parse(const std::string &text);

  const std::string &class_name() const { return class_name_; }
  /* Empty for SELECT *. */
  const std::vector<std::string> &select_list() const { return select_; }
  /* True when the instance satisfies the WHERE condition (or there is none). */
  bool matches(const CMPIInstance *inst) const;

 private:
  std::string class_name_;
  std::vector<std::string> select_;
  std::shared_ptr<WqlNode> where_;
};

}  // namespace cimhost

#endif  // QELVO_CIMHOST_WQL_H
