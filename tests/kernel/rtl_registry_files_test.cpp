// Counted strings and GUID text, the registry's partial-information semantics, the error log's
// size limit and files under \SystemRoot.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "sim/kernel/error_log.h"
#include "sim/kernel/faults.h"
#include "sim/kernel/files.h"
#include "sim/kernel/registry.h"
#include "sim/kernel/world.h"
#include "tests/support/misuse.h"

namespace {

const std::u16string kKey = u"\\Registry\\Machine\\Enum\\USB\\Dev";
auto *const kPdo = reinterpret_cast<PDEVICE_OBJECT>(0x5000);

TEST(Rtl, CountedStringsConversionsAndGuids) {
  sim::World world;
  WCHAR buffer[8];
  UNICODE_STRING s{0, sizeof buffer, buffer};
  EXPECT_EQ(RtlAppendUnicodeToString(&s, u"abcd"), STATUS_SUCCESS);
  EXPECT_EQ(RtlAppendUnicodeToString(&s, u"efghi"), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(s.Length, 8);
  EXPECT_EQ(std::u16string(s.Buffer, 4), u"abcd");
  UNICODE_STRING tail;
  RtlInitUnicodeString(&tail, u"efgh");
  EXPECT_EQ(RtlAppendUnicodeStringToString(&s, &tail), STATUS_SUCCESS);  // exactly full
  EXPECT_EQ(s.Length, 16);

  WCHAR digits[12];
  UNICODE_STRING n{0, sizeof digits, digits};
  EXPECT_EQ(RtlIntegerToUnicodeString(126, 10, &n), STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(n.Buffer, n.Length / 2), u"126");
  UNICODE_STRING tiny{0, 6, digits};  // three characters: no room for the terminator
  EXPECT_EQ(RtlIntegerToUnicodeString(123, 10, &tiny), STATUS_BUFFER_OVERFLOW);

  // The ANSI conversion sets the length even when it overflows.
  WCHAR four[4];
  UNICODE_STRING u{0, sizeof four, four};
  ANSI_STRING a;
  RtlInitAnsiString(&a, "abc");
  EXPECT_EQ(RtlAnsiStringToUnicodeString(&u, &a, FALSE), STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(four), u"abc");
  RtlInitAnsiString(&a, "abcd");  // needs room for a terminator too
  EXPECT_EQ(RtlAnsiStringToUnicodeString(&u, &a, FALSE), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(u.Length, 8);
  EXPECT_EQ(std::u16string(four), u"abc");

  // GUIDs: only the braced form is taken.
  GUID g;
  RtlInitUnicodeString(&s, u"{DB293BE4-1F5D-40e6-9A6F-4C41D12A339E}");
  ASSERT_EQ(RtlGUIDFromString(&s, &g), STATUS_SUCCESS);
  EXPECT_EQ(g.Data1, 0xDB293BE4u);
  EXPECT_EQ(g.Data3, 0x40E6);
  EXPECT_EQ(g.Data4[7], 0x9E);
  for (const char16_t *bad : {u"DB293BE4-1F5D-40E6-9A6F-4C41D12A339E", u"{DB293BE4-1F5D-40E6-9A6F-4C41D12A339}",
                              u"{DB293BE4-1F5D-40E6-9A6F-4C41D12A339G}", u"{DB293BE4+1F5D-40E6-9A6F-4C41D12A339E}",
                              u""}) {
    RtlInitUnicodeString(&s, bad);
    EXPECT_EQ(RtlGUIDFromString(&s, &g), STATUS_INVALID_PARAMETER) << sim::Narrow(bad);
  }
}

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

  sim::registry::SetDword(kKey, u"Small", 0x11223344);
  sim::registry::SetString(kKey, u"Text", u"0123456789");  // 22 bytes with the terminator
  alignas(8) UCHAR buffer[64];
  auto *info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
  ULONG result = 0;
  auto query = [&](const char16_t *name, ULONG length) {
    UNICODE_STRING n;
    RtlInitUnicodeString(&n, name);
    return ZwQueryValueKey(h, &n, KeyValuePartialInformation, buffer, length, &result);
  };
  ASSERT_EQ(query(u"Small", 32), STATUS_SUCCESS);
  EXPECT_EQ(result, 16u);
  EXPECT_EQ(info->Type, ULONG(REG_DWORD));
  EXPECT_EQ(info->DataLength, 4u);

  // Too small for the data: the header and what fits, with the length needed.
  memset(buffer, 0xEE, sizeof buffer);
  ASSERT_EQ(query(u"Text", 32), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(result, 12u + 22u);
  EXPECT_EQ(info->DataLength, 22u);
  EXPECT_EQ(buffer[30], '9');  // the 10th character's low byte is the last that fits
  EXPECT_EQ(buffer[32], 0xEE);  // nothing past the buffer given
  // Too small even for the header.
  EXPECT_EQ(query(u"Text", 8), STATUS_BUFFER_TOO_SMALL);
  // Absent: the result length is not written; names are case-insensitive.
  result = 77;
  EXPECT_EQ(query(u"Missing", 32), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(result, 77u);
  EXPECT_EQ(query(u"SMALL", 32), STATUS_SUCCESS);
  // Writing a value the driver's parameter tests show: the defaults it writes back.
  EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(h), STATUS_INVALID_HANDLE);
}

// Decoding and allocation failure the driver's event-log tests see; the size limit they never reach.
TEST(ErrorLog, EntriesAboveTheMaximumSizeAreRefused) {
  sim::World world;
  int object;
  EXPECT_EQ(IoAllocateErrorLogEntry(&object, sim::kErrorLogMaximumSize + 1), nullptr);
}

TEST(Files, OpenQueryAndReadUnderSystemRoot) {
  sim::World world;
  auto dir = std::filesystem::temp_directory_path() / ("xrusb-files-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir / "System32" / "drivers");
  std::ofstream(dir / "System32" / "drivers" / "Fw.hex") << ":00000001FF\n";
  sim::files::SetSystemRoot(dir.string());

  auto open = [](const char16_t *path, HANDLE &h, ACCESS_MASK access = GENERIC_READ | SYNCHRONIZE,
                 ULONG options = FILE_SYNCHRONOUS_IO_NONALERT) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb;
    return ZwCreateFile(&h, access, &attributes, &iosb, nullptr, FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, FILE_OPEN,
                        options | FILE_NON_DIRECTORY_FILE, nullptr, 0);
  };
  HANDLE h;
  EXPECT_EQ(open(u"\\SystemRoot\\system32\\drivers\\missing.hex", h), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(open(u"\\SystemRoot\\nowhere\\fw.hex", h), STATUS_OBJECT_PATH_NOT_FOUND);
  ASSERT_EQ(open(u"\\SystemRoot\\system32\\drivers\\fw.HEX", h), STATUS_SUCCESS);
  IO_STATUS_BLOCK iosb;
  FILE_STANDARD_INFORMATION info;
  ASSERT_EQ(ZwQueryInformationFile(h, &iosb, &info, sizeof info, FileStandardInformation), STATUS_SUCCESS);
  EXPECT_EQ(info.EndOfFile.QuadPart, 12);
  char data[32] = {};
  auto read = [&] { return ZwReadFile(h, nullptr, nullptr, nullptr, &iosb, data, sizeof data, nullptr, nullptr); };
  ASSERT_EQ(read(), STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, 12u);
  EXPECT_STREQ(data, ":00000001FF\n");
  EXPECT_EQ(read(), STATUS_END_OF_FILE);
  sim::files::FailNext(sim::files::Op::Read, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(read(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);

  // Held in memory, over the host file. Synchronous I/O needs SYNCHRONIZE; without it the caller
  // names the offset; reading needs read access.
  sim::files::PutFile("SYSTEM32\\drivers\\fw.hex", {'A'});
  EXPECT_EQ(open(u"\\SystemRoot\\system32\\drivers\\fw.hex", h, GENERIC_READ), STATUS_INVALID_PARAMETER);
  ASSERT_EQ(open(u"\\SystemRoot\\system32\\drivers\\fw.hex", h, GENERIC_READ, 0), STATUS_SUCCESS);
  EXPECT_EQ(read(), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
  ASSERT_EQ(open(u"\\SystemRoot\\system32\\drivers\\fw.hex", h, SYNCHRONIZE), STATUS_SUCCESS);
  EXPECT_EQ(read(), STATUS_ACCESS_DENIED);
  EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
  std::filesystem::remove_all(dir);
}

TEST(ServicesDeathTest, LeftOpenKeyAndUnterminatedLogStringStopTheRun) {
  support::ExpectEachStopsTheRun({
      {"kernel handle",
       [] {
         sim::registry::SetDeviceKey(kPdo, kKey);
         HANDLE h;
         IoOpenDeviceRegistryKey(kPdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &h);
       }},
      {"runs past",
       [] {
         int object;
         auto *e = static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(&object, 52));
         memset(e, 'x', 52);
         e->NumberOfStrings = 1;
         e->StringOffset = 40;
         IoWriteErrorLogEntry(e);
       }},
  });
}

}  // namespace
