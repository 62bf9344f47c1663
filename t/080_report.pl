# vireo-report end to end: a text and a JSON trace of known statements
# (nested SQL functions, a prepared statement, a slow sort, two sessions)
# reported in both formats, the numbers checked against SQL of our own on
# the same trace, the page parsed as XML, and the ways a report can fail.
use strict;
use warnings;
use Digest::MD5 qw(md5_hex);
use IPC::Run;
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
my $dir = PostgreSQL::Test::Utils::tempdir;

# Runs vireo-report against the node; returns its exit status, standard
# output and standard error.
sub report
{
	my ($out, $err) = ('', '');
	IPC::Run::run([ 'vireo-report', '-h', $node->host, '-p', $node->port, '-d', 'postgres', @_ ],
		'>', \$out, '2>', \$err);
	return ($? >> 8, $out, $err);
}

# A text and a JSON trace of alice, recording the same workload.
my $activate = "SELECT vr_activate('report test', ARRAY['alice'::regrole::oid])";
my $text_id = $node->safe_psql('postgres', $activate);
my $json_id = $node->safe_psql('postgres', "SET vireo.explain_format = json; $activate");
my $sort = 'SELECT count(*) FROM (SELECT md5(label || g) AS k FROM items, generate_series(1, 10) g ORDER BY k) s;';
$node->safe_psql(
	'postgres', qq{
SET application_name = 'report-a';
SELECT outer_labels(5);
PREPARE by_grp(int) AS SELECT count(*) FROM items WHERE grp = \$1;
EXECUTE by_grp(1);
EXECUTE by_grp(2);
EXECUTE by_grp(3);
SET work_mem = '64kB';
SET max_parallel_workers_per_gather = 0;
$sort
}, extra_params => [ '-U', 'alice' ]);
my $b_pid = $node->safe_psql(
	'postgres', q{
SET application_name = 'report-b';
SELECT count(*) FROM items WHERE grp = 7;
SELECT count(*) FROM items WHERE grp = 7;
SELECT pg_backend_pid();
}, extra_params => [ '-U', 'alice' ]);
$b_pid = (split /\n/, $b_pid)[-1];
$node->safe_psql('postgres', "SELECT vr_deactivate('$text_id')");
$node->safe_psql('postgres', "SET vireo.explain_format = json; SELECT vr_deactivate('$json_id')");

# What the report must show, computed here: per query text its calls,
# durations and counters, buffer differences from each record and the one
# before it in the same process (by row number), and p95 in Perl.
my $check = $node->background_psql('postgres');
$check->query_safe("SELECT vr_load_trace('$text_id')");
my %expected;
for my $line (split /\n/, $check->query_safe(q{
	WITH r AS (SELECT row_number() OVER (PARTITION BY pid ORDER BY end_time) AS n, * FROM _vr_tmp_tbl_vireo),
	d AS (SELECT c.*, p.n IS NOT NULL AND c.shared_blk_hit >= p.shared_blk_hit AND c.shared_blk_read >= p.shared_blk_read
	                  AND c.tmp_blk_read >= p.tmp_blk_read AND c.tmp_blk_written >= p.tmp_blk_written AS known,
	             c.shared_blk_hit - p.shared_blk_hit AS dhit, c.shared_blk_read - p.shared_blk_read AS dread,
	             c.tmp_blk_read - p.tmp_blk_read AS dtr, c.tmp_blk_written - p.tmp_blk_written AS dtw
	        FROM r c LEFT JOIN r p ON p.pid = c.pid AND p.n = c.n - 1)
	SELECT md5(q.query), count(*), sum(duration), max(duration), min(duration), sum(rows_updated),
	       sum(dhit) FILTER (WHERE known), sum(dread) FILTER (WHERE known), sum(dtr) FILTER (WHERE known),
	       sum(dtw) FILTER (WHERE known), sum(vol_contx_switch), sum(invol_contx_switch),
	       sum(page_faults), sum(page_reclaims), string_agg(duration::text, ' ' ORDER BY duration),
	       count(DISTINCT pid)
	  FROM d JOIN _vr_tmp_tbl_query q USING (query_id) GROUP BY q.query;}))
{
	my ($md5, @v) = split /\|/, $line;
	my @d = split / /, $v[13];
	my $at = 0.95 * $#d;
	my $low = int($at);
	my $p95 = $d[$low] + ($at - $low) * (($d[ $low + 1 ] // $d[$low]) - $d[$low]);
	my %e;
	@e{qw(calls total max min rows hits reads temp_rd temp_wr csw_vol csw_inv majflt minflt)} =
	  map { $_ eq '' ? 0 : $_ } @v[ 0 .. 12 ];
	$e{mean} = $e{total} / $e{calls};
	$e{p95} = $p95;
	$e{sessions} = $v[14];
	$expected{$md5} = \%e;
}
my ($statements, $distinct, $sessions) = split /\|/,
  $check->query_safe(
	'SELECT count(*), count(DISTINCT query_id), count(DISTINCT pid) FROM _vr_tmp_tbl_vireo');
my $nested = $check->query_safe(
	"SELECT count(*) FROM _vr_tmp_view_data WHERE query LIKE '%inner_label(id)%'
	    OR query IN ('SELECT 1', 'SELECT label FROM items WHERE id = i')");
is($nested, 9, 'the trace holds the outer body and two statements for each of four inner calls');

sub near
{
	my ($got, $want, $name, $decimals) = @_;
	ok(abs($got - $want) <= 1.01 * 10**-$decimals, "$name: $got is $want")
	  or diag("got $got, expected $want");
}

# The text summary: one block per statement, every number as computed above.
my ($rc, $out, $err) = report($text_id, '-f', 'text', '--top', '50');
is($rc, 0, 'the text summary is made');
is($err, '', 'nothing on standard error when it is not a terminal');
like($out, qr/statements $statements \($distinct distinct, $nested nested\) in $sessions sessions/,
	'the head counts statements, distinct ones, nested ones and sessions');
my @blocks = split /\n-{78}\n/, $out;
shift @blocks;
pop @blocks if $blocks[-1] !~ /^#\d/;
is(scalar @blocks, $distinct, 'one block per distinct statement');
my %seen;
my @totals;
for my $block (@blocks)
{
	my ($text) = $block =~ /\n\n((?:    .*\n)+)\n  slowest execution/;
	$text =~ s/^    //mg;
	chomp $text;
	my $e = $expected{ md5_hex($text) };
	ok($e, "block of a recorded text: " . substr($text =~ s/\s+/ /gr, 0, 40)) or next;
	$seen{ md5_hex($text) } = 1;
	my %got = $block =~ /(calls|rows|sessions|hits|reads|temp rd|temp wr|csw vol|csw inv|majflt|minflt)\s+(\d+)/g;
	my %ms = $block =~ /(total|mean|p95|min|max)\s+([\d.]+) ms/g;
	is(join(',', map { $got{$_} } 'calls', 'rows', 'sessions', 'hits', 'reads', 'temp rd', 'temp wr',
			'csw vol', 'csw inv', 'majflt', 'minflt'),
		join(',', map { $e->{$_} } qw(calls rows sessions hits reads temp_rd temp_wr csw_vol csw_inv majflt minflt)),
		'counts of ' . substr($text =~ s/\s+/ /gr, 0, 40));
	near($ms{$_}, $e->{$_}, "$_ ms", 3) for qw(total mean p95 min max);
	push @totals, $ms{total};
}
is(scalar keys %seen, $distinct, 'every statement has its block');
is_deeply(\@totals, [ sort { $b <=> $a } @totals ], 'blocks are ranked by total time');

my $sort_md5 = md5_hex($sort);
ok($expected{$sort_md5}{temp_wr} > 0, 'the slow sort wrote temporary blocks');
like($out, qr/PREPARE by_grp\(int\)[^\n]*\n/, 'the prepared statement is reported with its text');
like($out, qr/params  integer\n\n    PREPARE by_grp/, 'with the type of its parameter');
like($out, qr/\Q$sort\E\n\n  slowest execution: [\d.]+ ms[^\n]*\n.*Sort Method: external merge/s,
	'and the slow sort with its text plan');
my ($text_plan) = $out =~ /\Q$sort\E\n\n  slowest execution: [^\n]*\n(.*?)(?:\n-{78}|\z)/s;
my @nodes = map { /^\s+([\d.]+)%\s+(?:->\s+)?(\S+)/ ? [ $1, $2 ] : () } split /\n/, $text_plan;
my $shares = 0;
$shares += $_->[0] for @nodes;
near($shares, 100, 'the node lines of the text plan share the time', 0);
is((sort { $b->[0] <=> $a->[0] } @nodes)[0][1], 'Sort', 'the sort takes the largest share');

# Ranking, limits and filters.
($rc, $out) = report($text_id, '-f', 'text', '--sort', 'calls', '--top', '2');
my @calls = $out =~ /^    calls\s+(\d+)/mg;
my @most = sort { $b <=> $a } map { $_->{calls} } values %expected;
is("@calls", "@most[0, 1]", '--sort calls --top 2 shows the two statements called most');
($rc, $out) = report($text_id, '-f', 'text', '--pid', $b_pid);
like($out, qr/statements 3 \(2 distinct, 0 nested\) in 1 session\n/, '--pid keeps one session');
like($out, qr/focus: sessions \(pid\) $b_pid/, 'and says so');
($rc, $out) = report($text_id, '-f', 'text', '--application', 'report-a');
my $a_count = $statements - 3;
like($out, qr/statements $a_count \(\d+ distinct, $nested nested\) in 1 session\n/,
	'--application keeps the sessions of that application');

# The page: well-formed, its top table carrying the same numbers.
my $page = "$dir/report.html";
($rc, $out, $err) = report($text_id, '-o', $page, '--top', '50');
is("$rc|$err", '0|', 'the page is written');
command_ok([ 'xmllint', '--noout', $page ], 'the page parses as XML');
my $html = slurp_file($page);
unlike($html, qr/<script|src="http|href="http/i, 'the page needs no script and fetches nothing');
my %unescape = ('&amp;' => '&', '&lt;' => '<', '&gt;' => '>', '&quot;' => '"', '&#39;' => "'");
my %short;
for my $hex (split /\n/, $check->query_safe(q{SELECT encode(convert_to(query, 'UTF8'), 'hex') FROM _vr_tmp_tbl_query}))
{
	my $text = pack('H*', $hex);
	(my $s = $text) =~ s/\s+/ /g;
	$s =~ s/^ | $//g;
	$short{ substr($s, 0, 200) } = $text;
}
my $rows = 0;
while ($html =~ m{<tr id="row\d+"[^>]*><td class="n">\d+</td><td class="text" title="([^"]*)">.*?</td>(.*?)</tr>}g)
{
	my ($title, $cells) = ($1, $2);
	$title =~ s/(&amp;|&lt;|&gt;|&quot;|&#39;)/$unescape{$1}/g;
	my $e = $expected{ md5_hex($short{$title} // '') } or next;
	my @v = $cells =~ /data-v="([^"]*)"/g;
	is(join(',', @v[0, 5 .. 9]),
		join(',', $e->{calls}, $e->{rows}, $e->{hits}, $e->{reads}, $e->{temp_rd} + $e->{temp_wr},
			$e->{csw_vol} + $e->{csw_inv}),
		"page row of " . substr($title, 0, 30));
	near($v[$_ + 1], $e->{ (qw(total mean p95 max))[$_] }, 'page ' . (qw(total mean p95 max))[$_], 5)
	  for 0 .. 3;
	$rows++;
}
is($rows, $distinct, 'the top table has a row for every statement');

# The lanes: one bar per statement, the function bodies inside their caller.
my %depth_of;
my @depths;
while ($html =~ /data-depth="(\d+)" class="bar"><title>([^<]*)<\/title>/g)
{
	push @depths, $1;
	push @{ $depth_of{ $2 =~ /inner_label\(id\)/ ? 'outer' : $2 =~ /SELECT label FROM|^#\d+ SELECT 1 /u ? 'inner' : 'top' } },
	  $1;
}
is(scalar @depths, $statements, 'a bar for every statement');
is(scalar(grep { $_ > 0 } @depths), $nested, 'the bars of the function bodies are nested');
is("@{ $depth_of{outer} }", '1', 'the outer function body is drawn one level down');
ok((grep { $_ > 2 } @depths) == 0 && (grep { $_ > 0 } @{ $depth_of{top} }) == 0,
	'no deeper than the functions go: statements run one after the other are not nested in each other');

# The JSON trace: its format is found without being told, and the plan of
# the slow sort is a tree whose nodes' own times add up to the statement's.
($rc, $out, $err) = report($json_id, '-o', "$dir/json.html");
is("$rc|$err", '0|', 'a JSON trace is reported from a session that did not ask for JSON');
command_ok([ 'xmllint', '--noout', "$dir/json.html" ], 'its page parses as XML');
$html = slurp_file("$dir/json.html");
my ($plan) = $html =~ /<pre class="sql">\Q$sort\E<\/pre>.*?<table class="plan">(.*?)<\/table>/s;
my @self = ($plan // '') =~ /data-self="([\d.]+)"/g;
ok(@self >= 3, 'the plan is a table of nodes');
my $sum = 0;
$sum += $_ for @self;
my $json_sort = $node->safe_psql('postgres', qq{SET vireo.explain_format = json; SELECT vr_load_trace('$json_id');
	SELECT max(duration) FROM _vr_tmp_view_data WHERE query LIKE '%ORDER BY k%'});
near($sum, (split /\n/, $json_sort)[-1], 'the nodes\' own times add up to the duration', 2);
like($plan, qr/<tr class="hot"[^>]*>.*?<td class="node"[^>]*>[^<]*Sort</s, 'the sort is marked as the expensive node');

# A trace that alice runs herself, reported by her while one of her
# statements is in progress: that statement is noted, not counted, and
# whether the data files were read to their end is not known to her.
my $running = $node->safe_psql('postgres', "SELECT vr_activate('alice')", extra_params => [ '-U', 'alice' ]);
my $waiter = $node->background_psql('postgres', extra_params => [ '-U', 'alice' ]);
$waiter->query_safe('SELECT 1;');
$check->query_safe('SELECT pg_advisory_lock(80);');
$waiter->query_until(qr/started/, "\\echo started\nSELECT pg_advisory_lock(80);\n");
$node->poll_query_until('postgres',
	"SELECT count(*) = 1 FROM pg_stat_activity WHERE query = 'SELECT pg_advisory_lock(80);' AND state = 'active'")
  or die 'the waiting statement did not start';
($rc, $out) = report($running, '-U', 'alice', '-f', 'text');
like($out, qr/statements 1 .*note: The trace was still running when it was loaded \([^)]*\): statements that ended later are not in this report\. 1 traced session was running a statement when the load began\./s,
	'a running trace: the statement in progress is noted, not counted');
($rc, $out, $err) = report($running, '-U', 'alice', '-o', '-');
is("$rc|$err", '0|', 'the owner reports her trace, here to standard output');
like($out, qr/^<!DOCTYPE html>.*could not be checked: listing them needs a superuser.*<\/html>\n\z/s,
	'the page says that the data files could not be checked');
$check->query_safe('SELECT pg_advisory_unlock(80);');
$waiter->quit;
$node->safe_psql('postgres', "SELECT vr_deactivate('$running')");

# Partial data: a record cut short at the end of a data file, a trace that
# ended at its size limit.
opendir(my $dh, $node->data_dir . "/traces/$text_id") or die;
my ($file) = grep { /^trace-\d+\.csv$/ } readdir $dh;
closedir $dh;
my $files = () = glob($node->data_dir . "/traces/$text_id/trace-*.csv");
append_to_file($node->data_dir . "/traces/$text_id/$file", '2020-01-01 00:00:00+00,cut');
($rc, $out) = report($text_id, '-f', 'text');
like($out, qr/note: 26 bytes at the end of 1 of $files data files were not loaded/,
	'bytes past the last record loaded are noted');
my $limited = $node->safe_psql('postgres',
	"SELECT vr_activate('small', ARRAY['alice'::regrole::oid], NULL, 1)");
$node->safe_psql('postgres', 'SELECT sum(one(g)) FROM generate_series(1, 4000) g',
	extra_params => [ '-U', 'alice' ]);
($rc, $out) = report($limited, '-f', 'text');
like($out, qr/ended at its size limit.*\n(?:.*\n)*  note: The trace ended at its size limit \(1 MB/,
	'a trace that ended at its size limit says so');

# Failures: one line each, a non-zero status, nothing at the output path.
write_file("$dir/kept.html", 'an older report');
for my $case (
	[ 'no such trace', [ '20200101000000000001' ], qr/^vireo-report: trace 20200101000000000001 does not exist/ ],
	[ 'not a trace identifier', [ '2020' ], qr/^vireo-report: "2020" is not a trace identifier/ ],
	[ 'another user', [ $text_id, '-U', 'bob' ], qr/^vireo-report: trace $text_id belongs to role postgres: only a superuser/ ],
	[ 'no extension', [ $text_id, '-d', 'noext' ], qr/^vireo-report: the vireo extension is not installed in database "noext"/ ])
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
