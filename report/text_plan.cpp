// Node times of text plans.  A node line is the first line, or a line whose
// text starts with "->"; its depth is the column of the arrow.  A node's
// total is "actual time=A..B ... loops=L" as B * L; nodes below a Gather
// ran in "Workers Launched" + 1 processes, and their totals are divided by
// that to compare with the wall-clock time of the nodes above.
#include "text_plan.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

struct Node
{
	size_t line;
	long column;
	double total;
	double child_procs; // processes that ran the node's children
	double children = 0;
};

double read_total(const std::string &line)
{
	const char *time = std::strstr(line.c_str(), "actual time=");
	if (time == nullptr)
		return 0;
	const char *dots = std::strstr(time, "..");
	const char *loops = std::strstr(time, "loops=");
	if (dots == nullptr || loops == nullptr)
		return 0;
	return std::strtod(dots + 2, nullptr) * std::strtod(loops + 6, nullptr);
}

} // namespace

std::vector<TextPlanLine> analyse_text_plan(const std::string &plan)
{
	std::vector<TextPlanLine> lines;
	size_t start = 0;
	while (start <= plan.size())
	{
		size_t end = plan.find('\n', start);
		TextPlanLine line;
		line.text = plan.substr(start, end == std::string::npos ? std::string::npos : end - start);
		lines.push_back(std::move(line));
		if (end == std::string::npos)
			break;
		start = end + 1;
	}

	std::vector<Node> nodes;
	std::vector<size_t> stack; // indexes into nodes
	for (size_t i = 0; i < lines.size(); i++)
	{
		const std::string &text = lines[i].text;
		size_t first = text.find_first_not_of(' ');
		bool arrow = first != std::string::npos && text.compare(first, 2, "->") == 0;
		if (i > 0 && !arrow)
		{
			// "Workers Launched: 2" under a Gather: its children ran in 3
			// processes.
			size_t launched = text.find("Workers Launched: ");
			if (launched != std::string::npos && !stack.empty())
				nodes[stack.back()].child_procs =
				    std::strtod(text.c_str() + launched + 18, nullptr) + 1;
			continue;
		}
		long column = i == 0 ? -1 : static_cast<long>(first);
		while (!stack.empty() && nodes[stack.back()].column >= column)
			stack.pop_back();
		double procs = stack.empty() ? 1 : nodes[stack.back()].child_procs;
		Node node{i, column, read_total(text) / procs, procs};
		if (!stack.empty())
			nodes[stack.back()].children += node.total;
		lines[i].node = true;
		stack.push_back(nodes.size());
		nodes.push_back(node);
	}
	for (const Node &node : nodes)
		lines[node.line].self_ms = std::max(node.total - node.children, 0.0);
	return lines;
}
