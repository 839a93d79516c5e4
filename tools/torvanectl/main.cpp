// torvanectl: the Torvane server's jobs from the command line.
//
// Every command is a few calls of the server's web service; the server
// does the talking to the switches. Output is for people on a terminal
// (aligned tables, progress bars) and for scripts (--json, --csv, plain
// lines when standard output is not a terminal); errors go to standard
// error in words, and the exit code says what happened (kExitCodes).
#include <CLI/CLI.hpp>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tools/torvanectl/client.h"
#include "tools/torvanectl/format.h"

namespace torvanectl {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitUnreachable = 3;

const char kExitCodes[] =
    "Exit codes: 0 success; 1 the operation failed (a SOAP fault or a switch's\n"
    "refusal or time-out); 2 usage error; 3 the server cannot be reached.";

// A failure the command has already put in words.
struct Failure {
  int code;
  std::string message;
};

std::atomic<bool> g_interrupted{false};

void OnSignal(int) { g_interrupted = true; }

// Sleeps in small steps so that Ctrl-C ends a wait promptly.
void Pause(double seconds) {
  auto until = std::chrono::steady_clock::now() +
               std::chrono::milliseconds(static_cast<long>(seconds * 1000));
  while (!g_interrupted && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

void PrintJson(const Json& j) { std::cout << j.dump(2) << "\n"; }

// A switch as scripts see it: the contract's fields, passwords left out.
Json PublicSwitch(Json s) {
  s.erase("oldPassword");
  s.erase("newPasseord");
  return s;
}

// Columns of the CSV inventory; the contract's names, so that a header
// line means the same as the JSON keys.
const std::vector<std::string>& CsvColumns() {
  static const std::vector<std::string> kColumns = {
      "macAddr", "agentIpAddr", "agentNetmask", "agentGateway", "trapIpAddr",
      "systemName", "location", "productName", "fwVersion", "productType",
      "dhcpMode", "snmpMode", "lldpMode", "isLoaderMode", "watched"};
  return kColumns;
}

struct ListOptions {
  bool json = false;
  bool csv = false;
  std::string filter;
};

// Every switch the server knows: the watched ones first, then the
// discovered ones; "watched" tells which.
std::vector<Json> AllSwitches(Client& c) {
  int watched = c.WatchedCount();
  std::vector<Json> all = c.GetSwitchInfoList(watched);
  for (size_t i = 0; i < all.size(); ++i) {
    all[i]["watched"] = static_cast<int>(i) < watched;
  }
  return all;
}

int PrintSwitchList(const std::vector<Json>& all, const ListOptions& o) {
  std::vector<Json> shown;
  std::vector<std::string> keys = CsvColumns();
  for (const Json& s : all) {
    if (MatchesFilter(s, keys, o.filter)) shown.push_back(PublicSwitch(s));
  }
  if (o.json) {
    PrintJson(Json(shown));
    return kExitOk;
  }
  if (o.csv) {
    std::vector<std::vector<std::string>> rows;
    for (const Json& s : shown) {
      std::vector<std::string> row;
      for (const std::string& k : CsvColumns()) {
        row.push_back(k == "watched" ? (s.value("watched", false) ? "1" : "0") : Cell(s, k));
      }
      rows.push_back(row);
    }
    std::cout << FormatCsv(CsvColumns(), rows);
    return kExitOk;
  }
  std::vector<std::vector<std::string>> rows;
  for (const Json& s : shown) {
    std::vector<std::string> row;
    for (const std::string& k : SwitchColumns()) {
      if (k == "mode") {
        row.push_back(s.value("isLoaderMode", 0) ? "loader" : "normal");
      } else {
        row.push_back(Cell(s, k));
      }
    }
    rows.push_back(row);
  }
  std::cout << FormatTable(SwitchHeadings(), rows);
  if (!o.filter.empty() || all.empty()) {
    std::cerr << shown.size() << " of " << all.size() << " switches\n";
  }
  return kExitOk;
}

// The switch the server knows under this MAC text (already normalised).
Json FindSwitch(Client& c, const std::string& mac) {
  for (const Json& s : AllSwitches(c)) {
    if (Cell(s, "macAddr") == mac) return s;
  }
  throw Failure{kExitFailed, "the server knows no switch " + mac +
                                 " (run \"torvanectl discover\" first, or watch it)"};
}

std::string NeedMac(const std::string& text) {
  std::string mac;
  if (!NormalizeMac(text, &mac)) {
    throw Failure{kExitUsage, "\"" + text + "\" is not a MAC address (like 02-00-5E-10-0A-01)"};
  }
  return mac;
}

// ---- commands ----

int CmdStart(Client& c) {
  unsigned code = c.EngineLayerStartup();
  if (code == 0) {
    std::cout << EngineStartText(code) << "\n";
    return kExitOk;
  }
  throw Failure{kExitFailed, EngineStartText(code)};
}

int CmdDiscover(Client& c, double wait, const ListOptions& o) {
  try {
    c.SetDiscoverToAgents();
  } catch (const CallError& e) {
    if (e.kind() != CallError::Kind::kFault) throw;
    throw Failure{kExitFailed,
                  "the server could not send a discovery request (is the engine started, and "
                  "does its host have an IPv4 address?)"};
  }
  Pause(wait);
  return PrintSwitchList(AllSwitches(c), o);
}

int CmdSet(Client& c, const std::string& macText, const std::vector<std::string>& args,
           double wait, bool json) {
  std::string mac = NeedMac(macText);
  std::vector<FieldEdit> edits;
  bool config = false;
  bool newPassword = false;
  for (const std::string& a : args) {
    FieldEdit e;
    FieldError err;
    if (!ParseFieldEdit(a, &e, &err)) throw Failure{kExitUsage, err.message};
    if (e.element == "newPasseord") {
      newPassword = true;
    } else if (e.element != "oldPassword") {
      config = true;
    }
    edits.push_back(e);
  }
  if (!config && !newPassword) {
    throw Failure{kExitUsage, "nothing to change: give at least one field=value besides password"};
  }
  Json sw = FindSwitch(c, mac);
  sw.erase("watched");
  for (const FieldEdit& e : edits) sw[e.element] = e.value;
  // A password change alone is its own kind of request; with other fields
  // the new password travels in the settings request.
  unsigned operate = config ? 0 : 1;
  c.SetDeviceCfg(sw, operate);

  auto until = std::chrono::steady_clock::now() +
               std::chrono::milliseconds(static_cast<long>(wait * 1000));
  while (!g_interrupted && std::chrono::steady_clock::now() < until) {
    Pause(0.5);
    for (const SetOutcome& o : c.GetOperateResult()) {
      if (Cell(o.agent, "macAddr") != mac || o.operate != static_cast<int>(operate)) continue;
      std::string text = SetResultText(o.operate, o.result);
      if (json) {
        PrintJson(Json{{"macAddr", mac},
                       {"operate", o.operate},
                       {"result", o.result},
                       {"outcome", text},
                       {"switch", PublicSwitch(o.agent)}});
      }
      if (o.result != 0) throw Failure{kExitFailed, mac + ": " + text};
      if (!json) std::cout << mac << ": " << text << "\n";
      return kExitOk;
    }
  }
  // The server hands each outcome out once: another client collecting
  // outcomes at the same time (the browser page, a second "set") may have
  // taken this one.
  throw Failure{kExitFailed, mac + ": no outcome reported by the server within " +
                                 std::to_string(static_cast<int>(wait)) +
                                 " s (another client may have collected it)"};
}

int CmdWatch(Client& c, const std::string& ip, const std::string& macText) {
  if (!IsIpv4Text(ip)) throw Failure{kExitUsage, "\"" + ip + "\" is not an IPv4 address"};
  std::string mac;
  if (!macText.empty()) {
    mac = NeedMac(macText);
  } else {
    // The server takes a discovered switch's settings at once when the
    // MAC is given too; take it from the list when exactly one has the IP.
    std::set<std::string> macs;
    for (const Json& s : c.GetSwitchInfoList(0)) {
      if (Cell(s, "agentIpAddr") == ip) macs.insert(Cell(s, "macAddr"));
    }
    if (macs.size() == 1) mac = *macs.begin();
  }
  try {
    c.AddMonitorAgent(ip, mac);
  } catch (const CallError& e) {
    if (e.kind() != CallError::Kind::kFault) throw;
    throw Failure{kExitFailed, ip + " is already watched"};
  }
  std::cout << "watching " << ip << (mac.empty() ? "" : " (" + mac + ")") << "\n";
  return kExitOk;
}

int CmdUnwatch(Client& c, const std::string& ip) {
  if (!IsIpv4Text(ip)) throw Failure{kExitUsage, "\"" + ip + "\" is not an IPv4 address"};
  bool was = false;
  for (const Json& e : c.GetMonitorStatus(c.WatchedCount())) {
    if (Cell(e["switch"], "agentIpAddr") == ip) was = true;
  }
  c.DelMonitorAgent(ip);
  if (was) {
    std::cout << "no longer watching " << ip << "\n";
  } else {
    std::cerr << ip << " was not watched\n";
  }
  return kExitOk;
}

int CmdStatus(Client& c, bool json) {
  std::vector<Json> entries = c.GetMonitorStatus(c.WatchedCount());
  if (json) {
    Json out = Json::array();
    for (Json e : entries) {
      Json m;
      m["monitorInfo"] = PublicSwitch(e["switch"]);
      m["isAlive"] = e["isAlive"];
      m["recvFlag"] = e["recvFlag"];
      m["time"] = e["time"];
      out.push_back(m);
    }
    PrintJson(out);
    return kExitOk;
  }
  std::vector<std::vector<std::string>> rows;
  for (const Json& e : entries) {
    const Json& s = e["switch"];
    rows.push_back({Cell(s, "agentIpAddr"), Cell(s, "macAddr"), Cell(s, "systemName"),
                    e.value("isAlive", 0) ? "alive" : "dead",
                    e.value("recvFlag", 0) ? "yes" : "no", Cell(e, "time")});
  }
  std::cout << FormatTable({"IP", "MAC", "NAME", "STATE", "ANSWERED", "CHECKED"}, rows);
  if (entries.empty()) std::cerr << "no switches are watched\n";
  return kExitOk;
}

int CmdTraps(Client& c, bool json, bool follow, double interval) {
  auto row = [](const Json& t) {
    return std::vector<std::string>{Cell(t, "time"), Cell(t, "ip"), Cell(t, "location"),
                                    Cell(t, "string")};
  };
  if (!follow) {
    std::vector<Json> traps = c.GetTrapList();
    if (json) {
      PrintJson(Json(traps));
      return kExitOk;
    }
    std::vector<std::vector<std::string>> rows;
    for (const Json& t : traps) rows.push_back(row(t));
    std::cout << FormatTable({"TIME", "IP", "LOCATION", "TEXT"}, rows);
    return kExitOk;
  }
  // Following: one line per trap as it comes, JSON Lines with --json.
  while (!g_interrupted) {
    for (const Json& t : c.GetTrapList()) {
      if (json) {
        std::cout << t.dump() << "\n";
      } else {
        std::vector<std::string> r = row(t);
        std::cout << r[0] << "  " << r[1] << "  " << r[2] << "  " << r[3] << "\n";
      }
    }
    std::cout.flush();
    Pause(interval);
  }
  return kExitOk;
}

// Progress of one switch under upgrade, for the terminal and for logs.
struct UpgradeRow {
  std::string mac;
  UpgradeStatus status;
  bool seen = false;
  int lastState = -1;
  int lastQuarter = -1;
};

std::string ProgressLine(const UpgradeRow& r) {
  const UpgradeStatus& s = r.status;
  int pct = s.fwFileSize > 0 ? static_cast<int>(100.0 * s.transmitted / s.fwFileSize) : 0;
  if (s.state == 9) pct = 100;
  if (pct > 100) pct = 100;
  const int width = 24;
  int filled = pct * width / 100;
  std::string bar = "[" + std::string(filled, '#') + std::string(width - filled, '-') + "]";
  char pctText[16];
  std::snprintf(pctText, sizeof(pctText), "%3d%%", pct);
  std::string line = r.mac + "  " + bar + " " + pctText + "  " + UpgradeStateText(s.state);
  if (s.state == 10) line += ": " + UpgradeFailureText(s.failedCode);
  if (s.fwFileSize > 0 && s.state >= 2 && s.state <= 5) {
    line += "  " + std::to_string(s.transmitted) + "/" + std::to_string(s.fwFileSize) + " bytes";
  }
  return line;
}

int CmdUpgrade(Client& c, const std::string& firmware, const std::string& password,
               const std::vector<std::string>& macTexts, double limit) {
  std::vector<UpgradeRow> rows;
  for (const std::string& t : macTexts) {
    UpgradeRow r;
    r.mac = NeedMac(t);
    rows.push_back(r);
  }
  if (c.SetFwFilePath(firmware) != 0) {
    throw Failure{kExitFailed, "the server cannot use the firmware file \"" + firmware +
                                   "\": it does not exist there or is not a regular file"};
  }
  // From here on the server's upgrade table is ours; leave it empty
  // (static ARP entries removed) whatever happens.
  struct EndOnExit {
    Client& c;
    ~EndOnExit() {
      try {
        c.EndUpgrade();
      } catch (const CallError&) {
      }
    }
  } end{c};
  for (const UpgradeRow& r : rows) {
    try {
      c.AddUpgradeAgentEx(r.mac, password);
    } catch (const CallError& e) {
      if (e.kind() != CallError::Kind::kFault) throw;
      throw Failure{kExitFailed, "the server knows no switch " + r.mac +
                                     " (run \"torvanectl discover\" first), or its password is "
                                     "longer than 20 bytes"};
    }
  }
  try {
    c.StartUpgrade();
  } catch (const CallError& e) {
    if (e.kind() != CallError::Kind::kFault) throw;
    // Every queued switch failed to start: their status says why.
  }

  const bool tty = isatty(STDOUT_FILENO) != 0;
  bool drawn = false;
  auto until = std::chrono::steady_clock::now() +
               std::chrono::milliseconds(static_cast<long>(limit * 1000));
  for (;;) {
    bool running = false;
    bool queued = false;
    for (UpgradeRow& r : rows) {
      r.status = c.GetUpgradeStatus(r.mac);
      r.seen = true;
      if (r.status.active) running = true;
      if (!r.status.active && r.status.state == 0) queued = true;
    }
    if (tty) {
      if (drawn) std::cout << "\033[" << rows.size() << "A";
      for (const UpgradeRow& r : rows) std::cout << "\r\033[K" << ProgressLine(r) << "\n";
      drawn = true;
    } else {
      for (UpgradeRow& r : rows) {
        int pct = r.status.fwFileSize > 0 ? 100 * r.status.transmitted / r.status.fwFileSize : 0;
        int quarter = r.status.state == 4 ? pct / 25 : -1;
        if (r.status.state != r.lastState || quarter != r.lastQuarter) {
          std::cout << ProgressLine(r) << "\n";
          r.lastState = r.status.state;
          r.lastQuarter = quarter;
        }
      }
    }
    std::cout.flush();
    if (!running && !queued) break;
    // A switch that ends with a TFTP error does not start the next one in
    // the queue; start it here.
    if (!running && queued) {
      try {
        c.StartUpgrade();
      } catch (const CallError& e) {
        if (e.kind() != CallError::Kind::kFault) throw;
      }
    }
    if (g_interrupted) throw Failure{kExitFailed, "upgrade cancelled; the server's queue is ended"};
    if (std::chrono::steady_clock::now() >= until) {
      throw Failure{kExitFailed, "the upgrade did not finish within " +
                                     std::to_string(static_cast<int>(limit)) + " s; ended"};
    }
    Pause(0.25);
  }

  int failed = 0;
  for (const UpgradeRow& r : rows) {
    if (r.status.state == 9) {
      std::string fw = r.status.agent.is_object() ? Cell(r.status.agent, "fwVersion") : "";
      std::cout << r.mac << ": upgraded" << (fw.empty() ? "" : ", firmware " + fw) << "\n";
    } else {
      ++failed;
      std::cerr << r.mac << ": upgrade failed: " << UpgradeFailureText(r.status.failedCode)
                << " (code " << r.status.failedCode << ")\n";
    }
  }
  if (failed > 0) {
    throw Failure{kExitFailed, std::to_string(failed) + " of " + std::to_string(rows.size()) +
                                   " switches failed"};
  }
  return kExitOk;
}

int CmdSave(Client& c, const std::string& path) {
  try {
    c.SaveFile(path);
  } catch (const CallError& e) {
    if (e.kind() != CallError::Kind::kFault) throw;
    throw Failure{kExitFailed, std::string("the watched list was not saved: ") + e.what()};
  }
  std::cout << "saved the watched switches to " << path << " (on the server)\n";
  return kExitOk;
}

int CmdLoad(Client& c, const std::string& path, bool json) {
  std::vector<Json> entries;
  int code = c.LoadFile(path, &entries);
  if (code == 1) {
    throw Failure{kExitFailed, path + " ends with a cut record; the watched list is unchanged"};
  }
  if (json) {
    Json out = Json::array();
    for (Json e : entries) {
      out.push_back(Json{{"monitorInfo", PublicSwitch(e["switch"])}, {"isAlive", e["isAlive"]}});
    }
    PrintJson(out);
  } else {
    std::cout << "loaded " << entries.size() << " switches from " << path
              << "; they are now the watched list\n";
  }
  if (entries.empty()) {
    std::cerr << "note: " << path
              << " held no switch (missing, unreadable or empty): nothing is watched now\n";
  }
  return kExitOk;
}

int CmdIntervals(Client& c, long polling, long igmp, bool json) {
  if (polling >= 0) c.SetRefreshTime(static_cast<unsigned>(polling));
  if (igmp >= 0) c.SetUtilityGroupInterval(static_cast<unsigned>(igmp));
  unsigned p = c.GetRefreshTime();
  unsigned g = c.GetUtilityGroupInterval();
  if (json) {
    PrintJson(Json{{"monitorPollingInterval", p}, {"groupInterval", g}});
  } else {
    std::cout << "polling interval  " << p << " s\n"
              << "IGMP interval     " << g << " s\n";
  }
  return kExitOk;
}

int CmdShutdown(Client& c) {
  c.GSoapClose();
  std::cout << "server stopped\n";
  return kExitOk;
}

}  // namespace
}  // namespace torvanectl

int main(int argc, char** argv) {
  using namespace torvanectl;
  CLI::App app{"torvanectl: manage switches through the Torvane server, from scripts or a "
               "terminal."};
  app.footer(kExitCodes);
  app.require_subcommand(1);
  std::string server = "127.0.0.1:64567";
  int timeout = 10;
  app.add_option("--server", server, "the server's HOST:PORT")->capture_default_str();
  app.add_option("--timeout", timeout, "seconds to wait for the server's answer to one call")
      ->capture_default_str()
      ->check(CLI::Range(1, 3600));

  std::function<int(Client&)> run;
  auto sub = [&app](const char* name, const char* help) {
    CLI::App* s = app.add_subcommand(name, help);
    s->footer(kExitCodes);
    return s;
  };

  CLI::App* start = sub("start", "start the server's device engine");
  start->callback([&] { run = [](Client& c) { return CmdStart(c); }; });

  ListOptions listOpts;
  auto addListOptions = [&listOpts](CLI::App* s) {
    auto* json = s->add_flag("--json", listOpts.json, "print a JSON array");
    s->add_flag("--csv", listOpts.csv, "print CSV (RFC 4180) with a header line")->excludes(json);
    s->add_option("--filter", listOpts.filter,
                  "show only switches with TEXT in any column (any case)");
  };

  double discoverWait = 4;
  CLI::App* discover = sub("discover", "discover the switches on every segment, then list them");
  discover->add_option("--wait", discoverWait, "seconds to collect answers")
      ->capture_default_str()
      ->check(CLI::Range(0.0, 600.0));
  addListOptions(discover);
  discover->callback([&] {
    run = [&](Client& c) { return CmdDiscover(c, discoverWait, listOpts); };
  });

  CLI::App* list = sub("list", "list the switches the server knows (watched ones first)");
  addListOptions(list);
  list->callback([&] { run = [&](Client& c) { return PrintSwitchList(AllSwitches(c), listOpts); }; });

  std::string setMac;
  std::vector<std::string> setFields;
  double setWait = 60;
  bool setJson = false;
  CLI::App* set = sub("set", "change a switch's settings and wait for its answer");
  set->add_option("MAC", setMac, "the switch's MAC address")->required();
  set->add_option("FIELDS", setFields, "field=value pairs; fields not given keep their values")
      ->required();
  set->add_option("--wait", setWait, "seconds to wait for the outcome")
      ->capture_default_str()
      ->check(CLI::Range(1.0, 3600.0));
  set->add_flag("--json", setJson, "print the outcome as JSON");
  set->footer(std::string("Fields:\n") + SetFieldHelp() +
              "A switch checks \"password\" (its current one) before it applies a change.\n"
              "new-password alone changes the password; with other fields it is sent\n"
              "with them.\n\n" + kExitCodes);
  set->callback([&] {
    run = [&](Client& c) { return CmdSet(c, setMac, setFields, setWait, setJson); };
  });

  std::string watchIp, watchMac;
  CLI::App* watch = sub("watch", "watch a switch: the server polls it and tells alive from dead");
  watch->add_option("IP", watchIp, "the switch's IPv4 address")->required();
  watch->add_option("MAC", watchMac, "its MAC address (taken from the list when left out)");
  watch->callback([&] { run = [&](Client& c) { return CmdWatch(c, watchIp, watchMac); }; });

  std::string unwatchIp;
  CLI::App* unwatch = sub("unwatch", "stop watching a switch");
  unwatch->add_option("IP", unwatchIp, "the switch's IPv4 address")->required();
  unwatch->callback([&] { run = [&](Client& c) { return CmdUnwatch(c, unwatchIp); }; });

  bool statusJson = false;
  CLI::App* status = sub("status", "the watched switches, alive or dead");
  status->add_flag("--json", statusJson, "print a JSON array");
  status->callback([&] { run = [&](Client& c) { return CmdStatus(c, statusJson); }; });

  bool trapsJson = false, trapsFollow = false;
  double trapsInterval = 2;
  CLI::App* traps = sub("traps", "the traps received since they were last taken");
  traps->add_flag("--json", trapsJson, "JSON (an array; one object per line with --follow)");
  traps->add_flag("--follow", trapsFollow, "keep printing new traps until interrupted");
  traps->add_option("--interval", trapsInterval, "seconds between polls with --follow")
      ->capture_default_str()
      ->check(CLI::Range(0.5, 3600.0));
  traps->footer(std::string("Traps are handed out once: those printed here no longer reach the\n"
                            "browser client, and the other way round.\n\n") + kExitCodes);
  traps->callback([&] {
    run = [&](Client& c) { return CmdTraps(c, trapsJson, trapsFollow, trapsInterval); };
  });

  std::string fwPath, fwPassword;
  std::vector<std::string> upgradeMacs;
  double upgradeLimit = 1800;
  CLI::App* upgrade = sub("upgrade", "upgrade switches' firmware, one after the other");
  upgrade->add_option("--firmware", fwPath, "the firmware image, a path on the server's host")
      ->required();
  upgrade->add_option("--password", fwPassword, "the switches' current password");
  upgrade->add_option("--limit", upgradeLimit, "seconds before the whole run is given up")
      ->capture_default_str()
      ->check(CLI::Range(10.0, 86400.0));
  upgrade->add_option("MAC", upgradeMacs, "the switches' MAC addresses")->required();
  upgrade->footer(std::string("The run replaces any upgrade queue on the server, and ends it when "
                              "done.\n\n") + kExitCodes);
  upgrade->callback([&] {
    run = [&](Client& c) { return CmdUpgrade(c, fwPath, fwPassword, upgradeMacs, upgradeLimit); };
  });

  std::string savePath;
  CLI::App* save = sub("save", "save the watched list to a .cfg file on the server's host");
  save->add_option("PATH", savePath, "the file, relative to the server's working directory")
      ->required();
  save->callback([&] { run = [&](Client& c) { return CmdSave(c, savePath); }; });

  std::string loadPath;
  bool loadJson = false;
  CLI::App* load = sub("load", "make a saved .cfg file the watched list");
  load->add_option("PATH", loadPath, "the file, relative to the server's working directory")
      ->required();
  load->add_flag("--json", loadJson, "print the loaded switches as JSON");
  load->footer(std::string("A missing or unreadable file empties the watched list.\n\n") +
               kExitCodes);
  load->callback([&] { run = [&](Client& c) { return CmdLoad(c, loadPath, loadJson); }; });

  long polling = -1, igmp = -1;
  bool intervalsJson = false;
  CLI::App* intervals = sub("intervals", "show or set the polling and IGMP report intervals");
  intervals->add_option("--polling", polling, "seconds between polls of watched switches")
      ->check(CLI::Range(1L, 4294967L));
  intervals->add_option("--igmp", igmp, "seconds between IGMP reports (0: none)")
      ->check(CLI::Range(0L, 4294967L));
  intervals->add_flag("--json", intervalsJson, "print JSON");
  intervals->callback([&] {
    run = [&](Client& c) { return CmdIntervals(c, polling, igmp, intervalsJson); };
  });

  CLI::App* shutdown = sub("shutdown", "stop the server");
  shutdown->callback([&] { run = [](Client& c) { return CmdShutdown(c); }; });

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int rc = app.exit(e);
    return rc == 0 ? kExitOk : kExitUsage;
  }

  // A bare host means the server's own port.
  if (server.find(':') == std::string::npos) server += ":64567";

  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  std::signal(SIGPIPE, SIG_IGN);
  try {
    Client client(server, timeout);
    int rc = run(client);
    std::cout.flush();
    return rc;
  } catch (const Failure& f) {
    std::cout.flush();
    std::cerr << "torvanectl: " << f.message << "\n";
    return f.code;
  } catch (const CallError& e) {
    std::cout.flush();
    std::cerr << "torvanectl: " << e.what() << "\n";
    return e.kind() == CallError::Kind::kUnreachable ? kExitUnreachable : kExitFailed;
  }
}
