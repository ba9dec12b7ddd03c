#pragma once
// The validated launch configuration: what the calling application (or nobody) passed on the
// command line. Copied by value into the window and into every session worker.
#include <cstdint>
#include <string>
#include <vector>

#include "launch/launch_error.h"
#include "launch/server_url.h"

namespace varnel {

struct LaunchOptions {
  ServerEndpoint server;
  std::int32_t ixcompany = 1;
  std::u16string market_code;
  std::u16string market_name;
  std::u16string store_code;
  std::u16string store_name;
  std::u16string vendor_code;
  std::u16string vendor_name;
  std::u16string program_name;
  std::u16string program_version;
  std::u16string requester;  // the window replaces it with the name the customer types
  std::u16string reason;
  bool allow_insecure_local = false;
  bool show_help = false;
  bool legacy_auto_connect = false;
  bool customer_name_required = true;
  std::u16string support_ticket;  // filled in by the window, never by the parser

  friend bool operator==(const LaunchOptions&, const LaunchOptions&) = default;
};

// `arguments` excludes the program path. Throws LaunchError carrying the sentence to show.
LaunchOptions ParseLaunchOptions(const std::vector<std::u16string>& arguments);

// Lines separated by a single line feed, no trailing one.
std::u16string LaunchHelpText();

}  // namespace varnel
