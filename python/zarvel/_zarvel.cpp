// The CPython binding of zarvel: Python objects built straight from the
// library's documents (YAML), tapes (JSON) and decoder events (CBOR), and
// output written from Python objects. Only the public header is used.
//
// Parsing runs with the GIL released: the inputs are bytes objects, which are
// immutable, so several threads may load at once. Objects are built with the
// GIL held, from the finished document or tape.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <zarvel.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "bindings/host.hpp"

namespace {

// ---- helpers handed over by the Python package ---------------------------

struct package_helpers {
    PyObject *error = nullptr;          // zarvel.Error(message, line, column, offset)
    PyObject *tagged = nullptr;         // zarvel.Tagged(tag, value)
    PyObject *simple = nullptr;         // zarvel.Simple(value)
    PyObject *timestamp = nullptr;      // text -> date or datetime
    PyObject *b64decode = nullptr;      // text -> bytes
    PyObject *b64encode = nullptr;      // bytes -> str
    PyObject *cbor_tag = nullptr;       // (tag, value) -> object for tags 0 and 1
    PyObject *datetime_text = nullptr;  // date/datetime -> (kind, ISO text, CBOR text) or None
};
package_helpers helpers;

constexpr int max_depth = 1000;

// Raises zarvel.Error with a position.
PyObject *raise_error(const char *message, long line, long column, long long offset) {
    if (!helpers.error) {
        PyErr_SetString(PyExc_ValueError, message);
        return nullptr;
    }
    PyObject *error = PyObject_CallFunction(helpers.error, "slll", message, line, column, static_cast<long>(offset));
    if (error) {
        PyErr_SetObject(helpers.error, error);
        Py_DECREF(error);
    }
    return nullptr;
}

// Byte offset of a 1-based line and byte column of a UTF-8 text.
long long offset_of(const char *text, size_t length, uint32_t line, uint32_t column) {
    if (line == 0) return 0;
    size_t pos = 0;
    for (uint32_t l = 1; l < line && pos < length; ++l) {
        const void *nl = std::memchr(text + pos, '\n', length - pos);
        if (!nl) return static_cast<long long>(length);
        pos = static_cast<size_t>(static_cast<const char *>(nl) - text) + 1;
    }
    size_t at = pos + (column > 0 ? column - 1 : 0);
    return static_cast<long long>(at < length ? at : length);
}

// The offset that messages of the form "... at byte N" carry.
long long offset_in_message(const char *message) {
    const char *at = std::strstr(message, "at byte ");
    if (!at) return 0;
    return std::strtoll(at + 8, nullptr, 10);
}

// Raises the thread's last library failure for a YAML text.
PyObject *raise_yaml_failure(int32_t status, const char *text, size_t length) {
    if (status == ZARVEL_NO_MEMORY) return PyErr_NoMemory();
    uint32_t line = 0, column = 0;
    const char *message = zarvel_last_error(&line, &column);
    if (!message[0]) message = status == ZARVEL_TOO_DEEP ? "nesting too deep" : "parse failed";
    return raise_error(message, line, column, offset_of(text, length, line, column));
}

// Raises the thread's last failure of a JSON text, whose message names a byte.
PyObject *raise_json_failure(int32_t status, const char *text, size_t length) {
    if (status == ZARVEL_NO_MEMORY) return PyErr_NoMemory();
    const char *message = zarvel_last_error(nullptr, nullptr);
    if (!message[0]) message = "not strict JSON";
    long long offset = offset_in_message(message);
    if (offset < 0 || static_cast<size_t>(offset) > length) offset = 0;
    long line = 1;
    size_t line_start = 0;
    for (size_t i = 0; i < static_cast<size_t>(offset); ++i) {
        if (text[i] == '\n') {
            ++line;
            line_start = i + 1;
        }
    }
    return raise_error(message, line, static_cast<long>(offset - line_start) + 1, offset);
}

// Interned key texts: mapping keys repeat across the records of a file, so
// one str object per distinct short key saves the decoding and the memory.
// Guarded by the GIL like every other object operation of this module.
class key_cache {
  public:
    PyObject *get(const char *text, size_t length) {
        if (length > max_key) return PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(length), nullptr);
        slot &s = slots[(zvl::host::key_hash(text, length) >> 40) & (slot_count - 1)];
        if (s.value && s.length == length && std::memcmp(s.bytes, text, length) == 0) {
            Py_INCREF(s.value);
            return s.value;
        }
        PyObject *value = PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(length), nullptr);
        if (!value) return nullptr;
        PyUnicode_InternInPlace(&value);
        Py_XSETREF(s.value, value);
        Py_INCREF(value);
        s.length = static_cast<uint32_t>(length);
        std::memcpy(s.bytes, text, length);
        return value;
    }

  private:
    static constexpr size_t max_key = 44;
    static constexpr size_t slot_count = 2048;
    struct slot {
        PyObject *value;
        uint32_t length;
        char bytes[max_key];
    };
    slot slots[slot_count] = {};
};
key_cache keys;

// ---- input bytes ------------------------------------------------------------

// The bytes of a bytes object (the package turns every other input into one).
bool input_bytes(PyObject *data, const char **text, size_t *length) {
    if (!PyBytes_Check(data)) {
        PyErr_SetString(PyExc_TypeError, "expected bytes");
        return false;
    }
    *text = PyBytes_AS_STRING(data);
    *length = static_cast<size_t>(PyBytes_GET_SIZE(data));
    return true;
}

// ---- YAML: objects from a document -----------------------------------------

class yaml_builder {
  public:
    yaml_builder(bool merge, int32_t schema) : merge_(merge), schema_(schema) {}
    ~yaml_builder() {
        for (auto &entry : anchored_) Py_DECREF(entry.second);
    }

    PyObject *build(const zarvel_node *node, int depth) {
        if (!node) return PyErr_NoMemory();
        if (depth > max_depth) return raise_error("nesting too deep", 0, 0, 0);
        switch (zarvel_node_kind(node)) {
        case ZARVEL_NODE_ALIAS: return alias(node, depth);
        case ZARVEL_NODE_SEQUENCE: return sequence(node, depth);
        case ZARVEL_NODE_MAPPING: return mapping(node, depth);
        default: break;
        }
        PyObject *value = scalar(node);
        if (value) remember(node, value);
        return value;
    }

  private:
    // Anchored nodes are kept by id so that every alias yields the same object.
    void remember(const zarvel_node *node, PyObject *value) {
        uint64_t length = 0;
        if (!zarvel_node_anchor(node, &length)) return;
        Py_INCREF(value);
        auto [it, fresh] = anchored_.emplace(zarvel_node_id(node), value);
        if (!fresh) {
            Py_DECREF(it->second);
            it->second = value;
        }
    }

    PyObject *alias(const zarvel_node *node, int depth) {
        const zarvel_node *target = zarvel_node_alias_target(node);
        if (!target) return raise_error("alias to an unknown anchor", 0, 0, 0);
        auto it = anchored_.find(zarvel_node_id(target));
        if (it != anchored_.end()) {
            Py_INCREF(it->second);
            return it->second;
        }
        return build(target, depth + 1);
    }

    // Children handles of a collection, kept on one stack for all levels.
    size_t push_children(const zarvel_node *node, uint64_t count) {
        size_t base = children_.size();
        children_.resize(base + count);
        zarvel_node_children(node, children_.data() + base, count);
        return base;
    }

    PyObject *sequence(const zarvel_node *node, int depth) {
        uint64_t count = zarvel_node_seq_count(node);
        PyObject *list = PyList_New(static_cast<Py_ssize_t>(count));
        if (!list) return nullptr;
        remember(node, list);
        size_t base = push_children(node, count);
        for (uint64_t i = 0; i < count; ++i) {
            PyObject *item = build(children_[base + i], depth + 1);
            if (!item) {
                children_.resize(base);
                Py_DECREF(list);
                return nullptr;
            }
            PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
        }
        children_.resize(base);
        return list;
    }

    // A merge key: "<<" written plain and untagged, or tagged !!merge.
    static bool is_merge_key(const zarvel_node *key) {
        if (zarvel_node_kind(key) != ZARVEL_NODE_SCALAR) return false;
        if (zarvel_node_tag_id(key) == ZARVEL_TAG_MERGE) return true;
        uint64_t length = 0, tag_length = 0;
        const char *text = zarvel_node_value(key, &length);
        return length == 2 && text[0] == '<' && text[1] == '<' && zarvel_node_style(key) == ZARVEL_NODE_STYLE_PLAIN &&
               !zarvel_node_tag(key, &tag_length);
    }

    PyObject *key_object(const zarvel_node *key, int depth) {
        if (zarvel_node_kind(key) == ZARVEL_NODE_SCALAR) {
            int32_t tag = zarvel_node_tag_id(key);
            if (tag == ZARVEL_TAG_STR || tag == ZARVEL_TAG_NONE) {
                uint64_t length = 0;
                const char *text = zarvel_node_value(key, &length);
                PyObject *value = keys.get(text, length);
                if (value) remember(key, value);
                return value;
            }
        }
        PyObject *value = build(key, depth + 1);
        if (value && PyList_CheckExact(value)) {
            // A sequence key becomes a tuple, the hashable form of a list.
            PyObject *tuple = PyList_AsTuple(value);
            Py_DECREF(value);
            value = tuple;
        }
        return value;
    }

    bool set_pair(PyObject *dict, const zarvel_node *key, const zarvel_node *value, int depth) {
        PyObject *k = key_object(key, depth);
        if (!k) return false;
        PyObject *v = build(value, depth + 1);
        if (!v) {
            Py_DECREF(k);
            return false;
        }
        int failed = PyDict_SetItem(dict, k, v);
        Py_DECREF(k);
        Py_DECREF(v);
        if (failed && PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            raise_error("unhashable mapping key", 0, 0, 0);
        }
        return failed == 0;
    }

    // YAML 1.1 merge: mappings named by "<<" come first, later ones of a
    // sequence yield to earlier ones, and the mapping's own keys win.
    bool merge_into(PyObject *dict, const zarvel_node *source, int depth) {
        PyObject *value = build(source, depth + 1);
        if (!value) return false;
        bool ok = true;
        if (PyDict_Check(value)) {
            ok = value == dict || PyDict_Update(dict, value) == 0;
        } else if (PyList_Check(value)) {
            for (Py_ssize_t i = PyList_GET_SIZE(value); ok && i-- > 0;) {
                PyObject *item = PyList_GET_ITEM(value, i);
                if (!PyDict_Check(item)) {
                    raise_error("a merge key needs a mapping or a sequence of mappings", 0, 0, 0);
                    ok = false;
                } else if (item != dict) {
                    ok = PyDict_Update(dict, item) == 0;
                }
            }
        } else {
            raise_error("a merge key needs a mapping or a sequence of mappings", 0, 0, 0);
            ok = false;
        }
        Py_DECREF(value);
        return ok;
    }

    PyObject *mapping(const zarvel_node *node, int depth) {
        uint64_t count = zarvel_node_map_count(node) * 2;
        PyObject *dict = PyDict_New();
        if (!dict) return nullptr;
        remember(node, dict);
        size_t base = push_children(node, count);
        bool has_merge = false;
        if (merge_) {
            for (uint64_t i = 0; i < count && !has_merge; i += 2) has_merge = is_merge_key(children_[base + i]);
        }
        bool ok = true;
        if (has_merge) {
            for (uint64_t i = 0; ok && i < count; i += 2) {
                if (is_merge_key(children_[base + i])) ok = merge_into(dict, children_[base + i + 1], depth);
            }
        }
        for (uint64_t i = 0; ok && i < count; i += 2) {
            if (has_merge && is_merge_key(children_[base + i])) continue;
            ok = set_pair(dict, children_[base + i], children_[base + i + 1], depth);
        }
        children_.resize(base);
        if (!ok) Py_CLEAR(dict);
        return dict;
    }

    static PyObject *text_object(const char *text, uint64_t length) {
        return PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(length), nullptr);
    }

    // An integer beyond 64 bits: Python reads the digits (signs, 0x, 0o, 0b
    // and "_" separators included).
    static PyObject *big_integer(const char *text, uint64_t length) {
        std::vector<char> copy(text, text + length);
        copy.push_back('\0');
        PyObject *value = PyLong_FromString(copy.data(), nullptr, 0);
        if (!value) {
            PyErr_Clear();
            value = PyLong_FromString(copy.data(), nullptr, 10);
        }
        if (!value) {
            PyErr_Clear();
            return text_object(text, length);
        }
        return value;
    }

    static PyObject *call_helper(PyObject *helper, const char *text, uint64_t length) {
        PyObject *arg = text_object(text, length);
        if (!arg) return nullptr;
        PyObject *value = PyObject_CallOneArg(helper, arg);
        Py_DECREF(arg);
        return value;
    }

    // A plain scalar under an application's tag (!Ref x, !port 80) gives
    // the value it would have untagged, as the plain JSON output reads it.
    PyObject *untagged_plain(const char *text, uint64_t length) {
        zarvel_document *document = nullptr;
        const zarvel_node *root = zvl::host::untagged_root(text, length, schema_, &document);
        PyObject *value = root ? scalar(root) : text_object(text, length);
        zarvel_document_free(document);
        return value;
    }

    PyObject *scalar(const zarvel_node *node) {
        uint64_t length = 0;
        const char *text = zarvel_node_value(node, &length);
        switch (zarvel_node_tag_id(node)) {
        case ZARVEL_TAG_NULL: Py_RETURN_NONE;
        case ZARVEL_TAG_BOOL: {
            int32_t b = 0;
            if (zarvel_node_bool(node, &b) == 0) return PyBool_FromLong(b);
            break;
        }
        case ZARVEL_TAG_INT: {
            int64_t i = 0;
            if (zarvel_node_int(node, &i) == 0) return PyLong_FromLongLong(i);
            return big_integer(text, length);
        }
        case ZARVEL_TAG_FLOAT: {
            double d = 0;
            if (zarvel_node_float(node, &d) == 0) return PyFloat_FromDouble(d);
            break;
        }
        case ZARVEL_TAG_TIMESTAMP: return call_helper(helpers.timestamp, text, length);
        case ZARVEL_TAG_BINARY: return call_helper(helpers.b64decode, text, length);
        case ZARVEL_TAG_NONE: {
            uint64_t tag_length = 0;
            const char *tag = zarvel_node_tag(node, &tag_length);
            bool non_specific = tag_length == 1 && tag[0] == '!';
            if (length && zarvel_node_style(node) == ZARVEL_NODE_STYLE_PLAIN && !non_specific)
                return untagged_plain(text, length);
            break;
        }
        default: break;
        }
        return text_object(text, length);
    }

    bool merge_;
    int32_t schema_;
    std::unordered_map<uint32_t, PyObject *> anchored_;
    std::vector<zarvel_node *> children_;
};

int32_t schema_number(const char *schema) {
    if (std::strcmp(schema, "core") == 0) return 0;
    if (std::strcmp(schema, "yaml11") == 0 || std::strcmp(schema, "1.1") == 0) return 1;
    return -1;
}

// load_all(data: bytes, schema: str, merge: bool, first_only: bool)
PyObject *py_load(PyObject *, PyObject *args) {
    PyObject *data;
    const char *schema;
    int merge, first_only;
    if (!PyArg_ParseTuple(args, "Ospp", &data, &schema, &merge, &first_only)) return nullptr;
    const char *text;
    size_t length;
    if (!input_bytes(data, &text, &length)) return nullptr;
    int32_t schema_id = schema_number(schema);
    if (schema_id < 0) {
        PyErr_Format(PyExc_ValueError, "unknown schema %R (core or yaml11)", PyTuple_GET_ITEM(args, 1));
        return nullptr;
    }
    zarvel_parse_options options = {schema_id, 0};
    int32_t status = 0;
    zarvel_document *document;
    uint32_t count = 0;
    Py_BEGIN_ALLOW_THREADS document = zarvel_parse_ex(text, length, &options, &status);
    // The nodes are built here, still without the GIL.
    if (document) status = zarvel_document_status(document);
    if (document && status == 0) count = zarvel_document_count(document);
    Py_END_ALLOW_THREADS if (status != 0) {
        zarvel_document_free(document);
        // A failed build records its reason (no memory, or texts beyond the
        // storage the input's size allows).
        const char *message = zarvel_last_error(nullptr, nullptr);
        if (document && message[0]) return raise_error(message, 0, 0, 0);
        return raise_yaml_failure(status, text, length);
    }
    if (count == 0) {
        zarvel_document_free(document);
        if (first_only) Py_RETURN_NONE;
        return PyList_New(0);
    }
    yaml_builder builder(merge != 0, schema_id);
    PyObject *result = nullptr;
    if (first_only) {
        result = builder.build(zarvel_document_root(document, 0), 0);
    } else if ((result = PyList_New(count))) {
        for (uint32_t i = 0; i < count; ++i) {
            PyObject *item = builder.build(zarvel_document_root(document, i), 0);
            if (!item) {
                Py_CLEAR(result);
                break;
            }
            PyList_SET_ITEM(result, i, item);
        }
    }
    zarvel_document_free(document);
    return result;
}

// ---- JSON: objects from a tape ------------------------------------------------

class json_builder {
  public:
    explicit json_builder(const zarvel_tape &tape) : tape_(tape) {}

    PyObject *value(uint64_t &i) {
        const char *text = tape_.text + tape_.starts[i];
        uint32_t length = tape_.lens[i];
        switch (tape_.types[i]) {
        case ZARVEL_TAPE_NULL: ++i; Py_RETURN_NONE;
        case ZARVEL_TAPE_TRUE: ++i; Py_RETURN_TRUE;
        case ZARVEL_TAPE_FALSE: ++i; Py_RETURN_FALSE;
        case ZARVEL_TAPE_INT: ++i; return integer(text, length);
        case ZARVEL_TAPE_FLOAT: ++i; return number(text, length);
        case ZARVEL_TAPE_STRING: ++i; return string(text, length, false);
        case ZARVEL_TAPE_ARRAY: return array(i);
        case ZARVEL_TAPE_OBJECT: return object(i);
        default: break;
        }
        PyErr_SetString(PyExc_SystemError, "unexpected tape entry");
        return nullptr;
    }

  private:
    static PyObject *integer(const char *text, uint32_t length) {
        // Up to 18 digits fit a signed 64-bit integer whatever they are.
        bool negative = text[0] == '-';
        uint32_t digits = length - (negative ? 1 : 0);
        if (digits <= 18) {
            int64_t v = 0;
            for (uint32_t k = negative ? 1 : 0; k < length; ++k) v = v * 10 + (text[k] - '0');
            return PyLong_FromLongLong(negative ? -v : v);
        }
        return number(text, length);
    }

    static PyObject *number(const char *text, uint32_t length) {
        uint64_t pos = 0;
        uint32_t kind = 0;
        int64_t ival = 0;
        double dval = 0;
        if (!zvl_json_number_scan(text, length, &pos, &kind, &ival, &dval)) {
            PyErr_SetString(PyExc_SystemError, "tape number does not scan");
            return nullptr;
        }
        if (kind == ZVL_JSON_NUMBER_INT) return PyLong_FromLongLong(ival);
        if (kind == ZVL_JSON_NUMBER_FLOAT) return PyFloat_FromDouble(dval);
        std::vector<char> copy(text, text + length);
        copy.push_back('\0');
        return PyLong_FromString(copy.data(), nullptr, 10);
    }

    // A string body as written; escapes are decoded by the library's
    // double-quoted decoder, whose escapes include JSON's.
    PyObject *string(const char *body, uint32_t length, bool is_key) {
        if (!std::memchr(body, '\\', length)) {
            if (is_key) return keys.get(body, length);
            return PyUnicode_DecodeUTF8(body, length, nullptr);
        }
        if (scratch_.size() < length) scratch_.resize(length);
        uint64_t n = zvl_finish_double_into(body, 0, length, scratch_.data(), scratch_.size());
        // Lone surrogates come through as json.loads gives them.
        return PyUnicode_DecodeUTF8(scratch_.data(), static_cast<Py_ssize_t>(n), "surrogatepass");
    }

    PyObject *array(uint64_t &i) {
        uint64_t end = tape_.starts[i];
        PyObject *list = PyList_New(0);
        if (!list) return nullptr;
        for (++i; i < end;) {
            PyObject *item = value(i);
            if (!item || PyList_Append(list, item) < 0) {
                Py_XDECREF(item);
                Py_DECREF(list);
                return nullptr;
            }
            Py_DECREF(item);
        }
        i = end + 1;
        return list;
    }

    PyObject *object(uint64_t &i) {
        uint64_t end = tape_.starts[i];
        PyObject *dict = PyDict_New();
        if (!dict) return nullptr;
        for (++i; i < end;) {
            PyObject *key = string(tape_.text + tape_.starts[i], tape_.lens[i], true);
            ++i;
            PyObject *item = key ? value(i) : nullptr;
            if (!item || PyDict_SetItem(dict, key, item) < 0) {
                Py_XDECREF(key);
                Py_XDECREF(item);
                Py_DECREF(dict);
                return nullptr;
            }
            Py_DECREF(key);
            Py_DECREF(item);
        }
        i = end + 1;
        return dict;
    }

    const zarvel_tape &tape_;
    std::vector<char> scratch_;
};

PyObject *py_loads_json(PyObject *, PyObject *data) {
    const char *text;
    size_t length;
    if (!input_bytes(data, &text, &length)) return nullptr;
    zarvel_tape tape;
    std::memset(&tape, 0, sizeof tape);
    int32_t status;
    Py_BEGIN_ALLOW_THREADS status = zarvel_parse_json_tape(text, length, &tape);
    Py_END_ALLOW_THREADS if (status != 0) return raise_json_failure(status, text, length);
    json_builder builder(tape);
    uint64_t i = 1;
    PyObject *result = tape.count > 1 ? builder.value(i) : nullptr;
    if (tape.count <= 1) PyErr_SetString(PyExc_SystemError, "empty tape");
    zarvel_tape_free(&tape);
    return result;
}

// ---- CBOR: objects from decoder events ---------------------------------------

class cbor_builder {
  public:
    explicit cbor_builder(const uint8_t *data, uint64_t length) : data_(data), length_(length) { stack_.reserve(64); }
    ~cbor_builder() {
        for (frame &f : stack_) {
            Py_XDECREF(f.container);
            Py_XDECREF(f.key);
        }
        Py_XDECREF(root_);
    }

    PyObject *take_root() {
        PyObject *root = root_;
        root_ = nullptr;
        return root;
    }

    zvl_cbor_sink sink() {
        zvl_cbor_sink s;
        s.context = this;
        s.on_scalar = on_scalar;
        s.on_integer = on_integer;
        s.on_float = on_float;
        s.on_text = on_text;
        s.on_bytes = on_bytes;
        s.on_begin = on_begin;
        s.on_end = on_end;
        return s;
    }

    bool failed() const { return failed_; }

  private:
    struct frame {
        PyObject *container;
        PyObject *key;      // pending key of a map
        Py_ssize_t filled;  // items placed in a list made at its definite length; -1 indefinite
        size_t tag_start;   // the container's tag chain: tag_texts_[tag_start, end)
    };

    static cbor_builder *self(void *context) { return static_cast<cbor_builder *>(context); }

    // Applies a tag chain (outermost first) to a finished item, innermost first.
    PyObject *apply_tags(PyObject *value, const char *tags, uint64_t length) {
        std::vector<uint64_t> numbers;
        uint64_t n = 0;
        for (uint64_t k = 0; k <= length; ++k) {
            if (k == length || tags[k] == ' ') {
                numbers.push_back(n);
                n = 0;
            } else {
                n = n * 10 + static_cast<uint64_t>(tags[k] - '0');
            }
        }
        for (size_t k = numbers.size(); value && k-- > 0;) {
            uint64_t tag = numbers[k];
            PyObject *next;
            if (tag == 55799) continue;  // self-described CBOR: no meaning of its own
            if ((tag == 2 || tag == 3) && PyBytes_Check(value)) {
                next = _PyLong_FromByteArray(reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(value)),
                                             static_cast<size_t>(PyBytes_GET_SIZE(value)), 0, 0);
                if (next && tag == 3) {
                    // -1 - n
                    PyObject *negated = PyNumber_Invert(next);
                    Py_DECREF(next);
                    next = negated;
                }
            } else if (tag == 0 || tag == 1) {
                next = PyObject_CallFunction(helpers.cbor_tag, "KO", static_cast<unsigned long long>(tag), value);
            } else {
                next = PyObject_CallFunction(helpers.tagged, "KO", static_cast<unsigned long long>(tag), value);
            }
            Py_DECREF(value);
            value = next;
        }
        return value;
    }

    // Places a finished item: the root, the next element, a key or a value.
    int32_t attach(PyObject *value, const char *tags, uint64_t tag_len) {
        if (value && tag_len) value = apply_tags(value, tags, tag_len);
        if (!value) {
            failed_ = true;
            return 0;
        }
        if (stack_.empty()) {
            root_ = value;
            return 1;
        }
        frame &top = stack_.back();
        int failed;
        if (PyList_CheckExact(top.container)) {
            if (top.filled >= 0) {
                PyList_SET_ITEM(top.container, top.filled++, value);
                return 1;
            }
            failed = PyList_Append(top.container, value);
        } else if (!top.key) {
            top.key = value;
            return 1;
        } else {
            failed = PyDict_SetItem(top.container, top.key, value);
            Py_CLEAR(top.key);
        }
        Py_DECREF(value);
        if (failed) failed_ = true;
        return failed ? 0 : 1;
    }

    // Keys that the decoder turned into text get their own type back.
    static PyObject *key_from_text(const char *text, uint64_t length) {
        std::string s(text, length);
        if (s == "false") Py_RETURN_FALSE;
        if (s == "true") Py_RETURN_TRUE;
        if (s == "null" || s == "undefined") Py_RETURN_NONE;
        if (s.size() > 2 && s[0] == 'h' && s[1] == '\'') {
            return PyObject_CallMethod(reinterpret_cast<PyObject *>(&PyBytes_Type), "fromhex", "s#", s.data() + 2,
                                       static_cast<Py_ssize_t>(s.size() - 3));
        }
        if (s.compare(0, 7, "simple(") == 0) {
            return PyObject_CallFunction(helpers.simple, "l", std::strtol(s.c_str() + 7, nullptr, 10));
        }
        return PyLong_FromString(s.c_str(), nullptr, 10);
    }

    static int32_t on_scalar(void *context, const char *text, uint64_t length, uint32_t tag_id, int32_t is_key,
                             const char *tag, uint64_t tag_len) {
        PyObject *value;
        if (is_key) {
            value = key_from_text(text, length);
        } else if (tag_id == ZARVEL_TAG_BOOL) {
            value = PyBool_FromLong(length == 4);
        } else if (tag_id == ZARVEL_TAG_NULL || (length == 9 && std::memcmp(text, "undefined", 9) == 0)) {
            value = Py_NewRef(Py_None);
        } else {
            value = PyObject_CallFunction(helpers.simple, "l", std::strtol(text + 7, nullptr, 10));
        }
        return self(context)->attach(value, tag, tag_len);
    }

    static int32_t on_integer(void *context, int32_t negative, uint64_t magnitude, int32_t, const char *tag,
                              uint64_t tag_len) {
        PyObject *value;
        if (!negative) {
            value = PyLong_FromUnsignedLongLong(magnitude);
        } else if (magnitude <= static_cast<uint64_t>(INT64_MAX)) {
            value = PyLong_FromLongLong(-static_cast<int64_t>(magnitude));
        } else {
            // Up to 2^63 + 1: beyond the signed range.
            PyObject *positive = PyLong_FromUnsignedLongLong(magnitude);
            value = positive ? PyNumber_Negative(positive) : nullptr;
            Py_XDECREF(positive);
        }
        return self(context)->attach(value, tag, tag_len);
    }

    static int32_t on_float(void *context, int32_t, const char *tag, uint64_t tag_len, double v) {
        cbor_builder *b = self(context);
        PyObject *value = nullptr;
        // An integer beyond 64 signed bits reaches this callback too; the
        // input tells which one it was.
        double magnitude = std::fabs(v);
        if (magnitude >= 9223372036854775808.0 && magnitude <= 18446744073709551616.0 && std::floor(v) == v) {
            value = b->exact_big_integer();
        }
        ++b->float_items_;
        if (!value && !PyErr_Occurred()) value = PyFloat_FromDouble(v);
        return b->attach(value, tag, tag_len);
    }

    static int32_t on_text(void *context, const char *bytes, uint64_t length, int32_t, int32_t is_key, const char *tag,
                           uint64_t tag_len) {
        PyObject *value =
            is_key ? keys.get(bytes, length) : PyUnicode_DecodeUTF8(bytes, static_cast<Py_ssize_t>(length), nullptr);
        return self(context)->attach(value, tag, tag_len);
    }

    static int32_t on_bytes(void *context, const char *bytes, uint64_t length, int32_t, int32_t, const char *tag,
                            uint64_t tag_len) {
        PyObject *value = PyBytes_FromStringAndSize(bytes, static_cast<Py_ssize_t>(length));
        return self(context)->attach(value, tag, tag_len);
    }

    static int32_t on_begin(void *context, int32_t is_map, uint64_t count, const char *tag, uint64_t tag_len) {
        cbor_builder *b = self(context);
        PyObject *container;
        if (is_map) {
            container = PyDict_New();
        } else {
            // The decoder has checked a definite count against the input
            // length, so the list can be made at its size.
            container = PyList_New(count == UINT64_MAX ? 0 : static_cast<Py_ssize_t>(count));
        }
        if (!container) {
            b->failed_ = true;
            return 0;
        }
        Py_ssize_t filled = count == UINT64_MAX ? -1 : 0;
        b->stack_.push_back(frame{container, nullptr, filled, b->tag_texts_.size()});
        if (tag_len) b->tag_texts_.append(tag, tag_len);
        return 1;
    }

    static int32_t on_end(void *context, int32_t) {
        cbor_builder *b = self(context);
        frame top = b->stack_.back();
        b->stack_.pop_back();
        Py_XDECREF(top.key);
        if (top.tag_start == b->tag_texts_.size()) return b->attach(top.container, nullptr, 0);
        std::string tags = b->tag_texts_.substr(top.tag_start);
        b->tag_texts_.resize(top.tag_start);
        return b->attach(top.container, tags.data(), tags.size());
    }

    // Walks the heads of the input to find the value of the float_items_-th
    // item delivered through on_float, when that item is an integer: the
    // decoder hands integers beyond 64 signed bits over as doubles. Returns
    // null (no error) when the item is a real float.
    PyObject *exact_big_integer() {
        if (!walked_) {
            walked_ = true;
            walk_heads();
        }
        auto it = big_integers_.find(float_items_);
        if (it == big_integers_.end()) return nullptr;
        PyObject *magnitude = PyLong_FromUnsignedLongLong(it->second.second);
        if (!magnitude || !it->second.first) return magnitude;
        PyObject *value = PyNumber_Invert(magnitude);  // -1 - n
        Py_DECREF(magnitude);
        return value;
    }

    // Heads in input order, tracking map key positions (where the decoder
    // turns integers into text instead).
    void walk_heads() {
        struct level {
            uint64_t left;  // items still expected; UINT64_MAX for indefinite
            uint64_t seen;
            bool map;
        };
        std::vector<level> levels;
        uint64_t pos = 0, float_index = 0;
        auto read_argument = [&](uint8_t info, uint64_t &arg) -> bool {
            int n = info < 24 ? 0 : info == 24 ? 1 : info == 25 ? 2 : info == 26 ? 4 : info == 27 ? 8 : -1;
            if (n < 0 || pos + static_cast<uint64_t>(n) > length_) return false;
            arg = info < 24 ? info : 0;
            for (int k = 0; k < n; ++k) arg = (arg << 8) | data_[pos++];
            return true;
        };
        while (pos < length_) {
            while (!levels.empty() && levels.back().left == 0) levels.pop_back();
            uint8_t initial = data_[pos++];
            if (initial == 0xFF) {
                if (!levels.empty()) levels.pop_back();
                continue;
            }
            uint8_t major = initial >> 5, info = initial & 31;
            bool in_key = !levels.empty() && levels.back().map && levels.back().seen % 2 == 0;
            if (major != 6 && !levels.empty()) {
                ++levels.back().seen;
                if (levels.back().left != UINT64_MAX) --levels.back().left;
            }
            uint64_t arg = 0;
            if (info == 31) {
                if (major == 4 || major == 5) levels.push_back(level{UINT64_MAX, 0, major == 5});
                if (major == 2 || major == 3) {
                    // Chunks until the break; they are not items.
                    while (pos < length_ && data_[pos] != 0xFF) {
                        uint8_t chunk = data_[pos++];
                        if (!read_argument(chunk & 31, arg) || arg > length_ - pos) return;
                        pos += arg;
                    }
                    ++pos;
                }
                continue;
            }
            if (!read_argument(info, arg)) return;
            switch (major) {
            case 0:
            case 1:
                if (!in_key) {
                    // The decoder's integer callback takes up to 2^63 - 1 and
                    // down to -1 - 2^63.
                    uint64_t limit = static_cast<uint64_t>(INT64_MAX) + (major == 1 ? 1 : 0);
                    if (arg > limit) big_integers_.emplace(float_index++, std::make_pair(major == 1, arg));
                }
                break;
            case 2:
            case 3:
                if (arg > length_ - pos) return;
                pos += arg;
                break;
            case 4:
            case 5: levels.push_back(level{major == 5 ? arg * 2 : arg, 0, major == 5}); break;
            case 7:
                if (info >= 25 && info <= 27) ++float_index;
                break;
            default: break;
            }
        }
    }

    const uint8_t *data_;
    uint64_t length_;
    std::vector<frame> stack_;
    std::string tag_texts_;
    PyObject *root_ = nullptr;
    bool failed_ = false;
    bool walked_ = false;
    uint64_t float_items_ = 0;
    std::unordered_map<uint64_t, std::pair<bool, uint64_t>> big_integers_;
};

PyObject *py_loads_cbor(PyObject *, PyObject *data) {
    const char *text;
    size_t length;
    if (!input_bytes(data, &text, &length)) return nullptr;
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(text);
    cbor_builder builder(bytes, length);
    zvl_cbor_sink sink = builder.sink();
    int32_t status = zvl_cbor_decode_gen(bytes, length, 0, nullptr, &sink);
    if (builder.failed()) return nullptr;  // a Python error is set
    if (status != 0) {
        if (status == ZARVEL_NO_MEMORY) return PyErr_NoMemory();
        const char *message = zarvel_last_error(nullptr, nullptr);
        return raise_error(message[0] ? message : "not well-formed CBOR", 0, 0, offset_in_message(message));
    }
    return builder.take_root();
}

// ---- output buffer ---------------------------------------------------------------

class output {
  public:
    ~output() { std::free(data_); }
    bool reserve(size_t more) {
        if (length_ + more <= capacity_) return true;
        size_t capacity = capacity_ ? capacity_ : 256;
        while (capacity < length_ + more) capacity *= 2;
        char *grown = static_cast<char *>(std::realloc(data_, capacity));
        if (!grown) {
            PyErr_NoMemory();
            return false;
        }
        data_ = grown;
        capacity_ = capacity;
        return true;
    }
    bool put(const char *bytes, size_t n) {
        if (!reserve(n)) return false;
        std::memcpy(data_ + length_, bytes, n);
        length_ += n;
        return true;
    }
    bool put(char c) { return put(&c, 1); }
    bool put(const char *s) { return put(s, std::strlen(s)); }
    const char *data() const { return data_; }
    size_t size() const { return length_; }

  private:
    char *data_ = nullptr;
    size_t length_ = 0, capacity_ = 0;
};

// The UTF-8 of a str; null with an error for lone surrogates.
const char *utf8_of(PyObject *s, Py_ssize_t *length) { return PyUnicode_AsUTF8AndSize(s, length); }

// Shortest round-trip text of a finite double ("1.0", "1e+100"). With
// dotted_exponent the mantissa always has a fraction ("1.0e+100"), which
// YAML 1.1 loaders need to see a float.
bool put_double(output &out, double v, bool dotted_exponent = false) {
    char *text = PyOS_double_to_string(v, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (!text) return false;
    char *e = dotted_exponent && !std::strchr(text, '.') ? std::strchr(text, 'e') : nullptr;
    bool ok = e ? out.put(text, static_cast<size_t>(e - text)) && out.put(".0", 2) && out.put(e) : out.put(text);
    PyMem_Free(text);
    return ok;
}

bool put_integer(output &out, PyObject *v) {
    int overflow = 0;
    long long i = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (!overflow) {
        if (i == -1 && PyErr_Occurred()) return false;
        char digits[24];
        int n = std::snprintf(digits, sizeof digits, "%lld", i);
        return out.put(digits, static_cast<size_t>(n));
    }
    PyObject *text = PyObject_Str(v);
    if (!text) return false;
    Py_ssize_t n;
    const char *s = utf8_of(text, &n);
    bool ok = s && out.put(s, static_cast<size_t>(n));
    Py_DECREF(text);
    return ok;
}

// ---- JSON output ------------------------------------------------------------------

class json_writer {
  public:
    explicit json_writer(long indent) : indent_(indent) {}
    output out;

    bool value(PyObject *v, int depth) {
        if (depth > max_depth) {
            PyErr_SetString(PyExc_ValueError, "nesting too deep or a recursive structure");
            return false;
        }
        if (v == Py_None) return out.put("null", 4);
        if (v == Py_True) return out.put("true", 4);
        if (v == Py_False) return out.put("false", 5);
        if (PyUnicode_Check(v)) return string(v);
        if (PyLong_Check(v)) return put_integer(out, v);
        if (PyFloat_Check(v)) {
            double d = PyFloat_AS_DOUBLE(v);
            if (!std::isfinite(d)) {
                PyErr_SetString(PyExc_ValueError, "JSON has no infinities or NaN");
                return false;
            }
            return put_double(out, d);
        }
        if (PyDict_Check(v)) return object(v, depth);
        if (PyList_Check(v) || PyTuple_Check(v)) return array(v, depth);
        return converted(v, depth);
    }

  private:
    // Bytes as base64 text, dates as their ISO text, tagged values as the value.
    bool converted(PyObject *v, int depth) {
        PyObject *text = nullptr;
        if (PyBytes_Check(v) || PyByteArray_Check(v)) {
            text = PyObject_CallOneArg(helpers.b64encode, v);
        } else if (helpers.tagged && PyObject_TypeCheck(v, reinterpret_cast<PyTypeObject *>(helpers.tagged))) {
            PyObject *inner = PyObject_GetAttrString(v, "value");
            if (!inner) return false;
            bool ok = value(inner, depth + 1);
            Py_DECREF(inner);
            return ok;
        } else {
            PyObject *pair = PyObject_CallOneArg(helpers.datetime_text, v);
            if (!pair) return false;
            if (pair != Py_None) text = Py_NewRef(PyTuple_GET_ITEM(pair, 1));  // (kind, ISO text, CBOR text)
            Py_DECREF(pair);
            if (!text) {
                PyErr_Format(PyExc_TypeError, "cannot write %.100s as JSON", Py_TYPE(v)->tp_name);
                return false;
            }
        }
        if (!text) return false;
        bool ok = string(text);
        Py_DECREF(text);
        return ok;
    }

    bool newline(int depth) {
        if (indent_ < 0) return true;
        size_t n = static_cast<size_t>(indent_) * static_cast<size_t>(depth);
        if (!out.reserve(n + 1)) return false;
        out.put('\n');
        for (size_t k = 0; k < n; ++k) out.put(' ');
        return true;
    }

    bool string(PyObject *s) {
        Py_ssize_t n;
        const char *p = utf8_of(s, &n);
        if (!p || !out.reserve(static_cast<size_t>(n) + 2)) return false;
        out.put('"');
        static const char hex[] = "0123456789abcdef";
        size_t run = 0;
        for (Py_ssize_t k = 0; k < n; ++k) {
            unsigned char c = static_cast<unsigned char>(p[k]);
            if (c >= 0x20 && c != '"' && c != '\\') continue;
            if (!out.put(p + run, static_cast<size_t>(k) - run)) return false;
            run = static_cast<size_t>(k) + 1;
            char escape[7] = {'\\', 0};
            size_t length = 2;
            switch (c) {
            case '"': escape[1] = '"'; break;
            case '\\': escape[1] = '\\'; break;
            case '\n': escape[1] = 'n'; break;
            case '\r': escape[1] = 'r'; break;
            case '\t': escape[1] = 't'; break;
            case '\b': escape[1] = 'b'; break;
            case '\f': escape[1] = 'f'; break;
            default:
                std::memcpy(escape + 1, "u00", 3);
                escape[4] = hex[c >> 4];
                escape[5] = hex[c & 15];
                length = 6;
            }
            if (!out.put(escape, length)) return false;
        }
        return out.put(p + run, static_cast<size_t>(n) - run) && out.put('"');
    }

    bool key(PyObject *k) {
        if (PyUnicode_Check(k)) return string(k);
        // As the json module does: scalar keys become their JSON text.
        if (k == Py_None || k == Py_True || k == Py_False || PyLong_Check(k) || PyFloat_Check(k)) {
            return out.put('"') && value(k, 0) && out.put('"');
        }
        PyErr_Format(PyExc_TypeError, "JSON keys must be str, int, float, bool or None, not %.100s",
                     Py_TYPE(k)->tp_name);
        return false;
    }

    bool object(PyObject *v, int depth) {
        if (PyDict_GET_SIZE(v) == 0) return out.put("{}", 2);
        if (!out.put('{')) return false;
        Py_ssize_t pos = 0;
        PyObject *k, *item;
        bool first = true;
        while (PyDict_Next(v, &pos, &k, &item)) {
            if (!first && !out.put(indent_ < 0 ? ", " : ",")) return false;
            first = false;
            if (!newline(depth + 1) || !key(k) || !out.put(": ", 2) || !value(item, depth + 1)) return false;
        }
        return newline(depth) && out.put('}');
    }

    bool array(PyObject *v, int depth) {
        PyObject *items = PySequence_Fast(v, "");
        if (!items) return false;
        Py_ssize_t n = PySequence_Fast_GET_SIZE(items);
        bool ok = true;
        if (n == 0) {
            ok = out.put("[]", 2);
        } else {
            ok = out.put('[');
            for (Py_ssize_t k = 0; ok && k < n; ++k) {
                if (k && !out.put(indent_ < 0 ? ", " : ",")) ok = false;
                ok = ok && newline(depth + 1) && value(PySequence_Fast_GET_ITEM(items, k), depth + 1);
            }
            ok = ok && newline(depth) && out.put(']');
        }
        Py_DECREF(items);
        return ok;
    }

    long indent_;
};

PyObject *py_dumps_json(PyObject *, PyObject *args) {
    PyObject *obj;
    long indent;
    if (!PyArg_ParseTuple(args, "Ol", &obj, &indent)) return nullptr;
    json_writer writer(indent);
    if (!writer.value(obj, 0)) return nullptr;
    return PyUnicode_DecodeUTF8(writer.out.data(), static_cast<Py_ssize_t>(writer.out.size()), nullptr);
}

// ---- CBOR output -------------------------------------------------------------------

class cbor_writer {
  public:
    output out;

    bool value(PyObject *v, int depth) {
        if (depth > max_depth) {
            PyErr_SetString(PyExc_ValueError, "nesting too deep or a recursive structure");
            return false;
        }
        if (v == Py_None) return out.put('\xF6');
        if (v == Py_True) return out.put('\xF5');
        if (v == Py_False) return out.put('\xF4');
        if (PyLong_Check(v)) return integer(v);
        if (PyFloat_Check(v)) return floating(PyFloat_AS_DOUBLE(v));
        if (PyUnicode_Check(v)) {
            Py_ssize_t n;
            const char *p = utf8_of(v, &n);
            return p && head(3, static_cast<uint64_t>(n)) && out.put(p, static_cast<size_t>(n));
        }
        if (PyBytes_Check(v)) {
            return head(2, static_cast<uint64_t>(PyBytes_GET_SIZE(v))) &&
                   out.put(PyBytes_AS_STRING(v), static_cast<size_t>(PyBytes_GET_SIZE(v)));
        }
        if (PyByteArray_Check(v)) {
            return head(2, static_cast<uint64_t>(PyByteArray_GET_SIZE(v))) &&
                   out.put(PyByteArray_AS_STRING(v), static_cast<size_t>(PyByteArray_GET_SIZE(v)));
        }
        if (PyList_Check(v) || PyTuple_Check(v)) {
            PyObject *items = PySequence_Fast(v, "");
            if (!items) return false;
            Py_ssize_t n = PySequence_Fast_GET_SIZE(items);
            bool ok = head(4, static_cast<uint64_t>(n));
            for (Py_ssize_t k = 0; ok && k < n; ++k) ok = value(PySequence_Fast_GET_ITEM(items, k), depth + 1);
            Py_DECREF(items);
            return ok;
        }
        if (PyDict_Check(v)) {
            if (!head(5, static_cast<uint64_t>(PyDict_GET_SIZE(v)))) return false;
            Py_ssize_t pos = 0;
            PyObject *k, *item;
            while (PyDict_Next(v, &pos, &k, &item)) {
                if (!value(k, depth + 1) || !value(item, depth + 1)) return false;
            }
            return true;
        }
        if (helpers.tagged && PyObject_TypeCheck(v, reinterpret_cast<PyTypeObject *>(helpers.tagged))) {
            PyObject *tag = PyObject_GetAttrString(v, "tag");
            PyObject *inner = tag ? PyObject_GetAttrString(v, "value") : nullptr;
            unsigned long long number = inner ? PyLong_AsUnsignedLongLong(tag) : 0;
            bool ok = inner && !PyErr_Occurred() && head(6, number) && value(inner, depth + 1);
            Py_XDECREF(tag);
            Py_XDECREF(inner);
            return ok;
        }
        if (helpers.simple && PyObject_TypeCheck(v, reinterpret_cast<PyTypeObject *>(helpers.simple))) {
            PyObject *number = PyObject_GetAttrString(v, "value");
            long n = number ? PyLong_AsLong(number) : -1;
            Py_XDECREF(number);
            if (PyErr_Occurred()) return false;
            if (n < 0 || n > 255 || (n >= 24 && n < 32)) {
                PyErr_SetString(PyExc_ValueError, "simple values are 0-23 and 32-255");
                return false;
            }
            return n < 24 ? out.put(static_cast<char>(0xE0 + n)) : out.put('\xF8') && out.put(static_cast<char>(n));
        }
        PyObject *pair = PyObject_CallOneArg(helpers.datetime_text, v);
        if (!pair) return false;
        if (pair == Py_None) {
            Py_DECREF(pair);
            PyErr_Format(PyExc_TypeError, "cannot encode %.100s as CBOR", Py_TYPE(v)->tp_name);
            return false;
        }
        // Tag 0: date/time text (RFC 3339); dates without time go as tag 1004.
        PyObject *name = PyTuple_GET_ITEM(pair, 0);
        bool is_date = PyUnicode_CompareWithASCIIString(name, "date") == 0;
        bool ok = head(6, is_date ? 1004 : 0) && value(PyTuple_GET_ITEM(pair, 2), depth + 1);
        Py_DECREF(pair);
        return ok;
    }

  private:
    bool head(uint8_t major, uint64_t arg) {
        char bytes[9];
        size_t n;
        uint8_t m = static_cast<uint8_t>(major << 5);
        if (arg < 24) {
            bytes[0] = static_cast<char>(m | arg);
            n = 1;
        } else {
            int width = arg <= 0xFF ? 1 : arg <= 0xFFFF ? 2 : arg <= 0xFFFFFFFFull ? 4 : 8;
            bytes[0] = static_cast<char>(m | (width == 1 ? 24 : width == 2 ? 25 : width == 4 ? 26 : 27));
            for (int k = 0; k < width; ++k) bytes[1 + k] = static_cast<char>(arg >> (8 * (width - 1 - k)));
            n = static_cast<size_t>(width) + 1;
        }
        return out.put(bytes, n);
    }

    bool integer(PyObject *v) {
        int overflow = 0;
        long long i = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (!overflow) {
            if (i == -1 && PyErr_Occurred()) return false;
            return i >= 0 ? head(0, static_cast<uint64_t>(i)) : head(1, static_cast<uint64_t>(-1 - i));
        }
        // Beyond 64 signed bits: the unsigned range, then bignums (tags 2, 3).
        bool negative = overflow < 0;
        PyObject *magnitude = negative ? PyNumber_Invert(v) : Py_NewRef(v);  // -1 - v for negatives
        if (!magnitude) return false;
        unsigned long long u = PyLong_AsUnsignedLongLong(magnitude);
        if (!PyErr_Occurred()) {
            Py_DECREF(magnitude);
            return head(negative ? 1 : 0, u);
        }
        PyErr_Clear();
        int64_t bits = static_cast<int64_t>(_PyLong_NumBits(magnitude));
        size_t n = static_cast<size_t>((bits + 7) / 8);
        std::vector<unsigned char> bytes(n);
        bool ok = _PyLong_AsByteArray(reinterpret_cast<PyLongObject *>(magnitude), bytes.data(), n, 0, 0) == 0;
        Py_DECREF(magnitude);
        return ok && head(6, negative ? 3 : 2) && head(2, n) &&
               out.put(reinterpret_cast<const char *>(bytes.data()), n);
    }

    // The shortest of half, single and double precision that holds v exactly.
    bool floating(double v) {
        if (std::isnan(v)) return out.put("\xF9\x7E\x00", 3);
        float f = static_cast<float>(v);
        if (static_cast<double>(f) == v) {
            uint32_t bits;
            std::memcpy(&bits, &f, 4);
            uint16_t half;
            if (to_half(bits, &half)) {
                char b[3] = {'\xF9', static_cast<char>(half >> 8), static_cast<char>(half)};
                return out.put(b, 3);
            }
            char b[5] = {'\xFA', static_cast<char>(bits >> 24), static_cast<char>(bits >> 16),
                         static_cast<char>(bits >> 8), static_cast<char>(bits)};
            return out.put(b, 5);
        }
        uint64_t bits;
        std::memcpy(&bits, &v, 8);
        char b[9] = {'\xFB'};
        for (int k = 0; k < 8; ++k) b[1 + k] = static_cast<char>(bits >> (8 * (7 - k)));
        return out.put(b, 9);
    }

    // Binary16 of a binary32 when the conversion is exact.
    static bool to_half(uint32_t bits, uint16_t *half) {
        uint16_t sign = static_cast<uint16_t>((bits >> 16) & 0x8000);
        int exponent = static_cast<int>((bits >> 23) & 0xFF);
        uint32_t mantissa = bits & 0x7FFFFF;
        if (exponent == 0xFF) {  // infinities (NaN handled before)
            *half = static_cast<uint16_t>(sign | 0x7C00);
            return mantissa == 0;
        }
        if (exponent == 0 && mantissa == 0) {
            *half = sign;
            return true;
        }
        int e = exponent - 127;
        if (e > 15 || e < -24 || exponent == 0) return false;
        if (e >= -14) {  // normal half
            if (mantissa & 0x1FFF) return false;
            *half = static_cast<uint16_t>(sign | ((e + 15) << 10) | (mantissa >> 13));
            return true;
        }
        // Subnormal half: value = m * 2^-24 with m < 1024.
        uint32_t full = mantissa | 0x800000;
        int shift = 13 + (-14 - e);
        if (full & ((1u << shift) - 1)) return false;
        *half = static_cast<uint16_t>(sign | (full >> shift));
        return true;
    }
};

PyObject *py_dumps_cbor(PyObject *, PyObject *obj) {
    cbor_writer writer;
    if (!writer.value(obj, 0)) return nullptr;
    return PyBytes_FromStringAndSize(writer.out.data(), static_cast<Py_ssize_t>(writer.out.size()));
}

// ---- YAML output: a document built from Python objects, then serialised -------------

class yaml_records {
  public:
    std::vector<zarvel_build_record> records;
    output text;

    bool value(PyObject *v, int depth, bool is_key) {
        if (depth > max_depth) {
            PyErr_SetString(PyExc_ValueError, "nesting too deep or a recursive structure");
            return false;
        }
        if (v == Py_None) return scalar("null", 4, ZARVEL_NODE_STYLE_PLAIN);
        if (v == Py_True) return scalar("true", 4, ZARVEL_NODE_STYLE_PLAIN);
        if (v == Py_False) return scalar("false", 5, ZARVEL_NODE_STYLE_PLAIN);
        if (PyUnicode_Check(v)) return string(v, is_key);
        if (PyLong_Check(v)) {
            size_t start = text.size();
            return put_integer(text, v) && record(ZARVEL_BUILD_SCALAR, ZARVEL_NODE_STYLE_PLAIN, start);
        }
        if (PyFloat_Check(v)) {
            double d = PyFloat_AS_DOUBLE(v);
            if (std::isnan(d)) return scalar(".nan", 4, ZARVEL_NODE_STYLE_PLAIN);
            if (std::isinf(d))
                return d > 0 ? scalar(".inf", 4, ZARVEL_NODE_STYLE_PLAIN) : scalar("-.inf", 5, ZARVEL_NODE_STYLE_PLAIN);
            size_t start = text.size();
            return put_double(text, d, true) && record(ZARVEL_BUILD_SCALAR, ZARVEL_NODE_STYLE_PLAIN, start);
        }
        if (PyDict_Check(v)) return mapping(v, depth);
        if (PyList_Check(v) || PyTuple_Check(v)) {
            PyObject *items = PySequence_Fast(v, "");
            if (!items) return false;
            Py_ssize_t n = PySequence_Fast_GET_SIZE(items);
            bool ok = record(ZARVEL_BUILD_SEQUENCE, 0, text.size());
            for (Py_ssize_t k = 0; ok && k < n; ++k) ok = value(PySequence_Fast_GET_ITEM(items, k), depth + 1, false);
            Py_DECREF(items);
            return ok && record(ZARVEL_BUILD_END, 0, text.size());
        }
        if (PyBytes_Check(v) || PyByteArray_Check(v)) {
            PyObject *encoded = PyObject_CallOneArg(helpers.b64encode, v);
            bool ok = encoded && tagged_text(encoded, "tag:yaml.org,2002:binary");
            Py_XDECREF(encoded);
            return ok;
        }
        if (helpers.tagged && PyObject_TypeCheck(v, reinterpret_cast<PyTypeObject *>(helpers.tagged))) {
            PyObject *inner = PyObject_GetAttrString(v, "value");
            bool ok = inner && value(inner, depth + 1, is_key);
            Py_XDECREF(inner);
            return ok;
        }
        PyObject *pair = PyObject_CallOneArg(helpers.datetime_text, v);
        if (!pair) return false;
        bool ok = pair != Py_None && tagged_text(PyTuple_GET_ITEM(pair, 1), "tag:yaml.org,2002:timestamp");
        if (pair == Py_None) PyErr_Format(PyExc_TypeError, "cannot write %.100s as YAML", Py_TYPE(v)->tp_name);
        Py_DECREF(pair);
        return ok;
    }

    bool sort_keys = false;

  private:
    bool record(uint8_t type, uint8_t style, size_t start) {
        if (text.size() > UINT32_MAX) {
            PyErr_SetString(PyExc_OverflowError, "text too long");
            return false;
        }
        records.push_back(
            zarvel_build_record{type, style, static_cast<uint32_t>(start), static_cast<uint32_t>(text.size() - start)});
        return true;
    }

    bool scalar(const char *s, size_t n, uint8_t style) {
        size_t start = text.size();
        return text.put(s, n) && record(ZARVEL_BUILD_SCALAR, style, start);
    }

    bool tagged_text(PyObject *s, const char *tag) {
        Py_ssize_t n;
        const char *p = utf8_of(s, &n);
        if (!p || !scalar(p, static_cast<size_t>(n), ZARVEL_NODE_STYLE_PLAIN)) return false;
        size_t start = text.size();
        return text.put(tag) && record(ZARVEL_BUILD_TAG, 0, start);
    }

    // A text that a YAML 1.2 or 1.1 loader could read as something other
    // than a string when written plain.
    static bool reads_as_other(const char *p, size_t n) {
        if (n == 0) return true;
        if (std::strchr("0123456789+-.~", p[0])) return true;
        if (n > 5) return false;
        char lower[6] = {0};
        for (size_t k = 0; k < n; ++k) lower[k] = static_cast<char>(p[k] >= 'A' && p[k] <= 'Z' ? p[k] + 32 : p[k]);
        static const char *const words[] = {"null", "true", "false", "yes", "no", "on", "off", "y", "n", "<<", "="};
        for (const char *w : words) {
            if (std::strcmp(lower, w) == 0) return true;
        }
        return false;
    }

    bool string(PyObject *s, bool is_key) {
        Py_ssize_t length;
        const char *p = utf8_of(s, &length);
        if (!p) return false;
        size_t n = static_cast<size_t>(length);
        uint8_t style = ZARVEL_NODE_STYLE_PLAIN;
        bool control = false, line_break = false;
        for (size_t k = 0; k < n; ++k) {
            unsigned char c = static_cast<unsigned char>(p[k]);
            if (c == '\n')
                line_break = true;
            else if ((c < 0x20 && c != '\t') || c == 0x7F)
                control = true;
            else if (c == 0xC2 && k + 1 < n && static_cast<unsigned char>(p[k + 1]) < 0xA0)
                control = true;
        }
        if (control)
            style = ZARVEL_NODE_STYLE_DOUBLE_QUOTED;
        else if (line_break && !is_key)
            style = ZARVEL_NODE_STYLE_LITERAL;
        else if (line_break)
            style = ZARVEL_NODE_STYLE_DOUBLE_QUOTED;
        else if (reads_as_other(p, n))
            style = ZARVEL_NODE_STYLE_SINGLE_QUOTED;
        return scalar(p, n, style);
    }

    bool mapping(PyObject *v, int depth) {
        if (!record(ZARVEL_BUILD_MAPPING, 0, text.size())) return false;
        if (sort_keys) {
            PyObject *ordered = PyDict_Keys(v);
            if (!ordered || PyList_Sort(ordered) < 0) {
                Py_XDECREF(ordered);
                return false;
            }
            bool ok = true;
            for (Py_ssize_t k = 0; ok && k < PyList_GET_SIZE(ordered); ++k) {
                PyObject *key = PyList_GET_ITEM(ordered, k);
                PyObject *item = PyDict_GetItemWithError(v, key);
                ok = item && value(key, depth + 1, true) && value(item, depth + 1, false);
            }
            Py_DECREF(ordered);
            return ok && record(ZARVEL_BUILD_END, 0, text.size());
        }
        Py_ssize_t pos = 0;
        PyObject *key, *item;
        while (PyDict_Next(v, &pos, &key, &item)) {
            if (!value(key, depth + 1, true) || !value(item, depth + 1, false)) return false;
        }
        return record(ZARVEL_BUILD_END, 0, text.size());
    }
};

// dump_all(objects: list, indent: int, explicit_start: bool, sort_keys: bool)
PyObject *py_dump_all(PyObject *, PyObject *args) {
    PyObject *objects;
    long indent;
    int explicit_start, sort_keys;
    if (!PyArg_ParseTuple(args, "O!lpp", &PyList_Type, &objects, &indent, &explicit_start, &sort_keys)) {
        return nullptr;
    }
    if (indent < 1 || indent > 16) {
        PyErr_SetString(PyExc_ValueError, "indent must be from 1 to 16");
        return nullptr;
    }
    zarvel_document *document = zarvel_document_new();
    if (!document) return PyErr_NoMemory();
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(objects); ++k) {
        yaml_records records;
        records.sort_keys = sort_keys != 0;
        int32_t status = 1;
        if (records.value(PyList_GET_ITEM(objects, k), 0, false)) {
            // The records and texts are the writer's own: no Python object is read.
            Py_BEGIN_ALLOW_THREADS status =
                zarvel_document_build(document, records.records.data(), records.records.size(),
                                      records.text.data() ? records.text.data() : "", records.text.size());
            Py_END_ALLOW_THREADS if (status == ZARVEL_NO_MEMORY) PyErr_NoMemory();
            else if (status != 0) PyErr_Format(PyExc_ValueError, "cannot build the document (status %d)", status);
        }
        if (status != 0) {
            zarvel_document_free(document);
            return nullptr;
        }
    }
    zarvel_serialize_options options = {sizeof(zarvel_serialize_options),
                                        0,
                                        0,
                                        static_cast<uint32_t>(explicit_start),
                                        static_cast<uint32_t>(indent),
                                        ZARVEL_STYLE_KEEP};
    uint64_t length = 0;
    char *yaml;
    Py_BEGIN_ALLOW_THREADS yaml = zarvel_serialize_ex(document, &options, &length);
    zarvel_document_free(document);
    Py_END_ALLOW_THREADS if (!yaml) return PyErr_NoMemory();
    PyObject *result = PyUnicode_DecodeUTF8(yaml, static_cast<Py_ssize_t>(length), nullptr);
    zarvel_free(yaml);
    return result;
}

// ---- columns ------------------------------------------------------------------------

// columns(plan: bytes, data: bytes) -> list of (name, kind, values, nulls)
PyObject *py_columns(PyObject *, PyObject *args) {
    PyObject *plan_text, *data;
    if (!PyArg_ParseTuple(args, "O!O!", &PyBytes_Type, &plan_text, &PyBytes_Type, &data)) return nullptr;
    int32_t status = 0;
    zarvel_plan *plan =
        zarvel_plan_compile(PyBytes_AS_STRING(plan_text), static_cast<uint64_t>(PyBytes_GET_SIZE(plan_text)), &status);
    if (!plan) {
        if (status == ZARVEL_NO_MEMORY) return PyErr_NoMemory();
        return raise_error("invalid column plan", 0, 0, 0);
    }
    const char *text = PyBytes_AS_STRING(data);
    size_t length = static_cast<size_t>(PyBytes_GET_SIZE(data));
    zarvel_document *document;
    zarvel_plan_result *result = nullptr;
    Py_BEGIN_ALLOW_THREADS document = zarvel_parse(text, length, &status);
    if (document) result = zarvel_document_plan_walk(document, plan, &status);
    Py_END_ALLOW_THREADS PyObject *out = nullptr;
    if (!document) {
        if (status == 0)
            raise_error("no document", 0, 0, 0);
        else
            raise_yaml_failure(status, text, length);
    } else if (!result) {
        if (status == ZARVEL_NO_MEMORY)
            PyErr_NoMemory();
        else
            raise_error("the plan's path leads to no sequence or mapping", 0, 0, 0);
    } else {
        uint64_t rows = zarvel_plan_result_rows(result);
        uint64_t columns = zarvel_plan_column_count(plan);
        out = PyList_New(static_cast<Py_ssize_t>(columns));
        for (uint64_t c = 0; out && c < columns; ++c) {
            uint32_t kind = zarvel_plan_result_kind(result, c);
            const uint8_t *nulls = zarvel_plan_result_nulls(result, c);
            PyObject *values;
            if (kind == ZARVEL_PLAN_STR) {
                const zarvel_plan_str *strs = zarvel_plan_result_strs(result, c);
                values = PyList_New(static_cast<Py_ssize_t>(rows));
                for (uint64_t r = 0; values && r < rows; ++r) {
                    PyObject *s =
                        nulls[r] ? Py_NewRef(Py_None)
                                 : PyUnicode_DecodeUTF8(strs[r].ptr, static_cast<Py_ssize_t>(strs[r].len), nullptr);
                    if (!s)
                        Py_CLEAR(values);
                    else
                        PyList_SET_ITEM(values, static_cast<Py_ssize_t>(r), s);
                }
            } else {
                // Elements under a null flag are undefined: zero them.
                values = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(rows * 8));
                if (values) {
                    char *bytes = PyBytes_AS_STRING(values);
                    const void *source = kind == ZARVEL_PLAN_FLOAT
                                             ? static_cast<const void *>(zarvel_plan_result_floats(result, c))
                                             : static_cast<const void *>(zarvel_plan_result_ints(result, c));
                    if (rows) std::memcpy(bytes, source, rows * 8);
                    for (uint64_t r = 0; r < rows; ++r) {
                        if (nulls[r]) std::memset(bytes + r * 8, 0, 8);
                    }
                }
            }
            PyObject *mask =
                PyBytes_FromStringAndSize(reinterpret_cast<const char *>(nulls), static_cast<Py_ssize_t>(rows));
            PyObject *entry = values && mask ? Py_BuildValue("(INN)", kind, values, mask) : nullptr;
            if (!entry) {
                Py_XDECREF(values);
                Py_XDECREF(mask);
                Py_CLEAR(out);
            } else {
                PyList_SET_ITEM(out, static_cast<Py_ssize_t>(c), entry);
            }
        }
    }
    zarvel_plan_result_free(result);
    zarvel_document_free(document);
    zarvel_plan_free(plan);
    return out;
}

// ---- module -------------------------------------------------------------------------------

PyObject *py_setup(PyObject *, PyObject *args) {
    package_helpers h;
    if (!PyArg_ParseTuple(args, "OOOOOOOO", &h.error, &h.tagged, &h.simple, &h.timestamp, &h.b64decode, &h.b64encode,
                          &h.cbor_tag, &h.datetime_text)) {
        return nullptr;
    }
    for (PyObject *o :
         {h.error, h.tagged, h.simple, h.timestamp, h.b64decode, h.b64encode, h.cbor_tag, h.datetime_text}) {
        Py_INCREF(o);
    }
    helpers = h;
    Py_RETURN_NONE;
}

PyObject *py_version(PyObject *, PyObject *) { return PyUnicode_FromString(zarvel_version()); }

PyMethodDef methods[] = {
    {"_setup", py_setup, METH_VARARGS, "Registers the package's helper objects."},
    {"load", py_load, METH_VARARGS, "load(data, schema, merge, first_only)"},
    {"loads_json", py_loads_json, METH_O, "loads_json(data: bytes)"},
    {"loads_cbor", py_loads_cbor, METH_O, "loads_cbor(data: bytes)"},
    {"dumps_json", py_dumps_json, METH_VARARGS, "dumps_json(obj, indent)"},
    {"dumps_cbor", py_dumps_cbor, METH_O, "dumps_cbor(obj)"},
    {"dump_all", py_dump_all, METH_VARARGS, "dump_all(objects, indent, explicit_start, sort_keys)"},
    {"columns", py_columns, METH_VARARGS, "columns(plan: bytes, data: bytes)"},
    {"version", py_version, METH_NOARGS, "The library's version."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "zarvel._zarvel", "Native part of zarvel.", -1, methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__zarvel(void) { return PyModule_Create(&module); }
