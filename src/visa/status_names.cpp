#include "visa/status_names.h"

#include <array>
#include <cstdio>
#include <string_view>
#include <utility>

namespace quorvel {

namespace {

constexpr std::array<std::pair<ViStatus, std::string_view>, 15> kNames{{
    {VI_SUCCESS, "VI_SUCCESS"},
    {VI_SUCCESS_TERM_CHAR, "VI_SUCCESS_TERM_CHAR"},
    {VI_SUCCESS_MAX_CNT, "VI_SUCCESS_MAX_CNT"},
    {VI_ERROR_SYSTEM_ERROR, "VI_ERROR_SYSTEM_ERROR"},
    {VI_ERROR_INV_OBJECT, "VI_ERROR_INV_OBJECT"},
    {VI_ERROR_INV_EXPR, "VI_ERROR_INV_EXPR"},
    {VI_ERROR_RSRC_NFOUND, "VI_ERROR_RSRC_NFOUND"},
    {VI_ERROR_INV_RSRC_NAME, "VI_ERROR_INV_RSRC_NAME"},
    {VI_ERROR_TMO, "VI_ERROR_TMO"},
    {VI_ERROR_NSUP_ATTR, "VI_ERROR_NSUP_ATTR"},
    {VI_ERROR_NSUP_FMT, "VI_ERROR_NSUP_FMT"},
    {VI_ERROR_IO, "VI_ERROR_IO"},
    {VI_ERROR_RSRC_BUSY, "VI_ERROR_RSRC_BUSY"},
    {VI_ERROR_INV_PARAMETER, "VI_ERROR_INV_PARAMETER"},
    {VI_ERROR_CONN_LOST, "VI_ERROR_CONN_LOST"},
}};

}  // namespace

std::string ViStatusName(ViStatus status) {
  for (const auto& [code, name] : kNames) {
    if (code == status) return std::string(name);
  }
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(status));
  return hex;
}

}  // namespace quorvel
