// Removal racing what would keep a stack alive: the last close of a handle, power requests.
#include <algorithm>
#include <atomic>
#include <thread>

#include "pnp_test_drivers.h"
#include "sim/win32/win32.h"

namespace pnptest {
namespace {

VOID CountCompletion(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK) {
  static_cast<std::atomic<int> *>(context)->fetch_add(1);
}

TEST_F(PnpTest, ConcurrencyUnplugRacingLastHandleCloseRemovesExactlyOnce) {
  for (int i = 0; i < 25; ++i) {
    Pdo &p = PlugStarted();
    Fdo *f = fn_.ForPdo(p.self);
    HANDLE h = simwin::CreateFileW(Function::LinkName(f->number).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                                   nullptr);
    ASSERT_NE(simwin::INVALID_HANDLE_VALUE, h);
    std::thread closer([h] { EXPECT_TRUE(simwin::CloseHandle(h)); });
    sim::pnp::Unplug(p.self);
    closer.join();
    sim::pnp::Settle();
    std::vector<UCHAR> sent = sim::pnp::Sent(p.self);
    ASSERT_EQ(5u, sent.size()) << "iteration " << i;
    EXPECT_EQ(IRP_MN_SURPRISE_REMOVAL, sent[3]);
    EXPECT_EQ(IRP_MN_REMOVE_DEVICE, sent[4]);
    EXPECT_EQ(sim::pnp::NodeState::Removed, sim::pnp::State(p.self));
    EXPECT_EQ(0, f->opensAtRemove) << "the removal overtook the close, iteration " << i;
  }
}

TEST_F(PnpTest, ConcurrencyPowerRequestsRacingRemovalCompleteExactlyOnce) {
  for (int i = 0; i < 15; ++i) {
    Pdo &p = PlugStarted();
    std::atomic<int> issued{0}, refused{0}, completed{0};
    std::thread requester([&] {
      for (int k = 0; k < 12; ++k) {
        POWER_STATE s;
        s.DeviceState = k % 2 ? PowerDeviceD3 : PowerDeviceD0;
        auto request = [&] {
          NTSTATUS status = PoRequestPowerIrp(p.self, IRP_MN_SET_POWER, s, CountCompletion, &completed, nullptr);
          if (status == STATUS_PENDING)
            issued.fetch_add(1);
          else if (status == STATUS_DELETE_PENDING)  // the removal had begun
            refused.fetch_add(1);
        };
        // Half from a caller above PASSIVE_LEVEL, which the power manager hands to a system thread.
        if (k % 3 == 0)
          sim::RunAtIrql(DISPATCH_LEVEL, request);
        else
          request();
      }
    });
    sim::pnp::Unplug(p.self);
    requester.join();
    sim::power::Settle();
    EXPECT_EQ(12, issued.load() + refused.load());
    EXPECT_EQ(issued.load(), completed.load()) << "iteration " << i;
    EXPECT_EQ(0u, sim::power::PowerIrpsOutstanding());
    EXPECT_EQ(sim::pnp::NodeState::Removed, sim::pnp::State(p.self));
  }
}

}  // namespace
}  // namespace pnptest
