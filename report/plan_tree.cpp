// Reading plans in both of EXPLAIN's forms, and where the time went.
#include "plan_tree.hpp"

#include "format.hpp"
#include "json.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

bool starts_with(std::string_view text, std::string_view prefix)
{
	return text.substr(0, prefix.size()) == prefix;
}

double number_after(std::string_view text, std::string_view key)
{
	size_t at = text.find(key);
	if (at == std::string_view::npos)
		return std::nan("");
	std::string rest(text.substr(at + key.size(), 40));
	char *end = nullptr;
	double value = std::strtod(rest.c_str(), &end);
	return end == rest.c_str() ? std::nan("") : value;
}

// "Buffers: shared hit=10 read=5 dirtied=1, local hit=2, temp read=3 written=4"
PlanBuffers read_buffers_line(std::string_view line)
{
	PlanBuffers b;
	b.known = true;
	std::string_view rest = line.substr(std::strlen("Buffers: "));
	while (!rest.empty())
	{
		size_t comma = rest.find(", ");
		std::string_view part = rest.substr(0, comma);
		rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 2);
		auto value = [&part](std::string_view key) {
			double v = number_after(part, key);
			return std::isnan(v) ? int64_t{0} : static_cast<int64_t>(v);
		};
		if (starts_with(part, "shared "))
		{
			b.hit = value(" hit=");
			b.read = value(" read=");
		}
		else if (starts_with(part, "temp "))
		{
			b.temp_read = value(" read=");
			b.temp_written = value(" written=");
		}
	}
	return b;
}

// ---- text plans ----------------------------------------------------------

size_t indent_of(const std::string &line)
{
	size_t first = line.find_first_not_of(' ');
	return first == std::string::npos ? line.size() : first;
}

bool is_subplan_header(std::string_view trimmed)
{
	return starts_with(trimmed, "CTE ") || starts_with(trimmed, "InitPlan ") ||
	       starts_with(trimmed, "SubPlan ");
}

// "Seq Scan on t  (cost=0.00..1.10 rows=10 width=4) (actual time=0.01..0.02 rows=10 loops=1)"
void read_text_node(std::string_view text, PlanNode &node)
{
	size_t paren = text.find("  (");
	node.label = std::string(text.substr(0, paren));
	double a = number_after(text, "actual time=");
	if (!std::isnan(a))
	{
		size_t at = text.find("actual time=");
		std::string_view actual = text.substr(at);
		double b = number_after(actual, "..");
		double loops = number_after(actual, "loops=");
		double rows = number_after(actual, "rows=");
		node.loops = std::isnan(loops) ? 1 : loops;
		node.rows = std::isnan(rows) ? 0 : rows;
		node.total_ms = (std::isnan(b) ? 0 : b) * node.loops;
	}
	else
	{
		// "(actual rows=.. loops=..)" without timing, or "(never executed)"
		double loops = number_after(text, "loops=");
		node.loops = std::isnan(loops) ? 0 : loops;
		size_t at = text.find("(actual ");
		if (at != std::string_view::npos)
		{
			double rows = number_after(text.substr(at), "rows=");
			node.rows = std::isnan(rows) ? 0 : rows;
		}
	}
	size_t cost = text.find("(cost=");
	if (cost != std::string_view::npos)
	{
		double rows = number_after(text.substr(cost), "rows=");
		node.plan_rows = std::isnan(rows) ? 0 : rows;
	}
	if (starts_with(node.label, "CTE Scan on "))
	{
		std::string_view name = std::string_view(node.label).substr(std::strlen("CTE Scan on "));
		node.cte_name = std::string(name.substr(0, name.find(' ')));
	}
}

// "Trigger trg on rel: time=0.123 calls=1",
// "Trigger for constraint fk on rel: time=..."
void read_text_trigger(std::string_view line, Plan &plan)
{
	size_t colon = line.rfind(": time=");
	if (colon == std::string_view::npos)
		return;
	std::string_view head = line.substr(std::strlen("Trigger "), colon - std::strlen("Trigger "));
	TriggerTime t;
	size_t on = head.rfind(" on ");
	t.name = std::string(head.substr(0, on));
	if (on != std::string_view::npos)
		t.relation = std::string(head.substr(on + 4));
	double ms = number_after(line.substr(colon), "time=");
	double calls = number_after(line.substr(colon), "calls=");
	t.ms = std::isnan(ms) ? 0 : ms;
	t.calls = std::isnan(calls) ? 0 : calls;
	plan.triggers.push_back(std::move(t));
}

void parse_text_plan(const std::string &text, Plan &plan)
{
	size_t start = 0;
	while (start <= text.size())
	{
		size_t end = text.find('\n', start);
		plan.lines.push_back(
		    text.substr(start, end == std::string::npos ? std::string::npos : end - start));
		if (end == std::string::npos)
			break;
		start = end + 1;
	}
	// SQL-function bodies and the like may carry blank lines around them.
	while (!plan.lines.empty() && plan.lines.back().find_first_not_of(" \r") == std::string::npos)
		plan.lines.pop_back();

	std::vector<size_t> stack; // node indexes; their arrow columns in columns
	std::vector<long> columns;
	long header_column = -2;
	PlanNode::Role header_role = PlanNode::Role::child;
	std::string header_name;
	bool summary = false;
	std::string jit_functions;
	std::string jit_timing;
	bool in_jit = false;
	for (size_t i = 0; i < plan.lines.size(); i++)
	{
		const std::string &line = plan.lines[i];
		size_t column = indent_of(line);
		std::string_view trimmed = std::string_view(line).substr(column);
		while (!trimmed.empty() && trimmed.back() == '\r')
			trimmed.remove_suffix(1);
		bool arrow = starts_with(trimmed, "->");
		if (i == 0 || (arrow && !summary))
		{
			PlanNode node;
			long at = i == 0 ? -1 : static_cast<long>(column);
			while (!stack.empty() && columns.back() >= at)
			{
				stack.pop_back();
				columns.pop_back();
			}
			std::string_view body = i == 0 ? trimmed : trimmed.substr(2);
			body.remove_prefix(std::min(body.find_first_not_of(' '), body.size()));
			read_text_node(body, node);
			node.line = static_cast<int>(i);
			if (!stack.empty())
			{
				const PlanNode &parent = plan.nodes[stack.back()];
				node.parent = static_cast<int>(stack.back());
				node.depth = parent.depth + 1;
				node.procs = parent.child_procs;
			}
			node.child_procs = node.procs;
			node.total_ms /= node.procs;
			if (header_column >= 0 && static_cast<long>(column) == header_column + 2)
			{
				node.role = header_role;
				node.subplan_name = header_name;
			}
			header_column = -2;
			stack.push_back(plan.nodes.size());
			columns.push_back(at);
			plan.nodes.push_back(std::move(node));
			continue;
		}
		if (column == 0)
		{
			summary = true;
			in_jit = trimmed == "JIT:";
			if (starts_with(trimmed, "Trigger "))
				read_text_trigger(trimmed, plan);
			continue;
		}
		if (summary)
		{
			if (in_jit && starts_with(trimmed, "Functions: "))
				jit_functions = std::string(trimmed.substr(std::strlen("Functions: ")));
			else if (in_jit && starts_with(trimmed, "Timing: "))
				jit_timing = std::string(trimmed.substr(std::strlen("Timing: ")));
			continue;
		}
		if (is_subplan_header(trimmed))
		{
			// "SubPlan 1" under a node's children belongs to the node whose
			// lines stand at its column, not to the child before it.
			while (!stack.empty() && columns.back() >= static_cast<long>(column))
			{
				stack.pop_back();
				columns.pop_back();
			}
			header_column = static_cast<long>(column);
			header_name = std::string(trimmed);
			header_role = starts_with(trimmed, "CTE ")        ? PlanNode::Role::cte
			              : starts_with(trimmed, "InitPlan ") ? PlanNode::Role::init_plan
			                                                  : PlanNode::Role::sub_plan;
			continue;
		}
		if (stack.empty())
			continue;
		PlanNode &owner = plan.nodes[stack.back()];
		owner.refs += std::string(trimmed) + "\n";
		if (starts_with(trimmed, "Workers Launched: "))
			owner.child_procs = owner.procs * (number_after(trimmed, "Launched: ") + 1);
	}
	if (!jit_timing.empty() || !jit_functions.empty())
	{
		plan.jit = "JIT: " + (jit_functions.empty() ? "" : jit_functions + " functions; ") + jit_timing;
		double total = number_after(jit_timing, "Total ");
		plan.jit_ms = std::isnan(total) ? 0 : total;
	}
}

// ---- JSON plans ----------------------------------------------------------

// The node's title as EXPLAIN's text form writes it.
std::string json_label(const JsonValue &n)
{
	std::string type = n.string("Node Type");
	std::string strategy = n.string("Strategy");
	std::string partial = n.string("Partial Mode");
	std::string join = n.string("Join Type");
	std::string label;
	if (type == "ModifyTable" && !n.string("Operation").empty())
		label = n.string("Operation");
	else if (type == "Aggregate" && strategy == "Hashed")
		label = "HashAggregate";
	else if (type == "Aggregate" && strategy == "Sorted")
		label = "GroupAggregate";
	else if (type == "Aggregate" && strategy == "Mixed")
		label = "MixedAggregate";
	else if (!join.empty() && join != "Inner" &&
	         (type == "Nested Loop" || type == "Hash Join" || type == "Merge Join"))
		label = (type == "Nested Loop" ? "Nested Loop " : type.substr(0, type.find(' ')) + " ") +
		        join + " Join";
	else
		label = type;
	if (!partial.empty() && partial != "Simple")
		label = partial + " " + label;
	if (n.string("Scan Direction") == "Backward")
		label += " Backward";
	std::string index = n.string("Index Name");
	std::string object = n.string("Relation Name");
	std::string alias = n.string("Alias");
	if (object.empty())
		object = n.string("Function Name");
	if (object.empty())
		object = n.string("CTE Name");
	if (type == "Bitmap Index Scan")
		label += " on " + index;
	else if (!index.empty())
		label += " using " + index;
	if (!object.empty())
		label += " on " + object + (!alias.empty() && alias != object ? " " + alias : "");
	else if (!alias.empty() && type.find("Scan") != std::string::npos)
		label += " on " + alias;
	return label;
}

std::string join_list(const JsonValue *list)
{
	std::string out;
	if (list == nullptr || list->kind != JsonValue::Kind::array)
		return out;
	for (const JsonValue &item : list->items)
		out += (out.empty() ? "" : ", ") + item.text;
	return out;
}

void add_detail(std::string &detail, const std::string &part)
{
	if (!part.empty())
		detail += (detail.empty() ? "" : " \xC2\xB7 ") + part;
}

void json_node(const JsonValue &n, int parent, int depth, double procs, Plan &plan)
{
	PlanNode node;
	node.parent = parent;
	node.depth = depth;
	node.label = json_label(n);
	node.procs = procs;
	node.loops = n.num("Actual Loops");
	node.rows = n.num("Actual Rows");
	node.plan_rows = n.num("Plan Rows");
	node.total_ms = n.num("Actual Total Time") * node.loops / procs;
	node.cte_name = n.string("Node Type") == "CTE Scan" ? n.string("CTE Name") : "";
	std::string relationship = n.string("Parent Relationship");
	node.subplan_name = n.string("Subplan Name");
	if (relationship == "InitPlan")
		node.role = starts_with(node.subplan_name, "CTE ") ? PlanNode::Role::cte
		                                                   : PlanNode::Role::init_plan;
	else if (relationship == "SubPlan")
		node.role = PlanNode::Role::sub_plan;
	if (!node.subplan_name.empty() && node.role != PlanNode::Role::child)
		node.label = node.subplan_name + ": " + node.label;
	static const char *const conditions[] = {"Index Cond",  "Recheck Cond", "Hash Cond",
	                                         "Merge Cond",  "Join Filter",  "Filter",
	                                         "TID Cond",    "One-Time Filter"};
	for (const char *key : conditions)
	{
		std::string value = n.string(key);
		if (!value.empty())
		{
			add_detail(node.detail, std::string(key) + ": " + value);
			node.refs += value + "\n";
		}
	}
	std::string removed = n.string("Rows Removed by Filter");
	if (!removed.empty() && removed != "0")
		add_detail(node.detail, "rows removed by filter: " + removed);
	std::string keys = join_list(n.get("Sort Key"));
	if (!keys.empty())
	{
		add_detail(node.detail, "Sort Key: " + keys);
		node.refs += keys + "\n";
	}
	keys = join_list(n.get("Group Key"));
	if (!keys.empty())
		add_detail(node.detail, "Group Key: " + keys);
	node.refs += join_list(n.get("Output"));
	if (!n.string("Sort Method").empty())
		add_detail(node.detail, n.string("Sort Method") + " sort, " + n.string("Sort Space Used") +
		                            " kB " + lower(n.string("Sort Space Type")));
	if (n.has("Workers Launched"))
		add_detail(node.detail, "workers: " + n.string("Workers Launched") + " of " +
		                            n.string("Workers Planned"));
	std::string type = n.string("Node Type");
	double child_procs = procs;
	if (type == "Gather" || type == "Gather Merge")
		child_procs = n.num("Workers Launched") + 1;

	int self = static_cast<int>(plan.nodes.size());
	plan.nodes.push_back(std::move(node));
	// Blocks a node adds itself: its counts include its children's.
	double shared_read = n.num("Shared Read Blocks");
	double temp_written = n.num("Temp Written Blocks");
	const JsonValue *children = n.get("Plans");
	if (children != nullptr && children->kind == JsonValue::Kind::array)
	{
		for (const JsonValue &child : children->items)
		{
			if (child.kind != JsonValue::Kind::object)
				continue;
			shared_read -= child.num("Shared Read Blocks");
			temp_written -= child.num("Temp Written Blocks");
			json_node(child, self, depth + 1, child_procs, plan);
		}
	}
	std::string &detail = plan.nodes[static_cast<size_t>(self)].detail;
	if (shared_read > 0)
		add_detail(detail, "shared blocks read: " + std::to_string(std::llround(shared_read)));
	if (temp_written > 0)
		add_detail(detail, "temp blocks written: " + std::to_string(std::llround(temp_written)));
}

void json_jit(const JsonValue &jit, Plan &plan)
{
	const JsonValue *timing = jit.get("Timing");
	std::string text = "JIT: " + jit.string("Functions") + " functions";
	if (timing != nullptr && timing->kind == JsonValue::Kind::object)
	{
		std::string parts;
		for (const auto &member : timing->members)
		{
			// 17 splits the generation time: {"Deform": .., "Total": ..}
			double ms = member.second.kind == JsonValue::Kind::object ? member.second.num("Total")
			                                                          : member.second.number;
			if (member.first == "Total")
				plan.jit_ms = ms;
			parts += (parts.empty() ? "" : ", ") + member.first + " " + fixed(ms, 3) + " ms";
		}
		text += "; " + parts;
	}
	plan.jit = text;
}

bool parse_json_plan(const std::string &text, Plan &plan)
{
	JsonValue doc;
	if (!parse_json(text, doc))
		return false;
	// The record holds an object with "Plan"; EXPLAIN's own output wraps it
	// in an array.
	const JsonValue *top = &doc;
	if (top->kind == JsonValue::Kind::array && !top->items.empty())
		top = &top->items.front();
	const JsonValue *root = top->get("Plan");
	if (root == nullptr || root->kind != JsonValue::Kind::object)
		return false;
	plan.json = true;
	json_node(*root, -1, 0, 1, plan);
	const JsonValue *triggers = top->get("Triggers");
	if (triggers != nullptr && triggers->kind == JsonValue::Kind::array)
	{
		for (const JsonValue &t : triggers->items)
		{
			std::string name = t.string("Trigger Name");
			if (name.empty())
				name = "for constraint " + t.string("Constraint Name");
			plan.triggers.push_back({name, t.string("Relation"), t.num("Time"), t.num("Calls")});
		}
	}
	const JsonValue *jit = top->get("JIT");
	if (jit != nullptr && jit->kind == JsonValue::Kind::object)
		json_jit(*jit, plan);
	return true;
}

// ---- self times ------------------------------------------------------------

bool inside(const Plan &plan, int node, int ancestor)
{
	for (int at = node; at >= 0; at = plan.nodes[static_cast<size_t>(at)].parent)
	{
		if (at == ancestor)
			return true;
	}
	return false;
}

// The texts by which a node's conditions refer to an InitPlan's value:
// "$0" for "InitPlan 1 (returns $0,$1)", "(InitPlan 1)" from 17 on.
std::vector<std::string> init_plan_tokens(const std::string &name)
{
	std::vector<std::string> tokens;
	size_t returns = name.find("(returns ");
	if (returns == std::string::npos)
	{
		tokens.push_back("(" + name + ")");
		return tokens;
	}
	std::string list = name.substr(returns + 9);
	size_t at = 0;
	while ((at = list.find('$', at)) != std::string::npos)
	{
		size_t end = at + 1;
		while (end < list.size() && list[end] >= '0' && list[end] <= '9')
			end++;
		tokens.push_back(list.substr(at, end - at));
		at = end;
	}
	return tokens;
}

bool refers_to(const std::string &refs, const std::string &token)
{
	for (size_t at = refs.find(token); at != std::string::npos; at = refs.find(token, at + 1))
	{
		size_t after = at + token.size();
		if (token[0] != '$' || after >= refs.size() || refs[after] < '0' || refs[after] > '9')
			return true;
	}
	return false;
}

void compute_self_times(Plan &plan)
{
	std::vector<PlanNode> &nodes = plan.nodes;
	for (PlanNode &n : nodes)
		n.self_ms = n.total_ms;
	// Children and SubPlans run inside their parent.
	for (const PlanNode &n : nodes)
	{
		if (n.parent >= 0 &&
		    (n.role == PlanNode::Role::child || n.role == PlanNode::Role::sub_plan))
			nodes[static_cast<size_t>(n.parent)].self_ms -= n.total_ms;
	}
	for (size_t i = 0; i < nodes.size(); i++)
	{
		const PlanNode &sub = nodes[i];
		if (sub.parent < 0 || sub.role == PlanNode::Role::child ||
		    sub.role == PlanNode::Role::sub_plan)
			continue;
		int parent = sub.parent;
		double remaining = sub.total_ms;
		if (sub.role == PlanNode::Role::cte)
		{
			std::string name = sub.subplan_name.substr(4);
			for (size_t k = 0; k < nodes.size() && remaining > 0; k++)
			{
				PlanNode &scan = nodes[k];
				if (scan.cte_name != name || !inside(plan, static_cast<int>(k), parent) ||
				    inside(plan, static_cast<int>(k), static_cast<int>(i)))
					continue;
				double take = std::min(remaining, std::max(scan.self_ms, 0.0));
				scan.self_ms -= take;
				remaining -= take;
			}
		}
		else
		{
			std::vector<std::string> tokens = init_plan_tokens(sub.subplan_name);
			for (size_t k = 0; k < nodes.size(); k++)
			{
				if (static_cast<int>(k) == parent || !inside(plan, static_cast<int>(k), parent) ||
				    inside(plan, static_cast<int>(k), static_cast<int>(i)))
					continue;
				bool uses = false;
				for (const std::string &token : tokens)
					uses = uses || refers_to(nodes[k].refs, token);
				if (uses)
				{
					nodes[k].self_ms -= remaining;
					remaining = 0;
					break;
				}
			}
		}
		nodes[static_cast<size_t>(parent)].self_ms -= remaining;
	}
	for (PlanNode &n : nodes)
		n.self_ms = std::max(n.self_ms, 0.0);
}

} // namespace

int Plan::hottest() const
{
	int best = -1;
	for (size_t i = 0; i < nodes.size(); i++)
	{
		if (nodes[i].self_ms > 0 && (best < 0 || nodes[i].self_ms > nodes[static_cast<size_t>(best)].self_ms))
			best = static_cast<int>(i);
	}
	return best;
}

bool holds_plan(std::string_view explain)
{
	size_t first = explain.find_first_not_of(" \n\r\t");
	return first != std::string_view::npos && !starts_with(explain.substr(first), "vireo: ");
}

Plan parse_plan(const std::string &text, bool json)
{
	Plan plan;
	if (!holds_plan(text))
	{
		size_t first = text.find_first_not_of(" \n\r\t");
		plan.note = first == std::string::npos ? "" : text.substr(first);
		return plan;
	}
	if (!json || !parse_json_plan(text, plan))
	{
		plan = Plan();
		parse_text_plan(text, plan);
	}
	compute_self_times(plan);
	return plan;
}

PlanBuffers top_node_buffers(std::string_view plan, bool json)
{
	PlanBuffers b;
	if (json)
	{
		static const std::vector<std::string_view> keys = {
		    "Shared Hit Blocks", "Shared Read Blocks", "Temp Read Blocks", "Temp Written Blocks"};
		std::vector<double> values;
		if (!json_object_numbers(plan, "Plan", keys, values))
			return b;
		for (double v : values)
		{
			if (std::isnan(v))
				return b;
		}
		b.known = true;
		b.hit = static_cast<int64_t>(values[0]);
		b.read = static_cast<int64_t>(values[1]);
		b.temp_read = static_cast<int64_t>(values[2]);
		b.temp_written = static_cast<int64_t>(values[3]);
		return b;
	}
	// The top node's own lines: after the first line, up to its first
	// child, subplan or the summary.  The capture prints buffers with
	// every analyzed plan, and EXPLAIN leaves out a "Buffers:" line whose
	// numbers are all 0: an analyzed plan without one used no buffers.
	if (plan.find("(actual ") != std::string_view::npos)
		b.known = true;
	size_t start = plan.find('\n');
	while (start != std::string_view::npos)
	{
		start++;
		size_t end = plan.find('\n', start);
		std::string_view line = plan.substr(start, end == std::string_view::npos ? end : end - start);
		size_t column = line.find_first_not_of(' ');
		if (column == 0 || column == std::string_view::npos)
			break;
		std::string_view trimmed = line.substr(column);
		if (starts_with(trimmed, "->") || is_subplan_header(trimmed))
			break;
		if (starts_with(trimmed, "Buffers: "))
			return read_buffers_line(trimmed);
		start = end;
	}
	return b;
}
