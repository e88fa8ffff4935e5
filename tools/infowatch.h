// varnholt-info --watch: the service's figures refreshed in place on a
// terminal (or printed as plain blocks when standard output is not one),
// with rates per second from the previous reading and one line per node,
// the busiest first. See docs/info.md, "Live view".
//
// The screen text is built by RenderWatch from two readings alone, so that
// its rates, order, marks and cutting are checked without a terminal;
// RunWatch owns the terminal, the signals and the refresh period.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "info/MetricsText.h"

namespace infowatch {

constexpr int kDefaultPeriodSeconds = 2;
constexpr int kMaxPeriodSeconds = 3600;
// A node without a packet for this long (or without a connection) is silent.
constexpr std::int64_t kSilentAfterSeconds = 600;

struct Reading {
    bool answered = false;
    std::string error;              // why the service did not answer
    std::int64_t time = 0;          // Unix seconds of the reading: ages count from it
    std::uint64_t monotonicMs = 0;  // when it was taken, for the rates
    MetricsSnapshot snapshot;
};

struct Screen {
    std::string address;  // host:port of the service
    int periodSeconds = kDefaultPeriodSeconds;
    int width = 0;   // columns; lines are cut to it (0: no limit)
    int height = 0;  // lines; node lines beyond it are left out (0: no limit)
    bool terminal = false;
};

// The lines of one screen for current; rates come from previous (the last
// answered reading before it, or null: rates read "-"). Nodes are matched by
// name. Counters that went back (the service restarted) give no rate.
std::vector<std::string> Render(const Reading& current, const Reading* previous, const Screen& screen);

// Fills a snapshot; false with the reason when the service did not answer.
using Query = std::function<bool(MetricsSnapshot*, std::string*)>;

struct Options {
    std::string address;
    int periodSeconds = kDefaultPeriodSeconds;
    int count = 0;  // refreshes before it ends; 0: until stopped
};

// Runs the view on standard output until 'q' (on a terminal), SIGINT,
// SIGTERM or SIGHUP, or after options.count refreshes. On a terminal the
// screen is drawn in the alternate buffer with the input non-canonical and
// without echo, all restored on every way out. Returns the exit status: 0,
// or 1 when the output could not be written.
int Run(const Options& options, const Query& query);

}  // namespace infowatch
