#pragma once
// The JSON encoder: compact output, object members in sorted key order.
// Thread-safe
// Pure functions.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

struct JSONValue;
using JSONArray = std::vector<JSONValue>;
using JSONObject = std::map<std::string, JSONValue>;

struct JSONValue {
  std::variant<std::nullptr_t, bool, std::int64_t, double, std::string, JSONArray, JSONObject> value;

  JSONValue() : value(nullptr) {}
  JSONValue(std::nullptr_t) : value(nullptr) {}                      // NOLINT
  JSONValue(bool b) : value(b) {}                                     // NOLINT
  JSONValue(int i) : value(std::int64_t{i}) {}                        // NOLINT
  JSONValue(std::int64_t i) : value(i) {}                             // NOLINT
  JSONValue(double d) : value(d) {}                                   // NOLINT
  JSONValue(const char* s) : value(std::string(s)) {}                 // NOLINT
  JSONValue(std::string s) : value(std::move(s)) {}                   // NOLINT
  JSONValue(JSONArray a) : value(std::move(a)) {}                     // NOLINT
  JSONValue(JSONObject o) : value(std::move(o)) {}                    // NOLINT
};

namespace JSONEncoder {

/// The encoded text, or none when the value cannot be encoded (a number that
/// is not finite, or a text that is not valid UTF-8). Numbers use the
/// shortest text that reads back to the same value; integers stay integers.
std::optional<std::string> encode(const JSONValue& value);

/// Convenience for the common string-to-string dictionary.
std::optional<std::string> encode(const std::map<std::string, std::string>& dictionary);

}  // namespace JSONEncoder
