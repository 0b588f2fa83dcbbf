// Overlapped requests: pending, completion, waiting and cancellation.
#include <array>
#include <thread>

#include "test_driver.h"
#include "tests/support/await.h"

namespace {

using namespace testdrv;
using namespace simwin;

using OverlappedTest = DeviceTest;

TEST_F(OverlappedTest, PendingThenCompletedOrCancelled) {
  HANDLE h = Open(FILE_FLAG_OVERLAPPED);
  HANDLE event = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  OVERLAPPED ov{};
  ov.hEvent = event;
  std::array<uint8_t, 8> out{};
  DWORD bytes = 0;

  // The request starts by clearing the event.
  EXPECT_FALSE(DeviceIoControl(h, kPend, nullptr, 0, out.data(), 8, nullptr, &ov));
  EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  EXPECT_FALSE(GetOverlappedResult(h, &ov, &bytes, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);

  // Completed from another thread: the event, the byte count, the buffered data.
  std::thread completer([] {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    CompletePending(STATUS_SUCCESS, 6);
    KeLowerIrql(old);
  });
  EXPECT_TRUE(GetOverlappedResult(h, &ov, &bytes, TRUE));
  completer.join();
  EXPECT_EQ(bytes, 6u);
  EXPECT_EQ(out[5], 0xA5);
  EXPECT_EQ(out[6], 0);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(NTSTATUS(ov.Internal), STATUS_SUCCESS);

  // One request cancelled by its OVERLAPPED, the other left alone, then all of the handle's.
  OVERLAPPED ov2{};
  ov2.hEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  EXPECT_FALSE(DeviceIoControl(h, kPend, nullptr, 0, nullptr, 0, nullptr, &ov));
  EXPECT_FALSE(DeviceIoControl(h, kPend, nullptr, 0, nullptr, 0, nullptr, &ov2));
  EXPECT_TRUE(CancelIoEx(h, &ov2));
  EXPECT_FALSE(GetOverlappedResult(h, &ov2, &bytes, TRUE));
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
  EXPECT_EQ(RtlGetLastNtStatus(), STATUS_CANCELLED);
  EXPECT_FALSE(HasOverlappedIoCompleted(&ov));
  EXPECT_FALSE(CancelIoEx(h, &ov2));
  EXPECT_EQ(GetLastError(), ERROR_NOT_FOUND);
  EXPECT_TRUE(CancelIoEx(h, nullptr));
  EXPECT_FALSE(GetOverlappedResult(h, &ov, &bytes, TRUE));
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
  EXPECT_EQ(state_.pending.cancelled.load(), 2);

  // A time-out while the request is still in flight, then the result after all.
  EXPECT_FALSE(DeviceIoControl(h, kPend, nullptr, 0, nullptr, 0, nullptr, &ov));
  EXPECT_FALSE(GetOverlappedResultEx(h, &ov, &bytes, 5, FALSE));
  EXPECT_EQ(GetLastError(), WAIT_TIMEOUT);
  ASSERT_TRUE(CompletePending(NTSTATUS(0xE000100C), 0));
  EXPECT_FALSE(GetOverlappedResult(h, &ov, &bytes, TRUE));
  EXPECT_EQ(GetLastError(), 0xE000100Cu);

  // Completed at once, success and warnings (a failure that carries data) still report through
  // the OVERLAPPED and its event; an error only through the call's result: a wait on either
  // would never end.
  struct AtOnce {
    NTSTATUS status;
    DWORD error;  // 0: the call succeeds
    bool reported;
  };
  for (const AtOnce &c : {AtOnce{STATUS_SUCCESS, 0, true}, AtOnce{STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA, true},
                          AtOnce{NTSTATUS(0xE0001001), 0xE0001001, false}}) {
    SCOPED_TRACE(testing::Message() << std::hex << c.status);
    const uint32_t in[2] = {3, uint32_t(c.status)};
    SetEvent(event);
    ov.InternalHigh = 77;
    out.fill(0);
    DWORD returned = 9;
    EXPECT_EQ(DeviceIoControl(h, kEcho, const_cast<uint32_t *>(in), 8, out.data(), 8, &returned, &ov), !c.error);
    EXPECT_EQ(c.error ? GetLastError() : DWORD(0), c.error);
    EXPECT_TRUE(!c.reported || returned == 3u) << returned;
    EXPECT_EQ(out[2], c.reported ? 0xA2 : 0);
    EXPECT_EQ(out[3], 0);
    EXPECT_EQ(WaitForSingleObject(event, 0), c.reported ? WAIT_OBJECT_0 : DWORD(WAIT_TIMEOUT));
    EXPECT_EQ(NTSTATUS(ov.Internal), c.reported ? c.status : STATUS_PENDING);
    EXPECT_EQ(ov.InternalHigh, c.reported ? 3u : 77u);
  }

  CloseHandle(ov2.hEvent);
  CloseHandle(event);
  CloseHandle(h);
}

// CreateFile docs: without FILE_FLAG_OVERLAPPED requests are serialised: a second one reaches the
// driver only once the first has completed, and the first call returns with its result.
TEST_F(OverlappedTest, SynchronousHandleTakesOneRequestAtATime) {
  HANDLE sync = Open();
  std::array<uint8_t, 4> out{};
  DWORD bytes[2] = {};
  auto call = [&](int i, ULONG code) {
    return std::thread([&, i, code] {
      EXPECT_TRUE(DeviceIoControl(sync, code, nullptr, 0, out.data(), 4, &bytes[i], nullptr));
    });
  };
  std::thread first = call(0, kPend);
  ASSERT_TRUE(support::AwaitUntil([] { return PendingCount() == 1; }));
  std::thread second = call(1, kEcho);
  ASSERT_TRUE(support::AwaitUntil([&] { return RequestsWaitingForFile(sync) == 1; }));
  EXPECT_EQ(Log(), (std::vector<std::string>{"create", "pend"}));

  ASSERT_TRUE(CompletePending(STATUS_SUCCESS, 3));
  first.join();
  second.join();
  EXPECT_EQ(bytes[0], 3u);
  EXPECT_EQ(out[2], 0xA2);
  EXPECT_EQ(Log().size(), 3u);
  CloseHandle(sync);
}

// Cancellation racing completion: each request ends exactly once, either way, and the
// application always learns which.
TEST_F(OverlappedTest, ConcurrencyCancelRacingCompletion) {
  PEPROCESS app = sim::NewProcess("app");
  ProcessScope scope(app);
  HANDLE h = Open(FILE_FLAG_OVERLAPPED);
  constexpr int kRounds = 200;
  int completed = 0, cancelled = 0;
  for (int i = 0; i < kRounds; ++i) {
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    uint8_t out = 0;
    ASSERT_FALSE(DeviceIoControl(h, kPend, nullptr, 0, &out, 1, nullptr, &ov));
    std::thread completer([] { CompletePending(STATUS_SUCCESS, 1); });
    std::thread canceller([&] {
      ProcessScope inApp(app);
      CancelIoEx(h, &ov);
    });
    completer.join();
    canceller.join();
    DWORD bytes = 0;
    if (GetOverlappedResult(h, &ov, &bytes, TRUE)) {
      EXPECT_EQ(bytes, 1u);
      ++completed;
    } else {
      EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
      ++cancelled;
    }
    CloseHandle(ov.hEvent);
  }
  EXPECT_EQ(completed + cancelled, kRounds);
  EXPECT_EQ(state_.pending.cancelled.load(), cancelled);
  EXPECT_EQ(PendingCount(), 0u);
  CloseHandle(h);
}

}  // namespace
