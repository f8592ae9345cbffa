#pragma once
// The OpenGL context the fixed-function viewport needs; asked for before the application exists.

namespace kavrin {

// Makes a 2.1 compatibility context with a 24-bit depth buffer the default for new widgets.
void use_viewport_gl_format();

}  // namespace kavrin
