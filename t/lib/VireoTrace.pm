# Reading trace data files in tests: splits a file into profile records the
# way the format defines them, independently of the module's own reader.
package VireoTrace;
use strict;
use warnings;
use Exporter 'import';
use PostgreSQL::Test::Utils;
use Test::More;

our @EXPORT = qw(parse_records read_records queries_of);

# Splits trace data into profile records.  Fields are separated by commas; a
# field starting with a double quote runs to the next quote not doubled, and
# may hold commas and line feeds; a record ends at the first line feed
# outside quotes.  Each record is returned as
#   { raw => its bytes with the final line feed, fields => [values] }
# where a quoted value is unquoted ('' for two quotes) and a field written
# empty is undef.  Dies on anything that breaks these rules, including an
# unfinished last record.
sub parse_records
{
	my ($data) = @_;
	my @records;

	pos($data) = 0;
	while (pos($data) < length($data))
	{
		my $start = pos($data);
		my @fields;
		while (1)
		{
			if ($data =~ /\G"((?:[^"]+|"")*)"/gc)
			{
				(my $value = $1) =~ s/""/"/g;
				push @fields, $value;
			}
			elsif ($data =~ /\G([^,\n"]*)/gc)
			{
				push @fields, length($1) ? $1 : undef;
			}
			next if $data =~ /\G,/gc;
			last if $data =~ /\G\n/gc;
			die 'malformed record at byte ' . pos($data) . " of a record starting at byte $start\n";
		}
		push @records, { raw => substr($data, $start, pos($data) - $start), fields => \@fields };
	}
	return \@records;
}

# The records of one data file; none when the file does not exist.  A file
# that does not parse fails the test.
sub read_records
{
	my ($file) = @_;
	return [] unless -e $file;
	my $records = eval { parse_records(slurp_file($file)) };
	return $records if defined $records;
	fail("$file parses: $@");
	return [];
}

# The query texts (field 7) of records.
sub queries_of
{
	my ($records) = @_;
	return [ map { $_->{fields}[6] } @$records ];
}

1;
