#pragma once
// VISA types, status codes and attributes with the standard's names and values.
#include <cstdint>

namespace quorvel {

using ViUInt32 = std::uint32_t;
using ViInt32 = std::int32_t;
using ViUInt16 = std::uint16_t;
using ViByte = unsigned char;
using ViChar = char;
using ViStatus = ViInt32;
using ViObject = ViUInt32;
using ViSession = ViObject;
using ViFindList = ViObject;
using ViAccessMode = ViUInt32;
using ViAttr = ViUInt32;
using ViAttrState = std::uint64_t;

inline constexpr ViObject VI_NULL = 0;
inline constexpr ViUInt32 VI_FIND_BUFLEN = 256;  // descriptor buffers hold this many chars

inline constexpr ViStatus VI_SUCCESS = 0;
inline constexpr ViStatus VI_SUCCESS_TERM_CHAR = 0x3FFF0005;
inline constexpr ViStatus VI_SUCCESS_MAX_CNT = 0x3FFF0006;
// Error codes have the top bit set; written as unsigned and cast, as the standard does.
inline constexpr ViStatus VI_ERROR_SYSTEM_ERROR = static_cast<ViStatus>(0xBFFF0000u);
inline constexpr ViStatus VI_ERROR_INV_OBJECT = static_cast<ViStatus>(0xBFFF000Eu);
inline constexpr ViStatus VI_ERROR_INV_EXPR = static_cast<ViStatus>(0xBFFF0010u);
inline constexpr ViStatus VI_ERROR_RSRC_NFOUND = static_cast<ViStatus>(0xBFFF0011u);
inline constexpr ViStatus VI_ERROR_INV_RSRC_NAME = static_cast<ViStatus>(0xBFFF0012u);
inline constexpr ViStatus VI_ERROR_TMO = static_cast<ViStatus>(0xBFFF0015u);
inline constexpr ViStatus VI_ERROR_NSUP_ATTR = static_cast<ViStatus>(0xBFFF001Du);
inline constexpr ViStatus VI_ERROR_NSUP_FMT = static_cast<ViStatus>(0xBFFF002Cu);
inline constexpr ViStatus VI_ERROR_IO = static_cast<ViStatus>(0xBFFF003Eu);
inline constexpr ViStatus VI_ERROR_RSRC_BUSY = static_cast<ViStatus>(0xBFFF0072u);
inline constexpr ViStatus VI_ERROR_INV_PARAMETER = static_cast<ViStatus>(0xBFFF0078u);
inline constexpr ViStatus VI_ERROR_CONN_LOST = static_cast<ViStatus>(0xBFFF00A6u);

inline constexpr ViAttr VI_ATTR_TMO_VALUE = 0x3FFF001A;
// The resource manager's own: who made the library, its version and the VISA
// version it implements.
inline constexpr ViAttr VI_ATTR_RSRC_IMPL_VERSION = 0x3FFF0003;
inline constexpr ViAttr VI_ATTR_RSRC_SPEC_VERSION = 0x3FFF0170;
inline constexpr ViAttr VI_ATTR_RSRC_MANF_NAME = 0xBFFF0174;

inline constexpr bool ViSucceeded(ViStatus status) { return status >= 0; }

}  // namespace quorvel
