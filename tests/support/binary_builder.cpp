#include "support/binary_builder.h"

namespace quorvel::testing {

namespace {

constexpr std::uint32_t kPeAt = 0x40;
constexpr std::uint32_t kSectionRva = 0x1000;
constexpr std::uint32_t kSectionAt = 0x200;

void Put16(FileBytes& bytes, std::size_t at, std::uint16_t value) {
  if (bytes.size() < at + 2) bytes.resize(at + 2);
  bytes[at] = static_cast<std::uint8_t>(value);
  bytes[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

void Put32(FileBytes& bytes, std::size_t at, std::uint32_t value) {
  Put16(bytes, at, static_cast<std::uint16_t>(value));
  Put16(bytes, at + 2, static_cast<std::uint16_t>(value >> 16));
}

}  // namespace

FileBytes ElfHeader(std::uint8_t elfClass, std::uint8_t byteOrder, std::uint16_t machine) {
  FileBytes bytes(64, 0);
  bytes[0] = 0x7F;
  bytes[1] = 'E';
  bytes[2] = 'L';
  bytes[3] = 'F';
  bytes[4] = elfClass;
  bytes[5] = byteOrder;
  bytes[6] = 1;
  bytes[16] = 3;  // a shared object
  if (byteOrder == 2) {
    bytes[18] = static_cast<std::uint8_t>(machine >> 8);
    bytes[19] = static_cast<std::uint8_t>(machine);
  } else {
    Put16(bytes, 18, machine);
  }
  return bytes;
}

FileBytes PeFile(const PeImage& image) {
  FileBytes bytes(kSectionAt, 0);
  bytes[0] = 'M';
  bytes[1] = 'Z';
  Put32(bytes, 60, kPeAt);
  bytes[kPeAt] = 'P';
  bytes[kPeAt + 1] = 'E';
  const std::size_t coff = kPeAt + 4;
  const std::uint16_t optionalSize = (image.wide ? 112 : 96) + 16 * 8;
  Put16(bytes, coff, image.machine);
  Put16(bytes, coff + 2, 1);  // one section
  Put16(bytes, coff + 16, optionalSize);
  Put16(bytes, coff + 18, 0x2102);  // a DLL
  const std::size_t optional = coff + 20;
  Put16(bytes, optional, image.wide ? 0x20B : 0x10B);

  // The section: the import descriptors, an empty one to end them, then the names.
  const std::size_t descriptors = (image.imports.size() + 1) * 20;
  FileBytes section(descriptors, 0);
  for (std::size_t i = 0; i < image.imports.size(); ++i) {
    Put32(section, i * 20 + 12, kSectionRva + static_cast<std::uint32_t>(section.size()));
    section.insert(section.end(), image.imports[i].begin(), image.imports[i].end());
    section.push_back(0);
  }
  if (!image.imports.empty()) {
    const std::size_t directories = optional + (image.wide ? 112 : 96);
    Put32(bytes, directories + 8, kSectionRva);
    Put32(bytes, directories + 12, static_cast<std::uint32_t>(descriptors));
  }
  const std::size_t table = optional + optionalSize;
  bytes[table] = '.';
  bytes[table + 1] = 'i';
  Put32(bytes, table + 8, static_cast<std::uint32_t>(section.size()));
  Put32(bytes, table + 12, kSectionRva);
  Put32(bytes, table + 16, static_cast<std::uint32_t>(section.size()));
  Put32(bytes, table + 20, kSectionAt);
  bytes.resize(kSectionAt);
  bytes.insert(bytes.end(), section.begin(), section.end());
  return bytes;
}

}  // namespace quorvel::testing
