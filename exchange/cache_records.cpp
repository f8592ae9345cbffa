#include <boost/python.hpp>

#include "exchange/cache_records.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

#include "exchange/bin_file.h"
#include "exchange/cache_format.h"
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

// Interned keys of the set point, made once: a set point of many particles is mostly object
// creation, and its keys are the same for every particle.
struct set_point_parts {
    PyObject *header, *particle, *footer, *pos, *pressure, *mass, *fluid_type, *particles;
    PyObject *x, *y, *z, *u, *v, *w, *max, *min, *ave;
    PyObject *texture_vector, *velocity, *force, *vorticity, *normal_vector, *neighbors, *info_bits,
        *elapsed_particle_time, *isolation_time, *viscosity, *density, *temperature;
    PyObject *code, *version, *fps, *name, *emitter_position, *emitter_rotation, *emitter_scale,
        *speed, *frame_number, *scale_scene, *elapsed_simulation_time, *radius;
};

PyObject* intern(const char* text) {
    PyObject* key = PyUnicode_InternFromString(text);
    if (!key) bp::throw_error_already_set();
    return key;
}

// Keys are interned strings that live as long as the interpreter; the leak of one reference
// each is intended.
const set_point_parts& make_parts() {
    auto* k = new set_point_parts;
    const std::pair<PyObject**, const char*> keys[] = {
        {&k->header, "header"},
        {&k->particle, "particle"},
        {&k->footer, "footer"},
        {&k->pos, "pos"},
        {&k->pressure, "pressure"},
        {&k->mass, "mass"},
        {&k->fluid_type, "fluid_type"},
        {&k->particles, "particles"},
        {&k->x, "x"},
        {&k->y, "y"},
        {&k->z, "z"},
        {&k->u, "u"},
        {&k->v, "v"},
        {&k->w, "w"},
        {&k->max, "max"},
        {&k->min, "min"},
        {&k->ave, "ave"},
        {&k->texture_vector, "texture_vector"},
        {&k->velocity, "velocity"},
        {&k->force, "force"},
        {&k->vorticity, "vorticity"},
        {&k->normal_vector, "normal_vector"},
        {&k->neighbors, "neighbors"},
        {&k->info_bits, "info_bits"},
        {&k->elapsed_particle_time, "elapsed_particle_time"},
        {&k->isolation_time, "isolation_time"},
        {&k->viscosity, "viscosity"},
        {&k->density, "density"},
        {&k->temperature, "temperature"},
        {&k->code, "code"},
        {&k->version, "version"},
        {&k->fps, "fps"},
        {&k->name, "name"},
        {&k->emitter_position, "emitter_position"},
        {&k->emitter_rotation, "emitter_rotation"},
        {&k->emitter_scale, "emitter_scale"},
        {&k->speed, "speed"},
        {&k->frame_number, "frame_number"},
        {&k->scale_scene, "scale_scene"},
        {&k->elapsed_simulation_time, "elapsed_simulation_time"},
        {&k->radius, "radius"},
    };
    for (const auto& [slot, text] : keys)
        *slot = intern(text);
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

PyObject* triple(PyObject* a, PyObject* b, PyObject* c, float va, float vb, float vc) {
    bp::handle<> dict = owned(PyDict_New());
    set_item(dict.get(), a, PyFloat_FromDouble(va));
    set_item(dict.get(), b, PyFloat_FromDouble(vb));
    set_item(dict.get(), c, PyFloat_FromDouble(vc));
    return dict.release();
}

PyObject* xyz(const set_point_parts& k, const vec3& v) {
    return triple(k.x, k.y, k.z, v[0], v[1], v[2]);
}

PyObject* stats(const set_point_parts& k, const bin_stats& s) {
    return triple(k.max, k.min, k.ave, s.max, s.min, s.ave);
}

// The header as the set point's dict, keys in the set point's order.
PyObject* header_dict(const set_point_parts& k, const bin_header& h) {
    bp::handle<> d = owned(PyDict_New());
    const size_t name_size = strnlen(h.name.data(), h.name.size());
    set_item(d.get(), k.code, PyLong_FromLong(h.code));
    set_item(d.get(), k.version, PyLong_FromLong(h.version));
    set_item(d.get(), k.fps, PyLong_FromLong(h.fps));
    set_item(d.get(), k.name,
             PyUnicode_DecodeUTF8(h.name.data(), Py_ssize_t(name_size), "replace"));
    set_item(d.get(), k.particles, PyLong_FromLong(h.particles));
    set_item(d.get(), k.fluid_type, PyLong_FromLong(h.fluid_type));
    set_item(d.get(), k.emitter_position, xyz(k, h.emitter_position));
    set_item(d.get(), k.emitter_rotation, xyz(k, h.emitter_rotation));
    set_item(d.get(), k.emitter_scale, xyz(k, h.emitter_scale));
    set_item(d.get(), k.pressure, stats(k, h.pressure));
    set_item(d.get(), k.speed, stats(k, h.speed));
    set_item(d.get(), k.temperature, stats(k, h.temperature));
    set_item(d.get(), k.frame_number, PyFloat_FromDouble(h.frame_number));
    set_item(d.get(), k.scale_scene, PyFloat_FromDouble(h.scale_scene));
    set_item(d.get(), k.elapsed_simulation_time, PyFloat_FromDouble(h.elapsed_simulation_time));
    set_item(d.get(), k.radius, PyFloat_FromDouble(h.radius));
    return d.release();
}

// One record as the set point's particle dict: every field, keys in the set point's order.
PyObject* particle_dict(const set_point_parts& k, const bin_record& r) {
    bp::handle<> p = owned(PyDict_New());
    auto number = [](double value) { return PyFloat_FromDouble(value); };
    set_item(p.get(), k.pos, xyz(k, r.position));
    set_item(p.get(), k.pressure, number(r.pressure));
    set_item(p.get(), k.texture_vector,
             triple(k.u, k.v, k.w, r.texture[0], r.texture[1], r.texture[2]));
    set_item(p.get(), k.velocity, xyz(k, r.velocity));
    set_item(p.get(), k.force, xyz(k, r.force));
    set_item(p.get(), k.vorticity, xyz(k, r.vorticity));
    set_item(p.get(), k.normal_vector, xyz(k, r.normal));
    set_item(p.get(), k.neighbors, number(r.neighbors));
    set_item(p.get(), k.info_bits, number(r.info_bits));
    set_item(p.get(), k.elapsed_particle_time, number(r.elapsed));
    set_item(p.get(), k.isolation_time, number(r.isolation));
    set_item(p.get(), k.viscosity, number(r.viscosity));
    set_item(p.get(), k.density, number(r.density));
    set_item(p.get(), k.mass, number(r.mass));
    set_item(p.get(), k.temperature, number(r.temperature));
    return p.release();
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

// Reading of one set point into particles, with a clear message for the first bad value. The
// message is composed only on failure: a frame has ten thousand particles to get through.
class set_point_reader {
  public:
    set_point_reader(const set_point_parts& k, std::string where, int frame, position_order order)
        : k_(k), where_(std::move(where)), frame_(frame), order_(order) {}

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
            if (!within_position_limit(vec3(x, y, z)))
                bad("\"pos\"", "of frame " + std::to_string(frame_) + " lies beyond ±" +
                                   QString::number(position_limit, 'g', 6).toStdString() +
                                   ", the largest coordinate a scene can hold");
            out.emplace_back(id, order_ == position_order::file ? vec3(x, y, z) : vec3(z, y, x), v);
        }
        return out;
    }

    // Records of the file left out of the particle dict because their id repeats an earlier one.
    long long repeated() const { return repeated_; }

  private:
    const set_point_parts& k_;
    const std::string where_;
    const int frame_;
    const position_order order_;
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

// Looked up, never inserted: workers read these maps concurrently.
QString path_of(const std::map<int, QString>& files, int frame) {
    const auto it = files.find(frame);
    return it == files.end() ? QString() : it->second;
}

}  // namespace

bool shipped_script_library(const script_folders& folders) {
    QFile module(folders.python_dir + "/shared_lib.py");
    if (!module.open(QIODevice::ReadOnly)) return false;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&module)) return false;
    return hash.result().toHex() == QByteArray(KAVRIN_SHARED_LIB_SHA256);
}

void export_bin(const script_folders& folders, window_link& window, emitter& e, int frame,
                position_order order) {
    const frame_set& fs = e.frame(frame);
    const auto target = window.cache_files.find(frame);
    if (target == window.cache_files.end())
        throw bin_error("frame " + std::to_string(frame) + " has no cache file to be saved in");
    const QString source = path_of(window.source_files, frame);
    // The shipped module writes what the native writer does: the bytes are the same. The
    // script library knows .bin files only: other formats and conversions are written here.
    if (shipped_script_library(folders) ||
        format_in_name(QFileInfo(target->second).fileName()) != cache_format::bin ||
        (fs.source_records >= 0 && cache_format_of(source) != cache_format::bin)) {
        write_cache_file(target->second, fs, source, order);
        return;
    }
    // Assembled before the lock is taken: only the dict building needs it.
    const bin_frame_bytes bytes = assemble_bin_frame(fs, source, order);
    script_call::guarded("shared_lib.export_bin", [&] {
        collector_paused quiet;
        const set_point_parts& k = parts();
        bp::handle<> particles = owned(PyDict_New());
        const int size = bytes.layout->size;
        for (int32_t i = 0; i < bytes.header.particles; ++i) {
            const bin_record r =
                decode_bin_record(bytes.records.constData() + qsizetype(i) * size, *bytes.layout);
            const bp::handle<> id = owned(PyLong_FromLong(r.id));
            set_item(particles.get(), id.get(), particle_dict(k, r));
        }
        bp::dict set_point;
        set_item(set_point.ptr(), k.particle, particles.release());
        set_item(set_point.ptr(), k.footer, PyDict_New());
        set_item(set_point.ptr(), k.header, header_dict(k, bytes.header));
        script_call::call(folders, "shared_lib", "export_bin", ", set_point",
                          {folders.python_dir, target->second}, set_point);
    });
}

long long import_bin(const script_folders& folders, window_link& window, emitter& e, int frame,
                     position_order order) {
    frame_set& fs = e.frame(frame);
    const QString path = path_of(window.cache_files, frame);
    if (shipped_script_library(folders) || cache_format_of(path) != cache_format::bin)
        return read_cache_file(path, fs, order);

    // Everything is converted before the frame is touched, so a bad set point changes nothing.
    long long dropped = 0;
    const std::vector<particle> read = script_call::guarded("shared_lib.import_bin", [&] {
        bp::object set_point =
            script_call::call(folders, "shared_lib", "import_bin", "", {folders.python_dir, path});
        set_point_reader reader(parts(), "shared_lib.import_bin: " + path.toStdString(), frame,
                                order);
        std::vector<particle> particles = reader.read(set_point.ptr());
        dropped = reader.repeated();
        return particles;
    });
    // Joined as the native reading joins them, so that the frame's map ends up ordered alike.
    particle_map joined;
    joined.reserve(read.size() + size_t(dropped));
    for (const particle& p : read)
        joined.try_emplace(p.id, p);
    if (fs.particles.empty()) {
        fs.particles.swap(joined);
        return dropped;
    }
    for (const auto& [id, p] : joined)
        if (!fs.particles.try_emplace(id, p).second) ++dropped;
    return dropped;
}

}  // namespace kavrin
