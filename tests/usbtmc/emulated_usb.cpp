#include "usbtmc/emulated_usb.h"

#include <libusb.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>
#include <utility>

#include "visa/usbtmc/usbtmc_protocol.h"

namespace quorvel::testing {

namespace {

namespace proto = quorvel::usbtmc;

constexpr std::uint8_t kRequestGetDescriptor = 0x06;
constexpr std::uint8_t kDescriptorDevice = 1;
constexpr std::uint8_t kDescriptorConfig = 2;
constexpr std::uint8_t kDescriptorString = 3;
constexpr std::size_t kSetupSize = 8;
// Bytes an oversized reply really sends at most, so a lying device stays finite.
constexpr std::size_t kMaxLyingPayload = 8192;

void Append16(Bytes& bytes, unsigned value) {
  bytes.push_back(static_cast<std::uint8_t>(value & 0xFF));
  bytes.push_back(static_cast<std::uint8_t>((value >> 8) & 0xFF));
}

void Append32(Bytes& bytes, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8)
    bytes.push_back(static_cast<std::uint8_t>(value >> shift));
}

std::string Hex(const Bytes& bytes) {
  std::string text;
  char digits[3];
  for (const std::uint8_t byte : bytes) {
    std::snprintf(digits, sizeof digits, "%02X", static_cast<unsigned>(byte));
    text += digits;
  }
  return text;
}

Bytes StringDescriptor(std::string_view text) {
  Bytes descriptor{static_cast<std::uint8_t>(2 + 2 * text.size()), kDescriptorString};
  for (const char c : text) Append16(descriptor, static_cast<unsigned char>(c));
  return descriptor;
}

// A resolved piece of the client's memory, released with the wrapper.
class ClientMemory {
 public:
  ClientMemory(UMockdevIoctlData* parent, std::size_t offset, std::size_t length) {
    GError* error = nullptr;
    data_ = umockdev_ioctl_data_resolve(parent, offset, length, &error);
    if (error) g_error_free(error);
  }
  ~ClientMemory() {
    if (data_) g_object_unref(data_);
  }
  ClientMemory(const ClientMemory&) = delete;
  ClientMemory& operator=(const ClientMemory&) = delete;

  explicit operator bool() const { return data_ != nullptr; }
  UMockdevIoctlData* get() const { return data_; }
  std::uint8_t* bytes() const { return data_->data; }
  std::size_t size() const { return static_cast<std::size_t>(data_->data_len); }
  template <typename T>
  T* As() const {
    return size() >= sizeof(T) ? reinterpret_cast<T*>(data_->data) : nullptr;
  }

 private:
  UMockdevIoctlData* data_ = nullptr;
};

}  // namespace

struct EmulatedDevice::Urb {
  unsigned long clientAddress = 0;
  std::uint8_t type = 0;
  std::uint8_t endpoint = 0;
  std::size_t bufferLength = 0;
  Bytes out;               // OUT data, or a control request's setup packet
  Bytes in;                // IN data to hand back
  std::size_t actual = 0;  // bytes transferred
  int status = 0;
  bool done = false;  // completed, waits to be reaped
};

// ---------------------------------------------------------------- the device

EmulatedDevice::EmulatedDevice(EmulatedUsbBus& bus, DeviceIdentity identity,
                               std::shared_ptr<UsbtmcFunction> function, int busNumber,
                               int deviceNumber, int port)
    : bus_(bus),
      identity_(std::move(identity)),
      function_(std::move(function)),
      busNumber_(busNumber),
      deviceNumber_(deviceNumber),
      kernelDriver_(static_cast<std::size_t>(identity_.usbtmcInterfaces), true) {
  char path[96];
  std::snprintf(path, sizeof path, "/sys/devices/pci0000:00/0000:00:14.0/usb%d/%d-%d", busNumber,
                busNumber, port);
  sysPath_ = path;
  std::snprintf(path, sizeof path, "/dev/bus/usb/%03d/%03d", busNumber, deviceNumber);
  devNode_ = path;
}

EmulatedDevice::~EmulatedDevice() {
  if (handler_) g_object_unref(handler_);
}

bool EmulatedDevice::kernelDriverAttached(int interfaceNumber) const {
  return interfaceNumber >= 0 && static_cast<std::size_t>(interfaceNumber) < kernelDriver_.size() &&
         kernelDriver_[static_cast<std::size_t>(interfaceNumber)];
}

Bytes EmulatedDevice::ConfigDescriptor() const {
  const int interfaces = identity_.usbtmcInterfaces;
  Bytes config{9, kDescriptorConfig};
  Append16(config, static_cast<unsigned>(9 + interfaces * (9 + 7 + 7 + 7)));
  config.insert(config.end(), {static_cast<std::uint8_t>(interfaces), 1, 0, 0x80, 50});
  for (int i = 0; i < interfaces; ++i) {
    const auto number = static_cast<std::uint8_t>(i);
    config.insert(config.end(), {9, 4, number, 0, 3, proto::kInterfaceClass,
                                 proto::kInterfaceSubClass, proto::kProtocolUsb488, 0});
    // A USB488 interface has an interrupt-IN endpoint for its notifications;
    // listed first, so that a host picking "the first IN endpoint" picks wrong.
    config.insert(config.end(), {7, 5, static_cast<std::uint8_t>(0x80 | (9 + i)), 0x03, 2, 0, 8});
    // Bulk-OUT 0x01, 0x03 ...; bulk-IN 0x82, 0x84 ...
    config.insert(config.end(), {7, 5, static_cast<std::uint8_t>(2 * i + 1), 0x02});
    Append16(config, identity_.maxPacket);
    config.push_back(0);
    config.insert(config.end(), {7, 5, static_cast<std::uint8_t>(0x80 | (2 * i + 2)), 0x02});
    Append16(config, identity_.maxPacket);
    config.push_back(0);
  }
  return config;
}

Bytes EmulatedDevice::DeviceDescriptor() const {
  Bytes device{18, kDescriptorDevice};
  Append16(device, 0x0200);
  device.insert(device.end(), {0, 0, 0, 64});
  Append16(device, identity_.vendorId);
  Append16(device, identity_.productId);
  Append16(device, 0x0100);
  device.insert(device.end(), {1, 2, 3, 1});
  return device;
}

std::string EmulatedDevice::DescriptionText() const {
  Bytes all = DeviceDescriptor();
  const Bytes config = ConfigDescriptor();
  all.insert(all.end(), config.begin(), config.end());
  char text[1024];
  std::snprintf(text, sizeof text,
                "P: %s\n"
                "N: bus/usb/%03d/%03d=%s\n"
                "E: DEVNAME=%s\nE: DEVTYPE=usb_device\nE: DRIVER=usb\nE: SUBSYSTEM=usb\n"
                "E: BUSNUM=%03d\nE: DEVNUM=%03d\nE: PRODUCT=%x/%x/100\n"
                "A: busnum=%d\\n\nA: devnum=%d\\n\nA: speed=%d\\n\nA: bConfigurationValue=1\\n\n"
                "A: idVendor=%04x\\n\nA: idProduct=%04x\\n\nA: serial=%s\\n\n",
                sysPath_.c_str() + 4, busNumber_, deviceNumber_, Hex(DeviceDescriptor()).c_str(),
                devNode_.c_str(), busNumber_, deviceNumber_, identity_.vendorId,
                identity_.productId, busNumber_, deviceNumber_, identity_.speedMbps, identity_.vendorId,
                identity_.productId, identity_.serial.c_str());
  return std::string(text) + "H: descriptors=" + Hex(all) + "\n";
}

int EmulatedDevice::OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
  auto* device = static_cast<EmulatedDevice*>(self);
  const auto lock = device->bus_.Lock();
  device->HandleIoctl(client);
  return TRUE;
}

void EmulatedDevice::Note(WireEvent event) {
  bus_.wire_.push_back(event);
  wire_.push_back(std::move(event));
}

void EmulatedDevice::Complete(UMockdevIoctlClient* client, long result, int error) {
  umockdev_ioctl_client_complete(client, result, error);
}

void EmulatedDevice::HandleIoctl(UMockdevIoctlClient* client) {
  const unsigned long request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  CheckPresence();
  switch (request) {
    case USBDEVFS_SUBMITURB:
      return Submit(client);
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
      return Reap(client);
    case USBDEVFS_DISCARDURB:
      return Discard(client);
    default:
      break;
  }
  const int error = gone_ ? ENODEV : DeviceIoctl(request, arg);
  Complete(client, error == 0 ? 0 : -1, error);
}

int EmulatedDevice::DeviceIoctl(unsigned long request, UMockdevIoctlData* arg) {
  switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
      ClientMemory caps(arg, 0, sizeof(std::uint32_t));
      if (!caps) return EFAULT;
      std::memcpy(caps.bytes(), &identity_.capabilities, sizeof(std::uint32_t));
      return 0;
    }
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_DISCONNECT_CLAIM:
      return Claim(arg, request == USBDEVFS_DISCONNECT_CLAIM);
    case USBDEVFS_RELEASEINTERFACE:
      return Release(arg);
    case USBDEVFS_IOCTL:
      return SwitchKernelDriver(arg);
    case USBDEVFS_GETDRIVER:
      return ReportKernelDriver(arg);
    case USBDEVFS_CLEAR_HALT: {
      ClientMemory endpoint(arg, 0, sizeof(unsigned int));
      if (!endpoint) return EFAULT;
      const auto address = static_cast<std::uint8_t>(*endpoint.As<unsigned int>());
      if ((address & 0x80) != 0) bulkInHalted_ = false;
      if ((address & 0x80) == 0) bulkOutCleared_ = true;
      Note({.kind = WireEvent::Kind::ClearHalt, .endpoint = address});
      return 0;
    }
    case USBDEVFS_RESET:
      return 0;
    case USBDEVFS_SETCONFIGURATION: {
      // Hosts commonly select the configuration the device is already in.
      ClientMemory value(arg, 0, sizeof(unsigned int));
      if (!value) return EFAULT;
      return *value.As<unsigned int>() == 1 ? 0 : EINVAL;
    }
    case USBDEVFS_SETINTERFACE: {
      ClientMemory setting(arg, 0, sizeof(usbdevfs_setinterface));
      if (!setting) return EFAULT;
      const auto* wanted = setting.As<usbdevfs_setinterface>();
      return wanted->interface < static_cast<unsigned>(identity_.usbtmcInterfaces) &&
                     wanted->altsetting == 0
                 ? 0
                 : EINVAL;
    }
    default:
      return ENOTTY;
  }
}

// The interface number both claim requests start with.
std::optional<int> EmulatedDevice::InterfaceArgument(UMockdevIoctlData* arg,
                                                     std::size_t size) const {
  ClientMemory number(arg, 0, size);
  if (!number) return std::nullopt;
  const auto interfaceNumber = static_cast<int>(*number.As<unsigned int>());
  if (interfaceNumber >= identity_.usbtmcInterfaces) return std::nullopt;
  return interfaceNumber;
}

int EmulatedDevice::Claim(UMockdevIoctlData* arg, bool detachingDriver) {
  const auto interfaceNumber = InterfaceArgument(
      arg, detachingDriver ? sizeof(usbdevfs_disconnect_claim) : sizeof(unsigned int));
  if (!interfaceNumber) return EINVAL;
  const auto number = static_cast<std::uint8_t>(*interfaceNumber);
  if (std::find(claimedInterfaces_.begin(), claimedInterfaces_.end(), number) !=
      claimedInterfaces_.end()) {
    return EBUSY;
  }
  if (kernelDriverAttached(number)) {
    if (!detachingDriver) return EBUSY;
    kernelDriver_[number] = false;
    Note({.kind = WireEvent::Kind::DriverDetached, .endpoint = number});
  }
  claimedInterfaces_.push_back(number);
  Note({.kind = WireEvent::Kind::Claim, .endpoint = number});
  function_->Opened();
  return 0;
}

int EmulatedDevice::Release(UMockdevIoctlData* arg) {
  const auto interfaceNumber = InterfaceArgument(arg, sizeof(unsigned int));
  if (!interfaceNumber) return EINVAL;
  const auto claimed =
      std::find(claimedInterfaces_.begin(), claimedInterfaces_.end(), *interfaceNumber);
  if (claimed == claimedInterfaces_.end()) return EINVAL;
  claimedInterfaces_.erase(claimed);
  Note({.kind = WireEvent::Kind::Release, .endpoint = static_cast<std::uint8_t>(*interfaceNumber)});
  function_->Closed();
  return 0;
}

// USBDEVFS_IOCTL carrying the kernel's connect or disconnect request.
int EmulatedDevice::SwitchKernelDriver(UMockdevIoctlData* arg) {
  ClientMemory command(arg, 0, sizeof(usbdevfs_ioctl));
  if (!command) return EFAULT;
  const auto* ioctl = command.As<usbdevfs_ioctl>();
  if (ioctl->ifno < 0 || ioctl->ifno >= identity_.usbtmcInterfaces) return EINVAL;
  const auto index = static_cast<std::size_t>(ioctl->ifno);
  const bool connect = static_cast<unsigned long>(ioctl->ioctl_code) == USBDEVFS_CONNECT;
  if (connect == kernelDriver_[index]) return connect ? EBUSY : ENODATA;
  kernelDriver_[index] = connect;
  Note({.kind = connect ? WireEvent::Kind::DriverAttached : WireEvent::Kind::DriverDetached,
        .endpoint = static_cast<std::uint8_t>(index)});
  return 0;
}

int EmulatedDevice::ReportKernelDriver(UMockdevIoctlData* arg) {
  ClientMemory query(arg, 0, sizeof(usbdevfs_getdriver));
  if (!query) return EFAULT;
  auto* driver = query.As<usbdevfs_getdriver>();
  if (!kernelDriverAttached(static_cast<int>(driver->interface))) return ENODATA;
  std::snprintf(driver->driver, sizeof driver->driver, "usbtmc");
  return 0;
}

void EmulatedDevice::Submit(UMockdevIoctlClient* client) {
  if (gone_) return Complete(client, -1, ENODEV);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  ClientMemory urbMemory(arg, 0, sizeof(usbdevfs_urb));
  if (!urbMemory) return Complete(client, -1, EFAULT);
  const auto* submitted = urbMemory.As<usbdevfs_urb>();
  if (submitted->buffer_length < 0) return Complete(client, -1, EINVAL);

  auto urb = std::make_unique<Urb>();
  urb->clientAddress = urbMemory.get()->client_addr;
  urb->type = submitted->type;
  urb->endpoint = submitted->endpoint;
  urb->bufferLength = static_cast<std::size_t>(submitted->buffer_length);
  const bool carriesData = urb->type == USBDEVFS_URB_TYPE_CONTROL || (urb->endpoint & 0x80) == 0;
  if (carriesData && urb->bufferLength > 0) {
    ClientMemory buffer(urbMemory.get(), offsetof(usbdevfs_urb, buffer), urb->bufferLength);
    if (!buffer) return Complete(client, -1, EFAULT);
    urb->out.assign(buffer.bytes(), buffer.bytes() + buffer.size());
  }
  if (urb->type == USBDEVFS_URB_TYPE_CONTROL) {
    ProcessControl(*urb);
  } else if ((urb->endpoint & 0x80) == 0) {
    ProcessOut(*urb);
  }
  urbs_.push_back(std::move(urb));
  Complete(client, 0, 0);
  // A message that made the instrument leave the bus completes first; the
  // device is gone from then on.
  CheckPresence();
}

bool EmulatedDevice::Completable(const Urb& urb) const {
  if (urb.done || bulkInHalted_) return true;
  return !in_.empty() && in_.front().readyAt <= bus_.clock().Now();
}

void EmulatedDevice::FillIn(Urb& urb) {
  InChunk& chunk = in_.front();
  const std::size_t giving = std::min(chunk.bytes.size(), urb.bufferLength);
  urb.in.assign(chunk.bytes.begin(), chunk.bytes.begin() + static_cast<std::ptrdiff_t>(giving));
  urb.actual = giving;
  urb.done = true;
  Note({.kind = WireEvent::Kind::BulkIn,
        .bytes = urb.in,
        .endpoint = urb.endpoint,
        .urbLength = urb.bufferLength});
  if (giving == chunk.bytes.size()) {
    in_.pop_front();
  } else {
    chunk.bytes.erase(chunk.bytes.begin(),
                      chunk.bytes.begin() + static_cast<std::ptrdiff_t>(giving));
  }
}

void EmulatedDevice::Reap(UMockdevIoctlClient* client) {
  const auto found = std::find_if(urbs_.begin(), urbs_.end(), [&](const std::unique_ptr<Urb>& urb) {
    return Completable(*urb);
  });
  // The emulated node always polls ready, so libusb asks again and again;
  // a blocking reap is answered the same way.
  if (found == urbs_.end()) return Complete(client, -1, gone_ ? ENODEV : EAGAIN);
  Urb& urb = **found;
  if (!urb.done && bulkInHalted_) {
    urb.done = true;
    urb.status = -EPIPE;
  }
  if (!urb.done) FillIn(urb);

  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  ClientMemory pointer(arg, 0, sizeof(void*));
  if (!pointer) return Complete(client, -1, EFAULT);
  std::memcpy(pointer.bytes(), &urb.clientAddress, sizeof(void*));
  ClientMemory urbMemory(pointer.get(), 0, sizeof(usbdevfs_urb));
  if (!urbMemory) return Complete(client, -1, EFAULT);
  auto* reaped = urbMemory.As<usbdevfs_urb>();
  reaped->status = urb.status;
  reaped->actual_length = static_cast<int>(urb.actual);
  if (!urb.in.empty()) {
    ClientMemory buffer(urbMemory.get(), offsetof(usbdevfs_urb, buffer), urb.bufferLength);
    if (!buffer) return Complete(client, -1, EFAULT);
    const std::size_t at = urb.type == USBDEVFS_URB_TYPE_CONTROL ? kSetupSize : 0;
    std::copy_n(urb.in.begin(),
                std::min(urb.in.size(), buffer.size() - std::min(at, buffer.size())),
                buffer.bytes() + at);
  }
  urbs_.erase(found);
  Complete(client, 0, 0);
}

void EmulatedDevice::Discard(UMockdevIoctlClient* client) {
  // The argument is the URB's own address.
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  unsigned long address = 0;
  std::memcpy(&address, arg->data,
              std::min<std::size_t>(sizeof address, static_cast<std::size_t>(arg->data_len)));
  const auto found = std::find_if(urbs_.begin(), urbs_.end(), [&](const std::unique_ptr<Urb>& urb) {
    return urb->clientAddress == address;
  });
  if (found == urbs_.end() || (*found)->done) return Complete(client, -1, gone_ ? ENODEV : EINVAL);
  (*found)->done = true;
  (*found)->status = -ENOENT;
  (*found)->actual = 0;
  Complete(client, 0, 0);
}

void EmulatedDevice::ProcessOut(Urb& urb) {
  Note({.kind = WireEvent::Kind::BulkOut,
        .bytes = urb.out,
        .endpoint = urb.endpoint,
        .urbLength = urb.bufferLength});
  // A device that NAKs every OUT packet: the URB waits until the host gives up.
  if (faults.refuseOut) return;
  urb.done = true;
  if (faults.bulkOutHaltedAtStart && !bulkOutCleared_) {
    urb.status = -EPIPE;
    return;
  }
  urb.actual = urb.out.size();
  HandleMessageOut(urb.out, urb);
}

void EmulatedDevice::HandleMessageOut(std::span<const std::uint8_t> message, Urb& urb) {
  if (message.size() < proto::kHeaderSize) return;
  const std::uint8_t msgId = message[0];
  const std::uint8_t bTag = message[1];
  const std::uint32_t size =
      static_cast<std::uint32_t>(message[4]) | static_cast<std::uint32_t>(message[5]) << 8 |
      static_cast<std::uint32_t>(message[6]) << 16 | static_cast<std::uint32_t>(message[7]) << 24;
  if (msgId == proto::kRequestDevDepMsgIn) return QueueReply(bTag, size);
  if (msgId != proto::kDevDepMsgOut) return;
  const std::size_t payload = std::min<std::size_t>(size, message.size() - proto::kHeaderSize);
  messageOut_.insert(messageOut_.end(), message.begin() + proto::kHeaderSize,
                     message.begin() + static_cast<std::ptrdiff_t>(proto::kHeaderSize + payload));
  if ((message[8] & proto::kAttributeEndOfMessage) == 0) return;
  const std::size_t whole = messageOut_.size();
  lastMessageAt_ = bus_.clock().Now();
  const std::size_t taken = function_->Receive(messageOut_);
  messageOut_.clear();
  // A partly taken message shows as a short transfer of its last part.
  if (taken < whole) urb.actual = proto::kHeaderSize + payload - std::min(payload, whole - taken);
}

void EmulatedDevice::QueueReply(std::uint8_t bTag, std::size_t maxBytes) {
  const bool faulty = faults.affectedReplies < 0 || faultedReplies_ < faults.affectedReplies;
  const std::uint8_t previousTag = std::exchange(lastRequestTag_, bTag);
  if (faulty && faults.stallReplies) {
    bulkInHalted_ = true;
    ++faultedReplies_;
    return;
  }
  if (faults.largestRequest > 0 && maxBytes > faults.largestRequest) {
    if (faults.stallLargeRequests) bulkInHalted_ = true;
    return;
  }
  if (bus_.clock().Now() < lastMessageAt_ + faults.notReadyFor) {
    const Bytes notReady{proto::kDevDepMsgIn, bTag, static_cast<std::uint8_t>(~bTag), 0, 0, 0, 0, 0,
                         0, 0, 0, 0};
    in_.push_back({notReady, bus_.clock().Now()});
    return;
  }
  const bool continuing = !pendingAnswer_.empty();
  Millis lateness{0};
  if (pendingAnswer_.empty()) {
    auto answer = function_->Reply(maxBytes);
    if (!answer) return;  // nothing to say: the pipe stays silent
    pendingAnswer_ = std::move(answer->bytes);
    pendingAnswerMore_ = answer->more;
    lateness = answer->delay;
  }
  std::size_t part = std::min(maxBytes, pendingAnswer_.size());
  if (faulty && faults.payloadPerMessage > 0) part = std::min(part, faults.payloadPerMessage);
  Bytes payload(pendingAnswer_.begin(), pendingAnswer_.begin() + static_cast<std::ptrdiff_t>(part));
  pendingAnswer_.erase(pendingAnswer_.begin(),
                       pendingAnswer_.begin() + static_cast<std::ptrdiff_t>(part));
  const bool endOfMessage =
      pendingAnswer_.empty() && !pendingAnswerMore_ && !faults.neverEndOfMessage;

  auto claimed = static_cast<std::uint32_t>(payload.size());
  if (faulty && faults.claimedSize) {
    claimed = *faults.claimedSize;
    payload.resize(std::min<std::size_t>(claimed, kMaxLyingPayload), 0xEE);
  }
  claimed += faults.overstatedBy;
  auto tag = static_cast<std::uint8_t>(faulty ? bTag + faults.tagShift : bTag);
  if (continuing && faults.echoPreviousTag) tag = previousTag;
  Bytes message{faulty && faults.msgId ? *faults.msgId : proto::kDevDepMsgIn, tag,
                static_cast<std::uint8_t>(~tag), 0};
  Append32(message, claimed);
  message.insert(message.end(), {static_cast<std::uint8_t>(endOfMessage ? 1 : 0), 0, 0, 0});
  message.insert(message.end(), payload.begin(), payload.end());

  const Millis readyAt = bus_.clock().Now() + lateness + (faulty ? faults.delay : Millis{0});
  // Split into transfers, the alignment bytes travelling with the last piece
  // or, from a device that ends the payload with a short packet, after it.
  const std::size_t unpadded = proto::kHeaderSize + payload.size();
  message.resize(proto::PaddedSize(unpadded), 0);
  const bool alignmentApart = faulty && faults.alignmentApart;
  const std::size_t piece =
      faulty && faults.bytesPerTransfer > 0 ? faults.bytesPerTransfer : unpadded;
  for (std::size_t at = 0; at < unpadded; at += piece) {
    const std::size_t last = alignmentApart ? unpadded : message.size();
    const std::size_t end = at + piece >= unpadded ? last : at + piece;
    in_.push_back({Bytes(message.begin() + static_cast<std::ptrdiff_t>(at),
                         message.begin() + static_cast<std::ptrdiff_t>(end)),
                   readyAt});
  }
  if (alignmentApart && message.size() > unpadded) {
    in_.push_back(
        {Bytes(message.begin() + static_cast<std::ptrdiff_t>(unpadded), message.end()), readyAt});
  }
  if (faults.zeroLengthAfterMessage) in_.push_back({Bytes{}, readyAt});
  if (faulty) ++faultedReplies_;
}

std::optional<Bytes> EmulatedDevice::StandardRequest(std::span<const std::uint8_t> setup) {
  if (setup[1] != kRequestGetDescriptor) return std::nullopt;
  const std::uint8_t type = setup[3];
  const std::uint8_t index = setup[2];
  if (type == kDescriptorDevice) return DeviceDescriptor();
  if (type == kDescriptorConfig) return ConfigDescriptor();
  if (type != kDescriptorString) return std::nullopt;
  switch (index) {
    case 0:
      return Bytes{4, kDescriptorString, 0x09, 0x04};  // US English only
    case 1:
      return StringDescriptor("NAVIR");
    case 2:
      return StringDescriptor("Q1000");
    case 3:
      return StringDescriptor(identity_.serial);
    default:
      return std::nullopt;
  }
}

std::optional<Bytes> EmulatedDevice::ClassRequest(std::span<const std::uint8_t> setup) {
  const auto request = static_cast<proto::ControlRequest>(setup[1]);
  const std::uint8_t bTag = setup[2];
  switch (request) {
    case proto::ControlRequest::kInitiateAbortBulkOut:
      messageOut_.clear();
      return Bytes{proto::kStatusSuccess, bTag};
    case proto::ControlRequest::kCheckAbortBulkOutStatus:
      return Bytes{proto::kStatusSuccess, 0, 0, 0, 0, 0, 0, 0};
    case proto::ControlRequest::kInitiateAbortBulkIn: {
      if (faults.abortKeepsReply) return Bytes{proto::kStatusFailed, bTag};
      const bool inProgress = !in_.empty() || !pendingAnswer_.empty();
      in_.clear();
      pendingAnswer_.clear();
      // Nothing under way and nothing queued is a failed abort; "transfer
      // not in progress" would tell the host another bTag is being served.
      return Bytes{inProgress ? proto::kStatusSuccess : proto::kStatusFailed, bTag};
    }
    case proto::ControlRequest::kCheckAbortBulkInStatus:
      if (faults.abortNeverCompletes) {
        return Bytes{proto::kStatusPending, proto::kBulkInFifoNotEmpty, 0, 0, 0, 0, 0, 0};
      }
      return Bytes{proto::kStatusSuccess, 0, 0, 0, 0, 0, 0, 0};
    case proto::ControlRequest::kInitiateClear:
      function_->Clear();
      in_.clear();
      pendingAnswer_.clear();
      messageOut_.clear();
      clearPolls_ = faults.clearPendingPolls;
      return Bytes{proto::kStatusSuccess};
    case proto::ControlRequest::kCheckClearStatus:
      if (clearPolls_ > 0) {
        --clearPolls_;
        return Bytes{proto::kStatusPending, 0};
      }
      return Bytes{proto::kStatusSuccess, 0};
    case proto::ControlRequest::kGetCapabilities: {
      // USBTMC 1.00 and, as the interface's protocol says USB488, the
      // USB488 part: version 1.00, a 488.2 interface.
      Bytes capabilities(0x18, 0);
      capabilities[0] = proto::kStatusSuccess;
      capabilities[2] = 0x00;
      capabilities[3] = 0x01;
      capabilities[12] = 0x00;
      capabilities[13] = 0x01;
      capabilities[14] = 0x04;
      return capabilities;
    }
    default:
      return std::nullopt;
  }
}

void EmulatedDevice::ProcessControl(Urb& urb) {
  urb.done = true;
  if (urb.out.size() < kSetupSize) {
    urb.status = -EINVAL;
    return;
  }
  const std::span<const std::uint8_t> setup(urb.out.data(), kSetupSize);
  Note({.kind = WireEvent::Kind::Control,
        .bytes = Bytes(setup.begin(), setup.end()),
        .urbLength = urb.bufferLength});
  const std::uint8_t requestType = setup[0];
  const std::size_t length = static_cast<std::size_t>(setup[6]) | static_cast<std::size_t>(setup[7])
                                                                      << 8;
  std::optional<Bytes> reply;
  if ((requestType & 0x60) == 0x00) reply = StandardRequest(setup);
  if ((requestType & 0x60) == 0x20) reply = ClassRequest(setup);
  if (!reply) {
    urb.status = -EPIPE;  // a stall: request not supported
    return;
  }
  reply->resize(std::min(reply->size(), std::min(length, urb.bufferLength - kSetupSize)));
  urb.actual = reply->size();
  urb.in = std::move(*reply);
}

void EmulatedDevice::CheckPresence() {
  if (!gone_ && !function_->Present()) Disconnect();
}

void EmulatedDevice::Disconnect() {
  if (gone_) return;
  gone_ = true;
  // As the kernel does on an unplug: every URB still in flight fails and can be reaped.
  for (auto& urb : urbs_) {
    if (urb->done) continue;
    urb->done = true;
    urb->status = -ESHUTDOWN;
    urb->actual = 0;
  }
}

// ------------------------------------------------------------------- the bus

bool EmulatedUsbBus::PreloadActive() {
  // umockdev's own check only answers once a testbed exists, and LD_PRELOAD
  // may name a library the loader could not find; the process's own mappings
  // tell whether the preload is really in.
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    if (line.find("libumockdev-preload") != std::string::npos) return true;
  }
  return false;
}

EmulatedUsbBus::EmulatedUsbBus(Clock& clock) : clock_(clock), testbed_(umockdev_testbed_new()) {
  if (!testbed_) throw std::runtime_error("umockdev could not create a testbed");
}

EmulatedUsbBus::~EmulatedUsbBus() {
  while (!devices_.empty()) Unplug(*devices_.back());
  if (watcher_) libusb_exit(watcher_);
  // Releasing the testbed removes its /tmp/umockdev.* folder.
  g_object_unref(testbed_);
}

EmulatedDevice& EmulatedUsbBus::Plug(DeviceIdentity identity,
                                     std::shared_ptr<UsbtmcFunction> function, int port) {
  auto device = std::make_unique<EmulatedDevice>(*this, std::move(identity), std::move(function), 1,
                                                 nextDeviceNumber_++, port);
  GError* error = nullptr;
  if (!umockdev_testbed_add_from_string(testbed_, device->DescriptionText().c_str(), &error)) {
    const std::string message = error ? error->message : "unknown error";
    if (error) g_error_free(error);
    throw std::runtime_error("umockdev refused the device: " + message + "\n" +
                             device->DescriptionText());
  }
  device->handler_ = umockdev_ioctl_base_new();
  g_signal_connect(device->handler_, "handle-ioctl", G_CALLBACK(EmulatedDevice::OnIoctl),
                   device.get());
  if (!umockdev_testbed_attach_ioctl(testbed_, device->devNode_.c_str(), device->handler_,
                                     &error)) {
    const std::string message = error ? error->message : "unknown error";
    if (error) g_error_free(error);
    throw std::runtime_error("umockdev could not attach the URB handler: " + message);
  }
  const int number = device->deviceNumber_;
  {
    const auto lock = Lock();
    devices_.push_back(std::move(device));
  }
  WaitUntilLibusbSees(number, true);
  return *devices_.back();
}

void EmulatedUsbBus::Unplug(EmulatedDevice& device) {
  {
    const auto lock = Lock();
    const bool plugged = std::any_of(devices_.begin(), devices_.end(),
                                     [&](const auto& owned) { return owned.get() == &device; });
    if (!plugged) return;
    device.Disconnect();
  }
  umockdev_testbed_uevent(testbed_, device.sysPath_.c_str(), "remove");
  umockdev_testbed_remove_device(testbed_, device.sysPath_.c_str());
  WaitUntilLibusbSees(device.deviceNumber_, false);
  GError* error = nullptr;
  umockdev_testbed_detach_ioctl(testbed_, device.devNode_.c_str(), &error);
  if (error) g_error_free(error);
  const auto lock = Lock();
  const auto found = std::find_if(devices_.begin(), devices_.end(),
                                  [&](const auto& owned) { return owned.get() == &device; });
  if (found != devices_.end()) {
    retired_.push_back(std::move(*found));
    devices_.erase(found);
  }
}

void EmulatedUsbBus::WaitUntilLibusbSees(int deviceNumber, bool present) {
  if (!watcher_ && libusb_init(&watcher_) != LIBUSB_SUCCESS) watcher_ = nullptr;
  if (!watcher_) return;
  for (int attempt = 0; attempt < 500; ++attempt) {
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(watcher_, &list);
    bool seen = false;
    for (ssize_t i = 0; i < count; ++i) {
      if (libusb_get_device_address(list[i]) == deviceNumber) seen = true;
    }
    if (count >= 0) libusb_free_device_list(list, 1);
    if (seen == present) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

}  // namespace quorvel::testing
