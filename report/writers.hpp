// The forms of the report.
#pragma once

#include "aggregate.hpp"
#include "model.hpp"
#include "options.hpp"
#include "output_file.hpp"

#include "names.hpp"

#include <map>

// One self-contained HTML page: styles inline, charts as inline SVG, no
// script.  It parses as XML too, which the tests check.
void write_html_report(const Report &report, OutputFile &out);

// For a terminal: a ranked table of one line per statement fitted to width
// columns, then a block per statement.
void write_text_report(const Report &report, OutputFile &out, int width);

// The ranked statements as CSV, one row each.
void write_csv_statements(const Report &report, OutputFile &out);

// The trace, the overview and the ranked statements as one JSON object;
// after the calls of a CallWriter when there were any.
void write_json_report(const Report &report, OutputFile &out, bool after_calls);

// Two traces side by side (--compare), in the options' format.
void write_comparison(const Report &report, const Options &options, OutputFile &out, int width);

// --calls: one row per execution, written while the trace is read (CSV:
// the whole output; JSON: the "calls" member, the rest follows).  sources:
// the name of each source when there are several (a column "source").
class CallWriter
{
public:
	CallWriter(OutputFormat format, OutputFile &out, const TraceInfo &trace, const NameBook &names,
	           std::vector<std::string> sources);
	void add(const Call &call);
	long long rows() const
	{
		return rows_;
	}

private:
	OutputFormat format_;
	OutputFile &out_;
	const TraceInfo &trace_;
	const NameBook &names_;
	std::vector<std::string> sources_;
	long long rows_ = 0;
};

// The page's style sheet.
extern const char *const page_style;
