// A small JSON value for --json output: built by the commands, printed once per command.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace xrusbctl {

class Json {
 public:
  Json() = default;  // null
  Json(bool b) : kind_(Kind::Bool), number_(b) {}
  Json(int v) : kind_(Kind::Number), number_(double(v)) {}
  Json(unsigned v) : kind_(Kind::Number), number_(double(v)) {}
  Json(int64_t v) : kind_(Kind::Number), number_(double(v)) {}
  Json(uint64_t v) : kind_(Kind::Number), number_(double(v)) {}
  Json(double v) : kind_(Kind::Number), number_(v) {}
  Json(const char *s) : kind_(Kind::String), text_(s) {}
  Json(std::string s) : kind_(Kind::String), text_(std::move(s)) {}

  static Json Array() { return Json(Kind::Array); }
  static Json Object() { return Json(Kind::Object); }

  // Objects keep their keys in the order they were set.
  Json &operator[](const std::string &key);
  Json &Push(Json value);
  bool IsNull() const { return kind_ == Kind::Null; }
  size_t Size() const { return items_.size(); }

  std::string Dump() const;

 private:
  enum class Kind { Null, Bool, Number, String, Array, Object };
  explicit Json(Kind k) : kind_(k) {}

  Kind kind_ = Kind::Null;
  double number_ = 0;
  std::string text_;
  std::vector<std::pair<std::string, Json>> items_;  // array items have empty keys
};

}  // namespace xrusbctl
