# Builds the extension with the library's own C++ sources compiled in, so the
# gem needs nothing installed beyond a C++20 compiler.
require 'mkmf'

here = __dir__
# A checkout builds straight from the repository, whose sources are the
# current ones (vendor/ there is what the last gem build copied, and goes
# stale with the next edit); a packaged gem, which has no repository around
# it, from its copy under vendor/.
root = [File.expand_path('../../..', here), File.join(here, 'vendor')].find do |dir|
  File.file?(File.join(dir, 'include', 'zarvel.h')) && File.directory?(File.join(dir, 'src'))
end
abort 'zarvel: library sources (include/, src/) not found' unless root

# CC/CXX from the environment (for example "ccache g++") take precedence.
%w[CC CXX].each { |tool| RbConfig::MAKEFILE_CONFIG[tool] = ENV[tool] if ENV[tool] && !ENV[tool].empty? }
RbConfig::MAKEFILE_CONFIG['LDSHAREDXX'] = "#{RbConfig::MAKEFILE_CONFIG['CXX']} -shared" if ENV['CXX']

# Sources in different folders share base names, so each one is compiled
# through a one-line wrapper whose name carries its folder.
library = Dir.glob(File.join(root, 'src', '**', '*.cpp')).sort
abort 'zarvel: no library sources found' if library.empty?
wrappers = library.map do |path|
  relative = path.delete_prefix(File.join(root, 'src') + '/')
  name = "zv_#{relative.tr('/', '_')}"
  text = "#include \"#{path}\"\n"
  File.write(name, text) unless File.file?(name) && File.read(name) == text
  name
end
$srcs = ['zarvel_ext.cpp'] + wrappers
$objs = $srcs.map { |s| s.sub(/\.cpp\z/, '.o') }

$INCFLAGS << " -I#{File.join(root, 'include')} -I#{File.join(root, 'src')}"
$defs << '-DZARVEL_BUILDING=1'
$CXXFLAGS << ' -std=c++20 -fno-exceptions -fno-rtti -fvisibility=hidden -fvisibility-inlines-hidden'
# Only the entry point is exported: the library's own symbols stay inside,
# so a libzarvel.so loaded elsewhere in the process cannot clash with them.
File.write('zarvel.map', "{ global: Init_zarvel; local: *; };\n")
$DLDFLAGS << " -Wl,--version-script=#{File.expand_path('zarvel.map')}"

create_makefile('zarvel/zarvel')
