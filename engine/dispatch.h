// The reply dispatcher and the upgrade dispatcher: the two threads that
// drain the reply queue and the upgrade queue and hand each received packet
// record to the engine module that owns its message type.
//
// Modules plug their handlers in with SetPacketHandler and
// InstallTrapHandler; a record whose handler is not installed is freed
// without effect. Handlers run on their dispatcher thread, one record at a
// time, with no queue mutex held; the record is freed when they return.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/receive.h"

namespace torvane {

// A handler of received packet records. The record is valid only during the
// call. The returned value is not used by the dispatchers.
using PacketHandler = int (*)(const ReceivedPacket& packet);

enum class HandlerRole {
  // Reply dispatcher.
  kDiscoveryMatch,   // types 2 and 12, first (discovery matching)
  kSetMatch,         // types 4, 8 and 15, first (SetProcess)
  kMonitorUpdate,    // types 2, 12, 4, 8, 15 after the above, and type 6
  // Upgrade dispatcher.
  kUpgradeTftp,      // records from a TFTP socket (length >= 4)
  kUpgradeDiscovery, // copies of type 2 discovery replies
  kUpgradeReply,     // type 11 upgrade replies
};

// Installs fn (null removes it) for role; returns the previous handler.
PacketHandler SetPacketHandler(HandlerRole role, PacketHandler fn);

struct TrapHandler {
  DatagramCallback fn = nullptr;
  void* context = nullptr;
};

// Installs the trap handler used for message types 9 and 16 (fn null: traps
// are only logged); returns the previous pair.
TrapHandler InstallTrapHandler(DatagramCallback fn, void* context);

// Routes one record as the reply dispatcher does:
//  2, 12     discovery match, then monitor update
//  4, 8, 15  set match, then monitor update
//  6         monitor update
//  9, 16     when the magic cookie at offset 16 is the configured one:
//            "recv a trap packet. \n" and the trap handler, if installed
//  other     nothing
// Device protocol handlers check the cookie themselves.
void DispatchReply(const ReceivedPacket& packet);

// Routes one record as the upgrade dispatcher does: from a TFTP socket to
// the TFTP handler (dropped when shorter than the 4 bytes of opcode and
// block number), type 2 to the upgrade discovery handler, type 11 to the
// upgrade reply handler, anything else nowhere.
void DispatchUpgrade(const ReceivedPacket& packet);

// Takes and routes every record in queue, oldest first, with route; returns
// when the queue is empty. Returns the number routed.
size_t DrainQueue(PacketQueue& queue, void (*route)(const ReceivedPacket&));

// Module entry points of the "reply dispatcher" and "upgrade dispatcher"
// engine modules: Start runs the thread; Stop frees the queue's records.
void StartReplyDispatcher();
void StopReplyDispatcher();
void StartUpgradeDispatcher();
void StopUpgradeDispatcher();

}  // namespace torvane
