#include "view/occlusion.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

#include <GL/gl.h>

#include "base/parallel.h"

namespace kavrin {

namespace {

// Window depths closer than this count as a tie: far above the float error of the projection
// and the 24-bit depth buffer's step, so a point counted nearer is nearer in GL too.
constexpr double depth_margin = 2e-6;
// Pixels by which the certain cover of a point shrinks and its possible cover grows: more than
// any rounding of the point's size or position a renderer may do.
constexpr double cover_margin = 1.0;

// A point in window pixels relative to the viewport, with its window depth.
struct window_point {
    float x, y, depth;
    bool drawn;     // inside the clip volume: the renderer draws it
    bool occludes;  // well inside: its certain cover may hide others
};

window_point to_window(const screen_mapping& s, const vec3& p) {
    window_point q{0.0f, 0.0f, 0.0f, false, false};
    double ndc[3];
    if (!s.project(p, ndc)) return q;
    const double x = ndc[0], y = ndc[1], z = ndc[2];
    if (!(std::abs(z) <= 1.0 + 1e-6)) return q;
    q.x = float((x + 1.0) * 0.5 * s.viewport[2]);
    q.y = float((y + 1.0) * 0.5 * s.viewport[3]);
    q.depth = float((z + 1.0) * 0.5);
    q.drawn = true;
    q.occludes = std::abs(z) < 1.0 - 1e-6 && std::abs(x) < 1.0 && std::abs(y) < 1.0;
    return q;
}

// Pixels [first, last] of one axis whose centres lie within reach of c, inside [0, size).
void pixel_span(double c, double reach, int size, int& first, int& last) {
    first = std::max(0, int(std::ceil(c - reach - 0.5)));
    last = std::min(size - 1, int(std::floor(c + reach - 0.5)));
}

// Each pixel's value becomes the largest within radius pixels along one axis (stride apart,
// count of them, lines lines of them line_stride apart).
void widen_max(std::vector<float>& v, size_t count, size_t stride, size_t lines, size_t line_stride,
               int radius) {
    std::vector<float> line(count);
    for (size_t l = 0; l < lines; ++l) {
        float* base = &v[l * line_stride];
        for (size_t i = 0; i < count; ++i)
            line[i] = base[i * stride];
        for (size_t i = 0; i < count; ++i) {
            const size_t a = i >= size_t(radius) ? i - size_t(radius) : 0;
            const size_t b = std::min(count - 1, i + size_t(radius));
            float most = line[a];
            for (size_t j = a + 1; j <= b; ++j)
                most = std::max(most, line[j]);
            base[i * stride] = most;
        }
    }
}

}  // namespace

bool screen_mapping::project(const vec3& p, double ndc[3]) const {
    const double* m = mvp;
    const double w = m[3] * p[0] + m[7] * p[1] + m[11] * p[2] + m[15];
    if (!(w > 0.0)) return false;
    for (int i = 0; i < 3; ++i)
        ndc[i] = (m[i] * p[0] + m[4 + i] * p[1] + m[8 + i] * p[2] + m[12 + i]) / w;
    return true;
}

screen_mapping screen_mapping::current() {
    screen_mapping s;
    GLdouble model[16], proj[16];
    glGetDoublev(GL_MODELVIEW_MATRIX, model);
    glGetDoublev(GL_PROJECTION_MATRIX, proj);
    glGetIntegerv(GL_VIEWPORT, s.viewport);
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) {
            double sum = 0.0;
            for (int k = 0; k < 4; ++k)
                sum += proj[k * 4 + r] * model[c * 4 + k];
            s.mvp[c * 4 + r] = sum;
        }
    return s;
}

std::vector<uint32_t> visible_slots(const std::vector<vec3>& positions,
                                    const std::vector<uint32_t>& live, const screen_mapping& screen,
                                    float point_size, int threads) {
    const int w = screen.viewport[2], h = screen.viewport[3];
    std::vector<uint32_t> visible;
    if (w <= 0 || h <= 0 || live.empty()) return visible;
    // Contiguous runs of the live slots, one a share, so each share's visible slots come in
    // order and join in order.
    const int runs = std::max(1, std::min(threads, int(live.size() / 65536) + 1));
    const size_t run_length = (live.size() + size_t(runs) - 1) / size_t(runs);
    auto run_of = [&](int r, size_t& first, size_t& end) {
        first = std::min(live.size(), size_t(r) * run_length);
        end = std::min(live.size(), first + run_length);
    };
    std::vector<window_point> points(live.size());
    // The nearest certain cover of every pixel, one map a run, then the nearest of them.
    const float none = std::numeric_limits<float>::infinity();
    std::vector<std::vector<float>> nearest(static_cast<size_t>(runs));
    const double inner = point_size * 0.5 - cover_margin;
    std::vector<char> done(static_cast<size_t>(runs), 0);
    parallel_for({"visible part", nullptr}, runs, runs, [&](const share& sh) {
        for (const int r : sh) {
            size_t first, end;
            run_of(r, first, end);
            std::vector<float>& map = nearest[size_t(r)];
            map.assign(size_t(w) * size_t(h), none);
            for (size_t i = first; i < end; ++i) {
                const window_point q = points[i] = to_window(screen, positions[live[i]]);
                if (!q.occludes || inner < 0.5) continue;
                int x0, x1, y0, y1;
                pixel_span(q.x, inner, w, x0, x1);
                pixel_span(q.y, inner, h, y0, y1);
                for (int y = y0; y <= y1; ++y) {
                    float* row = &map[size_t(y) * size_t(w)];
                    for (int x = x0; x <= x1; ++x)
                        row[x] = std::min(row[x], q.depth);
                }
            }
            done[size_t(r)] = 1;
        }
    });
    // A share that failed (no memory) leaves its run out: nothing may be left out unseen.
    if (std::count(done.begin(), done.end(), 0) > 0) throw std::bad_alloc();
    std::vector<float>& all = nearest[0];
    for (int r = 1; r < runs; ++r) {
        const std::vector<float>& map = nearest[size_t(r)];
        for (size_t i = 0; i < all.size(); ++i)
            all[i] = std::min(all[i], map[i]);
        nearest[size_t(r)] = {};
    }
    // Every pixel a point may cover lies within `radius` of the pixel holding its centre: the
    // farthest cover there bounds the farthest it may meet.
    const double outer = point_size * 0.5 + cover_margin;
    const int radius = int(std::ceil(outer + 0.5));
    widen_max(all, size_t(w), 1, size_t(h), size_t(w), radius);
    widen_max(all, size_t(h), size_t(w), size_t(w), 1, radius);

    // A point shows unless every pixel it may cover has a cover nearer by the margin.
    std::vector<std::vector<uint32_t>> shown(static_cast<size_t>(runs));
    std::fill(done.begin(), done.end(), 0);
    parallel_for({"visible part", nullptr}, runs, runs, [&](const share& sh) {
        for (const int r : sh) {
            size_t first, end;
            run_of(r, first, end);
            for (size_t i = first; i < end; ++i) {
                const window_point& q = points[i];
                if (!q.drawn) continue;
                int x0, x1, y0, y1;
                pixel_span(q.x, outer, w, x0, x1);
                pixel_span(q.y, outer, h, y0, y1);
                if (x0 > x1 || y0 > y1) continue;  // wholly outside the view
                const int cx = std::clamp(int(std::floor(q.x)), 0, w - 1);
                const int cy = std::clamp(int(std::floor(q.y)), 0, h - 1);
                if (!(double(all[size_t(cy) * size_t(w) + size_t(cx)]) < q.depth - depth_margin))
                    shown[size_t(r)].push_back(live[i]);
            }
            done[size_t(r)] = 1;
        }
    });
    if (std::count(done.begin(), done.end(), 0) > 0) throw std::bad_alloc();
    for (const std::vector<uint32_t>& part : shown)
        visible.insert(visible.end(), part.begin(), part.end());
    return visible;
}

}  // namespace kavrin
