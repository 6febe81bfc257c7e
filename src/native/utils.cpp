// ferrovane.sdk.utils: the two helpers the client calls on every request,
// native because they sit on that path.
//
//     def join_url_parts(*parts): ...           # one slash between parts; each part
//                                               # after the first stays a path below it
//     def get_params(parameters, exclusions): ...  # the query parameters
#include "text.hpp"
#include "utils_api.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#if defined(__GNUC__)
#define FERROVANE_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define FERROVANE_ALWAYS_INLINE inline
#endif

namespace {

constexpr Py_UCS4 slash = '/';


// A run of characters of one part; `text == nullptr` stands for one slash.
// `escapes` counts the characters of the run that are written as escapes.
struct Piece {
    PyObject* text;
    Py_ssize_t start;
    Py_ssize_t end;
    Py_ssize_t escapes;
};

// The pieces of one join: at most two per part. Joins of a few parts, as
// every request makes, keep them on the stack; longer ones take memory from
// the interpreter's allocator, so that running out is a MemoryError.
class PieceList {
public:
    PieceList() = default;
    PieceList(const PieceList&) = delete;
    PieceList& operator=(const PieceList&) = delete;
    ~PieceList() { PyMem_Free(heap_); }

    // Makes room for `capacity` pieces; false with MemoryError set if there is none.
    [[nodiscard]] bool reserve(size_t capacity) {
        if (capacity <= inline_capacity) {
            return true;
        }
        heap_ = PyMem_New(Piece, capacity);
        if (heap_ == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        data_ = heap_;
        return true;
    }

    [[nodiscard]] bool empty() const { return size_ == 0; }
    [[nodiscard]] size_t size() const { return size_; }
    Piece& back() { return data_[size_ - 1]; }
    Piece& operator[](size_t index) { return data_[index]; }
    void pop_back() { --size_; }
    void push_back(const Piece& piece) { data_[size_++] = piece; }
    [[nodiscard]] const Piece* begin() const { return data_; }
    [[nodiscard]] const Piece* end() const { return data_ + size_; }

private:
    static constexpr size_t inline_capacity = 8;
    Piece inline_[inline_capacity];
    Piece* heap_ = nullptr;
    Piece* data_ = inline_;
    size_t size_ = 0;
};

// ---- what a path part may hold ---------------------------------------------
//
// The parts after the first are paths below it, often made from values that a
// program received (an event id, an application name). Such a value must not
// change which endpoint, or which query, a request addresses: `?` and `#` would
// end the path, a `%` that starts no escape would be read as one, and a dot
// segment would climb above the parts before it once the URL is resolved. The
// first three are written as escapes; a dot segment, also when written with
// %2E (servers decode it back into a dot) or followed by parameters after `;`
// (servlet containers drop those before resolving dot segments), is refused.

bool is_hex_digit(Py_UCS4 c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The escape that stands for text[index] in a path part, or nullptr if it stands for itself.
const char* escape_of(int kind, const void* data, Py_ssize_t index, Py_ssize_t length) {
    switch (PyUnicode_READ(kind, data, index)) {
    case '?':
        return "%3F";
    case '#':
        return "%23";
    case '%':
        if (index + 2 < length && is_hex_digit(PyUnicode_READ(kind, data, index + 1)) &&
            is_hex_digit(PyUnicode_READ(kind, data, index + 2))) {
            return nullptr;
        }
        return "%25";
    default:
        return nullptr;
    }
}

// The str kind (PyUnicode_1BYTE_KIND...) of characters stored as `Char`.
template <typename Char>
constexpr int unicode_kind_of = static_cast<int>(sizeof(Char));

// Whether text[start:end] is the segment "." or "..", each dot possibly written as %2E.
bool is_dot_segment(int kind, const void* data, Py_ssize_t start, Py_ssize_t end) {
    int dots = 0;
    for (Py_ssize_t index = start; index < end; ++dots) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, index);
        if (c == '.') {
            index += 1;
        } else if (c == '%' && index + 2 < end && PyUnicode_READ(kind, data, index + 1) == '2' &&
                   (PyUnicode_READ(kind, data, index + 2) | 0x20) == 'e') {
            index += 3;
        } else {
            return false;
        }
    }
    return dots == 1 || dots == 2;
}

[[gnu::cold]] void raise_dot_segment(PyObject* part, Py_ssize_t position, Py_ssize_t start, Py_ssize_t end) {
    Ref segment = Ref::steal(PyUnicode_Substring(part, start, end));
    if (segment) {
        PyErr_Format(PyExc_ValueError,
                     "join_url_parts() argument %zd has the dot segment %R (in %R): "
                     "a part cannot climb above the parts before it",
                     position, segment.get(), part);
    }
}

// The characters that the scan of a path part stops at, as bits of a mask: all
// are below 64, so one shift tells any character apart.
constexpr uint64_t path_stops = (uint64_t{1} << '#') | (uint64_t{1} << '%') | (uint64_t{1} << '/') |
                                (uint64_t{1} << ';') | (uint64_t{1} << '?');

// The scan of check_path_part over characters stored as `Char`: a character costs
// a test against `path_stops`, and only a segment that starts with '.' or '%' and
// whose text before its first ';' is short enough to be "%2E%2E" is looked at
// whole. Returns the escape count, or -1 with the dot segment's bounds in
// `dot_start` and `dot_end`.
template <typename Char>
Py_ssize_t scan_path_part(const Char* text, Py_ssize_t length, Py_ssize_t& dot_start, Py_ssize_t& dot_end) {
    constexpr Py_ssize_t longest_dot_segment = 6;
    Py_ssize_t segment_start = 0;
    Py_ssize_t parameters_start = -1;  // the segment's first ';', if it has one
    const auto ends_dot_segment = [&](Py_ssize_t end) {
        const Py_ssize_t name_end = parameters_start < 0 ? end : parameters_start;
        const Py_ssize_t size = name_end - segment_start;
        if (size > 0 && size <= longest_dot_segment && (text[segment_start] == '.' || text[segment_start] == '%') &&
            is_dot_segment(unicode_kind_of<Char>, text, segment_start, name_end)) {
            dot_start = segment_start;
            dot_end = end;
            return true;
        }
        return false;
    };
    Py_ssize_t escapes = 0;
    for (Py_ssize_t index = 0; index < length; ++index) {
        const Py_UCS4 c = text[index];
        if (c >= 64 || ((path_stops >> c) & 1) == 0) [[likely]] {
            continue;
        }
        if (c == slash) {
            if (ends_dot_segment(index)) {
                return -1;
            }
            segment_start = index + 1;
            parameters_start = -1;
        } else if (c == ';') {
            if (parameters_start < 0) {
                parameters_start = index;
            }
        } else if (c != '%' || index + 2 >= length || !is_hex_digit(text[index + 1]) ||
                   !is_hex_digit(text[index + 2])) {
            ++escapes;  // '?', '#', or a '%' that starts no escape
        }
    }
    return ends_dot_segment(length) ? -1 : escapes;
}

// Checks a part after the first; returns how many of its characters are written
// as escapes, or -1 with ValueError set for a dot segment.
Py_ssize_t check_path_part(PyObject* part, Py_ssize_t position) {
    const void* data = PyUnicode_DATA(part);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(part);
    Py_ssize_t dot_start = 0;
    Py_ssize_t dot_end = 0;
    Py_ssize_t escapes = 0;
    switch (PyUnicode_KIND(part)) {
    case PyUnicode_1BYTE_KIND:
        escapes = scan_path_part(static_cast<const Py_UCS1*>(data), length, dot_start, dot_end);
        break;
    case PyUnicode_2BYTE_KIND:
        escapes = scan_path_part(static_cast<const Py_UCS2*>(data), length, dot_start, dot_end);
        break;
    default:
        escapes = scan_path_part(static_cast<const Py_UCS4*>(data), length, dot_start, dot_end);
        break;
    }
    if (escapes < 0) {
        raise_dot_segment(part, position, dot_start, dot_end);
    }
    return escapes;
}

// Writes text[start:end] into `target` (of `target_kind`) from `position`, each
// character that needs it as its escape; returns the position after it.
Py_ssize_t write_escaped(int target_kind, void* target, Py_ssize_t position, PyObject* text, Py_ssize_t start,
                         Py_ssize_t end) {
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    for (Py_ssize_t index = start; index < end; ++index) {
        if (const char* escape = escape_of(kind, data, index, length); escape != nullptr) {
            for (int offset = 0; offset < 3; ++offset) {
                PyUnicode_WRITE(target_kind, target, position++, static_cast<Py_UCS4>(escape[offset]));
            }
        } else {
            PyUnicode_WRITE(target_kind, target, position++, PyUnicode_READ(kind, data, index));
        }
    }
    return position;
}

// ---- join_url_parts ---------------------------------------------------------

// Drops trailing slashes from the pieces joined so far (result.rstrip("/")).
void strip_trailing_slashes(PieceList& pieces) {
    while (!pieces.empty()) {
        Piece& last = pieces.back();
        if (last.text == nullptr) {
            pieces.pop_back();
            continue;
        }
        const int kind = PyUnicode_KIND(last.text);
        const void* data = PyUnicode_DATA(last.text);
        while (last.end > last.start && PyUnicode_READ(kind, data, last.end - 1) == slash) {
            --last.end;
        }
        if (last.end > last.start) {
            return;
        }
        pieces.pop_back();
    }
}

Py_ssize_t skip_leading_slashes(PyObject* text) {
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    Py_ssize_t start = 0;
    while (start < length && PyUnicode_READ(kind, data, start) == slash) {
        ++start;
    }
    return start;
}

// Puts the slash between what is joined so far, joined[0:length], and an ASCII
// part that follows, as result.rstrip("/") + "/" + part.lstrip("/") does (a
// part after nothing is taken whole); returns where the part's text to copy starts.
Py_ssize_t open_ascii_part(char* joined, Py_ssize_t& length, const char* part, Py_ssize_t part_length) {
    if (length == 0) {
        return 0;
    }
    while (length > 0 && joined[length - 1] == slash) {
        --length;
    }
    joined[length++] = slash;
    Py_ssize_t start = 0;
    while (start < part_length && part[start] == slash) {
        ++start;
    }
    return start;
}

// The join of parts that are all ASCII and short, as URLs nearly always are:
// the same steps on bytes in a buffer on the stack. Returns false, having made
// nothing, when the parts don't qualify. `escapes[index]` is the count that
// check_path_part gave for the part.
bool join_ascii_parts(PyObject* const* args, const Py_ssize_t* escapes, Py_ssize_t count, Ref& url) {
    constexpr Py_ssize_t capacity = 1024;
    char joined[capacity];
    Py_ssize_t room = capacity;
    for (Py_ssize_t index = 0; index < count; ++index) {
        // Each part adds at most its length, two more characters an escape, and one slash.
        room -= PyUnicode_GET_LENGTH(args[index]) + 2 * escapes[index] + 1;
        if (!PyUnicode_IS_COMPACT_ASCII(args[index]) || room < 0) {
            return false;
        }
    }
    Py_ssize_t length = PyUnicode_GET_LENGTH(args[0]);
    std::memcpy(joined, PyUnicode_DATA(args[0]), static_cast<size_t>(length));
    for (Py_ssize_t index = 1; index < count; ++index) {
        const auto* part = static_cast<const char*>(PyUnicode_DATA(args[index]));
        const Py_ssize_t part_length = PyUnicode_GET_LENGTH(args[index]);
        if (part_length == 0) {
            continue;
        }
        const Py_ssize_t start = open_ascii_part(joined, length, part, part_length);
        if (escapes[index] == 0) {
            std::memcpy(joined + length, part + start, static_cast<size_t>(part_length - start));
            length += part_length - start;
        } else {
            length = write_escaped(PyUnicode_1BYTE_KIND, joined, length, args[index], start, part_length);
        }
    }
    url = Ref::steal(PyUnicode_New(length, 127));
    if (url) {
        std::memcpy(PyUnicode_DATA(url.get()), joined, static_cast<size_t>(length));
    }
    return true;
}

// ---- the fast path: parts with nothing to look at ---------------------------
//
// Nearly every join is of ASCII parts with no '?', '#' or '%' and no '.' at the
// start of a segment, so with nothing to escape and no dot segment. Whether a
// part is one is told a chunk of characters at a time (16 with SSE2, else a
// machine word), with no branch per character; such a part is copied as it is.

// Bit i of each mask stands for byte i of a chunk.
struct ChunkMasks {
    unsigned special;  // '?', '#', '%'
    unsigned dots;
    unsigned slashes;
};

#if defined(__SSE2__)

constexpr Py_ssize_t chunk_size = 16;

ChunkMasks chunk_masks(const char* bytes) {
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
    const auto equal = [chunk](char c) { return _mm_cmpeq_epi8(chunk, _mm_set1_epi8(c)); };
    const auto bits = [](__m128i mask) { return static_cast<unsigned>(_mm_movemask_epi8(mask)); };
    return {bits(_mm_or_si128(_mm_or_si128(equal('?'), equal('#')), equal('%'))), bits(equal('.')), bits(equal('/'))};
}

#else

using Word = std::uintptr_t;
constexpr Py_ssize_t chunk_size = sizeof(Word);

constexpr Word repeated(unsigned byte) { return (~Word{0} / 0xFF) * byte; }

// Bit i set where byte i of `word` (in memory order) is `byte`. Exact for ASCII
// bytes, whose high bits are clear, so that no byte's sum carries into the next.
unsigned bytes_equal(Word word, unsigned byte) {
    const Word high_bits = ~((word ^ repeated(byte)) + repeated(0x7F)) & repeated(0x80);
    unsigned bits = 0;
    for (Py_ssize_t index = 0; index < chunk_size; ++index) {
        const int shift = std::endian::native == std::endian::little ? 8 * index + 7
                                                                      : 8 * (chunk_size - 1 - index) + 7;
        bits |= static_cast<unsigned>((high_bits >> shift) & 1) << index;
    }
    return bits;
}

ChunkMasks chunk_masks(const char* bytes) {
    Word word;
    std::memcpy(&word, bytes, sizeof word);
    return {bytes_equal(word, '?') | bytes_equal(word, '#') | bytes_equal(word, '%'), bytes_equal(word, '.'),
            bytes_equal(word, '/')};
}

#endif

// A text shorter than a chunk is read as the chunk that ends where it ends: its
// first bytes are those of the str object before the characters (its header),
// never outside the object, and are left out of the masks.
static_assert(sizeof(PyASCIIObject) >= chunk_size, "a chunk before a str's characters stays in the object");

// Whether text[0:length], an ASCII part after its leading slashes (so that
// text[0] starts a segment) holds a character to escape or a '.' that starts a
// segment: if not, it is joined as it is.
FERROVANE_ALWAYS_INLINE bool needs_a_look(const char* text, Py_ssize_t length) {
    if (length <= chunk_size) {
        const ChunkMasks masks = chunk_masks(text + length - chunk_size);
        const auto first = static_cast<unsigned>(chunk_size - length);  // the bit of text[0]
        const unsigned segment_starts = (masks.slashes << 1) | (1U << first);
        return ((masks.special | (masks.dots & segment_starts)) >> first) != 0;
    }
    for (Py_ssize_t offset = 0;;) {
        const ChunkMasks masks = chunk_masks(text + offset);
        const unsigned segment_starts = (masks.slashes << 1) | (offset == 0 || text[offset - 1] == slash ? 1U : 0U);
        if ((masks.special | (masks.dots & segment_starts)) != 0) {
            return true;
        }
        if (offset + chunk_size >= length) {
            return false;
        }
        // The last chunk ends with the text, overlapping the one before.
        offset = std::min(offset + chunk_size, length - chunk_size);
    }
}

// The join of ASCII parts none of which needs a look, on the stack. Returns
// false, having made nothing, when one does. `most` bounds the result's length.
// Inlined into both callers: as a call it costs the typical join a tenth more.
FERROVANE_ALWAYS_INLINE bool join_plain_parts(PyObject* const* args, Py_ssize_t count, Py_ssize_t most, Ref& url) {
    constexpr Py_ssize_t capacity = 1024;
    char joined[capacity];
    if (most > capacity) {
        return false;
    }
    Py_ssize_t length = PyUnicode_GET_LENGTH(args[0]);
    std::memcpy(joined, PyUnicode_DATA(args[0]), static_cast<size_t>(length));
    for (Py_ssize_t index = 1; index < count; ++index) {
        const auto* part = static_cast<const char*>(PyUnicode_DATA(args[index]));
        const Py_ssize_t part_length = PyUnicode_GET_LENGTH(args[index]);
        if (part_length == 0) {
            continue;
        }
        const Py_ssize_t start = open_ascii_part(joined, length, part, part_length);
        if (needs_a_look(part + start, part_length - start)) {
            return false;
        }
        std::memcpy(joined + length, part + start, static_cast<size_t>(part_length - start));
        length += part_length - start;
    }
    url = Ref::steal(PyUnicode_New(length, 127));
    if (url) {
        std::memcpy(PyUnicode_DATA(url.get()), joined, static_cast<size_t>(length));
    }
    return true;
}

// Escape counts of the parts: on the stack for the joins that requests make.
class EscapeCounts {
public:
    EscapeCounts() = default;
    EscapeCounts(const EscapeCounts&) = delete;
    EscapeCounts& operator=(const EscapeCounts&) = delete;
    ~EscapeCounts() {
        if (heap_ != nullptr) {  // spares the call for the joins that requests make
            PyMem_Free(heap_);
        }
    }

    [[nodiscard]] Py_ssize_t* reserve(Py_ssize_t count) {
        if (count <= inline_capacity) {
            return inline_;
        }
        heap_ = PyMem_New(Py_ssize_t, static_cast<size_t>(count));
        if (heap_ == nullptr) {
            PyErr_NoMemory();
        }
        return heap_;
    }

private:
    static constexpr Py_ssize_t inline_capacity = 8;
    Py_ssize_t inline_[inline_capacity] = {};
    Py_ssize_t* heap_ = nullptr;
};

PyObject* join_url_parts(PyObject* /*module*/, PyObject* const* args, Py_ssize_t count) {
    bool all_ascii = true;
    Py_ssize_t most = 0;  // each part, and a slash before it
    for (Py_ssize_t index = 0; index < count; ++index) {
        if (!PyUnicode_Check(args[index])) {
            PyErr_Format(PyExc_TypeError, "join_url_parts() argument %zd must be str, not %.200s", index + 1,
                         Py_TYPE(args[index])->tp_name);
            return nullptr;
        }
        all_ascii &= static_cast<bool>(PyUnicode_IS_COMPACT_ASCII(args[index]));
        most += PyUnicode_GET_LENGTH(args[index]) + 1;
    }
    if (count == 0) {
        return PyUnicode_FromStringAndSize("", 0);
    }
    if (count == 1) {
        return Py_NewRef(args[0]);
    }
    if (Ref url; all_ascii && join_plain_parts(args, count, most, url)) {
        return url.release();
    }
    EscapeCounts escape_counts;
    Py_ssize_t* escapes = escape_counts.reserve(count);
    if (escapes == nullptr) {
        return nullptr;
    }
    escapes[0] = 0;  // the first part is the base, taken as it is
    for (Py_ssize_t index = 1; index < count; ++index) {
        if ((escapes[index] = check_path_part(args[index], index + 1)) < 0) {
            return nullptr;
        }
    }
    if (Ref url; join_ascii_parts(args, escapes, count, url)) {
        return url.release();
    }
    PieceList pieces;
    if (!pieces.reserve(2 * static_cast<size_t>(count))) {
        return nullptr;
    }
    pieces.push_back({args[0], 0, PyUnicode_GET_LENGTH(args[0]), 0});
    for (Py_ssize_t index = 1; index < count; ++index) {
        PyObject* part = args[index];
        const Py_ssize_t length = PyUnicode_GET_LENGTH(part);
        if (length == 0) {
            continue;
        }
        const bool joined_is_empty = pieces.size() == 1 && pieces[0].start == pieces[0].end;
        if (joined_is_empty) {
            pieces[0] = {part, 0, length, escapes[index]};
            continue;
        }
        strip_trailing_slashes(pieces);
        pieces.push_back({nullptr, 0, 1, 0});
        // Slashes are never escaped, so the part's escapes are all in the piece.
        pieces.push_back({part, skip_leading_slashes(part), length, escapes[index]});
    }

    Py_ssize_t total = 0;
    Py_UCS4 max_char = slash;
    for (const Piece& piece : pieces) {
        total += piece.end - piece.start + 2 * piece.escapes;
        if (piece.text != nullptr && PyUnicode_MAX_CHAR_VALUE(piece.text) > max_char) {
            max_char = PyUnicode_MAX_CHAR_VALUE(piece.text);
        }
    }
    Ref url = Ref::steal(PyUnicode_New(total, max_char));
    if (!url) {
        return nullptr;
    }
    const int kind = PyUnicode_KIND(url.get());
    void* data = PyUnicode_DATA(url.get());
    Py_ssize_t position = 0;
    for (const Piece& piece : pieces) {
        if (piece.text == nullptr) {
            PyUnicode_WRITE(kind, data, position++, slash);
            continue;
        }
        const Py_ssize_t length = piece.end - piece.start;
        if (piece.escapes > 0) {
            position = write_escaped(kind, data, position, piece.text, piece.start, piece.end);
            continue;
        }
        if (length > 0 && copy_characters(url.get(), position, piece.text, piece.start, length) < 0) {
            return nullptr;
        }
        position += length;
    }
    return url.release();
}

// ---- get_params -----------------------------------------------------------

// The exclusions as a tuple of str, so that each name is checked once.
Ref exclusion_names(PyObject* exclusions) {
    // A str is iterable too, but a single name passed in place of a tuple is a mistake.
    const bool iterable = Py_TYPE(exclusions)->tp_iter != nullptr || PySequence_Check(exclusions);
    if (!iterable || PyUnicode_Check(exclusions) || PyBytes_Check(exclusions)) {
        PyErr_Format(PyExc_TypeError,
                     "get_params() argument 'exclusions' must be a collection of parameter names, not %.200s",
                     Py_TYPE(exclusions)->tp_name);
        return {};
    }
    Ref names = PyTuple_CheckExact(exclusions) ? Ref::borrow(exclusions) : Ref::steal(PySequence_Tuple(exclusions));
    if (!names) {
        return {};
    }
    for (Py_ssize_t index = 0; index < PyTuple_GET_SIZE(names.get()); ++index) {
        PyObject* name = PyTuple_GET_ITEM(names.get(), index);
        if (!PyUnicode_Check(name)) {
            PyErr_Format(PyExc_TypeError, "get_params() exclusions must be str, not %.200s", Py_TYPE(name)->tp_name);
            return {};
        }
    }
    return names;
}

bool is_excluded(PyObject* name, PyObject* exclusions) {
    if (!PyUnicode_Check(name)) {
        return false;
    }
    const Py_ssize_t count = PyTuple_GET_SIZE(exclusions);
    for (Py_ssize_t index = 0; index < count; ++index) {
        if (equal_names(PyTuple_GET_ITEM(exclusions, index), name)) {
            return true;
        }
    }
    return false;
}

// Adds `name: value` to `query` unless the name is excluded or the value None.
int keep_parameter(PyObject* query, PyObject* name, PyObject* value, PyObject* exclusions) {
    if (value == Py_None || is_excluded(name, exclusions)) {
        return 0;
    }
    return PyDict_SetItem(query, name, value);
}

PyObject* select_parameters(PyObject* parameters, PyObject* exclusions_argument) {
    Ref exclusions = exclusion_names(exclusions_argument);
    if (!exclusions) {
        return nullptr;
    }
    // The entries of one reading of the mapping: filling the query runs the
    // names' hashing, which could change the mapping while it is read.
    // Any object with items() is taken as a mapping: UserDict and other mappings
    // written in Python fill the sequence slots too, so those slots can't tell a
    // mapping from a list of pairs.
    if (!PyDict_CheckExact(parameters)) {
        const int has_items = PyObject_HasAttrStringWithError(parameters, "items");
        if (has_items < 0) {
            return nullptr;
        }
        if (!has_items) {
            PyErr_Format(PyExc_TypeError, "get_params() argument 'parameters' must be a mapping, not %.200s",
                         Py_TYPE(parameters)->tp_name);
            return nullptr;
        }
    }
    Ref items = Ref::steal(PyMapping_Items(parameters));
    if (!items) {
        return nullptr;
    }
    Ref query = Ref::steal(PyDict_New());
    if (!query) {
        return nullptr;
    }
    for (Py_ssize_t index = 0; index < PyList_GET_SIZE(items.get()); ++index) {
        PyObject* item = PyList_GET_ITEM(items.get(), index);
        if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2) {
            PyErr_SetString(PyExc_TypeError, "get_params() argument 'parameters' must map names to values");
            return nullptr;
        }
        if (keep_parameter(query.get(), PyTuple_GET_ITEM(item, 0), PyTuple_GET_ITEM(item, 1), exclusions.get()) < 0) {
            return nullptr;
        }
    }
    return query.release();
}

// get_params for parameters held as pairs with distinct names and exclusions
// that are a tuple of str: the client's direct path.
PyObject* select_pairs(const NamedValue* pairs, Py_ssize_t count, PyObject* exclusions, Py_ssize_t extra) {
    // The kept pairs are known before the dict is made, so that it is made at its final size.
    constexpr Py_ssize_t most_pairs = 16;
    if (count > most_pairs) {
        PyErr_SetString(PyExc_SystemError, "select_pairs: too many parameters");
        return nullptr;
    }
    const NamedValue* kept[most_pairs];
    Py_ssize_t kept_count = 0;
    for (const NamedValue* pair = pairs; pair != pairs + count; ++pair) {
        if (pair->second != Py_None && (exclusions == nullptr || !is_excluded(pair->first, exclusions))) {
            kept[kept_count++] = pair;
        }
    }
    // A new dict has room for five entries; a larger query is made at its final
    // size, which spares growing it on the way (a private call that pays: see
    // the private C API ledger in docs/maintainers.md).
    constexpr Py_ssize_t new_dict_room = 5;
    const Py_ssize_t size = kept_count + extra;
    Ref query = Ref::steal(size <= new_dict_room ? PyDict_New() : _PyDict_NewPresized(size));
    if (!query) {
        return nullptr;
    }
    for (Py_ssize_t index = 0; index < kept_count; ++index) {
        if (PyDict_SetItem(query.get(), kept[index]->first, kept[index]->second) < 0) {
            return nullptr;
        }
    }
    return query.release();
}

// join_url_parts for str parts (at least two) when all are ASCII and none
// needs a look: 1 with *url set, 0 (nothing made, no exception) when the parts
// need the full join, -1 when making the result failed.
int join_plain(PyObject* const* parts, Py_ssize_t count, PyObject** url) {
    Py_ssize_t most = 0;
    for (Py_ssize_t index = 0; index < count; ++index) {
        if (!PyUnicode_Check(parts[index]) || !PyUnicode_IS_COMPACT_ASCII(parts[index])) {
            return 0;
        }
        most += PyUnicode_GET_LENGTH(parts[index]) + 1;
    }
    Ref made;
    if (!join_plain_parts(parts, count, most, made)) {
        return 0;
    }
    *url = made.release();
    return *url != nullptr ? 1 : -1;
}

constexpr UtilsNativeApi native_api = {select_pairs, join_plain};

constexpr const char* get_params_parameters[] = {"parameters", "exclusions"};

// The state is per module, so that each interpreter has its own interned names.
UtilsState* utils_state(PyObject* module) { return static_cast<UtilsState*>(PyModule_GetState(module)); }

[[gnu::cold]] PyObject* raise_not_initialised() {
    PyErr_SetString(PyExc_SystemError, "ferrovane.sdk.utils is not initialised: its module was not executed");
    return nullptr;
}

PyObject* get_params(PyObject* module, PyObject* const* args, Py_ssize_t positional_count, PyObject* kwnames) {
    const auto& parameter_names = get_params_parameters;
    const UtilsState* state = utils_state(module);
    if (!utils_state_ready(state)) {
        return raise_not_initialised();
    }
    PyObject* const* interned_names = state->get_params_parameters;
    if (positional_count > 2) {
        PyErr_Format(PyExc_TypeError, "get_params() takes 2 arguments (%zd given)", positional_count);
        return nullptr;
    }
    PyObject* bound[2] = {nullptr, nullptr};
    for (Py_ssize_t index = 0; index < positional_count; ++index) {
        bound[index] = args[index];
    }
    const Py_ssize_t keyword_count = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t index = 0; index < keyword_count; ++index) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, index);
        int slot = -1;
        for (int candidate = 0; candidate < 2; ++candidate) {
            if (PyUnicode_Check(keyword) && equal_names(keyword, interned_names[candidate])) {
                slot = candidate;
            }
        }
        if (slot < 0) {
            PyErr_Format(PyExc_TypeError, "get_params() got an unexpected keyword argument '%S'", keyword);
            return nullptr;
        }
        if (bound[slot] != nullptr) {
            PyErr_Format(PyExc_TypeError, "get_params() got multiple values for argument '%s'", parameter_names[slot]);
            return nullptr;
        }
        bound[slot] = args[positional_count + index];
    }
    for (int slot = 0; slot < 2; ++slot) {
        if (bound[slot] == nullptr) {
            PyErr_Format(PyExc_TypeError, "get_params() missing required argument '%s'", parameter_names[slot]);
            return nullptr;
        }
    }
    return select_parameters(bound[0], bound[1]);
}

constexpr const char join_url_parts_doc[] =
    "join_url_parts(*parts)\n--\n\n"
    "Join the parts of a URL with exactly one slash between neighbouring parts.\n\n"
    "Slashes where two parts meet are merged into one; the first part keeps its\n"
    "scheme and path prefix (\"http://host/prefix\"), the last part keeps a\n"
    "trailing slash, and empty parts are skipped.\n\n"
    "Each part after the first stays a path below the parts before it: \"?\",\n"
    "\"#\" and a \"%\" that starts no escape are written as escapes (%3F, %23,\n"
    "%25), and a dot segment (\".\" or \"..\", also as %2E, also followed by\n"
    "\";parameters\") raises ValueError.\n"
    "Anything else is kept as given.\n\n"
    "    >>> join_url_parts(\"http://host/\", \"/api/security\", \"v3/user-info\")\n"
    "    'http://host/api/security/v3/user-info'\n\n"
    "Every part must be a str.";

constexpr const char get_params_doc[] =
    "get_params(parameters, exclusions)\n--\n\n"
    "Return the query parameters among a method's parameters.\n\n"
    "The result is a new dict holding, in their order, the entries of the\n"
    "mapping *parameters* whose names are not in *exclusions* (a collection of\n"
    "str) and whose values are not None: an option left at None is an option\n"
    "not given.";

PyMethodDef utils_functions[] = {
    {"join_url_parts", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(join_url_parts)), METH_FASTCALL,
     join_url_parts_doc},
    {"get_params", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(get_params)),
     METH_FASTCALL | METH_KEYWORDS, get_params_doc},
    {nullptr, nullptr, 0, nullptr},
};

int utils_exec(PyObject* module) {
    UtilsState* state = utils_state(module);
    state->api = &native_api;
    state->join_url_parts_entry = reinterpret_cast<void*>(utils_functions[0].ml_meth);
    state->get_params_entry = reinterpret_cast<void*>(utils_functions[1].ml_meth);
    for (int slot = 0; slot < 2; ++slot) {
        state->get_params_parameters[slot] = PyUnicode_InternFromString(get_params_parameters[slot]);
        if (state->get_params_parameters[slot] == nullptr) {
            return -1;
        }
    }
    // Last: the tag tells the functions and the client that all of the state is there.
    state->tag = utils_state_tag;
    return 0;
}

int utils_traverse(PyObject* module, visitproc visit, void* arg) {
    UtilsState* state = utils_state(module);
    if (state != nullptr) {
        for (PyObject* name : state->get_params_parameters) {
            Py_VISIT(name);
        }
    }
    return 0;
}

int utils_clear(PyObject* module) {
    UtilsState* state = utils_state(module);
    if (state != nullptr) {
        state->tag = 0;
        for (PyObject*& name : state->get_params_parameters) {
            Py_CLEAR(name);
        }
    }
    return 0;
}

void utils_free(void* module) { utils_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot utils_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(utils_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

PyModuleDef utils_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "utils",
    .m_doc = "URL and query-parameter helpers of the Ferrovane SDK.",
    .m_size = sizeof(UtilsState),
    .m_methods = utils_functions,
    .m_slots = utils_slots,
    .m_traverse = utils_traverse,
    .m_clear = utils_clear,
    .m_free = utils_free,
};

}  // namespace

PyMODINIT_FUNC PyInit_utils() { return PyModuleDef_Init(&utils_definition); }
