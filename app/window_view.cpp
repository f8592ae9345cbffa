#include "app/window_view.h"

#include "base/strict.h"
#include "view/timeline.h"

namespace kavrin {

window_view::window_view(scene_host& host, const std::unique_ptr<emitter>& scene,
                         std::function<void()> edited)
    : host_(host), scene_(scene), edited_(std::move(edited)) {}

void window_view::attach(class brush* tool, timeline* strip) {
    if (tool) tool_ = tool;
    if (strip) strip_ = strip;
}

bool window_view::toggle(const std::string& name) const {
    return strict_at(toggles_, name, "the panel toggles");
}

bool window_view::imported(const std::string& kind) const {
    return strict_at(imports_, kind, "the import records");
}

int window_view::onion_frames() const {
    return strict_at(toggles_, "cache_onion_skin", "the panel toggles") ? onion_count_ : 0;
}

void window_view::redraw_timeline() {
    if (strip_) strip_->redraw();
}

}  // namespace kavrin
