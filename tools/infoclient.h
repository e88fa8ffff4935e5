// The client side of the local info query, shared by varnholt-info's
// one-shot print and its live view: one reading of the service's figures.
// A failure is returned with its reason, never printed, so that the live
// view can show it on its screen.
#pragma once

#include <string>

#include "info/MetricsText.h"

struct InfoTarget {
    std::string host = "127.0.0.1";
    int port = 0;
    int timeoutMs = 5000;  // for connecting and for the whole reply, per connection
};

// Asks the log merge and accounting queries (1 and 2) on one connection, then
// the nodes query (3) on a second one. False with the reason in error when
// 1 or 2 get no valid reply; a service too old for query 3 leaves
// snapshot->haveNodes false. A signal interrupts the waits (the query fails).
bool QueryService(const InfoTarget& target, MetricsSnapshot* snapshot, std::string* error);
