// ferrovane.sdk._json_scan: how deep a JSON text nests, read from the text in one
// pass, so that a large answer's depth is bounded without walking what it decodes to.
//
//     def nests_deeper_than(text, limit, /):
//         # whether some array or object in `text` (valid JSON) lies more than
//         # `limit` levels deep, brackets inside strings not counted
#include "ref.hpp"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// The index of the quote that ends the string whose text begins at `index` (escapes
// skipped: an escaped character, a quote included, ends nothing), or `length` when the
// text ends first. Brackets, quotes and backslashes are ASCII, so a wider character is
// never one of them.
template <typename Char>
Py_ssize_t string_end(const Char* text, Py_ssize_t index, Py_ssize_t length) {
    for (; index < length; ++index) {
        if (text[index] == '\\') {
            ++index;
        } else if (text[index] == '"') {
            return index;
        }
    }
    return length;
}

#if !defined(__SSE2__)
// Most of a page's text is inside strings: in one-byte text, memchr finds their ends. The
// quote found is kept until an escape passes it, so that each byte is searched once.
// (With SSE2, one-byte text has a scan of its own below.)
template <>
Py_ssize_t string_end(const Py_UCS1* text, Py_ssize_t index, Py_ssize_t length) {
    Py_ssize_t quote = -1;
    while (index < length) {
        if (quote < index) {
            const void* found = std::memchr(text + index, '"', static_cast<size_t>(length - index));
            quote = found != nullptr ? static_cast<const Py_UCS1*>(found) - text : length;
        }
        const void* escape = std::memchr(text + index, '\\', static_cast<size_t>(quote - index));
        if (escape == nullptr) {
            return quote;
        }
        index = static_cast<const Py_UCS1*>(escape) - text + 2;
    }
    return length;
}
#endif

// A bracket outside strings moves the depth; true once it passes `limit`.
template <typename Char>
bool passes_limit(Char unit, Py_ssize_t& depth, Py_ssize_t limit) {
    if (unit == '[' || unit == '{') {
        return ++depth > limit;
    }
    if (unit == ']' || unit == '}') {
        --depth;
    }
    return false;
}

template <typename Char>
bool nests_deeper(const Char* text, Py_ssize_t length, Py_ssize_t limit) {
    Py_ssize_t depth = 0;
    for (Py_ssize_t index = 0; index < length; ++index) {
        const Char unit = text[index];
        if (unit == '"') {
            index = string_end(text, index + 1, length);  // at its closing quote, or the end
        } else if (passes_limit(unit, depth, limit)) {
            return true;
        }
    }
    return false;
}

#if defined(__SSE2__)

// One-byte text, 16 bytes at a time: the bytes that can matter (quotes, backslashes and
// brackets, a few in each chunk of a page of events) are found by vector compares, and
// only those are looked at one by one, each as the loop above would take it.
template <>
bool nests_deeper(const Py_UCS1* text, Py_ssize_t length, Py_ssize_t limit) {
    Py_ssize_t depth = 0;
    bool in_string = false;
    Py_ssize_t escaped = -1;  // the byte after a backslash in a string, which ends nothing
    for (Py_ssize_t base = 0; base < length; base += 16) {
        unsigned mask = 0;
        if (length - base >= 16) {
            const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + base));
            const auto equal = [chunk](char c) { return _mm_cmpeq_epi8(chunk, _mm_set1_epi8(c)); };
            const __m128i marks = _mm_or_si128(_mm_or_si128(_mm_or_si128(equal('"'), equal('\\')),
                                                            _mm_or_si128(equal('['), equal('{'))),
                                               _mm_or_si128(equal(']'), equal('}')));
            mask = static_cast<unsigned>(_mm_movemask_epi8(marks));
        } else {
            for (Py_ssize_t offset = 0; offset < length - base; ++offset) {
                const Py_UCS1 unit = text[base + offset];
                if (unit == '"' || unit == '\\' || unit == '[' || unit == '{' || unit == ']' || unit == '}') {
                    mask |= 1U << offset;
                }
            }
        }
        for (; mask != 0; mask &= mask - 1) {
            const Py_ssize_t index = base + __builtin_ctz(mask);
            const Py_UCS1 unit = text[index];
            if (in_string) {
                if (index == escaped) {
                    continue;
                }
                if (unit == '\\') {
                    escaped = index + 1;
                } else if (unit == '"') {
                    in_string = false;
                }
            } else if (unit == '"') {
                in_string = true;
            } else if (passes_limit(unit, depth, limit)) {
                return true;
            }
        }
    }
    return false;
}

#endif

PyObject* nests_deeper_than(PyObject* /*module*/, PyObject* const* args, Py_ssize_t count) {
    if (count != 2) {
        PyErr_Format(PyExc_TypeError, "nests_deeper_than() takes 2 arguments (%zd given)", count);
        return nullptr;
    }
    PyObject* text = args[0];
    if (!PyUnicode_Check(text)) {
        PyErr_Format(PyExc_TypeError, "nests_deeper_than() needs a str, not %.100s", Py_TYPE(text)->tp_name);
        return nullptr;
    }
    const Py_ssize_t limit = PyLong_AsSsize_t(args[1]);
    if (limit == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    const void* data = PyUnicode_DATA(text);
    bool deeper = false;
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND:
            deeper = nests_deeper(static_cast<const Py_UCS1*>(data), length, limit);
            break;
        case PyUnicode_2BYTE_KIND:
            deeper = nests_deeper(static_cast<const Py_UCS2*>(data), length, limit);
            break;
        default:
            deeper = nests_deeper(static_cast<const Py_UCS4*>(data), length, limit);
            break;
    }
    return PyBool_FromLong(deeper);  // a function: Py_False would import a private symbol
}

constexpr const char nests_deeper_than_doc[] =
    "nests_deeper_than(text, limit, /)\n--\n\n"
    "Whether an array or object in the JSON *text* lies more than *limit* levels\n"
    "deep (the outermost is level 1); brackets inside strings do not count.\n"
    "The text is taken to be valid JSON: decode it first.";

PyMethodDef json_scan_functions[] = {
    {"nests_deeper_than", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(nests_deeper_than)),
     METH_FASTCALL, nests_deeper_than_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot json_scan_slots[] = {
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef json_scan_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_json_scan",
    .m_doc = "Scans of JSON text for the Ferrovane SDK's answer reader.",
    .m_size = 0,
    .m_methods = json_scan_functions,
    .m_slots = json_scan_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__json_scan() { return PyModuleDef_Init(&json_scan_definition); }
