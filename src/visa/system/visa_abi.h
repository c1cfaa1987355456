#pragma once
// The binary interface of an installed VISA library: the C types and calling
// conventions of the functions the tool calls, exactly as such a library
// exports them. This is the only place that knows them; the `system` backend
// calls through these declarations and the test-double library in tests/
// exports its functions with them.
//
// The tool's own VisaLibrary interface (visa/visa_types.h) uses the same
// 32-bit handles and status codes, but always carries an attribute value in
// 64 bits; the backend narrows it where the platform's ViAttrState is smaller.
#include <cstdint>

#if defined(_WIN32)
#define QUORVEL_VISA_WINDOWS 1
#endif

// Calling conventions. Only 32-bit Windows has a choice: there every VISA
// function with a fixed argument list is __stdcall (the callee pops its
// arguments), while the varargs ones (viPrintf, viScanf) must be __cdecl
// because only the caller knows how much it pushed. On 64-bit Windows and on
// every other platform there is one convention and the keywords mean nothing.
#if defined(QUORVEL_VISA_WINDOWS) && !defined(_WIN64)
#define QUORVEL_VISA_CALL __stdcall
#define QUORVEL_VISA_VARARGS_CALL __cdecl
#else
#define QUORVEL_VISA_CALL
#define QUORVEL_VISA_VARARGS_CALL
#endif

namespace quorvel::visa_abi {

// 32 bits everywhere. (Windows headers spell ViUInt32 as unsigned long, which
// is 32 bits there even on 64-bit Windows; elsewhere it is unsigned int, since
// long is 64 bits on 64-bit Linux and macOS.)
using ViUInt32 = std::uint32_t;
using ViInt32 = std::int32_t;
using ViUInt16 = std::uint16_t;
using ViStatus = ViInt32;
using ViObject = ViUInt32;
using ViSession = ViObject;
using ViFindList = ViObject;
using ViAccessMode = ViUInt32;
using ViAttr = ViUInt32;
using ViChar = char;
using ViByte = unsigned char;
using ViVersion = ViUInt32;  // major in bits 20-31, minor in 8-19, sub-minor in 0-7

// An attribute's value is as wide as a pointer: 64 bits on 64-bit platforms
// (Windows x64, Linux and macOS on 64-bit processors), 32 bits on 32-bit ones,
// so that an attribute can carry an address.
#if UINTPTR_MAX > 0xFFFFFFFFu
using ViAttrState = std::uint64_t;
#else
using ViAttrState = std::uint32_t;
#endif

static_assert(sizeof(ViSession) == 4 && sizeof(ViStatus) == 4 && sizeof(ViUInt32) == 4);
static_assert(sizeof(ViAttrState) == sizeof(void*));

// The functions the tool calls, as pointer types for run-time lookup.
using ViOpenDefaultRMFn = ViStatus(QUORVEL_VISA_CALL*)(ViSession* resourceManager);
using ViFindRsrcFn = ViStatus(QUORVEL_VISA_CALL*)(ViSession resourceManager,
                                                  const ViChar* expression, ViFindList* findList,
                                                  ViUInt32* count, ViChar* descriptor);
using ViFindNextFn = ViStatus(QUORVEL_VISA_CALL*)(ViFindList findList, ViChar* descriptor);
using ViOpenFn = ViStatus(QUORVEL_VISA_CALL*)(ViSession resourceManager, const ViChar* name,
                                              ViAccessMode accessMode, ViUInt32 openTimeout,
                                              ViSession* session);
using ViCloseFn = ViStatus(QUORVEL_VISA_CALL*)(ViObject object);
using ViSetAttributeFn = ViStatus(QUORVEL_VISA_CALL*)(ViObject object, ViAttr attribute,
                                                      ViAttrState value);
using ViWriteFn = ViStatus(QUORVEL_VISA_CALL*)(ViSession session, const ViByte* buffer,
                                               ViUInt32 count, ViUInt32* returnCount);
using ViReadFn = ViStatus(QUORVEL_VISA_CALL*)(ViSession session, ViByte* buffer, ViUInt32 count,
                                              ViUInt32* returnCount);
using ViClearFn = ViStatus(QUORVEL_VISA_CALL*)(ViSession session);
// Optional: a library without it still serves updates; only the diagnosis
// asks it for the implementation's maker and versions. The value is written
// through `state`: a ViVersion (32 bits) for the versions, up to
// VI_FIND_BUFLEN chars for the maker's name.
using ViGetAttributeFn = ViStatus(QUORVEL_VISA_CALL*)(ViObject object, ViAttr attribute,
                                                      void* state);
using ViPrintfFn = ViStatus(QUORVEL_VISA_VARARGS_CALL*)(ViSession session, const ViChar* format,
                                                        ...);
using ViScanfFn = ViStatus(QUORVEL_VISA_VARARGS_CALL*)(ViSession session, const ViChar* format,
                                                       ...);

}  // namespace quorvel::visa_abi

namespace quorvel::visa_abi {
// Not part of VISA: a library that exports a symbol of this name declares that
// it serves a simulated meter, not a real one (the test double does), so the
// tool may shorten its waits for it.
inline constexpr const char* kSimulatedMeterMarker = "quorvelServesSimulatedMeter";
}  // namespace quorvel::visa_abi
