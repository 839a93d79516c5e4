// Firmware upgrade engine: the upgrade table, the upgrade timer and the TFTP
// write of the firmware image.
//
// Each queued switch gets an upgrade entry. Starting an entry sends the
// upgrade command (message type 10); a switch that accepts answers with an
// upgrade reply (type 11, status 0), and the engine, as TFTP client, writes
// the firmware file to the switch's port 69 in 512-byte "octet" blocks, one
// block in flight. After the last acknowledgement the switch gets its reboot
// time, then discovery requests go out until it answers again.
//
// Three inputs drive the entries: the upgrade timer thread (one tick a
// second: time-outs and retransmissions), the upgrade dispatcher thread
// (upgrade replies, copies of discovery replies, TFTP packets) and the
// upgrade operations of the web service (fill, start, read, clear).
//
// Locking: one upgrade table mutex guards the table, every field of every
// entry and the firmware path. It is held while sending (which takes the
// adapter list mutex), while taking a sequence number and while changing
// the static ARP entries; none of those paths takes the upgrade table
// mutex, so the order is always upgrade table first.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/agent_record.h"
#include "engine/protocol.h"

namespace torvane {

struct ReceivedPacket;

// Upgrade states, as the client reads them in upgradeStatus. 8 is unused.
enum UpgradeState : int32_t {
  kUpgradeQueued = 0,         // added, not started
  kUpgradeCommandSent = 1,    // waiting for the upgrade reply
  kUpgradeWriteSent = 2,      // waiting for the acknowledgement of block 0
  kUpgradeErasing = 3,        // block 1 resent once a second while the flash erases
  kUpgradeTransferring = 4,   // a data block is waiting for its acknowledgement
  kUpgradeLastBlockSent = 5,  // the short final block is waiting for its acknowledgement
  kUpgradeRebooting = 6,      // every block acknowledged; the switch restarts
  kUpgradeProbing = 7,        // discovery requests until the switch answers
  kUpgradeSucceeded = 9,
  kUpgradeFailed = 10,
};

// Failure codes, as the client reads them in failedCode.
enum UpgradeFailure : uint32_t {
  kUpgradeNoFailure = 0,
  kUpgradeFileMissing = 1,     // cannot be opened or not a regular file at start, or gone
                               // when a block is due
  kUpgradeFileReadError = 2,   // positioning in or reading the file failed
  kUpgradeNoReply = 3,         // no upgrade reply to the command and its resends
  kUpgradeRefused = 4,         // upgrade reply status 2
  kUpgradeWriteTimeout = 5,    // write request or erase wait unanswered, no restart left
  kUpgradeFileSizeError = 6,   // the size of the file cannot be determined
  kUpgradeBlockTimeout = 7,    // a data block unanswered, no restart left
  kUpgradeProbeTimeout = 8,    // no discovery reply after the restart, no restart left
  kUpgradeTftpError = 9,       // the switch sent a TFTP error packet
};

// Limits of the state machine.
constexpr uint32_t kUpgradeRestartLimit = 3;   // command resends and restarts together
constexpr uint32_t kUpgradeRetryLimit = 3;     // resends of one TFTP packet
constexpr uint32_t kUpgradeProbeLimit = 60;    // discovery requests after the reboot
constexpr uint32_t kUpgradeReplyWindowMs = 3000;
constexpr uint32_t kUpgradeDefaultRebootMs = 110000;

constexpr uint16_t kTftpServerPort = 69;
constexpr size_t kTftpBlockSize = 512;
constexpr size_t kTftpHeaderSize = 4;
constexpr uint16_t kTftpOpWrite = 2;
constexpr uint16_t kTftpOpData = 3;
constexpr uint16_t kTftpOpAck = 4;
constexpr uint16_t kTftpOpError = 5;

// Size of the firmware path buffer, the terminating NUL included.
constexpr size_t kFirmwarePathSize = 260;

// Sets the firmware path: the file opened by every entry that starts, and
// the file name of every TFTP write request. path is copied up to its NUL,
// at most kFirmwarePathSize - 1 bytes; a longer path is refused (returns
// false, the path keeps its value). Callers clear the table first, so no
// running entry sees the change.
bool SetFirmwarePath(const char* path);

// A copy of the firmware path ("" until set).
void GetFirmwarePath(char (&out)[kFirmwarePathSize]);

// Appends an entry for rec in state 0 (inactive, counts and failure 0):
// IP address, netmask, MAC, current password, reboot wait and erase wait
// come from the record. Returns 1, or 0 when rec is null or memory is
// short.
int AddUpgradeEntry(const AgentRecord* rec);

// Arms the upgrade timer: first expiry one second from now, then every
// 1000 ms. Returns 1, or 0 when the timer does not exist (the engine was
// never started) or could not be set; after a failure to set it the timer
// counts as gone and every later call returns 0.
int ArmUpgradeTimer();

// Starts the first entry in state 0, taking the upgrade table mutex.
// Entries that cannot start (file cannot be opened or is not a regular
// file: code 1; size unknown: code 6) are marked failed, with nothing sent,
// and the walk goes on. Returns 1 when an entry
// started, else 0.
int StartNextQueuedEntry();

// Disarms the timer; unlinks every entry, closing its firmware file and
// removing its static ARP entries. Returns 1.
int ClearUpgradeTable();

// What QueryUpgradeStatus copies out of an entry.
struct UpgradeStatusCopy {
  uint32_t active = 0;
  int32_t state = 0;
  uint32_t restartCount = 0;
  uint32_t retryCount = 0;
  uint32_t probeCount = 0;
  uint32_t blockCount = 0;
  uint32_t firmwareSize = 0;
  uint32_t transmitted = 0;
  uint32_t failureCode = 0;
  // The discovery reply that completed the upgrade, header included; only
  // in state 9, else length 0.
  uint8_t replyCopy[kMaxDatagram] = {};
  uint32_t replyLength = 0;
};

// Copies the status of the last entry in table order whose MAC is mac.
// Returns 1, or 0 when no entry has that MAC.
int QueryUpgradeStatus(const uint8_t mac[6], UpgradeStatusCopy* out);

// The MAC and IP address (network order, 4 bytes) of the first active
// entry in table order. Returns 1, or 0 when none is active.
int QueryUpgradingSwitch(uint8_t mac[6], uint8_t ip[4]);

// One tick of the upgrade timer: time-outs and retransmissions of every
// active entry. Returns 1.
int UpgradeTick();

// The three handlers of the upgrade dispatcher. Each returns 0 when it
// dropped the record before taking the upgrade table mutex, else 1.
//   HandleUpgradeReply:      message type 11
//   HandleUpgradeDiscovery:  copies of message type 2
//   HandleUpgradeTftp:       records read from a TFTP socket
int HandleUpgradeReply(const ReceivedPacket& packet);
int HandleUpgradeDiscovery(const ReceivedPacket& packet);
int HandleUpgradeTftp(const ReceivedPacket& packet);

// --- Messages (pure) ---------------------------------------------------------
//
// Each writes into buf, which holds kMaxDatagram bytes, and returns the
// length, or 0 when the message would not fit.

// Upgrade command: header of type 10 with mac at bytes 4..9 and sequence
// at bytes 26..27, then TLV 9 holding the password without terminator.
size_t BuildUpgradeCommand(uint8_t* buf, const uint8_t mac[6], uint16_t sequence,
                           const char* password, size_t passwordLength);

// Discovery request of the upgrade: a bare header of type 1, sequence 0,
// MAC zero.
size_t BuildUpgradeProbe(uint8_t* buf);

// TFTP write request: opcode 2, file name, 0, "octet", 0.
size_t BuildWriteRequest(uint8_t* buf, const char* fileName, size_t fileNameLength);

// TFTP data block: opcode 3, block number, dataLength (at most 512) bytes.
size_t BuildDataBlock(uint8_t* buf, uint16_t block, const uint8_t* data, size_t dataLength);

// --- For tests -----------------------------------------------------------------

// Replaces the millisecond clock of the upgrade engine; null restores the
// system tick count.
void SetUpgradeClock(uint32_t (*clock)());

// Module entry points of the "upgrade timer" engine module: Start creates
// the timer and its thread and installs the three handlers; Stop empties
// the table (closing the files and removing the static ARP entries, which
// would otherwise outlive the process).
void StartUpgradeEngine();
void StopUpgradeEngine();

}  // namespace torvane
