#pragma once
// Environment switches for unattended runs (tests, screenshots); none is set in normal use.
//   KAVRIN_AUTOCLOSE_MS=n      close the window after n ms
//   KAVRIN_SCREENSHOT=path     once the scene is stepped, hover the fountain, save a picture of
//                              the window to path and close; with KAVRIN_SHOW_DEBUG=level and
//                              KAVRIN_FRAME=frame (99 by default)
//   KAVRIN_SAMPLE=name         once the scene is stepped, click the sample scene "wine" or
//                              "fireball" and look through its camera with its geometry and the
//                              cache display on, at KAVRIN_FRAME (30 by default); with
//                              KAVRIN_SCREENSHOT, save the picture of the window then and close

namespace kavrin {

class kavrin;

void arm_test_seams(kavrin& window);

}  // namespace kavrin
