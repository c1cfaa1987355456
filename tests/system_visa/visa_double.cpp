// A VISA library for tests: a real shared library that exports the standard C
// functions with the binary interface of visa_abi.h and serves the simulated
// meter behind them. The `system` backend loads it like a vendor's library,
// and pyvisa checks it against its own declarations.
//
// Set up from the environment when the first function is called:
//   QUORVEL_VISA_DOUBLE             the simulated meter's knobs, as after "sim:"
//   QUORVEL_VISA_DOUBLE_TIME_SCALE  run the meter's time this much faster (as
//                                   the tool's --time-scale, which must match)
//   QUORVEL_VISA_DOUBLE_BROKEN=1    viOpenDefaultRM fails, as in a broken installation
//   QUORVEL_VISA_DOUBLE_REUSE=1     every new handle is the lowest free number, so a
//                                   closed one comes back at once, as some
//                                   vendors' libraries do
//   QUORVEL_VISA_DOUBLE_HOSTILE     the library misbehaves: "names" fills
//                                   descriptor buffers without a NUL, "counts"
//                                   reports reads longer than the buffer, "open"
//                                   fails every viOpen with session 0 yet serves
//                                   I/O on handle 0, "writes" fails every binary
//                                   write while claiming its whole count,
//                                   "attributes" writes the maker's name
//                                   without an end
// Built without viOpenDefaultRM when QUORVEL_VISA_DOUBLE_WITHOUT_RM is defined.
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "common/scaled_clock.h"
#include "sim/sim_visa.h"
#include "visa/handle_table.h"
#include "visa/resource_name.h"
#include "visa/system/visa_abi.h"

#if defined(_WIN32)
#define QUORVEL_DOUBLE_EXPORT extern "C" __declspec(dllexport)
#else
#define QUORVEL_DOUBLE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace abi = quorvel::visa_abi;

namespace {

// The longest message "%t" stores when the format gives no width, and the
// widest field accepted.
constexpr std::size_t kUnboundedScanLength = 4096;
constexpr std::size_t kMaxScanWidth = 1 << 20;

bool Flag(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && std::string_view(value) == "1";
}

struct World {
  std::unique_ptr<quorvel::Clock> clock;
  std::unique_ptr<quorvel::SimVisa> visa;  // null when the knobs did not parse
  bool broken = false;
  std::string hostile;
  abi::ViSession lastOpened = quorvel::VI_NULL;  // what handle 0 reaches under "open"
};

std::mutex& Lock() {
  static std::mutex lock;
  return lock;
}

World& TheWorld() {
  static World world = [] {
    World made;
    const char* scale = std::getenv("QUORVEL_VISA_DOUBLE_TIME_SCALE");
    if (scale != nullptr && *scale != '\0') {
      made.clock = std::make_unique<quorvel::ScaledClock>(std::strtod(scale, nullptr));
    } else {
      made.clock = std::make_unique<quorvel::SteadyClock>();
    }
    const char* knobs = std::getenv("QUORVEL_VISA_DOUBLE");
    std::string error;
    auto config = quorvel::SimConfig::Parse(knobs != nullptr ? knobs : "", &error);
    if (config) made.visa = std::make_unique<quorvel::SimVisa>(std::move(*config), *made.clock);
    if (made.visa && Flag("QUORVEL_VISA_DOUBLE_REUSE")) made.visa->ReuseLowestFreeHandles();
    made.broken = Flag("QUORVEL_VISA_DOUBLE_BROKEN");
    const char* hostile = std::getenv("QUORVEL_VISA_DOUBLE_HOSTILE");
    made.hostile = hostile != nullptr ? hostile : "";
    return made;
  }();
  return world;
}

// Runs `call` on the simulated meter's library under the lock, or fails as a
// library without a working installation would.
template <typename Call>
abi::ViStatus WithVisa(Call call) {
  std::lock_guard<std::mutex> guard(Lock());
  World& world = TheWorld();
  if (!world.visa) return quorvel::VI_ERROR_SYSTEM_ERROR;
  return call(*world.visa, std::string_view(world.hostile));
}

// The session I/O on `session` reaches: under "open", handle 0 is the
// session the failed viOpen really opened.
abi::ViSession Served(abi::ViSession session) {
  const World& world = TheWorld();
  if (world.hostile == "open" && session == quorvel::VI_NULL) return world.lastOpened;
  return session;
}

// A hostile library fills the whole descriptor buffer and leaves no NUL.
void Spoil(abi::ViChar* descriptor) {
  if (descriptor != nullptr) std::memset(descriptor, 'X', quorvel::VI_FIND_BUFLEN);
}

}  // namespace

QUORVEL_DOUBLE_EXPORT int quorvelServesSimulatedMeter() { return 1; }

#if !defined(QUORVEL_VISA_DOUBLE_WITHOUT_RM)
QUORVEL_DOUBLE_EXPORT abi::ViStatus QUORVEL_VISA_CALL viOpenDefaultRM(abi::ViSession* rm) {
  {
    std::lock_guard<std::mutex> guard(Lock());
    if (TheWorld().broken) return quorvel::VI_ERROR_SYSTEM_ERROR;
  }
  return WithVisa([&](quorvel::SimVisa& visa, std::string_view) { return visa.viOpenDefaultRM(rm); });
}
#endif

QUORVEL_DOUBLE_EXPORT abi::ViStatus QUORVEL_VISA_CALL viFindRsrc(abi::ViSession rm,
                                                                 const abi::ViChar* expression,
                                                                 abi::ViFindList* findList,
                                                                 abi::ViUInt32* count,
                                                                 abi::ViChar* descriptor) {
  return WithVisa([&](quorvel::SimVisa& visa, std::string_view hostile) {
    const abi::ViStatus status = visa.viFindRsrc(rm, expression, findList, count, descriptor);
    if (hostile == "names" && quorvel::ViSucceeded(status)) Spoil(descriptor);
    return status;
  });
}

QUORVEL_DOUBLE_EXPORT abi::ViStatus QUORVEL_VISA_CALL viFindNext(abi::ViFindList findList,
                                                                 abi::ViChar* descriptor) {
  return WithVisa([&](quorvel::SimVisa& visa, std::string_view hostile) {
    const abi::ViStatus status = visa.viFindNext(findList, descriptor);
    if (hostile == "names" && quorvel::ViSucceeded(status)) Spoil(descriptor);
    return status;
  });
}

QUORVEL_DOUBLE_EXPORT abi::ViStatus QUORVEL_VISA_CALL viOpen(abi::ViSession rm,
                                                             const abi::ViChar* name,
                                                             abi::ViAccessMode accessMode,
                                                             abi::ViUInt32 openTimeout,
                                                             abi::ViSession* session) {
  return WithVisa([&](quorvel::SimVisa& visa, std::string_view hostile) {
    const abi::ViStatus status = visa.viOpen(rm, name, accessMode, openTimeout, session);
    if (hostile != "open" || !quorvel::ViSucceeded(status) || session == nullptr) return status;
    TheWorld().lastOpened = *session;
    *session = quorvel::VI_NULL;
    return quorvel::VI_ERROR_RSRC_NFOUND;
  });
}

QUORVEL_DOUBLE_EXPORT abi::ViStatus QUORVEL_VISA_CALL viClose(abi::ViObject object) {
  return WithVisa([&](quorvel::SimVisa& visa, std::string_view) { return visa.viClose(object); });
}

QUORVEL_DOUBLE_EXPORT abi::ViStatus QUORVEL_VISA_CALL viSetAttribute(abi::ViObject object,
                                                                     abi::ViAttr attribute,
                                                                     abi::ViAttrState value) {
  return WithVisa([&](quorvel::SimVisa& visa, std::string_view) {
    return visa.viSetAttribute(Served(object), attribute, value);
  });
}

// Who made the library and its versions, as a vendor's library answers them.
QUORVEL_DOUBLE_EXPORT abi::ViStatus QUORVEL_VISA_CALL viGetAttribute(abi::ViObject,
                                                                     abi::ViAttr attribute,
                                                                     void* state) {
  if (state == nullptr) return quorvel::VI_ERROR_INV_PARAMETER;
  std::lock_guard<std::mutex> guard(Lock());
  switch (attribute) {
    case quorvel::VI_ATTR_RSRC_MANF_NAME:
      if (TheWorld().hostile == "attributes") {
        Spoil(static_cast<abi::ViChar*>(state));
      } else {
        std::strcpy(static_cast<abi::ViChar*>(state), "Quorvel test double");
      }
      return quorvel::VI_SUCCESS;
    case quorvel::VI_ATTR_RSRC_IMPL_VERSION:
      *static_cast<abi::ViVersion*>(state) = 0x00100200;  // 1.2.0
      return quorvel::VI_SUCCESS;
    case quorvel::VI_ATTR_RSRC_SPEC_VERSION:
      *static_cast<abi::ViVersion*>(state) = 0x00500800;  // 5.8.0
      return quorvel::VI_SUCCESS;
    default:
      return quorvel::VI_ERROR_NSUP_ATTR;
  }
}

QUORVEL_DOUBLE_EXPORT abi::ViStatus QUORVEL_VISA_CALL viWrite(abi::ViSession session,
                                                              const abi::ViByte* buffer,
                                                              abi::ViUInt32 count,
                                                              abi::ViUInt32* returnCount) {
  return WithVisa([&](quorvel::SimVisa& visa, std::string_view hostile) {
    const abi::ViStatus status = visa.viWrite(Served(session), buffer, count, returnCount);
    const bool binary = count > 0 && buffer != nullptr && buffer[count - 1] != '\n';
    if (hostile != "writes" || !binary) return status;
    if (returnCount != nullptr) *returnCount = count;
    return quorvel::VI_ERROR_CONN_LOST;
  });
}

QUORVEL_DOUBLE_EXPORT abi::ViStatus QUORVEL_VISA_CALL viRead(abi::ViSession session,
                                                             abi::ViByte* buffer,
                                                             abi::ViUInt32 count,
                                                             abi::ViUInt32* returnCount) {
  return WithVisa([&](quorvel::SimVisa& visa, std::string_view hostile) {
    const abi::ViStatus status = visa.viRead(Served(session), buffer, count, returnCount);
    // Claims more than the buffer holds.
    if (hostile == "counts" && returnCount != nullptr) *returnCount = count + 100;
    return status;
  });
}

// pyvisa asks what a resource name means before it opens it.
QUORVEL_DOUBLE_EXPORT abi::ViStatus QUORVEL_VISA_CALL viParseRsrcEx(
    abi::ViSession rm, const abi::ViChar* name, abi::ViUInt16* interfaceType,
    abi::ViUInt16* interfaceNumber, abi::ViChar* resourceClass, abi::ViChar* expandedName,
    abi::ViChar* alias) {
  constexpr abi::ViUInt16 kUsbInterface = 7;  // VI_INTF_USB
  return WithVisa([&](quorvel::SimVisa&, std::string_view) -> abi::ViStatus {
    if (rm == quorvel::VI_NULL) return quorvel::VI_ERROR_INV_OBJECT;
    const auto text = quorvel::BoundedCString(name, quorvel::VI_FIND_BUFLEN);
    const auto parsed = text ? quorvel::ParseUsbResourceName(*text) : std::nullopt;
    if (!parsed) return quorvel::VI_ERROR_INV_RSRC_NAME;
    if (interfaceType != nullptr) *interfaceType = kUsbInterface;
    if (interfaceNumber != nullptr) *interfaceNumber = static_cast<abi::ViUInt16>(parsed->board);
    quorvel::CopyDescriptor("INSTR", resourceClass);
    quorvel::CopyDescriptor(parsed->ToString(), expandedName);
    quorvel::CopyDescriptor("", alias);
    return quorvel::VI_SUCCESS;
  });
}

// The meter raises no events; pyvisa switches them off before it closes a session.
QUORVEL_DOUBLE_EXPORT abi::ViStatus QUORVEL_VISA_CALL viDisableEvent(abi::ViSession,
                                                                     abi::ViUInt32,
                                                                     abi::ViUInt16) {
  return quorvel::VI_SUCCESS;
}

QUORVEL_DOUBLE_EXPORT abi::ViStatus QUORVEL_VISA_CALL viDiscardEvents(abi::ViSession,
                                                                      abi::ViUInt32,
                                                                      abi::ViUInt16) {
  return quorvel::VI_SUCCESS;
}

QUORVEL_DOUBLE_EXPORT abi::ViStatus QUORVEL_VISA_CALL viClear(abi::ViSession session) {
  return WithVisa(
      [&](quorvel::SimVisa& visa, std::string_view) { return visa.viClear(Served(session)); });
}

// Formatted I/O, as far as the tool uses it: viPrintf with literal text, and
// viScanf with "%t" or "%<width>t" into one char buffer.
QUORVEL_DOUBLE_EXPORT abi::ViStatus QUORVEL_VISA_VARARGS_CALL viPrintf(abi::ViSession session,
                                                                       const abi::ViChar* format,
                                                                       ...) {
  return WithVisa([&](quorvel::SimVisa& visa, std::string_view) {
    return visa.viPrintf(Served(session), format);
  });
}

QUORVEL_DOUBLE_EXPORT abi::ViStatus QUORVEL_VISA_VARARGS_CALL viScanf(abi::ViSession session,
                                                                      const abi::ViChar* format,
                                                                      ...) {
  if (format == nullptr || format[0] != '%') return quorvel::VI_ERROR_NSUP_FMT;
  std::size_t width = 0;
  std::size_t at = 1;
  while (format[at] >= '0' && format[at] <= '9' && width <= kMaxScanWidth) {
    width = width * 10 + static_cast<std::size_t>(format[at] - '0');
    ++at;
  }
  if (format[at] != 't' || format[at + 1] != '\0') return quorvel::VI_ERROR_NSUP_FMT;
  if (at > 1 && (width == 0 || width > kMaxScanWidth)) return quorvel::VI_ERROR_NSUP_FMT;
  const std::size_t size = (at > 1 ? width : kUnboundedScanLength) + 1;

  va_list arguments;
  va_start(arguments, format);
  abi::ViChar* buffer = va_arg(arguments, abi::ViChar*);
  va_end(arguments);
  return WithVisa(
      [&](quorvel::SimVisa& visa, std::string_view) {
        return visa.viScanf(Served(session), "%t", buffer, size);
      });
}
