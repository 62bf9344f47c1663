// Where the report goes.  A file is written under a temporary name in the
// same directory and renamed over the target only when it is complete, so
// that a failure or ^C never leaves a half-written report (or destroys an
// older one).  "-" writes to standard output as the text is made.
#pragma once

#include <string>
#include <string_view>

class OutputFile
{
public:
	explicit OutputFile(const std::string &path);
	~OutputFile();
	OutputFile(const OutputFile &) = delete;
	OutputFile &operator=(const OutputFile &) = delete;

	OutputFile &operator<<(std::string_view text);
	// Flushes, syncs and renames into place; without it the destructor
	// removes the temporary file.
	void commit();
	const std::string &path() const
	{
		return path_;
	}
	long long bytes() const
	{
		return bytes_;
	}

private:
	void flush();

	std::string path_;
	std::string temp_path_;
	int fd_ = -1;
	bool committed_ = false;
	std::string buffer_;
	long long bytes_ = 0;
};
