#include "Foundation/JSONEncoder.h"

#include <cmath>

#include "Foundation/TraceFormat.h"

namespace {

// Length of the UTF-8 sequence starting at text[i], or 0 when it is invalid.
std::size_t utf8SequenceLength(const std::string& text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  std::size_t length;
  std::uint32_t codePoint;
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) {
    length = 2;
    codePoint = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
    codePoint = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4;
    codePoint = lead & 0x07;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    codePoint = (codePoint << 6) | (byte(i + k) & 0x3F);
  }
  static constexpr std::uint32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
  if (codePoint < kMinimum[length] || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
    return 0;
  return length;
}

bool appendString(std::string& out, const std::string& text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = utf8SequenceLength(text, i);
    if (length == 0) return false;
    if (length > 1) {
      out.append(text, i, length);
      i += length;
      continue;
    }
    const unsigned char c = static_cast<unsigned char>(text[i++]);
    switch (c) {
      case '"': out.append("\\\""); break;
      case '\\': out.append("\\\\"); break;
      case '\b': out.append("\\b"); break;
      case '\f': out.append("\\f"); break;
      case '\n': out.append("\\n"); break;
      case '\r': out.append("\\r"); break;
      case '\t': out.append("\\t"); break;
      default:
        if (c < 0x20) {
          out.append("\\u00");
          out.push_back(kHex[c >> 4]);
          out.push_back(kHex[c & 0xF]);
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  out.push_back('"');
  return true;
}

bool appendValue(std::string& out, const JSONValue& value) {
  return std::visit(
      [&](const auto& v) -> bool {
        using V = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<V, std::nullptr_t>) {
          out.append("null");
        } else if constexpr (std::is_same_v<V, bool>) {
          out.append(v ? "true" : "false");
        } else if constexpr (std::is_same_v<V, std::int64_t>) {
          out.append(std::to_string(v));
        } else if constexpr (std::is_same_v<V, double>) {
          if (!std::isfinite(v)) return false;
          out.append(formatNumber(v));
        } else if constexpr (std::is_same_v<V, std::string>) {
          return appendString(out, v);
        } else if constexpr (std::is_same_v<V, JSONArray>) {
          out.push_back('[');
          for (std::size_t i = 0; i < v.size(); ++i) {
            if (i > 0) out.push_back(',');
            if (!appendValue(out, v[i])) return false;
          }
          out.push_back(']');
        } else {
          out.push_back('{');
          bool first = true;
          for (const auto& [key, member] : v) {
            if (!first) out.push_back(',');
            first = false;
            if (!appendString(out, key)) return false;
            out.push_back(':');
            if (!appendValue(out, member)) return false;
          }
          out.push_back('}');
        }
        return true;
      },
      value.value);
}

}  // namespace

namespace JSONEncoder {

std::optional<std::string> encode(const JSONValue& value) {
  std::string out;
  if (!appendValue(out, value)) return std::nullopt;
  return out;
}

std::optional<std::string> encode(const std::map<std::string, std::string>& dictionary) {
  JSONObject object;
  for (const auto& [key, text] : dictionary) object.emplace(key, text);
  return encode(JSONValue(std::move(object)));
}

}  // namespace JSONEncoder
