// Moving an owner never allocates: its moves are noexcept, so an allocation
// there that fails ends the host. A program of its own, because it counts
// every allocation through a replaced operator new.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

#include "common/UniqueHandle.h"
#include "tests/native/CountingNew.h"

namespace velmora {
namespace {

// Shaped like the owner of a staged file: a path, closed by name. Each
// close notes the path's first character, in room reserved beforehand.
std::wstring g_closed;
struct PathTraits {
  static std::wstring invalid() { return {}; }
  static void close(const std::wstring& path) { g_closed += path[0]; }
};
using UniquePath = UniqueHandleT<std::wstring, PathTraits>;

const std::wstring kFirst(300, L'a');
const std::wstring kSecond(300, L'b');

TEST(OwnerMove, HandsAPathOverWithoutAllocatingOrClosingIt) {
  using Slot = std::optional<UniquePath>;
  const struct {
    const char* name;
    std::function<void(Slot& held, Slot& other, std::wstring& spare)> op;
    std::wstring heldAfter, otherAfter;
    std::wstring closed;  // first characters
  } cases[] = {
      {"move-constructed",
       [](Slot& h, Slot& o, std::wstring&) {
         o.reset();  // an empty owner: nothing to close
         o.emplace(std::move(*h));
       },
       L"", kFirst, L""},
      {"move-assigned to an empty owner", [](Slot& h, Slot& o, std::wstring&) { *o = std::move(*h); }, L"", kFirst,
       L""},
      {"move-assigned over a held path",
       [](Slot& h, Slot& o, std::wstring& s) {
         o->reset(std::move(s));
         *o = std::move(*h);
       },
       L"", kFirst, L"b"},
      {"released", [](Slot& h, Slot&, std::wstring& s) { s = h->release(); }, L"", L"", L""},
      {"reset to a path moved in", [](Slot& h, Slot&, std::wstring& s) { h->reset(std::move(s)); }, kSecond, L"", L"a"},
      {"constructed from a path moved in",
       [](Slot&, Slot& o, std::wstring& s) {
         o.reset();
         o.emplace(std::move(s));
       },
       kFirst, kSecond, L""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::wstring first = kFirst, spare = kSecond;
    Slot held(std::in_place, std::move(first)), other(std::in_place);
    g_closed.clear();
    g_closed.reserve(4);
    const long before = test::Allocations();
    c.op(held, other, spare);
    EXPECT_EQ(test::Allocations(), before);
    EXPECT_EQ(held->get(), c.heldAfter);
    EXPECT_EQ(other->get(), c.otherAfter);
    EXPECT_EQ(g_closed, c.closed);
  }
}

}  // namespace
}  // namespace velmora
