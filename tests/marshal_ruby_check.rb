# Loads Marshal bytes written by the library and compares them with what
# Ruby's own YAML loader (Psych) or JSON parser makes of the same input.
# Input: a list file, one case per line: ID, bytes file, YAML file, JSON file
# (or "-"), tab-separated. Output: one line per case, "ID<TAB>VERDICT<TAB>DETAIL",
# VERDICT being psych (equal to Psych's value, shared objects included), json
# (differs from Psych, equal to the JSON value) or differs.
require 'yaml'
require 'json'

# Deep equality that tells floats apart by NaN and the sign of zero, checks
# string encodings and keeps hash order. A pair of containers already being
# compared counts as equal, so self-referencing values end.
def same(a, b, open = {})
  return false unless a.class == b.class
  case a
  when Float
    (a.nan? && b.nan?) || (a == b && (a != 0 || (1 / a) == (1 / b)))
  when String
    a == b && a.encoding == b.encoding
  when Array, Hash
    pair = [a.object_id, b.object_id]
    return true if open.key?(pair)
    open[pair] = true
    x = a.to_a
    y = b.to_a
    x.size == y.size && x.each_index.all? do |i|
      a.is_a?(Array) ? same(x[i], y[i], open) : same(x[i][0], y[i][0], open) && same(x[i][1], y[i][1], open)
    end
  else
    a == b
  end
end

# The order in which container and string objects are first met, as indexes:
# equal sequences mean the same objects are shared in the same places.
def sharing(value, seen = {}, out = [])
  return out unless value.is_a?(Array) || value.is_a?(Hash) || value.is_a?(String)
  id = value.object_id
  if seen.key?(id)
    out << seen[id]
    return out
  end
  seen[id] = seen.size
  out << seen[id]
  if value.is_a?(Array)
    value.each { |v| sharing(v, seen, out) }
  elsif value.is_a?(Hash)
    value.each { |k, v| sharing(k, seen, out); sharing(v, seen, out) }
  end
  out
end

def short(value)
  text = value.inspect
  text.size > 120 ? text[0, 120] + "..." : text
end

File.readlines(ARGV[0], chomp: true).each do |line|
  id, bytes, yaml, json = line.split("\t")
  begin
    got = Marshal.load(File.binread(bytes))
  rescue StandardError => e
    puts "#{id}\tdiffers\tMarshal.load: #{e.class}: #{e.message[0, 80]}"
    next
  end
  psych_error = nil
  begin
    expected = YAML.safe_load(File.read(yaml, encoding: 'UTF-8'), aliases: true,
                              permitted_classes: [Symbol])
    if same(got, expected) && sharing(got) == sharing(expected)
      puts "#{id}\tpsych\t"
      next
    end
  rescue StandardError, Psych::Exception => e
    psych_error = "#{e.class}: #{e.message[0, 60]}"
    expected = nil
  end
  detail = psych_error || "psych #{short(expected)}"
  if json != '-'
    begin
      from_json = JSON.parse(File.read(json, encoding: 'UTF-8'), quirks_mode: true)
      if same(got, from_json)
        puts "#{id}\tjson\t#{detail}"
        next
      end
      detail += "; json #{short(from_json)}"
    rescue StandardError => e
      detail += "; json #{e.class}"
    end
  end
  puts "#{id}\tdiffers\tmarshal #{short(got)}; #{detail}"
end
