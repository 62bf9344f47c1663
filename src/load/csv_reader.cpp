#include "load/csv_reader.hpp"

// Stands for "no previous character": a value no byte can take.
static constexpr int NO_CHAR = -2;
// The previous character was a quote that opened a quoted section: unlike
// a closing one, it pairs with no quote after it.
static constexpr int OPENING_QUOTE = -3;
static constexpr int QUOTE = '"';

enum class scan_end
{
	terminator,
	end_of_file,
	open_quote // the file ended inside quotes
};

// The rules of a record, for any source of bytes (In: get() gives the next
// byte or EOF; quoted_run(out) may hand over the bytes up to the next quote
// at once, and returns the last of them, or NO_CHAR; plain_run(out,
// separator, terminator) may hand over the bytes that are taken as they are
// outside quotes, which change nothing but the field's text) and any keeper of fields
// (Out: present() makes the current field's text present, append(c) and
// append(data, len) add to it, end_field() finishes and counts it,
// next_field() starts the next one, first_absent() tells a record that
// holds nothing).
template <typename In, typename Out>
static scan_end scan_record(In &in, Out &out, int separator, int terminator, bool keep_quotes)
{
	bool in_quotes = false;
	bool started = false;
	int last = NO_CHAR;
	int c;

	for (;;)
	{
		if (in_quotes)
		{
			int run_last = in.quoted_run(out);
			if (run_last != NO_CHAR)
				last = run_last;
		}
		if ((c = in.get()) == EOF)
			break;
		if (in_quotes && c != QUOTE)
		{
			out.append(c);
			last = c;
		}
		else if (c == ' ' || c == '\t')
		{
			if (started)
				out.append(c);
			last = c;
		}
		else if (c == '\v' || c == '\f' || c == '\r')
			last = c;
		else if (c == QUOTE)
		{
			in_quotes = !in_quotes;
			if (last == QUOTE)
			{
				// A quote right after the one that closed a section stands
				// for a quote of the text, and the section goes on.  The
				// pair is used up.
				out.append(QUOTE);
				started = true;
				last = '\0';
			}
			else
			{
				out.present();
				if (keep_quotes)
					out.append(QUOTE);
				started = true;
				last = in_quotes ? OPENING_QUOTE : QUOTE;
			}
		}
		else if (c == terminator)
		{
			if (!out.first_absent())
				out.end_field();
			return scan_end::terminator;
		}
		else if (c == separator)
		{
			out.end_field();
			out.next_field();
			started = false;
			last = c;
		}
		else
		{
			out.append(c);
			started = true;
			in.plain_run(out, separator, terminator);
		}
	}
	return in_quotes ? scan_end::open_quote : scan_end::end_of_file;
}

// get_next_vrx_csv_record's bytes: the stream, character by character.
struct stream_input
{
	FILE *stream;
	int get()
	{
		return getc_unlocked(stream);
	}
	template <typename Out> int quoted_run(Out &)
	{
		return NO_CHAR;
	}
	template <typename Out> void plain_run(Out &, int, int)
	{
	}
};

// get_next_vrx_csv_record's fields: a list of csv_field.
struct list_output
{
	csv_record *record;
	csv_field *current;

	void present()
	{
		if (current->value.data == nullptr)
			initStringInfo(&current->value);
	}
	void append(int c)
	{
		present();
		appendStringInfoCharMacro(&current->value, static_cast<char>(c));
	}
	void append(const char *data, int len)
	{
		present();
		appendBinaryStringInfo(&current->value, data, len);
	}
	bool first_absent() const
	{
		return current == record->first && current->value.data == nullptr;
	}
	void end_field()
	{
		record->count++;
	}
	void next_field()
	{
		current->next = static_cast<csv_field *>(palloc0(sizeof(csv_field)));
		current = current->next;
	}
};

void vrx_free_csv_record(csv_record *record)
{
	csv_field *field = record->first;
	while (field != nullptr)
	{
		csv_field *next = field->next;
		if (field->value.data != nullptr)
			pfree(field->value.data);
		pfree(field);
		field = next;
	}
	record->first = nullptr;
}

bool get_next_vrx_csv_record(FILE *stream, int64 *position, char separator, char terminator,
                             csv_record *record, bool keep_quotes)
{
	if (feof(stream))
		return false;

	record->count = 0;
	fseeko(stream, static_cast<off_t>(*position), SEEK_SET);
	record->first = static_cast<csv_field *>(palloc0(sizeof(csv_field)));

	stream_input in = {stream};
	list_output out = {record, record->first};
	switch (scan_record(in, out, static_cast<unsigned char>(separator),
	                    static_cast<unsigned char>(terminator), keep_quotes))
	{
		case scan_end::terminator:
			*position = static_cast<int64>(ftello(stream));
			if (record->count == 0)
			{
				pfree(record->first);
				record->first = nullptr;
			}
			return true;
		case scan_end::end_of_file:
			*position = static_cast<int64>(ftello(stream));
			return true;
		case scan_end::open_quote:
			vrx_free_csv_record(record);
			return false;
	}
	return false;
}

// The loader's bytes: the file read in large pieces from the start on.
static constexpr int READ_BUFFER = 256 * 1024;

struct vrx_record_reader
{
	FILE *stream;
	char *buffer;
	int len;
	int pos;
	int64 offset; // of buffer[0] in the file
	bool at_end;  // the end of the file was met
	StringInfoData texts;
	MemoryContext cxt; // of the reader

	int get()
	{
		if (pos < len)
			return static_cast<unsigned char>(buffer[pos++]);
		return refill();
	}
	int refill()
	{
		offset += len;
		pos = 0;
		len = static_cast<int>(fread(buffer, 1, READ_BUFFER, stream));
		if (len <= 0)
		{
			len = 0;
			return EOF;
		}
		return static_cast<unsigned char>(buffer[pos++]);
	}
	int64 tell() const
	{
		return offset + pos;
	}
	// The bytes of the buffer up to the next quote, at once.
	template <typename Out> int quoted_run(Out &out)
	{
		const char *begin = buffer + pos;
		const char *quote = static_cast<const char *>(memchr(begin, QUOTE, len - pos));
		const int n = quote != nullptr ? static_cast<int>(quote - begin) : len - pos;
		if (n == 0)
			return NO_CHAR;
		out.append(begin, n);
		pos += n;
		return static_cast<unsigned char>(begin[n - 1]);
	}
	// The bytes of the buffer up to the next one that has a meaning outside
	// quotes, at once.
	template <typename Out> void plain_run(Out &out, int separator, int terminator)
	{
		int n = pos;
		for (; n < len; n++)
		{
			const int c = static_cast<unsigned char>(buffer[n]);
			if (c == separator || c == terminator || c == QUOTE || c == ' ' || c == '\t' ||
			    c == '\v' || c == '\f' || c == '\r')
				break;
		}
		if (n > pos)
		{
			out.append(buffer + pos, n - pos);
			pos = n;
		}
	}
};

// The loader's fields: texts one after the other in one buffer, each with a
// NUL after it.
struct buffer_output
{
	vrx_record *record;
	StringInfo texts;
	int current;
	bool present_;                 // the current field's text is present
	int starts[VRX_RECORD_FIELDS]; // of the fields' texts in texts

	void present()
	{
		present_ = true;
	}
	void append(int c)
	{
		present_ = true;
		if (current < VRX_RECORD_FIELDS)
			appendStringInfoCharMacro(texts, static_cast<char>(c));
	}
	void append(const char *data, int len)
	{
		present_ = true;
		if (current < VRX_RECORD_FIELDS)
			appendBinaryStringInfo(texts, data, len);
	}
	bool first_absent() const
	{
		return current == 0 && !present_;
	}
	void end_field()
	{
		if (current < VRX_RECORD_FIELDS)
		{
			const int start = starts[current];
			// The texts may still move as they grow: data is set at the end.
			record->fields[current].data = present_ ? texts->data : nullptr;
			record->fields[current].len = texts->len - start;
			appendStringInfoCharMacro(texts, '\0');
		}
		record->count++;
	}
	void next_field()
	{
		current++;
		if (current < VRX_RECORD_FIELDS)
			starts[current] = texts->len;
		present_ = false;
	}
};

vrx_record_reader *vrx_record_reader_open(FILE *stream, int64 start)
{
	auto *reader = static_cast<vrx_record_reader *>(palloc0(sizeof(vrx_record_reader)));
	reader->stream = stream;
	reader->cxt = CurrentMemoryContext;
	reader->buffer = static_cast<char *>(palloc(READ_BUFFER));
	reader->offset = start;
	fseeko(stream, static_cast<off_t>(start), SEEK_SET);
	initStringInfo(&reader->texts);
	return reader;
}

bool vrx_read_record(vrx_record_reader *reader, vrx_record *record, int64 *position)
{
	if (reader->at_end)
		return false;

	// A huge record's texts are not kept for the records after it.
	if (reader->texts.maxlen > READ_BUFFER)
	{
		pfree(reader->texts.data);
		MemoryContext caller = MemoryContextSwitchTo(reader->cxt);
		initStringInfo(&reader->texts);
		MemoryContextSwitchTo(caller);
	}
	resetStringInfo(&reader->texts);
	record->count = 0;
	buffer_output out;
	out.record = record;
	out.texts = &reader->texts;
	out.current = 0;
	out.present_ = false;
	out.starts[0] = 0;
	const int64 begin = reader->tell();
	scan_end end = scan_record(*reader, out, ',', '\n', false);
	if (end == scan_end::open_quote)
	{
		*position = begin;
		reader->at_end = true;
		return false;
	}
	reader->at_end = end == scan_end::end_of_file;
	for (int i = 0; i < Min(record->count, VRX_RECORD_FIELDS); i++)
	{
		if (record->fields[i].data != nullptr)
			record->fields[i].data = reader->texts.data + out.starts[i];
	}
	*position = reader->tell();
	return true;
}

void vrx_record_reader_close(vrx_record_reader *reader)
{
	pfree(reader->texts.data);
	pfree(reader->buffer);
	pfree(reader);
}
