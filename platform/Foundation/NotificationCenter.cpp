#include "Foundation/NotificationCenter.h"

#include <algorithm>

#include "Foundation/ThreadSafety.h"

NotificationCenter& NotificationCenter::defaultCenter() {
  // Never destroyed: posts may still arrive from platform threads at exit.
  static NotificationCenter* const center = new NotificationCenter;
  return *center;
}

void NotificationCenter::addObserver(std::weak_ptr<const void> observer, Handler handler,
                                     std::string name, const void* object) {
  if (!handler) return;
  const void* identity = observer.lock().get();
  auto registration = std::make_shared<Registration>(
      Registration{std::move(observer), identity, std::move(name), object, std::move(handler)});
  kivo::MutexLock lock(mutex_);
  registrations_.push_back(std::move(registration));
}

void NotificationCenter::removeObserver(const void* observer) {
  std::vector<std::shared_ptr<Registration>> removed;  // handlers released outside the lock
  kivo::MutexLock lock(mutex_);
  auto keep = std::stable_partition(registrations_.begin(), registrations_.end(),
                                    [&](const auto& r) { return r->observerIdentity != observer; });
  for (auto it = keep; it != registrations_.end(); ++it) {
    (*it)->removed = true;
    removed.push_back(std::move(*it));
  }
  registrations_.erase(keep, registrations_.end());
}

void NotificationCenter::post(const Notification& notification) {
  std::vector<std::shared_ptr<Registration>> matching;
  {
    kivo::MutexLock lock(mutex_);
    std::erase_if(registrations_, [](const auto& r) { return r->observer.expired(); });
    for (const auto& r : registrations_) {
      if (!r->name.empty() && r->name != notification.name) continue;
      if (r->object != nullptr && r->object != notification.object) continue;
      matching.push_back(r);
    }
  }
  for (const auto& r : matching) {
    {
      // A registration removed by an earlier handler of this post is skipped.
      kivo::MutexLock lock(mutex_);
      if (r->removed) continue;
    }
    r->handler(notification);
  }
}

void NotificationCenter::post(std::string name, const void* object, std::optional<UserInfo> userInfo) {
  post(Notification{std::move(name), object, std::move(userInfo)});
}

void NotificationCenter::removeAllObservers() {
  std::vector<std::shared_ptr<Registration>> removed;
  kivo::MutexLock lock(mutex_);
  for (auto& r : registrations_) r->removed = true;
  removed.swap(registrations_);
}

std::size_t NotificationCenter::registrationCount() const {
  kivo::MutexLock lock(mutex_);
  return static_cast<std::size_t>(
      std::count_if(registrations_.begin(), registrations_.end(), [](const auto& r) { return !r->observer.expired(); }));
}
