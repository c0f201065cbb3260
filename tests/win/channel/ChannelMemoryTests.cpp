// A registered channel taken apart while allocations are refused. Its
// destructor runs outside every barrier, where a std::bad_alloc would end
// the host: whichever allocation of the destroying thread fails, the
// logout still goes out once and the socket is released.
#include <gtest/gtest.h>

#include <memory>

#include "tests/login/AllocationHook.h"
#include "tests/win/channel/ChannelTestSupport.h"

namespace velmora::test {
namespace {

TEST(ChannelMemory, DestroyingARegisteredChannelLogsOutAndLetsGoWhicheverAllocationFails) {
  FakeServer server(58);
  Endpoint peer(78, 0);
  ASSERT_TRUE(peer.ok());
  for (size_t failAt = 1;; ++failAt) {
    auto channel = std::make_unique<RecordingChannel>();
    ASSERT_NO_FATAL_FAILURE(StartRegistered(*channel, server, "alice"));
    const sockaddr_in at = ChannelAt(*channel);

    alloc::Arm(failAt);
    channel.reset();
    const size_t asked = alloc::Disarm();

    const std::vector<Datagram> got = server.Drain();
    ASSERT_EQ(1u, got.size()) << "allocation " << failAt << " of " << asked;
    EXPECT_EQ(msg::kMsgLogout, got[0].type());
    EXPECT_EQ(0, alloc::Outstanding()) << "allocation " << failAt << " of " << asked;
    peer.SendTo(at, Short(msg::kMsgAliveCheck));
    EXPECT_TRUE(peer.ExpectNothing()) << "the socket outlived its channel";
    if (!alloc::Refused()) break;  // every allocation of the destruction has been refused once
  }
}

}  // namespace
}  // namespace velmora::test
