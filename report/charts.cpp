// SVG drawing.  Coordinates are written with one decimal; every text goes
// through html_escape, as the page must parse as XML.
#include "charts.hpp"

#include "format.hpp"

#include <algorithm>
#include <cmath>

namespace {

const char *const palette[] = {"#3b75af", "#ef8636", "#c43d40", "#4fa5a0", "#519e3e",
                               "#d4ad1f", "#8d69b8", "#e377c2", "#8c564b", "#17becf"};
const char *const other_colour = "#b8c0cc";
const char *const server_palette[] = {"#1d3a57", "#8d69b8", "#4fa5a0", "#d4ad1f",
                                      "#8c564b", "#e377c2", "#519e3e", "#17becf"};
const char *const failed_colour = "#d62728";

std::string num(double v)
{
	return fixed(v, 1);
}

std::string rect(double x, double y, double w, double h, const std::string &fill,
                 const std::string &title, const std::string &extra = "")
{
	std::string s = "<rect x=\"" + num(x) + "\" y=\"" + num(y) + "\" width=\"" + num(w) +
	                "\" height=\"" + num(h) + "\" fill=\"" + fill + "\"" + extra;
	if (title.empty())
		return s + "/>";
	return s + "><title>" + html_escape(title) + "</title></rect>";
}

std::string text(double x, double y, const std::string &anchor, const std::string &cls,
                 const std::string &content)
{
	return "<text x=\"" + num(x) + "\" y=\"" + num(y) + "\" text-anchor=\"" + anchor +
	       "\" class=\"" + cls + "\">" + html_escape(content) + "</text>";
}

std::string line(double x1, double y1, double x2, double y2, const std::string &cls)
{
	return "<line x1=\"" + num(x1) + "\" y1=\"" + num(y1) + "\" x2=\"" + num(x2) + "\" y2=\"" +
	       num(y2) + "\" class=\"" + cls + "\"/>";
}

std::string step_name(double step_s)
{
	if (step_s < 1)
		return fixed(step_s, 1) + " s";
	long long s = std::llround(step_s);
	if (s < 60)
		return std::to_string(s) + " s";
	if (s < 3600)
		return std::to_string(s / 60) + " min";
	if (s < 86400)
		return std::to_string(s / 3600) + " h";
	return std::to_string(s / 86400) + " d";
}

// A round upper bound for an axis: 1, 2 or 5 times a power of ten.
double nice_max(double v)
{
	if (v <= 0)
		return 1;
	double p = std::pow(10.0, std::floor(std::log10(v)));
	for (double m : {1.0, 2.0, 5.0, 10.0})
	{
		if (v <= m * p)
			return m * p;
	}
	return 10 * p;
}

// An axis value as short as it can be written exactly: "2", "0.5", "0.25";
// the same rule on every axis.
std::string axis_value(double v)
{
	if (v >= 10000)
		return with_separators(static_cast<long long>(v));
	for (int decimals = 0; decimals < 3; decimals++)
	{
		double scale = std::pow(10.0, decimals);
		if (std::fabs(v * scale - std::round(v * scale)) < 1e-9)
			return fixed(v, decimals);
	}
	return fixed(v, 3);
}

// Bin i of a histogram covers [10^(i/2 - 3), 10^((i+1)/2 - 3)) ms.
std::string bound_of_bin(int i)
{
	double ms = std::pow(10.0, i / 2.0 - 3.0);
	if (ms < 1)
		return fixed(ms * 1000, ms * 1000 < 10 ? 1 : 0) + " \xC2\xB5s";
	if (ms < 1000)
		return fixed(ms, ms < 10 ? 1 : 0) + " ms";
	return fixed(ms / 1000, ms < 10000 ? 1 : 0) + " s";
}

const double width = 1120;
const double left = 200;
const double right = 16;

double x_of(double t, double t0, double t1)
{
	if (t1 <= t0)
		return left;
	return left + (t - t0) / (t1 - t0) * (width - left - right);
}

std::string ticks(const Timeline &timeline, double t0, double t1, double top, double bottom,
                  bool labels)
{
	std::string s;
	for (const Tick &tick : timeline.ticks)
	{
		double x = x_of(tick.at, t0, t1);
		s += line(x, top, x, bottom, "grid");
		// Labels near an edge are anchored inside the chart.
		if (labels)
			s += text(x, bottom + 14,
			          x > width - right - 30 ? "end" : (x < left + 30 ? "start" : "middle"), "tick",
			          tick.label);
	}
	return s;
}

} // namespace

std::string histogram_bin_bound(int bin)
{
	return bound_of_bin(bin);
}

const char *server_colour(size_t index)
{
	return server_palette[index % (sizeof server_palette / sizeof server_palette[0])];
}

const char *statement_colour(int rank)
{
	if (rank < 1 || rank > static_cast<int>(sizeof palette / sizeof palette[0]))
		return other_colour;
	return palette[rank - 1];
}

std::string timeline_svg(const Timeline &timeline)
{
	const double panel = 92;
	const double gap = 30;
	const double top1 = 18;
	const double top2 = top1 + panel + gap;
	const double height = top2 + panel + 24;
	double t0 = timeline.start_s;
	double t1 = t0 + timeline.step_s * static_cast<double>(timeline.steps.size());

	long long most = 0;
	double busiest = 0;
	for (const TimelineStep &s : timeline.steps)
	{
		most = std::max(most, s.statements);
		busiest = std::max(busiest, s.busy_ms);
	}
	double step_ms = timeline.step_s * 1000.0;
	double count_max = nice_max(static_cast<double>(most));
	double active_max = nice_max(busiest / step_ms);

	std::string s = "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"chart\" viewBox=\"0 0 " +
	                num(width) + " " + num(height) + "\" role=\"img\">";
	s += "<title>Statements and busy time per " + step_name(timeline.step_s) + "</title>";
	s += text(left, top1 - 6, "start", "panel",
	          "statements ended per " + step_name(timeline.step_s));
	s += text(left, top2 - 6, "start", "panel",
	          "active sessions: time spent in statements per " + step_name(timeline.step_s) +
	              ", divided by " + step_name(timeline.step_s));
	s += ticks(timeline, t0, t1, top1, top1 + panel, false);
	s += ticks(timeline, t0, t1, top2, top2 + panel, true);
	for (double y : {top1, top2})
	{
		s += line(left, y + panel, width - right, y + panel, "axis");
		s += line(left, y, width - right, y, "grid");
		s += line(left, y + panel / 2, width - right, y + panel / 2, "grid");
	}
	s += text(left - 6, top1 + 4, "end", "tick", axis_value(count_max));
	s += text(left - 6, top1 + panel / 2 + 4, "end", "tick", axis_value(count_max / 2));
	s += text(left - 6, top2 + 4, "end", "tick", axis_value(active_max));
	s += text(left - 6, top2 + panel / 2 + 4, "end", "tick", axis_value(active_max / 2));

	double bar =
	    (width - left - right) / static_cast<double>(std::max<size_t>(timeline.steps.size(), 1));
	double pad = bar > 6 ? 1 : 0;
	for (size_t i = 0; i < timeline.steps.size(); i++)
	{
		const TimelineStep &step = timeline.steps[i];
		double x = left + static_cast<double>(i) * bar;
		std::string title = step.label + ": " + with_separators(step.statements) + " statements" +
		                    (step.failed > 0 ? " (" + with_separators(step.failed) + " failed)" : "") +
		                    ", " + human_ms(step.busy_ms) + " busy";
		if (step.statements > 0)
		{
			double h = panel * static_cast<double>(step.statements) / count_max;
			s += rect(x + pad / 2, top1 + panel - h, bar - pad, h, "#3b75af", title);
		}
		if (step.failed > 0)
		{
			// At least a sliver, so that a single failure among many shows.
			double h = std::max(panel * static_cast<double>(step.failed) / count_max, 2.0);
			s += rect(x + pad / 2, top1 + panel - h, bar - pad, h, failed_colour, title,
			          " class=\"failed\"");
		}
		if (step.busy_ms > 0)
		{
			double h = std::max(panel * step.busy_ms / step_ms / active_max, 0.5);
			s += rect(x + pad / 2, top2 + panel - h, bar - pad, h, "#ef8636", title);
		}
	}
	return s + "</svg>";
}

std::string lanes_svg(const Lanes &lanes, const Timeline &timeline,
                      const std::vector<std::string> &short_texts)
{
	const double lane_h = 24;
	const double group_h = 20;
	const double top = 6;
	double t0 = timeline.start_s;
	double t1 = t0 + timeline.step_s * static_cast<double>(timeline.steps.size());
	// Where each lane starts: a group's lanes below its heading.
	std::vector<double> lane_y;
	std::vector<std::string> headings;
	double y_next = top;
	for (size_t i = 0; i < lanes.lanes.size(); i++)
	{
		bool new_group = !lanes.lanes[i].group.empty() &&
		                 (i == 0 || lanes.lanes[i].group != lanes.lanes[i - 1].group);
		headings.push_back(new_group ? lanes.lanes[i].group : "");
		y_next += new_group ? group_h : 0;
		lane_y.push_back(y_next);
		y_next += lane_h;
	}
	double height = y_next + 22;

	std::string s =
	    "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"chart lanes\" viewBox=\"0 0 " +
	    num(width) + " " + num(height) + "\" role=\"img\">";
	s += "<title>Statements of each session</title>";
	double bottom = y_next;
	// Strips are drawn relative to the busiest step of any session.
	double busiest = 0;
	for (const Lane &lane : lanes.lanes)
		for (double b : lane.busy)
			busiest = std::max(busiest, b);
	s += ticks(timeline, t0, t1, top, bottom, true);
	for (size_t i = 0; i < lanes.lanes.size(); i++)
	{
		const Lane &lane = lanes.lanes[i];
		double y = lane_y[i];
		if (!headings[i].empty())
			s += rect(0, y - group_h, width, group_h - 2, "#e8edf3", "") +
			     text(8, y - 6, "start", "group", "server " + headings[i]);
		if (i % 2 == 0)
			s += rect(left, y, width - left - right, lane_h, "#f3f5f8", "");
		// The label names the process and its user in full; the
		// application, which can be long, by its number in the legend
		// below the chart, and in full on hover.
		std::string label = lane.label;
		if (lane.application_mark > 0)
			label += " [" + std::to_string(lane.application_mark) + "]";
		std::string hover = lane.label + (lane.application.empty() ? "" : " \xC2\xB7 " + lane.application);
		if (lanes.density_steps > 0)
		{
			double w = (width - left - right) / lanes.density_steps;
			for (size_t b = 0; b < lane.busy.size(); b++)
			{
				if (lane.busy[b] <= 0)
					continue;
				double h = std::max((lane_h - 4) * lane.busy[b] / busiest, 1.0);
				s += rect(left + static_cast<double>(b) * w, y + lane_h - 2 - h, w, h, "#a9bfd6",
				          "");
			}
		}
		s += "<text x=\"" + num(left - 6) + "\" y=\"" + num(y + lane_h / 2 + 4) +
		     "\" text-anchor=\"end\" class=\"lane\"><title>" + html_escape(hover) +
		     "</title>" + html_escape(label) + "</text>";
		for (const LaneBar &bar : lane.bars)
		{
			int depth = std::min(bar.depth, 4);
			double inset = 3 + depth * 3.5;
			double x = x_of(bar.lo, t0, t1);
			double w = std::max(x_of(bar.hi, t0, t1) - x, 1.0);
			std::string what =
			    bar.rank > 0 && bar.rank <= static_cast<int>(short_texts.size())
			        ? "#" + std::to_string(bar.rank) + " " + short_texts[bar.rank - 1]
			        : std::string("a statement outside the top ones");
			if (what.size() > 160)
				what = what.substr(0, 157) + "...";
			std::string title = what + " \xE2\x80\x94 " + human_ms(bar.ms) +
			                    (bar.depth > 0 ? ", run by the statement around it" : "") +
			                    (bar.failed ? ", failed" : "");
			s += rect(x, y + inset, w, std::max(lane_h - 2 * inset, 3.0), statement_colour(bar.rank),
			          title,
			          " data-depth=\"" + std::to_string(bar.depth) + "\" class=\"bar" +
			              (bar.failed ? " failed" : "") + "\"");
		}
	}
	return s + "</svg>";
}

std::string histogram_svg(const std::vector<long long> &bins, int first, int last, int rank,
                          bool labels)
{
	int count = std::max(last - first + 1, 1);
	double w = labels ? 360 : 96;
	double h = labels ? 70 : 26;
	double base = labels ? h - 16 : h - 1;
	double bar = w / count;
	long long most = 1;
	for (int i = first; i <= last; i++)
		most = std::max(most, bins[static_cast<size_t>(i)]);

	std::string s = "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"hist\" width=\"" + num(w) +
	                "\" height=\"" + num(h) + "\" viewBox=\"0 0 " + num(w) + " " + num(h) + "\">";
	s += line(0, base, w, base, "axis");
	for (int i = first; i <= last; i++)
	{
		long long n = bins[static_cast<size_t>(i)];
		double x = (i - first) * bar;
		if (n > 0)
		{
			// A square root keeps rare slow calls visible next to many fast ones.
			double bh = std::max(
			    (base - 2) * std::sqrt(static_cast<double>(n) / static_cast<double>(most)), 1.5);
			s += rect(x + 0.5, base - bh, bar - 1, bh, statement_colour(rank),
			          histogram_bin_bound(i) + " to " + histogram_bin_bound(i + 1) + ": " +
			              with_separators(n) + " calls");
		}
		if (labels && i % 2 == 0)
			s += text(x, h - 3, "start", "tick", histogram_bin_bound(i));
	}
	return s + "</svg>";
}
