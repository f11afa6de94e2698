#include "Kivo/KivoCore.h"

#include <utility>

#include "Foundation/InstalledObject.h"

namespace {

InstalledObject<KivoCore> gHost;  // null: none installed

const std::shared_ptr<KivoCore>& droppingTracker() {
  static const auto tracker = std::make_shared<KivoCore>();
  return tracker;
}

}  // namespace

std::shared_ptr<KivoCore> Kivo() {
  if (auto host = gHost.get()) return host;
  return droppingTracker();
}

ScopedKivoHost::ScopedKivoHost(std::shared_ptr<KivoCore> tracker) : previous_(gHost.exchange(std::move(tracker))) {}

ScopedKivoHost::~ScopedKivoHost() { gHost.exchange(std::move(previous_)); }
