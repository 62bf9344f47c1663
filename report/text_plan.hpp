// Reading a plan in EXPLAIN's text form: which lines are plan nodes and how
// much time each node took by itself, so that the expensive one can be
// marked as in a JSON plan.
#pragma once

#include <string>
#include <vector>

struct TextPlanLine
{
	std::string text;
	bool node = false;
	double self_ms = 0; // for nodes: total over all loops minus the children's
};

std::vector<TextPlanLine> analyse_text_plan(const std::string &plan);
