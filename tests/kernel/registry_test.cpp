// ZwQueryValueKey's partial-information semantics and the device hardware key.
#include <gtest/gtest.h>

#include "sim/kernel/faults.h"
#include "sim/kernel/registry.h"
#include "sim/kernel/world.h"

namespace {

const std::u16string kKey = u"\\Registry\\Machine\\Enum\\USB\\Dev";
auto *const kPdo = reinterpret_cast<PDEVICE_OBJECT>(0x5000);

struct OpenKey {
  HANDLE h = nullptr;
  OpenKey() { EXPECT_EQ(IoOpenDeviceRegistryKey(kPdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &h), STATUS_SUCCESS); }
  ~OpenKey() { ZwClose(h); }
  NTSTATUS Query(const char16_t *name, void *buffer, ULONG length, ULONG &result) {
    UNICODE_STRING n;
    RtlInitUnicodeString(&n, name);
    return ZwQueryValueKey(h, &n, KeyValuePartialInformation, buffer, length, &result);
  }
};

TEST(Registry, OpeningTheDeviceKeyAndPartialInformationSemantics) {
  sim::World world;
  HANDLE h;
  EXPECT_NE(IoOpenDeviceRegistryKey(kPdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &h), STATUS_SUCCESS);  // no key
  sim::registry::SetDeviceKey(kPdo, kKey);
  sim::registry::FailOpen(kKey, STATUS_ACCESS_DENIED);
  EXPECT_EQ(IoOpenDeviceRegistryKey(kPdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &h), STATUS_ACCESS_DENIED);
  sim::registry::FailOpen(kKey, STATUS_SUCCESS);
  sim::FailNth(sim::AllocKind::RegistryKey, 1);
  EXPECT_EQ(IoOpenDeviceRegistryKey(kPdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &h), STATUS_INSUFFICIENT_RESOURCES);
  ASSERT_EQ(IoOpenDeviceRegistryKey(kPdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &h), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(h), STATUS_INVALID_HANDLE);

  sim::registry::SetDword(kKey, u"Small", 0x11223344);
  sim::registry::SetString(kKey, u"Text", u"0123456789");  // 22 bytes with the terminator
  OpenKey key;
  alignas(8) UCHAR buffer[64];
  auto *info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);

  ULONG result = 0;
  ASSERT_EQ(key.Query(u"Small", buffer, 32, result), STATUS_SUCCESS);
  EXPECT_EQ(result, 16u);
  EXPECT_EQ(info->Type, ULONG(REG_DWORD));
  EXPECT_EQ(info->DataLength, 4u);

  // Too small for the data: the header and what fits, with the length needed.
  memset(buffer, 0xEE, sizeof buffer);
  ASSERT_EQ(key.Query(u"Text", buffer, 32, result), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(result, 12u + 22u);
  EXPECT_EQ(info->DataLength, 22u);
  EXPECT_EQ(buffer[30], '9');  // the 10th character's low byte is the last that fits
  EXPECT_EQ(buffer[32], 0xEE);  // nothing past the buffer given

  // Too small even for the header.
  EXPECT_EQ(key.Query(u"Text", buffer, 8, result), STATUS_BUFFER_TOO_SMALL);

  // Absent: the result length is not written; names are case-insensitive.
  result = 77;
  EXPECT_EQ(key.Query(u"Missing", buffer, 32, result), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(result, 77u);
  EXPECT_EQ(key.Query(u"SMALL", buffer, 32, result), STATUS_SUCCESS);

  // Writing through the handle.
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"Written");
  ULONG v = 5;
  EXPECT_EQ(ZwSetValueKey(key.h, &name, 0, REG_DWORD, &v, 4), STATUS_SUCCESS);
  EXPECT_EQ(sim::registry::GetDword(kKey, u"Written"), 5u);
}

using RegistryDeathTest = ::testing::Test;

TEST(RegistryDeathTest, AHandleLeftOpenIsALeak) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        sim::World world;
        sim::registry::SetDeviceKey(kPdo, kKey);
        HANDLE h;
        IoOpenDeviceRegistryKey(kPdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &h);
      },
      "kernel handle");
}

}  // namespace
