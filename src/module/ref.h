// Owning handle for a Python object reference, plus the exception types the
// Python-facing layer uses to unwind to the call frame.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <utility>

namespace kv {

// A strong reference. Everything the module keeps using across a call into
// Python code (a dict lookup, __str__, __index__ ...) is held through one.
class Ref {
  public:
    Ref() noexcept = default;
    // Takes over a new reference (may be null).
    static Ref steal(PyObject* o) noexcept { return Ref(o); }
    // Adds a reference to a borrowed object (may be null).
    static Ref borrow(PyObject* o) noexcept { return Ref(Py_XNewRef(o)); }

    Ref(const Ref& other) noexcept : p_(Py_XNewRef(other.p_)) {}
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Gives up ownership: the caller now owns the reference.
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }

  private:
    explicit Ref(PyObject* o) noexcept : p_(o) {}
    PyObject* p_ = nullptr;
};

// Thrown when a Python exception is already set; the call frame returns NULL.
struct PyErrorSet {};

// Thrown for a broken internal invariant; the call frame raises InternalFault.
struct InternalError {
    std::string message;
};

// Throws PyErrorSet when `o` is null (a failed C-API call), else returns it owned.
inline Ref check(PyObject* o) {
    if (!o) throw PyErrorSet{};
    return Ref::steal(o);
}
inline void check_status(int status) {
    if (status < 0) throw PyErrorSet{};
}

[[noreturn]] inline void fault(std::string message) {
    throw InternalError{std::move(message)};
}

// The InternalFault exception type (a BaseException subclass), created once.
PyObject* internal_fault_type();

}  // namespace kv
