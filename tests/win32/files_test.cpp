// Opening and closing handles, processes, interface enumeration and error mapping.
#include "test_driver.h"

namespace {

using namespace testdrv;
using namespace simwin;

using FilesTest = DeviceTest;

TEST_F(FilesTest, OpenByLinkOrInterfaceAndFailedCreates) {
  HANDLE h = Open();
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  Seen create = LastSeen();
  ASSERT_NE(create.file, nullptr);
  EXPECT_EQ(create.file->DeviceObject, fdo_);
  EXPECT_EQ(fdo_->ReferenceCount, 1);

  // The interface resolves to the physical device object; the request goes to the top.
  std::vector<std::u16string> paths = DeviceInterfacePaths(kClass);
  ASSERT_EQ(paths.size(), 1u);
  EXPECT_EQ(paths[0].substr(0, 4), u"\\\\?\\");
  HANDLE viaInterface = CreateFileW(paths[0].c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(viaInterface, INVALID_HANDLE_VALUE);
  EXPECT_EQ(LastSeen().file->DeviceObject, pdo_);
  EXPECT_NE(LastSeen().file, create.file);

  // A disabled interface is neither listed nor opened.
  ASSERT_EQ(IoSetDeviceInterfaceState(&interface_, FALSE), STATUS_SUCCESS);
  EXPECT_TRUE(DeviceInterfacePaths(kClass).empty());
  EXPECT_EQ(CreateFileW(paths[0].c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(IoSetDeviceInterfaceState(&interface_, TRUE), STATUS_SUCCESS);

  // The driver refusing the create: its status, and no cleanup or close follow.
  state_.createStatus = NTSTATUS(0xE0001020);
  size_t before = Log().size();
  EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 0xE0001020u);
  sim::DrainWorkItems();
  EXPECT_EQ(Log().size(), before + 1);
  state_.createStatus = STATUS_SUCCESS;

  EXPECT_EQ(CreateFileW(u"\\\\.\\NoSuchDevice", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

  for (HANDLE x : {h, viaInterface}) EXPECT_TRUE(CloseHandle(x));
  EXPECT_EQ(fdo_->ReferenceCount, 0);
  EXPECT_FALSE(CloseHandle(h));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(FilesTest, CleanupAtHandleCloseCloseWhenTheLastRequestCompletes) {
  HANDLE h = Open(FILE_FLAG_OVERLAPPED);
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  OVERLAPPED ov{};
  ov.hEvent = event;
  EXPECT_FALSE(DeviceIoControl(h, kPend, nullptr, 0, nullptr, 0, nullptr, &ov));
  EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);

  EXPECT_TRUE(CloseHandle(h));
  sim::DrainWorkItems();
  EXPECT_EQ(Log(), (std::vector<std::string>{"create", "pend", "cleanup"}));
  EXPECT_FALSE(HasOverlappedIoCompleted(&ov));

  ASSERT_TRUE(CompletePending(STATUS_SUCCESS, 0));
  EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
  sim::DrainWorkItems();
  EXPECT_EQ(Log(), (std::vector<std::string>{"create", "pend", "cleanup", "close"}));
  // Every request of the handle saw the same file object.
  std::lock_guard<std::mutex> guard(state_.lock);
  for (const Seen &s : state_.seen) EXPECT_EQ(s.file, state_.seen[0].file);
  CloseHandle(event);
}

TEST_F(FilesTest, ProcessesHaveTheirOwnHandlesAndIdentities) {
  PEPROCESS first = sim::NewProcess("first");
  PEPROCESS second = sim::NewProcess("second");
  HANDLE a, b;
  DWORD firstId, secondId;
  {
    ProcessScope scope(first);
    firstId = GetCurrentProcessId();
    a = Open();
    ASSERT_NE(a, INVALID_HANDLE_VALUE);
    EXPECT_EQ(LastSeen().process, first);
  }
  {
    ProcessScope scope(second);
    secondId = GetCurrentProcessId();
    b = Open();
    EXPECT_EQ(LastSeen().process, second);
    // Another process's handle means nothing here.
    DWORD returned;
    EXPECT_FALSE(DeviceIoControl(a, kEcho, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseHandle(a));
  }
  EXPECT_NE(firstId, secondId);
  EXPECT_EQ(OpenHandleCount(first), 1u);

  // A process that ends has its requests cancelled and its handles closed.
  {
    ProcessScope scope(first);
    OVERLAPPED ov{};
    HANDLE overlapped = Open(FILE_FLAG_OVERLAPPED);
    EXPECT_FALSE(DeviceIoControl(overlapped, kPend, nullptr, 0, nullptr, 0, nullptr, &ov));
    EXPECT_EQ(PendingCount(), 1u);
    EndProcess(first);
    EXPECT_EQ(NTSTATUS(ov.Internal), STATUS_CANCELLED);
  }
  sim::DrainWorkItems();
  EXPECT_EQ(OpenHandleCount(first), 0u);
  EXPECT_EQ(OpenHandleCount(second), 1u);
  EXPECT_EQ(state_.pending.cancelled.load(), 1);
  ProcessScope scope(second);
  EXPECT_TRUE(CloseHandle(b));
}

}  // namespace
