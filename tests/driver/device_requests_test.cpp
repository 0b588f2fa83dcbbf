// Requests on the default control pipe as an application sends them, checked against what the
// device answered and what the bus saw go down.
#include <algorithm>
#include <cstring>
#include <vector>

#include "include/xrusb/status.h"
#include "plugged_device.h"
#include "sim/kernel/pnp.h"

namespace {

using sim::usb::Bus;
using sim::usb::Fault;
using sim::usb::Response;
using sim::usb::TraceEntry;
namespace td = sim::usb::test_device;

constexpr NTSTATUS kStalled = NTSTATUS(0xE0000004);  // USBD_STATUS_STALL_PID as callers get it

using xrtest::Result;

class DeviceRequests : public xrtest::PluggedDevice {
 protected:
  // The one URB the last request sent down; fails the test when there was not exactly one.
  TraceEntry OneUrb() {
    std::vector<TraceEntry> trace = TakeTrace();
    EXPECT_EQ(trace.size(), 1u);
    return trace.empty() ? TraceEntry{} : trace.back();
  }
  // The same, checked for its function and setup packet (bRequest aside).
  TraceEntry ExpectUrb(USHORT function, uint8_t type, uint16_t value, uint16_t index, uint16_t length) {
    const TraceEntry urb = OneUrb();
    EXPECT_EQ(urb.function, function);
    EXPECT_EQ(urb.setup.bmRequestType, type);
    EXPECT_EQ(urb.setup.wValue, value);
    EXPECT_EQ(urb.setup.wIndex, index);
    EXPECT_EQ(urb.setup.wLength, length);
    return urb;
  }
};

TEST_F(DeviceRequests, DescriptorsGetAndSet) {
  const std::vector<uint8_t> &config = device_.model->configurations[0];
  struct Row {
    const char *name;
    DescriptorRequest request;
    DWORD bufferLength;
    std::vector<uint8_t> expect;
  };
  const Row rows[] = {
      {"device", {0, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0}, 64, device_.model->deviceDescriptor},
      {"whole configuration", {0, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0}, 4096, config},
      {"configuration cut to the buffer", {0, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0}, 9,
       std::vector<uint8_t>(config.begin(), config.begin() + 9)},
      {"product string in a language", {0, USB_STRING_DESCRIPTOR_TYPE, td::kProductString, 0x0409}, 255,
       device_.model->strings[td::kProductString]},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<uint8_t> data(row.bufferLength, 0xA5);
    const Result r = Send(IOCTL_GET_DESCRIPTOR, row.request, &data);
    EXPECT_EQ(r, (Result{STATUS_SUCCESS, row.expect.size()}));
    EXPECT_TRUE(std::equal(row.expect.begin(), row.expect.end(), data.begin()));
    const DescriptorRequest &q = row.request;
    EXPECT_EQ(ExpectUrb(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, 0x80, q.DescriptorType << 8 | q.DescriptorIndex,
                        q.LanguageId, row.bufferLength)
                  .flags,
              0u);
  }

  // Interface and endpoint recipients go down as such; the test device refuses them.
  std::vector<uint8_t> data(16, 0xA5);
  EXPECT_EQ(Send(IOCTL_GET_DESCRIPTOR, DescriptorRequest{XRUSB_RECIPIENT_ENDPOINT, 0x30, 1, 0x81}, &data),
            (Result{kStalled, 0}));
  ExpectUrb(URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT, 0x82, 0x3001, 0x81, 16);
  data = {5, 0x22, 1, 2, 3};
  EXPECT_EQ(Send(IOCTL_SET_DESCRIPTOR, DescriptorRequest{XRUSB_RECIPIENT_INTERFACE, 0x22, 3, 7}, &data),
            (Result{kStalled, 0}));
  EXPECT_EQ(ExpectUrb(URB_FUNCTION_SET_DESCRIPTOR_TO_INTERFACE, 0x01, 0x2203, 7, 5).setup.bRequest,
            USB_REQUEST_SET_DESCRIPTOR);

  Response partly = Response::Ack();
  partly.accepted = 3;
  Bus::Get().FailRequest(pdo_, USB_REQUEST_SET_DESCRIPTOR, Fault{partly});
  const Result r = Send(IOCTL_SET_DESCRIPTOR, DescriptorRequest{XRUSB_RECIPIENT_ENDPOINT, 0x22, 0, 0}, &data);
  EXPECT_EQ(r, (Result{STATUS_SUCCESS, 3}));  // what the device took
  EXPECT_EQ(OneUrb().function, URB_FUNCTION_SET_DESCRIPTOR_TO_ENDPOINT);
}

TEST_F(DeviceRequests, FeaturesAndStatusPerRecipient) {
  struct Row {
    const char *name;
    DWORD code;
    uint32_t recipient;
    uint16_t selectorOrIndex, index;
    NTSTATUS expect;
    USHORT function;
    uint16_t statusWord;  // GET_STATUS only
  };
  const Row rows[] = {
      {"device status", IOCTL_GET_STATUS, 0, 0, 0, STATUS_SUCCESS, URB_FUNCTION_GET_STATUS_FROM_DEVICE, 0},
      {"arm remote wake-up", IOCTL_SET_FEATURE, 0, USB_FEATURE_REMOTE_WAKEUP, 0, STATUS_SUCCESS,
       URB_FUNCTION_SET_FEATURE_TO_DEVICE, 0},
      {"device status, armed", IOCTL_GET_STATUS, 0, 0, 0, STATUS_SUCCESS, URB_FUNCTION_GET_STATUS_FROM_DEVICE,
       USB_GETSTATUS_REMOTE_WAKEUP_ENABLED},
      {"disarm", IOCTL_CLEAR_FEATURE, 0, USB_FEATURE_REMOTE_WAKEUP, 0, STATUS_SUCCESS,
       URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE, 0},
      {"device status, disarmed", IOCTL_GET_STATUS, 0, 0, 0, STATUS_SUCCESS, URB_FUNCTION_GET_STATUS_FROM_DEVICE, 0},
      {"interface feature", IOCTL_SET_FEATURE, 1, 0, 0, STATUS_SUCCESS, URB_FUNCTION_SET_FEATURE_TO_INTERFACE, 0},
      {"interface status, unconfigured", IOCTL_GET_STATUS, 1, 0, 0, kStalled, URB_FUNCTION_GET_STATUS_FROM_INTERFACE,
       0},
      {"halt endpoint 0", IOCTL_SET_FEATURE, 2, USB_FEATURE_ENDPOINT_STALL, 0x80, STATUS_SUCCESS,
       URB_FUNCTION_SET_FEATURE_TO_ENDPOINT, 0},
      {"endpoint 0 status", IOCTL_GET_STATUS, 2, 0x80, 0, STATUS_SUCCESS, URB_FUNCTION_GET_STATUS_FROM_ENDPOINT, 0},
      {"clear unknown endpoint", IOCTL_CLEAR_FEATURE, 2, USB_FEATURE_ENDPOINT_STALL, 0x8F, kStalled,
       URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT, 0},
      {"other feature", IOCTL_SET_FEATURE, 3, 4, 1, kStalled, URB_FUNCTION_SET_FEATURE_TO_OTHER, 0},
      {"clear other", IOCTL_CLEAR_FEATURE, 3, 4, 1, kStalled, URB_FUNCTION_CLEAR_FEATURE_TO_OTHER, 0},
      {"other status", IOCTL_GET_STATUS, 3, 2, 0, kStalled, URB_FUNCTION_GET_STATUS_FROM_OTHER, 0},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    uint8_t buffer[8];
    memset(buffer, 0xA5, sizeof buffer);
    const bool status = row.code == IOCTL_GET_STATUS;
    const StatusRequest statusRequest = {row.recipient, row.selectorOrIndex};
    const FeatureRequest featureRequest = {row.recipient, row.selectorOrIndex, row.index};
    const Result r = status ? Send(row.code, &statusRequest, sizeof statusRequest, buffer, sizeof buffer)
                            : Send(row.code, featureRequest);
    EXPECT_EQ(r, (Result{row.expect, ULONG_PTR(status && NT_SUCCESS(row.expect) ? 2 : 0)}));
    ExpectUrb(row.function, uint8_t((status ? 0x80 : 0) | row.recipient), status ? 0 : row.selectorOrIndex,
              status ? row.selectorOrIndex : row.index, status ? 2 : 0);
    if (status && NT_SUCCESS(row.expect)) {
      EXPECT_EQ(buffer[0] | buffer[1] << 8, row.statusWord);
      EXPECT_EQ(buffer[2], 0xA5) << "two bytes only";
    }
  }
}

TEST_F(DeviceRequests, ConfigurationAndAlternateSettingOfAnUnconfiguredDevice) {
  uint8_t buffer[4] = {0xA5, 0xA5, 0xA5, 0xA5};
  EXPECT_EQ(Send(IOCTL_GET_CONFIGURATION, nullptr, 0, buffer, sizeof buffer), (Result{STATUS_SUCCESS, 1}));
  EXPECT_EQ(buffer[0], 0) << "unconfigured";
  EXPECT_EQ(buffer[1], 0xA5) << "one byte whatever the buffer";
  ExpectUrb(URB_FUNCTION_GET_CONFIGURATION, 0x80, 0, 0, 1);

  const uint16_t interfaceNumber = 2;
  memcpy(buffer, &interfaceNumber, sizeof interfaceNumber);
  EXPECT_EQ(Send(IOCTL_GET_INTERFACE, buffer, 2, buffer, sizeof buffer), (Result{kStalled, 0}));
  ExpectUrb(URB_FUNCTION_GET_INTERFACE, 0x81, 0, interfaceNumber, 1);

  // The alternate setting overwrites the request's first byte.
  Bus::Get().FailRequest(pdo_, USB_REQUEST_GET_INTERFACE, Fault{Response::Ack({3})});
  memcpy(buffer, &interfaceNumber, sizeof interfaceNumber);
  EXPECT_EQ(Send(IOCTL_GET_INTERFACE, buffer, 2, buffer, sizeof buffer), (Result{STATUS_SUCCESS, 1}));
  EXPECT_EQ(buffer[0], 3);
  OneUrb();
}

TEST_F(DeviceRequests, VendorAndClassRequestsRoundTripThroughTheDevice) {
  auto vendor = [](uint8_t request, uint16_t value, uint32_t flags = 0) {
    return ClassOrVendorRequest{flags, XRUSB_REQUEST_TYPE_VENDOR, XRUSB_RECIPIENT_DEVICE, 0, request, value, 0};
  };
  std::vector<uint8_t> written = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  EXPECT_EQ(Send(IOCTL_CLASS_OR_VENDOR_OUT_REQUEST, vendor(td::kWriteMemory, 100, SHORT_TRANSFER_OK), &written),
            (Result{STATUS_SUCCESS, written.size()}));
  EXPECT_EQ(ExpectUrb(URB_FUNCTION_VENDOR_DEVICE, 0x40, 100, 0, 9).flags, ULONG(USBD_SHORT_TRANSFER_OK));

  std::vector<uint8_t> read(written.size(), 0);
  EXPECT_EQ(Send(IOCTL_CLASS_OR_VENDOR_IN_REQUEST, vendor(td::kReadMemory, 100, 0xFFFEFFFF), &read),
            (Result{STATUS_SUCCESS, read.size()}));
  EXPECT_EQ(read, written);
  EXPECT_EQ(ExpectUrb(URB_FUNCTION_VENDOR_DEVICE, 0xC0, 100, 0, 9).flags, ULONG(USBD_TRANSFER_DIRECTION_IN))
      << "other flag bits are ignored";

  // No data stage; the register comes back short of a larger buffer.
  EXPECT_EQ(Send(IOCTL_CLASS_OR_VENDOR_OUT_REQUEST, vendor(td::kSetRegister, 0xBEEF)), (Result{STATUS_SUCCESS, 0}));
  ExpectUrb(URB_FUNCTION_VENDOR_DEVICE, 0x40, 0xBEEF, 0, 0);
  std::vector<uint8_t> reg(16, 0xA5);
  EXPECT_EQ(Send(IOCTL_CLASS_OR_VENDOR_IN_REQUEST, vendor(td::kGetRegister, 0, SHORT_TRANSFER_OK), &reg),
            (Result{STATUS_SUCCESS, 2}));
  EXPECT_EQ(reg[0] | reg[1] << 8, 0xBEEF);
  EXPECT_EQ(ExpectUrb(URB_FUNCTION_VENDOR_DEVICE, 0xC0, 0, 0, 16).flags,
            ULONG(USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK));

  // Out of range: the device stalls, and the caller gets no count.
  EXPECT_EQ(Send(IOCTL_CLASS_OR_VENDOR_IN_REQUEST, vendor(td::kReadMemory, 0xFFF0), &read), (Result{kStalled, 0}));
  OneUrb();

  Bus::Get().FailRequest(pdo_, 0x21, Fault{Response::Ack({1, 2, 3}), 0});
  const USHORT functions[] = {URB_FUNCTION_CLASS_DEVICE, URB_FUNCTION_CLASS_INTERFACE, URB_FUNCTION_CLASS_ENDPOINT,
                              URB_FUNCTION_CLASS_OTHER};
  for (uint32_t recipient = 0; recipient < 4; ++recipient) {
    SCOPED_TRACE(recipient);
    const ClassOrVendorRequest request = {0, XRUSB_REQUEST_TYPE_CLASS, recipient, 0, 0x21, 0x0102, 0x0304};
    std::vector<uint8_t> data(8, 0);
    EXPECT_EQ(Send(IOCTL_CLASS_OR_VENDOR_IN_REQUEST, request, &data), (Result{STATUS_SUCCESS, 3}));
    ExpectUrb(functions[recipient], uint8_t(0xA0 | recipient), 0x0102, 0x0304, 8);
    // No data buffer, no data stage.
    EXPECT_EQ(Send(IOCTL_CLASS_OR_VENDOR_IN_REQUEST, request), (Result{STATUS_SUCCESS, 0}));
    ExpectUrb(functions[recipient], uint8_t(0xA0 | recipient), 0x0102, 0x0304, 0);
  }
}

// Refusals come in a fixed order and send nothing down.
TEST_F(DeviceRequests, RefusalsInOrder) {
  auto classOrVendor = [](uint32_t type, uint32_t recipient) {
    return ClassOrVendorRequest{0, type, recipient, 0, td::kGetRegister, 0, 0};
  };
  enum Blocked { NO, YES };
  struct Row {
    const char *name;
    DWORD code;
    std::vector<uint8_t> request;
    DWORD dataLength;
    bool failMapping;
    Blocked blocked;
    NTSTATUS expect;
  };
  auto bytes = [](const auto &record) {
    const auto *p = reinterpret_cast<const uint8_t *>(&record);
    return std::vector<uint8_t>(p, p + sizeof record);
  };
  const DescriptorRequest device = {0, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0};
  const DescriptorRequest other = {3, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0};
  const Row rows[] = {
      {"descriptor to other", IOCTL_GET_DESCRIPTOR, bytes(other), 18, false, NO, ERR_INVALID_RECIPIENT},
      {"set descriptor to 7", IOCTL_SET_DESCRIPTOR, bytes(DescriptorRequest{7, 1, 0, 0}), 18, false, NO,
       ERR_INVALID_RECIPIENT},
      {"mapping before recipient", IOCTL_GET_DESCRIPTOR, bytes(other), 18, true, NO, ERR_BUFFER_MAPPING_FAILED},
      {"mapping before blocked", IOCTL_SET_DESCRIPTOR, bytes(device), 18, true, YES, ERR_BUFFER_MAPPING_FAILED},
      {"recipient before blocked", IOCTL_GET_DESCRIPTOR, bytes(other), 18, false, YES, ERR_INVALID_RECIPIENT},
      {"descriptor, blocked", IOCTL_GET_DESCRIPTOR, bytes(device), 18, false, YES, ERR_DEVICE_NOT_READY},
      {"feature to 4", IOCTL_SET_FEATURE, bytes(FeatureRequest{4, 0, 0}), 0, false, YES, ERR_INVALID_RECIPIENT},
      {"clear feature, blocked", IOCTL_CLEAR_FEATURE, bytes(FeatureRequest{0, 1, 0}), 0, false, YES,
       ERR_DEVICE_NOT_READY},
      {"status of 0xFFFFFFFF", IOCTL_GET_STATUS, bytes(StatusRequest{0xFFFFFFFF, 0}), 2, false, NO,
       ERR_INVALID_RECIPIENT},
      {"status, blocked", IOCTL_GET_STATUS, bytes(StatusRequest{0, 0}), 2, false, YES, ERR_DEVICE_NOT_READY},
      {"standard type", IOCTL_CLASS_OR_VENDOR_IN_REQUEST, bytes(classOrVendor(0, 0)), 2, false, NO,
       ERR_INVALID_TYPE},
      {"type before recipient", IOCTL_CLASS_OR_VENDOR_OUT_REQUEST, bytes(classOrVendor(3, 9)), 0, false, YES,
       ERR_INVALID_TYPE},
      {"vendor to 4", IOCTL_CLASS_OR_VENDOR_IN_REQUEST, bytes(classOrVendor(2, 4)), 2, false, YES,
       ERR_INVALID_RECIPIENT},
      {"vendor, blocked", IOCTL_CLASS_OR_VENDOR_IN_REQUEST, bytes(classOrVendor(2, 0)), 2, false, YES,
       ERR_DEVICE_NOT_READY},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    if (row.blocked == YES) {
      ASSERT_EQ(sim::pnp::QueryStop(pdo_), STATUS_SUCCESS);
    }
    // The I/O manager's MDL for the caller's buffer comes first; the driver's mapping second.
    if (row.failMapping) sim::FailNth(sim::AllocKind::Mdl, 2);
    std::vector<uint8_t> in = row.request, data(row.dataLength, 0xA5);
    in.resize(in.size() + 8, 0);
    const uint64_t faultsBefore = sim::FaultsInjected(sim::AllocKind::Mdl);
    EXPECT_EQ(Send(row.code, in.data(), DWORD(row.request.size()), data.data(), row.dataLength),
              (Result{row.expect, 0}));
    EXPECT_EQ(sim::FaultsInjected(sim::AllocKind::Mdl) - faultsBefore, row.failMapping ? 1u : 0u);
    EXPECT_TRUE(Bus::Get().Trace(pdo_).empty()) << "nothing reached the bus";
    sim::ClearFaults();
    if (row.blocked == YES) {
      ASSERT_EQ(sim::pnp::CancelStop(pdo_), STATUS_SUCCESS);
    }
  }

  // Released again, the same request goes through.
  std::vector<uint8_t> data(18);
  EXPECT_EQ(Send(IOCTL_GET_DESCRIPTOR, device, &data).status, STATUS_SUCCESS);
}

}  // namespace
