// Pieces of HTML that the report's page and the comparison's page share.
#pragma once

#include "model.hpp"
#include "output_file.hpp"

#include <string>
#include <string_view>
#include <vector>

std::string esc(std::string_view text);
// A numeric cell with its exact value in data-v.
std::string cell(double exact, const std::string &shown);
std::string cell(long long exact);
std::string tile(const std::string &key, const std::string &value, const std::string &sub);
std::string fact(const std::string &key, const std::string &value_html);
// The small square of a statement's colour, and of a server's.
std::string swatch(int rank);
std::string server_swatch(size_t index);

// The document's head and the page's header band, up to <main>.
void write_page_start(OutputFile &out, const std::string &title, const std::string &kicker,
                      const std::string &heading, const std::string &sub_html);
// The end of the page: how the numbers are made, and where they came from.
void write_footer(const Report &r, OutputFile &out);
void write_notes(const Report &r, OutputFile &out);

// How a node's own time changed against the other plan of a comparison.
struct NodeChange
{
	std::string note;    // "+12.0 ms", "new"; empty: no column
	bool marked = false; // among the nodes whose own time grew most
};

// A plan as the page shows it: a JSON plan as a tree, a text plan as
// recorded, each node with its share; changes (one per node), when given,
// mark the nodes whose own time grew most and give each its change.
void write_plan(const Plan &plan, OutputFile &out,
                const std::vector<NodeChange> *changes = nullptr);

// "3 failed: 57014 ×2, 40P01" or empty.
std::string failed_words(long long failed,
                         const std::vector<std::pair<std::string, long long>> &sqlstates);

// The bins of the histograms that the statements need, at least three
// decades.
void histogram_range(const std::vector<Statement> &top, int &first, int &last);
