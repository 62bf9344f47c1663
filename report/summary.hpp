// From the aggregates to the report: ranking, the overview, the timeline,
// the sessions' lanes and the breakdowns; names of roles, databases and
// types are asked of the server, for the few that are shown.
#pragma once

#include "aggregate.hpp"
#include "connection.hpp"
#include "model.hpp"
#include "options.hpp"

// Fills report's overview, timeline, lanes (HTML only), top statements
// (all of them for exports and comparisons), others, breakdowns and
// failures, and with several sources each source's overview.  servers[i]
// is the connection of source i (nullptr when it could not be reached),
// asked for the names of parameter types.
void summarise(const Aggregator &aggregator, const Options &options, const NameBook &names,
               const std::vector<Connection *> &servers, Report &report);

constexpr int max_timeline_steps = 120;
constexpr long long max_lane_statements = 3000;
constexpr long long max_lanes = 24;
constexpr int lane_density_steps = 280;

// The timeline's steps and ticks; fills in the overview's busiest second.
// source: only that source's statements; -1: all.
Timeline build_timeline(const Aggregator &aggregator, Overview &overview, int source = -1);

// One lane per session, up to max_lanes sessions: a bar per statement, or
// for larger traces a bar for each of the longest statements over a strip
// of how busy the session was.  ranks maps statement indexes to their rank.
// With several sources the lanes come in a group per server.
Lanes build_lanes(const Aggregator &aggregator, const Overview &overview,
                  const Timeline &timeline, const std::vector<int> &ranks, const NameBook &names,
                  const std::vector<SourcePart> &sources);
