#pragma once
// An emulated USB bus for the usbtmc backend's tests: a umockdev testbed shows
// USBTMC devices to libusb, and an ioctl handler answers libusb's URBs the way
// the kernel's usbfs would, with the device side played by a UsbtmcFunction
// (the simulated meter, usually). Needs the umockdev preload library.
//
// The handler runs on umockdev's own thread; every device's state sits
// behind the bus's mutex.
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/clock.h"

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
typedef struct _UMockdevIoctlData UMockdevIoctlData;
struct libusb_context;

namespace quorvel::testing {

using Bytes = std::vector<std::uint8_t>;

// The instrument behind the USBTMC interface.
class UsbtmcFunction {
 public:
  struct Answer {
    Bytes bytes;
    bool more = false;  // the reply goes on in a later message
    Millis delay{0};    // how much later than the request the answer is ready
  };

  virtual ~UsbtmcFunction() = default;
  // The payload of one whole host message; returns the bytes taken.
  virtual std::size_t Receive(std::span<const std::uint8_t> payload) = 0;
  // The answer to a request for at most `maxBytes`; nullopt when there is
  // nothing to say (the bulk-IN pipe then stays silent).
  virtual std::optional<Answer> Reply(std::size_t maxBytes) = 0;
  virtual void Clear() = 0;
  // False once the instrument has left the bus.
  virtual bool Present() = 0;
  virtual void Opened() {}
  virtual void Closed() {}
};

// Misbehaviour on the device's side of the wire.
struct DeviceFaults {
  int tagShift = 0;                          // replies carry bTag + this
  std::optional<std::uint8_t> msgId;         // replies carry this MsgID
  std::optional<std::uint32_t> claimedSize;  // replies claim (and send) this many bytes
  std::size_t payloadPerMessage = 0;         // >0: a reply is split into messages this long
  std::size_t bytesPerTransfer = 0;          // >0: a message leaves in short transfers this long
  bool alignmentApart = false;       // a reply's alignment bytes leave as a transfer of their own
  Millis delay{0};                   // replies are ready this much later
  int affectedReplies = -1;          // how many replies suffer the above; -1: all
  int clearPendingPolls = 1;         // CHECK_CLEAR_STATUS answers "pending" this often
  bool stallReplies = false;         // a request halts bulk-IN instead of being answered
  bool refuseOut = false;            // bulk-OUT never takes a packet
  bool abortNeverCompletes = false;  // CHECK_ABORT_BULK_IN_STATUS stays "pending, data queued"
  // Misbehaviour seen on real instruments (the named profiles in device_profiles.h).
  bool echoPreviousTag = false;      // a reply's continuation carries the previous request's bTag
  bool neverEndOfMessage = false;    // EOM is never set
  bool zeroLengthAfterMessage = false;  // every message is followed by a zero-length packet
  std::uint32_t overstatedBy = 0;    // headers announce this many bytes more than are sent
  std::size_t largestRequest = 0;    // >0: a request for more bytes goes unanswered ...
  bool stallLargeRequests = false;   // ... or, with this, halts bulk-IN
  Millis notReadyFor{0};             // a request this soon after a message gets an empty reply
  bool bulkOutHaltedAtStart = false;  // bulk-OUT halted until the host first clears it
  bool abortKeepsReply = false;      // INITIATE_ABORT_BULK_IN fails; the reply stays queued
};

struct DeviceIdentity {
  std::uint16_t vendorId = 0x1D7C;
  std::uint16_t productId = 0x4A35;
  std::string serial = "SN000123";
  int usbtmcInterfaces = 1;
  std::uint16_t maxPacket = 512;
  int speedMbps = 480;  // 12 for a full-speed device
  // usbfs capabilities the device's node reports; they decide how libusb
  // splits large bulk transfers into URBs.
  std::uint32_t capabilities = 0;
};

// What crossed the wire, in order.
struct WireEvent {
  enum class Kind {
    BulkOut,
    BulkIn,
    Control,
    ClearHalt,
    Claim,
    Release,
    DriverDetached,
    DriverAttached
  };
  Kind kind = Kind::BulkOut;
  Bytes bytes{};              // BulkOut: as sent; BulkIn: as delivered; Control: the setup packet
  std::uint8_t endpoint = 0;  // BulkOut/BulkIn/ClearHalt; interface for Claim/Release/Driver*
  std::size_t urbLength = 0;  // the URB's buffer length
  std::chrono::steady_clock::time_point at =
      std::chrono::steady_clock::now();  // wall-clock arrival
};

class EmulatedUsbBus;

// One device as plugged in: its node, its URBs and its protocol state.
class EmulatedDevice {
 public:
  EmulatedDevice(EmulatedUsbBus& bus, DeviceIdentity identity,
                 std::shared_ptr<UsbtmcFunction> function, int busNumber, int deviceNumber,
                 int port);
  ~EmulatedDevice();
  EmulatedDevice(const EmulatedDevice&) = delete;
  EmulatedDevice& operator=(const EmulatedDevice&) = delete;

  // Under the bus lock.
  const std::vector<WireEvent>& wire() const { return wire_; }
  void ClearWire() { wire_.clear(); }
  DeviceFaults faults;
  bool kernelDriverAttached(int interfaceNumber) const;

  const std::string& sysPath() const { return sysPath_; }
  const std::string& devNode() const { return devNode_; }
  int deviceNumber() const { return deviceNumber_; }
  const DeviceIdentity& identity() const { return identity_; }

 private:
  friend class EmulatedUsbBus;
  struct Urb;

  std::string DescriptionText() const;
  Bytes DeviceDescriptor() const;
  Bytes ConfigDescriptor() const;

  // Runs on umockdev's thread.
  static int OnIoctl(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, void* self);
  void HandleIoctl(UMockdevIoctlClient* client);
  // The requests that are not about URBs; an errno value, 0 for success.
  int DeviceIoctl(unsigned long request, UMockdevIoctlData* arg);
  std::optional<int> InterfaceArgument(UMockdevIoctlData* arg, std::size_t size) const;
  int Claim(UMockdevIoctlData* arg, bool detachingDriver);
  int Release(UMockdevIoctlData* arg);
  int SwitchKernelDriver(UMockdevIoctlData* arg);
  int ReportKernelDriver(UMockdevIoctlData* arg);
  void Submit(UMockdevIoctlClient* client);
  void Reap(UMockdevIoctlClient* client);
  void Discard(UMockdevIoctlClient* client);
  void Complete(UMockdevIoctlClient* client, long result, int error);
  void Note(WireEvent event);

  void ProcessOut(Urb& urb);
  void ProcessControl(Urb& urb);
  std::optional<Bytes> StandardRequest(std::span<const std::uint8_t> setup);
  std::optional<Bytes> ClassRequest(std::span<const std::uint8_t> setup);
  void HandleMessageOut(std::span<const std::uint8_t> message, Urb& urb);
  void QueueReply(std::uint8_t bTag, std::size_t maxBytes);
  bool Completable(const Urb& urb) const;
  void FillIn(Urb& urb);
  void Disconnect();
  void CheckPresence();

  EmulatedUsbBus& bus_;
  DeviceIdentity identity_;
  std::shared_ptr<UsbtmcFunction> function_;
  int busNumber_;
  int deviceNumber_;
  std::string sysPath_;
  std::string devNode_;
  UMockdevIoctlBase* handler_ = nullptr;

  struct InChunk {
    Bytes bytes;
    Millis readyAt{0};
  };
  std::deque<std::unique_ptr<Urb>> urbs_;
  std::deque<InChunk> in_;
  Bytes pendingAnswer_;  // the rest of a reply split into several messages
  bool pendingAnswerMore_ = false;
  Bytes messageOut_;  // a host message still waiting for its EOM part
  std::vector<int> claimedInterfaces_;
  std::vector<bool> kernelDriver_;
  int clearPolls_ = 0;
  bool bulkInHalted_ = false;
  bool bulkOutCleared_ = false;  // the host has cleared a halt on bulk-OUT
  std::uint8_t lastRequestTag_ = 0;  // of the previous REQUEST_DEV_DEP_MSG_IN
  Millis lastMessageAt_{0};          // when the last DEV_DEP_MSG_OUT ended
  int faultedReplies_ = 0;
  bool gone_ = false;
  std::vector<WireEvent> wire_;
};

class EmulatedUsbBus {
 public:
  // True when the umockdev preload library is active in this process.
  static bool PreloadActive();

  // Creates the testbed; must come before any libusb_init().
  explicit EmulatedUsbBus(Clock& clock);
  ~EmulatedUsbBus();
  EmulatedUsbBus(const EmulatedUsbBus&) = delete;
  EmulatedUsbBus& operator=(const EmulatedUsbBus&) = delete;

  // Plugs a device in at `port` and waits until libusb can see it.
  EmulatedDevice& Plug(DeviceIdentity identity, std::shared_ptr<UsbtmcFunction> function,
                       int port = 1);
  // Pulls it out: pending URBs fail as on a real unplug, then it leaves the bus.
  void Unplug(EmulatedDevice& device);

  std::unique_lock<std::mutex> Lock() { return std::unique_lock<std::mutex>(mutex_); }
  Clock& clock() { return clock_; }
  const std::vector<std::unique_ptr<EmulatedDevice>>& devices() const { return devices_; }
  // Everything every device saw, in order, across re-enumerations. Under the lock.
  const std::vector<WireEvent>& wire() const { return wire_; }

 private:
  friend class EmulatedDevice;
  void WaitUntilLibusbSees(int deviceNumber, bool present);

  Clock& clock_;
  std::mutex mutex_;
  UMockdevTestbed* testbed_ = nullptr;
  libusb_context* watcher_ = nullptr;  // a context of our own, to see what libusb sees
  int nextDeviceNumber_ = 2;
  std::vector<std::unique_ptr<EmulatedDevice>> devices_;
  // Unplugged devices stay until the bus goes: a handle libusb has not yet
  // closed may still send them requests, which they answer with ENODEV.
  std::vector<std::unique_ptr<EmulatedDevice>> retired_;
  std::vector<WireEvent> wire_;
};

}  // namespace quorvel::testing
