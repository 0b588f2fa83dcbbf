// The device models on the bus, driven with the URBs and the USB library calls our driver uses.
#include "bus_test_client.h"
#include "sim/usb/fx_device.h"
#include "sim/usb/test_device.h"

using namespace bustest;
namespace td = sim::usb::test_device;

namespace {

class ModelsOnTheBus : public BusTest {
 protected:
  USBD_STATUS Submit(URB &urb) {
    SubmitSync(urb);
    return urb.UrbHeader.Status;
  }
  USBD_STATUS VendorRequest(bool in, uint8_t request, uint16_t value, std::vector<uint8_t> &data, uint16_t index = 0) {
    URB urb = Vendor(URB_FUNCTION_VENDOR_DEVICE, in ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : 0, request,
                     value, index, data.empty() ? nullptr : data.data(), ULONG(data.size()));
    USBD_STATUS status = Submit(urb);
    data.resize(urb.UrbControlVendorClassRequest.TransferBufferLength);
    return status;
  }
  std::vector<uint8_t> GetDescriptor(uint8_t type, size_t length) {
    std::vector<uint8_t> buffer(length);
    URB urb{};
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, 0, 0, buffer.data(),
                                 nullptr, ULONG(length), nullptr);
    EXPECT_EQ(USBD_STATUS_SUCCESS, Submit(urb));
    buffer.resize(urb.UrbControlDescriptorRequest.TransferBufferLength);
    return buffer;
  }
  // Alternate setting 0 of every interface, through the USB library; pipe handles by address.
  std::map<uint8_t, USBD_PIPE_HANDLE> Configure(std::vector<uint8_t> block) {
    auto config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(block.data());
    std::vector<USBD_INTERFACE_LIST_ENTRY> list;
    for (LONG n = 0; n < config->bNumInterfaces; ++n)
      list.push_back({USBD_ParseConfigurationDescriptorEx(config, config, n, 0, -1, -1, -1), nullptr});
    list.push_back({nullptr, nullptr});
    PURB urb = USBD_CreateConfigurationRequestEx(config, list.data());
    std::map<uint8_t, USBD_PIPE_HANDLE> pipes;
    EXPECT_EQ(USBD_STATUS_SUCCESS, Submit(*urb));
    for (auto &entry : list)
      for (ULONG i = 0; entry.Interface && i < entry.Interface->NumberOfPipes; ++i)
        pipes[entry.Interface->Pipes[i].EndpointAddress] = entry.Interface->Pipes[i].PipeHandle;
    ExFreePool(urb);
    return pipes;
  }
  USBD_STATUS Transfer(USBD_PIPE_HANDLE pipe, bool in, std::vector<uint8_t> &data) {
    URB urb = Bulk(pipe, data.data(), ULONG(data.size()), in ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : 0);
    USBD_STATUS status = Submit(urb);
    data.resize(urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
    return status;
  }
};

TEST_F(ModelsOnTheBus, TestDeviceMovesDataAndAnswersVendorRequests) {
  auto dev = MakeTestDevice();
  Plug(dev.model);
  EXPECT_EQ(GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 18), dev.model->deviceDescriptor);

  auto pipes = Configure(dev.model->configurations[0]);
  EXPECT_EQ(dev.state->Snapshot().configuration, 1);
  ASSERT_TRUE(pipes.count(td::kLoopbackOut) && pipes.count(td::kLoopbackIn) && pipes.count(td::kSourceIn));

  std::vector<uint8_t> source(700);
  EXPECT_EQ(Transfer(pipes[td::kSourceIn], true, source), USBD_STATUS_SUCCESS);
  ASSERT_EQ(source.size(), 700u);
  for (size_t i = 0; i < source.size(); ++i) ASSERT_EQ(source[i], i % 251) << i;

  std::vector<uint8_t> sent{1, 2, 3, 4, 5}, back(64);
  EXPECT_EQ(Transfer(pipes[td::kLoopbackOut], false, sent), USBD_STATUS_SUCCESS);
  EXPECT_EQ(Transfer(pipes[td::kLoopbackIn], true, back), USBD_STATUS_SUCCESS);
  EXPECT_EQ(back, sent);

  std::vector<uint8_t> none, reg(2), bad(1);
  EXPECT_EQ(VendorRequest(false, td::kSetRegister, 0x1234, none), USBD_STATUS_SUCCESS);
  EXPECT_EQ(VendorRequest(true, td::kGetRegister, 0, reg), USBD_STATUS_SUCCESS);
  EXPECT_EQ(reg, (std::vector<uint8_t>{0x34, 0x12}));
  EXPECT_NE(VendorRequest(true, 0x77, 0, bad), USBD_STATUS_SUCCESS);
  Bus::Get().Unplug(pdo_);
  Bus::Get().Settle();
}

TEST_F(ModelsOnTheBus, FxLoadReleaseAndComeBackAsTheImage) {
  auto fx = MakeFxBootloader(FxVariant::Fx2);
  auto target = MakeTestDevice({.speed = Speed::High, .vendorId = 0x1111, .productId = 0x2222});
  auto block = FxDescriptorBlock(target.model->deviceDescriptor, target.model->configurations, target.model->strings,
                                 true);
  Plug(fx.model);
  EXPECT_EQ(GetDescriptor(USB_STRING_DESCRIPTOR_TYPE, 16), (std::vector<uint8_t>{0x02, 0x03}));

  std::vector<uint8_t> hold{1}, ext{0x12, 0x34}, outside{1}, run{0};
  EXPECT_EQ(VendorRequest(false, kFxInternalRequest, kFx2Cpucs, hold), USBD_STATUS_SUCCESS);
  EXPECT_EQ(VendorRequest(false, kFxExternalRequest, 0x2000, ext), USBD_STATUS_SUCCESS);
  for (size_t i = 0; i < block.size(); i += 64) {
    std::vector<uint8_t> rec(block.begin() + i, block.begin() + std::min(block.size(), i + 64));
    ASSERT_EQ(VendorRequest(false, kFxInternalRequest, uint16_t(kFxDescriptorAddress + i), rec), USBD_STATUS_SUCCESS);
  }
  EXPECT_NE(VendorRequest(false, kFxInternalRequest, 0x4000, outside), USBD_STATUS_SUCCESS);
  EXPECT_EQ(VendorRequest(false, kFxInternalRequest, kFx2Cpucs, run), USBD_STATUS_SUCCESS);
  Bus::Get().Settle();

  PDEVICE_OBJECT loaded = Bus::Get().Current(pdo_);
  ASSERT_NE(loaded, pdo_);
  pdo_ = loaded;
  EXPECT_EQ(Bus::Get().Model(loaded), fx.state->Firmware()->model);
  EXPECT_EQ(GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 18), target.model->deviceDescriptor);
  EXPECT_EQ(GetDescriptor(USB_STRING_DESCRIPTOR_TYPE, 16), (std::vector<uint8_t>{4, 3, 0x09, 0x04}));
  std::vector<uint8_t> image(2);
  EXPECT_EQ(VendorRequest(true, kFxReadImage, 0x2000, image, 1), USBD_STATUS_SUCCESS);
  EXPECT_EQ(image, ext);
  Bus::Get().Unplug(loaded);
  Bus::Get().Settle();
}

}  // namespace
