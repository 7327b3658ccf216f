require_relative 'test_helper'

class TestDump < Minitest::Test
  include ZarvelTest

  OBJECTS = [
    { 'a' => [1, -2, 2.5, 1e20, -0.0, nil, true, false], 'b' => { 'c' => {} }, 'd' => [] },
    ['', ' lead', 'trail ', 'x: y', '# no', '- dash', '? q', 'a #b', "multi\nline\n", "tab\tin", "\u0085nel"],
    %w[yes no on off y n null Null ~ true FALSE 123 0x1F 0o17 1.5 .inf -.nan 1e3 1_000 2001-12-14 << = :sym],
    ['é ü 日本', "\u0001ctl", '"quoted"', "'single'", '@at', '`tick', '%pct', '!bang', '&amp', '*star', '|', '>'],
    { 1 => 'int key', 2.5 => 'float key', nil => 'null key', true => 'bool key', 'k' => 'v' },
    [Float::INFINITY, -Float::INFINITY, 2**80, -2**80],
    [[[[1]]], [{ 'a' => [{ 'b' => nil }] }]],
    'scalar',
    nil,
  ].freeze

  def test_round_trips
    each_row(OBJECTS.map { |o| [o] }) do |object|
      text = Zarvel.dump(object)
      assert text.end_with?("\n")
      back = Zarvel.load(text)
      assert_value object, back, text
    end
  end

  def test_read_back_by_psych
    # Psych reads YAML 1.1; the dump quotes every text that 1.1 would read as
    # something else, so these read back the same.
    rows = OBJECTS.first(5).map { |o| [o] }
    each_row(rows) do |object|
      assert_equal object, Psych.safe_load(Zarvel.dump(object))
    end
  end

  def test_special_values
    assert_equal({ 'k' => :sym.to_s }, Zarvel.load(Zarvel.dump({ k: :sym })))
    nan = Zarvel.load(Zarvel.dump([Float::NAN]))[0]
    assert nan.nan?
    binary = "\xff\x00\x01".b
    back = Zarvel.load(Zarvel.dump({ 'bin' => binary }))['bin']
    assert_equal binary, back
    assert_equal Encoding::BINARY, back.encoding
    latin = "caf\xe9".dup.force_encoding(Encoding::ISO_8859_1)
    assert_equal 'café', Zarvel.load(Zarvel.dump(latin))
    shared = [1, 2]
    assert_equal [[1, 2], [1, 2]], Zarvel.load(Zarvel.dump([shared, shared]))
  end

  def test_refused
    a = []
    a << a
    h = {}
    h['self'] = h
    rows = [
      # [object, error class]
      [a, Zarvel::Error],
      [h, Zarvel::Error],
      [{ 1 => 'a', '1' => 'b' }, Zarvel::Error],
      [Object.new, TypeError],
      [{ [1] => 'collection key' }, TypeError],
      [[Time.at(0)], TypeError],
    ]
    each_row(rows) { |object, error| assert_raises(error) { Zarvel.dump(object) } }
    [1001, 200_000].each do |levels|
      nested = levels.times.reduce(1) { |inner, _| [inner] }
      assert_raises(Zarvel::Error) { Zarvel.dump(nested) }
    end
    assert_equal 1, Zarvel.load(Zarvel.dump(999.times.reduce(1) { |inner, _| [inner] })).flatten[0]
  end
end
