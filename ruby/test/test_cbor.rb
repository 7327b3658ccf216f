require_relative 'test_helper'

class TestCbor < Minitest::Test
  include ZarvelTest

  def test_round_trips
    rows = [
      [{ 'a' => [1, -2, 2.5, 'x', nil, true, false] }],
      [[0, 23, 24, 255, 256, 65_536, 2**32, 2**63 - 1, -2**63, -1, -24, -25]],
      [[0.1, 1.5, 65_504.0, 100_000.0, 1e300, -0.0, 5e-324]],
      [{ 1 => 'int key', 'nested' => { 'deep' => [[[]]] } }],
      [["\xff\x00".b, '', 'é']],
      [[Float::INFINITY, -Float::INFINITY, 2**64, -2**64 - 1, 2**200]],
      [{ "\xfe".b => 'byte key' }],
      ['text'],
    ]
    each_row(rows) do |object|
      assert_equal object, Zarvel.load_cbor(Zarvel.dump_cbor(object))
    end
    assert_equal Encoding::BINARY, Zarvel.dump_cbor(1).encoding
    assert_equal "\xa1\x61a\x18\x18".b, Zarvel.dump_cbor({ 'a' => 24 })
  end

  def test_refused
    assert Zarvel.load_cbor(Zarvel.dump_cbor([Float::NAN]))[0].nan?
    assert_raises(TypeError) { Zarvel.dump_cbor(Object.new) }
    a = [1]
    a << a
    assert_raises(Zarvel::Error) { Zarvel.dump_cbor(a) }
    ["\x82\x01".b, "\x00\x00".b, "\xff".b, ''].each do |bytes|
      assert_raises(Zarvel::Error) { Zarvel.load_cbor(bytes) }
    end
  end

  def test_appendix_a
    vectors = JSON.parse(File.read(File.join(corpus('cbor'), 'appendix_a.json')), decimal_class: Float)
    rows = vectors.select { |v| v.key?('decoded') }.map { |v| [v['hex'], v['decoded']] }
    each_row(rows) do |hex, want|
      got = Zarvel.load_cbor([hex].pack('H*'))
      if want.is_a?(Float) && got.is_a?(Integer)
        assert_equal want, got.to_f
      else
        assert_value want, got
      end
    end
    assert_operator rows.size, :>, 40
  end
end
