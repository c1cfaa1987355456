#pragma once
// The "usbtmc" VISA backend: USBTMC instruments reached directly over
// libusb-1.0, without an installed VISA library.
#include <memory>
#include <string>
#include <string_view>

#include "visa/handle_table.h"
#include "visa/usbtmc/usbtmc_link.h"
#include "visa/visa_library.h"

namespace quorvel {

class UsbtmcVisa final : public VisaLibrary {
 public:
  // Null when libusb cannot start; *error says why.
  static std::unique_ptr<UsbtmcVisa> Create(std::string* error,
                                            usbtmc::LinkOptions options = {});

  ViStatus viOpenDefaultRM(ViSession* resourceManager) override;
  ViStatus viFindRsrc(ViSession resourceManager, const ViChar* expression, ViFindList* findList,
                      ViUInt32* count, ViChar* descriptor) override;
  ViStatus viFindNext(ViFindList findList, ViChar* descriptor) override;
  ViStatus viOpen(ViSession resourceManager, const ViChar* resourceName, ViAccessMode accessMode,
                  ViUInt32 openTimeout, ViSession* session) override;
  ViStatus viClose(ViObject object) override;
  ViStatus viSetAttribute(ViObject object, ViAttr attribute, ViAttrState value) override;
  ViStatus viWrite(ViSession session, const ViByte* buffer, ViUInt32 count,
                   ViUInt32* returnCount) override;
  ViStatus viRead(ViSession session, ViByte* buffer, ViUInt32 count,
                  ViUInt32* returnCount) override;
  ViStatus viClear(ViSession session) override;
  std::string LastFailure(ViSession session) override;

  // Resource managers, find lists and sessions still open.
  int OpenHandleCount() const { return handles_.OpenHandleCount(); }

 private:
  struct Session {
    std::unique_ptr<usbtmc::UsbtmcLink> link;
  };

  UsbtmcVisa(std::unique_ptr<usbtmc::UsbContext> context, usbtmc::LinkOptions options);
  usbtmc::Deadline DeadlineOf(ViSession session) const;

  std::unique_ptr<usbtmc::UsbContext> context_;
  usbtmc::LinkOptions options_;
  HandleTable<Session> handles_;
};

class Clock;

// The backend factory's creator for "usbtmc"; its options ("clear=0,read_size=48")
// are workarounds for devices that bend the USBTMC rules (usbtmc::LinkOptions).
// The backend times its transfers in real time, as the bus does, so it needs no clock.
std::unique_ptr<VisaLibrary> MakeUsbtmcVisa(std::string_view options, Clock& clock,
                                            std::string* error);

}  // namespace quorvel
