// Plans as EXPLAIN ANALYZE prints them, in text or JSON, taken apart into
// a tree of nodes with each node's own (self) time, so that the report can
// say where a statement's time went.
//
// A node's total is its time over all its loops ("actual time=A..B" times
// "loops"; below a Gather divided by the processes that ran it, so that it
// compares with the wall-clock time above).  Its self time is its total
// minus that of its children, with the subplans charged where they ran:
// - a SubPlan runs inside the node it hangs from;
// - a CTE's plan runs when a CTE Scan of it reads rows: its time is inside
//   those scans' totals (shared out in plan order), not in its parent's;
// - an InitPlan runs when its value is first needed: inside the first node
//   below its parent whose conditions use the value, else in the parent.
// Each node's time is so counted once, and the self times add up to the
// top node's total.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct PlanNode
{
	enum class Role
	{
		child,
		init_plan,
		sub_plan,
		cte
	};

	int depth = 0;
	int parent = -1;
	std::string label;  // "Index Scan using orders_pkey on orders o"
	std::string detail; // conditions, sort methods, blocks (JSON plans)
	double total_ms = 0;
	double self_ms = 0;
	double rows = 0;
	double plan_rows = 0;
	double loops = 0;
	Role role = Role::child;
	std::string subplan_name; // "CTE t", "InitPlan 1 (returns $0)"
	std::string cte_name;     // the CTE that a CTE Scan reads
	std::string refs;         // the text of its conditions
	int line = -1;            // text plans: its line
	double procs = 1;         // processes that ran it
	double child_procs = 1;   // processes that ran its children
};

struct TriggerTime
{
	std::string name;
	std::string relation;
	double ms = 0;
	double calls = 0;
};

struct Plan
{
	bool json = false;
	std::vector<PlanNode> nodes;    // depth first, the top node first
	std::vector<std::string> lines; // text plans as recorded
	std::vector<TriggerTime> triggers;
	std::string jit;    // the JIT section in one line, when the plan has one
	double jit_ms = 0;  // its total
	std::string note;   // not a plan: what the record holds instead

	// The node with the most self time, or -1.
	int hottest() const;
	double whole_ms() const
	{
		return nodes.empty() ? 0 : nodes.front().total_ms;
	}
};

// Takes a recorded plan apart.  A JSON plan that does not parse is shown
// as text.  An explain field that holds a note of the capture instead of a
// plan ("vireo: ...") gives a Plan with only the note.
Plan parse_plan(const std::string &text, bool json);

// The top node's buffer numbers, which cover the whole statement's
// execution (the text form's first "Buffers:" line, the JSON form's top
// node fields).  known is false when the plan has none.
struct PlanBuffers
{
	bool known = false;
	int64_t hit = 0;
	int64_t read = 0;
	int64_t temp_read = 0;
	int64_t temp_written = 0;
};
PlanBuffers top_node_buffers(std::string_view plan, bool json);

// Whether the explain field holds a plan (not empty, not a note).
bool holds_plan(std::string_view explain);
