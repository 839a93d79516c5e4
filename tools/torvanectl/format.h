// Text forms of what torvanectl prints and reads: switch field edits,
// MAC address spellings, the words for the server's numeric codes, and
// aligned tables and CSV.
//
// Switches, watched entries and traps travel through the program as JSON
// objects keyed by the web service's own element names (macAddr,
// agentIpAddr, systemName, ...), so the JSON a script reads is the
// contract's vocabulary. Nothing here talks to the server.
#ifndef TORVANE_TOOLS_TORVANECTL_FORMAT_H_
#define TORVANE_TOOLS_TORVANECTL_FORMAT_H_

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace torvanectl {

using Json = nlohmann::ordered_json;

// A field=value argument of "set" that cannot be used; what() says why.
struct FieldError {
  std::string message;
};

// One "set" argument taken apart: the element it changes and the value in
// the element's own type (text or number).
struct FieldEdit {
  std::string element;  // contract element name, e.g. "systemName"
  Json value;
};

// The names "set" accepts, with what each changes; for --help.
std::string SetFieldHelp();

// Parses "name=value" (the name as SetFieldHelp lists it). On error fills
// *err and returns false.
bool ParseFieldEdit(const std::string& arg, FieldEdit* edit, FieldError* err);

// The server's MAC text: six upper-case hex pairs joined by "-". Accepts
// "-", ":" or "." separated pairs, or twelve bare hex digits, any case.
// Returns false for anything else.
bool NormalizeMac(const std::string& text, std::string* out);

// Dotted-quad IPv4 text with four numbers 0..255.
bool IsIpv4Text(const std::string& text);

// Words for the server's codes.
std::string EngineStartText(unsigned errorcode);
std::string UpgradeStateText(int state);
std::string UpgradeFailureText(int code);
std::string SetResultText(int operate, int result);

// A table of text cells. Columns are padded to their widest cell (counted
// in characters, not bytes); the last column is not padded.
std::string FormatTable(const std::vector<std::string>& header,
                        const std::vector<std::vector<std::string>>& rows);

// RFC 4180 CSV: every line ends in CRLF; cells with a comma, quote, CR or
// LF are quoted with inner quotes doubled. A cell that starts with "=",
// "+", "-" or "@" is written as typed: the file holds the data, not a
// spreadsheet's formula guard.
std::string FormatCsv(const std::vector<std::string>& header,
                      const std::vector<std::vector<std::string>>& rows);

// The value of one element of a JSON object as a table cell.
std::string Cell(const Json& obj, const std::string& key);

// True when any cell text of the object (the values of the given keys)
// contains the filter text, ignoring ASCII case. An empty filter matches.
bool MatchesFilter(const Json& obj, const std::vector<std::string>& keys,
                   const std::string& filter);

// The columns of the switch list: element names and their headings.
const std::vector<std::string>& SwitchColumns();
const std::vector<std::string>& SwitchHeadings();

}  // namespace torvanectl

#endif  // TORVANE_TOOLS_TORVANECTL_FORMAT_H_
