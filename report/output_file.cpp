// Writing the report atomically.
#include "output_file.hpp"

#include "errors.hpp"
#include "progress.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

std::string system_error(const std::string &what, const std::string &path)
{
	return "could not " + what + " \"" + path + "\": " + std::strerror(errno);
}

} // namespace

OutputFile::OutputFile(const std::string &path) : path_(path)
{
	if (path == "-")
	{
		fd_ = STDOUT_FILENO;
		return;
	}
	struct stat st;
	if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
		throw Failure("\"" + path + "\" is a directory");
	size_t slash = path.rfind('/');
	std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
	std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
	std::string pattern = dir + "." + base + ".XXXXXX";
	std::vector<char> name(pattern.begin(), pattern.end());
	name.push_back('\0');
	fd_ = mkstemp(name.data());
	if (fd_ < 0)
		throw Failure(system_error("create a file next to", path));
	temp_path_ = name.data();
	// mkstemp makes the file private; a report gets the mode of any new file.
	mode_t mask = umask(0);
	umask(mask);
	fchmod(fd_, 0666 & ~mask);
}

OutputFile::~OutputFile()
{
	if (fd_ >= 0 && fd_ != STDOUT_FILENO)
		close(fd_);
	if (!committed_ && !temp_path_.empty())
		unlink(temp_path_.c_str());
}

OutputFile &OutputFile::operator<<(std::string_view text)
{
	buffer_.append(text);
	if (buffer_.size() >= 65536)
		flush();
	return *this;
}

void OutputFile::flush()
{
	check_interrupt();
	const char *p = buffer_.data();
	size_t left = buffer_.size();
	while (left > 0)
	{
		ssize_t n = write(fd_, p, left);
		if (n < 0 && errno == EINTR)
		{
			check_interrupt();
			continue;
		}
		if (n < 0)
			throw Failure(system_error("write", path_ == "-" ? "standard output" : path_));
		p += n;
		left -= static_cast<size_t>(n);
		bytes_ += n;
	}
	buffer_.clear();
}

void OutputFile::commit()
{
	flush();
	if (fd_ == STDOUT_FILENO)
	{
		committed_ = true;
		return;
	}
	if (fsync(fd_) != 0)
		throw Failure(system_error("write", path_));
	int fd = fd_;
	fd_ = -1;
	if (close(fd) != 0)
		throw Failure(system_error("write", path_));
	check_interrupt();
	if (rename(temp_path_.c_str(), path_.c_str()) != 0)
		throw Failure(system_error("rename the report to", path_));
	committed_ = true;
}
