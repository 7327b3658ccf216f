require_relative 'lib/zarvel/version'

here = __dir__
vendor = File.join(here, 'ext', 'zarvel', 'vendor')
repository = File.expand_path('..', here)
# The gem carries its own copy of the library's sources, refreshed from the
# repository whenever the gem is built from a checkout.
if File.file?(File.join(repository, 'include', 'zarvel.h'))
  require 'fileutils'
  FileUtils.rm_rf(vendor)
  FileUtils.mkdir_p(vendor)
  FileUtils.cp_r(File.join(repository, 'include'), vendor)
  FileUtils.cp_r(File.join(repository, 'src'), vendor)
end

Gem::Specification.new do |spec|
  spec.name = 'zarvel'
  spec.version = Zarvel::VERSION
  spec.summary = 'Fast YAML 1.2, JSON and CBOR for Ruby'
  spec.description = 'Loads and writes YAML 1.2, JSON and CBOR through the zarvel C++ library, ' \
                     'which the gem compiles in.'
  spec.authors = ['zarvel developers']
  spec.required_ruby_version = '>= 3.0'
  spec.files = Dir.chdir(here) do
    Dir['lib/**/*.rb', 'ext/zarvel/*.{rb,cpp}', 'ext/zarvel/vendor/**/*.{h,hpp,cpp}', 'zarvel.gemspec']
  end
  spec.extensions = ['ext/zarvel/extconf.rb']
  spec.require_paths = ['lib']
end
