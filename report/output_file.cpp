// Writing the report safely.
#include "output_file.hpp"

#include "errors.hpp"
#include "progress.hpp"

#include <cerrno>
#include <climits>
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

std::string directory_of(const std::string &path)
{
	size_t slash = path.rfind('/');
	if (slash == std::string::npos)
		return ".";
	return slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

OutputTarget resolve_output(const std::string &path, int new_mode)
{
	OutputTarget t;
	t.path = path;
	t.resolved = path;
	if (path == "-")
	{
		t.through = true;
		return t;
	}
	// Follow the symlinks to the file they name (which may not exist yet).
	for (int hops = 0;; hops++)
	{
		struct stat st;
		if (lstat(t.resolved.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
			break;
		if (hops >= 40)
			throw Failure("\"" + path + "\": too many levels of symbolic links");
		std::vector<char> link(PATH_MAX + 1);
		ssize_t n = readlink(t.resolved.c_str(), link.data(), PATH_MAX);
		if (n < 0)
			throw Failure(system_error("follow the symbolic link", t.resolved));
		std::string next(link.data(), static_cast<size_t>(n));
		t.resolved = next[0] == '/' ? next : directory_of(t.resolved) + "/" + next;
		// /dev/stdout and the like end in /proc/self/fd/N: written through.
		if (t.resolved.compare(0, 6, "/proc/") == 0)
		{
			t.through = true;
			return t;
		}
	}
	struct stat st;
	if (stat(t.resolved.c_str(), &st) == 0)
	{
		t.exists = true;
		if (S_ISDIR(st.st_mode))
			throw Failure("\"" + path + "\" is a directory");
		if (!S_ISREG(st.st_mode))
		{
			t.through = true;
			if (access(t.resolved.c_str(), W_OK) != 0)
				throw Failure(system_error("write", path));
			return t;
		}
		t.mode = st.st_mode & 07777;
		t.owner = st.st_uid;
		t.group = st.st_gid;
	}
	else if (errno != ENOENT)
		throw Failure(system_error("write", path));
	else
		t.mode = static_cast<mode_t>(new_mode >= 0 ? new_mode : 0600);
	std::string dir = directory_of(t.resolved);
	if (access(dir.c_str(), W_OK) != 0)
		throw Failure("cannot write the report into \"" + dir + "\": " + std::strerror(errno));
	return t;
}

OutputFile::OutputFile(const OutputTarget &target) : target_(target)
{
	if (target_.path == "-")
	{
		fd_ = STDOUT_FILENO;
		return;
	}
	if (target_.through)
		return; // opened at the first write
	std::string dir = directory_of(target_.resolved);
	size_t slash = target_.resolved.rfind('/');
	std::string base = slash == std::string::npos ? target_.resolved : target_.resolved.substr(slash + 1);
	std::string pattern = dir + "/." + base + ".XXXXXX";
	std::vector<char> name(pattern.begin(), pattern.end());
	name.push_back('\0');
	fd_ = mkstemp(name.data());
	if (fd_ < 0)
		throw Failure(system_error("create a file next to", target_.path));
	temp_path_ = name.data();
	if (fchmod(fd_, target_.mode) != 0)
		throw Failure(system_error("set the mode of", temp_path_));
	// An existing report keeps its owner where we may give it (as root).
	if (target_.exists && (target_.owner != geteuid() || target_.group != getegid()))
	{
		if (fchown(fd_, target_.owner, target_.group) != 0)
		{
			// Not allowed: the file becomes ours, with its mode.
		}
	}
}

OutputFile::~OutputFile()
{
	if (fd_ >= 0 && fd_ != STDOUT_FILENO)
		close(fd_);
	if (!committed_ && !temp_path_.empty())
		unlink(temp_path_.c_str());
}

void OutputFile::open_through()
{
	struct stat st;
	int flags = O_WRONLY | O_NOCTTY | O_CLOEXEC;
	// A regular file reached through /dev/stdout is rewritten from its
	// start; a device or FIFO is only written to.
	if (stat(target_.resolved.c_str(), &st) == 0 && S_ISREG(st.st_mode))
		flags |= O_TRUNC;
	fd_ = open(target_.resolved.c_str(), flags);
	if (fd_ < 0)
		throw Failure(system_error("open", target_.path));
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
	if (fd_ < 0)
		open_through();
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
			throw Failure(system_error("write", target_.path == "-" ? "standard output" : target_.path));
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
	int fd = fd_;
	fd_ = -1;
	if (target_.through)
	{
		committed_ = true;
		if (close(fd) != 0)
			throw Failure(system_error("write", target_.path));
		return;
	}
	if (fsync(fd) != 0)
	{
		close(fd);
		throw Failure(system_error("write", target_.path));
	}
	if (close(fd) != 0)
		throw Failure(system_error("write", target_.path));
	check_interrupt();
	if (rename(temp_path_.c_str(), target_.resolved.c_str()) != 0)
		throw Failure(system_error("rename the report to", target_.path));
	committed_ = true;
}
