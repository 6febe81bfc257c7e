// Text helpers shared by the native modules: comparing names and filling a str
// made by PyUnicode_New and not yet handed out.
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

// Whether two str hold the same characters, compared as stored: a str stores
// its characters at the width its widest one needs, so equal texts are stored
// alike. The keyword binding's match for names built at run time, after the
// identity test has failed.
inline bool same_characters(PyObject* left, PyObject* right) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(left);
    if (length != PyUnicode_GET_LENGTH(right) || PyUnicode_KIND(left) != PyUnicode_KIND(right)) {
        return false;
    }
    return std::memcmp(PyUnicode_DATA(left), PyUnicode_DATA(right),
                       static_cast<size_t>(length) * PyUnicode_KIND(left)) == 0;
}

// Whether two str are equal, sparing the comparison where identity decides:
// two distinct interned strings never hold the same text, and parameter names
// usually are interned.
inline bool equal_names(PyObject* left, PyObject* right) {
    if (left == right) {
        return true;
    }
    if (PyUnicode_CHECK_INTERNED(left) && PyUnicode_CHECK_INTERNED(right)) {
        return false;
    }
    return PyUnicode_Compare(left, right) == 0;
}
