// Reading a device's settings from its hardware key.
#include <set>

#include "driver/core/event_log.h"
#include "driver/core/pool_tags.h"
#include "driver_fixture.h"
#include "sim/kernel/error_log.h"
#include "sim/kernel/pool.h"

namespace {

using xrtest::DriverWorld;
using xrtest::ReadBlock;

TEST(Parameters, AFreshKeyGetsExactlyTheTwelveDefaultsWrittenBack) {
  DriverWorld w;
  w.Load();
  ASSERT_EQ(xrtest::AddDeviceOn(w, w.pdo), STATUS_SUCCESS);
  TeardownDevice(xrtest::DeviceAbove(w.pdo));

  const std::pair<const char16_t *, uint32_t> expected[] = {
      {u"RequestTimeout", 1000},     {u"ShortTransferOk", 1},       {u"UnconfigureOnClose", 1},
      {u"ResetDeviceOnClose", 0},    {u"EnableRemoteWakeup", 0},    {u"MaxIsoPackets", 512},
      {u"ConfigDescMinQuerySize", 0}, {u"PowerStateOnOpen", 0},     {u"PowerStateOnClose", 0},
      {u"MinPowerStateUsed", 3},     {u"MinPowerStateUnused", 3},   {u"AbortPipesOnPowerDown", 1}};
  auto names = sim::registry::ValueNames(w.key);
  EXPECT_EQ(names.size(), 12u);
  for (auto &[name, value] : expected) {
    auto v = sim::registry::GetValue(w.key, name);
    ASSERT_TRUE(v) << sim::Narrow(name);
    EXPECT_EQ(v->type, uint32_t(REG_DWORD));
    EXPECT_EQ(sim::registry::GetDword(w.key, name), value) << sim::Narrow(name);
  }
  // A second read finds them and writes nothing more.
  ReadBlock again(w);
  EXPECT_EQ(sim::registry::ValueNames(w.key).size(), 12u);
  EXPECT_TRUE(sim::EventLog().empty());
}

TEST(Parameters, DefaultsAndConversions) {
  DriverWorld w;
  w.Load();
  {
    // Defaults that no device behaviour shows yet; the others show in the device tests.
    ReadBlock r(w);
    EXPECT_EQ(r.p.maxTransferSize, 65535u);
    EXPECT_EQ(r.p.fxExtRamBase, 0x2000u);
    EXPECT_TRUE(r.p.fxBootloaderCheck);
  }
  struct Case {
    const char16_t *name;
    uint32_t stored;
    ULONG DriverParameters::*field;
    ULONG expected;
  };
  const Case cases[] = {
      {u"MaxIsoPackets", 0, &DriverParameters::maxIsoPackets, 16},
      {u"MaxIsoPackets", 5000, &DriverParameters::maxIsoPackets, 1024},
      {u"MaxIsoPackets", 100, &DriverParameters::maxIsoPackets, 100},
      {u"ConfigDescMinQuerySize", 100000, &DriverParameters::configDescMinQuerySize, 4096},
      {u"ConfigDescMinQuerySize", 4096, &DriverParameters::configDescMinQuerySize, 4096},
      {u"PowerStateOnOpen", 7, &DriverParameters::powerStateOnOpen, PowerDeviceD3},
      {u"PowerStateOnOpen", 0xFFFFFFFF, &DriverParameters::powerStateOnOpen, PowerDeviceD0},
      {u"MinPowerStateUnused", 4, &DriverParameters::minPowerStateUnused, PowerDeviceD3},
      {u"RequestTimeout", 0, &DriverParameters::requestTimeout, 0},
  };
  for (const Case &c : cases) {
    sim::registry::SetDword(w.key, c.name, c.stored);
    ReadBlock r(w);
    EXPECT_EQ(r.p.*c.field, c.expected) << sim::Narrow(c.name) << " = " << c.stored;
    if (c.field == &DriverParameters::maxIsoPackets) {
      EXPECT_EQ(r.p.isoContextSize, 12 * c.expected + 152);
    }
  }
  // Options and booleans: any value other than 0 counts.
  sim::registry::SetDword(w.key, u"UnconfigureOnClose", 0);
  sim::registry::SetDword(w.key, u"ResetDeviceOnClose", 9);
  sim::registry::SetDword(w.key, u"EnableRemoteWakeup", 0x80000000);
  sim::registry::SetDword(w.key, u"ShortTransferOk", 0);
  sim::registry::SetDword(w.key, u"HideDevNodeWhenStarted", 2);
  ReadBlock r(w);
  EXPECT_EQ(r.p.options, OPTION_RESET_ON_CLOSE | OPTION_REMOTE_WAKEUP);
  EXPECT_FALSE(r.p.shortTransferOk);
  EXPECT_TRUE(r.p.hideDevNodeWhenStarted);
}

TEST(Parameters, UnreadableNumbersFallBackAndAreRewrittenOnlyWhenTheQueryFails) {
  DriverWorld w;
  w.Load();
  // Four bytes of the wrong type: the default is used and the stored value is left alone.
  sim::registry::SetValue(w.key, u"RequestTimeout", REG_BINARY, {0x10, 0x27, 0, 0});
  // A REG_DWORD of the wrong length is not a number either.
  sim::registry::SetValue(w.key, u"MaxIsoPackets", REG_DWORD, {0x10, 0});
  {
    ReadBlock r(w);
    EXPECT_EQ(r.p.requestTimeout, 1000u);
    EXPECT_EQ(r.p.maxIsoPackets, 512u);
  }
  EXPECT_EQ(sim::registry::GetValue(w.key, u"RequestTimeout")->type, uint32_t(REG_BINARY));
  EXPECT_EQ(sim::registry::GetValue(w.key, u"MaxIsoPackets")->data.size(), 2u);

  // Data too long for the 20 bytes the query has room for: the query fails and the default is
  // written over it.
  sim::registry::SetString(w.key, u"RequestTimeout", u"1234567890");  // 22 bytes
  sim::registry::SetString(w.key, u"SuppressPnPRemoveDlg", u"123456789012");
  {
    ReadBlock r(w);
    EXPECT_EQ(r.p.requestTimeout, 1000u);
    EXPECT_TRUE(r.p.suppressPnPRemoveDlg);
  }
  EXPECT_EQ(sim::registry::GetDword(w.key, u"RequestTimeout"), 1000u);
  // Rows from 12 on are never written back.
  EXPECT_EQ(sim::registry::GetValue(w.key, u"SuppressPnPRemoveDlg")->type, uint32_t(REG_SZ));

  // Twenty bytes still fit: a string of that size is read, is not a number, and stays.
  sim::registry::SetString(w.key, u"RequestTimeout", u"123456789", true);  // exactly 20 bytes
  {
    ReadBlock r(w);
    EXPECT_EQ(r.p.requestTimeout, 1000u);
  }
  EXPECT_EQ(sim::registry::GetValue(w.key, u"RequestTimeout")->type, uint32_t(REG_SZ));
}

TEST(Parameters, StringsComeBackTerminatedWhateverTheirData) {
  DriverWorld w;
  w.Load();
  sim::registry::SetString(w.key, u"DriverDeviceBaseName", u"");  // present but empty
  sim::registry::SetString(w.key, u"FxFwFile", u"fw.hex", /*terminate=*/false);
  // Grown by another writer between the size query and the read: the read keeps to the size.
  const std::u16string grown = u"fw.hexAB";
  sim::registry::ChangeAfterNextQuery(w.key, u"FxFwFile", {reinterpret_cast<const uint8_t *>(grown.data()),
                                                           reinterpret_cast<const uint8_t *>(grown.data() + grown.size())});
  // Odd length, no terminator: 5 bytes "ab" plus a stray byte.
  sim::registry::SetValue(w.key, u"DriverUserInterfaceGuid", REG_BINARY, {'a', 0, 'b', 0, 'c'});
  ReadBlock r(w);
  ASSERT_NE(r.p.deviceBaseName, nullptr);
  EXPECT_EQ(std::u16string(r.p.deviceBaseName), u"");
  ASSERT_NE(r.p.firmwareFile, nullptr);
  EXPECT_EQ(std::u16string(r.p.firmwareFile), u"fw.hex");
  ASSERT_NE(r.p.userInterfaceGuid, nullptr);
  EXPECT_EQ(std::u16string(r.p.userInterfaceGuid), std::u16string(u"ab") + char16_t('c'));
  EXPECT_EQ(sim::PoolUsage(TAG_REGISTRY_STRING).blocksOutstanding, 3u);
  // The scratch buffer comes from paged pool and is gone again.
  sim::TagUsage scratch = sim::PoolUsage(TAG_REGISTRY_SCRATCH);
  EXPECT_EQ(scratch.lastPoolType, int(PagedPool));
  EXPECT_EQ(scratch.blocksOutstanding, 0u);
  EXPECT_EQ(scratch.allocations, 6u);  // two queries per string
}

}  // namespace
