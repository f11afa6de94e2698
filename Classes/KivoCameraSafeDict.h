#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <unordered_map>
#include <utility>

#include "Foundation/ThreadSafety.h"

// A dictionary shared by reference between queues, guarded by one permit:
// a mutex, which (unlike a counting semaphore) makes no system call when
// nobody else holds it.
//
// Thread-safe
// Every operation may be called from any queue. Each one takes the permit,
// performs a single map operation and gives it back, with nothing else in
// between. The permit is not re-entrant, so a
// value that is replaced or removed is destroyed only after it is given back:
// its destructor may run arbitrary code (a capture processor's hooks hold the
// controller that owns this dictionary) and may even call back into it.
//
// Write-only by design: store, remove and count. There is no lookup by key
// and no iteration.
template <class Key, class Value, class Hash = std::hash<Key>,
          class KeyEqual = std::equal_to<Key>>
class KivoCameraSafeDict {
 public:
  using Dictionary = std::unordered_map<Key, Value, Hash, KeyEqual>;

  // What `dict[key]` returns: assign to it to store a value. Only a
  // temporary can be assigned, so it is good for exactly one store.
  class Slot {
   public:
    Slot(const Slot&) = delete;
    Slot& operator=(const Slot&) = delete;

    // Stores `value` under the key, replacing any existing entry.
    void operator=(Value value) && {
      owner_.store(std::move(key_), std::move(value));
    }

   private:
    friend class KivoCameraSafeDict;
    Slot(KivoCameraSafeDict& owner, Key key)
        : owner_(owner), key_(std::move(key)) {}

    KivoCameraSafeDict& owner_;
    Key key_;
  };

  static std::shared_ptr<KivoCameraSafeDict> create(Dictionary dict = {}) {
    return std::make_shared<KivoCameraSafeDict>(std::move(dict));
  }

  explicit KivoCameraSafeDict(Dictionary dict = {})
      : dictionary_(std::move(dict)) {}

  KivoCameraSafeDict(const KivoCameraSafeDict&) = delete;
  KivoCameraSafeDict& operator=(const KivoCameraSafeDict&) = delete;

  // The number of entries.
  std::size_t count() const {
    const kivo::MutexLock hold(lock_);
    return dictionary_.size();
  }

  // `dict[key] = value;` stores a value, replacing any entry for the key.
  [[nodiscard]] Slot operator[](Key key) { return Slot(*this, std::move(key)); }

  // Removes the entry for `key` if there is one; otherwise does nothing.
  void removeValue(const Key& key) {
    // Declared before the hold: the entry is destroyed after the permit is
    // given back.
    typename Dictionary::node_type removed;
    {
      const kivo::MutexLock hold(lock_);
      removed = dictionary_.extract(key);
    }
  }

 private:
  void store(Key key, Value value) {
    // Declared before the hold: a replaced value is destroyed after the
    // permit is given back.
    std::optional<Value> replaced;
    {
      const kivo::MutexLock hold(lock_);
      auto [it, inserted] =
          dictionary_.try_emplace(std::move(key), std::move(value));
      if (!inserted)
        replaced.emplace(std::exchange(it->second, std::move(value)));
    }
  }

  mutable kivo::Mutex lock_;
  Dictionary dictionary_ KIVO_GUARDED_BY(lock_);
};
