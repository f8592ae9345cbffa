#pragma once
// What the algorithms of a frame ask of the scene that holds it. The scene implements it; a frame
// made on its own (tests, tools) has none and steps on one thread.

namespace kavrin {

class failure_listener;
class frame_set;

class frame_host {
  public:
    // Threads for the frame's parallel passes, at least 1.
    virtual int worker_threads() const = 0;
    // A step measured the frame's extent: the scene's largest may grow.
    virtual void raise_max_scale(float extent) = 0;
    // The frame has had its first step.
    virtual void first_stepped(frame_set& fs) = 0;
    // Who hears of a failed parallel pass over the frame; may be null.
    virtual failure_listener* job_failures() const = 0;

  protected:
    ~frame_host() = default;
};

}  // namespace kavrin
