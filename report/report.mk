# vireo-report, the client program that turns a trace into a report: built
# with the module, installed next to the server's programs (pg_config
# --bindir).  It links Debian's libpq (libpq-dev), whatever server PG_CONFIG
# names, and builds its own objects with its own flags: exceptions are fine
# in a client, and none of the server's headers are needed.

REPORT_SRCS = $(sort $(wildcard report/*.cpp))
REPORT_OBJS = $(REPORT_SRCS:.cpp=.o)
REPORT_PQ_CFLAGS := $(shell pkg-config --cflags libpq 2>/dev/null || echo -I/usr/include/postgresql)
REPORT_PQ_LIBS := $(shell pkg-config --libs libpq 2>/dev/null || echo -lpq)
REPORT_CXXFLAGS = -std=c++17 -O2 -g -Wall -Wextra -Werror $(REPORT_PQ_CFLAGS)

all: report/vireo-report

report/vireo-report: $(REPORT_OBJS)
	$(CXX) $(REPORT_CXXFLAGS) -o $@ $(REPORT_OBJS) $(REPORT_PQ_LIBS)

report/%.o: report/%.cpp $(wildcard report/*.hpp)
	$(CXX) $(REPORT_CXXFLAGS) -c -o $@ $<

install: install-report
installdirs: installdirs-report
uninstall: uninstall-report
clean: clean-report

.PHONY: install-report installdirs-report uninstall-report clean-report
installdirs-report:
	$(MKDIR_P) '$(DESTDIR)$(bindir)'
install-report: report/vireo-report installdirs-report
	$(INSTALL_PROGRAM) report/vireo-report '$(DESTDIR)$(bindir)/vireo-report'
uninstall-report:
	rm -f '$(DESTDIR)$(bindir)/vireo-report'
clean-report:
	rm -f report/vireo-report report/*.o
