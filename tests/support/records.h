#pragma once

#include "tavrine/collect/collector.h"

// Sample device records shared by the suites and the benchmarks, so that the
// golden texts and the figures all speak of the same Mac.
namespace test_support {

// The identity of a registered Mac: device id, OS version, host name, model
// and serial number; every control at its fallback.
inline DeviceTavrine sampleIdentity() {
  DeviceTavrine r;
  r.device_id = "6F1A2B3C-4D5E-6F70-8192-A3B4C5D6E7F8";
  r.os_version = "14.5";
  r.hostname = "alice-mbp.local";
  r.model = "MacBookPro18,3";
  r.serial_number = "C02XYZ123ABC";
  return r;
}

// The same Mac with every control read, each status value used at least once.
inline DeviceTavrine sampleRecord() {
  DeviceTavrine r = sampleIdentity();
  r.platform = "darwin";
  r.os_name = "macOS";
  r.disk_encryption = CheckStatus::enabled;
  r.firewall = CheckStatus::disabled;
  r.secure_boot = CheckStatus::enabled;
  r.screen_lock = CheckStatus::enabled;
  r.screen_lock_timeout = 300;
  r.screen_lock_password = CheckStatus::enabled;
  r.sip = CheckStatus::enabled;
  r.gatekeeper = CheckStatus::disabled;
  r.xprotect_version = "2193";
  r.os_up_to_date = CheckStatus::disabled;
  r.pending_updates_count = 2;
  r.mdm_enrolled = CheckStatus::not_applicable;
  r.vpn_connected = CheckStatus::disabled;
  r.auto_login_disabled = CheckStatus::enabled;
  r.remote_login = CheckStatus::unknown;
  r.timestamp = 1733650000;
  return r;
}

}  // namespace test_support
