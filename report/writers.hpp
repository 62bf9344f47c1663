// The two forms of the report.
#pragma once

#include "model.hpp"
#include "output_file.hpp"

// One self-contained HTML page: styles inline, charts as inline SVG, no
// script.  It parses as XML too, which the tests check.
void write_html_report(const Report &report, OutputFile &out);

// The ranked summary for a terminal: one block per statement.
void write_text_report(const Report &report, OutputFile &out);

// The page's style sheet.
extern const char *const page_style;
