#pragma once
// Environment switches for unattended runs (tests, screenshots); none is set in normal use.
//   KAVRIN_AUTOCLOSE_MS=n      close the window after n ms
//   KAVRIN_SCREENSHOT=path     once the scene is stepped, hover the fountain, save a picture of
//                              the window to path and close; with KAVRIN_SHOW_DEBUG=level and
//                              KAVRIN_FRAME=frame (99 by default)

namespace kavrin {

class kavrin;

void arm_test_seams(kavrin& window);

}  // namespace kavrin
