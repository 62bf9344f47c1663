# A trace on a hot standby: activation is the standby's own, its files live
# in the standby's data directory (not in WAL), its records are read as rows
# with vr_trace_records, which writes nothing, and vr_load_trace, which would
# write temporary tables, refuses clearly.
use strict;
use warnings;
use IPC::Run;
use JSON::PP;
use PostgreSQL::Test::Cluster;
use PostgreSQL::Test::Utils;
use Test::More;
use FindBin;
use lib "$FindBin::RealBin/lib";
use VireoCompat;
use VireoTrace;

# A streaming standby needs pg_basebackup and the server's WAL receiver;
# servers built with only what the other tests need lack them.
chomp(my $bindir = `pg_config --bindir`);
chomp(my $pkglibdir = `pg_config --pkglibdir`);
plan skip_all => "this server has no pg_basebackup or libpqwalreceiver ($bindir, $pkglibdir)"
  unless -x "$bindir/pg_basebackup" && -e "$pkglibdir/libpqwalreceiver.so";

my $primary = PostgreSQL::Test::Cluster->new('primary');
$primary->init(allows_streaming => 1);
$primary->append_conf('postgresql.conf', "shared_preload_libraries = 'vireo'");
$primary->start;
$primary->safe_psql('postgres',
	q{CREATE EXTENSION vireo;
	  CREATE ROLE reader LOGIN;
	  CREATE TABLE items AS SELECT g AS id, 'item ' || g AS name FROM generate_series(1, 100) g;
	  GRANT SELECT ON items TO reader;});
$primary->backup('backup');

my $standby = PostgreSQL::Test::Cluster->new('standby');
$standby->init_from_backup($primary, 'backup', has_streaming => 1);
$standby->start;
$primary->wait_for_catchup($standby);
is($standby->safe_psql('postgres', 'SELECT pg_is_in_recovery()'), 't', 'the standby is in recovery');

# Activated on the standby, the trace is the standby's alone.
my $trace = $standby->safe_psql('postgres', "SELECT vr_activate('on the standby')");
like($trace, qr/^\d{20}$/, 'a trace is activated on the standby');
is($primary->safe_psql('postgres', 'SELECT count(*) FROM vr_active_traces()'),
	'0', 'the primary does not see it');
for my $n (1 .. 3)
{
	$standby->safe_psql('postgres', "SELECT name FROM items WHERE id = $n",
		extra_params => [ '-U', 'reader' ]);
}
$standby->safe_psql('postgres', q{SELECT count(*) FROM items WHERE name LIKE '%"quoted"%'});
$standby->safe_psql('postgres', "SELECT vr_deactivate('$trace')");
ok(-d $standby->data_dir . "/traces/$trace", 'its files are in the standby\'s data directory');
ok(!-e $primary->data_dir . "/traces/$trace", 'and not in the primary\'s');

# The stream's rows are the files' records, in the order of the pids and of
# the records in each file.
my $dir = $standby->data_dir . "/traces/$trace";
my @expected;
for my $file (sort { ($a =~ /(\d+)\.csv$/)[0] <=> ($b =~ /(\d+)\.csv$/)[0] } glob "$dir/trace-*.csv")
{
	my ($pid) = $file =~ /(\d+)\.csv$/;
	push @expected, map { join('|', $pid, $_->{fields}[6], $_->{fields}[9]) } @{ read_records($file) };
}
ok(@expected >= 4, 'the standby recorded its statements');
my $stream = $standby->background_psql('postgres', on_error_stop => 0);
is( $stream->query_safe(
		"SELECT string_agg(concat_ws('|', pid, query, rows_updated), E'\\n')
		   FROM vr_trace_records('$trace');"),
	join("\n", @expected), 'the stream gives every record of the files, in order');
is( $stream->query_safe(
		"SELECT count(*) FROM (SELECT vr_trace_records('$trace') r OFFSET 0) s;"),
	scalar(@expected), 'also called in the select list');
is( $stream->query_safe(
		"SELECT count(*), count(DISTINCT explain) > 0, sum(rows_updated)
		   FROM vr_trace_records('$trace') WHERE user_id = 'reader'::regrole;"),
	'3|t|3', 'the reader\'s three statements, one row each, with their plans');

# Loading would create temporary tables: refused, with the way to the
# records.
$stream->query("\\set VERBOSITY verbose\nSELECT vr_load_trace('$trace');");
like($stream->{stderr}, qr/ERROR:  25006: vireo: cannot load a trace on a hot standby/,
	'vr_load_trace refuses on the standby with SQLSTATE 25006');
like($stream->{stderr}, qr/HINT:  Read the trace's records with vr_trace_records\('$trace'\), or make a report with vireo-report/,
	'its hint names vr_trace_records and vireo-report');
is($stream->query_safe('SELECT 1;'), '1', 'the session goes on');

# vireo-report on the standby streams the records; with --load it says
# why it cannot load and what works instead.
sub report
{
	my ($out, $err) = ('', '');
	IPC::Run::run([ 'vireo-report', '-d', 'postgres', @_ ], '>', \$out, '2>', \$err);
	return ($? >> 8, $out, $err);
}
my $at = sub { ('-h', $_[0]->host, '-p', $_[0]->port) };
my $page = PostgreSQL::Test::Utils::tempdir . '/standby.html';
my ($rc, $out, $err) = report($at->($standby), $trace, '-o', $page);
is("$rc|$err", '0|', 'vireo-report makes the page on the standby');
like(slurp_file($page), qr/Made by vireo-report from the records of <code>vr_trace_records<\/code>/,
	'from the stream of the records');
($rc, $out, $err) = report($at->($standby), $trace, '--load', '-o', "$page.load");
like($err, qr/^vireo-report: trace $trace cannot be loaded on \S+ \(standby\): vireo: cannot load a trace on a hot standby; without --load vireo-report streams its records and writes nothing\n\z/,
	'--load on the standby: one line on why, and what works');
ok($rc == 1 && !-e "$page.load", 'and no report');

# One report over the primary and the standby: each statement's calls split
# by server are those of each server's own report, and add up.
my $ptrace = $primary->safe_psql('postgres', "SELECT vr_activate('on the primary')");
$primary->safe_psql('postgres', "SELECT name FROM items WHERE id = $_", extra_params => [ '-U', 'reader' ]) for 4 .. 8;
$primary->safe_psql('postgres', "SELECT vr_deactivate('$ptrace')");
my %own;
for my $case ([ $primary, $ptrace ], [ $standby, $trace ])
{
	($rc, $out) = report($at->($case->[0]), $case->[1], '-f', 'json', '-o', '-');
	$own{ $case->[0]->port }{ $_->{statement} } = $_->{calls} for @{ decode_json($out)->{statements} };
}
my @sources = map { ('--source', 'host=' . $_->[0]->host . ' port=' . $_->[0]->port, $_->[1]) }
  [ $primary, $ptrace ], [ $standby, $trace ];
($rc, $out, $err) = report(@sources, '-f', 'json', '-o', '-');
is("$rc|$err", '0|', 'a report over the primary and the standby');
my $both = decode_json($out);
is(join(',', map { $_->{trace}{standby} ? 'standby' : 'primary' } @{ $both->{servers} }), 'primary,standby',
	'its servers, the standby known as one');
my ($split, $sums) = (1, 1);
for my $s (@{ $both->{statements} })
{
	my $sum = 0;
	for my $part (@{ $s->{servers} })
	{
		my ($port) = $part->{server} =~ /:(\d+)/;
		$split &&= ($own{$port}{ $s->{statement} } // -1) == $part->{calls};
		$sum += $part->{calls};
	}
	$sums &&= $sum == $s->{calls};
}
ok($split, 'each statement\'s calls on each server are that server\'s own');
ok($sums, 'and add up to the statement\'s calls');
my ($lookup) = grep { $_->{query} =~ /^SELECT name FROM items WHERE id = \$1$/ } @{ $both->{statements} };
is(join(',', map { $_->{calls} } @{ $lookup->{servers} || [] }), '5,3', 'the same text on both servers is one statement');
($rc, $out) = report(@sources, '-o', '-');
is(scalar(() = $out =~ /<text [^>]*class="group">server /g), 2, 'the page has a lane group per server');

# Listing and removal work there too, on the standby's own files.
is($stream->query_safe("SELECT status FROM vr_traces_list() WHERE trace_id = '$trace';"),
	'2', 'the standby lists its ended trace');
is($stream->query_safe("SELECT vr_cleanup('$trace');"), 't', 'and removes it');
ok(!-e $dir, 'its directory is gone');
$stream->quit;

$standby->stop;
$primary->stop;
done_testing();
