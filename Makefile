# vireo: build with PGXS.  PG_CONFIG picks the server: the pg_config on PATH,
# else Debian's PostgreSQL 15.

MODULE_big = vireo
EXTENSION  = vireo
DATA       = sql/vireo--1.0.sql sql/vireo--1.1.sql sql/vireo--1.0--1.1.sql
PGFILEDESC = "vireo - statement profiler"

SRCS = $(sort $(wildcard src/frame/*.cpp src/capture/*.cpp src/store/*.cpp src/load/*.cpp))
OBJS = $(SRCS:.cpp=.o)

PG_CONFIG ?= $(shell command -v pg_config 2>/dev/null || echo /usr/lib/postgresql/15/bin/pg_config)

# No bitcode for the JIT: the module has nothing worth inlining and clang
# would have to match the server's build.
override with_llvm = no

# Our own code builds with every warning as an error; the server headers are
# system headers so their warnings stay theirs.
PG_CPPFLAGS = -Isrc -isystem $(shell $(PG_CONFIG) --includedir-server)
PG_CXXFLAGS = -std=c++17 -Wall -Wextra -Werror -fno-exceptions -fno-rtti

# pg_regress runs against a temporary instance that preloads the module.
REGRESS      = $(sort $(notdir $(basename $(wildcard test/sql/*.sql))))
REGRESS_OPTS = --inputdir=test --outputdir=test --temp-instance=test/tmp_instance \
               --temp-config=test/vireo.conf --load-extension=vireo
TAP_TESTS    = 1
EXTRA_CLEAN  = test/results test/regression.diffs test/regression.out test/tmp_instance tmp_check

PGXS := $(shell $(PG_CONFIG) --pgxs)
include $(PGXS)
include report/report.mk

.PHONY: format
format:
	clang-format -i src/*/*.cpp src/*/*.hpp report/*.cpp report/*.hpp
