// Filling a str made by PyUnicode_New and not yet handed out.
#pragma once

#include "ref.hpp"

#include <cstring>

// PyUnicode_CopyCharacters(target, position, source, start, length) for a new
// target and a range that fits: where both texts store characters at the same
// width (ASCII URLs and names nearly always do), a plain memory copy, which is
// what that call ends in after its argument checks.
inline int copy_characters(PyObject* target, Py_ssize_t position, PyObject* source, Py_ssize_t start,
                           Py_ssize_t length) {
    const int kind = PyUnicode_KIND(target);
    if (PyUnicode_KIND(source) == kind) {
        std::memcpy(static_cast<char*>(PyUnicode_DATA(target)) + position * kind,
                    static_cast<const char*>(PyUnicode_DATA(source)) + start * kind,
                    static_cast<size_t>(length) * static_cast<size_t>(kind));
        return 0;
    }
    return PyUnicode_CopyCharacters(target, position, source, start, length) < 0 ? -1 : 0;
}
