// The link worker: makes one connection to a rigctl server and services it
// until it ends. The supervisor starts a new worker for every attempt.
#pragma once

#include "core/hamlib_link.h"

// Thread body for one link; returns when the attempt or connection ends.
void LinkWorker(HamlibLink* link);

// Reads and discards what the server sent, without waiting; on close or
// error, ends the connection without a message.
void DrainLink(HamlibLink* link);

// How long one wait for the server lasts before Running is looked at again.
constexpr int LINK_WAIT_MS = 5000;
