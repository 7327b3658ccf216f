require 'minitest/autorun'
require 'json'
require 'psych'
require 'zarvel'

module ZarvelTest
  REPO = File.expand_path('../..', __dir__)
  # The corpora sit beside the repository, as for the library's own tests
  # (ctest passes its ZARVEL_CORPUS_DIR).
  CORPUS = ENV.fetch('ZARVEL_CORPUS_DIR') { File.expand_path('../shared/conformance', REPO) }

  def corpus(*parts)
    dir = File.join(CORPUS, *parts)
    skip "#{dir} is absent" unless File.exist?(dir)
    dir
  end

  # assert_equal that also takes nil for nil.
  def assert_value(want, got, message = nil)
    want.nil? ? assert_nil(got, message) : assert_equal(want, got, message)
  end

  # Runs each row and reports every failing row at once.
  def each_row(rows)
    failures = rows.filter_map do |row|
      yield(*row)
      nil
    rescue Minitest::Assertion, StandardError => e
      "#{row.first.inspect[0, 60]}: #{e.message.lines.first(3).join.strip[0, 300]}"
    end
    assert_empty failures, failures.first(20).join("\n")
  end
end
