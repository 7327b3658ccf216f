// The texts of the YAML reader's failures, in one place so the wording stays
// uniform. Callers and tests compare them: change a text only on purpose.
// A failure whose text is its code's default passes no text at all.
#pragma once

namespace zvl::yaml::message {

// Input decoding (the formats take the offset as size_t).
inline constexpr char ill_formed_encoding[] = "ill-formed input encoding";
inline constexpr char ill_formed_utf8[] = "ill-formed or non-printable UTF-8 at byte %zu";
inline constexpr char non_printable[] = "non-printable character at byte %zu";
inline constexpr char input_too_long[] = "input exceeds 4 GiB";

// Node properties, aliases, tags and directives.
inline constexpr char two_anchors[] = "a node has two anchors";
inline constexpr char two_tags[] = "a node has two tags";
inline constexpr char two_properties[] = "a node has two anchors or two tags";
inline constexpr char empty_anchor[] = "empty anchor name";
inline constexpr char empty_alias[] = "empty alias name";
inline constexpr char bad_verbatim_tag[] = "bad verbatim tag";
inline constexpr char property_needs_blank[] = "property not followed by white space";
inline constexpr char undeclared_handle[] = "undeclared tag handle";
inline constexpr char properties_alone[] = "properties without a node";
inline constexpr char alias_properties[] = "an alias cannot have properties";
inline constexpr char malformed_yaml_directive[] = "malformed YAML directive";
inline constexpr char directives_alone[] = "directives without a document";
inline constexpr char directives_need_start[] = "directives must be followed by '---'";

// Scalars.
inline constexpr char marker_in_quoted[] = "document marker inside a quoted scalar";
inline constexpr char bad_block_header[] = "bad block scalar header";

// Block structure.
inline constexpr char entry_not_here[] = "block sequence entry not allowed here";
inline constexpr char explicit_key_not_here[] = "explicit key not allowed here";
inline constexpr char value_not_here[] = "mapping value not allowed here";
inline constexpr char block_scalar_key[] = "block scalar as a mapping key";
inline constexpr char expected_colon[] = "expected ':' after a mapping key";
inline constexpr char key_spans_lines[] = "implicit key spans lines";
inline constexpr char unexpected_character[] = "unexpected character";
inline constexpr char expected_entry[] = "expected a sequence entry";
inline constexpr char after_node[] = "unexpected content after a node";
inline constexpr char after_root[] = "content after the document's root node";
inline constexpr char after_end_marker[] = "content after a document end marker";

// Flow collections.
inline constexpr char marker_in_flow[] = "document marker inside a flow collection";
inline constexpr char end_in_flow[] = "end of text inside a flow collection";
inline constexpr char unexpected_in_flow[] = "unexpected character in a flow collection";
inline constexpr char unexpected_indicator[] = "unexpected flow indicator";
inline constexpr char missing_comma[] = "missing ',' between flow entries";
inline constexpr char missing_map_colon[] = "missing ':' after a flow mapping key";
inline constexpr char missing_colon[] = "missing ':' after a flow key";
inline constexpr char other_bracket[] = "closing bracket of the other kind";

}  // namespace zvl::yaml::message
