#pragma once
// The 50-byte, bit-complemented header at the start of a firmware image.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "firmware/file_source.h"

namespace quorvel {

class OperatorConsole;

inline constexpr std::size_t kImageHeaderSize = 50;

// The maker's name: every image's signature, and the first word of the
// meter's own identity.
inline constexpr std::string_view kMakerSignature = "NAVIR";
// A meter reporting this version takes any image, whatever its target.
inline constexpr std::string_view kAnyImageVersion = "02.xx";

// Target processors named by functionId.
enum class TargetProcessor : std::uint8_t { kDsp = 0, kPanel = 1, kMsp430 = 2 };

struct ImageHeader {
  // The 50 decoded (complemented) bytes followed by one NUL.
  std::array<std::uint8_t, kImageHeaderSize + 1> decoded{};

  // Bytes 1..15 as text ending at the first NUL (at most 15 characters).
  std::string makerSignature() const;
  // The whole signature field reads "NAVIR": the header is the maker's.
  bool signedByMaker() const { return makerSignature() == kMakerSignature; }
  // Bytes 41..45 as text ending at the first NUL (at most 5 characters).
  std::string imageVersion() const;
  // Bytes 41..45 exactly, NULs included.
  std::array<char, 5> imageVersionBytes() const;
  std::uint8_t functionId() const { return decoded[46]; }
};

// Decodes a header from up to 50 stored bytes; bytes not supplied count as
// stored 0xFF, that is, decoded 0x00.
ImageHeader DecodeImageHeader(std::span<const std::uint8_t> stored);

// Seeks to `position` and reads up to 50 bytes; what the file does not supply
// decodes as 0x00. Afterwards the file stands at the first payload byte when
// the file held the whole header.
ImageHeader ReadImageHeader(FirmwareFile& file, std::int64_t position);

// What the meter reports about itself, as the header check needs it.
struct MeterVersions {
  std::string instrumentVersion;  // up to 5 characters (the DSP version, or a mode marker)
  std::string tail;               // up to the last 11 characters of the identity reply
};

enum class HeaderVerdict { kAccept, kRefuseSignature, kRefuseVersion, kRefuseUnknownTarget };

// The single-image path's check, without side effects.
HeaderVerdict JudgeImageHeader(const ImageHeader& header, const MeterVersions& meter);

// The package path's signature rule: only the first five characters of the
// signature field count.
bool PackageSignatureMatches(const ImageHeader& header);

// The package path's own rules for the one header of a package it judges:
// only the first five signature characters count, a meter whose version
// starts with 'T' takes anything, versions compare as decimal numbers (DSP
// may be equal, Panel and MSP 430 must be newer, a 'T' in a DSP image's
// version passes). kRefuseVersion and kRefuseUnknownTarget name the target
// by header.functionId().
HeaderVerdict JudgePackageHeader(const ImageHeader& header, const MeterVersions& meter);

// The decimal number written at the start of a version text: blanks, an
// optional sign, digits with an optional point and exponent; 0 when none.
double LeadingNumber(std::string_view text);

// The single-image update's log lines for a refusal, one AppendLog each;
// none for kAccept.
std::vector<std::string> ImageRefusalLines(HeaderVerdict verdict, std::uint8_t functionId);

// The message box text of a refusal, as the package update shows it; its
// words are also the first lines of the single-image update's refusal.
std::string HeaderRefusalText(HeaderVerdict verdict, std::uint8_t functionId);

// The single-image check, writing its refusal lines to the log. True when accepted.
bool CheckImageHeader(const ImageHeader& header, const MeterVersions& meter,
                      OperatorConsole& console);

// Name of a target processor in messages: "DSP", "Panel", "MSP 430"; empty for others.
std::string_view TargetName(std::uint8_t functionId);

}  // namespace quorvel
