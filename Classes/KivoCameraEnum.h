#pragma once

// The component's code enumerations: failure codes, permission outcome,
// session setup outcome, timed steps and motion state.
//
// Each enumeration has one constexpr table, generated from a single case list
// so that a case, its raw value and its name cannot drift apart. The uniform
// API over all of them:
//   fromRawValue<E>(raw)  the case with that raw value, or none
//   rawValue(e)           std::int64_t, or std::string_view for the timed steps
//   caseName(e)           the case name as spelled in the declaration
//   os << e               prints the case name
// Equality and std::hash are the enumerations' own and go by raw value.
//
// Thread-safe
// Pure values and constexpr functions.

#include <array>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string_view>
#include <type_traits>

// Case lists: X(name, raw value), in declaration order.

// Every failure the component reports. Three bands: configuration and
// control (10000...), session notifications (20000...), colour space (30000).
#define KIVO_CAMERA_ERROR_CASES(X)     \
  X(configFailed, 10000)               \
  X(lockingConfiguration, 10001)       \
  X(videoDevice, 10002)                \
  X(videoDeviceInput, 10003)           \
  X(addVideoDeviceInput, 10004)        \
  X(photoOutput, 10005)                \
  X(addPhotoOutput, 10006)             \
  X(focus, 10007)                      \
  X(torch, 10008)                      \
  X(torchLocking, 10009)               \
  X(zoom, 10010)                       \
  X(exposureLocking, 10011)            \
  X(viewHidden, 10012)                 \
  X(previewHidden, 10013)              \
  X(previewInitError, 10014)           \
  X(previewSessionError, 10015)        \
  X(sessionRuntimeError, 20000)        \
  X(sessionWasInterrupted, 20001)      \
  X(sessionInterruptionEnded, 20002)   \
  X(notSupportedActiveColorSpace, 30000)

#define KIVO_CAMERA_AUTHORIZATION_STATUS_CASES(X) \
  X(authorized, 0)                                \
  X(unauthorized, 1)

#define KIVO_SESSION_SETUP_RESULT_CASES(X) \
  X(success, 0)                            \
  X(unauthorized, 1)                       \
  X(configurationFailed, 2)

#define KIVO_MOTION_STATE_CASES(X) \
  X(undetermined, 0)               \
  X(still, 1)                      \
  X(moving, 2)

// The timed steps carry a string raw value; X(name, raw string).
#define KIVO_CAMERA_PERFOMANCE_STEP_CASES(X) \
  X(launch, "launch")                        \
  X(capture, "capture")                      \
  X(startSession, "startSession")

#define KIVO_ENUM_DECLARE_CASE(name, raw) name = (raw),
#define KIVO_ENUM_DECLARE_INDEXED_CASE(name, raw) name,

// Public: sent as "code" with analytics events; its case name tags log lines.
enum class KivoCameraError : std::int64_t {
  KIVO_CAMERA_ERROR_CASES(KIVO_ENUM_DECLARE_CASE)
};

// Public: the camera permission outcome sent with the authorisation event.
enum class KivoCameraAuthorizationStatus : std::int64_t {
  KIVO_CAMERA_AUTHORIZATION_STATUS_CASES(KIVO_ENUM_DECLARE_CASE)
};

// How the session setup went; once it leaves success it stays failed.
enum class SessionSetupResult : std::int64_t {
  KIVO_SESSION_SETUP_RESULT_CASES(KIVO_ENUM_DECLARE_CASE)
};

// The accelerometer detector's verdict on the last sample.
enum class KivoMotionState : std::int64_t {
  KIVO_MOTION_STATE_CASES(KIVO_ENUM_DECLARE_CASE)
};

// The timed steps of the analytics events. The underlying value is only the
// position in the table; the raw value is the string.
enum class KivoCameraPerfomanceStep : std::int64_t {
  KIVO_CAMERA_PERFOMANCE_STEP_CASES(KIVO_ENUM_DECLARE_INDEXED_CASE)
};

// One row of an enumeration's table.
template <class E, class Raw>
struct KivoEnumCase {
  E value;
  Raw raw;
  std::string_view name;
};

// Specialised once per enumeration: `Raw` and the constexpr `cases` table.
template <class E>
struct KivoEnumTable;

#define KIVO_ENUM_ROW(name, raw) \
  KivoEnumCase<Enum, Raw>{Enum::name, Raw{raw}, #name},

#define KIVO_ENUM_TABLE(E, RawType, CASES)                    \
  template <>                                                 \
  struct KivoEnumTable<E> {                                   \
    using Enum = E;                                           \
    using Raw = RawType;                                      \
    static constexpr auto cases =                             \
        std::to_array<KivoEnumCase<Enum, Raw>>(               \
            {CASES(KIVO_ENUM_ROW)});                          \
  };

KIVO_ENUM_TABLE(KivoCameraError, std::int64_t, KIVO_CAMERA_ERROR_CASES)
KIVO_ENUM_TABLE(KivoCameraAuthorizationStatus, std::int64_t,
                KIVO_CAMERA_AUTHORIZATION_STATUS_CASES)
KIVO_ENUM_TABLE(SessionSetupResult, std::int64_t,
                KIVO_SESSION_SETUP_RESULT_CASES)
KIVO_ENUM_TABLE(KivoMotionState, std::int64_t, KIVO_MOTION_STATE_CASES)
KIVO_ENUM_TABLE(KivoCameraPerfomanceStep, std::string_view,
                KIVO_CAMERA_PERFOMANCE_STEP_CASES)

#undef KIVO_ENUM_TABLE
#undef KIVO_ENUM_ROW
#undef KIVO_ENUM_DECLARE_INDEXED_CASE
#undef KIVO_ENUM_DECLARE_CASE
#undef KIVO_CAMERA_PERFOMANCE_STEP_CASES
#undef KIVO_MOTION_STATE_CASES
#undef KIVO_SESSION_SETUP_RESULT_CASES
#undef KIVO_CAMERA_AUTHORIZATION_STATUS_CASES
#undef KIVO_CAMERA_ERROR_CASES

// An enumeration with a table above.
template <class E>
concept KivoRawRepresentable =
    std::is_enum_v<E> && requires { KivoEnumTable<E>::cases; };

// The case whose raw value equals `raw`, or none for any other value.
template <KivoRawRepresentable E>
constexpr std::optional<E> fromRawValue(typename KivoEnumTable<E>::Raw raw) {
  for (const auto& c : KivoEnumTable<E>::cases) {
    if (c.raw == raw) return c.value;
  }
  return std::nullopt;
}

// The raw value of a case. For a value outside the cases (a cast from an
// arbitrary integer): the integer itself, or an empty string.
template <KivoRawRepresentable E>
constexpr typename KivoEnumTable<E>::Raw rawValue(E value) {
  using Raw = typename KivoEnumTable<E>::Raw;
  if constexpr (std::is_integral_v<Raw>) {
    return static_cast<Raw>(static_cast<std::underlying_type_t<E>>(value));
  } else {
    for (const auto& c : KivoEnumTable<E>::cases) {
      if (c.value == value) return c.raw;
    }
    return Raw{};
  }
}

// The case name ("addVideoDeviceInput"); empty for a value outside the cases.
template <KivoRawRepresentable E>
constexpr std::string_view caseName(E value) {
  for (const auto& c : KivoEnumTable<E>::cases) {
    if (c.value == value) return c.name;
  }
  return {};
}

// Print the case name, or the underlying number for a value outside the cases.
std::ostream& operator<<(std::ostream& os, KivoCameraError value);
std::ostream& operator<<(std::ostream& os, KivoCameraAuthorizationStatus value);
std::ostream& operator<<(std::ostream& os, SessionSetupResult value);
std::ostream& operator<<(std::ostream& os, KivoMotionState value);
std::ostream& operator<<(std::ostream& os, KivoCameraPerfomanceStep value);
