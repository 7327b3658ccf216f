require_relative 'test_helper'

class TestYaml < Minitest::Test
  include ZarvelTest

  def test_values
    rows = [
      ['a: 1', { 'a' => 1 }],
      ['[1, -2, 0x1F, 0o17, +5]', [1, -2, 31, 15, 5]],
      ['12345678901234567890123', 12_345_678_901_234_567_890_123],
      ['-0x1000000000000000000', -(2**72)],
      ['[1.5, -.inf, .nan, 1e3, .5]', [1.5, -Float::INFINITY, :nan, 1000.0, 0.5]],
      ['[null, ~, "", Null, true, False]', [nil, nil, '', nil, true, false]],
      ['[on, yes, no, off, y]', %w[on yes no off y]],
      ['[1_000, 0b11, 1:30, 2001-12-14]', %w[1_000 0b11 1:30 2001-12-14]],
      [':sym', ':sym'],
      ["- 'quoted'\n- \"esc\\u00e9\\n\"\n- |\n  lit\n", ['quoted', "esc\u00e9\n", "lit\n"]],
      ['[!!str 12, !!int "12", !!float 1, !!null x]', ['12', 12, 1.0, nil]],
      ['[!foo 12, !Ref name, !foo [1], !foo {a: 1}, ! 12, !foo "12"]', [12, 'name', [1], { 'a' => 1 }, '12', '12']],
      ['!!binary aGVsbG8=', 'hello'.b],
      ['{? [1, 2] : a, 1: b, null: c}', { [1, 2] => 'a', 1 => 'b', nil => 'c' }],
      ['{a: 1, a: 2}', { 'a' => 2 }],
      ['', nil],
      ['# only a comment', nil],
      ["---\n...\n", nil],
    ]
    each_row(rows) do |yaml, want|
      got = Zarvel.load(yaml)
      if want.is_a?(Array) && want.include?(:nan)
        assert got[want.index(:nan)].nan?
        want = want.map { |v| v == :nan ? got[want.index(:nan)] : v }
      end
      assert_value want, got
    end
  end

  def test_options
    rows = [
      # [yaml, options, value]
      ['a: {b: 1}', { symbolize_names: true }, { a: { b: 1 } }],
      [(0...400).map { |i| "k#{i}: [{k#{i}: #{i}}]" }.join("\n"), { symbolize_names: true },
       (0...400).to_h { |i| [:"k#{i}", [{ "k#{i}": i }]] }],
      ['[yes, No, off, 0644, 1_000, 1:30, 0b11]', { schema: :yaml11 }, [true, false, false, 420, 1000, 5400, 3]],
      ["b: &b {x: 1}\nm: {<<: *b, y: 2}", { merge: false }, { 'b' => { 'x' => 1 }, 'm' => { '<<' => { 'x' => 1 }, 'y' => 2 } }],
    ]
    each_row(rows) { |yaml, options, want| assert_equal want, Zarvel.load(yaml, **options) }
    assert_raises(ArgumentError) { Zarvel.load('a', schema: :json) }
  end

  def test_merge_keys
    rows = [
      ["a: &a {x: 1, y: 1}\nm:\n  <<: *a\n  y: 2\n", { 'x' => 1, 'y' => 2 }],
      ["a: &a {x: 1, y: 1}\nm:\n  y: 2\n  <<: *a\n", { 'y' => 2, 'x' => 1 }],
      ["a: &a {x: 1}\nb: &b {x: 2, z: 2}\nm:\n  <<: [*a, *b]\n", { 'x' => 1, 'z' => 2 }],
      ["m:\n  <<: {x: 1}\n  <<: {x: 2, w: 2}\n", { 'x' => 1, 'w' => 2 }],
      ["m:\n  <<: 5\n", { '<<' => 5 }],
      ["m:\n  '<<': {x: 1}\n", { '<<' => { 'x' => 1 } }],
    ]
    each_row(rows) { |yaml, want| assert_equal want, Zarvel.load(yaml)['m'] }
    config = Zarvel.load_file(File.join(REPO, 'examples', 'config.yaml'))
    assert_kind_of Hash, config
  end

  def test_aliases_share_objects
    doc = Zarvel.load("a: &x [1]\nb: *x\nc: &s text\nd: *s\ne: &h {k: v}\nf: [*h, *h]\n")
    assert_same doc['a'], doc['b']
    assert_same doc['c'], doc['d']
    assert_same doc['e'], doc['f'][0]
    assert_same doc['e'], doc['f'][1]
    recursive = Zarvel.load('&y [1, *y]')
    assert_same recursive, recursive[1]
    map = Zarvel.load('&m {k: *m}')
    assert_same map, map['k']
    redefined = Zarvel.load('[&a 1, *a, &a 2, *a]')
    assert_equal [1, 1, 2, 2], redefined
    # Nine levels of ten aliases each: shared, so nothing is expanded.
    bomb = "l0: &l0 [lol]\n" + (1..9).map { |i| "l#{i}: &l#{i} [#{(["*l#{i - 1}"] * 10).join(', ')}]\n" }.join
    laughs = Zarvel.load(bomb)
    assert_same laughs['l7'], laughs['l8'][9]
  end

  def test_keys_are_shared_frozen_strings
    doc = Zarvel.load("- {name: a}\n- {name: b}\n")
    assert doc[0].keys[0].frozen?
    assert_same doc[0].keys[0], doc[1].keys[0]
    refute doc[0]['name'].frozen?
  end

  def test_load_all
    assert_equal [1, 'b', nil, { 'c' => [] }], Zarvel.load_all("--- 1\n--- b\n---\n--- {c: []}\n")
    assert_equal [], Zarvel.load_all('')
    assert_equal 1, Zarvel.load("--- 1\n--- 2\n")
  end

  def test_errors
    rows = [
      # [yaml, line, column]
      ["a: [1\nb: 2", 2, 1],
      ["a: 1\n b: 2\n", 2, 2],
      ["key: \"open\n", 1, 6],
      ['*missing', 1, 1],
      ["\t- a", 1, 1],
    ]
    each_row(rows) do |yaml, line, column|
      error = assert_raises(Zarvel::Error) { Zarvel.load(yaml) }
      refute_empty error.message
      assert_equal [line, column], [error.line, error.column], error.message
    end
    assert_raises(Zarvel::Error) { Zarvel.load('[' * 1200) }
    assert_raises(Errno::ENOENT) { Zarvel.load_file('/nonexistent/zarvel.yaml') }
    assert_raises(TypeError) { Zarvel.load(nil) }
  end

  def test_version
    assert_equal Zarvel::VERSION, Zarvel.library_version
  end

  # The suite's in.json holds one JSON value per document, one after another.
  def json_values(text)
    values = []
    scanner = text.strip
    until scanner.empty?
      length = value_length(scanner)
      values << JSON.parse(scanner[0, length], quirks_mode: true)
      scanner = scanner[length..].lstrip
    end
    values
  end

  def value_length(text)
    depth = 0
    in_string = false
    escaped = false
    text.each_char.with_index do |c, i|
      if in_string
        if escaped then escaped = false
        elsif c == '\\' then escaped = true
        elsif c == '"' then in_string = false
        end
      elsif c == '"' then in_string = true
      elsif '[{'.include?(c) then depth += 1
      elsif ']}'.include?(c) then depth -= 1
      elsif c =~ /\s/ && depth.zero? then return i
      end
      return i + 1 if depth.zero? && !in_string && i.positive? && '"]}'.include?(c)
    end
    text.length
  end

  # Values as JSON sees them: keys become strings, aliases are expanded.
  def as_json(value)
    JSON.parse(JSON.generate([value], allow_nan: true))[0]
  end

  def test_yaml_test_suite
    suite = corpus('yaml-test-suite')
    cases = Dir.children(suite).sort.map { |name| File.join(suite, name) }
    valued = cases.select { |dir| File.file?(File.join(dir, 'in.json')) }
    errors = cases.select { |dir| File.file?(File.join(dir, 'error')) }
    rows = valued.map { |dir| [File.basename(dir), dir] }
    each_row(rows) do |_name, dir|
      want = json_values(File.read(File.join(dir, 'in.json')))
      got = Zarvel.load_all(File.binread(File.join(dir, 'in.yaml')))
      assert_equal want, got.map { |v| as_json(v) }
    end
    each_row(errors.map { |dir| [File.basename(dir), dir] }) do |_name, dir|
      assert_raises(Zarvel::Error) { Zarvel.load_all(File.binread(File.join(dir, 'in.yaml'))) }
    end
    assert_operator valued.size, :>, 150
  end
end
