// The simulated meter as a real USB device: a FunctionFS function with the
// meter's USBTMC interface (bulk-OUT, bulk-IN, interrupt-IN and the class
// requests), served by this program through a Linux USB device controller.
// With dummy_hcd the host side is the same kernel's USB stack, so the
// kernel's usbtmc driver, usbfs and libusb meet the meter as they would meet
// hardware. scripts/kernel-usb-check runs it inside a virtual machine.
//
//   quorvel_usbtmc_gadget --ffs DIR --udc-file PATH --udc NAME [--knobs K] [--report FILE]
//                         [--profile NAME]
//
// DIR is the mounted FunctionFS instance, PATH the gadget's configfs UDC
// file. The program writes its descriptors, binds the gadget to the UDC
// and follows the meter: when the meter leaves the bus the gadget is
// unbound, when it comes back it is bound again, so the host sees a real
// disconnect and a fresh enumeration. Every image the meter installs is
// appended to the report file as "installed <bytes> bytes". --profile NAME
// shapes the replies as the named device profile (tests/usbtmc/device_profiles.h)
// says, for the parts of it that live in the replies.
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/clock.h"
#include "sim/sim_config.h"
#include "sim/sim_meter.h"
#include "usbtmc/device_profiles.h"
#include "visa/usbtmc/usbtmc_protocol.h"

namespace {

namespace proto = quorvel::usbtmc;
using Bytes = std::vector<std::uint8_t>;

// Packet sizes of the endpoints at full and high speed; the interrupt
// endpoint carries USB488's two-byte notifications.
constexpr std::uint16_t kBulkPacketFull = 64;
constexpr std::uint16_t kBulkPacketHigh = 512;
constexpr std::uint16_t kInterruptPacket = 2;
// A host's message is at most one 240-byte frame plus its header in the
// meter's protocol; a larger buffer takes whatever a host may send.
constexpr std::size_t kOutBufferSize = 64 * 1024;
// The host's time-out stands for the meter's patience: a reply later than
// this is never sent.
constexpr quorvel::Millis kPatience{20000};
constexpr std::chrono::milliseconds kFollowInterval{5};

std::atomic<bool> stopping{false};

void Append16(Bytes& bytes, unsigned value) {
  bytes.push_back(static_cast<std::uint8_t>(value & 0xFF));
  bytes.push_back(static_cast<std::uint8_t>((value >> 8) & 0xFF));
}

void Append32(Bytes& bytes, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8)
    bytes.push_back(static_cast<std::uint8_t>(value >> shift));
}

std::uint32_t Read32(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

// One speed's descriptors: the USBTMC interface (USB488 flavour) and its
// three endpoints, in the order FunctionFS names them ep1, ep2, ep3.
void AppendInterface(Bytes& out, std::uint16_t bulkPacket, std::uint8_t interruptInterval) {
  out.insert(out.end(), {USB_DT_INTERFACE_SIZE, USB_DT_INTERFACE, 0, 0, 3, proto::kInterfaceClass,
                         proto::kInterfaceSubClass, proto::kProtocolUsb488, 0});
  out.insert(out.end(),
             {USB_DT_ENDPOINT_SIZE, USB_DT_ENDPOINT, USB_DIR_OUT | 1, USB_ENDPOINT_XFER_BULK});
  Append16(out, bulkPacket);
  out.push_back(0);
  out.insert(out.end(),
             {USB_DT_ENDPOINT_SIZE, USB_DT_ENDPOINT, USB_DIR_IN | 2, USB_ENDPOINT_XFER_BULK});
  Append16(out, bulkPacket);
  out.push_back(0);
  out.insert(out.end(),
             {USB_DT_ENDPOINT_SIZE, USB_DT_ENDPOINT, USB_DIR_IN | 3, USB_ENDPOINT_XFER_INT});
  Append16(out, kInterruptPacket);
  out.push_back(interruptInterval);
}

Bytes FunctionFsDescriptors() {
  Bytes full;
  AppendInterface(full, kBulkPacketFull, 10);  // 10 ms frames
  Bytes high;
  AppendInterface(high, kBulkPacketHigh, 7);  // 2^(7-1) microframes: 8 ms
  Bytes all;
  Append32(all, FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
  Append32(all, 0);  // the length, filled in below
  Append32(all, FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC);
  Append32(all, 4);  // descriptors per speed
  Append32(all, 4);
  all.insert(all.end(), full.begin(), full.end());
  all.insert(all.end(), high.begin(), high.end());
  const auto length = static_cast<std::uint32_t>(all.size());
  std::memcpy(all.data() + 4, &length, sizeof length);  // little-endian host
  return all;
}

Bytes FunctionFsStrings() {
  Bytes strings;
  Append32(strings, FUNCTIONFS_STRINGS_MAGIC);
  Append32(strings, 16);
  Append32(strings, 0);  // no strings
  Append32(strings, 0);  // in no language
  return strings;
}

bool WriteWhole(int fd, const Bytes& bytes) {
  return write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

bool WriteText(const std::string& path, const std::string& text) {
  const int fd = open(path.c_str(), O_WRONLY);
  if (fd < 0) return false;
  const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  return written;
}

struct Options {
  std::string ffs;
  std::string udcFile;
  std::string udc;
  std::string knobs;
  std::string report;
  std::string profile;
};

using quorvel::testing::DeviceFaults;
// A reply as the transfers that carry it.
using Transfers = std::vector<Bytes>;

// The meter behind the interface. Every entry point takes the lock: the
// bulk pipe, the control pipe and the bus follower run on their own threads.
class MeterFunction {
 public:
  MeterFunction(const quorvel::SimConfig& config, quorvel::Clock& clock, std::string report,
                DeviceFaults faults)
      : meter_(config, 0, clock), report_(std::move(report)), faults_(faults), clock_(clock) {}

  // One bulk-OUT transfer from the host; the reply to send on bulk-IN, if any.
  std::optional<Transfers> TakeTransfer(std::span<const std::uint8_t> transfer);
  // A class request on the control pipe; nullopt stalls it.
  std::optional<Bytes> ClassRequest(const usb_ctrlrequest& setup);

  struct Presence {
    bool present;
    std::uint64_t generation;
  };
  Presence presence() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return {meter_.IsPresent(), meter_.generation()};
  }

 private:
  Transfers ReplyMessage(std::uint8_t bTag, std::size_t maxBytes, quorvel::Millis* lateness);
  Transfers Shaped(Bytes message, std::size_t unpadded) const;
  void ReportInstalled();

  std::mutex mutex_;
  quorvel::SimMeter meter_;
  std::string report_;
  Bytes messageOut_;     // a host message still waiting for its EOM part
  Bytes pendingAnswer_;  // the rest of a reply longer than the host asked for
  bool pendingMore_ = false;
  std::size_t installedReported_ = 0;
  DeviceFaults faults_;
  quorvel::Clock& clock_;
  std::uint8_t lastRequestTag_ = 0;
  quorvel::Millis lastMessageAt_{0};
};

std::optional<Transfers> MeterFunction::TakeTransfer(std::span<const std::uint8_t> transfer) {
  quorvel::Millis lateness{0};
  Transfers reply;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    // A transfer too short for a header, or one with a bad bTag complement,
    // is dropped as the meter would drop it.
    if (transfer.size() < proto::kHeaderSize ||
        transfer[2] != static_cast<std::uint8_t>(~transfer[1])) {
      return std::nullopt;
    }
    const std::uint8_t msgId = transfer[0];
    const std::uint32_t size = Read32(transfer.data() + 4);
    if (msgId == proto::kRequestDevDepMsgIn) {
      reply = ReplyMessage(transfer[1], size, &lateness);
    } else if (msgId == proto::kDevDepMsgOut) {
      const std::size_t payload = std::min<std::size_t>(size, transfer.size() - proto::kHeaderSize);
      messageOut_.insert(
          messageOut_.end(), transfer.begin() + proto::kHeaderSize,
          transfer.begin() + static_cast<std::ptrdiff_t>(proto::kHeaderSize + payload));
      if ((transfer[8] & proto::kAttributeEndOfMessage) != 0) {
        lastMessageAt_ = clock_.Now();
        meter_.Receive(messageOut_);
        messageOut_.clear();
      }
    }
  }
  if (reply.empty()) return std::nullopt;
  std::this_thread::sleep_for(lateness);
  return reply;
}

Transfers MeterFunction::ReplyMessage(std::uint8_t bTag, std::size_t maxBytes,
                                      quorvel::Millis* lateness) {
  const std::uint8_t previousTag = std::exchange(lastRequestTag_, bTag);
  if (faults_.largestRequest > 0 && maxBytes > faults_.largestRequest) return {};
  if (clock_.Now() < lastMessageAt_ + faults_.notReadyFor) {
    Bytes notReady{proto::kDevDepMsgIn, bTag, static_cast<std::uint8_t>(~bTag), 0};
    notReady.resize(proto::kHeaderSize, 0);
    return {notReady};
  }
  const bool continuing = !pendingAnswer_.empty();
  if (!continuing) {
    quorvel::ReadResult answer = meter_.Reply(maxBytes, kPatience);
    ReportInstalled();
    if (answer.outcome != quorvel::ReadOutcome::Answered) return {};
    pendingAnswer_ = std::move(answer.bytes);
    pendingMore_ = answer.more;
    *lateness = answer.waited;
  }
  std::size_t part = std::min(maxBytes, pendingAnswer_.size());
  if (faults_.payloadPerMessage > 0) part = std::min(part, faults_.payloadPerMessage);
  const bool endOfMessage =
      part == pendingAnswer_.size() && !pendingMore_ && !faults_.neverEndOfMessage;
  const std::uint8_t tag = continuing && faults_.echoPreviousTag ? previousTag : bTag;
  Bytes message{faults_.msgId.value_or(proto::kDevDepMsgIn), tag, static_cast<std::uint8_t>(~tag),
                0};
  Append32(message, static_cast<std::uint32_t>(part) + faults_.overstatedBy);
  message.insert(message.end(), {static_cast<std::uint8_t>(endOfMessage ? 1 : 0), 0, 0, 0});
  message.insert(message.end(), pendingAnswer_.begin(),
                 pendingAnswer_.begin() + static_cast<std::ptrdiff_t>(part));
  pendingAnswer_.erase(pendingAnswer_.begin(),
                       pendingAnswer_.begin() + static_cast<std::ptrdiff_t>(part));
  const std::size_t unpadded = message.size();
  message.resize(proto::PaddedSize(message.size()), 0);
  return Shaped(std::move(message), unpadded);
}

// The transfers a message leaves in: whole, or with its alignment bytes apart,
// and with a zero-length packet after it when the profile says so.
Transfers MeterFunction::Shaped(Bytes message, std::size_t unpadded) const {
  Transfers transfers;
  if (faults_.alignmentApart && unpadded < message.size()) {
    transfers.emplace_back(message.begin(), message.begin() + static_cast<std::ptrdiff_t>(unpadded));
    transfers.emplace_back(message.begin() + static_cast<std::ptrdiff_t>(unpadded), message.end());
  } else {
    transfers.push_back(std::move(message));
  }
  if (faults_.zeroLengthAfterMessage) transfers.emplace_back();
  return transfers;
}

void MeterFunction::ReportInstalled() {
  const auto& installed = meter_.installedImages();
  for (; installedReported_ < installed.size(); ++installedReported_) {
    std::printf("gadget: the meter installed an image of %zu bytes\n",
                installed[installedReported_].bytes.size());
    std::fflush(stdout);
    if (report_.empty()) continue;
    if (FILE* file = std::fopen(report_.c_str(), "a")) {
      std::fprintf(file, "installed %zu bytes\n", installed[installedReported_].bytes.size());
      std::fclose(file);
    }
  }
}

std::optional<Bytes> MeterFunction::ClassRequest(const usb_ctrlrequest& setup) {
  const std::lock_guard<std::mutex> lock(mutex_);
  const auto bTag = static_cast<std::uint8_t>(setup.wValue & 0xFF);
  switch (static_cast<proto::ControlRequest>(setup.bRequest)) {
    case proto::ControlRequest::kInitiateAbortBulkOut:
      messageOut_.clear();
      return Bytes{proto::kStatusSuccess, bTag};
    case proto::ControlRequest::kCheckAbortBulkOutStatus:
      return Bytes{proto::kStatusSuccess, 0, 0, 0, 0, 0, 0, 0};
    case proto::ControlRequest::kInitiateAbortBulkIn: {
      const bool inProgress = !pendingAnswer_.empty();
      pendingAnswer_.clear();
      // Nothing under way and nothing queued is a failed abort; "transfer
      // not in progress" would tell the host another bTag is being served.
      return Bytes{inProgress ? proto::kStatusSuccess : proto::kStatusFailed, bTag};
    }
    case proto::ControlRequest::kCheckAbortBulkInStatus:
      return Bytes{proto::kStatusSuccess, 0, 0, 0, 0, 0, 0, 0};
    case proto::ControlRequest::kInitiateClear:
      meter_.Clear();
      messageOut_.clear();
      pendingAnswer_.clear();
      return Bytes{proto::kStatusSuccess};
    case proto::ControlRequest::kCheckClearStatus:
      return Bytes{proto::kStatusSuccess, 0};
    case proto::ControlRequest::kGetCapabilities: {
      // Version 1.00 of both the base class and USB488; a 488.2 interface
      // without remote/local control, triggers or service requests.
      Bytes capabilities(0x18, 0);
      capabilities[0] = proto::kStatusSuccess;
      capabilities[3] = 0x01;
      capabilities[13] = 0x01;
      capabilities[14] = 0x04;
      return capabilities;
    }
    case proto::ControlRequest::kIndicatorPulse:
      return Bytes{proto::kStatusSuccess};
    default:
      return std::nullopt;
  }
}

// Control pipe: FunctionFS passes on the requests addressed to our interface
// or endpoints; the rest (descriptors, configuration) the kernel answers.
void ServeControl(int ep0, MeterFunction& function) {
  usb_functionfs_event events[8];
  while (!stopping) {
    const ssize_t got = read(ep0, events, sizeof events);
    if (got < 0) {
      if (errno == EINTR) continue;
      std::perror("gadget: ep0");
      return;
    }
    for (std::size_t i = 0; i < static_cast<std::size_t>(got) / sizeof events[0]; ++i) {
      if (events[i].type != FUNCTIONFS_SETUP) continue;
      const usb_ctrlrequest& setup = events[i].u.setup;
      const bool in = (setup.bRequestType & USB_DIR_IN) != 0;
      std::optional<Bytes> reply;
      if ((setup.bRequestType & USB_TYPE_MASK) == USB_TYPE_CLASS)
        reply = function.ClassRequest(setup);
      if (!reply) {
        // A transfer in the wrong direction makes FunctionFS stall the request.
        char none = 0;
        if (in) {
          (void)!read(ep0, &none, 0);
        } else {
          (void)!write(ep0, &none, 0);
        }
        continue;
      }
      if (in) {
        reply->resize(std::min<std::size_t>(reply->size(), setup.wLength));
        (void)!write(ep0, reply->data(), reply->size());
      } else {
        char ack = 0;
        (void)!read(ep0, &ack, 0);
      }
    }
  }
}

// Bulk pipes: one message in, its reply (if any) out. While the gadget is
// unbound the endpoint files fail; they work again after the next bind.
void ServeBulk(const std::string& ffs, MeterFunction& function) {
  const int out = open((ffs + "/ep1").c_str(), O_RDWR);
  const int in = open((ffs + "/ep2").c_str(), O_RDWR);
  if (out < 0 || in < 0) {
    std::perror("gadget: endpoint files");
    return;
  }
  std::vector<std::uint8_t> buffer(kOutBufferSize);
  while (!stopping) {
    const ssize_t got = read(out, buffer.data(), buffer.size());
    if (got < 0) {
      if (errno != EINTR) std::this_thread::sleep_for(kFollowInterval);
      continue;
    }
    const auto reply = function.TakeTransfer(
        std::span<const std::uint8_t>(buffer.data(), static_cast<std::size_t>(got)));
    for (const Bytes& piece : reply.value_or(Transfers{})) {
      if (!WriteWhole(in, piece)) std::perror("gadget: bulk-IN");
    }
  }
}

// Binds the gadget while the meter is on the bus, with a fresh bind for each
// return, and unbinds it while the meter is away.
void FollowTheMeter(const Options& options, MeterFunction& function) {
  bool bound = false;
  std::uint64_t boundGeneration = 0;
  while (!stopping) {
    const MeterFunction::Presence now = function.presence();
    if (bound && (!now.present || now.generation != boundGeneration)) {
      if (WriteText(options.udcFile, "\n")) {
        bound = false;
        std::printf("gadget: the meter left the bus\n");
      }
    }
    if (!bound && now.present) {
      if (WriteText(options.udcFile, options.udc + "\n")) {
        bound = true;
        boundGeneration = now.generation;
        std::printf("gadget: the meter is on the bus (generation %llu)\n",
                    static_cast<unsigned long long>(now.generation));
      } else {
        std::perror("gadget: bind");
      }
    }
    std::fflush(stdout);
    std::this_thread::sleep_for(kFollowInterval);
  }
  if (bound) WriteText(options.udcFile, "\n");
}

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    const std::string value = argv[i + 1];
    if (option == "--ffs") {
      options->ffs = value;
    } else if (option == "--udc-file") {
      options->udcFile = value;
    } else if (option == "--udc") {
      options->udc = value;
    } else if (option == "--knobs") {
      options->knobs = value;
    } else if (option == "--report") {
      options->report = value;
    } else if (option == "--profile") {
      options->profile = value;
    } else {
      return false;
    }
  }
  return argc % 2 == 1 && !options->ffs.empty() && !options->udcFile.empty() &&
         !options->udc.empty();
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    std::fprintf(stderr,
                 "usage: %s --ffs DIR --udc-file PATH --udc NAME [--knobs K] [--report FILE] "
                 "[--profile NAME]\n",
                 argv[0]);
    return 2;
  }
  std::string error;
  const auto config = quorvel::SimConfig::Parse(options.knobs, &error);
  if (!config) {
    std::fprintf(stderr, "gadget: %s\n", error.c_str());
    return 2;
  }
  const quorvel::testing::DeviceProfile* profile = nullptr;
  if (!options.profile.empty() &&
      !(profile = quorvel::testing::FindDeviceProfile(options.profile))) {
    std::fprintf(stderr, "gadget: no device profile named %s\n", options.profile.c_str());
    return 2;
  }
  const int ep0 = open((options.ffs + "/ep0").c_str(), O_RDWR);
  if (ep0 < 0 || !WriteWhole(ep0, FunctionFsDescriptors()) ||
      !WriteWhole(ep0, FunctionFsStrings())) {
    std::perror("gadget: FunctionFS descriptors");
    return 1;
  }
  signal(SIGTERM, [](int) { stopping = true; });
  quorvel::SteadyClock clock;
  MeterFunction function(*config, clock, options.report, profile ? profile->faults : DeviceFaults{});
  std::thread control(ServeControl, ep0, std::ref(function));
  std::thread bulk(ServeBulk, options.ffs, std::ref(function));
  FollowTheMeter(options, function);
  // Blocked reads end with the process; the threads are not joined.
  control.detach();
  bulk.detach();
  return 0;
}
