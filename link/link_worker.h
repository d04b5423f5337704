// The link worker: makes one connection to a rigctl server and services it
// until it ends. The supervisor starts a new worker for every attempt.
#pragma once

#include "link/hamlib_link.h"
#include "link/rigctl_answers.h"

// Thread body for one link; returns when the attempt or connection ends.
void LinkWorker(HamlibLink* link);

// Reads what the server sent, without waiting, and hands it to answers
// (nullptr: discards it); on close or error, ends the connection without a
// message.
void DrainLink(HamlibLink* link, AnswerReader* answers);

// Says a connect that failed: no socket could be made, or the connect (the
// name's lookup included) failed with error.
void SayConnectFailure(const HamlibLink& link, ConnectOutcome outcome, int error);

// How long one wait for the server lasts before Running is looked at again.
constexpr int LINK_WAIT_MS = 5000;
