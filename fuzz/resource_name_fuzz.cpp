// Arbitrary text as a USB resource name. Whatever parses must print in the
// canonical spelling, which parses back to the same device; parsing ignores
// case; and the tool's searches find a canonical name exactly when it names
// the meter.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "instrument/instrument_session.h"
#include "visa/resource_expression.h"
#include "visa/resource_name.h"
#include "visa/text_case.h"

namespace {

using quorvel::fuzz::Require;

std::string ToUpper(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) c = quorvel::ToUpperAscii(c);
  return upper;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto parsed = quorvel::ParseUsbResourceName(text);

  const auto upper = quorvel::ParseUsbResourceName(ToUpper(text));
  Require(parsed.has_value() == upper.has_value());
  if (!parsed) return 0;
  Require(quorvel::SameUsbResource(*parsed, *upper));

  const std::string canonical = parsed->ToString();
  const auto reparsed = quorvel::ParseUsbResourceName(canonical);
  Require(reparsed && quorvel::SameUsbResource(*reparsed, *parsed));
  Require(reparsed->serial == parsed->serial && reparsed->ToString() == canonical);

  static const auto dialogSearch = quorvel::ResourceExpression::Compile(quorvel::kDialogSearchExpression);
  static const auto packageSearch = quorvel::ResourceExpression::Compile(quorvel::kPackageSearchExpression);
  Require(dialogSearch && packageSearch);
  const bool meter = parsed->vendorId == quorvel::kMeterVendorId &&
                     parsed->productId == quorvel::kMeterProductId;
  Require(dialogSearch->Matches(canonical) == (meter && parsed->board == 0));
  Require(packageSearch->Matches(canonical) == (meter && parsed->board <= 9));
  return 0;
}
