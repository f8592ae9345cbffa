#include <boost/python.hpp>

#include "exchange/cache_records.h"

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "exchange/cache_bin.h"
#include "exchange/script_call.h"

namespace kavrin {

namespace bp = boost::python;

namespace {

// A new reference from the C API; a null one means a Python error is pending.
bp::handle<> owned(PyObject* object) {
    return bp::handle<>(object);
}

// Stores a new reference under a borrowed key; the dict takes the value over either way.
void set_item(PyObject* dict, PyObject* key, PyObject* new_value) {
    if (!new_value) bp::throw_error_already_set();
    const int failed = PyDict_SetItem(dict, key, new_value);
    Py_DECREF(new_value);
    if (failed) bp::throw_error_already_set();
}

// Interned key strings and zero-filled template dicts. A set point of 10,000 particles is
// mostly object creation, so each particle dict is a copy of a template that already holds
// every key, and only "pos" and "pressure" are replaced.
struct set_point_parts {
    PyObject *header, *particle, *footer;
    PyObject *pos, *pressure, *mass, *fluid_type, *particles;
    PyObject *x, *y, *z;
    PyObject* xyz;            // {"x", "y", "z"} -> 0.0
    PyObject* particle_dict;  // the 15 particle keys in order, zero sub-dicts, "pos" None
    PyObject* header_dict;    // the 16 header keys in order, for "particles" = 0
};

PyObject* intern(const char* text) {
    PyObject* key = PyUnicode_InternFromString(text);
    if (!key) bp::throw_error_already_set();
    return key;
}

PyObject* zero_dict(const char* a, const char* b, const char* c) {
    bp::handle<> dict = owned(PyDict_New());
    for (const char* key : {a, b, c})
        set_item(dict.get(), intern(key), PyFloat_FromDouble(0.0));
    return dict.release();
}

// Keys are interned strings that live as long as the interpreter; the leak of one reference
// each is intended.
const set_point_parts& make_parts() {
    auto* k = new set_point_parts;
    k->header = intern("header");
    k->particle = intern("particle");
    k->footer = intern("footer");
    k->pos = intern("pos");
    k->pressure = intern("pressure");
    k->mass = intern("mass");
    k->fluid_type = intern("fluid_type");
    k->particles = intern("particles");
    k->x = intern("x");
    k->y = intern("y");
    k->z = intern("z");
    k->xyz = zero_dict("x", "y", "z");

    bp::handle<> p = owned(PyDict_New());
    auto zero = [] { return PyFloat_FromDouble(0.0); };
    Py_INCREF(Py_None);
    set_item(p.get(), k->pos, Py_None);  // every particle gets its own "pos"
    set_item(p.get(), k->pressure, zero());
    set_item(p.get(), intern("texture_vector"), zero_dict("u", "v", "w"));
    for (const char* key : {"velocity", "force", "vorticity", "normal_vector"})
        set_item(p.get(), intern(key), zero_dict("x", "y", "z"));
    for (const char* key : {"neighbors", "info_bits", "elapsed_particle_time", "isolation_time",
                            "viscosity", "density"})
        set_item(p.get(), intern(key), zero());
    set_item(p.get(), k->mass, zero());
    set_item(p.get(), intern("temperature"), zero());
    k->particle_dict = p.release();

    bp::handle<> h = owned(PyDict_New());
    set_item(h.get(), intern("code"), PyLong_FromLong(set_point_code));
    set_item(h.get(), intern("version"), PyLong_FromLong(set_point_version));
    set_item(h.get(), intern("fps"), PyLong_FromLong(set_point_fps));
    set_item(h.get(), intern("name"), PyUnicode_FromString(""));
    set_item(h.get(), k->particles, PyLong_FromLong(0));
    set_item(h.get(), k->fluid_type, PyLong_FromLong(fluid_type_pressure));
    set_item(h.get(), intern("emitter_position"), zero_dict("x", "y", "z"));
    set_item(h.get(), intern("emitter_rotation"), zero_dict("x", "y", "z"));
    set_item(h.get(), intern("emitter_scale"), zero_dict("x", "y", "z"));
    for (const char* key : {"pressure", "speed", "temperature"})
        set_item(h.get(), intern(key), zero_dict("max", "min", "ave"));
    for (const char* key : {"frame_number", "scale_scene", "elapsed_simulation_time", "radius"})
        set_item(h.get(), intern(key), zero());
    k->header_dict = h.release();
    return *k;
}

// Made on first use under the interpreter lock. Not a function-local static: its guard would
// block a thread that holds the lock while the making thread waits for it. Two threads racing
// here (the lock can be handed over while objects are made) each make a set, one is kept.
const set_point_parts* made_parts = nullptr;  // guarded by the interpreter lock

const set_point_parts& parts() {
    if (!made_parts) {
        const set_point_parts& made = make_parts();
        if (!made_parts) made_parts = &made;
    }
    return *made_parts;
}

// A copy of a template whose sub-dicts are fresh copies too. Made once per set point: its
// particles then share the zero sub-dicts of that set point only, so that a script changing one
// could spoil that one call but never the templates, later calls or other threads. One set of
// sub-dicts per particle would double the memory a set point takes, and the time.
bp::handle<> copy_with_fresh_parts(PyObject* templ) {
    bp::handle<> copy = owned(PyDict_Copy(templ));
    PyObject *key = nullptr, *value = nullptr;
    Py_ssize_t at = 0;
    while (PyDict_Next(templ, &at, &key, &value))
        if (PyDict_CheckExact(value)) set_item(copy.get(), key, PyDict_Copy(value));
    return copy;
}

// Keeps the cycle collector still while a set point is made: tens of thousands of new dicts
// would start many collections that find nothing, since a set point holds no cycles. Calls on
// other threads may overlap; whoever found it enabled enables it again.
class collector_paused {
  public:
    collector_paused() : was_enabled_(PyGC_Disable()) {}
    ~collector_paused() {
        if (was_enabled_) PyGC_Enable();
    }
    collector_paused(const collector_paused&) = delete;
    collector_paused& operator=(const collector_paused&) = delete;

  private:
    const int was_enabled_;
};

QString cache_path(const window_link& window, int frame) {
    // Looked up, never inserted: workers read this map concurrently.
    const auto it = window.cache_files.find(frame);
    return it == window.cache_files.end() ? QString() : it->second;
}

struct live_record {
    int32_t id;
    float x, y, z;  // position in the set point's reversed order
    float pressure;
};

// Reading of one set point into particles, with a clear message for the first bad value. The
// message is composed only on failure: a frame has ten thousand particles to get through.
class set_point_reader {
  public:
    set_point_reader(const set_point_parts& k, std::string where)
        : k_(k), where_(std::move(where)) {}

    std::vector<particle> read(PyObject* set_point) {
        dict(set_point, "set point");
        PyObject* header = dict(item(set_point, k_.header, "\"header\""), "\"header\"");
        const int fluid = fluid_type_of(header);
        PyObject* all = dict(item(set_point, k_.particle, "\"particle\""), "\"particle\"");
        repeated_ = repeated_records(header, PyDict_Size(all));
        std::vector<particle> out;
        out.reserve(size_t(PyDict_Size(all)));
        PyObject *key = nullptr, *value = nullptr;
        Py_ssize_t at = 0;
        while (PyDict_Next(all, &at, &key, &value)) {
            in_particle_ = false;
            const int32_t id = id_of(key);
            in_particle_ = true;
            particle_id_ = id;
            PyObject* p = dict(value, "");
            PyObject* pos = dict(item(p, k_.pos, "\"pos\""), "\"pos\"");
            const float x = number(item(pos, k_.x, "\"pos\" \"x\""), "\"pos\" \"x\"");
            const float y = number(item(pos, k_.y, "\"pos\" \"y\""), "\"pos\" \"y\"");
            const float z = number(item(pos, k_.z, "\"pos\" \"z\""), "\"pos\" \"z\"");
            float v = 1.0f;
            if (fluid == fluid_type_mass)
                v = number(item(p, k_.mass, "\"mass\""), "\"mass\"");
            else if (fluid == fluid_type_pressure)
                v = number(item(p, k_.pressure, "\"pressure\""), "\"pressure\"");
            out.emplace_back(id, vec3(z, y, x), v);  // undo the reversed order of the file
        }
        return out;
    }

    // Records of the file left out of the particle dict because their id repeats an earlier one.
    long long repeated() const { return repeated_; }

  private:
    const set_point_parts& k_;
    const std::string where_;
    bool in_particle_ = false;  // the values being read belong to particle particle_id_
    int32_t particle_id_ = 0;
    long long repeated_ = 0;

    // The header's "particles" counts every record of the file, the particle dict one per id; a
    // set point without that count (not read from a file) has nothing left out.
    long long repeated_records(PyObject* header, Py_ssize_t kept) const {
        PyObject* value = PyDict_GetItemWithError(header, k_.particles);  // borrowed
        if (!value) {
            if (PyErr_Occurred()) bp::throw_error_already_set();
            return 0;
        }
        if (!PyLong_Check(value)) return 0;
        int overflow = 0;
        const long long stated = PyLong_AsLongLongAndOverflow(value, &overflow);
        return overflow || stated <= kept ? 0 : stated - kept;
    }

    [[noreturn]] void bad(const char* what, const std::string& problem) const {
        std::string message = where_ + ": ";
        if (in_particle_)
            message += "particle " + std::to_string(particle_id_) + (*what ? " " : "");
        throw script_error(message + what + " " + problem);
    }

    PyObject* dict(PyObject* value, const char* what) const {
        if (!PyDict_Check(value))
            bad(what, std::string("is a ") + Py_TYPE(value)->tp_name + ", not a dict");
        return value;
    }

    PyObject* item(PyObject* dict, PyObject* key, const char* what) const {
        PyObject* value = PyDict_GetItemWithError(dict, key);  // borrowed
        if (!value) {
            if (PyErr_Occurred()) bp::throw_error_already_set();
            bad(what, "is missing");
        }
        return value;
    }

    int fluid_type_of(PyObject* header) const {
        PyObject* value = item(header, k_.fluid_type, "\"header\" \"fluid_type\"");
        if (!PyLong_Check(value)) bad("\"header\" \"fluid_type\"", "is not an int");
        int overflow = 0;
        const long long type = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow || type < std::numeric_limits<int32_t>::min() ||
            type > std::numeric_limits<int32_t>::max())
            return 0;  // neither of the two types that name a field
        return int(type);
    }

    int32_t id_of(PyObject* key) const {
        if (!PyLong_Check(key)) bad("a particle id", std::string("is a ") + Py_TYPE(key)->tp_name);
        int overflow = 0;
        const long long id = PyLong_AsLongLongAndOverflow(key, &overflow);
        if (overflow || id < std::numeric_limits<int32_t>::min() ||
            id > std::numeric_limits<int32_t>::max())
            bad("particle id", lenient_repr(key) + " does not fit in 32 bits");
        return int32_t(id);
    }

    // A float of the set point; ints are accepted as numbers, non-finite values are refused.
    float number(PyObject* value, const char* what) const {
        if (!PyFloat_Check(value) && !PyLong_Check(value))
            bad(what, std::string("is a ") + Py_TYPE(value)->tp_name + ", not a float");
        const double wide = PyFloat_AsDouble(value);
        if (wide == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            bad(what, "does not fit in a float");
        }
        const float narrow = float(wide);
        if (!std::isfinite(narrow)) bad(what, "is not a finite float");
        return narrow;
    }

    static std::string lenient_repr(PyObject* value) {
        PyObject* text = PyObject_Repr(value);
        if (!text) {
            PyErr_Clear();
            return "?";
        }
        const char* bytes = PyUnicode_AsUTF8(text);
        std::string out = bytes ? bytes : "?";
        if (!bytes) PyErr_Clear();
        Py_DECREF(text);
        return out;
    }
};

}  // namespace

void export_bin(const script_folders& folders, window_link& window, emitter& e, int frame) {
    frame_set& fs = e.frame(frame);
    // Gathered before the lock is taken: only the dict building needs it.
    std::vector<live_record> live;
    live.reserve(fs.particles.size());
    for (const auto& [id, p] : fs.particles)
        if (p.weight > 0.0f)
            live.push_back({id, p.position[2], p.position[1], p.position[0], p.scale});
    if (live.empty()) return;
    const QString path = cache_path(window, frame);

    script_call::guarded("shared_lib.export_bin", [&] {
        collector_paused quiet;
        const set_point_parts& k = parts();
        const bp::handle<> particle_dict = copy_with_fresh_parts(k.particle_dict);
        bp::handle<> particles = owned(PyDict_New());
        for (const live_record& r : live) {
            bp::handle<> p = owned(PyDict_Copy(particle_dict.get()));
            bp::handle<> pos = owned(PyDict_Copy(k.xyz));
            set_item(pos.get(), k.x, PyFloat_FromDouble(r.x));
            set_item(pos.get(), k.y, PyFloat_FromDouble(r.y));
            set_item(pos.get(), k.z, PyFloat_FromDouble(r.z));
            set_item(p.get(), k.pos, pos.release());
            set_item(p.get(), k.pressure, PyFloat_FromDouble(r.pressure));
            const bp::handle<> id = owned(PyLong_FromLong(r.id));
            set_item(particles.get(), id.get(), p.release());
        }

        bp::handle<> header = copy_with_fresh_parts(k.header_dict);
        set_item(header.get(), k.particles, PyLong_FromSsize_t(PyDict_Size(particles.get())));
        bp::dict set_point;
        set_item(set_point.ptr(), k.particle, particles.release());
        set_item(set_point.ptr(), k.footer, PyDict_New());
        set_item(set_point.ptr(), k.header, header.release());

        script_call::call(folders, "shared_lib", "export_bin", ", set_point",
                          {folders.python_dir, path}, set_point);
    });
}

long long import_bin(const script_folders& folders, window_link& window, emitter& e, int frame) {
    frame_set& fs = e.frame(frame);
    const QString path = cache_path(window, frame);
    // The shipped module's reading of an ordinary file, without building a set point.
    long long dropped = 0;
    if (shipped_script_library(folders) && read_bin_natively(path, fs, dropped)) return dropped;

    // Everything is converted before the frame is touched, so a bad set point changes nothing.
    const std::vector<particle> read = script_call::guarded("shared_lib.import_bin", [&] {
        bp::object set_point =
            script_call::call(folders, "shared_lib", "import_bin", "", {folders.python_dir, path});
        set_point_reader reader(parts(), "shared_lib.import_bin: " + path.toStdString());
        std::vector<particle> particles = reader.read(set_point.ptr());
        dropped = reader.repeated();
        return particles;
    });
    for (const particle& p : read)
        if (!fs.particles.try_emplace(p.id, p).second) ++dropped;
    return dropped;
}

}  // namespace kavrin
