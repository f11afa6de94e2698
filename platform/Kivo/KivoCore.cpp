#include "Kivo/KivoCore.h"

#include <mutex>
#include <utility>

namespace {

std::mutex gHostMutex;
std::shared_ptr<KivoCore> gHost;  // guarded by gHostMutex; null: none installed

const std::shared_ptr<KivoCore>& droppingTracker() {
  static const auto tracker = std::make_shared<KivoCore>();
  return tracker;
}

}  // namespace

std::shared_ptr<KivoCore> Kivo() {
  std::lock_guard<std::mutex> lock(gHostMutex);
  return gHost ? gHost : droppingTracker();
}

ScopedKivoHost::ScopedKivoHost(std::shared_ptr<KivoCore> tracker) {
  std::lock_guard<std::mutex> lock(gHostMutex);
  previous_ = std::exchange(gHost, std::move(tracker));
}

ScopedKivoHost::~ScopedKivoHost() {
  std::shared_ptr<KivoCore> mine;  // released outside the lock
  std::lock_guard<std::mutex> lock(gHostMutex);
  mine = std::exchange(gHost, std::move(previous_));
}
