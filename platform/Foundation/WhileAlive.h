#pragma once
// The weak-owner prologue of handlers that must not keep their owner alive
// (sensor, observation, notification and timer handlers): hold the owner
// weakly, lock it on entry, and do nothing once it has gone.
// Thread-safe

#include <memory>
#include <utility>

/// `handler` wrapped to hold `owner` weakly. Each call locks `owner` and,
/// while it lives, runs `handler(self, args...)` with the locked
/// std::shared_ptr, which keeps the owner alive for that call only; once the
/// owner is gone a call does nothing. The wrapper returns nothing either way.
template <class T, class Handler>
auto whileAlive(std::weak_ptr<T> owner, Handler handler) {
  return [owner = std::move(owner), handler = std::move(handler)](auto&&... args) {
    if (const std::shared_ptr<T> self = owner.lock()) handler(self, std::forward<decltype(args)>(args)...);
  };
}
