// The settings file format: scrambling, checksum, reading and rewriting.
//
// On disk the settings file is key=value text with CR LF line ends whose
// printable bytes (32..127) pass through an affine substitution, followed
// directly by two checksum bytes. The routines here work on byte strings
// and explicit paths, so that the engine, the administrator's tool and the
// tests share one codec. None of them touches Settings() except where an
// EngineSettings is passed in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/settings.h"

namespace torvane {

// The content of a settings file is at most this many bytes; the reader
// stops there.
constexpr size_t kSettingsMaxContent = 510;

// The reader takes at most this many characters per line read.
constexpr size_t kSettingsMaxLineRead = 119;

// The keys, each with its equals sign.
extern const char kKeyMagicCookie[];             // "magic_cookie="
extern const char kKeyDiscoveryPort[];           // "udp_discovery_port="
extern const char kKeyMulticastGroup[];          // "multicast_group="
extern const char kKeyMonitorPollingInterval[];  // "monitor_polling_interval="
extern const char kKeyIgmpReportInterval[];      // "igmp_report_interval="

// The values used when a key is missing from a valid file.
constexpr uint32_t kDefaultMagicCookie = 0;
constexpr uint16_t kDefaultDiscoveryPort = 64513;
extern const char kDefaultMulticastGroup[];  // "239.255.255.100"
constexpr uint32_t kDefaultMonitorPollingIntervalMs = 15000;
constexpr uint32_t kDefaultIgmpReportIntervalMs = 120000;

// Inverse of a modulo m by the extended Euclidean algorithm, in [0, m).
// Returns -1 when a and m are not coprime.
int ModularInverse(int a, int m);

// The affine substitution over the 96 codes 32..127. Bytes outside that
// range are returned unchanged.
uint8_t ScrambleByte(uint8_t c);
uint8_t UnscrambleByte(uint8_t e);
void ScrambleText(std::string* text);
void UnscrambleText(std::string* text);

// The 16-bit sum of the bytes, folded once into 0..255.
unsigned SettingsChecksumFold(const std::string& bytes);

// True when the fold over the whole content is 255.
bool SettingsChecksumValid(const std::string& content);

// The two bytes that make the fold over text + pair equal to 255. Never
// returns LF, NUL or Ctrl-Z as a byte, so that the pair survives a reader
// that opens the file in text mode.
std::string SettingsChecksumPair(const std::string& text);

// Reads a settings file the way the engine reads it: line by line, at most
// kSettingsMaxLineRead characters per read, every line end stored as CR LF
// (a CR LF pair stays as it is, a lone LF gains a CR), at most
// kSettingsMaxContent bytes. Returns false when the file cannot be opened.
bool ReadSettingsBytes(const char* path, std::string* content);

// Writes bytes verbatim to path through a temporary file that replaces the
// old one, so that a failed write leaves the old file in place. Returns
// false on any error.
bool WriteSettingsBytes(const char* path, const std::string& bytes);

// The settings a valid file holds, missing keys already defaulted.
struct SettingsValues {
  uint32_t magicCookie = kDefaultMagicCookie;
  uint16_t discoveryPort = kDefaultDiscoveryPort;
  uint32_t multicastGroup = 0;  // network order
  uint32_t monitorPollingIntervalMs = kDefaultMonitorPollingIntervalMs;
  uint32_t igmpReportIntervalMs = kDefaultIgmpReportIntervalMs;
};

// The unscrambled text of a content, without its two trailing checksum
// bytes. Line ends stay CR LF.
std::string SettingsPlainText(const std::string& content);

// Checks the checksum of a content and parses it. Returns false, leaving
// *values alone, when the fold is not 255.
bool DecodeSettings(const std::string& content, SettingsValues* values);

// Parses unscrambled text (without checksum bytes) into *values, using the
// defaults for missing keys.
void ParseSettingsText(const std::string& text, SettingsValues* values);

// Scrambles plain text and appends its checksum pair: a complete file.
std::string EncodeSettings(const std::string& plain);

// Rewrites a content's interval values in whole seconds and gives it a new
// checksum pair. The value after the first "monitor_polling_interval=" (up
// to its line end) is replaced; so is the one after the first
// "igmp_report_interval=" when writeIgmp is set, the key being appended as
// a last line when the content has none. Every other byte of the text, the
// lines after the intervals included, is kept. The content's last two
// bytes are taken as its checksum pair and dropped. Returns false, leaving
// *out alone, when the content has no polling interval key.
bool ReplaceIntervals(const std::string& content, uint32_t monitorPollingIntervalMs,
                      uint32_t igmpReportIntervalMs, std::string* out, bool writeIgmp = true);

// Stores values into *settings, with the ports derived from the discovery
// port. Does not touch the port-in-use flag.
void ApplySettings(const SettingsValues& values, EngineSettings* settings);

// Binds a UDP socket to port on any local address with SO_REUSEADDR, then
// closes it. Returns 1 and clears settings->portInUse when the bind works;
// returns 0 and sets the flag when it fails; returns 0 without touching the
// flag when the socket cannot be created or configured.
int CheckDiscoveryPort(uint16_t port, EngineSettings* settings);

// SettingsRead() and SettingsWrite() on an explicit path and settings. The
// reader keeps the intervals that settings marks as given by the client
// and sets settings->fileRead; the writer writes the IGMP report interval
// only when fileRead or igmpIntervalByClient is set, else the file keeps
// its own.
int SettingsReadFrom(const char* path, EngineSettings* settings);
int SettingsWriteTo(const char* path, const EngineSettings& settings);

}  // namespace torvane
