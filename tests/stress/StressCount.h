#pragma once
// How many rounds a stress test runs: the environment variable `name` as a
// positive whole number, or `fallback` when it is unset or empty. Anything
// else fails the test, which then runs `fallback` rounds.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>

inline std::size_t stressCountFromEnvironment(const char* name, std::size_t fallback) {
  const char* text = std::getenv(name);
  if (!text || !*text) return fallback;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (*end != '\0' || value == 0) {
    ADD_FAILURE() << name << " must be a positive whole number, not \"" << text << "\"";
    return fallback;
  }
  return static_cast<std::size_t>(value);
}
