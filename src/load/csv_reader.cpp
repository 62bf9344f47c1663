#include "load/csv_reader.hpp"

// Stands for "no previous character": a value no byte can take.
static constexpr int NO_CHAR = -2;
static constexpr char QUOTE = '"';

static csv_field *new_field(void)
{
	return static_cast<csv_field *>(palloc0(sizeof(csv_field)));
}

static void append_char(csv_field *field, char c)
{
	if (field->value.data == nullptr)
		initStringInfo(&field->value);
	appendStringInfoCharMacro(&field->value, c);
}

// A field whose only content was an empty quoted section ("") reads as an
// empty text.
static void finish_field(csv_field *field, int last)
{
	if (field->value.data != nullptr && field->value.len == 1 && last == '\0')
	{
		field->value.len = 0;
		field->value.data[0] = '\0';
	}
}

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
	record->first = new_field();

	csv_field *current = record->first;
	bool in_quotes = false;
	bool started = false;
	int last = NO_CHAR;
	int c;

	while ((c = getc_unlocked(stream)) != EOF)
	{
		if (in_quotes && c != QUOTE)
		{
			append_char(current, static_cast<char>(c));
			last = c;
		}
		else if (c == ' ' || c == '\t')
		{
			if (started)
				append_char(current, static_cast<char>(c));
			last = c;
		}
		else if (c == '\v' || c == '\f' || c == '\r')
			last = c;
		else if (c == QUOTE)
		{
			in_quotes = !in_quotes;
			if (last == QUOTE)
			{
				// Two quotes in a row stand for one; the pair is used up.
				append_char(current, QUOTE);
				started = true;
				last = '\0';
			}
			else
			{
				if (current->value.data == nullptr)
					initStringInfo(&current->value);
				if (keep_quotes)
					appendStringInfoCharMacro(&current->value, QUOTE);
				started = true;
				last = QUOTE;
			}
		}
		else if (c == static_cast<unsigned char>(terminator))
		{
			*position = static_cast<int64>(ftello(stream));
			if (current == record->first && current->value.data == nullptr)
			{
				pfree(current);
				record->first = nullptr;
				return true;
			}
			finish_field(current, last);
			record->count++;
			return true;
		}
		else if (c == static_cast<unsigned char>(separator))
		{
			finish_field(current, last);
			record->count++;
			current->next = new_field();
			current = current->next;
			started = false;
			last = c;
		}
		else
		{
			append_char(current, static_cast<char>(c));
			started = true;
		}
	}

	if (in_quotes)
	{
		vrx_free_csv_record(record);
		return false;
	}
	*position = static_cast<int64>(ftello(stream));
	return true;
}
