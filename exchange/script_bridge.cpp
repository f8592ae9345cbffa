#include <boost/python.hpp>

#include "exchange/script_bridge.h"
#include "exchange/script_call.h"

#include <algorithm>
#include <mutex>
#include <type_traits>

namespace kavrin {

namespace bp = boost::python;

namespace {

// Imports a module from exactly the folder it belongs to. The wrapper only appends its folder
// to sys.path, so a module of the same name in a folder appended earlier would win, and every
// call would leave one more copy of the folder behind; this runs before each wrapper and keeps
// both in order. Loads are serialised so that no thread meets a half-initialised module.
constexpr const char* loader_source = R"(
import importlib.machinery
import importlib.util
import os
import sys
import threading

_guard = threading.RLock()


def _home(module):
    origin = getattr(module, "__file__", None)
    if not origin:
        return None
    folder = os.path.dirname(origin)
    origin_info = getattr(module, "__spec__", None)
    if origin_info is not None and origin_info.submodule_search_locations is not None:
        folder = os.path.dirname(folder)
    return os.path.realpath(folder)


def load(name, folder):
    with _guard:
        if folder in sys.path:
            after = sys.path.index(folder) + 1
            sys.path[after:] = [entry for entry in sys.path[after:] if entry != folder]
        else:
            sys.path.append(folder)
        loaded = sys.modules.get(name)
        if loaded is not None and _home(loaded) == os.path.realpath(folder):
            return
        found = importlib.machinery.PathFinder.find_spec(name, [folder])
        if found is None:
            raise ModuleNotFoundError("No module named %r in %s" % (name, folder), name=name)
        module = importlib.util.module_from_spec(found)
        sys.modules[name] = module
        try:
            found.loader.exec_module(module)
        except BaseException:
            if loaded is None:
                sys.modules.pop(name, None)
            else:
                sys.modules[name] = loaded
            raise
)";

// Written once by start_interpreter before the lock is first released, read-only afterwards.
PyObject* module_loader = nullptr;
std::string loader_failure;

std::string to_utf8(const QString& text) {
    const QByteArray bytes = text.toUtf8();
    return std::string(bytes.constData(), size_t(bytes.size()));
}

// The folder as the body of a single-quoted Python literal.
std::string python_literal(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\'':
                out += "\\'";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string module_folder(const std::string& module, const script_folders& folders) {
    return to_utf8(module == "wrap_ftp" ? folders.app_dir : folders.python_dir);
}

// Text of a str, with characters UTF-8 cannot carry (lone surrogates) escaped. Needs the lock.
std::string lenient_utf8(PyObject* text) {
    bp::handle<> bytes(
        bp::allow_null(PyUnicode_AsEncodedString(text, "utf-8", "backslashreplace")));
    if (!bytes) {
        PyErr_Clear();
        return "(unprintable)";
    }
    return std::string(PyBytes_AS_STRING(bytes.get()), size_t(PyBytes_GET_SIZE(bytes.get())));
}

bool truth_of(PyObject* value, const std::string& what) {
    if (!PyLong_Check(value))  // bool is a subclass of int
        throw script_error(what + ": expected bool, got " + Py_TYPE(value)->tp_name);
    return value == Py_True || (value != Py_False && PyObject_IsTrue(value) == 1);
}

// The callables through which the scripts ask a transfer_control whether to stop and tell it
// their progress: plain C functions bound to the control by a capsule, so that no Python state
// outlives the call that uses them.
constexpr const char* control_capsule = "kavrin.transfer_control";

transfer_control* control_of(PyObject* capsule) {
    return static_cast<transfer_control*>(PyCapsule_GetPointer(capsule, control_capsule));
}

PyObject* asked_to_cancel(PyObject* capsule, PyObject*) {
    transfer_control* control = control_of(capsule);
    if (!control) return nullptr;
    return PyBool_FromLong(control->cancel.load() ? 1 : 0);
}

PyObject* told_progress(PyObject* capsule, PyObject* args) {
    transfer_control* control = control_of(capsule);
    long long done = 0, total = -1;
    if (!control || !PyArg_ParseTuple(args, "LL", &done, &total)) return nullptr;
    control->done = done;
    control->total = total;
    Py_RETURN_NONE;
}

PyMethodDef cancelled_method{"cancelled", asked_to_cancel, METH_NOARGS, nullptr};
PyMethodDef progress_method{"progress", told_progress, METH_VARARGS, nullptr};

// Runs body (a call to the server) with this thread's transfers watched through control, and
// unwatched again afterwards however body ends. Needs the lock.
template <class Body>
auto watched(const script_folders& folders, transfer_control* control, Body body)
    -> decltype(body()) {
    using script_call::call;
    if (!control) return body();
    double budget = 0.0;
    if (control->deadline) {
        const auto left = *control->deadline - std::chrono::steady_clock::now();
        // A spent budget still makes the call, which then fails at once with its reason.
        budget = std::max(0.001, std::chrono::duration<double>(left).count());
    }
    const std::string extra = ", cancelled, progress, budget";
    {
        bp::object capsule(bp::handle<>(PyCapsule_New(control, control_capsule, nullptr)));
        bp::object cancelled(bp::handle<>(PyCFunction_New(&cancelled_method, capsule.ptr())));
        bp::object progress(bp::handle<>(PyCFunction_New(&progress_method, capsule.ptr())));
        call(folders, "shared_lib", "watch_transfers", extra, {}, cancelled, progress, budget);
    }
    auto unwatch = [&] {
        call(folders, "shared_lib", "watch_transfers", extra, {}, bp::object(), bp::object(), 0.0);
    };
    try {
        if constexpr (std::is_void_v<decltype(body())>) {
            body();
            unwatch();
        } else {
            auto result = body();
            unwatch();
            return result;
        }
    } catch (const bp::error_already_set&) {
        // The call's own error stays the one reported.
        PyObject *type = nullptr, *value = nullptr, *trace = nullptr;
        PyErr_Fetch(&type, &value, &trace);
        try {
            unwatch();
        } catch (const bp::error_already_set&) {
            PyErr_Clear();
        }
        PyErr_Restore(type, value, trace);
        throw;
    }
}

}  // namespace

void start_interpreter() {
    static std::once_flag once;
    std::call_once(once, [] {
        // Normally the interpreter is ours to start; if the process already runs one, the
        // bridge only adds its loader to it.
        const bool ours = !Py_IsInitialized();
        PyGILState_STATE borrowed{};
        if (ours) {
            // Isolated, on the installation the program was built with: another Python first on
            // PATH, or the user's PYTHONHOME and PYTHONPATH, would lend it a foreign library.
            // Text and file names cross the bridge as UTF-8, whatever locale the host set (a
            // program without a Qt application object keeps the C locale).
            PyPreConfig preconfig;
            PyPreConfig_InitIsolatedConfig(&preconfig);
            preconfig.utf8_mode = 1;
            const PyStatus prepared = Py_PreInitialize(&preconfig);
            if (PyStatus_Exception(prepared)) Py_ExitStatusException(prepared);
            PyConfig config;
            PyConfig_InitIsolatedConfig(&config);
            const PyStatus home =
                PyConfig_SetBytesString(&config, &config.home, KAVRIN_PYTHON_HOME);
            const PyStatus started =
                PyStatus_Exception(home) ? home : Py_InitializeFromConfig(&config);
            PyConfig_Clear(&config);
            if (PyStatus_Exception(started)) Py_ExitStatusException(started);
        } else {
            borrowed = PyGILState_Ensure();
        }
        // The loader is made before any other bridge call can take the lock: it needs no guard.
        PyObject* space = PyDict_New();
        if (space && PyDict_SetItemString(space, "__builtins__", PyEval_GetBuiltins()) == 0) {
            PyObject* ran = PyRun_String(loader_source, Py_file_input, space, space);
            if (ran) {
                module_loader = PyDict_GetItemString(space, "load");
                Py_XINCREF(module_loader);
                Py_DECREF(ran);
            }
        }
        Py_XDECREF(space);
        if (!module_loader) {
            try {
                script_call::raise_pending("script loader");
            } catch (const script_error& err) {
                loader_failure = err.what();
            }
        }
        if (ours)
            PyEval_SaveThread();  // from here on no thread holds the lock between calls
        else
            PyGILState_Release(borrowed);
    });
}

namespace script_call {

gil_hold::gil_hold() {
    if (!Py_IsInitialized()) throw script_error("the script interpreter is not started");
    state_ = PyGILState_Ensure();
}

gil_hold::~gil_hold() {
    PyGILState_Release(state_);
}

std::string wrap_source(const std::string& module, const std::string& function,
                        const std::string& extra, const script_folders& folders) {
    const std::string args = "str_list" + extra;
    const std::string folder = python_literal(module_folder(module, folders));
    return "def " + function + "(" + args + "):\n\t" + "import sys\n\t" + "sys.path.append('" +
           folder + "')\n\t" + "import os\n\t" + "import " + module + "\n\t" + "return " + module +
           "." + function + "(" + args + ")\n\t";
}

bp::object wrap_function(const script_folders& folders, const std::string& module,
                         const std::string& function, const std::string& extra) {
    if (!module_loader) throw script_error("the script bridge is not ready: " + loader_failure);
    bp::call<void>(module_loader, module, module_folder(module, folders));

    const std::string source = wrap_source(module, function, extra, folders);
    bp::object main_space = bp::import("__main__").attr("__dict__");
    // A private local namespace hands back exactly the function this call defined, even if
    // another thread defines the same name meanwhile; it is then published in __main__ as well.
    bp::dict defined;
    bp::handle<> ran(PyRun_String(source.c_str(), Py_file_input, main_space.ptr(), defined.ptr()));
    bp::object wrapper = defined[function];
    main_space[function] = wrapper;
    return wrapper;
}

bp::object to_str_list(const std::vector<QString>& texts) {
    bp::list list;
    for (const QString& text : texts) {
        const QByteArray bytes = text.toUtf8();
        list.append(
            bp::object(bp::handle<>(PyUnicode_FromStringAndSize(bytes.constData(), bytes.size()))));
    }
    return list;
}

void raise_pending(const std::string& where) {
    PyObject *type = nullptr, *value = nullptr, *trace = nullptr;
    PyErr_Fetch(&type, &value, &trace);  // also clears the indicator
    if (!type) throw script_error(where + ": failed without a Python error");
    PyErr_NormalizeException(&type, &value, &trace);
    std::string message = where + ": " + reinterpret_cast<PyTypeObject*>(type)->tp_name;
    if (value) {
        if (PyObject* text = PyObject_Str(value)) {
            const std::string said = lenient_utf8(text);
            if (!said.empty()) message += ": " + said;
            Py_DECREF(text);
        } else {
            PyErr_Clear();
        }
    }
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(trace);
    throw script_error(message);
}

std::string utf8_of(PyObject* value, const std::string& what) {
    if (PyUnicode_Check(value)) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(value, &size);
        if (!text) raise_pending(what);
        return std::string(text, size_t(size));
    }
    if (PyBytes_Check(value))
        return std::string(PyBytes_AS_STRING(value), size_t(PyBytes_GET_SIZE(value)));
    throw script_error(what + ": expected str, got " + Py_TYPE(value)->tp_name);
}

}  // namespace script_call

namespace script {

using script_call::call;
using script_call::guarded;

void clean(const script_folders& folders, const QString& debug_txt, int type, bool is_release) {
    guarded("shared_lib.clean", [&] {
        call(folders, "shared_lib", "clean", ", type, is_release", {folders.app_dir, debug_txt},
             type, is_release);
    });
}

std::unordered_map<std::string, QString> place(const script_folders& folders,
                                               const QString& debug_txt, bool is_online) {
    const std::string where = "shared_lib.place";
    return guarded(where, [&] {
        bp::object facts =
            call(folders, "shared_lib", "place", ", is_online", {debug_txt}, is_online);
        if (!PyDict_Check(facts.ptr()))
            throw script_error(where + ": expected dict, got " + Py_TYPE(facts.ptr())->tp_name);
        std::unordered_map<std::string, QString> result;
        PyObject *key = nullptr, *value = nullptr;
        Py_ssize_t at = 0;
        while (PyDict_Next(facts.ptr(), &at, &key, &value)) {
            const std::string name = script_call::utf8_of(key, where + " key");
            result[name] = QString::fromStdString(script_call::utf8_of(value, where + " " + name));
        }
        return result;
    });
}

bool exist(const script_folders& folders, const QString& remote, transfer_control* control) {
    return guarded("shared_lib.exist", [&] {
        return watched(folders, control, [&] {
            bp::object found = call(folders, "shared_lib", "exist", "", {remote, folders.app_dir});
            return truth_of(found.ptr(), "shared_lib.exist");
        });
    });
}

bool get_put(const script_folders& folders, const QString& remote, const QString& local, bool type,
             transfer_control* control) {
    return guarded("wrap_ftp.get_put", [&] {
        return watched(folders, control, [&] {
            bp::object done = call(folders, "wrap_ftp", "get_put", ", type", {remote, local}, type);
            return truth_of(done.ptr(), "wrap_ftp.get_put");
        });
    });
}

void unzip(const script_folders& folders, const QString& archive) {
    guarded("shared_lib.unzip", [&] { call(folders, "shared_lib", "unzip", "", {archive}); });
}

void sync(const script_folders& folders, const QString& local,
          const QString& server_revision_folder, transfer_control* control) {
    guarded("wrap_ftp.sync", [&] {
        watched(folders, control, [&] {
            call(folders, "wrap_ftp", "sync", "", {local, "None", server_revision_folder});
        });
    });
}

QString update(const script_folders& folders, const QString& current, const QString& latest,
               const QString& package_folder, transfer_control* control) {
    return guarded("shared_lib.update", [&] {
        return watched(folders, control, [&] {
            bp::object text = call(folders, "shared_lib", "update", "",
                                   {current, latest, package_folder, folders.app_dir});
            return QString::fromStdString(script_call::utf8_of(text.ptr(), "shared_lib.update"));
        });
    });
}

}  // namespace script
}  // namespace kavrin
