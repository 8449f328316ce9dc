#include "base/Component.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace od {
namespace {

std::vector<std::string>* g_destroyed = nullptr;

class Recorded : public TComponent {
public:
  Recorded(TComponent* owner, std::string name) : TComponent(owner) { SetName(std::move(name)); }
  ~Recorded() override {
    if (g_destroyed != nullptr) g_destroyed->push_back(Name());
  }
};

TEST(ComponentTest, OwnerDestroysOwnedComponentsNewestFirst) {
  std::vector<std::string> destroyed;
  g_destroyed = &destroyed;
  {
    Recorded form(nullptr, "Form2");
    new Recorded(&form, "DB");
    new Recorded(&form, "Tr");
    auto* query = new Recorded(&form, "SQLCount");
    new Recorded(query, "Inner");
    EXPECT_EQ(form.ComponentCount(), 3);
  }
  g_destroyed = nullptr;
  // Each destructor body runs before its owned components go; siblings go
  // newest first.
  EXPECT_EQ(destroyed, (std::vector<std::string>{"Form2", "SQLCount", "Inner", "Tr", "DB"}));
}

TEST(ComponentTest, DeletingAnOwnedComponentUnlinksItFromItsOwner) {
  TComponent form;
  auto* a = new TComponent(&form);
  new TComponent(&form);
  delete a;
  EXPECT_EQ(form.ComponentCount(), 1);
}

struct FullNameCase {
  std::vector<std::string> chain; // outermost first
  std::string expected;
};

class FullNameTest : public ::testing::TestWithParam<FullNameCase> {};

TEST_P(FullNameTest, JoinsNamedOwnersOutermostFirst) {
  const auto& c = GetParam();
  std::vector<TComponent*> made;
  TComponent* owner = nullptr;
  for (const std::string& name : c.chain) {
    owner = new TComponent(owner);
    owner->SetName(name);
    made.push_back(owner);
  }
  EXPECT_EQ(made.back()->FullName(), c.expected);
  delete made.front();
}

INSTANTIATE_TEST_SUITE_P(Chains, FullNameTest,
                         ::testing::Values(FullNameCase{{"Form2", "DB"}, "Form2.DB"}, FullNameCase{{"DB"}, "DB"},
                                           FullNameCase{{"", "DB"}, "DB"},
                                           FullNameCase{{"Form2", "", "Tr"}, "Form2.Tr"},
                                           FullNameCase{{"Form2", ""}, "Form2"}, FullNameCase{{"", ""}, ""},
                                           FullNameCase{{"A", "B", "C"}, "A.B.C"}));

} // namespace
} // namespace od
