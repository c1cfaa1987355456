#pragma once
// A VisaLibrary for unit tests of the instrument link: one resource manager,
// a fixed list of resources, writes recorded, reads answered from a queue.
#include <deque>
#include <string>
#include <vector>

#include "common/clock.h"
#include "visa/visa_library.h"

namespace quorvel::testing {

class ScriptedVisa : public VisaLibrary {
 public:
  explicit ScriptedVisa(Clock& clock, std::vector<std::string> resources = {})
      : clock_(clock), resources_(std::move(resources)) {}

  struct Call {
    std::string operation;  // "open", "write", "read", "close", "clear", "attr"
    Millis time{0};
    std::string data;       // bytes written, resource opened, or read size
  };

  ViStatus viOpenDefaultRM(ViSession* rm) override;
  ViStatus viFindRsrc(ViSession rm, const ViChar* expression, ViFindList* list, ViUInt32* count,
                      ViChar* descriptor) override;
  ViStatus viFindNext(ViFindList list, ViChar* descriptor) override;
  ViStatus viOpen(ViSession rm, const ViChar* name, ViAccessMode mode, ViUInt32 timeout,
                  ViSession* session) override;
  ViStatus viClose(ViObject object) override;
  ViStatus viSetAttribute(ViObject object, ViAttr attribute, ViAttrState value) override;
  ViStatus viWrite(ViSession session, const ViByte* buffer, ViUInt32 count,
                   ViUInt32* returnCount) override;
  ViStatus viRead(ViSession session, ViByte* buffer, ViUInt32 count,
                  ViUInt32* returnCount) override;
  ViStatus viClear(ViSession session) override;

  std::deque<std::string> replies;  // answered to reads in order; none left = time-out
  std::vector<Call> calls;
  std::vector<std::string> Writes() const;

 private:
  Clock& clock_;
  std::vector<std::string> resources_;
  std::size_t nextResource_ = 0;
  ViSession nextHandle_ = 100;
};

}  // namespace quorvel::testing
