# vireo: build with PGXS.  PG_CONFIG picks the server: the pg_config on PATH,
# else Debian's PostgreSQL 15.
#
#   make                  the module and vireo-report
#   make install          both, the extension's files and vireo-report's manual
#   make VIREO_WERROR=1   every warning of our own code is an error (CI)
#   make VIREO_REPORT=no  the module only (vireo-report is built on its own)
#   make dist             vireo-<version>.tar.gz of the committed tree

MODULE_big = vireo
EXTENSION  = vireo
DATA       = $(sort $(wildcard sql/vireo--*.sql))
PGFILEDESC = "vireo - statement profiler"

# The release, in one place: the module's vireo.version, vireo-report
# --version, the tarball's name.  META.json, CHANGELOG.md and
# debian/changelog name it too; t/005_release.pl checks that they agree.
VIREO_VERSION := $(strip $(shell cat VERSION))

SRCS = $(sort $(wildcard src/frame/*.cpp src/capture/*.cpp src/store/*.cpp src/load/*.cpp))
OBJS = $(SRCS:.cpp=.o)

PG_CONFIG ?= $(shell command -v pg_config 2>/dev/null || echo /usr/lib/postgresql/15/bin/pg_config)

# No bitcode for the JIT: the module has nothing worth inlining and clang
# would have to match the server's build.
override with_llvm = no

# Every warning is on; a user's newer compiler may find new ones, which must
# not stop his build, so only VIREO_WERROR=1 (CI) makes them errors.  The
# server headers are system headers so their warnings stay theirs.
VIREO_WARNINGS = -Wall -Wextra $(if $(filter 1 yes,$(VIREO_WERROR)),-Werror)
PG_CPPFLAGS = -Isrc -isystem $(shell $(PG_CONFIG) --includedir-server) \
              -DVIREO_VERSION='"$(VIREO_VERSION)"'
PG_CXXFLAGS = -std=c++17 $(VIREO_WARNINGS) -fno-exceptions -fno-rtti

# pg_regress runs against a temporary instance that preloads the module;
# VIREO_REGRESS_INSTANCE= (empty) runs it against the server PGHOST and
# PGPORT name instead, which must preload it (the Debian package's tests).
VIREO_REGRESS_INSTANCE ?= --temp-instance=test/tmp_instance --temp-config=test/vireo.conf
REGRESS      = $(sort $(notdir $(basename $(wildcard test/sql/*.sql))))
REGRESS_OPTS = --inputdir=test --outputdir=test $(VIREO_REGRESS_INSTANCE) --load-extension=vireo
TAP_TESTS    = 1
EXTRA_CLEAN  = test/results test/regression.diffs test/regression.out test/tmp_instance tmp_check

PGXS := $(shell $(PG_CONFIG) --pgxs)
include $(PGXS)
include report/report.mk

# The objects that carry the release.
src/frame/settings.o: VERSION

ifneq ($(VIREO_REPORT),no)
all: report/vireo-report
install: install-report
installdirs: installdirs-report
uninstall: uninstall-report
endif
clean: clean-report

# The source tarball, from what is committed: it builds with PGXS alone.
.PHONY: dist
dist:
	git archive --format=tar.gz --prefix=vireo-$(VIREO_VERSION)/ -o vireo-$(VIREO_VERSION).tar.gz HEAD

.PHONY: format
format:
	clang-format -i src/*/*.cpp src/*/*.hpp report/*.cpp report/*.hpp
