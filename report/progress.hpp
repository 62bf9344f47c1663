// What the user sees while the report is being made: one status line on a
// terminal, updated in place, and nothing at all when standard error is not
// a terminal.  Also the ^C handling: a signal only sets a flag, which the
// query loop and the writers look at.
#pragma once

#include <chrono>
#include <string>

class Progress
{
public:
	// Shows progress only when enabled and standard error is a terminal.
	explicit Progress(bool enabled);
	~Progress();

	// Starts a step ("loading trace ..."); the line shows it with its
	// elapsed time until the next step or clear().
	void step(const std::string &what);
	// Changes what the running step says ("... 65,536 records"), keeping
	// its time.
	void relabel(const std::string &what)
	{
		what_ = what;
	}
	// Called while waiting: redraws the line at most a few times a second.
	void tick();
	// Removes the line (before a message is printed, and at the end).
	void clear();
	bool shown() const
	{
		return enabled_;
	}

private:
	void draw();

	bool enabled_;
	bool drawn_ = false;
	std::string what_;
	std::chrono::steady_clock::time_point started_;
	std::chrono::steady_clock::time_point drawn_at_;
	unsigned frame_ = 0;
};

// SIGINT and SIGTERM set a flag instead of ending the program, so that a
// running statement is cancelled and no half-written file stays behind.  A
// second signal ends the program at once.
void install_interrupt_handler();
bool interrupt_requested();
// Throws Interrupted when a signal came.
void check_interrupt();
