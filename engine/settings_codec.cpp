// The settings file codec. See settings_codec.h for the file format.

#include "engine/settings_codec.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace torvane {

const char kKeyMagicCookie[] = "magic_cookie=";
const char kKeyDiscoveryPort[] = "udp_discovery_port=";
const char kKeyMulticastGroup[] = "multicast_group=";
const char kKeyMonitorPollingInterval[] = "monitor_polling_interval=";
const char kKeyIgmpReportInterval[] = "igmp_report_interval=";
const char kDefaultMulticastGroup[] = "239.255.255.100";

namespace {

// The scrambling key. Files are only exchanged between installations with
// the same key, so these never change. kScrambleA must stay coprime to
// kScrambleCodes, or the substitution is not a bijection.
constexpr int kScrambleA = 37;
constexpr int kScrambleB = 59;
constexpr int kScrambleFirst = 32;
constexpr int kScrambleCodes = 96;

// The most characters each value may have in the file.
constexpr size_t kMaxCookieChars = 8;
constexpr size_t kMaxPortChars = 4;
constexpr size_t kMaxGroupChars = 15;
constexpr size_t kMaxIntervalChars = 4;

constexpr size_t kChecksumBytes = 2;

bool InScrambleRange(uint8_t c) {
  return c >= kScrambleFirst && c < kScrambleFirst + kScrambleCodes;
}

// The inverse of kScrambleA, computed once.
int InverseA() {
  static const int inverse = ModularInverse(kScrambleA, kScrambleCodes);
  return inverse;
}

// A byte that a text-mode reader on some platforms does not return as
// stored: LF gains a CR, NUL ends a C string, Ctrl-Z ends the file.
bool FragileInTextMode(unsigned byte) {
  return byte == '\n' || byte == 0 || byte == 0x1A;
}

// One character from a stream opened in binary mode, as a text-mode stream
// returns it: a CR LF pair comes back as one LF.
int TextGetc(FILE* f) {
  int c = std::getc(f);
  if (c != '\r') return c;
  int next = std::getc(f);
  if (next == '\n') return '\n';
  if (next != EOF) std::ungetc(next, f);
  return c;
}

// The characters that follow the first occurrence of key, up to a NUL, a
// CR or max characters. Returns false when the key is absent.
bool FindValue(const std::string& text, const char* key, size_t max, std::string* value) {
  size_t pos = text.find(key);
  if (pos == std::string::npos) return false;
  value->clear();
  for (size_t i = pos + std::strlen(key); i < text.size() && value->size() < max; ++i) {
    char c = text[i];
    if (c == '\0' || c == '\r') break;
    value->push_back(c);
  }
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Converts exactly 2 * bytes hexadecimal digits into a big-endian number.
// A short value or any other character gives 0.
uint32_t ParseHexField(const std::string& value, size_t bytes) {
  if (value.size() != 2 * bytes) return 0;
  uint32_t result = 0;
  for (char c : value) {
    int d = HexDigit(c);
    if (d < 0) return 0;
    result = (result << 4) | static_cast<uint32_t>(d);
  }
  return result;
}

// The leading decimal digits of value; no digits give 0. The value is at
// most kMaxIntervalChars long, so the result fits with room to spare.
uint32_t ParseLeadingDecimal(const std::string& value) {
  uint32_t result = 0;
  for (char c : value) {
    if (c < '0' || c > '9') break;
    result = result * 10 + static_cast<uint32_t>(c - '0');
  }
  return result;
}

}  // namespace

int ModularInverse(int a, int m) {
  if (m <= 0) return -1;
  // Extended Euclid: keeps r = s * a (mod m) for both rows.
  int old_r = ((a % m) + m) % m, r = m;
  int old_s = 1, s = 0;
  while (r != 0) {
    int q = old_r / r;
    int t = old_r - q * r;
    old_r = r;
    r = t;
    t = old_s - q * s;
    old_s = s;
    s = t;
  }
  if (old_r != 1) return -1;
  if (old_s < 0) old_s += m;
  return old_s % m;
}

uint8_t ScrambleByte(uint8_t c) {
  if (!InScrambleRange(c)) return c;
  int e = (kScrambleA * (c - kScrambleFirst) + kScrambleB) % kScrambleCodes;
  return static_cast<uint8_t>(e + kScrambleFirst);
}

uint8_t UnscrambleByte(uint8_t e) {
  if (!InScrambleRange(e)) return e;
  const int inv = InverseA();
  int c = (inv * (e - kScrambleFirst) + inv * (kScrambleCodes - kScrambleB)) % kScrambleCodes;
  return static_cast<uint8_t>(c + kScrambleFirst);
}

void ScrambleText(std::string* text) {
  for (char& c : *text) c = static_cast<char>(ScrambleByte(static_cast<uint8_t>(c)));
}

void UnscrambleText(std::string* text) {
  for (char& c : *text) c = static_cast<char>(UnscrambleByte(static_cast<uint8_t>(c)));
}

unsigned SettingsChecksumFold(const std::string& bytes) {
  uint16_t sum = 0;
  for (char c : bytes) sum = static_cast<uint16_t>(sum + static_cast<uint8_t>(c));
  unsigned s = (sum & 0xFFu) + (sum >> 8);
  return (s % 256) + (s / 256);
}

bool SettingsChecksumValid(const std::string& content) {
  return SettingsChecksumFold(content) == 255;
}

std::string SettingsChecksumPair(const std::string& text) {
  auto valid_with = [&text](unsigned first, unsigned second) {
    std::string probe = text;
    probe.push_back(static_cast<char>(first));
    probe.push_back(static_cast<char>(second));
    return SettingsChecksumValid(probe);
  };
  // The usual pair is 255 - f, 255. When its first byte would not survive
  // a text-mode reader, move one unit from the second byte to the first:
  // the sum, and so the fold, stays the same.
  unsigned first = 255 - SettingsChecksumFold(text);
  unsigned second = 255;
  if (FragileInTextMode(first)) {
    first += 1;
    second = 254;
  }
  if (!valid_with(first, second)) {
    // Only when the 16-bit sum wraps; search for any sound pair.
    bool found = false;
    for (unsigned b2 = 255; b2 > 0 && !found; --b2) {
      for (unsigned b1 = 0; b1 < 256 && !found; ++b1) {
        if (FragileInTextMode(b1) || FragileInTextMode(b2)) continue;
        if (valid_with(b1, b2)) {
          first = b1;
          second = b2;
          found = true;
        }
      }
    }
  }
  return std::string{static_cast<char>(first), static_cast<char>(second)};
}

bool ReadSettingsBytes(const char* path, std::string* content) {
  // The line ends are translated here rather than by the stream, so that
  // every other byte reaches the checksum exactly as stored.
  FILE* f = std::fopen(path, "rbe");
  if (f == nullptr) return false;
  std::string out;
  bool done = false;
  while (!done) {
    std::string line;
    bool at_eof = false;
    while (line.size() < kSettingsMaxLineRead) {
      int c = TextGetc(f);
      if (c == EOF) {
        at_eof = true;
        break;
      }
      line.push_back(static_cast<char>(c));
      if (c == '\n') break;
    }
    if (!line.empty() && line.back() == '\n') {
      line.back() = '\r';
      line.push_back('\n');
    }
    size_t room = kSettingsMaxContent - out.size();
    if (line.size() >= room) {
      out.append(line, 0, room);
      done = true;
    } else {
      out += line;
    }
    if (at_eof) done = true;
  }
  bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) return false;
  *content = std::move(out);
  return true;
}

bool WriteSettingsBytes(const char* path, const std::string& bytes) {
  std::string tmp = std::string(path) + ".XXXXXX";
  std::vector<char> name(tmp.begin(), tmp.end());
  name.push_back('\0');
  int fd = mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  mode_t mode = (::stat(path, &st) == 0) ? (st.st_mode & 0777) : 0644;
  bool ok = fchmod(fd, mode) == 0;
  size_t done = 0;
  while (ok && done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (ok && fsync(fd) != 0) ok = false;
  if (::close(fd) != 0) ok = false;
  if (ok && std::rename(name.data(), path) != 0) ok = false;
  if (!ok) ::unlink(name.data());
  return ok;
}

std::string SettingsPlainText(const std::string& content) {
  // The checksum bytes follow the last value directly; they are no part
  // of it, even when one of them unscrambles to a digit.
  std::string text =
      content.substr(0, content.size() >= kChecksumBytes ? content.size() - kChecksumBytes : 0);
  UnscrambleText(&text);
  return text;
}

void ParseSettingsText(const std::string& text, SettingsValues* values) {
  SettingsValues v;
  std::string value;
  if (FindValue(text, kKeyMagicCookie, kMaxCookieChars, &value)) {
    v.magicCookie = ParseHexField(value, 4);
  }
  if (FindValue(text, kKeyDiscoveryPort, kMaxPortChars, &value)) {
    v.discoveryPort = static_cast<uint16_t>(ParseHexField(value, 2));
  }
  if (!FindValue(text, kKeyMulticastGroup, kMaxGroupChars, &value)) {
    value = kDefaultMulticastGroup;
  }
  v.multicastGroup = inet_addr(value.c_str());  // INADDR_NONE when unparsable
  if (FindValue(text, kKeyMonitorPollingInterval, kMaxIntervalChars, &value)) {
    v.monitorPollingIntervalMs = ParseLeadingDecimal(value) * 1000;
  }
  if (FindValue(text, kKeyIgmpReportInterval, kMaxIntervalChars, &value)) {
    v.igmpReportIntervalMs = ParseLeadingDecimal(value) * 1000;
  }
  *values = v;
}

bool DecodeSettings(const std::string& content, SettingsValues* values) {
  if (!SettingsChecksumValid(content)) return false;
  ParseSettingsText(SettingsPlainText(content), values);
  return true;
}

std::string EncodeSettings(const std::string& plain) {
  std::string text = plain;
  ScrambleText(&text);
  return text + SettingsChecksumPair(text);
}

namespace {

// Replaces the value that follows the first occurrence of key (up to CR,
// LF, NUL or the end) with the decimal number. False when key is absent.
bool ReplaceValue(std::string* text, const char* key, uint32_t number) {
  size_t pos = text->find(key);
  if (pos == std::string::npos) return false;
  size_t start = pos + std::strlen(key);
  size_t end = text->find_first_of(std::string("\r\n\0", 3), start);
  if (end == std::string::npos) end = text->size();
  // The reader finds a key anywhere in the text, so a key that stands in
  // this value (a file edited by hand) stays, and with it its setting.
  for (const char* other : {kKeyMagicCookie, kKeyDiscoveryPort, kKeyMulticastGroup,
                            kKeyMonitorPollingInterval, kKeyIgmpReportInterval}) {
    size_t at = text->find(other, start);
    if (at < end) end = at;
  }
  text->replace(start, end - start, std::to_string(number));
  return true;
}

}  // namespace

bool ReplaceIntervals(const std::string& content, uint32_t monitorPollingIntervalMs,
                      uint32_t igmpReportIntervalMs, std::string* out, bool writeIgmp) {
  std::string text = SettingsPlainText(content);
  if (!ReplaceValue(&text, kKeyMonitorPollingInterval, monitorPollingIntervalMs / 1000))
    return false;
  if (writeIgmp && !ReplaceValue(&text, kKeyIgmpReportInterval, igmpReportIntervalMs / 1000)) {
    if (text.size() < 2 || text.compare(text.size() - 2, 2, "\r\n") != 0) text += "\r\n";
    text += kKeyIgmpReportInterval + std::to_string(igmpReportIntervalMs / 1000);
  }
  *out = EncodeSettings(text);
  return true;
}

void ApplySettings(const SettingsValues& values, EngineSettings* settings) {
  const uint16_t p = values.discoveryPort;
  settings->magicCookie = values.magicCookie;
  settings->discoveryPort = p;
  settings->unicastPort = static_cast<uint16_t>(p + 1);
  settings->switchPort = static_cast<uint16_t>(p + 2);
  settings->multicastPort = static_cast<uint16_t>(p + 6);
  settings->multicastGroup = values.multicastGroup;
  settings->monitorPollingIntervalMs = values.monitorPollingIntervalMs;
  settings->igmpReportIntervalMs = values.igmpReportIntervalMs;
}

int CheckDiscoveryPort(uint16_t port, EngineSettings* settings) {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  int on = 1;
  if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0) {
    ::close(fd);
    return 0;
  }
  sockaddr_in addr;
  std::memset(&addr, 0, sizeof(addr));
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(port);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
    int err = errno;
    std::printf("check socket WSAGetLastError() = %d\n", err);
    ::close(fd);
    settings->portInUse = true;
    return 0;
  }
  settings->portInUse = false;
  ::close(fd);
  return 1;
}

int SettingsReadFrom(const char* path, EngineSettings* settings) {
  std::string content;
  if (!ReadSettingsBytes(path, &content)) return 0;
  SettingsValues values;
  if (!DecodeSettings(content, &values)) return 0;
  // The client's own choice, made before the engine started, is the later
  // word: it stays in effect rather than being replaced by the file's.
  if (settings->monitorIntervalByClient)
    values.monitorPollingIntervalMs = settings->monitorPollingIntervalMs.load();
  if (settings->igmpIntervalByClient)
    values.igmpReportIntervalMs = settings->igmpReportIntervalMs.load();
  ApplySettings(values, settings);
  settings->fileRead = true;
  return CheckDiscoveryPort(values.discoveryPort, settings);
}

int SettingsWriteTo(const char* path, const EngineSettings& settings) {
  std::string content;
  if (!ReadSettingsBytes(path, &content)) return 0;
  std::string rewritten;
  // Before the first read the IGMP interval in memory is a placeholder 0,
  // unless the client set it; the file keeps its own value then.
  bool igmpKnown = settings.fileRead || settings.igmpIntervalByClient;
  if (!ReplaceIntervals(content, settings.monitorPollingIntervalMs.load(),
                        settings.igmpReportIntervalMs.load(), &rewritten, igmpKnown)) {
    return 1;
  }
  // A longer file would not read back whole; keep the old one instead.
  if (rewritten.size() > kSettingsMaxContent) return 0;
  return WriteSettingsBytes(path, rewritten) ? 1 : 0;
}

}  // namespace torvane
