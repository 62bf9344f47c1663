# vr_load_trace on hand-written trace data files: which records and which
# files are read, how fields map to columns, how records cut by a writer are
# read again whole, and how the loader's files are released on errors.
use strict;
use warnings;
use Digest::MD5 qw(md5_hex);
use Fcntl qw(O_WRONLY O_NONBLOCK);
use POSIX qw(mkfifo);
use PostgreSQL::Test::Cluster;
use PostgreSQL::Test::Utils;
use Test::More;
use FindBin;
use lib "$FindBin::RealBin/lib";
use VireoCompat;

my $node = PostgreSQL::Test::Cluster->new('crafted');
$node->init;
$node->append_conf('postgresql.conf', "shared_preload_libraries = 'vireo'");
$node->start;
$node->safe_psql('postgres', 'CREATE EXTENSION vireo; CREATE ROLE nobody NOLOGIN;');
my $traces = $node->data_dir . '/traces';

# A real descriptor, of a trace of a role that never runs anything, serves
# every crafted trace.
my $model = $node->safe_psql('postgres',
	"SELECT vr_activate('model', ARRAY['nobody'::regrole::oid])");
$node->safe_psql('postgres', "SELECT vr_deactivate('$model')");
my $descriptor = slurp_file("$traces/$model/trace.ini");
like($descriptor, qr/^Version=3\.000000\nStatus=2\n/, 'the model descriptor is a finished trace');

my $trace_seq = 0;

sub new_trace
{
	my $id = sprintf('20200101000000%06d', ++$trace_seq);
	mkdir "$traces/$id" or die "mkdir: $!";
	write_file("$traces/$id/trace.ini", $descriptor);
	return $id;
}

sub write_file
{
	my ($path, $content) = @_;
	open(my $fh, '>:raw', $path) or die "open $path: $!";
	print $fh $content;
	close $fh;
}

sub append_file
{
	my ($path, $content) = @_;
	open(my $fh, '>>:raw', $path) or die "open $path: $!";
	print $fh $content;
	close $fh;
}

# One profile record.  Field 10 (rows) serves as the record's tag.  Numbered
# keys replace fields; "fields => 28" drops the last one; "extra" is added
# after field 29; "end" replaces the line feed.
my $past_start = '2020-01-01 10:00:00.123456+00';
my $past_end   = '2020-01-01 10:00:01.5+00';

sub record
{
	my (%set) = @_;
	my @f = (
		$past_start, $past_end, '"app"', 10, 5, 1, '"SELECT 1"',
		'"Result  (cost=0.00..0.01 rows=1 width=4)"',
		'1.250000', 0, 111 .. 128, '');
	for my $key (grep { /^\d+$/ } keys %set)
	{
		$f[ $key - 1 ] = $set{$key};
	}
	splice(@f, $set{fields}) if defined $set{fields};
	return join(',', @f) . ($set{extra} // '') . ($set{end} // "\n");
}

my $session = $node->background_psql('postgres');

sub tags
{
	my ($s, $where) = @_;
	return $s->query_safe(
		"SELECT string_agg(rows_updated::text, ',' ORDER BY rows_updated) FROM _vr_tmp_tbl_vireo WHERE $where;"
	);
}

# Which records of a file load.  Malformed records in the middle of a file
# are passed over for good; their neighbours load.
my $ta = new_trace();
my $skips =
    record(10 => 1001, 7 => '"a-ok-1"', 3 => '"app-1"', 29 => '"23"')
  . record(10 => 1002, fields => 28)
  . record(10 => 1003, 7 => '"a-ok-2"')
  . record(10 => 1004, extra => ',30,31')
  . record(10 => 1005, 1 => 'not a time')
  . record(10 => 1006, 1 => '')
  . record(10 => 1007, 1 => 'epoch')
  . record(10 => 1008, 2 => 'not a time either')
  . record(10 => 1009, 7 => '')
  . record(10 => 1010, 8 => '')
  . record(10 => 1011, 7 => '""', 3 => '"empty query"')
  . record(10 => 1012, 8 => '""', 7 => '"a-empty-plan"')
  . record(10 => 1013, 13 => 'x', 15 => '', 7 => '"a-bad-rusage"')
  . record(10 => 1014, 23 => 'x')
  . record(10 => 1015, 9 => 'fast')
  . record(10 => 1016, 4 => 'u')
  . record(10 => 1017, 5 => '')
  . record(10 => 1018, 6 => 'select')
  . record(10 => 'x')
  . "\n"
  . record(10 => 1019, 7 => '"a-ok-3"');
write_file("$traces/$ta/trace-100.csv", $skips);

is($session->query_safe("SELECT vr_load_trace('$ta');"), 't', 'a crafted trace loads');
is(tags($session, 'true'), '1001,1003,1011,1012,1013,1019',
	'records with 28 or 31 fields, bad times, absent texts or bad required numbers are skipped');
is($session->query_safe('SELECT pid, pos FROM _vr_tmp_tbl_prev_succ_load;'),
	'100|' . length($skips), 'the position is the end of the file');

is( $session->query_safe(
		"SELECT trace_id, start_time = '$past_start', end_time = '$past_end', appl_name,
		        user_id, db_id, query_type, query, explain, duration, rows_updated,
		        fs_in, fs_out, page_faults, page_reclaims, swaps, sign_recv, msg_recv, msg_snd,
		        vol_contx_switch, invol_contx_switch, shared_blk_read, shared_blk_written,
		        shared_blk_hit, local_blk_read, local_blk_written, local_blk_hit, tmp_blk_read,
		        tmp_blk_written, pid, params, paramsarr IS NULL
		   FROM _vr_tmp_view_data WHERE rows_updated = 1001;"),
	join('|',
		1, 't', 't', 'app-1', 10, 5, 1, 'a-ok-1',
		'Result  (cost=0.00..0.01 rows=1 width=4)', 1.25, 1001, 111 .. 128, 100, 23, 't'),
	'every field lands in its column');
is( $session->query_safe(
		"SELECT appl_name, query = '', query IS NULL FROM _vr_tmp_view_data WHERE rows_updated = 1011;"),
	'empty query|t|f', 'an empty quoted query text loads as an empty string');
is( $session->query_safe(
		"SELECT explain = '', explain IS NULL FROM _vr_tmp_view_data WHERE rows_updated = 1012;"),
	't|f', 'an empty quoted plan loads as an empty string');
is( $session->query_safe(
		"SELECT concat_ws('/', fs_in, fs_out, page_faults, page_reclaims, swaps, sign_recv,
		        msg_recv, msg_snd, vol_contx_switch, invol_contx_switch, shared_blk_read),
		        page_faults IS NULL, swaps IS NULL
		   FROM _vr_tmp_view_data WHERE rows_updated = 1013;"),
	'111/112/114/116/117/118/119/120/121|t|t',
	'a resource counter that is no number is NULL in its own column only');

# The reader's rules, seen through loaded rows.
my $reader =
    record(10 => 1101, 7 => q{"SELECT ""x"", 'y'"})
  . record(10 => 1102, 3 => '   spaced app  ', 7 => '   "blanks before" ', 4 => '  10')
  . record(10 => 1103, 29 => '"23 25"', end => "\r\n")
  . record(10 => 1104, 7 => qq{"SELECT a,\nb\r\nFROM t"})
  . record(10 => 1105, 3 => '""', 7 => '"empty app"')
  . record(10 => 1106, 3 => '', 7 => '"no app"')
  . record(10 => 1107, 7 => '""""')
  . record(10 => 1108, 1 => '2021-02-28 23:59:59.5-09:30', 2 => '2020-02-29 24:00:00+05:30:15')
  . record(10 => 1109, 1 => '2021-03-04 05:06:07.1234567+01', 2 => '  2021-03-04 05:06:07 +01 ');
write_file("$traces/$ta/trace-101.csv", $reader);
is($session->query_safe("SELECT vr_load_trace('$ta');"), 't', 'a second file of the trace loads');
is( $session->query_safe(
		q{SELECT string_agg(rows_updated || ':' || coalesce(appl_name, 'NULL') || ':'
		                    || replace(replace(query, E'\r', '\r'), E'\n', '\n') || ':'
		                    || coalesce(params::text, 'NULL'), E'\n' ORDER BY rows_updated)
		    FROM _vr_tmp_view_data WHERE rows_updated BETWEEN 1101 AND 1107;}),
	join("\n",
		q{1101:app:SELECT "x", 'y':NULL},
		q{1102:spaced app  :blanks before :NULL},
		q{1103:app:SELECT 1:23 25},
		q{1104:app:SELECT a,\nb\r\nFROM t:NULL},
		q{1105::empty app:NULL},
		q{1106:NULL:no app:NULL},
		q{1107:app:":NULL}),
	'doubled quotes, blanks, CR LF line ends, quoted line breaks and empty fields');
is( $session->query_safe(
		q{SELECT string_agg(concat_ws('/', start_time = t1, end_time = t2), ' ' ORDER BY rows_updated)
		    FROM _vr_tmp_view_data JOIN (VALUES
		      (1108, '2021-02-28 23:59:59.5-09:30'::timestamptz, '2020-02-29 24:00:00+05:30:15'::timestamptz),
		      (1109, '2021-03-04 05:06:07.1234567+01', '2021-03-04 05:06:07+01')) v(r, t1, t2)
		      ON rows_updated = r;}),
	't/t t/t', 'times with fractions, zone minutes and seconds, and odd forms read as the server reads them');

# Texts made of quotes only: each quote of the text is doubled inside the
# section, whatever stands around it.
my $quotes = record(10 => 1151, 3 => '""""', 7 => '""""""')
  . record(10 => 1152, 3 => '""""""""', 7 => '""" """');
write_file("$traces/$ta/trace-107.csv", $quotes);
is($session->query_safe("SELECT vr_load_trace('$ta');"), 't', 'texts of quotes only load');
is( $session->query_safe(
		q{SELECT string_agg(rows_updated || ':' || appl_name || ':' || query, ' ' ORDER BY rows_updated)
		    FROM _vr_tmp_view_data WHERE rows_updated IN (1151, 1152);}),
	q{1151:":"" 1152:""":" "}, 'they keep exactly their quotes');

# So do comments of quotes only that a deactivation writes again.
my @comments = ('"', '""', '" "', 'a"');
my @quoted = map {
	$node->safe_psql('postgres', "SELECT vr_activate(\$q\$$_\$q\$, ARRAY['nobody'::regrole::oid])")
} @comments;
$node->safe_psql('postgres', "SELECT vr_deactivate('$_')") for @quoted;
is( $node->safe_psql('postgres',
		"SELECT string_agg(comments, '|' ORDER BY trace_id) FROM vr_traces_list() WHERE trace_id IN ("
		  . join(',', map { "'$_'" } @quoted) . ')'),
	join('|', @comments), 'comments of quotes survive the rewrite at deactivation');
like(slurp_file("$traces/$quoted[0]/trace.ini"), qr/^Comments=""""\n/m,
	'and are written back quoted as before');
$node->safe_psql('postgres', "SELECT vr_cleanup('$_')") for @quoted;

# A record that its writer has not finished, cut inside quotes or before its
# line feed, is read again whole by the next load.
my $first = record(10 => 1201);
my $cut   = record(10 => 1202, 7 => q{"SELECT 'cut here' || 'rest'"});
my $at    = index($cut, 'here') + 4;
write_file("$traces/$ta/trace-102.csv", $first . substr($cut, 0, $at));
my $whole = record(10 => 1301);
my $unterminated = record(10 => 1302, end => '');
write_file("$traces/$ta/trace-103.csv", $whole . $unterminated);

is($session->query_safe("SELECT vr_load_trace('$ta');"), 't', 'files with unfinished records load');
is(tags($session, 'rows_updated BETWEEN 1201 AND 1302'), '1201,1301',
	'the unfinished records are not loaded');
is( $session->query_safe(
		'SELECT pid, pos FROM _vr_tmp_tbl_prev_succ_load WHERE pid IN (102, 103) ORDER BY pid;'),
	'102|' . length($first) . "\n103|" . length($whole),
	'the positions stay before them');
append_file("$traces/$ta/trace-102.csv", substr($cut, $at));
append_file("$traces/$ta/trace-103.csv", "\n");
is($session->query_safe("SELECT vr_load_trace('$ta');"), 't', 'completed records are found');
is(tags($session, 'rows_updated BETWEEN 1201 AND 1302'), '1201,1202,1301,1302',
	'each completed record is loaded once');
is($session->query_safe('SELECT query FROM _vr_tmp_view_data WHERE rows_updated = 1202;'),
	q{SELECT 'cut here' || 'rest'}, 'the record cut inside quotes is read whole');
is( $session->query_safe(
		'SELECT pid, pos FROM _vr_tmp_tbl_prev_succ_load WHERE pid IN (102, 103) ORDER BY pid;'),
	'102|' . length($first . $cut) . "\n103|" . length($whole . $unterminated . "\n"),
	'their position rows are updated');

# Records of statements that started or ended after the loading statement
# began stop their file; the rest of that file waits, other files go on.
write_file("$traces/$ta/trace-104.csv",
	    record(10 => 1401)
	  . record(10 => 1402, 1 => '2099-01-01 00:00:00+00', 2 => '2099-01-01 00:00:01+00')
	  . record(10 => 1403));
write_file("$traces/$ta/trace-105.csv",
	record(10 => 1501) . record(10 => 1502, 2 => '2099-01-01 00:00:01+00') . record(10 => 1503));
write_file("$traces/$ta/trace-106.csv",
	record(10 => 1601, 1 => '2099-01-01 00:00:00+00', 2 => '2099-01-01 00:00:01+00'));
append_file("$traces/$ta/trace-100.csv", record(10 => 1020));
is($session->query_safe("SELECT vr_load_trace('$ta');"), 't', 'files with future records load');
is(tags($session, 'rows_updated BETWEEN 1401 AND 1601 OR rows_updated = 1020'),
	'1020,1401,1501', 'a future start or end time stops the file');
is( $session->query_safe(
		'SELECT pid, pos FROM _vr_tmp_tbl_prev_succ_load WHERE pid IN (104, 105, 106) ORDER BY pid;'),
	'104|' . length(record(10 => 1401)) . "\n105|" . length(record(10 => 1501)),
	'the positions stop before the future record; a file of future records gets none');

# Parameter types in both forms, chosen by the loading session.
my $tp = new_trace();
write_file(
	"$traces/$tp/trace-200.csv",
	record(10 => 2001, 7 => '"p-two"',   29 => '"23 25"')
	  . record(10 => 2002, 7 => '"p-three"', 29 => '"23 25  1043"')
	  . record(10 => 2003, 7 => '"p-letter"', 29 => '"23 x5"')
	  . record(10 => 2004, 7 => '"p-comma"', 29 => '"23,25"')
	  . record(10 => 2005, 7 => '"p-absent"', 29 => '')
	  . record(10 => 2006, 7 => '"p-empty"', 29 => '""')
	  . record(10 => 2007, 7 => '"p-blanks"', 29 => '"   "')
	  . record(10 => 2008, 7 => '"p-range"', 29 => '"23 99999999999"')
	  . record(10 => 2009, 7 => '"p-padded"', 29 => '" 23 25 "')
	  . record(10 => 2010, 7 => '"p-many"', 29 => '"' . join(' ', (23) x 101) . '"'));
my $params_sql = q{SELECT string_agg(rows_updated || ':' || coalesce(params::text, 'NULL') || ':'
	|| coalesce(paramsarr::text, 'NULL'), ' ' ORDER BY rows_updated)
	FROM _vr_tmp_view_data WHERE rows_updated < 2010;};
my $many_sql = q{SELECT params IS NULL, array_length(paramsarr, 1) FROM _vr_tmp_view_data
	WHERE rows_updated = 2010;};

# A field that is not a list of oids (blanks only, a number beyond the oid
# range, more types than an oidvector holds) loads as NULL and never fails
# the load, whatever the form.
my $plain = $node->background_psql('postgres');
is($plain->query_safe("SELECT vr_load_trace('$tp');"), 't', 'parameters load as OIDVECTOR');
is( $plain->query_safe($params_sql),
	'2001:23 25:NULL 2002:23 25 1043:NULL 2003:NULL:NULL 2004:NULL:NULL 2005:NULL:NULL 2006:NULL:NULL '
	  . '2007:NULL:NULL 2008:NULL:NULL 2009:23 25:NULL',
	'params holds the types, paramsarr stays NULL');
is($plain->query_safe($many_sql), 't|', 'more than 100 types do not fit an oidvector');
$plain->quit;

my $arrays = $node->background_psql('postgres');
$arrays->query_safe('SET vireo.use_array_for_paramas = on;');
is($arrays->query_safe("SELECT vr_load_trace('$tp');"), 't', 'parameters load as OID[]');
is( $arrays->query_safe($params_sql),
	'2001:NULL:{23,25} 2002:NULL:{23,25,1043} 2003:NULL:NULL 2004:NULL:NULL 2005:NULL:NULL '
	  . '2006:NULL:NULL 2007:NULL:NULL 2008:NULL:NULL 2009:NULL:{23,25}',
	'paramsarr holds the types, params stays NULL');
is($arrays->query_safe($many_sql), 't|101', 'an OID[] holds them all');

# An error inside the load (a row that the user's own trigger on the
# profile table refuses: the rows then go through INSERT statements) undoes
# the whole call and releases the trace's directory and file.
my $te = new_trace();
write_file("$traces/$te/trace-300.csv", record(10 => 3001) . record(10 => 3002));
my $failing = $node->background_psql('postgres', on_error_stop => 0);
$failing->query_safe('SET vireo.use_array_for_paramas = on;');
is($failing->query_safe("SELECT vr_load_trace('$tp');"), 't', 'a first trace loads');
$failing->query_safe(
	q{CREATE FUNCTION pg_temp.refuse() RETURNS trigger LANGUAGE plpgsql AS $$
	  BEGIN IF NEW.rows_updated = 3002 THEN RAISE 'refused %', NEW.rows_updated; END IF; RETURN NEW; END $$;
	  CREATE TRIGGER refuse BEFORE INSERT ON _vr_tmp_tbl_vireo FOR EACH ROW EXECUTE FUNCTION pg_temp.refuse();});
$failing->query("SELECT vr_load_trace('$te');");
like($failing->{stderr}, qr/ERROR:  refused 3002/, "the user's trigger refuses a row");
$failing->{stderr} = '';
is($failing->query_safe("SELECT count(*) FROM _vr_tmp_tbl_traces WHERE trace = '$te';"),
	'0', 'the failed call left no trace number');
is(tags($failing, 'rows_updated = 3001'), '', 'and none of its rows');

# The counters outlive the failed call: the next new trace of the session
# gets the number after the one the failed call took.
is($failing->query_safe("SELECT vr_load_trace('$ta');"), 't', 'another trace loads after the error');
is($failing->query_safe("SELECT id FROM _vr_tmp_tbl_traces ORDER BY id;"),
	"1\n3", 'it gets the number after the one the failed call took');

SKIP:
{
	my $pid = $failing->query_safe('SELECT pg_backend_pid();');
	skip 'no /proc to count open files', 2 unless -d "/proc/$pid/fd";
	my $fail_loads = sub {
		my ($n) = @_;
		$failing->{stderr} = '';
		$failing->query(
			"DO \$\$ BEGIN FOR i IN 1..$n LOOP
			   BEGIN PERFORM vr_load_trace('$te'); EXCEPTION WHEN OTHERS THEN NULL; END;
			 END LOOP; END \$\$;");
		return (scalar(() = glob("/proc/$pid/fd/*")), $failing->{stderr});
	};
	my ($warm) = $fail_loads->(2);
	my ($open, $messages) = $fail_loads->(5);
	is($open, $warm, 'failed loads leave no file or directory open');
	is($messages, '', 'and no warning about files left open');
}
$failing->quit;
$arrays->quit;

# Only regular files named trace-<pid>.csv are data files: other names (a
# pid with leading zeros too, which would share the position of that pid), a
# directory, a FIFO and a symbolic link under a data file name are passed
# over, and the FIFO never blocks the load.
my $tn = new_trace();
my $dir = "$traces/$tn";
write_file("$dir/trace-0.csv",        record(10 => 4000));
write_file("$dir/trace-9.csv",        record(10 => 4009));
write_file("$dir/trace-09.csv",       record(10 => 4010));
write_file("$dir/trace-00.csv",       record(10 => 4011));
write_file("$dir/trace-12.csv.bak",   record(10 => 4012));
write_file("$dir/trace-.csv",         record(10 => 4013));
write_file("$dir/trace-x.csv",        record(10 => 4014));
write_file("$dir/trace-3.csvx",       record(10 => 4015));
write_file("$dir/linked",             record(10 => 4016));
symlink('linked', "$dir/trace-5.csv") or die "symlink: $!";
mkdir "$dir/trace-7.csv" or die "mkdir: $!";
write_file("$dir/trace-7.csv/trace-6.csv", record(10 => 4017));
mkfifo("$dir/trace-8.csv", 0600) or die "mkfifo: $!";

my $timed_out = 0;
my ($rc, $out, $err) = $node->psql(
	'postgres', "SELECT vr_load_trace('$tn');
	SELECT string_agg(pid || ':' || rows_updated, ',' ORDER BY pid) FROM _vr_tmp_tbl_vireo;",
	timeout   => 30,
	timed_out => \$timed_out);
# Should the load wait on the FIFO, a writer that comes and goes releases it.
if (sysopen(my $fifo, "$dir/trace-8.csv", O_WRONLY | O_NONBLOCK))
{
	close $fifo;
}
ok(!$timed_out, 'the load does not wait on a FIFO');
is($out, "t\n0:4000,9:4009", 'only trace-0.csv and trace-9.csv are read, the first with pid 0');

# A trace directory that cannot be read: nothing is loaded.
my $tu = new_trace();
write_file("$traces/$tu/trace-500.csv", record(10 => 5001));
chmod 0300, "$traces/$tu" or die "chmod: $!";
is($session->query_safe("SELECT vr_load_trace('$tu');"), 'f', 'an unreadable trace directory loads nothing');
chmod 0700, "$traces/$tu" or die "chmod: $!";
is(tags($session, 'rows_updated = 5001'), '', 'no row of it is loaded');
is($session->query_safe("SELECT vr_load_trace('$tu');"), 't', 'once readable, it loads');
is(tags($session, 'rows_updated = 5001'), '5001', 'its record is there');

# Records with a 30th field carry their query id; an unreadable one gives 1.
# A 29-field record takes the session's counter, which never goes back and
# is raised past the ids of 30-field records.  An id that another text has
# is not taken: every row keeps its own text.
my $tq = new_trace();
write_file(
	"$traces/$tq/trace-600.csv",
	record(10 => 6001, 7 => '"q-valid"', extra => ',777')
	  . record(10 => 6002, 7 => '"q-next"')
	  . record(10 => 6003, 7 => '"q-after-next"')
	  . record(10 => 6004, 7 => '"q-letters"', extra => ',12x')
	  . record(10 => 6005, 7 => '"q-empty"', extra => ',')
	  . record(10 => 6006, 7 => '"q-range"', extra => ',99999999999999999999')
	  . record(10 => 6007, 7 => '"q-blanks"', extra => ',  42  ')
	  . record(10 => 6008, 7 => '"q-last"')
	  . record(10 => 6009, 7 => '"q-valid"', extra => ',42'));
my $ids = $node->background_psql('postgres');
is($ids->query_safe("SELECT vr_load_trace('$tq');"), 't', 'records with query ids load');
is( $ids->query_safe(
		"SELECT string_agg(rows_updated || ':' || query_id || ':' || query, ' ' ORDER BY rows_updated)
		   FROM _vr_tmp_view_data;"),
	'6001:777:q-valid 6002:778:q-next 6003:779:q-after-next 6004:1:q-letters 6005:780:q-empty '
	  . '6007:42:q-blanks 6008:781:q-last 6009:777:q-valid',
	'the 30th field gives the query id, 1 when it is no number, never the id of another text; '
	  . 'one beyond the range skips its record');

# Numbers beyond their column's range are refused, not wrapped around: an oid
# beyond 32 bits or below 0, a query type beyond int2, a query id that is
# negative or that the session's counter could not go past.  The largest
# values that fit load as they are.
my $tr = new_trace();
write_file(
	"$traces/$tr/trace-800.csv",
	record(10 => 8001, 6 => 70000)
	  . record(10 => 8002, 4 => 4294967306)
	  . record(10 => 8003, 4 => -1)
	  . record(10 => 8004, 5 => 4294967296)
	  . record(10 => 8005, 6 => -1)
	  . record(10 => 8006, extra => ',18446744073709551615')
	  . record(10 => 8007, extra => ',9223372036854775807')
	  . record(10 => 8008, extra => ',-5')
	  . record(10 => 8009, extra => ',99999999999999999999')
	  . record(10 => 8010, 4 => 4294967295, 5 => 0, 6 => 32767, 7 => '"max"',
		extra => ',9223372036854775806'));
my $ranges = $node->background_psql('postgres');
is($ranges->query_safe("SELECT vr_load_trace('$tr');"), 't', 'a trace with out-of-range numbers loads');
is( $ranges->query_safe(
		'SELECT string_agg(concat_ws(\':\', rows_updated, user_id, db_id, query_type, query_id), \',\')
		   FROM _vr_tmp_view_data;'),
	'8010:4294967295:0:32767:9223372036854775806', 'only the record within every range');

# A rule of the user's that does something else instead of the insert, or
# nothing, is the user's choice: the load goes on.
$ranges->query_safe('CREATE RULE nothing AS ON INSERT TO _vr_tmp_tbl_vireo DO INSTEAD NOTHING;');
is($ranges->query_safe("SELECT vr_load_trace('$ta');"), 't', 'a DO INSTEAD NOTHING rule lets the load pass');
is( $ranges->query_safe(
		"SELECT count(*) FROM _vr_tmp_tbl_vireo;
		 SELECT count(*) > 0 FROM _vr_tmp_tbl_query WHERE query = 'a-ok-1';
		 SELECT count(*) > 0 FROM _vr_tmp_tbl_prev_succ_load WHERE pid = 100;"),
	"1\nt\nt", 'its rows went nowhere, their texts and positions were kept');
$ranges->quit;

# One statement that loads a trace twice: the second call sees what the
# first one wrote.
my $tv = new_trace();
write_file("$traces/$tv/trace-700.csv", record(10 => 7001) . record(10 => 7002));
is( $ids->query_safe(
		"SELECT string_agg(l::text, ',' ORDER BY n) FROM (SELECT n, vr_load_trace(t) AS l
		   FROM (VALUES (1, '$tv'), (2, '$tv')) v(n, t)) s;"),
	'true,false', 'one statement, two loads: the second finds nothing new');
is( $ids->query_safe(
		"SELECT count(*), count(DISTINCT trace_id) FROM _vr_tmp_tbl_vireo WHERE rows_updated > 7000;
		 SELECT count(*) FROM _vr_tmp_tbl_traces WHERE trace = '$tv';"),
	"2|1
1", 'each record once, under one trace number');
$ids->quit;

# The fast path against the loading algorithm, computed here from the files:
# a mixed trace (texts repeated and unique, with quotes, commas and line
# feeds; 29- and 30-field records whose ids group, collide and lower a
# text's id), loaded in several calls (a large first load, appended records,
# a second trace, a reload), in three sessions: as is; keeping few texts in
# memory; and with triggers on the tables, so that rows go through INSERT
# statements.  Files are read in the order of their pids.
my %model = (counter => 1, id_of => {}, text_of => {}, rows => {});
my %files;    # pid => [ [tag, text, id field], ... ] of the records written

sub model_record
{
	my ($trace_no, $tag, $text, $x) = @_;
	my ($id_of, $text_of) = @model{qw(id_of text_of)};
	my $candidate;
	if (defined $x)
	{
		$candidate = $x =~ /^\d+$/ ? $x : 1;
		$model{counter} = $candidate + 1 if $candidate >= $model{counter};
	}
	else
	{
		$candidate = $model{counter}++;
	}
	if (exists $id_of->{$text})
	{
		my $id = $id_of->{$text};
		if ($candidate < $id && !exists $text_of->{$candidate})
		{
			delete $text_of->{$id};
			$id_of->{$text} = $candidate;
			$text_of->{$candidate} = $text;
		}
	}
	else
	{
		my $id = $candidate;
		$id = $model{counter}++ while exists $text_of->{$id};
		$id_of->{$text} = $id;
		$text_of->{$id} = $text;
		$model{inserted}++;
	}
	$model{rows}{"$trace_no:$tag"} = $text;
	$model{inserted}++;
}

# Writes $n records to each file; a record's tag (field 10) is unique.
my $next_tag = 100000;
my @pool = map { qq{SELECT "pooled", 'a,b'\n  FROM t$_} } 1 .. 150;
srand(20240611);

sub write_records
{
	my ($id, $n, @pids) = @_;
	for my $pid (@pids)
	{
		my $content = '';
		for (1 .. $n)
		{
			my $tag = $next_tag++;
			# the unique texts are long, so that 1 MB holds only some of them
			my $text = rand() < 0.7 ? $pool[ int rand @pool ] : "SELECT $tag -- " . ('u' x 1000);
			my $r = rand();
			my $x =
			    $r < 0.1  ? 1000000 + length($text) % 50
			  : $r < 0.2  ? 1 + int rand 3000
			  : $r < 0.22 ? 'x'
			  :             undef;
			(my $quoted = $text) =~ s/"/""/g;
			$content .= record(10 => $tag, 7 => qq{"$quoted"}, 8 => '"' . ('p' x 300) . '"',
				defined $x ? (extra => ",$x") : ());
			push @{ $files{"$id/$pid"} }, [ $tag, $text, $x ];
		}
		append_file("$traces/$id/trace-$pid.csv", $content);
	}
}

# Records of the trace's files from position $from{pid} on, into the model.
sub model_load
{
	my ($id, $trace_no, $from) = @_;
	for my $key (sort { ($a =~ /(\d+)$/)[0] <=> ($b =~ /(\d+)$/)[0] } grep { m{^$id/} } keys %files)
	{
		my $records = $files{$key};
		model_record($trace_no, @$_) for @$records[ ($from->{$key} // 0) .. $#$records ];
		$from->{$key} = @$records;
	}
}

my @sessions = map { $node->background_psql('postgres') } 1 .. 4;
$sessions[1]->query_safe("SET maintenance_work_mem = '1MB'");
$sessions[2]->query_safe("SET maintenance_work_mem = '1MB'");
my $empty = new_trace();
$_->query_safe("SELECT vr_load_trace('$empty')") for @sessions;
$sessions[2]->query_safe(
	q{CREATE TEMPORARY SEQUENCE passed;
	  CREATE FUNCTION pg_temp.pass() RETURNS trigger LANGUAGE plpgsql AS
	    $$ BEGIN PERFORM nextval('passed'); RETURN NEW; END $$;
	  CREATE TRIGGER pass BEFORE INSERT ON _vr_tmp_tbl_vireo FOR EACH ROW EXECUTE FUNCTION pg_temp.pass();
	  CREATE TRIGGER pass BEFORE INSERT ON _vr_tmp_tbl_query FOR EACH ROW EXECUTE FUNCTION pg_temp.pass();});
# The fourth session has no index on the texts and one on an expression.
$sessions[3]->query_safe(
	q{DROP INDEX _vr_tmp_tbl_query_query_idx;
	  CREATE INDEX lower_app ON _vr_tmp_tbl_vireo (lower(appl_name));});

my ($tm1, $tm2) = (new_trace(), new_trace());
my (%from1, %from2);
sub load_all
{
	my ($call) = @_;
	is($_->query_safe($call), 't', "$call loads in each session") for @sessions;
}
write_records($tm1, 1300, 30, 31, 32);
load_all("SELECT vr_load_trace('$tm1')");
model_load($tm1, 2, \%from1);
# A user's second row of a text, with a larger id and a profile row of
# its own: the next load that meets the text folds them onto its id.
$sessions[3]->query_safe(
	"INSERT INTO _vr_tmp_tbl_query VALUES (-7, \$\$$pool[0]\$\$), (-7, \$\$$pool[0]\$\$);
	 UPDATE _vr_tmp_tbl_query SET query_id = 9000000 WHERE query_id = -7;
	 INSERT INTO _vr_tmp_tbl_vireo (trace_id, rows_updated, query_id) VALUES (9, 99, 9000000);");
write_records($tm1, 150, 30, 32, 33);
load_all("SELECT vr_load_trace('$tm1')");
model_load($tm1, 2, \%from1);
write_records($tm2, 200, 40, 41);
load_all("SELECT vr_load_trace('$tm2')");
model_load($tm2, 3, \%from2);
load_all("SELECT vr_load_trace('$tm1', true)");
delete $model{rows}{$_} for grep { /^2:/ } keys %{ $model{rows} };
model_load($tm1, 2, {});

my $rows = join(',',
	map { my ($t, $tag) = split /:/; "$t:$tag:$model{id_of}{$model{rows}{$_}}:" . md5_hex($model{rows}{$_}) }
	sort { $a cmp $b } keys %{ $model{rows} });
my $queries = join(',',
	map { "$_:" . md5_hex($model{text_of}{$_}) } sort { $a <=> $b } keys %{ $model{text_of} });
for my $i (0 .. 3)
{
	my $s = $sessions[$i];
	is( $s->query_safe(
			q{SELECT string_agg(concat_ws(':', trace_id, rows_updated, query_id, md5(query)), ','
			    ORDER BY trace_id::text || ':' || rows_updated::text COLLATE "C")
			    FROM _vr_tmp_view_data WHERE rows_updated >= 100000;
			  SELECT count(*) FROM _vr_tmp_tbl_vireo WHERE rows_updated >= 100000;}),
		"$rows\n" . scalar(keys %{ $model{rows} }),
		"session $i: every row with its own text and the id the algorithm gives");
	is( $s->query_safe(
			q{SELECT string_agg(query_id || ':' || md5(query), ',' ORDER BY query_id)
			    FROM _vr_tmp_tbl_query;}),
		$queries, "session $i: one query row per text");
	is( $s->query_safe(
			"SELECT string_agg(trace_id || ':' || pid || ':' || pos, ',' ORDER BY trace_id, pid)
			   FROM _vr_tmp_tbl_prev_succ_load;"),
		join(',', map { my ($n, $id) = @$_; map { "$n:$_:" . -s "$traces/$id/trace-$_.csv" } sort { $a <=> $b }
				map { m{/(\d+)$} } grep { m{^$id/} } keys %files } ([2, $tm1], [3, $tm2])),
		"session $i: every file read to its end");
}
is($sessions[2]->query_safe('SELECT last_value FROM passed'),
	$model{inserted}, "every row went through the user's triggers");
is( $sessions[3]->query_safe(
		"SELECT query_id = $model{id_of}{$pool[0]} FROM _vr_tmp_tbl_vireo WHERE rows_updated = 99;
		 SELECT count(*) FROM _vr_tmp_tbl_query WHERE query = \$\$$pool[0]\$\$;"),
	"t\n1", "the user's second row of a text was folded, with its profile row");
$_->quit for @sessions;

# vr_trace_records reads exactly what the loader reads: the same rows, with
# the parameter types as oid[] (as the loader's paramsarr, which keeps those
# of a text's first record: compared where a text has one record), files in
# the order of their pids and the records of each file in order; in FROM and
# in the select list alike.
my $columns = 'pid, start_time, end_time, appl_name, user_id, db_id, query_type, query,
	CASE WHEN count(*) OVER (PARTITION BY query) = 1 THEN %s END, explain,
	duration, rows_updated, fs_in, fs_out, page_faults, page_reclaims, swaps, sign_recv, msg_recv,
	msg_snd, vol_contx_switch, invol_contx_switch, shared_blk_read, shared_blk_written,
	shared_blk_hit, local_blk_read, local_blk_written, local_blk_hit, tmp_blk_read, tmp_blk_written';
my $stream = $node->background_psql('postgres', on_error_stop => 0);
$stream->query_safe('SET vireo.use_array_for_paramas = on;');
for my $id ($ta, $tp, $tq, $tr, $tm1, $tm2)
{
	$stream->query_safe("SELECT vr_load_trace('$id');");
	my $stream_columns = sprintf($columns, 'params');
	my $loaded_columns = sprintf($columns, 'paramsarr');
	is( $stream->query_safe(
			"WITH s AS (SELECT * FROM (SELECT row_number() OVER () AS n, * FROM vr_trace_records('$id')) f),
			      l AS (SELECT v.* FROM _vr_tmp_view_data v
			              JOIN _vr_tmp_tbl_traces t ON t.id = v.trace_id AND t.trace = '$id')
			 SELECT (SELECT count(*) FROM s) = (SELECT count(*) FROM l),
			        (SELECT count(*) FROM (SELECT $stream_columns FROM s
			                               EXCEPT ALL SELECT $loaded_columns FROM l) d),
			        (SELECT count(*) FROM (SELECT pid < lag(pid) OVER w AS back,
			                                      pid = lag(pid) OVER w
			                                      AND rows_updated < lag(rows_updated) OVER w AS back_in_file
			                                 FROM s WINDOW w AS (ORDER BY n)) o
			          WHERE back OR (back_in_file AND '$id' IN ('$tm1', '$tm2')));
			 SELECT (SELECT md5(string_agg(r::text, E'\\n')) FROM (SELECT vr_trace_records('$id') r OFFSET 0) s)
			      = (SELECT md5(string_agg(t::text, E'\\n')) FROM vr_trace_records('$id') t);"),
		"t|0|0\nt", "trace $id: the stream gives the loaded rows in the files' order, in both forms");
}

# A stream the client stops early releases its file at once.
SKIP:
{
	my $pid = $stream->query_safe('SELECT pg_backend_pid();');
	skip 'no /proc to count open files', 2 unless -d "/proc/$pid/fd";
	my $open = sub { scalar(() = glob("/proc/$pid/fd/*")) };
	my $before = $open->();
	$stream->{stderr} = '';
	is( $stream->query_safe(
			"SELECT (r).pid FROM (SELECT vr_trace_records('$tm1') r OFFSET 0) s LIMIT 1;
			 SELECT count(*) FROM (SELECT * FROM vr_trace_records('$tm1') LIMIT 2) s;"),
		"30\n2", 'a stream stopped by a LIMIT');
	is($open->() . $stream->{stderr}, $before, 'leaves no file open and says nothing');
}
$stream->quit;

$session->quit;
$node->stop;
done_testing();
