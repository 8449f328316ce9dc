#pragma once

#include <string>
#include <vector>

namespace od {

// A named object in an ownership tree. The owner destroys the components it
// owns, newest first, when it is destroyed itself.
class TComponent {
public:
  explicit TComponent(TComponent* owner = nullptr);
  virtual ~TComponent();

  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  const std::string& Name() const noexcept { return name_; }
  void SetName(std::string name) { name_ = std::move(name); }

  TComponent* Owner() const noexcept { return owner_; }
  int ComponentCount() const noexcept { return static_cast<int>(components_.size()); }
  TComponent* Components(int index) const { return components_.at(static_cast<size_t>(index)); }

  // The names of this component and its owners joined by ".", outermost
  // owner first; owners without a name are skipped (for example "Form2.DB").
  std::string FullName() const;

  // Destroys the owned components now, newest first. The destructor does the
  // same; an owner that must tear its parts down before its own members go
  // calls this first.
  void DestroyComponents() noexcept;

protected:
  // Told when a component owned by this one is being destroyed.
  virtual void Notification(TComponent* /*component*/) {}

private:
  void RemoveComponent(TComponent* component) noexcept;

  std::string name_;
  TComponent* owner_;
  std::vector<TComponent*> components_;
};

} // namespace od
