// Progress line and signal flag.
#include "progress.hpp"

#include "errors.hpp"

#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

volatile sig_atomic_t interrupt_flag = 0;

void on_signal(int)
{
	interrupt_flag = 1;
}

} // namespace

void install_interrupt_handler()
{
	struct sigaction action = {};
	action.sa_handler = on_signal;
	sigemptyset(&action.sa_mask);
	// No SA_RESTART: a wait in poll() must return to look at the flag.
	action.sa_flags = SA_RESETHAND;
	sigaction(SIGINT, &action, nullptr);
	sigaction(SIGTERM, &action, nullptr);
}

bool interrupt_requested()
{
	return interrupt_flag != 0;
}

void check_interrupt()
{
	if (interrupt_requested())
		throw Interrupted();
}

Progress::Progress(bool enabled) : enabled_(enabled && isatty(STDERR_FILENO))
{
}

Progress::~Progress()
{
	clear();
}

void Progress::step(const std::string &what)
{
	what_ = what;
	started_ = std::chrono::steady_clock::now();
	draw();
}

void Progress::tick()
{
	if (!enabled_ || what_.empty())
		return;
	if (std::chrono::steady_clock::now() - drawn_at_ >= std::chrono::milliseconds(150))
		draw();
}

void Progress::draw()
{
	if (!enabled_)
		return;
	static const char spinner[] = "|/-\\";
	auto now = std::chrono::steady_clock::now();
	double seconds = std::chrono::duration<double>(now - started_).count();
	std::fprintf(stderr, "\r\033[Kvireo-report: %s %c %.1f s", what_.c_str(), spinner[frame_++ % 4],
	             seconds);
	std::fflush(stderr);
	drawn_ = true;
	drawn_at_ = now;
}

void Progress::clear()
{
	if (drawn_)
	{
		std::fputs("\r\033[K", stderr);
		std::fflush(stderr);
		drawn_ = false;
	}
}
