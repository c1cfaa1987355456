#pragma once
// Bookkeeping of VISA handles for any backend: resource managers, find lists
// and sessions, with the parts of the VISA operations that do not depend on
// the device behind a session (searching, walking a find list, the time-out
// attribute, closing).
//
// Rules every backend gets from here:
// - handles come from a counter and are not reused while it has not wrapped
//   (some four billion opens), so a stale handle is never taken for a new one,
//   unless told to hand out the lowest free number as some VISA libraries do;
// - closing a resource manager closes every session and find list opened from it;
// - an unknown or closed handle gives VI_ERROR_INV_OBJECT;
// - the table may be used from several threads at once (a fleet update runs
//   one worker per meter); a session's own state is used by one thread at a
//   time, the one that works with that session.
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/clock.h"
#include "visa/visa_types.h"

namespace quorvel {

// VISA's default I/O time-out.
inline constexpr ViUInt32 kDefaultTimeoutMs = 2000;

// Copies a resource name into a caller's VI_FIND_BUFLEN buffer, cut to fit,
// always NUL-terminated. Does nothing for a null buffer.
void CopyDescriptor(std::string_view name, ViChar* descriptor);

// The text of a caller's NUL-terminated string, if it ends within `maxLength` chars.
std::optional<std::string_view> BoundedCString(const ViChar* text, std::size_t maxLength);

class HandleRegistry {
 public:
  ViSession OpenResourceManager();
  bool IsResourceManager(ViObject object) const;
  bool IsSession(ViObject object) const;

  // viFindRsrc over the given candidates, in their order. Checks the
  // resource manager and the expression; opens a find list only for a
  // non-null `findList` and at least one match.
  ViStatus FindResources(ViSession resourceManager, const ViChar* expression,
                         const std::vector<std::string>& candidates, ViFindList* findList,
                         ViUInt32* count, ViChar* descriptor);
  ViStatus FindNext(ViFindList findList, ViChar* descriptor);

  // VI_ATTR_TMO_VALUE on a session; other attributes are not supported.
  ViStatus SetAttribute(ViObject object, ViAttr attribute, ViAttrState value);
  // A session's I/O time-out; nullopt for anything but an open session.
  std::optional<Millis> Timeout(ViSession session) const;

  // From now on every new handle is the lowest number not in use, so a
  // closed number comes back at the next open (tests of stale handles).
  void ReuseLowestFreeHandles() {
    const std::lock_guard lock(mutex_);
    reuseLowest_ = true;
  }

  // Resource managers, find lists and sessions still open.
  int OpenHandleCount() const {
    const std::lock_guard lock(mutex_);
    return static_cast<int>(records_.size());
  }

 protected:
  // Guards the records and a derived table's states; recursive because the
  // public operations build on one another.
  mutable std::recursive_mutex mutex_;

  // A new session under an open resource manager; VI_NULL when there is none.
  ViSession AddSession(ViSession resourceManager);
  // Removes the object and, for a resource manager, everything opened from
  // it. Returns the sessions removed, in the order they were opened; nullopt
  // for an unknown handle.
  std::optional<std::vector<ViSession>> Remove(ViObject object);

 private:
  enum class Kind { ResourceManager, FindList, Session };
  struct Record {
    Kind kind = Kind::Session;
    ViSession resourceManager = VI_NULL;  // the owner, for find lists and sessions
    ViUInt32 timeoutMs = kDefaultTimeoutMs;
    std::vector<std::string> matches{};
    std::size_t nextMatch = 0;
  };

  ViObject Add(Record record);
  const Record* Find(ViObject object, Kind kind) const;
  Record* Find(ViObject object, Kind kind);

  std::map<ViObject, Record> records_;  // ordered by handle, that is by opening
  ViObject lastHandle_ = VI_NULL;
  bool reuseLowest_ = false;
};

// The registry with a backend's own state for each session.
template <typename SessionState>
class HandleTable : public HandleRegistry {
 public:
  // VI_NULL when `resourceManager` is not open.
  ViSession OpenSession(ViSession resourceManager, SessionState state) {
    const std::lock_guard lock(mutex_);
    const ViSession session = AddSession(resourceManager);
    if (session != VI_NULL) states_.emplace(session, std::move(state));
    return session;
  }

  // The state of an open session; null for anything else.
  SessionState* Session(ViObject object) {
    const std::lock_guard lock(mutex_);
    const auto found = states_.find(object);
    return found == states_.end() ? nullptr : &found->second;
  }

  // viClose. `onSessionClosing` sees each session's state before it goes.
  ViStatus Close(ViObject object, const std::function<void(SessionState&)>& onSessionClosing = {}) {
    const std::lock_guard lock(mutex_);
    const auto sessions = Remove(object);
    if (!sessions) return VI_ERROR_INV_OBJECT;
    for (const ViSession session : *sessions) {
      const auto found = states_.find(session);
      if (found == states_.end()) continue;
      if (onSessionClosing) onSessionClosing(found->second);
      states_.erase(found);
    }
    return VI_SUCCESS;
  }

 private:
  std::map<ViSession, SessionState> states_;
};

}  // namespace quorvel
