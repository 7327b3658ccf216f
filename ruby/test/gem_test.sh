#!/usr/bin/env bash
# Builds the gem, installs it into a private GEM_HOME under WORK-DIR (offline)
# and runs the minitest suite against the installed gem.
#
#   ruby/test/gem_test.sh WORK-DIR        (from the repository root)
#
# Exit status 77: skipped (no Ruby development files or minitest).
set -euo pipefail
work=$(mkdir -p "$1" && cd "$1" && pwd)
root=$(cd "$(dirname "$0")/../.." && pwd)

command -v ruby >/dev/null && command -v gem >/dev/null || { echo "no ruby/gem: skipped"; exit 77; }
ruby -e 'exit File.file?(File.join(RbConfig::CONFIG["rubyhdrdir"], "ruby.h"))' || { echo "no ruby.h (ruby-dev): skipped"; exit 77; }
ruby -e 'require "minitest"' 2>/dev/null || { echo "no minitest (ruby-minitest): skipped"; exit 77; }

# Repeated runs recompile only what changed when ccache is there.
if command -v ccache >/dev/null; then
    export CC="${CC:-ccache gcc}" CXX="${CXX:-ccache g++}"
fi
export MAKEFLAGS="${MAKEFLAGS:--j2}"
# The private GEM_HOME first; the system's gems (minitest) stay visible.
export GEM_HOME="$work/gems" GEM_PATH="$work/gems:$(ruby -e 'print Gem.default_path.join(":")')"

(cd "$root/ruby" && gem build zarvel.gemspec --output="$work/zarvel.gem" --silent)
if ! gem install --local --no-document "$work/zarvel.gem" > "$work/install.log" 2>&1; then
    cat "$work/install.log"
    find "$GEM_HOME/extensions" -name gem_make.out -exec tail -40 {} \; 2>/dev/null
    exit 1
fi
cd "$root"
exec ruby -w -e 'Dir.glob("ruby/test/test_*.rb").sort.each { |f| require File.expand_path(f) }'
