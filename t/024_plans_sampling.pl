# What a trace records of each statement: its plan only from
# vireo.plan_min_duration on (an empty plan field below it), and the client's
# statements sampled at vireo.sample_rate, the statements they run following
# their lot.  Both are read at activation and kept with the trace.
use strict;
use warnings;
use PostgreSQL::Test::Cluster;
use PostgreSQL::Test::Utils;
use Test::More;
use FindBin;
use lib "$FindBin::RealBin/lib";
use VireoTrace;

my $node = PostgreSQL::Test::Cluster->new('plans_sampling');
$node->init;
$node->append_conf('postgresql.conf', "shared_preload_libraries = 'vireo'");
$node->start;
$node->safe_psql('postgres', q{
CREATE EXTENSION vireo;
ALTER ROLE postgres SET vireo.enabled = off;
CREATE ROLE alice LOGIN;
CREATE TABLE t(a int);
INSERT INTO t SELECT generate_series(1, 10);
GRANT SELECT ON t TO PUBLIC;
CREATE FUNCTION nest(i int) RETURNS bigint LANGUAGE plpgsql AS $$
DECLARE n bigint;
BEGIN
	SELECT count(*) INTO n FROM t WHERE a < i /* nested */;
	RETURN n;
END $$;
});
my $alice = $node->safe_psql('postgres', "SELECT 'alice'::regrole::oid");

sub activate
{
	my ($settings, $args, $role) = @_;
	return $node->safe_psql('postgres', "$settings SELECT vr_activate($args)",
		extra_params => [ '-U', $role // 'postgres' ]);
}

sub deactivate { $node->safe_psql('postgres', "SELECT vr_deactivate('$_')") for @_; }

# The records of a trace, all sessions together, in the order of each file.
sub records
{
	my ($id) = @_;
	my @all;
	for my $file (sort glob($node->data_dir . "/traces/$id/trace-*.csv"))
	{
		push @all, @{ read_records($file) };
	}
	return \@all;
}

sub alice_psql
{
	my ($sql) = @_;
	return $node->safe_psql('postgres', $sql, extra_params => [ '-U', 'alice' ]);
}

# --- The settings: kept with the trace, within a plain user's rights ---------

my $own = activate('SET vireo.plan_min_duration = 30; SET vireo.sample_rate = 0.25;',
	"'alice, sampled'", 'alice');
my $watch = activate('', "'on alice', ARRAY[$alice]::oid[]");
is( $node->safe_psql('postgres',
		"SELECT trace_id, plan_min_duration, sample_rate FROM vr_traces_list() ORDER BY trace_id"),
	"$own|30|0.25\n$watch|-1|1",
	'activation keeps vireo.plan_min_duration and vireo.sample_rate with the trace, defaults where unset');
# What alice sets in her own session changes neither her running trace nor
# the one a DBA started on her.
alice_psql("SET vireo.sample_rate = 0; SET vireo.plan_min_duration = 100000; SELECT $_ FROM t WHERE a = 1")
  for 1 .. 20;
my $watched = records($watch);
is(scalar(grep { ($_->{fields}[6] // '') =~ /WHERE a = 1$/ } @$watched), 20,
	"a user's own vireo.sample_rate does not hide her statements from another's trace");
is(scalar(grep { ($_->{fields}[7] // '') eq '' } @$watched), 0, 'nor her vireo.plan_min_duration their plans');
ok(scalar(@{ records($own) }) < 20, 'her own trace samples at the rate it was activated with');
my $err = '';
$node->psql('postgres', 'SET vireo.sample_rate = 1.5', stderr => \$err, extra_params => [ '-U', 'alice' ]);
like($err, qr/1\.5 is outside the valid range for parameter "vireo.sample_rate"/, 'a rate above 1 is refused');
$node->psql('postgres', 'SET vireo.plan_min_duration = -2', stderr => \$err, extra_params => [ '-U', 'alice' ]);
like($err, qr/-2 ms is outside the valid range/, 'a threshold below -1 is refused');
deactivate($own, $watch);
is( $node->safe_psql('postgres', "SELECT status, plan_min_duration, sample_rate FROM vr_traces_list() WHERE trace_id = '$own'"),
	'2|30|0.25', 'an ended trace still lists its settings');

# --- Plans from the threshold on ----------------------------------------------

my $text_slow = activate('SET vireo.plan_min_duration = 100;', "'text, plans past 100 ms', ARRAY[$alice]::oid[]");
my $json_all = activate("SET vireo.explain_format = json;", "'json, every plan', ARRAY[$alice]::oid[]");
my $none = activate("SET vireo.plan_min_duration = 10000;", "'no plans', ARRAY[$alice]::oid[]");
alice_psql('SELECT pg_sleep(0.01); SELECT pg_sleep(0.3); SELECT count(*) FROM t; SELECT pg_sleep(0.2)');
alice_psql("SET statement_timeout = '5s'; SELECT pg_sleep(0.01); SELECT count(*) FROM t");
deactivate($text_slow, $json_all, $none);

my $slow = records($text_slow);
is(scalar(@$slow), 6, 'a threshold for plans records every statement all the same');
my @wrong = grep { ($_->{fields}[8] >= 100) != (length($_->{fields}[7] // '') > 0) } @$slow;
is(scalar(@wrong), 0, 'plans exactly in the records of statements that ran at least vireo.plan_min_duration');
is(scalar(grep { length($_->{fields}[7] // '') } @$slow), 2, 'the two slow statements carry their plans');
like($_->{raw}, qr/,"",\d+\.\d{6},/, 'an empty plan is written as an empty quoted text')
  for grep { !length($_->{fields}[7] // '') } @$slow;
my $all = records($json_all);
is(scalar(grep { ($_->{fields}[7] // '') =~ /"Plan": \{/ } @$all), 6,
	'another trace of the same session still gets every plan');
my $bare = records($none);
is(scalar(grep { defined $_->{fields}[7] && $_->{fields}[7] eq '' } @$bare), 6,
	'a threshold past the statement timeout: every record without a plan');
ok(!(grep { $_->{fields}[8] <= 0 } grep { $_->{fields}[6] =~ /pg_sleep/ } @$bare),
	'records without plans still carry the durations');

# The loaders take records with empty plans.
is( $node->safe_psql('postgres',
		"SELECT count(*), count(*) FILTER (WHERE explain = '') FROM vr_trace_records('$text_slow')"),
	'6|4', 'vr_trace_records returns the records with empty plans');
is($node->safe_psql('postgres', "SELECT vr_load_trace('$text_slow'); SELECT count(*) FROM _vr_tmp_tbl_vireo"),
	"t\n6", 'vr_load_trace loads them');

# --- Sampling -----------------------------------------------------------------

my $never = activate("SET vireo.sample_rate = 0; SET vireo.track_nested = on; SET vireo.track_utility = on;",
	"'never', ARRAY[$alice]::oid[]");
my $always = activate("SET vireo.sample_rate = 1;", "'always', ARRAY[$alice]::oid[]");
alice_psql(join('', map { "SELECT nest($_); BEGIN; SELECT $_; COMMIT;" } 1 .. 50));
is(scalar(@{ records($never) }), 0, 'a sample rate of 0 records nothing, nested and utility statements neither');
is(scalar(@{ records($always) }), 100, 'a sample rate of 1 records every statement');
deactivate($never, $always);

my $half = activate("SET vireo.sample_rate = 0.5; SET vireo.track_nested = on;", "'half', ARRAY[$alice]::oid[]");
my $n = 2000;
alice_psql(join('', map { "SELECT nest($_);" } 1 .. $n));
deactivate($half);
my @texts = map { $_->{fields}[6] // '' } @{ records($half) };
my $top = grep { /^SELECT nest\(/ } @texts;
my $sigma = sqrt($n * 0.25);
ok(abs($top - $n / 2) <= 5 * $sigma, "$top of $n statements sampled at 0.5, within 5 sigma of " . $n / 2);
# A statement's nested statement is written just before it: they come in
# pairs, or not at all.
my $pairs = join('', map { /nested/ ? 'n' : /^SELECT nest\(/ ? 't' : '?' } @texts);
is($pairs, 'nt' x $top, 'the statements a sampled statement runs follow its lot, and only theirs');

done_testing();
