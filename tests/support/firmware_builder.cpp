#include "support/firmware_builder.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <stdexcept>
#include <system_error>

#include "common/utf8_path.h"
#include "firmware/version_record.h"

namespace quorvel::testing {

namespace {

constexpr std::size_t kSignatureOffset = 1;
constexpr std::size_t kSignatureLength = 15;
constexpr std::size_t kVersionOffset = 41;
constexpr std::size_t kVersionLength = 5;
constexpr std::size_t kFunctionIdOffset = 46;

constexpr std::size_t kDirectoryBytes = static_cast<std::size_t>(kPackageDirectorySize);
constexpr std::size_t kEntryBytes = static_cast<std::size_t>(kPackageEntrySize);
constexpr std::size_t kEntryCountOffset = 512;
constexpr std::size_t kNameBytes = 512;

void PutText(std::span<std::uint8_t> field, std::string_view text) {
  std::fill(field.begin(), field.end(), std::uint8_t{0});
  const std::size_t length = std::min(field.size(), text.size());
  std::copy_n(text.begin(), length, field.begin());
}

void PutLittleEndian32(ByteVector& bytes, std::size_t position, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i) {
    bytes[position + i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
}

void PutAt(ByteVector& file, std::size_t position, std::span<const std::uint8_t> bytes) {
  if (file.size() < position + bytes.size()) file.resize(position + bytes.size(), 0);
  std::copy(bytes.begin(), bytes.end(), file.begin() + static_cast<std::ptrdiff_t>(position));
}

// Bytes [begin, begin + length) of `file`, clipped to what it holds.
ByteVector Slice(std::span<const std::uint8_t> file, std::int64_t begin, std::int64_t length) {
  const std::int64_t size = static_cast<std::int64_t>(file.size());
  const std::int64_t first = std::clamp<std::int64_t>(begin, 0, size);
  const std::int64_t last =
      std::clamp<std::int64_t>(begin + std::max<std::int64_t>(length, 0), first, size);
  return ByteVector(file.begin() + first, file.begin() + last);
}

}  // namespace

std::uint32_t Crc32(std::span<const std::uint8_t> bytes) {
  uLong crc = crc32(0L, Z_NULL, 0);
  // zlib takes lengths as uInt; feed large buffers in pieces.
  constexpr std::size_t kPiece = 1u << 30;
  for (std::size_t done = 0; done < bytes.size(); done += kPiece) {
    const std::size_t piece = std::min(kPiece, bytes.size() - done);
    crc = crc32(crc, bytes.data() + done, static_cast<uInt>(piece));
  }
  return static_cast<std::uint32_t>(crc);
}

void AppendLittleEndian32(ByteVector& bytes, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i) bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

ByteVector PatternBytes(std::size_t size, std::uint8_t seed) {
  ByteVector bytes(size);
  for (std::size_t i = 0; i < size; ++i) {
    // Period 251 (prime) so frame boundaries of 240 never line up with it.
    bytes[i] = static_cast<std::uint8_t>((i % 251) + seed);
  }
  return bytes;
}

// ---------------------------------------------------------------------------

BinBuilder::BinBuilder() {
  Signature("NAVIR");
  Version("01.21");
  Target(0);
}

BinBuilder& BinBuilder::Signature(std::string_view text) {
  PutText(std::span(decoded_).subspan(kSignatureOffset, kSignatureLength), text);
  return *this;
}

BinBuilder& BinBuilder::Version(std::string_view text) {
  PutText(std::span(decoded_).subspan(kVersionOffset, kVersionLength), text);
  return *this;
}

BinBuilder& BinBuilder::Target(std::uint8_t functionId) {
  decoded_[kFunctionIdOffset] = functionId;
  return *this;
}

BinBuilder& BinBuilder::DecodedByte(std::size_t offset, std::uint8_t value) {
  decoded_.at(offset) = value;
  return *this;
}

BinBuilder& BinBuilder::StoredByte(std::size_t offset, std::uint8_t value) {
  if (offset >= kImageHeaderSize) throw std::out_of_range("header byte offset");
  storedOverrides_[offset] = value;
  return *this;
}

BinBuilder& BinBuilder::Payload(std::size_t size) { return PayloadBytes(PatternBytes(size)); }

BinBuilder& BinBuilder::PayloadBytes(ByteVector bytes) {
  payload_ = std::move(bytes);
  return *this;
}

BinBuilder& BinBuilder::RecordVersionInPayload() {
  const std::string_view version(reinterpret_cast<const char*>(&decoded_[kVersionOffset]),
                                 kVersionLength);
  const auto record = MakeVersionRecord(decoded_[kFunctionIdOffset], version);
  if (payload_.size() < record.size()) payload_.resize(record.size());
  std::copy(record.begin(), record.end(), payload_.begin());
  return *this;
}

BinBuilder& BinBuilder::WithCrc(CrcCovers covers) {
  crc_ = covers;
  return *this;
}

ByteVector BinBuilder::Header() const {
  ByteVector stored(kImageHeaderSize);
  for (std::size_t i = 0; i < kImageHeaderSize; ++i) {
    stored[i] = static_cast<std::uint8_t>(decoded_[i] ^ 0xFFu);
  }
  for (const auto& [offset, value] : storedOverrides_) stored[offset] = value;
  return stored;
}

ByteVector BinBuilder::Body() const {
  ByteVector body = payload_;
  if (!crc_) return body;
  if (*crc_ == CrcCovers::kPayload) {
    AppendLittleEndian32(body, Crc32(payload_));
  } else {
    ByteVector whole = Header();
    whole.insert(whole.end(), payload_.begin(), payload_.end());
    AppendLittleEndian32(body, Crc32(whole));
  }
  return body;
}

ByteVector BinBuilder::Bytes() const {
  ByteVector bytes = Header();
  const ByteVector body = Body();
  bytes.insert(bytes.end(), body.begin(), body.end());
  return bytes;
}

// ---------------------------------------------------------------------------

PakBuilder& PakBuilder::AddImage(BinBuilder image, std::string name) {
  const bool first = entries_.empty();
  if (image.hasCrc()) image.WithCrc(first ? CrcCovers::kPayload : CrcCovers::kWholeImage);
  return AddImage(image.Bytes(), std::move(name));
}

PakBuilder& PakBuilder::AddImage(ByteVector image, std::string name) {
  Entry entry;
  entry.image = std::move(image);
  entry.name = std::move(name);
  entries_.push_back(std::move(entry));
  return *this;
}

PakBuilder& PakBuilder::AddEntry(std::int32_t imageOffset, std::int32_t imageSize,
                                 std::string name) {
  Entry entry;
  entry.offset = imageOffset;
  entry.size = imageSize;
  entry.name = std::move(name);
  entries_.push_back(std::move(entry));
  return *this;
}

PakBuilder& PakBuilder::EntryCount(std::int32_t count) {
  entryCount_ = count;
  return *this;
}

PakBuilder& PakBuilder::DirectoryPrefix(ByteVector prefix) {
  if (prefix.size() > kEntryCountOffset) throw std::length_error("directory prefix");
  prefix_ = std::move(prefix);
  return *this;
}

PakBuilder::Entry& PakBuilder::At(int index) {
  if (index < 1 || static_cast<std::size_t>(index) > entries_.size()) {
    throw std::out_of_range("package entry index");
  }
  return entries_[static_cast<std::size_t>(index - 1)];
}

PakBuilder& PakBuilder::EntryOffset(int index, std::int32_t offset) {
  At(index).offset = offset;
  return *this;
}

PakBuilder& PakBuilder::EntrySize(int index, std::int32_t size) {
  At(index).size = size;
  return *this;
}

PakBuilder& PakBuilder::EntryName(int index, std::string name) {
  At(index).name = std::move(name);
  return *this;
}

PakBuilder& PakBuilder::PlaceImage(int index, std::size_t position) {
  At(index).position = position;
  return *this;
}

PakBuilder& PakBuilder::TruncateTo(std::size_t size) {
  truncateTo_ = size;
  return *this;
}

ByteVector PakBuilder::Bytes() const {
  const std::size_t tableEnd = kDirectoryBytes + kEntryBytes * entries_.size();
  ByteVector file(tableEnd, 0);

  // Images first, so that an image placed over the table is overwritten by it.
  std::vector<std::pair<std::int32_t, std::int32_t>> located;  // offset, size
  for (const Entry& entry : entries_) {
    if (!entry.image) {
      located.emplace_back(0, 0);
      continue;
    }
    const std::size_t position = entry.position.value_or(file.size());
    PutAt(file, position, *entry.image);
    located.emplace_back(static_cast<std::int32_t>(position),
                         static_cast<std::int32_t>(entry.image->size()));
  }

  std::copy(prefix_.begin(), prefix_.end(), file.begin());
  const auto count = entryCount_.value_or(static_cast<std::int32_t>(entries_.size()));
  PutLittleEndian32(file, kEntryCountOffset, static_cast<std::uint32_t>(count));
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    const Entry& entry = entries_[i];
    const std::size_t record = kDirectoryBytes + kEntryBytes * i;
    PutLittleEndian32(file, record,
                      static_cast<std::uint32_t>(entry.offset.value_or(located[i].first)));
    PutLittleEndian32(file, record + 4,
                      static_cast<std::uint32_t>(entry.size.value_or(located[i].second)));
    PutText(std::span(file).subspan(record + 8, kNameBytes), entry.name);
  }

  if (truncateTo_ && *truncateTo_ < file.size()) file.resize(*truncateTo_);
  return file;
}

std::vector<ByteVector> ImagesSentByPackageUpdate(std::span<const std::uint8_t> pak) {
  std::array<std::uint8_t, kDirectoryBytes> directory{};
  std::copy_n(pak.begin(), std::min(pak.size(), directory.size()), directory.begin());
  const std::int64_t entryCount = ReadLittleEndianInt32(directory.data() + kEntryCountOffset);
  const std::int64_t recordsHeld =
      pak.size() < kDirectoryBytes
          ? 0
          : static_cast<std::int64_t>((pak.size() - kDirectoryBytes) / kEntryBytes);

  std::vector<ByteVector> images;
  for (std::int64_t k = 1; k <= std::min(entryCount, recordsHeld); ++k) {
    const std::uint8_t* record =
        pak.data() + kDirectoryBytes + kEntryBytes * static_cast<std::size_t>(k - 1);
    const std::int64_t skipped = k == 1 ? static_cast<std::int64_t>(kImageHeaderSize) : 0;
    images.push_back(Slice(pak, std::int64_t{ReadLittleEndianInt32(record)} + skipped,
                           std::int64_t{ReadLittleEndianInt32(record + 4)} - skipped));
  }
  return images;
}

// ---------------------------------------------------------------------------

TempDir::TempDir() {
  // A fresh name that no one else holds: create_directory fails on an existing one.
  const std::filesystem::path base = std::filesystem::temp_directory_path();
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    char name[32];
    std::snprintf(name, sizeof name, "quorvel-test-%08x", static_cast<unsigned>(random()));
    std::error_code error;
    if (std::filesystem::create_directory(base / name, error)) {
      path_ = base / name;
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary folder in " + base.string());
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::Write(std::string_view name, std::span<const std::uint8_t> bytes) const {
  const std::filesystem::path file = path_ / PathFromUtf8(name);
  if (!WriteFile(file, bytes)) throw std::runtime_error("cannot write " + Utf8FromPath(file));
  return Utf8FromPath(file);
}

bool WriteFile(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

}  // namespace quorvel::testing
