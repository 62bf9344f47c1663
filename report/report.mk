# vireo-report, the client program that turns a trace into a report: built
# with the module, installed next to the server's programs (pg_config
# --bindir), its manual beside the server's (pg_config --mandir).  It links
# Debian's libpq (libpq-dev), whatever server PG_CONFIG names, and
# libpg_query's static library (libpg-query-dev), the parser with which it
# normalizes statements; it builds its own objects with its own flags:
# exceptions are fine in a client, and none of the server's headers are
# needed.  The Makefile hooks it into all, install and clean.
# REPORT_EXTRA_CXXFLAGS and REPORT_EXTRA_LDFLAGS add a distribution's flags
# (the Debian package's hardening).  "make install-client" (as root) links it
# into /usr/local/bin, where a shell's PATH finds it.

REPORT_SRCS = $(sort $(wildcard report/*.cpp))
REPORT_OBJS = $(REPORT_SRCS:.cpp=.o)
REPORT_PQ_CFLAGS := $(shell pkg-config --cflags libpq 2>/dev/null || echo -I/usr/include/postgresql)
REPORT_PQ_LIBS := $(shell pkg-config --libs libpq 2>/dev/null || echo -lpq)
REPORT_PG_QUERY_LIBS = -l:libpg_query.a -lpthread
REPORT_CXXFLAGS = -std=c++17 -O2 -g $(VIREO_WARNINGS) $(REPORT_PQ_CFLAGS) \
                  -DVIREO_VERSION='"$(VIREO_VERSION)"' $(REPORT_EXTRA_CXXFLAGS)
CLIENT_BINDIR ?= /usr/local/bin

report/vireo-report: $(REPORT_OBJS)
	$(CXX) $(REPORT_CXXFLAGS) $(REPORT_EXTRA_LDFLAGS) -o $@ $(REPORT_OBJS) $(REPORT_PQ_LIBS) \
	    $(REPORT_PG_QUERY_LIBS)

report/%.o: report/%.cpp $(wildcard report/*.hpp)
	$(CXX) $(REPORT_CXXFLAGS) -c -o $@ $<

report/main.o: VERSION

.PHONY: install-report installdirs-report uninstall-report clean-report install-client
installdirs-report:
	$(MKDIR_P) '$(DESTDIR)$(bindir)' '$(DESTDIR)$(mandir)/man1'
install-report: report/vireo-report installdirs-report
	$(INSTALL_PROGRAM) report/vireo-report '$(DESTDIR)$(bindir)/vireo-report'
	$(INSTALL_DATA) docs/vireo-report.1 '$(DESTDIR)$(mandir)/man1/vireo-report.1'
install-client: install-report
	$(MKDIR_P) '$(DESTDIR)$(CLIENT_BINDIR)'
	ln -sf '$(bindir)/vireo-report' '$(DESTDIR)$(CLIENT_BINDIR)/vireo-report'
uninstall-report:
	rm -f '$(DESTDIR)$(bindir)/vireo-report' '$(DESTDIR)$(mandir)/man1/vireo-report.1'
clean-report:
	rm -f report/vireo-report report/*.o
