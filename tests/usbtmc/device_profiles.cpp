#include "usbtmc/device_profiles.h"

namespace quorvel::testing {

namespace {

std::vector<DeviceProfile> MakeProfiles() {
  std::vector<DeviceProfile> rows;
  auto add = [&rows](const char* name, const char* behaviour, const char* seenIn) -> DeviceProfile& {
    rows.push_back({.name = name, .behaviour = behaviour, .seenIn = seenIn});
    return rows.back();
  };

  add("well_behaved", "follows the rules", "-");

  // The meter's replies are at most 32 bytes, so the caps here are scaled
  // down from the 500 bytes real devices use: a reply still needs several.
  DeviceProfile& headerFirst =
      add("header_in_first_packet_only",
          "header only in the first packet of a message, the following packets bare; "
          "TransferSize capped, so a reply needs several requests",
          "kernel usbtmc.c (rigol_quirk); python-usbtmc PR 18 (Rigol DS1104Z)");
  headerFirst.maxPacket = 16;
  headerFirst.speedMbps = 12;
  headerFirst.faults.payloadPerMessage = 24;
  headerFirst.faults.bytesPerTransfer = 16;

  DeviceProfile& eomLast = add("eom_only_on_last_message",
                               "a reply split into messages with EOM 0 until the last, the "
                               "tail arriving as a short transfer of its own",
                               "pyvisa-py PR 449 (Siglent SDG1062X)");
  eomLast.maxPacket = 16;
  eomLast.speedMbps = 12;
  eomLast.faults.payloadPerMessage = 10;
  eomLast.faults.bytesPerTransfer = 16;

  DeviceProfile& eomShort = add("eom_never_set_short_packet",
                                "EOM never set; the reply ends with a short packet",
                                "pyvisa-py issue 463 (Rigol DS1102Z-E); gotmc/usbtmc PR 12");
  eomShort.faults.neverEndOfMessage = true;
  eomShort.ourOptions = "eom=0";

  DeviceProfile& eomZlp = add("eom_never_set_zero_length_packet",
                              "EOM never set; every message followed by a zero-length packet",
                              "gotmc/usbtmc PR 12 (Rigol DS1102Z-E)");
  eomZlp.faults.neverEndOfMessage = true;
  eomZlp.faults.zeroLengthAfterMessage = true;
  eomZlp.ourOptions = "eom=0";

  DeviceProfile& echo = add("continuation_echoes_previous_btag",
                            "the messages that continue a reply echo the previous request's bTag",
                            "gotmc/usbtmc PR 12 (Rigol DS1102Z-E)");
  echo.faults.payloadPerMessage = 20;
  echo.faults.echoPreviousTag = true;

  DeviceProfile& overstated =
      add("transfer_size_overstated", "TransferSize larger than the bytes sent; the transfer ends short",
          "kernel usbtmc.c (\"Device lies about message size\")");
  overstated.faults.overstatedBy = 8;
  overstated.ourOptions = "short_end=1";

  DeviceProfile& highSpeed64 =
      add("high_speed_64_byte_packets",
          "a high-speed device with bulk wMaxPacketSize 64 (the kernel warns \"invalid maxpacket\")",
          "Linux USB core log (\"bulk endpoint ... has invalid maxpacket 64\"); "
          "python tmc driver for Rigol DS1104Z (64-byte chunks)");
  highSpeed64.maxPacket = 64;
  highSpeed64.faults.bytesPerTransfer = 64;

  DeviceProfile& fullSpeed64 = add("full_speed_64_byte_packets",
                                   "a full-speed device with 64-byte packets: a 240-byte frame "
                                   "crosses as four packets",
                                   "dpenkler/linux-usbtmc issue 8 (Rigol DS1054Z)");
  fullSpeed64.maxPacket = 64;
  fullSpeed64.speedMbps = 12;
  fullSpeed64.faults.bytesPerTransfer = 64;

  DeviceProfile& stall48 = add("requests_over_48_bytes_stall",
                               "a request for more than 48 bytes halts bulk-IN",
                               "ngscopeclient/scopehal PR 749 (Siglent SDS1x04X-E: 48 bytes)");
  stall48.faults.largestRequest = 48;
  stall48.faults.stallLargeRequests = true;
  stall48.ourOptions = "read_size=48";

  DeviceProfile& silent63 = add("requests_over_63_bytes_unanswered",
                                "a request for more than 63 bytes is never answered",
                                "dpenkler/linux-usbtmc issue 8 and PR 9 (reads beyond one packet)");
  silent63.faults.largestRequest = 63;
  silent63.ourOptions = "read_size=48";

  DeviceProfile& clear = add("clear_never_completes",
                             "CHECK_CLEAR_STATUS answers \"pending\" for ever",
                             "python-usbtmc PR 62 (Rigol DS1000Z hangs on INITIATE_CLEAR); "
                             "python-usbtmc PR 60");
  clear.faults.clearPendingPolls = 1000000;
  clear.ourOptions = "clear=0";

  DeviceProfile& wedged = add("wedged_after_time_out",
                              "refuses the abort after a time-out and sends the late reply ahead "
                              "of the next one",
                              "python-usbtmc issue 49 (Tektronix FCA3000, Thorlabs PM100D); "
                              "kernel usbtmc.c (abort reads bulk-IN empty)");
  wedged.faults.abortKeepsReply = true;
  wedged.faults.delay = Millis{400};
  wedged.faults.affectedReplies = 1;
  wedged.lateFirstReply = true;

  DeviceProfile& msgId = add("wrong_msgid_in_replies", "replies carry MsgID 0x01 instead of 0x02",
                             "libsigrok PR 246 (\"USBTMC invalid bulk in header\")");
  msgId.faults.msgId = 0x01;
  msgId.ourRefusal = "the meter's reply header names message 0x01, expected 0x02";

  DeviceProfile& notReady = add("not_ready_right_after_a_command",
                                "answers a request that comes within 50 ms of a command with an "
                                "empty message (not ready)",
                                "pyvisa-py issue 318 (zero-length responses)");
  notReady.faults.notReadyFor = Millis{50};

  DeviceProfile& halted = add("bulk_out_halted_after_configuration",
                              "bulk-OUT halted once after configuration: the first write needs "
                              "a CLEAR_HALT",
                              "tinyusb issue 1529 (hosts clear the bulk-OUT halt after "
                              "configuration); libusb issue 1142");
  halted.faults.bulkOutHaltedAtStart = true;

  DeviceProfile& otherId = add("update_mode_with_another_product_id",
                               "re-enumerates after \"system:update\" with another product id "
                               "and the same serial",
                               "PX4/PX4-Bootloader PR 13 (the boot loader enumerates as product "
                               "0x0001, the application as 0x0011)");
  otherId.updateModeProductId = 0x4A36;
  otherId.ourOptions = "update_product=0x4A36";

  DeviceProfile& apart = add("alignment_bytes_apart",
                             "ends the payload with a short packet and sends the alignment bytes "
                             "as a transfer of their own",
                             "pyvisa-py PR 449 and PR 465 (Siglent SDG1062X)");
  apart.faults.alignmentApart = true;
  return rows;
}

}  // namespace

const std::vector<DeviceProfile>& DeviceProfiles() {
  static const std::vector<DeviceProfile> profiles = MakeProfiles();
  return profiles;
}

const DeviceProfile* FindDeviceProfile(std::string_view name) {
  for (const DeviceProfile& profile : DeviceProfiles()) {
    if (name == profile.name) return &profile;
  }
  return nullptr;
}

}  // namespace quorvel::testing
