require 'zarvel/version'
require 'zarvel/zarvel'

# YAML 1.2, JSON and CBOR for Ruby, read and written by the zarvel library.
#
# Loaded values are those of +Psych.safe_load(text, aliases: true)+, except
# where YAML 1.2's core schema differs from YAML 1.1: +on+, +yes+, +no+ and
# +off+ are strings, and timestamps stay strings. Beyond that:
# - merge keys (+<<+) are applied: keys written in the mapping win, and of
#   several merged mappings the earlier one wins;
# - an alias gives the same object as its anchor;
# - symbols come only from +symbolize_names+ (+:name+ stays a string);
# - a custom tag (+!Ref x+, +!ruby/object+) gives the plain value;
#   +!!binary+ gives a binary string.
module Zarvel
  # A document that cannot be read or written.
  class Error < StandardError
    # @return [Integer] 1-based line of the failure in the input; 0 when the
    #   failure has no place in an input.
    attr_reader :line
    # @return [Integer] 1-based column (in bytes) of the failure; 0 when the
    #   failure has no place in an input.
    attr_reader :column
  end

  class << self
    # The first document of a YAML stream.
    #
    # @param yaml [String] YAML text (UTF-8, or UTF-16/32 with a byte order mark)
    # @param symbolize_names [Boolean] mapping keys that are strings become symbols
    # @param schema [Symbol] +:core+ (YAML 1.2) or +:yaml11+ (YAML 1.1 scalars:
    #   +yes+/+no+, octal +0644+, +1_000+, sexagesimal)
    # @param merge [Boolean] apply merge keys; false keeps +<<+ as an ordinary key
    # @return [Object] the value, or nil for a stream without documents
    # @raise [Zarvel::Error] when the text is not well-formed YAML
    # @example
    #   Zarvel.load("a: [1, 2.5, yes, null]") #=> {"a"=>[1, 2.5, "yes", nil]}
    def load(yaml, symbolize_names: false, schema: :core, merge: true)
      _load(yaml, false, symbolize_names, schema, merge)
    end

    # Every document of a YAML stream.
    #
    # @param yaml [String] YAML text
    # @param (see #load)
    # @return [Array] one value per document
    # @raise [Zarvel::Error] when the text is not well-formed YAML
    def load_all(yaml, symbolize_names: false, schema: :core, merge: true)
      _load(yaml, true, symbolize_names, schema, merge)
    end

    # The first document of a YAML file.
    #
    # @param path [String] file name
    # @param options (see #load)
    # @return [Object] the value, or nil for a file without documents
    # @raise [Zarvel::Error] when the file is not well-formed YAML
    # @raise [SystemCallError] when the file cannot be read
    def load_file(path, **options)
      load(File.binread(path), **options)
    end

    # Block-style YAML text of an object made of hashes, arrays, strings,
    # symbols (written as strings), integers, floats, true, false and nil.
    # Strings that would read back as another type are quoted; binary
    # strings are written as +!!binary+.
    #
    # @param obj [Object]
    # @return [String] YAML text ending with a line feed
    # @raise [TypeError] for any other kind of object, or a collection as a key
    # @raise [Zarvel::Error] for a recursive structure, nesting deeper than
    #   1000 levels, or two keys of one hash with the same text (+1+ and +"1"+)
    def dump(obj)
      _dump(obj)
    end

    # A JSON text (RFC 8259) as Ruby objects, like +JSON.parse+.
    #
    # @param text [String] UTF-8 JSON text
    # @return [Object]
    # @raise [Zarvel::Error] when the text is not strict JSON; #line and
    #   #column give the place
    def parse_json(text)
      _parse_json(text)
    end

    # Compact JSON text of an object, like +JSON.generate+. Hash keys are
    # written as strings (+to_s+ of other scalars).
    #
    # @param obj [Object]
    # @return [String]
    # @raise [Zarvel::Error] for NaN, infinities, strings that are not UTF-8
    #   or a recursive structure
    # @raise [TypeError] for objects that have no JSON form
    def generate_json(obj)
      _generate_json(obj)
    end

    # One CBOR data item (RFC 8949) as Ruby objects: byte strings become
    # binary strings, tags give their plain value.
    #
    # @param bytes [String] the encoded item
    # @return [Object]
    # @raise [Zarvel::Error] when the bytes are not one well-formed item
    def load_cbor(bytes)
      _load_cbor(bytes)
    end

    # CBOR encoding of an object, with the shortest heads and float widths.
    # Binary strings that are not UTF-8 become byte strings, integers beyond
    # 64 bits bignums (tags 2 and 3).
    #
    # @param obj [Object]
    # @return [String] binary string
    # @raise [Zarvel::Error] for a recursive structure
    # @raise [TypeError] for objects that have no CBOR form here
    def dump_cbor(obj)
      _dump_cbor(obj).force_encoding(Encoding::BINARY)
    end
  end
end
