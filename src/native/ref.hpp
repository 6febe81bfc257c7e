// The one owned-reference type of the native modules.
//
// Rules of use:
//   - A Ref owns exactly one strong reference, or nothing (an empty Ref).
//   - Ref::steal(p) takes over a new reference, as returned by most C API calls;
//     an empty result means the call failed and an exception is set.
//   - Ref::borrow(p) adds a reference to a borrowed pointer.
//   - get() lends the pointer without giving up ownership; release() hands the
//     reference back to the caller (for returning it to the interpreter).
//   - There is no implicit conversion to PyObject*, so every place that lends or
//     hands over a reference says so.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

// The native code assumes the interpreter it is compiled against has the same
// pointer size as the target: catches a cross build pointed at the wrong headers.
static_assert(SIZEOF_VOID_P == sizeof(void*), "pyconfig.h does not match the target's pointer size");

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(other.release()) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref old(std::move(*this));
        object_ = other.release();
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    [[nodiscard]] static Ref steal(PyObject* object) noexcept { return Ref(object); }
    [[nodiscard]] static Ref borrow(PyObject* object) noexcept { return Ref(Py_XNewRef(object)); }

    [[nodiscard]] PyObject* get() const noexcept { return object_; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};
