#include "capture/statement_text.hpp"

// Skips blanks, semicolons and comments (-- to the end of the line, and
// /* */, which nest) from p, to at most end (null: the end of the string).
static const char *skip_filler(const char *p, const char *end)
{
	while ((end == nullptr || p < end) && *p != '\0')
	{
		if (isspace(static_cast<unsigned char>(*p)) || *p == ';')
			p++;
		else if (p[0] == '-' && p[1] == '-')
		{
			while ((end == nullptr || p < end) && *p != '\0' && *p != '\n')
				p++;
		}
		else if (p[0] == '/' && p[1] == '*')
		{
			int depth = 0;
			do
			{
				if (p[0] == '/' && p[1] == '*')
				{
					depth++;
					p += 2;
				}
				else if (p[0] == '*' && p[1] == '/')
				{
					depth--;
					p += 2;
				}
				else
					p++;
			} while (depth > 0 && (end == nullptr || p < end) && *p != '\0');
		}
		else
			break;
	}
	return p;
}

char *vrx_body_position(const QueryDesc *query_desc)
{
	const char *text = query_desc->sourceText;
	if (text == nullptr || text[0] != '\0')
		return nullptr;
	// The innermost context is the function's, which names the statement it
	// is starting: "SQL function \"f\" statement 2".
	char *context = GetErrorContextStack();
	if (context == nullptr)
		return nullptr;
	char *line_end = strchr(context, '\n');
	if (line_end != nullptr)
		*line_end = '\0';
	if (context[0] == '\0')
	{
		pfree(context);
		return nullptr;
	}
	return context;
}

vrx_text_span vrx_statement_text(const char *text, int stmt_location, int stmt_len,
                                 const char *body_position)
{
	if (body_position != nullptr)
		return {body_position, strlen(body_position)};
	if (text == nullptr)
		return {nullptr, 0};

	// Measured only when the whole string is the answer: a long string of
	// many statements is not scanned once for each of them.
	const auto whole = [text] { return vrx_text_span{text, strlen(text)}; };
	if (stmt_location < 0 || (stmt_location == 0 && stmt_len <= 0))
		return whole();

	const size_t location = static_cast<size_t>(stmt_location);
	if (strnlen(text, location) < location)
		return whole();
	const char *start = text + location;
	const char *stop = stmt_len > 0 ? start + strnlen(start, stmt_len) : nullptr;

	// Only filler may stand around the statement for the string to be the
	// statement alone.  The scans stop at the first character of another
	// statement.
	if (skip_filler(text, start) >= start && (stop == nullptr || *skip_filler(stop, nullptr) == '\0'))
		return whole();

	// The statement as located, without the blanks that the server counts
	// to it after the previous semicolon and before its own.
	if (stop == nullptr)
		stop = start + strlen(start);
	while (start < stop && isspace(static_cast<unsigned char>(*start)))
		start++;
	while (stop > start && isspace(static_cast<unsigned char>(stop[-1])))
		stop--;
	return {start, static_cast<size_t>(stop - start)};
}
