#pragma once
// What one script call is made of: the interpreter lock, the generated wrapper that forwards to
// a module function, the argument list of texts, and the turning of a Python failure into
// script_error. For the exchange sources and their tests; it brings in the Python headers.

#include <boost/python/object.hpp>

#include <string>
#include <type_traits>
#include <vector>

#include <QString>

#include "exchange/script_bridge.h"

namespace kavrin::script_call {

// Holds the interpreter lock for its lifetime; on any thread, nested or not. Throws
// script_error when the interpreter has not been started.
class gil_hold {
  public:
    gil_hold();
    ~gil_hold();
    gil_hold(const gil_hold&) = delete;
    gil_hold& operator=(const gil_hold&) = delete;

  private:
    PyGILState_STATE state_;
};

// Source of the wrapper that defines `function(str_list<extra>)`, importing `module` from its
// folder and returning `module.function(str_list<extra>)`. `extra` is empty or starts with ", ".
std::string wrap_source(const std::string& module, const std::string& function,
                        const std::string& extra, const script_folders& folders);

// Makes `module` importable from its own folder and runs the wrapper; returns the wrapper
// function. Needs the lock.
boost::python::object wrap_function(const script_folders& folders, const std::string& module,
                                    const std::string& function, const std::string& extra);

// A Python list of str, one UTF-8 item per text, in order. Needs the lock.
boost::python::object to_str_list(const std::vector<QString>& texts);

// Runs `body` under the interpreter lock; a Python failure inside it (a set error indicator,
// or boost's error_already_set) leaves as script_error naming `where`, with the indicator
// cleared. Every Python object of `body` must die inside it.
template <class Body>
auto guarded(const std::string& where, Body body) -> decltype(body());

// Throws script_error "<where>: <type>: <message>" from the pending Python error and clears
// it. Needs the lock.
[[noreturn]] void raise_pending(const std::string& where);

// Call of `module.function` through its wrapper with the list of texts and the further
// arguments; returns the result (never null). Needs the lock.
template <class... Extra>
boost::python::object call(const script_folders& folders, const std::string& module,
                           const std::string& function, const std::string& extra,
                           const std::vector<QString>& texts, const Extra&... args) {
    boost::python::object wrapper = wrap_function(folders, module, function, extra);
    return wrapper(to_str_list(texts), args...);
}

// Text of a str (UTF-8) or bytes result; anything else is a script_error naming `what`.
std::string utf8_of(PyObject* value, const std::string& what);

// ---- implementation of guarded ----

template <class Body>
auto guarded(const std::string& where, Body body) -> decltype(body()) {
    using result = decltype(body());
    static_assert(!std::is_base_of_v<boost::python::api::object_base, result>,
                  "a Python object must not outlive the interpreter lock");
    gil_hold hold;
    try {
        if constexpr (std::is_void_v<result>) {
            body();
            if (PyErr_Occurred()) raise_pending(where);
        } else {
            result value = body();
            if (PyErr_Occurred()) raise_pending(where);
            return value;
        }
    } catch (const boost::python::error_already_set&) {
        raise_pending(where);
    } catch (...) {
        // Whatever left the body, the next call on this thread must start clean.
        PyErr_Clear();
        throw;
    }
}

}  // namespace kavrin::script_call
