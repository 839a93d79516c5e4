// Push channel: one long-lived TCP connection on 127.0.0.1:64568 over which
// the server notifies its client ("trap", "device_set", "app_exit"), and the
// operator console that shares its thread.
#pragma once

namespace torvane {

constexpr unsigned short kPushPort = 64568;

// Sends text and its terminating NUL to the push client. Returns 0 when
// sent, -1 when no client is connected, -2 when the send failed. Prints
// one status line. Safe from any thread, before any client has connected.
// A message goes out whole or not at all as far as the client can tell: a
// send that fails (the client read nothing for 2 s, or has gone) closes the
// connection, so that no later message is glued to a cut one; from then on
// there is no client.
int SendPushMessage(const char* text);

// Thread entry: sets up the listening socket, accepts the one client, then
// runs the console loop.
void PushChannelThread();

}  // namespace torvane
