// Where the report goes.
//
// A regular file (new, or an existing one, also behind symlinks, which are
// followed) is written under a temporary name in its directory and renamed
// over it only when complete, so that a failure or ^C never leaves a
// half-written report or destroys an older one.  An existing file keeps its
// mode (and, where allowed, its owner); a new one gets 0600 or --mode,
// since reports hold the literal values of statements.  Anything else (a
// device such as /dev/null, a FIFO, a terminal, /dev/stdout) is opened and
// written through, never replaced.  "-" is standard output.
#pragma once

#include <string>
#include <string_view>
#include <sys/types.h>

struct OutputTarget
{
	std::string path;     // as given
	std::string resolved; // after following symlinks
	bool through = false; // written in place, not replaced
	bool exists = false;
	mode_t mode = 0600;
	uid_t owner = 0;
	gid_t group = 0;
};

// Follows symlinks and checks that the report can be written there (before
// a long read of the trace).  new_mode: for a file that does not exist.
OutputTarget resolve_output(const std::string &path, int new_mode);

class OutputFile
{
public:
	explicit OutputFile(const OutputTarget &target);
	~OutputFile();
	OutputFile(const OutputFile &) = delete;
	OutputFile &operator=(const OutputFile &) = delete;

	OutputFile &operator<<(std::string_view text);
	// Flushes, syncs and renames into place; without it the destructor
	// removes the temporary file.
	void commit();
	const std::string &path() const
	{
		return target_.path;
	}
	long long bytes() const
	{
		return bytes_;
	}

private:
	void open_through();
	void flush();

	OutputTarget target_;
	std::string temp_path_;
	int fd_ = -1;
	bool committed_ = false;
	std::string buffer_;
	long long bytes_ = 0;
};
