// torvane-ecf: reads and writes the engine's settings file (cfg/define.ecf)
// for administrators, who cannot edit its scrambled, checksummed form by
// hand.

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "engine/settings_codec.h"

// The SOAP runtime linked in with the core objects needs the namespace
// table, although this tool never speaks SOAP.

namespace {

using torvane::SettingsValues;

const char kUsage[] =
    "usage: torvane-ecf print FILE\n"
    "       torvane-ecf write FILE < PLAIN\n"
    "\n"
    "Reads or writes a Torvane settings file (cfg/define.ecf), whose text is\n"
    "scrambled and followed by two checksum bytes.\n"
    "\n"
    "  print FILE   prints the settings as plain key=value lines. When the\n"
    "               checksum is invalid the lines are still printed, a message\n"
    "               goes to standard error and the exit code is 1; the server\n"
    "               would ignore such a file.\n"
    "  write FILE   reads plain key=value lines from standard input and writes\n"
    "               FILE, replacing it. Blank lines and lines starting with '#'\n"
    "               are ignored. Keys, with their defaults:\n"
    "                 magic_cookie=00000000           1 to 8 hex digits\n"
    "                 udp_discovery_port=fc01         1 to 4 hex digits, not 0\n"
    "                 multicast_group=239.255.255.100 IPv4 multicast address\n"
    "                 monitor_polling_interval=15     seconds, 0 to 9999\n"
    "                 igmp_report_interval=120        seconds, 0 to 9999\n"
    "               A missing key gets its default.\n"
    "  --help       shows this text.\n"
    "\n"
    "Exit codes: 0 success, 1 invalid file or input, 2 usage error.\n";

constexpr int kExitBad = 1;
constexpr int kExitUsage = 2;

// One key of the plain form and the value it will be written with.
struct KeyEntry {
  const char* name;  // without the equals sign
  bool seen;
  std::string value;  // normalised text as written to the file
};

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return std::string();
  size_t e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

bool AllHex(const std::string& s) {
  for (char c : s) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

bool AllDecimal(const std::string& s) {
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// Normalises value for key into *out, or explains in *error why it does not
// fit.
bool NormaliseValue(const std::string& key, const std::string& value, std::string* out,
                    std::string* error) {
  if (key == "magic_cookie" || key == "udp_discovery_port") {
    const size_t width = key == "magic_cookie" ? 8 : 4;
    if (value.empty() || value.size() > width || !AllHex(value)) {
      *error = "must be 1 to " + std::to_string(width) + " hexadecimal digits";
      return false;
    }
    std::string v(width - value.size(), '0');
    for (char c : value) v.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    if (key == "udp_discovery_port" && v == "0000") {
      *error = "port 0 cannot be used";
      return false;
    }
    *out = v;
    return true;
  }
  if (key == "multicast_group") {
    in_addr addr;
    if (value.size() > 15 || inet_pton(AF_INET, value.c_str(), &addr) != 1) {
      *error = "must be a dotted IPv4 address such as 239.255.255.100";
      return false;
    }
    if ((ntohl(addr.s_addr) >> 28) != 0xE) {
      *error = "must be a multicast address (224.0.0.0 to 239.255.255.255)";
      return false;
    }
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &addr, text, sizeof(text));
    *out = text;
    return true;
  }
  // The two intervals: the engine reads at most four digits.
  if (value.empty() || value.size() > 4 || !AllDecimal(value)) {
    *error = "must be 0 to 9999 seconds (1 to 4 decimal digits)";
    return false;
  }
  *out = std::to_string(std::stoi(value));
  return true;
}

int Print(const char* path) {
  std::string content;
  if (!torvane::ReadSettingsBytes(path, &content)) {
    std::fprintf(stderr, "torvane-ecf: cannot read %s: %s\n", path, std::strerror(errno));
    return kExitBad;
  }
  std::string text = torvane::SettingsPlainText(content);
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out.push_back(text[i]);
  }
  if (!out.empty() && out.back() != '\n') out.push_back('\n');
  std::fwrite(out.data(), 1, out.size(), stdout);
  std::fflush(stdout);
  if (!torvane::SettingsChecksumValid(content)) {
    std::fprintf(stderr,
                 "torvane-ecf: %s: invalid checksum (fold %u, expected 255); the server will "
                 "not use this file\n",
                 path, torvane::SettingsChecksumFold(content));
    return kExitBad;
  }
  return 0;
}

int Write(const char* path) {
  KeyEntry keys[] = {
      {"magic_cookie", false, "00000000"},
      {"udp_discovery_port", false, "fc01"},
      {"multicast_group", false, torvane::kDefaultMulticastGroup},
      {"monitor_polling_interval", false, "15"},
      {"igmp_report_interval", false, "120"},
  };
  std::string line;
  int line_no = 0;
  bool bad = false;
  while (std::getline(std::cin, line)) {
    ++line_no;
    std::string t = Trim(line);
    if (t.empty() || t[0] == '#') continue;
    size_t eq = t.find('=');
    if (eq == std::string::npos) {
      std::fprintf(stderr, "torvane-ecf: line %d: expected key=value\n", line_no);
      bad = true;
      continue;
    }
    std::string key = Trim(t.substr(0, eq));
    std::string value = Trim(t.substr(eq + 1));
    KeyEntry* entry = nullptr;
    for (KeyEntry& k : keys) {
      if (key == k.name) entry = &k;
    }
    if (entry == nullptr) {
      std::fprintf(stderr, "torvane-ecf: line %d: unknown key '%s'\n", line_no, key.c_str());
      bad = true;
      continue;
    }
    if (entry->seen) {
      std::fprintf(stderr, "torvane-ecf: line %d: %s given twice\n", line_no, entry->name);
      bad = true;
      continue;
    }
    entry->seen = true;
    std::string error;
    if (!NormaliseValue(key, value, &entry->value, &error)) {
      std::fprintf(stderr, "torvane-ecf: line %d: %s=%s: %s\n", line_no, entry->name,
                   value.c_str(), error.c_str());
      bad = true;
    }
  }
  if (std::cin.bad()) {
    std::fprintf(stderr, "torvane-ecf: error reading standard input\n");
    return kExitBad;
  }
  if (bad) {
    std::fprintf(stderr, "torvane-ecf: %s not written\n", path);
    return kExitBad;
  }

  std::string plain;
  for (const KeyEntry& k : keys) {
    if (!plain.empty()) plain += "\r\n";
    plain += std::string(k.name) + "=" + k.value;
  }
  std::string bytes = torvane::EncodeSettings(plain);
  SettingsValues check;
  if (bytes.size() > torvane::kSettingsMaxContent || !torvane::DecodeSettings(bytes, &check)) {
    std::fprintf(stderr, "torvane-ecf: internal error: encoded file does not read back\n");
    return kExitBad;
  }
  if (!torvane::WriteSettingsBytes(path, bytes)) {
    std::fprintf(stderr, "torvane-ecf: cannot write %s: %s\n", path, std::strerror(errno));
    return kExitBad;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc == 3 && std::strcmp(argv[1], "print") == 0) return Print(argv[2]);
  if (argc == 3 && std::strcmp(argv[1], "write") == 0) return Write(argv[2]);
  std::fputs(kUsage, stderr);
  return kExitUsage;
}
