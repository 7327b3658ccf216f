#!/usr/bin/env ruby
# A Ruby host through Fiddle: YAML loaded by zarvel_marshal and Marshal.load.
#
#   ruby examples/ruby_host.rb PATH-TO-libzarvel.so
#
# Prints "ok" when every check passed.
require 'fiddle'

lib = Fiddle.dlopen(ARGV[0] || 'libzarvel.so')
marshal = Fiddle::Function.new(
  lib['zarvel_marshal'],
  [Fiddle::TYPE_VOIDP, Fiddle::TYPE_INT64_T, Fiddle::TYPE_INT32_T, Fiddle::TYPE_INT32_T,
   Fiddle::TYPE_VOIDP, Fiddle::TYPE_VOIDP],
  Fiddle::TYPE_INT32_T)
release = Fiddle::Function.new(lib['zarvel_marshal_free'], [Fiddle::TYPE_VOIDP], Fiddle::TYPE_VOID)

def load_yaml(marshal, release, text, schema: 0)
  bytes_out = Fiddle::Pointer.malloc(Fiddle::SIZEOF_VOIDP, Fiddle::RUBY_FREE)
  length_out = Fiddle::Pointer.malloc(8, Fiddle::RUBY_FREE)
  status = marshal.call(text, text.bytesize, schema, 1, bytes_out, length_out)
  raise "zarvel_marshal failed with status #{status}" unless status.zero?
  bytes = bytes_out.ptr
  length = length_out[0, 8].unpack1('Q')
  begin
    Marshal.load(bytes[0, length])
  ensure
    release.call(bytes)
  end
end

text = <<~YAML
  service:
    name: inventory-api
    listen: {host: 0.0.0.0, port: 8080}
    request_timeout: 2.5
    debug: false
  cache:
    servers: [cache-1.internal:6379, cache-2.internal:6379]
  defaults: &limits {max_items: 500}
  endpoints:
    - {path: /items, limits: *limits}
  maintenance_window: null
  owners:
    - name: "Åsa Lindqvist"
YAML
config = load_yaml(marshal, release, text)
checks = [
  config['service']['listen']['port'] == 8080,
  config['service']['request_timeout'] == 2.5,
  config['service']['debug'] == false,
  config['cache']['servers'].length == 2,
  config['maintenance_window'].nil?,
  config['endpoints'][0]['limits']['max_items'] == 500,
  # The alias is one shared Ruby object, as Psych would make it.
  config['endpoints'][0]['limits'].equal?(config['defaults']),
  config['owners'][0]['name'] == 'Åsa Lindqvist',
]

# Marshal has no form for merge keys (examples/config.yaml has them): the
# zarvel gem in ruby/ loads every YAML text, merge keys included, without
# going through Marshal.
abort "unexpected values: #{checks.inspect}" unless checks.all?
puts 'ok'
