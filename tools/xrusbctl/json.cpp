// JSON output: numbers as integers where they are whole, strings escaped per RFC 8259.
#include "json.h"

#include <cmath>
#include <cstdio>

namespace xrusbctl {

Json &Json::operator[](const std::string &key) {
  if (kind_ == Kind::Null) kind_ = Kind::Object;
  for (auto &[k, v] : items_)
    if (k == key) return v;
  items_.emplace_back(key, Json());
  return items_.back().second;
}

Json &Json::Push(Json value) {
  if (kind_ == Kind::Null) kind_ = Kind::Array;
  items_.emplace_back(std::string(), std::move(value));
  return items_.back().second;
}

namespace {

void Quote(std::string &out, const std::string &s) {
  out += '"';
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
    } else if (c < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else {
      out += char(c);
    }
  }
  out += '"';
}

}  // namespace

std::string Json::Dump() const {
  std::string out;
  switch (kind_) {
    case Kind::Null: return "null";
    case Kind::Bool: return number_ ? "true" : "false";
    case Kind::Number: {
      char n[32];
      if (std::isfinite(number_) && number_ == std::floor(number_) && std::fabs(number_) < 1e18)
        std::snprintf(n, sizeof n, "%lld", (long long)number_);
      else if (std::isfinite(number_))
        std::snprintf(n, sizeof n, "%.6g", number_);
      else
        return "null";
      return n;
    }
    case Kind::String:
      Quote(out, text_);
      return out;
    case Kind::Array:
    case Kind::Object: {
      const bool object = kind_ == Kind::Object;
      out += object ? '{' : '[';
      for (size_t i = 0; i < items_.size(); ++i) {
        if (i) out += ',';
        if (object) {
          Quote(out, items_[i].first);
          out += ':';
        }
        out += items_[i].second.Dump();
      }
      out += object ? '}' : ']';
      return out;
    }
  }
  return out;
}

}  // namespace xrusbctl
