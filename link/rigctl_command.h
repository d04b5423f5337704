// The one rigctl command Tarnwick sends: set PTT, "T 1\n" or "T 0\n".
#pragma once

#include "link/hamlib_link.h"

constexpr int PTT_COMMAND_LENGTH = 4;

// Formats the command for a PTT state (1 on, 0 off) into buffer (at least
// 5 bytes); returns its length.
int FormatPttCommand(int pttOn, char* buffer, int size);

// Makes pttOn the port's decided PTT state and sends its command on the
// link's current socket, once, without waiting. The command is lost,
// silently, when the link has no connection (none yet, or none any more);
// the decided state is kept all the same.
// A command that the system does not take whole (only part of it, or none
// because the server has stopped reading) ends the connection: nothing more
// is sent on it, and it is closed with a reset that discards what is still
// queued, so the server never gets a torn command followed by another.
void SendPttCommand(HamlibLink* link, int pttOn);

// The call that hands a command to the system; PlatformSendNow unless a test
// puts a stand-in in its place (nullptr puts PlatformSendNow back).
using CommandSender = int (*)(SocketHandle sock, const char* bytes, int count);
void SetCommandSender(CommandSender sender);

// Closes the link's socket, if any, and marks it as having none. Serialised
// with SendPttCommand so that a send never reaches a reused handle.
void CloseLinkSocket(HamlibLink* link);

// Lets commands go out on the link's socket, once it is connected.
void MarkLinkSendable(HamlibLink* link);

// Publishes a newly created socket as the link's socket.
void SetLinkSocket(HamlibLink* link, SocketHandle sock);
