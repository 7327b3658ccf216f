module Zarvel
  # The gem's version: the version of the library it builds in.
  VERSION = '0.6.32'
end
