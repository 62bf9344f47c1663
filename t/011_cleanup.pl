# vr_cleanup on a real server's traces root: what it removes and what it
# leaves (foreign entries, names that are not traces, symbolic links,
# directories it cannot read or change), one trace at a time and all at once.
use strict;
use warnings;
use File::Path qw(rmtree);
use PostgreSQL::Test::Cluster;
use PostgreSQL::Test::Utils;
use Test::More;

my $node = PostgreSQL::Test::Cluster->new('cleanup');
$node->init;
$node->append_conf('postgresql.conf', "shared_preload_libraries = 'vireo'");
$node->start;
$node->safe_psql('postgres', 'CREATE EXTENSION vireo; CREATE ROLE alice LOGIN');
my $alice = $node->safe_psql('postgres', "SELECT 'alice'::regrole::oid");
my $data = $node->data_dir;
my $traces = "$data/traces";
my $outside = PostgreSQL::Test::Utils::tempdir;

# The sessions here record nothing themselves, unless a test says otherwise.
sub sql
{
	my ($query, @params) = @_;
	return $node->safe_psql('postgres', "SET vireo.enabled = off;\n$query", @params);
}

# Standard error of a query that should fail or warn, with SQLSTATEs.
sub sql_stderr
{
	my ($query, @params) = @_;
	my ($rc, $out, $err) =
	  $node->psql('postgres', "\\set VERBOSITY verbose\nSET vireo.enabled = off;\n$query", @params);
	return $err;
}

sub write_file
{
	my ($path, $content) = @_;
	open my $fh, '>:raw', $path or die "could not write $path: $!";
	print $fh $content;
	close $fh;
}

sub descriptor
{
	my ($owner) = @_;
	return "Version=3.000000\nStatus=2\nComments=\"crafted\"\nStartTime=2021-03-04 05:06:07+01\n"
	  . "InitiatedBy=$owner\nUsers=\nDatabases=\nMaxSize=0\nEndTime=2021-03-04 05:07:07+01\n"
	  . "FinishTime=2021-03-04 05:07:07+01";
}

# A stored trace made by hand in directory $dir: a valid descriptor owned by
# the bootstrap superuser (or $owner), and the given entries: a file with its
# content, a directory (a reference to a hash of its entries) or a symbolic
# link (a reference to a scalar holding its target).
sub craft
{
	my ($dir, $entries, $owner) = @_;
	mkdir $dir or die "mkdir $dir: $!";
	write_file("$dir/trace.ini", descriptor($owner // 10));
	foreach my $name (keys %{ $entries // {} })
	{
		my $entry = $entries->{$name};
		if (ref $entry eq 'HASH')
		{
			craft_entries("$dir/$name", $entry);
		}
		elsif (ref $entry eq 'SCALAR')
		{
			symlink($$entry, "$dir/$name") or die "symlink: $!";
		}
		else
		{
			write_file("$dir/$name", $entry);
		}
	}
}

sub craft_entries
{
	my ($dir, $entries) = @_;
	mkdir $dir or die "mkdir $dir: $!";
	write_file("$dir/$_", $entries->{$_}) foreach keys %$entries;
}

sub entries
{
	my ($dir) = @_;
	opendir(my $dh, $dir) or return undef;
	my @names = sort grep { $_ ne '.' && $_ ne '..' } readdir $dh;
	closedir $dh;
	return join(',', @names);
}

my $seq = 0;
sub new_id { return sprintf('2021030405060%07d', ++$seq); }

#
# Without a traces root
#
like(sql_stderr('SELECT vr_cleanup(NULL, false)'),
	qr/WARNING:  01000: Couldn't open the directory 'traces'\./,
	'cleanup of all warns when there is no traces root');
is(sql('SET client_min_messages = error; SELECT vr_cleanup(NULL, false)'), 'f', 'and returns false');
like(sql_stderr("SELECT vr_cleanup('00000000000000000000')"),
	qr/ERROR:  55000: Could not load the trace '00000000000000000000'\./,
	'cleanup of one trace cannot load it');

#
# One trace at a time
#
# A running trace with the data files that its sessions wrote.
my $running = sql("SELECT vr_activate('running')");
$node->safe_psql('postgres', 'CREATE TABLE t AS SELECT 1 AS a; SELECT * FROM t');
like(sql_stderr("SELECT vr_cleanup('$running')"),
	qr/ERROR:  55006: The trace '$running' is currently active\./, 'a running trace needs force');
is(sql("SELECT vr_cleanup('$running', true)"), 't', 'with force it is deactivated and removed');
ok(!-e "$traces/$running", 'its directory is gone');
is(sql('SELECT count(*) FROM vr_active_traces()'), '0', 'and it runs no more');

# Data files and a descriptor left behind by an interrupted rewrite are ours.
my $ours = new_id();
craft("$traces/$ours",
	{ 'trace-123.csv' => "x\n", 'trace-4567.csv' => '', 'trace-99999999999999.csv' => '', 'trace.ini.tmp' => 'Version=' });
is(sql("SELECT vr_cleanup('$ours')"), 't', 'data files, whatever their number, and trace.ini.tmp are removed');
ok(!-e "$traces/$ours", 'with the trace directory');

# Anything else is foreign: it stays, with its directory, while the trace's
# own files go, and the trace is not listed any more.
my %foreign = (
	'notes.txt' => { 'notes.txt' => 'mine', 'trace-1.csv' => "1\n" },
	'a directory named like a data file' => { 'trace-1.csv' => { inner => 'keep' } },
	'names almost like data files' => {
		'trace-.csv' => '', 'trace-12.csv.bak' => '', 'trace-1a.csv' => '', 'Trace-1.csv' => '',
		'trace-12.csvx' => '', 'trace-2.csv' => '' });
my %left = (
	'notes.txt' => 'notes.txt',
	'a directory named like a data file' => 'trace-1.csv',
	'names almost like data files' => 'Trace-1.csv,trace-.csv,trace-12.csv.bak,trace-12.csvx,trace-1a.csv');
my %foreign_id;
foreach my $what (sort keys %foreign)
{
	my $id = $foreign_id{$what} = new_id();
	craft("$traces/$id", $foreign{$what});
	like(sql_stderr("SELECT vr_cleanup('$id')"),
		qr/ERROR:  42501: Found files and\/or directories not used by the vireo\. You will have to remove those manually\./,
		"$what: foreign entries are reported");
	is(entries("$traces/$id"), $left{$what}, "$what: only the foreign entries stay");
	is(sql("SELECT count(*) FROM vr_traces_list() WHERE trace_id = '$id'"), '0', "$what: no longer listed");
}
is(entries("$traces/$foreign_id{'a directory named like a data file'}/trace-1.csv"), 'inner',
	'a foreign directory keeps its content');

# Identifiers that climb out of the traces root are refused: a directory
# beside the traces root that looks like a trace is left alone.
my $escapee = 'outside_trace_dir';    # 17 characters, so "../" makes 20
craft("$data/$escapee", { 'trace-1.csv' => "1\n" });
foreach my $call ("vr_cleanup('../$escapee')", "vr_cleanup('../$escapee', true)",
	"vr_load_trace('../$escapee')", "vr_deactivate('../$escapee')")
{
	like(sql_stderr("SELECT $call"), qr/ERROR:  55000: Not a valid trace-id\./, "$call is refused");
}
is(entries("$data/$escapee"), 'trace-1.csv,trace.ini', 'the directory outside the traces root is untouched');

# Symbolic links planted as data files are removed as links; what they point
# at stays.
write_file("$outside/victim.txt", 'precious');
craft_entries("$outside/victim_dir", { 'file' => 'precious too' });
my %links = (
	'trace-99.csv' => \"$outside/victim.txt",
	'trace-98.csv' => \"$outside/victim_dir",
	'trace-97.csv' => \"$outside/nothing_here");
my $linked = new_id();
craft("$traces/$linked", \%links);
is(sql("SELECT vr_cleanup('$linked')"), 't', 'a trace with symbolic links as data files is removed');
ok(!-e "$traces/$linked" && !-l "$traces/$linked/trace-97.csv", 'with its links and directory');
is(slurp_file("$outside/victim.txt"), 'precious', 'the file a link pointed at survives');
is(entries("$outside/victim_dir"), 'file', 'so does the directory a link pointed at, with its content');

# A symbolic link planted as a whole trace directory is not followed.
craft("$outside/fake_trace", { 'trace-1.csv' => "1\n" });
my $fake = new_id();
symlink("$outside/fake_trace", "$traces/$fake") or die "symlink: $!";
like(sql_stderr("SELECT vr_cleanup('$fake')"), qr/ERROR:  \w+: could not open directory "traces\/$fake"/,
	'a symbolic link in place of a trace directory is not opened');
is(entries("$outside/fake_trace"), 'trace-1.csv,trace.ini', 'what it points at is untouched');

# A trace directory that cannot be read is reported by name.
my $unreadable = new_id();
craft("$traces/$unreadable", { 'trace-1.csv' => "1\n" });
chmod 0300, "$traces/$unreadable";
like(sql_stderr("SELECT vr_cleanup('$unreadable')"),
	qr/ERROR:  \w+: could not open directory "traces\/$unreadable": Permission denied/,
	'an unreadable trace directory is reported by name');

# A data file that cannot be removed is an error for one trace.
my $stuck = new_id();
craft("$traces/$stuck", { 'trace-1.csv' => "1\n" });
chmod 0500, "$traces/$stuck";
like(sql_stderr("SELECT vr_cleanup('$stuck')"),
	qr/ERROR:  42501: couldn't remove the file "traces\/$stuck\/trace-1.csv": Permission denied/,
	'a data file that cannot be removed is an error');

#
# All traces at once.  The traces root now holds the leftovers above.
#
my $mine = new_id();
craft("$traces/$mine", { 'trace-1.csv' => "1\n", 'trace.ini.tmp' => '' });
my $alices = new_id();
craft("$traces/$alices", { 'trace-1.csv' => "1\n" }, $alice);
my $supers = new_id();
craft("$traces/$supers", { 'trace-1.csv' => "1\n" });
my $noted = new_id();
craft("$traces/$noted", { 'trace-1.csv' => "1\n", 'notes.txt' => 'mine' });
# Names that are not 20 digits are not traces, whatever they hold.
my @not_traces = ('2021030405060000001', '202103040506000000001', 'abcdefghijklmnopqrst', '2021030405060000000x');
craft("$traces/$_", { 'trace-1.csv' => "1\n" }) foreach @not_traces;
write_file("$traces/README", 'notes');

# A plain user removes only her own traces.
is(sql('SELECT vr_cleanup(NULL, false)', extra_params => [ '-U', 'alice' ]), 't',
	'cleanup of all by a plain user');
ok(!-e "$traces/$alices", 'removes her trace');
ok(-f "$traces/$supers/trace.ini" && -f "$traces/$supers/trace-1.csv", "and leaves the superuser's");

my $active = sql("SELECT vr_activate('running again')");
# (the traces met before it in directory order are removed already)
my $refusal = sql_stderr('SELECT vr_cleanup(NULL, false)');
like($refusal, qr/ERROR:  55006: The trace '$active' is currently active\./,
	'cleanup of all refuses a running trace without force');

my ($rc, $out, $err) = $node->psql('postgres', "\\set VERBOSITY verbose\nSELECT vr_cleanup(NULL, true)");
is($out, 't', 'cleanup of all with force');
like($refusal . $err, qr/WARNING:  01000: could not remove file  "traces\/$stuck\/trace-1.csv": Permission denied/,
	'warns about a data file it cannot remove');
ok(!-e "$traces/$mine", 'removes a trace with data files and trace.ini.tmp');
ok(!-e "$traces/$supers", "removes the superuser's trace");
ok(!-e "$traces/$active", 'removes the running trace');
is(entries("$traces/$noted"), 'notes.txt', 'removes the files of a trace with foreign entries, but not those');
ok(-d $traces, 'keeps the traces root, which holds more than removable traces');
ok(-f "$traces/$stuck/trace.ini", 'keeps the descriptor of a trace whose files it could not all remove');
is(sql("SELECT count(*) FROM vr_traces_list() WHERE trace_id = '$stuck'"), '1', 'which is still listed');
ok(-d "$traces/$unreadable", 'leaves a trace directory it cannot read');
ok(-l "$traces/$fake", 'leaves a symbolic link in place of a trace directory');
is(entries("$outside/fake_trace"), 'trace-1.csv,trace.ini', 'and does not follow it');
is(entries("$traces/$_"), 'trace-1.csv,trace.ini', "leaves $_") foreach @not_traces;
ok(-f "$traces/README", 'leaves other files');
is(entries("$data/$escapee"), 'trace-1.csv,trace.ini', 'and nothing outside the traces root is touched');

# Once every entry is a trace it can remove, the traces root goes too; the
# next activation makes it again.
chmod 0700, "$traces/$unreadable", "$traces/$stuck";
is(entries("$traces/$unreadable"), 'trace-1.csv,trace.ini', 'with all its files');
is(sql("SELECT vr_cleanup('$stuck')"), 't', 'the trace is removed once its files can be');
unlink "$traces/$fake", "$traces/README";
rmtree([ grep { $_ ne "$traces/$unreadable" } glob("$traces/*") ]);
my $last = new_id();
craft("$traces/$last", { 'trace-1.csv' => "1\n" });
is(sql('SELECT vr_cleanup(NULL, false)'), 't', 'cleanup of all removes the remaining traces');
ok(!-e $traces, 'and then the traces root');
like(sql("SELECT vr_activate('after cleanup')"), qr/^\d{20}$/, 'activation makes the traces root again');
ok(-d $traces, 'there it is');

# A traces root that is not a directory stops activation before a slot is taken.
sql('SELECT vr_cleanup(NULL, true)');
write_file($traces, 'not a directory');
like(sql_stderr("SELECT vr_activate('nowhere to go')"), qr/ERROR:  55000: trace path "traces" is not a directory/,
	'activation needs the traces root to be a directory');
is(sql('SELECT count(*) FROM vr_active_traces()'), '0', 'and takes no slot when it is not');

$node->stop;
done_testing();
