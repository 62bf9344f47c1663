# vireo-report end to end: a text and a JSON trace of known statements
# (nested SQL functions, a prepared statement, a slow sort, a statement
# blocked on a lock, a CTE, an InitPlan and a SubPlan, two sessions), and a
# simple-protocol pgbench trace, reported in every format; the numbers are
# checked against the trace's records read with SQL of our own, the page
# parsed as XML, CSV and JSON with standard parsers, and the ways a report
# can fail or find nothing.
use strict;
use warnings;
use Digest::MD5 qw(md5_hex);
use Encode qw(decode);
use IPC::Run;
use JSON::PP;
use Text::CSV;
use PostgreSQL::Test::Cluster;
use PostgreSQL::Test::Utils;
use Test::More;
use FindBin;
use lib "$FindBin::RealBin/lib";
use VireoCompat;

program_help_ok('vireo-report');
program_version_ok('vireo-report');
program_options_handling_ok('vireo-report');

my $node = PostgreSQL::Test::Cluster->new('report');
$node->init;
$node->append_conf('postgresql.conf', "shared_preload_libraries = 'vireo'");
$node->start;
$node->safe_psql(
	'postgres', q{
CREATE EXTENSION vireo;
CREATE ROLE alice LOGIN;
CREATE ROLE bob LOGIN;
CREATE TABLE items(id int PRIMARY KEY, grp int, label text);
INSERT INTO items SELECT g, g % 10, md5(g::text) FROM generate_series(1, 20000) g;
GRANT SELECT ON items TO alice;
CREATE FUNCTION inner_label(i int) RETURNS text LANGUAGE sql
	AS $$ SELECT 1; SELECT label FROM items WHERE id = i $$;
CREATE FUNCTION outer_labels(g int) RETURNS bigint LANGUAGE sql
	AS $$ SELECT count(inner_label(id)) FROM items WHERE id BETWEEN g * 10 AND g * 10 + 3 $$;
CREATE FUNCTION one(i int) RETURNS int LANGUAGE sql AS $$ SELECT 1; SELECT i $$;
});
$node->safe_psql('postgres', 'CREATE DATABASE noext');
# A database whose vr_trace_records returns its pid as bigint: the report
# must refuse its rows rather than read them as the record's.
$node->safe_psql('postgres', 'CREATE DATABASE oddtypes');
$node->safe_psql('oddtypes', 'CREATE EXTENSION vireo; ALTER EXTENSION vireo DROP FUNCTION vr_trace_records(text);
	ALTER FUNCTION vr_trace_records(text) RENAME TO real_records');
my $odd = $node->safe_psql('oddtypes', "SELECT pg_get_function_result('real_records(text)'::regprocedure)");
my @odd_names = map { (split ' ')[0] } split /, /, ($odd =~ /^TABLE\((.*)\)$/)[0];
$odd =~ s/\bpid integer\b/pid bigint/ or die "no pid column in $odd";
$node->safe_psql('oddtypes', "CREATE FUNCTION vr_trace_records(text) RETURNS $odd LANGUAGE sql AS
	'SELECT pid::int8, " . join(', ', @odd_names[ 1 .. $#odd_names ]) . " FROM public.real_records(\$1)'");
my $dir = PostgreSQL::Test::Utils::tempdir;

# Runs vireo-report against the node: exit status, standard output, error.
sub report
{
	my ($out, $err) = ('', '');
	IPC::Run::run([ 'vireo-report', '-h', $node->host, '-p', $node->port, '-d', 'postgres', @_ ],
		'>', \$out, '2>', \$err);
	return ($? >> 8, $out, $err);
}

sub report_json
{
	my ($rc, $out, $err) = report(@_, '-f', 'json', '-o', '-');
	is("$rc|$err", '0|', "json report (@_)") or return {};
	return decode_json($out);
}

# A text and a JSON trace of alice, recording the same workload.
my $activate = "SELECT vr_activate('report test', ARRAY['alice'::regrole::oid])";
my $text_id = $node->safe_psql('postgres', $activate);
my $json_id = $node->safe_psql('postgres', "SET vireo.explain_format = json; $activate");
my $sort = 'SELECT count(*) FROM (SELECT md5(label || g) AS k FROM items, generate_series(1, 10) g ORDER BY k) s;';
my %shape = (
	cte => 'WITH RECURSIVE t(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM t WHERE n < 20000) SELECT count(*) FROM t;',
	init => 'SELECT count(*) FROM items WHERE grp > (SELECT avg(grp) FROM items);',
	sub => 'SELECT sum((SELECT count(*) FROM items i2 WHERE i2.id = g.n AND i2.grp = 3)) FROM generate_series(1, 3000) g(n);');
my %fragment = (cte => 'WITH RECURSIVE', init => 'avg(grp)', sub => 'i2.id = g.n');
$node->safe_psql(
	'postgres', qq{
SET application_name = 'report-a';
SET max_parallel_workers_per_gather = 0;
SELECT outer_labels(5);
PREPARE by_grp(int) AS SELECT count(*) FROM items WHERE grp = \$1;
EXECUTE by_grp(1);
EXECUTE by_grp(2);
EXECUTE by_grp(3);
SET work_mem = '64kB';
$sort
SELECT count(*)
  FROM items
 WHERE grp = 4;
$shape{cte}
$shape{init}
$shape{sub}
}, extra_params => [ '-U', 'alice' ]);

# Session b's first statement reads the table (its buffers come from the
# plan: no earlier record to subtract from); its second waits 2 s for a
# lock that the untraced superuser holds.
my $bs = $node->background_psql('postgres', extra_params => [ '-U', 'alice' ]);
$bs->query_safe("SET application_name = 'report-b'; SELECT count(*) FROM items WHERE grp = 7;");
my $b_pid = (split /\n/, $bs->query_safe('SELECT pg_backend_pid();'))[-1];
my $locker = $node->background_psql('postgres');
$locker->query_safe('BEGIN; LOCK TABLE items IN ACCESS EXCLUSIVE MODE;');
$bs->query_until(qr/blocked/, "\\echo blocked\nSELECT count(*) FROM items WHERE grp = 8;\n");
$node->poll_query_until('postgres',
	"SELECT count(*) = 1 FROM pg_stat_activity WHERE wait_event_type = 'Lock' AND pid = $b_pid")
  or die 'the statement did not wait for the lock';
sleep 2;
$locker->query_safe('COMMIT;');
$bs->query_safe('SELECT 1;');
$bs->quit;
$node->safe_psql('postgres', "SELECT vr_deactivate('$text_id')");
$node->safe_psql('postgres', "SET vireo.explain_format = json; SELECT vr_deactivate('$json_id')");

# Every record of the text trace as SQL reads it: the elapsed time from
# start to end, capped at the next start of the session, and whether a
# later record of the session started no later (its caller).
my $check = $node->background_psql('postgres');
$check->query_safe("SELECT vr_load_trace('$text_id')");
my @rows;
for my $line (split /\n/, $check->query_safe(q{
	WITH r AS (SELECT *, lead(start_time) OVER (PARTITION BY pid ORDER BY end_time) AS next_start,
	                  min(start_time) OVER (PARTITION BY pid ORDER BY end_time DESC
	                                        ROWS BETWEEN UNBOUNDED PRECEDING AND 1 PRECEDING) AS later_start,
	                  row_number() OVER (PARTITION BY pid ORDER BY end_time) AS n
	             FROM _vr_tmp_view_data)
	SELECT pid, n, extract(epoch FROM (CASE WHEN next_start > start_time AND next_start < end_time
	                                        THEN next_start ELSE end_time END) - start_time) * 1000,
	       duration, rows_updated, shared_blk_hit, shared_blk_read, tmp_blk_read, tmp_blk_written,
	       vol_contx_switch, invol_contx_switch, page_faults, page_reclaims,
	       coalesce(later_start <= start_time, false), encode(convert_to(query, 'UTF8'), 'hex'),
	       encode(convert_to(explain, 'UTF8'), 'hex')
	  FROM r ORDER BY pid, n}))
{
	my %r;
	@r{qw(pid n elapsed exec rows hit read tmp_rd tmp_wr csw_vol csw_inv majflt minflt nested query plan)} =
	  split /\|/, $line;
	$r{$_} = pack('H*', $r{$_}) for qw(query plan);
	push @rows, \%r;
}
my %by_pid;
push @{ $by_pid{ $_->{pid} } }, $_ for @rows;

# Buffers of a record: its plan's top node, else the difference to the
# previous record of the process when no counter went down, else none.
for my $list (values %by_pid)
{
	my $prev;
	for my $r (@$list)
	{
		my $lines = 0;
		for my $line (split /\n/, $r->{plan})
		{
			next if !$lines++;
			last if $line =~ /^\S|^\s*(->|CTE |InitPlan |SubPlan )/;
			if ($line =~ /^\s+Buffers: (.*)/)
			{
				my $buffers = $1;
				$r->{from} = 'plan';
				($r->{bhit}) = $buffers =~ /shared hit=(\d+)/;
				($r->{bread}) = $buffers =~ /shared [^,]*read=(\d+)/;
				($r->{btr}) = $buffers =~ /temp read=(\d+)/;
				($r->{btw}) = $buffers =~ /temp [^,]*written=(\d+)/;
				last;
			}
		}
		$r->{from} ||= 'plan' if $r->{plan} =~ /\(actual /;
		if (!$r->{from})
		{
			my $same = $prev && !grep { $r->{$_} < $prev->{$_} } qw(hit read tmp_rd tmp_wr);
			$r->{from} = $same ? 'difference' : 'unknown';
			@$r{qw(bhit bread btr btw)} =
			  $same ? map { $r->{$_} - $prev->{$_} } qw(hit read tmp_rd tmp_wr) : (0, 0, 0, 0);
		}
		$r->{$_} //= 0 for qw(bhit bread btr btw);
		$prev = $r;
	}
}

sub near
{
	my ($got, $want, $name, $decimals) = @_;
	ok(abs($got - $want) <= 1.01 * 10**-$decimals, "$name: $got is $want")
	  or diag("got $got, expected $want");
}

# percentile_cont over a list of numbers.
sub percentile
{
	my ($q, @d) = @_;
	@d = sort { $a <=> $b } @d;
	my $at = $q * $#d;
	my $low = int($at);
	return $d[$low] + ($at - $low) * (($d[ $low + 1 ] // $d[$low]) - $d[$low]);
}

# The calls as the report gives them, matched to the records by pid and
# order, then summed per statement here and compared with its statements.
my $doc = report_json($text_id, '--calls');
is(scalar @{ $doc->{calls} }, scalar @rows, 'one call per record');
my (%n, %group, %key_of_text);
for my $c (@{ $doc->{calls} })
{
	my $r = $by_pid{ $c->{pid} }[ $n{ $c->{pid} }++ ] or next;
	my $what = substr($r->{query} =~ s/\s+/ /gr, 0, 40);
	is(join(',', @$c{qw(rows shared_hit shared_read temp_read temp_written buffers_from)}),
		join(',', @$r{qw(rows bhit bread btr btw from)}), "call of $what: rows and buffers");
	near($c->{elapsed_ms}, $r->{elapsed}, "elapsed of $what", 3);
	near($c->{execution_ms}, $r->{exec}, "execution of $what", 5);
	$key_of_text{ md5_hex($r->{query}) }{ $c->{statement} } = 1;
	push @{ $group{ $c->{statement} } }, $r;
}
is(scalar(grep { keys %$_ == 1 } values %key_of_text), scalar keys %key_of_text,
	'every text belongs to one statement');
is(scalar @{ $doc->{statements} }, scalar keys %group, 'one statement per key of the calls');
for my $s (@{ $doc->{statements} })
{
	my @g = @{ $group{ $s->{statement} } || [] };
	my $what = substr($s->{query} =~ s/\s+/ /gr, 0, 40);
	my %sum;
	for my $r (@g)
	{
		$sum{$_} += $r->{$_} for qw(rows bhit bread btr btw csw_vol csw_inv majflt minflt elapsed exec);
	}
	my %pids = map { $_->{pid} => 1 } @g;
	my @hist = (0) x 16;
	for my $r (@g)
	{
		my $bin = int((log($r->{elapsed} > 0.001 ? $r->{elapsed} : 0.001) / log(10) + 3) * 2 + 1e-9);
		$hist[ $bin < 0 ? 0 : $bin > 15 ? 15 : $bin ]++;
	}
	is(join(',', @$s{qw(calls rows shared_hit shared_read temp_read temp_written csw_voluntary
			csw_involuntary faults_major faults_minor sessions)}, @{ $s->{histogram} }),
		join(',', scalar @g, @sum{qw(rows bhit bread btr btw csw_vol csw_inv majflt minflt)},
			scalar keys %pids, @hist),
		"counts and histogram of $what");
	near($s->{elapsed_ms}, $sum{elapsed}, "elapsed of $what", 3);
	near($s->{execution_ms}, $sum{exec}, "execution of $what", 5);
	near($s->{p95_elapsed_ms}, percentile(0.95, map { $_->{elapsed} } @g), "p95 of $what", 3);
	near($s->{max_elapsed_ms}, (sort { $b <=> $a } map { $_->{elapsed} } @g)[0], "max of $what", 3);
}
my @elapsed = map { $_->{elapsed_ms} } @{ $doc->{statements} };
is_deeply(\@elapsed, [ sort { $b <=> $a } @elapsed ], 'statements are ranked by elapsed time');
my $top_level = 0;
$top_level += $_->{elapsed} for grep { $_->{nested} eq 'f' } @rows;
is(join(',', @{ $doc->{overview} }{qw(statements nested sessions)}),
	join(',', scalar @rows, scalar(grep { $_->{nested} eq 't' } @rows), scalar keys %by_pid),
	'the overview counts statements, nested ones and sessions');
near($doc->{overview}{elapsed_ms}, $top_level, 'elapsed time of the top-level statements', 3);
is($doc->{overview}{nested}, 9, 'the outer function body and two statements for each of four inner calls are nested');

# The blocked statement: 2 s elapsed, little of it in the executor; the
# first statement of session b: buffers from its plan, not 0.
my ($blocked) = grep { $_->{query} =~ /grp = \$1/ && $_->{max_elapsed_ms} >= 2000 } @{ $doc->{statements} };
ok($blocked && $blocked->{max_execution_ms} < 1000, 'a statement blocked 2 s on a lock: its elapsed time holds the wait, its execution time does not');
my ($first_b) = grep { $_->{pid} == $b_pid } @{ $doc->{calls} };
ok($first_b->{buffers_from} eq 'plan' && $first_b->{shared_hit} + $first_b->{shared_read} > 0,
	"the first statement of a session has its plan's buffers ($first_b->{shared_hit} hits, $first_b->{shared_read} reads)");
is($doc->{overview}{unknown_buffers}, 0, 'every statement has buffer numbers');

# CSV: the same statements and calls, as a standard parser reads them.
my $csv = Text::CSV->new({ binary => 1 });
for my $case ([ [], 'statements', 'statement' ], [ ['--calls'], 'calls', 'statement' ])
{
	my ($args, $what, $column) = @$case;
	my ($rc, $out) = report($text_id, '-f', 'csv', '-o', '-', @$args);
	open(my $fh, '<', \$out) or die;
	my $head = $csv->getline($fh);
	$csv->column_names(@$head);
	my @got;
	while (my $row = $csv->getline_hr($fh)) { push @got, $row; }
	ok($csv->eof, "the CSV of the $what parses to its end");
	is(join(',', map { $_->{$column} } @got), join(',', map { $_->{statement} } @{ $doc->{$what} }),
		"the CSV has the $what of the JSON, in order");
	is(scalar(grep { $_->{query} =~ /\n/ } @got) > 0, 1, "texts with line feeds stay in one field ($what)") if $what eq 'calls';
}

# The page: well-formed, the answer first, the top table with the numbers.
my $page = "$dir/report.html";
my ($rc, $out, $err) = report($text_id, '-o', $page, '--top', '50');
is("$rc|$err", '0|', 'the page is written');
is((stat $page)[2] & 07777, 0600, 'a new report is readable by its owner only');
command_ok([ 'xmllint', '--noout', $page ], 'the page parses as XML');
my $html = slurp_file($page);
unlike($html, qr/<script|src="http|href="http/i, 'the page needs no script and fetches nothing');
my $share = sprintf('%.1f%%', $doc->{statements}[0]{share});
like($html, qr/<main[^>]*>\s*<section class="answer"[^>]*><p class="headline"><span class="big">\Q$share\E<\/span>/,
	'the page opens with the top statement\'s share');
ok(index($html, 'id="answer"') < index($html, 'id="top"') && index($html, 'id="top"') < index($html, 'id="overview"'),
	'the answer, then the ranked table, then the overview');
unlike($html, qr/Partial data/, 'no "Partial data" when nothing is partial');
my @v = map { [ /data-v="([^"]*)"/g ] } $html =~ m{<tr id="row\d+".*?</tr>}g;
is(scalar @v, scalar @{ $doc->{statements} }, 'the top table has a row for every statement');
near($v[0][1], $doc->{statements}[0]{elapsed_ms}, 'page elapsed of #1', 5);

# The lanes: a bar per statement, the function bodies inside their caller.
my @depths = $html =~ /data-depth="(\d+)" class="bar"/g;
is(scalar @depths, scalar @rows, 'a bar for every statement');
is(scalar(grep { $_ > 0 } @depths), 9, 'the bars of the function bodies are nested');
ok(!grep({ $_ > 2 } @depths), 'no deeper than the functions go');
like($html, qr/<b>\[1\]<\/b> report-a/, 'the applications are named in a legend');

# The text summary: a ranked table fitted to the width, then the blocks.
{
	local $ENV{COLUMNS} = 90;
	($rc, $out) = report($text_id, '-f', 'text');
}
my ($table) = $out =~ /\n(\s+#\s+calls\s+elapsed.*?)\n\n/s;
my @wide = grep { length(decode('UTF-8', $_)) > 90 } split /\n/, $out;
ok($table && $table =~ /^\s+1 /m, 'the text begins with a ranked table');
ok(!@wide, 'every line of the text fits 90 columns') or diag(join "\n", @wide);
like($out, qr/\n#1 .*\n#2 /s, 'then one block per statement');

# Streamed (vr_trace_records) and loaded (--load): the same numbers, every
# call, p95, histograms and lanes alike; only when the page was made, how
# the records were read and when differ.
SKIP:
{
	skip 'the extension has no vr_trace_records', 2
	  unless $node->safe_psql('postgres', "SELECT to_regprocedure('vr_trace_records(text)') IS NOT NULL") eq 't';
	my @json = map { (report($text_id, '-f', 'json', '--calls', '-o', '-', @$_))[1] =~ s/"read_at": "[^"]*"//r } [], ['--load'];
	is($json[0], $json[1], 'streamed and loaded: the same statements and calls');
	my @html = map {
		(report($text_id, '-o', '-', '--top', '50', @$_))[1]
		  =~ s/generated [^<]*|<tr><th>(?:Streamed|Loaded)<\/th><td>[^<]*|Made by vireo-report from .*?<\/p>//gr
	} [], ['--load'];
	is($html[0], $html[1], 'and the same page');
}

# Plan shares: CTE Scans, InitPlans and SubPlans count each node's time
# once.  Expected self times from the recorded plan's own totals, node by
# node in plan order: [label pattern, node indexes whose totals are
# subtracted].
my %split = (
	cte => [ [ qr/^Aggregate/, 4 ], [ qr/Recursive Union/, 2, 3 ], [ qr/^Result/ ], [ qr/WorkTable Scan/ ],
		[ qr/CTE Scan/, 1 ] ],
	init => [ [ qr/^Aggregate/, 3 ], [ qr/^Aggregate/, 2 ], [ qr/Scan/ ], [ qr/Scan/, 1 ] ],
	sub => [ [ qr/^Aggregate/, 1, 2 ], [ qr/Function Scan/ ], [ qr/^Aggregate/, 3 ], [ qr/Index Scan/ ] ]);
for my $format ('text', 'json')
{
	my $id = $format eq 'json' ? $json_id : $text_id;
	my $file = "$dir/split-$format.html";
	report($id, '-o', $file, '--top', '50');
	my $page = slurp_file($file);
	for my $name (sort keys %split)
	{
		my $plan = $node->safe_psql('postgres', "SET vireo.explain_format = $format; SELECT vr_load_trace('$id');
			SELECT explain FROM _vr_tmp_view_data WHERE query = \$q\$$shape{$name}\$q\$");
		$plan =~ s/^t\n//;
		my @totals;
		if ($format eq 'json')
		{
			my @todo = (decode_json($plan)->{Plan});
			while (my $n = shift @todo)
			{
				push @totals, [ $n->{'Node Type'}, $n->{'Actual Total Time'} * $n->{'Actual Loops'} ];
				unshift @todo, @{ $n->{Plans} || [] };
			}
		}
		else
		{
			@totals = map { /^\s*(?:->\s+)?(.*?)  \(.*actual time=[\d.]+\.\.([\d.]+) rows=\S+ loops=(\d+)/ ? [ $1, $2 * $3 ] : () }
			  split /\n/, $plan;
		}
		my ($article) = $page =~ m{(<pre class="sql">[^<]*\Q$fragment{$name}\E.*?</article>)}s;
		my @self = ($article // '') =~ /(?:<tr|<div class="pl[^"]*")[^>]*data-self="([\d.]+)"/g;
		my @want = @{ $split{$name} };
		is(scalar @self, scalar @want, "$format $name: the page shows each node");
		is(scalar @totals, scalar @want, "$format $name: the plan has the expected nodes")
		  or diag(join "\n", map { $_->[0] } @totals);
		for my $i (0 .. $#want)
		{
			my ($label, @minus) = @{ $want[$i] };
			like($totals[$i][0], $label, "$format $name node $i is $label");
			my $expect = $totals[$i][1];
			$expect -= $totals[$_][1] for @minus;
			near($self[$i] // -1, $expect < 0 ? 0 : $expect, "$format $name: self time of $totals[$i][0]", 3);
		}
	}
}

# A simple-protocol pgbench run: its literals vary, its five statements do
# not.  The grouping is checked against SQL that replaces every number.
$node->safe_psql('postgres', 'ALTER DATABASE noext OWNER TO alice');
$node->command_ok([ 'pgbench', '-i', '-s', '1', '-q', '-U', 'alice', '-h', $node->host, '-p', $node->port, 'noext' ],
	'pgbench tables');
my $bench_id = $node->safe_psql('postgres', "SELECT vr_activate('pgbench', ARRAY['alice'::regrole::oid])");
$node->command_ok([ 'pgbench', '-n', '-M', 'simple', '-c', '2', '-t', '150', '-U', 'alice', '-h', $node->host,
		'-p', $node->port, 'noext' ], 'a simple-protocol pgbench run');
$node->safe_psql('postgres', "SELECT vr_deactivate('$bench_id')");
$check->query_safe("SELECT vr_load_trace('$bench_id')");
my %want = map { split /\|/ } split /\n/, $check->query_safe(q{
	SELECT regexp_replace(q.query, '-?[0-9]+', 'N', 'g'), count(*) FROM _vr_tmp_view_data q
	  JOIN _vr_tmp_tbl_traces t ON t.id = q.trace_id WHERE t.trace = '} . $bench_id . q{'
	   AND q.query ~ '^(UPDATE|INSERT|SELECT abalance)' GROUP BY 1});
$doc = report_json($bench_id, '--database', 'noext');
my %got = map { ($_->{query} =~ s/\$\d+/N/gr) => $_->{calls} }
  grep { $_->{query} =~ /^(UPDATE|INSERT|SELECT abalance)/ } @{ $doc->{statements} };
is(scalar keys %want, 5, 'pgbench runs five statements with varying literals');
is_deeply(\%got, \%want, 'the report has one statement for each, with its calls');
ok($doc->{statements}[0]{distinct_texts} > 1, 'a statement counts its distinct texts');

# The same text in two databases is two statements unless merged.
my $two = $node->safe_psql('postgres', "SELECT vr_activate('two', ARRAY['alice'::regrole::oid])");
$node->safe_psql($_, 'SELECT 42 AS two_db', extra_params => [ '-U', 'alice' ]) for 'postgres', 'noext';
$node->safe_psql('postgres', "SELECT vr_deactivate('$two')");
is(scalar @{ report_json($two)->{statements} }, 2, 'one text in two databases: two statements');
my $merged = report_json($two, '--merge-databases');
is(join(',', scalar @{ $merged->{statements} }, $merged->{statements}[0]{calls},
		sort @{ $merged->{statements}[0]{databases} }), '1,2,noext,postgres', '--merge-databases: one');

# Before against after: lookups by an index, then the same lookups after
# the index is dropped; a statement only before, one only after.
$node->safe_psql('postgres', q{CREATE TABLE lookup AS SELECT g AS id, md5(g::text) AS v FROM generate_series(1, 50000) g;
	CREATE INDEX lookup_id ON lookup(id); ANALYZE lookup; GRANT SELECT ON lookup TO alice;});
my @phase;
for my $after (0, 1)
{
	push @phase, $node->safe_psql('postgres', "SELECT vr_activate('phase $after', ARRAY['alice'::regrole::oid])");
	$node->safe_psql('postgres', join('', map { "SELECT v FROM lookup WHERE id = $_;" } 1 .. 20)
		  . ($after ? 'SELECT 2 AS added;' : 'SELECT 1 AS removed;'), extra_params => [ '-U', 'alice' ]);
	$node->safe_psql('postgres', "SELECT vr_deactivate('$phase[-1]')");
	$node->safe_psql('postgres', 'DROP INDEX lookup_id') unless $after;
}
my $cmp = report_json('--compare', @phase);
my %row = map { ($_->{query} =~ /(lookup|removed|added)/)[0] => $_ } @{ $cmp->{statements} };
is(join(',', map { "$_:$row{$_}{status}" } sort keys %row), 'added:new,lookup:both,removed:gone',
	'compare: statements in both, new and gone, matched by normalized text');
# Each side's numbers are those of that trace's own report.
for my $side (0, 1)
{
	my ($own) = grep { $_->{statement} eq $row{lookup}{statement} } @{ report_json($phase[$side])->{statements} };
	my $got = $row{lookup}{ $side ? 'new' : 'old' };
	is(join(',', map { $got->{$_} } qw(calls mean_elapsed_ms p95_elapsed_ms elapsed_ms)),
		join(',', map { $own->{$_} } qw(calls mean_elapsed_ms p95_elapsed_ms elapsed_ms)),
		"compare: the " . ($side ? 'new' : 'old') . " numbers are those of its trace's report");
}
near($row{lookup}{mean_ratio}, $row{lookup}{new}{mean_elapsed_ms} / $row{lookup}{old}{mean_elapsed_ms},
	'compare: the change of the mean', 3);
ok($row{lookup}{slower} && $row{lookup}{mean_ratio} >= 2, 'a lookup without its index is at least 2x slower');
like(join(',', @{ $row{lookup}{grown_nodes} }), qr/^Seq Scan on lookup/, 'the node that grew most is the new scan');
($rc, $out) = report('--compare', @phase, '-o', "$dir/compare.html");
command_ok([ 'xmllint', '--noout', "$dir/compare.html" ], 'the comparison page parses as XML');
my ($article) = slurp_file("$dir/compare.html") =~ m{(<article class="stmt" id="c1".*?</article>)}s;
like($article, qr/<div class="sides">.*Index Scan using lookup_id.*<div class="pl[^"]* grew"[^>]*>.*Seq Scan on lookup/s,
	'both slowest plans side by side, the grown node marked');
($rc, $out) = report('--compare', @phase, '-f', 'text');
like($out, qr/^ *\^ new node .*Seq Scan on lookup/m, 'the text form marks it too');
($rc, $out) = report('--compare', @phase, '-f', 'csv', '-o', '-');
open(my $cfh, '<', \$out) or die;
$csv->column_names(@{ $csv->getline($cfh) });
my %status;
while (my $r = $csv->getline_hr($cfh)) { $status{ $r->{status} }++; }
is(join(',', map { "$_=$status{$_}" } sort keys %status), 'both=1,gone=1,new=1', 'the CSV has every statement once');

# Several traces: what is refused, and what a report of several servers
# does with one that cannot be reached.
my $free = PostgreSQL::Test::Cluster::get_free_port();
my $here = 'host=' . $node->host . ' port=' . $node->port;
my $nowhere = 'host=' . $node->host . " port=$free";
for my $case (
	[ 'plans of two formats', [ '--compare', $text_id, $json_id ], 1, qr/^vireo-report: trace $text_id has text plans and trace $json_id JSON plans: --compare needs two traces of one plan format\n\z/ ],
	[ 'the same server twice', [ '--source', $here, $text_id, '--source', 'port=' . $node->port, $text_id ], 1, qr/^vireo-report: --source (\S+) and --source \1 are the same server/ ],
	[ 'a trace missing on one source', [ '--source', $nowhere, $text_id, '--source', $here, '20200101000000000001' ], 1, qr/^vireo-report: trace 20200101000000000001 does not exist in the data directory of / ],
	[ 'no server reached', [ '--source', $nowhere, $text_id, '--source', "host=" . $node->host . ' port=' . ($free + 1), $text_id ], 1, qr/^vireo-report: none of the 2 servers could be reached/ ],
	[ 'a side of a comparison not reached', [ '--compare', '--source', $nowhere, $text_id, '--source', $here, $text_id ], 1, qr/^vireo-report: connection to server .*$free.* failed/ ],
	[ 'one trace to compare', [ '--compare', $text_id ], 2, qr/--compare takes two traces/ ],
	[ 'two traces on one server', [ $text_id, $json_id ], 2, qr/one trace per server/ ])
{
	my ($name, $args, $want, $message) = @$case;
	($rc, $out, $err) = report('-o', "$dir/several.html", @$args);
	is($rc, $want, "$name: exit $want");
	like($err, $message, "$name: says why in one line");
	ok(!-e "$dir/several.html", "$name: writes nothing");
}
($rc, $out, $err) = report('--source', $nowhere, $two, '--source', $here, $two, '-f', 'json', '-o', '-');
my $partial = $rc == 0 ? decode_json($out) : {};
like(join('|', @{ $partial->{overview}{notes} || [] }), qr/^\S+:$free could not be reached \(.*\): its trace $two is not in this report\./,
	'a server that cannot be reached is a line of "Partial data", the others make the report');
is(join(',', map { $_->{calls} } @{ $partial->{statements} || [] }), '1,1', 'with the reached server\'s statements');

# Where the report goes: a FIFO and a device are written through, a
# symlink is followed, an existing file keeps its mode.
my $fifo = "$dir/fifo";
system('mkfifo', $fifo) == 0 or die;
my $read = '';
my $reader = IPC::Run::start([ 'cat', $fifo ], '>', \$read);
($rc, $out, $err) = report($two, '-o', $fifo);
$reader->finish;
ok($rc == 0 && -p $fifo && $read =~ /<\/html>\n\z/, 'a FIFO is written through and stays a FIFO');
($rc) = report($two, '-o', '/dev/null');
ok($rc == 0 && -c '/dev/null', '/dev/null stays a device');
write_file("$dir/target.html", 'old');
chmod 0640, "$dir/target.html";
symlink("$dir/target.html", "$dir/link.html") or die;
($rc) = report($two, '-o', "$dir/link.html");
ok($rc == 0 && -l "$dir/link.html" && slurp_file("$dir/target.html") =~ /<\/html>\n\z/,
	'a symlink is followed: its target gets the report');
is((stat "$dir/target.html")[2] & 07777, 0640, 'an existing report keeps its mode');
report($two, '-o', "$dir/mode.html", '--mode', '644');
is((stat "$dir/mode.html")[2] & 07777, 0644, '--mode sets the mode of a new report');

# Crafted records of what the capture writes in other cases: a plan with a
# JIT section (text and JSON), notes instead of a plan (failed statements),
# one of them slower than an execution of the same statement with a plan.
my $oids = $node->safe_psql('postgres', "SELECT 'alice'::regrole::oid || ',' || oid FROM pg_database WHERE datname = 'postgres'");
my %crafted_plan = (
	text => [ "Result  (cost=0.00..0.01 rows=1 width=4) (actual time=5.100..5.101 rows=1 loops=1)\nJIT:\n  Functions: 2\n"
		  . "  Options: Inlining false, Optimization false, Expressions true, Deforming true\n"
		  . "  Timing: Generation 0.120 ms, Inlining 0.000 ms, Optimization 0.310 ms, Emission 4.500 ms, Total 4.930 ms",
		'Result  (cost=0.00..0.01 rows=1 width=4) (actual time=0.002..0.002 rows=1 loops=1)' ],
	json => [ '{"Plan": {"Node Type": "Result", "Plan Rows": 1, "Actual Total Time": 5.101, "Actual Rows": 1, "Actual Loops": 1}, '
		  . '"JIT": {"Functions": 2, "Timing": {"Generation": {"Deform": 0.05, "Total": 0.12}, "Inlining": 0.0, '
		  . '"Optimization": 0.31, "Emission": 4.5, "Total": 4.93}}}',
		'{"Plan": {"Node Type": "Result", "Plan Rows": 1, "Actual Total Time": 0.002, "Actual Rows": 1, "Actual Loops": 1}}' ]);
for my $format ('text', 'json')
{
	my $id = $node->safe_psql('postgres', "SET vireo.explain_format = $format; SELECT vr_activate('crafted', ARRAY['alice'::regrole::oid])");
	$node->safe_psql('postgres', "SET vireo.explain_format = $format; SELECT vr_deactivate('$id')");
	my ($jit, $fast) = map { s/"/""/gr } @{ $crafted_plan{$format} };
	my $record = sub {
		my ($second, $query, $plan, $ms) = @_;
		my $end = $second == 2 ? 9 : 5;
		return "2026-01-01 00:00:0$second.000000+00,2026-01-01 00:00:0$second.${end}00000+00,\"crafted\",$oids,1,"
		  . "\"$query\",$plan,$ms,1," . join(',', (0) x 10) . ',' . join(',', (0) x 8) . ",\n";
	};
	write_file($node->data_dir . "/traces/$id/trace-99999.csv",
		$record->(1, 'SELECT 1 AS jit', "\"$jit\"", '5.101000')
		  . $record->(2, 'SELECT 2 AS no_plan', '"vireo: statement failed: 40P01 deadlock detected"', '9.000000')
		  . $record->(3, 'SELECT 3 AS no_plan', "\"$fast\"", '0.002000')
		  . $record->(4, 'SELECT pg_sleep(5)', '"vireo: statement failed: 57014 canceling statement due to statement timeout"', '300.000000')
		  . $record->(5, 'SQL function ""atomic"" statement 2', "\"$fast\"", '0.002000'));
	($rc, $out) = report($id, '-f', 'text', '--top', '5');
	$out =~ s/\s+/ /g;
	like($out, qr/JIT: 2 functions; .*Total 4\.930? ms/, "$format: the JIT section is shown");
	like($out, qr/its record has no plan; the plan of the slowest execution that has one \(500\.0 ms, pid 99999\):[^#]*? Result/,
		"$format: an execution without a plan points to the slowest with one");
	like($out, qr/SELECT pg_sleep\(\$1\) .*slowest execution: .* vireo: statement failed: 57014 canceling statement due to statement timeout/,
		"$format: a note in place of the plan is shown as it is");
	like($out, qr/statements 5 \(4 normalized, 5 distinct texts, 0 nested\) in 1 session/,
		"$format: a BEGIN ATOMIC statement's place stands for its text, and is no text the parser failed on");

	# The two failed calls: counted per statement with their SQLSTATE, in
	# the failures by SQLSTATE (slowest first among the calls), marked in
	# the timeline and the lanes.
	my $doc = report_json($id);
	is(join(';', map { "$_->{failed_calls}:" . join(',', %{ $_->{sqlstates} }) }
			sort { $a->{query} cmp $b->{query} } grep { $_->{query} =~ /no_plan|pg_sleep/ } @{ $doc->{statements} }),
		'1:40P01,1;1:57014,1', "$format: each statement counts its failed calls by SQLSTATE");
	is(join(',', map { "$_->{sqlstate}=$_->{calls}" } @{ $doc->{failures}{by_sqlstate} }), '40P01=1,57014=1',
		"$format: the failures by SQLSTATE");
	is(join(',', map { "$_->{sqlstate}:$_->{message}" } @{ $doc->{failures}{slowest} }),
		'40P01:deadlock detected,57014:canceling statement due to statement timeout',
		"$format: the slowest failed calls first, with their messages");
	is($doc->{overview}{failed}, 2, "$format: the overview counts them");
	($rc, $out) = report($id, '-o', '-');
	like($out, qr/<section id="failed"><h2>Failed statements/, "$format: the page has a section of them");
	is(scalar(() = $out =~ /<rect [^>]*class="failed"/g), 2, "$format: the timeline marks them");
	is(scalar(() = $out =~ /class="bar failed"/g), 2, "$format: and so do their bars");
}

# Real records without plans: a trace that keeps plans only of statements of
# 150 ms or more, and one that samples half of the statements.
my $slow_plans = $node->safe_psql('postgres',
	"SET vireo.plan_min_duration = 150; SELECT vr_activate('slow plans', ARRAY['alice'::regrole::oid])");
my $half = $node->safe_psql('postgres',
	"SET vireo.sample_rate = 0.5; SELECT vr_activate('half', ARRAY['alice'::regrole::oid])");
$node->safe_psql('postgres', 'SELECT pg_sleep(0.01); SELECT pg_sleep(0.2); ' . ('SELECT count(*) FROM items WHERE grp = 3; ' x 20),
	extra_params => [ '-U', 'alice' ]);
$node->safe_psql('postgres', "SELECT vr_deactivate('$_')") for $slow_plans, $half;
($rc, $out) = report($slow_plans, '-f', 'text', '--top', '5');
$out =~ s/\s+/ /g;
like($out, qr/recorded: plans of the statements of 150\.0 ms and more only/, 'the overview says which records carry plans');
like($out, qr/FROM items WHERE grp = \$1; .*? no plan was recorded -/, 'a statement whose records carry no plan says so');
like($out, qr/SELECT pg_sleep\(\$1\); .*? slowest execution: 2\d\d\.\d ms .*? Result/,
	'the plan of the slowest execution is shown');
$doc = report_json($half);
is(join('|', $doc->{trace}{sample_rate}, $doc->{trace}{plan_min_duration_ms}), '0.5|-1', 'JSON: the sample rate and the plan threshold');
ok($doc->{overview}{statements} < 22, 'the counts of a sample are of recorded calls');
($rc, $out) = report($half, '-o', '-');
like($out, qr/Recorded<\/th><td>50% of the statements \(sampled\): calls are recorded calls</, 'the page shows the sample rate in its overview');

# Nothing to report: exit 3, one line, no output, what exists listed.
my $empty = $node->safe_psql('postgres', "SELECT vr_activate('empty', ARRAY['bob'::regrole::oid])");
$node->safe_psql('postgres', "SELECT vr_deactivate('$empty')");
my $gone = $node->safe_psql('postgres', "SELECT vr_activate('gone', ARRAY['alice'::regrole::oid])");
$node->safe_psql('postgres', 'SELECT 1', extra_params => [ '-U', 'alice' ]);
$node->safe_psql('postgres', "SELECT vr_deactivate('$gone')");
unlink glob($node->data_dir . "/traces/$gone/trace-*.csv");
for my $case (
	[ 'an empty trace', [$empty], qr/^vireo-report: nothing to report: trace $empty has no data files left\n\z/ ],
	[ 'data files removed', [$gone], qr/^vireo-report: nothing to report: trace $gone has no data files left\n\z/ ],
	[ 'an application that ran nothing', [ $text_id, '--application', 'nosuch' ],
		qr/^vireo-report: nothing to report: no statement of trace $text_id matches application "nosuch"; the trace has pids [\d, ]+; applications "report-a", "report-b"; users alice; databases postgres\n\z/ ],
	[ 'a user who ran nothing', [ $text_id, '--user', 'bob' ], qr/matches user bob; .*users alice;/ ],
	[ 'a time after the trace', [ $text_id, '--from', '2999-01-01' ], qr/matches from 2999-01-01;/ ])
{
	my ($name, $args, $message) = @$case;
	($rc, $out, $err) = report('-o', "$dir/none.html", @$args);
	is($rc, 3, "$name: exit 3");
	like($err, $message, "$name: says so");
	ok(!-e "$dir/none.html", "$name: writes nothing");
}
($rc, $out, $err) = report($text_id, '-f', 'json', '--calls', '-o', '-', '--pid', '1');
ok($rc == 3 && $out eq '', 'calls that match nothing: nothing on standard output');

# --list: the traces this role may read, in both formats.
($rc, $out) = report('--list', '-U', 'alice');
ok($rc == 0 && $out !~ /\d{20}/, 'alice may read none of these traces (they are the superuser\'s)');
($rc, $out) = report('--list');
like($out, qr/$text_id  text .*\n(?:.*\n)*$json_id  JSON /, 'the superuser sees both formats');

# A trace that alice runs herself, reported while one of her statements is
# in progress: that statement is noted, not counted.
my $running = $node->safe_psql('postgres', "SELECT vr_activate('alice')", extra_params => [ '-U', 'alice' ]);
my $waiter = $node->background_psql('postgres', extra_params => [ '-U', 'alice' ]);
$waiter->query_safe('SELECT 1;');
$check->query_safe('SELECT pg_advisory_lock(80);');
$waiter->query_until(qr/started/, "\\echo started\nSELECT pg_advisory_lock(80);\n");
$node->poll_query_until('postgres',
	"SELECT count(*) = 1 FROM pg_stat_activity WHERE query = 'SELECT pg_advisory_lock(80);' AND state = 'active'")
  or die 'the waiting statement did not start';
($rc, $out) = report($running, '-U', 'alice', '-f', 'text');
$out =~ s/\s+/ /g;
like($out, qr/statements 1 .*note: The trace was still running when it was read \([^)]*\): statements that ended later are not in this report\. 1 traced session was running a statement when the reading began\./,
	'a running trace: the statement in progress is noted, not counted');
$check->query_safe('SELECT pg_advisory_unlock(80);');
$waiter->quit;
$node->safe_psql('postgres', "SELECT vr_deactivate('$running')");

# Partial data: a record cut short at the end of a data file (seen when
# loading), a trace that ended at its size limit.
opendir(my $dh, $node->data_dir . "/traces/$text_id") or die;
my ($file) = grep { /^trace-\d+\.csv$/ } readdir $dh;
closedir $dh;
my $files = () = glob($node->data_dir . "/traces/$text_id/trace-*.csv");
append_to_file($node->data_dir . "/traces/$text_id/$file", '2020-01-01 00:00:00+00,cut');
($rc, $out) = report($text_id, '-f', 'text', '--load');
$out =~ s/\s+/ /g;
like($out, qr/note: 26 bytes at the end of 1 of $files data files were not loaded/,
	'bytes past the last record loaded are noted');
my $limited = $node->safe_psql('postgres',
	"SELECT vr_activate('small', ARRAY['alice'::regrole::oid], NULL, 1)");
$node->safe_psql('postgres', 'SELECT sum(one(g)) FROM generate_series(1, 4000) g',
	extra_params => [ '-U', 'alice' ]);
($rc, $out) = report($limited, '-f', 'text');
$out =~ s/\s+/ /g;
like($out, qr/ended at its size limit.* note: The trace ended at its size limit \(1 MB/,
	'a trace that ended at its size limit says so');

# Failures: one line each, a non-zero status, nothing at the output path.
write_file("$dir/kept.html", 'an older report');
for my $case (
	[ 'no such trace', [ '20200101000000000001' ], qr/^vireo-report: trace 20200101000000000001 does not exist/ ],
	[ 'not a trace identifier', [ '2020' ], qr/^vireo-report: "2020" is not a trace identifier/ ],
	[ 'another user', [ $text_id, '-U', 'bob' ], qr/^vireo-report: trace $text_id belongs to role postgres: only a superuser/ ],
	[ 'no extension', [ $text_id, '-d', 'noext' ], qr/^vireo-report: the vireo extension is not installed in database "noext"/ ],
	[ 'records of other types', [ $text_id, '-d', 'oddtypes' ], qr/^vireo-report: the server sent the record's column pid with another type than int4\n\z/ ],
	[ 'a top of 0', [ $text_id, '--top', '0' ], qr/^vireo-report: invalid number of statements: "0" \(1 to 1000\)/ ])
{
	my ($name, $args, $message) = @$case;
	($rc, $out, $err) = report('-o', "$dir/new.html", @$args);
	ok($rc != 0, "$name: fails");
	like($err, $message, "$name: says why");
	ok(!-e "$dir/new.html", "$name: writes nothing");
	($rc, $out, $err) = report('-o', "$dir/kept.html", @$args);
	is(slurp_file("$dir/kept.html"), 'an older report', "$name: an older report stays");
}
opendir($dh, $dir) or die;
is(join(',', grep { /^\./ && !/^\.\.?$/ } readdir $dh), '', 'no temporary file is left behind');
closedir $dh;

$check->quit;
$node->append_conf('postgresql.conf', "shared_preload_libraries = ''");
$node->restart;
($rc, $out, $err) = report($text_id, '-o', "$dir/new.html");
like($err, qr/^vireo-report: the server does not preload vireo/, 'a server without the module: says so');
ok($rc != 0 && !-e "$dir/new.html", 'and writes nothing');

$node->stop;
done_testing();

sub write_file
{
	my ($path, $content) = @_;
	open(my $fh, '>', $path) or die "$path: $!";
	print $fh $content;
	close $fh;
}
