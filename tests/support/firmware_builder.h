#pragma once
// Builders for firmware images (.bin) and packages (.pak) as the tests need
// them: sane by default, with every stored byte open to damage.
//
//   auto bin = BinBuilder().Version("01.21").Target(0).Payload(1000).WithCrc().Bytes();
//   auto pak = PakBuilder().AddImage(BinBuilder().Payload(300).WithCrc())
//                          .AddImage(BinBuilder().Target(1).Version("06.00").Payload(200).WithCrc())
//                          .AddImage(BinBuilder().Version("01.30").Payload(100).WithCrc())
//                          .Bytes();
#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "firmware/image_header.h"
#include "firmware/package.h"

namespace quorvel::testing {

using ByteVector = std::vector<std::uint8_t>;

// CRC-32 (IEEE, as zlib computes it), the check the meter applies to an image.
std::uint32_t Crc32(std::span<const std::uint8_t> bytes);
void AppendLittleEndian32(ByteVector& bytes, std::uint32_t value);

// Which bytes the CRC trailer covers: the meter checks the bytes it received,
// which are the payload for a single image and for a package's first image,
// but the whole image (header included) for a package's later images.
enum class CrcCovers { kPayload, kWholeImage };

class BinBuilder {
 public:
  // Defaults: signature "NAVIR", version "01.21", DSP, empty payload, no CRC.
  BinBuilder();

  // Decoded header fields; the builder stores them complemented.
  BinBuilder& Signature(std::string_view text);  // bytes 1..15, NUL-filled; longer text is cut
  BinBuilder& Version(std::string_view text);    // bytes 41..45 exactly, NUL-filled
  BinBuilder& Target(std::uint8_t functionId);   // byte 46
  BinBuilder& DecodedByte(std::size_t offset, std::uint8_t value);
  // Sets a stored (complemented) header byte as it is, after the fields above.
  BinBuilder& StoredByte(std::size_t offset, std::uint8_t value);

  // `size` bytes of a recognisable pattern (not all alike, so lost or reordered
  // frames show). Named apart from PayloadBytes so that Payload({0xD0}) cannot
  // quietly mean 208 bytes.
  BinBuilder& Payload(std::size_t size);
  BinBuilder& PayloadBytes(ByteVector bytes);
  // Writes the version record naming the header's target and version over the
  // payload's first ten bytes, as firmware that reports its own version does.
  // Call after Version, Target and Payload.
  BinBuilder& RecordVersionInPayload();
  // Appends the CRC-32 the meter checks, little-endian, after the payload.
  BinBuilder& WithCrc(CrcCovers covers = CrcCovers::kPayload);
  bool hasCrc() const { return crc_.has_value(); }

  ByteVector Header() const;  // the 50 stored header bytes
  ByteVector Body() const;    // the bytes after the header: payload, then the CRC if asked for
  ByteVector Bytes() const;   // Header() then Body()

 private:
  std::array<std::uint8_t, kImageHeaderSize> decoded_{};
  std::map<std::size_t, std::uint8_t> storedOverrides_;
  std::vector<std::uint8_t> payload_;
  std::optional<CrcCovers> crc_;
};

// The payload pattern Payload(size) uses.
ByteVector PatternBytes(std::size_t size, std::uint8_t seed = 0);

// Builds a package: directory, entry table, then the images one after another
// (or where PlaceImage puts them). Entry fields follow the images unless
// overridden; indices are 1-based as in the entry table.
class PakBuilder {
 public:
  // An image given as a BinBuilder gets its CRC trailer (when it asked for
  // one) over the bytes the package update sends: the payload for image 1,
  // the whole image for the others.
  PakBuilder& AddImage(BinBuilder image, std::string name = "");
  PakBuilder& AddImage(ByteVector image, std::string name = "");
  // A record with no image of its own.
  PakBuilder& AddEntry(std::int32_t imageOffset, std::int32_t imageSize, std::string name = "");

  PakBuilder& EntryCount(std::int32_t count);  // default: the number of entries added
  PakBuilder& DirectoryPrefix(ByteVector prefix);   // at most 512 bytes; default zeros
  PakBuilder& EntryOffset(int index, std::int32_t offset);
  PakBuilder& EntrySize(int index, std::int32_t size);
  // Stored as given, at most 512 bytes; a 512-byte name has no NUL.
  PakBuilder& EntryName(int index, std::string name);
  // Puts image `index` at a file position of its own; gaps are zero-filled.
  PakBuilder& PlaceImage(int index, std::size_t position);
  // Cuts the file to `size` bytes (after everything else).
  PakBuilder& TruncateTo(std::size_t size);

  ByteVector Bytes() const;

 private:
  struct Entry {
    std::optional<ByteVector> image;
    std::optional<std::int32_t> offset;
    std::optional<std::int32_t> size;
    std::optional<std::size_t> position;
    std::string name;
  };
  Entry& At(int index);

  std::vector<Entry> entries_;
  std::optional<std::int32_t> entryCount_;
  ByteVector prefix_;
  std::optional<std::size_t> truncateTo_;
};

// The bytes a package update sends for each image of `pak`, in entry order, as
// the entries declare them: image 1 without its 50-byte header, the others
// whole. Bytes the file does not hold are left out. Follows entryCount
// (clamped to the records the file holds).
std::vector<ByteVector> ImagesSentByPackageUpdate(std::span<const std::uint8_t> pak);

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // Writes `bytes` to a file named `name` in the directory; returns its full path.
  std::string Write(std::string_view name, std::span<const std::uint8_t> bytes) const;

 private:
  std::filesystem::path path_;
};

// Writes `bytes` to `path`, replacing the file; false when that fails.
bool WriteFile(const std::filesystem::path& path, std::span<const std::uint8_t> bytes);

}  // namespace quorvel::testing
