#!/usr/bin/env ruby
# Same-process timings of the gem against Psych and the json gem.
#
#   ruby ruby/bench/bench.rb [DATA-DIR] [REPETITIONS]
#
# DATA-DIR defaults to ../shared/bench-data beside the repository. Each cell
# is the best of REPETITIONS runs (default 5) after one warm-up, in process
# CPU time (steadier than wall time on a shared machine); the ratio is the
# peer's time over zarvel's (above 1: zarvel faster).
require 'json'
require 'psych'
require 'zarvel'

dir = ARGV[0] || File.expand_path('../../../shared/bench-data', __dir__)
reps = Integer(ARGV[1] || 5)
abort "no benchmark data in #{dir}" unless File.directory?(dir)

def best(reps)
  yield
  Array.new(reps) do
    GC.start
    t = Process.clock_gettime(Process::CLOCK_PROCESS_CPUTIME_ID)
    yield
    Process.clock_gettime(Process::CLOCK_PROCESS_CPUTIME_ID) - t
  end.min
end

def row(name, size, peer, ours, extra = '')
  mb = size / 1e6
  printf("%-34s %8.2f ms %8.2f ms %7.1fx %7.0f MB/s%s\n", name, peer * 1e3, ours * 1e3, peer / ours, mb / ours, extra)
end

printf("%-34s %11s %11s %8s %12s\n", 'input', 'peer', 'zarvel', 'ratio', 'zarvel')
puts '-- Zarvel.load_all against Psych.load_stream (and the Marshal road)'
Dir.glob(File.join(dir, '*.yaml')).sort.each do |path|
  text = File.binread(path)
  raise "#{path}: values differ" unless Zarvel.load_all(text) == Psych.load_stream(text) || ENV['ZARVEL_BENCH_NOCHECK']
  peer = best(reps) { Psych.load_stream(text) }
  ours = best(reps) { Zarvel.load_all(text) }
  marshal = Zarvel._marshal(text)
  extra = if marshal
            road = best(reps) { Marshal.load(Zarvel._marshal(text)) }
            format('   Marshal road %.2f ms (%.2fx of direct)', road * 1e3, road / ours)
          else
            '   Marshal road: not expressible'
          end
  row(File.basename(path), text.bytesize, peer, ours, extra)
end
puts '-- Zarvel.parse_json against JSON.parse'
%w[twitter.json citm_catalog.json canada.json gsoc-2018.json].each do |name|
  path = File.join(dir, name)
  next unless File.file?(path)
  text = File.binread(path)
  raise "#{name}: values differ" unless Zarvel.parse_json(text) == JSON.parse(text)
  peer = best(reps) { JSON.parse(text) }
  ours = best(reps) { Zarvel.parse_json(text) }
  row(name, text.bytesize, peer, ours)
end
