// The compiled part of the Python package "kavrin": a Scene opened from a cache folder, over
// the same session that kavrin-batch uses. Engine calls release the interpreter lock while they
// run, since the workers take it to read and write cache files.

#include <boost/python.hpp>
#include <boost/python/raw_function.hpp>

#include <algorithm>
#include <clocale>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string>

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QThread>

#include "scene/stroke_log.h"
#include "exchange/cache_session.h"
#include "exchange/step_vector.h"

namespace bp = boost::python;
using namespace kavrin;

namespace {

// Set once by the package's __init__ before any scene is made.
QString script_folder;
// kavrin.Error, for failures that are neither missing files, bad input nor unwritable output.
PyObject* kavrin_error = nullptr;

// Gives the interpreter lock up for its lifetime, so that the engine's workers can take it.
class without_gil {
  public:
    without_gil() : state_(PyEval_SaveThread()) {}
    ~without_gil() { PyEval_RestoreThread(state_); }
    without_gil(const without_gil&) = delete;
    without_gil& operator=(const without_gil&) = delete;

  private:
    PyThreadState* state_;
};

void raise_session_error(const session_error& e) {
    PyObject* type = kavrin_error;
    switch (e.why) {
        case session_error::kind::missing:
            type = PyExc_FileNotFoundError;
            break;
        case session_error::kind::input:
            type = PyExc_ValueError;
            break;
        case session_error::kind::output:
            type = PyExc_OSError;
            break;
        default:
            break;
    }
    // The file and frame of a failed cache frame travel as attributes (None otherwise), so that
    // a script can tell them without reading the message.
    PyObject* error = PyObject_CallFunction(type, "s", e.what());
    if (!error) return;  // the failure to make it is the error raised
    PyObject* file =
        e.file.isEmpty() ? Py_NewRef(Py_None) : PyUnicode_FromString(e.file.toUtf8().constData());
    PyObject* frame = e.frame ? PyLong_FromLong(*e.frame) : Py_NewRef(Py_None);
    if (file && frame && PyObject_SetAttrString(error, "file", file) == 0 &&
        PyObject_SetAttrString(error, "frame", frame) == 0)
        PyErr_SetObject(type, error);
    Py_XDECREF(file);
    Py_XDECREF(frame);
    Py_DECREF(error);
}

[[noreturn]] void raise(PyObject* type, const QString& message) {
    PyErr_SetString(type, message.toUtf8().constData());
    throw bp::error_already_set();
}

QString text_of(const bp::object& o) {
    // str or os.PathLike.
    bp::object path = bp::import("os").attr("fspath")(o);
    return QString::fromStdString(bp::extract<std::string>(path)());
}

// A fresh read-only numpy array over a copy of the values: numpy.frombuffer over bytes, which
// cannot be written to. dtype is numpy's spelling ("f4", "i4", ...), shape the array's.
bp::object array_of(const void* data, size_t bytes, const std::string& dtype,
                    const bp::tuple& shape) {
    bp::object copy(
        bp::handle<>(PyBytes_FromStringAndSize(static_cast<const char*>(data), Py_ssize_t(bytes))));
    const bp::object numpy = bp::import("numpy");
    return numpy.attr("frombuffer")(copy, numpy.attr("dtype")(dtype)).attr("reshape")(shape);
}

// A whole number given as any integer type (int, numpy.int64, ...), through operator.index:
// floats and strings are refused with a TypeError that names the argument.
int whole_number(const bp::object& o, const char* name) {
    PyObject* index = PyNumber_Index(o.ptr());
    if (!index) {
        PyErr_Clear();
        raise(PyExc_TypeError, QString("%1 must be a whole number, not %2")
                                   .arg(name)
                                   .arg(QString::fromUtf8(Py_TYPE(o.ptr())->tp_name)));
    }
    const long long value = PyLong_AsLongLong(index);
    Py_DECREF(index);
    if ((value == -1 && PyErr_Occurred()) || value < std::numeric_limits<int>::min() ||
        value > std::numeric_limits<int>::max()) {
        PyErr_Clear();
        raise(PyExc_ValueError, QString("%1 is too large for a frame number").arg(name));
    }
    return int(value);
}

// A Python number (numpy scalars included) as a double.
double as_double(const bp::object& o) {
    const double v = PyFloat_AsDouble(o.ptr());
    if (v == -1.0 && PyErr_Occurred()) throw bp::error_already_set();
    return v;
}

// Turns values json cannot write (numpy scalars and arrays) into plain Python ones; set by the
// package's __init__ and kept for the life of the interpreter (a static bp::object would be
// released after it ends).
PyObject* json_default = nullptr;

template <class T>
bp::list list_of(const std::vector<T>& values) {
    bp::list out;
    for (const T& v : values)
        out.append(v);
    return out;
}

// Raised by a progress call to end the work in hand; the Python error is set.
struct interrupted {};

// Runs work without the interpreter lock, calling progress(phase, done, total) as the session
// counts frames and events. Ctrl-C, or an exception progress raises, ends the work at the next
// count: an open or a replay stops there (with KeyboardInterrupt or that exception), while a
// save finishes its files first and raises afterwards.
template <class Work>
void reporting(cache_session& s, const bp::object& progress, Work work) {
    s.on_count = [&progress](const QString& phase, int done, int total) {
        const PyGILState_STATE gil = PyGILState_Ensure();
        if (!PyErr_Occurred() && !progress.is_none()) {
            PyObject* result = PyObject_CallFunction(progress.ptr(), "sii",
                                                     phase.toUtf8().constData(), done, total);
            Py_XDECREF(result);
        }
        if (!PyErr_Occurred()) PyErr_CheckSignals();
        const bool stop = PyErr_Occurred() != nullptr;
        PyGILState_Release(gil);
        if (stop && phase != "save") throw interrupted{};
    };
    struct quiet {
        cache_session& s;
        ~quiet() { s.on_count = nullptr; }
    } done{s};
    try {
        without_gil free;
        work();
    } catch (const interrupted&) {
        throw bp::error_already_set();
    }
    if (PyErr_Occurred()) throw bp::error_already_set();
}

class scene {
  public:
    scene(const bp::object& folder, int threads, const bp::object& progress)
        : session_(new_session(threads)) {
        const QString path = text_of(folder);
        reporting(*session_, progress, [&] { session_->open(path); });
    }
    // The window's generated scene "100" or "10000".
    static scene* fountain(const std::string& name, unsigned seed, int threads,
                           const bp::object& progress) {
        if (name != "100" && name != "10000")
            raise(PyExc_ValueError,
                  QString::fromStdString("the fountain is \"100\" or \"10000\", not \"" + name +
                                         "\""));
        std::unique_ptr<scene> made(new scene(new_session(threads)));
        cache_session& s = *made->session_;
        reporting(s, progress, [&] { s.open_fountain(name == "100" ? 1 : 100, seed); });
        return made.release();
    }
    ~scene() {
        // The workers may still want the lock on their way out.
        without_gil free;
        session_.reset();
    }

    bp::list frames() { return list_of(session().frames()); }
    int current_frame() { return session().current_frame(); }

    bp::object ids(const bp::object& frame) {
        const frame_data d = data(whole_number(frame, "frame"));
        return array_of(d.ids.data(), d.ids.size() * sizeof(int32_t), "i4",
                        bp::make_tuple(d.ids.size()));
    }
    bp::object positions(const bp::object& frame) {
        const frame_data d = data(whole_number(frame, "frame"));
        return array_of(d.positions.data(), d.positions.size() * sizeof(float), "f4",
                        bp::make_tuple(d.ids.size(), 3));
    }
    bp::object scales(const bp::object& frame) {
        return values(data(whole_number(frame, "frame")).scales);
    }
    bp::object weights(const bp::object& frame) {
        return values(data(whole_number(frame, "frame")).weights);
    }
    bp::object channel(const bp::object& frame, const bp::object& name) {
        const int number = whole_number(frame, "frame");
        bp::extract<std::string> text(name);
        if (!text.check()) raise(PyExc_TypeError, "a channel is named by a str");
        cache_session& s = session();
        frame_channel c;
        {
            without_gil free;
            c = s.channel(number, QString::fromStdString(text()));
        }
        const size_t count = size_t(c.values.size()) / size_t(c.item_size * c.width);
        const std::string dtype = c.kind + std::to_string(c.item_size);
        return array_of(c.values.constData(), size_t(c.values.size()), dtype,
                        c.width == 1 ? bp::make_tuple(count) : bp::make_tuple(count, c.width));
    }
    int frame_count() { return int(session().frames().size()); }
    // Ends the scene's work and frees it; later calls raise kavrin.Error.
    void close() {
        without_gil free;
        session_.reset();
    }

    bp::dict stroke(const bp::dict& fields) {
        // Through the json module, so that the stroke is read by the log's own reader; NaN and
        // infinities are refused there, as JSON has none.
        bp::dict options;
        options["allow_nan"] = false;
        if (json_default) options["default"] = bp::object(bp::borrowed(json_default));
        const bp::object dumps = bp::import("json").attr("dumps");
        const bp::object text(
            bp::handle<>(PyObject_Call(dumps.ptr(), bp::make_tuple(fields).ptr(), options.ptr())));
        const std::string json = bp::extract<std::string>(text)();
        QJsonParseError parse{};
        const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(json), &parse);
        if (parse.error != QJsonParseError::NoError || !doc.isObject())
            raise(PyExc_ValueError, "a stroke is a dict of JSON values");
        QString error;
        const std::optional<log_event> event = read_stroke(doc.object(), &error);
        if (!event) raise(PyExc_ValueError, "stroke: " + error);
        // Steps given without a vector take the one the window would compute there.
        std::vector<bool> without_vector;
        for (const QJsonValue step : doc.object().value("steps").toArray())
            without_vector.push_back(!step.toObject().contains("vector"));
        cache_session& s = session();
        // A stroke on a frame the scene lacks is refused by the scene, naming the frame.
        const std::vector<int> frames = s.frames();
        if (std::binary_search(frames.begin(), frames.end(), event->frame))
            refuse_silent_stroke(*event, without_vector);
        std::map<int, int> changed;
        {
            without_gil free;
            changed = s.apply_stroke(*event, without_vector);
        }
        bp::dict particles;
        for (const auto& [frame, count] : changed)
            particles[frame] = count;
        bp::dict effect;
        effect["drew"] = !changed.empty();
        effect["particles"] = particles;
        return effect;
    }

    void set_positions(const bp::object& frame, const bp::object& ids, const bp::object& values) {
        set_values(set_channel::position, frame, ids, values);
    }
    void set_scales(const bp::object& frame, const bp::object& ids, const bp::object& values) {
        set_values(set_channel::scale, frame, ids, values);
    }
    void set_weights(const bp::object& frame, const bp::object& ids, const bp::object& values) {
        set_values(set_channel::weight, frame, ids, values);
    }

    // Values given to particles of a frame: ids any sequence of whole numbers, values one number
    // (three for a position) for each, as numpy reads them.
    void set_values(set_channel channel, const bp::object& frame, const bp::object& ids,
                    const bp::object& values) {
        const int number = whole_number(frame, "frame");
        const bp::object numpy = bp::import("numpy");
        const bp::object id_array = numpy.attr("asarray")(ids);
        const std::string kind = bp::extract<std::string>(id_array.attr("dtype").attr("kind"));
        const long count = bp::extract<long>(id_array.attr("size"));
        if (bp::extract<int>(id_array.attr("ndim"))() != 1)
            raise(PyExc_ValueError, "ids: a sequence of particle ids");
        if (count == 0) raise(PyExc_ValueError, "ids: no particle is given");
        if (kind != "i" && kind != "u")
            raise(PyExc_TypeError, "ids must be whole numbers, not " +
                                       QString::fromStdString(bp::extract<std::string>(
                                           bp::str(id_array.attr("dtype")))()));
        if (as_double(id_array.attr("min")()) < double(std::numeric_limits<int32_t>::min()) ||
            as_double(id_array.attr("max")()) > double(std::numeric_limits<int32_t>::max()))
            raise(PyExc_ValueError, "ids: a particle id is beyond 32 bits");
        const int width = set_channel_width(channel);
        const bp::object value_array = numpy.attr("asarray")(values, "f8");
        const bp::object wanted = width == 1 ? bp::make_tuple(count) : bp::make_tuple(count, width);
        if (value_array.attr("shape") != wanted)
            raise(PyExc_ValueError,
                  QString("values: shape %1 for %2 ids, %3 wanted")
                      .arg(QString::fromStdString(
                          bp::extract<std::string>(bp::str(value_array.attr("shape")))()))
                      .arg(count)
                      .arg(QString::fromStdString(bp::extract<std::string>(bp::str(wanted))())));
        // Single precision holds them: beyond it they would become infinite.
        const double largest = as_double(numpy.attr("abs")(value_array).attr("max")());
        if (!std::isfinite(largest) || largest > double(std::numeric_limits<float>::max()))
            raise(PyExc_ValueError, "values: every value must be a finite single-precision number");
        auto bytes_of = [&numpy](const bp::object& a, const char* dtype) {
            const bp::object b = numpy.attr("ascontiguousarray")(a, dtype).attr("tobytes")();
            return std::string(PyBytes_AsString(b.ptr()), size_t(PyBytes_Size(b.ptr())));
        };
        const std::string id_bytes = bytes_of(id_array, "<i4");
        const std::string value_bytes = bytes_of(value_array, "<f4");
        std::vector<int32_t> id_list(static_cast<size_t>(count));
        std::vector<float> value_list(size_t(count) * size_t(width));
        std::memcpy(id_list.data(), id_bytes.data(), id_bytes.size());
        std::memcpy(value_list.data(), value_bytes.data(), value_bytes.size());
        cache_session& s = session();
        without_gil free;
        s.set_values(number, channel, std::move(id_list), std::move(value_list));
    }

    void undo(const bp::object& frame) { history(event_kind::undo, frame); }
    void redo(const bp::object& frame) { history(event_kind::redo, frame); }

    // Undo or redo, as the window's keys on the given frame.
    void history(event_kind kind, const bp::object& frame) {
        cache_session& s = session();
        log_event event;
        event.kind = kind;
        event.frame = frame.is_none() ? s.current_frame() : whole_number(frame, "frame");
        without_gil free;
        s.apply(event);
    }

    void replay(const bp::object& log, bool force, const bp::object& progress) {
        const QString path = text_of(log);
        if (!QFileInfo::exists(path))
            raise(PyExc_FileNotFoundError, "stroke log " + path + " does not exist");
        const QByteArray text = cache_session::read_log_file(path);
        QString error;
        int version = stroke_log_version;
        source_fingerprint recorded;
        const auto events = read_stroke_log(text, &error, &version, &recorded);
        if (!events) raise(PyExc_ValueError, "stroke log " + path + ": " + error);
        cache_session& s = session();
        reporting(s, progress, [&] {
            s.replay(*events, version, recorded,
                     force ? source_check::force : source_check::refuse);
        });
    }

    std::string log() { return session().log_json().toStdString(); }

    void save(const bp::object& folder, const bp::object& frames, const bp::object& format,
              const bp::object& progress) {
        const QString path = text_of(folder);
        std::optional<cache_format> written;
        if (!format.is_none()) {
            written = parse_cache_format(text_of(format));
            if (!written) raise(PyExc_ValueError, "format is \"bin\", \"vdb\" or \"ply\"");
        }
        std::optional<frame_range> range;
        if (!frames.is_none()) {
            if (bp::len(frames) != 2) raise(PyExc_ValueError, "frames is a pair (first, last)");
            range = frame_range{whole_number(frames[0], "frames[0]"),
                                whole_number(frames[1], "frames[1]")};
            if (range->second < range->first)
                raise(PyExc_ValueError, "frames: the last frame comes before the first");
        }
        cache_session& s = session();
        reporting(s, progress, [&] { s.save(path, range, written); });
    }

  private:
    // Grab and Normal move particles along the step's vector: given (0, 0, 0) on every step (and
    // Ctrl, which works without one, not held) the stroke would change nothing, silently.
    static void refuse_silent_stroke(const log_event& event,
                                     const std::vector<bool>& without_vector) {
        const brush_kind type = event.steps.front().brush.type;
        if (!brush_needs_vector(type)) return;
        for (size_t i = 0; i < event.steps.size(); ++i)
            if (without_vector[i] || event.steps[i].keys.at("ctrl") ||
                event.steps[i].brush.vector != vec3())
                return;
        raise(PyExc_ValueError, "steps: the " + QString(brush_name(type)) +
                                    " brush moves particles along each step's \"vector\", and "
                                    "every vector given is (0, 0, 0)");
    }

    explicit scene(std::unique_ptr<cache_session> session) : session_(std::move(session)) {}
    static std::unique_ptr<cache_session> new_session(int threads) {
        if (script_folder.isEmpty()) raise(kavrin_error, "the kavrin package is not set up");
        if (threads < 0 || threads > cache_session::max_threads())
            raise(PyExc_ValueError, QString("threads takes 0 (automatic) to %1, not %2")
                                        .arg(cache_session::max_threads())
                                        .arg(threads));
        if (threads == 0) threads = std::clamp(QThread::idealThreadCount() - 1, 1, 12);
        return std::make_unique<cache_session>(script_folder, threads);
    }

    cache_session& session() {
        if (!session_) raise(kavrin_error, "the scene is closed");
        return *session_;
    }
    frame_data data(int frame) {
        cache_session& s = session();
        without_gil free;
        return s.frame(frame);
    }
    static bp::object values(const std::vector<float>& v) {
        return array_of(v.data(), v.size() * sizeof(float), "f4", bp::make_tuple(v.size()));
    }

    std::unique_ptr<cache_session> session_;
};

// stroke(dict) or stroke(**fields).
bp::object stroke_call(bp::tuple args, bp::dict kwargs) {
    scene& self = bp::extract<scene&>(args[0]);
    if (bp::len(args) == 2 && bp::len(kwargs) == 0) {
        bp::extract<bp::dict> fields(args[1]);
        if (!fields.check()) raise(PyExc_TypeError, "stroke takes a dict or keyword arguments");
        return self.stroke(fields());
    }
    if (bp::len(args) == 1) return self.stroke(kwargs);
    raise(PyExc_TypeError, "stroke takes a dict or keyword arguments, not both");
}

void set_script_folder(const bp::object& folder) {
    script_folder = text_of(folder);
}

void set_json_default(const bp::object& f) {
    Py_XDECREF(json_default);
    json_default = bp::incref(f.ptr());
}

bp::object enter(const bp::object& self) {
    return self;
}

bool exit_scene(scene& self, const bp::object&, const bp::object&, const bp::object&) {
    self.close();
    return false;  // an exception raised in the block goes on
}

}  // namespace

BOOST_PYTHON_MODULE(_kavrin) {
    // help() shows the docstrings alone: the generated signatures name C++ types.
    const bp::docstring_options documented(true, false, false);
    kavrin_error = PyErr_NewExceptionWithDoc(
        "kavrin.Error", "A scene could not do what was asked (the message says why).",
        PyExc_RuntimeError, nullptr);
    bp::scope().attr("Error") = bp::object(bp::handle<>(bp::borrowed(kavrin_error)));
    bp::register_exception_translator<session_error>(&raise_session_error);
    bp::def("_set_script_folder", &set_script_folder);
    bp::def("_set_json_default", &set_json_default);
    bp::scope().attr("__version__") = KAVRIN_VERSION;

    bp::class_<scene, boost::noncopyable>(
        "Scene",
        "A particle cache folder opened as a scene: Scene(folder, threads=0, progress=None). "
        "Every frame is loaded when it opens; threads 0 means processor cores - 1. Opening, "
        "replay and save call progress(phase, done, total) as frames open (\"open\"), events "
        "replay (\"replay\") and frames save (\"save\"); Ctrl-C, or an exception progress "
        "raises, stops an open or a replay at the next frame or event, and a save once its "
        "files are written.",
        bp::init<bp::object, int, bp::object>(
            (bp::arg("folder"), bp::arg("threads") = 0, bp::arg("progress") = bp::object())))
        .def("fountain", &scene::fountain, bp::return_value_policy<bp::manage_new_object>(),
             (bp::arg("name"), bp::arg("seed") = 1, bp::arg("threads") = 0,
              bp::arg("progress") = bp::object()),
             "The window's generated scene \"100\" or \"10000\" (100 frames), built from seed: "
             "the same seed gives the same particles as the window's scene of that seed.")
        .staticmethod("fountain")
        .def("frames", &scene::frames, "The frame numbers, ascending.")
        .def("__len__", &scene::frame_count, "The number of frames.")
        .def("close", &scene::close,
             "Ends the scene's background work and frees its frames; the scene cannot be used "
             "afterwards. A with block closes it at its end.")
        .def("__enter__", &enter)
        .def("__exit__", &exit_scene)
        .add_property("current_frame", &scene::current_frame,
                      "The frame last painted, undone or redone; undo() and redo() work there "
                      "by default.")
        .def("ids", &scene::ids, (bp::arg("frame")),
             "Particle ids of a frame, ascending: a read-only int32 numpy array of shape (n,). "
             "The arrays of a frame are copies of its values when asked for.")
        .def("positions", &scene::positions, (bp::arg("frame")),
             "Positions in id order, x, y, z as the cache files store them: a read-only float32 "
             "numpy array of shape (n, 3).")
        .def("scales", &scene::scales, (bp::arg("frame")),
             "Scales in id order: a read-only float32 numpy array of shape (n,).")
        .def("weights", &scene::weights, (bp::arg("frame")),
             "Weights in id order (0 or below: removed): a read-only float32 numpy array.")
        .def("channel", &scene::channel, (bp::arg("frame"), bp::arg("name")),
             "A channel of the cache file a frame was read from (\"velocity\" of a .bin, any "
             "numeric attribute or group of a .vdb, any vertex property of a .ply), in id order "
             "as a read-only numpy array of the file's type, shape (n,) or (n, components). "
             "The channels the scene edits (the position, the scale) give the scene's values. "
             "An unknown name raises ValueError listing the frame's channels.")
        .def("stroke", bp::raw_function(&stroke_call, 1),
             "Applies a stroke given with the fields of a log's stroke event (a dict or keyword "
             "arguments), propagates it and lets every frame settle. Returns {\"drew\": bool, "
             "\"particles\": {frame: particles changed}} over the frames it reached. A step "
             "without a \"vector\" takes the one the window would compute there: the surface "
             "normal under the pick for normal, the picks' motion across the view for grab "
             "(ValueError when the first such step finds none); the log records the vectors "
             "used. A grab or normal stroke whose every given vector is (0, 0, 0) is refused "
             "(ValueError).")
        .def("set_positions", &scene::set_positions,
             (bp::arg("frame"), bp::arg("ids"), bp::arg("positions")),
             "Gives the particles ids (each once, all of the frame) the positions given, an (n, "
             "3) array-like with x, y, z as positions() gives them: one edit of that frame "
             "alone, undone and redone as a stroke is and recorded in the log (a \"set\" "
             "event), so that a replay gives it again. ValueError when an id is not on the "
             "frame or a value is not finite.")
        .def("set_scales", &scene::set_scales,
             (bp::arg("frame"), bp::arg("ids"), bp::arg("scales")),
             "Gives the particles ids the scales given (0 or more), as set_positions does.")
        .def("set_weights", &scene::set_weights,
             (bp::arg("frame"), bp::arg("ids"), bp::arg("weights")),
             "Gives the particles ids the weights given (0 or below removes them), as "
             "set_positions does.")
        .def("undo", &scene::undo, (bp::arg("frame") = bp::object()),
             "Undoes the last stroke, as Ctrl+Z on the given frame (default: current_frame).")
        .def("redo", &scene::redo, (bp::arg("frame") = bp::object()),
             "Brings back the last undone stroke (default frame: current_frame).")
        .def("replay", &scene::replay,
             (bp::arg("log"), bp::arg("force") = false, bp::arg("progress") = bp::object()),
             "Replays a stroke log file. A log that names another cache than the scene's "
             "(its frames, particle counts or ids) is refused unless force is true.")
        .def("log", &scene::log,
             "The stroke log of everything done since the scene opened, as "
             "JSON text.")
        .def("save", &scene::save,
             (bp::arg("folder"), bp::arg("frames") = bp::object(), bp::arg("format") = bp::object(),
              bp::arg("progress") = bp::object()),
             "Saves the scene as a cache folder (frames=(first, last) saves only those), with "
             "its stroke log beside the files; format is \"bin\", \"vdb\" or \"ply\" "
             "(default: the format of the folder opened).");
}
