// The device-set engine: configuration changes sent to one switch each, and
// the operation list (named g_setVec in the log) that keeps every change
// until the client collects its outcome.
//
// A change goes out as a set request (type 3, or 14 to a switch in loader
// mode) addressed by the switch's MAC and sent by broadcast and multicast
// on every local address. Every change becomes an operate node, pending
// (-1) until the switch's set reply gives it the reply's status or the
// time-out check marks it -2 after 50000 ms; either way the client is told
// "device_set" on the push channel and fetches the finished nodes with
// GetOperateResult, which removes them.
//
// Locking: the operation list mutex guards the list. DevSetCallback takes
// the agent table mutex while holding it (operation list -> agent table);
// nothing takes the two the other way round. Set requests are registered in
// the request tracker before their datagram is sent; SetProcess runs the
// callback after the tracker mutex is released.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/agent_record.h"
#include "engine/protocol.h"

namespace torvane {

struct ReceivedPacket;

// Life of a set request and of its operate node.
constexpr uint32_t kDeviceSetTimeoutMs = 50000;

// Interval of the device-set timeout thread.
constexpr uint32_t kOperateCheckIntervalMs = 1000;

// Operate node results other than a switch's status (0..65535).
constexpr int32_t kOperatePending = -1;
constexpr int32_t kOperateTimedOut = -2;

// Set kinds: what a change sends.
enum SetKind : int32_t {
  kSetConfig = 0,          // set body; addresses as 0.0.0.0 when dhcpMode is 1
  kSetPassword = 1,        // TLV 9 (current password), then TLV 8 (new one)
  kSetZeroAddrConfig = 2,  // set body with the addresses as 0.0.0.0
};

// funBitmap[0] bit 31: a switch in loader mode takes set requests as type 14.
constexpr uint32_t kFunBitLoaderSet = 0x80000000u;

struct OperateNode {
  AgentRecord agent;   // what was sent; the switch's parsed reply once answered
  int32_t kind;        // the set kind
  int32_t result;      // kOperatePending, kOperateTimedOut or the reply's status
  uint32_t startTick;  // GetTickMs() when the node was added
  uint32_t timeoutMs;  // kDeviceSetTimeoutMs
};

// A set request built for one record, before it is sent.
struct SetRequest {
  uint8_t data[kMaxDatagram];
  size_t length;       // 40 plus the body
  uint16_t requestType;  // 3, or 14 for a switch in loader mode
  uint16_t replyType;    // 4, or 15 for a type-14 request
  uint16_t altReplyType; // 8 (the second form of a set reply) for a type-3
                         // request, else 0
  uint16_t sequence;
};

// The message type of a set request to rec: 14 when rec is in loader mode
// and either its interface version is 4 or bit 31 of funBitmap[0] is set;
// else 3.
uint16_t SetRequestType(const AgentRecord& rec);

// Builds the set request of the given kind (kSetConfig, kSetPassword or
// kSetZeroAddrConfig) to rec with a fresh sequence number. Returns false,
// with *out unspecified, for any other kind or a null out.
bool BuildSetRequest(const AgentRecord& rec, int32_t kind, SetRequest* out);

// The three senders: build the request, register its pending request in
// the request tracker (before the send), then send it by broadcast and by
// multicast. Each returns the OR of the two send results (1 when at least
// one local address sent), or 0 without sending when the pending request
// cannot be allocated. SetCfgToAgent prints "SetCfgToAgent return = %d\n".
int SetCfgToAgent(const AgentRecord& rec);
int SetPasswordToAgent(const AgentRecord& rec);
int SetZeroAddrCfgToAgent(const AgentRecord& rec);

// Sends a change of the given kind to the switch rec.macAddr names (any
// kind but 0, 1 and 2 sends nothing) and adds an operate node in every
// case. Returns 1 when the request went out on at least one local address,
// else 0.
int SendDeviceSet(const AgentRecord& rec, int32_t kind);

// Appends a pending operate node for rec. Returns 1.
int AddOperateNode(const AgentRecord& rec, int32_t kind);

// The set matching, run by the reply dispatcher for replies of type 4, 8
// and 15: takes the pending set request the reply answers (same sequence
// number and reply type, same target MAC, not late) and runs its callback.
// Returns 0 when the magic cookie is wrong (or the record holds no whole
// header), else 1.
int SetProcess(const ReceivedPacket& packet);

// Callback of every set request: completes each pending operate node of the
// replying switch with the reply's status and fields, replaces that
// switch's agent table entry with the reply's fields, and pushes
// "device_set" once per completed node. context is not used. Returns 1.
int DevSetCallback(const uint8_t* data, size_t length, void* context);

// Moves every finished operate node, in list order, to the end of *out
// (which may be null to discard them); pending nodes stay, in order.
// Returns 1.
int GetOperateResult(std::vector<OperateNode>* out);

// One time-out check: every pending node older than its timeoutMs (now -
// startTick, uint32_t, with now read under the operation list mutex)
// becomes kOperateTimedOut with "device set timeout !\n"; when any did,
// "device_set" is pushed once, after the mutex is released. Returns the
// number of nodes timed out.
int CheckOperateTimeout();

// The same check at a given tick (tests). A now earlier than a node's start
// tick counts as an age across the tick's wrap.
int CheckOperateTimeoutAt(uint32_t now);

// Module entry point of the "device-set timeout" engine module, which runs
// with every engine start (whatever EngineLayerStartup answers): starts the
// thread that runs the check at once and then every 1000 ms, forever. Later
// calls do nothing.
void StartOperateTimeout();

// Module entry point of the "set match" engine module: installs SetProcess
// as the reply dispatcher's set matching.
void InstallSetProcess();

// --- Diagnostics and tests ---------------------------------------------------

// A copy of the operation list, in order.
std::vector<OperateNode> CopyOperateList();

// Empties the operation list. The engine itself never does.
void ClearOperateList();

// Replaces the routine that sends push messages (SendPushMessage unless
// changed; null restores it). Returns the previous one.
using PushSender = int (*)(const char* text);
PushSender SetOperatePushSender(PushSender fn);

}  // namespace torvane
