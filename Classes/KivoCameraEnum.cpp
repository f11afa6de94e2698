#include "KivoCameraEnum.h"

#include <ostream>

namespace {

// Raw values are what the analytics events send and what fromRawValue looks
// up: a repeated one would make a case unreachable.
template <class E>
constexpr bool hasDistinctRawValues() {
  const auto& cases = KivoEnumTable<E>::cases;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    for (std::size_t j = i + 1; j < cases.size(); ++j) {
      if (cases[i].raw == cases[j].raw) return false;
    }
  }
  return true;
}

static_assert(hasDistinctRawValues<KivoCameraError>());
static_assert(hasDistinctRawValues<KivoCameraAuthorizationStatus>());
static_assert(hasDistinctRawValues<SessionSetupResult>());
static_assert(hasDistinctRawValues<KivoMotionState>());
static_assert(hasDistinctRawValues<KivoCameraPerfomanceStep>());

template <KivoRawRepresentable E>
std::ostream& printCase(std::ostream& os, E value) {
  if (const auto name = caseName(value); !name.empty()) return os << name;
  return os << static_cast<std::underlying_type_t<E>>(value);
}

}  // namespace

std::ostream& operator<<(std::ostream& os, KivoCameraError value) {
  return printCase(os, value);
}

std::ostream& operator<<(std::ostream& os,
                         KivoCameraAuthorizationStatus value) {
  return printCase(os, value);
}

std::ostream& operator<<(std::ostream& os, SessionSetupResult value) {
  return printCase(os, value);
}

std::ostream& operator<<(std::ostream& os, KivoMotionState value) {
  return printCase(os, value);
}

std::ostream& operator<<(std::ostream& os, KivoCameraPerfomanceStep value) {
  return printCase(os, value);
}
