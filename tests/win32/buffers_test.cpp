// What the driver sees of control codes, reads and writes, per transfer method.
#include <array>

#include "sim/kernel/verifier.h"
#include "test_driver.h"

namespace {

using namespace testdrv;
using namespace simwin;

std::vector<uint8_t> Control(ULONG information, NTSTATUS status, size_t size) {
  std::vector<uint8_t> in(size);
  for (size_t i = 0; i < size; ++i) in[i] = uint8_t(0x10 + i);
  memcpy(in.data(), &information, 4);
  memcpy(in.data() + 4, &status, 4);
  return in;
}

using BufferedTest = DeviceTest;

TEST_F(BufferedTest, SystemBufferSizesAndCopyBack) {
  HANDLE h = Open();
  ASSERT_NE(h, INVALID_HANDLE_VALUE);

  // The larger of the two lengths; the input copied in; Information bytes copied back.
  auto in = Control(5, STATUS_SUCCESS, 8);
  std::array<uint8_t, 32> out;
  out.fill(0xEE);
  DWORD returned = 99;
  ASSERT_TRUE(DeviceIoControl(h, kEcho, in.data(), 8, out.data(), 32, &returned, nullptr));
  Seen s = LastSeen();
  EXPECT_EQ(s.inLength, 8u);
  EXPECT_EQ(s.outLength, 32u);
  EXPECT_EQ(s.systemInput, in);
  EXPECT_EQ(s.systemBufferBytes, 32u);
  EXPECT_FALSE(s.hasMdl);
  EXPECT_EQ(returned, 5u);
  EXPECT_EQ(out[4], 0xA4);
  EXPECT_EQ(out[5], 0xEE);

  in = Control(4, STATUS_SUCCESS, 40);
  ASSERT_TRUE(DeviceIoControl(h, kEcho, in.data(), 40, out.data(), 4, &returned, nullptr));
  EXPECT_EQ(LastSeen().systemBufferBytes, 40u);
  EXPECT_EQ(LastSeen().systemInput, in);

  // No buffers at all: no system buffer.
  ASSERT_TRUE(DeviceIoControl(h, kEcho, nullptr, 0, nullptr, 0, &returned, nullptr));
  EXPECT_FALSE(LastSeen().hasSystemBuffer);
  EXPECT_EQ(returned, 0u);

  // An error copies nothing back; the driver's own code reaches the caller unchanged.
  out.fill(0xEE);
  in = Control(3, NTSTATUS(0xE0001001), 8);
  returned = 99;
  EXPECT_FALSE(DeviceIoControl(h, kEcho, in.data(), 8, out.data(), 16, &returned, nullptr));
  EXPECT_EQ(GetLastError(), 0xE0001001u);
  EXPECT_EQ(uint32_t(RtlGetLastNtStatus()), 0xE0001001u);
  EXPECT_EQ(returned, 0u);
  EXPECT_EQ(out[0], 0xEE);

  // The I/O manager copies Information bytes back unclamped: more than the buffer holds is the
  // driver's fault, stopped before the copy (an exact heap buffer, so that ASan sees any overrun).
  std::vector<uint8_t> exact(16);
  in = Control(17, STATUS_SUCCESS, 8);
  EXPECT_DEATH(DeviceIoControl(h, kEcho, in.data(), 8, exact.data(), 16, &returned, nullptr),
               sim::check::kInformationTooLarge);

  // The I/O manager checks the access the code asks for.
  HANDLE readOnly = Open(0, GENERIC_READ);
  size_t before = Log().size();
  EXPECT_FALSE(DeviceIoControl(readOnly, kNeedsWrite, nullptr, 0, nullptr, 0, &returned, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  // A length without a buffer is refused before the driver.
  EXPECT_FALSE(DeviceIoControl(h, kEcho, nullptr, 8, nullptr, 0, &returned, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_NOACCESS);
  // A major function the driver has no routine for fails without reaching it.
  uint8_t data[4] = {};
  DWORD done = 7;
  EXPECT_FALSE(WriteFile(h, data, 4, &done, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(Log().size(), before);

  EXPECT_TRUE(CloseHandle(readOnly));
  EXPECT_TRUE(CloseHandle(h));
}

class DirectIoTest : public DeviceTest {
 protected:
  void SetUp() override { Build(DriverEntryWithWrite); }
};

TEST_F(DirectIoTest, ControlCodesReadsAndWritesDescribeTheBufferWithAnMdl) {
  HANDLE h = Open();
  auto in = Control(16, STATUS_SUCCESS, 12);
  std::array<uint8_t, 16> out;
  for (int i = 0; i < 16; ++i) out[i] = uint8_t(i);
  DWORD returned = 0;

  // IN_DIRECT: the device reads the output buffer through the MDL.
  ASSERT_TRUE(DeviceIoControl(h, kInDirect, in.data(), 12, out.data(), 16, &returned, nullptr));
  Seen s = LastSeen();
  EXPECT_EQ(s.systemInput, in);
  EXPECT_EQ(s.systemBufferBytes, 12u);
  ASSERT_TRUE(s.hasMdl);
  EXPECT_EQ(s.mdlBytes, 16u);
  EXPECT_EQ(s.mdlVa, out.data());
  EXPECT_FALSE(s.mdlWrite);
  EXPECT_EQ(s.mdlData, std::vector<uint8_t>(out.begin(), out.end()));

  // OUT_DIRECT: the device writes into it; nothing else is copied.
  ASSERT_TRUE(DeviceIoControl(h, kOutDirect, in.data(), 12, out.data(), 16, &returned, nullptr));
  EXPECT_TRUE(LastSeen().mdlWrite);
  EXPECT_EQ(returned, 16u);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(out[i], 0xB0 + i);

  // No output: no MDL. No input: no system buffer.
  in = Control(0, STATUS_SUCCESS, 12);
  ASSERT_TRUE(DeviceIoControl(h, kOutDirect, in.data(), 12, nullptr, 0, &returned, nullptr));
  EXPECT_FALSE(LastSeen().hasMdl);
  ASSERT_TRUE(DeviceIoControl(h, kOutDirect, nullptr, 0, out.data(), 16, &returned, nullptr));
  EXPECT_FALSE(LastSeen().hasSystemBuffer);
  EXPECT_TRUE(LastSeen().hasMdl);

  std::vector<uint8_t> buffer(100, 0xEE);
  DWORD done = 0;
  ASSERT_TRUE(ReadFile(h, buffer.data(), 100, &done, nullptr));
  s = LastSeen();
  EXPECT_EQ(s.length, 100u);
  EXPECT_EQ(s.mdlBytes, 100u);
  EXPECT_EQ(s.mdlVa, buffer.data());
  EXPECT_TRUE(s.mdlWrite);
  EXPECT_FALSE(s.hasSystemBuffer);
  EXPECT_EQ(done, 100u);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(buffer[i], uint8_t(i * 3));

  std::vector<uint8_t> data{1, 2, 3, 4, 5};
  ASSERT_TRUE(WriteFile(h, data.data(), 5, &done, nullptr));
  s = LastSeen();
  EXPECT_EQ(s.major, IRP_MJ_WRITE);
  EXPECT_FALSE(s.mdlWrite);
  EXPECT_EQ(s.mdlData, data);
  EXPECT_EQ(done, 5u);

  ASSERT_TRUE(ReadFile(h, buffer.data(), 0, &done, nullptr));
  EXPECT_FALSE(LastSeen().hasMdl);
  EXPECT_EQ(LastSeen().length, 0u);

  // Handles opened without the access are refused before the driver.
  HANDLE readOnly = Open(0, GENERIC_READ);
  size_t before = Log().size();
  EXPECT_FALSE(WriteFile(readOnly, data.data(), 5, &done, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(Log().size(), before);
  CloseHandle(readOnly);
  CloseHandle(h);
}

}  // namespace
