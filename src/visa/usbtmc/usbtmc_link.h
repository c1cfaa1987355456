#pragma once
// USBTMC over libusb-1.0: finding USBTMC interfaces on the bus and talking to
// one of them. Statuses are VISA's so the backend can hand them on unchanged.
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "visa/resource_name.h"
#include "visa/usbtmc/usbtmc_protocol.h"
#include "visa/visa_types.h"

struct libusb_context;
struct libusb_device_handle;

namespace quorvel::usbtmc {

// One libusb context, created on demand and released with the owner.
class UsbContext {
 public:
  // Null when libusb cannot start; *error then says why.
  static std::unique_ptr<UsbContext> Create(std::string* error);
  ~UsbContext();
  UsbContext(const UsbContext&) = delete;
  UsbContext& operator=(const UsbContext&) = delete;

  libusb_context* get() const { return context_; }

 private:
  explicit UsbContext(libusb_context* context) : context_(context) {}
  libusb_context* context_;
};

// A USBTMC interface seen on the bus.
struct UsbtmcInterface {
  UsbResourceName name;  // its VISA name; interfaceNumber set only when the device has several
  std::uint8_t busNumber = 0;
  std::uint8_t deviceAddress = 0;
  std::uint8_t interfaceNumber = 0;
  std::uint8_t bulkInEndpoint = 0;
  std::uint8_t bulkOutEndpoint = 0;
  std::uint16_t bulkInMaxPacket = 64;
};

struct BusScan {
  std::vector<UsbtmcInterface> interfaces;  // ordered by resource name
  // Devices with a USBTMC interface that this user may not open.
  std::vector<std::string> inaccessibleDevices;  // "1d7c:4a35 on bus 1 address 2"
};

// Reads the serial numbers, so it opens every USBTMC device briefly.
BusScan ScanBus(libusb_context* context);

// Workarounds for devices that bend the USBTMC rules. Each costs every other
// device something (time, or a check it would otherwise get), so none is on
// by default: the operator names them, --visa usbtmc:option=value,...
struct LinkOptions {
  bool clear = true;              // clear=0: a device clear sends no INITIATE_CLEAR
  std::uint32_t readSize = 0;     // read_size=N: no request asks for more than N bytes
  bool endOfMessage = true;       // eom=0: a message shorter than asked for ends a reply
  bool shortPacketEnds = false;   // short_end=1: a short packet ends a message, whatever
                                  // its header announced
  std::optional<std::uint16_t> updateProductId;  // update_product=0xNNNN
};

// Parses "clear=0,read_size=48,..."; nullopt with *error naming the fault.
std::optional<LinkOptions> ParseLinkOptions(std::string_view text, std::string* error);

// A meter that shows another product id in its update mode is listed and
// opened under the meter's own, so the procedures find it where they look.
void ApplyProductAlias(const LinkOptions& options, BusScan* scan);

// A deadline for one VISA operation. An infinite one waits forever.
class Deadline {
 public:
  static Deadline After(std::uint32_t milliseconds);
  static Deadline Infinite();
  bool expired() const;
  // What is left, as libusb wants it (0 means "no limit" to libusb, so a
  // finite deadline never yields less than 1).
  unsigned int LibusbTimeout() const;
  // The same, but never more than `cap` milliseconds.
  unsigned int LibusbTimeoutAtMost(unsigned int cap) const;

 private:
  bool infinite_ = false;
  std::chrono::steady_clock::time_point at_{};
};

// An open, claimed USBTMC interface. Closing releases the interface, which
// gives it back to a kernel driver that was detached on opening.
class UsbtmcLink {
 public:
  static ViStatus Open(libusb_context* context, const UsbResourceName& name,
                       const LinkOptions& options, std::unique_ptr<UsbtmcLink>* link);
  ~UsbtmcLink();
  UsbtmcLink(const UsbtmcLink&) = delete;
  UsbtmcLink& operator=(const UsbtmcLink&) = delete;

  // Sends `data` as DEV_DEP_MSG_OUT message(s); *sent gets the payload bytes
  // the device really took.
  ViStatus Write(std::span<const std::uint8_t> data, Deadline deadline, ViUInt32* sent);
  // Reads one message (or until `buffer` is full); *received gets its size.
  ViStatus Read(std::span<std::uint8_t> buffer, Deadline deadline, ViUInt32* received);
  // Device clear: INITIATE_CLEAR, polled CHECK_CLEAR_STATUS, bulk-OUT halt cleared.
  ViStatus Clear(Deadline deadline);

  bool lost() const { return lost_; }
  const UsbtmcInterface& info() const { return info_; }
  // What the device did in the last failed operation, in words, with the
  // raw bytes where they tell more; empty when it failed in no telling way.
  const std::string& lastProblem() const { return lastProblem_; }

 private:
  UsbtmcLink(libusb_device_handle* handle, UsbtmcInterface info, LinkOptions options);

  struct BulkResult {
    int error = 0;  // a libusb error code, 0 when the transfer completed
    std::size_t transferred = 0;
  };
  BulkResult BulkOut(std::span<const std::uint8_t> bytes, Deadline deadline);
  BulkResult BulkIn(std::span<std::uint8_t> bytes, Deadline deadline);
  // A class request to the interface or one of its endpoints; the reply, or
  // empty when the request failed.
  std::vector<std::uint8_t> ControlIn(ControlRequest request, bool toEndpoint, std::uint16_t value,
                                      std::uint16_t index, std::uint16_t length, Deadline deadline);

  ViStatus WriteMessage(std::span<const std::uint8_t> part, bool last, Deadline deadline,
                        std::size_t* delivered);
  struct MessageIn {
    std::size_t received = 0;
    std::uint32_t announced = 0;  // the payload its header announced
    bool endOfMessage = false;
  };
  // Asks again while the device answers "not ready" (an empty message).
  ViStatus ReadMessage(std::span<std::uint8_t> destination, Deadline deadline, MessageIn* message);
  ViStatus RequestAndAssemble(std::span<std::uint8_t> destination, Deadline deadline,
                              MessageIn* message);
  void DescribeTimeOut(std::size_t requested, std::size_t total, const MessageIn& last);
  ViStatus Failure(int libusbError, std::uint8_t endpoint);
  void AbortBulkOut(std::uint8_t bTag);
  void AbortBulkIn(std::uint8_t bTag);
  void DrainBulkIn(Deadline deadline);
  void ClearHalt(std::uint8_t endpoint);

  libusb_device_handle* handle_;
  UsbtmcInterface info_;
  LinkOptions options_;
  BTagSequence tags_;
  TagHistory tagHistory_;
  std::string lastProblem_;
  // Alignment bytes the last reply still owes; they may come as a transfer
  // of their own ahead of the next reply. A new session cannot know what a
  // reply read by the one before it owed, so it allows for the most there can be.
  std::size_t strayAlignment_ = kMaxAlignment;
  bool lost_ = false;
};

// libusb's name for an error code, for messages.
std::string LibusbErrorText(int libusbError);

}  // namespace quorvel::usbtmc
