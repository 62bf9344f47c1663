// The page's look: quiet colours, tabular numbers, one accent per statement.
// No "<" or "&" in here: the page must stay well-formed XML.
#include "writers.hpp"

const char *const page_style = R"CSS(
:root { --ink: #1c2632; --muted: #64707f; --line: #e2e6ec; --bg: #f3f5f8; --card: #ffffff;
        --head: #1d3a57; --hot: #c43d40; --warm: #fdf1e7; }
* { box-sizing: border-box; }
body { margin: 0; background: var(--bg); color: var(--ink);
       font: 14px/1.45 system-ui, -apple-system, "Segoe UI", Roboto, "Helvetica Neue", Arial, sans-serif; }
.wrap { max-width: 1200px; margin: 0 auto; padding: 0 24px; }
header.page { background: var(--head); color: #fff; padding: 20px 0 18px; }
header.page .kicker { font-size: 12px; letter-spacing: .09em; text-transform: uppercase; opacity: .7; }
header.page h1 { margin: 4px 0 4px; font-size: 25px; font-weight: 600; }
header.page .sub { font-size: 13px; opacity: .85; }
header.page code { background: rgba(255,255,255,.12); color: #fff; padding: 1px 6px; border-radius: 4px; }
section { background: var(--card); border: 1px solid var(--line); border-radius: 8px;
          padding: 16px 22px 18px; margin: 18px 0; }
h2 { font-size: 17px; margin: 0 0 12px; }
h2 .count { color: var(--muted); font-weight: 400; font-size: 14px; }
h3 { font-size: 15px; margin: 0 0 10px; }
h4 { font-size: 13px; margin: 16px 0 6px; color: var(--muted); font-weight: 600; }
.muted { color: var(--muted); }
.tiles { display: grid; grid-template-columns: repeat(6, 1fr); gap: 12px; margin-bottom: 14px; }
.tile { border: 1px solid var(--line); border-radius: 6px; padding: 10px 12px; background: #fafbfc; }
.tile .k { color: var(--muted); font-size: 11px; text-transform: uppercase; letter-spacing: .05em; }
.tile .v { font-size: 21px; font-weight: 600; margin: 2px 0; white-space: nowrap; }
.tile .s { color: var(--muted); font-size: 12px; }
table { border-collapse: collapse; width: 100%; }
th, td { padding: 5px 8px; border-bottom: 1px solid var(--line); text-align: left; vertical-align: middle; }
th { font-size: 11px; color: var(--muted); font-weight: 600; text-transform: uppercase; letter-spacing: .04em;
     white-space: nowrap; }
td.n, th.n { text-align: right; font-variant-numeric: tabular-nums; white-space: nowrap; }
table.facts { width: auto; }
table.facts th { text-align: left; padding-right: 18px; }
table.facts td { border-bottom: 1px solid var(--line); }
.facts-wrap { display: grid; grid-template-columns: 1fr 1fr; gap: 0 28px; }
code, pre, .mono { font-family: ui-monospace, SFMono-Regular, Menlo, Consolas, "DejaVu Sans Mono", monospace;
                   font-size: 12.5px; }
pre { background: #f6f8fa; border: 1px solid var(--line); border-radius: 6px; padding: 10px 12px;
      margin: 6px 0; overflow: auto; white-space: pre-wrap; word-break: break-word; }
pre.sql { max-height: 320px; }
.notes { border-left: 4px solid #e0a100; background: #fffaf0; }
.notes ul { margin: 0; padding-left: 20px; }
.notes li { margin: 4px 0; }
svg.chart { width: 100%; height: auto; display: block; }
svg text { font-family: system-ui, -apple-system, "Segoe UI", Roboto, Arial, sans-serif; }
svg .tick { font-size: 11px; fill: var(--muted); }
svg .panel { font-size: 12px; fill: var(--ink); font-weight: 600; }
svg .lane { font-size: 11.5px; fill: var(--ink); }
svg .grid { stroke: #e6e9ee; stroke-width: 1; }
svg .axis { stroke: #9aa4b1; stroke-width: 1; }
svg rect.bar { stroke: rgba(0,0,0,.25); stroke-width: .4; }
.legend { color: var(--muted); font-size: 12px; margin: 8px 0 0; }
.legend .swatch { margin-left: 10px; }
.swatch { display: inline-block; width: 10px; height: 10px; border-radius: 2px; margin-right: 6px; }
table.top { font-size: 13px; }
table.top th, table.top td { padding: 5px 5px; }
table.top td.text { width: 290px; max-width: 290px; }
table.top td.text a { display: -webkit-box; -webkit-line-clamp: 2; -webkit-box-orient: vertical;
                      overflow: hidden; word-break: break-word; line-height: 1.35; }
table.top td.text a { color: var(--ink); text-decoration: none; }
table.top td.text a:hover { text-decoration: underline; }
table.top tr.others td { color: var(--muted); font-style: italic; }
table.top td.h { padding: 2px 6px; }
.share { display: inline-block; width: 36px; height: 6px; background: #e9edf2; border-radius: 3px;
         vertical-align: middle; margin-left: 6px; overflow: hidden; }
.share span { display: block; height: 100%; background: #3b75af; }
article.stmt { border-top: 1px solid var(--line); padding: 16px 0 6px; }
article.stmt:first-of-type { border-top: 0; padding-top: 4px; }
.stmt-grid { display: grid; grid-template-columns: 1fr 380px; gap: 18px; align-items: start; }
dl.metrics { display: grid; grid-template-columns: repeat(4, auto 1fr); gap: 4px 10px; margin: 0; font-size: 13px; }
dl.metrics dt { color: var(--muted); }
dl.metrics dd { margin: 0; font-variant-numeric: tabular-nums; font-weight: 600; }
.hist-box { font-size: 11px; color: var(--muted); }
table.plan td { border-bottom: 1px solid #eef1f4; padding: 3px 8px; font-size: 12.5px; }
table.plan td.node { font-family: ui-monospace, SFMono-Regular, Menlo, Consolas, "DejaVu Sans Mono", monospace; }
table.plan td.node .detail { display: block; color: var(--muted); font-size: 11.5px; white-space: normal; }
table.plan tr.hot td { background: var(--warm); }
table.plan tr.hot td.self { color: var(--hot); font-weight: 700; }
.bar-cell { width: 110px; }
.pbar { display: block; height: 8px; background: #eef1f4; border-radius: 4px; overflow: hidden; }
.pbar span { display: block; height: 100%; background: #ef8636; }
tr.hot .pbar span { background: var(--hot); }
pre.plan { white-space: pre; overflow-x: auto; }
pre.plan .gut { color: var(--muted); }
pre.plan .hot { background: var(--warm); color: var(--hot); font-weight: 700; }
.answer { border-left: 4px solid var(--head); }
.answer p { margin: 4px 0; }
.answer .headline { font-size: 16px; }
.answer .big { font-size: 24px; font-weight: 700; color: var(--hot); }
.answer .then { color: var(--muted); font-size: 13px; }
.answer a { color: var(--ink); }
table.top td.text .where { display: block; color: var(--muted); font-size: 11.5px; }
.breakdowns { display: grid; grid-template-columns: repeat(3, minmax(0, 1fr)); gap: 0 20px; margin-top: 14px; }
table.breakdown { font-size: 12px; }
table.breakdown th, table.breakdown td { padding: 4px 5px; }
table.breakdown td.name { word-break: break-word; }
.tplan { font-family: ui-monospace, SFMono-Regular, Menlo, Consolas, "DejaVu Sans Mono", monospace;
         font-size: 12.5px; background: #f6f8fa; border: 1px solid var(--line); border-radius: 6px;
         padding: 8px 10px; margin: 6px 0; }
.tplan .pl { display: grid; grid-template-columns: 6ch 1fr; gap: 0 10px; }
.tplan .gut { color: var(--muted); text-align: right; }
.tplan .code { white-space: pre-wrap; word-break: break-word; }
.tplan .pl.hot { background: var(--warm); color: var(--hot); font-weight: 700; }
details.variants { margin: 6px 0; }
details.variants summary { cursor: pointer; color: var(--muted); }
table.variants td code { white-space: normal; word-break: break-word; }
.jit { font-size: 12.5px; margin: 6px 0; }
ul.plan-notes { font-size: 12.5px; margin: 6px 0; }
pre.sql.own { max-height: 160px; }
svg rect.bar.failed { stroke: #d62728; stroke-width: 1.6; }
svg .group { font-size: 12px; font-weight: 700; fill: var(--head); }
.failed { color: #b42318; font-size: 12px; }
table.top td.text .failed { display: block; }
p.failed { font-size: 13px; }
table.failures { font-size: 12.5px; margin-bottom: 8px; }
table.failures td.msg { word-break: break-word; }
table.failures td.text code { white-space: normal; word-break: break-word; }
table.servers { font-size: 12.5px; margin: 6px 0 14px; }
table.servers td.server { white-space: nowrap; }
table.servers .where { display: block; color: var(--muted); font-size: 11.5px; }
.split { display: flex; width: 80px; height: 8px; border-radius: 4px; overflow: hidden; background: #e9edf2; }
.split span { display: block; height: 100%; }
.tplan.changes .pl { grid-template-columns: 6ch 11ch 1fr; }
.tplan .chg, td.change { color: var(--muted); font-variant-numeric: tabular-nums; white-space: nowrap; }
.tplan .pl.grew, table.plan tr.grew td { background: #fde8e8; }
.tplan .pl.grew .chg, table.plan tr.grew td.change { color: #b42318; font-weight: 700; }
.sides { display: grid; grid-template-columns: 1fr 1fr; gap: 14px; align-items: start; }
.sides > div { min-width: 0; }
.sides .tplan, .sides table.plan { font-size: 11.5px; }
table.compare td.ratio.up { color: #b42318; font-weight: 700; }
table.compare td.ratio.down { color: #2f7d32; }
table.compare td.text { max-width: 360px; }
table.compare td.text code { white-space: normal; word-break: break-word; }
.tag { display: inline-block; font-size: 11px; padding: 0 6px; border-radius: 8px; background: #e9edf2;
       color: var(--muted); margin-right: 4px; }
.tag.slower { background: #fde8e8; color: #b42318; }
.tag.new { background: #e6f0fa; color: #1d3a57; }
.tag.gone { background: #eef1f4; color: var(--muted); }
footer { color: var(--muted); font-size: 12px; padding: 6px 0 30px; }
footer p { margin: 6px 0; }
@media (max-width: 900px) { .tiles { grid-template-columns: repeat(2, 1fr); }
                            .stmt-grid, .facts-wrap, .breakdowns, .sides { grid-template-columns: 1fr; } }
@media print { body { background: #fff; } section { border: 0; } }
)CSS";
