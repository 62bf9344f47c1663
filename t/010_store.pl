# The trace store on a real server: trace.ini as activation and deactivation
# write it, the descriptor reader against crafted files (seen through
# vr_traces_list, vr_load_trace and vr_cleanup), and the listing across a
# restart and in a server that does not preload vireo.
use strict;
use warnings;
use PostgreSQL::Test::Cluster;
use PostgreSQL::Test::Utils;
use Test::More;

my $node = PostgreSQL::Test::Cluster->new('store');
$node->init;
$node->append_conf('postgresql.conf', "shared_preload_libraries = 'vireo'");
$node->start;
$node->safe_psql('postgres', 'CREATE EXTENSION vireo; CREATE ROLE alice; CREATE ROLE bob');
my $traces = $node->data_dir . '/traces';

# Sessions print times as the descriptor writes them (ISO, with the zone
# offset of the session), in a zone with a half-hour offset.  They record
# nothing themselves, so trace directories hold only what the test puts there.
my $setup = "SET TimeZone = 'Asia/Kolkata'; SET DateStyle = ISO; SET vireo.enabled = off;\n";

sub sql
{
	my ($query) = @_;
	return $node->safe_psql('postgres', $setup . $query);
}

# Runs a query that should fail or warn; returns psql's standard error, with
# SQLSTATEs.
sub sql_stderr
{
	my ($query) = @_;
	my ($rc, $out, $err) = $node->psql('postgres', "\\set VERBOSITY verbose\n" . $setup . $query);
	return $err;
}

sub ini
{
	my ($id) = @_;
	return slurp_file("$traces/$id/trace.ini");
}

sub mode_of
{
	my ($path) = @_;
	return sprintf('%04o', (stat $path)[2] & 07777);
}

#
# trace.ini as written by activation and deactivation
#
my $db = sql("SELECT oid FROM pg_database WHERE datname = 'postgres'");
my $alice = sql("SELECT 'alice'::regrole::oid");
my $bob = sql("SELECT 'bob'::regrole::oid");

my $id = sql("SELECT vr_activate('plain', ARRAY[$alice, $bob]::oid[], ARRAY[$db]::oid[], 100)");
like($id, qr/^\d{20}$/, 'activation returns an identifier');
my ($start, $owner) = split /\|/,
  sql("SELECT start_time, owner FROM vr_active_traces() WHERE trace_id = '$id'");
my $head = "Version=3.000000\nStatus=%d\nComments=\"plain\"\nStartTime=$start\nInitiatedBy=$owner\n"
  . "Users=$alice,$bob\nDatabases=$db\nMaxSize=104857600";
is(ini($id), sprintf($head, 1), 'an active trace without time limit: eight lines, no final line feed');

is(mode_of($traces), '0700', 'the traces root is private to the server user');
is(mode_of("$traces/$id"), '0700', 'so is the trace directory');
is(mode_of("$traces/$id/trace.ini"), '0600', 'and the descriptor');

is(sql("SELECT vr_deactivate('$id')"), 't', 'deactivated');
my $finish = sql("SELECT finish_time FROM vr_traces_list() WHERE trace_id = '$id'");
is(ini($id), sprintf($head, 2) . "\nEndTime=$finish\nFinishTime=$finish",
	'deactivation rewrites the descriptor with status 2 and equal EndTime and FinishTime');
is(sql("SELECT finish_time BETWEEN start_time AND now() FROM vr_traces_list() WHERE trace_id = '$id'"),
	't', 'the finish time is the moment of deactivation');
ok(!-e "$traces/$id/trace.ini.tmp", 'no temporary descriptor is left behind');

# A time limit is written as the planned end, which early deactivation keeps.
my $limited = sql("SELECT vr_activate('limited', NULL, NULL, NULL, NULL, '2 hours 30 minutes')");
my ($lstart, $lend) = split /\|/,
  sql("SELECT start_time, start_time + interval '2 hours 30 minutes' FROM vr_active_traces() "
	  . "WHERE trace_id = '$limited'");
my $lhead = "Version=3.000000\nStatus=%d\nComments=\"limited\"\nStartTime=$lstart\nInitiatedBy=$owner\n"
  . "Users=\nDatabases=\nMaxSize=0\nEndTime=$lend";
is(ini($limited), sprintf($lhead, 1), 'a time-limited trace: nine lines, ending with its planned end');
sql("SELECT vr_deactivate('$limited')");
my $lfinish = sql("SELECT finish_time FROM vr_traces_list() WHERE trace_id = '$limited'");
is(ini($limited), sprintf($lhead, 2) . "\nFinishTime=$lfinish", 'early deactivation keeps the planned end');
isnt($lfinish, $lend, 'and adds the finish time');

# Comments: double quotes are doubled inside the enclosing pair; separators,
# line breaks and other bytes are kept as they are, and read back unchanged,
# also by the rewrite at deactivation.
my $comment = qq{say "hi" = "hello", a pair "" ends;\nsecond line\r\nthird\tcaf\xc3\xa9 ""};
my $quoted = $comment =~ s/"/""/gr;
my $cid = sql('SELECT vr_activate($c$' . $comment . '$c$)');
ok(index(ini($cid), "\nComments=\"$quoted\"\nStartTime=") > 0, 'the comment is written quoted');
my $same_comment = "SELECT comments = \$c\$$comment\$c\$ FROM vr_traces_list() WHERE trace_id = '$cid'";
is(sql($same_comment), 't', 'and listed unchanged');
sql("SELECT vr_deactivate('$cid')");
ok(index(ini($cid), "\nComments=\"$quoted\"\nStartTime=") > 0, 'deactivation writes the comment back');
is(sql($same_comment), 't', 'which still reads back unchanged');

# A new descriptor is renamed over the old one: when it cannot be written,
# the old descriptor stays whole, and the trace ends all the same.
# The failure is reported with its reason, not passed over.
foreach my $case ([ 'a directory in the way', 'Is a directory|File exists' ], [ 'a read-only trace directory', 'Permission denied' ])
{
	my ($what, $reason) = @$case;
	my $kept = sql("SELECT vr_activate('kept')");
	my $kept_ini = ini($kept);
	if ($what =~ /directory in the way/) { mkdir "$traces/$kept/trace.ini.tmp" or die "mkdir: $!"; }
	else { chmod 0500, "$traces/$kept" or die "chmod: $!"; }
	like(sql_stderr("SELECT vr_deactivate('$kept')"),
		qr/WARNING:  01000: vireo: Couldn't write to the trace ini file 'traces\/$kept\/trace.ini'\n.*($reason)/,
		"with $what the descriptor's rewrite fails with a warning that says why");
	is(ini($kept), $kept_ini, 'the descriptor stays as it was');
	is(sql("SELECT status FROM vr_traces_list() WHERE trace_id = '$kept'"), '0', 'and lists the trace as not running');
	chmod 0700, "$traces/$kept";
	rmdir "$traces/$kept/trace.ini.tmp";
}

# A trace keeps its comment when it is ended from a session of the other
# explain format.
my $json_id = sql("SET vireo.explain_format = json; SELECT vr_activate('a \"json\" trace')");
sql("SELECT vr_deactivate('$json_id')");
like(ini($json_id), qr/^Comments="a ""json"" trace"$/m, 'ending a JSON trace from a text session keeps its comment');
sql("SET vireo.explain_format = json; SELECT vr_cleanup('$json_id')");

# Deactivating an ended trace while another runs is a warning, 42602.
my $running = sql("SELECT vr_activate('running')");
like(sql_stderr("SELECT vr_deactivate('$id')"), qr/WARNING:  42602: Could not find the trace \($id\)/,
	'an ended trace is not found');

#
# The reader against crafted descriptors.  Each case is a trace directory of
# its own; a listed case shows these columns (in UTC).
#
my $columns = "trace_id, status, coalesce(users_list::text, '-'), coalesce(database_list::text, '-'), "
  . "max_size, coalesce(end_time::text, '-'), coalesce(finish_time::text, '-'), start_time, owner, "
  . "version, comments";
my %good = (
	status  => 2,
	users   => '-',
	dbs     => '-',
	max     => 1,
	end     => '2021-03-04 05:06:07+00',
	finish  => '2021-03-04 04:30:00+00',
	start   => '2021-03-04 04:06:07.123456+00',
	owner   => 10,
	version => 3,
	comment => 'crafted');
my @good_lines = (
	'Version=3.000000', 'Status=2',
	'Comments="crafted"', 'StartTime=2021-03-04 05:06:07.123456+01',
	'InitiatedBy=10', 'Users=',
	'Databases=', 'MaxSize=1048576',
	'EndTime=2021-03-04 06:06:07+01', 'FinishTime=2021-03-04 05:30:00+01');
# What is left when only the first lines are read.
my %unset = (users => '-', dbs => '-', max => 0, end => '-', finish => '-',
	start => '2000-01-01 00:00:00+00', owner => 0, comment => '');

sub row
{
	my %r = (%good, @_);
	return join('|', @r{qw(status users dbs max end finish start owner version comment)});
}

# The good descriptor with line n (1-based) replaced.
sub with_line
{
	my ($n, $line) = @_;
	my @lines = @good_lines;
	$lines[ $n - 1 ] = $line;
	return join("\n", @lines);
}

my $good = join("\n", @good_lines);
my @cases = (
	[ 'ten lines',                        $good,                        row() ],
	[ 'ten lines and a final line feed', "$good\n",                     row() ],
	[ 'lines after the tenth are ignored', "$good\nExtra=1\nno separator\n\n=\n", row() ],
	[ 'lines ending in CR LF',            join("\r\n", @good_lines),    row() ],
	[ 'eight lines',                      join("\n", @good_lines[ 0 .. 7 ]), row(end => '-', finish => '-') ],
	[ 'eight lines and a final line feed', join("\n", @good_lines[ 0 .. 7 ]) . "\n", undef ],
	[ 'three lines',                      join("\n", @good_lines[ 0 .. 2 ]), row(%unset, comment => 'crafted') ],
	[ 'an empty line among the first ten', join("\n", @good_lines[ 0 .. 1 ], '', @good_lines[ 2 .. 9 ]), undef ],
	[ 'keys in another order', join("\n", @good_lines[ 1, 0, 2 .. 9 ]), undef ],
	[ 'a key in another case', with_line(1, 'version=3.000000'), undef ],
	[ 'a key without value',   with_line(2, 'Status'),           undef ],
	[ 'a key with a blank before the separator', with_line(2, 'Status =2'), undef ],
	[ 'Version=3',             with_line(1, 'Version=3'),        row() ],
	[ 'Version=3.0000001',     with_line(1, 'Version=3.0000001'), undef ],
	[ 'Version=4.000000',      with_line(1, 'Version=4.000000'), undef ],
	[ 'Status=0',              with_line(2, 'Status=0'),         row(status => 0) ],
	[ 'Status=1 of a trace that does not run', with_line(2, 'Status=1'), row(status => 0) ],
	[ 'Status with blanks',    with_line(2, 'Status= 4 '),       row(status => 4) ],
	[ 'Status=5',              with_line(2, 'Status=5'),         undef ],
	[ 'Status=-1',             with_line(2, 'Status=-1'),        undef ],
	[ 'Status=2x',             with_line(2, 'Status=2x'),        undef ],
	[ 'an empty Status',       with_line(2, 'Status='),          undef ],
	[ 'a quoted empty Status', with_line(2, 'Status=""'),        undef ],
	[ 'Comments without quotes', with_line(3, 'Comments=plain words'), row(comment => 'plain words') ],
	[ 'an empty Comments',     with_line(3, 'Comments='),        row(comment => '') ],
	[ 'an unterminated quoted Comments', with_line(3, 'Comments="never closed'),
		row(%unset, comment => '') ],
	[ 'a StartTime that is no time', with_line(4, 'StartTime=soon'), undef ],
	[ 'InitiatedBy=abc',       with_line(5, 'InitiatedBy=abc'),  undef ],
	[ 'an empty InitiatedBy',  with_line(5, 'InitiatedBy='),     undef ],
	[ 'Users=10;20',           with_line(6, 'Users=10;20'),      undef ],
	[ 'Users=10,,20',          with_line(6, 'Users=10,,20'),     undef ],
	[ 'Users with blanks and a final comma', with_line(6, 'Users= 10 , 20 ,'), row(users => '10 20') ],
	[ 'a quoted empty Users',  with_line(6, 'Users=""'),         row() ],
	[ 'Users=-1',              with_line(6, 'Users=-1'),         undef ],
	[ 'Databases=4294967296',  with_line(7, 'Databases=4294967296'), undef ],
	[ 'Databases=4294967295',  with_line(7, 'Databases=4294967295'), row(dbs => '4294967295') ],
	[ 'ten users and ten databases',
		join("\n", @good_lines[ 0 .. 4 ], 'Users=' . join(',', 1 .. 10), 'Databases=' . join(',', 11 .. 20),
			@good_lines[ 7 .. 9 ]),
		row(users => join(' ', 1 .. 10), dbs => join(' ', 11 .. 20)) ],
	[ 'eleven users', with_line(6, 'Users=' . join(',', 1 .. 11)), undef ],
	[ 'an empty MaxSize',        with_line(8, 'MaxSize='),          row(max => 0) ],
	[ 'a quoted empty MaxSize',  with_line(8, 'MaxSize=""'),        undef ],
	[ 'MaxSize with blanks',     with_line(8, 'MaxSize= 2097152 '), row(max => 2) ],
	[ 'MaxSize=12x',             with_line(8, 'MaxSize=12x'),       undef ],
	[ 'MaxSize=abc',             with_line(8, 'MaxSize=abc'),       undef ],
	[ 'an empty EndTime',        with_line(9, 'EndTime='),          row(end => '-') ],
	[ 'EndTime=infinity',        with_line(9, 'EndTime=infinity'),  undef ],
	[ 'EndTime=epoch',           with_line(9, 'EndTime=epoch'),     undef ],
	[ 'a FinishTime that is no time', with_line(10, 'FinishTime=later'), undef ],);

my %expected;
my %case_of;
my $n = 0;
foreach my $case (@cases)
{
	my ($what, $content, $expected) = @$case;
	my $cid = sprintf('1999%016d', ++$n);
	mkdir "$traces/$cid" or die "mkdir: $!";
	open my $fh, '>:raw', "$traces/$cid/trace.ini" or die "open: $!";
	print $fh $content;
	close $fh;
	$expected{$cid} = $expected;
	$case_of{$cid} = $what;
}
my $no_ini = sprintf('1999%016d', ++$n);
mkdir "$traces/$no_ini";
$case_of{$no_ini} = 'a trace directory without trace.ini';
# Entries whose names are not 20 digits are not traces, whatever they hold.
foreach my $name ('1999000000000000001', '199900000000000000001', 'abcdefghijklmnopqrst',
	'1999000000000000000x', ' 1999000000000000000')
{
	mkdir "$traces/$name";
	open my $fh, '>:raw', "$traces/$name/trace.ini" or die "open: $!";
	print $fh $good;
	close $fh;
}
append_to_file("$traces/README", $good);

my $log_offset = -s $node->logfile;
my ($rc, $out, $err) = $node->psql('postgres',
	"$setup SET TimeZone = UTC; SELECT $columns FROM vr_traces_list() "
	  . "WHERE trace_id LIKE '1999%' OR trace_id !~ '^[0-9]{20}\$'");
is($rc, 0, 'the traces root is listed');
is($err, '', 'without any message');
my %listed;
foreach my $line (split /\n/, $out)
{
	my ($lid, $rest) = split /\|/, $line, 2;
	$listed{$lid} = $rest;
}
foreach my $cid (sort keys %case_of)
{
	is($listed{$cid}, $expected{$cid}, $case_of{$cid} . (defined $expected{$cid} ? ': listed' : ': not listed'));
}
is(join(',', sort grep { !exists $case_of{$_} } keys %listed), '',
	'names that are not 20 digits are not listed');
my $log = slurp_file($node->logfile, $log_offset);
like($log, qr/UnderFlow\(USER\):-1:4294967295/, 'a negative user is reported on standard error');
like($log, qr/UnderFlow\(DB\):4294967296:0/, 'so is a database beyond 32 bits');

# A session lists only the traces of its own explain format.
my ($v4) = grep { $case_of{$_} eq 'Version=4.000000' } keys %case_of;
is(sql("SET vireo.explain_format = json; SELECT trace_id FROM vr_traces_list()"), $v4,
	'a json session lists the version 4.0 trace and none of the version 3.0 ones');

# The same reader decides what can be loaded and removed.
my ($bad) = grep { $case_of{$_} eq 'Status=5' } keys %case_of;
my ($fine) = grep { $case_of{$_} eq 'ten lines' } keys %case_of;
like(sql_stderr("SELECT vr_load_trace('$bad')"), qr/ERROR:  55000: Could not load the trace '$bad'\./,
	'a malformed descriptor cannot be loaded');
like(sql_stderr("SELECT vr_cleanup('$bad')"), qr/ERROR:  55000: Could not load the trace '$bad'\./,
	'nor removed');
ok(-f "$traces/$bad/trace.ini", 'and stays on disk');
($rc, $out, $err) = $node->psql('postgres', $setup . "SELECT vr_load_trace('$fine')");
is($rc, 0, 'a well-formed crafted descriptor can be loaded');
is(sql("SELECT vr_cleanup('$fine')"), 't', 'and removed');
ok(!-e "$traces/$fine", 'with its directory');

#
# Across a restart the registry is empty: a trace that was running is listed
# with status 0, and its descriptor keeps status 1.
#
$node->restart;
is(sql("SELECT status FROM vr_traces_list() WHERE trace_id = '$running'"), '0',
	'a trace running at shutdown is listed with status 0 after a restart');
like(ini($running), qr/^Version=3.000000\nStatus=1\n/, 'its descriptor still says 1');
is(sql('SELECT count(*) FROM vr_active_traces()'), '0', 'nothing runs');
like(sql_stderr("SELECT vr_deactivate('$running')"), qr/ERROR:  P0002: vireo is not active\./,
	'deactivation finds nothing active');

my $listing = sql("SELECT trace_id, status FROM vr_traces_list() ORDER BY trace_id");

#
# A server that does not preload vireo still lists stored traces, status 1
# shown as 0.
#
$node->append_conf('postgresql.conf', "shared_preload_libraries = ''");
$node->restart;
is(sql("SELECT trace_id, status FROM vr_traces_list() ORDER BY trace_id"), $listing,
	'without the registry the same traces are listed with the same statuses');
like($listing, qr/^$running\|0$/m, 'the orphaned trace among them with status 0');
like(sql_stderr('SELECT vr_cleanup(NULL, false)'), qr/ERROR:  55000: vireo must be loaded via shared_preload_libraries/,
	'cleanup needs the registry');
ok(-f "$traces/$running/trace.ini", 'and removed nothing');

$node->stop;

#
# vireo.directory: traces outside the data directory, where base backups do
# not reach.  The path is used as given, with a blank in it.
#
my $root = PostgreSQL::Test::Utils::tempdir() . '/vireo traces';
my $far = PostgreSQL::Test::Cluster->new('elsewhere');
$far->init;
$far->append_conf('postgresql.conf', "shared_preload_libraries = 'vireo'\nvireo.directory = '$root/'");
$far->start;
$far->safe_psql('postgres', 'CREATE EXTENSION vireo');

sub far_sql
{
	my ($query) = @_;
	my ($rc, $out, $err) = $far->psql('postgres', "\\set VERBOSITY verbose\n$query");
	return $rc == 0 && $err eq '' ? $out : $err;
}

is(far_sql('SHOW vireo.directory'), $root, 'vireo.directory is read at start, without its final slash');
my $far_id = far_sql("SELECT vr_activate('far away')");
like($far_id, qr/^\d{20}$/, 'a trace is activated there');
far_sql("SELECT 'recorded far away'");
ok(-f "$root/$far_id/trace.ini", 'its descriptor is in vireo.directory');
ok(scalar(grep { /^trace-\d+\.csv$/ } slurp_dir("$root/$far_id")), 'and so are its data files');
ok(!-e $far->data_dir . '/traces', 'the data directory holds no traces');

# A descriptor that cannot be rewritten is named by its path there.
mkdir "$root/$far_id/trace.ini.tmp" or die "mkdir: $!";
like(far_sql("SELECT vr_deactivate('$far_id')"),
	qr/WARNING:  01000: vireo: Couldn't write to the trace ini file '\Q$root\E\/$far_id\/trace.ini'/,
	'messages name the path in vireo.directory');
rmdir "$root/$far_id/trace.ini.tmp";
is(far_sql("SET vireo.enabled = off; SELECT count(*) FROM vr_traces_list() WHERE trace_id = '$far_id'"),
	'1', 'the trace is listed from there');
is(far_sql("SET vireo.enabled = off; SELECT vr_load_trace('$far_id')"), 't', 'and loaded');
is(far_sql("SET vireo.enabled = off; SELECT vr_cleanup('$far_id')"), 't', 'and removed');
ok(!-e "$root/$far_id", 'from there');

# A traces directory that others may write is refused by every function that
# works on it; so is one of another user (the root's /tmp).
chmod 0777, $root or die "chmod: $!";
foreach my $call ("SELECT vr_activate('refused')", 'SELECT count(*) FROM vr_traces_list()',
	'SELECT vr_cleanup()', "SELECT vr_load_trace('00000000000000000000')")
{
	like(far_sql($call), qr/ERROR:  55000: the traces directory "\Q$root\E" may be written by other users than the server's/,
		"a traces directory that others may write: $call is refused");
}
chmod 0700, $root;
$far->append_conf('postgresql.conf', "vireo.directory = '/tmp'");
$far->restart;
like(far_sql("SELECT vr_activate('in /tmp')"),
	qr/ERROR:  55000: the traces directory "\/tmp" does not belong to the server's user\nDETAIL:  It belongs to the user with id 0;/,
	"a traces directory of another user is refused");
like(far_sql("ALTER SYSTEM SET vireo.directory = ''"), qr/vireo.directory must not be empty/,
	'an empty vireo.directory is refused');
$far->stop;

done_testing();
