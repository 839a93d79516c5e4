// Enumeration of the local network adapters with their IPv4 addresses.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace torvane {

// One IPv4 address of an adapter; both values in network order.
struct AddressMask {
  uint32_t address;
  uint32_t mask;
};

// One local adapter as the system reports it.
struct AdapterInfo {
  uint8_t mac[8] = {};       // hardware address, zero-padded
  uint32_t macLength = 0;    // bytes of mac the system gave (at most 8)
  uint32_t index = 0;        // interface index
  std::string name;          // interface name, e.g. "eth0"
  std::vector<AddressMask> addresses;  // in the order the system lists them
};

// Fills *out with every adapter that is up, is not a loopback interface and
// has at least one IPv4 address. Addresses of alias labels ("eth0:1") belong
// to their interface. An address of 0.0.0.0 is not listed. Returns false,
// with *out empty, when the system's interface list cannot be read.
bool QueryAdapters(std::vector<AdapterInfo>* out);

}  // namespace torvane
