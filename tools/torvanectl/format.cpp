#include "tools/torvanectl/format.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <sstream>

namespace torvanectl {

namespace {

enum class Kind { kText, kIpv4, kOnOff, kUint32 };

struct SetField {
  const char* name;
  const char* element;
  Kind kind;
  const char* help;
};

// What "set" can change. Every field the switch's set request carries is
// here; the switch itself decides (through its function bitmap) which of
// them it takes.
const SetField kSetFields[] = {
    {"name", "systemName", Kind::kText, "system name"},
    {"location", "location", Kind::kText, "location"},
    {"ip", "agentIpAddr", Kind::kIpv4, "IPv4 address"},
    {"netmask", "agentNetmask", Kind::kIpv4, "netmask"},
    {"gateway", "agentGateway", Kind::kIpv4, "default gateway"},
    {"trap-ip", "trapIpAddr", Kind::kIpv4, "address traps are sent to"},
    {"dhcp", "dhcpMode", Kind::kOnOff, "DHCP client (on/off)"},
    {"snmp", "snmpMode", Kind::kOnOff, "SNMP agent (on/off)"},
    {"lldp", "lldpMode", Kind::kOnOff, "LLDP (on/off)"},
    {"lldp-key", "lldpAuthenkey", Kind::kText, "LLDP authentication key"},
    {"group-timer", "groupTimer", Kind::kUint32, "group timer (number)"},
    {"password", "oldPassword", Kind::kText, "the switch's current password"},
    {"new-password", "newPasseord", Kind::kText, "a new password for the switch"},
};

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool ParseUint32(const std::string& text, uint32_t* out) {
  if (text.empty() || text.size() > 10) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
  if (v > 0xFFFFFFFFull) return false;
  *out = static_cast<uint32_t>(v);
  return true;
}

// Characters of a UTF-8 text, for column widths (continuation bytes do
// not start a character).
size_t Width(const std::string& s) {
  size_t n = 0;
  for (unsigned char c : s) {
    if ((c & 0xC0) != 0x80) ++n;
  }
  return n;
}

}  // namespace

std::string SetFieldHelp() {
  std::ostringstream out;
  for (const SetField& f : kSetFields) {
    std::string name = f.name;
    out << "  " << name << std::string(name.size() < 14 ? 14 - name.size() : 1, ' ') << f.help
        << "\n";
  }
  return out.str();
}

bool ParseFieldEdit(const std::string& arg, FieldEdit* edit, FieldError* err) {
  size_t eq = arg.find('=');
  if (eq == std::string::npos || eq == 0) {
    err->message = "\"" + arg + "\" is not of the form field=value";
    return false;
  }
  std::string name = Lower(arg.substr(0, eq));
  std::string value = arg.substr(eq + 1);
  const SetField* field = nullptr;
  for (const SetField& f : kSetFields) {
    if (name == f.name) field = &f;
  }
  if (field == nullptr) {
    err->message = "unknown field \"" + name + "\"; the fields are:\n" + SetFieldHelp();
    return false;
  }
  edit->element = field->element;
  switch (field->kind) {
    case Kind::kText:
      edit->value = value;
      return true;
    case Kind::kIpv4:
      if (!IsIpv4Text(value)) {
        err->message = name + ": \"" + value + "\" is not an IPv4 address (a.b.c.d)";
        return false;
      }
      edit->value = value;
      return true;
    case Kind::kOnOff: {
      std::string v = Lower(value);
      if (v == "on" || v == "yes" || v == "true" || v == "1" || v == "enable" ||
          v == "enabled") {
        edit->value = 1;
      } else if (v == "off" || v == "no" || v == "false" || v == "0" || v == "disable" ||
                 v == "disabled") {
        edit->value = 0;
      } else {
        err->message = name + ": \"" + value + "\" is neither on nor off";
        return false;
      }
      return true;
    }
    case Kind::kUint32: {
      uint32_t n = 0;
      if (!ParseUint32(value, &n)) {
        err->message = name + ": \"" + value + "\" is not a number from 0 to 4294967295";
        return false;
      }
      edit->value = n;
      return true;
    }
  }
  return false;
}

bool NormalizeMac(const std::string& text, std::string* out) {
  std::string hex;
  char sep = 0;
  size_t group = 0;  // hex digits since the last separator
  for (char c : text) {
    if (std::isxdigit(static_cast<unsigned char>(c))) {
      hex += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      ++group;
    } else if (c == '-' || c == ':' || c == '.') {
      if (sep != 0 && c != sep) return false;
      if (group == 0) return false;
      sep = c;
      group = 0;
    } else {
      return false;
    }
  }
  if (hex.size() != 12) return false;
  // Separated forms are pairs (02-00-..) or, with dots, groups of four.
  if (sep == '-' || sep == ':') {
    size_t seps = static_cast<size_t>(std::count(text.begin(), text.end(), sep));
    if (seps != 5) return false;
    for (size_t i = 0; i < text.size(); i += 3) {
      if (i + 2 < text.size() && text[i + 2] != sep) return false;
    }
  } else if (sep == '.') {
    if (std::count(text.begin(), text.end(), '.') != 2 || text.size() != 14) return false;
  }
  std::string mac;
  for (size_t i = 0; i < 12; i += 2) {
    if (!mac.empty()) mac += '-';
    mac += hex.substr(i, 2);
  }
  *out = mac;
  return true;
}

bool IsIpv4Text(const std::string& text) {
  int parts = 0;
  size_t i = 0;
  while (i <= text.size()) {
    size_t end = text.find('.', i);
    if (end == std::string::npos) end = text.size();
    std::string part = text.substr(i, end - i);
    uint32_t v = 0;
    if (part.empty() || part.size() > 3 || !ParseUint32(part, &v) || v > 255) return false;
    ++parts;
    i = end + 1;
    if (end == text.size()) break;
  }
  return parts == 4;
}

std::string EngineStartText(unsigned errorcode) {
  switch (errorcode) {
    case 0:
      return "engine started";
    case 1:
      return "the engine could not start: its settings file (cfg/define.ecf) is missing or "
             "invalid, or its sockets are unavailable";
    case 2:
      return "the engine could not start: the discovery port is in use by another program";
    default:
      return "the engine answered the unknown code " + std::to_string(errorcode);
  }
}

std::string UpgradeStateText(int state) {
  switch (state) {
    case 0: return "queued";
    case 1: return "upgrade command sent";
    case 2: return "transfer requested";
    case 3: return "erasing flash";
    case 4: return "transferring";
    case 5: return "last block sent";
    case 6: return "rebooting";
    case 7: return "waiting for the switch to return";
    case 9: return "upgraded";
    case 10: return "failed";
    default: return "state " + std::to_string(state);
  }
}

std::string UpgradeFailureText(int code) {
  switch (code) {
    case 0: return "no failure";
    case 1: return "the firmware file cannot be opened on the server";
    case 2: return "the firmware file cannot be read";
    case 3: return "the switch did not answer the upgrade command";
    case 4: return "the switch refused the upgrade (wrong password?)";
    case 5: return "the switch did not accept the transfer";
    case 6: return "the size of the firmware file cannot be determined";
    case 7: return "the switch stopped acknowledging the transfer";
    case 8: return "the switch did not come back after its restart";
    case 9: return "the switch reported a transfer error";
    default: return "failure code " + std::to_string(code);
  }
}

std::string SetResultText(int operate, int result) {
  if (result == 0) return operate == 1 ? "password changed" : "applied by the switch";
  if (result == -2) return "no answer from the switch within 50 s";
  if (result == -1) return "still waiting for the switch";
  return "the switch refused the change (status " + std::to_string(result) + ")";
}

std::string FormatTable(const std::vector<std::string>& header,
                        const std::vector<std::vector<std::string>>& rows) {
  std::vector<size_t> width(header.size(), 0);
  auto measure = [&width](const std::vector<std::string>& row) {
    for (size_t i = 0; i < row.size() && i < width.size(); ++i) {
      width[i] = std::max(width[i], Width(row[i]));
    }
  };
  measure(header);
  for (const auto& r : rows) measure(r);
  std::string out;
  auto line = [&](const std::vector<std::string>& row) {
    std::string text;
    for (size_t i = 0; i < width.size(); ++i) {
      const std::string cell = i < row.size() ? row[i] : std::string();
      text += cell;
      if (i + 1 < width.size()) text += std::string(width[i] - Width(cell) + 2, ' ');
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    out += text + "\n";
  };
  line(header);
  for (const auto& r : rows) line(r);
  return out;
}

std::string FormatCsv(const std::vector<std::string>& header,
                      const std::vector<std::vector<std::string>>& rows) {
  std::string out;
  auto line = [&out](const std::vector<std::string>& row) {
    for (size_t i = 0; i < row.size(); ++i) {
      if (i > 0) out += ',';
      const std::string& c = row[i];
      if (c.find_first_of(",\"\r\n") == std::string::npos) {
        out += c;
        continue;
      }
      out += '"';
      for (char ch : c) {
        if (ch == '"') out += '"';
        out += ch;
      }
      out += '"';
    }
    out += "\r\n";
  };
  line(header);
  for (const auto& r : rows) line(r);
  return out;
}

std::string Cell(const Json& obj, const std::string& key) {
  auto it = obj.find(key);
  if (it == obj.end() || it->is_null()) return "";
  if (it->is_string()) return it->get<std::string>();
  if (it->is_boolean()) return it->get<bool>() ? "yes" : "no";
  return it->dump();
}

bool MatchesFilter(const Json& obj, const std::vector<std::string>& keys,
                   const std::string& filter) {
  if (filter.empty()) return true;
  std::string needle = Lower(filter);
  for (const std::string& k : keys) {
    if (Lower(Cell(obj, k)).find(needle) != std::string::npos) return true;
  }
  return false;
}

const std::vector<std::string>& SwitchColumns() {
  static const std::vector<std::string> kColumns = {
      "macAddr", "agentIpAddr", "systemName", "location", "productName", "fwVersion",
      "mode", "watched"};
  return kColumns;
}

const std::vector<std::string>& SwitchHeadings() {
  static const std::vector<std::string> kHeadings = {
      "MAC", "IP", "NAME", "LOCATION", "PRODUCT", "FIRMWARE", "MODE", "WATCHED"};
  return kHeadings;
}

}  // namespace torvanectl
