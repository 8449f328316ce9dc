#include "base/Component.h"

#include <algorithm>

namespace od {

TComponent::TComponent(TComponent* owner) : owner_(owner) {
  if (owner_ != nullptr) owner_->components_.push_back(this);
}

TComponent::~TComponent() {
  DestroyComponents();
  if (owner_ != nullptr) owner_->RemoveComponent(this);
}

void TComponent::DestroyComponents() noexcept {
  while (!components_.empty()) {
    TComponent* last = components_.back();
    delete last; // its destructor removes it from this list
  }
}

void TComponent::RemoveComponent(TComponent* component) noexcept {
  auto it = std::find(components_.begin(), components_.end(), component);
  if (it == components_.end()) return;
  components_.erase(it);
  Notification(component);
}

std::string TComponent::FullName() const {
  std::string result = name_;
  for (const TComponent* owner = owner_; owner != nullptr; owner = owner->owner_) {
    if (owner->name_.empty()) continue;
    result = result.empty() ? owner->name_ : owner->name_ + "." + result;
  }
  return result;
}

} // namespace od
