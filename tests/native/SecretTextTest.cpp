#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <string_view>
#include <utility>

#include "common/SecretText.h"

namespace velmora {
namespace {

// Whatever a SecretText lets go of while it still owns the buffer (its own
// small one, or a heap block it keeps) holds no trace of the text.
TEST(SecretText, LeavesNothingOfTheTextInTheBufferItKeeps) {
  const std::string texts[] = {"Hs3%Tb8", "Vq7#Lm2&Zx9!Kp4$Wd-longer-than-small"};
  const struct {
    const char* name;
    std::function<void(SecretText&)> op;
    std::string_view after;
  } cases[] = {
      {"clear", [](SecretText& s) { s.clear(); }, ""},
      {"moved from", [](SecretText& s) { SecretText taken(std::move(s)); }, ""},
      {"moved over", [](SecretText& s) { SecretText other("x"); other = std::move(s); }, ""},
      {"given a shorter text", [](SecretText& s) { s = "ab"; }, "ab"},
      {"overwritten", [](SecretText& s) { s.Overwrite(1)[0] = 'z'; }, "z"},
  };
  for (const std::string& text : texts) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.name) + ", " + std::to_string(text.size()) + " characters");
      SecretText secret(text);
      const char* buffer = secret.c_str();
      c.op(secret);
      EXPECT_EQ(secret, c.after);
      if (secret.c_str() != buffer) continue;  // the buffer went with the text
      const std::string_view kept(buffer, text.size());
      EXPECT_EQ(kept.find(text.substr(1, 5)), std::string_view::npos);
      EXPECT_EQ(kept.substr(0, c.after.size()), c.after);
    }
  }
}

TEST(SecretText, CopiesAndComparesLikeText) {
  SecretText a("pa'ss"), b(a);
  EXPECT_EQ(b, "pa'ss");
  b = std::string("other");
  EXPECT_EQ(a, "pa'ss");
  EXPECT_NE(b, a.view());
  EXPECT_TRUE(SecretText().empty());
  EXPECT_EQ(SecretText("").size(), 0u);
}

}  // namespace
}  // namespace velmora
