#pragma once
// The VISA operations the tool uses, behind one interface. The procedures call
// these and never know which backend (simulated meter, libusb USBTMC, an
// installed VISA library) answers.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "visa/visa_types.h"

namespace quorvel {

class VisaLibrary {
 public:
  virtual ~VisaLibrary() = default;

  virtual ViStatus viOpenDefaultRM(ViSession* resourceManager) = 0;
  // Finds the resources matching a VISA regular expression. `count` gets the
  // number of matches and `descriptor` (VI_FIND_BUFLEN chars) the first one.
  virtual ViStatus viFindRsrc(ViSession resourceManager, const ViChar* expression,
                              ViFindList* findList, ViUInt32* count, ViChar* descriptor) = 0;
  virtual ViStatus viFindNext(ViFindList findList, ViChar* descriptor) = 0;
  virtual ViStatus viOpen(ViSession resourceManager, const ViChar* resourceName,
                          ViAccessMode accessMode, ViUInt32 openTimeout, ViSession* session) = 0;
  // Closes a session, a find list or a resource manager (and with it every
  // session opened from it).
  virtual ViStatus viClose(ViObject object) = 0;
  virtual ViStatus viSetAttribute(ViObject object, ViAttr attribute, ViAttrState value) = 0;
  // `returnCount` always gets the number of bytes really transferred (0 on failure).
  virtual ViStatus viWrite(ViSession session, const ViByte* buffer, ViUInt32 count,
                           ViUInt32* returnCount) = 0;
  virtual ViStatus viRead(ViSession session, ViByte* buffer, ViUInt32 count,
                          ViUInt32* returnCount) = 0;
  virtual ViStatus viClear(ViSession session) = 0;

  // Formatted I/O, reduced to what the tool uses: viPrintf with a format that
  // holds no conversions ("%%" stands for '%'), and viScanf with "%t" (read a
  // whole message) into a buffer of `bufferSize` chars, NUL-terminated.
  // The defaults build on viWrite and viRead.
  virtual ViStatus viPrintf(ViSession session, const ViChar* format);
  virtual ViStatus viScanf(ViSession session, const ViChar* format, ViChar* buffer,
                           std::size_t bufferSize);

  // What the device did when the session's last operation failed, in words
  // (e.g. "the meter's reply header names message 0x03, expected 0x02 (header
  // 03 02 FD ...)"); empty when the library knows nothing beyond the status.
  virtual std::string LastFailure(ViSession /*session*/) { return {}; }

  // True when no real meter is behind this library, so the tool may shorten
  // its waits (--time-scale). A real meter always gets the full waits.
  virtual bool ServesSimulatedMeter() const { return false; }
};

// Formats longer than this are refused rather than scanned without end.
inline constexpr std::size_t kMaxFormatLength = 4096;

// The text viPrintf sends for `format`: "%%" turned into '%'; nullopt when the
// format holds a conversion, which the tool never uses.
std::optional<std::string> PlainFormatText(std::string_view format);

}  // namespace quorvel
