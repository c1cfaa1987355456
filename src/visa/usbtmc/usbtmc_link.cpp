#include "visa/usbtmc/usbtmc_link.h"

#include <libusb.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <thread>
#include <utility>

namespace quorvel::usbtmc {

namespace {

// Larger writes and reads are split into messages of this much payload, which
// keeps every bulk buffer small whatever count the caller passes.
constexpr std::size_t kMaxMessagePayload = 64 * 1024;

// Aborting is housekeeping after a failed transfer: all of it together gets
// at most kCleanupBudgetMs on top of the operation's own time-out, so a device
// that keeps answering "pending" cannot hold the caller. Clear works within
// the operation's time-out. Both poll a bounded number of times.
constexpr std::uint32_t kCleanupBudgetMs = 1000;
constexpr unsigned int kControlTimeoutMs = 500;
constexpr std::chrono::milliseconds kStatusPollInterval{50};
constexpr int kMaxStatusPolls = 20;
constexpr unsigned int kDrainTimeoutMs = 50;
constexpr int kMaxDrainTransfers = 16;

// Some devices answer a request that comes too soon after a command with an
// empty message ("not ready"); the request is repeated after this pause, as
// often as the deadline allows and never more than kMaxNotReadyAnswers times.
constexpr std::chrono::milliseconds kNotReadyPause{10};
constexpr int kMaxNotReadyAnswers = 1000;

// The smallest request limit seen on real devices: what the operator is told
// to try when a device fails a larger request.
constexpr std::size_t kSuggestedReadSize = 48;
constexpr const char* kClearHint = "the device did not answer a clear; try --visa usbtmc:clear=0";

constexpr const char* kOptionsHelp =
    "the usbtmc backend takes clear=0, read_size=N, eom=0, short_end=1, update_product=0xNNNN";

std::string ReadSizeHint(std::size_t requested) {
  if (requested <= kSuggestedReadSize) return {};
  return "; if it answers only smaller requests, try --visa usbtmc:read_size=" +
         std::to_string(kSuggestedReadSize);
}

std::size_t RoundUpTo(std::size_t value, std::size_t multiple) {
  return multiple == 0 ? value : (value + multiple - 1) / multiple * multiple;
}

struct DeviceList {
  explicit DeviceList(libusb_context* context) : count(libusb_get_device_list(context, &devices)) {}
  ~DeviceList() {
    if (count >= 0) libusb_free_device_list(devices, 1);
  }
  DeviceList(const DeviceList&) = delete;
  DeviceList& operator=(const DeviceList&) = delete;
  std::span<libusb_device*> span() const {
    return count > 0 ? std::span<libusb_device*>(devices, static_cast<std::size_t>(count))
                     : std::span<libusb_device*>();
  }

  libusb_device** devices = nullptr;
  ssize_t count;
};

struct ConfigDescriptor {
  explicit ConfigDescriptor(libusb_device* device) {
    if (libusb_get_active_config_descriptor(device, &config) != LIBUSB_SUCCESS) {
      config = nullptr;
      if (libusb_get_config_descriptor(device, 0, &config) != LIBUSB_SUCCESS) config = nullptr;
    }
  }
  ~ConfigDescriptor() {
    if (config) libusb_free_config_descriptor(config);
  }
  ConfigDescriptor(const ConfigDescriptor&) = delete;
  ConfigDescriptor& operator=(const ConfigDescriptor&) = delete;

  libusb_config_descriptor* config = nullptr;
};

// The interface's bulk endpoints; false when it lacks either.
bool FindBulkEndpoints(const libusb_interface_descriptor& setting, UsbtmcInterface* found) {
  bool haveIn = false;
  bool haveOut = false;
  for (int e = 0; e < setting.bNumEndpoints; ++e) {
    const libusb_endpoint_descriptor& endpoint = setting.endpoint[e];
    if ((endpoint.bmAttributes & 0x03) != LIBUSB_TRANSFER_TYPE_BULK) continue;
    if ((endpoint.bEndpointAddress & LIBUSB_ENDPOINT_IN) != 0) {
      if (haveIn) continue;
      haveIn = true;
      found->bulkInEndpoint = endpoint.bEndpointAddress;
      // The low 11 bits are the packet size; 0 would be a broken descriptor.
      const auto packet = static_cast<std::uint16_t>(endpoint.wMaxPacketSize & 0x7FF);
      found->bulkInMaxPacket = packet == 0 ? 64 : packet;
    } else if (!haveOut) {
      haveOut = true;
      found->bulkOutEndpoint = endpoint.bEndpointAddress;
    }
  }
  return haveIn && haveOut;
}

std::vector<UsbtmcInterface> UsbtmcInterfacesOf(libusb_device* device) {
  std::vector<UsbtmcInterface> interfaces;
  const ConfigDescriptor descriptor(device);
  if (!descriptor.config) return interfaces;
  for (int i = 0; i < descriptor.config->bNumInterfaces; ++i) {
    const libusb_interface& usbInterface = descriptor.config->interface[i];
    if (usbInterface.num_altsetting < 1) continue;
    const libusb_interface_descriptor& setting = usbInterface.altsetting[0];
    if (!IsUsbtmcInterface(setting.bInterfaceClass, setting.bInterfaceSubClass,
                           setting.bInterfaceProtocol)) {
      continue;
    }
    UsbtmcInterface found;
    found.interfaceNumber = setting.bInterfaceNumber;
    if (FindBulkEndpoints(setting, &found)) interfaces.push_back(found);
  }
  return interfaces;
}

std::string ReadSerialNumber(libusb_device_handle* handle, std::uint8_t index) {
  if (index == 0) return "NO_SERIAL";
  unsigned char text[256] = {};
  const int length = libusb_get_string_descriptor_ascii(handle, index, text, sizeof text);
  if (length <= 0) return "NO_SERIAL";
  return SanitizeSerial(
      std::string_view(reinterpret_cast<const char*>(text), static_cast<std::size_t>(length)));
}

std::string DescribeDevice(const libusb_device_descriptor& descriptor, libusb_device* device) {
  char text[80];
  std::snprintf(text, sizeof text, "%04x:%04x on bus %u address %u",
                static_cast<unsigned>(descriptor.idVendor),
                static_cast<unsigned>(descriptor.idProduct),
                static_cast<unsigned>(libusb_get_bus_number(device)),
                static_cast<unsigned>(libusb_get_device_address(device)));
  return text;
}

void AddDevice(libusb_device* device, BusScan* scan) {
  std::vector<UsbtmcInterface> interfaces = UsbtmcInterfacesOf(device);
  if (interfaces.empty()) return;
  libusb_device_descriptor descriptor{};
  if (libusb_get_device_descriptor(device, &descriptor) != LIBUSB_SUCCESS) return;
  libusb_device_handle* handle = nullptr;
  const int opened = libusb_open(device, &handle);
  if (opened == LIBUSB_ERROR_ACCESS)
    scan->inaccessibleDevices.push_back(DescribeDevice(descriptor, device));
  if (opened != LIBUSB_SUCCESS) return;
  const std::string serial = ReadSerialNumber(handle, descriptor.iSerialNumber);
  libusb_close(handle);

  const bool several = interfaces.size() > 1;
  for (UsbtmcInterface& found : interfaces) {
    found.name.vendorId = descriptor.idVendor;
    found.name.productId = descriptor.idProduct;
    found.name.serial = serial;
    if (several) found.name.interfaceNumber = found.interfaceNumber;
    found.busNumber = libusb_get_bus_number(device);
    found.deviceAddress = libusb_get_device_address(device);
    scan->interfaces.push_back(found);
  }
}

libusb_device* FindDevice(const DeviceList& list, const UsbtmcInterface& wanted) {
  for (libusb_device* device : list.span()) {
    if (libusb_get_bus_number(device) == wanted.busNumber &&
        libusb_get_device_address(device) == wanted.deviceAddress) {
      return device;
    }
  }
  return nullptr;
}

ViStatus OpenStatus(int libusbError) {
  switch (libusbError) {
    case LIBUSB_ERROR_NO_DEVICE:
    case LIBUSB_ERROR_NOT_FOUND:
      return VI_ERROR_RSRC_NFOUND;
    case LIBUSB_ERROR_BUSY:
      return VI_ERROR_RSRC_BUSY;
    default:
      return VI_ERROR_SYSTEM_ERROR;
  }
}

std::optional<std::uint32_t> ParseNumber(std::string_view text, std::uint32_t limit) {
  int base = 10;
  if (text.starts_with("0x") || text.starts_with("0X")) {
    text.remove_prefix(2);
    base = 16;
  }
  std::uint32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (error != std::errc() || end != text.data() + text.size() || text.empty() || value > limit)
    return std::nullopt;
  return value;
}

std::optional<bool> ParseSwitch(std::string_view text) {
  if (text == "0") return false;
  if (text == "1") return true;
  return std::nullopt;
}

// One "name=value"; false when the name is unknown or the value does not fit it.
bool ApplyOption(std::string_view name, std::string_view value, LinkOptions* options) {
  if (name == "clear" || name == "eom" || name == "short_end") {
    const auto on = ParseSwitch(value);
    if (!on) return false;
    (name == "clear" ? options->clear : name == "eom" ? options->endOfMessage
                                                      : options->shortPacketEnds) = *on;
    return true;
  }
  if (name == "read_size") {
    // A request must leave room for at least a few bytes; more than one
    // message's worth is never asked for anyway.
    const auto size = ParseNumber(value, kMaxMessagePayload);
    if (!size || *size < 4) return false;
    options->readSize = *size;
    return true;
  }
  if (name == "update_product") {
    const auto product = ParseNumber(value, 0xFFFF);
    if (!product) return false;
    options->updateProductId = static_cast<std::uint16_t>(*product);
    return true;
  }
  return false;
}

}  // namespace

std::optional<LinkOptions> ParseLinkOptions(std::string_view text, std::string* error) {
  LinkOptions options;
  while (!text.empty()) {
    const std::size_t comma = std::min(text.find(','), text.size());
    const std::string_view item = text.substr(0, comma);
    text.remove_prefix(std::min(comma + 1, text.size()));
    const std::size_t equals = item.find('=');
    if (equals == std::string_view::npos ||
        !ApplyOption(item.substr(0, equals), item.substr(equals + 1), &options)) {
      if (error) *error = "bad usbtmc option \"" + std::string(item) + "\" (" + kOptionsHelp + ")";
      return std::nullopt;
    }
  }
  return options;
}

void ApplyProductAlias(const LinkOptions& options, BusScan* scan) {
  if (!options.updateProductId) return;
  for (UsbtmcInterface& found : scan->interfaces) {
    if (found.name.vendorId == kMeterVendorId && found.name.productId == *options.updateProductId)
      found.name.productId = kMeterProductId;
  }
}

std::string LibusbErrorText(int libusbError) { return libusb_error_name(libusbError); }

std::unique_ptr<UsbContext> UsbContext::Create(std::string* error) {
  libusb_context* context = nullptr;
  const int result = libusb_init(&context);
  if (result != LIBUSB_SUCCESS) {
    if (error) *error = "libusb could not start: " + LibusbErrorText(result);
    return nullptr;
  }
  return std::unique_ptr<UsbContext>(new UsbContext(context));
}

UsbContext::~UsbContext() { libusb_exit(context_); }

BusScan ScanBus(libusb_context* context) {
  BusScan scan;
  const DeviceList list(context);
  for (libusb_device* device : list.span()) AddDevice(device, &scan);
  std::stable_sort(scan.interfaces.begin(), scan.interfaces.end(),
                   [](const UsbtmcInterface& a, const UsbtmcInterface& b) {
                     return a.name.ToString() < b.name.ToString();
                   });
  return scan;
}

Deadline Deadline::After(std::uint32_t milliseconds) {
  Deadline deadline;
  deadline.at_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  return deadline;
}

Deadline Deadline::Infinite() {
  Deadline deadline;
  deadline.infinite_ = true;
  return deadline;
}

bool Deadline::expired() const { return !infinite_ && std::chrono::steady_clock::now() >= at_; }

unsigned int Deadline::LibusbTimeout() const {
  if (infinite_) return 0;
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(at_ - std::chrono::steady_clock::now());
  return static_cast<unsigned int>(std::max<std::chrono::milliseconds::rep>(left.count(), 1));
}

unsigned int Deadline::LibusbTimeoutAtMost(unsigned int cap) const {
  const unsigned int left = LibusbTimeout();
  return left == 0 ? cap : std::min(left, cap);
}

ViStatus UsbtmcLink::Open(libusb_context* context, const UsbResourceName& name,
                          const LinkOptions& options, std::unique_ptr<UsbtmcLink>* link) {
  BusScan scan = ScanBus(context);
  ApplyProductAlias(options, &scan);
  const auto match =
      std::find_if(scan.interfaces.begin(), scan.interfaces.end(),
                   [&](const UsbtmcInterface& i) { return SameUsbResource(name, i.name); });
  if (match == scan.interfaces.end()) return VI_ERROR_RSRC_NFOUND;

  const DeviceList list(context);
  libusb_device* device = FindDevice(list, *match);
  if (!device) return VI_ERROR_RSRC_NFOUND;
  libusb_device_handle* handle = nullptr;
  if (const int opened = libusb_open(device, &handle); opened != LIBUSB_SUCCESS) {
    return OpenStatus(opened);
  }
  // The kernel's own usbtmc driver may hold the interface; libusb hands it
  // back when the interface is released. Not every platform supports this.
  libusb_set_auto_detach_kernel_driver(handle, 1);
  if (const int claimed = libusb_claim_interface(handle, match->interfaceNumber);
      claimed != LIBUSB_SUCCESS) {
    libusb_close(handle);
    return OpenStatus(claimed);
  }
  link->reset(new UsbtmcLink(handle, *match, options));
  return VI_SUCCESS;
}

UsbtmcLink::UsbtmcLink(libusb_device_handle* handle, UsbtmcInterface info, LinkOptions options)
    : handle_(handle), info_(std::move(info)), options_(std::move(options)) {}

UsbtmcLink::~UsbtmcLink() {
  libusb_release_interface(handle_, info_.interfaceNumber);
  libusb_close(handle_);
}

UsbtmcLink::BulkResult UsbtmcLink::BulkOut(std::span<const std::uint8_t> bytes, Deadline deadline) {
  int transferred = 0;
  // libusb takes a non-const pointer for both directions; it does not write OUT data.
  const int error =
      libusb_bulk_transfer(handle_, info_.bulkOutEndpoint, const_cast<unsigned char*>(bytes.data()),
                           static_cast<int>(bytes.size()), &transferred, deadline.LibusbTimeout());
  return {error, static_cast<std::size_t>(std::max(transferred, 0))};
}

UsbtmcLink::BulkResult UsbtmcLink::BulkIn(std::span<std::uint8_t> bytes, Deadline deadline) {
  int transferred = 0;
  const int error =
      libusb_bulk_transfer(handle_, info_.bulkInEndpoint, bytes.data(),
                           static_cast<int>(bytes.size()), &transferred, deadline.LibusbTimeout());
  // Never trust a count beyond the buffer, whatever the layers below say.
  return {error, std::min(static_cast<std::size_t>(std::max(transferred, 0)), bytes.size())};
}

std::vector<std::uint8_t> UsbtmcLink::ControlIn(ControlRequest request, bool toEndpoint,
                                                std::uint16_t value, std::uint16_t index,
                                                std::uint16_t length, Deadline deadline) {
  std::vector<std::uint8_t> reply(length);
  const unsigned recipient = toEndpoint ? LIBUSB_RECIPIENT_ENDPOINT : LIBUSB_RECIPIENT_INTERFACE;
  const auto requestType = static_cast<std::uint8_t>(
      unsigned{LIBUSB_ENDPOINT_IN} | unsigned{LIBUSB_REQUEST_TYPE_CLASS} | recipient);
  const int result = libusb_control_transfer(
      handle_, requestType, static_cast<std::uint8_t>(request), value, index, reply.data(), length,
      deadline.LibusbTimeoutAtMost(kControlTimeoutMs));
  if (result < 0) {
    if (result == LIBUSB_ERROR_NO_DEVICE) lost_ = true;
    return {};
  }
  reply.resize(std::min<std::size_t>(static_cast<std::size_t>(result), length));
  return reply;
}

ViStatus UsbtmcLink::Failure(int libusbError, std::uint8_t endpoint) {
  switch (libusbError) {
    case LIBUSB_ERROR_NO_DEVICE:
      lost_ = true;
      return VI_ERROR_CONN_LOST;
    case LIBUSB_ERROR_TIMEOUT:
      return VI_ERROR_TMO;
    case LIBUSB_ERROR_PIPE:
      // A stalled endpoint stays halted until the host clears it.
      ClearHalt(endpoint);
      return lost_ ? VI_ERROR_CONN_LOST : VI_ERROR_IO;
    default:
      return VI_ERROR_IO;
  }
}

ViStatus UsbtmcLink::Write(std::span<const std::uint8_t> data, Deadline deadline, ViUInt32* sent) {
  *sent = 0;
  lastProblem_.clear();
  tagHistory_.continuation = 0;  // a new exchange: no earlier reply goes on
  if (lost_) return VI_ERROR_CONN_LOST;
  std::size_t total = 0;
  while (total < data.size()) {
    const auto part = data.subspan(total, std::min(kMaxMessagePayload, data.size() - total));
    const bool last = total + part.size() == data.size();
    std::size_t delivered = 0;
    const ViStatus status = WriteMessage(part, last, deadline, &delivered);
    total += delivered;
    if (status != VI_SUCCESS) {
      *sent = lost_ ? 0 : static_cast<ViUInt32>(total);
      return status;
    }
  }
  *sent = static_cast<ViUInt32>(total);
  return VI_SUCCESS;
}

ViStatus UsbtmcLink::WriteMessage(std::span<const std::uint8_t> part, bool last, Deadline deadline,
                                  std::size_t* delivered) {
  const std::uint8_t bTag = tags_.Next();
  const std::vector<std::uint8_t> message = EncodeDevDepMsgOut(bTag, part, last);
  BulkResult result = BulkOut(message, deadline);
  if (result.error == LIBUSB_ERROR_PIPE && result.transferred == 0) {
    // Some devices come up with bulk-OUT halted: once cleared, it takes the
    // same message, none of which had gone through.
    ClearHalt(info_.bulkOutEndpoint);
    if (!lost_) result = BulkOut(message, deadline);
    if (result.error == LIBUSB_ERROR_PIPE)
      lastProblem_ = "the meter halted its bulk-OUT pipe again after the host cleared it";
  }
  *delivered = PayloadBytesDelivered(result.transferred, part.size());
  if (result.error == LIBUSB_ERROR_TIMEOUT) AbortBulkOut(bTag);
  if (result.error != LIBUSB_SUCCESS) return Failure(result.error, info_.bulkOutEndpoint);
  return *delivered == part.size() ? VI_SUCCESS : VI_ERROR_IO;
}

ViStatus UsbtmcLink::Read(std::span<std::uint8_t> buffer, Deadline deadline, ViUInt32* received) {
  *received = 0;
  lastProblem_.clear();
  if (lost_) return VI_ERROR_CONN_LOST;
  std::size_t total = 0;
  while (total < buffer.size()) {
    std::size_t asking = std::min(kMaxMessagePayload, buffer.size() - total);
    if (options_.readSize > 0) asking = std::min<std::size_t>(asking, options_.readSize);
    MessageIn message;
    const ViStatus status = ReadMessage(buffer.subspan(total, asking), deadline, &message);
    total += message.received;
    *received = lost_ ? 0 : static_cast<ViUInt32>(total);
    if (status != VI_SUCCESS) {
      if (status == VI_ERROR_TMO && lastProblem_.empty())
        DescribeTimeOut(asking, total, message);
      return status;
    }
    if (message.endOfMessage) return VI_SUCCESS;
    // A device that never sets EOM ends its reply with a message shorter than asked for.
    if (!options_.endOfMessage && message.received < asking) return VI_SUCCESS;
  }
  return VI_SUCCESS_MAX_CNT;
}

void UsbtmcLink::DescribeTimeOut(std::size_t requested, std::size_t total,
                                 const MessageIn& last) {
  char text[200];
  if (last.received > 0) {
    std::snprintf(text, sizeof text,
                  "the meter's reply header announced %u bytes but it sent %zu and stopped; "
                  "try --visa usbtmc:short_end=1",
                  static_cast<unsigned>(last.announced), last.received);
  } else if (total > 0) {
    std::snprintf(text, sizeof text,
                  "the meter sent %zu bytes without marking the end of its reply; "
                  "try --visa usbtmc:eom=0",
                  total);
  } else {
    std::snprintf(text, sizeof text, "the meter sent nothing in reply to a request for %zu bytes%s",
                  requested, ReadSizeHint(requested).c_str());
  }
  lastProblem_ = text;
}

ViStatus UsbtmcLink::ReadMessage(std::span<std::uint8_t> destination, Deadline deadline,
                                 MessageIn* message) {
  for (int answer = 1;; ++answer) {
    *message = {};
    const ViStatus status = RequestAndAssemble(destination, deadline, message);
    const bool notReady = status == VI_SUCCESS && message->received == 0 &&
                          !message->endOfMessage && !destination.empty();
    if (!notReady) return status;
    if (answer == kMaxNotReadyAnswers || deadline.expired()) {
      lastProblem_ = "the meter answered every request with an empty message (not ready)";
      return VI_ERROR_TMO;
    }
    std::this_thread::sleep_for(kNotReadyPause);
  }
}

ViStatus UsbtmcLink::RequestAndAssemble(std::span<std::uint8_t> destination, Deadline deadline,
                                        MessageIn* message) {
  const std::uint8_t bTag = tags_.Next();
  const auto request =
      EncodeRequestDevDepMsgIn(bTag, static_cast<std::uint32_t>(destination.size()));
  if (const BulkResult sent = BulkOut(request, deadline); sent.error != LIBUSB_SUCCESS) {
    if (sent.error == LIBUSB_ERROR_TIMEOUT) AbortBulkOut(bTag);
    return Failure(sent.error, info_.bulkOutEndpoint);
  }

  const TagHistory history{tagHistory_.continuation, std::exchange(tagHistory_.abandoned, 0)};
  ReplyAssembler assembler(bTag, destination, std::exchange(strayAlignment_, 0), history);
  std::vector<std::uint8_t> transfer;
  while (assembler.state() == ReplyAssembler::State::kNeedMore) {
    // A device that keeps sending empty packets must not hold us past the deadline.
    if (deadline.expired()) {
      message->received = assembler.payloadReceived();
      message->announced = assembler.announcedSize();
      tagHistory_.abandoned = bTag;
      AbortBulkIn(bTag);
      return lost_ ? VI_ERROR_CONN_LOST : VI_ERROR_TMO;
    }
    // Room for the alignment bytes and whole packets, so the device can never overflow it.
    transfer.resize(RoundUpTo(PaddedSize(assembler.BytesStillExpected()), info_.bulkInMaxPacket));
    const BulkResult result = BulkIn(transfer, deadline);
    assembler.Consume(std::span<const std::uint8_t>(transfer.data(), result.transferred));
    const bool shortPacket = result.transferred < transfer.size() &&
                             result.transferred % info_.bulkInMaxPacket != 0;
    if (options_.shortPacketEnds && shortPacket && result.error == LIBUSB_SUCCESS)
      assembler.EndAtShortPacket();
    message->received = assembler.payloadReceived();
    message->announced = assembler.announcedSize();
    if (result.error == LIBUSB_ERROR_TIMEOUT) {
      tagHistory_.abandoned = bTag;
      AbortBulkIn(bTag);
    }
    if (result.error == LIBUSB_ERROR_PIPE) {
      lastProblem_ = "the meter stalled its reply to a request for " +
                     std::to_string(destination.size()) + " bytes" +
                     ReadSizeHint(destination.size());
    }
    if (result.error != LIBUSB_SUCCESS) return Failure(result.error, info_.bulkInEndpoint);
  }
  if (assembler.state() == ReplyAssembler::State::kFailed) {
    message->received = 0;
    lastProblem_ = DescribeRefusedHeader(assembler.problem(), assembler.headerBytes(), bTag,
                                         static_cast<std::uint32_t>(destination.size()));
    // Whatever else the device queued belongs to that bad reply.
    AbortBulkIn(bTag);
    return lost_ ? VI_ERROR_CONN_LOST : VI_ERROR_IO;
  }
  message->endOfMessage = assembler.endOfMessage();
  // The device may answer the request that continues this reply with this bTag.
  tagHistory_.continuation = message->endOfMessage ? 0 : bTag;
  strayAlignment_ = assembler.AlignmentStillOwed();
  return VI_SUCCESS;
}

void UsbtmcLink::AbortBulkOut(std::uint8_t bTag) {
  const Deadline budget = Deadline::After(kCleanupBudgetMs);
  const auto initiated = ControlIn(ControlRequest::kInitiateAbortBulkOut, true, bTag,
                                   info_.bulkOutEndpoint, kInitiateAbortReplySize, budget);
  if (ControlStatus(initiated) == kStatusSuccess) {
    for (int poll = 0; poll < kMaxStatusPolls && !lost_ && !budget.expired(); ++poll) {
      const auto status = ControlIn(ControlRequest::kCheckAbortBulkOutStatus, true, 0,
                                    info_.bulkOutEndpoint, kCheckAbortReplySize, budget);
      if (ControlStatus(status) != kStatusPending) break;
      std::this_thread::sleep_for(kStatusPollInterval);
    }
  }
  ClearHalt(info_.bulkOutEndpoint);
}

void UsbtmcLink::AbortBulkIn(std::uint8_t bTag) {
  const Deadline budget = Deadline::After(kCleanupBudgetMs);
  const auto initiated = ControlIn(ControlRequest::kInitiateAbortBulkIn, true, bTag,
                                   info_.bulkInEndpoint, kInitiateAbortReplySize, budget);
  // Some devices refuse the abort and stay wedged until their queued reply
  // has been read away, so the pipe is read empty either way.
  DrainBulkIn(budget);
  if (ControlStatus(initiated) != kStatusSuccess) return;
  for (int poll = 0; poll < kMaxStatusPolls && !lost_ && !budget.expired(); ++poll) {
    const AbortStatus status =
        CheckStatus(ControlIn(ControlRequest::kCheckAbortBulkInStatus, true, 0,
                              info_.bulkInEndpoint, kCheckAbortReplySize, budget));
    if (status.status != kStatusPending) break;
    if (status.fifoNotEmpty) {
      DrainBulkIn(budget);
    } else {
      std::this_thread::sleep_for(kStatusPollInterval);
    }
  }
}

void UsbtmcLink::DrainBulkIn(Deadline deadline) {
  std::vector<std::uint8_t> discard(RoundUpTo(kMaxMessagePayload, info_.bulkInMaxPacket));
  for (int transfer = 0; transfer < kMaxDrainTransfers && !lost_ && !deadline.expired();
       ++transfer) {
    const BulkResult result =
        BulkIn(discard, Deadline::After(deadline.LibusbTimeoutAtMost(kDrainTimeoutMs)));
    if (result.error == LIBUSB_ERROR_NO_DEVICE) lost_ = true;
    // A short transfer ends what the device had queued.
    if (result.error != LIBUSB_SUCCESS || result.transferred % info_.bulkInMaxPacket != 0 ||
        result.transferred == 0) {
      return;
    }
  }
}

void UsbtmcLink::ClearHalt(std::uint8_t endpoint) {
  if (libusb_clear_halt(handle_, endpoint) == LIBUSB_ERROR_NO_DEVICE) lost_ = true;
}

ViStatus UsbtmcLink::Clear(Deadline deadline) {
  lastProblem_.clear();
  if (lost_) return VI_ERROR_CONN_LOST;
  strayAlignment_ = 0;  // the device drops whatever it still had queued
  tagHistory_ = {};
  if (!options_.clear) {
    // The device is not asked (some hang on INITIATE_CLEAR); both pipes start afresh.
    ClearHalt(info_.bulkOutEndpoint);
    ClearHalt(info_.bulkInEndpoint);
    return lost_ ? VI_ERROR_CONN_LOST : VI_SUCCESS;
  }
  const auto initiated = ControlIn(ControlRequest::kInitiateClear, false, 0, info_.interfaceNumber,
                                   kInitiateClearReplySize, deadline);
  if (lost_) return VI_ERROR_CONN_LOST;
  if (ControlStatus(initiated) != kStatusSuccess) {
    lastProblem_ = kClearHint;
    return VI_ERROR_IO;
  }

  bool finished = false;
  for (int poll = 0; poll < kMaxStatusPolls && !finished && !deadline.expired(); ++poll) {
    const AbortStatus status =
        CheckStatus(ControlIn(ControlRequest::kCheckClearStatus, false, 0, info_.interfaceNumber,
                              kCheckClearReplySize, deadline));
    if (lost_) return VI_ERROR_CONN_LOST;
    if (status.status == kStatusSuccess) {
      finished = true;
    } else if (status.status != kStatusPending) {
      lastProblem_ = kClearHint;
      return VI_ERROR_IO;
    } else if (status.fifoNotEmpty) {
      DrainBulkIn(deadline);
    } else {
      std::this_thread::sleep_for(kStatusPollInterval);
    }
  }
  if (!finished) {
    lastProblem_ = kClearHint;
    return VI_ERROR_TMO;
  }
  ClearHalt(info_.bulkOutEndpoint);
  return lost_ ? VI_ERROR_CONN_LOST : VI_SUCCESS;
}

}  // namespace quorvel::usbtmc
